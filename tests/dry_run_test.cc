#include "dry_run.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "sorting_run.h"
#include "test_util.h"
#include "virtual_disk.h"

namespace {

struct Outcome {
  int status;
  std::string out;
};

Outcome run(DiskInterface& disk) {
  CapturingConsole console;
  int status = sortReports(disk, console);
  EXPECT_EQ("", console.err);
  EXPECT_EQ(1, console.keyWaits);
  return {status, console.out};
}

// What a disk holds, to see that a dry run left it as it was.
std::string contents(const VirtualDisk& disk) {
  std::ostringstream all;
  for (const auto& file : disk.files)
    all << file.first << "=" << file.second << "\n";
  for (const std::string& dir : disk.dirs)
    all << dir << "/\n";
  for (const std::string& other : disk.others)
    all << other << "@\n";
  return all.str();
}

// A dry run prints what the run that follows it prints, and ends with its
// status, while the disk stays as it was: nothing written, no file left
// open.
TEST(DryRun, TellsWhatTheRunDoes) {
  const struct Case {
    const char* what;
    void (*setUp)(VirtualDisk&);
    std::string shows;  // a part of the lines that the case is about
  } cases[] = {
      {"new, existing and evicted directories",
       [](VirtualDisk& d) {
         // More directories than a run holds open: the first is opened
         // again at the end, and was made only once.
         for (int i = 0; i < 66; ++i)
           d.files["a" + std::to_string(100 + i) + ".htm"] =
               reportText(std::to_string(1000 + i), "A 1. f");
         d.files["b.htm"] = reportText("1000", "A 2. f", "\n");
         d.dirs.insert("2000_A");
         d.files["2000_A/c.htm"] = "an older copy";
         d.files["c.htm"] = reportText("2000", "A 1. f", "\n");
       },
       "       b.htm : 1000_A\n       c.htm : 2000_A\n"},
      {"too big",
       [](VirtualDisk& d) {
         d.files["big.htm"] = reportText("1234", "A 1. f", "\n") +
                              std::string(1024000, 'x');
       },
       "HIBA: a fajl tul nagy"},
      {"invalid name",
       [](VirtualDisk& d) { d.files["r.htm"] = reportWithId("../.", ""); },
       "HIBA: ervenytelen konyvtarnev"},
      {"taken names",
       [](VirtualDisk& d) {
         d.files["a.htm"] = reportText("1111", "A 1. f");
         d.files["1111_A"] = "a file";
         d.files["b.htm"] = reportText("2222", "B 1. f");
         d.others.insert("2222_B");
         d.files["c.htm"] = reportText("3333", "C 1. f");
         d.dirs.insert("3333_C");
         d.dirs.insert("3333_C/c.htm");
         d.files["d.htm"] = reportText("3333", "C 2. f", "\n");
         d.others.insert("3333_C/d.htm");
       },
       "(3333_C/d.htm: not a regular file)\n"},
      {"a name that a move frees",
       [](VirtualDisk& d) {
         // Moved by rename, and copied and removed.
         d.files["1234_x.htm"] = reportText("5555", "A 1. f");
         d.files["1235_x.htm"] = reportText("5555", "A 2. f", "\n");
         d.files["y.htm"] = reportText("1234", "x.htm 1. f");
         d.files["z.htm"] = reportText("1235", "x.htm 1. f");
       },
       "1234_x.htm - konyvtar letrehozva\n       z.htm : 1235_x.htm - konyvtar"},
      {"a destination that is the report",
       [](VirtualDisk& d) {
         d.files["r.htm"] = reportText("1234", "A 1. f");
         d.dirs.insert("1234_A");
         d.files["1234_A/r.htm"] = d.files["r.htm"];
         d.inodes["r.htm"] = d.inodes["1234_A/r.htm"] = 7;
       },
       "       r.htm : 1234_A\n"},
  };
  for (const Case& c : cases) {
    VirtualDisk disk;
    c.setUp(disk);
    VirtualDisk real = disk;
    const std::string before = contents(disk);
    DryRunDisk dry(disk);
    const Outcome looked = run(dry);
    EXPECT_EQ(before, contents(disk)) << c.what;
    EXPECT_TRUE(disk.log.empty()) << c.what;
    EXPECT_EQ(0u, disk.OpenHandles()) << c.what;

    const Outcome done = run(real);
    EXPECT_EQ(done.status, looked.status) << c.what;
    EXPECT_EQ(done.out, looked.out) << c.what;
    EXPECT_NE(std::string::npos, done.out.find(c.shows))
        << c.what << ":\n" << done.out;
  }
}

// Whatever call fails, in whatever way it can, a dry run changes nothing
// and leaves nothing open.
TEST(DryRun, ChangesNothingWhateverFails) {
  auto setUp = [](VirtualDisk* disk) {
    disk->files["a.htm"] = reportText("1234", "X 1. f");
    disk->files["b.htm"] = reportText("1234", "X 2. f", "\n");
    disk->files["c.htm"] = reportText("5678", "");
    disk->dirs.insert("5678");
    disk->files["5678/c.htm"] = "an older copy";
  };
  VirtualDisk clean;
  setUp(&clean);
  DryRunDisk cleanDry(clean);
  ASSERT_EQ(0, run(cleanDry).status);
  const std::vector<std::string> kinds = clean.kindsOfCall;
  ASSERT_FALSE(kinds.empty());
  for (size_t call = 1; call <= kinds.size(); ++call) {
    std::istringstream words(kinds[call - 1]);
    for (std::string kind; words >> kind;) {
      VirtualDisk disk;
      setUp(&disk);
      const std::string before = contents(disk);
      disk.FailCall(call, kind);
      DryRunDisk dry(disk);
      CapturingConsole console;
      sortReports(dry, console);
      const std::string what = "call " + std::to_string(call) + " " + kind;
      EXPECT_EQ(before, contents(disk)) << what;
      EXPECT_TRUE(disk.log.empty()) << what;
      EXPECT_EQ(0u, disk.OpenHandles()) << what;
    }
  }
}

}  // namespace
