#pragma once

#include <cstdint>

namespace kavtel {

// The keys of the controller's keypad; TRNXBtnPressed holds a set of them.
enum TRNXBtn : std::uint8_t {
  rnxbtnnone, rnxbtnminus, rnxbtnplus, rnxbtndown, rnxbtnup, rnxbtnstart, rnxbtnstop
};
// A set of keys, bit n for the key of ordinal n.
using TRNXBtnPressed = std::uint8_t;

// What pressing or releasing a key sends, and when it is sent at all. Pure:
// the device asks it and then queues the text.
//
// Generation 1 controllers take the "U00" key texts, every other generation
// (0 too: not identified yet) the "U10" press/release texts; start always
// uses "U10". Plus and minus are gated (nothing while the controller is
// being identified or the port is off); a held plus, minus, start or stop is
// not pressed again; up and down are sent every time; start and stop are
// released only when held, and a generation below 2 sends nothing for the
// stop key's release.
class TKavtelKeypad {
 public:
  struct Action {
    const char* text = nullptr;  // the command text to send, or null: nothing
    bool hold = false;           // add the key to the held set
    bool release = false;        // remove the key from the held set
  };

  static Action Press(TRNXBtn key, std::int32_t versionMajor, bool held, bool gated);
  static Action Release(TRNXBtn key, std::int32_t versionMajor, bool held, bool gated);
};

}  // namespace kavtel
