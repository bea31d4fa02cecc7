// The floors: the file-system work that moving the benchmark folder needs,
// and nothing else. Run in the folder:
//
//   floor [--safe] LIST
//
// LIST is the generator's side list, so there is no recognition. For every
// .htm entry of the listing, one after another:
//
// The bare floor (no option): open, read whole, close; for a report then
// either rename it into its directory (CR LF ends) or write the CR LF copy
// to a temporary file there, fsync, close, rename it into place and remove
// the source (LF ends). Each directory the run needs is made once, when
// its first report comes: one mkdir per directory, which fails with EEXIST
// for a directory that was there before (the weekly run's). Any sorter has
// to learn that much about each directory once.
//
// The safe floor (--safe): the same moves with the precautions a careful
// sorter takes, each at its least cost. A report is opened without
// following a link (nor touching its access time) and read with one call:
// fstat gives the size, and a read asking for one byte more that returns
// the size proves the end. Each directory is opened once, without
// following a link (made first when the listing did not show it), and
// held; just before a report goes into it, its name and the report's are
// looked at (fstatat, no link followed) to prove that they still hold the
// very directory opened and the very file read (a directory opened for
// this very CR LF report was looked at by its open). A CR LF
// report is then renamed through the held directory. An LF report's copy
// is an anonymous file in the directory (O_TMPFILE): written with CR LF
// ends, flushed, linked in through /proc/self/fd, then the directory is
// flushed (and the folder, once a directory the run made gets its first
// copy); the original's name is looked at again and removed.
//
// No output.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace {

constexpr size_t kMaxFile = 1 << 20;
char in[kMaxFile + 1];  // one byte more, to see the end
char out[2 * kMaxFile];

[[noreturn]] void die(const char* op, const char* path) {
  std::fprintf(stderr, "floor: %s(%s): %s\n", op, path, std::strerror(errno));
  std::exit(1);
}

[[noreturn]] void refuse(const char* path, const char* why) {
  std::fprintf(stderr, "floor: %s: %s\n", path, why);
  std::exit(1);
}

size_t readWhole(const char* name) {
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    die("open", name);
  size_t length = 0;
  for (;;) {
    ssize_t n = read(fd, in + length, kMaxFile - length);
    if (n < 0)
      die("read", name);
    if (n == 0)
      break;
    length += static_cast<size_t>(n);
  }
  close(fd);
  return length;
}

size_t toCrLf(size_t length) {
  char* o = out;
  const char* p = in;
  const char* end = in + length;
  while (p != end) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
    const char* stop = lf ? lf : end;
    std::memcpy(o, p, stop - p);
    o += stop - p;
    p = stop;
    if (lf) {
      *o++ = '\r';
      *o++ = '\n';
      ++p;
    }
  }
  return static_cast<size_t>(o - out);
}

void writeAll(int fd, size_t length, const char* path) {
  for (size_t done = 0; done < length;) {
    ssize_t n = write(fd, out + done, length - done);
    if (n < 0)
      die("write", path);
    done += static_cast<size_t>(n);
  }
}

void writeCopy(const char* dir, const char* dest, size_t length) {
  char temp[1024];
  std::snprintf(temp, sizeof temp, "%s/.floor.tmp", dir);
  int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0)
    die("open", temp);
  writeAll(fd, length, temp);
  if (fsync(fd) != 0)
    die("fsync", temp);
  if (close(fd) != 0)
    die("close", temp);
  if (rename(temp, dest) != 0)
    die("rename", temp);
}

// The bare floor's move of one listed entry.
void moveBare(const char* name, char mode, const std::string& dir,
              std::unordered_set<std::string>* made) {
  size_t length = readWhole(name);
  if (mode == '-')
    return;
  if (made->insert(dir).second && mkdir(dir.c_str(), 0777) != 0 &&
      errno != EEXIST)
    die("mkdir", dir.c_str());
  char dest[2048];
  std::snprintf(dest, sizeof dest, "%s/%s", dir.c_str(), name);
  if (mode == 'r') {
    if (rename(name, dest) != 0)
      die("rename", name);
  } else {
    writeCopy(dir.c_str(), dest, toCrLf(length));
    if (unlink(name) != 0)
      die("unlink", name);
  }
}

