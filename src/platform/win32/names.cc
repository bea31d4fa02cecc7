// Names on Windows: report names are used as they are, in the ANSI code
// page, and names that Windows would refuse or change are refused.
#include <algorithm>
#include <cstring>

#include "platform/win32/win32.h"

namespace {

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool equalsNoCase(const char* a, size_t length, const char* b) {
  if (std::strlen(b) != length)
    return false;
  for (size_t i = 0; i < length; ++i) {
    char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
    if (x != b[i])
      return false;
  }
  return true;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 name devices whatever follows the
// first period, and whatever spaces end the part before it.
bool isDeviceName(const char* name) {
  size_t length = std::strcspn(name, ".");
  while (length > 0 && name[length - 1] == ' ')
    --length;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  for (const char* device : kDevices) {
    if (equalsNoCase(name, length, device))
      return true;
  }
  return length == 4 && (equalsNoCase(name, 3, "COM") ||
                         equalsNoCase(name, 3, "LPT")) &&
         name[3] >= '1' && name[3] <= '9';
}

}  // namespace

bool hostRefusesDirName(const char* raw) {
  if (std::strpbrk(raw, "<>:\"|?*"))
    return true;
  // Windows drops a final space or period, so the name would not be the one
  // that was checked.
  size_t length = std::strlen(raw);
  if (length > 0 && (raw[length - 1] == ' ' || raw[length - 1] == '.'))
    return true;
  return isDeviceName(raw);
}

void appendReportName(std::string* out, const char* raw) {
  // Verbatim: the Hungarian letters have the same bytes in ISO-8859-2 and
  // in code page 1250, the ANSI code page of a Hungarian Windows.
  *out += raw;
}

size_t appendForConsole(std::string* out, const char* name, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    *out += isControl(c) ? '?' : static_cast<char>(c);
  }
  return size;
}

namespace win32 {

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
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
  return n != 0 && n < MAX_PATH - reserve;
}

}  // namespace win32
