#include "workout_script.h"

#include <cmath>
#include <locale>
#include <sstream>

namespace kavtel::ctl {

namespace {

std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.emplace_back(line.substr(start, i - start));
  }
  return words;
}

// A plain decimal number with "." as the point, whatever the locale.
std::optional<double> Number(const std::string& word) {
  if (word.empty() || word.find_first_not_of("0123456789.-") != std::string::npos) return std::nullopt;
  std::istringstream in(word);
  in.imbue(std::locale::classic());
  double value = 0;
  in >> value;
  if (in.fail() || !in.eof() || !std::isfinite(value)) return std::nullopt;
  return value;
}

template <typename E, std::size_t N>
std::optional<E> Lookup(const std::string& word, const std::pair<const char*, E> (&table)[N]) {
  for (const auto& [name, value] : table) {
    if (word == name) return value;
  }
  return std::nullopt;
}

constexpr std::pair<const char*, StepKind> kKinds[] = {
    {"wait", StepKind::wait},         {"speed", StepKind::speed},
    {"elevation", StepKind::elevation}, {"acceleration", StepKind::acceleration},
    {"failsafe", StepKind::failsafe}, {"key", StepKind::key},
    {"log", StepKind::log},           {"expect", StepKind::expect}};
constexpr std::pair<const char*, KeyName> kKeys[] = {
    {"start", KeyName::start}, {"stop", KeyName::stop}, {"plus", KeyName::plus},
    {"minus", KeyName::minus}, {"up", KeyName::up},     {"down", KeyName::down}};
constexpr std::pair<const char*, KeyAction> kActions[] = {
    {"press", KeyAction::press}, {"release", KeyAction::release}, {"tap", KeyAction::tap}};
constexpr std::pair<const char*, Field> kFields[] = {
    {"speed", Field::speed},         {"elevation", Field::elevation},
    {"acceleration", Field::acceleration}, {"state", Field::state},
    {"heartrate", Field::heartrate}, {"distance", Field::distance},
    {"duration", Field::duration},   {"failsafe", Field::failsafe},
    {"error", Field::error},         {"weight", Field::weight},
    {"energy", Field::energy},       {"power", Field::power},
    {"protocol", Field::protocol},   {"link", Field::link}};
constexpr std::pair<const char*, Compare> kCompares[] = {
    {"=", Compare::equal},       {"!=", Compare::not_equal},   {"<", Compare::less},
    {"<=", Compare::less_equal}, {">", Compare::greater},      {">=", Compare::greater_equal}};
constexpr std::pair<const char*, double> kStates[] = {
    {"stop", KAVTEL_STATE_STOP}, {"run", KAVTEL_STATE_RUN}, {"pause", KAVTEL_STATE_PAUSE},
    {"stopping", KAVTEL_STATE_STOPPING}, {"detecting", KAVTEL_STATE_DETECTING},
    {"off", KAVTEL_STATE_OFF}};
constexpr std::pair<const char*, double> kLinks[] = {
    {"lost", KAVTEL_LINK_LOST}, {"identifying", KAVTEL_LINK_IDENTIFYING}, {"ok", KAVTEL_LINK_OK}};

