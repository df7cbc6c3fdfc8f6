// kavtelctl check on small logs: the summary of a clean one, and each kind
// of violation found on its line.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "log_check.h"
#include "log_text.h"

namespace kavtel::ctl {
namespace {

// Log lines from "ms KIND text" rows: KIND is TD, RD or OE; an empty row is
// an empty line.
std::string Log(const std::vector<std::string>& rows) {
  std::string text;
  for (const std::string& row : rows) {
    if (!row.empty()) {
      const std::size_t a = row.find(' ');
      const std::size_t b = row.find(' ', a + 1);
      text += row.substr(0, a) + "\t" + row.substr(a + 1, b - a - 1) + ": \t" + row.substr(b + 1);
    }
    text += "\r\n";
  }
  return text;
}

// The identification every case starts with (lines 1 to 5).
const std::vector<std::string> kStart = {
    "0 OE Connected",
    "2 TD <C><SOH>V0082<ETB>",
    "4 RD V0020331<ETB>",
    "4 TD <A><ACK>",
    "",
};

std::string WithStart(const std::vector<std::string>& rows) {
  std::vector<std::string> all = kStart;
  all.insert(all.end(), rows.begin(), rows.end());
  return Log(all);
}

TEST(LogCheck, ACleanLogWithEveryKindOfRecoveryHasNoViolationsAndIsSummed) {
  const LogReport r = CheckLog(WithStart({
      "10 TD <I><SOH>S0180<ETB>",          // 6: NAK, repeat, answer
      "12 RD <NAK>",
      "12 OE <repeat>| <SOH>S0180<ETB>",
      "14 RD S010.0070<ETB>",
      "14 TD <A><ACK>",
      "",
      "20 TD <I><SOH>D0064<ETB>",          // 12: silence, repeat after the time-out
      "1021 TD <Timeouthandler> [7] |<SOH>D0064<ETB>| (3)",
      "1023 RD D0042<ETB>",                // damaged: wrong checksum
      "1023 OE <repeat>| <SOH>D0064<ETB>",
      "1025 RD D00012<ETB>",
      "1025 TD <A><ACK>",
      "",
      "1030 TD <C><SOH>S020.0071<ETB>",    // 19: a stop, confirmed
      "1032 RD S020.0071<ETB>",
      "1032 TD <A><ACK>",
      "",
      "1040 TD <I><SOH>E0166<ETB>",        // 23: a fault, then identified again
      "1042 RD E01x<ETB>",
      "1042 OE <Error>| ",
      "1290 TD <C><SOH>V0082<ETB>",
      "1292 RD V0020331<ETB>",
      "1292 TD <A><ACK>",
      "",
  }));
  for (const LogViolation& v : r.violations) ADD_FAILURE() << "line " << v.line << ": " << v.what;
  EXPECT_EQ(r.lines, 29u);
  EXPECT_EQ(r.frames, 6u);
  EXPECT_EQ(r.answers, 5u);
  EXPECT_EQ(r.damaged, 2u);
  EXPECT_EQ(r.naks, 1u);
  EXPECT_EQ(r.repeats, 3u);
  EXPECT_EQ(r.timeouts, 1u);
  EXPECT_EQ(r.troubles, 1u);
  EXPECT_EQ(r.reidentifications, 1u);
  EXPECT_EQ(r.stopsSent, 1u);
  EXPECT_EQ(r.stopsConfirmed, 1u);
  EXPECT_EQ(r.longestGapMs, 1001u);
  EXPECT_EQ(r.longestGapLine, 13u);
}

// A pulled cable: the frame on the wire is never answered, the port comes
// back and the controller is identified anew. Nothing of it is a violation.
TEST(LogCheck, ALostLineEndsTheExchangeInFlightAndCountsAReidentification) {
  const LogReport r = CheckLog(WithStart({
      "10 TD <I><SOH>S0180<ETB>",
      "11 OE <Link>| line lost (write failed), COM 3 is tried again about once a second",
      "2000 OE <Link>| line back on COM 3, identifying the controller",
      "2001 TD <C><SOH>V0082<ETB>",
      "2003 RD V0020331<ETB>",
      "2003 TD <A><ACK>",
      "",
  }));
  for (const LogViolation& v : r.violations) ADD_FAILURE() << "line " << v.line << ": " << v.what;
  EXPECT_EQ(r.linesLost, 1u);
  EXPECT_EQ(r.reidentifications, 1u);
  EXPECT_EQ(r.troubles, 0u);
}

TEST(LogCheck, EachViolationIsFoundOnItsLine) {
  const struct {
    const char* name;
    std::vector<std::string> rows;  // after the five lines of kStart
    std::size_t line;
    const char* what;
  } cases[] = {
      {"not a log line", {"garbage"}, 6, "not a log line"},
      {"unknown kind", {"5 XX text"}, 6, "unknown line kind"},
      {"time goes back", {"3 TD <I><SOH>S0180<ETB>"}, 6, "time goes back"},
      {"wrong checksum sent", {"5 TD <I><SOH>S0181<ETB>"}, 6, "wrong checksum"},
      {"frame while an answer is due",
       {"5 TD <I><SOH>S0180<ETB>", "6 TD <I><SOH>D0064<ETB>"}, 7, "still due"},
      {"answer not acknowledged",
       {"5 TD <I><SOH>S0180<ETB>", "6 RD S010.0070<ETB>", "7 TD <I><SOH>D0064<ETB>"}, 8,
       "answer of line 7 not acknowledged"},
      {"acknowledgement without an answer", {"5 TD <A><ACK>"}, 6, "without an answer"},
      {"damaged answer acknowledged",
       {"5 TD <I><SOH>S0180<ETB>", "6 RD S010.0071<ETB>", "7 TD <A><ACK>"}, 8, "damaged answer acknowledged"},
      {"repeat of another frame",
       {"5 TD <I><SOH>S0180<ETB>", "6 RD <NAK>", "7 OE <repeat>| <SOH>D0064<ETB>"}, 8, "another frame"},
      {"repeat without a reason", {"5 TD <I><SOH>S0180<ETB>", "6 OE <repeat>| <SOH>S0180<ETB>"}, 7,
       "without a NAK"},
      {"more than five repeats",
       {"5 TD <I><SOH>S0180<ETB>", "6 RD <NAK>", "6 OE <repeat>| <SOH>S0180<ETB>", "7 RD <NAK>",
        "7 OE <repeat>| <SOH>S0180<ETB>", "8 RD <NAK>", "8 OE <repeat>| <SOH>S0180<ETB>", "9 RD <NAK>",
        "9 OE <repeat>| <SOH>S0180<ETB>", "10 RD <NAK>", "10 OE <repeat>| <SOH>S0180<ETB>", "11 RD <NAK>",
        "11 OE <repeat>| <SOH>S0180<ETB>"},
       18, "more than 5"},
      {"answer with another code", {"5 TD <I><SOH>S0180<ETB>", "6 RD D00012<ETB>", "6 TD <A><ACK>"}, 7,
       "answer D00 to the S01 frame of line 6"},
      {"answer with nothing in flight", {"5 RD S010.0070<ETB>", "5 TD <A><ACK>"}, 6, "no frame in flight"},
      {"NAK with nothing in flight", {"5 RD <NAK>"}, 6, "NAK with no frame in flight"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const LogReport r = CheckLog(WithStart(c.rows));
    ASSERT_EQ(r.violations.size(), 1u) << (r.violations.empty() ? "" : r.violations[0].what);
    EXPECT_EQ(r.violations[0].line, c.line);
    EXPECT_NE(r.violations[0].what.find(c.what), std::string::npos) << r.violations[0].what;
  }
}

TEST(LogCheck, LinesMissingBeforeALogStartsAfterAFloodSummaryOrAtAContinuationAreNotHeldAgainstIt) {
  const LogReport flood = CheckLog(WithStart({
      "5 TD <I><SOH>S0180<ETB>",
      "6 RD S010.0070<ETB>",
      "6 OE <Flood>| not written one by one: 20 received (80 bytes), 20 others",
      "7 TD <I><SOH>D0064<ETB>",
      "8 RD D00012<ETB>",
      "8 TD <A><ACK>",
  }));
  EXPECT_TRUE(flood.violations.empty()) << flood.violations[0].what;
  EXPECT_EQ(flood.floods, 1u);
  // A log switched on in the middle of an exchange.
  const LogReport late = CheckLog(Log({
      "0 RD <NAK>",
      "0 OE <repeat>| <SOH>F001063<ETB>",
      "2 RD F001063<ETB>",
      "2 TD <A><ACK>",
      "5 TD <I><SOH>D0064<ETB>",
  }));
  EXPECT_TRUE(late.violations.empty()) << late.violations[0].what;
  const LogReport continued = CheckLog(Log({
      "0 OE <Log>| continues ProtocolCOM3-20261210-1.TXT",
      "1 RD S010.0070<ETB>",
      "1 TD <A><ACK>",
      "5 TD <I><SOH>D0064<ETB>",
  }));
  EXPECT_TRUE(continued.violations.empty()) << continued.violations[0].what;
}

TEST(LogCheck, RenderedTextsTurnBackIntoTheirBytes) {
  EXPECT_EQ(logtext::Unrender("<SOH>AB<ETB>"), "\x01" "AB\x17");
  EXPECT_EQ(logtext::Unrender("[80][FF]x[7E]"), "\x80\xff" "x[7E]");  // only bytes from 127 come in hex
  EXPECT_EQ(logtext::Unrender("<NUL><US><FOO>"), std::string("\0\x1f<FOO>", 7));
  EXPECT_EQ(logtext::Unrender("abc<+1234 bytes>"), "abc");
}

TEST(LogCheck, TheReportListsTheSummaryAndEachViolation) {
  const LogReport r = CheckLog(WithStart({"5 TD <A><ACK>"}));
  std::ostringstream out;
  PrintLogReport(r, "x.TXT", out);
  EXPECT_NE(out.str().find("x.TXT: 6 lines"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("violations 1\nline 6: acknowledgement without an answer\n"), std::string::npos)
      << out.str();
}

}  // namespace
}  // namespace kavtel::ctl
