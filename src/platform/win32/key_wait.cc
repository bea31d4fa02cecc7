// The key wait on Windows: one key press on the console, with the console's
// mode restored afterwards.
#include <windows.h>

#include "platform/host.h"
#include "platform/key_event.h"

static_assert(vk::kBack == VK_BACK && vk::kTab == VK_TAB &&
                  vk::kClear == VK_CLEAR && vk::kReturn == VK_RETURN &&
                  vk::kShift == VK_SHIFT && vk::kControl == VK_CONTROL &&
                  vk::kMenu == VK_MENU && vk::kPause == VK_PAUSE &&
                  vk::kCapital == VK_CAPITAL && vk::kEscape == VK_ESCAPE &&
                  vk::kSpace == VK_SPACE,
              "key codes up to Space");
static_assert(vk::kPrior == VK_PRIOR && vk::kNext == VK_NEXT &&
                  vk::kEnd == VK_END && vk::kHome == VK_HOME &&
                  vk::kLeft == VK_LEFT && vk::kUp == VK_UP &&
                  vk::kRight == VK_RIGHT && vk::kDown == VK_DOWN &&
                  vk::kInsert == VK_INSERT && vk::kDelete == VK_DELETE,
              "cursor and editing key codes");
static_assert(vk::kLWin == VK_LWIN && vk::kRWin == VK_RWIN &&
                  vk::kApps == VK_APPS && vk::kNumpad0 == VK_NUMPAD0 &&
                  vk::kNumpad9 == VK_NUMPAD9 && vk::kMultiply == VK_MULTIPLY &&
                  vk::kAdd == VK_ADD && vk::kSeparator == VK_SEPARATOR &&
                  vk::kSubtract == VK_SUBTRACT && vk::kDecimal == VK_DECIMAL &&
                  vk::kDivide == VK_DIVIDE && vk::kF1 == VK_F1 &&
                  vk::kF12 == VK_F12,
              "keypad and function key codes");
static_assert(vk::kNumLock == VK_NUMLOCK && vk::kScroll == VK_SCROLL &&
                  vk::kLShift == VK_LSHIFT && vk::kRShift == VK_RSHIFT &&
                  vk::kLControl == VK_LCONTROL &&
                  vk::kRControl == VK_RCONTROL && vk::kLMenu == VK_LMENU &&
                  vk::kRMenu == VK_RMENU,
              "lock and modifier key codes");

namespace host {

// Reads the console itself, so that redirected standard input does not end
// the wait; and only where standard output is that console, where the user
// reads the run (a double click, a command typed): `korendezo > log` and
// `korendezo | more` end at once.
void waitForKey() {
  DWORD mode;
  if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
    return;
  HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE)
    return;
  DWORD saved;
  if (GetConsoleMode(input, &saved)) {
    // Keys arrive one by one, unechoed, Ctrl+C as a key. Input typed during
    // the run stays: its first key press counts.
    DWORD raw = saved & ~static_cast<DWORD>(ENABLE_LINE_INPUT |
                                            ENABLE_ECHO_INPUT |
                                            ENABLE_PROCESSED_INPUT);
    if (SetConsoleMode(input, raw)) {
      INPUT_RECORD record;
      DWORD n;
      // As characters: a letter that the ANSI code page lacks is one too.
      while (ReadConsoleInputW(input, &record, 1, &n) && n == 1) {
        if (record.EventType != KEY_EVENT)
          continue;
        const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
        const wchar_t unit = key.uChar.UnicodeChar;
        const char character =
            unit == 0 ? '\0' : unit < 0x80 ? static_cast<char>(unit) : '?';
        if (keyEndsWait({key.bKeyDown != FALSE, key.wVirtualKeyCode,
                         character}))
          break;
      }
      SetConsoleMode(input, saved);
    }
  }
  CloseHandle(input);
}

}  // namespace host
