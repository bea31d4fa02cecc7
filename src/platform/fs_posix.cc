// The disk on POSIX systems (Linux, macOS).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform.h"

namespace {

using host::failure;

// The times of a stat with their nanoseconds; macOS names them apart.
#ifdef __APPLE__
const timespec& accessedAt(const struct stat& st) { return st.st_atimespec; }
const timespec& modifiedAt(const struct stat& st) { return st.st_mtimespec; }
#else
const timespec& accessedAt(const struct stat& st) { return st.st_atim; }
const timespec& modifiedAt(const struct stat& st) { return st.st_mtim; }
#endif

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
}

class PosixDisk : public host::SystemDisk {
 public:
  PosixDisk() {
    // Past a file size limit, let write() fail with EFBIG instead of the
    // process being killed with a half-written temporary file.
    signal(SIGXFSZ, SIG_IGN);
  }

  bool ListEntries(NameList* names, std::string* err) override {
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
      if (host::matchesReportName(entry->d_name) && isRegular(dir, entry))
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

  void ReadAhead(const char* name) override {
    if (name)
      ahead_.Open(name);
    else
      ahead_.Drop();
  }

  OpenStatus OpenRead(const char* name, FileHandle* handle, FileInfo* info,
                      std::string* err) override {
    int fd = ahead_.Take(name);
    if (fd < 0)
      fd = host::openForReading(name);
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

  bool Read(FileHandle handle, char* buf, size_t size, size_t* got,
            std::string* err) override {
    if (ahead_.Read(static_cast<int>(handle), buf, size, got))
      return true;
    *err = failure("read", files_.PathOf(handle), errno);
    return false;
  }

  void CloseRead(FileHandle handle) override {
    files_.Remove(handle);
    close(static_cast<int>(handle));
  }

  DirStatus OpenDir(const char* name, DirHandle* dir,
                    std::string* err) override {
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
      host::removeLeftovers(fd, name);
    *dir = fd;
    return made ? DirStatus::Made : DirStatus::Opened;
  }

  void CloseDir(DirHandle dir) override {
    dirs_.Remove(dir);
    close(static_cast<int>(dir));
  }

  MoveStatus MoveInto(const char* name, const FileInfo& source, DirHandle dir,
                      std::string* err) override {
    int to = static_cast<int>(dir);
    if (renameNoReplace(name, to) == 0)
      return MoveStatus::Moved;
    if (errno == EXDEV)
      return MoveStatus::CopyInstead;
    if (errno != EEXIST && errno != EINVAL && errno != ENOSYS) {
      *err = failure("rename", name, errno);
      return MoveStatus::Failed;
    }
    // Something has the name: a file to replace, the report itself through
    // a hard link, or what may not be replaced.
    const std::string path = std::string(dirs_.PathOf(dir)) + "/" + name;
    FileInfo existing;
    MoveStatus status = host::occupantAt(dir, name, path.c_str(), &existing,
                                         err);
    if (status != MoveStatus::Moved)
      return status;
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

  bool Remove(const char* name, const FileInfo& source,
              std::string* err) override {
    // Opened ahead of its turn, a report may have lost its name to another
    // file by now; that one is never removed.
    struct stat st;
    if (fstatat(AT_FDCWD, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      *err = failure("fstatat", name, errno);
      return false;
    }
    FileInfo now;
    describe(st, &now);
    if (!S_ISREG(st.st_mode) || !now.SameFile(source) ||
        now.size != source.size) {
      *err = std::string(name) + ": not the file that was read";
      return false;
    }
    if (unlink(name) == 0)
      return true;
    *err = failure("unlink", name, errno);
    return false;
  }

 private:
  // Renames `name` into `dir` unless the name is taken there (EEXIST);
  // EINVAL or ENOSYS where the system cannot promise that.
  static int renameNoReplace(const char* name, int dir) {
#ifdef RENAME_NOREPLACE
    return renameat2(AT_FDCWD, name, dir, name, RENAME_NOREPLACE);
#else
    errno = ENOSYS;
    return -1;
#endif
  }

  // Whether a listed entry is a regular file, not following a link.
  static bool isRegular(DIR* dir, const dirent* entry) {
    if (entry->d_type != DT_UNKNOWN)
      return entry->d_type == DT_REG;
    struct stat st;
    return fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode);
  }

  host::ReadAhead ahead_;
};

}  // namespace

namespace host {

MoveStatus occupantAt(DirHandle dir, const char* name, const char* path,
                      FileInfo* existing, std::string* err) {
  struct stat st;
  *existing = FileInfo();
  if (fstatat(static_cast<int>(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT)
      return MoveStatus::Moved;
    *err = failure("fstatat", path, errno);
    return MoveStatus::Failed;
  }
  if (!S_ISREG(st.st_mode)) {
    *err = std::string(path) + ": not a regular file";
    return MoveStatus::Taken;
  }
  describe(st, existing);
  return MoveStatus::Moved;
}

}  // namespace host

DiskInterface& systemDisk() {
  static PosixDisk disk;
  return disk;
}
