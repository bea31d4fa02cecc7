// What the command line asks for. Without arguments the program sorts the
// folder it is started in. Where the host passes the command line on (see
// hostReadsCommandLine), it may name the folder to sort and ask for a dry
// run; --help and --version are answered, and anything else is refused
// before anything is read or moved.
#ifndef KORENDEZO_COMMAND_LINE_H_
#define KORENDEZO_COMMAND_LINE_H_

#include <string>

#include "platform/platform.h"

// Exit status of a refused command line.
constexpr int EXIT_USAGE = 2;

enum class Command { Sort, Help, Version, Refuse };

struct CommandLine {
  Command command = Command::Sort;
  bool dryRun = false;           // -n, --dry-run: look, change nothing
  const char* folder = nullptr;  // the folder to sort; null: the current one
  std::string refusal;           // why a Refuse is refused
};

// Sort, with -n or --dry-run anywhere and at most one folder; an argument
// that starts with '-' is an option unless it follows "--". Help or Version
// for "--help" (or "-h") or "--version" alone; Refuse for anything else.
CommandLine parseCommandLine(int argc, const char* const* argv);

// Answers a command other than Sort on `console` and returns the exit
// status: the usage or the version on standard output, or for a refusal one
// line on standard error.
int answerCommand(const CommandLine& line, Console& console);

// Enters the folder the command line names, if any. False, with one line on
// standard error (or output: a folder dropped on the program), when it
// cannot: the run is refused with EXIT_USAGE.
bool enterNamedFolder(const CommandLine& line, Console& console);

#endif  // KORENDEZO_COMMAND_LINE_H_
