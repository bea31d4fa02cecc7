#include "dir_cache.h"

DirCache::~DirCache() {
  for (const Slot& slot : slots_)
    disk_.CloseDir(slot.dir);
}

DirStatus DirCache::Open(const char* name, DirHandle* dir, std::string* err) {
  ++clock_;
  for (Slot& slot : slots_) {
    if (slot.name != name)
      continue;
    // One that another program moved away or replaced is opened anew.
    if (!disk_.DirStillThere(slot.dir)) {
      disk_.CloseDir(slot.dir);
      slot = slots_.back();
      slots_.pop_back();
      break;
    }
    slot.lastUse = clock_;
    *dir = slot.dir;
    return DirStatus::Opened;
  }
  DirStatus status = disk_.OpenDir(name, dir, err);
  if (status != DirStatus::Made && status != DirStatus::Opened)
    return status;
  if (slots_.size() < capacity_) {
    slots_.push_back(Slot{name, *dir, clock_});
    return status;
  }
  Slot* oldest = &slots_[0];
  for (Slot& slot : slots_) {
    if (slot.lastUse < oldest->lastUse)
      oldest = &slot;
  }
  disk_.CloseDir(oldest->dir);
  *oldest = Slot{name, *dir, clock_};
  return status;
}
