// The part of the platform layer that both platforms share: the list of
// entry names, the wording of failures, the temporary file's name and its
// registration for the clean-up, and the console's streams.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform.h"

void NameList::Add(const char* name) {
  offsets_.push_back(static_cast<uint32_t>(bytes_.size()));
  bytes_.append(name, std::strlen(name) + 1);
}

namespace {

unsigned char upperAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

}  // namespace

void NameList::SortLikeListing() {
  // NTFS keeps names in the order of their upper-case forms, so '_' sorts
  // after the letters; folding to lower case would put it before them.
  const char* base = bytes_.data();
  std::sort(offsets_.begin(), offsets_.end(), [base](uint32_t a, uint32_t b) {
    const unsigned char* x = reinterpret_cast<const unsigned char*>(base + a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(base + b);
    size_t i = 0;
    while (x[i] && upperAscii(x[i]) == upperAscii(y[i]))
      ++i;
    if (upperAscii(x[i]) != upperAscii(y[i]))
      return upperAscii(x[i]) < upperAscii(y[i]);
    return std::strcmp(base + a, base + b) < 0;
  });
}

namespace host {

std::string failure(const char* op, const char* path, SystemError error) {
  std::string message = op;
  message += '(';
  message += path;
  message += "): ";
  message += reasonText(error);
  return message;
}

const char* OpenFiles::PathOf(FileHandle handle) const {
  auto found = paths_.find(handle);
  return found == paths_.end() ? "?" : found->second.c_str();
}

std::string OpenFiles::Remove(FileHandle handle) {
  auto found = paths_.find(handle);
  if (found == paths_.end())
    return "?";
  std::string path = std::move(found->second);
  paths_.erase(found);
  return path;
}

namespace {

// Read by the clean-up, which may run in a signal handler (POSIX) or on a
// thread of its own (Windows): lock-free atomics are safe in both.
char gTempPath[4096];
std::atomic<bool> gTempActive{false};
static_assert(std::atomic<bool>::is_always_lock_free,
              "the clean-up reads the flag from a signal handler");

}  // namespace

bool registerTemp(const std::string& path) {
  if (path.size() >= sizeof gTempPath)
    return false;
  std::memcpy(gTempPath, path.c_str(), path.size() + 1);
  gTempActive.store(true, std::memory_order_release);
  return true;
}

void forgetTemp(const char* path) {
  if (gTempActive.load(std::memory_order_acquire) &&
      std::strcmp(path, gTempPath) == 0)
    gTempActive.store(false, std::memory_order_release);
}

const char* registeredTemp() {
  return gTempActive.load(std::memory_order_acquire) ? gTempPath : nullptr;
}

bool SystemDisk::CreateTemp(const char* dir, std::string* tempPath,
                            FileHandle* handle, std::string* err) {
  installTempCleanup();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "/.korendezo-%lu-%u.tmp", processId(),
                  tempCounter_++);
    *tempPath = dir;
    *tempPath += name;
    // Registered before the file exists, so no moment is left uncovered.
    if (!registerTemp(*tempPath)) {
      *err = *tempPath + ": name too long";
      return false;
    }
    CreateStatus status = createNewFile(tempPath->c_str(), handle, err);
    if (status == CreateStatus::Created) {
      open_.Add(*handle, *tempPath);
      return true;
    }
    forgetTemp(tempPath->c_str());
    if (status == CreateStatus::Failed)
      return false;
  }
  return false;  // *err says that the last name was taken too
}

}  // namespace host

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
    if (!output_.writeCharacters || !output_.writeCharacters(text, size))
      std::fwrite(text, 1, size, stdout);
  }
  void WriteError(const char* text, size_t size) override {
    std::fwrite(text, 1, size, stderr);
    std::fflush(stderr);
  }
  void WaitForKey() override {
    std::fflush(stdout);
    host::waitForKey();
  }

 private:
  const host::StandardOutput output_;
};

}  // namespace

Console& systemConsole() {
  static StdioConsole console;
  return console;
}
