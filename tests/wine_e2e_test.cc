// End-to-end tests of the Windows program: korendezo.exe, 64-bit or the
// shipped 32-bit one, runs under wine (tools/wine-run: ANSI code page 1250,
// as on a Hungarian Windows, unless a test names another) in a scratch
// folder, without a console, and its output and the folder's tree
// afterwards are compared byte for byte.
//
// What wine does that these tests rely on:
// - Every long name has a short one (NAME~XXX.EXT, the extension cut to
//   three letters), so "*.htm" yields "page.html" and "x.htmx" as Windows
//   does where short names exist.
// - Names on disk are UTF-8 whatever the ANSI code page, and reach the W
//   functions as their UTF-16. A name on disk that is not UTF-8 reaches
//   them with each stray byte spelled "\xNN", a name that no call finds:
//   such a report stays where it is.
// - A file without write permission is read-only; unix symbolic links look
//   like the files they lead to (wine has no reparse points for them).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace {

// The banners as Windows prints them, each line ending in CR LF. Made on
// first use: the LF banners are globals of another file.
const std::string& closing() {
  static const std::string banner = withLineEnds(kClosingBanner, "\r\n");
  return banner;
}
const std::string& opening() {
  static const std::string banner = withLineEnds(kOpeningBanner, "\r\n");
  return banner;
}

// Runs the program in `dir` with the ANSI code page `codePage` (1250, 1252
// or 65001, as tools/wine-run makes them), through options.command if set
// (a Windows program that runs it).
RunResult runExe(const std::string& dir, RunOptions options = {},
                 const std::string& codePage = "1250") {
  options.command.insert(options.command.begin(),
                         {"/usr/bin/env", "KORENDEZO_WINE_CODEPAGE=" + codePage,
                          KORENDEZO_WINE_RUN});
  return runProgram(dir, options);
}

// The lines a run printed between its banners.
std::string lines(const RunResult& r) {
  const std::string& out = r.out;
  const size_t open = opening().size(), close = closing().size();
  if (out.size() < open + close || out.compare(0, open, opening()) != 0 ||
      out.compare(out.size() - close, close, closing()) != 0)
    return "<banners missing>" + out;
  return out.substr(open, out.size() - open - close);
}

void makeReadOnly(const std::string& path) {
  ASSERT_EQ(0, chmod(path.c_str(), 0444)) << path;
}

// The text a terminal shows: its control sequences (ESC [ ... final byte,
// ESC and one byte) and carriage returns taken out.
std::string shownText(const std::string& terminal) {
  std::string text;
  for (size_t i = 0; i < terminal.size(); ++i) {
    if (terminal[i] == '\x1b' && i + 1 < terminal.size()) {
      ++i;
      if (terminal[i] == '[') {
        while (i + 1 < terminal.size() &&
               !(terminal[i + 1] >= 0x40 && terminal[i + 1] <= 0x7E))
          ++i;
        ++i;
      }
    } else if (terminal[i] != '\r') {
      text += terminal[i];
    }
  }
  return text;
}


// Windows ignores the arguments: a program started by a double click has
// none to answer, so --help sorts like no argument at all.
TEST(WineEndToEnd, SortsTheExamples) {
  const std::string examples = KORENDEZO_EXAMPLES_DIR;
  const std::map<std::string, std::string> before = treeOf(examples);
  const std::string eszaki = "1234_\xC3\x89szaki T\xC3\xA1" "bor/";
  const std::string deli = "5678_D\xC3\xA9li \xC5\x90rhely/";
  const std::map<std::string, std::string> want = {
      {eszaki, kDirectory},
      {eszaki + "1234_12.htm", before.at("1234_12.htm")},
      {eszaki + "1234_13.htm", before.at("1234_13.htm")},
      {deli, kDirectory},
      {deli + "5678_12.htm", before.at("5678_12.htm")},
      {"9012/", kDirectory},
      {"9012/9012_12.htm", before.at("9012_12.htm")},
      {"hirek.htm", before.at("hirek.htm")},
  };
  for (const char* arg : {"", "--help"}) {
    Folder f;
    for (const auto& entry : before)
      f.Write(entry.first, entry.second);
    RunOptions options;
    if (*arg)
      options.arguments = {arg};
    RunResult r = runExe(f.path(), options);
    EXPECT_EQ(0, r.status) << arg;
    EXPECT_EQ("", r.err) << arg;
    EXPECT_EQ(" 1234_12.htm : 1234_\xC9szaki T\xE1" "bor - konyvtar letrehozva\r\n"
              " 1234_13.htm : 1234_\xC9szaki T\xE1" "bor\r\n"
              " 5678_12.htm : 5678_D\xE9li \xD5rhely - konyvtar letrehozva\r\n"
              " 9012_12.htm : 9012 - konyvtar letrehozva\r\n",
              lines(r)) << arg;
    EXPECT_EQ(want, f.Tree()) << arg;
  }
}

