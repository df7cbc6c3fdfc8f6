#include "replay.h"

#include <cstdlib>

#include "frame_codec.h"
#include "log_text.h"

namespace kavtel::sim {
namespace {

bool Digits(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

bool Starts(const std::string& text, const char* head) { return text.rfind(head, 0) == 0; }

}  // namespace

std::string Unrender(const std::string& text) { return logtext::Unrender(text); }

std::vector<ReplayStep> ReadReplay(const std::string& log_text) {
  std::vector<ReplayStep> steps;
  long long step_time = 0;
  std::size_t number = 0;
  std::size_t from = 0;
  while (from < log_text.size()) {
    std::size_t end = log_text.find('\n', from);
    if (end == std::string::npos) end = log_text.size();
    std::string line = log_text.substr(from, end - from);
    from = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t tab1 = line.find('\t');
    const std::size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos || !Digits(line.substr(0, tab1))) continue;
    const long long elapsed = std::atoll(line.substr(0, tab1).c_str());
    const std::string kind = line.substr(tab1 + 1, tab2 - tab1 - 1);
    const std::string text = line.substr(tab2 + 1);

    std::string sent;  // rendered frame the host put on the wire, if any
    if (kind == "TD: " && (Starts(text, "<C>") || Starts(text, "<I>"))) {
      sent = text.substr(3);
    } else if (kind == "TD: " && Starts(text, "<Timeouthandler>")) {
      const std::size_t open = text.find('|');
      const std::size_t close = open == std::string::npos ? open : text.find('|', open + 1);
      if (close != std::string::npos) sent = text.substr(open + 1, close - open - 1);
    } else if (kind == "OE: " && Starts(text, "<repeat>|")) {
      sent = text.substr(9);
      if (!sent.empty() && sent[0] == ' ') sent.erase(0, 1);
    }
    if (!sent.empty()) {
      ReplayStep step;
      step.host_frame = Unrender(sent);
      step.line = number;
      steps.push_back(std::move(step));
      step_time = elapsed;
      continue;
    }
    if (kind != "RD: " || steps.empty()) continue;
    std::string bytes = Unrender(text);
    if (bytes != std::string(1, kNak)) {
      // The log keeps a received frame from its code on.
      bytes.insert(bytes.begin(), kSoh);
      if (bytes.back() != kEtb) bytes += kEtb;  // a cut text still ends as a frame
    }
    const long long delay = elapsed > step_time ? elapsed - step_time : 0;
    steps.back().answers.push_back({std::move(bytes), std::chrono::milliseconds(delay)});
  }
  return steps;
}

}  // namespace kavtel::sim
