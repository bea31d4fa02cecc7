#include "e2e_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

const char kDirectory[] = "<directory>";
const char kFifo[] = "<fifo>";

namespace {

void check(bool ok, const std::string& what) {
  if (!ok)
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

#ifndef O_NOATIME
#define O_NOATIME 0
#endif

// Opens `path` for reading without changing its access time where the
// process may.
int openUntouched(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_RDONLY | O_CLOEXEC | O_NOATIME);
  if (fd < 0 && errno == EPERM)
    fd = open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
  check(fd >= 0, "open " + path);
  return fd;
}

std::string readUntouched(const std::string& path) {
  int fd = openUntouched(path, 0);
  std::string bytes;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    bytes.append(buf, static_cast<size_t>(n));
  close(fd);
  check(n == 0, "read " + path);
  return bytes;
}

bool readsKeepAccessTimes();

// " [mode inode size, access, modification and change times]" of what
// lstat says; "-" for the access time where reading changes it.
std::string stampOf(const struct stat& st) {
#ifdef __APPLE__
  const timespec times[] = {st.st_atimespec, st.st_mtimespec, st.st_ctimespec};
#else
  const timespec times[] = {st.st_atim, st.st_mtim, st.st_ctim};
#endif
  std::string stamp = " [" + std::to_string(st.st_mode) + " " +
                      std::to_string(st.st_ino) + " " +
                      std::to_string(st.st_size);
  for (const timespec& t : times) {
    char time[48];
    std::snprintf(time, sizeof time, " %lld.%09ld",
                  static_cast<long long>(t.tv_sec), t.tv_nsec);
    stamp += &t == &times[0] && !readsKeepAccessTimes() ? " -" : time;
  }
  return stamp + "]";
}

// Each entry is looked at before it is read, and read without changing
// its access time, so that a tree with stamps shows the times as they
// were.
void walk(const std::string& root, const std::string& rel, bool stamps,
          std::map<std::string, std::string>* tree) {
  std::string dirPath = rel.empty() ? root : root + "/" + rel;
  DIR* dir = fdopendir(openUntouched(dirPath, O_DIRECTORY));
  check(dir != nullptr, "opendir " + dirPath);
  while (const dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..")
      continue;
    std::string relPath = rel.empty() ? name : rel + "/" + name;
    std::string full = root + "/" + relPath;
    struct stat st;
    check(lstat(full.c_str(), &st) == 0, "lstat " + full);
    const std::string stamp = stamps ? stampOf(st) : "";
    if (S_ISDIR(st.st_mode)) {
      (*tree)[relPath + "/"] = kDirectory + stamp;
      walk(root, relPath, stamps, tree);
    } else if (S_ISLNK(st.st_mode) && stamps) {
      // Reading a link changes its access time: its size stands for it.
      (*tree)[relPath] = "-> ?" + stamp;
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(full.c_str(), target, sizeof target);
      check(n >= 0, "readlink " + full);
      (*tree)[relPath] =
          "-> " + std::string(target, static_cast<size_t>(n)) + stamp;
    } else if (S_ISFIFO(st.st_mode)) {
      (*tree)[relPath] = kFifo + stamp;
    } else {
      (*tree)[relPath] = readUntouched(full) + stamp;
    }
  }
  closedir(dir);
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void removeTree(const std::string& path) {
  nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// Reads both pipes to their end, showing `watchErr` what standard error
// holds as it grows. Past `timeoutSeconds` (0: no limit), kills the
// process group `group` and says so.
bool drain(int outFd, int errFd, std::string* out, std::string* err,
           pid_t group, int timeoutSeconds,
           const std::function<void(const std::string&)>& watchErr) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {out, err};
  int open = (outFd >= 0) + (errFd >= 0);
  const time_t deadline = time(nullptr) + timeoutSeconds;
  bool timedOut = false;
  while (open > 0) {
    int wait = -1;
    if (timeoutSeconds > 0 && !timedOut) {
      time_t left = deadline - time(nullptr);
      wait = left > 0 ? static_cast<int>(left) * 1000 : 0;
    }
    int ready = poll(fds, 2, wait);
    if (ready == 0) {
      timedOut = true;
      kill(-group, SIGKILL);
      continue;
    }
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
        if (i == 1 && watchErr)
          watchErr(*err);
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return timedOut;
}

#ifdef __linux__
// Follows the traced child from its exec to the entry of system call `nr`,
// runs `atStop` and sends it `sig` there, and lets it go. False if the call
// never came.
bool stopAtSyscall(pid_t pid, long nr, int sig,
                   const std::function<void()>& atStop) {
  int status;
  if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
    return false;  // the exec stop
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD);
  int pending = 0;
  for (;;) {
    if (ptrace(PTRACE_SYSCALL, pid, nullptr, pending) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status))
      return false;
    pending = 0;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      pending = WSTOPSIG(status);  // a real signal: deliver it
      continue;
    }
    struct __ptrace_syscall_info info;
    if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0)
      return false;
    if (info.op == PTRACE_SYSCALL_INFO_ENTRY &&
        static_cast<long>(info.entry.nr) == nr) {
      if (atStop)
        atStop();
      if (sig != 0)
        kill(pid, sig);
      ptrace(PTRACE_DETACH, pid, nullptr, 0);
      return true;
    }
  }
}

