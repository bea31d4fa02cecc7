// Console output on POSIX systems, and the system's messages as it tells
// them.
#include <unistd.h>

#include <cstring>

#include "platform/host.h"

namespace host {

StandardOutput prepareStandardStreams() {
  // A terminal takes the bytes, UTF-8 names included.
  return {isatty(STDOUT_FILENO) == 1, nullptr, nullptr};
}

std::string reasonText(SystemError error) {
  return std::strerror(static_cast<int>(error));
}

}  // namespace host

bool hostReadsCommandLine() { return true; }
