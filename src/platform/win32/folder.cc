// The folder a run sorts, on Windows: the one it starts in, or a folder
// dropped on the program. The dropped folder's name is read from the
// command line in UTF-16, as the system keeps it, so that a folder whose
// name the ANSI code page cannot spell is entered too; the run then uses
// names relative to it alone.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32/win32.h"

namespace {

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The arguments after the program's name: each runs to a blank outside
// quotes, its quotes taken out. A backslash escapes nothing, unlike in
// CommandLineToArgvW: no Windows name holds a quote, and a dropped drive
// comes as "D:\".
std::vector<std::wstring> argumentsOf(const wchar_t* line) {
  if (*line == L'"') {
    for (++line; *line && *line != L'"'; ++line) {
    }
    if (*line)
      ++line;
  } else {
    for (; *line && !isBlank(*line); ++line) {
    }
  }
  std::vector<std::wstring> arguments;
  for (;;) {
    while (isBlank(*line))
      ++line;
    if (!*line)
      return arguments;
    std::wstring argument;
    for (bool quoted = false; *line && (quoted || !isBlank(*line)); ++line) {
      if (*line == L'"')
        quoted = !quoted;
      else
        argument += *line;
    }
    arguments.push_back(argument);
  }
}

}  // namespace

// For a host that reads its command line; Windows does not (see
// hostReadsCommandLine), so no run of the program calls it there.
bool enterFolder(const char* path, std::string* err) {
  // Names inside the program are UTF-8, as everywhere on this host.
  if (SetCurrentDirectoryW(win32::toWide(path).c_str()))
    return true;
  *err = win32::shownFailure("SetCurrentDirectory", path, GetLastError());
  return false;
}

void enterDroppedFolder() {
  std::vector<std::wstring> arguments = argumentsOf(GetCommandLineW());
  // --no-wait, for a script, goes beside the folder (see parseDropLine).
  arguments.erase(std::remove(arguments.begin(), arguments.end(), L"--no-wait"),
                  arguments.end());
  // A file, or a name that is no folder, is not entered: it is ignored.
  if (arguments.size() == 1)
    SetCurrentDirectoryW(arguments[0].c_str());
}
