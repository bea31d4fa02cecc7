// The line-end kernels on targets without SSE2: the plain ones.
#include "line_ends.h"

char* collapseLineEnds(char* text, char* out, const char* in, const char* end,
                       bool* bare) {
  return plain::collapseLineEnds(text, out, in, end, bare);
}

void scanLineEnds(const char* text, const char* in, const char* end,
                  bool* pair, bool* bare) {
  plain::scanLineEnds(text, in, end, pair, bare);
}

bool allowAvx2(bool) { return false; }

bool processorHasAvx2() { return false; }

size_t expandLineEnds(const char** in, const char* end, char* block,
                      size_t used, size_t capacity) {
  return plain::expandLineEnds(in, end, block, used, capacity);
}