// Makes every system call `nr` of this process, and of what it executes,
// fail with `error`.
bool failEveryCall(long nr, int error) {
  struct sock_filter code[] = {
      {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(struct seccomp_data, nr)},
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, static_cast<__u32>(nr)},
      {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ERRNO | static_cast<__u32>(error)},
      {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW}};
  struct sock_fprog program = {4, code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}
#endif

// The loader's words, if any, then the program and its arguments.
std::vector<char*> commandLine(const RunOptions& options) {
  std::vector<char*> argv;
  for (const std::string& arg : options.command)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(const_cast<char*>(KORENDEZO_BINARY));
  for (const std::string& arg : options.arguments)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

int exitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

RunResult runOnTerminal(const std::string& dir, const RunOptions& options) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  check(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0,
        "posix_openpt");
  struct winsize size = {};
  size.ws_row = 50;
  size.ws_col = 120;  // no line of a run wraps
  check(ioctl(master, TIOCSWINSZ, &size) == 0, "TIOCSWINSZ");
  const std::string terminal = ptsname(master);
  std::vector<char*> argv = commandLine(options);
  pid_t pid = fork();
  check(pid >= 0, "fork");
  if (pid == 0) {
    int fd = -1;
    if (setsid() < 0 || (fd = open(terminal.c_str(), O_RDWR)) < 0 ||
        ioctl(fd, TIOCSCTTY, 0) != 0 || chdir(dir.c_str()) != 0 ||
        dup2(fd, 0) < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0)
      _exit(126);
    if (fd > 2)
      close(fd);
    execv(argv[0], argv.data());
    _exit(127);
  }
  RunResult result;
  int status = 0;
  bool exited = false;
  for (;;) {
    pollfd p = {master, POLLIN, 0};
    int ready = poll(&p, 1, 500);
    if (ready < 0 && errno != EINTR)
      break;
    if (ready == 0) {
      // Silent: done, or waiting for a key. A process the program leaves
      // behind may hold the terminal open after it ends.
      exited = waitpid(pid, &status, WNOHANG) == pid;
      if (exited || write(master, "x", 1) != 1)
        break;
    } else if (ready > 0) {
      char buf[4096];
      ssize_t n = read(master, buf, sizeof buf);
      if (n > 0)
        result.out.append(buf, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR)
        break;  // EIO: no process has the terminal open any more
    }
  }
  while (!exited && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  close(master);
  result.status = exitStatus(status);
  return result;
}

// Whether the scratch folders' file system keeps the access times of a
// file and a directory that a tree with stamps reads: FUSE file systems
// (exFAT, NTFS) may set them whatever the reader asks.
bool readsKeepAccessTimes() {
  static const bool keep = [] {
    Folder probe;
    const std::string file = probe.path() + "/probe";
    writeFile(file, "x");
    const struct timespec old[2] = {{978307200, 0}, {978307200, 0}};
    struct stat before[2], after[2];
    const std::string paths[2] = {file, probe.path()};
    for (int i = 0; i < 2; ++i) {
      if (utimensat(AT_FDCWD, paths[i].c_str(), old, 0) != 0 ||
          lstat(paths[i].c_str(), &before[i]) != 0)
        return false;
    }
    std::map<std::string, std::string> tree;
    walk(probe.path(), "", false, &tree);
    bool kept = true;
    for (int i = 0; i < 2; ++i) {
      kept = kept && lstat(paths[i].c_str(), &after[i]) == 0 &&
             before[i].st_atim.tv_sec == after[i].st_atim.tv_sec &&
             before[i].st_atim.tv_nsec == after[i].st_atim.tv_nsec;
    }
    if (!kept)
      std::printf("access times not compared: reading changes them here\n");
    return kept;
  }();
  return keep;
}

}  // namespace

