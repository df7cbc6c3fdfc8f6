#include "log_check.h"

#include <cstdlib>
#include <optional>

#include "log_text.h"

namespace kavtel::ctl {
namespace {

constexpr char kSoh = 0x01;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr char kEtb = 0x17;
constexpr int kMaxRepeats = 5;

// A frame body (code, payload, checksum digits) checked: the code, and
// whether the checksum matches.
struct Frame {
  bool wellFormed = false;
  std::string code;
  std::string payload;
};

// `body` runs from the code to the ETB included.
Frame ParseBody(const std::string& body) {
  Frame f;
  if (body.size() < 6 || body.back() != kEtb) return f;
  const std::string digits = body.substr(body.size() - 3, 2);
  if (!logtext::IsDigits(digits)) return f;
  const std::string content = body.substr(0, body.size() - 3);
  unsigned sum = 0;
  for (const char c : content) {
    if (static_cast<unsigned char>(c) < 32) return f;
    sum += static_cast<unsigned char>(c);
  }
  if (static_cast<unsigned>(std::atoi(digits.c_str())) != sum % 100) return f;
  f.wellFormed = true;
  f.code = content.substr(0, 3);
  f.payload = content.substr(3);
  return f;
}

// A whole frame as sent: SOH + body.
Frame ParseSent(const std::string& frame) {
  if (frame.empty() || frame[0] != kSoh) return {};
  return ParseBody(frame.substr(1));
}

// Stops: speed zero, the stop key of either generation (its press).
bool IsStop(const Frame& f) {
  if (f.code == "S02") {
    const double value = std::atof(f.payload.c_str());
    return !f.payload.empty() && value == 0.0;
  }
  return (f.code == "U00" && f.payload == "S") || (f.code == "U10" && f.payload == "SP");
}

bool Starts(const std::string& text, const char* head) { return text.rfind(head, 0) == 0; }

// The frame between the first "|" and the next "|" of a time-out line.
struct InFlight {
  std::string frame;  // SOH ... ETB
  Frame parsed;
  std::size_t line = 0;
  int repeats = 0;
  bool settled = false;       // answered, or given up
  bool mayRepeat = false;     // a NAK or a damaged answer came since it was sent
  bool stop = false;
};

class Checker {
 public:
  explicit Checker(LogReport& report) : r_(report) {}

  void Line(std::size_t number, const std::string& raw) {
    ++r_.lines;
    if (raw.empty() || raw == "\r") return;
    const std::optional<logtext::Line> line = logtext::ParseLine(raw);
    if (!line) {
      Violation(number, "not a log line");
      return;
    }
    const std::string& kind = line->kind;
    if (kind != "TD: " && kind != "RD: " && kind != "OE: ") {
      Violation(number, "unknown line kind '" + kind + "'");
      return;
    }
    const std::uint64_t elapsed = line->elapsed;
    if (lastElapsed_ && elapsed < *lastElapsed_) {
      Violation(number, "time goes back from " + std::to_string(*lastElapsed_) + " ms to " +
                            std::to_string(elapsed) + " ms");
    } else if (lastElapsed_ && elapsed - *lastElapsed_ > r_.longestGapMs) {
      r_.longestGapMs = elapsed - *lastElapsed_;
      r_.longestGapLine = number;
    }
    lastElapsed_ = elapsed;
    const logtext::SentFrame sent = logtext::FrameSent(*line);
    switch (sent.how) {
      case logtext::Sending::sent: NewFrame(number, sent.frame); return;
      case logtext::Sending::afterTimeout:
        ++r_.timeouts;
        Repeat(number, sent.frame, true);
        return;
      case logtext::Sending::afterFault: Repeat(number, sent.frame, false); return;
      case logtext::Sending::none: break;
    }
    if (kind == "TD: ") Sent(number, line->text);
    if (kind == "RD: ") Received(number, line->text);
    if (kind == "OE: ") Remark(number, line->text);
  }

 private:
  void Violation(std::size_t line, const std::string& what) { r_.violations.push_back({line, what}); }

  // A line of sent bytes that put no frame on the wire: an acknowledgement.
  void Sent(std::size_t number, const std::string& text) {
    if (Starts(text, "<A>")) {
      const std::string rest = logtext::Unrender(text.substr(3));
      if (rest != std::string(1, kAck)) Violation(number, "acknowledgement that is no ACK");
      if (unacknowledged_ != 0) {
        unacknowledged_ = 0;
      } else if (lastDamaged_) {
        Violation(number, "damaged answer acknowledged");
      } else if (!unsure_) {
        Violation(number, "acknowledgement without an answer");
      }
      lastDamaged_ = false;
    }
  }

  void NewFrame(std::size_t number, const std::string& frame) {
    const Frame parsed = ParseSent(frame);
    if (!parsed.wellFormed) Violation(number, "frame sent malformed or with a wrong checksum");
    if (unacknowledged_ != 0) {
      Violation(number, "answer of line " + std::to_string(unacknowledged_) + " not acknowledged");
      unacknowledged_ = 0;
    }
    if (flight_ && !flight_->settled && !unsure_) {
      Violation(number, "frame sent while the answer to line " + std::to_string(flight_->line) +
                            " is still due");
    }
    unsure_ = false;
    lastDamaged_ = false;
    ++r_.frames;
    if (parsed.wellFormed && parsed.code == "V00" && afterTrouble_) {
      ++r_.reidentifications;
      afterTrouble_ = false;
    }
    InFlight f;
    f.frame = frame;
    f.parsed = parsed;
    f.line = number;
    f.stop = parsed.wellFormed && IsStop(parsed);
    if (f.stop) ++r_.stopsSent;
    flight_ = f;
  }

