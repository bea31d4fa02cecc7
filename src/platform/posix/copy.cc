// A copy's road on POSIX systems: create, write, keep the source's
// metadata, commit (flush, then put in place, replacing an older copy),
// or discard; and the temporary names a killed run left.
//
// On Linux a copy is an anonymous file in its directory (O_TMPFILE) until
// it is linked in place, so a run killed at any moment leaves nothing.
// Replacing an older copy needs a name for a moment: the copy is linked as
// .korendezo-<pid>-<inode>.tmp in the folder and renamed over it. Where
// anonymous files are not to be had (FAT, macOS, no /proc to link them
// through), the copy is written under such a name from the start, with a
// counter in place of the inode. A signal that ends the program removes
// every such name of the run; one a run killed otherwise left is removed
// by the next run, once no run is at work (the folder's lock) or, without
// a lock, once process <pid> has ended and only while the name still
// belongs to inode <inode>. A directory on another file system than the
// folder's has such names in itself.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/posix/posix.h"

using host::Attempt;
using host::Copy;
using host::failure;
using posix::FatalSignalsBlocked;

// --- Temporary names, removed should a signal end the program ---

namespace {

// The temporary names that exist, for the clean-up a fatal signal runs: a
// slot is filled once its file has the name and emptied as soon as the name
// is renamed or removed, both with the fatal signals held back on the one
// thread that handles them, so that the clean-up finds every slot whole. A
// copy has at most one such name, and a run at most a batch of copies.
struct TempSlot {
  int dir;
  char name[64];
  std::atomic<bool> used;
};
TempSlot gTemps[kCopiesAtOnce];
static_assert(std::atomic<bool>::is_always_lock_free,
              "the clean-up reads the slots");

void removeRegisteredTemps() {
  for (TempSlot& slot : gTemps) {
    if (slot.used.load(std::memory_order_acquire))
      unlinkat(slot.dir, slot.name, 0);
  }
}

// Whether `name` is one of this run's temporary names now.
bool isOwnTemp(const char* name) {
  for (const TempSlot& slot : gTemps) {
    if (slot.used.load(std::memory_order_acquire) &&
        std::strcmp(slot.name, name) == 0)
      return true;
  }
  return false;
}

// Registers the copy's name of its own, copy->tempName, once its file has
// it. There is a slot for it: a run has at most a batch of copies, and
// each at most one such name.
void registerTemp(const Copy& copy) {
  static bool installed = false;
  if (!installed) {
    installed = true;
    posix::atFatalSignal(removeRegisteredTemps);
  }
  for (TempSlot& slot : gTemps) {
    if (slot.used.load(std::memory_order_relaxed))
      continue;
    slot.dir = static_cast<int>(copy.tempDir);
    std::snprintf(slot.name, sizeof slot.name, "%s", copy.tempName.c_str());
    slot.used.store(true, std::memory_order_release);
    return;
  }
}

void forgetTemp(Copy* copy) {
  for (TempSlot& slot : gTemps) {
    if (slot.used.load(std::memory_order_relaxed) &&
        slot.dir == static_cast<int>(copy->tempDir) &&
        copy->tempName == slot.name)
      slot.used.store(false, std::memory_order_release);
  }
  copy->tempName.clear();
}

unsigned long ownPid() { return static_cast<unsigned long>(getpid()); }

// --- Create ---

// The anonymous file for a copy in `dir`, or -1 with errno set.
int openAnonymous(int dir) {
#ifdef O_TMPFILE
  return openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
#else
  (void)dir;
  errno = EOPNOTSUPP;
  return -1;
#endif
}

bool anonymousUnsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// Creates the copy under a temporary name of its own, for a file system
// without anonymous files; 0, or the error that kept it from being made.
int createNamedTemp(Copy* copy) {
  int error = 0;
  Attempt attempt =
      host::createUnderTempName(ownPid(), [&](const std::string& name) {
        // Named first: nothing that can fail comes between the file's
        // making and its registering.
        copy->tempName = name;
        FatalSignalsBlocked blocked;
        int fd = openat(static_cast<int>(copy->tempDir), name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600);
        if (fd >= 0) {
          registerTemp(*copy);
          copy->file = fd;
          return Attempt::Made;
        }
        error = errno;
        copy->tempName.clear();
        return error == EEXIST ? Attempt::NameTaken : Attempt::Failed;
      });
  return attempt == Attempt::Made ? 0 : error;
}

// Whether an anonymous file can be linked in place: through /proc, which a
// chroot or a container may lack.
bool anonymousLinkable() {
  static const bool linkable = access("/proc/self/fd", X_OK) == 0;
  return linkable;
}

// Creates the copy's file; 0, or the error that kept it from being made.
int createCopy(Copy* copy) {
  if (!anonymousLinkable())
    return createNamedTemp(copy);
  int fd = openAnonymous(static_cast<int>(copy->dir));
  if (fd >= 0) {
    copy->file = fd;
    return 0;
  }
  return anonymousUnsupported(errno) ? createNamedTemp(copy) : errno;
}

void discard(Copy* copy);

}  // namespace

