// The library's result codes as exceptions: one class per code, all derived
// from KavtelException, which carries the code and the flat function.

using System;

namespace Kavtel
{
    /// <summary>A flat function returned a code other than KAVTEL_OK.</summary>
    public class KavtelException : Exception
    {
        /// <summary>The result code (<see cref="Native.NotOpen"/> and the others).</summary>
        public int Code { get; }
        /// <summary>The flat function that returned it, or what was attempted.</summary>
        public string Function { get; }

        public KavtelException(int code, string function)
            : this(code, function, Describe(code))
        {
        }

        protected KavtelException(int code, string function, string text)
            : base(string.Format("{0}: {1} (result {2})", string.IsNullOrEmpty(function) ? "kavtel" : function,
                                 text, code))
        {
            Code = code;
            Function = function ?? "";
        }

        static string Describe(int code)
        {
            switch (code)
            {
                case Native.NotOpen: return NotOpenException.Text;
                case Native.NotAvailable: return NotAvailableException.Text;
                case Native.Detecting: return DetectingException.Text;
                case Native.Error: return OperationException.Text;
                case Native.BadIndex: return BadIndexException.Text;
                default: return "unknown result";
            }
        }

        /// <summary>Throws the exception of <paramref name="code"/> unless it
        /// is KAVTEL_OK.</summary>
        public static void Check(int code, string function)
        {
            switch (code)
            {
                case Native.Ok: return;
                case Native.NotOpen: throw new NotOpenException(function);
                case Native.NotAvailable: throw new NotAvailableException(function);
                case Native.Detecting: throw new DetectingException(function);
                case Native.Error: throw new OperationException(function);
                case Native.BadIndex: throw new BadIndexException(function);
                default: throw new KavtelException(code, function);
            }
        }
    }

    /// <summary>KAVTEL_NOT_OPEN: the port is not open, or could not be opened.</summary>
    public class NotOpenException : KavtelException
    {
        internal const string Text = "the port is not open";
        public NotOpenException(string function) : base(Native.NotOpen, function, Text) { }
    }

    /// <summary>KAVTEL_NOT_AVAILABLE: the controller's generation has no such value.</summary>
    public class NotAvailableException : KavtelException
    {
        internal const string Text = "not available on this controller";
        public NotAvailableException(string function) : base(Native.NotAvailable, function, Text) { }
    }

    /// <summary>KAVTEL_DETECTING: the port is open, the controller not yet identified.</summary>
    public class DetectingException : KavtelException
    {
        internal const string Text = "the controller is still being identified";
        public DetectingException(string function) : base(Native.Detecting, function, Text) { }
    }

    /// <summary>KAVTEL_ERROR: the operation failed in the library, a value
    /// was refused, or the command queue is full.</summary>
    public class OperationException : KavtelException
    {
        internal const string Text = "the operation failed in the library";
        public OperationException(string function) : base(Native.Error, function, Text) { }
    }

    /// <summary>KAVTEL_BAD_INDEX: no such port number, or one the library
    /// does not admit.</summary>
    public class BadIndexException : KavtelException
    {
        internal const string Text = "no such port number";
        public BadIndexException(string function) : base(Native.BadIndex, function, Text) { }
    }
}
