// The line-end kernels 16 bytes at a time, with SSE2. Reports are lines of
// about a hundred bytes; a memchr and a memmove call per line cost several
// times a memcpy of the same bytes. What is left after the whole chunks
// goes to the plain kernels.
#include <emmintrin.h>

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

// The LFs of [in, end) that follow a CR (kPairs) or that do not (bare
// LFs), ORed together in *found, and all LFs in *lineFeeds, in steps of
// four chunks while a whole step is left; returns where it stopped. Each
// chunk is compared beside the one before it, loaded one byte back (in
// is past the text's start), and only ORs are carried from step to step,
// so there are no calls and no branches but the loop's.
template <bool kPairs>
const char* collectLineFeeds(const char* in, const char* end, __m128i* found,
                             __m128i* lineFeeds) {
  const __m128i lineFeed = _mm_set1_epi8('\n');
  const __m128i carriageReturn = _mm_set1_epi8('\r');
  auto kept = [&](const char* p, __m128i* lf) {
    *lf = _mm_cmpeq_epi8(load(p), lineFeed);
    __m128i afterCr = _mm_cmpeq_epi8(load(p - 1), carriageReturn);
    return kPairs ? _mm_and_si128(afterCr, *lf)
                  : _mm_andnot_si128(afterCr, *lf);
  };
  for (; end - in >= static_cast<ptrdiff_t>(4 * kChunk); in += 4 * kChunk) {
    __m128i lf0, lf1, lf2, lf3;
    __m128i k0 = kept(in, &lf0), k1 = kept(in + kChunk, &lf1);
    __m128i k2 = kept(in + 2 * kChunk, &lf2), k3 = kept(in + 3 * kChunk, &lf3);
    *found = _mm_or_si128(*found, _mm_or_si128(_mm_or_si128(k0, k1),
                                               _mm_or_si128(k2, k3)));
    *lineFeeds = _mm_or_si128(*lineFeeds,
                              _mm_or_si128(_mm_or_si128(lf0, lf1),
                                           _mm_or_si128(lf2, lf3)));
  }
  return in;
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
  __m128i bares = _mm_setzero_si128(), lineFeeds = _mm_setzero_si128();
  in = collectLineFeeds<false>(in, end, &bares, &lineFeeds);
  if (_mm_movemask_epi8(bares)) {
    *bare = true;
    // Whether there is a pair too; the report is copied anyway.
    __m128i pairs = _mm_setzero_si128();
    if (!*pair)
      collectLineFeeds<true>(start, in, &pairs, &lineFeeds);
    if (_mm_movemask_epi8(pairs))
      *pair = true;
  } else if (_mm_movemask_epi8(lineFeeds)) {
    *pair = true;
  }
  plain::scanLineEnds(text, in, end, pair, bare);
}

size_t expandLineEnds(const char** in, const char* end, char* block,
                      size_t used, size_t capacity) {
  used = expandChunks(in, end, block, used, capacity);
  return plain::expandLineEnds(in, end, block, used, capacity);
}
