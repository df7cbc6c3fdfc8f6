// The treadmill on a COM port: opening, identification, readings, commands
// and keys over the flat functions, with exceptions for result codes.

using System;
using System.Diagnostics;
using System.Text;
using System.Threading;

namespace Kavtel
{
    /// <summary>The treadmill on COM<c>port</c>. Constructing it opens the port
    /// and starts identifying the controller; <see cref="Close"/> and
    /// <see cref="Dispose"/> stop a running belt before the line closes.
    /// <code>
    /// using (var t = new Treadmill(3))
    /// {
    ///     t.WaitIdentified(TimeSpan.FromSeconds(20));
    ///     t.SetSpeed(2.5);
    ///     Console.WriteLine(t.Read());
    /// }
    /// </code>
    /// Any thread may call any member; commands only queue and return.</summary>
    public sealed class Treadmill : IDisposable
    {
        /// <summary>The COM port number, 1 to 64.</summary>
        public int Port { get; }

        /// <summary>What the last <see cref="Close"/> said: whether the
        /// controller confirmed the stop; null before a close.</summary>
        public bool? StopConfirmed { get; private set; }

        /// <summary>Opens COM<paramref name="port"/> unless <paramref name="open"/>
        /// is false. Ports above 6 are read and driven like the others: the
        /// library is told to admit them (kavtelsetAllPorts) before one opens.
        /// NotOpenException when the port cannot be opened, BadIndexException
        /// for a number outside 1 to 64.</summary>
        public Treadmill(int port, bool open = true)
        {
            Port = port;
            if (open) Open();
        }

        /// <summary>Opens the port (closing it first if it is open).</summary>
        public void Open()
        {
            if (Port > Native.MaxDeviceIndex)
            {
                int code;
                try
                {
                    code = Native.kavtelsetAllPorts(1);
                }
                catch (EntryPointNotFoundException)
                {
                    throw new BadIndexException(string.Format(
                        "COM{0} (this library reads COM1 to COM{1} only)", Port, Native.MaxDeviceIndex));
                }
                KavtelException.Check(code, "kavtelsetAllPorts");
            }
            KavtelException.Check(Native.kavtelopenPort(Port), "kavtelopenPort");
        }

        /// <summary>Closes the port, stopping a running belt first (the
        /// library's stop group: it waits for the controller's answers, at
        /// most about half a minute when the controller stays silent).
        /// Returns true when the controller confirmed the stop or none was
        /// needed, false when the belt may still be moving.
        /// NotOpenException when the port is not open.</summary>
        public bool Close()
        {
            int confirmed;
            KavtelException.Check(Native.kavtelclosePortEx(Port, out confirmed), "kavtelclosePortEx");
            StopConfirmed = confirmed == 1;
            return confirmed == 1;
        }

        /// <summary>Closes the port as <see cref="Close"/> does; a port that is
        /// closed already is left as it is.</summary>
        public void Dispose()
        {
            try
            {
                Close();
            }
            catch (NotOpenException)
            {
            }
        }

        /// <summary>True once the controller is identified, false while it is
        /// being identified.</summary>
        public bool Identified
        {
            get
            {
                int code = Native.isvalidKavtelDevice(Port);
                if (code == Native.Detecting) return false;
                KavtelException.Check(code, "isvalidKavtelDevice");
                return true;
            }
        }

        /// <summary>Waits until the controller is identified and returns its
        /// version text. TimeoutException when it is still being identified
        /// after <paramref name="timeout"/>.</summary>
        public string WaitIdentified(TimeSpan timeout)
        {
            var clock = Stopwatch.StartNew();
            while (!Identified)
            {
                if (clock.Elapsed >= timeout)
                    throw new TimeoutException(string.Format("COM{0}: no controller identified within {1}",
                                                             Port, timeout));
                Thread.Sleep(50);
            }
            return Version;
        }

        /// <summary>The controller's version text ("224", "123", ...).</summary>
        public string Version
        {
            get
            {
                var buffer = new byte[Native.VersionBufferSize];
                KavtelException.Check(Native.kavtelgetVersion(Port, buffer), "kavtelgetVersion");
                int length = Array.IndexOf(buffer, (byte)0);
                return Encoding.ASCII.GetString(buffer, 0, length < 0 ? buffer.Length : length);
            }
        }

        /// <summary>The line's state; it also answers while the controller is
        /// being identified, so a pulled cable can be told from that.</summary>
        public LinkState Link
        {
            get
            {
                int state;
                KavtelException.Check(Native.kavtelgetLinkState(Port, out state), "kavtelgetLinkState");
                return (LinkState)state;
            }
        }

