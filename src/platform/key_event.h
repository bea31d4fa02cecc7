// Which keys end the wait for a key at the end of a run: console key
// events (Windows) and the bytes a terminal sends (POSIX). Portable, so
// that both rule sets are tested on every host.
#ifndef KORENDEZO_PLATFORM_KEY_EVENT_H_
#define KORENDEZO_PLATFORM_KEY_EVENT_H_

#include <cstddef>
#include <cstdint>

// Windows virtual-key codes (the values of <windows.h>, which
// win32/key_wait.cc checks them against).
namespace vk {
constexpr uint16_t kBack = 0x08;
constexpr uint16_t kTab = 0x09;
constexpr uint16_t kClear = 0x0C;
constexpr uint16_t kReturn = 0x0D;
constexpr uint16_t kShift = 0x10;
constexpr uint16_t kControl = 0x11;
constexpr uint16_t kMenu = 0x12;  // Alt
constexpr uint16_t kPause = 0x13;
constexpr uint16_t kCapital = 0x14;  // Caps Lock
constexpr uint16_t kEscape = 0x1B;
constexpr uint16_t kSpace = 0x20;
constexpr uint16_t kPrior = 0x21;  // Page Up
constexpr uint16_t kNext = 0x22;   // Page Down
constexpr uint16_t kEnd = 0x23;
constexpr uint16_t kHome = 0x24;
constexpr uint16_t kLeft = 0x25;
constexpr uint16_t kUp = 0x26;
constexpr uint16_t kRight = 0x27;
constexpr uint16_t kDown = 0x28;
constexpr uint16_t kInsert = 0x2D;
constexpr uint16_t kDelete = 0x2E;
constexpr uint16_t kLWin = 0x5B;
constexpr uint16_t kRWin = 0x5C;
constexpr uint16_t kApps = 0x5D;
constexpr uint16_t kNumpad0 = 0x60;
constexpr uint16_t kNumpad9 = 0x69;
constexpr uint16_t kMultiply = 0x6A;
constexpr uint16_t kAdd = 0x6B;
constexpr uint16_t kSeparator = 0x6C;
constexpr uint16_t kSubtract = 0x6D;
constexpr uint16_t kDecimal = 0x6E;
constexpr uint16_t kDivide = 0x6F;
constexpr uint16_t kF1 = 0x70;
constexpr uint16_t kF12 = 0x7B;
constexpr uint16_t kNumLock = 0x90;
constexpr uint16_t kScroll = 0x91;
constexpr uint16_t kLShift = 0xA0;
constexpr uint16_t kRShift = 0xA1;
constexpr uint16_t kLControl = 0xA2;
constexpr uint16_t kRControl = 0xA3;
constexpr uint16_t kLMenu = 0xA4;
constexpr uint16_t kRMenu = 0xA5;
}  // namespace vk

// The parts of a console key event that the decision needs.
struct KeyEvent {
  bool keyDown;
  uint16_t virtualKey;
  char character;  // 0 when the key yields none
};

// True when the event ends the wait: a key press that yields a character,
// or Esc or one of the function, cursor, page, editing and keypad keys.
// Releases, modifiers, lock keys, Pause, the Windows and menu keys end
// nothing.
bool keyEndsWait(const KeyEvent& event);

// Whether `size` bytes (at least one) read from a terminal, each read only
// because the bytes before it were not yet a whole key, are one whole key
// press: a character (UTF-8 bytes included) or an escape sequence,
// optionally after an ESC that stands for Alt. ESC on its own is not whole
// here: the caller ends it when no further byte follows within a short
// time.
bool completesKey(const unsigned char* bytes, size_t size);

#endif  // KORENDEZO_PLATFORM_KEY_EVENT_H_
