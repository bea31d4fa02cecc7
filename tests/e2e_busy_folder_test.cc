// End-to-end tests of a busy folder: other programs change it while a run
// works (the run held at one of its system calls meanwhile), output that
// nobody reads, an interrupted write, few descriptors, and two runs at
// once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace {

std::string lines(const RunResult& r) { return linesBetweenBanners(r.out); }

using Tree = std::map<std::string, std::string>;

// Reports r0.htm, r1.htm... of player 1111 titled "A".
void writeReports(Folder* f, int count, const std::string& eol) {
  for (int i = 0; i < count; ++i)
    f->Write("r" + std::to_string(i) + ".htm", reportText("1111", "A 1. f", eol));
}

std::string line(int i, const std::string& tail = "") {
  return "      r" + std::to_string(i) + ".htm : 1111_A" + tail + "\n";
}

// Held at a system call, another program changes the folder; what the run
// then does with it.
struct HeldChange {
  const char* what;
  int reports;
  const char* eol;
  long syscall;
  std::function<void(Folder&)> change;
  int status;
  std::string lines;
  std::function<Tree(Folder&)> tree;  // the folder's, and beside it
  // The reports are opened ahead of their turn, as a run does once it
  // finds them out of the page cache (here it is told so, whatever the
  // cache holds); or in their turn, as it does while the page cache holds
  // them.
  bool readAhead = false;
  bool readInTurn = false;
};

// Whether this file system tells a read that takes only what the page
// cache holds: where it does not, a run reads ahead from the start.
std::string refusesCachedReads(const Folder& f) {
  int fd = open((f.path() + "/r0.htm").c_str(), O_RDONLY);
  char byte;
  struct iovec piece = {&byte, 1};
  bool told = fd >= 0 && preadv2(fd, &piece, 1, 0, RWF_NOWAIT) >= 0;
  if (fd >= 0)
    close(fd);
  return told ? "" : "reads of the page cache alone";
}

