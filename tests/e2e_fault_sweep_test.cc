// The program under strace: each file-system call of a run made to fail in
// turn, and the program killed at each (SIGTERM at each step of a copy's
// road too). After every run, each report is whole in exactly one place,
// or in both with its HIBA line; nothing else is in the folder (after
// SIGKILL a temporary file may be, until a second run, which finishes the
// work); the exit status says what happened. An undisturbed run keeps the
// order that makes a move survive a power cut.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "e2e_util.h"
#include "test_util.h"

namespace {

// The calls made to fail, with the error each fails with first.
const std::map<std::string, std::string> kCalls = {
    {"openat", "EIO"},      {"read", "EIO"},       {"preadv2", "EIO"},
    {"write", "ENOSPC"},    {"close", "EIO"},      {"fstat", "EIO"},
    {"newfstatat", "EIO"},  {"getdents64", "EIO"}, {"mkdir", "EIO"},
    {"renameat2", "EXDEV"}, {"renameat", "EIO"},   {"linkat", "EIO"},
    {"unlink", "EIO"},      {"unlinkat", "EIO"},   {"fsync", "EIO"},
    {"fchmod", "EIO"},      {"fchown", "EIO"},     {"utimensat", "EIO"},
    {"mmap", "ENOMEM"},     {"brk", "ENOMEM"},     {"flock", "ENOLCK"},
};
// The calls of a copy's road, at each of which SIGTERM ends a run too.
const std::set<std::string> kCopySteps = {
    "openat", "write",  "close",    "fchown", "fchmod", "utimensat",
    "fsync",  "linkat", "renameat", "renameat2", "unlink", "unlinkat"};
constexpr bool kSanitized = KORENDEZO_SANITIZED;

struct Report {
  std::string name, bytes, dest, older, copy;
};

// CR LF reports are renamed, LF ones copied; into a new directory and into
// one that holds older copies.
const std::vector<Report>& reports() {
  static const std::vector<Report> all = {
      {"a.htm", reportText("1234", "A 1. f"), "1234_A/a.htm", "",
       reportText("1234", "A 1. f")},
      {"b.htm", reportText("1234", "A 2. f", "\n"), "1234_A/b.htm", "",
       reportText("1234", "A 2. f")},
      {"c.htm", reportText("5678", "B 1. f", "\n"), "5678_B/c.htm", "older c",
       reportText("5678", "B 1. f")},
      {"d.htm", reportText("5678", "B 2. f"), "5678_B/d.htm", "older d",
       reportText("5678", "B 2. f")},
  };
  return all;
}

void setUp(Folder* f) {
  f->MakeDir("5678_B");
  for (const Report& r : reports()) {
    f->Write(r.name, r.bytes);
    if (!r.older.empty())
      f->Write(r.dest, r.older);
  }
  f->Write("notes.htm", "not a report");
}

// Checks the folder after a run that went wrong as `what` says; a
// temporary file may be left where `tempsMayStay`. Returns whether every
// report was moved.
bool checkReports(const Folder& f, const RunResult& r, bool killed,
                  bool tempsMayStay, const std::string& what) {
  std::map<std::string, std::string> tree = f.Tree();
  bool allMoved = true;
  for (const Report& report : reports()) {
    auto source = tree.find(report.name);
    auto dest = tree.find(report.dest);
    const bool copied = dest != tree.end() && dest->second == report.copy;
    if (source == tree.end()) {
      EXPECT_TRUE(copied) << what << ": " << report.name << " lost";
    } else {
      allMoved = false;
      EXPECT_EQ(report.bytes, source->second) << what << ": " << report.name;
      // In both places: only with the line saying why (or no line at all).
      const size_t line = r.out.find(" " + report.name + " : ");
      if (copied && !killed && line != std::string::npos) {
        EXPECT_NE(std::string::npos,
                  r.out.substr(line, r.out.find('\n', line) - line)
                      .find("HIBA"))
            << what << ": " << report.name;
      }
      if (!copied && dest != tree.end()) {
        EXPECT_EQ(report.older, dest->second) << what << ": " << report.dest;
      }
    }
    tree.erase(report.name);
    tree.erase(report.dest);
  }
  for (const char* known : {"notes.htm", "1234_A/", "5678_B/"})
    tree.erase(known);
  for (auto it = tree.begin(); tempsMayStay && it != tree.end();) {
    it = it->first.find(".korendezo-") != std::string::npos ? tree.erase(it)
                                                             : std::next(it);
  }
  EXPECT_TRUE(tree.empty()) << what << ": " << tree.begin()->first;
  return allMoved;
}

// What a power cut could undo, seen in the trace (strace -f -y -s 256) of
// a run: a copy given a report's name before its flush, or an original that
// goes (unlinked, or renamed within the folder) before its copy was
// flushed, then given its name, then its directory flushed, and the folder
// flushed since that directory was made, where the run made it. "" when
// nothing did.
std::string powerCutOrderBroken(const std::string& trace) {
  std::map<std::string, std::string> unfinished, temps;  // by thread; name
  std::map<std::string, bool> copies;  // by descriptor: whether flushed
  std::map<std::string, std::pair<std::string, size_t>> placed;  // dir, when
  std::map<std::string, size_t> flushed, made;  // directories: when
  std::string folder, broken;
  const std::regex call(R"(^(?:\d+ +)?(\w+)\((.*)\) += (\d+)(<.*)?$)"),
      token(R"-(<([^>]*)>|"([^"]*)")-");
  std::ifstream in(trace);
  size_t at = 0;
  for (std::string line; broken.empty() && std::getline(in, line); ++at) {
    const std::string thread = line.substr(0, line.find(' '));
    const size_t resumed = line.find(" resumed>");
    if (endsWith(line, " <unfinished ...>"))
      unfinished[thread] = line.substr(0, line.size() - 17);
    else if (resumed != std::string::npos)
      line = unfinished[thread] + line.substr(resumed + 9);
    std::smatch m;
    if (!std::regex_match(line, m, call))
      continue;
    const std::string op = m[1], args = m[2], result = m[3];
    std::vector<std::string> t;  // the paths of descriptors, and strings
    for (std::sregex_iterator i(args.begin(), args.end(), token), e; i != e;
         ++i)
      t.push_back((*i)[1].matched ? (*i)[1].str() : (*i)[2].str());
    t.resize(4);
    if (folder.empty() && startsWith(args, "AT_FDCWD<"))
      folder = t[0];
    std::string copy, from;  // a copy given a name; an original that goes
    if (op == "openat") {
      copies.erase(result);
      if (args.find("O_WRONLY") != std::string::npos)
        copies[result] = false;
      if (startsWith(t[1], ".korendezo-"))
        temps[t[1]] = result;
    } else if (result != "0") {
      continue;
    } else if (op == "fsync" && copies.count(args.substr(0, args.find('<')))) {
      copies[args.substr(0, args.find('<'))] = true;
    } else if (op == "fsync") {
      flushed[t[0]] = at;
    } else if (op == "mkdir") {
      made[folder + "/" + t[0]] = at;
    } else if (op == "linkat") {
      (startsWith(t[3], ".korendezo-") ? temps[t[3]] : copy) = t[1].substr(14);
    } else if (startsWith(op, "renameat") && temps.count(t[1])) {
      copy = temps[t[1]];
    } else if (startsWith(op, "renameat") && t[2] == folder) {
      from = t[1];
    } else if (op == "unlink" || (op == "unlinkat" && t[0] == folder)) {
      from = t[op == "unlink" ? 0 : 1];
    }
    if (!copy.empty()) {
      placed[t[3]] = {t[2], at};
      if (!copies[copy])
        broken = t[3] + " given to a copy before its flush";
    }
    // The run's own names: temporaries, and originals renamed aside.
    if (from.empty() || from.find(".korendezo-") != std::string::npos)
      continue;
    const auto p = placed.find(from);
    if (p == placed.end())
      broken = from + " removed with no copy in place";
    else if (flushed[p->second.first] < p->second.second)
      broken = from + " removed before its copy's directory was flushed";
    else if (made.count(p->second.first) &&
             flushed[folder] < made[p->second.first])
      broken = from + " removed before the folder was flushed";
  }
  return broken;
}

// How many times the run makes each call of kCalls; and its order that a
// power cut could undo is checked.
std::map<std::string, int> countCalls(const std::string& tracer) {
  Folder f;
  setUp(&f);
  const std::string log = f.Sibling("-trace");
  std::string calls;
  for (const auto& call : kCalls)
    calls += (calls.empty() ? "" : ",") + call.first;
  RunOptions options;
  options.command = {tracer, "-f", "-qq", "-y", "-s", "256", "-o", log,
                     "-e", "trace=" + calls};
  RunResult r = runProgram(f.path(), options);
  EXPECT_EQ(0, r.status) << r.err;
  std::map<std::string, int> counts;
  std::ifstream in(log);
  const std::regex line(R"(^(\d+ +)?([a-z0-9_]+)\()");
  std::smatch match;
  for (std::string text; std::getline(in, text);) {
    if (std::regex_search(text, match, line))
      ++counts[match[2]];
  }
  EXPECT_EQ("", powerCutOrderBroken(log));
  return counts;
}

TEST(FaultSweep, EveryCallFailingOrKilledInTurn) {
  const std::string tracer = stracePath();
  if (tracer.empty())
    GTEST_SKIP() << "strace is not installed";
  if (kSanitized)
    GTEST_SKIP() << "the sanitizers' runtime makes calls of its own, which "
                    "failed stop it before the program starts; the plain "
                    "build runs the sweep";
  const std::map<std::string, int> counts = countCalls(tracer);
  ASSERT_GT(counts.count("renameat2") + counts.count("linkat"), 0u);
  for (const auto& call : counts) {
    std::vector<std::string> faults = {"error=" + kCalls.at(call.first),
                                       "signal=KILL"};
    if (kCopySteps.count(call.first))
      faults.push_back("signal=TERM");
    if (call.first == "renameat2")
      faults.push_back("error=EIO");
    // A report not in the page cache: those after it are read ahead.
    if (call.first == "preadv2")
      faults.push_back("error=EAGAIN");
    // Held for a moment by another program (a network share's server): a
    // report is tried again, and moved once its rename or removal is.
    const bool held = call.first == "renameat2" || call.first == "unlink";
    if (held || call.first == "openat")
      faults.push_back("error=EBUSY");
    for (int n = 1; n <= call.second; ++n) {
      for (const std::string& fault : faults) {
        const std::string what =
            call.first + " #" + std::to_string(n) + " " + fault;
        Folder f;
        setUp(&f);
        RunOptions options;
        options.command = {tracer, "-f", "-qq", "-o", "/dev/null", "-e",
                           "trace=" + call.first, "-e",
                           "inject=" + call.first + ":" + fault +
                               ":when=" + std::to_string(n)};
        options.timeoutSeconds = 60;
        RunResult r = runProgram(f.path(), options);
        ASSERT_FALSE(r.timedOut) << what;
        const bool killed = fault == "signal=KILL";
        // SIGTERM leaves no temporary file. strace sends it to the thread
        // that makes the call: a flush thread holds it back for good, and
        // the run goes on as if none came.
        if (fault == "signal=TERM") {
          const bool ended = r.status == 128 + SIGTERM;
          const bool allMoved = checkReports(f, r, ended, false, what);
          EXPECT_TRUE(ended || (r.status == 0 && allMoved))
              << what << ": status " << r.status;
          continue;
        }
        // A killed run may leave a temporary file, which the next run
        // removes.
        bool allMoved = checkReports(f, r, killed, killed, what);
        if (killed) {
          RunResult again = runProgram(f.path());
          EXPECT_EQ(0, again.status) << what << " then " << again.out;
          EXPECT_TRUE(checkReports(f, again, false, false,
                                   what + ", run again"));
          continue;
        }
        // 0 only when all was moved and nothing went wrong unsaid; 1 and
        // 3 only with what went wrong said. Any other status is the
        // loader's, which never got to start the program.
        if (r.status == 0) {
          EXPECT_TRUE(allMoved) << what;
        } else if (r.status == 1) {
          EXPECT_TRUE(r.out.find("HIBA") != std::string::npos ||
                      r.err.find("HIBA") != std::string::npos)
              << what;
        } else if (r.status == 3) {
          EXPECT_NE(std::string::npos,
                    r.err.find("Abnormal program termination"))
              << what;
        } else {
          EXPECT_EQ(std::string::npos, r.out.find("KO fordulokat"))
              << what << ": status " << r.status;
        }
        EXPECT_TRUE(allMoved || r.status != 0) << what;
        EXPECT_TRUE(!held || fault != "error=EBUSY" || allMoved) << what;
      }
    }
  }
}

// A file system that cannot keep a copy's owner, permission bits or times
// answers the call that sets them with one of these errors (FAT through
// FUSE: ENOSYS): that step is left out and the copy moves with the rest.
// Any other error still fails the copy.
TEST(FaultSweep, MetadataTheFileSystemCannotKeep) {
  const std::string tracer = stracePath();
  if (tracer.empty())
    GTEST_SKIP() << "strace is not installed";
  if (kSanitized)
    GTEST_SKIP() << "the sanitizers' leak check fails under ptrace; the "
                    "plain build runs this";
  const struct {
    const char* call;
    const char* op;  // as the message names it
  } steps[] = {{"fchown", "fchown"}, {"fchmod", "fchmod"},
               {"utimensat", "futimens"}};
  for (const auto& step : steps) {
    for (const char* error : {"ENOSYS", "EOPNOTSUPP", "EPERM", "EINVAL", "EIO"}) {
      const std::string what = std::string(step.call) + " " + error;
      const bool moves = std::string(error) != "EIO";
      Folder f;
      const std::string report = reportText("1234", "A 1. f", "\n");
      f.Write("r.htm", report);
      const std::string source = f.path() + "/r.htm";
      chmod(source.c_str(), 0640);  // kept where the file system keeps it
      struct stat before;
      ASSERT_EQ(0, stat(source.c_str(), &before));
      RunOptions options;
      options.command = {tracer, "-f", "-qq", "-o", "/dev/null", "-e",
                         std::string("inject=") + step.call + ":error=" + error};
      RunResult r = runProgram(f.path(), options);
      std::map<std::string, std::string> want = {{"1234_A/", kDirectory}};
      if (moves) {
        EXPECT_EQ(0, r.status) << what;
        EXPECT_EQ("       r.htm : 1234_A - konyvtar letrehozva\n",
                  linesBetweenBanners(r.out))
            << what;
        want["1234_A/r.htm"] = withLineEnds(report, "\r\n");
        struct stat copy;
        ASSERT_EQ(0, stat((f.path() + "/1234_A/r.htm").c_str(), &copy));
        if (std::string(step.call) != "fchmod") {
          EXPECT_EQ(before.st_mode & 07777, copy.st_mode & 07777) << what;
        }
        if (std::string(step.call) != "utimensat") {
          EXPECT_EQ(before.st_mtime, copy.st_mtime) << what;
        }
      } else {
        EXPECT_EQ(1, r.status) << what;
        EXPECT_NE(std::string::npos,
                  r.out.find(std::string("HIBA: a masolat nem irhato (") +
                             step.op + "(1234_A/r.htm): "))
            << what << ": " << r.out;
        want["r.htm"] = report;
      }
      EXPECT_EQ(want, f.Tree()) << what;
    }
  }
}

// --- Races: another program changes a report while the run is held ---

// What another program does meanwhile to a report: moves its notes over
// it, puts a directory with its notes there, removes it, or rewrites a
// letter in place and puts its times back.
const char* const kChanges[] = {"notes moved over it", "a directory put there",
                                "removed", "rewritten in place"};
const char kTheirs[] = "another program's notes";

std::string rewritten(std::string bytes) {
  bytes[bytes.find("Arany") + 1] ^= 1;
  return bytes;
}

// Whether `change` was made to report `r` in `f`; `notes` is beside it.
bool makeChange(const Folder& f, int change, const Report& r,
                const std::string& notes) {
  const std::string path = f.path() + "/" + r.name;
  if (change == 0)
    return rename(notes.c_str(), path.c_str()) == 0;
  if (change == 1) {  // made in place: fusefat empties a directory it renames
    unlink(path.c_str());
    return mkdir(path.c_str(), 0777) == 0 &&
           (writeFile(path + "/notes.txt", kTheirs), true);
  }
  struct stat st;
  if (change == 2 || stat(path.c_str(), &st) != 0)
    return change == 2 && unlink(path.c_str()) == 0;
  const size_t at = r.bytes.find("Arany") + 1;
  const bool written =
      std::fstream(path, std::ios::in | std::ios::out | std::ios::binary)
          .seekp(static_cast<std::streamoff>(at))
          .put(rewritten(r.bytes)[at])
          .flush()
          .good();
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (written)  // where they can be set
    utimensat(AT_FDCWD, path.c_str(), times, 0);
  return written;
}

// After a run in which `change` was `made` to `to`: their file or
// directory is where they put it, whole (what a directory holds where a
// rename keeps it: `dirsKept`); every report is whole in the folder or in
// place (but one they took), a rewrite too; a line says moved only of a
// report in place and gone from the folder; an older copy goes only for
// its report; nothing else is left; the status is 1 when a line says HIBA.
void checkRace(const Folder& f, const RunResult& r,
               const std::vector<Report>& all, int change, const Report& to,
               bool made, bool dirsKept, const std::string& what) {
  std::map<std::string, std::string> tree = f.Tree();
  if (made && change == 0) {
    EXPECT_EQ(kTheirs, tree[to.name]) << what;
  }
  if (made && change == 1) {
    EXPECT_EQ(kDirectory, tree[to.name + "/"]) << what;
    EXPECT_TRUE(!dirsKept || tree[to.name + "/notes.txt"] == kTheirs) << what;
  }
  tree.erase(to.name + "/notes.txt");
  tree.erase(to.name + "/");
  bool rewriteKept = !made || change != 3;
  for (const Report& q : all) {
    const std::string src = tree[q.name], dst = tree[q.dest];
    tree.erase(q.name);
    tree.erase(q.dest);
    const bool both = made && change == 3 && q.bytes == to.bytes;
    const bool inFolder = src == q.bytes || (both && src == rewritten(q.bytes));
    const bool inPlace = dst == q.copy || (both && dst == rewritten(q.copy));
    rewriteKept = rewriteKept || (both && (src == rewritten(q.bytes) ||
                                           dst == rewritten(q.copy)));
    EXPECT_TRUE(inFolder || inPlace || (made && q.name == to.name && change < 3))
        << what << ": " << q.name << " lost";
    // Held at a rename that replaces an older copy, the window the README
    // tells of: a file moved over the name just before it takes the older
    // copy's place, and is put back.
    const bool window = made && change < 2 && q.name == to.name &&
                        q.copy == q.bytes && what.find("renameat") == 0;
    EXPECT_TRUE(inPlace || dst == q.older || window) << what << ": " << q.dest;
    const size_t at = r.out.find(" " + q.name + " : ");
    const std::string line =
        r.out.substr(std::min(at, r.out.size()), r.out.find('\n', at) - at);
    if (at != std::string::npos && line.find("HIBA") == std::string::npos &&
        line.find("eltunt") == std::string::npos) {
      EXPECT_TRUE(inPlace && !inFolder) << what << ": " << line;
    }
  }
  EXPECT_TRUE(rewriteKept) << what << ": the rewrite lost";
  for (const char* known : {"notes.htm", "1234_A/", "5678_B/"})
    tree.erase(known);
  EXPECT_TRUE(tree.empty()) << what << ": " << tree.begin()->first << " left";
  EXPECT_EQ(r.out.find("HIBA") == std::string::npos ? 0 : 1, r.status)
      << what << ": " << r.out;
}

// The calls of an undisturbed run's trace (strace -f -y) at which to hold
// a run, with strace's count of each in its thread: every open of a
// directory, a copy or a name of the run's own, mkdir, rename, link, flush
// and removal of a name (a report's open comes before its read: a change
// then is no race). With each, the report changed there: the one it names,
// else the first not yet renamed or copied in the run's order (reports
// opened ahead of their turn are named before), else the last copied.
std::vector<std::tuple<std::string, int, std::string>> holdsOf(
    const std::string& trace, const std::vector<Report>& all) {
  std::map<std::string, std::map<std::string, int>> counts;  // thread, call
  std::set<std::string> waiting, seen;
  for (const Report& q : all)
    waiting.insert(q.name);
  std::string lastCopied;
  std::vector<std::tuple<std::string, int, std::string>> holds;
  const std::regex entry(R"(^(\d+) +(\w+)\((.*)$)"), quoted(R"-("([^"]*)")-");
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!std::regex_match(line, m, entry))
      continue;
    const std::string op = m[2], args = m[3];
    const int when = ++counts[m[1]][op];
    std::string first = "-", report;  // its first name; the report it names
    for (std::sregex_iterator i(args.begin(), args.end(), quoted), e; i != e;
         ++i) {
      first = first == "-" ? (*i)[1].str() : first;
      for (const Report& q : all) {
        if ((*i)[1] == q.name || startsWith((*i)[1], "." + q.name + "."))
          report = q.name;
      }
    }
    const std::string turn = waiting.empty() ? lastCopied : *waiting.begin();
    const auto has = [&args](const char* flag) {
      return args.find(flag) != std::string::npos;
    };
    if (has("O_TMPFILE") || has("O_CREAT")) {
      report = lastCopied = turn;
      waiting.erase(turn);
    } else if (op == "openat" && (first == "." || startsWith(first, "/") ||
                                  (first[0] != '.' && !has("O_DIRECTORY")))) {
      continue;  // the folder, the system's files, a file before its read
    } else if (startsWith(op, "renameat") && endsWith(line, " = 0")) {
      waiting.erase(report);
    }
    if (seen.insert(op + " " + std::to_string(when)).second)
      holds.emplace_back(op, when, report.empty() ? turn : report);
  }
  return holds;
}

// The run held at each call that touches the folder or a destination,
// meanwhile another program makes each change to the report on whose road
// it is. Undisturbed, the run moves every report, both names of a
// hard-linked one too, as its dry run says.
TEST(FaultSweep, RacesWithAnotherProgram) {
  const std::string tracer = stracePath();
  if (tracer.empty())
    GTEST_SKIP() << "strace is not installed";
  if (kSanitized)
    GTEST_SKIP() << "the sanitizers' leak check fails under ptrace; the "
                    "plain build runs the sweep";
  std::vector<Report> all = reports();
  const auto setUpWithLink = [](Folder* f) {
    setUp(f);  // b2.htm: b.htm's second name, where there are hard links
    link((f->path() + "/b.htm").c_str(), (f->path() + "/b2.htm").c_str());
  };
  Folder base;
  setUpWithLink(&base);
  std::string notSetUp = base.RefusesHardLink();
  if (notSetUp.empty())
    all.push_back({"b2.htm", all[1].bytes, "1234_A/b2.htm", "", all[1].copy});
  else
    notSetUp = "a hard-linked pair: this file system cannot hold " + notSetUp;
  // fusefat empties a directory it renames, as a run may rename one put at
  // a report's name just as it renames the report (and puts it back).
  Folder probe;
  probe.MakeDir("d");
  probe.Write("d/x", "x");
  rename((probe.path() + "/d").c_str(), (probe.path() + "/e").c_str());
  const bool dirsKept = probe.Tree().count("e/x") != 0;
  if (!dirsKept)
    notSetUp += std::string(notSetUp.empty() ? "" : "; ") +
                "what a directory holds: this file system empties a "
                "directory it renames";
  RunOptions options;
  options.arguments = {"-n"};
  const RunResult planned = runProgram(base.path(), options);
  const std::string log = base.Sibling("-trace");
  options.arguments.clear();
  options.command = {tracer, "-f", "-qq", "-y", "-s", "256", "-o", log, "-e",
                     "trace=/^(openat|mkdir|renameat2?|linkat|fsync|"
                     "fdatasync|unlink|unlinkat)$"};
  const RunResult undisturbed = runProgram(base.path(), options);
  EXPECT_EQ(linesBetweenBanners(planned.out), linesBetweenBanners(undisturbed.out));
  EXPECT_EQ(0, undisturbed.status);
  checkRace(base, undisturbed, all, -1, Report(), false, true, "undisturbed");
  std::string call, name;
  int when;
  for (const auto& hold : holdsOf(log, all)) {
    std::tie(call, when, name) = hold;
    const Report& report = *std::find_if(
        all.begin(), all.end(), [&](const Report& q) { return q.name == name; });
    for (int change = 0; change < 4; ++change) {
      const std::string what = call + " #" + std::to_string(when) + ", " +
                               name + " " + kChanges[change];
      Folder f;
      setUpWithLink(&f);
      const std::string notes = f.Sibling("-notes");
      writeFile(notes, kTheirs);
      // Changed once strace has written the call's entry, the K-th of a
      // thread, and holds the run there for 100 ms.
      const std::regex entry("(?:^|\n)(\\d+) +" + call + "\\(");
      bool held = false, made = false;
      options.command = {tracer, "-f", "-qq", "-o", "/dev/stderr", "-e",
                         "trace=" + call, "-e",
                         "inject=" + call + ":delay_enter=100000:when=" +
                             std::to_string(when)};
      options.timeoutSeconds = 60;
      options.watchErr = [&](const std::string& err) {
        std::map<std::string, int> count;
        for (std::sregex_iterator i(err.begin(), err.end(), entry), e;
             !held && i != e; ++i) {
          held = ++count[(*i)[1]] == when;
          made = held && makeChange(f, change, report, notes);
        }
      };
      const RunResult r = runProgram(f.path(), options);
      ASSERT_FALSE(r.timedOut) << what;
      // A flush thread's count depends on how a batch was shared out.
      EXPECT_TRUE(held || endsWith(call, "sync")) << what << ": not held";
      checkRace(f, r, all, change, report, made, dirsKept, what);
    }
  }
  if (!notSetUp.empty())
    GTEST_SKIP() << "the other cases ran; not set up: " << notSetUp;
}

}  // namespace
