#include "transfer.h"

#include <cstring>

// Reports are lines of about a hundred bytes; a memchr and a memmove call
// per line cost several times a memcpy of the same bytes. Where SSE2 is part
// of the target, lines are scanned and moved 16 bytes at a time instead.
#if (defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)) && \
    (defined(__GNUC__) || defined(_MSC_VER))
#define KORENDEZO_SSE2 1
#include <emmintrin.h>
#ifdef _MSC_VER
#include <intrin.h>
#endif
#endif

namespace {

// Converted bytes collected before each write.
constexpr size_t kWriteBlock = size_t{64} * 1024;

#ifdef KORENDEZO_SSE2
constexpr size_t kChunk = 16;

// Bit i set when byte i of the chunk is an LF.
unsigned lineFeedMask(__m128i chunk) {
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('\n'))));
}

// Index of the lowest set bit of a non-zero mask.
unsigned lowestBit(unsigned mask) {
#ifdef _MSC_VER
  unsigned long index;
  _BitScanForward(&index, mask);
  return static_cast<unsigned>(index);
#else
  return static_cast<unsigned>(__builtin_ctz(mask));
#endif
}

__m128i load(const char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

void store(char* p, __m128i chunk) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), chunk);
}

// The read conversion of whole chunks at *in, moved down to *out, while 16
// bytes are left. Every store ends below the next unread byte, so nothing
// unread is overwritten.
void collapseChunks(char* text, char** out, const char** in, const char* end,
                    bool* bareLineFeed) {
  const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11,
                                      12, 13, 14, 15);
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
      // One LF, after byte 0: a CR before it is dropped by shifting the
      // bytes from the LF on down one; a threshold of 16 shifts none.
      bool pair = i[lf - 1] == '\r';
      int first = pair ? static_cast<int>(lf) - 1 : 16;
      __m128i shifted = _mm_cmpgt_epi8(
          index, _mm_set1_epi8(static_cast<char>(first - 1)));
      store(o, _mm_or_si128(_mm_and_si128(shifted, _mm_srli_si128(chunk, 1)),
                            _mm_andnot_si128(shifted, chunk)));
      o += kChunk - (pair ? 1 : 0);
      i += kChunk;
      bare |= !pair;
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
#endif  // KORENDEZO_SSE2

}  // namespace

void convertReadBlock(char* text, size_t* length, size_t size,
                      bool* bareLineFeed) {
  // The output never grows past the input, so the block converts in place.
  // The text's last byte always stems from the last raw byte, so a CR there
  // is exactly a CR whose LF may follow, in this block or the next.
  char* out = text + *length;
  const char* in = out;
  const char* end = in + size;
#ifdef KORENDEZO_SSE2
  collapseChunks(text, &out, &in, end, bareLineFeed);
#endif
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
      *bareLineFeed = true;
    }
    ++in;
  }
  *length = out - text;
}