namespace posix {

bool PosixDisk::CreateCopy(DirHandle dir, const char* name, FileHandle* file,
                           std::string* err) {
  Copy copy(dir, dirs_.PathOf(dir), name);
  copy.tempDir = OnFolderDisk(static_cast<int>(dir)) ? AT_FDCWD : dir;
  // No more copies at once than a batch, for which the clean-up has room.
  int error = EMFILE;
  if (copies_.size() < kCopiesAtOnce) {
    error = createCopy(&copy);
    // With too many files open, what is read ahead is given back first.
    if (tooManyOpen(error)) {
      ahead_.Drop();
      error = createCopy(&copy);
    }
  }
  if (error != 0) {
    *err = failure("open", copy.path.c_str(), error);
    return false;
  }
  *file = copy.file;
  try {
    copies_[copy.file] = std::move(copy);
  } catch (...) {
    discard(&copy);  // memory ran out: no copy stays open or named
    throw;
  }
  return true;
}

// --- Write ---

bool PosixDisk::Write(FileHandle file, const char* data, size_t size,
                      std::string* err) {
  int error = writeAll(static_cast<int>(file), data, size);
  if (error == 0)
    return true;
  *err = failure("write", copies_.at(file).path.c_str(), error);
  return false;
}

}  // namespace posix

namespace {

// --- Keep the metadata ---

// Whether a call that sets a piece of metadata failed because the file
// system cannot keep it, or the process may not set it: FAT through FUSE
// answers ENOSYS, others EOPNOTSUPP, EPERM or EINVAL. That step is left
// out; any other error fails the copy.
bool cannotKeep(int error) {
  switch (error) {
    case ENOSYS:
    case EOPNOTSUPP:
#if ENOTSUP != EOPNOTSUPP
    case ENOTSUP:
#endif
    case EPERM:
    case EINVAL:
      return true;
    default:
      return false;
  }
}

// Gives the copy `fd` the source's access and modification times.
int copyTimes(int fd, const FileInfo& source) {
  const struct timespec times[2] = {
      {static_cast<time_t>(source.accessTime[0]),
       static_cast<long>(source.accessTime[1])},
      {static_cast<time_t>(source.modifyTime[0]),
       static_cast<long>(source.modifyTime[1])}};
  return futimens(fd, times);
}

// Takes over the source's owner where the process may, then its
// permission bits (a change of owner may clear set-id bits) and times,
// each where the file system keeps it.
bool copyMetadata(const Copy& copy, const FileInfo& source,
                  std::string* err) {
  int fd = static_cast<int>(copy.file);
  const char* failed = nullptr;
  if (fchown(fd, source.owner, source.group) != 0 && !cannotKeep(errno))
    failed = "fchown";
  else if (fchmod(fd, static_cast<mode_t>(source.mode & 07777)) != 0 &&
           !cannotKeep(errno))
    failed = "fchmod";
  else if (copyTimes(fd, source) != 0 && !cannotKeep(errno))
    failed = "futimens";
  if (!failed)
    return true;
  *err = failure(failed, copy.path.c_str(), errno);
  return false;
}

// --- Put in place ---

// Links the open anonymous file `fd` as `name` in `dir`.
bool linkAnonymous(int fd, int dir, const char* name) {
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  if (linkat(AT_FDCWD, proc, dir, name, AT_SYMLINK_FOLLOW) == 0)
    return true;
#ifdef AT_EMPTY_PATH
  // Without /proc, a process that may do so links the descriptor itself.
  if (errno == ENOENT)
    return linkat(fd, "", dir, name, AT_EMPTY_PATH) == 0;
#endif
  return false;
}

// Gives the anonymous copy a temporary name of its own that carries its
// inode, which tells a later run whose it is.
bool nameAnonymousCopy(Copy* copy, std::string* err) {
  int fd = static_cast<int>(copy->file);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *err = failure("fstat", copy->path.c_str(), errno);
    return false;
  }
  copy->tempName =
      host::tempName(ownPid(), static_cast<unsigned long long>(st.st_ino));
  FatalSignalsBlocked blocked;
  if (!linkAnonymous(fd, static_cast<int>(copy->tempDir),
                     copy->tempName.c_str())) {
    *err = failure("linkat", copy->path.c_str(), errno);
    copy->tempName.clear();
    return false;
  }
  registerTemp(*copy);
  return true;
}

