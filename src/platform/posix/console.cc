// Console output on POSIX systems, and the system's messages as it tells
// them.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/host.h"

namespace host {

StandardOutput prepareStandardStreams() {
  // A reader that went away (`korendezo | head`) makes a write fail with
  // EPIPE, which is told as lost output, instead of ending the run midway.
  signal(SIGPIPE, SIG_IGN);
  // A terminal takes the bytes, UTF-8 names included.
  return {isatty(STDOUT_FILENO) == 1, nullptr};
}

bool writeStream(Stream stream, const char* data, size_t size,
                 std::string* err) {
  const bool output = stream == Stream::Output;
  const int fd = output ? STDOUT_FILENO : STDERR_FILENO;
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      *err = failure("write", output ? "standard output" : "standard error",
                     n < 0 ? errno : EIO);
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string reasonText(SystemError error) {
  return std::strerror(static_cast<int>(error));
}

}  // namespace host

bool hostReadsCommandLine() { return true; }
