// The disk on POSIX systems (Linux, macOS).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"

namespace {

using host::failure;

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

  OpenStatus OpenRead(const char* path, FileHandle* handle,
                      std::string* err) override {
    // O_NOFOLLOW: a link is never read. O_NONBLOCK: opening a FIFO that
    // took a report's name does not hang.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      int error = errno;
      *err = failure("open", path, error);
      return error == ELOOP || error == ENXIO ? OpenStatus::NotAFile
                                              : OpenStatus::Failed;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
      *err = failure("fstat", path, errno);
      close(fd);
      return OpenStatus::Failed;
    }
    if (!S_ISREG(st.st_mode)) {
      *err = std::string(path) + ": not a regular file";
      close(fd);
      return OpenStatus::NotAFile;
    }
    *handle = fd;
    open_.Add(fd, path);
    return OpenStatus::Opened;
  }

  bool Read(FileHandle handle, char* buf, size_t size, size_t* got,
            std::string* err) override {
    for (;;) {
      ssize_t n = read(static_cast<int>(handle), buf, size);
      if (n >= 0) {
        *got = static_cast<size_t>(n);
        return true;
      }
      if (errno != EINTR) {
        *err = failure("read", open_.PathOf(handle), errno);
        return false;
      }
    }
  }

  void CloseRead(FileHandle handle) override {
    open_.Remove(handle);
    close(static_cast<int>(handle));
  }

  bool Kind(const char* path, NodeKind* kind, std::string* err) override {
    struct stat st;
    if (lstat(path, &st) != 0) {
      if (errno == ENOENT) {
        *kind = NodeKind::Missing;
        return true;
      }
      *err = failure("lstat", path, errno);
      return false;
    }
    *kind = S_ISREG(st.st_mode)   ? NodeKind::File
            : S_ISDIR(st.st_mode) ? NodeKind::Directory
                                  : NodeKind::Other;
    return true;
  }

  MakeDirStatus MakeDir(const char* path, std::string* err) override {
    if (mkdir(path, 0777) == 0)
      return MakeDirStatus::Made;
    int error = errno;
    *err = failure("mkdir", path, error);
    return error == EEXIST ? MakeDirStatus::Exists : MakeDirStatus::Failed;
  }

  bool Write(FileHandle handle, const char* data, size_t size,
             std::string* err) override {
    while (size > 0) {
      ssize_t n = write(static_cast<int>(handle), data, size);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        *err = failure("write", open_.PathOf(handle), errno);
        return false;
      }
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  bool CloseWrite(FileHandle handle, bool sync, std::string* err) override {
    int fd = static_cast<int>(handle);
    std::string path = open_.Remove(handle);
    bool ok = true;
    if (sync && fsync(fd) != 0) {
      *err = failure("fsync", path.c_str(), errno);
      ok = false;
    }
    // Linux closes the descriptor even when close() reports EINTR.
    if (close(fd) != 0 && errno != EINTR && ok) {
      *err = failure("close", path.c_str(), errno);
      ok = false;
    }
    return ok;
  }

  bool Rename(const char* from, const char* to, std::string* err) override {
    if (rename(from, to) == 0) {
      host::forgetTemp(from);
      return true;
    }
    *err = failure("rename", from, errno);
    return false;
  }

  bool Remove(const char* path, std::string* err) override {
    if (unlink(path) == 0) {
      host::forgetTemp(path);
      return true;
    }
    *err = failure("unlink", path, errno);
    return false;
  }

 private:
  // Whether a listed entry is a regular file, not following a link.
  static bool isRegular(DIR* dir, const dirent* entry) {
    if (entry->d_type != DT_UNKNOWN)
      return entry->d_type == DT_REG;
    struct stat st;
    return fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode);
  }
};

}  // namespace

namespace host {

CreateStatus createNewFile(const char* path, FileHandle* handle,
                           std::string* err) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                0666);
  if (fd >= 0) {
    *handle = fd;
    return CreateStatus::Created;
  }
  int error = errno;
  *err = failure("open", path, error);
  return error == EEXIST ? CreateStatus::Exists : CreateStatus::Failed;
}

}  // namespace host

DiskInterface& systemDisk() {
  static PosixDisk disk;
  return disk;
}
