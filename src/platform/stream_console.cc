// The program's console over the standard streams, which each platform
// prepares and writes (console.cc) and whose key wait it provides
// (key_wait.cc).
#include <string>

#include "platform/host.h"

namespace {

class StreamConsole : public Console {
 public:
  StreamConsole() : output_(host::prepareStandardStreams()) {}

  void Write(const char* text, size_t size) override {
    // Each piece is whole lines or a line's head: whole characters.
    if (output_.writeCharacters && output_.writeCharacters(text, size))
      return;
    // On a console each piece shows at once; redirected, output goes in
    // blocks.
    if (output_.shownAtOnce) {
      Send(text, size);
      return;
    }
    pending_.append(text, size);
    if (pending_.size() >= kBlock) {
      size_t whole = pending_.size() - pending_.size() % kBlock;
      Send(pending_.data(), whole);
      pending_.erase(0, whole);
    }
  }
  void WriteError(const char* text, size_t size) override {
    std::string ignored;
    host::writeStream(host::Stream::Error, text, size, &ignored);
  }
  bool Flush(std::string* err) override {
    Send(pending_.data(), pending_.size());
    pending_.clear();
    if (error_.empty())
      return true;
    *err = error_;
    return false;
  }
  void WaitForKey() override {
    std::string ignored;
    Flush(&ignored);
    host::waitForKey();
  }

 private:
  static constexpr size_t kBlock = 512;

  // Output that could not be written once is not tried again: the first
  // failure is the one told.
  void Send(const char* data, size_t size) {
    if (size != 0 && error_.empty())
      host::writeStream(host::Stream::Output, data, size, &error_);
  }

  const host::StandardOutput output_;
  std::string pending_;
  std::string error_;
};

}  // namespace

Console& systemConsole() {
  static StreamConsole console;
  return console;
}
