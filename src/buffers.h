// Sizes of the fixed buffers a run works in, and the record of a directory
// entry whose name is one of them.
#ifndef KORENDEZO_BUFFERS_H_
#define KORENDEZO_BUFFERS_H_

#include <cstddef>
#include <cstdint>

// Whole text of one report plus its terminating NUL byte.
constexpr size_t REPORT_BUFFER_SIZE = 1024000;
// Directory name, destination path and title name buffers.
constexpr size_t PATH_BUFFER_SIZE = 1000;
// Player identifier buffer; 4 bytes and a NUL are used.
constexpr size_t PLAYER_ID_SIZE = 10;
// Name field of a directory entry, NUL included: a Windows name of 255
// UTF-16 units takes up to 765 bytes in UTF-8.
constexpr size_t FIND_NAME_SIZE = 766;

// One entry yielded by the directory search. Only the name is used.
struct FindEntry {
  uint32_t attributes;
  int32_t creationTime;
  int32_t accessTime;
  int32_t writeTime;
  uint32_t size;
  char name[FIND_NAME_SIZE];
};

#endif  // KORENDEZO_BUFFERS_H_
