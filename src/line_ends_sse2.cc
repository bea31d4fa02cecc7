// The line-end kernels 16 bytes at a time, with SSE2, and the scan 32 at a
// time where the processor has AVX2. Reports are lines of about a hundred
// bytes; a memchr and a memmove call per line cost several times a memcpy
// of the same bytes. What is left after the whole chunks goes to the plain
// kernels.
#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

#include "line_ends.h"

namespace {

constexpr size_t kChunk = 16;

// Bit i set when byte i of the chunk is an LF.
unsigned lineFeedMask(__m128i chunk) {
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('\n'))));
}

// Index of the lowest set bit of a non-zero mask.
unsigned lowestBit(unsigned mask) {
  return static_cast<unsigned>(__builtin_ctz(mask));
}

__m128i load(const char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

void store(char* p, __m128i chunk) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), chunk);
}

// A step of the scan is 64 bytes: four chunks, or two of AVX2's.
constexpr size_t kStep = 4 * kChunk;

// Whether any LF of [in, end) follows a CR (kPairs) or does not (a bare
// LF), in *found, and whether there is any LF, in *lineFeed, over whole
// steps; returns where they end. Each chunk is compared beside the one
// before it, loaded one byte back (in is past the text's start), and only
// ORs are carried from step to step, so there are no calls and no
// branches but the loop's.
template <bool kPairs>
const char* collectLineFeeds(const char* in, const char* end, bool* found,
                             bool* lineFeed) {
  const __m128i lineFeedByte = _mm_set1_epi8('\n');
  const __m128i carriageReturn = _mm_set1_epi8('\r');
  auto kept = [&](const char* p, __m128i* lf) {
    *lf = _mm_cmpeq_epi8(load(p), lineFeedByte);
    __m128i afterCr = _mm_cmpeq_epi8(load(p - 1), carriageReturn);
    return kPairs ? _mm_and_si128(afterCr, *lf)
                  : _mm_andnot_si128(afterCr, *lf);
  };
  __m128i founds = _mm_setzero_si128(), lineFeeds = _mm_setzero_si128();
  for (; static_cast<size_t>(end - in) >= kStep; in += kStep) {
    __m128i lf0, lf1, lf2, lf3;
    __m128i k0 = kept(in, &lf0), k1 = kept(in + kChunk, &lf1);
    __m128i k2 = kept(in + 2 * kChunk, &lf2), k3 = kept(in + 3 * kChunk, &lf3);
    founds = _mm_or_si128(founds, _mm_or_si128(_mm_or_si128(k0, k1),
                                               _mm_or_si128(k2, k3)));
    lineFeeds = _mm_or_si128(lineFeeds,
                             _mm_or_si128(_mm_or_si128(lf0, lf1),
                                          _mm_or_si128(lf2, lf3)));
  }
  *found = _mm_movemask_epi8(founds) != 0;
  *lineFeed = _mm_movemask_epi8(lineFeeds) != 0;
  return in;
}

// collectLineFeeds<false> on AVX2's 32-byte chunks: the scan of a CR LF
// report, most of what the run itself spends on one, in 0.6 of the time.
__attribute__((target("avx2"))) const char* collectBareLineFeedsAvx2(
    const char* in, const char* end, bool* found, bool* lineFeed) {
  const __m256i lineFeedByte = _mm256_set1_epi8('\n');
  const __m256i carriageReturn = _mm256_set1_epi8('\r');
  __m256i bares = _mm256_setzero_si256(), lineFeeds = bares;
  for (; static_cast<size_t>(end - in) >= kStep; in += kStep) {
    const __m256i* p = reinterpret_cast<const __m256i*>(in);
    const __m256i* back = reinterpret_cast<const __m256i*>(in - 1);
    __m256i lf0 = _mm256_cmpeq_epi8(_mm256_loadu_si256(p), lineFeedByte);
    __m256i lf1 = _mm256_cmpeq_epi8(_mm256_loadu_si256(p + 1), lineFeedByte);
    __m256i cr0 = _mm256_cmpeq_epi8(_mm256_loadu_si256(back), carriageReturn);
    __m256i cr1 =
        _mm256_cmpeq_epi8(_mm256_loadu_si256(back + 1), carriageReturn);
    bares = _mm256_or_si256(bares,
                            _mm256_or_si256(_mm256_andnot_si256(cr0, lf0),
                                            _mm256_andnot_si256(cr1, lf1)));
    lineFeeds = _mm256_or_si256(lineFeeds, _mm256_or_si256(lf0, lf1));
  }
  *found = !_mm256_testz_si256(bares, bares);
  *lineFeed = !_mm256_testz_si256(lineFeeds, lineFeeds);
  return in;
}

bool gAvx2Allowed = true;

}  // namespace

// Asked of the processor itself: __builtin_cpu_supports needs a runtime
// that not every target's has (x86_64 macOS under zig).
bool processorHasAvx2() {
  static const bool has = [] {
    unsigned a, b, c, d;
    // Leaf 1: AVX, and the system's use of XSAVE, which...
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) ||
        !(c & bit_AVX))
      return false;
    // ...saves the SSE and AVX registers on a switch (XCR0 bits 1, 2).
    unsigned low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    (void)high;
    if ((low & 6) != 6)
      return false;
    // Leaf 7: AVX2.
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
  }();
  return has;
}

