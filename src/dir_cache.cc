#include "dir_cache.h"

DirCache::~DirCache() {
  for (const Held& held : byUse_)
    disk_.CloseDir(held.dir);
}

void DirCache::Close(Use held) {
  if (beforeClosing_)
    beforeClosing_();
  disk_.CloseDir(held->dir);
  byName_.erase(held->name);
  byUse_.erase(held);
}

DirStatus DirCache::Open(const char* name, DirHandle* dir, std::string* err,
                         bool checkedAfter) {
  auto found = byName_.find(name);
  if (found != byName_.end()) {
    // One that another program moved away or replaced is opened anew.
    if (checkedAfter || disk_.DirStillThere(found->second->dir)) {
      byUse_.splice(byUse_.begin(), byUse_, found->second);
      *dir = found->second->dir;
      return DirStatus::Opened;
    }
    Close(found->second);
  }
  if (byUse_.size() >= capacity_)
    Close(std::prev(byUse_.end()));
  DirStatus status = disk_.OpenDir(name, dir, err);
  if (status == DirStatus::Made || status == DirStatus::Opened) {
    byUse_.push_front(Held{name, *dir});
    byName_[name] = byUse_.begin();
  }
  return status;
}

void DirCache::Forget(DirHandle dir) {
  for (Use held = byUse_.begin(); held != byUse_.end(); ++held) {
    if (held->dir == dir) {
      Close(held);
      return;
    }
  }
}
