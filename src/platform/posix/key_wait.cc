// The key wait on POSIX systems: one key press on the controlling terminal,
// with the terminal's settings restored afterwards.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/host.h"
#include "platform/key_event.h"
#include "platform/posix/posix.h"

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
      if (completesKey(key, ++size))
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
// redirected input does not end the wait; and only where standard output
// is that terminal, where the user reads the run: `korendezo | less`,
// `korendezo > log` and a run with no terminal end at once. (tcgetsid
// answers only for the caller's controlling terminal.)
void waitForKey() {
  if (tcgetsid(STDOUT_FILENO) != getsid(0))
    return;
  int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return;
  struct termios saved;
  if (tcgetattr(fd, &saved) == 0) {
    gSavedSettings = saved;
    std::atomic_signal_fence(std::memory_order_release);
    gWaitTerminal = fd;
    posix::atFatalSignal(restoreTerminal);
    readOneKeyRaw(fd, saved);
    gWaitTerminal = -1;
  }
  close(fd);
}

}  // namespace host
