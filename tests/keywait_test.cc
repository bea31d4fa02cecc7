// The key wait at the end of a run: the program runs on a pseudo-terminal
// made here, with standard input from /dev/null, in an empty folder.
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "platform/key_event.h"
#include "platform/platform.h"

namespace {

struct Key {
  const char* name;
  std::string bytes;  // what the terminal sends
  bool endsByPause;   // whole only when no byte follows soon (a lone ESC)
};

void PrintTo(const Key& key, std::ostream* os) { *os << key.name; }

const Key kKeys[] = {
    {"Letter", "a", false},
    {"Digit", "7", false},
    {"Enter", "\r", false},
    {"EscAlone", "\x1b", true},
    {"Backspace", "\x7f", false},
    {"Tab", "\t", false},
    {"Space", " ", false},
    {"CtrlC", "\x03", false},
    {"CtrlS", "\x13", false},
    {"CtrlQ", "\x11", false},
    {"F1Xterm", "\x1bOP", false},
    {"F1LinuxConsole", "\x1b[[A", false},
    {"F5", "\x1b[15~", false},
    {"F12", "\x1b[24~", false},
    {"CursorUp", "\x1b[A", false},
    {"CursorUpApplication", "\x1bOA", false},
    {"PageUp", "\x1b[5~", false},
    {"Insert", "\x1b[2~", false},
    {"Delete", "\x1b[3~", false},
    {"KeypadZeroApplication", "\x1bOp", false},
    {"KeypadEnterApplication", "\x1bOM", false},
    {"CtrlCursorUp", "\x1b[1;5A", false},
    {"AltX", "\x1bx", false},
    {"AltCursorUpRxvt", "\x1b\x1b[A", false},
    {"EAcute", "\xc3\xa9", false},
    {"EuroSign", "\xe2\x82\xac", false},
    {"Emoji", "\xf0\x9f\x98\x80", false},
};

const unsigned char* bytesOf(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

TEST(CompletesKey, KeyIsWholeOnlyWithItsLastByte) {
  for (const Key& key : kKeys) {
    for (size_t n = 1; n < key.bytes.size(); ++n)
      EXPECT_FALSE(completesKey(bytesOf(key.bytes), n))
          << key.name << ", first " << n << " bytes";
    EXPECT_EQ(completesKey(bytesOf(key.bytes), key.bytes.size()),
              !key.endsByPause)
        << key.name;
  }
}

// A byte that cannot belong to the key ends it, so that the reader does
// not go on to swallow the next key.
TEST(CompletesKey, BrokenKeyEndsAtTheStrayByte) {
  const std::string broken[] = {
      "\x1b[\x03",   // sequence cut by Ctrl+C
      "\x1b[1\x1b",  // sequence cut by ESC
      "\xc3" "a",    // UTF-8 lead byte, then ASCII
      "\xe2\x82z",
      "\x80",        // continuation byte alone
      "\xff",
  };
  for (const std::string& bytes : broken) {
    for (size_t n = 1; n < bytes.size(); ++n)
      EXPECT_FALSE(completesKey(bytesOf(bytes), n))
          << testing::PrintToString(bytes);
    EXPECT_TRUE(completesKey(bytesOf(bytes), bytes.size()))
        << testing::PrintToString(bytes);
  }
}

// Guards against a hang; no test measures how long anything takes.
constexpr auto kHangGuard = std::chrono::seconds(10);

const char kNoReports[] = "Nincs fordulo a konyvtarban!";
const std::string kHyphenLine = std::string(78, '-') + "\r\n";
const char kSentinel[] = "<end of test>";

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

template <typename Param>
std::string nameOf(const testing::TestParamInfo<Param>& param) {
  return param.param.name;
}

bool sameSettings(const termios& a, const termios& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class KeyWaitTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/korendezo-keywait-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    scratch_ = dir;
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, O_NONBLOCK);
    // Non-blocking: output stopped by a stray Ctrl+S must fail the test,
    // not hang it.
    slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    ASSERT_GE(slave_, 0);
    before_ = Settings();
  }

  void TearDown() override {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {master_, slave_, pipe_})
      if (fd >= 0)
        close(fd);
    if (!scratch_.empty())
      nftw(scratch_.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
  }

