// Reading the controller's side out of a protocol log: one step per frame
// the host sent, with what came back and when.
#include <gtest/gtest.h>

#include <string>

#include "frame_codec.h"
#include "log_text.h"
#include "replay.h"

namespace kavtel::sim {
namespace {

using std::chrono::milliseconds;

TEST(Replay, EachFrameTheHostSentBecomesAStepWithWhatCameBackAndWhen) {
  const std::string log =
      "0\tOE: \tConnected\r\n"
      "4\tRD: \tS010.0070<ETB>\r\n"                                // before any frame: left out
      "10\tTD: \t<C><SOH>V0082<ETB>\r\n"                           // 3: answered after 12 ms
      "22\tRD: \tV0020331<ETB>\r\n"
      "22\tTD: \t<A><ACK>\r\n"
      "\r\n"
      "30\tTD: \t<I><SOH>S0180<ETB>\r\n"                           // 7: refused
      "31\tRD: \t<NAK>\r\n"
      "31\tOE: \t<repeat>| <SOH>S0180<ETB>\r\n"                    // 9: damaged answer
      "35\tRD: \tS010.0071<ETB>\r\n"
      "35\tOE: \t<repeat>| <SOH>S0180<ETB>\r\n"                    // 11: silence
      "1036\tTD: \t<Timeouthandler> [3] |<SOH>S0180<ETB>| (2)\r\n"  // 12: answered
      "1040\tRD: \tS010.0070<ETB>\r\n"
      "1041\tTD: \t<I><SOH>D0064<ETB>\r\n"                         // 14: a cut text
      "1042\tRD: \t[FF][80]<+300 bytes>\r\n";
  const std::vector<ReplayStep> steps = ReadReplay(log);
  ASSERT_EQ(steps.size(), 6u);
  const struct {
    std::size_t line;
    std::string frame;
    std::string answer;  // empty: silence
    long delay;
  } expected[] = {
      {3, EncodeFrame("V00"), EncodeFrame("V00203"), 12},
      {7, EncodeFrame("S01"), std::string(1, kNak), 1},
      {9, EncodeFrame("S01"), EncodeCorruptFrame("S010.00"), 4},
      {11, EncodeFrame("S01"), "", 0},
      {12, EncodeFrame("S01"), EncodeFrame("S010.00"), 4},
      {14, EncodeFrame("D00"), std::string("\x01\xff\x80\x17", 4), 1},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(steps[i].line, expected[i].line);
    EXPECT_EQ(steps[i].host_frame, expected[i].frame);
    if (expected[i].answer.empty()) {
      EXPECT_TRUE(steps[i].answers.empty());
      continue;
    }
    ASSERT_EQ(steps[i].answers.size(), 1u);
    EXPECT_EQ(Render(steps[i].answers[0].bytes), Render(expected[i].answer));
    EXPECT_EQ(steps[i].answers[0].delay, milliseconds(expected[i].delay));
  }
}

TEST(Replay, RenderedTextsTurnBackIntoTheirBytes) {
  const std::string bytes("\x00\x01" "A\x17\x1f\x7f\x80\xff" "[41]<x>", 15);
  EXPECT_EQ(logtext::Unrender(Render(bytes)), bytes);
}

}  // namespace
}  // namespace kavtel::sim
