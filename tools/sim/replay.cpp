#include "replay.h"

#include <cstdint>
#include <optional>

#include "frame_codec.h"
#include "log_text.h"

namespace kavtel::sim {

std::vector<ReplayStep> ReadReplay(const std::string& log_text) {
  std::vector<ReplayStep> steps;
  std::uint64_t step_time = 0;
  logtext::ForEachLine(log_text, [&](std::size_t number, const std::string& text) {
    const std::optional<logtext::Line> line = logtext::ParseLine(text);
    if (!line) return;
    logtext::SentFrame sent = logtext::FrameSent(*line);
    if (sent.how != logtext::Sending::none) {
      ReplayStep step;
      step.host_frame = std::move(sent.frame);
      step.line = number;
      steps.push_back(std::move(step));
      step_time = line->elapsed;
      return;
    }
    if (line->kind != "RD: " || steps.empty()) return;
    std::string bytes = logtext::Unrender(line->text);
    if (bytes != std::string(1, kNak)) {
      // The log keeps a received frame from its code on.
      bytes.insert(bytes.begin(), kSoh);
      if (bytes.back() != kEtb) bytes += kEtb;  // a cut text still ends as a frame
    }
    const std::uint64_t delay = line->elapsed > step_time ? line->elapsed - step_time : 0;
    ReplayAnswer answer;
    answer.bytes = std::move(bytes);
    answer.delay = std::chrono::milliseconds(delay);
    answer.nak = answer.bytes == std::string(1, kNak);
    if (!answer.nak) {
      FrameReader reader;
      const std::vector<HostUnit> parsed = reader.Feed(answer.bytes);
      answer.sound = parsed.size() == 1 && parsed[0].kind == HostUnit::Kind::frame && parsed[0].checksum_ok;
      if (answer.sound) answer.body = parsed[0].code + parsed[0].payload;
    }
    steps.back().answers.push_back(std::move(answer));
  });
  return steps;
}

}  // namespace kavtel::sim
