// Names inside the program are UTF-8 on every host: names from a report
// are decoded from ISO-8859-2, their code page, and a name is checked
// character by character before the console shows it.
#include <string>

#include "platform/host.h"

namespace {

// ISO-8859-2 bytes 0xA0 to 0xFF as Unicode code points.
const unsigned short kLatin2High[96] = {
    0x00A0, 0x0104, 0x02D8, 0x0141, 0x00A4, 0x013D, 0x015A, 0x00A7,
    0x00A8, 0x0160, 0x015E, 0x0164, 0x0179, 0x00AD, 0x017D, 0x017B,
    0x00B0, 0x0105, 0x02DB, 0x0142, 0x00B4, 0x013E, 0x015B, 0x02C7,
    0x00B8, 0x0161, 0x015F, 0x0165, 0x017A, 0x02DD, 0x017E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

namespace host {

uint32_t latin2CodePoint(unsigned char byte) {
  return byte < 0xA0 ? byte : kLatin2High[byte - 0xA0];
}

void appendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

size_t decodeUtf8(const char* text, size_t left, uint32_t* cp,
                  bool surrogates) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  unsigned char c = s[0];
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    *cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    *cp = c & 0x0F;
    if (c == 0xE0)
      lo = 0xA0;
    if (c == 0xED && !surrogates)
      hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    *cp = c & 0x07;
    if (c == 0xF0)
      lo = 0x90;
    if (c == 0xF4)
      hi = 0x8F;
  } else {
    return 0;
  }
  if (left < n || s[1] < lo || s[1] > hi)
    return 0;
  for (size_t i = 1; i < n; ++i) {
    if (!isContinuation(s[i]))
      return 0;
    *cp = (*cp << 6) | (s[i] & 0x3F);
  }
  return n;
}

size_t appendUtf8ForConsole(std::string* out, const char* name, size_t size,
                            bool surrogates) {
  size_t chars = 0;
  for (size_t i = 0; i < size; ++chars) {
    uint32_t cp = 0;
    size_t n = decodeUtf8(name + i, size - i, &cp, surrogates);
    // Control characters, C1 included, and what is no character at all.
    if (n == 0 || cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      *out += '?';
      i += n ? n : 1;
      continue;
    }
    out->append(name + i, n);
    i += n;
  }
  return chars;
}

}  // namespace host

void appendReportName(std::string* out, const char* raw) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(raw);
       *p; ++p)
    host::appendUtf8(out, host::latin2CodePoint(*p));
}
