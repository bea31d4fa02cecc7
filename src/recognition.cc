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

// Copies up to `count` bytes of text from `at`, fills the rest of the
// `count` bytes with NULs and terminates at dst[count].
void copyPadded(char* dst, const ReportText& text, const char* at,
                size_t count) {
  size_t n = text.Copy(at, count, dst);
  std::memset(dst + n, '\0', count + 1 - n);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Cuts `title` at the first " %d." key of its last number. False when the
// number or its key is out of range or the key does not occur.
bool cutAtRoundNumber(char* title) {
  int32_t number = 0;
  if (!nthNumberFromEnd(title, 1, &number))
    return false;
  char key[16];
  int keyLength =
      std::snprintf(key, sizeof key, " %d.", static_cast<int>(number));
  if (keyLength <= 0 || static_cast<size_t>(keyLength) > kMaxKeyLength)
    return false;
  char* cut = std::strstr(title, key);
  if (!cut)
    return false;
  *cut = '\0';
  return true;
}

}  // namespace

bool extractPlayerId(char* id, const ReportText& text) {
  id[0] = '\0';
  const char* label = text.Find(PLAYER_LABEL);
  if (!label || !text.Find(GAME_MARKER))
    return false;
  copyPadded(id, text, label + kLabelLength, PLAYER_ID_LENGTH);
  return true;
}

bool extractTitleName(char* title, const ReportText& text) {
  title[0] = '\0';
  const char* tag = text.Find(TITLE_TAG);
  if (!tag || !text.Find(GAME_MARKER))
    return false;
  // The two skipped bytes and the title's.
  char window[kTitleSkip - kTagLength + TITLE_NAME_LENGTH + 1];
  copyPadded(window, text, tag + kTagLength, sizeof window - 1);
  // The copy starts two bytes past the tag; both must be part of the text.
  if (window[0] == '\0' || window[1] == '\0')
    return false;
  std::memcpy(title, window + kTitleSkip - kTagLength, TITLE_NAME_LENGTH + 1);
  if (!cutAtRoundNumber(title)) {
    title[0] = '\0';
    return false;
  }
  return true;
}

bool nthNumberFromEnd(const char* text, int n, int32_t* value) {
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