// --- The safe floor ---

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A directory of the run, held open from its first report on.
struct Dir {
  int fd;
  struct stat st;
  bool made;           // by this run: the folder is flushed for it
  bool folderFlushed;  // since it was made
};

// Opens `name` without following a link, making it when nothing has the
// name, and keeps what it is. One the listing did not show (`listed`) is
// made first: a new directory costs no failed open.
Dir openDir(const char* name, bool listed) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  Dir dir{-1, {}, false, false};
  if (listed)
    dir.fd = open(name, flags);
  else
    errno = ENOENT;
  if (dir.fd < 0 && errno == ENOENT) {
    dir.made = mkdir(name, 0777) == 0;
    if (!dir.made && errno != EEXIST)
      die("mkdir", name);
    dir.fd = open(name, flags);
  }
  if (dir.fd < 0)
    die("open", name);
  if (fstat(dir.fd, &dir.st) != 0)
    die("fstat", name);
  return dir;
}

// Opens the report without following a link and reads it with one call:
// a read asked for one byte past fstat's size that returns the size has
// seen the end.
size_t readOnce(const char* name, struct stat* st) {
  // Reading leaves the access time, as korendezo's reads do: no inode to
  // write back for a report a day old. Only the owner may ask for that.
  int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NOATIME | O_CLOEXEC);
  if (fd < 0 && errno == EPERM)
    fd = open(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0)
    die("open", name);
  if (fstat(fd, st) != 0)
    die("fstat", name);
  if (!S_ISREG(st->st_mode))
    refuse(name, "not a regular file");
  size_t size = static_cast<size_t>(st->st_size);
  if (size > kMaxFile)
    refuse(name, "too big");
  ssize_t n = read(fd, in, size + 1);
  if (n < 0)
    die("read", name);
  if (static_cast<size_t>(n) != size)
    refuse(name, "changed while it was read");
  close(fd);
  return size;
}

// Proves that the directory's name still holds the directory held open.
void lookAtDir(const char* name, const Dir& dir) {
  struct stat now;
  if (fstatat(AT_FDCWD, name, &now, AT_SYMLINK_NOFOLLOW) != 0)
    die("fstatat", name);
  if (!S_ISDIR(now.st_mode) || !sameFile(now, dir.st))
    refuse(name, "not the directory that was opened");
}

// Proves that the report's name still holds the very file that was read,
// and (`unchanged`) that nothing wrote to it since.
void lookAtReport(const char* name, const struct stat& read, bool unchanged) {
  struct stat now;
  if (fstatat(AT_FDCWD, name, &now, AT_SYMLINK_NOFOLLOW) != 0)
    die("fstatat", name);
  if (!S_ISREG(now.st_mode) || !sameFile(now, read))
    refuse(name, "not the file that was read");
  if (unchanged && (now.st_size != read.st_size ||
                    now.st_mtim.tv_sec != read.st_mtim.tv_sec ||
                    now.st_mtim.tv_nsec != read.st_mtim.tv_nsec ||
                    now.st_ctim.tv_sec != read.st_ctim.tv_sec ||
                    now.st_ctim.tv_nsec != read.st_ctim.tv_nsec))
    refuse(name, "changed since it was read");
}

