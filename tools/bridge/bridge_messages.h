// What the bridge reads from and writes to the broker, as pure functions:
// a command's payload checked against the rules and the station's
// configuration, the log of command ids (a repeated id gets its first
// answer), and a station's readings as the state document.
#ifndef KAVTEL_BRIDGE_MESSAGES_H
#define KAVTEL_BRIDGE_MESSAGES_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge_config.h"

namespace bridge {

// A command's payload may not be larger than this.
constexpr std::size_t kMaxCommandBytes = 1024;
// Client-chosen ids: 1 to 64 printable ASCII characters.
constexpr std::size_t kMaxIdLength = 64;

enum class CommandKind { stop, lease, release, speed, elevation, acceleration, key };
enum class KeyName { start, stop, plus, minus, up, down };

struct Command {
  std::string id;
  CommandKind kind = CommandKind::stop;
  double value = 0;  // speed m/s, elevation, acceleration index
  KeyName key = KeyName::stop;
  bool pressed = false;
};

// Longest validity a command may claim for itself (ttl_ms).
constexpr std::int64_t kMaxTtlMs = 60000;

// Why a command is not carried out. code is one of: payload_too_large,
// malformed_json, not_an_object, missing_field, wrong_type, bad_id,
// unknown_field, unknown_command, out_of_range, expired, unknown_station,
// remote_control_off (these from CheckCommand), and no_client,
// lease_held, not_lease_holder, treadmill_refused (from the bridge, which
// holds the lease).
struct CommandFault {
  std::string code;
  std::string detail;
  std::optional<std::string> id;  // when the payload carried a usable one
  std::optional<std::string> cmd;
};

using Checked = std::variant<Command, CommandFault>;

// Checks a payload completely before anything reaches the library: its
// size, its JSON, each field's presence, type and range (the library's and
// the station's limits), its validity (ts + ttl_ms against nowMs, the
// bridge's clock in milliseconds since 1970) and whether the station takes
// it at all (everything but stop needs remote control on). Who holds the
// lease is the bridge's to check.
Checked CheckCommand(const std::string& payload, const StationConfig& station, std::int64_t nowMs);

// A client's name, the last level of <station>/cmd/<client>: 1 to 64
// printable ASCII characters.
bool IsClientName(const std::string& name);

// The fault for a command to a station this bridge does not serve; the
// payload's id is kept when it has one.
CommandFault UnknownStation(const std::string& payload, const std::string& station);

const char* CommandName(CommandKind kind);

// A value for a JSON document: null when absent.
template <typename T>
nlohmann::json OrNull(const std::optional<T>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

// The result document of a refused command.
nlohmann::json FaultResult(const CommandFault& fault);

// Where a result goes: the topic, and the correlation data of MQTT 5.
struct ReplyTo {
  std::string topic;
  std::string correlation;
};

// The ids a station has seen, never more than capacity: the oldest
// finished ones are forgotten first, one still running never. A repeated id
// is answered with its first result and never run again; one whose first
// run has not finished yet gets that result when it comes.
class CommandLog {
 public:
  // How many askers of one running id wait for its result.
  static constexpr std::size_t kMaxWaiting = 16;

  explicit CommandLog(std::size_t capacity) : capacity_(capacity) {}

  enum class Seen { fresh, answered, pending, busy };
  // Notes the id. fresh: run it now (and Complete it later). answered:
  // *result is the first result, the text that was sent. pending: the reply
  // is kept for Complete.
  // busy: nothing was kept, because every id remembered is still running
  // (a new id) or kMaxWaiting askers already wait (a running one); the
  // caller refuses the command.
  Seen Note(const std::string& id, const ReplyTo& reply, std::string* result);
  // The id's result is final: returns every reply that waits for it (the
  // first run's own included).
  std::vector<ReplyTo> Complete(const std::string& id, const nlohmann::json& result);

 private:
  struct Entry {
    bool done = false;
    std::string result;  // as sent: a few hundred bytes an id, not a JSON tree
    std::vector<ReplyTo> waiting;
  };
  std::size_t capacity_;
  std::unordered_map<std::string, Entry> entries_;
  std::deque<std::string> order_;
};

// A station's readings as the flat readers gave them: a value is absent
// when its reader did not return KAVTEL_OK.
struct Reading {
  int link = -1;  // KAVTEL_LINK_*; -1 the port is not open
  std::optional<std::string> version;
  std::optional<int> state;  // KAVTEL_STATE_*
  std::optional<double> speed, elevation, energy, power;
  std::optional<int> acceleration, distance, duration, heartRate, failSafe, error, weight;

  bool operator==(const Reading& o) const;
  bool operator!=(const Reading& o) const { return !(*this == o); }
};

// The retained state document: every reading (null where absent), the
// link, the controller version, the sequence number and the time stamp
// (milliseconds since 1970, UTC).
nlohmann::json StateDocument(const Reading& reading, std::uint64_t sequence, std::int64_t timeMs);

}  // namespace bridge

#endif
