// The workout language, its runner on a fake clock, and the keys of
// `kavtelctl run`.
#include <gtest/gtest.h>

#include "key_input.h"
#include "script_runner.h"
#include "workout_script.h"

namespace kavtel::ctl {
namespace {

struct GoodLine {
  const char* line;
  StepKind kind;
  double number;
};

TEST(WorkoutScript, ParsesEveryKindOfStep) {
  const GoodLine cases[] = {
      {"wait 2", StepKind::wait, 2},
      {"  wait\t0.25  # a quarter", StepKind::wait, 0.25},
      {"speed 2.5", StepKind::speed, 2.5},
      {"speed 0", StepKind::speed, 0},
      {"elevation -1.5", StepKind::elevation, -1.5},
      {"acceleration 7", StepKind::acceleration, 7},
      {"acceleration 255", StepKind::acceleration, 255},
      {"failsafe 0", StepKind::failsafe, 0},
      {"key start", StepKind::key, 0},
      {"log on\r", StepKind::log, 0},
      {"expect speed >= 2.45", StepKind::expect, 2.45},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto step = ParseScriptLine(c.line, 4, error);
    ASSERT_TRUE(step) << c.line << ": " << error;
    EXPECT_EQ(step->kind, c.kind) << c.line;
    EXPECT_DOUBLE_EQ(step->number, c.number) << c.line;
    EXPECT_EQ(step->line, 4);
    EXPECT_TRUE(error.empty());
  }
}

TEST(WorkoutScript, ReadsKeysLogAndExpectations) {
  std::string error;
  auto step = ParseScriptLine("key down release", 1, error);
  ASSERT_TRUE(step);
  EXPECT_EQ(step->key, KeyName::down);
  EXPECT_EQ(step->action, KeyAction::release);
  step = ParseScriptLine("key plus", 1, error);
  ASSERT_TRUE(step);
  EXPECT_EQ(step->action, KeyAction::tap);
  step = ParseScriptLine("log off", 1, error);
  ASSERT_TRUE(step);
  EXPECT_FALSE(step->on);
  step = ParseScriptLine("expect state != stopping within 4.5", 1, error);
  ASSERT_TRUE(step);
  EXPECT_EQ(step->field, Field::state);
  EXPECT_EQ(step->compare, Compare::not_equal);
  EXPECT_EQ(step->number, KAVTEL_STATE_STOPPING);
  EXPECT_DOUBLE_EQ(step->within, 4.5);
  EXPECT_EQ(step->text, "expect state != stopping within 4.5");
  step = ParseScriptLine("expect heartrate < 120", 1, error);
  ASSERT_TRUE(step);
  EXPECT_DOUBLE_EQ(step->within, 30);
}

TEST(WorkoutScript, BlankAndCommentLinesAreNoSteps) {
  for (const char* line : {"", "   ", "# just a remark", "\t# indented remark", "\r"}) {
    std::string error;
    EXPECT_FALSE(ParseScriptLine(line, 1, error)) << line;
    EXPECT_TRUE(error.empty()) << line << ": " << error;
  }
}

TEST(WorkoutScript, RefusesBadLinesWithTheirNumber) {
  const char* const bad[] = {
      "walk 2",                     // unknown step
      "wait",                       // no number
      "wait 1 2",                   // two numbers
      "wait -1",                    // negative time
      "speed 2,5",                  // decimal comma
      "speed 2.5kmh",               // unit glued on
      "speed nan",                  // not a number
      "speed 1e3",                  // exponent
      "acceleration 2.5",           // not whole
      "acceleration 256",           // beyond a byte
      "failsafe -1",                //
      "key jump",                   // unknown key
      "key start hold",             // unknown action
      "key start tap twice",        //
      "log maybe",                  //
      "log",                        //
      "expect speed 2.5",           // no comparison
      "expect pace >= 2",           // unknown field
      "expect speed => 2",          // unknown comparison
      "expect state = running",     // unknown state
      "expect speed = fast",        //
      "expect speed = 2 within",    //
      "expect speed = 2 within 0",  //
      "expect speed = 2 after 3",   //
  };
  for (const char* line : bad) {
    std::string error;
    EXPECT_FALSE(ParseScriptLine(line, 12, error)) << line;
    EXPECT_EQ(error.rfind("line 12: ", 0), 0u) << line << " -> " << error;
  }
}

TEST(WorkoutScript, AWholeScriptStopsAtItsFirstBadLine) {
  ParsedScript script = ParseScript("# warm up\nspeed 1\n\nwait 2 # walk\nspeed 2.5\n");
  ASSERT_TRUE(script.error.empty()) << script.error;
  ASSERT_EQ(script.steps.size(), 3u);
  EXPECT_EQ(script.steps[0].line, 2);
  EXPECT_EQ(script.steps[1].line, 4);
  EXPECT_EQ(script.steps[2].line, 5);

  script = ParseScript("speed 1\nwait x\nspeed 2\nbogus\n");
  EXPECT_EQ(script.error.rfind("line 2: ", 0), 0u) << script.error;
  EXPECT_TRUE(script.steps.empty());
}

// The runner on a fake clock, with the library calls it asks for recorded.
class Runner : public ::testing::Test {
 protected:
  using Clock = ScriptRunner::Clock;

