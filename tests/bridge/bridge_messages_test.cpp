// Commands as the bridge checks them before anything reaches the library,
// the log that answers a repeated id with its first result, and the state
// document.
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "bridge_messages.h"
#include "lease.h"
#include "kavtel/kavtel.h"

namespace {

using bridge::CheckCommand;
using bridge::Command;
using bridge::CommandFault;
using nlohmann::json;

// The bridge's clock in the table: milliseconds since 1970.
constexpr std::int64_t kNow = 1800000000000;

bridge::StationConfig Station(bool remote) {
  bridge::StationConfig s;
  s.name = "belt";
  s.com = 3;
  s.remoteControl = remote;
  s.maxSpeed = 3.0;
  s.minElevation = 0;
  s.maxElevation = 10;
  return s;
}

struct CommandCase {
  const char* what;
  std::string payload;
  bool remote;
  const char* code;  // "" when the command is taken
  const char* id;    // the id the refusal carries, nullptr for none
};

class BridgeCommands : public testing::TestWithParam<CommandCase> {};

TEST_P(BridgeCommands, CheckedBeforeTheLibrary) {
  const CommandCase& c = GetParam();
  const auto checked = CheckCommand(c.payload, Station(c.remote), kNow);
  if (c.code[0] == '\0') {
    ASSERT_TRUE(std::holds_alternative<Command>(checked)) << c.what << ": " << std::get<CommandFault>(checked).detail;
    EXPECT_EQ(std::get<Command>(checked).id, c.id);
    // Taken as the command the payload names, not merely taken.
    EXPECT_EQ(bridge::CommandName(std::get<Command>(checked).kind), json::parse(c.payload)["cmd"]) << c.what;
    return;
  }
  ASSERT_TRUE(std::holds_alternative<CommandFault>(checked)) << c.what << " was taken";
  const auto& fault = std::get<CommandFault>(checked);
  EXPECT_EQ(fault.code, c.code) << c.what << ": " << fault.detail;
  EXPECT_FALSE(fault.detail.empty());
  if (c.id == nullptr) {
    EXPECT_FALSE(fault.id) << c.what;
  } else {
    EXPECT_EQ(fault.id.value_or("(none)"), c.id) << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BridgeCommands,
    testing::Values(
        CommandCase{"stop", R"({"id":"s1","cmd":"stop"})", false, "", "s1"},
        CommandCase{"stop with remote control on", R"({"cmd":"stop","id":"s2"})", true, "", "s2"},
        CommandCase{"too large", R"({"id":"big","cmd":"stop","pad":")" + std::string(1100, 'x') + "\"}", false,
                    "payload_too_large", nullptr},
        CommandCase{"not JSON", R"({"id":"x","cmd":"stop")", false, "malformed_json", nullptr},
        CommandCase{"empty", "", false, "malformed_json", nullptr},
        CommandCase{"an array", R"([{"id":"x","cmd":"stop"}])", false, "not_an_object", nullptr},
        CommandCase{"a string", R"("stop")", false, "not_an_object", nullptr},
        CommandCase{"no id", R"({"cmd":"stop"})", false, "missing_field", nullptr},
        CommandCase{"id a number", R"({"id":7,"cmd":"stop"})", false, "wrong_type", nullptr},
        CommandCase{"id empty", R"({"id":"","cmd":"stop"})", false, "bad_id", nullptr},
        CommandCase{"id with a newline", "{\"id\":\"a\\nb\",\"cmd\":\"stop\"}", false, "bad_id", nullptr},
        CommandCase{"id too long", R"({"id":")" + std::string(65, 'i') + R"(","cmd":"stop"})", false, "bad_id",
                    nullptr},
        CommandCase{"no cmd", R"({"id":"c1"})", false, "missing_field", "c1"},
        CommandCase{"cmd a number", R"({"id":"c2","cmd":1})", false, "wrong_type", "c2"},
        CommandCase{"unknown cmd", R"({"id":"c3","cmd":"launch"})", false, "unknown_command", "c3"},
        CommandCase{"stop with a value", R"({"id":"c4","cmd":"stop","value":0})", false, "unknown_field", "c4"},
        CommandCase{"unknown field", R"({"id":"c5","cmd":"stop","force":true})", false, "unknown_field", "c5"},
        CommandCase{"speed without value", R"({"id":"v1","cmd":"speed"})", true, "missing_field", "v1"},
        CommandCase{"speed as text", R"({"id":"v2","cmd":"speed","value":"2.0"})", true, "wrong_type", "v2"},
        CommandCase{"speed as boolean", R"({"id":"v3","cmd":"speed","value":true})", true, "wrong_type", "v3"},
        CommandCase{"speed above the station's", R"({"id":"v4","cmd":"speed","value":3.01})", true, "out_of_range",
                    "v4"},
        CommandCase{"speed negative", R"({"id":"v5","cmd":"speed","value":-0.5})", true, "out_of_range", "v5"},
        CommandCase{"elevation below the station's", R"({"id":"v6","cmd":"elevation","value":-1})", true,
                    "out_of_range", "v6"},
        CommandCase{"elevation above the station's", R"({"id":"v7","cmd":"elevation","value":10.5})", true,
                    "out_of_range", "v7"},
        CommandCase{"acceleration fractional", R"({"id":"v8","cmd":"acceleration","value":2.5})", true,
                    "wrong_type", "v8"},
        CommandCase{"acceleration zero", R"({"id":"v9","cmd":"acceleration","value":0})", true, "out_of_range",
                    "v9"},
        CommandCase{"unknown key", R"({"id":"k1","cmd":"key","key":"jump","pressed":true})", true, "out_of_range",
                    "k1"},
        CommandCase{"key pressed as number", R"({"id":"k2","cmd":"key","key":"up","pressed":1})", true,
                    "wrong_type", "k2"},
        CommandCase{"speed, remote control off", R"({"id":"r1","cmd":"speed","value":1.0})", false,
                    "remote_control_off", "r1"},
        CommandCase{"key, remote control off", R"({"id":"r2","cmd":"key","key":"start","pressed":true})", false,
                    "remote_control_off", "r2"},
        CommandCase{"lease, remote control off", R"({"id":"r3","cmd":"lease"})", false, "remote_control_off", "r3"},
        // Remote control on: these pass the checks; the lease is the bridge's to check.
        CommandCase{"speed in range, remote on", R"({"id":"r4","cmd":"speed","value":3})", true, "", "r4"},
        CommandCase{"elevation in range, remote on", R"({"id":"r5","cmd":"elevation","value":10})", true, "", "r5"},
        CommandCase{"key, remote on", R"({"id":"r6","cmd":"key","key":"down","pressed":false})", true, "", "r6"},
        CommandCase{"lease, remote on", R"({"id":"r7","cmd":"lease"})", true, "", "r7"},
        CommandCase{"release, remote on", R"({"id":"r8","cmd":"release"})", true, "", "r8"},
        CommandCase{"lease with a value", R"({"id":"r9","cmd":"lease","value":1})", true, "unknown_field", "r9"},
        // Validity: ts (sent, ms since 1970) and ttl_ms together, checked against the bridge's clock.
        CommandCase{"within its validity", R"({"id":"t1","cmd":"stop","ts":1799999999500,"ttl_ms":1000})", false, "",
                    "t1"},
        CommandCase{"past its validity", R"({"id":"t2","cmd":"stop","ts":1799999998999,"ttl_ms":1000})", false,
                    "expired", "t2"},
        CommandCase{"speed past its validity", R"({"id":"t3","cmd":"speed","value":1,"ts":1799999990000,"ttl_ms":2000})",
                    true, "expired", "t3"},
        CommandCase{"ttl without ts", R"({"id":"t4","cmd":"stop","ttl_ms":1000})", false, "missing_field", "t4"},
        CommandCase{"ts without ttl", R"({"id":"t5","cmd":"stop","ts":1800000000000})", false, "missing_field", "t5"},
        CommandCase{"ts as text", R"({"id":"t6","cmd":"stop","ts":"now","ttl_ms":1000})", false, "wrong_type", "t6"},
        CommandCase{"ttl fractional", R"({"id":"t7","cmd":"stop","ts":1800000000000,"ttl_ms":1.5})", false,
                    "wrong_type", "t7"},
        CommandCase{"ttl zero", R"({"id":"t8","cmd":"stop","ts":1800000000000,"ttl_ms":0})", false, "out_of_range",
                    "t8"},
        CommandCase{"ttl above a minute", R"({"id":"t9","cmd":"stop","ts":1800000000000,"ttl_ms":60001})", false,
                    "out_of_range", "t9"},
        CommandCase{"ts negative", R"({"id":"t10","cmd":"stop","ts":-9223372036854775807,"ttl_ms":1000})", false,
                    "out_of_range", "t10"},
        CommandCase{"ts huge", R"({"id":"t11","cmd":"stop","ts":18446744073709551615,"ttl_ms":1000})", false,
                    "out_of_range", "t11"},
        CommandCase{"ts ahead of the clock beyond its validity",
                    R"({"id":"t12","cmd":"stop","ts":1800000005000,"ttl_ms":1000})", false, "out_of_range", "t12"},
        // The station's own fault names the command first; validity before remote control.
        CommandCase{"expired speed, remote off", R"({"id":"t13","cmd":"speed","value":1,"ts":1,"ttl_ms":1000})",
                    false, "expired", "t13"}),
    [](const testing::TestParamInfo<CommandCase>& param) {
      std::string name;
      for (const char* p = param.param.what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

// What a taken command carries is what the library is then driven with.
TEST(BridgeCommands, ATakenCommandCarriesItsValues) {
  using bridge::CommandKind;
  using bridge::KeyName;
  const auto take = [](const std::string& payload) {
    const auto checked = CheckCommand(payload, Station(true), kNow);
    EXPECT_TRUE(std::holds_alternative<Command>(checked)) << payload;
    return std::holds_alternative<Command>(checked) ? std::get<Command>(checked) : Command{};
  };
  const Command speed = take(R"({"id":"a","cmd":"speed","value":2.25})");
  EXPECT_EQ(speed.kind, CommandKind::speed);
  EXPECT_DOUBLE_EQ(speed.value, 2.25);
  const Command elevation = take(R"({"id":"b","cmd":"elevation","value":7.5})");
  EXPECT_EQ(elevation.kind, CommandKind::elevation);
  EXPECT_DOUBLE_EQ(elevation.value, 7.5);
  const Command acceleration = take(R"({"id":"c","cmd":"acceleration","value":6.0})");
  EXPECT_EQ(acceleration.kind, CommandKind::acceleration);
  EXPECT_DOUBLE_EQ(acceleration.value, 6);
  const Command up = take(R"({"id":"d","cmd":"key","key":"up","pressed":true})");
  EXPECT_EQ(up.kind, CommandKind::key);
  EXPECT_EQ(up.key, KeyName::up);
  EXPECT_TRUE(up.pressed);
  const Command start = take(R"({"id":"e","cmd":"key","key":"start","pressed":false})");
  EXPECT_EQ(start.key, KeyName::start);
  EXPECT_FALSE(start.pressed);
  EXPECT_EQ(take(R"({"id":"f","cmd":"release"})").kind, CommandKind::release);
}

// A refused command's result names the command once 'cmd' is known, for
// each way it can be refused from there on.
TEST(BridgeCommands, ARefusalNamesItsCommand) {
  for (const auto& [payload, remote, cmd] : {
           std::tuple<std::string, bool, const char*>{R"({"id":"n1","cmd":"speed","value":"x"})", true, "speed"},
           {R"({"id":"n2","cmd":"stop","ts":1,"ttl_ms":1000})", false, "stop"},
           {R"({"id":"n3","cmd":"key","key":"up","pressed":true})", false, "key"}}) {
    const auto checked = CheckCommand(payload, Station(remote), kNow);
    ASSERT_TRUE(std::holds_alternative<CommandFault>(checked)) << payload;
    const auto& fault = std::get<CommandFault>(checked);
    EXPECT_EQ(fault.cmd.value_or("(none)"), cmd) << payload;
    EXPECT_EQ(bridge::FaultResult(fault)["cmd"], cmd) << payload;
  }
  EXPECT_FALSE(std::get<CommandFault>(CheckCommand(R"({"id":"n4"})", Station(true), kNow)).cmd);
}

TEST(BridgeLease, OneHolderRenewedByHeartbeatLapsingWithoutOne) {
  using namespace std::chrono_literals;
  using Taken = bridge::Lease::Taken;
  bridge::Lease lease(5s);
  const auto t0 = bridge::Lease::Clock::time_point{} + 100s;
  EXPECT_FALSE(lease.Holds("console", t0));
  EXPECT_FALSE(lease.Lapse(t0));
  EXPECT_EQ(lease.Take("console", t0), Taken::granted);
  EXPECT_TRUE(lease.Holds("console", t0 + 4999ms));
  EXPECT_FALSE(lease.Holds("intruder", t0));
  EXPECT_EQ(lease.Take("intruder", t0 + 1s), Taken::held);
  EXPECT_FALSE(lease.Release("intruder", t0 + 1s));
  // Heartbeats every 2 s keep it well past its first term.
  for (auto t = t0 + 2s; t <= t0 + 20s; t += 2s) {
    EXPECT_EQ(lease.Take("console", t), Taken::renewed);
    EXPECT_FALSE(lease.Lapse(t + 1999ms));
  }
  const auto last = t0 + 20s;
  // The heartbeat stops: no longer held once the term is out, and it lapses once.
  EXPECT_FALSE(lease.Holds("console", last + 5s));
  // Not even its holder renews a lapsed lease before the bridge has ended it.
  EXPECT_EQ(lease.Take("console", last + 5s), Taken::held);
  EXPECT_FALSE(lease.Lapse(last + 4999ms));
  EXPECT_EQ(lease.Lapse(last + 5s).value_or(""), "console");
  EXPECT_FALSE(lease.Lapse(last + 6s));
  EXPECT_FALSE(lease.Holder());
  EXPECT_EQ(lease.Take("intruder", last + 6s), Taken::granted);
  // Released by its holder: free at once, and nothing lapses later.
  EXPECT_TRUE(lease.Release("intruder", last + 7s));
  EXPECT_FALSE(lease.Holder());
  EXPECT_FALSE(lease.Lapse(last + 60s));
  EXPECT_EQ(lease.Take("console", last + 60s), Taken::granted);
}

TEST(BridgeCommands, UnknownStationKeepsAUsableId) {
  const auto withId = bridge::UnknownStation(R"({"id":"u1","cmd":"stop"})", "belt9");
  EXPECT_EQ(withId.code, "unknown_station");
  EXPECT_NE(withId.detail.find("belt9"), std::string::npos);
  EXPECT_EQ(withId.id.value_or(""), "u1");
  EXPECT_FALSE(bridge::UnknownStation("not json", "belt9").id);
  const json result = bridge::FaultResult(bridge::UnknownStation("{}", "x"));
  EXPECT_EQ(result["ok"], false);
  EXPECT_TRUE(result["id"].is_null());
  EXPECT_EQ(result["error"], "unknown_station");
}

TEST(BridgeCommandLog, ARepeatedIdGetsTheFirstResultAndNeverRunsTwice) {
  bridge::CommandLog log(8);
  std::string first;
  const bridge::ReplyTo a{"r/a", "c1"}, b{"r/b", "c2"}, c{"r/c", ""};
  ASSERT_EQ(log.Note("x", a, &first), bridge::CommandLog::Seen::fresh);
  // Repeated while the first still runs: it waits for that result.
  ASSERT_EQ(log.Note("x", b, &first), bridge::CommandLog::Seen::pending);
  const json result{{"id", "x"}, {"confirmed", true}};
  const auto waiting = log.Complete("x", result);
  ASSERT_EQ(waiting.size(), 2u);
  EXPECT_EQ(waiting[0].topic, "r/a");
  EXPECT_EQ(waiting[0].correlation, "c1");
  EXPECT_EQ(waiting[1].topic, "r/b");
  EXPECT_EQ(waiting[1].correlation, "c2");
  // Repeated afterwards: the first result, at once.
  ASSERT_EQ(log.Note("x", c, &first), bridge::CommandLog::Seen::answered);
  EXPECT_EQ(json::parse(first), result);
  EXPECT_TRUE(log.Complete("x", json{{"other", 1}}).empty());
}

TEST(BridgeCommandLog, ForgetsTheOldestFinishedIdsBeyondItsCapacity) {
  bridge::CommandLog log(3);
  std::string out;
  const bridge::ReplyTo r{"t", ""};
  log.Note("running", r, &out);  // never completed
  for (const char* id : {"a", "b", "c", "d"}) {
    ASSERT_EQ(log.Note(id, r, &out), bridge::CommandLog::Seen::fresh) << id;
    log.Complete(id, json{{"id", id}});
  }
  // A command still running is never forgotten; the oldest finished ones
  // made room for the newer.
  EXPECT_EQ(log.Note("running", r, &out), bridge::CommandLog::Seen::pending);
  EXPECT_EQ(log.Note("d", r, &out), bridge::CommandLog::Seen::answered);
  EXPECT_EQ(log.Note("c", r, &out), bridge::CommandLog::Seen::answered);
  // Once it has ended, the oldest finished ids go as new ones come: the
  // newest are still answered, the oldest run again as new.
  log.Complete("running", json{{"id", "running"}});
  ASSERT_EQ(log.Note("e", r, &out), bridge::CommandLog::Seen::fresh);
  EXPECT_EQ(log.Note("d", r, &out), bridge::CommandLog::Seen::answered);
  EXPECT_EQ(json::parse(out), json({{"id", "d"}}));
  EXPECT_EQ(log.Note("a", r, &out), bridge::CommandLog::Seen::fresh);
  EXPECT_EQ(log.Note("running", r, &out), bridge::CommandLog::Seen::fresh);

  // Without a running command the capacity holds from the start.
  bridge::CommandLog small(2);
  for (const char* id : {"x", "y", "z"}) {
    ASSERT_EQ(small.Note(id, r, &out), bridge::CommandLog::Seen::fresh) << id;
    small.Complete(id, json{{"id", id}});
  }
  EXPECT_EQ(small.Note("z", r, &out), bridge::CommandLog::Seen::answered);
  EXPECT_EQ(small.Note("x", r, &out), bridge::CommandLog::Seen::fresh);
}

TEST(BridgeCommandLog, RunningCommandsNeverMakeItGrowBeyondItsBounds) {
  bridge::CommandLog log(2);
  std::string out;
  const bridge::ReplyTo r{"t", ""};
  ASSERT_EQ(log.Note("x", r, &out), bridge::CommandLog::Seen::fresh);
  ASSERT_EQ(log.Note("y", r, &out), bridge::CommandLog::Seen::fresh);
  // Both still running: a third id is refused, not remembered.
  EXPECT_EQ(log.Note("z", r, &out), bridge::CommandLog::Seen::busy);
  EXPECT_EQ(log.Note("z", r, &out), bridge::CommandLog::Seen::busy);
  log.Complete("y", json{{"id", "y"}});
  EXPECT_EQ(log.Note("z", r, &out), bridge::CommandLog::Seen::fresh);
  // The askers of a running id are bounded too (the first one included).
  for (std::size_t i = 1; i < bridge::CommandLog::kMaxWaiting; ++i)
    ASSERT_EQ(log.Note("x", r, &out), bridge::CommandLog::Seen::pending) << i;
  EXPECT_EQ(log.Note("x", r, &out), bridge::CommandLog::Seen::busy);
  EXPECT_EQ(log.Complete("x", json{{"id", "x"}}).size(), bridge::CommandLog::kMaxWaiting);
}

TEST(BridgeState, DocumentCarriesEveryReadingAndNullForTheAbsent) {
  bridge::Reading r;
  r.link = KAVTEL_LINK_OK;
  r.version = "203";
  r.state = KAVTEL_STATE_RUN;
  r.speed = 2.5;
  r.elevation = 3.5;
  r.acceleration = 7;
  r.distance = 120;
  r.duration = 61;
  r.heartRate = 98;
  r.energy = 12.5;
  r.power = 140;
  r.failSafe = 10;
  // error and weight: absent (a generation without them)
  const json doc = bridge::StateDocument(r, 42, 1700000000123);
  EXPECT_EQ(doc["seq"], 42);
  EXPECT_EQ(doc["ts"], 1700000000123);
  EXPECT_EQ(doc["link"], "ok");
  EXPECT_EQ(doc["version"], "203");
  EXPECT_EQ(doc["state"], "run");
  EXPECT_EQ(doc["speed_mps"], 2.5);
  EXPECT_EQ(doc["elevation"], 3.5);
  EXPECT_EQ(doc["acceleration"], 7);
  EXPECT_EQ(doc["distance"], 120);
  EXPECT_EQ(doc["duration_s"], 61);
  EXPECT_EQ(doc["heart_rate_bpm"], 98);
  EXPECT_EQ(doc["energy"], 12.5);
  EXPECT_EQ(doc["power_w"], 140);
  EXPECT_EQ(doc["fail_safe"], 10);
  EXPECT_TRUE(doc.contains("error") && doc["error"].is_null());
  EXPECT_TRUE(doc.contains("weight_kg") && doc["weight_kg"].is_null());

  const json closed = bridge::StateDocument(bridge::Reading{}, 1, 0);
  EXPECT_EQ(closed["link"], "closed");
  EXPECT_TRUE(closed["state"].is_null());
  EXPECT_EQ(bridge::StateDocument([] { bridge::Reading d; d.link = KAVTEL_LINK_LOST; d.state = KAVTEL_STATE_DETECTING; return d; }(), 1, 0)["state"],
            "detecting");
}

// A state is published on change: a reading that changes in any one field
// must count as changed.
TEST(BridgeState, AChangeInAnyReadingIsAChange) {
  const bridge::Reading base = [] {
    bridge::Reading r;
    r.link = KAVTEL_LINK_OK;
    r.version = "203";
    r.state = 0;
    r.speed = r.elevation = r.energy = r.power = 0.0;
    r.acceleration = r.distance = r.duration = r.heartRate = r.failSafe = r.error = r.weight = 0;
    return r;
  }();
  using Change = void (*)(bridge::Reading&);
  const Change changes[] = {
      [](bridge::Reading& r) { r.link = KAVTEL_LINK_LOST; },  [](bridge::Reading& r) { r.version = "224"; },
      [](bridge::Reading& r) { r.state = 1; },                [](bridge::Reading& r) { r.speed = 0.1; },
      [](bridge::Reading& r) { r.elevation = 0.5; },          [](bridge::Reading& r) { r.energy = 0.1; },
      [](bridge::Reading& r) { r.power = 1; },                [](bridge::Reading& r) { r.acceleration = 1; },
      [](bridge::Reading& r) { r.distance = 1; },             [](bridge::Reading& r) { r.duration = 1; },
      [](bridge::Reading& r) { r.heartRate = 1; },            [](bridge::Reading& r) { r.failSafe = 1; },
      [](bridge::Reading& r) { r.error = 1; },                [](bridge::Reading& r) { r.weight = 1; },
      [](bridge::Reading& r) { r.speed.reset(); },
  };
  EXPECT_EQ(base, base);
  for (std::size_t i = 0; i < std::size(changes); ++i) {
    bridge::Reading changed = base;
    changes[i](changed);
    EXPECT_NE(changed, base) << "change " << i;
  }
}

}  // namespace
