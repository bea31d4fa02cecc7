#include "sorting_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "buffers.h"
#include "test_util.h"
#include "virtual_disk.h"

namespace {

struct RunResult {
  int status;
  std::string lines;  // output between the banners
};

RunResult run(VirtualDisk& disk) {
  CapturingConsole console;
  int status = sortReports(disk, console);
  EXPECT_EQ(1, console.keyWaits);
  EXPECT_EQ(0u, disk.OpenHandles());
  EXPECT_EQ(0u, disk.OpenDirs());
  EXPECT_EQ("", console.err);
  return {status, linesBetweenBanners(console.out)};
}

TEST(SortReports, EmptyFolder) {
  VirtualDisk disk;
  RunResult r = run(disk);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Nincs fordulo a konyvtarban!\n", r.lines);
  EXPECT_TRUE(disk.log.empty());
}

TEST(SortReports, MovesReportsInListingOrder) {
  VirtualDisk disk;
  const std::string a = reportText("1234", "Eszaki Tabor 12. fordulo");
  const std::string b = reportText("1234", "Eszaki Tabor 13. fordulo", "\n");
  const std::string c = reportText("0042", "");
  const std::string d = reportText("7777", "Del 1. fordulo");
  disk.files["r13.htm"] = b;
  disk.files["R12.htm"] = a;
  disk.files["a_very_long_name.htm"] = c;
  disk.files["ab.htm"] = d;
  disk.files["notes.htm"] = "<HTML>nothing of the game</HTML>";
  RunResult r = run(disk);
  EXPECT_EQ(0, r.status);
  // Upper-case order: "AB" before "A_", as the home file system lists them.
  EXPECT_EQ(
      "      ab.htm : 7777_Del - konyvtar letrehozva\n"
      "a_very_long_name.htm : 0042 - konyvtar letrehozva\n"
      "     R12.htm : 1234_Eszaki Tabor - konyvtar letrehozva\n"
      "     r13.htm : 1234_Eszaki Tabor\n",
      r.lines);
  const std::map<std::string, std::string> want = {
      {"1234_Eszaki Tabor/R12.htm", a},
      {"1234_Eszaki Tabor/r13.htm", reportText("1234", "Eszaki Tabor 13. fordulo")},
      {"0042/a_very_long_name.htm", c},
      {"7777_Del/ab.htm", d},
      {"notes.htm", "<HTML>nothing of the game</HTML>"},
  };
  EXPECT_EQ(want, disk.files);
}

TEST(SortReports, CrLfReportMovesByRenameAlone) {
  VirtualDisk disk;
  disk.files["a.htm"] = reportText("1234", "X 1. f");
  disk.files["b.htm"] = reportText("1234", "X 2. f", "\n");
  run(disk);
  const std::vector<std::string> want = {
      "mkdir 1234_X",
      "rename a.htm 1234_X/a.htm",
      "create 1234_X/b.htm",
      "write 1234_X/b.htm",
      "commit 1234_X/b.htm",
      "remove b.htm",
  };
  EXPECT_EQ(want, disk.log);
}

TEST(SortReports, NonFilesAndNonReportsStaySilent) {
  VirtualDisk disk;
  disk.others.insert("link.htm");
  disk.files["empty.htm"] = "";
  disk.files["marker.htm"] = kMarker;
  disk.files["big.htm"] = std::string(REPORT_BUFFER_SIZE, 'x');
  RunResult r = run(disk);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.lines);
  EXPECT_TRUE(disk.log.empty());
}

// A report whose move fails stays byte for byte, and its line says why.
struct FaultCase {
  const char* op;
  const char* path;
  const char* eol;  // line ends of the report
  std::string tail;  // end of the report's line
};

TEST(SortReports, EveryFailureLeavesTheReport) {
  const std::string head = "       r.htm : 1234_X";
  const std::string made = " - konyvtar letrehozva";
  const FaultCase cases[] = {
      {"opendir", "", "\r\n",
       " - HIBA: a konyvtar nem hozhato letre (opendir(1234_X): injected "
       "fault)"},
      {"move", "", "\r\n",
       made + " - HIBA: a fajl nem helyezheto at (move(r.htm): injected fault)"},
      {"createcopy", "", "\n",
       made + " - HIBA: a masolat nem irhato (createcopy(1234_X/r.htm): "
              "injected fault)"},
      {"write", "", "\n",
       made + " - HIBA: a masolat nem irhato (write(1234_X/r.htm): injected "
              "fault)"},
      {"commit", "", "\n",
       made + " - HIBA: a masolat nem irhato (commit(1234_X/r.htm): injected "
              "fault)"},
  };
  for (const FaultCase& c : cases) {
    VirtualDisk disk;
    const std::string report = reportText("1234", "X 1. f", c.eol);
    disk.files["r.htm"] = report;
    disk.Fail(c.op, c.path);
    RunResult r = run(disk);
    EXPECT_EQ(1, r.status) << c.op;
    EXPECT_EQ(head + c.tail + "\n", r.lines) << c.op;
    EXPECT_EQ(report, disk.files["r.htm"]) << c.op;
    EXPECT_EQ(1u, disk.files.size()) << c.op;
  }
}