  ScriptRunner Make(const char* text) {
    ParsedScript script = ParseScript(text);
    EXPECT_TRUE(script.error.empty()) << script.error;
    return ScriptRunner(script.steps, [this](const ScriptStep& step) { announced.push_back(step.line); });
  }
  ScriptRunner::Status Tick(ScriptRunner& runner, double seconds) {
    return runner.Advance(t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)),
                          readings, [this](const ScriptStep& step) {
                            performed.push_back(step.text);
                            return result;
                          });
  }

  Clock::time_point t0 = Clock::now();
  Readings readings;
  int result = KAVTEL_OK;
  std::vector<std::string> performed;
  std::vector<int> announced;
};

TEST_F(Runner, PerformsOneActionATickAndWaitsItsTime) {
  ScriptRunner runner = Make("speed 2\nkey start press\nwait 1.5\nlog on\n");
  EXPECT_EQ(Tick(runner, 0), ScriptRunner::Status::running);
  EXPECT_EQ(performed, std::vector<std::string>{"speed 2"});
  EXPECT_EQ(Tick(runner, 0.1), ScriptRunner::Status::running);
  EXPECT_EQ(performed.size(), 2u);
  EXPECT_EQ(Tick(runner, 0.2), ScriptRunner::Status::running);  // the wait starts
  EXPECT_EQ(Tick(runner, 1.6), ScriptRunner::Status::running);  // 1.4 s in
  EXPECT_EQ(performed.size(), 2u);
  EXPECT_EQ(Tick(runner, 1.7), ScriptRunner::Status::running);  // over: log on
  EXPECT_EQ(performed.back(), "log on");
  EXPECT_EQ(Tick(runner, 1.8), ScriptRunner::Status::done);
  EXPECT_EQ(announced, (std::vector<int>{1, 2, 3, 4}));
}

TEST_F(Runner, AnExpectationWaitsForTheReadingsOrFailsWhenItsTimeIsUp) {
  ScriptRunner met = Make("expect speed >= 2.45 within 10\n");
  readings.speed = {KAVTEL_DETECTING, 0};
  EXPECT_EQ(Tick(met, 0), ScriptRunner::Status::running);  // unreadable
  readings.speed = {KAVTEL_OK, 1.0};
  EXPECT_EQ(Tick(met, 5), ScriptRunner::Status::running);
  readings.speed = {KAVTEL_OK, 2.5};
  EXPECT_EQ(Tick(met, 9.9), ScriptRunner::Status::done);

  ScriptRunner missed = Make("wait 0\nexpect state = run within 2\n");
  readings.state = {KAVTEL_OK, KAVTEL_STATE_STOP};
  EXPECT_EQ(Tick(missed, 0), ScriptRunner::Status::running);
  EXPECT_EQ(Tick(missed, 1.9), ScriptRunner::Status::running);
  EXPECT_EQ(Tick(missed, 2.1), ScriptRunner::Status::expectation_failed);
  EXPECT_NE(missed.Failure().find("line 2: expect state = run within 2: not met within 2 s (state is 0)"),
            std::string::npos)
      << missed.Failure();
  EXPECT_EQ(Tick(missed, 3), ScriptRunner::Status::expectation_failed);  // stays failed
}

