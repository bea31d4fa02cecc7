// The line-end work of the text transfer: reading turns each CR LF pair
// into LF, writing turns each LF into CR LF, and a report is scanned for
// the kinds of line end it has.
//
// Each kernel comes in a plain version and in the fastest one the build
// has (line_ends_sse2.cc works 16 bytes at a time); both give the same
// bytes.
#ifndef KORENDEZO_LINE_ENDS_H_
#define KORENDEZO_LINE_ENDS_H_

#include <cstddef>

// The read conversion of the bytes [in, end), moved down to `out` (out <=
// in) in the buffer that starts at `text`. A CR just before `out`, the
// text's last byte so far, pairs with an LF at `in`. Sets *bare for an LF
// without a CR before it. Returns the new end of the text.
char* collapseLineEnds(char* text, char* out, const char* in, const char* end,
                       bool* bare);

// Notes, for the bytes [in, end) of the buffer that starts at `text`,
// whether an LF follows a CR (*pair) or stands without one (*bare). The
// byte before `in`, if any, counts as the one before an LF at `in`.
void scanLineEnds(const char* text, const char* in, const char* end,
                  bool* pair, bool* bare);

// The scan takes 32 bytes at a time where the processor has AVX2 and
// this is true (as it is unless set otherwise); false keeps it to what the
// build targets, so that tests check both. Returns the setting before.
bool allowAvx2(bool allowed);
// Whether the processor has AVX2 and the system saves its registers.
bool processorHasAvx2();

// The write conversion of the bytes from *in up to `end`, appended to
// block[used] while the block, of `capacity` bytes, has room for them.
// Advances *in past the bytes taken and returns the block's new fill.
// Takes at least one byte when 3 bytes of room are left.
size_t expandLineEnds(const char** in, const char* end, char* block,
                      size_t used, size_t capacity);

// The same, a line at a time with the C library's memchr and memmove.
namespace plain {
char* collapseLineEnds(char* text, char* out, const char* in, const char* end,
                       bool* bare);
void scanLineEnds(const char* text, const char* in, const char* end,
                  bool* pair, bool* bare);
size_t expandLineEnds(const char** in, const char* end, char* block,
                      size_t used, size_t capacity);
}  // namespace plain

#endif  // KORENDEZO_LINE_ENDS_H_
