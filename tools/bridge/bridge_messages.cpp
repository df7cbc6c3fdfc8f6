#include "bridge_messages.h"

#include <algorithm>
#include <cmath>
#include <locale>
#include <set>
#include <sstream>

#include "kavtel/kavtel.h"
#include "state_names.h"

namespace bridge {

using nlohmann::json;

namespace {

CommandFault Refuse(std::string code, std::string detail) { return CommandFault{std::move(code), std::move(detail), {}, {}}; }

bool IsPrintableId(const std::string& id) {
  if (id.empty() || id.size() > kMaxIdLength) return false;
  for (unsigned char c : id)
    if (c < 0x20 || c > 0x7e) return false;
  return true;
}

const char* TypeName(const json& v) {
  if (v.is_null()) return "null";
  if (v.is_boolean()) return "a boolean";
  if (v.is_number()) return "a number";
  if (v.is_string()) return "a string";
  if (v.is_array()) return "an array";
  return "an object";
}

std::string Number(double v) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << v;
  return out.str();
}

// The fields each command takes besides id and cmd.
const std::set<std::string>& FieldsOf(CommandKind kind) {
  static const std::set<std::string> kNone{};
  static const std::set<std::string> kValue{"value"};
  static const std::set<std::string> kKey{"key", "pressed"};
  switch (kind) {
    case CommandKind::stop:
    case CommandKind::lease:
    case CommandKind::release: return kNone;
    case CommandKind::key: return kKey;
    default: return kValue;
  }
}

std::optional<CommandKind> KindOf(const std::string& name) {
  if (name == "stop") return CommandKind::stop;
  if (name == "lease") return CommandKind::lease;
  if (name == "release") return CommandKind::release;
  if (name == "speed") return CommandKind::speed;
  if (name == "elevation") return CommandKind::elevation;
  if (name == "acceleration") return CommandKind::acceleration;
  if (name == "key") return CommandKind::key;
  return std::nullopt;
}

std::optional<KeyName> KeyOf(const std::string& name) {
  if (name == "start") return KeyName::start;
  if (name == "stop") return KeyName::stop;
  if (name == "plus") return KeyName::plus;
  if (name == "minus") return KeyName::minus;
  if (name == "up") return KeyName::up;
  if (name == "down") return KeyName::down;
  return std::nullopt;
}

std::optional<CommandFault> RangeCheck(const char* what, double v, double low, double high, const char* unit) {
  if (v >= low && v <= high) return std::nullopt;
  return Refuse("out_of_range", std::string(what) + " " + Number(v) + " is outside " + Number(low) + " to " +
                                   Number(high) + unit + " for this station");
}

Checked CheckFields(const json& doc, Command command, const StationConfig& station) {
  const auto& allowed = FieldsOf(command.kind);
  for (const auto& [name, value] : doc.items()) {
    if (name != "id" && name != "cmd" && name != "ts" && name != "ttl_ms" && allowed.count(name) == 0)
      return Refuse("unknown_field", "'" + name + "' is not a field of " + CommandName(command.kind));
  }
  for (const auto& name : allowed)
    if (!doc.contains(name)) return Refuse("missing_field", std::string(CommandName(command.kind)) + " needs '" + name + "'");

  switch (command.kind) {
    case CommandKind::stop:
    case CommandKind::lease:
    case CommandKind::release:
      return command;
    case CommandKind::speed:
    case CommandKind::elevation:
    case CommandKind::acceleration: {
      const json& v = doc["value"];
      if (!v.is_number()) return Refuse("wrong_type", std::string("'value' must be a number, not ") + TypeName(v));
      command.value = v.get<double>();
      if (!std::isfinite(command.value)) return Refuse("out_of_range", "'value' is not a finite number");
      std::optional<CommandFault> bad;
      if (command.kind == CommandKind::speed) {
        bad = RangeCheck("speed", command.value, 0.0, std::min(station.maxSpeed, kLibraryMaxSpeed), " m/s");
      } else if (command.kind == CommandKind::elevation) {
        bad = RangeCheck("elevation", command.value, std::max(station.minElevation, -kLibraryMaxElevation),
                         std::min(station.maxElevation, kLibraryMaxElevation), "");
      } else {
        if (!v.is_number_integer() && command.value != std::floor(command.value))
          return Refuse("wrong_type", "'value' of acceleration must be a whole number");
        bad = RangeCheck("acceleration", command.value, 1, 7, "");
      }
      if (bad) return *bad;
      return command;
    }
    case CommandKind::key: {
      const json& k = doc["key"];
      if (!k.is_string()) return Refuse("wrong_type", std::string("'key' must be a string, not ") + TypeName(k));
      const auto key = KeyOf(k.get<std::string>());
      if (!key) return Refuse("out_of_range", "'key' must be start, stop, plus, minus, up or down");
      const json& p = doc["pressed"];
      if (!p.is_boolean()) return Refuse("wrong_type", std::string("'pressed' must be a boolean, not ") + TypeName(p));
      command.key = *key;
      command.pressed = p.get<bool>();
      return command;
    }
  }
  return Refuse("unknown_command", "unreachable");
}

// A command may say when it was sent (ts, milliseconds since 1970 UTC) and
// how long it stays valid (ttl_ms); the two come together.
std::optional<CommandFault> CheckValidity(const json& doc, std::int64_t nowMs) {
  const bool hasTs = doc.contains("ts"), hasTtl = doc.contains("ttl_ms");
  if (!hasTs && !hasTtl) return std::nullopt;
  if (!hasTs) return Refuse("missing_field", "'ttl_ms' needs 'ts', the time the command was sent");
  if (!hasTtl) return Refuse("missing_field", "'ts' needs 'ttl_ms', how long the command stays valid");
  const json& ts = doc["ts"];
  const json& ttl = doc["ttl_ms"];
  if (!ts.is_number_integer()) return Refuse("wrong_type", std::string("'ts' must be a whole number of milliseconds, not ") + TypeName(ts));
  if (!ttl.is_number_integer()) return Refuse("wrong_type", std::string("'ttl_ms' must be a whole number, not ") + TypeName(ttl));
  // Beyond these a time stamp is no time of this era (and the arithmetic
  // below stays far from overflow).
  constexpr std::int64_t kLatestTs = std::int64_t{1} << 50;
  if (ts.is_number_unsigned() ? ts.get<std::uint64_t>() > static_cast<std::uint64_t>(kLatestTs)
                              : (ts.get<std::int64_t>() < 0 || ts.get<std::int64_t>() > kLatestTs))
    return Refuse("out_of_range", "'ts' is not a time in milliseconds since 1970");
  if (ttl.is_number_unsigned() ? (ttl.get<std::uint64_t>() < 1 || ttl.get<std::uint64_t>() > static_cast<std::uint64_t>(kMaxTtlMs))
                               : (ttl.get<std::int64_t>() < 1 || ttl.get<std::int64_t>() > kMaxTtlMs))
    return Refuse("out_of_range", "'ttl_ms' is outside 1 to " + std::to_string(kMaxTtlMs));
  const std::int64_t sent = ts.get<std::int64_t>();
  const std::int64_t valid = ttl.get<std::int64_t>();
  if (nowMs - sent > valid)
    return Refuse("expired", "the command was sent " + std::to_string(nowMs - sent) + " ms ago and was valid for " +
                                 std::to_string(valid) + " ms");
  if (sent - nowMs > valid)
    return Refuse("out_of_range", "'ts' lies " + std::to_string(sent - nowMs) +
                                      " ms ahead of the bridge's clock, more than its validity: the clocks disagree");
  return std::nullopt;
}

}  // namespace