// Parses the words after the step's name into `step`; a reason when they
// do not fit.
std::string Arguments(const std::vector<std::string>& w, ScriptStep& step) {
  const std::size_t n = w.size() - 1;
  switch (step.kind) {
    case StepKind::wait:
    case StepKind::speed:
    case StepKind::elevation:
    case StepKind::acceleration:
    case StepKind::failsafe: {
      if (n != 1) return "'" + w[0] + "' takes one number";
      const auto value = Number(w[1]);
      if (!value) return "'" + w[1] + "' is not a number (use '.' as the decimal point)";
      const bool whole = *value == std::floor(*value);
      if (step.kind == StepKind::acceleration || step.kind == StepKind::failsafe) {
        if (!whole || *value < 0 || *value > 255) return "'" + w[0] + "' takes a whole number 0 to 255";
      } else if (step.kind != StepKind::elevation && *value < 0) {
        return "'" + w[0] + "' takes a number of 0 or more";
      }
      step.number = *value;
      return {};
    }
    case StepKind::key: {
      if (n < 1 || n > 2) return "'key' takes a key and optionally press, release or tap";
      const auto key = Lookup(w[1], kKeys);
      if (!key) return "unknown key '" + w[1] + "' (start, stop, plus, minus, up, down)";
      step.key = *key;
      if (n == 2) {
        const auto action = Lookup(w[2], kActions);
        if (!action) return "unknown key action '" + w[2] + "' (press, release, tap)";
        step.action = *action;
      }
      return {};
    }
    case StepKind::log:
      if (n != 1 || (w[1] != "on" && w[1] != "off")) return "'log' takes on or off";
      step.on = w[1] == "on";
      return {};
    case StepKind::expect: {
      if (n != 3 && !(n == 5 && w[4] == "within")) return "'expect' takes FIELD OP VALUE [within SECONDS]";
      const auto field = Lookup(w[1], kFields);
      if (!field) return "unknown field '" + w[1] + "'";
      const auto compare = Lookup(w[2], kCompares);
      if (!compare) return "unknown comparison '" + w[2] + "' (= != < <= > >=)";
      const auto value = *field == Field::state  ? Lookup(w[3], kStates)
                         : *field == Field::link ? Lookup(w[3], kLinks)
                                                 : Number(w[3]);
      if (!value) {
        if (*field == Field::state) return "unknown state '" + w[3] + "' (stop, run, pause, stopping, detecting, off)";
        if (*field == Field::link) return "unknown line state '" + w[3] + "' (lost, identifying, ok)";
        return "'" + w[3] + "' is not a number";
      }
      step.field = *field;
      step.compare = *compare;
      step.number = *value;
      if (n == 5) {
        const auto within = Number(w[5]);
        if (!within || *within <= 0) return "'within' takes a number of seconds above 0";
        step.within = *within;
      }
      return {};
    }
  }
  return "unknown step";
}

}  // namespace

std::optional<ScriptStep> ParseScriptLine(std::string_view line, int number, std::string& error) {
  const std::string_view content = line.substr(0, line.find('#'));
  const std::vector<std::string> words = Words(content);
  if (words.empty()) return std::nullopt;
  ScriptStep step;
  step.line = number;
  for (const auto& word : words) step.text += (step.text.empty() ? "" : " ") + word;
  const auto kind = Lookup(words[0], kKinds);
  std::string reason = kind ? (step.kind = *kind, Arguments(words, step))
                            : "unknown step '" + words[0] +
                                  "' (wait, speed, elevation, acceleration, failsafe, key, log, expect)";
  if (!reason.empty()) {
    error = "line " + std::to_string(number) + ": " + reason;
    return std::nullopt;
  }
  return step;
}

ParsedScript ParseScript(std::string_view text) {
  ParsedScript script;
  int number = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    ++number;
    auto step = ParseScriptLine(text.substr(start, end - start), number, script.error);
    if (!script.error.empty()) {
      script.steps.clear();
      return script;
    }
    if (step) script.steps.push_back(std::move(*step));
    start = end + 1;
  }
  return script;
}

std::optional<double> FieldValue(Field field, const Readings& r) {
  auto value = [](const auto& reading) -> std::optional<double> {
    if (!reading.Ok()) return std::nullopt;
    return static_cast<double>(reading.value);
  };
  switch (field) {
    case Field::speed: return value(r.speed);
    case Field::elevation: return value(r.elevation);
    case Field::acceleration: return value(r.acceleration);
    case Field::state: {
      const auto state = ControllerState(r);
      return state ? std::optional<double>(*state) : std::nullopt;
    }
    case Field::heartrate: return value(r.heartrate);
    case Field::distance: return value(r.distance);
    case Field::duration: return value(r.duration);
    case Field::failsafe: return value(r.failsafe);
    case Field::error: return value(r.error);
    case Field::weight: return value(r.weight);
    case Field::energy: return value(r.energy);
    case Field::power: return value(r.power);
    case Field::protocol: return value(r.protocol);
    case Field::link: return value(r.link);
  }
  return std::nullopt;
}

const char* FieldName(Field field) {
  for (const auto& [name, value] : kFields) {
    if (value == field) return name;
  }
  return "?";
}

bool Satisfies(double value, Compare compare, double expected) {
  constexpr double kTolerance = 0.001;
  switch (compare) {
    case Compare::equal: return std::fabs(value - expected) <= kTolerance;
    case Compare::not_equal: return std::fabs(value - expected) > kTolerance;
    case Compare::less: return value < expected;
    case Compare::less_equal: return value <= expected + kTolerance;
    case Compare::greater: return value > expected;
    case Compare::greater_equal: return value >= expected - kTolerance;
  }
  return false;
}

}  // namespace kavtel::ctl
