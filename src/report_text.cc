#include "report_text.h"

size_t ReportText::Copy(const char* at, size_t count, char* out) const {
  if (!fileBytes_) {
    const void* end = std::memchr(at, '\0', count);
    size_t n = end ? static_cast<size_t>(static_cast<const char*>(end) - at)
                   : count;
    std::memcpy(out, at, n);
    return n;
  }
  size_t n = 0;
  for (; n < count && *at; ++n, ++at) {
    // at[1] exists: *at is not the terminating NUL.
    if (at[0] == '\r' && at[1] == '\n')
      ++at;
    out[n] = *at;
  }
  return n;
}