  void Repeat(std::size_t number, const std::string& frame, bool afterTimeout) {
    ++r_.repeats;
    if (!flight_ || flight_->settled) {
      if (!unsure_) Violation(number, "repeat with no frame in flight");
      return;
    }
    if (frame != flight_->frame) {
      Violation(number, "repeat of another frame than the one sent on line " + std::to_string(flight_->line));
    }
    if (!afterTimeout && !flight_->mayRepeat && !unsure_) {
      Violation(number, "repeat without a NAK or a damaged answer");
    }
    flight_->mayRepeat = false;
    if (++flight_->repeats > kMaxRepeats) {
      Violation(number, "repeat " + std::to_string(flight_->repeats) + " of the frame sent on line " +
                            std::to_string(flight_->line) + ", more than " + std::to_string(kMaxRepeats));
    }
    lastDamaged_ = false;
  }

  void Received(std::size_t number, const std::string& text) {
    const std::string bytes = logtext::Unrender(text);
    if (bytes == std::string(1, kNak)) {
      ++r_.naks;
      if (flight_ && !flight_->settled) {
        flight_->mayRepeat = true;
      } else if (!unsure_) {
        Violation(number, "NAK with no frame in flight");
      }
      return;
    }
    const Frame f = ParseBody(bytes);
    if (!f.wellFormed) {
      ++r_.damaged;
      lastDamaged_ = true;
      if (flight_ && !flight_->settled) flight_->mayRepeat = true;
      return;
    }
    ++r_.answers;
    lastDamaged_ = false;
    if (unacknowledged_ != 0 && !unsure_) {
      Violation(number, "answer of line " + std::to_string(unacknowledged_) + " not acknowledged");
    }
    unacknowledged_ = number;
    if (!flight_ || flight_->settled) {
      if (!unsure_) Violation(number, "answer with no frame in flight");
      return;
    }
    if (flight_->parsed.wellFormed && f.code != flight_->parsed.code) {
      Violation(number, "answer " + f.code + " to the " + flight_->parsed.code + " frame of line " +
                            std::to_string(flight_->line));
    }
    flight_->settled = true;
    if (flight_->stop) ++r_.stopsConfirmed;
  }

  void Remark(std::size_t number, const std::string& text) {
    if (Starts(text, "<Error>|") || Starts(text, "<TimeOut>|")) {
      ++r_.troubles;
      afterTrouble_ = true;
      GiveUp();
    } else if (Starts(text, "<Link>| line lost")) {
      // The frame on the wire went with the line; once the port opens again
      // the controller is identified anew.
      ++r_.linesLost;
      afterTrouble_ = true;
      GiveUp();
    } else if (Starts(text, "<Dropped>|") || Starts(text, "<Skipped>|")) {
      // A frame given up (for a stop, at close) ends its exchange.
      if (text.find("<SOH>") != std::string::npos && flight_) flight_->settled = true;
    } else if (Starts(text, "<Flood>|")) {
      // Lines went uncounted: what follows cannot be judged against them.
      ++r_.floods;
      unsure_ = true;
      unacknowledged_ = 0;
    } else if (Starts(text, "<Log>| continues ")) {
      unsure_ = true;  // the exchange in progress began in the earlier file
    } else if (text == "Connected") {
      unsure_ = false;  // a new session: nothing in progress
      flight_.reset();
      unacknowledged_ = 0;
      lastDamaged_ = false;
    }
    (void)number;
  }

  void GiveUp() {
    if (flight_) flight_->settled = true;
    unacknowledged_ = 0;
    lastDamaged_ = false;
  }

  LogReport& r_;
  std::optional<std::uint64_t> lastElapsed_;
  std::optional<InFlight> flight_;
  std::size_t unacknowledged_ = 0;  // line of an accepted answer awaiting its ACK
  bool lastDamaged_ = false;
  bool afterTrouble_ = false;
  // Lines are missing before this point: the log was switched on during an
  // exchange, a flood summary stands for lines, a file continues another.
  // Until the next frame sent, what refers back is not held against the log.
  bool unsure_ = true;
};

}  // namespace


LogReport CheckLog(const std::string& text) {
  LogReport report;
  Checker checker(report);
  logtext::ForEachLine(text, [&checker](std::size_t number, const std::string& line) {
    checker.Line(number, line);
  });
  return report;
}

void PrintLogReport(const LogReport& r, const std::string& name, std::ostream& out) {
  out << name << ": " << r.lines << " lines\n"
      << "  frames sent " << r.frames << ", answers " << r.answers << ", damaged answers " << r.damaged
      << ", NAKs " << r.naks << "\n"
      << "  repeats " << r.repeats << " (after a time-out " << r.timeouts << "), troubles " << r.troubles
      << ", lines lost " << r.linesLost << ", re-identifications " << r.reidentifications << "\n"
      << "  stops sent " << r.stopsSent << ", confirmed " << r.stopsConfirmed << "\n"
      << "  longest gap " << r.longestGapMs << " ms";
  if (r.longestGapLine != 0) out << " (before line " << r.longestGapLine << ")";
  out << "\n";
  if (r.floods != 0) out << "  flood summaries " << r.floods << "\n";
  out << "  violations " << r.violations.size() << "\n";
  for (const LogViolation& v : r.violations) out << "line " << v.line << ": " << v.what << "\n";
}

}  // namespace kavtel::ctl
