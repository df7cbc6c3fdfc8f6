// Kavtel.Net against the real library and the real kavtel-sim.
//
// tests/dotnet/run_dotnet_tests.py runs these with nunit-console and sets:
// KAVTEL_SIM (the simulator), KAVTEL_HEADER and KAVTEL_DEF (kavtel.h and
// kavtel.def of the source tree), and KAVTEL_COM3, KAVTEL_COM7 and
// KAVTEL_COM64 to paths where no device is yet: each test starts its own
// kavtel-sim with its line linked at the path of the port it drives.
// KAVTEL_COM4 names a device that never exists.

using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using System.Threading;
using NUnit.Framework;

namespace Kavtel.Tests
{
    /// <summary>kavtel-sim with its line linked at the device path of COM n.</summary>
    sealed class Sim
    {
        readonly Process process;
        readonly List<string> trace = new List<string>();
        readonly Thread reader;
        readonly System.Threading.Tasks.Task<string> errors;
        string summary;

        [DllImport("libc", EntryPoint = "kill", SetLastError = true)]
        static extern int Kill(int pid, int signal);
        const int SIGTERM = 15;

        public Sim(int port, params string[] options)
        {
            string link = Environment.GetEnvironmentVariable("KAVTEL_COM" + port);
            Assert.IsNotNull(link, "KAVTEL_COM{0} is not set", port);
            var arguments = new List<string> { "--link", link, "--trace" };
            arguments.AddRange(options);
            var start = new ProcessStartInfo(Environment.GetEnvironmentVariable("KAVTEL_SIM"),
                                             string.Join(" ", arguments.Select(Quote)))
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            };
            process = Process.Start(start);
            errors = process.StandardError.ReadToEndAsync();
            // The first line is the device path: the link exists from then on.
            Assert.IsNotEmpty(process.StandardOutput.ReadLine() ?? "", "kavtel-sim did not start");
            reader = new Thread(() =>
            {
                string line;
                while ((line = process.StandardOutput.ReadLine()) != null)
                    lock (trace) trace.Add(line);
            }) { IsBackground = true };
            reader.Start();
        }

        static string Quote(string argument)
        {
            return "\"" + argument.Replace("\\", "\\\\").Replace("\"", "\\\"") + "\"";
        }

        /// <summary>The frames the host sent so far, one a line.</summary>
        public string HostFrames()
        {
            lock (trace) return string.Join("\n", trace.Where(line => line.Contains("host > sim")));
        }

