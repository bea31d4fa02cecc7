// The disk on POSIX systems (Linux, macOS): the listing, reading,
// directories, moves by rename and removal. Copies are in copy.cc.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/posix/posix.h"

using host::failure;
using host::Occupant;
using posix::lookAtSource;
using posix::Source;

namespace {

// The times of a stat with their nanoseconds; macOS names them apart.
#ifdef __APPLE__
const timespec& accessedAt(const struct stat& st) { return st.st_atimespec; }
const timespec& modifiedAt(const struct stat& st) { return st.st_mtimespec; }
const timespec& changedAt(const struct stat& st) { return st.st_ctimespec; }
#else
const timespec& accessedAt(const struct stat& st) { return st.st_atim; }
const timespec& modifiedAt(const struct stat& st) { return st.st_mtim; }
const timespec& changedAt(const struct stat& st) { return st.st_ctim; }
#endif

// Renames `name` into `dir` unless the name is taken there (EEXIST);
// EINVAL, ENOSYS or ENOTSUP where the system cannot promise that.
int renameNoReplace(const char* name, int dir) {
#if defined(RENAME_NOREPLACE)
  return renameat2(AT_FDCWD, name, dir, name, RENAME_NOREPLACE);
#elif defined(RENAME_EXCL)
  // macOS 10.12 and later.
  return renameatx_np(AT_FDCWD, name, dir, name, RENAME_EXCL);
#else
  (void)name;
  (void)dir;
  errno = ENOSYS;
  return -1;
#endif
}

// Descriptors a run uses beside those it holds for long: the listing, the
// report being read, its copy, a directory's listing, the terminal in the
// key wait, the folder's lock, and two to spare.
constexpr size_t kDescriptorsInUse = 8;
// More are never held: a folder has no more players than this.
constexpr size_t kMostHeld = 65536;

// The files open now, or 3 (the standard streams) where that cannot be
// seen.
size_t openDescriptors() {
#ifdef __APPLE__
  DIR* dir = opendir("/dev/fd");
#else
  DIR* dir = opendir("/proc/self/fd");
#endif
  if (!dir)
    return 3;
  size_t entries = 0;
  while (readdir(dir))
    ++entries;
  closedir(dir);
  // Not ".", "..", nor the listing's own descriptor.
  return entries > 3 ? entries - 3 : 0;
}

// Lets the run hold as many files open as the system lets it.
void raiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max)
    return;
  limit.rlim_cur = limit.rlim_max;
#ifdef __APPLE__
  // macOS refuses a soft limit past OPEN_MAX.
  if (limit.rlim_cur > OPEN_MAX)
    limit.rlim_cur = OPEN_MAX;
#endif
  setrlimit(RLIMIT_NOFILE, &limit);
}

// Whether `error` says that another program holds the file: a network
// share whose server refuses it while another program has it open (EBUSY),
// a program being run (ETXTBSY).
bool heldByAnother(int error) { return error == EBUSY || error == ETXTBSY; }

// What a failed rename of the report `name` comes to: Gone when the report
// went meanwhile, otherwise Failed with the rename's error.
MoveStatus renameFailed(const char* name, const FileInfo& source,
                        std::string* err) {
  const int error = errno;
  FileInfo now;
  std::string ignored;
  if (error == ENOENT &&
      lookAtSource(name, source, &now, &ignored) == Source::Gone)
    return MoveStatus::Gone;
  *err = failure("rename", name, error);
  return heldByAnother(error) ? MoveStatus::Held : MoveStatus::Failed;
}

// Whether a listed entry is a regular file, not following a link.
bool isRegular(DIR* dir, const dirent* entry) {
  if (entry->d_type != DT_UNKNOWN)
    return entry->d_type == DT_REG;
  struct stat st;
  return fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(st.st_mode);
}

}  // namespace