bool IsClientName(const std::string& name) { return IsPrintableId(name); }

const char* CommandName(CommandKind kind) {
  switch (kind) {
    case CommandKind::stop: return "stop";
    case CommandKind::lease: return "lease";
    case CommandKind::release: return "release";
    case CommandKind::speed: return "speed";
    case CommandKind::elevation: return "elevation";
    case CommandKind::acceleration: return "acceleration";
    case CommandKind::key: return "key";
  }
  return "?";
}

Checked CheckCommand(const std::string& payload, const StationConfig& station, std::int64_t nowMs) {
  if (payload.size() > kMaxCommandBytes)
    return Refuse("payload_too_large", "a command is at most " + std::to_string(kMaxCommandBytes) + " bytes, this one " +
                                          std::to_string(payload.size()));
  const json doc = json::parse(payload, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) return Refuse("malformed_json", "the payload is not JSON");
  if (!doc.is_object()) return Refuse("not_an_object", std::string("a command is a JSON object, not ") + TypeName(doc));

  if (!doc.contains("id")) return Refuse("missing_field", "a command needs an 'id'");
  const json& idField = doc["id"];
  if (!idField.is_string()) return Refuse("wrong_type", std::string("'id' must be a string, not ") + TypeName(idField));
  const std::string id = idField.get<std::string>();
  if (!IsPrintableId(id))
    return Refuse("bad_id", "'id' is 1 to " + std::to_string(kMaxIdLength) + " printable ASCII characters");

  auto withId = [&](Checked checked) -> Checked {
    if (auto* fault = std::get_if<CommandFault>(&checked)) fault->id = id;
    return checked;
  };
  if (!doc.contains("cmd")) return withId(Refuse("missing_field", "a command needs 'cmd'"));
  const json& cmdField = doc["cmd"];
  if (!cmdField.is_string())
    return withId(Refuse("wrong_type", std::string("'cmd' must be a string, not ") + TypeName(cmdField)));
  const auto kind = KindOf(cmdField.get<std::string>());
  if (!kind)
    return withId(Refuse("unknown_command", "'" + cmdField.get<std::string>() +
                                               "' is not a command (stop, lease, release, speed, elevation, acceleration, key)"));
  // From here on a fault names the command as well as its id.
  auto named = [&](CommandFault fault) -> Checked {
    fault.id = id;
    fault.cmd = CommandName(*kind);
    return fault;
  };
  Command command;
  command.id = id;
  command.kind = *kind;
  Checked checked = CheckFields(doc, command, station);
  if (auto* fault = std::get_if<CommandFault>(&checked)) return named(std::move(*fault));
  // Last, so that every other fault is named first: a command past its
  // validity, then one the station does not take from the broker at all.
  if (auto stale = CheckValidity(doc, nowMs)) return named(std::move(*stale));
  if (*kind != CommandKind::stop && !station.remoteControl)
    return named(Refuse("remote_control_off", "station '" + station.name + "' takes no " + CommandName(*kind) +
                                                  " from the broker (remote control off)"));
  return checked;
}

