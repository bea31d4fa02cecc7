// End-to-end tests: the built program runs in a scratch folder with standard
// input from /dev/null and no controlling terminal, and its output and the
// folder's tree afterwards are compared byte for byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace {

std::string lines(const RunResult& r) { return linesBetweenBanners(r.out); }

// ISO-8859-2 names used below.
const std::string kEszaki = "\xC9szaki T\xE1" "bor";  // Északi Tábor
const std::string kDeli = "D\xE9li \xD5rhely";         // Déli Őrhely
const std::string kOrseg = "\xD5rs\xE9g";              // Őrség

TEST(EndToEnd, EmptyFolder) {
  Folder f;
  f.Write("notes.txt", reportText("1234", "A 1. f"));
  RunResult r = runProgram(f.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(kOpeningBanner + "Nincs fordulo a konyvtarban!\n" + kClosingBanner, r.out);
  EXPECT_EQ(1u, f.Tree().size());
}

TEST(EndToEnd, SortsAFolder) {
  Folder f;
  const std::string outside = f.Sibling("-outside.htm");
  writeFile(outside, reportText("6666", "Kint 1. f"));
  const std::map<std::string, std::string> reports = {
      {"1234_12.htm", reportText("1234", kEszaki + " 12. fordulo")},
      {"1234_13.htm", reportText("1234", kEszaki + " 13. fordulo", "\n")},
      {"9012_12.htm", reportText("9012", "")},
      {"ab.htm", reportText("5678", kDeli + " 12. fordulo")},
      {"a_very_long_report_name.htm", reportText("5678", kDeli + " 13. fordulo")},
      {"b.htm", reportText("0042", "Kis 1. fordulo")},
      {"k\xC3\xB6r.htm", reportText("7777", kOrseg + " 1. fordulo")},
      {"page.html", reportText("0042", "Kis 2. fordulo")},
      {"UPPER.HTM", reportText("7777", kOrseg + " 2. fordulo")},
  };
  for (const auto& r : reports)
    SKIP_WHERE_REFUSED(f.RefusesName(r.first));
  SKIP_WHERE_REFUSED(f.RefusesSymlink());
  SKIP_WHERE_REFUSED(f.RefusesFifo());
  for (const auto& r : reports)
    f.Write(r.first, r.second);
  f.Write("hirek.htm", "<HTML><TITLE>..Hirek 1. szam</TITLE></HTML>\r\n");
  f.Write("notes.txt", reportText("1234", "A 1. f"));
  f.MakeDir("x.htm");
  f.Write("x.htm/inner.htm", reportText("1234", "A 1. f"));
  f.Symlink(outside, "link.htm");
  f.MakeFifo("pipe.htm");

  RunResult r = runProgram(f.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(
      " 1234_12.htm : 1234_\xC3\x89szaki T\xC3\xA1" "bor - konyvtar letrehozva\n"
      " 1234_13.htm : 1234_\xC3\x89szaki T\xC3\xA1" "bor\n"
      " 9012_12.htm : 9012 - konyvtar letrehozva\n"
      "      ab.htm : 5678_D\xC3\xA9li \xC5\x90rhely - konyvtar letrehozva\n"
      "a_very_long_report_name.htm : 5678_D\xC3\xA9li \xC5\x90rhely\n"
      "       b.htm : 0042_Kis - konyvtar letrehozva\n"
      "     k\xC3\xB6r.htm : 7777_\xC5\x90rs\xC3\xA9g - konyvtar letrehozva\n"
      "   page.html : 0042_Kis\n"
      "   UPPER.HTM : 7777_\xC5\x90rs\xC3\xA9g\n",
      lines(r));

  const std::string eszaki = "1234_\xC3\x89szaki T\xC3\xA1" "bor/";
  const std::string deli = "5678_D\xC3\xA9li \xC5\x90rhely/";
  const std::string orseg = "7777_\xC5\x90rs\xC3\xA9g/";
  const std::map<std::string, std::string> want = {
      {eszaki, kDirectory},
      {eszaki + "1234_12.htm", reports.at("1234_12.htm")},
      {eszaki + "1234_13.htm", reportText("1234", kEszaki + " 13. fordulo")},
      {"9012/", kDirectory},
      {"9012/9012_12.htm", reports.at("9012_12.htm")},
      {deli, kDirectory},
      {deli + "ab.htm", reports.at("ab.htm")},
      {deli + "a_very_long_report_name.htm",
       reports.at("a_very_long_report_name.htm")},
      {"0042_Kis/", kDirectory},
      {"0042_Kis/b.htm", reports.at("b.htm")},
      {"0042_Kis/page.html", reports.at("page.html")},
      {orseg, kDirectory},
      {orseg + "k\xC3\xB6r.htm", reports.at("k\xC3\xB6r.htm")},
      {orseg + "UPPER.HTM", reports.at("UPPER.HTM")},
      {"hirek.htm", "<HTML><TITLE>..Hirek 1. szam</TITLE></HTML>\r\n"},
      {"notes.txt", reportText("1234", "A 1. f")},
      {"x.htm/", kDirectory},
      {"x.htm/inner.htm", reportText("1234", "A 1. f")},
      {"link.htm", "-> " + outside},
      {"pipe.htm", kFifo},
  };
  EXPECT_EQ(want, f.Tree());
  EXPECT_EQ(reportText("6666", "Kint 1. f"), readFile(outside));
}

// Hundreds of reports, many more than are read ahead at a time, half of
// them LF, some replacing older copies: each is moved in its turn, with
// the page cache holding them, and (under strace, where installed, and
// not in the sanitized build, whose leak check fails under ptrace) with
// the first read finding nothing there, after which the reports ahead are
// read from the disk meanwhile. Each is as long as a real one, longer than
// a cluster of tools/test's FAT32 image (512 bytes): fusefat answers a
// second read of a file that ends in its first cluster, through the same
// descriptor, with the bytes past its end, and the kernel reads a report
// opened ahead again when the page cache lost it meanwhile.
TEST(EndToEnd, FolderOfManyReports) {
  const std::string tracer = KORENDEZO_SANITIZED ? "" : stracePath();
  const std::string filler = "<P>" + std::string(2000, '.') + "</P>\n";
  const auto report = [&](const std::string& id, const std::string& eol) {
    return withLineEnds(reportText(id, "A 1. f", "\n") + filler, eol);
  };
  for (const bool cold : {false, true}) {
    if (cold && tracer.empty())
      continue;
    Folder f;
    f.MakeDir("3333_A");
    std::string want;
    std::map<std::string, std::string> tree;
    for (int i = 0; i < 300; ++i) {
      const std::string name = "r" + std::to_string(1000 + i) + ".htm";
      const std::string id = std::to_string(1111 * (1 + i % 3));
      f.Write(name, report(id, i % 2 ? "\r\n" : "\n"));
      if (id == "3333" && i % 5 == 0)
        f.Write("3333_A/" + name, "an older copy");
      tree[id + "_A/" + name] = report(id, "\r\n");
      tree[id + "_A/"] = kDirectory;
      want += "   " + name + " : " + id + "_A" +
              (i < 2 ? " - konyvtar letrehozva\n" : "\n");
      if (i % 10 == 0) {
        f.Write("s" + name, "not a report");
        tree["s" + name] = "not a report";
      }
    }
    const std::string log = f.Sibling("-trace");
    RunOptions options;
    if (cold)
      options.command = {tracer, "-f", "-qq", "-o", log, "-e",
                         "trace=preadv2,fadvise64", "-e",
                         "inject=preadv2:error=EAGAIN:when=1"};
    RunResult r = runProgram(f.path(), options);
    EXPECT_EQ(0, r.status) << cold;
    EXPECT_EQ(want, lines(r)) << cold;
    EXPECT_EQ(tree, f.Tree()) << cold;
    if (cold) {
      EXPECT_NE(std::string::npos, readFile(log).find("fadvise64("));
    }
  }
}

// --help and --version are answered on standard output; arguments that
// are refused, or a folder that cannot be entered, get one line on
// standard error. In each case the run does not start: neither the folder
// nor one named on the command line is touched, to the access time.
TEST(EndToEnd, ArgumentsLeaveTheFolderAlone) {
  enum Answer { kUsage, kVersion, kRefusal };
  const std::string kOther = "<other folder>";
  const std::string kAlone = "--help and --version take no other argument";
  const struct Case {
    std::vector<std::string> args;
    Answer answer;
    // How a refusal's line goes on after "korendezo: ".
    std::string says = "";
  } cases[] = {
      {{"--help"}, kUsage},
      {{"-h"}, kUsage},
      {{"--version"}, kVersion},
      {{"-h", "/nonexistent"}, kRefusal, kAlone},
      {{"--help", "--version"}, kRefusal, kAlone},
      {{"-n", "--version"}, kRefusal, kAlone},
      {{kOther, "."}, kRefusal, "more than one folder named"},
      {{"/nonexistent"}, kRefusal,
       "chdir(/nonexistent): No such file or directory"},
      {{"-n", "1234_12.htm"}, kRefusal, "chdir(1234_12.htm): Not a directory"},
      {{"--", "-x"}, kRefusal, "chdir(-x): No such file or directory"},
      {{"-x"}, kRefusal, "unknown option -x"},
      {{""}, kRefusal, "chdir(): No such file or directory"},
      {{"--versio"}, kRefusal, "unknown option --versio"},
      {{"--HELP"}, kRefusal, "unknown option --HELP"},
      {{"-help"}, kRefusal, "unknown option -help"},
      {{"-"}, kRefusal, "unknown option -"},
      {{"-n", "\x1b[2J"}, kRefusal, "chdir(?[2J): No such file or directory"},
  };
  for (const Case& c : cases) {
    Folder f;
    f.Write("1234_12.htm", reportText("1234", kEszaki + " 12. fordulo"));
    f.Write("1234_13.htm", reportText("1234", kEszaki + " 13. fordulo", "\n"));
    f.Write("hirek.htm", "<HTML></HTML>\n");
    const std::string other = f.Sibling("-reports");
    ASSERT_EQ(0, mkdir(other.c_str(), 0777));
    writeFile(other + "/5678_12.htm", reportText("5678", kDeli + " 12. f", "\n"));
    const auto before = stampedTreeOf(f.path());
    const auto otherBefore = stampedTreeOf(other);

    RunOptions options;
    std::string shown;
    for (const std::string& arg : c.args) {
      options.arguments.push_back(arg == kOther ? other : arg);
      shown += " '" + options.arguments.back() + "'";
    }
    RunResult r = runProgram(f.path(), options);

    if (c.answer == kRefusal) {
      EXPECT_EQ(2, r.status) << shown;
      EXPECT_EQ("", r.out) << shown;
      EXPECT_TRUE(startsWith(r.err, "korendezo: " + c.says))
          << shown << ": " << r.err;
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << shown << ": " << r.err;
    } else {
      EXPECT_EQ(0, r.status) << shown;
      EXPECT_EQ("", r.err) << shown;
      if (c.answer == kVersion) {
        EXPECT_EQ("korendezo " KORENDEZO_VERSION "\n", r.out);
      } else {
        EXPECT_TRUE(startsWith(
            r.out, "Usage: korendezo [-n | --dry-run] [--no-wait] [--] [FOLDER]\n"))
            << shown << ": " << r.out;
        EXPECT_NE(std::string::npos, r.out.find("current folder")) << r.out;
        EXPECT_TRUE(endsWith(r.out, "man korendezo\n")) << r.out;
      }
    }
    EXPECT_EQ(before, stampedTreeOf(f.path())) << shown;
    EXPECT_EQ(otherBefore, stampedTreeOf(other)) << shown;
  }
}

TEST(EndToEnd, BytesSurviveTheMove) {
  // Lone CR, 0x1A and NUL reach the copy; only a bare LF becomes CR LF.
  const std::string odd = std::string("a\rb\x1A" "c") + '\0' + "d";
  Folder f;
  f.Write("crlf.htm", reportText("1234", "A 1. f") + odd + "\r\n");
  f.Write("lf.htm", reportText("1234", "A 1. f", "\n") + odd + "\n");
  RunResult r = runProgram(f.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("    crlf.htm : 1234_A - konyvtar letrehozva\n"
            "      lf.htm : 1234_A\n",
            lines(r));
  const std::string want = reportText("1234", "A 1. f") + odd + "\r\n";
  const std::map<std::string, std::string> tree = {
      {"1234_A/", kDirectory},
      {"1234_A/crlf.htm", want},
      {"1234_A/lf.htm", want},
  };
  EXPECT_EQ(tree, f.Tree());
}

TEST(EndToEnd, SizeLimit) {
  Folder f;
  const std::string head = reportText("1234", "A 1. f", "\n");
  const std::string fits = head + std::string(1023999 - head.size(), 'x');
  f.Write("big.htm", fits + "y");
  f.Write("fits.htm", fits);
  RunResult r = runProgram(f.path());
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("     big.htm : 1234_A - HIBA: a fajl tul nagy\n"
            "    fits.htm : 1234_A - konyvtar letrehozva\n",
            lines(r));
  EXPECT_TRUE(f.Read("big.htm") == fits + "y");
  EXPECT_TRUE(f.Read("1234_A/fits.htm") == withLineEnds(fits, "\r\n"));
  EXPECT_EQ(3u, f.Tree().size());
}

TEST(EndToEnd, UnsafeNamesStayInside) {
  struct Case {
    std::string id, title, shown;
  } cases[] = {
      {"../.", "", "../."},
      {"..", "", ".."},
      {"", "", ""},
      {"/tmp", "", "/tmp"},
      {"12\x1b[", "", "12?["},
      {"1234", "a/../../b 1. f", "1234_a/../../b"},
      {"1234", "\x9b" "2J 1. f", "1234_?2J"},
  };
  for (const Case& c : cases) {
    Folder f;
    const std::string report = reportWithId(c.id, c.title);
    f.Write("r.htm", report);
    RunResult r = runProgram(f.path());
    EXPECT_EQ(1, r.status) << c.shown;
    EXPECT_EQ("       r.htm : " + c.shown + " - HIBA: ervenytelen konyvtarnev\n",
              lines(r));
    const std::map<std::string, std::string> want = {{"r.htm", report}};
    EXPECT_EQ(want, f.Tree()) << c.shown;
  }
}

TEST(EndToEnd, ControlCharactersInNamesPrintAsQuestionMarks) {
  Folder f;
  for (const char* name : {"a\x1b[1m\x7f.htm", "\xff.htm"})
    SKIP_WHERE_REFUSED(f.RefusesName(name));
  f.Write("a\x1b[1m\x7f.htm", reportText("1234", "A 1. f"));
  f.Write("\xff.htm", reportText("1234", "A 2. f"));
  RunResult r = runProgram(f.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("  a?[1m?.htm : 1234_A - konyvtar letrehozva\n"
            "       ?.htm : 1234_A\n",
            lines(r));
}

TEST(EndToEnd, OccupiedNames) {
  Folder f;
  SKIP_WHERE_REFUSED(f.RefusesSymlink());
  const std::string a = reportText("1111", "A 1. f");
  const std::string b = reportText("2222", "B 1. f");
  const std::string c = reportText("3333", "C 1. f");
  f.Write("a.htm", a);
  f.Write("b.htm", b);
  f.Write("c.htm", c);
  f.Write("1111_A", "a file on the directory's name");
  f.MakeDir("2222_B");
  f.MakeDir("2222_B/b.htm");
  const std::string elsewhere = f.Sibling("-elsewhere");
  ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0777));
  f.Symlink(elsewhere, "3333_C");
  RunResult r = runProgram(f.path());
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("       a.htm : 1111_A - HIBA: a konyvtar nem hozhato letre "
            "(mkdir(1111_A): File exists)\n"
            "       b.htm : 2222_B - HIBA: a masolat nem irhato "
            "(2222_B/b.htm: not a regular file)\n"
            "       c.htm : 3333_C - HIBA: a konyvtar nem hozhato letre "
            "(mkdir(3333_C): File exists)\n",
            lines(r));
  EXPECT_EQ(a, f.Read("a.htm"));
  EXPECT_EQ(b, f.Read("b.htm"));
  EXPECT_EQ(c, f.Read("c.htm"));
  EXPECT_EQ(7u, f.Tree().size());
  EXPECT_EQ(0u, treeOf(elsewhere).size());
}

TEST(EndToEnd, ReplacesAnOlderCopy) {
  Folder f;
  const std::string report = reportText("1234", "A 1. f", "\n");
  f.Write("r.htm", report);
  f.MakeDir("1234_A");
  f.Write("1234_A/r.htm", "an older copy");
  RunResult r = runProgram(f.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("       r.htm : 1234_A\n", lines(r));
  const std::map<std::string, std::string> want = {
      {"1234_A/", kDirectory},
      {"1234_A/r.htm", withLineEnds(report, "\r\n")},
  };
  EXPECT_EQ(want, f.Tree());
}

TEST(EndToEnd, FileSizeLimit) {
  Folder f;
  const std::string report = reportText("1234", "A 1. f", "\n") +
                             std::string(20000, 'x');
  f.Write("r.htm", report);
  RunOptions options;
  options.fileSizeLimit = 8192;
  RunResult r = runProgram(f.path(), options);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("       r.htm : 1234_A - konyvtar letrehozva - HIBA: a masolat "
            "nem irhato (write(1234_A/r.htm): File too large)\n",
            lines(r));
  const std::map<std::string, std::string> want = {
      {"1234_A/", kDirectory},
      {"r.htm", report},
  };
  EXPECT_EQ(want, f.Tree());
}

#ifdef __linux__
bool setImmutable(const std::string& path, bool on) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0)
    return false;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return ok;
}
#endif

// A report that may not be renamed stays, with the system's reason; one
// that is copied (bare LF ends) but may not be removed stays beside its
// copy.
TEST(EndToEnd, ReportThatCannotBeRemoved) {
#ifdef __linux__
  for (const char* eol : {"\r\n", "\n"}) {
    Folder f;
    const std::string report = reportText("1234", "A 1. f", eol);
    f.Write("r.htm", report);
    if (!setImmutable(f.path() + "/r.htm", true))
      GTEST_SKIP() << "this file system cannot make a file immutable: "
                   << std::strerror(errno);
    RunResult r = runProgram(f.path());
    setImmutable(f.path() + "/r.htm", false);
    EXPECT_EQ(1, r.status);
    std::map<std::string, std::string> want = {
        {"1234_A/", kDirectory},
        {"r.htm", report},
    };
    // The original goes by being renamed aside first, which is refused.
    EXPECT_EQ(std::string("       r.htm : 1234_A - konyvtar letrehozva - "
                          "HIBA: a fajl ") +
                  (eol[0] == '\r' ? "nem helyezheto at" : "nem torolheto") +
                  " (rename(r.htm): Operation not permitted)\n",
              lines(r));
    if (eol[0] == '\n')
      want["1234_A/r.htm"] = reportText("1234", "A 1. f");
    EXPECT_EQ(want, f.Tree()) << eol[0];
  }
#else
  GTEST_SKIP() << "immutable files are made with a Linux ioctl";
#endif
}

TEST(EndToEnd, DirectoryThatCannotBeWritten) {
#ifdef __linux__
  Folder f;
  const std::string report = reportText("1234", "A 1. f", "\n");
  f.Write("r.htm", report);
  f.MakeDir("1234_A");
  if (!setImmutable(f.path() + "/1234_A", true))
    GTEST_SKIP() << "this file system cannot make a directory immutable";
  RunResult r = runProgram(f.path());
  setImmutable(f.path() + "/1234_A", false);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("       r.htm : 1234_A - HIBA: a masolat nem irhato "
            "(open(1234_A/r.htm): Operation not permitted)\n",
            lines(r));
  EXPECT_EQ(report, f.Read("r.htm"));
  EXPECT_EQ(2u, f.Tree().size());
#else
  GTEST_SKIP() << "immutable directories are made with a Linux ioctl";
#endif
}

TEST(EndToEnd, FullDisk) {
#ifdef __linux__
  Folder f;
  if (mount("tmpfs", f.path().c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs: " << std::strerror(errno);
  f.SetMounted();
  const std::string report = reportText("1234", "A 1. f", "\n") +
                             std::string(60000, 'x') + "\n";
  f.Write("r.htm", report);
  f.MakeDir("1234_A");
  f.FillDisk("filler");
  RunResult r = runProgram(f.path());
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("       r.htm : 1234_A - HIBA: a masolat nem irhato "
            "(write(1234_A/r.htm): No space left on device)\n",
            lines(r));
  EXPECT_EQ(report, f.Read("r.htm"));
  EXPECT_EQ(3u, f.Tree().size());  // r.htm, filler, 1234_A/
#else
  GTEST_SKIP() << "the small file system is a Linux tmpfs";
#endif
}

TEST(EndToEnd, SignalDuringCopyLeavesNoTemporaryFile) {
#ifdef __linux__
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    Folder f;
    const std::string report = reportText("1234", "A 1. f", "\n");
    f.Write("r.htm", report);
    RunOptions options;
    options.stopAtSyscall = SYS_fsync;
    options.signal = sig;
    RunResult r = runProgram(f.path(), options);
    if (r.status == 125)
      GTEST_SKIP() << "this machine does not let a test trace its child";
    ASSERT_TRUE(r.stopped) << r.out << r.err;
    EXPECT_EQ(128 + sig, r.status);
    const std::map<std::string, std::string> want = {
        {"1234_A/", kDirectory},
        {"r.htm", report},
    };
    EXPECT_EQ(want, f.Tree()) << "signal " << sig;
  }
#else
  GTEST_SKIP() << "the program is stopped mid-copy with Linux's ptrace";
#endif
}

}  // namespace
