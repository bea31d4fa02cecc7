// Names on Windows: report names stay bytes of the ANSI code page, and the
// names Windows would take for a device or change are refused.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "sorting_run.h"
#include "test_util.h"
#include "virtual_disk.h"

namespace {

TEST(Win32Names, RefusedDirectoryNames) {
  const struct {
    std::string name;
    bool refused;
  } cases[] = {
      {"1234_A<B", true}, {"1234_A>B", true}, {"1234_A:B", true},
      {"1234_A\"B", true}, {"1234_A|B", true}, {"1234_A?B", true},
      {"1234_A*B", true},
      // Devices, in any case, with any extension or trailing spaces.
      {"CON", true}, {"con", true}, {"Prn", true}, {"AUX", true},
      {"NUL", true}, {"COM1", true}, {"com9", true}, {"LPT1", true},
      {"lpt9", true}, {"CON.txt", true}, {"nul.tar.gz", true},
      {"AUX .x", true}, {"aux.", true}, {"nul ", true}, {"NUL  ", true},
      // Windows strips a final space or period.
      {"1234_Tabor ", true}, {"1234_Tabor.", true}, {"1234 .. ", true},
      // Names that only look like devices.
      {"COM0", false}, {"COM10", false}, {"LPT", false}, {"CONX", false},
      {"ACON", false}, {"x.con", false}, {"CON_Tabor", false},
      {"CONIN$", false},
      // ANSI letters, 0x80-0x9F included (code page 1250 has letters there).
      {"1234_\xC9szaki T\xE1" "bor", false}, {"12\x85" "4", false},
      {"\x8A\x9A\x8E\x9E", false}, {"1234", false}, {".hidden", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.refused, hostRefusesDirName(c.name.c_str())) << c.name;
}

TEST(Win32Names, ReportNamesStayVerbatim) {
  for (const std::string raw :
       {"1234_Tabor", "\xC9szaki T\xE1" "bor", "\xD5\xF5\xDB\xFB",
        "\x80\x85\x9F\xA0\xFF"}) {
    std::string out = "x";
    appendReportName(&out, raw.c_str());
    EXPECT_EQ("x" + raw, out) << raw;
  }
}

TEST(Win32Names, ConsoleShowsBytesAndHidesControls) {
  const struct {
    std::string name, shown;
  } cases[] = {
      {"plain.htm", "plain.htm"},
      {"k\xF6r.htm", "k\xF6r.htm"},
      {"a\x1b[1m\x7f", "a?[1m?"},
      {std::string("a\0b\r\n", 5), "a?b??"},
      {"\x85\x9F\xC3\xB6", "\x85\x9F\xC3\xB6"},  // bytes, never sequences
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(c.name.size(),
              appendForConsole(&out, c.name.data(), c.name.size()))
        << c.name;
    EXPECT_EQ(c.shown, out) << c.name;
  }
}

// Runs the sorter over one report and returns the line it printed for it.
std::string lineFor(VirtualDisk& disk, int* status) {
  CapturingConsole console;
  *status = sortReports(disk, console);
  size_t start = console.out.find("       r.htm : ");
  if (start == std::string::npos)
    return "<no line>" + console.out;
  return console.out.substr(start, console.out.find('\n', start) + 1 - start);
}

TEST(Win32Names, SortingRunUsesAnsiBytes) {
  VirtualDisk disk;
  const std::string report = reportText("12\x85" "4", "\xC9szaki 1. f");
  disk.files["r.htm"] = report;
  int status;
  EXPECT_EQ("       r.htm : 12\x85" "4_\xC9szaki - konyvtar letrehozva\n",
            lineFor(disk, &status));
  EXPECT_EQ(EXIT_ALL_MOVED, status);
  EXPECT_EQ(report, disk.files["12\x85" "4_\xC9szaki/r.htm"]);
}

TEST(Win32Names, SortingRunRefusesWindowsNames) {
  const struct {
    std::string id, title, shown;
  } cases[] = {
      {"1234", "A:B 1. f", "1234_A:B"},
      {"CON", "", "CON"},
      {"aux.", "", "aux."},
      {"nul ", "", "nul "},
      {"1234", "Tabor. 1. f", "1234_Tabor."},
  };
  for (const auto& c : cases) {
    VirtualDisk disk;
    const std::string report = reportWithId(c.id, c.title);
    disk.files["r.htm"] = report;
    int status;
    EXPECT_EQ("       r.htm : " + c.shown + " - HIBA: ervenytelen konyvtarnev\n",
              lineFor(disk, &status));
    EXPECT_EQ(EXIT_SOME_LEFT, status) << c.shown;
    EXPECT_EQ(report, disk.files["r.htm"]) << c.shown;
    EXPECT_TRUE(disk.dirs.empty()) << c.shown;
  }
}

}  // namespace
