// The platform layer on POSIX systems (Linux, macOS).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "keywait_posix.h"
#include "platform.h"

namespace {

std::string failure(const char* op, const char* path, int error) {
  std::string message = op;
  message += '(';
  message += path;
  message += "): ";
  message += std::strerror(error);
  return message;
}

bool endsWithNoCase(const char* name, size_t length, const char* suffix) {
  size_t n = std::strlen(suffix);
  if (length <= n)
    return false;
  return strncasecmp(name + length - n, suffix, n) == 0;
}

// The host's rule for the search pattern "*.htm": names ending in ".htm"
// or ".html", letter case ignored (Windows yields both through its short
// names). A name that is only the extension is a hidden file, not a report.
bool matchesReportName(const char* name) {
  size_t length = std::strlen(name);
  return endsWithNoCase(name, length, ".htm") ||
         endsWithNoCase(name, length, ".html");
}

// The temporary file being written, if any, so that a signal that ends the
// program removes it rather than leaving a partial copy behind.
char gTempPath[4096];
volatile sig_atomic_t gTempActive = 0;

void removeTempAndDie(int sig) {
  if (gTempActive)
    unlink(gTempPath);
  signal(sig, SIG_DFL);
  raise(sig);
}

class PosixDisk : public DiskInterface {
 public:
  PosixDisk() {
    // Past a file size limit, let write() fail with EFBIG instead of the
    // process being killed with a half-written temporary file.
    signal(SIGXFSZ, SIG_IGN);
    const int fatal[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int sig : fatal) {
      struct sigaction action, previous;
      std::memset(&action, 0, sizeof action);
      action.sa_handler = removeTempAndDie;
      sigemptyset(&action.sa_mask);
      for (int other : fatal)
        sigaddset(&action.sa_mask, other);
      // A signal ignored by whoever started us (nohup) stays ignored.
      if (sigaction(sig, nullptr, &previous) == 0 &&
          previous.sa_handler == SIG_DFL)
        sigaction(sig, &action, nullptr);
    }
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
      if (!matchesReportName(entry->d_name))
        continue;
      bool regular = entry->d_type == DT_REG;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat st;
        regular = fstatat(dirfd(dir), entry->d_name, &st,
                          AT_SYMLINK_NOFOLLOW) == 0 &&
                  S_ISREG(st.st_mode);
      }
      if (regular)
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

  bool OpenRead(const char* path, FileHandle* handle, bool* notFile,
                std::string* err) override {
    *notFile = false;
    // O_NOFOLLOW: a link is never read. O_NONBLOCK: opening a FIFO that
    // took a report's name does not hang.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      *notFile = errno == ELOOP || errno == ENXIO;
      *err = failure("open", path, errno);
      return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
      *err = failure("fstat", path, errno);
      close(fd);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      *notFile = true;
      *err = std::string(path) + ": not a regular file";
      close(fd);
      return false;
    }
    *handle = fd;
    paths_[fd] = path;
    return true;
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
        *err = failure("read", paths_[static_cast<int>(handle)].c_str(), errno);
        return false;
      }
    }
  }

  void CloseRead(FileHandle handle) override {
    paths_.erase(static_cast<int>(handle));
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

  bool MakeDir(const char* path, bool* exists, std::string* err) override {
    *exists = false;
    if (mkdir(path, 0777) == 0)
      return true;
    *exists = errno == EEXIST;
    *err = failure("mkdir", path, errno);
    return false;
  }

  bool CreateTemp(const char* dir, std::string* tempPath, FileHandle* handle,
                  std::string* err) override {
    for (int attempt = 0; attempt < 100; ++attempt) {
      char name[64];
      std::snprintf(name, sizeof name, "/.korendezo-%ld-%u.tmp",
                    static_cast<long>(getpid()), tempCounter_++);
      *tempPath = dir;
      *tempPath += name;
      if (tempPath->size() >= sizeof gTempPath) {
        *err = failure("open", tempPath->c_str(), ENAMETOOLONG);
        return false;
      }
      // Registered before the file exists, so no moment is left uncovered.
      std::memcpy(gTempPath, tempPath->c_str(), tempPath->size() + 1);
      std::atomic_signal_fence(std::memory_order_release);
      gTempActive = 1;
      int fd = open(tempPath->c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd < 0)
        gTempActive = 0;
      if (fd >= 0) {
        *handle = fd;
        paths_[fd] = *tempPath;
        return true;
      }
      if (errno != EEXIST) {
        *err = failure("open", tempPath->c_str(), errno);
        return false;
      }
    }
    *err = failure("open", tempPath->c_str(), EEXIST);
    return false;
  }

  bool Write(FileHandle handle, const char* data, size_t size,
             std::string* err) override {
    while (size > 0) {
      ssize_t n = write(static_cast<int>(handle), data, size);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        *err = failure("write", paths_[static_cast<int>(handle)].c_str(), errno);
        return false;
      }
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  bool CloseWrite(FileHandle handle, bool sync, std::string* err) override {
    int fd = static_cast<int>(handle);
    std::string path = std::move(paths_[fd]);
    paths_.erase(fd);
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
      ForgetTemp(from);
      return true;
    }
    *err = failure("rename", from, errno);
    return false;
  }

  bool Remove(const char* path, std::string* err) override {
    if (unlink(path) == 0) {
      ForgetTemp(path);
      return true;
    }
    *err = failure("unlink", path, errno);
    return false;
  }

 private:
  static void ForgetTemp(const char* path) {
    if (gTempActive && std::strcmp(path, gTempPath) == 0)
      gTempActive = 0;
  }

  unsigned tempCounter_ = 0;
  // Names of the open files, for error messages.
  std::unordered_map<int, std::string> paths_;
};

}  // namespace

