// korendezo: sorts the round reports of the current directory into
// sub-directories by player and title. Takes no arguments.
#include "platform/platform.h"
#include "sorting_run.h"

int main() {
  // The console first: it sets up standard output before anything is said.
  Console& console = systemConsole();
  return sortReports(systemDisk(), console);
}
