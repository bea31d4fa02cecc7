// Reports opened ahead of their turn, so that the disk reads them while
// earlier ones are handled (Linux).
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/posix.h"

namespace posix {

namespace {

#ifdef O_NOATIME
constexpr int kNoAccessTime = O_NOATIME;
#else
constexpr int kNoAccessTime = 0;
#endif

// A report opened ahead of its turn is read from the disk meanwhile, once
// a read has found a report that the page cache did not hold. Advice given
// for a file held already costs a system call each, in which a warm run
// would spend some 5 % of its time.
#if defined(POSIX_FADV_WILLNEED) && defined(RWF_NOWAIT)
constexpr bool kReadsAhead = true;
void adviseWillNeed(int fd) { posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED); }
// Reads only what the page cache holds: EAGAIN when that is nothing.
ssize_t readCached(int fd, char* buf, size_t size) {
  struct iovec piece = {buf, size};
  return preadv2(fd, &piece, 1, -1, RWF_NOWAIT);
}
#else
constexpr bool kReadsAhead = false;
void adviseWillNeed(int) {}
ssize_t readCached(int fd, char* buf, size_t size) {
  return read(fd, buf, size);
}
#endif

}  // namespace

// O_NOFOLLOW: a link is never read. O_NONBLOCK: opening a FIFO that took
// a report's name does not hang. O_NOATIME, where the process may use
// it: reading does not change the time that the move keeps.
void closeIfOpen(int fd) {
  if (fd >= 0)
    close(fd);
}

int openForReading(const char* name) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = open(name, flags | kNoAccessTime);
  if (fd < 0 && errno == EPERM && kNoAccessTime != 0)
    fd = open(name, flags);
  return fd;
}

void ReadAhead::Open(const char* name) {
  if (!kReadsAhead)
    return;
  if (count_ == ring_.size())
    closeIfOpen(TakeOldest());
  Ahead& slot = ring_[(first_ + count_++) % ring_.size()];
  slot.name = name;
  slot.fd = -1;
  // While the page cache holds the reports, opening them ahead gains
  // nothing: they are opened in their turn.
  if (advising_)
    OpenAhead(&slot);
}

void ReadAhead::OpenAhead(Ahead* slot) {
  // One that fails is opened again in its turn, which tells what failed.
  slot->fd = openForReading(slot->name.c_str());
  if (slot->fd >= 0)
    adviseWillNeed(slot->fd);
}

void ReadAhead::Drop() {
  while (count_ != 0)
    closeIfOpen(TakeOldest());
}

int ReadAhead::Take(const char* name) {
  for (size_t i = 0; i < count_; ++i) {
    if (ring_[(first_ + i) % ring_.size()].name != name)
      continue;
    while (i-- != 0)
      closeIfOpen(TakeOldest());
    return TakeOldest();
  }
  return -1;
}

bool ReadAhead::Read(int fd, char* buf, size_t size, size_t* got) {
  for (;;) {
    ssize_t n = advising_ ? read(fd, buf, size) : readCached(fd, buf, size);
    if (n >= 0) {
      *got = static_cast<size_t>(n);
      return true;
    }
    if (errno == EINTR)
      continue;
    // Not in the page cache, or the system cannot tell: the reports come
    // from the disk, and those opened ahead are read meanwhile.
    if (advising_ ||
        (errno != EAGAIN && errno != EOPNOTSUPP && errno != ENOSYS))
      return false;
    advising_ = true;
    for (size_t i = 0; i < count_; ++i)
      OpenAhead(&ring_[(first_ + i) % ring_.size()]);
  }
}

int ReadAhead::TakeOldest() {
  int fd = ring_[first_].fd;
  first_ = (first_ + 1) % ring_.size();
  --count_;
  return fd;
}

}  // namespace posix