        /// <summary>Every value at once. DetectingException while the
        /// controller is being identified, NotOpenException once the port is
        /// closed.</summary>
        public Reading Read()
        {
            int? state = Int(Native.kavtelgetStatus, "kavtelgetStatus");
            return new Reading(
                state: state.HasValue ? (TreadmillState?)state.Value : null,
                speed: Double(Native.kavtelgetSpeed, "kavtelgetSpeed"),
                elevation: Double(Native.kavtelgetElevation, "kavtelgetElevation"),
                acceleration: Int(Native.kavtelgetAcceleration, "kavtelgetAcceleration"),
                distance: Int(Native.kavtelgetDistance, "kavtelgetDistance"),
                duration: Int(Native.kavtelgetDuration, "kavtelgetDuration"),
                heartRate: Int(Native.kavtelgetHeartrate, "kavtelgetHeartrate"),
                failSafe: Int(Native.kavtelgetFailSafe, "kavtelgetFailSafe"),
                error: Int(Native.kavtelgetError, "kavtelgetError"),
                weight: Int(Native.kavtelgetWeight, "kavtelgetWeight"),
                energy: Double(Native.kavtelgetEnergy, "kavtelgetEnergy"),
                power: Double(Native.kavtelgetPower, "kavtelgetPower"));
        }

        delegate int Reader<T>(int index, out T value);

        // The value, or null when the controller's generation has none.
        T? Value<T>(Reader<T> reader, string function) where T : struct
        {
            T value;
            int code = reader(Port, out value);
            if (code == Native.NotAvailable) return null;
            KavtelException.Check(code, function);
            return value;
        }

        int? Int(Reader<int> reader, string function)
        {
            return Value(reader, function);
        }

        double? Double(Reader<double> reader, string function)
        {
            return Value(reader, function);
        }

        // Commands: queued for the treadmill, they return at once.
        // OperationException (KAVTEL_ERROR) when the library refuses the value
        // or its queue is full; nothing is queued then.

        /// <summary>Belt speed in m/s, 0 to 99.99 and not above the maximum
        /// the controller reported; above zero runs the belt, zero stops it.</summary>
        public void SetSpeed(double metresPerSecond)
        {
            KavtelException.Check(Native.kavtelsetSpeed(Port, metresPerSecond), "kavtelsetSpeed");
        }

        /// <summary>The ramp index first, then the speed in m/s.</summary>
        public void SetSpeed(double metresPerSecond, int acceleration)
        {
            KavtelException.Check(Native.kavtelsetSpeedAccel(Port, metresPerSecond, acceleration),
                                  "kavtelsetSpeedAccel");
        }

        /// <summary>Elevation in the controller's unit, -99.9 to 99.9.</summary>
        public void SetElevation(double elevation)
        {
            KavtelException.Check(Native.kavtelsetElevation(Port, elevation), "kavtelsetElevation");
        }

        /// <summary>The ramp index, 1 (gentlest) to 7 (steepest).</summary>
        public void SetAcceleration(int index)
        {
            KavtelException.Check(Native.kavtelsetAcceleration(Port, index), "kavtelsetAcceleration");
        }

        /// <summary>The fail-safe time in the controller's own unit (seconds;
        /// 0 switches it off): the controller stops the belt when no frame
        /// came for that long.</summary>
        public void SetFailSafe(int value)
        {
            KavtelException.Check(Native.kavtelsetFailSafe(Port, value), "kavtelsetFailSafe");
        }

        /// <summary>The traffic log ("Protocol" folder beside the program).
        /// Switching it on raises OperationException, with the log left off,
        /// when no log file can be written.</summary>
        public void SetLog(bool on)
        {
            KavtelException.Check(Native.kavtelsetProtocol(Port, on ? 1 : 0), "kavtelsetProtocol");
        }

        /// <summary>Whether the traffic log is being written.</summary>
        public bool Logging
        {
            get
            {
                int on;
                KavtelException.Check(Native.kavtelgetProtocol(Port, out on), "kavtelgetProtocol");
                return on == 1;
            }
        }

        /// <summary>Presses a key. The stop key is never refused and never
        /// lost.</summary>
        public void Press(Key key)
        {
            PressOrRelease(key, 1);
        }

        public void Release(Key key)
        {
            PressOrRelease(key, 0);
        }

        void PressOrRelease(Key key, int pressed)
        {
            Func<int, int, int> function;
            string name;
            switch (key)
            {
                case Key.Start: function = Native.kavtelKeyPressStart; name = "kavtelKeyPressStart"; break;
                case Key.Stop: function = Native.kavtelKeyPressStop; name = "kavtelKeyPressStop"; break;
                case Key.Plus: function = Native.kavtelKeyPressPlus; name = "kavtelKeyPressPlus"; break;
                case Key.Minus: function = Native.kavtelKeyPressMinus; name = "kavtelKeyPressMinus"; break;
                case Key.Up: function = Native.kavtelKeyPressUp; name = "kavtelKeyPressUp"; break;
                case Key.Down: function = Native.kavtelKeyPressDown; name = "kavtelKeyPressDown"; break;
                default: throw new ArgumentOutOfRangeException("key", key, "no such key");
            }
            KavtelException.Check(function(Port, pressed), name);
        }
    }
}
