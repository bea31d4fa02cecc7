// The key wait on POSIX systems: one key press on the controlling terminal,
// with the terminal's settings restored afterwards.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform.h"

namespace host {

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

}  // namespace host

namespace {

// Longest wait for the next byte of a key. Terminals send a key's bytes
// together, so a lone ESC is the Esc key once this passes.
constexpr int kNextByteMs = 50;
// Bound on the bytes of one key; the longest real ones are about a dozen.
constexpr size_t kMaxKeyBytes = 32;

// The terminal in the wait and its settings from before, for the clean-up
// when a signal ends the program; -1 outside the wait.
volatile sig_atomic_t gWaitTerminal = -1;
struct termios gSavedSettings;

void restoreTerminal() {
  if (gWaitTerminal >= 0)
    tcsetattr(gWaitTerminal, TCSANOW, &gSavedSettings);
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
      if (host::completesKey(key, ++size))
        return;
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      return;  // hung up
    }
  }
}

// Reads one key from `fd` in raw mode, then puts `saved` back.
void readOneKeyRaw(int fd, const struct termios& saved) {
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
}

}  // namespace

namespace host {

// Waits on the controlling terminal, not standard input, so that
// redirected input does not end the wait.
void waitForKey() {
  int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return;
  struct termios saved;
  if (tcgetattr(fd, &saved) == 0) {
    gSavedSettings = saved;
    std::atomic_signal_fence(std::memory_order_release);
    gWaitTerminal = fd;
    atFatalSignal(restoreTerminal);
    readOneKeyRaw(fd, saved);
    gWaitTerminal = -1;
  }
  close(fd);
}

}  // namespace host
