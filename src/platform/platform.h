// The operating-system services the sorter uses: file-system access, the
// console, the host's rules for names. This header is all the core sees of
// the platform layer; the build picks posix/ or win32/ to implement it.
#ifndef KORENDEZO_PLATFORM_H_
#define KORENDEZO_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Names of directory entries, stored back to back: a folder of thousands of
// reports costs little more than the bytes of their names.
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

// What the run keeps of a report's file from reading it to moving it, in
// the host's units: which file it is (device and inode; Windows: volume
// serial number and file index), and what its copy takes over.
struct FileInfo {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;  // when opened; once read to its end, the bytes read
  uint32_t mode = 0;  // permission bits (POSIX)
  uint32_t owner = 0;
  uint32_t group = 0;
  // Seconds and nanoseconds (POSIX); Windows: a FILETIME in [0]. The
  // change time (ctime, ChangeTime) is one nothing can set back.
  int64_t accessTime[2] = {0, 0};
  int64_t modifyTime[2] = {0, 0};
  int64_t changeTime[2] = {0, 0};
  int64_t createTime = 0;  // Windows: FILETIME

  bool SameFile(const FileInfo& other) const {
    return device == other.device && inode == other.inode;
  }
  // Whether `now`, a later look at the report's name, shows this file
  // unchanged since it was read.
  bool StillAsRead(const FileInfo& now) const {
    return SameFile(now) && size == now.size &&
           modifyTime[0] == now.modifyTime[0] &&
           modifyTime[1] == now.modifyTime[1] &&
           changeTime[0] == now.changeTime[0] &&
           changeTime[1] == now.changeTime[1];
  }
};

// What the calls below come to. NotAFile, Taken: the name belongs to a
// directory, a link, a device... Made: the directory was made now; Opened:
// it was there. Gone: nothing has the report's name any more; another
// program moved or removed it. CopyInstead: a rename cannot do it (another
// file system; on Windows, a read-only report). SourceStays: the
// destination was the report itself (a hard link), whose name in the
// folder could not be removed. Stays: it could not be removed, or is not
// the file that was read. Held: another program holds the file (a virus
// scanner, an editor: a sharing violation), which may soon let it go.
// Busy: another run holds the folder's lock; Unsupported: no lock can be
// had there, and the run goes on without.
enum class OpenStatus { Opened, NotAFile, Gone, Held, Failed };
enum class DirStatus { Made, Opened, Taken, Failed };
enum class MoveStatus { Moved, CopyInstead, SourceStays, Taken, Gone, Held,
                        Failed };
enum class RemoveStatus { Removed, Gone, Held, Stays };
enum class LockStatus { Locked, Busy, Unsupported };

// At most how many copies wait to be committed together: a file system
// commits the data of files flushed at once in one go. See bench/README.md.
constexpr size_t kCopiesAtOnce = 16;

// A copy to put in place as `dir`/`name`, and what came of it.
struct CopyCommit {
  FileHandle copy = -1;
  FileInfo* source = nullptr;  // whose metadata it takes
  DirHandle dir = -1;
  const char* name = nullptr;
  MoveStatus status = MoveStatus::Failed;
  std::string err;  // why, when not Moved
};

enum class EntryKind { None, File, Directory, Other };  // what has a name

// File-system access of the sorting run. Names without a directory handle
// are entries of the current directory. Every call that can fail sets *err
// to a message worded "op(path): reason" when it does.
class DiskInterface {
 public:
  virtual ~DiskInterface() = default;

  // Takes the current directory's lock, waiting for it when `wait`; it ends
  // with UnlockFolder, or with the process however that ends.
  virtual LockStatus LockFolder(bool wait) = 0;
  virtual void UnlockFolder() = 0;
  // How many directories, reports read ahead and copies waiting the run may
  // hold open at once, within the system's limit on open files.
  virtual size_t HandleRoom() = 0;
  // Sleeps `ms` milliseconds, before a file that was Held is tried again.
  virtual void Pause(unsigned ms) = 0;

  // Adds the current directory's entries that may be reports (regular files
  // named by the host's rule), in no order; then removes, with the lock
  // held, the temporary files that killed runs left there.
  virtual bool ListEntries(NameList* names, std::string* err) = 0;
  virtual void RemoveLeftovers() {}

  // A hint that `name` is to be opened soon, so that its bytes can be on
  // their way; OpenRead then takes what was opened. nullptr drops what no
  // OpenRead took.
  virtual void ReadAhead(const char* name) { (void)name; }

