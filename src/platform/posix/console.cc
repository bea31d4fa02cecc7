// Console output on POSIX systems, and the system's messages as it tells
// them.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/posix.h"

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
  int error = posix::writeAll(output ? STDOUT_FILENO : STDERR_FILENO, data,
                              size);
  if (error == 0)
    return true;
  *err = failure("write", output ? "standard output" : "standard error",
                 error);
  return false;
}


std::string reasonText(SystemError error) {
  return std::strerror(static_cast<int>(error));
}

}  // namespace host

bool hostReadsCommandLine() { return true; }

namespace posix {

int writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return n < 0 ? errno : EIO;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace posix

