#include "simulator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "host_line.h"

namespace kavtel::sim {
namespace {

using namespace std::chrono_literals;
using test::Answer;
using test::HostFrame;
using test::HostLine;

// Allowance for timer granularity in lower bounds.
constexpr auto kSlack = 16ms;

class SimulatorTest : public ::testing::Test {
 protected:
  void Start(Options options = {}) {
    sim_ = std::make_unique<Simulator>(std::move(options));
    sim_->Start();
    host_ = std::make_unique<HostLine>(sim_->GetDevicePath());
  }
  void TearDown() override {
    host_.reset();
    if (sim_) sim_->Stop();
  }

  // One clean exchange, then waits until the simulator has seen every ACK
  // the host wrote: everything the host sent before has been handled.
  void Sync() {
    const Answer answer = host_->Exchange("S00");
    ASSERT_TRUE(answer.checksum_ok);
    ASSERT_TRUE(sim_->WaitFor([&] { return sim_->GetCounters().acks_received == host_->acks_written(); }));
  }

  std::unique_ptr<Simulator> sim_;
  std::unique_ptr<HostLine> host_;
};

TEST_F(SimulatorTest, AnswersEveryQueryWithAFrameOfItsCodeAndACorrectChecksum) {
  Options options;
  options.time_scale = 20;
  options.model.acceleration = 7;
  options.model.fail_safe = 0;  // the host pauses while the session runs on
  Start(options);
  const std::vector<std::pair<std::string, std::string>> queries = {
      {"V00", "203"},
      {"S00", "[012]"},
      {"S01", "[0-9]+\\.[0-9]{2}"},
      {"E01", "[0-9]+\\.[0-9]"},
      {"D00", "[0-9]+"},
      {"T00", "[0-9]+:[0-5][0-9]:[0-5][0-9]"},
      {"P01", "[0-9]+"},
      {"A00", "[1-7]"},
      {"U17", "003550000"},
      {"Y00", "0"},
      {"S04", "6\\.11"},
      {"Z00", "0"},
      {"J00", "75"},
      {"J01", "[0-9]+\\.[0-9]"},
      {"J02", "[0-9]+"},
      {"F00", "0"},
  };
  auto ask_all = [&] {
    for (const auto& [code, payload] : queries) {
      const Answer answer = host_->Exchange(code);
      EXPECT_TRUE(answer.checksum_ok) << code;
      EXPECT_TRUE(answer.junk.empty()) << code;
      EXPECT_EQ(answer.code, code);
      EXPECT_TRUE(std::regex_match(answer.payload, std::regex(payload))) << code << " " << answer.payload;
    }
  };
  ask_all();
  EXPECT_EQ(host_->Exchange("S022.50").payload, "2.50");
  EXPECT_EQ(host_->Exchange("E033.0").payload, "3.0");
  ASSERT_TRUE(sim_->WaitFor([&] { return sim_->GetState().seconds > 30; }));
  ask_all();
  const Answer t00 = host_->Exchange("T00");
  EXPECT_NE(t00.payload, "0:00:00");
  EXPECT_NE(host_->Exchange("D00").payload, "0");

  const std::uint64_t exchanges = 2 * queries.size() + 4;
  ASSERT_TRUE(sim_->WaitFor([&] { return sim_->GetCounters().acks_received == exchanges; }));
  const Counters counters = sim_->GetCounters();
  EXPECT_EQ(counters.frames_received, exchanges);
  EXPECT_EQ(counters.answers_sent, exchanges);
  EXPECT_EQ(counters.Violations(), 0u);

  // The record: the host's frame, the answer, the ACK, in time order.
  const std::vector<Record> records = sim_->GetRecords();
  ASSERT_EQ(records.size(), 3 * exchanges);
  EXPECT_EQ(records[0].direction, Record::Direction::from_host);
  EXPECT_EQ(records[0].bytes, HostFrame("V00"));
  EXPECT_EQ(records[1].direction, Record::Direction::to_host);
  EXPECT_EQ(records[1].bytes, HostFrame("V00203"));
  EXPECT_EQ(records[2].bytes, std::string(1, test::kAckByte));
  for (std::size_t i = 1; i < records.size(); ++i) EXPECT_LE(records[i - 1].time, records[i].time);
}

TEST_F(SimulatorTest, BeltRunsUpToTheRequestedSpeedAndTheKeysStopIt) {
  Options options;
  options.time_scale = 10;
  options.model.acceleration = 2;  // 2.5 m/s takes 27 s of model time
  Start(options);
  EXPECT_EQ(host_->Exchange("S022.50").payload, "2.50");
  EXPECT_EQ(sim_->LastPayload("S02"), "2.50");
  EXPECT_EQ(host_->Exchange("S00").payload, "1");

  // Polled over the wire the speed only rises, passes values in between and
  // settles on the target.
  double last = 0;
  bool between = false;
  const bool reached = sim_->WaitFor([&] {
    const double speed = std::stod(host_->Exchange("S01").payload);
    EXPECT_GE(speed, last);
    between = between || (speed > 0 && speed < 2.5);
    last = speed;
    return speed == 2.5;
  });
  EXPECT_TRUE(reached);
  EXPECT_TRUE(between);

  // Generation 2 stop sequence: speed zero pauses, the stop key stops.
  EXPECT_EQ(host_->Exchange("S020.00").payload, "0.00");
  EXPECT_EQ(host_->Exchange("S00").payload, "2");
  EXPECT_EQ(host_->Exchange("U10SP").code, "U10");
  EXPECT_EQ(host_->Exchange("U10SR").payload, "SR");
  EXPECT_EQ(host_->Exchange("S00").payload, "0");
  EXPECT_TRUE(sim_->WaitFor([&] { return host_->Exchange("S01").payload == "0.00"; }));
  EXPECT_EQ(sim_->LastPayload("U10"), "SR");

  // Generation 1: start with the start key, stop with "U00S".
  EXPECT_EQ(host_->Exchange("U10EP").payload, "EP");
  EXPECT_EQ(host_->Exchange("S00").payload, "1");
  EXPECT_EQ(host_->Exchange("U00S").payload, "S");
  EXPECT_EQ(host_->Exchange("S00").payload, "0");
  EXPECT_EQ(sim_->GetCounters().Violations(), 0u);
}

TEST_F(SimulatorTest, ConsoleStartKeyRunsTheBeltWithoutAFrameAndTheHostReadsIt) {
  Options options;
  options.time_scale = 10;
  options.model.start_speed = 2.0;
  options.model.fail_safe = 0;
  Start(options);
  EXPECT_EQ(host_->Exchange("S00").payload, "0");
  const auto frames = sim_->GetCounters().frames_received;
  sim_->PressConsoleKey(Key::start);
  EXPECT_EQ(sim_->GetCounters().frames_received, frames);
  EXPECT_EQ(host_->Exchange("S00").payload, "1");
  EXPECT_TRUE(sim_->WaitFor([&] { return host_->Exchange("S01").payload == "2.00"; }));
  // The console's stop key ends the session as the host's would.
  sim_->PressConsoleKey(Key::stop);
  EXPECT_EQ(host_->Exchange("S00").payload, "0");
  EXPECT_EQ(sim_->GetCounters().Violations(), 0u);
}

TEST_F(SimulatorTest, FailSafeStopsTheBeltWhenTheHostFallsSilent) {
  Options options;
  options.model.acceleration = 7;
  Start(options);
  EXPECT_EQ(host_->Exchange("F001").payload, "1");
  EXPECT_EQ(host_->Exchange("S022.00").payload, "2.00");
  ASSERT_TRUE(sim_->WaitFor([&] { return sim_->GetState().fail_safe_trips == 1; }));
  const auto tripped_by = Clock::now();

  // Not before a full second after the host's last frame.
  const std::vector<Record> records = sim_->GetRecords();
  Clock::time_point last_frame{};
  for (const Record& r : records) {
    if (r.direction == Record::Direction::from_host && r.bytes.size() > 1) last_frame = r.time;
  }
  EXPECT_GE(tripped_by - last_frame, 1s - kSlack);

  const TreadmillState state = sim_->GetState();
  EXPECT_EQ(state.belt, Belt::stopped);
  EXPECT_EQ(state.target_speed, 0);
  EXPECT_EQ(host_->Exchange("S00").payload, "0");
  EXPECT_TRUE(sim_->WaitFor([&] { return host_->Exchange("S01").payload == "0.00"; }));
}

struct HostCase {
  const char* what;
  Faults faults;
  std::function<void(HostLine&)> host;
  std::uint64_t Counters::*counter;
  std::uint64_t expected;
  std::uint64_t violations;
};

TEST_F(SimulatorTest, ChecksTheHostAndCountsEachViolation) {
  Faults corrupt;
  corrupt.corrupt_every = 1;
  Faults delayed;
  delayed.delay = 300ms;
  const std::string nak(1, test::kNakByte);
  const std::vector<HostCase> cases = {
      {"NAK asks for the answer again", {},
       [&](HostLine& h) {
         h.Send("V00");
         const auto first = h.ReadUnit();
         h.Nak();
         EXPECT_EQ(h.ReadUnit(), first);
         h.Ack();
       },
       &Counters::naks_received, 1, 0},
      {"answer not acknowledged before the next frame", {},
       [&](HostLine& h) {
         h.Send("S00");
         h.ReadUnit();
         h.Exchange("S00");
       },
       &Counters::missing_acks, 1, 1},
      {"frame with a wrong checksum is refused", {},
       [&](HostLine& h) {
         h.Write("\x01S0078\x17");
         EXPECT_EQ(h.ReadUnit(), nak);
       },
       &Counters::bad_checksums, 1, 1},
      {"second frame before the first is answered", delayed,
       [&](HostLine& h) {
         h.Write(HostFrame("S00") + HostFrame("V00"));
         EXPECT_EQ(test::Dissect(*h.ReadUnit()).code, "S00");
         h.Ack();
         EXPECT_EQ(test::Dissect(*h.ReadUnit()).code, "V00");
         h.Ack();
       },
       &Counters::overlapping_frames, 1, 1},
      {"ACK and NAK with nothing to refer to", {},
       [&](HostLine& h) {
         h.Ack();
         h.Nak();
       },
       &Counters::unexpected_replies, 2, 2},
      {"bytes outside any frame", {},
       [&](HostLine& h) {
         h.Write("xyz");
         EXPECT_EQ(h.Exchange("S00").code, "S00");
       },
       &Counters::stray_bytes, 3, 3},
      {"corrupt answer acknowledged", corrupt,
       [&](HostLine& h) {
         h.Send("S00");
         EXPECT_FALSE(test::Dissect(*h.ReadUnit()).checksum_ok);
         h.Ack();
       },
       &Counters::acked_corrupt, 1, 1},
      {"corrupt answers refused by repeating the frame", corrupt,
       [&](HostLine& h) {
         for (int i = 0; i < 3; ++i) {
           h.Send("S00");
           EXPECT_FALSE(test::Dissect(*h.ReadUnit()).checksum_ok);
         }
       },
       &Counters::missing_acks, 0, 0},
      {"unknown command", {},
       [&](HostLine& h) {
         h.Send("Q00");
         EXPECT_EQ(h.ReadUnit(), nak);
       },
       &Counters::unknown_commands, 1, 1},
      {"argument in the wrong format", {},
       [&](HostLine& h) {
         h.Send("S022,50");
         EXPECT_EQ(h.ReadUnit(), nak);
       },
       &Counters::bad_payloads, 1, 1},
  };
  for (const HostCase& c : cases) {
    SCOPED_TRACE(c.what);
    Options options;
    options.faults = c.faults;
    Start(options);
    c.host(*host_);
    sim_->SetFaults({});
    Sync();
    const Counters counters = sim_->GetCounters();
    EXPECT_EQ(counters.*c.counter, c.expected);
    EXPECT_EQ(counters.Violations(), c.violations);
    TearDown();
  }
}

TEST_F(SimulatorTest, NakEveryNthRefusesThatFrameWithoutActingOnIt) {
  Options options;
  options.faults.nak_every = 2;
  Start(options);
  const std::string nak(1, test::kNakByte);
  EXPECT_EQ(host_->Exchange("S021.00").payload, "1.00");
  host_->Send("S022.00");
  EXPECT_EQ(host_->ReadUnit(), nak);
  EXPECT_EQ(host_->Exchange("S023.00").payload, "3.00");
  host_->Send("S024.00");
  EXPECT_EQ(host_->ReadUnit(), nak);
  EXPECT_EQ(sim_->LastPayload("S02"), "3.00");
  EXPECT_DOUBLE_EQ(sim_->GetState().target_speed, 3.0);
}

TEST_F(SimulatorTest, DropEveryNthIgnoresThatFrameAndSilentAnswersNothing) {
  Options options;
  options.faults.drop_every = 2;
  Start(options);
  EXPECT_EQ(host_->Exchange("S021.00").payload, "1.00");
  host_->Send("S022.00");
  EXPECT_EQ(host_->ReadFor(300ms), "");
  EXPECT_DOUBLE_EQ(sim_->GetState().target_speed, 1.0);

  Faults silent;
  silent.drop_every = 1;
  sim_->SetFaults(silent);
  host_->Send("V00");
  host_->Send("S00");
  EXPECT_EQ(host_->ReadFor(300ms), "");
  EXPECT_TRUE(sim_->WaitFor([&] { return sim_->GetCounters().frames_received == 4; }));

  sim_->SetFaults({});
  EXPECT_EQ(host_->Exchange("V00").payload, "203");
}

TEST_F(SimulatorTest, CorruptEveryNthSpoilsOnlyThatAnswersChecksum) {
  Options options;
  options.faults.corrupt_every = 2;
  Start(options);
  EXPECT_TRUE(host_->Exchange("V00").checksum_ok);
  host_->Send("V00");
  const auto unit = host_->ReadUnit();
  ASSERT_TRUE(unit);
  const Answer spoilt = test::Dissect(*unit);
  EXPECT_FALSE(spoilt.checksum_ok);
  EXPECT_EQ(spoilt.code + spoilt.payload, "V00203");
  EXPECT_EQ(unit->substr(0, unit->size() - 3), HostFrame("V00203").substr(0, unit->size() - 3));
  host_->Nak();  // the repeat is the third transmission: sound
  const Answer repeat = test::Dissect(*host_->ReadUnit());
  EXPECT_TRUE(repeat.checksum_ok);
  EXPECT_EQ(repeat.payload, "203");
}

TEST_F(SimulatorTest, GarbageEveryNthPrecedesThatAnswerWithJunk) {
  Options options;
  options.faults.garbage_every = 1;
  Start(options);
  const Answer answer = host_->Exchange("S00");
  EXPECT_EQ(answer.junk, options.faults.garbage);
  EXPECT_TRUE(answer.checksum_ok);
  EXPECT_EQ(answer.payload, "0");
  const std::vector<Record> records = sim_->GetRecords();
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(records[1].bytes, options.faults.garbage);
  EXPECT_EQ(records[2].bytes, HostFrame("S000"));
}

TEST_F(SimulatorTest, SplitWritesTheAnswerInPiecesAGapApart) {
  Options options;
  options.faults.split = 3;
  options.faults.split_gap = 250ms;
  Start(options);
  const auto sent = Clock::now();
  host_->Send("V00");
  const auto chunks = host_->ReadChunksToEtb();
  ASSERT_FALSE(chunks.empty());
  std::string all;
  for (const auto& chunk : chunks) all += chunk.bytes;
  EXPECT_EQ(all, HostFrame("V00203"));
  EXPECT_GE(chunks.size(), 2u);
  EXPECT_GE(chunks.back().time - sent, 2 * options.faults.split_gap - kSlack);
}

TEST_F(SimulatorTest, DelayHoldsTheAnswerBack) {
  Options options;
  options.faults.delay = 300ms;
  Start(options);
  const auto sent = Clock::now();
  EXPECT_EQ(host_->Exchange("S00").payload, "0");
  EXPECT_GE(Clock::now() - sent, options.faults.delay - kSlack);
}

TEST_F(SimulatorTest, LineRatePacesBytesAt960PerSecond) {
  Options options;
  options.controller.version_text = std::string(120, 'v');
  options.faults.line_rate = true;
  Start(options);
  const auto sent = Clock::now();
  const Answer answer = host_->Exchange("V00");
  const auto took = Clock::now() - sent;
  EXPECT_TRUE(answer.checksum_ok);
  EXPECT_EQ(answer.payload, options.controller.version_text);
  const std::size_t bytes = options.controller.version_text.size() + 7;
  EXPECT_GE(took, std::chrono::microseconds(1042) * (bytes - 1) - kSlack);
}

TEST_F(SimulatorTest, HangUpAfterNthFramePullsTheCableInsteadOfAnswering) {
  Options options;
  options.faults.hang_up_after = 2;
  Start(options);
  EXPECT_EQ(host_->Exchange("V00").payload, "203");
  host_->Send("S00");
  EXPECT_TRUE(host_->HungUp());
  EXPECT_TRUE(sim_->WaitFor([&] { return !sim_->IsConnected(); }));
  EXPECT_EQ(sim_->GetCounters().frames_received, 2u);
  EXPECT_EQ(sim_->GetCounters().answers_sent, 1u);
}

TEST_F(SimulatorTest, HangUpClosesTheLineAndReplugServesANewOneBehindTheLink) {
  std::string dir = (std::filesystem::temp_directory_path() / "kavtel-sim-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::filesystem::path link = std::filesystem::path(dir) / "com3";

  Options options;
  options.link_path = link.string();
  options.model.fail_safe = 0;
  options.model.acceleration = 7;
  sim_ = std::make_unique<Simulator>(options);
  sim_->Start();
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim_->GetDevicePath());
  host_ = std::make_unique<HostLine>(link.string());
  EXPECT_EQ(host_->Exchange("S021.50").payload, "1.50");

  sim_->HangUp();
  EXPECT_FALSE(sim_->IsConnected());
  EXPECT_TRUE(host_->HungUp());
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));  // unplugged
  EXPECT_EQ(sim_->GetState().belt, Belt::running);  // the treadmill runs on

  sim_->Replug();
  EXPECT_TRUE(sim_->IsConnected());
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim_->GetDevicePath());
  host_ = std::make_unique<HostLine>(link.string());
  EXPECT_EQ(host_->Exchange("S00").payload, "1");
  EXPECT_TRUE(sim_->WaitFor([&] { return host_->Exchange("S01").payload == "1.50"; }));

  sim_->Stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kavtel::sim
