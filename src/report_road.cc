#include "report_road.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "buffers.h"
#include "messages.h"
#include "recognition.h"
#include "transfer.h"

namespace {

constexpr size_t kNameColumns = 12;

// A report that another program holds is tried again after pauses that
// grow from the first, until it has waited this long in all: a virus
// scanner lets a file go within a second or so.
constexpr unsigned kFirstPauseMs = 50;
constexpr unsigned kHeldForMs = 2000;

// Bytes read at once when an original's bytes are compared before it goes.
constexpr size_t kCheckBlock = size_t{64} * 1024;

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

}  // namespace

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

void OrderedLines::Add(const std::string& line) {
  if (lines_.empty()) {
    console_.Write(line.data(), line.size());
    ++first_;
    return;
  }
  lines_.push_back(Line{line, true});
}

size_t OrderedLines::Hold(const std::string& head) {
  lines_.push_back(Line{head, false});
  return first_ + lines_.size() - 1;
}

void OrderedLines::End(size_t n, const std::string& tail) {
  Line& line = lines_[n - first_];
  line.text += tail;
  line.whole = true;
  while (!lines_.empty() && lines_.front().whole) {
    console_.Write(lines_.front().text.data(), lines_.front().text.size());
    lines_.pop_front();
    ++first_;
  }
}

ReportRoad::ReportRoad(DiskInterface& disk, Console& console,
                       const RunBuffers& buffers, size_t dirsHeld,
                       size_t copiesAtOnce)
    : disk_(disk),
      b_(buffers),
      dirs_(disk, dirsHeld),
      lines_(console),
      copiesAtOnce_(copiesAtOnce > 0 ? copiesAtOnce : 1),
      block_(kCheckBlock) {
  // A directory is closed only once no copy waits to go into it.
  dirs_.BeforeClosing([this] { CommitWaiting(); });
}

ReportRoad::~ReportRoad() {
  for (const Waiting& w : waiting_)
    disk_.DiscardCopy(w.copy);
}

void ReportRoad::Take(const char* name) {
  line_.clear();
  madeDir_.clear();
  switch (Road(name)) {
    case Outcome::NotReport:
    case Outcome::Waits:
      return;
    case Outcome::Held:
      held_.push_back(Held{
          {-1, FileInfo(), {}, -1, name, lines_.Hold(""), "", 0}, madeDir_,
          false});
      return;
    case Outcome::Left:
      anyLeft_ = true;
      break;
    case Outcome::Moved:
    case Outcome::Gone:
      break;
  }
  lines_.Add(line_);
}

void ReportRoad::Finish() {
  CommitWaiting();
  TryHeldAgain();
}

// Takes one entry down the road; line_ gets its whole line, unless it
// waits to be committed.
Outcome ReportRoad::Road(const char* name) {
  FindEntry entry = {};
  size_t nameLength = std::strlen(name);
  if (nameLength >= sizeof entry.name)
    return FailUnread(name, kNameTooLong);
  std::memcpy(entry.name, name, nameLength + 1);

  LoadedReport loaded;
  switch (loadReport(disk_, b_.report, entry, &loaded, &err_)) {
    case LoadStatus::Loaded:
      break;
    case LoadStatus::NotAFile:
    case LoadStatus::Gone:
      return Outcome::NotReport;
    case LoadStatus::Held:
      return Hold(kUnreadable);
    case LoadStatus::Failed:
      return FailUnread(name, err_);
  }
  bool hasTitle = false;
  if (!Recognise(loaded, &hasTitle))
    return Outcome::NotReport;
  TellReport(name, hasTitle);
  if (loaded.tooBig)
    return Fail(kTooBig, "");
  if (!NameDestination(hasTitle, entry.name))
    return Fail(kBadDirName, "");
  DirHandle dir;
  if (!OpenDestination(&dir, !loaded.hasBareLineFeed))
    return Fail(kNoDir, err_);
  return Move(entry.name, dir, &loaded);
}

// Fills the identifier and title buffers; false when the entry is not a
// report of the game.
bool ReportRoad::Recognise(const LoadedReport& loaded, bool* hasTitle) {
  ReportText text = loaded.Text(b_.report);
  if (!extractPlayerId(b_.playerId, text))
    return false;
  *hasTitle = extractTitleName(b_.titleName, text);
  return true;
}

// The head of the report's line: its name, its player and its title.
void ReportRoad::TellReport(const char* name, bool hasTitle) {
  StartLine(name);
  AppendReportName(b_.playerId);
  if (hasTitle) {
    line_ += '_';
    AppendReportName(b_.titleName);
  }
}