// Writes the CR LF copy of `in` as `name` in `dir`: an anonymous file,
// flushed before it gets the name, then the directory flushed, and the
// folder once after the directory was made.
void writeCopySafely(const char* name, const std::string& dirName, Dir* dir,
                     int folder, size_t length) {
  int fd = openat(dir->fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0)
    die("open", name);
  writeAll(fd, length, name);
  if (fsync(fd) != 0)
    die("fsync", name);
  char proc[64];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  lookAtDir(dirName.c_str(), *dir);
  if (linkat(AT_FDCWD, proc, dir->fd, name, AT_SYMLINK_FOLLOW) != 0) {
    // An older copy has the name: a name of its own, renamed over it.
    if (errno != EEXIST ||
        linkat(AT_FDCWD, proc, dir->fd, ".floor.tmp", AT_SYMLINK_FOLLOW) != 0 ||
        renameat(dir->fd, ".floor.tmp", dir->fd, name) != 0)
      die("linkat", name);
  }
  if (close(fd) != 0)
    die("close", name);
  if (fsync(dir->fd) != 0)
    die("fsync", name);
  if (dir->made && !dir->folderFlushed) {
    if (fsync(folder) != 0)
      die("fsync", ".");
    dir->folderFlushed = true;
  }
}

// The safe floor's move of one listed entry.
void moveSafely(const char* name, char mode, const std::string& dirName,
                const std::unordered_set<std::string>& listed,
                std::unordered_map<std::string, Dir>* dirs, int folder) {
  struct stat st;
  size_t length = readOnce(name, &st);
  if (mode == '-')
    return;
  auto found = dirs->find(dirName);
  const bool opened = found == dirs->end();
  if (opened)
    found = dirs->emplace(dirName, openDir(dirName.c_str(),
                                           listed.count(dirName) != 0))
                .first;
  Dir& dir = found->second;
  if (mode == 'r') {
    // A directory opened for this report needs no look: the open, not
    // following a link, was one a moment ago.
    if (!opened)
      lookAtDir(dirName.c_str(), dir);
    lookAtReport(name, st, false);
    if (renameat(AT_FDCWD, name, dir.fd, name) != 0)
      die("rename", name);
  } else {
    writeCopySafely(name, dirName, &dir, folder, toCrLf(length));
    lookAtReport(name, st, true);
    if (unlink(name) != 0)
      die("unlink", name);
  }
}

// Lets the safe floor hold a directory open for each pair, however low the
// soft limit of open files.
void raiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 &&
      limit.rlim_cur != limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool safe = argc == 3 && std::strcmp(argv[1], "--safe") == 0;
  if (argc != 2 && !safe) {
    std::fprintf(stderr, "usage: floor [--safe] LIST\n");
    return 2;
  }
  const char* listPath = argv[argc - 1];
  // name -> (mode, directory)
  std::unordered_map<std::string, std::pair<char, std::string>> plan;
  FILE* list = std::fopen(listPath, "r");
  if (!list)
    die("fopen", listPath);
  char line[1024];
  while (std::fgets(line, sizeof line, list)) {
    char* tab1 = std::strchr(line, '\t');
    if (!tab1 || tab1[1] == '\0' || tab1[2] != '\t')
      continue;
    char* dir = tab1 + 3;
    dir[std::strcspn(dir, "\n")] = '\0';
    plan[std::string(line, tab1)] = {tab1[1], dir};
  }
  std::fclose(list);
  if (safe)
    raiseDescriptorLimit();

  DIR* d = opendir(".");
  if (!d)
    die("opendir", ".");
  std::string names;  // NUL-separated: renaming while listing is unsafe
  while (const dirent* e = readdir(d))
    names.append(e->d_name, std::strlen(e->d_name) + 1);
  // The safe floor keeps the listing's descriptor to flush the folder.
  if (!safe)
    closedir(d);

  std::unordered_set<std::string> made;  // the bare floor's directories
  std::unordered_map<std::string, Dir> dirs;  // the safe floor's, held
  std::unordered_set<std::string> listed;     // every name the listing has
  if (safe) {
    for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1)
      listed.insert(&names[at]);
  }
  for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
    const char* name = &names[at];
    auto it = plan.find(name);
    if (it == plan.end())
      continue;
    if (safe)
      moveSafely(name, it->second.first, it->second.second, listed, &dirs,
                 dirfd(d));
    else
      moveBare(name, it->second.first, it->second.second, &made);
  }
  if (safe)
    closedir(d);
  return 0;
}
