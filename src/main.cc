// korendezo: sorts the round reports of the current directory into
// sub-directories by player and title. Takes no arguments but --help and
// --version, and those only where the host passes the command line on.
#include <new>

#include "command_line.h"
#include "messages.h"
#include "platform/platform.h"
#include "sorting_run.h"

int main(int argc, char** argv) {
  // The console first: it sets up standard output before anything is said.
  Console& console = systemConsole();
  try {
    Command command = Command::Sort;
    if (hostReadsCommandLine())
      command = parseCommandLine(argc, argv);
    else
      enterDroppedFolder();
    if (command != Command::Sort)
      return answerCommand(command, console);
    return sortReports(systemDisk(), console);
  } catch (const std::bad_alloc&) {
    // sortReports answers for its own run; this is for memory that runs
    // out around it.
    console.WriteError(kNoMemory, sizeof kNoMemory - 1);
    return EXIT_NO_MEMORY;
  }
}
