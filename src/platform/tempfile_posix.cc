// Copies on POSIX systems, and the clean-up when a signal ends the program.
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
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

using host::failure;

constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

constexpr int kMaxCleanups = 2;
void (*gCleanups[kMaxCleanups])();
std::atomic<int> gCleanupCount{0};
static_assert(std::atomic<int>::is_always_lock_free,
              "the handler reads the count");

void cleanUpAndDie(int sig) {
  // Async-signal-safe calls only.
  int count = gCleanupCount.load(std::memory_order_acquire);
  for (int i = 0; i < count; ++i)
    gCleanups[i]();
  // SA_RESETHAND has restored the default action. The signal is blocked
  // while this handler runs; raised again, it ends the program as the
  // handler returns.
  raise(sig);
}

void fatalSignalSet(sigset_t* set) {
  sigemptyset(set);
  for (int sig : kFatalSignals)
    sigaddset(set, sig);
}

void installHandler() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = cleanUpAndDie;
  action.sa_flags = SA_RESETHAND;
  fatalSignalSet(&action.sa_mask);
  for (int sig : kFatalSignals) {
    struct sigaction previous;
    // A signal ignored by whoever started us (nohup) stays ignored.
    if (sigaction(sig, nullptr, &previous) == 0 &&
        previous.sa_handler != SIG_IGN)
      sigaction(sig, &action, nullptr);
  }
}

// Holds the fatal signals back while a named temporary file and its entry
// below change together.
class FatalSignalsBlocked {
 public:
  FatalSignalsBlocked() {
    sigset_t set;
    fatalSignalSet(&set);
    sigprocmask(SIG_BLOCK, &set, &saved_);
  }
  ~FatalSignalsBlocked() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  FatalSignalsBlocked(const FatalSignalsBlocked&) = delete;
  FatalSignalsBlocked& operator=(const FatalSignalsBlocked&) = delete;

 private:
  sigset_t saved_;
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

void installTempCleanup() {
  static bool installed = false;
  if (!installed) {
    installed = true;
    host::atFatalSignal(removeRegisteredTemp);
  }
}

// Call with the fatal signals blocked.
void registerTemp(int dir, const std::string& name) {
  gTempDir = dir;
  std::snprintf(gTempName, sizeof gTempName, "%s", name.c_str());
  gTempActive.store(true, std::memory_order_release);
}

void forgetTemp() { gTempActive.store(false, std::memory_order_release); }

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

// A named temporary file for the copy, registered for the clean-up.
bool createNamed(host::Copy* copy, std::string* err) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name =
        host::tempName(static_cast<unsigned long>(getpid()), counter++);
    FatalSignalsBlocked blocked;
    int fd = openat(static_cast<int>(copy->dir), name.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600);
    if (fd >= 0) {
      registerTemp(static_cast<int>(copy->dir), name);
      copy->file = fd;
      copy->tempName = name;
      return true;
    }
    if (errno != EEXIST)
      break;
  }
  *err = failure("open", copy->path.c_str(), errno);
  return false;
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

// Whether `name` in `dir` may take a new file: Moved when nothing or a
// regular file has the name, Taken when something else does.
MoveStatus occupant(int dir, const char* name, const std::string& path,
                          std::string* err) {
  struct stat st;
  if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT)
      return MoveStatus::Moved;
    *err = failure("fstatat", path.c_str(), errno);
    return MoveStatus::Failed;
  }
  if (!S_ISREG(st.st_mode)) {
    *err = path + ": not a regular file";
    return MoveStatus::Taken;
  }
  return MoveStatus::Moved;
}

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

// Renames the named temporary over `name`, replacing a file there.
MoveStatus renameTemp(host::Copy* copy, const char* name,
                            std::string* err) {
  int dir = static_cast<int>(copy->dir);
  MoveStatus status = occupant(dir, name, copy->path, err);
  if (status == MoveStatus::Taken)
    return status;
  FatalSignalsBlocked blocked;
  if (renameat(dir, copy->tempName.c_str(), dir, name) == 0) {
    forgetTemp();
    copy->tempName.clear();
    return MoveStatus::Moved;
  }
  *err = failure("rename", copy->path.c_str(), errno);
  return MoveStatus::Failed;
}

// Links the anonymous copy in place as `name`. An existing file is
// replaced through a name of the copy's own, which tells a later run
// whose it is.
MoveStatus linkInPlace(host::Copy* copy, const char* name,
                             std::string* err) {
  int fd = static_cast<int>(copy->file);
  int dir = static_cast<int>(copy->dir);
  if (linkAnonymous(fd, dir, name))
    return MoveStatus::Moved;
  if (errno != EEXIST) {
    *err = failure("linkat", copy->path.c_str(), errno);
    return MoveStatus::Failed;
  }
  MoveStatus status = occupant(dir, name, copy->path, err);
  if (status != MoveStatus::Moved)
    return status;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *err = failure("fstat", copy->path.c_str(), errno);
    return MoveStatus::Failed;
  }
  std::string temp = host::tempName(static_cast<unsigned long>(getpid()), static_cast<unsigned long long>(st.st_ino));
  {
    FatalSignalsBlocked blocked;
    if (!linkAnonymous(fd, dir, temp.c_str())) {
      *err = failure("linkat", copy->path.c_str(), errno);
      return MoveStatus::Failed;
    }
    registerTemp(dir, temp);
    copy->tempName = temp;
  }
  return renameTemp(copy, name, err);
}

}  // namespace

namespace host {

void atFatalSignal(void (*cleanup)()) {
  int count = gCleanupCount.load(std::memory_order_acquire);
  if (count == kMaxCleanups)
    return;
  gCleanups[count] = cleanup;
  gCleanupCount.store(count + 1, std::memory_order_release);
  if (count == 0)
    installHandler();
}

bool createCopy(Copy* copy, std::string* err) {
  installTempCleanup();
  int fd = openAnonymous(static_cast<int>(copy->dir));
  if (fd >= 0) {
    copy->file = fd;
    return true;
  }
  if (!anonymousUnsupported(errno)) {
    *err = failure("open", copy->path.c_str(), errno);
    return false;
  }
  return createNamed(copy, err);
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
                                             : renameTemp(copy, name, err);
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
  if (!copy->tempName.empty()) {
    FatalSignalsBlocked blocked;
    unlinkat(static_cast<int>(copy->dir), copy->tempName.c_str(), 0);
    forgetTemp();
    copy->tempName.clear();
  }
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
    // A process that runs, or may run, with that pid could be writing it.
    if (!host::parseTempName(entry->d_name, &pid, &inode) || pid == self ||
        pid == 0 || pid > static_cast<unsigned long>(INT_MAX) ||
        kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
      continue;
    if (fstatat(dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_ino == inode)
      unlinkat(dir, entry->d_name, 0);
  }
  closedir(listing);
}

}  // namespace host