namespace {

// Notes, for the `size` bytes at text + start, whether an LF follows a CR
// (*pair) or stands without one (*bare). text[start - 1] is the byte
// before them.
void scanLineEnds(const char* text, size_t start, size_t size, bool* pair,
                  bool* bare) {
  const char* in = text + start;
  const char* end = in + size;
#ifdef KORENDEZO_SSE2
  // A call per line is most of the cost here; 16 bytes at a time, with each
  // byte beside the one before it (loaded one byte back), there are no
  // calls and no branches but the loop's.
  if (in == text && in != end) {
    if (*in == '\n')
      *bare = true;
    ++in;
  }
  const __m128i lineFeed = _mm_set1_epi8('\n');
  const __m128i carriageReturn = _mm_set1_epi8('\r');
  __m128i pairs = _mm_setzero_si128(), bares = _mm_setzero_si128();
  for (; end - in >= static_cast<ptrdiff_t>(kChunk); in += kChunk) {
    __m128i isLf = _mm_cmpeq_epi8(load(in), lineFeed);
    __m128i afterCr = _mm_cmpeq_epi8(load(in - 1), carriageReturn);
    pairs = _mm_or_si128(pairs, _mm_and_si128(isLf, afterCr));
    bares = _mm_or_si128(bares, _mm_andnot_si128(afterCr, isLf));
  }
  if (_mm_movemask_epi8(pairs))
    *pair = true;
  if (_mm_movemask_epi8(bares))
    *bare = true;
#endif
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

}  // namespace

bool loadReport(DiskInterface& disk, char* report, FindEntry entry,
                LoadedReport* loaded, std::string* err) {
  *loaded = LoadedReport();
  report[0] = '\0';
  entry.name[sizeof entry.name - 1] = '\0';
  FileHandle file;
  if (!disk.OpenRead(entry.name, &file, &loaded->notAFile, err))
    return false;

  // The bytes are kept as read, only looked at, while that may still save
  // making the text: until a bare LF turns up beside a CR LF pair (the text
  // will be written out then) or the buffer is full (the pairs' CRs make
  // room).
  const size_t limit = REPORT_BUFFER_SIZE - 1;  // room for the NUL byte
  size_t length = 0;
  bool asRead = true, pairs = false;
  bool& bare = loaded->hasBareLineFeed;
  bool ok = true;
  for (;;) {
    size_t room = limit - length;
    if (asRead && ((pairs && bare) || room == 0)) {
      if (pairs) {
        size_t n = 0;
        convertReadBlock(report, &n, length, &bare);
        length = n;
      }
      asRead = false;
      continue;
    }
    if (room == 0) {
      // Full: the text still fits if all that is left is the LF of a CR
      // LF pair whose CR is the last byte in the buffer.
      char next;
      size_t got = 0;
      ok = disk.Read(file, &next, 1, &got, err);
      if (!ok || got == 0)
        break;
      if (next == '\n' && report[length - 1] == '\r') {
        report[length - 1] = '\n';
        continue;
      }
      loaded->tooBig = true;
      break;
    }
    size_t got = 0;
    // All the room at once: a report usually comes whole in one read.
    ok = disk.Read(file, report + length, room, &got, err);
    if (!ok || got == 0)
      break;
    if (asRead) {
      scanLineEnds(report, length, got, &pairs, &bare);
      length += got;
    } else {
      convertReadBlock(report, &length, got, &bare);
    }
  }
  disk.CloseRead(file);
  report[length] = '\0';
  loaded->length = length;
  // Without CR LF pairs the bytes are the text already.
  loaded->unconverted = asRead && pairs;
  return ok;
}

void convertReport(char* report, LoadedReport* loaded) {
  if (!loaded->unconverted)
    return;
  size_t length = 0;
  convertReadBlock(report, &length, loaded->length, &loaded->hasBareLineFeed);
  report[length] = '\0';
  loaded->length = length;
  loaded->unconverted = false;
}

bool saveReport(DiskInterface& disk, const char* path, const char* text,
                size_t length, std::string* err) {
  std::string dir(path);
  size_t slash = dir.rfind('/');
  dir.resize(slash == std::string::npos ? 0 : slash);
  if (dir.empty())
    dir = ".";

  std::string temp;
  FileHandle file;
  if (!disk.CreateTemp(dir.c_str(), &temp, &file, err))
    return false;

  char block[kWriteBlock];
  size_t used = 0;
  bool ok = true;
  const char* in = text;
  const char* end = text + length;
  while (ok && in != end) {
#ifdef KORENDEZO_SSE2
    used = expandChunks(&in, end, block, used, sizeof block);
#endif
    // Leave room for one CR LF pair after the copied run.
    size_t room = sizeof block - used - 2;
    size_t avail = static_cast<size_t>(end - in);
    size_t span = avail < room ? avail : room;
    const char* lf = static_cast<const char*>(std::memchr(in, '\n', span));
    size_t run = lf ? static_cast<size_t>(lf - in) : span;
    std::memcpy(block + used, in, run);
    used += run;
    in += run;
    if (lf) {
      block[used++] = '\r';
      block[used++] = '\n';
      ++in;
    }
    if (sizeof block - used < 3 || in == end) {
      ok = disk.Write(file, block, used, err);
      used = 0;
    }
  }
  if (!ok) {
    std::string ignored;
    disk.CloseWrite(file, false, &ignored);
    disk.Remove(temp.c_str(), &ignored);
    return false;
  }
  if (!disk.CloseWrite(file, true, err) ||
      !disk.Rename(temp.c_str(), path, err)) {
    std::string ignored;
    disk.Remove(temp.c_str(), &ignored);
    return false;
  }
  return true;
}
