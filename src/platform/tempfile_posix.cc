// Named temporary files on POSIX systems: registered so that a signal that
// ends the program removes them, and, when a killed run left one, removed
// by the next run that opens its directory.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform.h"

namespace {

using host::failure;

// Holds the fatal signals back while a named temporary file and its entry
// below change together.
class FatalSignalsBlocked {
 public:
  FatalSignalsBlocked() { host::holdFatalSignals(); }
  ~FatalSignalsBlocked() { host::releaseFatalSignals(); }
  FatalSignalsBlocked(const FatalSignalsBlocked&) = delete;
  FatalSignalsBlocked& operator=(const FatalSignalsBlocked&) = delete;
};

// The named temporary file that exists, if any, for the clean-up: set only
// once the file is there, cleared as soon as it is renamed or removed, in
// both cases with the fatal signals held back.
int gTempDir = -1;
char gTempName[64];
std::atomic<bool> gTempActive{false};

void removeRegisteredTemp() {
  if (gTempActive.load(std::memory_order_acquire))
    unlinkat(gTempDir, gTempName, 0);
}

void registerTemp(host::Copy* copy, const std::string& name) {
  static bool installed = false;
  if (!installed) {
    installed = true;
    host::atFatalSignal(removeRegisteredTemp);
  }
  gTempDir = static_cast<int>(copy->dir);
  std::snprintf(gTempName, sizeof gTempName, "%s", name.c_str());
  gTempActive.store(true, std::memory_order_release);
  copy->tempName = name;
}

void forgetTemp(host::Copy* copy) {
  gTempActive.store(false, std::memory_order_release);
  copy->tempName.clear();
}

std::string ownTempName(unsigned long long number) {
  return host::tempName(static_cast<unsigned long>(getpid()), number);
}

// Whether the process `pid` runs, or may run (it is not ours to judge).
bool processMayRun(unsigned long pid) {
  return pid == 0 || pid > static_cast<unsigned long>(INT_MAX) ||
         kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

}  // namespace

namespace host {

bool createNamedTemp(Copy* copy, std::string* err) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = ownTempName(counter++);
    FatalSignalsBlocked blocked;
    int fd = openat(static_cast<int>(copy->dir), name.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600);
    if (fd >= 0) {
      registerTemp(copy, name);
      copy->file = fd;
      return true;
    }
    if (errno != EEXIST)
      break;
  }
  *err = failure("open", copy->path.c_str(), errno);
  return false;
}

bool nameAnonymousCopy(Copy* copy, std::string* err) {
  int fd = static_cast<int>(copy->file);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *err = failure("fstat", copy->path.c_str(), errno);
    return false;
  }
  std::string name = ownTempName(static_cast<unsigned long long>(st.st_ino));
  FatalSignalsBlocked blocked;
  if (!linkAnonymous(fd, static_cast<int>(copy->dir), name.c_str())) {
    *err = failure("linkat", copy->path.c_str(), errno);
    return false;
  }
  registerTemp(copy, name);
  return true;
}

MoveStatus renameNamedTemp(Copy* copy, const char* name, std::string* err) {
  int dir = static_cast<int>(copy->dir);
  FatalSignalsBlocked blocked;
  if (renameat(dir, copy->tempName.c_str(), dir, name) == 0) {
    forgetTemp(copy);
    return MoveStatus::Moved;
  }
  *err = failure("rename", copy->path.c_str(), errno);
  return MoveStatus::Failed;
}

void removeNamedTemp(Copy* copy) {
  if (copy->tempName.empty())
    return;
  FatalSignalsBlocked blocked;
  unlinkat(static_cast<int>(copy->dir), copy->tempName.c_str(), 0);
  forgetTemp(copy);
}

void removeLeftovers(DirHandle handle, const char*) {
  int dir = static_cast<int>(handle);
  int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
  if (!listing) {
    if (fd >= 0)
      close(fd);
    return;
  }
  const unsigned long self = static_cast<unsigned long>(getpid());
  while (const dirent* entry = readdir(listing)) {
    unsigned long pid;
    unsigned long long inode;
    struct stat st;
    if (!parseTempName(entry->d_name, &pid, &inode) || pid == self ||
        processMayRun(pid))
      continue;
    if (fstatat(dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_ino == inode)
      unlinkat(dir, entry->d_name, 0);
  }
  closedir(listing);
}

}  // namespace host
