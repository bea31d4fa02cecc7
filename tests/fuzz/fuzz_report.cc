// libFuzzer target over recognition and the text transfer.
//
// The input is a report file. Recognition must stay within its buffers,
// leave "" when it says no, and answer alike on the file's bytes and its
// text; loading and saving the file must give exactly its bytes with each
// bare LF turned into CR LF.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "recognition.h"
#include "buffers.h"
#include "transfer.h"
#include "virtual_disk.h"

namespace {

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "violated: %s\n", what);
    std::abort();
  }
}

std::string losslessCopy(const std::string& file) {
  std::string out;
  for (size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '\n' && (i == 0 || file[i - 1] != '\r'))
      out += '\r';
    out += file[i];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::unique_ptr<char[]> report(new char[REPORT_BUFFER_SIZE]);
  const std::string file(reinterpret_cast<const char*>(data), size);

  // Reads of one to a few bytes put CR LF pairs on every boundary.
  VirtualDisk disk;
  disk.files["r.htm"] = file;
  disk.dirs.insert("d");
  disk.readLimit = size == 0 ? 1 : 1 + data[0] % 7;
  FindEntry entry = {};
  std::strcpy(entry.name, "r.htm");
  LoadedReport loaded;
  std::string err;
  require(loadReport(disk, report.get(), entry, &loaded, &err) ==
              LoadStatus::Loaded,
          "load");
  require(!loaded.tooBig, "small input fits");
  require(report[loaded.length] == '\0', "text is terminated");

  // Recognition gives the same answers on the file's bytes as on its text.
  char id[PLAYER_ID_SIZE], idAsRead[PLAYER_ID_SIZE];
  char title[PATH_BUFFER_SIZE], titleAsRead[PATH_BUFFER_SIZE];
  require(!loaded.asRead || !loaded.hasBareLineFeed,
          "kept as read only when it moves by rename");
  const ReportText asRead = loaded.Text(report.get());
  bool isReportAsRead = extractPlayerId(idAsRead, asRead);
  bool hasTitleAsRead = extractTitleName(titleAsRead, asRead);
  convertReport(report.get(), &loaded);
  DirHandle dir;
  require(disk.OpenDir("d", &dir, &err) == DirStatus::Opened, "directory");
  require(saveReport(disk, dir, "r.htm", report.get(), loaded.length,
                     &loaded.source, &err) == MoveStatus::Moved,
          "save");
  disk.CloseDir(dir);
  const std::string& copy = disk.files["d/r.htm"];
  require(copy == losslessCopy(file), "lossless copy");
  require(loaded.hasBareLineFeed == (copy != file),
          "bare LF exactly when the copy differs");
  require(disk.OpenHandles() == 0, "files closed");

  const ReportText text = ReportText::OfText(report.get());
  bool isReport = extractPlayerId(id, text);
  require(std::strlen(id) <= 4 && (isReport || id[0] == '\0'), "identifier");
  bool hasTitle = extractTitleName(title, text);
  require(std::strlen(title) <= 30 && (hasTitle || title[0] == '\0'),
          "title name");
  require(isReport == isReportAsRead && std::strcmp(id, idAsRead) == 0,
          "identifier as read");
  require(hasTitle == hasTitleAsRead && std::strcmp(title, titleAsRead) == 0,
          "title name as read");
  int32_t number;
  nthNumberFromEnd(report.get(), 1 + (size ? data[size - 1] % 4 : 0), &number);
  return 0;
}
