// Names on Windows: the UTF-16 names of the system as the UTF-8 (WTF-8) of
// the rest of the program and back, and the names that Windows would
// refuse or change, which are refused.
#include <algorithm>
#include <cstring>

#include "platform/win32/win32.h"

namespace {

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 name devices whatever follows the
// first period, and whatever spaces end the part before it. Windows counts
// the superscript digits as digits there.
bool isDeviceName(const std::u32string& name) {
  size_t length = std::min(name.find(U'.'), name.size());
  while (length > 0 && name[length - 1] == U' ')
    --length;
  std::string upper;
  for (size_t i = 0; i < length && i < 3; ++i) {
    char32_t c = name[i];
    upper += static_cast<char>(c >= U'a' && c <= U'z' ? c - 32 : c);
  }
  if (length == 3)
    return upper == "CON" || upper == "PRN" || upper == "AUX" ||
           upper == "NUL";
  if (length != 4 || (upper != "COM" && upper != "LPT"))
    return false;
  char32_t digit = name[3];
  return (digit >= U'1' && digit <= U'9') || digit == 0xB9 || digit == 0xB2 ||
         digit == 0xB3;
}

}  // namespace

bool hostRefusesDirName(const char* raw) {
  std::u32string name;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(raw);
       *p; ++p)
    name += static_cast<char32_t>(host::latin2CodePoint(*p));
  // The C1 control characters, as on every host; then what Windows takes
  // for a path's punctuation or a device, and a final space or period,
  // which Windows drops, so that the name would not be the one checked.
  for (char32_t c : name) {
    bool c1 = c >= 0x80 && c <= 0x9F;
    if (c1 || (c < 0x80 && std::strchr("<>:\"|?*", static_cast<int>(c))))
      return true;
  }
  if (!name.empty() && (name.back() == U' ' || name.back() == U'.'))
    return true;
  return isDeviceName(name);
}

size_t appendForConsole(std::string* out, const char* name, size_t size) {
  return host::appendUtf8ForConsole(out, name, size, true);
}

namespace win32 {

std::wstring toWide(const char* name, size_t size) {
  std::wstring units;
  units.reserve(size);
  for (size_t i = 0; i < size;) {
    uint32_t cp = 0;
    size_t n = host::decodeUtf8(name + i, size - i, &cp, true);
    if (n == 0) {
      // Never made here; should it come, it finds no file.
      cp = 0xFFFD;
      n = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units += static_cast<wchar_t>(0xD800 | (cp >> 10));
      units += static_cast<wchar_t>(0xDC00 | (cp & 0x3FF));
    } else {
      units += static_cast<wchar_t>(cp);
    }
    i += n;
  }
  return units;
}

std::wstring toWide(const char* name) {
  return toWide(name, std::strlen(name));
}

std::string fromWide(const wchar_t* units, size_t size) {
  std::string name;
  for (size_t i = 0; i < size; ++i) {
    uint32_t unit = static_cast<uint16_t>(units[i]);
    uint32_t next = i + 1 < size ? static_cast<uint16_t>(units[i + 1]) : 0;
    // A pair is one character; a lone surrogate stays as it is (WTF-8).
    if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
      host::appendUtf8(&name, 0x10000 + ((unit - 0xD800) << 10) +
                                  (next - 0xDC00));
      ++i;
    } else {
      host::appendUtf8(&name, unit);
    }
  }
  return name;
}

std::string fromWide(const wchar_t* units) {
  return fromWide(units, std::wcslen(units));
}

std::string shownPath(const char* path) {
  std::string shown = path;
  std::replace(shown.begin(), shown.end(), '/', '\\');
  return shown;
}

std::string shownFailure(const char* op, const char* path,
                         host::SystemError error) {
  return host::failure(op, shownPath(path).c_str(), error);
}

bool fitsPath(const char* path, unsigned long reserve) {
  wchar_t full[MAX_PATH];
  DWORD n = GetFullPathNameW(toWide(path).c_str(), MAX_PATH, full, nullptr);
  return n != 0 && n < MAX_PATH - reserve;
}

}  // namespace win32
