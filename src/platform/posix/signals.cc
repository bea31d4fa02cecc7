// The signals that end the program on POSIX systems, and the clean-ups
// that run before they do: the copies' temporary files go, an original
// renamed aside gets its name back, and during the key wait the terminal
// gets its settings back.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstring>

#include "platform/posix/posix.h"

namespace {

constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

constexpr int kMaxCleanups = 3;
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

}  // namespace

namespace posix {

void atFatalSignal(void (*cleanup)()) {
  int count = gCleanupCount.load(std::memory_order_acquire);
  if (count == kMaxCleanups)
    return;
  gCleanups[count] = cleanup;
  gCleanupCount.store(count + 1, std::memory_order_release);
  if (count == 0)
    installHandler();
}

FatalSignalsBlocked::FatalSignalsBlocked() {
  sigset_t set;
  fatalSignalSet(&set);
  pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

FatalSignalsBlocked::~FatalSignalsBlocked() {
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace posix
