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

  // Most bytes one Read call returns, to put block boundaries anywhere.
  size_t readLimit = static_cast<size_t>(-1);

  // Makes calls of `op` ("list", "open", "read", "kind", "mkdir",
  // "createtemp", "write", "close", "rename", "remove") fail when their
  // path contains `pathPart` ("" for any path). A failing write first
  // stores half of its bytes.
  void Fail(const std::string& op, const std::string& pathPart,
            const std::string& reason = "injected fault");

  // Every change made, in order: "mkdir D", "create F", "write F", "rename
  // A B", "remove F".
  std::vector<std::string> log;
  size_t OpenHandles() const { return handles_.size(); }

  bool ListEntries(NameList* names, std::string* err) override;
  OpenStatus OpenRead(const char* path, FileHandle* handle,
                      std::string* err) override;
  bool Read(FileHandle handle, char* buf, size_t size, size_t* got,
            std::string* err) override;
  void CloseRead(FileHandle handle) override;
  bool Kind(const char* path, NodeKind* kind, std::string* err) override;
  MakeDirStatus MakeDir(const char* path, std::string* err) override;
  bool CreateTemp(const char* dir, std::string* tempPath, FileHandle* handle,
                  std::string* err) override;
  bool Write(FileHandle handle, const char* data, size_t size,
             std::string* err) override;
  bool CloseWrite(FileHandle handle, bool sync, std::string* err) override;
  bool Rename(const char* from, const char* to, std::string* err) override;
  bool Remove(const char* path, std::string* err) override;

 private:
  struct Open {
    std::string path;
    size_t offset;
  };
  bool Injected(const char* op, const std::string& path, std::string* err);
  NodeKind KindOf(const std::string& path) const;

  std::map<std::string, std::map<std::string, std::string>> faults_;
  std::map<FileHandle, Open> handles_;
  FileHandle nextHandle_ = 1;
  int tempCounter_ = 0;
};

// A console that keeps what is written.
struct CapturingConsole : public Console {
  std::string out, err;
  int keyWaits = 0;
  void Write(const char* text, size_t size) override { out.append(text, size); }
  void WriteError(const char* text, size_t size) override {
    err.append(text, size);
  }
  void WaitForKey() override { ++keyWaits; }
};

#endif  // KORENDEZO_TESTS_VIRTUAL_DISK_H_
