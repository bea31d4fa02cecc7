#include "transfer.h"

#include <algorithm>
#include <cstring>

#include "line_ends.h"

namespace {

uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

uint64_t load64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i)
    v = (v << 8) | p[i];
  return v;
}

uint64_t avalanche(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  return k ^ (k >> 33);
}

constexpr uint64_t kC1 = 0x87c37b91114253d5ULL;
constexpr uint64_t kC2 = 0x4cf5ad432745937fULL;

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

  // From here on the buffer holds text: the file's bytes are digested as
  // they come.
  void MakeText() {
    loaded_->digest.Add(report_, length_);
    loaded_->digested = true;
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
      loaded_->digest.Add(report_ + length_, *got);
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
    loaded_->digest.Add(&next, 1);
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

void ByteDigest::Mix(const unsigned char* block) {
  uint64_t k1 = load64(block), k2 = load64(block + 8);
  h_[0] ^= rotl(k1 * kC1, 31) * kC2;
  h_[0] = (rotl(h_[0], 27) + h_[1]) * 5 + 0x52dce729;
  h_[1] ^= rotl(k2 * kC2, 33) * kC1;
  h_[1] = (rotl(h_[1], 31) + h_[0]) * 5 + 0x38495ab5;
}

void ByteDigest::Add(const char* data, size_t size) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  size_t held = static_cast<size_t>(size_ % 16);
  size_ += size;
  if (held > 0) {
    size_t n = std::min(size, 16 - held);
    std::memcpy(tail_ + held, p, n);
    p += n;
    size -= n;
    if (held + n < 16)
      return;
    Mix(tail_);
  }
  for (; size >= 16; p += 16, size -= 16)
    Mix(p);
  std::memcpy(tail_, p, size);
}

bool ByteDigest::operator==(const ByteDigest& other) const {
  // Finished on copies: the last bytes, zero-padded, then the size.
  ByteDigest a = *this, b = other;
  for (ByteDigest* d : {&a, &b}) {
    size_t held = static_cast<size_t>(d->size_ % 16);
    std::memset(d->tail_ + held, 0, 16 - held);
    d->Mix(d->tail_);
    d->h_[0] = avalanche(d->h_[0] ^ d->size_);
    d->h_[1] = avalanche(d->h_[1] + d->h_[0]);
  }
  return a.h_[0] == b.h_[0] && a.h_[1] == b.h_[1];
}

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
  if (!loaded->digested) {
    loaded->digest.Add(report, loaded->length);
    loaded->digested = true;
  }
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

bool sameBytes(DiskInterface& disk, FileHandle file, uint64_t size,
               const ByteDigest& digest, char* block, size_t blockSize,
               std::string* err) {
  ByteDigest now;
  uint64_t read = 0;
  for (;;) {
    // One byte more than the size is asked for: a read that gets less
    // proves the end, with no read that gets nothing.
    const uint64_t left = size - std::min(read, size) + 1;
    const size_t ask = left < blockSize ? static_cast<size_t>(left) : blockSize;
    size_t got = 0;
    if (!disk.Read(file, block, ask, &got, err))
      return false;
    now.Add(block, got);
    read += got;
    // Past the size, it has changed: no need to read the rest.
    if (read > size)
      return false;
    if (got < ask)
      break;
  }
  return read == size && now == digest;
}
