#include "recognition.h"

#include <cstdio>
#include <cstring>

const char GAME_MARKER[] = "K\xD6" "DV\xC1" "RI \xD5" "RS\xC9" "GE";
const char PLAYER_LABEL[] = "KALANDOZ\xD3: #";
const char TITLE_TAG[] = "<TITLE>";

namespace {

constexpr size_t kLabelLength = sizeof(PLAYER_LABEL) - 1;
constexpr size_t kTagLength = sizeof(TITLE_TAG) - 1;
// The title name starts this far after the start of the tag: the tag and
// the two bytes that follow it are skipped.
constexpr size_t kTitleSkip = kTagLength + 2;
// Longest search key " %d." that the program handles, NUL excluded.
constexpr size_t kMaxKeyLength = 11;
constexpr int kMaxDigits = 9;

// Copies up to `count` bytes of text from `src`, stopping at its NUL, then
// fills the rest of the `count` bytes with NULs and terminates at
// dst[count]. With `unconverted`, src holds a file's bytes and the CR of
// each CR LF pair is not part of the text.
void copyPadded(char* dst, const char* src, size_t count, bool unconverted) {
  size_t n = 0;
  if (unconverted) {
    for (; n < count && *src; ++n, ++src) {
      // src[1] exists: *src is not the terminating NUL.
      if (src[0] == '\r' && src[1] == '\n')
        ++src;
      dst[n] = *src;
    }
  } else {
    const void* end = std::memchr(src, '\0', count);
    n = end ? static_cast<size_t>(static_cast<const char*>(end) - src) : count;
    std::memcpy(dst, src, n);
  }
  std::memset(dst + n, '\0', count + 1 - n);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool extractPlayerId(char* id, const char* text, bool unconverted) {
  id[0] = '\0';
  const char* label = std::strstr(text, PLAYER_LABEL);
  if (!label || !std::strstr(text, GAME_MARKER))
    return false;
  copyPadded(id, label + kLabelLength, PLAYER_ID_LENGTH, unconverted);
  return true;
}

bool extractTitleName(char* title, const char* text, bool unconverted) {
  title[0] = '\0';
  const char* tag = std::strstr(text, TITLE_TAG);
  if (!tag || !std::strstr(text, GAME_MARKER))
    return false;
  // The two skipped bytes and the title's, as text.
  char window[kTitleSkip - kTagLength + TITLE_NAME_LENGTH + 1];
  copyPadded(window, tag + kTagLength, sizeof window - 1, unconverted);
  // The copy starts two bytes past the tag; both must be part of the text.
  if (window[0] == '\0' || window[1] == '\0')
    return false;
  std::memcpy(title, window + kTitleSkip - kTagLength, TITLE_NAME_LENGTH + 1);

  int32_t number = 0;
  if (!scanNumberFromEnd(title, 1, &number)) {
    title[0] = '\0';
    return false;
  }
  char key[16];
  int keyLength = std::snprintf(key, sizeof key, " %d.", static_cast<int>(number));
  const char* cut = nullptr;
  if (keyLength > 0 && static_cast<size_t>(keyLength) <= kMaxKeyLength)
    cut = std::strstr(title, key);
  if (!cut) {
    title[0] = '\0';
    return false;
  }
  title[cut - title] = '\0';
  return true;
}

bool scanNumberFromEnd(const char* text, int n, int32_t* value) {
  *value = 0;
  if (!text || n < 1)
    return true;
  const char* p = text + std::strlen(text);
  int seen = 0;
  while (p != text) {
    if (!isDigit(p[-1])) {
      --p;
      continue;
    }
    const char* last = p;  // one past the run's last digit
    while (p != text && isDigit(p[-1]))
      --p;
    if (++seen < n)
      continue;
    if (last - p > kMaxDigits)
      return false;
    int32_t v = 0;
    for (const char* d = p; d != last; ++d)
      v = v * 10 + (*d - '0');
    *value = (p != text && p[-1] == '-') ? -v : v;
    return true;
  }
  return true;
}

int32_t nthNumberFromEnd(const char* text, int n) {
  int32_t value = 0;
  scanNumberFromEnd(text, n, &value);
  return value;
}
