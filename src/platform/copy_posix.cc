// Copies on POSIX systems.
//
// On Linux a copy is an anonymous file in its directory (O_TMPFILE) until
// it is linked in place, so a run killed at any moment leaves nothing.
// Replacing an older copy needs a name for a moment: the copy is linked
// as .korendezo-<pid>-<inode>.tmp and renamed over it. A run killed in
// between leaves that name, and the next run that opens the directory
// removes it once process <pid> has ended and the name still belongs to
// inode <inode>. Where anonymous files are not to be had, the copy is
// written under such a name from the start (with a counter in place of
// the inode, which no later run removes).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform.h"

namespace {

using host::failure;

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

// Takes over the source's owner where the process may, then its
// permission bits (a change of owner may clear set-id bits) and times.
bool copyMetadata(const host::Copy& copy, const FileInfo& source,
                  std::string* err) {
  int fd = static_cast<int>(copy.file);
  if (fchown(fd, source.owner, source.group) != 0 && errno != EPERM &&
      errno != EINVAL && errno != EOPNOTSUPP) {
    *err = failure("fchown", copy.path.c_str(), errno);
    return false;
  }
  if (fchmod(fd, static_cast<mode_t>(source.mode & 07777)) != 0 &&
      errno != EPERM && errno != EOPNOTSUPP) {
    *err = failure("fchmod", copy.path.c_str(), errno);
    return false;
  }
  struct timespec times[2] = {
      {static_cast<time_t>(source.accessTime[0]),
       static_cast<long>(source.accessTime[1])},
      {static_cast<time_t>(source.modifyTime[0]),
       static_cast<long>(source.modifyTime[1])}};
  if (futimens(fd, times) != 0 && errno != EPERM) {
    *err = failure("futimens", copy.path.c_str(), errno);
    return false;
  }
  return true;
}

// Links the anonymous copy in place as `name`. An existing file is
// replaced through a name of the copy's own, which tells a later run
// whose it is.
MoveStatus linkInPlace(host::Copy* copy, const char* name, std::string* err) {
  int dir = static_cast<int>(copy->dir);
  if (host::linkAnonymous(static_cast<int>(copy->file), dir, name))
    return MoveStatus::Moved;
  if (errno != EEXIST) {
    *err = failure("linkat", copy->path.c_str(), errno);
    return MoveStatus::Failed;
  }
  FileInfo existing;
  MoveStatus status = host::occupantAt(copy->dir, name, copy->path.c_str(), &existing, err);
  if (status != MoveStatus::Moved)
    return status;
  if (!host::nameAnonymousCopy(copy, err))
    return MoveStatus::Failed;
  return host::renameNamedTemp(copy, name, err);
}

// Puts a copy that has a name of its own in place as `name`.
MoveStatus renameInPlace(host::Copy* copy, const char* name,
                         std::string* err) {
  FileInfo existing;
  MoveStatus status = host::occupantAt(copy->dir, name, copy->path.c_str(), &existing, err);
  if (status != MoveStatus::Moved)
    return status;
  return host::renameNamedTemp(copy, name, err);
}

}  // namespace

namespace host {

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

bool createCopy(Copy* copy, std::string* err) {
  int fd = openAnonymous(static_cast<int>(copy->dir));
  if (fd >= 0) {
    copy->file = fd;
    return true;
  }
  if (!anonymousUnsupported(errno)) {
    *err = failure("open", copy->path.c_str(), errno);
    return false;
  }
  return createNamedTemp(copy, err);
}

bool writeCopy(const Copy& copy, const char* data, size_t size,
               std::string* err) {
  while (size > 0) {
    ssize_t n = write(static_cast<int>(copy.file), data, size);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      *err = failure("write", copy.path.c_str(), errno);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

MoveStatus commitCopy(Copy* copy, const FileInfo& source, const char* name,
                      std::string* err) {
  int fd = static_cast<int>(copy->file);
  if (!copyMetadata(*copy, source, err)) {
    discardCopy(copy);
    return MoveStatus::Failed;
  }
  if (fsync(fd) != 0) {
    *err = failure("fsync", copy->path.c_str(), errno);
    discardCopy(copy);
    return MoveStatus::Failed;
  }
  MoveStatus status = copy->tempName.empty() ? linkInPlace(copy, name, err)
                                             : renameInPlace(copy, name, err);
  if (status != MoveStatus::Moved) {
    discardCopy(copy);
    return status;
  }
  copy->file = -1;
  // Linux closes the descriptor even when close() reports EINTR. The copy,
  // flushed and in place, stays: the report stays too, and its line says
  // what went wrong.
  if (close(fd) != 0 && errno != EINTR) {
    *err = failure("close", copy->path.c_str(), errno);
    return MoveStatus::Failed;
  }
  return MoveStatus::Moved;
}

void discardCopy(Copy* copy) {
  if (copy->file >= 0)
    close(static_cast<int>(copy->file));
  copy->file = -1;
  removeNamedTemp(copy);
}

}  // namespace host