TEST(SortReports, SourceThatCannotBeRemovedKeepsBoth) {
  VirtualDisk disk;
  const std::string report = reportText("1234", "X 1. f", "\n");
  disk.files["r.htm"] = report;
  disk.Fail("remove", "r.htm", "Operation not permitted");
  RunResult r = run(disk);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("       r.htm : 1234_X - konyvtar letrehozva - HIBA: a fajl nem "
            "torolheto (remove(r.htm): Operation not permitted)\n",
            r.lines);
  EXPECT_EQ(report, disk.files["r.htm"]);
  EXPECT_EQ(reportText("1234", "X 1. f"), disk.files["1234_X/r.htm"]);
}

TEST(SortReports, UnreadableEntry) {
  VirtualDisk disk;
  disk.files["r.htm"] = reportText("1234", "X 1. f");
  disk.files["s.htm"] = reportText("1234", "X 2. f");
  disk.Fail("read", "r.htm", "Input/output error");
  RunResult r = run(disk);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("       r.htm : HIBA: a fajl nem olvashato (read(r.htm): "
            "Input/output error)\n"
            "       s.htm : 1234_X - konyvtar letrehozva\n",
            r.lines);
  EXPECT_EQ(1u, disk.files.count("r.htm"));
}

TEST(SortReports, OccupiedNames) {
  struct Case {
    const char* what;
    void (*setup)(VirtualDisk&);
    std::string tail;
  } cases[] = {
      {"file on the directory's name",
       [](VirtualDisk& d) { d.files["1234_X"] = "x"; },
       " - HIBA: a konyvtar nem hozhato letre (mkdir(1234_X): File exists)"},
      {"link on the directory's name",
       [](VirtualDisk& d) { d.others.insert("1234_X"); },
       " - HIBA: a konyvtar nem hozhato letre (mkdir(1234_X): File exists)"},
      {"directory on the report's name",
       [](VirtualDisk& d) {
         d.dirs.insert("1234_X");
         d.dirs.insert("1234_X/r.htm");
       },
       " - HIBA: a masolat nem irhato (1234_X/r.htm: not a regular file)"},
  };
  for (const Case& c : cases) {
    VirtualDisk disk;
    const std::string report = reportText("1234", "X 1. f");
    disk.files["r.htm"] = report;
    c.setup(disk);
    RunResult r = run(disk);
    EXPECT_EQ(1, r.status) << c.what;
    EXPECT_EQ("       r.htm : 1234_X" + c.tail + "\n", r.lines) << c.what;
    EXPECT_EQ(report, disk.files["r.htm"]) << c.what;
  }
}

TEST(SortReports, ExistingCopyIsReplaced) {
  VirtualDisk disk;
  disk.dirs.insert("1234_X");
  disk.files["1234_X/r.htm"] = "older copy";
  disk.files["r.htm"] = reportText("1234", "X 1. f");
  RunResult r = run(disk);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("       r.htm : 1234_X\n", r.lines);
  EXPECT_EQ(reportText("1234", "X 1. f"), disk.files["1234_X/r.htm"]);
  EXPECT_EQ(0u, disk.files.count("r.htm"));
}

