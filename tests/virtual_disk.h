// An in-memory file system for tests of the sorting run and the transfer.
// Any call can be made to fail, and every change is recorded.
#ifndef KORENDEZO_TESTS_VIRTUAL_DISK_H_
#define KORENDEZO_TESTS_VIRTUAL_DISK_H_

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

struct VirtualDisk : public DiskInterface {
  // Contents of the tree. Paths use '/', relative to the current directory.
  std::map<std::string, std::string> files;
  std::set<std::string> dirs;
  std::set<std::string> others;  // links, FIFOs: listed, never readable
  // Files that are one file under two names (hard links) share a number
  // here; a file without one is a file of its own.
  std::map<std::string, uint64_t> inodes;

  // Most bytes one Read call returns, to put block boundaries anywhere.
  size_t readLimit = static_cast<size_t>(-1);
  // Appended to the file being read after the next Read call, as by a
  // program writing it meanwhile.
  std::string growth;

  // Makes calls of `op` ("list", "open", "read", "opendir", "dirthere",
  // "move", "createcopy", "write", "commit", "remove", "look") fail when
  // their path contains `pathPart` ("" for any path); a `reason` of "held"
  // makes them Held. A failing write first stores half of its bytes.
  void Fail(const std::string& op, const std::string& pathPart,
            const std::string& reason = "injected fault");

  // Makes call number `n` (counting from 1, over all calls) go wrong in the
  // way `kind` says: "fail", "throw" (std::bad_alloc), or an outcome of its
  // own that the call can report ("notafile", "taken", "copyinstead",
  // "sourcestays"; "swapped": another file with the same bytes takes the
  // name just before it is removed; "gone": another program removes the
  // file just before the call; "held": another program holds it, for this
  // call). Each call says which kinds it can
  // report, in kindsOfCall, so that a test can try them all.
  void FailCall(size_t n, const std::string& kind) {
    failCall_ = n;
    failKind_ = kind;
  }
  size_t calls = 0;                      // calls made so far
  std::vector<std::string> kindsOfCall;  // by call, from 0

  // Every change made, in order: "mkdir D", "rename A D/A", "remove A",
  // "create D/N", "write D/N", "commit D/N", "discard D/N", and "vanish A"
  // for a file that another program removed.
  std::vector<std::string> log;
  size_t OpenHandles() const { return handles_.size() + copies_.size(); }
  size_t OpenDirs() const { return dirHandles_.size(); }

  LockStatus LockFolder(bool wait) override;
  void UnlockFolder() override;
  size_t HandleRoom() override;
  void Pause(unsigned) override {}
  bool ListEntries(NameList* names, std::string* err) override;
  OpenStatus OpenRead(const char* name, FileHandle* handle, FileInfo* info,
                      std::string* err) override;
  bool Read(FileHandle handle, char* buf, size_t size, size_t* got,
            std::string* err) override;
  void CloseRead(FileHandle handle) override;
  DirStatus OpenDir(const char* name, DirHandle* dir,
                    std::string* err) override;
  void CloseDir(DirHandle dir) override;
  bool DirStillThere(DirHandle dir) override;
  MoveStatus MoveInto(const char* name, const FileInfo& source, DirHandle dir,
                      std::string* err) override;
  bool CreateCopy(DirHandle dir, const char* name, FileHandle* copy,
                  std::string* err) override;
  bool Write(FileHandle copy, const char* data, size_t size,
             std::string* err) override;
  void CommitCopies(CopyCommit* commits, size_t count) override;
  size_t mostCopiesCommitted = 0;  // at once
  void DiscardCopy(FileHandle copy) override;
  RemoveStatus Remove(const char* name, const FileInfo& source,
                      const BytesCheck* sameBytes, std::string* err) override;
  bool Look(const char* path, EntryKind* kind, std::string* err) override;

 private:
  struct Open {
    std::string path;
    size_t offset;
  };
  // The injected outcome of this call, if any: "" for none.
  std::string Injected(const char* op, const std::string& path,
                       std::string* err,
                       std::vector<std::string> kinds = {});
  bool IsFile(const std::string& path) const { return files.count(path) != 0; }
  bool Exists(const std::string& path) const;
  uint64_t InodeOf(const std::string& path);
  MoveStatus CommitCopy(FileHandle copy, std::string* err);
  // Another program removes the file `name`.
  void Vanish(const std::string& name);

  std::map<std::string, std::map<std::string, std::string>> faults_;
  size_t failCall_ = 0;
  std::string failKind_;
  std::map<FileHandle, Open> handles_;
  std::map<DirHandle, std::string> dirHandles_;
  std::map<FileHandle, Open> copies_;  // path: where it goes
  std::map<FileHandle, std::string> copyBytes_;
  intptr_t nextHandle_ = 1;
  uint64_t nextInode_ = 1000;
};

// A console that keeps what is written.
struct CapturingConsole : public Console {
  std::string out, err;
  int keyWaits = 0;
  bool outputLost = false;  // Flush says that output was lost
  void Write(const char* text, size_t size) override { out.append(text, size); }
  void WriteError(const char* text, size_t size) override {
    err.append(text, size);
  }
  bool Flush(std::string* reason) override {
    if (outputLost)
      *reason = "write(standard output): No space left on device";
    return !outputLost;
  }
  void WaitForKey() override { ++keyWaits; }
};

#endif  // KORENDEZO_TESTS_VIRTUAL_DISK_H_
