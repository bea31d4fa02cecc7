#include "transfer.h"

#include <cstring>

namespace {

// Raw bytes asked of the file per read; any size gives the same text.
constexpr size_t kReadBlock = size_t{64} * 1024;
// Converted bytes collected before each write.
constexpr size_t kWriteBlock = size_t{64} * 1024;

}  // namespace

void convertReadBlock(char* text, size_t* length, size_t size,
                      bool* bareLineFeed) {
  // The output never grows past the input, so the block converts in place.
  // The text's last byte always stems from the last raw byte, so a CR there
  // is exactly a CR whose LF may follow, in this block or the next.
  char* out = text + *length;
  const char* in = out;
  const char* end = in + size;
  while (in != end) {
    const char* lf = static_cast<const char*>(std::memchr(in, '\n', end - in));
    const char* stop = lf ? lf : end;
    if (out != in)
      std::memmove(out, in, stop - in);
    out += stop - in;
    in = stop;
    if (!lf)
      break;
    if (out != text && out[-1] == '\r') {
      out[-1] = '\n';
    } else {
      *out++ = '\n';
      *bareLineFeed = true;
    }
    ++in;
  }
  *length = out - text;
}

bool loadReport(DiskInterface& disk, char* report, FindEntry entry,
                LoadedReport* loaded, std::string* err) {
  *loaded = LoadedReport();
  report[0] = '\0';
  entry.name[sizeof entry.name - 1] = '\0';
  FileHandle file;
  if (!disk.OpenRead(entry.name, &file, &loaded->notAFile, err))
    return false;

  const size_t limit = REPORT_BUFFER_SIZE - 1;  // room for the NUL byte
  size_t length = 0;
  bool ok = true;
  for (;;) {
    size_t room = limit - length;
    if (room == 0) {
      // Full: the text still fits if all that is left is the LF of a CR
      // LF pair whose CR is the last byte in the buffer.
      char next;
      size_t got = 0;
      ok = disk.Read(file, &next, 1, &got, err);
      if (!ok || got == 0)
        break;
      if (next == '\n' && report[length - 1] == '\r') {
        report[length - 1] = '\n';
        continue;
      }
      loaded->tooBig = true;
      break;
    }
    size_t got = 0;
    ok = disk.Read(file, report + length,
                   room < kReadBlock ? room : kReadBlock, &got, err);
    if (!ok || got == 0)
      break;
    convertReadBlock(report, &length, got, &loaded->hasBareLineFeed);
  }
  disk.CloseRead(file);
  report[length] = '\0';
  loaded->length = length;
  return ok;
}

bool saveReport(DiskInterface& disk, const char* path, const char* text,
                size_t length, std::string* err) {
  std::string dir(path);
  size_t slash = dir.rfind('/');
  dir.resize(slash == std::string::npos ? 0 : slash);
  if (dir.empty())
    dir = ".";

  std::string temp;
  FileHandle file;
  if (!disk.CreateTemp(dir.c_str(), &temp, &file, err))
    return false;

  char block[kWriteBlock];
  size_t used = 0;
  bool ok = true;
  const char* in = text;
  const char* end = text + length;
  while (ok && in != end) {
    // Leave room for one CR LF pair after the copied run.
    size_t room = sizeof block - used - 2;
    size_t avail = static_cast<size_t>(end - in);
    size_t span = avail < room ? avail : room;
    const char* lf = static_cast<const char*>(std::memchr(in, '\n', span));
    size_t run = lf ? static_cast<size_t>(lf - in) : span;
    std::memcpy(block + used, in, run);
    used += run;
    in += run;
    if (lf) {
      block[used++] = '\r';
      block[used++] = '\n';
      ++in;
    }
    if (sizeof block - used < 3 || in == end) {
      ok = disk.Write(file, block, used, err);
      used = 0;
    }
  }
  if (!ok) {
    std::string ignored;
    disk.CloseWrite(file, false, &ignored);
    disk.Remove(temp.c_str(), &ignored);
    return false;
  }
  if (!disk.CloseWrite(file, true, err) ||
      !disk.Rename(temp.c_str(), path, err)) {
    std::string ignored;
    disk.Remove(temp.c_str(), &ignored);
    return false;
  }
  return true;
}