bool completesKey(const unsigned char* bytes, size_t size) {
  const unsigned char kEsc = 0x1B;
  if (bytes[0] == kEsc) {
    if (size == 1)
      return false;
    if (bytes[1] != '[' && bytes[1] != 'O')
      return completesKey(bytes + 1, size - 1);  // Alt: ESC, then the key
    if (size == 2)
      return false;
    // The linux console's F1-F5: ESC [ [ and one letter.
    if (bytes[1] == '[' && bytes[2] == '[')
      return size >= 4;
    // Parameter and intermediate bytes (0x20-0x3F) come before the final
    // byte; anything else ends the sequence, well-formed or not.
    unsigned char last = bytes[size - 1];
    return last < 0x20 || last > 0x3F;
  }
  unsigned char lead = bytes[0];
  size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 1;
  if (size == 1)
    return length == 1;
  // A byte that cannot continue the character ends it early.
  return size >= length || (bytes[size - 1] & 0xC0) != 0x80;
}

namespace {

// Longest wait for the next byte of a key. Terminals send a key's bytes
// together, so a lone ESC is the Esc key once this passes.
constexpr int kNextByteMs = 50;
// Bound on the bytes of one key; the longest real ones are about a dozen.
constexpr size_t kMaxKeyBytes = 32;

// The terminal and its settings from before the wait, for the signal
// handler. Set before the handler is installed.
int gWaitTerminal = -1;
struct termios gSavedSettings;

// Signals that end the program during the wait. Each gets its default
// action back once the terminal is restored.
constexpr int kFatalSignals[] = {SIGTERM, SIGHUP, SIGQUIT, SIGINT};
constexpr size_t kFatalSignalCount =
    sizeof kFatalSignals / sizeof kFatalSignals[0];

void restoreTerminalAndReraise(int sig) {
  // Async-signal-safe calls only. SA_RESETHAND has set the default action.
  tcsetattr(gWaitTerminal, TCSANOW, &gSavedSettings);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, sig);
  raise(sig);
  sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
}

// Waits up to `timeoutMs` (-1: no limit) for input on `fd`. False on
// timeout, hang-up or error.
bool waitForInput(int fd, int timeoutMs) {
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int ready = poll(&p, 1, timeoutMs);
    if (ready > 0)
      return (p.revents & POLLIN) != 0;
    if (ready == 0 || errno != EINTR)
      return false;
  }
}

// Reads one key press from `fd` (non-blocking, in non-canonical mode),
// byte by byte so that keys typed after it stay unread.
void readOneKey(int fd) {
  unsigned char key[kMaxKeyBytes];
  size_t size = 0;
  while (size < kMaxKeyBytes) {
    if (!waitForInput(fd, size == 0 ? -1 : kNextByteMs))
      return;
    ssize_t n = read(fd, key + size, 1);
    if (n == 1) {
      if (completesKey(key, ++size))
        return;
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      return;  // hung up
    }
  }
}

// Waits for one key on the controlling terminal, not standard input, so
// that redirected input does not end it; returns at once without one.
void waitForKeyOnTerminal() {
  int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return;
  struct termios saved;
  if (tcgetattr(fd, &saved) != 0) {
    close(fd);
    return;
  }
  gWaitTerminal = fd;
  gSavedSettings = saved;
  struct sigaction previous[kFatalSignalCount];
  bool installed[kFatalSignalCount] = {};
  for (size_t i = 0; i < kFatalSignalCount; ++i) {
    if (sigaction(kFatalSignals[i], nullptr, &previous[i]) != 0 ||
        previous[i].sa_handler == SIG_IGN)
      continue;  // an ignored signal (nohup) stays ignored
    struct sigaction action = {};
    action.sa_handler = restoreTerminalAndReraise;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int other : kFatalSignals)
      sigaddset(&action.sa_mask, other);
    installed[i] = sigaction(kFatalSignals[i], &action, nullptr) == 0;
  }

  // Every key counts: no echo, no line editing, no signal or flow control
  // keys, and no byte of a key stripped or dropped.
  struct termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ISTRIP | IGNCR | BRKINT);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // TCSANOW, not TCSAFLUSH: a key typed during the run ends the wait.
  if (tcsetattr(fd, TCSANOW, &raw) == 0) {
    readOneKey(fd);
    while (tcsetattr(fd, TCSANOW, &saved) != 0 && errno == EINTR) {
    }
  }

  for (size_t i = 0; i < kFatalSignalCount; ++i) {
    if (installed[i])
      sigaction(kFatalSignals[i], &previous[i], nullptr);
  }
  close(fd);
}

