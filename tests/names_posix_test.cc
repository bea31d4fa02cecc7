// Names on POSIX hosts: report names become UTF-8, and the C1 control
// characters of ISO-8859-2 are refused.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "sorting_run.h"
#include "test_util.h"
#include "virtual_disk.h"

namespace {

TEST(PosixNames, RefusesOnlyC1Controls) {
  const struct {
    std::string name;
    bool refused;
  } cases[] = {
      {"12\x80" "4", true},  {"12\x85" "4", true},   {"\x9F", true},
      {"\xA0", false},       {"1234_\xC9szaki", false},
      {"CON", false},        {"a:b?*", false},       {"trailing. ", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.refused, hostRefusesDirName(c.name.c_str())) << c.name;
}

TEST(PosixNames, ReportNamesBecomeUtf8) {
  const struct {
    std::string raw, local;
  } cases[] = {
      {"1234_Tabor", "1234_Tabor"},
      {"\xC9szaki T\xE1" "bor", "\xC3\x89szaki T\xC3\xA1" "bor"},
      {"\xD5\xF5\xDB\xFB", "\xC5\x90\xC5\x91\xC5\xB0\xC5\xB1"},  // ŐőŰű
      {"\xA0\xA1", "\xC2\xA0\xC4\x84"},                         // NBSP, Ą
      {"\xFF", "\xCB\x99"},                                     // dot above
  };
  for (const auto& c : cases) {
    std::string out = "x";
    appendReportName(&out, c.raw.c_str());
    EXPECT_EQ("x" + c.local, out) << c.raw;
  }
}

TEST(PosixNames, ConsoleShowsValidUtf8AndCountsCharacters) {
  const struct {
    std::string name, shown;
    size_t columns;
  } cases[] = {
      {"plain.htm", "plain.htm", 9},
      {"k\xC3\xB6r", "k\xC3\xB6r", 3},
      {"\xE2\x82\xAC", "\xE2\x82\xAC", 1},
      {"a\x1b[1m\x7f", "a?[1m?", 6},
      {"\xC2\x85", "?", 1},       // C1 control
      {"\xC9szaki", "?szaki", 6},  // ISO-8859-2, not UTF-8
      {"\xED\xA0\x80", "???", 3},  // surrogate
      {"\xE2\x82", "??", 2},       // cut short
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(c.columns, appendForConsole(&out, c.name.data(), c.name.size()))
        << c.name;
    EXPECT_EQ(c.shown, out) << c.name;
  }
}

TEST(PosixNames, C1ControlInIdentifierLeavesTheReport) {
  VirtualDisk disk;
  const std::string report = kMarker + "\r\n" + kLabel + "12\x85" "4";
  disk.files["r.htm"] = report;
  CapturingConsole console;
  EXPECT_EQ(EXIT_SOME_LEFT, sortReports(disk, console));
  EXPECT_NE(std::string::npos,
            console.out.find("\n       r.htm : 12?4 - HIBA: ervenytelen "
                             "konyvtarnev\n"))
      << console.out;
  EXPECT_EQ(report, disk.files["r.htm"]);
  EXPECT_TRUE(disk.dirs.empty());
}

}  // namespace