// Checks the directory name the report gives, then puts it in the host's
// encoding into the directory name buffer, and the report's path in it
// into the destination path buffer.
bool ReportRoad::NameDestination(bool hasTitle, const char* entryName) {
  raw_ = b_.playerId;
  if (hasTitle) {
    raw_ += '_';
    raw_ += b_.titleName;
  }
  if (!dirNameAllowed(raw_.c_str()))
    return false;
  local_.clear();
  appendReportName(&local_, raw_.c_str());
  int n = std::snprintf(b_.destPath, PATH_BUFFER_SIZE, "%s/%s", local_.c_str(),
                        entryName);
  // The identifier and title give at most 35 bytes, at most 70 once in
  // UTF-8; with a slash and a name of under FIND_NAME_SIZE bytes every
  // path fits.
  if (local_.size() >= PATH_BUFFER_SIZE || n < 0 ||
      static_cast<size_t>(n) >= PATH_BUFFER_SIZE)
    return false;
  std::memcpy(b_.dirName, local_.c_str(), local_.size() + 1);
  return true;
}

// Makes the directory, saying so, or confirms that one is there. Only a
// real directory will do: a link could lead out of the folder. A report
// `renamed` into it is looked at there through the folder after its
// rename, which proves the directory still in its place.
bool ReportRoad::OpenDestination(DirHandle* dir, bool renamed) {
  // A report whose copy waits still has its name, which the directory may
  // be about to take: it goes first, as it would one after another.
  for (const Waiting& w : waiting_) {
    if (w.name == b_.dirName) {
      CommitWaiting();
      break;
    }
  }
  switch (dirs_.Open(b_.dirName, dir, &err_, renamed)) {
    case DirStatus::Made:
      madeDir_ = b_.dirName;
      line_ += kDirCreated;
      return true;
    case DirStatus::Opened:
      // Made by this report's own try, which a hold cut short.
      if (madeDir_ == b_.dirName)
        line_ += kDirCreated;
      return true;
    case DirStatus::Taken:
    case DirStatus::Failed:
      break;
  }
  return false;
}

// Moves the report by renaming it when its copy would hold the same bytes,
// and where the rename cannot do it, by copying it.
Outcome ReportRoad::Move(const char* name, DirHandle dir,
                         LoadedReport* loaded) {
  if (loaded->hasBareLineFeed)
    return Copy(name, dir, loaded);
  switch (disk_.MoveInto(name, loaded->source, dir, &err_)) {
    case MoveStatus::Moved:
      return Moved();
    case MoveStatus::CopyInstead:
      return Copy(name, dir, loaded);
    case MoveStatus::SourceStays:
      return Fail(kNotRemoved, err_);
    case MoveStatus::Taken:
      return Fail(kNoCopy, err_);
    case MoveStatus::Gone:
      return Gone();
    case MoveStatus::Held:
      return Hold(kNotMoved);
    case MoveStatus::Failed:
      // Its directory left the folder: later reports get a new one.
      if (!disk_.DirStillThere(dir))
        dirs_.Forget(dir);
      break;
  }
  return Fail(kNotMoved, err_);
}

// Writes the report's copy, which then waits to be committed with others;
// the original goes only once its copy is in place.
Outcome ReportRoad::Copy(const char* name, DirHandle dir,
                         LoadedReport* loaded) {
  convertReport(b_.report, loaded);
  // Its room made first: once the copy exists, it waits before anything
  // needs memory, and memory running out then discards it with the rest.
  Waiting waiting{-1, loaded->source, loaded->digest, dir, name, 0, "", 0};
  waiting_.reserve(copiesAtOnce_);
  if (!writeCopy(disk_, dir, name, b_.report, loaded->length, &waiting.copy,
                 &err_))
    return Fail(kNoCopy, err_);
  waiting_.push_back(std::move(waiting));
  Waiting& w = waiting_.back();
  if (retrying_) {
    // Its line keeps the place it has held since its first try.
    w.line = retrying_->report.line;
    w.head.swap(line_);
    w.waitedMs = retrying_->report.waitedMs;
  } else {
    w.line = lines_.Hold(line_);
  }
  line_.clear();
  if (waiting_.size() >= copiesAtOnce_)
    CommitWaiting();
  return Outcome::Waits;
}