#ifdef __linux__
const std::vector<HeldChange>& heldChanges() {
  static const std::string moved = reportText("1111", "A 1. f");
  static const std::string other = reportText("2222", "B 1. f");
  static const std::vector<HeldChange> all = {
      // Rewritten in place while its copy is flushed, same size, its
      // modification time put back: the report's new bytes stay, whatever
      // the file system's clocks keep.
      {"report rewritten during its copy", 1, "\n", SYS_fsync,
       [](Folder& f) {
         const std::string path = f.path() + "/r0.htm";
         struct stat st;
         ASSERT_EQ(0, stat(path.c_str(), &st));
         std::string bytes = f.Read("r0.htm");
         bytes[bytes.size() / 2] ^= 1;
         std::fstream(path, std::ios::in | std::ios::out | std::ios::binary)
             .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
         const struct timespec times[2] = {st.st_atim, st.st_mtim};
         ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
       },
       1,
       line(0, " - konyvtar letrehozva - HIBA: a fajl nem torolheto (r0.htm: "
               "changed since it was read)"),
       [](Folder&) {
         std::string changed = reportText("1111", "A 1. f", "\n");
         changed[changed.size() / 2] ^= 1;
         return Tree{{"1111_A/", kDirectory},
                     {"1111_A/r0.htm", moved},
                     {"r0.htm", changed}};
       },
       },
      // Opened ahead of its turn, r4.htm loses its name to another
      // player's report, which is not moved as r4's.
      {"name taken after it was opened ahead", 5, "\r\n", SYS_renameat2,
       [](Folder& f) {
         f.Write("other", other);
         ASSERT_EQ(0, rename((f.path() + "/other").c_str(),
                             (f.path() + "/r4.htm").c_str()));
       },
       1,
       line(0, " - konyvtar letrehozva") + line(1) + line(2) + line(3) +
           line(4, " - HIBA: a fajl nem helyezheto at (r4.htm: not the "
                   "file that was read)"),
       [](Folder&) {
         Tree tree = {{"1111_A/", kDirectory}, {"r4.htm", other}};
         for (int i = 0; i < 4; ++i)
           tree["1111_A/r" + std::to_string(i) + ".htm"] = moved;
         return tree;
       },
       true},
      // The player's directory moved out of the folder: the report whose
      // rename was under way comes back and stays, the others go into a
      // new one.
      {"directory moved away", 4, "\r\n", SYS_renameat2,
       [](Folder& f) {
         ASSERT_EQ(0, rename((f.path() + "/1111_A").c_str(),
                             f.Sibling("-beside").c_str()));
       },
       1,
       line(0, " - konyvtar letrehozva - HIBA: a fajl nem helyezheto at "
               "(1111_A: moved away from the folder)") +
           line(1, " - konyvtar letrehozva") + line(2) + line(3),
       [](Folder& f) {
         Tree tree = {{"1111_A/", kDirectory}, {"r0.htm", moved}};
         for (int i = 1; i < 4; ++i)
           tree["1111_A/r" + std::to_string(i) + ".htm"] = moved;
         EXPECT_EQ(Tree{}, treeOf(f.Sibling("-beside")));
         return tree;
       }},
      // Moved away while copies into it are flushed: they go nowhere, and
      // their reports stay.
      {"directory moved away while copies wait", 3, "\n", SYS_fsync,
       [](Folder& f) {
         ASSERT_EQ(0, rename((f.path() + "/1111_A").c_str(),
                             f.Sibling("-beside").c_str()));
       },
       1,
       line(0, " - konyvtar letrehozva - HIBA: a masolat nem irhato (1111_A: "
               "moved away from the folder)") +
           line(1, " - HIBA: a masolat nem irhato (1111_A: moved away from "
                   "the folder)") +
           line(2, " - HIBA: a masolat nem irhato (1111_A: moved away from "
                   "the folder)"),
       [](Folder& f) {
         EXPECT_EQ(Tree{}, treeOf(f.Sibling("-beside")));
         Tree tree;
         for (int i = 0; i < 3; ++i)
           tree["r" + std::to_string(i) + ".htm"] =
               reportText("1111", "A 1. f", "\n");
         return tree;
       }},
      // Another program removed the report between its read (opened ahead
      // of its turn) and its move.
      {"report removed after its read", 2, "\r\n", SYS_renameat2,
       [](Folder& f) { ASSERT_EQ(0, unlink((f.path() + "/r1.htm").c_str())); },
       0, line(0, " - konyvtar letrehozva") + line(1, " - a fajl eltunt"),
       [](Folder&) {
         return Tree{{"1111_A/", kDirectory}, {"1111_A/r0.htm", moved}};
       },
       true},
      // ...and before its read, opened in its turn: no line.
      {"report removed before its read", 2, "\r\n", SYS_renameat2,
       [](Folder& f) { ASSERT_EQ(0, unlink((f.path() + "/r1.htm").c_str())); },
       0, line(0, " - konyvtar letrehozva"),
       [](Folder&) {
         return Tree{{"1111_A/", kDirectory}, {"1111_A/r0.htm", moved}};
       },
       false, true},
  };
  return all;
}
#endif

TEST(BusyFolder, ChangedWhileTheRunHoldsIt) {
#ifdef __linux__
  std::string notSetUp;  // cases this file system cannot hold
  for (const HeldChange& c : heldChanges()) {
    Folder f;
    writeReports(&f, c.reports, c.eol);
    const std::string kept = c.readInTurn ? refusesCachedReads(f) : "";
    if (!kept.empty()) {
      notSetUp += std::string(c.what) + ": this file system cannot hold " +
                  kept + "; ";
      continue;
    }
    RunOptions options;
    options.stopAtSyscall = c.syscall;
    options.atStop = [&] { c.change(f); };
    options.coldPageCache = c.readAhead;
    RunResult r = runProgram(f.path(), options);
    if (r.status == 125)
      GTEST_SKIP() << "this machine does not let a test trace its child, or "
                      "filter its system calls";
    ASSERT_TRUE(r.stopped) << c.what << ": " << r.out << r.err;
    EXPECT_EQ(c.status, r.status) << c.what;
    EXPECT_EQ(c.lines, lines(r)) << c.what;
    EXPECT_EQ(c.tree(f), f.Tree()) << c.what;
  }
  if (!notSetUp.empty())
    GTEST_SKIP() << "the other cases ran; not set up: " << notSetUp;
#else
  GTEST_SKIP() << "the program is held mid-run with Linux's ptrace";
#endif
}