// Renames the copy's temporary name over `name`.
MoveStatus renameOver(Copy* copy, const char* name, std::string* err) {
  int dir = static_cast<int>(copy->dir);
  FatalSignalsBlocked blocked;
  if (renameat(static_cast<int>(copy->tempDir), copy->tempName.c_str(), dir,
               name) == 0) {
    forgetTemp(copy);
    return MoveStatus::Moved;
  }
  *err = failure("rename", copy->path.c_str(), errno);
  return MoveStatus::Failed;
}

// Some file systems give a renamed file new times (FAT through fusefat):
// the copy, renamed into place, takes the source's again. It is whole and
// in place by now, so a failure here leaves it with the times it has.
void keepTimesOverRename(const Copy& copy, const FileInfo& source) {
  int fd = static_cast<int>(copy.file);
  struct stat st;
  FileInfo now;
  if (fstat(fd, &st) != 0)
    return;
  posix::describe(st, &now);
  if (now.accessTime[0] != source.accessTime[0] ||
      now.accessTime[1] != source.accessTime[1] ||
      now.modifyTime[0] != source.modifyTime[0] ||
      now.modifyTime[1] != source.modifyTime[1])
    copyTimes(fd, source);
}

// After the copy replaced another name of the source itself, the change
// time that gave the source, once the source's name in the folder shows it
// otherwise as it was read.
void takeOwnChange(const char* name, FileInfo* source) {
  struct stat st;
  FileInfo now;
  if (fstatat(AT_FDCWD, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
    return;
  posix::describe(st, &now);
  now.changeTime[0] = source->changeTime[0];
  now.changeTime[1] = source->changeTime[1];
  if (S_ISREG(st.st_mode) && source->StillAsRead(now))
    posix::describe(st, source);
}

// Puts the copy in place as `name`: an anonymous copy is linked there;
// where a file has the name, the copy is renamed over it through a name of
// its own. Nothing but a file is ever replaced.
MoveStatus place(Copy* copy, FileInfo* source, const char* name,
                 std::string* err) {
  int dir = static_cast<int>(copy->dir);
  if (copy->tempName.empty()) {
    if (linkAnonymous(static_cast<int>(copy->file), dir, name))
      return MoveStatus::Moved;
    if (errno != EEXIST) {
      *err = failure("linkat", copy->path.c_str(), errno);
      return MoveStatus::Failed;
    }
  }
  FileInfo existing;
  MoveStatus refusal;
  if (host::blocks(
          posix::occupantAt(dir, name, copy->path.c_str(), &existing, err),
          &refusal))
    return refusal;
  if (copy->tempName.empty() && !nameAnonymousCopy(copy, err))
    return MoveStatus::Failed;
  MoveStatus status = renameOver(copy, name, err);
  if (status != MoveStatus::Moved)
    return status;
  keepTimesOverRename(*copy, *source);
  if (existing.SameFile(*source))
    takeOwnChange(name, source);
  return status;
}

// --- Discard ---

void discard(Copy* copy) {
  if (copy->file >= 0)
    close(static_cast<int>(copy->file));
  copy->file = -1;
  if (copy->tempName.empty())
    return;
  FatalSignalsBlocked blocked;
  unlinkat(static_cast<int>(copy->tempDir), copy->tempName.c_str(), 0);
  forgetTemp(copy);
}

// --- Commit: several copies flushed together ---

// Flushes `fd`; 0, or the error. On Linux fsync reaches stable storage. On
// macOS it leaves what it wrote in the drive's cache: F_BARRIERFSYNC keeps
// it ahead of all written later, which is enough for a copy before it gets
// its name; `pastCache`, F_FULLFSYNC empties the cache, which one call per
// drive and batch does for all flushed before it, ahead of the originals'
// removal.
int flushTo(int fd, bool pastCache) {
#ifdef __APPLE__
  if (fcntl(fd, pastCache ? F_FULLFSYNC : F_BARRIERFSYNC) == 0)
    return 0;
  // A file system that takes neither (some network ones) has fsync alone.
  if (errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOTTY &&
      errno != EINVAL)
    return errno;
#else
  (void)pastCache;
#endif
  return fsync(fd) == 0 ? 0 : errno;
}

// Gives the copy `source`'s metadata and flushes it; false, with *err,
// when either fails.
bool flush(const Copy& copy, const FileInfo& source, std::string* err) {
  if (!copyMetadata(copy, source, err))
    return false;
  const int error = flushTo(static_cast<int>(copy.file), false);
  if (error == 0)
    return true;
  *err = failure("fsync", copy.path.c_str(), error);
  return false;
}

// Closes a copy that is in place. Linux closes the descriptor even when
// close() reports EINTR. The copy, flushed and in place, stays: the report
// stays too, and its line says what went wrong.
MoveStatus closePlaced(Copy* copy, std::string* err) {
  int fd = static_cast<int>(copy->file);
  copy->file = -1;
  if (close(fd) != 0 && errno != EINTR) {
    *err = failure("close", copy->path.c_str(), errno);
    return MoveStatus::Failed;
  }
  return MoveStatus::Moved;
}

}  // namespace

namespace posix {

void PosixDisk::CommitCopies(CopyCommit* commits, size_t count) {
  try {
    CommitAll(commits, count);
  } catch (...) {
    for (size_t i = 0; i < count; ++i) {
      auto found = copies_.find(commits[i].copy);
      if (found != copies_.end()) {
        discard(&found->second);
        copies_.erase(found);
      }
    }
    throw;
  }
}

void PosixDisk::CommitAll(CopyCommit* commits, size_t count) {
  std::vector<Copy*> copies(count);
  for (size_t i = 0; i < count; ++i)
    copies[i] = &copies_.at(commits[i].copy);
  std::vector<char> ready(count);
  flushers_.Run(count, [&](size_t i) {
    ready[i] = flush(*copies[i], *commits[i].source, &commits[i].err);
  });
  NoneIntoMovedAway(commits, count, &ready);
  // Put in place, here: a copy's name of its own and the signals that
  // remove it are this thread's business.
  std::vector<int> dirs;
  for (size_t i = 0; i < count; ++i) {
    CopyCommit& c = commits[i];
    c.status = ready[i] ? place(copies[i], c.source, c.name, &c.err)
                        : MoveStatus::Failed;
    if (c.status != MoveStatus::Moved)
      discard(copies[i]);
    else if (std::find(dirs.begin(), dirs.end(), c.dir) == dirs.end())
      dirs.push_back(static_cast<int>(c.dir));
  }
  const std::unordered_map<int, std::string> unflushed = FlushDirs(dirs);
  for (size_t i = 0; i < count; ++i) {
    CopyCommit& c = commits[i];
    if (c.status != MoveStatus::Moved)
      continue;
    c.status = closePlaced(copies[i], &c.err);
    auto failed = unflushed.find(static_cast<int>(c.dir));
    if (c.status == MoveStatus::Moved && failed != unflushed.end()) {
      c.err = failed->second;
      c.status = MoveStatus::Failed;
    }
  }
  for (size_t i = 0; i < count; ++i)
    copies_.erase(commits[i].copy);
}

void PosixDisk::NoneIntoMovedAway(CopyCommit* commits, size_t count,
                                  std::vector<char>* ready) {
  std::vector<int> seen, away;
  for (size_t i = 0; i < count; ++i) {
    const int dir = static_cast<int>(commits[i].dir);
    if (std::find(seen.begin(), seen.end(), dir) != seen.end())
      continue;
    seen.push_back(dir);
    if (!DirStillThere(dir))
      away.push_back(dir);
  }
  for (size_t i = 0; i < count; ++i) {
    CopyCommit& c = commits[i];
    const bool isAway =
        std::find(away.begin(), away.end(), c.dir) != away.end();
    if ((*ready)[i] && isAway) {
      c.err = std::string(dirs_.PathOf(c.dir)) + ": moved away from the folder";
      (*ready)[i] = false;
    }
  }
}

std::unordered_map<int, std::string> PosixDisk::FlushDirs(
    const std::vector<int>& dirs) {
  std::vector<int> synced = dirs;
  bool folderToo = false;
  for (int dir : dirs)
    folderToo = folderToo || madeUnflushed_.count(dirs_.PathOf(dir)) != 0;
  // A folder that cannot be opened stays unflushed, for the reason told.
  std::string folderFailed;
  if (folderToo && FolderHandle() < 0)
    folderFailed = failure("open", ".", errno);
  else if (folderToo)
    synced.push_back(FolderHandle());
  std::vector<int> errors(synced.size());
  flushers_.Run(synced.size(),
                [&](size_t i) { errors[i] = flushTo(synced[i], false); });
#ifdef __APPLE__
  // Then the drive's cache of each device, once, through one of its
  // directories: what was flushed to that drive before stays.
  std::vector<uint64_t> devices;
  const auto deviceOf = [&](size_t i) {
    return i < dirs.size() ? DirId(synced[i]).device : folderDevice_;
  };
  for (size_t i = 0; i < synced.size(); ++i) {
    const uint64_t device = deviceOf(i);
    if (errors[i] != 0 ||
        std::find(devices.begin(), devices.end(), device) != devices.end())
      continue;
    devices.push_back(device);
    const int error = flushTo(synced[i], true);
    for (size_t j = i; j < synced.size(); ++j)
      errors[j] = errors[j] == 0 && deviceOf(j) == device ? error : errors[j];
  }
#endif
  if (synced.size() > dirs.size() && errors.back() != 0)
    folderFailed = failure("fsync", ".", errors.back());
  std::unordered_map<int, std::string> unflushed;
  for (size_t d = 0; d < dirs.size(); ++d) {
    const std::string name = dirs_.PathOf(dirs[d]);
    const bool made = madeUnflushed_.count(name) != 0;
    if (errors[d] != 0)
      unflushed[dirs[d]] = failure("fsync", dirs_.PathOf(dirs[d]), errors[d]);
    else if (made && !folderFailed.empty())
      unflushed[dirs[d]] = folderFailed;
    else if (made)
      madeUnflushed_.erase(name);
  }
  return unflushed;
}

void PosixDisk::DiscardCopy(FileHandle file) {
  auto found = copies_.find(file);
  discard(&found->second);
  copies_.erase(found);
}

}  // namespace posix

// --- A killed run's temporary names ---

namespace {

// Removes the regular file `name` in `dir`, a temporary name of process
// `pid` that carries `number`, if a killed run left it. Holding the
// folder's lock, the run knows that no other run is at work here, wherever
// it runs: every such name goes but the run's own. Without the lock, only
// one of a process that has ended goes, and only while it still is the
// file of the inode it carries.
void removeLeftoverTemp(int dir, const char* name, unsigned long pid,
                        unsigned long long number, bool locked) {
  if (locked ? isOwnTemp(name)
             : pid == ownPid() || posix::processMayRun(pid))
    return;
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(st.st_mode) && (locked || st.st_ino == number))
    unlinkat(dir, name, 0);
}

}  // namespace

namespace posix {

// It is not ours to judge a process we may not signal.
bool processMayRun(unsigned long pid) {
  return pid == 0 || pid > static_cast<unsigned long>(INT_MAX) ||
         kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

void PosixDisk::RemoveLeftoversIn(int dir) const {
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!listing) {
    if (fd >= 0)
      close(fd);
    return;
  }
  // Listed whole first: a listing that entries leave meanwhile may skip
  // some (FAT through FUSE).
  struct Temp {
    std::string name;
    unsigned long pid;
    unsigned long long number;
  };
  std::vector<Temp> temps;
  Temp temp;
  while (const dirent* entry = readdir(listing)) {
    if (host::parseTempName(entry->d_name, &temp.pid, &temp.number)) {
      temp.name = entry->d_name;
      temps.push_back(temp);
    }
  }
  closedir(listing);
  for (const Temp& t : temps)
    removeLeftoverTemp(dir, t.name.c_str(), t.pid, t.number, locked_);
}

}  // namespace posix
