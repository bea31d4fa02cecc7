// korendezo: sorts the round reports of a folder into sub-directories by
// player and title: the folder it is started in, or the one it is given.
#include <new>
#include <string>

#include "command_line.h"
#include "dry_run.h"
#include "messages.h"
#include "platform/platform.h"
#include "sorting_run.h"

namespace {

// The console of a run that ends without the key wait (--no-wait).
class NoKeyWait : public Console {
 public:
  explicit NoKeyWait(Console& console) : console_(console) {}
  void Write(const char* text, size_t size) override {
    console_.Write(text, size);
  }
  void WriteError(const char* text, size_t size) override {
    console_.WriteError(text, size);
  }
  bool Flush(std::string* err) override { return console_.Flush(err); }
  void WaitForKey() override {
    std::string ignored;
    console_.Flush(&ignored);
  }

 private:
  Console& console_;
};

}  // namespace

int main(int argc, char** argv) {
  // The console first: it sets up standard output before anything is said.
  Console& console = systemConsole();
  try {
    CommandLine line;
    std::string dropped;
    if (hostReadsCommandLine()) {
      line = parseCommandLine(argc, argv);
    } else {
      line = parseDropLine(argc, argv);
      dropped = droppedFolder();
      line.folder = dropped.empty() ? nullptr : dropped.c_str();
    }
    if (line.command != Command::Sort)
      return answerCommand(line, console);
    NoKeyWait noKeyWait(console);
    Console& runConsole = line.noWait ? noKeyWait : console;
    if (!enterNamedFolder(line, console)) {
      // A window opened by a double click stays to be read.
      if (!hostReadsCommandLine())
        runConsole.WaitForKey();
      return EXIT_USAGE;
    }
    if (!line.dryRun)
      return sortReports(systemDisk(), runConsole);
    DryRunDisk dryRun(systemDisk());
    return sortReports(dryRun, runConsole);
  } catch (const std::bad_alloc&) {
    // sortReports answers for its own run; this is for memory that runs
    // out around it.
    console.WriteError(kNoMemory, sizeof kNoMemory - 1);
    return EXIT_NO_MEMORY;
  }
}
