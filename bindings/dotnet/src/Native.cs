// Native.cs - every flat function of kavtel.h as a P/Invoke declaration.
//
// The library is named "kavtel": kavtel.dll on Windows (the NuGet package
// puts the 32-bit or the 64-bit DLL beside the program, by the runtime's
// architecture), libkavtel.so.1 on Linux under Mono (Kavtel.Net.dll.config
// maps the name; Mono reads the map from beside the assembly).
//
// Calling convention: kavtel.dll exports __stdcall functions in its 32-bit
// build; the 64-bit DLL and libkavtel.so use the platform's one C
// convention. CallingConvention.Winapi says exactly that: it is not a
// convention of its own but "the default platform calling convention", which
// the .NET documentation of the enumeration gives as StdCall on Windows x86
// and Cdecl on Linux x86; x64 and the other architectures have a single
// convention, which it names there. Mono follows the same rule (on Windows
// x86 it calls Winapi functions as stdcall, elsewhere as cdecl). So one
// declaration serves both DLLs and the shared object; StdCall written out
// would be wrong on 32-bit Linux, Cdecl on 32-bit Windows.
//
// Marshalling: int and double go by value as the C int and double; an
// "int*" or "double*" out-parameter is "out int" / "out double" (the library
// writes it only on KAVTEL_OK, so the caller must look at the result first);
// kavtelgetVersion writes into a byte[] of VersionBufferSize bytes.

using System.Runtime.InteropServices;

namespace Kavtel
{
    /// <summary>The flat C API of the kavtel library, function by function.
    /// Each returns a result code (<see cref="Ok"/> and the others below);
    /// <see cref="Treadmill"/> wraps them with exceptions.</summary>
    public static class Native
    {
        /// <summary>The native library's name as DllImport gives it.</summary>
        public const string LibraryName = "kavtel";

        // Result codes (KAVTEL_*).
        public const int Ok = 1;
        public const int NotOpen = 0;
        public const int NotAvailable = -1;
        public const int Detecting = -2;
        public const int Error = -3;
        public const int BadIndex = -4;

        /// <summary>kavtelopenPort and kavtelclosePort take 1 to this.</summary>
        public const int MaxPort = 64;
        /// <summary>Readers, setters and keys admit 1 to this until
        /// kavtelsetAllPorts(1).</summary>
        public const int MaxDeviceIndex = 6;
        /// <summary>The room kavtelgetVersion needs: 31 characters and a zero.</summary>
        public const int VersionBufferSize = 32;

        const CallingConvention Convention = CallingConvention.Winapi;

        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelsetAllPorts(int on);

        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelopenPort(int index);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelclosePort(int index);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelclosePortEx(int index, out int stopConfirmed);

        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int isvalidKavtelDevice(int index);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetLinkState(int index, out int state);

        /// <summary>version: at least <see cref="VersionBufferSize"/> bytes;
        /// receives the zero-terminated version text.</summary>
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetVersion(int index, [Out] byte[] version);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetStatus(int index, out int state);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetDuration(int index, out int seconds);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetSpeed(int index, out double speed);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetAcceleration(int index, out int accel);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetElevation(int index, out double elevation);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetHeartrate(int index, out int heartrate);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetDistance(int index, out int distance);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetFailSafe(int index, out int failsafe);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetError(int index, out int error);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetWeight(int index, out int weight);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetEnergy(int index, out double energy);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetPower(int index, out double power);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelgetProtocol(int index, out int on);

        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelsetFailSafe(int index, int value);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelsetSpeed(int index, double speed);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelsetAcceleration(int index, int accel);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelsetElevation(int index, double elevation);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelsetSpeedAccel(int index, double speed, int accel);

        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelKeyPressStart(int index, int pressed);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelKeyPressStop(int index, int pressed);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelKeyPressPlus(int index, int pressed);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelKeyPressMinus(int index, int pressed);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelKeyPressUp(int index, int pressed);
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelKeyPressDown(int index, int pressed);

        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int kavtelsetProtocol(int index, int on);

        // The device table: loading the library builds it, unloading frees
        // it; a host has no need to call these.
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int mfc_initkavtelDLL();
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int mfc_releasekavtelDLL();
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int buildDeviceArray();
        [DllImport(LibraryName, CallingConvention = Convention)]
        public static extern int destroyDeviceArray();
    }
}