std::map<std::string, std::string> treeOf(const std::string& root) {
  std::map<std::string, std::string> tree;
  walk(root, "", false, &tree);
  return tree;
}

std::map<std::string, std::string> stampedTreeOf(const std::string& root) {
  struct stat st;
  check(lstat(root.c_str(), &st) == 0, "lstat " + root);
  std::map<std::string, std::string> tree = {{"./", kDirectory + stampOf(st)}};
  walk(root, "", true, &tree);
  return tree;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  check(static_cast<bool>(file), "write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  check(static_cast<bool>(file), "open " + path);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

std::string stracePath() {
  for (const char* path : {"/usr/bin/strace", "/bin/strace"}) {
    if (access(path, X_OK) == 0)
      return path;
  }
  return "";
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string scratchBase() {
  const char* base = std::getenv("KORENDEZO_TEST_TMP");
  return base && *base ? base : "/tmp";
}

Folder::Folder() {
  std::string pattern = scratchBase() + "/korendezo-e2e-XXXXXX";
  check(mkdtemp(&pattern[0]) != nullptr, "mkdtemp in " + scratchBase());
  path_ = pattern;
}

Folder::~Folder() {
#ifdef __linux__
  if (mounted_)
    umount2(path_.c_str(), MNT_DETACH);
#endif
  removeTree(path_);
  for (const std::string& sibling : siblings_)
    removeTree(sibling);
}

std::string Folder::Sibling(const std::string& suffix) {
  siblings_.push_back(path_ + suffix);
  return siblings_.back();
}

namespace {

// `name` with bytes outside printable ASCII as \xNN.
std::string shown(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += c >= 0x20 && c < 0x7f ? std::string(1, static_cast<char>(c)) : hex;
  }
  return out;
}

// "" when `made`, else `what` and the system's reason.
std::string refusal(bool made, const std::string& what) {
  return made ? "" : what + " (" + std::strerror(errno) + ")";
}

const char kProbe[] = ".probe";

}  // namespace

std::string Folder::RefusesName(const std::string& name) const {
  const std::string path = path_ + "/" + name;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd >= 0) {
    close(fd);
    unlink(path.c_str());
  }
  return refusal(fd >= 0, "a file named \"" + shown(name) + "\"");
}

std::string Folder::RefusesSymlink() const {
  const std::string path = path_ + "/" + kProbe;
  const bool made = symlink("target", path.c_str()) == 0;
  std::string why = refusal(made, "a symbolic link");
  unlink(path.c_str());
  return why;
}

std::string Folder::RefusesFifo() const {
  const std::string path = path_ + "/" + kProbe;
  const bool made = mkfifo(path.c_str(), 0666) == 0;
  std::string why = refusal(made, "a FIFO");
  unlink(path.c_str());
  return why;
}

std::string Folder::RefusesHardLink() const {
  const std::string path = path_ + "/" + kProbe;
  writeFile(path, "");
  const bool made = link(path.c_str(), (path + "2").c_str()) == 0;
  std::string why = refusal(made, "a hard link");
  unlink((path + "2").c_str());
  unlink(path.c_str());
  return why;
}

bool Folder::HasAnonymousFiles() const {
#ifdef O_TMPFILE
  int fd = open(path_.c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (fd >= 0)
    close(fd);
  return fd >= 0;
#else
  return false;
#endif
}

void Folder::Write(const std::string& name, const std::string& bytes) {
  writeFile(path_ + "/" + name, bytes);
}

std::string Folder::Read(const std::string& name) const {
  return readFile(path_ + "/" + name);
}

void Folder::MakeDir(const std::string& name) {
  check(mkdir((path_ + "/" + name).c_str(), 0777) == 0, "mkdir " + name);
}

void Folder::Symlink(const std::string& target, const std::string& name) {
  check(symlink(target.c_str(), (path_ + "/" + name).c_str()) == 0,
        "symlink " + name);
}

void Folder::MakeFifo(const std::string& name) {
  check(mkfifo((path_ + "/" + name).c_str(), 0666) == 0, "mkfifo " + name);
}

void Folder::FillDisk(const std::string& name) {
  int fd = open((path_ + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  check(fd >= 0, "open " + name);
  static const char block[4096] = {};
  while (write(fd, block, sizeof block) > 0) {
  }
  while (write(fd, block, 1) > 0) {
  }
  close(fd);
}

RunResult runProgram(const std::string& dir, const RunOptions& options) {
  if (options.onTerminal)
    return runOnTerminal(dir, options);
  int out[2], err[2], in[2] = {-1, -1};
  check(pipe(out) == 0 && pipe(err) == 0, "pipe");
  if (options.openInput)
    check(pipe(in) == 0, "pipe");
  if (options.outputClosed) {
    close(out[0]);
    out[0] = -1;
  }
  std::vector<char*> argv = commandLine(options);
  pid_t pid = fork();
  check(pid >= 0, "fork");
  if (pid == 0) {
    setsid();  // no controlling terminal: the program does not wait
    int input = options.openInput ? in[0] : open("/dev/null", O_RDONLY);
    int output = options.outputFile.empty()
                     ? out[1]
                     : open(options.outputFile.c_str(), O_WRONLY);
    if (chdir(dir.c_str()) != 0 || input < 0 || output < 0 ||
        dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(err[1], 2) < 0)
      _exit(126);
    if (output != out[1])
      close(output);
    // Only 0, 1 and 2 stay open: a process the program leaves behind (a
    // wine server, say) must not keep the pipes from closing.
    close(input);
    if (out[0] >= 0)
      close(out[0]);
    close(err[0]);
    close(out[1]);
    close(err[1]);
    if (options.openInput)
      close(in[1]);
    // Nor what the test runner left open, which counts against a limit.
    closefrom(3);
    if (options.openFilesLimit != RLIM_INFINITY) {
      struct rlimit limit = {options.openFilesLimit, options.openFilesLimit};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (options.fileSizeLimit != RLIM_INFINITY) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
#ifdef __linux__
    if (options.stopAtSyscall >= 0 && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
      _exit(125);
    if (options.coldPageCache && !failEveryCall(SYS_preadv2, EAGAIN))
      _exit(125);
#endif
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (options.openInput)
    close(in[0]);
  RunResult result;
#ifdef __linux__
  if (options.stopAtSyscall >= 0)
    result.stopped = stopAtSyscall(pid, options.stopAtSyscall, options.signal,
                                   options.atStop);
#endif
  result.timedOut = drain(out[0], err[0], &result.out, &result.err, pid,
                          options.timeoutSeconds, options.watchErr);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (options.openInput)
    close(in[1]);
  result.status = exitStatus(status);
  return result;
}
