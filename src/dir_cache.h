// The destination directories of a run, held open: a directory made or
// confirmed once takes its later reports without being made or checked
// again, and stays the very directory it was whatever takes its name.
#ifndef KORENDEZO_DIR_CACHE_H_
#define KORENDEZO_DIR_CACHE_H_

#include <string>
#include <vector>

#include "platform/platform.h"

class DirCache {
 public:
  // Holds at most `capacity` (at least one) open at once.
  DirCache(DiskInterface& disk, size_t capacity)
      : disk_(disk), capacity_(capacity > 0 ? capacity : 1) {}
  ~DirCache();
  DirCache(const DirCache&) = delete;
  DirCache& operator=(const DirCache&) = delete;

  // The directory `name`, opened (and made, when missing) unless it is
  // held already, in which case it is Opened.
  DirStatus Open(const char* name, DirHandle* dir, std::string* err);

 private:
  struct Slot {
    std::string name;
    DirHandle dir;
    unsigned long lastUse;
  };

  DiskInterface& disk_;
  // Past this many, the one used longest ago is closed.
  const size_t capacity_;
  std::vector<Slot> slots_;
  unsigned long clock_ = 0;
};

#endif  // KORENDEZO_DIR_CACHE_H_
