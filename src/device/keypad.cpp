#include "device/keypad.h"

#include "device/setpoints.h"

namespace kavtel {

namespace {

struct KeyTexts {
  const char* press1;    // generation 1
  const char* release1;
  const char* press;     // every other generation
  const char* release;
};

const KeyTexts* TextsOf(TRNXBtn key) {
  static constexpr KeyTexts kPlus{"U00+", "U00H", "U10+P", "U10+R"};
  static constexpr KeyTexts kMinus{"U00-", "U00H", "U10-P", "U10-R"};
  static constexpr KeyTexts kUp{"U00U", "U00H", "U10UP", "U10UR"};
  static constexpr KeyTexts kDown{"U00D", "U00H", "U10DP", "U10DR"};
  static constexpr KeyTexts kStart{"U10EP", "U10ER", "U10EP", "U10ER"};
  static constexpr KeyTexts kStop{stop_text::kGeneration1, nullptr, stop_text::kKeyPress, stop_text::kKeyRelease};
  switch (key) {
    case rnxbtnplus: return &kPlus;
    case rnxbtnminus: return &kMinus;
    case rnxbtnup: return &kUp;
    case rnxbtndown: return &kDown;
    case rnxbtnstart: return &kStart;
    case rnxbtnstop: return &kStop;
    default: return nullptr;
  }
}

bool IsGatedKey(TRNXBtn key) { return key == rnxbtnplus || key == rnxbtnminus; }

}  // namespace

TKavtelKeypad::Action TKavtelKeypad::Press(TRNXBtn key, std::int32_t versionMajor, bool held,
                                           bool gated) {
  const KeyTexts* texts = TextsOf(key);
  if (texts == nullptr || (IsGatedKey(key) && gated)) return {};
  // Up and down repeat while held; the others are pressed once.
  if (held && key != rnxbtnup && key != rnxbtndown) return {};
  return {versionMajor == 1 ? texts->press1 : texts->press, true, false};
}

TKavtelKeypad::Action TKavtelKeypad::Release(TRNXBtn key, std::int32_t versionMajor, bool held,
                                             bool gated) {
  const KeyTexts* texts = TextsOf(key);
  if (texts == nullptr || (IsGatedKey(key) && gated)) return {};
  if ((key == rnxbtnstart || key == rnxbtnstop) && !held) return {};
  if (key == rnxbtnstop && versionMajor < 2) return {nullptr, false, true};
  return {versionMajor == 1 ? texts->release1 : texts->release, false, true};
}

}  // namespace kavtel