TEST_F(Runner, AFailedOperationEndsTheRunWithItsCode) {
  ScriptRunner runner = Make("speed 1\nelevation 2\nspeed 3\n");
  EXPECT_EQ(Tick(runner, 0), ScriptRunner::Status::running);
  result = KAVTEL_DETECTING;
  EXPECT_EQ(Tick(runner, 0.1), ScriptRunner::Status::operation_failed);
  EXPECT_EQ(runner.FailedCode(), KAVTEL_DETECTING);
  EXPECT_EQ(runner.Failure().rfind("line 2: elevation 2: the controller is still being identified (code -2)", 0), 0u)
      << runner.Failure();
  EXPECT_EQ(Tick(runner, 0.2), ScriptRunner::Status::operation_failed);
  EXPECT_EQ(performed.size(), 2u);  // "speed 3" never went out
}

TEST(Comparisons, ToleranceOnlyForEquality) {
  EXPECT_TRUE(Satisfies(2.4995, Compare::equal, 2.5));
  EXPECT_FALSE(Satisfies(2.49, Compare::equal, 2.5));
  EXPECT_TRUE(Satisfies(2.49, Compare::not_equal, 2.5));
  EXPECT_TRUE(Satisfies(2.4995, Compare::greater_equal, 2.5));
  EXPECT_FALSE(Satisfies(2.5, Compare::greater, 2.5));
  EXPECT_FALSE(Satisfies(2.5, Compare::less, 2.5));
  EXPECT_TRUE(Satisfies(2.5005, Compare::less_equal, 2.5));
}

TEST(KeyInputTest, KeysAndEntries) {
  using Kind = KeyCommand::Kind;
  KeyInput input;
  EXPECT_EQ(input.Feed('s').kind, Kind::start);
  EXPECT_EQ(input.Feed(' ').kind, Kind::stop);
  EXPECT_EQ(input.Feed('+').kind, Kind::faster);
  EXPECT_EQ(input.Feed('?').kind, Kind::none);
  // A speed typed with a decimal comma and a correction.
  EXPECT_EQ(input.Feed('v').kind, Kind::none);
  for (int key : {int{'2'}, int{','}, int{'7'}, 127, int{'5'}, int{'q'}}) EXPECT_EQ(input.Feed(key).kind, Kind::none);
  EXPECT_NE(input.Footer().find("2.5"), std::string::npos) << input.Footer();
  const KeyCommand speed = input.Feed('\r');
  EXPECT_EQ(speed.kind, Kind::speed);
  EXPECT_DOUBLE_EQ(speed.value, 2.5);
  // Esc cancels; an empty or broken entry sets nothing.
  input.Feed('e');
  input.Feed('3');
  input.Feed(27);
  EXPECT_EQ(input.Feed('q').kind, Kind::quit);
  input.Feed('e');
  input.Feed('.');
  EXPECT_EQ(input.Feed('\n').kind, Kind::none);
  EXPECT_NE(input.Footer().find("not a number"), std::string::npos);
  input.Feed('e');
  input.Feed('-');
  input.Feed('1');
  const KeyCommand down = input.Feed('\n');
  EXPECT_EQ(down.kind, Kind::elevation);
  EXPECT_DOUBLE_EQ(down.value, -1);
}

}  // namespace
}  // namespace kavtel::ctl