// Output that cannot be written, for want of a reader or once interrupted:
// the run does its work, and says on standard error and by its status
// what was lost, if anything.
TEST(BusyFolder, OutputNobodyReadsOrInterrupted) {
  const std::string tracer = stracePath();
  struct Case {
    const char* what;
    bool closed;
    std::vector<std::string> command;
    int status;
    std::string err;
  } cases[] = {
      {"a pipe nobody reads", true, {}, 1,
       "HIBA: a kimenet nem irhato (write(standard output): Broken pipe)\n"},
      {"an interrupted write", false,
       {tracer, "-qq", "-o", "/dev/null", "-e", "trace=write", "-e",
        "inject=write:error=EINTR:when=1"},
       0, ""},
  };
  for (const Case& c : cases) {
    if (!c.command.empty() && tracer.empty())
      GTEST_SKIP() << "strace is not installed";
    if (!c.command.empty() && KORENDEZO_SANITIZED)
      GTEST_SKIP() << "the leak checker does not run under strace; the plain "
                      "build makes the interrupted write";
    Folder f;
    writeReports(&f, 3, "\r\n");
    RunOptions options;
    options.outputClosed = c.closed;
    options.command = c.command;
    RunResult r = runProgram(f.path(), options);
    EXPECT_EQ(c.status, r.status) << c.what;
    EXPECT_EQ(c.err, r.err) << c.what;
    if (!c.closed) {
      EXPECT_EQ(line(0, " - konyvtar letrehozva") + line(1) + line(2),
                lines(r));
    }
    EXPECT_EQ(4u, f.Tree().size()) << c.what;  // 1111_A/ and three reports
  }
}

// With few descriptors (6: the folder is flushed through its lock's), or
// no /proc to link copies through (a chroot, a container; strace fails
// the linkat of a descriptor, which most kernels allow only with
// CAP_DAC_READ_SEARCH), every report of 40 player/title pairs moves.
struct Starved {
  rlim_t limit;
  std::vector<std::string> command;
};
void PrintTo(const Starved& s, std::ostream* os) {
  *os << (s.command.empty() ? std::to_string(s.limit) : "no /proc");
}
class FewDescriptorsOrNoProc : public testing::TestWithParam<Starved> {};
TEST_P(FewDescriptorsOrNoProc, EveryReportMoves) {
  const Starved& c = GetParam();
  Folder f;
  if (!c.command.empty() && !f.HasAnonymousFiles())
    GTEST_SKIP() << "no /proc: copies here have names of their own anyway";
  if (KORENDEZO_SANITIZED && (c.limit < 16 || !c.command.empty()))
    GTEST_SKIP() << "the sanitizers need descriptors and /proc of their own";
  if (!c.command.empty() && (geteuid() != 0 || c.command[0].empty()))
    GTEST_SKIP() << "no /proc: needs root and strace";
  Tree want;
  for (int i = 0; i < 80; ++i) {
    const std::string id = std::to_string(1000 + i % 40);
    const std::string name = "r" + std::to_string(i) + ".htm";
    f.Write(name, reportText(id, "A 1. f", i % 2 ? "\n" : "\r\n"));
    want[id + "_A/"] = kDirectory;
    want[id + "_A/" + name] = reportText(id, "A 1. f");
  }
  RunOptions options;
  options.openFilesLimit = c.limit;
  options.command = c.command;
  RunResult r = runProgram(f.path(), options);
  if (!c.command.empty() && r.out.empty())
    GTEST_SKIP() << "/proc could not be hidden: " << r.err;
  EXPECT_EQ(0, r.status) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("HIBA")) << r.out;
  EXPECT_EQ(want, f.Tree());
}
INSTANTIATE_TEST_SUITE_P(
    BusyFolder, FewDescriptorsOrNoProc,
    testing::Values(Starved{16, {}}, Starved{6, {}},
                    Starved{RLIM_INFINITY,
                            {stracePath(), "-f", "-qq", "-o", "/dev/null",
                             "-e", "inject=linkat:error=EPERM",
                             "/usr/bin/unshare", "-m", "/bin/sh", "-c",
                             "mount -t tmpfs none /proc && exec \"$0\""}}));

