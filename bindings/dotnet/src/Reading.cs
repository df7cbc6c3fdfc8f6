// A reading of every value at one moment, and the enumerations of states,
// line states and keys.

using System.Globalization;

namespace Kavtel
{
    /// <summary>The controller state (KAVTEL_STATE_*).</summary>
    public enum TreadmillState
    {
        Stop = 0,
        Run = 1,
        Pause = 2,
        Stopping = 3,
        Detecting = 4,
        Off = 5,
    }

    /// <summary>The line to the controller (KAVTEL_LINK_*).</summary>
    public enum LinkState
    {
        /// <summary>The port is gone; the library reopens it about once a second.</summary>
        Lost = 0,
        /// <summary>The line is open, the controller not yet identified.</summary>
        Identifying = 1,
        Ok = 2,
    }

    /// <summary>The treadmill's keys.</summary>
    public enum Key
    {
        Start,
        Stop,
        Plus,
        Minus,
        Up,
        Down,
    }

    /// <summary>Every value of the treadmill at one moment, as the controller
    /// last reported it. A value the controller's generation does not have
    /// is null (error, weight, energy and power on generation 1 controllers
    /// and on generation 2 before minor version 3).</summary>
    public sealed class Reading
    {
        public Reading(TreadmillState? state, double? speed, double? elevation, int? acceleration, int? distance,
                       int? duration, int? heartRate, int? failSafe, int? error, int? weight, double? energy,
                       double? power)
        {
            State = state;
            Speed = speed;
            Elevation = elevation;
            Acceleration = acceleration;
            Distance = distance;
            Duration = duration;
            HeartRate = heartRate;
            FailSafe = failSafe;
            Error = error;
            Weight = weight;
            Energy = energy;
            Power = power;
        }

        /// <summary>Stop, run, pause or stopping.</summary>
        public TreadmillState? State { get; }
        /// <summary>Belt speed, m/s.</summary>
        public double? Speed { get; }
        /// <summary>Elevation in the controller's display unit (percent, or degrees).</summary>
        public double? Elevation { get; }
        /// <summary>Ramp index, 1 (gentlest) to 7 (steepest).</summary>
        public int? Acceleration { get; }
        /// <summary>Distance in the controller's display unit, metres by default.</summary>
        public int? Distance { get; }
        /// <summary>Training time, seconds.</summary>
        public int? Duration { get; }
        /// <summary>Heart rate, beats per minute.</summary>
        public int? HeartRate { get; }
        /// <summary>The fail-safe time in the controller's own unit (seconds
        /// on the controllers known so far; 0 is off).</summary>
        public int? FailSafe { get; }
        /// <summary>The controller's error number.</summary>
        public int? Error { get; }
        /// <summary>The user's weight, kg.</summary>
        public int? Weight { get; }
        /// <summary>Energy in the controller's unit (kcal).</summary>
        public double? Energy { get; }
        /// <summary>Power, W.</summary>
        public double? Power { get; }

        public override string ToString()
        {
            return string.Format(CultureInfo.InvariantCulture,
                "{0} speed {1} m/s elevation {2} accel {3} distance {4} time {5} s heart {6} fail-safe {7} " +
                "error {8} weight {9} kg energy {10} kcal power {11} W",
                Show(State), Show(Speed), Show(Elevation), Show(Acceleration), Show(Distance), Show(Duration),
                Show(HeartRate), Show(FailSafe), Show(Error), Show(Weight), Show(Energy), Show(Power));
        }

        static string Show(object value)
        {
            return value == null ? "-" : string.Format(CultureInfo.InvariantCulture, "{0}", value);
        }
    }
}