  // Starts the program in its own session. On the terminal, that is its
  // controlling terminal and takes standard output and error; detached, it
  // has none and writes to a pipe.
  void Start(bool onTerminal = true, bool piped = false) {  // or to a pipe
    int out = slave_;
    if (!onTerminal || piped) {
      int ends[2];
      ASSERT_EQ(pipe(ends), 0);
      pipe_ = ends[0];
      fcntl(pipe_, F_SETFL, O_NONBLOCK);
      out = ends[1];
    }
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      struct rlimit noCore = {0, 0};
      setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT is sent below
      // A shell ignores SIGINT and SIGQUIT in background jobs, and the
      // program keeps ignoring what it inherits ignored.
      for (int sig : {SIGTERM, SIGHUP, SIGQUIT, SIGINT})
        signal(sig, sig == ignored_ ? SIG_IGN : SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      int null = open("/dev/null", O_RDONLY);
      if (setsid() < 0 || (onTerminal && ioctl(slave_, TIOCSCTTY, 0) != 0) ||
          null < 0 || dup2(null, 0) < 0 || dup2(out, 1) < 0 ||
          dup2(out, 2) < 0 || chdir(scratch_.c_str()) != 0)
        _exit(126);
      execl(KORENDEZO_BINARY, "korendezo", argument_,
            static_cast<char*>(nullptr));
      _exit(127);
    }
    if (out != slave_)
      close(out);
  }

  termios Settings() const {
    termios t;
    std::memset(&t, 0, sizeof t);  // the padding too, for memcmp
    EXPECT_EQ(tcgetattr(slave_, &t), 0);
    return t;
  }

  // Keys pressed on the terminal.
  void Type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()),
              static_cast<ssize_t>(keys.size()));
  }

  // Collects the program's output until `done` or the hang guard.
  template <typename Predicate>
  bool Await(Predicate done) {
    auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      struct pollfd p = {pipe_ >= 0 ? pipe_ : master_, POLLIN, 0};
      if (poll(&p, 1, 5) > 0) {
        char buf[512];
        ssize_t n = read(p.fd, buf, sizeof buf);
        if (n > 0)
          output_.append(buf, static_cast<size_t>(n));
        else
          poll(nullptr, 0, 5);  // end of the pipe: wait for the exit
      }
    }
    return true;
  }

  bool Exited() {
    if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_)
      exited_ = true;
    return exited_;
  }

  // Where the closing banner ends in the output, or npos before then.
  size_t BannerEnd() const {
    size_t at = output_.find(kNoReports);
    for (int line = 0; line < 2 && at != std::string::npos; ++line) {
      at = output_.find(kHyphenLine, at);
      if (at != std::string::npos)
        at += kHyphenLine.size();
    }
    return at;
  }

  // The program has set the terminal up for the wait; what the settings
  // must do is checked by the keys that follow.
  bool Waiting() const { return !sameSettings(Settings(), before_); }

  // Shows the banner and waits for a key.
  void StartAndAwaitTheWait() {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(Await([&] { return BannerEnd() != std::string::npos; }))
        << output_;
    ASSERT_TRUE(Await([&] { return Waiting() || Exited(); }));
    ASSERT_FALSE(Exited()) << "ended without waiting for a key";
  }

  // What reached the screen after the closing banner, once the program
  // has ended. The sentinel follows anything it wrote or echoed.
  std::string ShownAfterBanner() {
    if (write(slave_, kSentinel, sizeof kSentinel - 1) !=
            static_cast<ssize_t>(sizeof kSentinel - 1) ||
        !Await([&] { return output_.find(kSentinel) != std::string::npos; })) {
      ADD_FAILURE() << "terminal output is stopped";
      return output_;
    }
    size_t end = BannerEnd();
    if (end == std::string::npos)
      return output_;
    return output_.substr(end, output_.find(kSentinel) - end);
  }

  // Input left on the terminal for whatever reads it next.
  std::string Unread() {
    termios t = Settings();
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON);  // a partial line too
    EXPECT_EQ(tcsetattr(slave_, TCSANOW, &t), 0);
    std::string left;
    char buf[64];
    ssize_t n;
    while ((n = read(slave_, buf, sizeof buf)) > 0)
      left.append(buf, static_cast<size_t>(n));
    return left;
  }

  void ExpectCleanExit() {
    ASSERT_TRUE(WIFEXITED(status_)) << "status " << status_;
    EXPECT_EQ(WEXITSTATUS(status_), 0);
  }

  std::string scratch_;
  int master_ = -1;
  int slave_ = -1;
  int pipe_ = -1;
  termios before_;
  int ignored_ = 0;  // a signal the program starts with ignored
  const char* argument_ = nullptr;  // the program's one argument, if any
  pid_t pid_ = -1;
  int status_ = 0;
  bool exited_ = false;
  std::string output_;
};

class KeyEndsTheWait : public KeyWaitTest,
                       public testing::WithParamInterface<Key> {};

// The key comes with a next one in the same burst, as from a fast typist;
// that one must stay for the shell.
TEST_P(KeyEndsTheWait, ConsumesOnlyThatKeyAndRestoresTheTerminal) {
  const Key& key = GetParam();
  std::string next = key.endsByPause ? "" : "z";
  ASSERT_NO_FATAL_FAILURE(StartAndAwaitTheWait());
  ASSERT_NO_FATAL_FAILURE(Type(key.bytes + next));
  ASSERT_TRUE(Await([&] { return Exited(); })) << "still waiting";
  ExpectCleanExit();
  EXPECT_EQ(ShownAfterBanner(), "");
  EXPECT_TRUE(sameSettings(Settings(), before_));
  EXPECT_EQ(Unread(), next);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyEndsTheWait, testing::ValuesIn(kKeys),
                         nameOf<Key>);