CommandFault UnknownStation(const std::string& payload, const std::string& station) {
  CommandFault fault = Refuse("unknown_station", "this bridge serves no station '" + station + "'");
  if (payload.size() <= kMaxCommandBytes) {
    const json doc = json::parse(payload, nullptr, false);
    if (doc.is_object() && doc.contains("id") && doc["id"].is_string() && IsPrintableId(doc["id"].get<std::string>()))
      fault.id = doc["id"].get<std::string>();
  }
  return fault;
}

json FaultResult(const CommandFault& fault) {
  json result{{"ok", false}, {"error", fault.code}, {"detail", fault.detail}};
  result["id"] = OrNull(fault.id);
  if (fault.cmd) result["cmd"] = *fault.cmd;
  return result;
}

CommandLog::Seen CommandLog::Note(const std::string& id, const ReplyTo& reply, std::string* result) {
  const auto it = entries_.find(id);
  if (it != entries_.end()) {
    if (it->second.done) {
      *result = it->second.result;
      return Seen::answered;
    }
    if (it->second.waiting.size() >= kMaxWaiting) return Seen::busy;
    it->second.waiting.push_back(reply);
    return Seen::pending;
  }
  if (order_.size() >= capacity_) {
    // The oldest finished id goes; one still running keeps its place.
    const auto finished = std::find_if(order_.begin(), order_.end(), [&](const std::string& known) {
      const auto e = entries_.find(known);
      return e == entries_.end() || e->second.done;
    });
    if (finished == order_.end()) return Seen::busy;
    entries_.erase(*finished);
    order_.erase(finished);
  }
  Entry entry;
  entry.waiting.push_back(reply);
  entries_.emplace(id, std::move(entry));
  order_.push_back(id);
  return Seen::fresh;
}

std::vector<ReplyTo> CommandLog::Complete(const std::string& id, const json& result) {
  const auto it = entries_.find(id);
  if (it == entries_.end()) return {};
  it->second.done = true;
  it->second.result = result.dump();
  std::vector<ReplyTo> waiting;
  waiting.swap(it->second.waiting);
  return waiting;
}

bool Reading::operator==(const Reading& o) const {
  return link == o.link && version == o.version && state == o.state && speed == o.speed &&
         elevation == o.elevation && energy == o.energy && power == o.power && acceleration == o.acceleration &&
         distance == o.distance && duration == o.duration && heartRate == o.heartRate && failSafe == o.failSafe &&
         error == o.error && weight == o.weight;
}

json StateDocument(const Reading& r, std::uint64_t sequence, std::int64_t timeMs) {
  json doc;
  doc["seq"] = sequence;
  doc["ts"] = timeMs;
  doc["link"] = kavtel::names::LinkName(r.link, "closed");  // -1: the port is not open
  doc["version"] = OrNull(r.version);
  doc["state"] = r.state ? json(kavtel::names::StateName(*r.state)) : json(nullptr);
  doc["speed_mps"] = OrNull(r.speed);
  doc["elevation"] = OrNull(r.elevation);
  doc["acceleration"] = OrNull(r.acceleration);
  doc["distance"] = OrNull(r.distance);
  doc["duration_s"] = OrNull(r.duration);
  doc["heart_rate_bpm"] = OrNull(r.heartRate);
  doc["energy"] = OrNull(r.energy);
  doc["power_w"] = OrNull(r.power);
  doc["fail_safe"] = OrNull(r.failSafe);
  doc["error"] = OrNull(r.error);
  doc["weight_kg"] = OrNull(r.weight);
  return doc;
}

}  // namespace bridge
