#include "dry_run.h"

#include <gtest/gtest.h>

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

// A dry run prints what the run that follows it prints, and ends with its
// status, while the disk stays as it was: nothing written, no file left
// open. (The end-to-end tests hold a dry run against the real run for the
// common cases; these are the ones only a run of many steps meets.)
TEST(DryRun, TellsWhatTheRunDoes) {
  const struct Case {
    const char* what;
    void (*setUp)(VirtualDisk&);
    std::string shows;  // a part of the lines that the case is about
  } cases[] = {
      {"more directories than the run holds open",
       [](VirtualDisk& d) {
         // The first is opened again at the end; it was made only once.
         for (int i = 0; i < 66; ++i)
           d.files["a" + std::to_string(100 + i) + ".htm"] =
               reportText(std::to_string(1000 + i), "A 1. f");
         d.files["b.htm"] = reportText("1000", "A 2. f", "\n");
       },
       "       b.htm : 1000_A\n"},
      {"a link on the report's name in its directory",
       [](VirtualDisk& d) {
         d.files["d.htm"] = reportText("3333", "C 2. f");
         d.dirs.insert("3333_C");
         d.others.insert("3333_C/d.htm");
       },
       "(3333_C/d.htm: not a regular file)\n"},
      {"names that moves free",
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
    DryRunDisk dry(disk);
    const Outcome looked = run(dry);
    EXPECT_TRUE(disk.log.empty()) << c.what;  // it logs every change
    EXPECT_EQ(0u, disk.OpenHandles()) << c.what;

    const Outcome done = run(real);
    EXPECT_EQ(done.status, looked.status) << c.what;
    EXPECT_EQ(done.out, looked.out) << c.what;
    EXPECT_NE(std::string::npos, done.out.find(c.shows))
        << c.what << ":\n" << done.out;
  }
}

}  // namespace
