// The floor: the file-system work that moving the benchmark folder needs
// whatever program does it, and nothing else. Run in the folder:
//
//   floor LIST
//
// LIST is the generator's side list, so there is no recognition. For every
// .htm entry of the listing: open, read whole, close; for a report then
// either rename it into its directory (CR LF ends) or write the CR LF copy
// to a temporary file there, fsync, close, rename it into place and remove
// the source (LF ends). No output.
//
// Each directory the run needs is made once, when its first report comes:
// one mkdir per directory, which fails with EEXIST for a directory that
// was there before (the weekly run's). Any sorter has to learn that much
// about each directory once; more is its own cost.
#include <dirent.h>
#include <fcntl.h>
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
char in[kMaxFile];
char out[2 * kMaxFile];

[[noreturn]] void die(const char* op, const char* path) {
  std::fprintf(stderr, "floor: %s(%s): %s\n", op, path, std::strerror(errno));
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

void writeCopy(const char* dir, const char* dest, size_t length) {
  char temp[1024];
  std::snprintf(temp, sizeof temp, "%s/.floor.tmp", dir);
  int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0)
    die("open", temp);
  for (size_t done = 0; done < length;) {
    ssize_t n = write(fd, out + done, length - done);
    if (n < 0)
      die("write", temp);
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0)
    die("fsync", temp);
  if (close(fd) != 0)
    die("close", temp);
  if (rename(temp, dest) != 0)
    die("rename", temp);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: floor LIST\n");
    return 2;
  }
  // name -> (mode, directory)
  std::unordered_map<std::string, std::pair<char, std::string>> plan;
  FILE* list = std::fopen(argv[1], "r");
  if (!list)
    die("fopen", argv[1]);
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

  DIR* d = opendir(".");
  if (!d)
    die("opendir", ".");
  std::string names;  // NUL-separated: renaming while listing is unsafe
  while (const dirent* e = readdir(d))
    names.append(e->d_name, std::strlen(e->d_name) + 1);
  closedir(d);

  std::unordered_set<std::string> made;  // directories made or found
  char dest[2048];
  for (size_t at = 0; at < names.size(); at += std::strlen(&names[at]) + 1) {
    const char* name = &names[at];
    auto it = plan.find(name);
    if (it == plan.end())
      continue;
    size_t length = readWhole(name);
    char mode = it->second.first;
    if (mode == '-')
      continue;
    const char* dir = it->second.second.c_str();
    if (made.insert(it->second.second).second && mkdir(dir, 0777) != 0 &&
        errno != EEXIST)
      die("mkdir", dir);
    std::snprintf(dest, sizeof dest, "%s/%s", dir, name);
    if (mode == 'r') {
      if (rename(name, dest) != 0)
        die("rename", name);
    } else {
      writeCopy(dir, dest, toCrLf(length));
      if (unlink(name) != 0)
        die("unlink", name);
    }
  }
  return 0;
}
