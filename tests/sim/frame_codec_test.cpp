#include "frame_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavtel::sim {
namespace {

using Kind = HostUnit::Kind;

const std::string SOH(1, kSoh), ETB(1, kEtb), ACK(1, kAck), NAK(1, kNak);

TEST(FrameCodec, EncodesCodeAndPayloadWithTwoChecksumDigits) {
  struct Case {
    std::string body;
    std::string frame;
  };
  const std::vector<Case> cases = {
      {"S00", SOH + "S0079" + ETB},          // 83 + 48 + 48 = 179
      {"S022.50", SOH + "S022.5078" + ETB},  // payload counts too
      {"ddi", SOH + "ddi05" + ETB},          // 305: a leading zero
      {"", SOH + "00" + ETB},
      {"V00", SOH + "V0082" + ETB},
      {"J01", SOH + "J0171" + ETB},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeFrame(c.body), c.frame) << c.body;
    const std::string corrupt = EncodeCorruptFrame(c.body);
    ASSERT_EQ(corrupt.size(), c.frame.size());
    EXPECT_EQ(corrupt.substr(0, corrupt.size() - 3), c.frame.substr(0, c.frame.size() - 3));
    EXPECT_NE(corrupt, c.frame) << c.body;
  }
}

struct Unit {
  Kind kind;
  std::string raw;
  bool checksum_ok;
};

std::vector<Unit> FeedAll(const std::vector<std::string>& chunks) {
  FrameReader reader;
  std::vector<Unit> units;
  for (const std::string& chunk : chunks) {
    for (const HostUnit& u : reader.Feed(chunk)) units.push_back({u.kind, u.raw, u.checksum_ok});
  }
  for (const HostUnit& u : reader.Flush()) units.push_back({u.kind, u.raw, u.checksum_ok});
  return units;
}

TEST(FrameCodec, ReaderCutsAnyChunkingIntoFramesRepliesAndStrayBytes) {
  struct Case {
    const char* what;
    std::vector<std::string> chunks;
    std::vector<Unit> units;
  };
  const std::string s00 = SOH + "S0079" + ETB;
  const std::string bad = SOH + "S0078" + ETB;
  const std::vector<Case> cases = {
      {"one frame", {s00}, {{Kind::frame, s00, true}}},
      {"split over chunks", {SOH + "S0", "07", "9" + ETB}, {{Kind::frame, s00, true}}},
      {"wrong checksum", {bad}, {{Kind::frame, bad, false}}},
      {"non-digit checksum", {SOH + "S00x9" + ETB}, {{Kind::frame, SOH + "S00x9" + ETB, false}}},
      {"too short for code and checksum", {SOH + "S0" + ETB}, {{Kind::frame, SOH + "S0" + ETB, false}}},
      {"replies between frames", {ACK + s00 + NAK}, {{Kind::ack, ACK, false}, {Kind::frame, s00, true}, {Kind::nak, NAK, false}}},
      {"junk before a frame", {"xy" + s00}, {{Kind::stray, "xy", false}, {Kind::frame, s00, true}}},
      {"frame cut off by a new one", {SOH + "S0" + s00}, {{Kind::stray, SOH + "S0", false}, {Kind::frame, s00, true}}},
      {"frame end without start", {"ab" + ETB}, {{Kind::stray, "ab" + ETB, false}}},
      {"unfinished frame at flush", {SOH + "S00"}, {{Kind::stray, SOH + "S00", false}}},
      {"overlong frame", {SOH + std::string(FrameReader::kMaxFrame, 'A') + ETB},
       {{Kind::stray, SOH + std::string(FrameReader::kMaxFrame - 1, 'A'), false},
        {Kind::stray, std::string(1, 'A') + ETB, false}}},
  };
  for (const Case& c : cases) {
    const std::vector<Unit> units = FeedAll(c.chunks);
    ASSERT_EQ(units.size(), c.units.size()) << c.what;
    for (std::size_t i = 0; i < units.size(); ++i) {
      EXPECT_EQ(units[i].kind, c.units[i].kind) << c.what << " #" << i;
      EXPECT_EQ(units[i].raw, c.units[i].raw) << c.what << " #" << i;
      EXPECT_EQ(units[i].checksum_ok, c.units[i].checksum_ok) << c.what << " #" << i;
    }
  }
}

TEST(FrameCodec, ReaderSplitsCodeAndPayload) {
  FrameReader reader;
  const auto units = reader.Feed(EncodeFrame("S022.50"));
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].code, "S02");
  EXPECT_EQ(units[0].payload, "2.50");
  EXPECT_TRUE(units[0].checksum_ok);
}

TEST(FrameCodec, RendersControlBytesByNameAndHighBytesInHex) {
  EXPECT_EQ(Render(SOH + "S0079" + ETB + ACK + NAK), "<SOH>S0079<ETB><ACK><NAK>");
  EXPECT_EQ(Render(std::string("\x00\r\n\x1f", 4)), "<NUL><CR><LF><US>");
  EXPECT_EQ(Render("a\x7f\xfe~"), "a[7F][FE]~");
}

}  // namespace
}  // namespace kavtel::sim
