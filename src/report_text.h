// A report's text as it stands in the report buffer, for recognition to
// search and take bytes from.
//
// A report that moves by rename is kept as its file's bytes, whose text
// differs only in that the CR of each CR LF pair is dropped; its text is
// read through that rule instead of being made.
#ifndef KORENDEZO_REPORT_TEXT_H_
#define KORENDEZO_REPORT_TEXT_H_

#include <cstddef>
#include <cstring>

class ReportText {
 public:
  // The buffer holds the text itself, NUL-terminated.
  static ReportText OfText(const char* text) { return ReportText(text, false); }
  // The buffer holds a file's bytes, NUL-terminated.
  static ReportText OfFileBytes(const char* bytes) {
    return ReportText(bytes, true);
  }

  // The first occurrence of `needle`, which holds no CR or LF, as a place in
  // the buffer; null when there is none.
  const char* Find(const char* needle) const {
    return std::strstr(buffer_, needle);
  }
  // Copies up to `count` bytes of the text that starts at `at`, a place in
  // the buffer, into `out`, stopping at the end of the text. Returns the
  // number of bytes copied.
  size_t Copy(const char* at, size_t count, char* out) const;

 private:
  ReportText(const char* buffer, bool fileBytes)
      : buffer_(buffer), fileBytes_(fileBytes) {}

  const char* buffer_;
  bool fileBytes_;
};

#endif  // KORENDEZO_REPORT_TEXT_H_
