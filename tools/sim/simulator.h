#pragma once

// kavtel::sim::Simulator — a virtual treadmill controller on a serial line.
//
// It plays the device side of the wire: it answers the host's frames from a
// small physical model (controller.h, treadmill_model.h), checks how the host
// behaves (an ACK after every answer, one frame at a time, correct
// checksums) and injects faults on demand. It serves the master side of a new
// pseudo-terminal, whose slave path a host opens like a serial port, or an
// existing serial device.
//
// Typical use in a test:
//
//   kavtel::sim::Options options;
//   options.controller.version_text = "224";
//   options.model.weight = 80;
//   kavtel::sim::Simulator sim(options);
//   sim.Start();                                 // new pseudo-terminal
//   setenv("KAVTEL_COM3", sim.GetDevicePath().c_str(), 1);
//   ... open COM3 with the library ...
//   ASSERT_TRUE(sim.WaitFor([&] { return sim.GetState().belt == Belt::running; }));
//   kavtel::sim::Faults faults;
//   faults.nak_every = 2;
//   sim.SetFaults(faults);                       // at run time
//   ...
//   EXPECT_EQ(sim.GetCounters().Violations(), 0u);
//   sim.Stop();
//
// Threads: Start() runs one worker thread that owns the line. Every public
// operation may be called from any thread at any time, concurrently with the
// worker and with each other (Start and Stop excepted: call them from one
// thread). Getters return copies.
//
// Line: on a pseudo-terminal the simulator keeps a hold on the slave side
// itself (set raw), so a host may close and reopen the path at will; bytes it
// did not read stay queued for its next open, as on a real serial port.
//
// Time: the worker advances the model every few milliseconds by the elapsed
// steady-clock time multiplied by Options::time_scale. The fail-safe watchdog
// is part of the model and counts in that scaled time too.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "controller.h"
#include "frame_codec.h"
#include "replay.h"
#include "treadmill_model.h"

namespace kavtel::sim {

using Clock = std::chrono::steady_clock;

// Faults on demand. "Every Nth" counts from the moment the faults are set
// (SetFaults restarts the counts); 0 means never. Frames are counted when a
// valid frame arrives, answers each time an answer is transmitted (a repeat
// after a NAK is a transmission too).
struct Faults {
  // Only frames whose text (code and argument) begins with this are counted
  // for drop_every, nak_every and hang_up_after; every other frame is
  // served as usual. Empty: every frame ("A003" ignores only that command).
  std::string only;
  // The Nth valid frame is ignored: not acted on, not answered. 1 is a
  // treadmill that stays silent. Takes precedence over nak_every.
  unsigned drop_every = 0;
  // The Nth valid frame is refused with NAK instead of acted on.
  unsigned nak_every = 0;
  // The Nth answer goes out with wrong checksum digits.
  unsigned corrupt_every = 0;
  // The Nth answer is preceded by `garbage` (its own write). The default junk
  // holds no SOH, ETB, ACK or NAK, so a sound host simply drops it.
  unsigned garbage_every = 0;
  std::string garbage = std::string("\x00\x7F" "#?\xFE", 5);
  // Every answer is cut into this many writes (2 or more), `split_gap` apart.
  unsigned split = 0;
  std::chrono::milliseconds split_gap{30};
  // Every answer waits this long after its frame arrived.
  std::chrono::milliseconds delay{0};
  // Bytes leave at the real line rate: 9600 baud, 10 bits a byte.
  bool line_rate = false;
  // The Nth valid frame is not answered: the line is hung up as it arrives,
  // as HangUp() does (a cable pulled in mid-conversation).
  unsigned hang_up_after = 0;
};

// One entry of the record: what crossed the line, in which direction, when.
// A frame is one entry; ACK and NAK bytes are entries of their own; bytes the
// host sent outside any frame are one entry per run; garbage sent by the
// garbage fault is an entry of its own. Outgoing entries are stamped when
// their last byte has been written, incoming ones when they were read.
struct Record {
  enum class Direction { from_host, to_host };
  Direction direction;
  std::string bytes;
  Clock::time_point time;
};

// What the treadmill saw of the host. The violations are the ones a correct
// host never causes; the others are plain statistics.
struct Counters {
  std::uint64_t frames_received = 0;  // with a correct checksum
  std::uint64_t answers_sent = 0;     // transmissions, repeats included
  std::uint64_t acks_received = 0;
  std::uint64_t naks_received = 0;    // answers repeated on the host's request
  std::uint64_t naks_sent = 0;