TEST(SortReports, UnsafeDirectoryNames) {
  struct Case {
    std::string id, title;
    std::string shown;  // what the line shows after " : "
  } cases[] = {
      {"../.", "", "../."},
      {"../.", "X 1. f", "../._X"},
      {"..", "", ".."},
      {".", "", "."},
      {"", "", ""},
      {"a/b", "", "a/b"},
      {"a\\b", "", "a\\b"},
      {"12\t4", "", "12?4"},
      {"12\x7f" "4", "", "12?4"},
      {"1234", "A\x1b[2J 1. f", "1234_A?[2J"},
  };
  for (const Case& c : cases) {
    VirtualDisk disk;
    const std::string report = reportWithId(c.id, c.title);
    disk.files["r.htm"] = report;
    RunResult r = run(disk);
    EXPECT_EQ(1, r.status) << c.shown;
    EXPECT_EQ("       r.htm : " + c.shown +
                  " - HIBA: ervenytelen konyvtarnev\n",
              r.lines);
    EXPECT_EQ(report, disk.files["r.htm"]) << c.shown;
    EXPECT_EQ(1u, disk.files.size()) << c.shown;
    EXPECT_TRUE(disk.dirs.empty()) << c.shown;
  }
}

TEST(SortReports, TooBig) {
  VirtualDisk disk;
  const std::string report = reportText("1234", "X 1. f", "\n");
  const std::string fits = report + std::string(REPORT_BUFFER_SIZE - 1 - report.size(), 'x');
  const std::string big = fits + "x";
  disk.files["big.htm"] = big;
  disk.files["fits.htm"] = fits;
  // Recognisable only past what fits: skipped like any other file.
  disk.files["other.htm"] = std::string(REPORT_BUFFER_SIZE, 'x') + report;
  RunResult r = run(disk);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("     big.htm : 1234_X - HIBA: a fajl tul nagy\n"
            "    fits.htm : 1234_X - konyvtar letrehozva\n",
            r.lines);
  EXPECT_TRUE(big == disk.files["big.htm"]);
  EXPECT_TRUE(withLineEnds(fits, "\r\n") == disk.files["1234_X/fits.htm"]);
  EXPECT_EQ(1u, disk.files.count("other.htm"));
}

TEST(SortReports, ListingFails) {
  VirtualDisk disk;
  disk.Fail("list", "", "No such file or directory");
  RunResult r = run(disk);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("HIBA: a konyvtar nem olvashato (list(.): No such file or "
            "directory)\n",
            r.lines);
}

TEST(SortReports, LongestNamesFitTheBuffers) {
  // The longest identifier and title name, in letters that take three bytes
  // in UTF-8, and the longest entry name a directory search can give.
  const std::string id(4, '\xA2');
  const std::string title(27, '\xFF');
  const std::string name = std::string(255, 'n') + ".htm";
  VirtualDisk disk;
  const std::string report = reportText(id, title + " 1. f");
  disk.files[name] = report;
  RunResult r = run(disk);
  EXPECT_EQ(0, r.status);
  std::string dir;
  appendReportName(&dir, (id + "_" + title).c_str());
  EXPECT_EQ(report, disk.files[dir + "/" + name]);
  EXPECT_EQ(1u, disk.files.size());
}

int allocations = 0;
int failAt = 0;
void* failingAllocate(size_t size) {
  return ++allocations == failAt ? nullptr : std::malloc(size);
}

TEST(SortReports, AllocationFailure) {
  for (failAt = 1; failAt <= 5; ++failAt) {
    allocations = 0;
    VirtualDisk disk;
    disk.files["r.htm"] = reportText("1234", "X 1. f");
    CapturingConsole console;
    EXPECT_EQ(3, sortReports(disk, console, failingAllocate));
    EXPECT_EQ("", console.out);
    EXPECT_EQ("\r\nAbnormal program termination\r\n", console.err);
    EXPECT_EQ(0, console.keyWaits);
    EXPECT_EQ(failAt, allocations);
    EXPECT_TRUE(disk.log.empty());
  }
}

// LF reports are copied, and their copies committed, several at once;
// every line is whole and in the order of the listing, whatever report
// waits for its commit or is tried again, and each report is moved.
TEST(SortReports, CopiesCommittedTogetherLinesInOrder) {
  VirtualDisk disk;
  std::string want;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "r" + std::to_string(100 + i) + ".htm";
    const std::string id = std::to_string(1000 + i % 3);
    disk.files[name] = reportText(id, "A 1. f", i % 5 ? "\n" : "\r\n");
    want += "    " + name + " : " + id + "_A" +
            (i < 3 ? " - konyvtar letrehozva" : "") + "\n";
  }
  // A report moved by rename in the midst of them fails.
  disk.Fail("move", "r135");
  want.replace(want.find("r135.htm : 1002_A") + 17, 1,
               " - HIBA: a fajl nem helyezheto at (move(r135.htm): injected "
               "fault)\n");
  // So does one whose original another program holds through every try.
  disk.Fail("remove", "r121", "held");
  want.replace(want.find("r121.htm : 1000_A") + 17, 1,
               " - HIBA: a fajl nem torolheto (remove(r121.htm): held)\n");
  RunResult r = run(disk);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(want, r.lines);
  EXPECT_EQ(16u, disk.mostCopiesCommitted);
  EXPECT_EQ(41u, disk.files.size());  // 38 moved; r135, r121 and its copy
}

