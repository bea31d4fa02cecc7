// The program's console over the standard streams, which each platform
// prepares (console.cc) and whose key wait it provides (key_wait.cc).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/host.h"

namespace {

class StdioConsole : public Console {
 public:
  StdioConsole() : output_(host::prepareStandardStreams()) {
    // On a console each piece shows at once; redirected, output goes in
    // blocks. The buffer is static: stdio flushes it after objects with
    // static storage are destroyed.
    static char buffer[512];
    std::setvbuf(stdout, buffer, output_.shownAtOnce ? _IONBF : _IOFBF,
                 sizeof buffer);
  }
  void Write(const char* text, size_t size) override {
    // Each piece is whole lines or a line's head: whole characters.
    if (output_.writeCharacters && output_.writeCharacters(text, size))
      return;
    std::string encoded;
    if (output_.encode) {
      encoded = output_.encode(text, size);
      text = encoded.data();
      size = encoded.size();
    }
    if (std::fwrite(text, 1, size, stdout) != size)
      NoteError();
  }
  void WriteError(const char* text, size_t size) override {
    std::fwrite(text, 1, size, stderr);
    std::fflush(stderr);
  }
  bool Flush(std::string* err) override {
    if (std::fflush(stdout) != 0)
      NoteError();
    if (error_ == 0)
      return true;
    *err = "write(standard output): ";
    *err += std::strerror(error_);
    return false;
  }
  void WaitForKey() override {
    std::fflush(stdout);
    host::waitForKey();
  }

 private:
  // The first error is the one told.
  void NoteError() {
    if (error_ == 0)
      error_ = errno != 0 ? errno : EIO;
  }

  const host::StandardOutput output_;
  int error_ = 0;
};

}  // namespace

Console& systemConsole() {
  static StdioConsole console;
  return console;
}
