#include "platform/key_event.h"

#include <gtest/gtest.h>

namespace {

struct KeyCase {
  const char* what;
  KeyEvent event;
  bool ends;
};

TEST(KeyEndsWait, Table) {
  const KeyCase cases[] = {
      // Keys that yield a character, control characters included.
      {"letter", {true, 'A', 'a'}, true},
      {"Enter", {true, vk::kReturn, '\r'}, true},
      {"Esc", {true, vk::kEscape, 0x1B}, true},
      {"Backspace", {true, vk::kBack, 0x08}, true},
      {"Tab", {true, vk::kTab, '\t'}, true},
      {"Space", {true, vk::kSpace, ' '}, true},
      {"Ctrl+C", {true, 'C', 0x03}, true},
      {"accented letter", {true, 0xBA, static_cast<char>(0xA2)}, true},
      {"character from an unknown key", {true, 0xFF, 'x'}, true},
      // Keys without a character that still end the wait.
      {"Esc as wine's console gives it", {true, vk::kEscape, 0}, true},
      {"F1", {true, vk::kF1, 0}, true},
      {"F5", {true, vk::kF1 + 4, 0}, true},
      {"F12", {true, vk::kF12, 0}, true},
      {"Left", {true, vk::kLeft, 0}, true},
      {"Up", {true, vk::kUp, 0}, true},
      {"Right", {true, vk::kRight, 0}, true},
      {"Down", {true, vk::kDown, 0}, true},
      {"Page Up", {true, vk::kPrior, 0}, true},
      {"Page Down", {true, vk::kNext, 0}, true},
      {"Home", {true, vk::kHome, 0}, true},
      {"End", {true, vk::kEnd, 0}, true},
      {"Insert", {true, vk::kInsert, 0}, true},
      {"Delete", {true, vk::kDelete, 0}, true},
      {"keypad 0", {true, vk::kNumpad0, 0}, true},
      {"keypad 9", {true, vk::kNumpad9, 0}, true},
      {"keypad *", {true, vk::kMultiply, 0}, true},
      {"keypad +", {true, vk::kAdd, 0}, true},
      {"keypad separator", {true, vk::kSeparator, 0}, true},
      {"keypad -", {true, vk::kSubtract, 0}, true},
      {"keypad .", {true, vk::kDecimal, 0}, true},
      {"keypad /", {true, vk::kDivide, 0}, true},
      {"keypad 5 without Num Lock", {true, vk::kClear, 0}, true},
      // Keys that alone end nothing.
      {"Shift", {true, vk::kShift, 0}, false},
      {"left Shift", {true, vk::kLShift, 0}, false},
      {"right Shift", {true, vk::kRShift, 0}, false},
      {"Ctrl", {true, vk::kControl, 0}, false},
      {"left Ctrl", {true, vk::kLControl, 0}, false},
      {"right Ctrl", {true, vk::kRControl, 0}, false},
      {"Alt", {true, vk::kMenu, 0}, false},
      {"left Alt", {true, vk::kLMenu, 0}, false},
      {"right Alt", {true, vk::kRMenu, 0}, false},
      {"Caps Lock", {true, vk::kCapital, 0}, false},
      {"Num Lock", {true, vk::kNumLock, 0}, false},
      {"Scroll Lock", {true, vk::kScroll, 0}, false},
      {"Pause", {true, vk::kPause, 0}, false},
      {"left Windows", {true, vk::kLWin, 0}, false},
      {"right Windows", {true, vk::kRWin, 0}, false},
      {"menu key", {true, vk::kApps, 0}, false},
      {"next to F12", {true, vk::kF12 + 1, 0}, false},
      {"before keypad 0", {true, vk::kNumpad0 - 1, 0}, false},
      {"before Page Up", {true, vk::kPrior - 1, 0}, false},
      {"after Delete", {true, vk::kDelete + 1, 0}, false},
      {"letter key yielding nothing", {true, 'A', 0}, false},
      {"no key at all", {true, 0, 0}, false},
      // Releases end nothing, whatever the key.
      {"Enter released", {false, vk::kReturn, '\r'}, false},
      {"letter released", {false, 'A', 'a'}, false},
      {"F1 released", {false, vk::kF1, 0}, false},
      {"Down released", {false, vk::kDown, 0}, false},
  };
  for (const KeyCase& c : cases)
    EXPECT_EQ(c.ends, keyEndsWait(c.event)) << c.what;
}

}  // namespace
