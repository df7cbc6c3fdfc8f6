// The keypad's rules on their own: which text a press or a release sends,
// for a generation, a held key and a gated port.

#include <gtest/gtest.h>

#include <string>

#include "device/keypad.h"

namespace kavtel {
namespace {

struct KeyCase {
  const char* what;
  bool press;  // else a release
  TRNXBtn key;
  std::int32_t generation;
  bool held;
  bool gated;
  const char* text;  // "" for nothing sent
  bool changesHeld;  // the key enters (press) or leaves (release) the held set
};

const KeyCase kCases[] = {
    {"plus, generation 1", true, rnxbtnplus, 1, false, false, "U00+", true},
    {"plus, generation 2", true, rnxbtnplus, 2, false, false, "U10+P", true},
    {"plus held is not pressed again", true, rnxbtnplus, 2, true, false, "", false},
    {"plus waits while gated", true, rnxbtnplus, 2, false, true, "", false},
    {"minus released while gated: nothing", false, rnxbtnminus, 2, true, true, "", false},
    {"up repeats while held", true, rnxbtnup, 2, true, false, "U10UP", true},
    {"down is not gated", true, rnxbtndown, 1, false, true, "U00D", true},
    {"generation 0 takes the newer texts", true, rnxbtndown, 0, false, false, "U10DP", true},
    {"start is the same in every generation", true, rnxbtnstart, 1, false, false, "U10EP", true},
    {"start released only when held", false, rnxbtnstart, 2, false, false, "", false},
    {"start released", false, rnxbtnstart, 2, true, false, "U10ER", true},
    {"stop, generation 1", true, rnxbtnstop, 1, false, true, "U00S", true},
    {"stop released below generation 2: nothing sent, not held", false, rnxbtnstop, 1, true, false, "", true},
    {"stop released, generation 2", false, rnxbtnstop, 2, true, false, "U10SR", true},
    {"plus released without a press is still sent", false, rnxbtnplus, 2, false, false, "U10+R", true},
    {"no key", true, rnxbtnnone, 2, false, false, "", false},
};

TEST(Keypad, EachPressAndReleaseSendsItsTextOrNothing) {
  for (const KeyCase& c : kCases) {
    SCOPED_TRACE(c.what);
    const TKavtelKeypad::Action a = c.press ? TKavtelKeypad::Press(c.key, c.generation, c.held, c.gated)
                                            : TKavtelKeypad::Release(c.key, c.generation, c.held, c.gated);
    EXPECT_EQ(std::string(a.text != nullptr ? a.text : ""), c.text);
    EXPECT_EQ(c.press ? a.hold : a.release, c.changesHeld);
  }
}

}  // namespace
}  // namespace kavtel