  // Violations.
  std::uint64_t bad_checksums = 0;       // frames refused with NAK for it
  std::uint64_t missing_acks = 0;        // a correct answer not acknowledged before the host's next frame
  std::uint64_t acked_corrupt = 0;       // an answer with a wrong checksum acknowledged
  std::uint64_t overlapping_frames = 0;  // a frame sent while the answer to the previous one was still due
  std::uint64_t unexpected_replies = 0;  // ACK or NAK with no answer to refer to
  std::uint64_t stray_bytes = 0;         // bytes outside any frame (counted per byte)
  std::uint64_t unknown_commands = 0;    // refused with NAK
  std::uint64_t bad_payloads = 0;        // refused with NAK

  // Replay (Options::replay): host frames answered from the record, those
  // that differed from the frame recorded at that point (the first one's log
  // line), and frames that came after the record's end (left unanswered).
  std::uint64_t replayed = 0;
  std::uint64_t replay_differed = 0;
  std::uint64_t replay_first_difference_line = 0;
  std::uint64_t replay_beyond = 0;

  std::uint64_t Violations() const {
    return bad_checksums + missing_acks + acked_corrupt + overlapping_frames +
           unexpected_replies + stray_bytes + unknown_commands + bad_payloads;
  }
};

struct Options {
  ControllerConfig controller;
  ModelConfig model;
  Faults faults;  // in force from the start
  // Model time per real time: 10 makes the belt ramp ten times as fast and the
  // fail-safe expire ten times as early.
  double time_scale = 1.0;
  // Serve this serial device (opened raw, 9600 8N1) instead of a new
  // pseudo-terminal.
  std::string device_path;
  // Make this path a symbolic link to the device (replaced if it is already
  // a link; a regular file there is an error). Removed by Stop().
  std::string link_path;
  // Play a recorded log instead of the model: the Nth valid frame the host
  // sends is answered as the Nth frame of the record was (its answers, a
  // damaged answer, a NAK or silence, each after its recorded delay),
  // whatever the frame; Counters tell whether the frames matched. Faults do
  // not apply. Frames beyond the record are left unanswered.
  std::optional<std::vector<ReplayStep>> replay;
  // Oldest records are dropped beyond this many.
  std::size_t record_limit = 100000;
  // Called on the worker thread for every record, no lock held. Must not
  // call Stop().
  std::function<void(const Record&)> on_record;
};

class Simulator {
 public:
  explicit Simulator(Options options = {});
  ~Simulator();  // Stop()
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the line (a new pseudo-terminal, whose slave is put in raw mode,
  // or Options::device_path), links it and starts serving. Throws
  // std::system_error when the line cannot be opened or linked, and
  // std::logic_error when already started.
  void Start();
  // Stops serving and closes the line; the link is removed. Idempotent.
  void Stop();

  // The path a host opens: the pseudo-terminal's slave, or the served device.
  std::string GetDevicePath() const;
  // False after a hang-up until Replug().
  bool IsConnected() const;

  // Pulls the cable: removes the link, if any, then closes the line. A
  // pseudo-terminal's master is closed, so the host's reads and writes on
  // the slave fail from now on and that slave path is gone for good. The model keeps running (and the fail-safe
  // will stop a running belt). Returns once the line is closed.
  void HangUp();
  // Plugs the cable in again: hangs up first if still connected, then opens a
  // new pseudo-terminal (a new GetDevicePath(); the link, if any, is pointed at
  // it, so a host that opens the link path reconnects unchanged) or reopens
  // the served device. Throws std::system_error when the line cannot be
  // opened.
  void Replug();

  void SetFaults(const Faults& faults);
  Faults GetFaults() const;
  void SetVersionText(std::string text);  // the next "V00" answers carry it
  void SetErrorCode(int code);            // the next "Z00" answers carry it
  // A key pressed on the treadmill's own console (someone standing on the
  // belt), not through the line: the host sees its effect in the readings.
  void PressConsoleKey(Key key);

  TreadmillState GetState() const;
  Counters GetCounters() const;
  // The payload of the last valid frame with this code that was acted on
  // ("S02" → "2.50", "U10" → "SP"), if any.
  std::optional<std::string> LastPayload(std::string_view code) const;
  std::vector<Record> GetRecords() const;
  void ClearRecords();

  // Waits until `condition` holds or `timeout` passes; returns its last
  // value. The condition is evaluated without any lock held (it may call the
  // getters) whenever the simulator's state changes, and at least every few
  // milliseconds while the belt moves.
  bool WaitFor(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

 private:
  struct Outgoing {
    std::string bytes;
    std::size_t written = 0;
    Clock::time_point due;
    bool answer = false;      // a frame that expects the host's ACK
    bool corrupt = false;     // sent with wrong checksum digits
    std::string body;         // the answer's code and payload, for a repeat
    unsigned pieces = 1;      // split into this many writes
    std::chrono::milliseconds gap{0};
    bool paced = false;       // at the line rate
  };
  struct Delivered {
    std::string body;
    bool corrupt;
  };
  struct Line {
    int fd = -1;        // the side we read and write
    int slave_fd = -1;  // our own hold on a pseudo-terminal's slave
    std::string path;   // what the host opens
  };

  Line OpenLine() const;
  void LinkTo(const std::string& target) const;
  static void CloseLine(Line& line);
  void Wake() const;
  void Run();

  // Worker parts; the mutex is held.
  void AdvanceModel(Clock::time_point now);
  void Handle(const HostUnit& unit, Clock::time_point now);
  void HandleFrame(const HostUnit& unit, Clock::time_point now);
  void Replay(const HostUnit& unit, Clock::time_point now);
  void Transmit(const std::string& body, Clock::time_point now, std::chrono::milliseconds delay);
  void Send(std::string bytes, Clock::time_point due);
  void WriteDue(Clock::time_point now);
  Clock::time_point DueOf(const Outgoing& out) const;
  void Note(Record::Direction direction, std::string bytes, Clock::time_point time);
  void DropLine();
  void Changed();

  const Options options_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::uint64_t generation_ = 0;
  Controller controller_;
  Faults faults_;
  std::uint64_t fault_frames_ = 0;   // valid frames since the faults were set
  std::uint64_t fault_answers_ = 0;  // answers since the faults were set
  std::size_t replay_next_ = 0;      // the next step of Options::replay
  Counters counters_;
  std::map<std::string, std::string, std::less<>> last_payloads_;
  std::deque<Record> records_;
  std::vector<Record> unpublished_;  // for on_record, handed out without the lock
  FrameReader reader_;
  std::deque<Outgoing> outgoing_;
  std::deque<Delivered> delivered_;  // answers written, awaiting the host's ACK
  Line line_;
  bool hang_up_ = false;         // asks the worker to close the line
  Clock::time_point line_free_;  // when the line rate lets the next byte go
  bool stopping_ = false;
  bool started_ = false;
  Clock::time_point model_time_;

  int wake_read_ = -1;
  int wake_write_ = -1;
  std::thread worker_;
};

}  // namespace kavtel::sim
