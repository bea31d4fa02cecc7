#include "sorting_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "recognition.h"
#include "report.h"
#include "transfer.h"

namespace {

#define HYPHENS \
  "------------------------------------------------------------------------------"

// The closing banner is the opening one without its last line feed.
constexpr char kBanner[] =
    "\n" HYPHENS "\n"
    "KO fordulokat rendezo program (by: Varno-Kess)\n"
    "ha problema van a programmal, emailt a korendezo@example.org cimre lehet irni\n"
    HYPHENS "\n\n";
constexpr char kNoReports[] = "Nincs fordulo a konyvtarban!\n";
constexpr char kDirCreated[] = " - konyvtar letrehozva";
constexpr char kNoMemory[] = "\r\nAbnormal program termination\r\n";

// Why a report or entry stays where it is.
constexpr char kTooBig[] = "a fajl tul nagy";
constexpr char kBadDirName[] = "ervenytelen konyvtarnev";
constexpr char kNoDir[] = "a konyvtar nem hozhato letre";
constexpr char kNoCopy[] = "a masolat nem irhato";
constexpr char kUnreadable[] = "a fajl nem olvashato";
constexpr char kNotRemoved[] = "a fajl nem torolheto";
constexpr char kNoListing[] = "a konyvtar nem olvashato";

constexpr size_t kNameColumns = 12;

enum class Outcome { NotReport, Moved, Left };

// The five buffers of a run, allocated once in this order and reused.
struct Buffers {
  char* dirName = nullptr;
  char* destPath = nullptr;
  char* titleName = nullptr;
  char* playerId = nullptr;
  char* report = nullptr;

  bool Allocate(Allocator allocate) {
    char** slots[] = {&dirName, &destPath, &titleName, &playerId, &report};
    const size_t sizes[] = {PATH_BUFFER_SIZE, PATH_BUFFER_SIZE,
                            PATH_BUFFER_SIZE, PLAYER_ID_SIZE,
                            REPORT_BUFFER_SIZE};
    for (size_t i = 0; i < 5; ++i) {
      *slots[i] = static_cast<char*>(allocate(sizes[i]));
      if (!*slots[i])
        return false;
    }
    return true;
  }
  void Release() {
    for (char* p : {dirName, destPath, titleName, playerId, report})
      std::free(p);
    *this = Buffers();
  }
};

// Portable part of the check on a directory name made from a report: it
// must name one new entry inside the current directory.
bool dirNameAllowed(const char* raw) {
  if (raw[0] == '\0' || std::strcmp(raw, ".") == 0 ||
      std::strcmp(raw, "..") == 0)
    return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(raw);
       *p; ++p) {
    if (*p < 0x20 || *p == 0x7F || *p == '/' || *p == '\\')
      return false;
  }
  return !hostRefusesDirName(raw);
}

// Appends "HIBA: ", the reason and, when there is one, the system's detail
// in parentheses, then ends the line.
void appendFailure(std::string* line, const char* reason,
                   const std::string& detail) {
  *line += "HIBA: ";
  *line += reason;
  if (!detail.empty()) {
    *line += " (";
    appendForConsole(line, detail.data(), detail.size());
    *line += ")";
  }
  *line += "\n";
}

class Run {
 public:
  Run(DiskInterface& disk, Console& console, const Buffers& buffers)
      : disk_(disk), console_(console), b_(buffers) {}

  Outcome Process(const char* name);

 private:
  void Say(const std::string& text) { console_.Write(text.data(), text.size()); }
  void Say(const char* text) { console_.Write(text, std::strlen(text)); }
  // Starts a line: the entry name right-aligned in 12 columns, then " : ".
  void StartLine(const char* name);
  void AppendReportName(const char* raw);
  // Ends the line of a report that stays where it is.
  Outcome Fail(const char* reason, const std::string& detail);
  // The whole line of an entry that could not be read.
  Outcome FailUnread(const char* name, const std::string& detail);

  DiskInterface& disk_;
  Console& console_;
  const Buffers& b_;
  // Reused for every entry.
  std::string line_, local_, err_;
};

void Run::StartLine(const char* name) {
  local_.clear();
  size_t width = appendForConsole(&local_, name, std::strlen(name));
  line_.assign(width < kNameColumns ? kNameColumns - width : 0, ' ');
  line_ += local_;
  line_ += " : ";
}

void Run::AppendReportName(const char* raw) {
  local_.clear();
  appendReportName(&local_, raw);
  appendForConsole(&line_, local_.data(), local_.size());
}

Outcome Run::Fail(const char* reason, const std::string& detail) {
  line_ = " - ";
  appendFailure(&line_, reason, detail);
  Say(line_);
  return Outcome::Left;
}

Outcome Run::FailUnread(const char* name, const std::string& detail) {
  StartLine(name);
  appendFailure(&line_, kUnreadable, detail);
  Say(line_);
  return Outcome::Left;
}