#ifdef __linux__
// Whether some process waits for a lock on `folder` that another holds.
bool someoneWaitsToLock(const std::string& folder) {
  struct stat st;
  if (stat(folder.c_str(), &st) != 0)
    return false;
  // "1: -> FLOCK  ADVISORY  WRITE 4242 fe:01:1234567 0 EOF"
  const std::string inode = ":" + std::to_string(st.st_ino) + " ";
  std::ifstream locks("/proc/locks");
  for (std::string text; std::getline(locks, text);) {
    if (text.find("->") != std::string::npos &&
        text.find(inode) != std::string::npos)
      return true;
  }
  return false;
}
#endif

// A second run started while one works in the folder (in this pid
// namespace, or in one of its own, as in a container) waits for it, says
// so, and then sorts what is left: nothing here. Neither tells a moved
// report as staying, and the first finds nothing of its own removed. A
// pipe's reader sees the waiting line while it waits.
TEST(BusyFolder, TwoRunsAtOnce) {
#ifdef __linux__
  const std::vector<std::vector<std::string>> seconds = {
      {}, {"/usr/bin/unshare", "-p", "-f", "--mount-proc"}};
  for (const std::vector<std::string>& second : seconds) {
    const std::string what = second.empty() ? "same namespace" : "unshare -p";
    if (!second.empty() &&
        (geteuid() != 0 || access(second[0].c_str(), X_OK) != 0))
      GTEST_SKIP() << "a pid namespace of its own needs root and unshare";
    Folder f;
    writeReports(&f, 3, "\n");
    f.MakeDir("1111_A");
    f.Write("1111_A/r2.htm", "an older copy");  // replaced through a name
    int ends[2];
    ASSERT_EQ(0, pipe2(ends, O_CLOEXEC | O_NONBLOCK));
    std::string seen;
    const auto readSoFar = [&] {
      char buf[4096];
      for (ssize_t n; (n = read(ends[0], buf, sizeof buf)) > 0;)
        seen.append(buf, static_cast<size_t>(n));
    };
    RunResult other;
    std::thread waiting;
    RunOptions options;
    // Held while the copy that replaces the older one has a name of its
    // own.
    options.stopAtSyscall = SYS_renameat;
    options.atStop = [&] {
      RunOptions secondOptions;
      secondOptions.command = second;
      secondOptions.outputFile = "/dev/fd/" + std::to_string(ends[1]);
      secondOptions.timeoutSeconds = 60;
      waiting = std::thread([&f, &other, secondOptions] {
        other = runProgram(f.path(), secondOptions);
      });
      const auto deadline = std::chrono::steady_clock::now() +
                            std::chrono::seconds(30);
      while (!someoneWaitsToLock(f.path()) &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      EXPECT_TRUE(someoneWaitsToLock(f.path())) << what << ": no run waits";
      readSoFar();
      EXPECT_NE(std::string::npos, seen.find("varakozas...\n")) << what;
    };
    RunResult first = runProgram(f.path(), options);
    if (waiting.joinable())
      waiting.join();
    close(ends[1]);
    readSoFar();
    close(ends[0]);
    if (first.status == 125)
      GTEST_SKIP() << "this machine does not let a test trace its child";
    ASSERT_TRUE(first.stopped) << what;
    if (!second.empty() && other.status != 0 &&
        seen.find("KO fordulokat") == std::string::npos)
      GTEST_SKIP() << "no pid namespace to be had here: " << other.err;
    EXPECT_EQ(0, first.status) << what << first.out;
    EXPECT_EQ(line(0) + line(1) + line(2), lines(first)) << what;
    EXPECT_EQ(0, other.status) << what << other.out << other.err;
    EXPECT_EQ("Egy masik futas rendezi a konyvtarat, varakozas...\n"
              "Nincs fordulo a konyvtarban!\n",
              linesBetweenBanners(seen))
        << what;
    Tree want = {{"1111_A/", kDirectory}};
    for (int i = 0; i < 3; ++i)
      want["1111_A/r" + std::to_string(i) + ".htm"] = reportText("1111", "A 1. f");
    EXPECT_EQ(want, f.Tree()) << what;
  }
#else
  GTEST_SKIP() << "the first run is held mid-move with Linux's ptrace";
#endif
}

}  // namespace
