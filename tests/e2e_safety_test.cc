// End-to-end tests of what a move keeps safe: the report's metadata, the
// destination directory swapped mid-run, a destination that is the report
// itself, lost output, and the temporary files of a killed run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

#include <cstdint>
#include <iostream>
#include <map>
#include <string>

#include "e2e_util.h"
#include "test_util.h"

namespace {

std::string lines(const RunResult& r) { return linesBetweenBanners(r.out); }

struct stat statOf(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
  return st;
}

int64_t nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Which times a file given old ones keeps here once read (with
// O_NOATIME where the reader may) and renamed. FUSE file systems may set
// the access time on a read whatever the reader asks (NTFS, exFAT), or
// give a renamed file new times (fusefat).
struct TimesKept {
  bool access, modify;
};
TimesKept timesKeptOverReadAndRename(const Folder& f) {
  const std::string probe = f.path() + "/.probe";
  writeFile(probe, "x");
  const struct timespec old[2] = {{978310000, 0}, {978307200, 0}};
  utimensat(AT_FDCWD, probe.c_str(), old, 0);
  const struct stat before = statOf(probe);
  int fd = open(probe.c_str(), O_RDONLY | O_NOATIME);
  if (fd < 0)
    fd = open(probe.c_str(), O_RDONLY);
  char byte;
  EXPECT_EQ(1, read(fd, &byte, 1));
  close(fd);
  EXPECT_EQ(0, rename(probe.c_str(), (probe + "2").c_str()));
  const struct stat after = statOf(probe + "2");
  unlink((probe + "2").c_str());
  return {nanoseconds(before.st_atim) == nanoseconds(after.st_atim),
          nanoseconds(before.st_mtim) == nanoseconds(after.st_mtim)};
}

// A private report from 2001 keeps its permission bits, times and, where
// the test may set it, owner, whether it is renamed (CR LF) or copied (LF):
// each as the file system keeps it once set (FAT keeps no owner or bits,
// NTFS times to 100 ns), and where it keeps none, nothing is checked.
TEST(EndToEndSafety, MoveKeepsTheReportsMetadata) {
  for (const char* eol : {"\r\n", "\n"}) {
    Folder f;
    const bool renamed = eol[0] == '\r';
    const char* kind = renamed ? "CR LF" : "LF";
    // A copy takes its times after the read; a renamed report keeps its
    // own, as far as the file system lets it.
    const TimesKept times = renamed ? timesKeptOverReadAndRename(f)
                                    : TimesKept{true, true};
    f.Write("r.htm", reportText("1234", "A 1. f", eol));
    const std::string report = f.path() + "/r.htm";
    const struct stat made = statOf(report);
    // Where the file system keeps no such thing, these may fail.
    chmod(report.c_str(), 0640);
    const struct timespec old[2] = {{978310000, 123456789},
                                    {978307200, 500}};
    utimensat(AT_FDCWD, report.c_str(), old, 0);
    if (geteuid() == 0)
      chown(report.c_str(), 1234, 5678);
    const struct stat set = statOf(report);
    RunResult r = runProgram(f.path());
    EXPECT_EQ(0, r.status) << r.out;
    const struct stat st = statOf(f.path() + "/1234_A/r.htm");
    const struct {
      const char* what;
      int64_t made, set, moved;
      bool kept;  // by the file system, as far as the test can tell
    } checks[] = {
        {"permission bits", made.st_mode & 07777, set.st_mode & 07777,
         st.st_mode & 07777, true},
        {"access time", nanoseconds(made.st_atim), nanoseconds(set.st_atim),
         nanoseconds(st.st_atim), times.access},
        {"modification time", nanoseconds(made.st_mtim),
         nanoseconds(set.st_mtim), nanoseconds(st.st_mtim), times.modify},
        {"owner", made.st_uid, set.st_uid, st.st_uid, true},
        {"group", made.st_gid, set.st_gid, st.st_gid, true},
    };
    for (const auto& c : checks) {
      if (c.kept && c.made != c.set) {
        EXPECT_EQ(c.set, c.moved) << c.what << ", " << kind;
      } else {
        std::cout << "not kept here, so not checked: " << c.what << ", "
                  << kind << "\n";
      }
    }
  }
}

// Already a hard link to the report, the destination holds its bytes: the
// report's name in the folder goes (renamed), or the link is replaced by
// the copy (LF), and either way the line and the status say moved.
TEST(EndToEndSafety, DestinationThatIsTheReportItself) {
  for (const char* eol : {"\r\n", "\n"}) {
    Folder f;
    SKIP_WHERE_REFUSED(f.RefusesHardLink());
    f.Write("r.htm", reportText("1234", "A 1. f", eol));
    f.MakeDir("1234_A");
    ASSERT_EQ(0, link((f.path() + "/r.htm").c_str(),
                      (f.path() + "/1234_A/r.htm").c_str()));
    RunResult r = runProgram(f.path());
    EXPECT_EQ(0, r.status) << eol[0];
    EXPECT_EQ("       r.htm : 1234_A\n", lines(r));
    const std::map<std::string, std::string> want = {
        {"1234_A/", kDirectory},
        {"1234_A/r.htm", reportText("1234", "A 1. f")},
    };
    EXPECT_EQ(want, f.Tree()) << eol[0];
    EXPECT_EQ(1u, statOf(f.path() + "/1234_A/r.htm").st_nlink);
  }
}

// With its output going nowhere the run does its work, and says on
// standard error, and by its status, that the output was lost.
TEST(EndToEndSafety, LostOutputIsTold) {
  const std::vector<std::string> kArgumentLists[] = {{}, {"--version"}};
  for (const std::vector<std::string>& arguments : kArgumentLists) {
    Folder f;
    f.Write("r.htm", reportText("1234", "A 1. f", "\n"));
    RunOptions options;
    options.outputFile = "/dev/full";
    options.arguments = arguments;
    RunResult r = runProgram(f.path(), options);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("HIBA: a kimenet nem irhato (write(standard output): No space "
              "left on device)\n",
              r.err);
    EXPECT_EQ(arguments.empty() ? 2u : 1u, f.Tree().size());
  }
}

#ifdef __linux__
// The system call that puts a copy in place in `f`.
long placingCall(const Folder& f) {
  return f.HasAnonymousFiles() ? SYS_linkat : SYS_renameat;
}
#endif

// Held at the system call that puts the report in place, the program finds
// its directory replaced by a link to a folder elsewhere; the report still
// goes into the directory it opened, inside the folder.
TEST(EndToEndSafety, DirectorySwappedForALinkMidMove) {
#ifdef __linux__
  // Renamed into the directory, the report is not found through the
  // folder, and comes back; a copy stays in the directory it went into.
  const struct {
    const char* eol;
    long syscall;
    const char* report;
  } cases[] = {{"\r\n", SYS_renameat2, "r.htm"},
               {"\n", -1, "1234_A.held/r.htm"}};
  for (const auto& c : cases) {
    Folder f;
    SKIP_WHERE_REFUSED(f.RefusesSymlink());
    f.Write("r.htm", reportText("1234", "A 1. f", c.eol));
    f.MakeDir("1234_A");
    const std::string outside = f.Sibling("-outside");
    ASSERT_EQ(0, mkdir(outside.c_str(), 0777));
    RunOptions options;
    options.stopAtSyscall = c.syscall >= 0 ? c.syscall : placingCall(f);
    options.atStop = [&f, &outside] {
      const std::string dir = f.path() + "/1234_A";
      ASSERT_EQ(0, rename(dir.c_str(), (dir + ".held").c_str()));
      ASSERT_EQ(0, symlink(outside.c_str(), dir.c_str()));
    };
    RunResult r = runProgram(f.path(), options);
    if (r.status == 125)
      GTEST_SKIP() << "this machine does not let a test trace its child";
    ASSERT_TRUE(r.stopped) << r.out << r.err;
    EXPECT_EQ(0u, treeOf(outside).size()) << c.eol[0];
    EXPECT_EQ(reportText("1234", "A 1. f"), f.Read(c.report));
    EXPECT_EQ(3u, f.Tree().size()) << c.eol[0];  // the link, .held, the report
  }
#else
  GTEST_SKIP() << "the program is held mid-move with Linux's ptrace";
#endif
}

// Held at the system call that puts the copy in place, the program finds
// the report's name taken by another file; that file is not removed, and
// the line says why.
TEST(EndToEndSafety, ReportReplacedMidCopyStays) {
#ifdef __linux__
  Folder f;
  f.Write("r.htm", reportText("1234", "A 1. f", "\n"));
  RunOptions options;
  options.stopAtSyscall = placingCall(f);
  options.atStop = [&f] {
    f.Write("new.htm", "a file that took the name");
    ASSERT_EQ(0, rename((f.path() + "/new.htm").c_str(),
                        (f.path() + "/r.htm").c_str()));
  };
  RunResult r = runProgram(f.path(), options);
  if (r.status == 125)
    GTEST_SKIP() << "this machine does not let a test trace its child";
  ASSERT_TRUE(r.stopped) << r.out << r.err;
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("       r.htm : 1234_A - konyvtar letrehozva - HIBA: a fajl nem "
            "torolheto (r.htm: not the file that was read)\n",
            lines(r));
  const std::map<std::string, std::string> want = {
      {"1234_A/", kDirectory},
      {"1234_A/r.htm", reportText("1234", "A 1. f")},
      {"r.htm", "a file that took the name"},
  };
  EXPECT_EQ(want, f.Tree());
#else
  GTEST_SKIP() << "the program is held mid-move with Linux's ptrace";
#endif
}

// The id of a process that has ended.
pid_t endedProcess() {
  pid_t pid = fork();
  if (pid == 0)
    _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// Renames `dir`/`from` to the name of a temporary file of process `pid`
// that carries `number`, or the file's own inode when `number` is 0.
std::string nameAsTemporary(const std::string& dir, const std::string& from,
                            long pid, unsigned long long number = 0) {
  if (number == 0)
    number = statOf(dir + "/" + from).st_ino;
  const std::string name = ".korendezo-" + std::to_string(pid) + "-" +
                           std::to_string(number) + ".tmp";
  EXPECT_EQ(0, rename((dir + "/" + from).c_str(), (dir + "/" + name).c_str()));
  return name;
}

// A run loses the temporary files a killed run left in the folder, where
// every run lists anyway, and nothing else, however much it looks like
// one. Holding the folder's lock, the run knows no other run is at work,
// so a temporary of a process that runs (here pid 1; a run in another pid
// namespace or on another machine, say) is a leftover too, and so is one
// named by a counter (a copy's name from the start, as on FAT).
TEST(EndToEndSafety, KilledRunsLeftoversGoUsersFilesStay) {
  Folder f;
  f.Write("r.htm", reportText("1234", "A 1. f"));
  const std::string dir = f.path();
  const pid_t ended = endedProcess();
  f.Write("a", "left by a killed run");
  nameAsTemporary(dir, "a", ended);
  f.Write("c", "left by a run of another pid namespace");
  nameAsTemporary(dir, "c", 1);
  f.Write("b", "left by a killed run where copies have names");
  nameAsTemporary(dir, "b", 1, 7);
  const std::map<std::string, std::string> mine = {
      {"d", "a leading zero"}, {"e", "another suffix"}};
  for (const auto& file : mine)
    f.Write(file.first, file.second);
  std::map<std::string, std::string> want = {
      {"1234_A/", kDirectory},
      {"1234_A/r.htm", reportText("1234", "A 1. f")},
  };
  const std::string zero = ".korendezo-" + std::to_string(ended) + "-0" +
                           std::to_string(statOf(dir + "/d").st_ino) + ".tmp";
  ASSERT_EQ(0, rename((dir + "/d").c_str(), (dir + "/" + zero).c_str()));
  want[zero] = mine.at("d");
  const std::string other = nameAsTemporary(dir, "e", ended) + "~";
  ASSERT_EQ(0, rename((dir + "/" + other.substr(0, other.size() - 1)).c_str(),
                      (dir + "/" + other).c_str()));
  want[other] = mine.at("e");
  f.MakeDir("sub");
  const std::string subdir = nameAsTemporary(dir, "sub", ended);
  want[subdir + "/"] = kDirectory;

  RunResult r = runProgram(f.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(want, f.Tree());
}

}  // namespace
