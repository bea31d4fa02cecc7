// Inside the POSIX platform (Linux, macOS): what its files give each other.
// Only the POSIX build sees this header.
#ifndef KORENDEZO_PLATFORM_POSIX_POSIX_H_
#define KORENDEZO_PLATFORM_POSIX_POSIX_H_

#ifdef _WIN32
#error "the POSIX platform's own header: its build alone includes it"
#endif

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>

#include <array>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/host.h"

namespace posix {

// disk.cc

// What a stat says of a file, in the layer's terms.
void describe(const struct stat& st, FileInfo* info);

// What has a report's name in the folder now.
enum class Source { AsOpened, Gone, Other };
// Looks at `name` in the folder, never through a link: AsOpened when it
// still is the file `source` was opened as (*now: how it is now), Gone
// when nothing has the name, Other (with *err) otherwise.
Source lookAtSource(const char* name, const FileInfo& source, FileInfo* now,
                    std::string* err);
// Renames `from` in `fromDir` to `to` in `toDir` unless `to` is taken
// (EEXIST). Where the system cannot promise that (FUSE), `to` is looked at
// first: a name taken the moment after is replaced.
int renameFree(int fromDir, const char* from, int toDir, const char* to);
// What has `name` in `dir` (`path` in messages), never following a link;
// *existing describes a File, and is all zero otherwise.
host::Occupant occupantAt(int dir, const char* name, const char* path,
                          FileInfo* existing, std::string* err);

// Whether an open failed with `error` for want of descriptors.
inline bool tooManyOpen(int error) {
  return error == EMFILE || error == ENFILE;
}

// console.cc: writes all `size` bytes, going on after an interrupted or
// partial write; 0, or the error that stopped it.
int writeAll(int fd, const char* data, size_t size);

// read_ahead.cc

// Opens a report (or the folder, to list it) for reading: never through a
// link, never waiting on a FIFO, without changing its access time where
// the process may.
int openForReading(const char* name);
void closeIfOpen(int fd);

// Reports to be read soon, oldest first, in a ring: a few descriptors
// however many reports there are. Until a read finds a report that the
// page cache does not hold, reads take only what it holds, and reports are
// opened in their turn; from then on each is opened ahead of its turn and
// read from the disk meanwhile (Linux; elsewhere nothing is opened ahead).
class ReadAhead {
 public:
  ~ReadAhead() { Drop(); }
  void Open(const char* name);
  // Closes every report opened ahead.
  void Drop();
  // The descriptor opened ahead for `name`, or -1 when it was not. Those
  // before it have had their turn: they are closed.
  int Take(const char* name);
  // read(), EINTR retried; false with errno set when it fails.
  bool Read(int fd, char* buf, size_t size, size_t* got);

 private:
  struct Ahead {
    std::string name;
    int fd = -1;
  };
  int TakeOldest();
  void OpenAhead(Ahead* slot);

