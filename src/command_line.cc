#include "command_line.h"

#include <cstring>

#include "sorting_run.h"

namespace {

constexpr char kUsage[] =
    "Usage: korendezo [--help | --version]\n"
    "Moves the game's round reports (HTML files) in the current folder into\n"
    "sub-directories named after each report's player and title, one line\n"
    "per report. Start it in the folder of the reports: it takes no other\n"
    "arguments. On a terminal it waits for a key at the end.\n"
    "\n"
    "Exit status:\n"
    "  0  every report found was moved (or there was none)\n"
    "  1  a report or entry was left in place because of an error, or the\n"
    "     output could not be written\n"
    "  2  the arguments were refused: nothing was read or moved\n"
    "  3  memory ran out\n"
    "\n"
    "More in the manual: man korendezo\n";
static_assert(EXIT_ALL_MOVED == 0 && EXIT_SOME_LEFT == 1 && EXIT_USAGE == 2 &&
                  EXIT_NO_MEMORY == 3,
              "the exit statuses the usage lists");

// KORENDEZO_VERSION is the project's version, set by the build.
constexpr char kVersion[] = "korendezo " KORENDEZO_VERSION "\n";

constexpr char kRefusal[] =
    "korendezo: takes no arguments; start it in the folder of the reports "
    "(korendezo --help tells more)\n";

}  // namespace

Command parseCommandLine(int argc, const char* const* argv) {
  if (argc <= 1)
    return Command::Sort;
  if (argc == 2) {
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)
      return Command::Help;
    if (std::strcmp(argv[1], "--version") == 0)
      return Command::Version;
  }
  return Command::Refuse;
}

int answerCommand(Command command, Console& console) {
  if (command == Command::Help) {
    console.Write(kUsage, sizeof kUsage - 1);
    return finishOutput(console, EXIT_ALL_MOVED);
  }
  if (command == Command::Version) {
    console.Write(kVersion, sizeof kVersion - 1);
    return finishOutput(console, EXIT_ALL_MOVED);
  }
  console.WriteError(kRefusal, sizeof kRefusal - 1);
  return EXIT_USAGE;
}