namespace posix {

Source lookAtSource(const char* name, const FileInfo& source, FileInfo* now,
                    std::string* err) {
  struct stat st;
  if (fstatat(AT_FDCWD, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT)
      return Source::Gone;
    *err = failure("fstatat", name, errno);
    return Source::Other;
  }
  describe(st, now);
  if (S_ISREG(st.st_mode) && now->SameFile(source))
    return Source::AsOpened;
  *err = std::string(name) + ": not the file that was read";
  return Source::Other;
}

int renameFree(int fromDir, const char* from, int toDir, const char* to) {
#if defined(RENAME_NOREPLACE)
  if (renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0)
    return 0;
#elif defined(RENAME_EXCL)
  if (renameatx_np(fromDir, from, toDir, to, RENAME_EXCL) == 0)
    return 0;
#else
  errno = ENOSYS;
#endif
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
    return -1;
  struct stat st;
  if (fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return errno == ENOENT ? renameat(fromDir, from, toDir, to) : -1;
}

void describe(const struct stat& st, FileInfo* info) {
  info->device = static_cast<uint64_t>(st.st_dev);
  info->inode = static_cast<uint64_t>(st.st_ino);
  info->size = static_cast<uint64_t>(st.st_size);
  info->mode = static_cast<uint32_t>(st.st_mode);
  info->owner = static_cast<uint32_t>(st.st_uid);
  info->group = static_cast<uint32_t>(st.st_gid);
  info->accessTime[0] = accessedAt(st).tv_sec;
  info->accessTime[1] = accessedAt(st).tv_nsec;
  info->modifyTime[0] = modifiedAt(st).tv_sec;
  info->modifyTime[1] = modifiedAt(st).tv_nsec;
  info->changeTime[0] = changedAt(st).tv_sec;
  info->changeTime[1] = changedAt(st).tv_nsec;
}

Occupant occupantAt(int dir, const char* name, const char* path,
                    FileInfo* existing, std::string* err) {
  struct stat st;
  *existing = FileInfo();
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT)
      return Occupant::Free;
    *err = failure("fstatat", path, errno);
    return Occupant::Unknown;
  }
  if (!S_ISREG(st.st_mode)) {
    *err = std::string(path) + ": not a regular file";
    return Occupant::Other;
  }
  describe(st, existing);
  return Occupant::File;
}

PosixDisk::PosixDisk() {
  // Past a file size limit, let write() fail with EFBIG instead of the
  // process being killed with a half-written temporary file.
  signal(SIGXFSZ, SIG_IGN);
  raiseDescriptorLimit();
}

LockStatus PosixDisk::LockFolder(bool wait) {
  if (lockFd_ < 0)
    lockFd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lockFd_ < 0)
    return LockStatus::Unsupported;
  while (flock(lockFd_, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
    if (errno == EINTR)
      continue;
    if (errno == EWOULDBLOCK)
      return LockStatus::Busy;
    UnlockFolder();  // no lock to be had here (NFS without locks, say)
    return LockStatus::Unsupported;
  }
  locked_ = true;
  return LockStatus::Locked;
}

void PosixDisk::UnlockFolder() {
  if (lockFd_ >= 0)
    close(lockFd_);
  lockFd_ = -1;
  locked_ = false;
}

size_t PosixDisk::HandleRoom() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
    return 0;
  const size_t used = openDescriptors() + kDescriptorsInUse;
  const size_t most = limit.rlim_cur == RLIM_INFINITY
                          ? kMostHeld
                          : static_cast<size_t>(limit.rlim_cur);
  return most > used ? std::min(most - used, kMostHeld) : 0;
}

