// Transfer of a report's text from its file into the report buffer and from
// there into its new file.
//
// Reading drops the CR of every CR LF pair; writing turns every LF into
// CR LF. Every other byte, a lone CR, 0x1A and NUL included, passes through
// unchanged, so the only change a moved report can see is a bare LF becoming
// CR LF.
#ifndef KORENDEZO_TRANSFER_H_
#define KORENDEZO_TRANSFER_H_

#include <cstddef>
#include <string>

#include "buffers.h"
#include "platform/platform.h"
#include "report_text.h"

// A 128-bit digest of bytes, the same however they are cut into pieces:
// what a copied report's original must still hold before it goes. It
// catches a change that size and times miss (a rewrite in place, a file
// system whose clocks are coarse or stand still), not one made to fool it.
class ByteDigest {
 public:
  void Add(const char* data, size_t size);
  bool operator==(const ByteDigest& other) const;

 private:
  void Mix(const unsigned char* block);
  uint64_t h_[2] = {0x6b6f72656e64657aULL, 0x6f2d646967657374ULL};
  uint64_t size_ = 0;
  unsigned char tail_[16] = {};
};

enum class LoadStatus {
  Loaded,
  NotAFile,  // the entry is a directory, a link, a device...
  Gone,      // another program moved or removed it since the listing
  Held,      // another program holds it, for now
  Failed,    // it could not be opened or read to its end
};

struct LoadedReport {
  size_t length = 0;          // bytes in the buffer, NULs included
  bool tooBig = false;        // the text does not fit with its NUL byte
  bool hasBareLineFeed = false;  // some LF is not preceded by CR
  // The buffer holds the file's bytes as they are, which differ from its
  // text by the CR of each CR LF pair. Only ever set for a file without a
  // bare LF: such a file moves by rename, so its text need not be made.
  // convertReport makes it.
  bool asRead = false;
  FileInfo source;  // which file it was, and what its copy takes over
  // Of the file's bytes; until `digested`, the buffer holds them as read
  // (convertReport digests them).
  ByteDigest digest;
  bool digested = false;

  // The report's text, for recognition, in the buffer that was loaded.
  ReportText Text(const char* report) const {
    return asRead ? ReportText::OfFileBytes(report)
                  : ReportText::OfText(report);
  }
};

// Reads the file named by entry.name into `report` (REPORT_BUFFER_SIZE
// bytes), NUL-terminated, as text or, see LoadedReport::asRead, as the
// file's bytes. A text that does not fit is cut at REPORT_BUFFER_SIZE - 1
// bytes and flagged tooBig.
LoadStatus loadReport(DiskInterface& disk, char* report, FindEntry entry,
                      LoadedReport* loaded, std::string* err);

// Turns a buffer held as read into the report's text, having digested the
// file's bytes: for a report to be copied.
void convertReport(char* report, LoadedReport* loaded);

// Whether the file open as `file` (for reading, at its start) holds `size`
// bytes whose digest is `digest`; `block` (of `blockSize` bytes) takes
// them. A read error says no, with *err.
bool sameBytes(DiskInterface& disk, FileHandle file, uint64_t size,
               const ByteDigest& digest, char* block, size_t blockSize,
               std::string* err);

// Writes `length` bytes of text, converted, into a new copy that is to
// become the file `name` in `dir`: a file nobody sees before the disk
// commits it (DiskInterface::CommitCopies). On failure the copy is gone.
bool writeCopy(DiskInterface& disk, DirHandle dir, const char* name,
               const char* text, size_t length, FileHandle* copy,
               std::string* err);

// Writes `length` bytes of text, converted, as the file `name` in `dir`,
// replacing a file there, without ever leaving a partial file: the copy is
// written where nobody sees it, given `source`'s metadata, flushed to
// stable storage, and only then put in place. On any failure it is gone.
MoveStatus saveReport(DiskInterface& disk, DirHandle dir, const char* name,
                      const char* text, size_t length, FileInfo* source,
                      std::string* err);

#endif  // KORENDEZO_TRANSFER_H_
