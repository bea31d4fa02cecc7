#include "platform/key_event.h"

bool keyEndsWait(const KeyEvent& event) {
  if (!event.keyDown)
    return false;
  if (event.character != 0)
    return true;
  const uint16_t key = event.virtualKey;
  // Windows gives Esc its character; wine's console on a terminal does not.
  return key == vk::kEscape || (key >= vk::kF1 && key <= vk::kF12) ||
         (key >= vk::kPrior && key <= vk::kDown) ||  // pages, End, Home, arrows
         key == vk::kInsert || key == vk::kDelete ||
         (key >= vk::kNumpad0 && key <= vk::kDivide) || key == vk::kClear;
}

bool completesKey(const unsigned char* bytes, size_t size) {
  const unsigned char kEsc = 0x1B;
  if (bytes[0] == kEsc) {
    if (size == 1)
      return false;
    if (bytes[1] != '[' && bytes[1] != 'O')
      return completesKey(bytes + 1, size - 1);  // Alt: ESC, then the key
    if (size == 2)
      return false;
    // The linux console's F1-F5: ESC [ [ and one letter.
    if (bytes[1] == '[' && bytes[2] == '[')
      return size >= 4;
    // Parameter and intermediate bytes (0x20-0x3F) come before the final
    // byte; anything else ends the sequence, well-formed or not.
    unsigned char last = bytes[size - 1];
    return last < 0x20 || last > 0x3F;
  }
  unsigned char lead = bytes[0];
  size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 1;
  if (size == 1)
    return length == 1;
  // A byte that cannot continue the character ends it early.
  return size >= length || (bytes[size - 1] & 0xC0) != 0x80;
}
