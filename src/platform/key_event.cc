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
