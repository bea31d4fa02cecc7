// The part of the platform layer that both platforms share: the list of
// entry names, the wording of failures, the paths of what is open, the
// bookkeeping of copies, and the console's streams.
#include <algorithm>
#include <cerrno>
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

const char* OpenFiles::PathOf(intptr_t handle) const {
  auto found = paths_.find(handle);
  return found == paths_.end() ? "?" : found->second.c_str();
}

std::string OpenFiles::Remove(intptr_t handle) {
  auto found = paths_.find(handle);
  if (found == paths_.end())
    return "?";
  std::string path = std::move(found->second);
  paths_.erase(found);
  return path;
}

std::string tempName(unsigned long pid, unsigned long long number) {
  char name[64];
  std::snprintf(name, sizeof name, ".korendezo-%lu-%llu.tmp", pid, number);
  return name;
}

bool parseTempName(const char* name, unsigned long* pid,
                   unsigned long long* number) {
  int end = 0;
  if (std::sscanf(name, ".korendezo-%lu-%llu.tmp%n", pid, number, &end) != 2 ||
      name[end] != '\0')
    return false;
  return tempName(*pid, *number) == name;
}

bool SystemDisk::CreateCopy(DirHandle dir, const char* name, FileHandle* file,
                            std::string* err) {
  Copy copy;
  copy.dir = dir;
  copy.path = dirs_.PathOf(dir);
  copy.path += '/';
  copy.path += name;
  if (!createCopy(&copy, err))
    return false;
  *file = copy.file;
  copies_[copy.file] = std::move(copy);
  return true;
}

bool SystemDisk::Write(FileHandle file, const char* data, size_t size,
                       std::string* err) {
  return writeCopy(copies_.at(file), data, size, err);
}

MoveStatus SystemDisk::CommitCopy(FileHandle file, const FileInfo& source,
                                  DirHandle, const char* name,
                                  std::string* err) {
  auto found = copies_.find(file);
  MoveStatus status = commitCopy(&found->second, source, name, err);
  copies_.erase(found);
  return status;
}

void SystemDisk::DiscardCopy(FileHandle file) {
  auto found = copies_.find(file);
  discardCopy(&found->second);
  copies_.erase(found);
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
    if (output_.writeCharacters && output_.writeCharacters(text, size))
      return;
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