class PosixConsole : public Console {
 public:
  PosixConsole() {
    // On a terminal each piece shows at once; redirected, output goes in
    // blocks. The buffer is static: stdio flushes it after objects with
    // static storage are destroyed.
    static char buffer[512];
    std::setvbuf(stdout, buffer, isatty(STDOUT_FILENO) ? _IONBF : _IOFBF,
                 sizeof buffer);
  }
  void Write(const char* text, size_t size) override {
    std::fwrite(text, 1, size, stdout);
  }
  void WriteError(const char* text, size_t size) override {
    std::fwrite(text, 1, size, stderr);
    std::fflush(stderr);
  }
  void WaitForKey() override {
    std::fflush(stdout);
    waitForKeyOnTerminal();
  }
};

// ISO-8859-2 bytes 0xA0 to 0xFF as Unicode code points.
const unsigned short kLatin2High[96] = {
    0x00A0, 0x0104, 0x02D8, 0x0141, 0x00A4, 0x013D, 0x015A, 0x00A7,
    0x00A8, 0x0160, 0x015E, 0x0164, 0x0179, 0x00AD, 0x017D, 0x017B,
    0x00B0, 0x0105, 0x02DB, 0x0142, 0x00B4, 0x013E, 0x015B, 0x02C7,
    0x00B8, 0x0161, 0x015F, 0x0165, 0x017A, 0x02DD, 0x017E, 0x017C,
    0x0154, 0x00C1, 0x00C2, 0x0102, 0x00C4, 0x0139, 0x0106, 0x00C7,
    0x010C, 0x00C9, 0x0118, 0x00CB, 0x011A, 0x00CD, 0x00CE, 0x010E,
    0x0110, 0x0143, 0x0147, 0x00D3, 0x00D4, 0x0150, 0x00D6, 0x00D7,
    0x0158, 0x016E, 0x00DA, 0x0170, 0x00DC, 0x00DD, 0x0162, 0x00DF,
    0x0155, 0x00E1, 0x00E2, 0x0103, 0x00E4, 0x013A, 0x0107, 0x00E7,
    0x010D, 0x00E9, 0x0119, 0x00EB, 0x011B, 0x00ED, 0x00EE, 0x010F,
    0x0111, 0x0144, 0x0148, 0x00F3, 0x00F4, 0x0151, 0x00F6, 0x00F7,
    0x0159, 0x016F, 0x00FA, 0x0171, 0x00FC, 0x00FD, 0x0163, 0x02D9,
};

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at s (of `left` bytes), or 0.
size_t utf8SequenceLength(const unsigned char* s, size_t left) {
  unsigned char c = s[0];
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (left < n || s[1] < lo || s[1] > hi)
    return 0;
  for (size_t i = 2; i < n; ++i) {
    if (!isContinuation(s[i]))
      return 0;
  }
  return n;
}

}  // namespace

DiskInterface& systemDisk() {
  static PosixDisk disk;
  return disk;
}

Console& systemConsole() {
  static PosixConsole console;
  return console;
}

bool hostRefusesDirName(const char* raw) {
  // ISO-8859-2 0x80-0x9F are the C1 control characters.
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(raw);
       *p; ++p) {
    if (*p >= 0x80 && *p <= 0x9F)
      return true;
  }
  return false;
}

void appendReportName(std::string* out, const char* raw) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(raw);
       *p; ++p) {
    unsigned cp = *p < 0xA0 ? *p : kLatin2High[*p - 0xA0];
    if (cp < 0x80) {
      *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out += static_cast<char>(0xC0 | (cp >> 6));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out += static_cast<char>(0xE0 | (cp >> 12));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
}

size_t appendForConsole(std::string* out, const char* name, size_t size) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(name);
  size_t chars = 0;
  for (size_t i = 0; i < size; ++chars) {
    unsigned char c = s[i];
    if (c < 0x80) {
      *out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
      ++i;
      continue;
    }
    size_t n = utf8SequenceLength(s + i, size - i);
    // C1 controls (U+0080-U+009F) are C2 80 to C2 9F.
    if (n == 0 || (c == 0xC2 && s[i + 1] <= 0x9F)) {
      *out += '?';
      i += n ? n : 1;
      continue;
    }
    out->append(name + i, n);
    i += n;
  }
  return chars;
}

bool hostReadsCommandLine() { return true; }