void ReportRoad::CommitWaiting() {
  if (waiting_.empty())
    return;
  // Made while the copies wait, where memory running out discards them;
  // from CommitCopies on, the disk discards what it does not commit.
  std::vector<CopyCommit> commits(waiting_.size());
  // Taken out first: whatever happens now, none is discarded twice.
  std::vector<Waiting> batch;
  batch.swap(waiting_);
  // The line being made, if any, waits while these lines end in line_.
  std::string current;
  current.swap(line_);
  for (size_t i = 0; i < batch.size(); ++i) {
    commits[i].copy = batch[i].copy;
    commits[i].source = &batch[i].source;
    commits[i].dir = batch[i].dir;
    commits[i].name = batch[i].name.c_str();
  }
  disk_.CommitCopies(commits.data(), commits.size());
  for (size_t i = 0; i < batch.size(); ++i) {
    Waiting& w = batch[i];
    line_.clear();
    Outcome outcome = commits[i].status == MoveStatus::Moved
                          ? RemoveOriginal(w)
                          : Fail(kNoCopy, commits[i].err);
    Held held{std::move(w), "", true};
    Settle(outcome, &held);
  }
  line_.swap(current);
}

// Removes the original of a report whose copy is in place, once it proves
// to hold the bytes that were copied.
Outcome ReportRoad::RemoveOriginal(const Waiting& report) {
  const DiskInterface::BytesCheck same = [&](FileHandle file,
                                             std::string* err) {
    return sameBytes(disk_, file, report.source.size, report.bytes,
                     block_.data(), block_.size(), err);
  };
  switch (disk_.Remove(report.name.c_str(), report.source, &same, &err_)) {
    case RemoveStatus::Removed:
      return Moved();
    case RemoveStatus::Gone:
      return Gone();
    case RemoveStatus::Held:
      return Hold(kNotRemoved);
    case RemoveStatus::Stays:
      break;
  }
  return Fail(kNotRemoved, err_);
}

// Tries the held reports again after pauses that grow, each until it is
// let go or has waited kHeldForMs in all. The copies of those read now are
// committed after each round.
void ReportRoad::TryHeldAgain() {
  for (unsigned pause = kFirstPauseMs; !held_.empty();
       pause = std::min(2 * pause, kHeldForMs)) {
    unsigned ms = pause;
    for (const Held& h : held_)
      ms = std::min(ms, kHeldForMs - h.report.waitedMs);
    disk_.Pause(ms);
    std::vector<Held> round;
    round.swap(held_);
    for (Held& h : round) {
      h.report.waitedMs += ms;
      TryAgain(&h);
    }
    CommitWaiting();
  }
}

void ReportRoad::TryAgain(Held* held) {
  line_.clear();
  Outcome outcome;
  if (held->removal) {
    outcome = RemoveOriginal(held->report);
  } else {
    madeDir_ = held->madeDir;
    retrying_ = held;
    outcome = Road(held->report.name.c_str());
    retrying_ = nullptr;
    held->madeDir = madeDir_;
  }
  if (outcome != Outcome::Waits)
    Settle(outcome, held);
}

void ReportRoad::Settle(Outcome outcome, Held* held) {
  Waiting& report = held->report;
  if (outcome == Outcome::Held) {
    if (report.waitedMs < kHeldForMs) {
      held_.push_back(std::move(*held));
      return;
    }
    outcome = StillHeld(report.name.c_str());
  }
  anyLeft_ = anyLeft_ || outcome == Outcome::Left;
  lines_.End(report.line, report.head + line_);
}

Outcome ReportRoad::Hold(const char* reason) {
  heldReason_ = reason;
  return Outcome::Held;
}

Outcome ReportRoad::StillHeld(const char* name) {
  return heldReason_ == kUnreadable ? FailUnread(name, err_)
                                    : Fail(heldReason_, err_);
}

void ReportRoad::StartLine(const char* name) {
  local_.clear();
  size_t width = appendForConsole(&local_, name, std::strlen(name));
  line_.assign(width < kNameColumns ? kNameColumns - width : 0, ' ');
  line_ += local_;
  line_ += " : ";
}

void ReportRoad::AppendReportName(const char* raw) {
  local_.clear();
  appendReportName(&local_, raw);
  appendForConsole(&line_, local_.data(), local_.size());
}

Outcome ReportRoad::Moved() {
  line_ += '\n';
  return Outcome::Moved;
}

Outcome ReportRoad::Gone() {
  line_ += kGone;
  line_ += '\n';
  return Outcome::Gone;
}

Outcome ReportRoad::Fail(const char* reason, const std::string& detail) {
  line_ += " - ";
  appendFailure(&line_, reason, detail);
  return Outcome::Left;
}

Outcome ReportRoad::FailUnread(const char* name, const std::string& detail) {
  StartLine(name);
  appendFailure(&line_, kUnreadable, detail);
  return Outcome::Left;
}