void PosixDisk::Pause(unsigned ms) {
  struct timespec left = {static_cast<time_t>(ms / 1000),
                          static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int PosixDisk::OpenWithRoom(const char* path, int flags) {
  int fd = open(path, flags);
  // With too many files open, what is read ahead is given back first.
  if (fd < 0 && tooManyOpen(errno)) {
    ahead_.Drop();
    fd = open(path, flags);
  }
  return fd;
}

bool PosixDisk::ListEntries(NameList* names, std::string* err) {
  // Opened as a report is, so that listing it leaves its access time.
  int fd = openForReading(".");
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  struct stat st;
  if (!dir || fstat(dirfd(dir), &st) != 0) {
    *err = failure("opendir", ".", errno);
    if (dir)
      closedir(dir);
    else if (fd >= 0)
      close(fd);
    return false;
  }
  folderDevice_ = static_cast<uint64_t>(st.st_dev);
  leftoversSeen_ = false;
  listedOthers_.clear();
  std::vector<std::string> asides;  // originals a killed run renamed aside
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (!entry)
      break;
    if (matchesReportName(entry->d_name) && isRegular(dir, entry))
      names->Add(entry->d_name);
    else if (entry->d_type != DT_REG)
      listedOthers_.insert(entry->d_name);
    unsigned long pid;
    unsigned long long number;
    leftoversSeen_ =
        leftoversSeen_ || host::parseTempName(entry->d_name, &pid, &number);
    std::string report;
    if (entry->d_name[0] == '.' &&
        parseAsideName(entry->d_name, &report, &pid))
      asides.push_back(entry->d_name);
  }
  int error = errno;
  closedir(dir);
  if (error != 0) {
    *err = failure("readdir", ".", error);
    return false;
  }
  // Put back once the listing is whole: renamed during it, a name could be
  // listed twice.
  if (!asides.empty())
    PutBackAsides(asides, names);
  return true;
}

// A killed run's temporaries are in the folder, beside the reports.
void PosixDisk::RemoveLeftovers() {
  if (leftoversSeen_)
    RemoveLeftoversIn(AT_FDCWD);
}

void PosixDisk::ReadAhead(const char* name) {
  if (name)
    ahead_.Open(name);
  else
    ahead_.Drop();
}

OpenStatus PosixDisk::OpenRead(const char* name, FileHandle* handle,
                               FileInfo* info, std::string* err) {
  int fd = ahead_.Take(name);
  if (fd < 0)
    fd = openForReading(name);
  // With too many files open, what is read ahead is given back first.
  if (fd < 0 && tooManyOpen(errno)) {
    ahead_.Drop();
    fd = openForReading(name);
  }
  if (fd < 0) {
    int error = errno;
    *err = failure("open", name, error);
    if (error == ENOENT)
      return OpenStatus::Gone;
    if (heldByAnother(error))
      return OpenStatus::Held;
    return error == ELOOP || error == ENXIO ? OpenStatus::NotAFile
                                            : OpenStatus::Failed;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *err = failure("fstat", name, errno);
    close(fd);
    return OpenStatus::Failed;
  }
  if (!S_ISREG(st.st_mode)) {
    *err = std::string(name) + ": not a regular file";
    close(fd);
    return OpenStatus::NotAFile;
  }
  describe(st, info);
  *handle = fd;
  files_.Add(fd, name);
  return OpenStatus::Opened;
}

bool PosixDisk::Read(FileHandle handle, char* buf, size_t size, size_t* got,
                     std::string* err) {
  if (ahead_.Read(static_cast<int>(handle), buf, size, got))
    return true;
  *err = failure("read", files_.PathOf(handle), errno);
  return false;
}

void PosixDisk::CloseRead(FileHandle handle) {
  files_.Remove(handle);
  close(static_cast<int>(handle));
}

DirStatus PosixDisk::OpenDir(const char* name, DirHandle* dir,
                             std::string* err) {
  // Never through a link: it could lead out of the folder. Made only when
  // nothing has the name; one the listing did not show is made first, which
  // spares a new directory an open that fails.
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  bool made = false;
  const bool listed = listedOthers_.count(name) != 0;
  int fd = listed ? OpenWithRoom(name, flags) : -1;
  if (!listed || (fd < 0 && errno == ENOENT)) {
    made = mkdir(name, 0777) == 0;
    if (!made && errno != EEXIST) {
      *err = failure("mkdir", name, errno);
      return DirStatus::Failed;
    }
    fd = OpenWithRoom(name, flags);
  }
  // O_DIRECTORY and O_NOFOLLOW: what opens is a directory, no link.
  if (fd < 0 && errno != ENOTDIR && errno != ELOOP) {
    *err = failure("open", name, errno);
    return DirStatus::Failed;
  }
  if (fd < 0) {
    *err = failure("mkdir", name, EEXIST);
    return DirStatus::Taken;
  }
  dirs_.Add(fd, name);
  if (made)
    madeUnflushed_.insert(name);
  *dir = fd;
  return made ? DirStatus::Made : DirStatus::Opened;
}

void PosixDisk::CloseDir(DirHandle dir) {
  dirs_.Remove(dir);
  dirIds_.erase(static_cast<int>(dir));
  close(static_cast<int>(dir));
}

// Looked at only once a copy or a check needs it: a report renamed into a
// directory needs nothing of it.
const FileInfo& PosixDisk::DirId(int dir) {
  auto found = dirIds_.find(dir);
  if (found != dirIds_.end())
    return found->second;
  FileInfo& id = dirIds_[dir];
  struct stat st;
  if (fstat(dir, &st) == 0)
    describe(st, &id);
  else
    id.device = ~folderDevice_;  // not known: not the folder's
  // A copy into a directory of another file system has its name of its own
  // there: a killed run may have left one.
  if (id.device != folderDevice_)
    RemoveLeftoversIn(dir);
  return id;
}

int PosixDisk::FolderHandle() {
  // The lock's descriptor is the folder's: no other is needed.
  if (lockFd_ >= 0)
    return lockFd_;
  if (folderFd_ < 0)
    folderFd_ = OpenWithRoom(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return folderFd_;
}

bool PosixDisk::OnFolderDisk(int dir) {
  return DirId(dir).device == folderDevice_;
}

bool PosixDisk::DirStillThere(DirHandle dir) {
  struct stat st;
  FileInfo now;
  if (fstatat(AT_FDCWD, dirs_.PathOf(dir), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(st.st_mode))
    return false;
  describe(st, &now);
  return now.SameFile(DirId(static_cast<int>(dir)));
}

MoveStatus PosixDisk::MoveInto(const char* name, const FileInfo& source,
                               DirHandle dir, std::string* err) {
  // Looked at just before the rename, however the report was opened: a
  // file that took its name since is never moved as the report.
  FileInfo now;
  switch (lookAtSource(name, source, &now, err)) {
    case Source::AsOpened:
      break;
    case Source::Gone:
      return MoveStatus::Gone;
    case Source::Other:
      return MoveStatus::Failed;
  }
  int to = static_cast<int>(dir);
  if (renameNoReplace(name, to) == 0)
    return Arrived(name, source, to, err);
  if (errno == EXDEV)
    return MoveStatus::CopyInstead;
  if (errno != EEXIST && errno != EINVAL && errno != ENOSYS &&
      errno != ENOTSUP)
    return renameFailed(name, source, err);
  return ReplaceInto(name, source, to, err);
}

// Something has the report's name in `to`: a file to replace, the report
// itself through a hard link, or what may not be replaced.
MoveStatus PosixDisk::ReplaceInto(const char* name, const FileInfo& source,
                                  int to, std::string* err) {
  const std::string path = std::string(dirs_.PathOf(to)) + "/" + name;
  FileInfo existing;
  MoveStatus refusal;
  if (host::blocks(occupantAt(to, name, path.c_str(), &existing, err),
                   &refusal))
    return refusal;
  if (existing.SameFile(source)) {
    switch (Remove(name, source, nullptr, err)) {
      case RemoveStatus::Removed:
        return MoveStatus::Moved;
      case RemoveStatus::Gone:
        return MoveStatus::Gone;
      case RemoveStatus::Held:
        return MoveStatus::Held;
      case RemoveStatus::Stays:
        break;
    }
    return MoveStatus::SourceStays;
  }
  if (renameat(AT_FDCWD, name, to, name) == 0)
    return Arrived(name, source, to, err);
  if (errno == EXDEV)
    return MoveStatus::CopyInstead;
  return renameFailed(name, source, err);
}

// Looked at through the folder, the report proves that it went where it
// was to go, and that its directory is still in the folder. Between the
// look at its name and the rename another file may have taken the name,
// or the directory left the folder: what was moved goes back.
MoveStatus PosixDisk::Arrived(const char* name, const FileInfo& source,
                              int to, std::string* err) {
  const std::string path = std::string(dirs_.PathOf(to)) + "/" + name;
  struct stat st;
  FileInfo there;
  if (fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    describe(st, &there);
    if (S_ISREG(st.st_mode) && there.SameFile(source))
      return MoveStatus::Moved;
  }
  const bool report = fstatat(to, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                      (describe(st, &there), there.SameFile(source));
  *err = report ? std::string(dirs_.PathOf(to)) + ": moved away from the folder"
                : std::string(name) + ": not the file that was read";
  if (renameFree(to, name, AT_FDCWD, name) != 0)
    *err += "; " + failure("rename", path.c_str(), errno);
  return MoveStatus::Failed;
}

bool PosixDisk::Look(const char* path, EntryKind* kind, std::string* err) {
  struct stat st;
  if (fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    *kind = S_ISDIR(st.st_mode)   ? EntryKind::Directory
            : S_ISREG(st.st_mode) ? EntryKind::File
                                  : EntryKind::Other;
    return true;
  }
  if (errno == ENOENT) {
    *kind = EntryKind::None;
    return true;
  }
  *err = failure("fstatat", path, errno);
  return false;
}

}  // namespace posix

DiskInterface& systemDisk() {
  static posix::PosixDisk disk;
  return disk;
}
