// The disk on POSIX systems (Linux, macOS): the listing, reading,
// directories, moves by rename and removal. Copies are in copy.cc.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/posix.h"

using host::failure;
using host::Occupant;

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
}

bool PosixDisk::ListEntries(NameList* names, std::string* err) {
  DIR* dir = opendir(".");
  if (!dir) {
    *err = failure("opendir", ".", errno);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (!entry)
      break;
    if (matchesReportName(entry->d_name) && isRegular(dir, entry))
      names->Add(entry->d_name);
  }
  int error = errno;
  closedir(dir);
  if (error != 0) {
    *err = failure("readdir", ".", error);
    return false;
  }
  return true;
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
  if (fd < 0) {
    int error = errno;
    *err = failure("open", name, error);
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
  bool made = mkdir(name, 0777) == 0;
  if (!made && errno != EEXIST) {
    *err = failure("mkdir", name, errno);
    return DirStatus::Failed;
  }
  // Never through a link: it could lead out of the folder.
  int fd = open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd < 0 && errno != ENOTDIR && errno != ELOOP) {
    *err = failure("open", name, errno);
    return DirStatus::Failed;
  }
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (fd >= 0)
      close(fd);
    *err = failure("mkdir", name, EEXIST);
    return DirStatus::Taken;
  }
  dirs_.Add(fd, name);
  if (!made)
    RemoveLeftovers(fd);
  *dir = fd;
  return made ? DirStatus::Made : DirStatus::Opened;
}

void PosixDisk::CloseDir(DirHandle dir) {
  dirs_.Remove(dir);
  close(static_cast<int>(dir));
}

MoveStatus PosixDisk::MoveInto(const char* name, const FileInfo& source,
                               DirHandle dir, std::string* err) {
  int to = static_cast<int>(dir);
  if (renameNoReplace(name, to) == 0)
    return MoveStatus::Moved;
  if (errno == EXDEV)
    return MoveStatus::CopyInstead;
  if (errno != EEXIST && errno != EINVAL && errno != ENOSYS &&
      errno != ENOTSUP) {
    *err = failure("rename", name, errno);
    return MoveStatus::Failed;
  }
  // Something has the name: a file to replace, the report itself through
  // a hard link, or what may not be replaced.
  const std::string path = std::string(dirs_.PathOf(dir)) + "/" + name;
  FileInfo existing;
  MoveStatus refusal;
  if (host::blocks(occupantAt(to, name, path.c_str(), &existing, err),
                   &refusal))
    return refusal;
  if (existing.SameFile(source))
    return Remove(name, source, err) ? MoveStatus::Moved
                                     : MoveStatus::SourceStays;
  if (renameat(AT_FDCWD, name, to, name) == 0)
    return MoveStatus::Moved;
  if (errno == EXDEV)
    return MoveStatus::CopyInstead;
  *err = failure("rename", name, errno);
  return MoveStatus::Failed;
}

bool PosixDisk::Remove(const char* name, const FileInfo& source,
                       std::string* err) {
  // Opened ahead of its turn, a report may have lost its name to another
  // file by now; that one is never removed.
  struct stat st;
  if (fstatat(AT_FDCWD, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *err = failure("fstatat", name, errno);
    return false;
  }
  FileInfo now;
  describe(st, &now);
  if (!S_ISREG(st.st_mode) || !source.StillAsRead(now)) {
    *err = std::string(name) + ": not the file that was read";
    return false;
  }
  if (unlink(name) == 0)
    return true;
  *err = failure("unlink", name, errno);
  return false;
}

}  // namespace posix

DiskInterface& systemDisk() {
  static posix::PosixDisk disk;
  return disk;
}
