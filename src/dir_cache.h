// The destination directories of a run, held open: a directory made or
// confirmed once takes its later reports without being made or checked
// again, and stays the very directory it was whatever takes its name.
#ifndef KORENDEZO_DIR_CACHE_H_
#define KORENDEZO_DIR_CACHE_H_

#include <functional>
#include <list>
#include <string>
#include <unordered_map>

#include "platform/platform.h"

class DirCache {
 public:
  // Holds at most `capacity` (at least one) open at once.
  DirCache(DiskInterface& disk, size_t capacity)
      : disk_(disk), capacity_(capacity > 0 ? capacity : 1) {}
  ~DirCache();
  DirCache(const DirCache&) = delete;
  DirCache& operator=(const DirCache&) = delete;

  // Runs before a held directory is closed for room, or because another
  // program moved it away: whatever still uses it is to be done first.
  void BeforeClosing(std::function<void()> done) { beforeClosing_ = done; }

  // The directory `name`, opened (and made, when missing) unless it is
  // held already, in which case it is Opened. One held is looked at first
  // and opened anew should it have left its name, unless `checkedAfter`:
  // what goes into it is then looked at through the folder anyway.
  DirStatus Open(const char* name, DirHandle* dir, std::string* err,
                 bool checkedAfter = false);
  // Closes `dir`, found to have left its name: the next Open opens anew.
  void Forget(DirHandle dir);

 private:
  struct Held {
    std::string name;
    DirHandle dir;
  };
  using Use = std::list<Held>::iterator;

  void Close(Use held);

  DiskInterface& disk_;
  // Past this many, the one used longest ago is closed.
  const size_t capacity_;
  std::list<Held> byUse_;  // the one used last first
  std::unordered_map<std::string, Use> byName_;
  std::function<void()> beforeClosing_;
};

#endif  // KORENDEZO_DIR_CACHE_H_
