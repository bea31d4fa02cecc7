// The folder a run sorts, on POSIX systems: one named on the command line.
#include <unistd.h>

#include <cerrno>

#include "platform/posix/posix.h"

bool enterFolder(const char* path, std::string* err) {
  if (chdir(path) == 0)
    return true;
  *err = host::failure("chdir", path, errno);
  return false;
}

// The command line is read here: a folder is named on it (enterFolder).
std::string droppedFolder() { return ""; }
