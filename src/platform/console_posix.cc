// Console output on POSIX systems, and the system's messages as it tells
// them.
#include <unistd.h>

#include <cstring>

#include "platform.h"

namespace host {

bool prepareStandardStreams() { return isatty(STDOUT_FILENO) == 1; }

std::string reasonText(SystemError error) {
  return std::strerror(static_cast<int>(error));
}

}  // namespace host

bool hostReadsCommandLine() { return true; }
