// The operating-system services the sorter uses: file-system access, the
// console, and the host's rules for names. This header is the whole of what
// the core sees of the platform layer.
//
// The build picks one implementation: posix/ (Linux, macOS) or win32/, one
// file per concern, each with a private header of its own. What both do
// alike is beside this header (host.h).
#ifndef KORENDEZO_PLATFORM_H_
#define KORENDEZO_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Names of directory entries, stored back to back so that a folder of many
// thousands of reports costs little more than the bytes of their names.
class NameList {
 public:
  void Add(const char* name);
  size_t size() const { return offsets_.size(); }
  bool empty() const { return offsets_.empty(); }
  const char* operator[](size_t i) const { return bytes_.data() + offsets_[i]; }
  // Orders the names as the home platform's file system lists them: ASCII
  // letters compared as upper case, ties broken by the bytes themselves.
  void SortLikeListing();

 private:
  std::string bytes_;
  std::vector<uint32_t> offsets_;
};

using FileHandle = intptr_t;
using DirHandle = intptr_t;

// What the run keeps of a report's file from reading it to moving it:
// which file it is, and what its copy takes over. Values are in the host's
// own units.
struct FileInfo {
  // The file's identity: device and inode (Windows: volume serial number
  // and file index).
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;  // when opened; once read to its end, the bytes read
  uint32_t mode = 0;  // permission bits (POSIX)
  uint32_t owner = 0;
  uint32_t group = 0;
  int64_t accessTime[2] = {0, 0};  // seconds and nanoseconds (POSIX);
  int64_t modifyTime[2] = {0, 0};  // Windows: FILETIME in [0]
  // When the file's data or metadata last changed (POSIX ctime; Windows:
  // ChangeTime, a FILETIME in [0]). Nothing can set it back.
  int64_t changeTime[2] = {0, 0};
  int64_t createTime = 0;  // Windows: FILETIME

  bool SameFile(const FileInfo& other) const {
    return device == other.device && inode == other.inode;
  }
  // Whether `now`, a later look at the report's name, still shows this
  // file unchanged since it was read: the same file, size and times. A
  // change that put the modification time back still moves the change
  // time.
  bool StillAsRead(const FileInfo& now) const {
    return SameFile(now) && size == now.size &&
           modifyTime[0] == now.modifyTime[0] &&
           modifyTime[1] == now.modifyTime[1] &&
           changeTime[0] == now.changeTime[0] &&
           changeTime[1] == now.changeTime[1];
  }
};

// Result of opening a file for reading.
enum class OpenStatus {
  Opened,
  NotAFile,  // the name belongs to a directory, a link, a device...
  Gone,      // nothing has the name: another program moved or removed it
  Failed,
};

// Result of opening a destination directory.
enum class DirStatus {
  Made,    // it was made now
  Opened,  // it was there already
  Taken,   // the name belongs to something else: a file, a link...
  Failed,
};

// Result of putting a file in its place.
enum class MoveStatus {
  Moved,
  // The rename cannot do it (another file system; on Windows, a read-only
  // report): copy the report instead.
  CopyInstead,
  // The destination was the report itself (a hard link); the report's name
  // in the current directory could not be removed.
  SourceStays,
  Taken,  // the destination's name belongs to something other than a file
  // Nothing has the report's name any more: another program moved or
  // removed it.
  Gone,
  Failed,
};

// Result of removing a report's name once its copy is in place.
enum class RemoveStatus {
  Removed,
  Gone,   // nothing has the name any more
  Stays,  // it could not be removed, or it is not the file that was read
};

// Result of taking the lock that keeps two runs out of one folder.
enum class LockStatus {
  Locked,
  Busy,         // another run holds it
  Unsupported,  // the file system offers no lock: the run goes on without
};

// A copy to put in place as `dir`/`name`, and what came of it.
struct CopyCommit {
  FileHandle copy = -1;
  FileInfo* source = nullptr;  // whose metadata it takes
  DirHandle dir = -1;
  const char* name = nullptr;
  MoveStatus status = MoveStatus::Failed;
  std::string err;  // why, when not Moved
};

// File-system access of the sorting run. Names without a directory handle
// are entries of the current directory. Every call that can fail sets *err
// to a message worded "op(path): reason" when it does.
class DiskInterface {
 public:
  virtual ~DiskInterface() = default;

  // Takes the lock on the current directory that keeps a second run out
  // while this one moves files, waiting for it when `wait`. It ends with
  // UnlockFolder, or with the process however that ends.
  virtual LockStatus LockFolder(bool wait) = 0;
  virtual void UnlockFolder() = 0;

  // How many directories and reports opened ahead the run may hold open at
  // once, within the system's limit on open files.
  virtual size_t HandleRoom() = 0;

