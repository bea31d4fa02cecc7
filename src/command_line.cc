#include "command_line.h"

#include <cstring>

#include "sorting_run.h"

namespace {

constexpr char kUsage[] =
    "Usage: korendezo [-n | --dry-run] [--] [FOLDER]\n"
    "       korendezo --help | --version\n"
    "Moves the game's round reports (HTML files) in FOLDER, or without one\n"
    "in the current folder, into sub-directories named after each report's\n"
    "player and title, one line per report. On a terminal it waits for a\n"
    "key at the end.\n"
    "\n"
    "  -n, --dry-run  read every report and print the lines and exit status\n"
    "                 a run would give, but change nothing\n"
    "  -h, --help     print this help\n"
    "      --version  print the version\n"
    "  --             what follows is the folder, even if it starts with '-'\n"
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

constexpr char kMoreHelp[] = " (korendezo --help tells more)\n";

bool is(const char* arg, const char* word) {
  return std::strcmp(arg, word) == 0;
}

CommandLine refuse(const std::string& why) {
  CommandLine line;
  line.command = Command::Refuse;
  line.refusal = why;
  return line;
}

// "korendezo: ", then `what` as the console may show it.
std::string errorLine(const std::string& what) {
  std::string line = "korendezo: ";
  appendForConsole(&line, what.data(), what.size());
  return line;
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  bool options = true;  // until "--"
  bool helpOrVersion = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!options || arg[0] != '-') {
      if (line.folder)
        return refuse("more than one folder named");
      line.folder = arg;
    } else if (is(arg, "--")) {
      options = false;
    } else if (is(arg, "-n") || is(arg, "--dry-run")) {
      line.dryRun = true;
    } else if (is(arg, "--help") || is(arg, "-h")) {
      line.command = Command::Help;
      helpOrVersion = true;
    } else if (is(arg, "--version")) {
      line.command = Command::Version;
      helpOrVersion = true;
    } else {
      return refuse(std::string("unknown option ") + arg);
    }
  }
  if (helpOrVersion && argc != 2)
    return refuse("--help and --version take no other argument");
  return line;
}

int answerCommand(const CommandLine& line, Console& console) {
  if (line.command == Command::Help) {
    console.Write(kUsage, sizeof kUsage - 1);
    return finishOutput(console, EXIT_ALL_MOVED);
  }
  if (line.command == Command::Version) {
    console.Write(kVersion, sizeof kVersion - 1);
    return finishOutput(console, EXIT_ALL_MOVED);
  }
  const std::string text = errorLine(line.refusal) + kMoreHelp;
  console.WriteError(text.data(), text.size());
  return EXIT_USAGE;
}

bool enterNamedFolder(const CommandLine& line, Console& console) {
  std::string err;
  if (!line.folder || enterFolder(line.folder, &err))
    return true;
  const std::string text = errorLine(err) + "\n";
  // A folder dropped on the program is told in its window, where its name
  // shows with its own letters.
  if (hostReadsCommandLine())
    console.WriteError(text.data(), text.size());
  else
    console.Write(text.data(), text.size());
  return false;
}
