// korendezo: sorts the round reports of a folder into sub-directories by
// player and title: the folder it is started in, or the one it is given.
#include <new>
#include <string>

#include "command_line.h"
#include "dry_run.h"
#include "messages.h"
#include "platform/platform.h"
#include "sorting_run.h"

int main(int argc, char** argv) {
  // The console first: it sets up standard output before anything is said.
  Console& console = systemConsole();
  try {
    CommandLine line;
    std::string dropped;
    if (hostReadsCommandLine()) {
      line = parseCommandLine(argc, argv);
    } else {
      dropped = droppedFolder();
      line.folder = dropped.empty() ? nullptr : dropped.c_str();
    }
    if (line.command != Command::Sort)
      return answerCommand(line, console);
    if (!enterNamedFolder(line, console)) {
      // A window opened by a double click stays to be read.
      if (!hostReadsCommandLine())
        console.WaitForKey();
      return EXIT_USAGE;
    }
    if (!line.dryRun)
      return sortReports(systemDisk(), console);
    DryRunDisk dryRun(systemDisk());
    return sortReports(dryRun, console);
  } catch (const std::bad_alloc&) {
    // sortReports answers for its own run; this is for memory that runs
    // out around it.
    console.WriteError(kNoMemory, sizeof kNoMemory - 1);
    return EXIT_NO_MEMORY;
  }
}
