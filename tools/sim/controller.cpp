#include "controller.h"

#include <cmath>
#include <cstdio>
#include <optional>

namespace kavtel::sim {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Plain decimal text: an optional "-", at least one digit, optionally "."
// and at least one digit. No blanks, no "+", no exponent, no "," — a host
// that formats with its locale's separator is caught here.
std::optional<double> ParseDecimal(std::string_view text) {
  std::size_t i = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) ++i;
  double value = 0;
  std::size_t digits = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i, ++digits) value = value * 10 + (text[i] - '0');
  if (digits == 0 || digits > 9) return std::nullopt;
  if (i < text.size()) {
    if (text[i] != '.') return std::nullopt;
    ++i;
    double scale = 1;
    std::size_t decimals = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++decimals) {
      scale /= 10;
      value += (text[i] - '0') * scale;
    }
    if (decimals == 0 || decimals > 9 || i != text.size()) return std::nullopt;
  }
  return negative ? -value : value;
}

// A signed decimal integer without leading zeros that fits 32 bits.
std::optional<int> ParseInteger(std::string_view text) {
  const std::string_view digits = !text.empty() && text[0] == '-' ? text.substr(1) : text;
  if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
  long long value = 0;
  for (const char c : digits) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (digits.size() != text.size()) value = -value;
  if (value < -2147483648LL || value > 2147483647LL) return std::nullopt;
  return static_cast<int>(value);
}

std::optional<Key> U00Key(std::string_view key) {
  if (key == "+") return Key::faster;
  if (key == "-") return Key::slower;
  if (key == "U") return Key::up;
  if (key == "D") return Key::down;
  if (key == "S") return Key::stop;
  return std::nullopt;
}

std::optional<Key> U10Key(char key) {
  switch (key) {
    case '+': return Key::faster;
    case '-': return Key::slower;
    case 'U': return Key::up;
    case 'D': return Key::down;
    case 'S': return Key::stop;
    case 'E': return Key::start;
    default: return std::nullopt;
  }
}

Reply Answer(std::string_view code, std::string_view payload) {
  std::string body(code);
  body += payload;
  return {Reply::Outcome::answer, std::move(body)};
}

}  // namespace

std::string FormatFixed(double value, int decimals) {
  long long scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  const long long units = std::llround(value * static_cast<double>(scale));
  const unsigned long long magnitude =
      static_cast<unsigned long long>(units < 0 ? -units : units);
  std::string text = units < 0 ? "-" : "";
  text += std::to_string(magnitude / static_cast<unsigned long long>(scale));
  if (decimals > 0) {
    std::string fraction = std::to_string(magnitude % static_cast<unsigned long long>(scale));
    text += '.';
    text += std::string(static_cast<std::size_t>(decimals) - fraction.size(), '0') + fraction;
  }
  return text;
}

std::string FormatDuration(double seconds) {
  const long long whole = seconds > 0 ? static_cast<long long>(seconds) : 0;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  return text;
}

Controller::Controller(const ControllerConfig& config, const ModelConfig& model)
    : config_(config), model_(model) {}

Reply Controller::Handle(std::string_view code, std::string_view payload) {
  const TreadmillState& s = model_.state();
  const ModelConfig& m = model_.config();
  const Reply bad{Reply::Outcome::bad_payload, {}};

  // Commands that carry an argument.
  if (code == "S02" || code == "E03") {
    const auto value = ParseDecimal(payload);
    if (!value) return bad;
    if (code == "S02") {
      model_.SetSpeed(*value);
      return Answer(code, FormatFixed(s.target_speed, 2));
    }
    model_.SetElevation(*value);
    return Answer(code, FormatFixed(s.target_elevation, 1));
  }
  if ((code == "A00" || code == "F00") && !payload.empty()) {
    const auto value = ParseInteger(payload);
    if (!value) return bad;
    if (code == "A00") {
      model_.SetAcceleration(*value);
      return Answer(code, std::to_string(s.acceleration));
    }
    model_.SetFailSafe(*value);
    return Answer(code, std::to_string(s.fail_safe));
  }
  if (code == "U00") {
    if (payload == "H") return Answer(code, payload);
    const auto key = U00Key(payload);
    if (!key) return bad;
    model_.Press(*key);
    return Answer(code, payload);
  }
  if (code == "U10") {
    const auto key = payload.size() == 2 ? U10Key(payload[0]) : std::nullopt;
    if (!key || (payload[1] != 'P' && payload[1] != 'R')) return bad;
    if (payload[1] == 'P') model_.Press(*key);
    return Answer(code, payload);
  }

  // Queries: the bare code.
  std::string value;
  if (code == "V00") value = config_.version_text;
  else if (code == "S00") value = std::to_string(s.StatusCode());
  else if (code == "S01") value = FormatFixed(s.speed, 2);
  else if (code == "E01") value = FormatFixed(s.elevation, 1);
  else if (code == "D00") value = std::to_string(static_cast<long long>(s.distance));
  else if (code == "T00") value = FormatDuration(s.seconds);
  else if (code == "P01") value = std::to_string(std::lround(s.heart_rate));
  else if (code == "A00") value = std::to_string(s.acceleration);
  else if (code == "U17") value = config_.units_text;
  else if (code == "Y00") value = std::to_string(config_.device_type);
  else if (code == "S04") value = FormatFixed(m.max_speed, 2);
  else if (code == "Z00") value = std::to_string(config_.error_code);
  else if (code == "J00") value = std::to_string(m.weight);
  else if (code == "J01") value = FormatFixed(s.energy, 1);
  else if (code == "J02") value = std::to_string(std::lround(s.power));
  else if (code == "F00") value = std::to_string(s.fail_safe);
  else return {Reply::Outcome::unknown_command, {}};
  if (!payload.empty()) return bad;
  return Answer(code, value);
}

}  // namespace kavtel::sim
