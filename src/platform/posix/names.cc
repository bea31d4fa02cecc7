// Names on POSIX systems: which entries may be reports, and which names
// from a report are refused. Report names become UTF-8 (unicode.cc), the
// encoding file names are typed in.
#include <strings.h>

#include <cstring>

#include "platform/posix/posix.h"

namespace {

bool endsWithNoCase(const char* name, size_t length, const char* suffix) {
  size_t n = std::strlen(suffix);
  if (length <= n)
    return false;
  return strncasecmp(name + length - n, suffix, n) == 0;
}

}  // namespace

namespace posix {

// The host's rule for the search pattern "*.htm": names ending in ".htm"
// or ".html", letter case ignored (Windows yields both through its short
// names). A name that is only the extension is a hidden file, not a report.
bool matchesReportName(const char* name) {
  size_t length = std::strlen(name);
  return endsWithNoCase(name, length, ".htm") ||
         endsWithNoCase(name, length, ".html");
}

}  // namespace posix

bool hostRefusesDirName(const char* raw) {
  // ISO-8859-2 0x80-0x9F are the C1 control characters.
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(raw);
       *p; ++p) {
    if (*p >= 0x80 && *p <= 0x9F)
      return true;
  }
  return false;
}

size_t appendForConsole(std::string* out, const char* name, size_t size) {
  return host::appendUtf8ForConsole(out, name, size, false);
}