namespace {

// collectLineFeeds<false> the fastest way the processor offers.
const char* collectBareLineFeeds(const char* in, const char* end,
                                 bool* found, bool* lineFeed) {
  if (gAvx2Allowed && processorHasAvx2())
    return collectBareLineFeedsAvx2(in, end, found, lineFeed);
  return collectLineFeeds<false>(in, end, found, lineFeed);
}

// One chunk at i with exactly one LF, after its first byte: a CR before it
// is dropped by shifting the bytes from the LF on down one; a threshold of
// 16 shifts none. Stores 16 bytes at o; returns how many of them count.
size_t collapseOneLineEnd(char* o, const char* i, __m128i chunk, unsigned lf,
                          bool* bare) {
  const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                                      12, 13, 14, 15);
  bool pair = i[lf - 1] == '\r';
  int first = pair ? static_cast<int>(lf) - 1 : 16;
  __m128i shifted =
      _mm_cmpgt_epi8(index, _mm_set1_epi8(static_cast<char>(first - 1)));
  store(o, _mm_or_si128(_mm_and_si128(shifted, _mm_srli_si128(chunk, 1)),
                        _mm_andnot_si128(shifted, chunk)));
  *bare |= !pair;
  return kChunk - (pair ? 1 : 0);
}

// The read conversion of whole chunks at *in, moved down to *out, while 16
// bytes are left. Every store ends below the next unread byte, so nothing
// unread is overwritten.
void collapseChunks(char* text, char** out, const char** in, const char* end,
                    bool* bareLineFeed) {
  char* o = *out;
  const char* i = *in;
  bool bare = false;
  // Counted batches keep the loop to few branches, which the speed of this
  // loop depends on; a chunk that takes fewer bytes keeps the count valid.
  for (size_t n; (n = static_cast<size_t>(end - i) / kChunk) != 0;) {
    for (; n != 0; --n) {
      __m128i chunk = load(i);
      unsigned mask = lineFeedMask(chunk);
      if (mask == 0) {
        store(o, chunk);
        o += kChunk;
        i += kChunk;
        continue;
      }
      unsigned lf = lowestBit(mask);
      if ((mask & ((mask - 1) | 1)) != 0) {
        // Several LFs, or one first in the chunk, whose CR may be in the
        // text already: take the bytes up to it, exactly.
        std::memmove(o, i, lf);
        o += lf;
        i += lf + 1;
        if (o != text && o[-1] == '\r') {
          o[-1] = '\n';
        } else {
          *o++ = '\n';
          bare = true;
        }
        continue;
      }
      o += collapseOneLineEnd(o, i, chunk, lf, &bare);
      i += kChunk;
    }
  }
  if (bare)
    *bareLineFeed = true;
  *out = o;
  *in = i;
}

// The write conversion of whole chunks at *in into block + used while both
// have room to spare. A chunk with one LF is stored twice, the second time
// from the LF on and one byte further, and the CR put in the gap; one
// without is treated alike with the LF taken as at 16, so that no branch
// depends on where lines end.
size_t expandChunks(const char** in, const char* end, char* block,
                    size_t used, size_t capacity) {
  const char* i = *in;
  // A chunk takes at most 16 bytes and gives at most 17, and its stores and
  // loads reach 16 bytes past it.
  for (;;) {
    size_t byInput = static_cast<size_t>(end - i) / kChunk;
    size_t byRoom = (capacity - used) / (kChunk + 1);
    size_t n = byInput < byRoom ? byInput : byRoom;
    if (n < 3)
      break;
    for (n -= 2; n != 0; --n) {
      __m128i chunk = load(i);
      unsigned mask = lineFeedMask(chunk);
      store(block + used, chunk);
      if ((mask & (mask - 1)) != 0) {
        // Several LFs: end the copy at the first and go on after it.
        unsigned lf = lowestBit(mask);
        used += lf;
        block[used++] = '\r';
        block[used++] = '\n';
        i += lf + 1;
        continue;
      }
      unsigned lf = lowestBit(mask | 1u << kChunk);
      store(block + used + lf + 1, load(i + lf));
      block[used + lf] = '\r';
      used += kChunk + (mask != 0 ? 1 : 0);
      i += kChunk;
    }
  }
  *in = i;
  return used;
}

}  // namespace

char* collapseLineEnds(char* text, char* out, const char* in, const char* end,
                       bool* bare) {
  collapseChunks(text, &out, &in, end, bare);
  return plain::collapseLineEnds(text, out, in, end, bare);
}

void scanLineEnds(const char* text, const char* in, const char* end,
                  bool* pair, bool* bare) {
  if (in == text && in != end) {
    if (*in == '\n')
      *bare = true;
    ++in;
  }
  // A CR LF report is looked at whole by this one loop: it collects bare
  // LFs and LFs at all, as without a bare LF every LF ends a pair.
  const char* start = in;
  bool bares = false, lineFeeds = false;
  in = collectBareLineFeeds(in, end, &bares, &lineFeeds);
  if (bares) {
    *bare = true;
    // Whether there is a pair too; the report is copied anyway.
    bool pairs = false;
    if (!*pair)
      collectLineFeeds<true>(start, in, &pairs, &lineFeeds);
    if (pairs)
      *pair = true;
  } else if (lineFeeds) {
    *pair = true;
  }
  plain::scanLineEnds(text, in, end, pair, bare);
}

bool allowAvx2(bool allowed) {
  bool was = gAvx2Allowed;
  gAvx2Allowed = allowed;
  return was;
}

size_t expandLineEnds(const char** in, const char* end, char* block,
                      size_t used, size_t capacity) {
  used = expandChunks(in, end, block, used, capacity);
  return plain::expandLineEnds(in, end, block, used, capacity);
}
