// The folder a run sorts, on Windows: the one it starts in, or a folder
// dropped on the program. The dropped folder's name is read from the
// command line in UTF-16, as the system keeps it, so that a folder whose
// name the ANSI code page cannot spell is entered too; the run then uses
// names relative to it alone.
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

// The folder dropped on the program (see droppedFolder).
bool enterFolder(const char* path, std::string* err) {
  // Names inside the program are UTF-8, as everywhere on this host.
  if (SetCurrentDirectoryW(win32::toWide(path).c_str()))
    return true;
  *err = win32::shownFailure("SetCurrentDirectory", path, GetLastError());
  return false;
}

std::string droppedFolder() {
  const std::vector<std::wstring> arguments = argumentsOf(GetCommandLineW());
  // Only a name can be dropped: an option is none.
  if (arguments.size() != 1 || arguments[0].empty() || arguments[0][0] == L'-')
    return "";
  // A file dropped is ignored; a folder that cannot be entered (missing,
  // no access, a share offline, a path too long) is refused.
  DWORD attributes = GetFileAttributesW(arguments[0].c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return "";
  return win32::fromWide(arguments[0].c_str());
}