Outcome Run::Process(const char* name) {
  FindEntry entry = {};
  size_t nameLength = std::strlen(name);
  if (nameLength >= sizeof entry.name)
    return FailUnread(name, "a nev tul hosszu");
  std::memcpy(entry.name, name, nameLength + 1);

  LoadedReport loaded;
  if (!loadReport(disk_, b_.report, entry, &loaded, &err_)) {
    if (loaded.notAFile)
      return Outcome::NotReport;
    return FailUnread(name, err_);
  }
  if (!extractPlayerId(b_.playerId, b_.report, loaded.unconverted))
    return Outcome::NotReport;
  bool hasTitle =
      extractTitleName(b_.titleName, b_.report, loaded.unconverted);

  StartLine(name);
  AppendReportName(b_.playerId);
  if (hasTitle) {
    line_ += '_';
    AppendReportName(b_.titleName);
  }
  Say(line_);

  if (loaded.tooBig)
    return Fail(kTooBig, "");

  // The directory name as the report gives it, then in the host's encoding.
  int n = hasTitle ? std::snprintf(b_.dirName, PATH_BUFFER_SIZE, "%s_%s",
                                   b_.playerId, b_.titleName)
                   : std::snprintf(b_.dirName, PATH_BUFFER_SIZE, "%s",
                                   b_.playerId);
  if (n < 0 || static_cast<size_t>(n) >= PATH_BUFFER_SIZE ||
      !dirNameAllowed(b_.dirName))
    return Fail(kBadDirName, "");
  local_.clear();
  appendReportName(&local_, b_.dirName);
  n = std::snprintf(b_.destPath, PATH_BUFFER_SIZE, "%s/%s", local_.c_str(),
                    entry.name);
  // The identifier and title give at most 35 bytes, at most 70 once in
  // UTF-8; with a slash and a name of under 260 bytes every path fits.
  if (local_.size() >= PATH_BUFFER_SIZE || n < 0 ||
      static_cast<size_t>(n) >= PATH_BUFFER_SIZE)
    return Fail(kBadDirName, "");
  std::memcpy(b_.dirName, local_.c_str(), local_.size() + 1);

  bool exists = false;
  if (disk_.MakeDir(b_.dirName, &exists, &err_)) {
    Say(kDirCreated);
  } else {
    if (!exists)
      return Fail(kNoDir, err_);
    // Only a real directory will do: a link could lead out of the folder.
    NodeKind kind;
    std::string kindErr;
    if (!disk_.Kind(b_.dirName, &kind, &kindErr))
      return Fail(kNoDir, kindErr);
    if (kind != NodeKind::Directory)
      return Fail(kNoDir, err_);
  }

  NodeKind destKind;
  if (!disk_.Kind(b_.destPath, &destKind, &err_))
    return Fail(kNoCopy, err_);
  if (destKind != NodeKind::Missing && destKind != NodeKind::File)
    return Fail(kNoCopy, std::string(b_.destPath) + ": not a regular file");

  // When the copy would hold the same bytes, renaming the file moves it
  // atomically; should that fail (another file system, say), copy it.
  if (!loaded.hasBareLineFeed &&
      disk_.Rename(entry.name, b_.destPath, &err_)) {
    Say("\n");
    return Outcome::Moved;
  }
  convertReport(b_.report, &loaded);
  if (!saveReport(disk_, b_.destPath, b_.report, loaded.length, &err_))
    return Fail(kNoCopy, err_);
  if (!disk_.Remove(entry.name, &err_))
    return Fail(kNotRemoved, err_);
  Say("\n");
  return Outcome::Moved;
}

}  // namespace

int sortReports(DiskInterface& disk, Console& console, Allocator allocate) {
  Buffers buffers;
  if (!buffers.Allocate(allocate ? allocate : std::malloc)) {
    buffers.Release();
    console.WriteError(kNoMemory, sizeof kNoMemory - 1);
    return EXIT_NO_MEMORY;
  }

  console.Write(kBanner, sizeof kBanner - 1);
  int status = EXIT_ALL_MOVED;
  NameList names;
  std::string err;
  if (!disk.ListEntries(&names, &err)) {
    std::string line;
    appendFailure(&line, kNoListing, err);
    console.Write(line.data(), line.size());
    status = EXIT_SOME_LEFT;
  } else if (names.empty()) {
    console.Write(kNoReports, sizeof kNoReports - 1);
  } else {
    names.SortLikeListing();
    Run run(disk, console, buffers);
    for (size_t i = 0; i < names.size(); ++i) {
      if (run.Process(names[i]) == Outcome::Left)
        status = EXIT_SOME_LEFT;
    }
  }
  buffers.Release();

  console.Write(kBanner, sizeof kBanner - 2);
  console.WaitForKey();
  return status;
}