        /// <summary>Ends the simulator; returns what it saw of the host.</summary>
        public string Stop()
        {
            if (summary != null) return summary;
            Kill(process.Id, SIGTERM);
            Assert.IsTrue(process.WaitForExit(60000), "kavtel-sim did not end");
            reader.Join(60000);
            summary = errors.Result;
            return summary;
        }
    }

    [TestFixture]
    public class TreadmillTests
    {
        const int Port = 3;
        static readonly TimeSpan Deadline = TimeSpan.FromSeconds(60); // generous: the machine is slow at times

        readonly List<Sim> sims = new List<Sim>();

        Sim StartSim(int port, params string[] options)
        {
            var sim = new Sim(port, options);
            sims.Add(sim);
            return sim;
        }

        [TearDown]
        public void CloseEverything()
        {
            // A test that failed half-way leaves no port open for the next one.
            foreach (int port in new[] { Port, 7, 64 })
                Native.kavtelclosePort(port);
            foreach (Sim sim in sims)
            {
                string summary = sim.Stop();
                StringAssert.Contains(" 0 violations", summary, "the treadmill saw protocol violations");
            }
            sims.Clear();
        }

        /// <summary>Polls condition until it returns something other than
        /// null; fails after the deadline.</summary>
        static T WaitFor<T>(Func<T> condition, string what) where T : class
        {
            var clock = Stopwatch.StartNew();
            while (true)
            {
                T value = condition();
                if (value != null) return value;
                if (clock.Elapsed > Deadline) Assert.Fail("no {0} within {1}", what, Deadline);
                Thread.Sleep(50);
            }
        }

        static Reading WaitForReading(Treadmill t, Func<Reading, bool> condition, string what)
        {
            Reading last = null;
            var clock = Stopwatch.StartNew();
            while (true)
            {
                last = t.Read();
                if (condition(last)) return last;
                if (clock.Elapsed > Deadline) Assert.Fail("no {0} within {1}; last: {2}", what, Deadline, last);
                Thread.Sleep(50);
            }
        }

        static void WaitFor(Func<bool> condition, string what)
        {
            WaitFor(() => condition() ? "" : null, what);
        }

        // The declarations against kavtel.h and kavtel.def.

        static readonly Dictionary<string, Type> Marshalled = new Dictionary<string, Type>
        {
            { "int", typeof(int) },
            { "double", typeof(double) },
            { "int*", typeof(int).MakeByRefType() },
            { "double*", typeof(double).MakeByRefType() },
            { "char*", typeof(byte[]) },
        };

        [Test]
        public void EveryFlatFunctionIsDeclaredWithTheHeaderPrototype()
        {
            string header = Regex.Replace(File.ReadAllText(Environment.GetEnvironmentVariable("KAVTEL_HEADER")),
                                          @"\s+", " ");
            var declared = new Dictionary<string, string[]>();
            foreach (Match m in Regex.Matches(header, @"KAVTEL_API int KAVTEL_CALL (\w+) ?\(([^)]*)\)"))
            {
                declared[m.Groups[1].Value] = m.Groups[2].Value.Split(',')
                    .Select(a => a.Trim()).Where(a => a != "void" && a != "")
                    .Select(a => Regex.Match(a, @"^(.*?)\s*\w+$").Groups[1].Value.Replace(" ", ""))
                    .ToArray();
            }
            Assert.That(declared.Count, Is.GreaterThan(30), "the header's prototypes were not found");

            string[] def = File.ReadAllLines(Environment.GetEnvironmentVariable("KAVTEL_DEF"))
                .Select(l => l.Split(';')[0].Trim()).SkipWhile(l => l != "EXPORTS").Skip(1)
                .Where(l => l != "" && !l.EndsWith(" DATA")).ToArray();
            CollectionAssert.IsSubsetOf(def, declared.Keys, "kavtel.def exports a function kavtel.h does not declare");

            var bound = typeof(Native).GetMethods(BindingFlags.Public | BindingFlags.Static)
                .Where(m => m.GetCustomAttributes(typeof(DllImportAttribute), false).Length > 0)
                .ToDictionary(m => m.Name);
            CollectionAssert.AreEquivalent(declared.Keys, bound.Keys);
            foreach (var function in declared)
            {
                MethodInfo method = bound[function.Key];
                var import = (DllImportAttribute)method.GetCustomAttributes(typeof(DllImportAttribute), false)[0];
                Assert.AreEqual("kavtel", import.Value, function.Key);
                Assert.AreEqual(CallingConvention.Winapi, import.CallingConvention, function.Key);
                Assert.AreEqual(typeof(int), method.ReturnType, function.Key);
                ParameterInfo[] parameters = method.GetParameters();
                CollectionAssert.AreEqual(function.Value.Select(c => Marshalled[c]).ToArray(),
                                          parameters.Select(p => p.ParameterType).ToArray(), function.Key);
                // Pointers are written by the library, never read.
                foreach (ParameterInfo p in parameters.Where(p => p.ParameterType.IsByRef || p.ParameterType.IsArray))
                    Assert.IsTrue(p.IsOut, "{0}: {1} is not an out-parameter", function.Key, p.Name);
            }

            // The constants the header defines.
            var defines = Regex.Matches(header, @"#define (KAVTEL_\w+) \(?(-?\d+)\)?")
                .Cast<Match>().ToDictionary(m => m.Groups[1].Value, m => int.Parse(m.Groups[2].Value));
            var expected = new Dictionary<string, int>
            {
                { "KAVTEL_OK", Native.Ok }, { "KAVTEL_NOT_OPEN", Native.NotOpen },
                { "KAVTEL_NOT_AVAILABLE", Native.NotAvailable }, { "KAVTEL_DETECTING", Native.Detecting },
                { "KAVTEL_ERROR", Native.Error }, { "KAVTEL_BAD_INDEX", Native.BadIndex },
                { "KAVTEL_MAX_PORT", Native.MaxPort }, { "KAVTEL_MAX_DEVICE_INDEX", Native.MaxDeviceIndex },
                { "KAVTEL_VERSION_BUFFER_SIZE", Native.VersionBufferSize },
                { "KAVTEL_STATE_STOP", (int)TreadmillState.Stop }, { "KAVTEL_STATE_RUN", (int)TreadmillState.Run },
                { "KAVTEL_STATE_PAUSE", (int)TreadmillState.Pause },
                { "KAVTEL_STATE_STOPPING", (int)TreadmillState.Stopping },
                { "KAVTEL_STATE_DETECTING", (int)TreadmillState.Detecting },
                { "KAVTEL_STATE_OFF", (int)TreadmillState.Off },
                { "KAVTEL_LINK_LOST", (int)LinkState.Lost }, { "KAVTEL_LINK_IDENTIFYING", (int)LinkState.Identifying },
                { "KAVTEL_LINK_OK", (int)LinkState.Ok },
            };
            foreach (var constant in expected)
                Assert.AreEqual(defines[constant.Key], constant.Value, constant.Key);
        }

        // A whole session on both controller generations.

        [TestCase("224", true, Description = "generation 2.3 and later: error, weight, energy and power")]
        [TestCase("123", false, Description = "generation 1: none of them")]
        public void SessionIdentifiesReadsDrivesAndStopsOnDispose(string version, bool laterValues)
        {
            StartSim(Port, "--version-text", version, "--fail-safe", "0");
            Treadmill closed;
            using (var t = new Treadmill(Port))
            {
                closed = t;
                Assert.AreEqual(version, t.WaitIdentified(Deadline));
                Assert.AreEqual(LinkState.Ok, t.Link);
                t.SetAcceleration(7);
                t.SetSpeed(2.0);
                // Each value is polled on its own: wait until all three have come back.
                Reading reading = WaitForReading(t, r => r.Speed >= 1.95 && r.State == TreadmillState.Run &&
                                                         r.Acceleration == 7, "running at 2.0 m/s, ramp 7");
                Assert.LessOrEqual(reading.Speed, 2.05);
                t.Press(Key.Up);
                t.Release(Key.Up);
                WaitForReading(t, r => r.Elevation >= 0.45, "elevation from the up key");
                reading = WaitForReading(t, r => r.Distance > 0 && r.Duration > 0, "distance and time");
                Assert.AreEqual(laterValues, reading.Error.HasValue, "error");
                Assert.AreEqual(laterValues, reading.Weight.HasValue, "weight");
                Assert.AreEqual(laterValues, reading.Energy.HasValue, "energy");
                Assert.AreEqual(laterValues, reading.Power.HasValue, "power");
                Assert.IsNotNull(reading.HeartRate);
            }
            // Dispose closed the port with the stop group, and it was confirmed.
            Assert.AreEqual(true, closed.StopConfirmed);
            var notOpen = Assert.Throws<NotOpenException>(() => closed.Read());
            Assert.AreEqual("kavtelgetStatus", notOpen.Function);
            Assert.DoesNotThrow(closed.Dispose, "a second Dispose");
            // The belt stopped at close (the fail-safe is off: nothing else stops it).
            using (var again = new Treadmill(Port))
            {
                again.WaitIdentified(Deadline);
                Assert.AreEqual(TreadmillState.Stop, again.Read().State);
            }
        }

        [Test]
        public void SettersReachTheTreadmillAndCloseConfirmsTheStop()
        {
            Sim sim = StartSim(Port, "--version-text", "224");
            var t = new Treadmill(Port);
            t.WaitIdentified(Deadline);
            // Values with fractions and integers other than the defaults: a
            // double passed as anything else would not come back.
            t.SetElevation(2.5);
            t.SetFailSafe(30);
            t.SetSpeed(1.23, 5);
            // The library keeps the speed in single precision: 1.23 comes back
            // as 1.2300000190...
            WaitForReading(t, r => r.Elevation == 2.5 && r.FailSafe == 30 &&
                                   Math.Abs(r.Speed.Value - 1.23) < 1e-6 && r.Acceleration == 5 &&
                                   r.State == TreadmillState.Run,
                           "elevation 2.5, fail-safe 30, 1.23 m/s on ramp 5");
            Assert.IsTrue(t.Close(), "the controller confirmed the stop");
            Assert.AreEqual(true, t.StopConfirmed);
            StringAssert.Contains("S020.00", sim.HostFrames(), "the stop group's speed 0");
            Assert.Throws<NotOpenException>(() => t.Close());
        }

        [Test]
        public void CloseSaysWhenTheStopWasNotConfirmed()
        {
            // The stop key's frames go unanswered: the belt may still run.
            StartSim(Port, "--version-text", "224", "--only", "U10S", "--silent");
            using (var t = new Treadmill(Port))
            {
                t.WaitIdentified(Deadline);
                t.SetSpeed(1.0);
                WaitForReading(t, r => r.State == TreadmillState.Run, "the belt running");
                Assert.IsFalse(t.Close());
                Assert.AreEqual(false, t.StopConfirmed);
            }
        }

        [TestCase("speed", 1e9)]
        [TestCase("speed", -0.5)]
        [TestCase("speed", double.NaN)]
        [TestCase("speed", 3.5, Description = "above the 3 m/s the controller reported")]
        [TestCase("elevation", 1e300)]
        [TestCase("elevation", 100.0)]
        [TestCase("elevation", -100.0)]
        public void ValuesTheControllerCannotTakeAreRefusedAndNeverSent(string setter, double value)
        {
            Sim sim = StartSim(Port, "--version-text", "224", "--max-speed", "3");
            using (var t = new Treadmill(Port))
            {
                t.WaitIdentified(Deadline);
                OperationException refused = setter == "speed"
                    ? Assert.Throws<OperationException>(() => t.SetSpeed(value))
                    : Assert.Throws<OperationException>(() => t.SetElevation(value));
                Assert.AreEqual(Native.Error, refused.Code);
                Assert.AreEqual(setter == "speed" ? "kavtelsetSpeed" : "kavtelsetElevation", refused.Function);
                // A command queued after the refusal goes out; nothing before it did.
                t.SetAcceleration(4);
                WaitFor(() => sim.HostFrames().Contains("A004"), "the ramp command");
                string frames = sim.HostFrames();
                StringAssert.DoesNotContain("S02", frames);
                StringAssert.DoesNotContain("E03", frames);
            }
        }

        [TestCase(7)]
        [TestCase(64)]
        public void PortsAboveSixAreReadAndDriven(int port)
        {
            Sim sim = StartSim(port);
            using (var t = new Treadmill(port))
            {
                t.WaitIdentified(Deadline);
                t.SetSpeed(1.0);
                WaitForReading(t, r => r.Speed >= 0.95, "1 m/s on COM" + port);
                Assert.IsTrue(t.Close());
            }
            StringAssert.Contains("S021.00", sim.HostFrames());
        }

        static IEnumerable<TestCaseData> ResultCodes()
        {
            yield return new TestCaseData(new TestDelegate(() => new Treadmill(65)),
                                          typeof(BadIndexException), Native.BadIndex, "kavtelopenPort")
                .SetName("a port above 64 cannot be opened");
            yield return new TestCaseData(new TestDelegate(() => new Treadmill(5, open: false).Read()),
                                          typeof(BadIndexException), Native.BadIndex, "kavtelgetStatus")
                .SetName("a port never opened has no device");
            yield return new TestCaseData(new TestDelegate(() => new Treadmill(5, open: false).Close()),
                                          typeof(NotOpenException), Native.NotOpen, "kavtelclosePortEx")
                .SetName("closing a port never opened");
            yield return new TestCaseData(new TestDelegate(() => new Treadmill(4)),
                                          typeof(NotOpenException), Native.NotOpen, "kavtelopenPort")
                .SetName("a port whose device does not exist");
        }

        [TestCaseSource("ResultCodes")]
        public void ResultCodesRaiseTheirException(TestDelegate action, Type exception, int code, string function)
        {
            var raised = Assert.Throws(exception, action);
            Assert.IsInstanceOf<KavtelException>(raised);
            Assert.AreEqual(code, ((KavtelException)raised).Code);
            Assert.AreEqual(function, ((KavtelException)raised).Function);
        }

        // Each key reaches its own flat function: the one named in the
        // exception of a port that has no device.
        [TestCase(Key.Start, "kavtelKeyPressStart")]
        [TestCase(Key.Stop, "kavtelKeyPressStop")]
        [TestCase(Key.Plus, "kavtelKeyPressPlus")]
        [TestCase(Key.Minus, "kavtelKeyPressMinus")]
        [TestCase(Key.Up, "kavtelKeyPressUp")]
        [TestCase(Key.Down, "kavtelKeyPressDown")]
        public void EachKeyCallsItsOwnFunction(Key key, string function)
        {
            var t = new Treadmill(5, open: false);
            Assert.AreEqual(function, Assert.Throws<BadIndexException>(() => t.Press(key)).Function);
            Assert.AreEqual(function, Assert.Throws<BadIndexException>(() => t.Release(key)).Function);
        }

        [Test]
        public void SilentTreadmillStaysDetecting()
        {
            StartSim(Port, "--silent");
            using (var t = new Treadmill(Port))
            {
                var detecting = Assert.Throws<DetectingException>(() => t.Read());
                Assert.AreEqual(Native.Detecting, detecting.Code);
                Assert.IsFalse(t.Identified);
                Assert.AreEqual(LinkState.Identifying, t.Link); // a line, but no controller yet
                Assert.Throws<TimeoutException>(() => t.WaitIdentified(TimeSpan.FromMilliseconds(500)));
                Assert.Throws<DetectingException>(() => t.SetSpeed(1.0));
            }
        }
    }
}