// Every call of a run failing in turn, in each way the call can report,
// on a small folder: each report ends up moved whole, or untouched in its
// place (beside a whole copy only with a HIBA line); no file stays open
// and no copy is left half made; and the exit status says which.
TEST(SortReports, EveryCallFailingInTurn) {
  struct Report {
    std::string name, bytes, dest, copy;
  };
  const std::vector<Report> reports = {
      {"a.htm", reportText("1234", "X 1. f"), "1234_X/a.htm",
       reportText("1234", "X 1. f")},
      {"b.htm", reportText("1234", "X 2. f", "\n"), "1234_X/b.htm",
       reportText("1234", "X 2. f")},
      {"c.htm", reportText("5678", ""), "5678/c.htm", reportText("5678", "")},
  };
  auto setUp = [&reports](VirtualDisk* disk) {
    for (const Report& r : reports)
      disk->files[r.name] = r.bytes;
    disk->dirs.insert("1234_X");
    disk->files["1234_X/b.htm"] = "an older copy";
    disk->files["notes.htm"] = "not a report";
  };
  VirtualDisk clean;
  setUp(&clean);
  const RunResult cleanRun = run(clean);
  ASSERT_EQ(0, cleanRun.status);
  const std::vector<std::string> kinds = clean.kindsOfCall;

  for (size_t call = 1; call <= kinds.size(); ++call) {
    std::istringstream words(kinds[call - 1]);
    for (std::string kind; words >> kind;) {
      const std::string what = "call " + std::to_string(call) + " " + kind;
      VirtualDisk disk;
      setUp(&disk);
      disk.FailCall(call, kind);
      CapturingConsole console;
      int status = sortReports(disk, console);
      EXPECT_EQ(0u, disk.OpenHandles()) << what;
      EXPECT_EQ(0u, disk.OpenDirs()) << what;
      if (kind == "throw") {
        EXPECT_EQ(3, status) << what;
        EXPECT_EQ("\r\nAbnormal program termination\r\n", console.err);
      } else {
        EXPECT_EQ("", console.err) << what;
      }
      bool allMoved = true;
      for (const Report& r : reports) {
        const bool copied = disk.files.count(r.dest) &&
                            disk.files[r.dest] == r.copy;
        const size_t at = console.out.find(" " + r.name + " : ");
        const std::string line =
            at == std::string::npos
                ? ""
                : console.out.substr(at, console.out.find('\n', at) - at);
        if (std::count(disk.log.begin(), disk.log.end(), "vanish " + r.name)) {
          // Another program took it: no line when that was before it was
          // read, and otherwise a line that says it is gone.
          const std::string gone = " - a fajl eltunt";
          EXPECT_TRUE(line.empty() ||
                      (line.size() > gone.size() &&
                       line.compare(line.size() - gone.size(), gone.size(),
                                    gone) == 0))
              << what << ": " << line;
          continue;
        }
        if (!disk.files.count(r.name)) {
          EXPECT_TRUE(copied) << what << ": " << r.name << " lost";
          continue;
        }
        allMoved = false;
        EXPECT_EQ(r.bytes, disk.files[r.name]) << what;
        if (copied && kind != "throw") {
          EXPECT_NE(std::string::npos, line.find("HIBA"))
              << what << ": " << r.name << " in both places";
        }
      }
      for (const auto& file : disk.files) {
        bool known = file.first == "notes.htm";
        for (const Report& r : reports)
          known = known || file.first == r.name || file.first == r.dest;
        EXPECT_TRUE(known) << what << ": " << file.first;
      }
      // An entry that the disk says is no file is no report: it stays
      // without a word.
      if (kind != "throw") {
        const bool told = console.out.find("HIBA") != std::string::npos;
        EXPECT_EQ(told ? 1 : 0, status) << what;
        EXPECT_TRUE(told || allMoved || kind == "notafile") << what;
        // Held once, a report is tried again: as if it never was.
        EXPECT_TRUE(kind != "held" ||
                    cleanRun.lines == linesBetweenBanners(console.out))
            << what << ":\n" << console.out;
      }
    }
  }
}

}  // namespace
