// The removal of a copied report's original on POSIX systems. Looked at and
// then removed by name, another file that took the name between the two
// would go. So the original is renamed aside to a name of the run's own,
// ".<name>.korendezo-<pid>-<inode>"; what that name holds now cannot
// change hands, and is removed once it proves to be the report with the
// bytes that were copied, or else is given its name back. A signal that
// ends the run gives it back too; a run killed otherwise leaves it, and
// the next run gives it back as it lists the folder. It is never removed.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/posix.h"

using host::failure;
using posix::FatalSignalsBlocked;

namespace {

constexpr char kAsideMark[] = ".korendezo-";

// The original renamed aside now, if any, for the clean-up a fatal signal
// runs: filled and emptied with the fatal signals held back.
struct AsideSlot {
  char name[NAME_MAX + 1];
  char aside[NAME_MAX + 1];
  std::atomic<bool> used;
};
AsideSlot gAside;

void putBackAtSignal() {
  if (gAside.used.load(std::memory_order_acquire))
    posix::renameFree(AT_FDCWD, gAside.aside, AT_FDCWD, gAside.name);
}

// Gives the original renamed aside its name back; where that fails, it
// keeps the aside name, which the next run gives back.
bool putBack(const char* aside, const char* name, std::string* err) {
  FatalSignalsBlocked blocked;
  const bool back = posix::renameFree(AT_FDCWD, aside, AT_FDCWD, name) == 0;
  if (!back && err)
    *err += "; " + failure("rename", aside, errno);
  gAside.used.store(false, std::memory_order_release);
  return back;
}

void noteAside(const char* name, const std::string& aside) {
  static bool installed = false;
  if (!installed) {
    installed = true;
    posix::atFatalSignal(putBackAtSignal);
  }
  std::snprintf(gAside.name, sizeof gAside.name, "%s", name);
  std::snprintf(gAside.aside, sizeof gAside.aside, "%s", aside.c_str());
  gAside.used.store(true, std::memory_order_release);
}

std::string asideName(const char* name, uint64_t inode) {
  static const std::string pid =
      std::to_string(static_cast<unsigned long>(getpid()));
  return std::string(".") + name + kAsideMark + pid + "-" +
         std::to_string(static_cast<unsigned long long>(inode));
}

// Whether `text` is one or more decimal digits.
bool allDigits(const char* text, const char* end) {
  if (text == end)
    return false;
  for (; text != end; ++text) {
    if (*text < '0' || *text > '9')
      return false;
  }
  return true;
}

}  // namespace

