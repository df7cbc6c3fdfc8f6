// The receive assembler alone: byte streams in, events out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/receive_assembler.h"
#include "device/wire_frame.h"

namespace kavtel::test {
namespace {

using Assembler = TKavtelReceiveAssembler;

// Every event a stream gives, fed in chunks of `chunk` bytes, as short
// texts: "ok S01 2.5", "repeat", "error", "nak".
std::vector<std::string> Events(const std::string& stream, std::size_t chunk) {
  Assembler assembler;
  Assembler::Event event;
  std::vector<std::string> seen;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    const std::string piece = stream.substr(at, chunk);
    for (std::size_t used = 0; used < piece.size();) {
      used += assembler.Feed(piece.data() + used, piece.size() - used, event);
      if (event.kind == Assembler::Kind::nak) seen.push_back("nak");
      if (event.kind != Assembler::Kind::frame) continue;
      switch (event.verdict) {
        case Assembler::Verdict::ok: seen.push_back("ok " + event.code + " " + event.payload); break;
        case Assembler::Verdict::repeat: seen.push_back("repeat"); break;
        case Assembler::Verdict::error: seen.push_back("error"); break;
      }
    }
  }
  return seen;
}

TEST(ReceiveAssembler, StreamsIntoFramesAndVerdictsWhateverTheChunking) {
  const std::string speed = BuildFrame("S012.5");
  std::string wrongSum = speed;
  wrongSum[wrongSum.size() - 2] = wrongSum[wrongSum.size() - 2] == '0' ? '1' : '0';
  struct Case {
    const char* name;
    std::string stream;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"one answer", speed, {"ok S01 2.5"}},
      {"two answers and a NAK", speed + kNAK + BuildFrame("P0190"), {"ok S01 2.5", "nak", "ok P01 90"}},
      {"noise before the SOH is dropped", "xx\x06" + speed, {"ok S01 2.5"}},
      {"an answer without payload", BuildFrame("V00"), {"ok V00 "}},
      {"a wrong checksum", wrongSum, {"repeat"}},
      {"a signed checksum", std::string(1, kSOH) + "S01+5" + kETB, {"repeat"}},
      {"too short", std::string(1, kSOH) + "S1" + kETB, {"repeat"}},
      {"no SOH before the end", "S012.512" + std::string(1, kETB), {"error"}},
      {"a NAK drops what was collected", std::string(1, kSOH) + "S01" + kNAK + speed, {"nak", "ok S01 2.5"}},
      {"a frame cut beyond the kept text", std::string(1, kSOH) + std::string(Assembler::kMaxText + 10, 'x') + kETB,
       {"repeat"}},
      {"text beyond the kept text without SOH", std::string(Assembler::kMaxText + 10, 'x') + kETB, {"error"}},
      {"recovers after a cut frame",
       std::string(1, kSOH) + std::string(Assembler::kMaxText + 10, 'x') + kETB + speed, {"repeat", "ok S01 2.5"}},
  };
  for (const Case& c : cases) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, c.stream.size()}) {
      SCOPED_TRACE(std::string(c.name) + ", chunks of " + std::to_string(chunk));
      EXPECT_EQ(Events(c.stream, chunk), c.events);
    }
  }
}

TEST(ReceiveAssembler, KeepsItsTextBoundedAndCountsWhatItDidNotKeep) {
  Assembler assembler;
  Assembler::Event event;
  const std::string flood(3 * Assembler::kMaxText, 'x');
  EXPECT_EQ(assembler.Feed(flood.data(), flood.size(), event), flood.size());
  EXPECT_EQ(event.kind, Assembler::Kind::none);
  EXPECT_EQ(assembler.Collected(), flood.size());
  EXPECT_TRUE(assembler.Overlong());
  assembler.Clear();
  EXPECT_EQ(assembler.Collected(), 0u);
  const std::string frame = BuildFrame("S012.5");
  EXPECT_EQ(assembler.Feed(frame.data(), frame.size(), event), frame.size());
  EXPECT_EQ(event.verdict, Assembler::Verdict::ok);
  EXPECT_FALSE(assembler.Overlong());
}

}  // namespace
}  // namespace kavtel::test
