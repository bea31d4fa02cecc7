// Names on Windows: report names become UTF-8 as on every host, whatever
// the ANSI code page, and the names Windows would take for a device or
// change are refused.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/win32/win32.h"
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
      // ISO-8859-2 letters; 0x80-0x9F are C1 controls there, refused as on
      // every host (code page 1250 has letters there).
      {"1234_\xC9szaki T\xE1" "bor", false}, {"12\x85" "4", true},
      {"\x8A\x9A\x8E\x9E", true}, {"\x9F", true}, {"\xA0\xFF", false},
      {"1234", false}, {".hidden", false},
      // ISO-8859-2 has no superscript digits: 0xB9 is a letter there.
      {"COM\xB9", false}, {"LPT\xB2", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.refused, hostRefusesDirName(c.name.c_str())) << c.name;
}

TEST(Win32Names, ReportNamesBecomeUtf8) {
  const struct {
    std::string raw, local;
  } cases[] = {
      {"1234_Tabor", "1234_Tabor"},
      {"\xC9szaki T\xE1" "bor", "\xC3\x89szaki T\xC3\xA1" "bor"},
      {"\xD5\xF5\xDB\xFB", "\xC5\x90\xC5\x91\xC5\xB0\xC5\xB1"},  // ŐőŰű
      {"\xA0\xFF", "\xC2\xA0\xCB\x99"},  // no-break space, dot above
  };
  for (const auto& c : cases) {
    std::string out = "x";
    appendReportName(&out, c.raw.c_str());
    EXPECT_EQ("x" + c.local, out) << c.raw;
  }
}

// Names are UTF-8 on Windows too; a lone surrogate, which only a name on
// disk can hold, is one character.
TEST(Win32Names, ConsoleShowsCharactersAndHidesControls) {
  const struct {
    std::string name, shown;
    size_t columns;
  } cases[] = {
      {"plain.htm", "plain.htm", 9},
      {"k\xC3\xB6r.htm", "k\xC3\xB6r.htm", 7},
      {"t\xC3\xB5zsde", "t\xC3\xB5zsde", 6},
      {"\xF0\x9F\x8E\xB2", "\xF0\x9F\x8E\xB2", 1},  // beyond the BMP
      {"a\x1b[1m\x7f", "a?[1m?", 6},
      {std::string("a\0b\r\n", 5), "a?b??", 5},
      {"\xC2\x85", "?", 1},                    // C1 control
      {"a\xED\xA0\x80" "b", "a?b", 3},         // lone surrogate
      {"\xC9", "?", 1},                         // no UTF-8 at all
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(c.columns, appendForConsole(&out, c.name.data(), c.name.size()))
        << c.name;
    EXPECT_EQ(c.shown, out) << c.name;
  }
}

// The system's UTF-16 names and the program's UTF-8 ones, both ways, for
// every name: a pair is one character, a lone surrogate stays as it was.
TEST(Win32Names, NamesRoundTripThroughUtf8) {
  const struct {
    std::wstring units;
    std::string bytes;
  } cases[] = {
      {L"r.htm", "r.htm"},
      {L"\x151rs\xE9g", "\xC5\x91rs\xC3\xA9g"},
      {L"\xD83C\xDFB2", "\xF0\x9F\x8E\xB2"},
      {L"a\xD800" L"b", "a\xED\xA0\x80" "b"},
      {L"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.bytes, win32::fromWide(c.units.c_str())) << c.bytes;
    EXPECT_TRUE(c.units == win32::toWide(c.bytes.c_str())) << c.bytes;
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

TEST(Win32Names, SortingRunUsesUtf8) {
  VirtualDisk disk;
  const std::string report = reportText("12\xD5" "4", "\xC9szaki 1. f");
  disk.files["r.htm"] = report;
  int status;
  EXPECT_EQ("       r.htm : 12\xC5\x90" "4_\xC3\x89szaki - konyvtar "
            "letrehozva\n",
            lineFor(disk, &status));
  EXPECT_EQ(EXIT_ALL_MOVED, status);
  EXPECT_EQ(report, disk.files["12\xC5\x90" "4_\xC3\x89szaki/r.htm"]);
}

TEST(Win32Names, SortingRunRefusesWindowsNames) {
  const struct {
    std::string id, title, shown;
  } cases[] = {
      {"1234", "A:B 1. f", "1234_A:B"},
      {"CON", "", "CON"},
      {"12\x85" "4", "", "12?4"},
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