  // Opens a regular file for reading, and tells which file it is.
  virtual OpenStatus OpenRead(const char* name, FileHandle* handle,
                              FileInfo* info, std::string* err) = 0;
  // Reads up to `size` bytes; *got is 0 at the end of the data.
  virtual bool Read(FileHandle handle, char* buf, size_t size, size_t* got,
                    std::string* err) = 0;
  virtual void CloseRead(FileHandle handle) = 0;

  // Opens the sub-directory `name`, made when nothing has that name, never
  // through a link. The handle holds the directory itself, whatever takes
  // its name later; DirStillThere: whether the name still leads to it.
  virtual DirStatus OpenDir(const char* name, DirHandle* dir,
                            std::string* err) = 0;
  virtual void CloseDir(DirHandle dir) = 0;
  virtual bool DirStillThere(DirHandle dir) = 0;

  // Moves the file `name`, which is `source`, into `dir` under the same
  // name, replacing a file there; only the name goes when the destination
  // is `source` (a hard link). Another file a rename took is put back.
  virtual MoveStatus MoveInto(const char* name, const FileInfo& source,
                              DirHandle dir, std::string* err) = 0;

  // Starts the copy that is to become `dir`/`name`: a file nobody sees
  // before it is committed, gone should the program end first.
  virtual bool CreateCopy(DirHandle dir, const char* name, FileHandle* copy,
                          std::string* err) = 0;
  virtual bool Write(FileHandle copy, const char* data, size_t size,
                     std::string* err) = 0;  // all `size` bytes
  // Gives each copy its source's permissions, owner (where the process may)
  // and times, flushes it (several at once where the host can), puts it in
  // place, replacing a file, closes it and flushes the directories, so that
  // a copy Moved is there to stay. Anything else leaves no copy and the
  // destination as it was, but for a copy in place whose closing or
  // directory failed; memory running out leaves no copy open. A copy that
  // replaced another name of its source (a hard link) gives *source the
  // change time that replacing gave it.
  virtual void CommitCopies(CopyCommit* commits, size_t count) = 0;
  virtual void DiscardCopy(FileHandle copy) = 0;

  // Removes the file `name` if it still is `source` as it was read and,
  // given `sameBytes`, it says so of the bytes it reads through the file's
  // handle (from their start; Read); a file that took its name or changed
  // since stays. Where the platform can, no other file ever loses its name.
  using BytesCheck = std::function<bool(FileHandle file, std::string* err)>;
  virtual RemoveStatus Remove(const char* name, const FileInfo& source,
                              const BytesCheck* sameBytes,
                              std::string* err) = 0;

  // What has `path` ('/'-joined, from the current directory), not following
  // a link in its last name and changing nothing, not even an access time:
  // for a dry run (dry_run.h). Where there is none (Windows), it fails.
  virtual bool Look(const char* path, EntryKind* kind, std::string* err) {
    (void)kind;
    *err = std::string("look(") + path + "): not supported";
    return false;
  }
};

// The program's console: standard output, standard error and the key wait.
class Console {
 public:
  virtual ~Console() = default;
  virtual void Write(const char* text, size_t size) = 0;
  virtual void WriteError(const char* text, size_t size) = 0;
  // Writes out standard output; false, with the reason, if any was lost.
  virtual bool Flush(std::string* err) = 0;
  // Flushes, then waits for one key press on the user's console or
  // terminal where standard output is shown there; else at once.
  virtual void WaitForKey() = 0;
};

// The operating system's implementations, set up on first use.
DiskInterface& systemDisk();
Console& systemConsole();

// The host's rules for names from a report (identifier, title), which
// arrive as ISO-8859-2 bytes: whether it refuses `raw` as a directory name,
// beyond the portable checks; `raw` in its encoding for file names; and a
// local name for the console, where control characters and undecodable
// bytes print as '?' (returns the characters appended).
bool hostRefusesDirName(const char* raw);
void appendReportName(std::string* out, const char* raw);
size_t appendForConsole(std::string* out, const char* name, size_t size);

// Whether the program's arguments are answered or refused; false where it
// is started by a double click and only a folder dropped on it counts
// (Windows: droppedFolder, which elsewhere gives none). A file dropped, an
// option or more than one name is no folder: "".
bool hostReadsCommandLine();
std::string droppedFolder();
// Makes `path`, a folder the user named, the current directory, so that
// every path of the run is inside it; false, with *err, when it cannot.
bool enterFolder(const char* path, std::string* err);

#endif  // KORENDEZO_PLATFORM_H_