class TypeaheadEndsTheWait : public KeyWaitTest,
                             public testing::WithParamInterface<Key> {};

// Typed before the program even starts: the wait ends without another key,
// and the key after it stays.
TEST_P(TypeaheadEndsTheWait, AtOnce) {
  ASSERT_NO_FATAL_FAILURE(Type(GetParam().bytes + "b"));
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Await([&] { return Exited(); })) << "still waiting";
  ExpectCleanExit();
  EXPECT_TRUE(sameSettings(Settings(), before_));
  EXPECT_EQ(Unread(), "b");
}

// Keys the terminal's line editing leaves alone before the wait.
INSTANTIATE_TEST_SUITE_P(Keys, TypeaheadEndsTheWait,
                         testing::Values(Key{"Letter", "a", false},
                                         Key{"EAcute", "\xc3\xa9", false},
                                         Key{"CursorUp", "\x1b[A", false},
                                         Key{"F5", "\x1b[15~", false}),
                         nameOf<Key>);

struct Signal {
  const char* name;
  int number;
};

void PrintTo(const Signal& sig, std::ostream* os) { *os << sig.name; }

class SignalDuringTheWait : public KeyWaitTest,
                            public testing::WithParamInterface<Signal> {};

TEST_P(SignalDuringTheWait, RestoresTheTerminalAndEndsByTheSignal) {
  ASSERT_NO_FATAL_FAILURE(StartAndAwaitTheWait());
  ASSERT_EQ(kill(pid_, GetParam().number), 0);
  ASSERT_TRUE(Await([&] { return Exited(); }));
  ASSERT_TRUE(WIFSIGNALED(status_)) << "status " << status_;
  EXPECT_EQ(WTERMSIG(status_), GetParam().number);
  EXPECT_TRUE(sameSettings(Settings(), before_));
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalDuringTheWait,
                         testing::Values(Signal{"SIGTERM", SIGTERM},
                                         Signal{"SIGHUP", SIGHUP},
                                         Signal{"SIGQUIT", SIGQUIT},
                                         Signal{"SIGINT", SIGINT}),
                         nameOf<Signal>);

// As under nohup: a hang-up does not end the wait, a key does.
TEST_F(KeyWaitTest, IgnoredSignalStaysIgnored) {
  ignored_ = SIGHUP;
  ASSERT_NO_FATAL_FAILURE(StartAndAwaitTheWait());
  ASSERT_EQ(kill(pid_, SIGHUP), 0);  // an ignored signal is dropped here
  ASSERT_NO_FATAL_FAILURE(Type("a"));
  ASSERT_TRUE(Await([&] { return Exited(); }));
  ExpectCleanExit();
  EXPECT_TRUE(sameSettings(Settings(), before_));
}

class ArgumentOnTerminal : public KeyWaitTest,
                           public testing::WithParamInterface<const char*> {};

// An answered or refused argument ends the program at once on a terminal
// too, without a run and with the terminal as it was.
TEST_P(ArgumentOnTerminal, EndsWithoutWaiting) {
  argument_ = GetParam();
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_TRUE(Await([&] { return Exited(); })) << "still waiting: " << output_;
  ASSERT_TRUE(WIFEXITED(status_)) << "status " << status_;
  EXPECT_EQ(output_.find(kNoReports), std::string::npos) << output_;
  EXPECT_TRUE(sameSettings(Settings(), before_));
}

INSTANTIATE_TEST_SUITE_P(Arguments, ArgumentOnTerminal,
                         testing::Values("--help", "--version", "-x"));

struct NoKey { const char* name; bool onTerminal, piped; const char* arg; };
class RunEndsAtOnce : public KeyWaitTest,
                      public testing::WithParamInterface<NoKey> {};

// Nobody reads the run where a key would come from, or --no-wait says so.
TEST_P(RunEndsAtOnce, WithoutWaiting) {
  argument_ = GetParam().arg;
  ASSERT_NO_FATAL_FAILURE(Start(GetParam().onTerminal, GetParam().piped));
  ASSERT_TRUE(Await([&] { return Exited(); })) << "still waiting";
  ExpectCleanExit();
  Await([&] { return output_.find(kNoReports) != std::string::npos; });
  EXPECT_NE(output_.find(kNoReports), std::string::npos) << output_;
  EXPECT_TRUE(sameSettings(Settings(), before_));
}

INSTANTIATE_TEST_SUITE_P(Where, RunEndsAtOnce, testing::Values(
    NoKey{"WithoutControllingTerminal", false, true, nullptr},
    NoKey{"OutputPipedOnTerminal", true, true, nullptr},
    NoKey{"NoWaitOnTerminal", true, false, "--no-wait"}), nameOf<NoKey>);

}  // namespace