  std::array<Ahead, 64> ring_;
  size_t first_ = 0, count_ = 0;
  bool advising_ = false;
};

// signals.cc: the signals that end the program and the clean-ups that run
// first.

// Adds an async-signal-safe function to call when SIGINT, SIGTERM, SIGHUP
// or SIGQUIT ends the program (each is caught unless it was ignored when
// the program started); the signal's default action follows. At most three.
void atFatalSignal(void (*cleanup)());
// Holds those signals back on this thread while it lives: one that comes
// meanwhile waits until then. Threads started meanwhile hold them back for
// good, so that the clean-ups run on the main thread alone, never in the
// middle of a step it holds them back for.
class FatalSignalsBlocked {
 public:
  FatalSignalsBlocked();
  ~FatalSignalsBlocked();
  FatalSignalsBlocked(const FatalSignalsBlocked&) = delete;
  FatalSignalsBlocked& operator=(const FatalSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// flushers.cc: threads kept for the run, on which the flushes of several
// copies wait together.
class Flushers {
 public:
  ~Flushers();
  // Runs work(0) to work(count - 1) at once, on the threads and this one
  // (one after another where no thread can be had); memory that runs out on
  // a thread runs out here.
  void Run(size_t count, const std::function<void(size_t)>& work);

 private:
  void Grow(size_t threads);
  void Serve();
  // Takes and does work while there is some; `hold` is held between.
  void Take(std::unique_lock<std::mutex>& hold);

  std::mutex lock_;
  std::condition_variable wake_, done_;
  const std::function<void(size_t)>* job_ = nullptr;
  size_t count_ = 0, next_ = 0, busy_ = 0;
  std::vector<std::exception_ptr> thrown_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// names.cc: whether a directory entry's name is one of a report.
bool matchesReportName(const char* name);

// copy.cc: whether the process `pid` runs, or may run.
bool processMayRun(unsigned long pid);

// aside.cc: an original renamed aside before it is removed, under a name of
// its own, ".<name>.korendezo-<pid>-<inode>", which a signal or the next
// run gives back.

// Whether `entry` is such a name; *name: the report's, *pid: the run's.
bool parseAsideName(const char* entry, std::string* name, unsigned long* pid);

// The disk: disk.cc, and copy.cc for the copies and their temporary names.
class PosixDisk : public DiskInterface {
 public:
  PosixDisk();

  LockStatus LockFolder(bool wait) override;
  void UnlockFolder() override;
  size_t HandleRoom() override;
  void Pause(unsigned ms) override;
  bool ListEntries(NameList* names, std::string* err) override;
  void RemoveLeftovers() override;
  void ReadAhead(const char* name) override;
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
  bool Look(const char* path, EntryKind* kind, std::string* err) override;

  bool CreateCopy(DirHandle dir, const char* name, FileHandle* copy,
                  std::string* err) override;
  bool Write(FileHandle copy, const char* data, size_t size,
             std::string* err) override;
  void CommitCopies(CopyCommit* commits, size_t count) override;
  void DiscardCopy(FileHandle copy) override;

 private:
  // copy.cc: removes from `dir` (the folder: AT_FDCWD) the temporary
  // files that killed runs of this program left.
  void RemoveLeftoversIn(int dir) const;
  // disk.cc: moves the report `name` over what has its name in `to`.
  MoveStatus ReplaceInto(const char* name, const FileInfo& source, int to,
                         std::string* err);
  // disk.cc: after the report `name` was renamed into `to`, Moved if it is
  // there, through the folder; otherwise what the rename took is put back.
  MoveStatus Arrived(const char* name, const FileInfo& source, int to,
                     std::string* err);
  // aside.cc: whether `now`, a look at the report's name, shows `source`
  // as it was read, but for a change time this run gave it.
  bool Unchanged(const FileInfo& source, const FileInfo& now) const;
  // aside.cc: removes `current`, the name the report `name` has now, if
  // it is `source` with the bytes read; otherwise `current` stays.
  RemoveStatus RemoveChecked(const char* current, const char* name,
                             const FileInfo& source,
                             const BytesCheck* sameBytes, std::string* err);
  // aside.cc: the aside names killed runs left in the folder, put back
  // (those of reports added to `names`).
  void PutBackAsides(const std::vector<std::string>& asides, NameList* names);
  // copy.cc: CommitCopies, but for what memory running out leaves; a copy
  // into a directory that another program moved away since is no longer
  // ready; and flushing the directories copies went into (with the folder,
  // for those this run made): what kept any from stable storage, by
  // handle.
  void CommitAll(CopyCommit* commits, size_t count);
  void NoneIntoMovedAway(CopyCommit* commits, size_t count,
                         std::vector<char>* ready);
  std::unordered_map<int, std::string> FlushDirs(const std::vector<int>& dirs);
  // Whether `dir` is on the folder's file system, so that a copy going
  // there may have its name of its own in the folder, where every run
  // looks for leftovers anyway.
  bool OnFolderDisk(int dir);
  // Which directory `dir` is; where it is on another file system than the
  // folder's, the leftovers of killed runs in it are removed first.
  const FileInfo& DirId(int dir);
  // open() with room made first, should too many files be open.
  int OpenWithRoom(const char* path, int flags);

  host::OpenFiles files_;  // open for reading
  host::OpenFiles dirs_;
  std::unordered_map<int, FileInfo> dirIds_;  // which directory each is
  // The directories this run made whose entries in the folder may not be
  // on stable storage yet, by name; and the folder, to flush them.
  std::unordered_set<std::string> madeUnflushed_;
  int FolderHandle();
  int folderFd_ = -1;
  uint64_t folderDevice_ = 0;
  bool leftoversSeen_ = false;  // by the listing
  // What the listing showed that is neither a report nor a regular file:
  // directories among them.
  std::unordered_set<std::string> listedOthers_;
  posix::ReadAhead ahead_;
  // The files, by inode, that this run gave a new change time (a name of
  // one with several removed, or put back): a report among them is not
  // changed by it.
  std::unordered_map<uint64_t, FileInfo> ownChanges_;
  std::unordered_map<FileHandle, host::Copy> copies_;
  Flushers flushers_;
  int lockFd_ = -1;
  bool locked_ = false;
};

}  // namespace posix

#endif  // KORENDEZO_PLATFORM_POSIX_POSIX_H_
