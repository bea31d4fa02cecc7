// What the command line asks for. The program takes no arguments: it sorts
// the folder it is started in. Where the host passes the command line on
// (see hostReadsCommandLine), --help and --version are answered and any
// other argument is refused before anything is read or moved.
#ifndef KORENDEZO_COMMAND_LINE_H_
#define KORENDEZO_COMMAND_LINE_H_

#include "platform/platform.h"

// Exit status of a refused command line.
constexpr int EXIT_USAGE = 2;

enum class Command { Sort, Help, Version, Refuse };

// Sort with no arguments; Help or Version for "--help" (or "-h") or
// "--version" alone; Refuse for anything else.
Command parseCommandLine(int argc, const char* const* argv);

// Answers a command other than Sort on `console` and returns the exit
// status: the usage or the version on standard output, or for a refusal one
// line on standard error.
int answerCommand(Command command, Console& console);

#endif  // KORENDEZO_COMMAND_LINE_H_