  // Adds the entries of the current directory that may be reports: regular
  // files whose names match the host's rule. The order is unspecified.
  virtual bool ListEntries(NameList* names, std::string* err) = 0;

  // A hint that `name` is to be opened for reading soon, so that its bytes
  // can be on their way meanwhile; OpenRead of that name then takes what
  // was opened. nullptr drops what no OpenRead took. It may do nothing.
  virtual void ReadAhead(const char* name) { (void)name; }

  // Opens a regular file for reading, and tells which file it is; anything
  // else is NotAFile.
  virtual OpenStatus OpenRead(const char* name, FileHandle* handle,
                              FileInfo* info, std::string* err) = 0;
  // Reads up to `size` bytes; *got is 0 at the end of the data.
  virtual bool Read(FileHandle handle, char* buf, size_t size, size_t* got,
                    std::string* err) = 0;
  virtual void CloseRead(FileHandle handle) = 0;

  // Opens the sub-directory `name`, making it first when nothing has that
  // name. A link is never followed. The handle holds the directory itself:
  // calls made with it reach that directory whatever takes its name later.
  virtual DirStatus OpenDir(const char* name, DirHandle* dir,
                            std::string* err) = 0;
  virtual void CloseDir(DirHandle dir) = 0;
  // Whether `dir` still is the current directory's entry of the name it was
  // opened by: another program may have moved it away, or put another
  // directory in its place.
  virtual bool DirStillThere(DirHandle dir) = 0;

  // Moves the file `name`, which is `source`, into `dir` under the same
  // name, replacing a file there. When the destination is `source` already
  // (a hard link), only the name in the current directory goes. A file
  // that took the name since `source` was opened is never moved: the call
  // fails.
  virtual MoveStatus MoveInto(const char* name, const FileInfo& source,
                              DirHandle dir, std::string* err) = 0;

  // Starts the copy that is to become `dir`/`name`: a new file that nobody
  // sees before it is committed, and that is gone should the program end
  // first.
  virtual bool CreateCopy(DirHandle dir, const char* name, FileHandle* copy,
                          std::string* err) = 0;
  // Writes all `size` bytes.
  virtual bool Write(FileHandle copy, const char* data, size_t size,
                     std::string* err) = 0;
  // Commits each of `count` copies: gives it the permissions, owner (where
  // the process may) and times of its source, flushes it to stable storage
  // and puts it in place as `dir`/`name`, replacing a file there; closes
  // it. Copies are flushed together where the host can, and the
  // directories they went into are flushed too, so that a copy Moved is
  // there to stay once this returns. Anything but Moved leaves no copy and
  // `dir`/`name` as it was, except that a copy in place stays when only
  // closing it, or flushing its directory, fails; should memory run out
  // meanwhile, no copy stays open. When what a copy replaced
  // was another name of its source itself (a hard link), *source takes the
  // change time that replacing gave it, so that the report is still known
  // as read.
  virtual void CommitCopies(CopyCommit* commits, size_t count) = 0;
  // Closes and removes a copy that is not to be committed.
  virtual void DiscardCopy(FileHandle copy) = 0;

  // Removes the file `name` if it still is `source` as it was read (see
  // FileInfo::StillAsRead); otherwise, a file that took its name or that
  // changed since, it stays and the call fails.
  virtual RemoveStatus Remove(const char* name, const FileInfo& source,
                              std::string* err) = 0;
};

// The program's console: standard output, standard error and the key wait.
class Console {
 public:
  virtual ~Console() = default;
  virtual void Write(const char* text, size_t size) = 0;
  virtual void WriteError(const char* text, size_t size) = 0;
  // Writes out what standard output holds. False, with the reason, when
  // any of the output could not be written.
  virtual bool Flush(std::string* err) = 0;
  // Flushes standard output, then waits for one key press on the user's
  // console; returns at once when the process has none.
  virtual void WaitForKey() = 0;
};

// The operating system's implementations, set up on first use.
DiskInterface& systemDisk();
Console& systemConsole();

// Host rules for names taken from a report (player identifier, title name),
// which arrive as ISO-8859-2 bytes.

// True when the host refuses `raw` as a directory name for a reason of its
// own, beyond the portable checks of the sorting run.
bool hostRefusesDirName(const char* raw);
// Appends `raw` in the host's encoding for file names.
void appendReportName(std::string* out, const char* raw);
// Appends a local name (a file name, or one made by appendReportName) for
// the console: control characters and undecodable bytes print as '?'.
// Returns the number of characters appended.
size_t appendForConsole(std::string* out, const char* name, size_t size);

// True when the program's arguments come from a user who typed them, so
// that they are answered or refused; false where the program is started by
// a double click and the arguments are ignored (Windows).
bool hostReadsCommandLine();

#endif  // KORENDEZO_PLATFORM_H_