// A folder dropped on the program, the one argument, is sorted, named as
// Windows names it or relative to where the program starts, whatever
// letters its name has; one that cannot be entered is refused, and
// nothing sorted; any other argument is ignored and the program sorts the
// folder it starts in.
TEST(WineEndToEnd, DroppedFolder) {
  const std::string kFullPath = "<full path>";
  const std::string omega = "\xCE\xA9";  // not a letter of code page 1250
  const struct {
    const char* what;
    std::string folder;
    // kFullPath stands for the folder's path as Windows has it.
    std::vector<std::string> args;
    bool sortsIt;  // false: the start folder is sorted
    const char* refusal = nullptr;  // or what is said instead
  } cases[] = {
      {"relative", "reports", {"reports"}, true},
      {"full path", "my reports " + omega, {kFullPath}, true},
      {"a file", "reports", {"notes.txt"}, false},
      {"a missing folder", "reports", {"nosuch"}, false,
       "korendezo: SetCurrentDirectory(nosuch): File not found\r\n"},
      {"two folders", "reports", {"reports", "reports"}, false},
  };
  const std::string r = reportText("1111", "A 1. f");
  const std::string s = reportText("4444", "S 1. f");
  for (const auto& c : cases) {
    Folder f;
    f.Write("s.htm", s);
    f.Write("notes.txt", "notes");
    f.MakeDir(c.folder);
    f.Write(c.folder + "/r.htm", r);
    std::string windowsPath = "Z:" + f.path() + "/" + c.folder;
    for (char& ch : windowsPath)
      ch = ch == '/' ? '\\' : ch;
    RunOptions options;
    for (const std::string& arg : c.args)
      options.arguments.push_back(arg == kFullPath ? windowsPath : arg);
    const std::map<std::string, std::string> before = f.Tree();
    RunResult result = runExe(f.path(), options);
    if (c.refusal) {
      EXPECT_EQ(2, result.status) << c.what;
      EXPECT_EQ(c.refusal, result.out) << c.what;
      EXPECT_EQ(before, f.Tree()) << c.what;
      continue;
    }
    EXPECT_EQ(0, result.status) << c.what;
    EXPECT_EQ(c.sortsIt ? "       r.htm : 1111_A - konyvtar letrehozva\r\n"
                        : "       s.htm : 4444_S - konyvtar letrehozva\r\n",
              lines(result))
        << c.what;
    const std::string in = c.folder + "/";
    std::map<std::string, std::string> want = {
        {"notes.txt", "notes"}, {in, kDirectory}};
    if (c.sortsIt) {
      want.insert({{"s.htm", s}, {in + "1111_A/", kDirectory},
                   {in + "1111_A/r.htm", r}});
    } else {
      want.insert({{"4444_S/", kDirectory}, {"4444_S/s.htm", s},
                   {in + "r.htm", r}});
    }
    EXPECT_EQ(want, f.Tree()) << c.what;
  }
}

