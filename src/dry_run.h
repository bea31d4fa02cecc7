// The disk of a dry run: reads go to the real disk, and every call that
// would change something answers as the real disk would, from what is
// there, without doing it. A directory that is missing is Made once and
// Opened after; a name taken by something else is Taken, as is a report's
// name in its directory when a directory or a link has it; a move or a
// copy is Moved. Failures that only an attempt would meet (no permission,
// a full disk) are not foreseen.
#ifndef KORENDEZO_DRY_RUN_H_
#define KORENDEZO_DRY_RUN_H_

#include <map>
#include <set>
#include <string>

#include "platform/platform.h"

class DryRunDisk : public DiskInterface {
 public:
  explicit DryRunDisk(DiskInterface& disk) : disk_(disk) {}

  // The lock keeps a real run from changing the folder while this one
  // looks.
  LockStatus LockFolder(bool wait) override { return disk_.LockFolder(wait); }
  void UnlockFolder() override { disk_.UnlockFolder(); }
  size_t HandleRoom() override { return disk_.HandleRoom(); }
  void Pause(unsigned ms) override { disk_.Pause(ms); }
  bool ListEntries(NameList* names, std::string* err) override {
    return disk_.ListEntries(names, err);
  }
  void RemoveLeftovers() override {}
  void ReadAhead(const char* name) override { disk_.ReadAhead(name); }
  OpenStatus OpenRead(const char* name, FileHandle* handle, FileInfo* info,
                      std::string* err) override {
    return disk_.OpenRead(name, handle, info, err);
  }
  bool Read(FileHandle handle, char* buf, size_t size, size_t* got,
            std::string* err) override {
    return disk_.Read(handle, buf, size, got, err);
  }
  void CloseRead(FileHandle handle) override { disk_.CloseRead(handle); }
  bool Look(const char* path, EntryKind* kind, std::string* err) override;

  DirStatus OpenDir(const char* name, DirHandle* dir,
                    std::string* err) override;
  void CloseDir(DirHandle dir) override { dirs_.erase(dir); }
  bool DirStillThere(DirHandle) override { return true; }
  MoveStatus MoveInto(const char* name, const FileInfo& source, DirHandle dir,
                      std::string* err) override;
  bool CreateCopy(DirHandle dir, const char* name, FileHandle* copy,
                  std::string* err) override;
  bool Write(FileHandle copy, const char* data, size_t size,
             std::string* err) override;
  void CommitCopies(CopyCommit* commits, size_t count) override;
  void DiscardCopy(FileHandle copy) override;
  RemoveStatus Remove(const char* name, const FileInfo& source,
                      const BytesCheck* sameBytes, std::string* err) override;

 private:
  // Whether `name` may go into `dir`: Moved, or Taken by what is there.
  MoveStatus Place(DirHandle dir, const char* name, std::string* err);

  DiskInterface& disk_;
  std::map<DirHandle, std::string> dirs_;  // open directories' names
  // Directories this run made, and reports it moved away: what the real
  // run would find under their names from then on.
  std::set<std::string> made_, gone_;
  intptr_t nextHandle_ = 1;
};

#endif  // KORENDEZO_DRY_RUN_H_
