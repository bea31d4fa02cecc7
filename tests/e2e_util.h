// Scratch folders and runs of the built program for end-to-end tests.
#ifndef KORENDEZO_TESTS_E2E_UTIL_H_
#define KORENDEZO_TESTS_E2E_UTIL_H_

#include <sys/resource.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

// Tree values that are not file contents.
extern const char kDirectory[];
extern const char kFifo[];

// Everything below `root`, by relative path: a file's bytes, kDirectory for
// a directory (its path ends in '/'), "-> target" for a symbolic link,
// kFifo for a FIFO.
std::map<std::string, std::string> treeOf(const std::string& root);
// The same with `root` itself as "./", and after each value the entry's
// mode, inode, size and its access, modification and change times; a
// link's target is not read (that would change its access time), its size
// stands for it. Neither changes an access time where the process may
// keep it (O_NOATIME).
std::map<std::string, std::string> stampedTreeOf(const std::string& root);

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
bool startsWith(const std::string& s, const std::string& prefix);
bool endsWith(const std::string& s, const std::string& suffix);
// Where strace is installed, or "".
std::string stracePath();

// Where scratch folders are made: $KORENDEZO_TEST_TMP (a mount of another
// file system, say), or /tmp.
std::string scratchBase();

// A new empty directory under scratchBase(), removed with all it holds.
class Folder {
 public:
  Folder();
  ~Folder();
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  const std::string& path() const { return path_; }
  // A path beside the folder, outside it, removed with it.
  std::string Sibling(const std::string& suffix);

  void Write(const std::string& name, const std::string& bytes);
  std::string Read(const std::string& name) const;
  void MakeDir(const std::string& name);
  void Symlink(const std::string& target, const std::string& name);
  void MakeFifo(const std::string& name);
  // Writes `name` until the file system is full.
  void FillDisk(const std::string& name);
  // Why this folder's file system cannot hold what a test would set up
  // (FAT has no links, some file systems refuse some bytes in names), or
  // "" where it can. Each tries it once in the folder and removes it.
  std::string RefusesName(const std::string& name) const;
  std::string RefusesSymlink() const;
  std::string RefusesFifo() const;
  std::string RefusesHardLink() const;
  // Whether a copy made here starts as an anonymous file, which linkat
  // puts in place; elsewhere one with a name of its own is renamed.
  bool HasAnonymousFiles() const;
  // The folder is a mount point to be unmounted before removal.
  void SetMounted() { mounted_ = true; }
  std::map<std::string, std::string> Tree() const { return treeOf(path_); }

 private:
  std::string path_;
  std::vector<std::string> siblings_;
  bool mounted_ = false;
};

// Skips the test where `refusal`, a Folder::Refuses... call, says that
// the scratch folders' file system cannot hold what the test sets up.
#define SKIP_WHERE_REFUSED(refusal)                                    \
  do {                                                                 \
    const std::string refused_ = (refusal);                            \
    if (!refused_.empty())                                             \
      GTEST_SKIP() << "this file system cannot hold " << refused_;     \
  } while (0)

struct RunOptions {
  rlim_t fileSizeLimit = RLIM_INFINITY;
  // The limit on open files, soft and hard.
  rlim_t openFilesLimit = RLIM_INFINITY;
  // A loader and its arguments put before KORENDEZO_BINARY (wine, say);
  // empty runs the program itself.
  std::vector<std::string> command;
  // The program's arguments.
  std::vector<std::string> arguments;
  // Standard input is a pipe kept open until the program ends, not
  // /dev/null: a program that read it would wait.
  bool openInput = false;
  // When set (Linux), the program is traced and, as it enters system call
  // `stopAtSyscall` for the first time, held there while `atStop` runs (if
  // given), then sent `signal` (if given) and let go.
  long stopAtSyscall = -1;
  int signal = 0;
  std::function<void()> atStop;
  // Reads of the page cache alone (preadv2) fail as where it holds nothing
  // of the file, as after a restart (Linux): a page just dropped from it
  // may be read back in time for such a read, from a fast disk. Status
  // 125 where that cannot be set up.
  bool coldPageCache = false;
  // Standard output goes to this file (/dev/full, say) instead of a pipe.
  std::string outputFile;
  // Standard output is a pipe that nobody reads: its reading end is closed
  // before the program starts.
  bool outputClosed = false;
  // Past this many seconds (0: no limit) the program and all it started
  // are killed.
  int timeoutSeconds = 0;
  // Called with all of standard error so far whenever more comes, while
  // the program runs: a tracer's lines (strace -o /dev/stderr) as written.
  std::function<void(const std::string&)> watchErr;
  // Standard input, output and error are a new pseudo-terminal of 120
  // columns, the program's controlling terminal: RunResult::out is all that
  // reached the terminal, its control sequences included. A key, "x", is
  // typed whenever the program has been silent for half a second, so that
  // its key wait ends.
  bool onTerminal = false;
};

struct RunResult {
  int status;  // exit status, or 128 + signal
  bool stopped = false;  // the traced system call was reached
  bool timedOut = false;
  std::string out, err;
};

// Runs the program in `dir` in a new session without a terminal, with
// standard input from /dev/null unless options.openInput, or on a terminal
// of its own with options.onTerminal.
RunResult runProgram(const std::string& dir, const RunOptions& options = {});

#endif  // KORENDEZO_TESTS_E2E_UTIL_H_
