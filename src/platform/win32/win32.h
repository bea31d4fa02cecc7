// Inside the Windows platform: what its files give each other. Only the
// Windows build sees this header.
#ifndef KORENDEZO_PLATFORM_WIN32_WIN32_H_
#define KORENDEZO_PLATFORM_WIN32_WIN32_H_

#ifndef _WIN32
#error "the Windows platform's own header: its build alone includes it"
#endif

#include <windows.h>

#include <string>
#include <unordered_map>

#include "platform/host.h"

namespace win32 {

inline HANDLE toHandle(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}
inline intptr_t fromHandle(HANDLE handle) {
  return reinterpret_cast<intptr_t>(handle);
}

// Whether `error` says that another program holds the file: opened
// without sharing, or a part of it locked.
inline bool heldByAnother(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// names.cc

// A name of the program (UTF-8, or WTF-8 from a listing) as the UTF-16 of
// the system's W functions, and back. Every name the system gives has a
// form here, a lone surrogate included, and comes back as it was.
std::wstring toWide(const char* name, size_t size);
std::wstring toWide(const char* name);
std::string fromWide(const wchar_t* units, size_t size);
std::string fromWide(const wchar_t* units);
// A path as a Windows user reads it in a message, with backslashes (the
// run joins names with '/', which the system takes too), and
// "op(path): reason" with the path so shown.
std::string shownPath(const char* path);
std::string shownFailure(const char* op, const char* path,
                         host::SystemError error);
// Whether `path` stays within MAX_PATH UTF-16 units of full path, less
// `reserve`: what the W functions reach without the \\?\ prefix, and
// what Explorer and most programs can open. No longer path is made.
bool fitsPath(const char* path, unsigned long reserve = 0);

// file_info.cc

// Whether `attributes` are those of something that is never a report (a
// directory, link, junction or device).
bool isNotAFile(unsigned long attributes);
// What the open `file`, or the entry `path` itself (never a link's
// target), is: false, with the system's last error, when that cannot be
// had. The change time needs Windows Vista or later.
bool describeFile(FileHandle file, FileInfo* info, unsigned long* attributes);
bool lookAt(const char* path, FileInfo* info, unsigned long* attributes);
// What has the name `path` where a file is to go; *existing describes a
// File, and is all zero otherwise. A read-only file, which Windows never
// replaces, counts as Other.
host::Occupant occupant(const char* path, FileInfo* existing,
                        std::string* err);
// The file index of an open file, 0 when it cannot be had.
uint64_t fileIndex(FileHandle file);

// Opens the entry `path` itself (never a link's target) so that it can be
// renamed or removed through the handle: whatever takes the name later,
// the handle stays the file that was opened. `share` is what others may
// do with it meanwhile. INVALID_HANDLE_VALUE, with the system's last
// error, when it cannot be opened.
HANDLE openToMove(const char* path, DWORD share, DWORD access = 0);
// Marks the file open as `file` to be removed when its last handle
// closes.
bool markForDeletion(HANDLE file);
// Renames the file open as `file` to `to`, replacing a file there.
bool renameOpenFile(HANDLE file, const char* to);

// The disk: disk.cc, copy.cc for the copies and their temporary names,
// lock.cc for the folder's lock.
class Win32Disk : public DiskInterface {
 public:
  LockStatus LockFolder(bool wait) override;
  void UnlockFolder() override;
  size_t HandleRoom() override;
  void Pause(unsigned ms) override { Sleep(ms); }
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
  RemoveStatus Remove(const char* name, const FileInfo& source,
                      const BytesCheck* sameBytes, std::string* err) override;

  bool CreateCopy(DirHandle dir, const char* name, FileHandle* copy,
                  std::string* err) override;
  bool Write(FileHandle copy, const char* data, size_t size,
             std::string* err) override;
  void CommitCopies(CopyCommit* commits, size_t count) override;
  void DiscardCopy(FileHandle copy) override;

 private:
  // copy.cc: removes from the directory `dirName` the temporary files of
  // this program's runs that have ended, whatever their numbers; never one
  // that a running program holds.
  void RemoveLeftovers(const char* dirName) const;

  host::OpenFiles files_;  // open for reading
  host::OpenFiles dirs_;
  std::unordered_map<FileHandle, host::Copy> copies_;
  intptr_t lock_ = -1;  // lock.cc: the folder's lock file, while held
};

}  // namespace win32

#endif  // KORENDEZO_PLATFORM_WIN32_WIN32_H_
