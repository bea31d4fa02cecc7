// End-to-end tests of a folder named on the command line and of the dry
// run: each is checked against the run it stands for, and what it must not
// touch is compared byte for byte with its mode and times.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace {

using Tree = std::map<std::string, std::string>;

// `tree` without the entries at and below `dir`.
Tree without(Tree tree, const std::string& dir) {
  for (auto it = tree.begin(); it != tree.end();) {
    if (startsWith(it->first, dir + "/"))
      it = tree.erase(it);
    else
      ++it;
  }
  return tree;
}

RunOptions withArguments(const std::vector<std::string>& arguments) {
  RunOptions options;
  options.arguments = arguments;
  return options;
}

// Reports for a new directory, an existing one and one that stays (its
// directory's name is taken by a file).
void fillWithReports(const std::string& dir) {
  ASSERT_EQ(0, mkdir(dir.c_str(), 0777)) << dir;
  writeFile(dir + "/a.htm", reportText("1111", "A 1. f"));
  writeFile(dir + "/b.htm", reportText("2222", "B 1. f", "\n"));
  ASSERT_EQ(0, mkdir((dir + "/2222_B").c_str(), 0777));
  writeFile(dir + "/c.htm", reportText("3333", "C 1. f"));
  writeFile(dir + "/3333_C", "a file on the directory's name");
}

// A run given a folder, from the folder above it or from inside it, does
// what a run started in that folder does: the same output and status, the
// same tree inside it, and nothing changed outside it.
TEST(EndToEnd, SortsTheFolderItIsGiven) {
  const std::string kAbsolute = "<absolute>";
  const struct Case {
    const char* what;
    std::string folder;  // its name in the start folder
    bool startInside;    // the run starts in the folder itself
    std::vector<std::string> args;  // kAbsolute: the folder's full path
    std::vector<std::string> twinArgs;  // of the run started in its twin
  } cases[] = {
      {"relative", "reports", false, {"reports"}, {}},
      {"absolute", "reports", false, {kAbsolute}, {}},
      {"a name starting with '-'", "-r", false, {"--", "-r"}, {}},
      {"the folder itself", "reports", true, {"."}, {}},
      {"no folder after --", "reports", true, {"--"}, {}},
      {"a dry run", "reports", false, {"-n", "reports"}, {"-n"}},
      {"a dry run, the option last", "my reports", false,
       {kAbsolute, "--dry-run"}, {"--dry-run"}},
  };
  for (const Case& c : cases) {
    Folder start;
    start.Write("s.htm", reportText("4444", "S 1. f"));
    const std::string folder = start.path() + "/" + c.folder;
    fillWithReports(folder);
    const std::string twin = start.Sibling("-twin");
    fillWithReports(twin);
    const Tree startBefore = without(stampedTreeOf(start.path()), c.folder);

    RunResult want = runProgram(twin, withArguments(c.twinArgs));
    std::vector<std::string> args = c.args;
    for (std::string& arg : args)
      arg = arg == kAbsolute ? folder : arg;
    RunResult r = runProgram(c.startInside ? folder : start.path(),
                             withArguments(args));

    EXPECT_EQ(1, want.status) << c.what;
    EXPECT_NE(std::string::npos, want.out.find("HIBA")) << c.what;
    EXPECT_EQ(want.status, r.status) << c.what;
    EXPECT_EQ(want.out, r.out) << c.what;
    EXPECT_EQ(want.err, r.err) << c.what;
    EXPECT_EQ(treeOf(twin), treeOf(folder)) << c.what;
    EXPECT_EQ(startBefore, without(stampedTreeOf(start.path()), c.folder))
        << c.what;
  }
}

// A dry run prints what the run that follows it prints, with its status,
// and leaves the folder as it was, to the access time.
TEST(EndToEnd, DryRunTellsWhatTheRunDoes) {
  const struct Case {
    const char* what;
    void (*setUp)(Folder&);
    int status;
    std::string lines;
    bool symlink = false;  // sets one up
  } cases[] = {
      {"new and existing directories",
       [](Folder& f) {
         f.Write("a.htm", reportText("1111", "A 1. f"));
         f.Write("b.htm", reportText("1111", "A 2. f"));
         f.MakeDir("2222_B");
         f.Write("2222_B/c.htm", "an older copy");
         f.Write("c.htm", reportText("2222", "B 1. f"));
       },
       0,
       "       a.htm : 1111_A - konyvtar letrehozva\n"
       "       b.htm : 1111_A\n"
       "       c.htm : 2222_B\n"},
      {"LF reports",
       [](Folder& f) {
         f.Write("lf.htm", reportText("3333", "C 1. f", "\n"));
         f.MakeDir("4444");
         f.Write("4444/m.htm", "an older copy");
         f.Write("m.htm", reportText("4444", "", "\n"));
       },
       0,
       "      lf.htm : 3333_C - konyvtar letrehozva\n"
       "       m.htm : 4444\n"},
      {"too big",
       [](Folder& f) {
         f.Write("big.htm", reportText("1234", "A 1. f", "\n") +
                                std::string(1024000, 'x'));
       },
       1, "     big.htm : 1234_A - HIBA: a fajl tul nagy\n"},
      {"an invalid name",
       [](Folder& f) { f.Write("r.htm", reportWithId("../.", "")); },
       1, "       r.htm : ../. - HIBA: ervenytelen konyvtarnev\n"},
      {"taken names",
       [](Folder& f) {
         f.Write("a.htm", reportText("1111", "A 1. f"));
         f.Write("1111_A", "a file on the directory's name");
         f.Write("b.htm", reportText("2222", "B 1. f"));
         const std::string elsewhere = f.Sibling("-elsewhere");
         ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0777));
         f.Symlink(elsewhere, "2222_B");
         f.Write("c.htm", reportText("3333", "C 1. f", "\n"));
         f.MakeDir("3333_C");
         f.MakeDir("3333_C/c.htm");
       },
       1,
       "       a.htm : 1111_A - HIBA: a konyvtar nem hozhato letre "
       "(mkdir(1111_A): File exists)\n"
       "       b.htm : 2222_B - HIBA: a konyvtar nem hozhato letre "
       "(mkdir(2222_B): File exists)\n"
       "       c.htm : 3333_C - HIBA: a masolat nem irhato "
       "(3333_C/c.htm: not a regular file)\n",
       true},
  };
  std::string notSetUp;  // cases this file system cannot hold
  for (const Case& c : cases) {
    Folder f;
    const std::string refused = c.symlink ? f.RefusesSymlink() : "";
    if (!refused.empty()) {
      notSetUp += std::string(c.what) + ": this file system cannot hold " +
                  refused + "; ";
      continue;
    }
    c.setUp(f);
    const Tree before = stampedTreeOf(f.path());
    RunResult dry = runProgram(f.path(), withArguments({"-n"}));
    EXPECT_EQ(before, stampedTreeOf(f.path())) << c.what;

    RunResult r = runProgram(f.path());
    EXPECT_EQ(c.status, r.status) << c.what;
    EXPECT_EQ(c.lines, linesBetweenBanners(r.out)) << c.what;
    EXPECT_EQ(r.status, dry.status) << c.what;
    EXPECT_EQ(r.out, dry.out) << c.what;
    EXPECT_EQ(r.err, dry.err) << c.what;
  }
  if (!notSetUp.empty())
    GTEST_SKIP() << "the other cases ran; not set up: " << notSetUp;
}

}  // namespace