TEST(WineEndToEnd, EmptyFolder) {
  Folder f;
  f.Write("notes.txt", reportText("1234", "A 1. f"));
  RunResult r = runExe(f.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(opening() + "Nincs fordulo a konyvtarban!\r\n" + closing(), r.out);
  EXPECT_EQ(1u, f.Tree().size());
}

TEST(WineEndToEnd, WhatIsNotAReportStays) {
  Folder f;
  const std::string news = "<HTML><TITLE>..Hirek 1. szam</TITLE></HTML>\r\n";
  f.Write("hirek.htm", news);
  f.Write("notes.txt", reportText("1234", "A 1. f"));
  f.Write("y.htm.bak", reportText("1234", "A 1. f"));
  f.MakeDir("x.htm");
  f.Write("x.htm/inner.htm", reportText("1234", "A 1. f"));
  const std::map<std::string, std::string> before = f.Tree();
  RunResult r = runExe(f.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", lines(r));
  EXPECT_EQ(before, f.Tree());
}

TEST(WineEndToEnd, ShortNamesBringInLongerExtensions) {
  Folder f;
  f.Write("a.htm", reportText("1234", "A 1. f"));
  f.Write("page.html", reportText("1234", "A 2. f"));
  f.Write("LONG_NAME.HTML", reportText("1234", "A 3. f"));
  f.Write("x.htmx", reportText("1234", "A 4. f"));
  f.Write("y.htm.bak", reportText("1234", "A 5. f"));
  RunResult r = runExe(f.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("       a.htm : 1234_A - konyvtar letrehozva\r\n"
            "LONG_NAME.HTML : 1234_A\r\n"
            "   page.html : 1234_A\r\n"
            "      x.htmx : 1234_A\r\n",
            lines(r));
  const std::map<std::string, std::string> want = {
      {"1234_A/", kDirectory},
      {"1234_A/a.htm", reportText("1234", "A 1. f")},
      {"1234_A/page.html", reportText("1234", "A 2. f")},
      {"1234_A/LONG_NAME.HTML", reportText("1234", "A 3. f")},
      {"1234_A/x.htmx", reportText("1234", "A 4. f")},
      {"y.htm.bak", reportText("1234", "A 5. f")},
  };
  EXPECT_EQ(want, f.Tree());
}

TEST(WineEndToEnd, LineEndsAndOddBytes) {
  // Lone CR, 0x1A and NUL reach the copy; only a bare LF becomes CR LF.
  const std::string odd = std::string("a\rb\x1A" "c") + '\0' + "d";
  Folder f;
  f.Write("crlf.htm", reportText("1234", "A 1. f") + odd + "\r\n");
  f.Write("lf.htm", reportText("1234", "A 1. f", "\n") + odd + "\n");
  f.MakeDir("1234_A");
  f.Write("1234_A/lf.htm", "an older copy");
  RunResult r = runExe(f.path());
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("    crlf.htm : 1234_A\r\n"
            "      lf.htm : 1234_A\r\n",
            lines(r));
  const std::string want = reportText("1234", "A 1. f") + odd + "\r\n";
  const std::map<std::string, std::string> tree = {
      {"1234_A/", kDirectory},
      {"1234_A/crlf.htm", want},
      {"1234_A/lf.htm", want},
  };
  EXPECT_EQ(tree, f.Tree());
}

TEST(WineEndToEnd, ReadOnlyReportIsCopiedAndStays) {
  for (const char* eol : {"\r\n", "\n"}) {
    Folder f;
    const std::string report = reportText("1234", "A 1. f", eol);
    f.Write("r.htm", report);
    makeReadOnly(f.path() + "/r.htm");
    RunResult r = runExe(f.path());
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("       r.htm : 1234_A - konyvtar letrehozva - HIBA: a fajl nem "
              "torolheto (SetFileInformationByHandle(r.htm): Access "
              "denied)\r\n",
              lines(r));
    const std::map<std::string, std::string> want = {
        {"1234_A/", kDirectory},
        {"1234_A/r.htm", reportText("1234", "A 1. f")},
        {"r.htm", report},
    };
    EXPECT_EQ(want, f.Tree()) << "line ends " << (eol[0] == '\r' ? "CR LF" : "LF");
  }
}

TEST(WineEndToEnd, ReadOnlyCopyIsNotReplaced) {
  for (const char* eol : {"\r\n", "\n"}) {
    Folder f;
    const std::string report = reportText("1234", "A 1. f", eol);
    f.Write("r.htm", report);
    f.MakeDir("1234_A");
    f.Write("1234_A/r.htm", "an older copy");
    makeReadOnly(f.path() + "/1234_A/r.htm");
    RunResult r = runExe(f.path());
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("       r.htm : 1234_A - HIBA: a masolat nem irhato "
              "(MoveFileEx(1234_A\\r.htm): Access denied)\r\n",
              lines(r));
    const std::map<std::string, std::string> want = {
        {"1234_A/", kDirectory},
        {"1234_A/r.htm", "an older copy"},
        {"r.htm", report},
    };
    EXPECT_EQ(want, f.Tree()) << "line ends " << (eol[0] == '\r' ? "CR LF" : "LF");
  }
}

TEST(WineEndToEnd, NamesWindowsWouldChangeAreRefused) {
  const struct {
    std::string id, title, shown;
  } cases[] = {
      {"1234", "A:B 1. f", "1234_A:B"},
      {"1234", "A*B 1. f", "1234_A*B"},
      {"CON", "", "CON"},
      {"aux.", "", "aux."},
      {"nul ", "", "nul "},
      {"lpt1", "", "lpt1"},
      {"1234", "Tabor. 1. f", "1234_Tabor."},
  };
  for (const auto& c : cases) {
    Folder f;
    const std::string report = reportWithId(c.id, c.title);
    f.Write("r.htm", report);
    RunResult r = runExe(f.path());
    EXPECT_EQ(1, r.status) << c.shown;
    EXPECT_EQ("       r.htm : " + c.shown +
                  " - HIBA: ervenytelen konyvtarnev\r\n",
              lines(r));
    const std::map<std::string, std::string> want = {{"r.htm", report}};
    EXPECT_EQ(want, f.Tree()) << c.shown;
  }
}

TEST(WineEndToEnd, OccupiedNames) {
  Folder f;
  const std::string a = reportText("1111", "A 1. f");
  const std::string b = reportText("2222", "B 1. f");
  f.Write("a.htm", a);
  f.Write("b.htm", b);
  f.Write("1111_A", "a file on the directory's name");
  f.MakeDir("2222_B");
  f.MakeDir("2222_B/b.htm");
  RunResult r = runExe(f.path());
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("       a.htm : 1111_A - HIBA: a konyvtar nem hozhato letre "
            "(CreateDirectory(1111_A): File exists)\r\n"
            "       b.htm : 2222_B - HIBA: a masolat nem irhato "
            "(2222_B\\b.htm: not a regular file)\r\n",
            lines(r));
  const std::map<std::string, std::string> want = {
      {"1111_A", "a file on the directory's name"},
      {"2222_B/", kDirectory},
      {"2222_B/b.htm/", kDirectory},
      {"a.htm", a},
      {"b.htm", b},
  };
  EXPECT_EQ(want, f.Tree());
}

// Names from a report are ISO-8859-2, as on Linux: 0x8A is a C1 control
// there (a letter of code page 1250), refused as on Linux. A name on disk
// moves as the system spells it.
TEST(WineEndToEnd, NamesOnDiskAndInReports) {
  Folder f;
  const std::string refused = reportWithId("12\x8A" "4", "A 1. f");
  f.Write("r.htm", refused);
  const std::string report = reportWithId("1234", "\xD5rs\xE9g 1. f");
  f.Write("k\xC3\xB6r.htm", report);  // "kör.htm" in UTF-8 on disk
  const std::string stray = reportText("1234", "A 1. f");
  f.Write("raw\xF6.htm", stray);  // not UTF-8
  RunResult r = runExe(f.path());
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("     k\xF6r.htm : 1234_\xD5rs\xE9g - konyvtar letrehozva\r\n"
            "       r.htm : 12?4 - HIBA: ervenytelen konyvtarnev\r\n"
            "    raw?.htm : 1234_A - konyvtar letrehozva\r\n",
            lines(r));
  const std::string dir = "1234_\xC5\x90rs\xC3\xA9g/";
  const std::map<std::string, std::string> want = {
      {dir, kDirectory},
      {dir + "k\xC3\xB6r.htm", report},
      {"1234_A/", kDirectory},
      {"1234_A/raw\xEF\xBF\xBD.htm", stray},
      {"r.htm", refused},
  };
  EXPECT_EQ(want, f.Tree());
}

// A path may have 259 UTF-16 units, however many bytes its UTF-8 takes.
TEST(WineEndToEnd, PathsPastMaxPathFailCleanly) {
  Folder f;
  // The run is in a folder of 100 letters that take two bytes each.
  std::string letters;
  for (int i = 0; i < 100; ++i)
    letters += "\xC5\x91";  // ő
  f.MakeDir(letters);
  const std::string here = f.path() + "/" + letters;
  // Wine shows /tmp/x as Z:\tmp\x. The first reports' own paths take
  // exactly the 259 characters a path may have; in their directory they
  // would take more (the second's copy, not its temporary name). The
  // last's takes 241 in its directory, in 441 bytes.
  const size_t folder = 2 + f.path().size() + 1 + 100 + 1;
  ASSERT_LT(folder, 259u - 20);
  const std::string longest = std::string(259 - folder - 4, 'r') + ".htm";
  ASSERT_LT(folder + 7 + 104, 259u);
  const std::string fits = letters + ".htm";
  const std::string longLf = std::string(259 - folder - 4, 's') + ".htm";
  const std::string report = reportText("1234", "A 1. f");
  const std::string lf = reportText("1234", "A 1. f", "\n");
  writeFile(here + "/" + longest, report);
  writeFile(here + "/" + longLf, lf);
  writeFile(here + "/" + fits, report);
  RunResult r = runExe(here);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(longest + " : 1234_A - konyvtar letrehozva - HIBA: a fajl nem "
                      "helyezheto at (SetFileInformationByHandle(1234_A\\" +
                longest + "): Name too long)\r\n" + longLf +
                " : 1234_A - HIBA: a masolat nem irhato (CreateFile(1234_A\\" +
                longLf + "): Name too long)\r\n" + std::string(100, '\xF5') +
                ".htm : 1234_A\r\n",
            lines(r));
  const std::map<std::string, std::string> want = {
      {"1234_A/", kDirectory},
      {"1234_A/" + fits, report},
      {longest, report},
      {longLf, lf},
  };
  EXPECT_EQ(want, treeOf(here));
}

// A report another program holds without sharing, as a virus scanner does,
// is tried again after the others: moved when let go soon after; left
// with its line in its place when held longer, the run ending meanwhile;
// no line when removed as it is let go.
TEST(WineEndToEnd, ReportHeldByAnotherProgram) {
  const struct {
    const char* ms;  // held after c.htm, next in the listing, has gone
    const char* mode;
    std::string line;  // b.htm's
    const char* holder;  // what came first: the end of the hold or the run
    const char* bAt;  // where b.htm is after the run
  } cases[] = {
      {"600", "KEEP", " : 2222_B - konyvtar letrehozva\r\n", "let go",
       "2222_B/b.htm"},
      {"20000", "KEEP", " : HIBA: a fajl nem olvashato (CreateFile(b.htm): "
       "File in use)\r\n", "ended while held", "b.htm"},
      {"0", "GONE", "", "let go", nullptr},
  };
  for (const auto& c : cases) {
    Folder f;
    f.Write("a.htm", reportText("1111", "A 1. f"));
    f.Write("b.htm", reportText("2222", "B 1. f", "\n"));
    f.Write("c.htm", reportText("3333", "C 1. f"));
    RunOptions options;
    options.command = {KORENDEZO_HOLDER, "b.htm", "c.htm", c.ms, c.mode};
    RunResult r = runExe(f.path(), options);
    EXPECT_EQ(c.line.find("HIBA") != std::string::npos, r.status) << c.ms;
    EXPECT_EQ("       a.htm : 1111_A - konyvtar letrehozva\r\n" +
                  (c.line.empty() ? "" : "       b.htm" + c.line) +
                  "       c.htm : 3333_C - konyvtar letrehozva\r\n",
              lines(r)) << c.ms;
    EXPECT_EQ(c.holder + std::string("\r\n"), r.err) << c.ms;
    const std::map<std::string, std::string> tree = f.Tree();
    EXPECT_TRUE(!c.bAt || tree.count(c.bAt)) << c.ms;
    EXPECT_EQ(4u + (c.bAt != nullptr) + (c.bAt && c.bAt[0] == '2'),
              tree.size()) << c.ms;
  }
}

// In a folder the user may not write, where no lock file can be made
// either, every report stays with its line, and the run does not wait.
TEST(WineEndToEnd, FolderThatCannotBeWritten) {
  Folder f;
  f.Write("a.htm", reportText("1111", "A 1. f"));
  f.Write("b.htm", reportText("2222", "B 1. f", "\n"));
  f.MakeDir("2222_B");
  if (std::system(("chattr +i " + f.path()).c_str()) != 0)
    GTEST_SKIP() << "this file system cannot make a folder immutable";
  RunResult r = runExe(f.path());
  std::system(("chattr -i " + f.path()).c_str());
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("       a.htm : 1111_A - HIBA: a konyvtar nem hozhato letre "
            "(CreateDirectory(1111_A): Access denied)\r\n"
            "       b.htm : 2222_B - HIBA: a fajl nem torolheto (b.htm: "
            "stayed after its removal)\r\n",
            lines(r));
  EXPECT_EQ(4u, f.Tree().size());  // a.htm, b.htm and b.htm's copy
}

TEST(WineEndToEnd, NoWaitWithoutAConsole) {
  // Standard input stays open: a program that waited on it, not on the
  // console, would never end.
  Folder f;
  f.Write("r.htm", reportText("1234", "A 1. f"));
  RunOptions options;
  options.openInput = true;
  RunResult r = runExe(f.path(), options);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ("       r.htm : 1234_A - konyvtar letrehozva\r\n", lines(r));
}

// A destination that is already the report (a hard link) finishes the
// move; a copy keeps the report's times.
TEST(WineEndToEnd, HardLinkedDestinationAndTimes) {
  for (const char* eol : {"\r\n", "\n"}) {
    Folder f;
    f.Write("r.htm", reportText("1234", "A 1. f", eol));
    f.MakeDir("1234_A");
    const std::string report = f.path() + "/r.htm";
    const struct timespec times[2] = {{978310000, 0}, {978307200, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, report.c_str(), times, 0));
    ASSERT_EQ(0, link(report.c_str(), (f.path() + "/1234_A/r.htm").c_str()));
    RunResult r = runExe(f.path());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("       r.htm : 1234_A\r\n", lines(r));
    const std::map<std::string, std::string> want = {
        {"1234_A/", kDirectory},
        {"1234_A/r.htm", reportText("1234", "A 1. f")},
    };
    EXPECT_EQ(want, f.Tree()) << eol[0];
    struct stat st;
    ASSERT_EQ(0, stat((f.path() + "/1234_A/r.htm").c_str(), &st));
    EXPECT_EQ(times[1].tv_sec, st.st_mtim.tv_sec) << eol[0];
  }
}

// What the player reads. On a console the program writes characters, which
// wine puts on its terminal as UTF-8; redirected, a line keeps the report's
// bytes of code page 1250. Paths in messages read as on Windows.
TEST(WineEndToEnd, LinesReadRightOnTheConsoleAndRedirected) {
  const std::string readOnly =
      "       r.htm : 1234_A - HIBA: a masolat nem irhato "
      "(MoveFileEx(1234_A\\r.htm): Access denied)\n";
  const struct {
    const char* where;
    bool onTerminal;
    std::string deli;
  } cases[] = {
      {"console", true,
       " 5678_12.htm : 5678_D\xC3\xA9li \xC5\x90rhely - konyvtar letrehozva\n"},
      {"redirected", false,
       " 5678_12.htm : 5678_D\xE9li \xD5rhely - konyvtar letrehozva\n"},
  };
  for (const auto& c : cases) {
    Folder f;
    f.Write("5678_12.htm", readFile(std::string(KORENDEZO_EXAMPLES_DIR) +
                                    "/5678_12.htm"));
    f.Write("r.htm", reportText("1234", "A 1. f"));
    f.MakeDir("1234_A");
    f.Write("1234_A/r.htm", "an older copy");
    makeReadOnly(f.path() + "/1234_A/r.htm");
    RunOptions options;
    options.onTerminal = c.onTerminal;
    RunResult r = runExe(f.path(), options);
    EXPECT_EQ(1, r.status) << c.where;
    const std::string shown = shownText(r.out);
    EXPECT_NE(std::string::npos, shown.find(c.deli)) << c.where << ":\n" << shown;
    EXPECT_NE(std::string::npos, shown.find(readOnly)) << c.where << ":\n" << shown;
  }
}

// The folder of a player whose names hold letters of every kind, under
// the ANSI code page of a Hungarian Windows (1250), a Western one (1252)
// and Windows' UTF-8 option (65001): whatever the code page, the same
// directories as on Linux, every report moved, each name with its own
// letters on the console, and redirected output in one encoding, 1250
// where the ANSI code page is 1250, UTF-8 elsewhere.
class WineCodePage : public ::testing::TestWithParam<const char*> {};

// `utf8` in code page 1250: only the letters these lines hold, and '?' for
// one that code page lacks.
std::string inCodePage1250(const std::string& utf8) {
  static const std::map<std::string, std::string> kLetters = {
      {"\xC3\x81", "\xC1"}, {"\xC3\x89", "\xC9"}, {"\xC3\xA1", "\xE1"},
      {"\xC3\xA9", "\xE9"}, {"\xC3\xB3", "\xF3"}, {"\xC3\xB5", "?"},
      {"\xC5\x90", "\xD5"}, {"\xC5\x91", "\xF5"}, {"\xC5\xB0", "\xDB"},
  };
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    auto found = kLetters.find(utf8.substr(i, 2));
    if (static_cast<unsigned char>(utf8[i]) >= 0x80 &&
        found != kLetters.end()) {
      out += found->second;
      i += 2;
    } else {
      out += utf8[i++];
    }
  }
  return out;
}

TEST_P(WineCodePage, EveryNameWithItsOwnLetters) {
  const std::string codePage = GetParam();
  const std::string eszaki = "1234_\xC3\x89szaki T\xC3\xA1" "bor/";
  const std::string deli = "5678_D\xC3\xA9li \xC5\x90rhely/";
  const std::string urhajo = "4321_\xC5\xB0rhaj\xC3\xB3 B\xC3\xA1zis/";
  const std::string kek = "9999_K\xC3\xA9k Sas/", kok = "9999_K\xC3\xB3k Sas/";
  const std::string orseg = "\xC5\x91rs\xC3\xA9g_12.htm";   // őrség_12.htm
  const std::string tozsde = "t\xC3\xB5zsde_12.htm";          // tõzsde_12.htm
  // Reports spell their names in ISO-8859-2; some have bare LF line ends,
  // and are copied, the others renamed.
  const struct {
    std::string name, id, title, eol, dir;
  } reports[] = {
      {"1234_12.htm", "1234", "\xC9szaki T\xE1" "bor 12. f", "\n", eszaki},
      {"4321_12.htm", "4321", "\xDBrhaj\xF3 B\xE1zis 12. f", "\r\n", urhajo},
      {"5678_12.htm", "5678", "D\xE9li \xD5rhely 12. f", "\r\n", deli},
      {"9999_12.htm", "9999", "K\xE9k Sas 12. f", "\r\n", kek},
      {"9999_13.htm", "9999", "K\xF3k Sas 13. f", "\n", kok},
      {tozsde, "5678", "D\xE9li \xD5rhely 13. f", "\n", deli},
      {orseg, "1234", "\xC9szaki T\xE1" "bor 13. f", "\r\n", eszaki},
  };
  const std::string made = " - konyvtar letrehozva";
  const std::string shown =
      " 1234_12.htm : " + eszaki.substr(0, eszaki.size() - 1) + made + "\n" +
      " 4321_12.htm : " + urhajo.substr(0, urhajo.size() - 1) + made + "\n" +
      " 5678_12.htm : " + deli.substr(0, deli.size() - 1) + made + "\n" +
      " 9999_12.htm : " + kek.substr(0, kek.size() - 1) + made + "\n" +
      " 9999_13.htm : " + kok.substr(0, kok.size() - 1) + made + "\n" +
      tozsde + " : " + deli.substr(0, deli.size() - 1) + "\n" +
      orseg + " : " + eszaki.substr(0, eszaki.size() - 1) + "\n";
  std::map<std::string, std::string> want;
  for (const auto& report : reports) {
    want[report.dir] = kDirectory;
    want[report.dir + report.name] =
        reportText(report.id, report.title, "\r\n");
  }
  for (bool onTerminal : {false, true}) {
    const char* where = onTerminal ? "console" : "redirected";
    Folder f;
    for (const auto& report : reports)
      f.Write(report.name, reportText(report.id, report.title, report.eol));
    RunOptions options;
    options.onTerminal = onTerminal;
    RunResult r = runExe(f.path(), options, codePage);
    EXPECT_EQ(0, r.status) << where;
    EXPECT_EQ(want, f.Tree()) << where;
    if (onTerminal) {
      // Wine's console shows characters on its terminal in UTF-8.
      const std::string text = shownText(r.out);
      EXPECT_NE(std::string::npos, text.find(shown)) << where << ":\n" << text;
    } else {
      const std::string bytes =
          codePage == "1250" ? inCodePage1250(shown) : shown;
      EXPECT_EQ("", r.err);
      EXPECT_EQ(withLineEnds(bytes, "\r\n"), lines(r)) << where;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    AnsiCodePages, WineCodePage, ::testing::Values("1250", "1252", "65001"),
    [](const ::testing::TestParamInfo<const char*>& param) {
      return std::string("cp") + param.param;
    });

}  // namespace
