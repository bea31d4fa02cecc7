#include <cstring>

#include "line_ends.h"

namespace plain {

char* collapseLineEnds(char* text, char* out, const char* in, const char* end,
                       bool* bare) {
  while (in != end) {
    const char* lf = static_cast<const char*>(std::memchr(in, '\n', end - in));
    const char* stop = lf ? lf : end;
    if (out != in)
      std::memmove(out, in, stop - in);
    out += stop - in;
    in = stop;
    if (!lf)
      break;
    if (out != text && out[-1] == '\r') {
      out[-1] = '\n';
    } else {
      *out++ = '\n';
      *bare = true;
    }
    ++in;
  }
  return out;
}

void scanLineEnds(const char* text, const char* in, const char* end,
                  bool* pair, bool* bare) {
  while (in != end) {
    const char* lf = static_cast<const char*>(std::memchr(in, '\n', end - in));
    if (!lf)
      return;
    if (lf != text && lf[-1] == '\r')
      *pair = true;
    else
      *bare = true;
    in = lf + 1;
  }
}

size_t expandLineEnds(const char** in, const char* end, char* block,
                      size_t used, size_t capacity) {
  const char* i = *in;
  // Each step copies a run of bytes and may add a CR LF pair after it.
  while (i != end && capacity - used >= 3) {
    size_t room = capacity - used - 2;
    size_t avail = static_cast<size_t>(end - i);
    size_t span = avail < room ? avail : room;
    const char* lf = static_cast<const char*>(std::memchr(i, '\n', span));
    size_t run = lf ? static_cast<size_t>(lf - i) : span;
    std::memcpy(block + used, i, run);
    used += run;
    i += run;
    if (lf) {
      block[used++] = '\r';
      block[used++] = '\n';
      ++i;
    }
  }
  *in = i;
  return used;
}

}  // namespace plain