namespace posix {

bool parseAsideName(const char* entry, std::string* name,
                    unsigned long* pid) {
  // The last mark: a report's own name may hold one.
  const char* mark = nullptr;
  for (const char* p = std::strstr(entry, kAsideMark); p;
       p = std::strstr(p + 1, kAsideMark))
    mark = p;
  if (entry[0] != '.' || !mark || mark == entry + 1)
    return false;
  const char* number = mark + sizeof kAsideMark - 1;
  const char* dash = std::strchr(number, '-');
  if (!dash || !allDigits(number, dash) ||
      !allDigits(dash + 1, dash + std::strlen(dash)))
    return false;
  name->assign(entry + 1, mark);
  *pid = std::strtoul(number, nullptr, 10);
  return name->find('/') == std::string::npos;
}

bool PosixDisk::Unchanged(const FileInfo& source, const FileInfo& now) const {
  if (source.StillAsRead(now))
    return true;
  // The run changed another name of this file: its change time tells
  // nothing (FUSE may even show it late), and the bytes are compared.
  auto own = ownChanges_.find(source.inode);
  if (own == ownChanges_.end() || !own->second.SameFile(source))
    return false;
  FileInfo before = now;
  before.changeTime[0] = source.changeTime[0];
  before.changeTime[1] = source.changeTime[1];
  return source.StillAsRead(before);
}

RemoveStatus PosixDisk::Remove(const char* name, const FileInfo& source,
                               const BytesCheck* sameBytes,
                               std::string* err) {
  // Size and times first: a report changed since it was read stays.
  FileInfo now;
  switch (lookAtSource(name, source, &now, err)) {
    case Source::AsOpened:
      break;
    case Source::Gone:
      return RemoveStatus::Gone;
    case Source::Other:
      return RemoveStatus::Stays;
  }
  if (!Unchanged(source, now)) {
    *err = std::string(name) + ": changed since it was read";
    return RemoveStatus::Stays;
  }
  // A name too long to be renamed aside is checked and removed where it
  // is: a file that takes it in between would go (README).
  const std::string aside = asideName(name, source.inode);
  if (aside.size() > NAME_MAX)
    return RemoveChecked(name, name, source, sameBytes, err);
  {
    FatalSignalsBlocked blocked;
    if (renameFree(AT_FDCWD, name, AT_FDCWD, aside.c_str()) != 0) {
      const int error = errno;
      if (error == ENOENT)
        return RemoveStatus::Gone;
      *err = failure("rename", name, error);
      return error == EBUSY || error == ETXTBSY ? RemoveStatus::Held
                                                : RemoveStatus::Stays;
    }
    noteAside(name, aside);
  }
  RemoveStatus status;
  try {
    status = RemoveChecked(aside.c_str(), name, source, sameBytes, err);
  } catch (...) {
    putBack(aside.c_str(), name, nullptr);  // memory ran out
    throw;
  }
  // Back under its name, it has the change time of the two renames, which
  // a later try sees as the run's own.
  struct stat st;
  if (status != RemoveStatus::Removed && putBack(aside.c_str(), name, err) &&
      fstatat(AT_FDCWD, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      static_cast<uint64_t>(st.st_ino) == source.inode)
    describe(st, &ownChanges_[source.inode]);
  return status;
}

RemoveStatus PosixDisk::RemoveChecked(const char* current, const char* name,
                                      const FileInfo& source,
                                      const BytesCheck* sameBytes,
                                      std::string* err) {
  int fd = openForReading(current);
  if (fd < 0 && tooManyOpen(errno)) {
    ahead_.Drop();
    fd = openForReading(current);
  }
  if (fd < 0) {
    *err = failure("open", name, errno);
    return RemoveStatus::Stays;
  }
  struct Closed {
    host::OpenFiles& files;
    int fd;
    ~Closed() {
      files.Remove(fd);
      close(fd);
    }
  } closed{files_, fd};
  struct stat st;
  FileInfo now;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      (describe(st, &now), !now.SameFile(source))) {
    *err = std::string(name) + ": not the file that was read";
    return RemoveStatus::Stays;
  }
  if (sameBytes) {
    files_.Add(fd, name);
    std::string why;
    if (!(*sameBytes)(fd, &why)) {
      *err = why.empty() ? std::string(name) + ": changed since it was read"
                         : why;
      return RemoveStatus::Stays;
    }
  }
  {
    FatalSignalsBlocked blocked;
    if (unlink(current) != 0) {
      const int error = errno;
      *err = failure("unlink", name, error);
      return error == EBUSY || error == ETXTBSY ? RemoveStatus::Held
                                                : RemoveStatus::Stays;
    }
    gAside.used.store(false, std::memory_order_release);
  }
  // Its other names, if it has any, see the change time this gave it.
  if (st.st_nlink > 1)
    describe(st, &ownChanges_[source.inode]);
  return RemoveStatus::Removed;
}

void PosixDisk::PutBackAsides(const std::vector<std::string>& asides,
                              NameList* names) {
  for (const std::string& aside : asides) {
    std::string name;
    unsigned long pid;
    if (!parseAsideName(aside.c_str(), &name, &pid) ||
        (locked_ ? pid == static_cast<unsigned long>(getpid())
                 : processMayRun(pid)))
      continue;
    struct stat st;
    if (fstatat(AT_FDCWD, aside.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) &&
        renameFree(AT_FDCWD, aside.c_str(), AT_FDCWD, name.c_str()) == 0 &&
        matchesReportName(name.c_str()))
      names->Add(name.c_str());
  }
}

}  // namespace posix
