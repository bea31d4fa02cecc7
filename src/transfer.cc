#include "transfer.h"

#include "line_ends.h"

namespace {

// Converted bytes collected before each write.
constexpr size_t kWriteBlock = size_t{64} * 1024;

// Room for the text, leaving a byte for its NUL.
constexpr size_t kTextLimit = REPORT_BUFFER_SIZE - 1;

// The read conversion, in place, of the `size` bytes appended to a text of
// *length bytes.
void convertBlock(char* text, size_t* length, size_t size, bool* bare) {
  char* start = text + *length;
  *length = static_cast<size_t>(
      collapseLineEnds(text, start, start, start + size, bare) - text);
}

// Reads a report's file into the report buffer. The bytes are kept as
// read, only looked at, while that may still save making the text: until a
// bare LF turns up beside a CR LF pair (the text will be written out then)
// or the buffer is full (the pairs' CRs make room).
class ReportReader {
 public:
  ReportReader(DiskInterface& disk, FileHandle file, char* report,
               LoadedReport* loaded)
      : disk_(disk), file_(file), report_(report), loaded_(loaded) {}

  // Reads to the end of the file, or of the room; false on a read error.
  // A report to be renamed ends at the size its file had when opened: a
  // rename moves the file whole, bytes added since included, so the read
  // that would see the end is not made. One to be copied, which has a bare
  // LF, is read until a read gives nothing, so that it is copied whole.
  bool ReadAll(std::string* err) {
    for (;;) {
      if (asRead_ && ((pairs_ && loaded_->hasBareLineFeed) ||
                      length_ == kTextLimit))
        MakeText();
      size_t got = 0;
      bool ok = length_ < kTextLimit ? ReadMore(&got, err)
                                     : ReadPastFull(&got, err);
      if (!ok || got == 0 || WholeForRename()) {
        // At the end of the file (not cut short as too big): the bytes
        // read are its size, which its removal checks.
        if (ok && !loaded_->tooBig)
          loaded_->source.size = bytesRead_;
        report_[length_] = '\0';
        loaded_->length = length_;
        // Without CR LF pairs the bytes are the text already.
        loaded_->asRead = asRead_ && pairs_;
        return ok;
      }
    }
  }

 private:
  // Whether the report, held as read and without a bare LF, has all the
  // bytes its file had when opened.
  bool WholeForRename() const {
    return asRead_ && !loaded_->hasBareLineFeed &&
           bytesRead_ == loaded_->source.size;
  }

  void MakeText() {
    if (pairs_) {
      size_t n = 0;
      convertBlock(report_, &n, length_, &loaded_->hasBareLineFeed);
      length_ = n;
    }
    asRead_ = false;
  }

  bool ReadMore(size_t* got, std::string* err) {
    // All the room at once: a report usually comes whole in one read.
    if (!disk_.Read(file_, report_ + length_, kTextLimit - length_, got, err))
      return false;
    bytesRead_ += *got;
    if (asRead_) {
      scanLineEnds(report_, report_ + length_, report_ + length_ + *got,
                   &pairs_, &loaded_->hasBareLineFeed);
      length_ += *got;
    } else {
      convertBlock(report_, &length_, *got, &loaded_->hasBareLineFeed);
    }
    return true;
  }

  // With the buffer full, the text still fits if all that is left is the
  // LF of a CR LF pair whose CR is the last byte in the buffer.
  bool ReadPastFull(size_t* got, std::string* err) {
    char next;
    if (!disk_.Read(file_, &next, 1, got, err))
      return false;
    if (*got == 0)
      return true;
    ++bytesRead_;
    if (next == '\n' && report_[length_ - 1] == '\r') {
      report_[length_ - 1] = '\n';
    } else {
      loaded_->tooBig = true;
      *got = 0;
    }
    return true;
  }

  DiskInterface& disk_;
  FileHandle file_;
  char* report_;
  LoadedReport* loaded_;
  size_t length_ = 0;
  uint64_t bytesRead_ = 0;
  bool asRead_ = true;
  bool pairs_ = false;
};

// Writes `length` bytes of text to `file` with the write conversion.
bool writeConverted(DiskInterface& disk, FileHandle file, const char* text,
                    size_t length, std::string* err) {
  char block[kWriteBlock];
  const char* in = text;
  const char* end = text + length;
  while (in != end) {
    size_t used = expandLineEnds(&in, end, block, 0, sizeof block);
    if (!disk.Write(file, block, used, err))
      return false;
  }
  return true;
}

}  // namespace

LoadStatus loadReport(DiskInterface& disk, char* report, FindEntry entry,
                      LoadedReport* loaded, std::string* err) {
  *loaded = LoadedReport();
  report[0] = '\0';
  entry.name[sizeof entry.name - 1] = '\0';
  FileHandle file;
  switch (disk.OpenRead(entry.name, &file, &loaded->source, err)) {
    case OpenStatus::Opened:
      break;
    case OpenStatus::NotAFile:
      return LoadStatus::NotAFile;
    case OpenStatus::Gone:
      return LoadStatus::Gone;
    case OpenStatus::Held:
      return LoadStatus::Held;
    case OpenStatus::Failed:
      return LoadStatus::Failed;
  }
  // Closed also when the reading ends by an exception (no memory).
  struct Close {
    DiskInterface& disk;
    FileHandle file;
    ~Close() { disk.CloseRead(file); }
  } close{disk, file};
  bool ok = ReportReader(disk, file, report, loaded).ReadAll(err);
  return ok ? LoadStatus::Loaded : LoadStatus::Failed;
}

void convertReport(char* report, LoadedReport* loaded) {
  if (!loaded->asRead)
    return;
  size_t length = 0;
  convertBlock(report, &length, loaded->length, &loaded->hasBareLineFeed);
  report[length] = '\0';
  loaded->length = length;
  loaded->asRead = false;
}

bool writeCopy(DiskInterface& disk, DirHandle dir, const char* name,
               const char* text, size_t length, FileHandle* copy,
               std::string* err) {
  if (!disk.CreateCopy(dir, name, copy, err))
    return false;
  // Discarded also when the writing ends by an exception (no memory).
  struct Discard {
    DiskInterface& disk;
    FileHandle copy;
    bool armed = true;
    ~Discard() {
      if (armed)
        disk.DiscardCopy(copy);
    }
  } discard{disk, *copy};
  if (!writeConverted(disk, *copy, text, length, err))
    return false;
  discard.armed = false;
  return true;
}

MoveStatus saveReport(DiskInterface& disk, DirHandle dir, const char* name,
                      const char* text, size_t length, FileInfo* source,
                      std::string* err) {
  CopyCommit commit;
  if (!writeCopy(disk, dir, name, text, length, &commit.copy, err))
    return MoveStatus::Failed;
  commit.source = source;
  commit.dir = dir;
  commit.name = name;
  disk.CommitCopies(&commit, 1);
  *err = commit.err;
  return commit.status;
}
