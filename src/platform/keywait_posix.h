// How the key wait on a POSIX terminal tells where one key press ends.
#ifndef KORENDEZO_PLATFORM_KEYWAIT_POSIX_H_
#define KORENDEZO_PLATFORM_KEYWAIT_POSIX_H_

#include <cstddef>

// Whether `size` bytes (at least one) read from a terminal, each read only
// because the bytes before it were not yet a whole key, are one whole key
// press: a character (UTF-8 bytes included) or an escape sequence, optionally
// after an ESC that stands for Alt. ESC on its own is not whole here: the
// caller ends it when no further byte follows within a short time.
bool completesKey(const unsigned char* bytes, size_t size);

#endif  // KORENDEZO_PLATFORM_KEYWAIT_POSIX_H_
