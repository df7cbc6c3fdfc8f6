#pragma once

// kavtelctl check: reads a protocol log (docs/protocol-log.md) and finds
// what a sound exchange between the library and a controller never shows.
// No I/O of its own: the caller hands the text in and prints the report.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kavtel::ctl {

struct LogViolation {
  std::size_t line;  // 1-based
  std::string what;
};

struct LogReport {
  std::size_t lines = 0;
  std::uint64_t frames = 0;             // commands and requests sent (repeats not counted)
  std::uint64_t answers = 0;            // well-formed frames received
  std::uint64_t damaged = 0;            // damaged frames received
  std::uint64_t naks = 0;               // NAKs received
  std::uint64_t repeats = 0;            // frames sent again (after a NAK, a damaged answer, a time-out)
  std::uint64_t timeouts = 0;           // of those, after a time-out
  std::uint64_t troubles = 0;           // faults the library identified the controller anew for
  std::uint64_t linesLost = 0;          // the line gone (a pulled cable), the port reopened
  std::uint64_t reidentifications = 0;  // version queries sent after a fault
  std::uint64_t stopsSent = 0;          // stop commands sent
  std::uint64_t stopsConfirmed = 0;     // of those, answered
  std::uint64_t floods = 0;             // chunk summaries
  std::uint64_t longestGapMs = 0;       // between two event lines
  std::size_t longestGapLine = 0;       // the line after the gap
  std::vector<LogViolation> violations;
};

// Checks the log text (CR LF or LF line ends).
LogReport CheckLog(const std::string& text);

// The summary and the violations, one a line.
void PrintLogReport(const LogReport& report, const std::string& name, std::ostream& out);

}  // namespace kavtel::ctl
