// The road of one directory entry through a run: recognise the report, name
// its destination, make or confirm its directory, move it there, and tell
// the user on one line.
#ifndef KORENDEZO_REPORT_ROAD_H_
#define KORENDEZO_REPORT_ROAD_H_

#include <deque>
#include <string>
#include <vector>

#include "dir_cache.h"
#include "platform/platform.h"
#include "transfer.h"

struct LoadedReport;

// The run's buffers, allocated once and reused for every entry.
struct RunBuffers {
  char* dirName = nullptr;   // the report's directory, as the host names it
  char* destPath = nullptr;  // the report's path in it
  char* titleName = nullptr;
  char* playerId = nullptr;
  char* report = nullptr;
};

enum class Outcome {
  NotReport,  // no line: not a report, or gone before it was read
  Moved,
  Gone,   // another program moved or removed it while the run had it
  Waits,  // its copy waits to be committed: its line ends then
  Held,   // another program holds it: tried again after the others
  Left,
};

// The lines of a run, said in the order of their entries, each whole once
// its entry is done.
class OrderedLines {
 public:
  explicit OrderedLines(Console& console) : console_(console) {}
  // Says `line` as soon as every line before it is said.
  void Add(const std::string& line);
  // Keeps the place of a line whose end comes later; returns its number.
  size_t Hold(const std::string& head);
  // Ends held line `n` with `tail`, and says what can be said.
  void End(size_t n, const std::string& tail);

 private:
  struct Line {
    std::string text;
    bool whole;
  };
  std::deque<Line> lines_;
  size_t first_ = 0;  // the number of lines_.front()
  Console& console_;
};

class ReportRoad {
 public:
  // Holds at most `dirsHeld` destination directories open at once, and
  // commits up to `copiesAtOnce` copies together.
  ReportRoad(DiskInterface& disk, Console& console, const RunBuffers& buffers,
             size_t dirsHeld, size_t copiesAtOnce);
  // Discards the copies not committed: their reports stay.
  ~ReportRoad();
  ReportRoad(const ReportRoad&) = delete;
  ReportRoad& operator=(const ReportRoad&) = delete;

  // Takes the entry called `name` down the road. A report to be copied
  // waits there, its copy written, until copies enough to commit together
  // have come, or Finish. One that another program holds keeps its line's
  // place and waits for Finish.
  void Take(const char* name);
  // Commits the copies that wait, tries the held reports again until they
  // are let go or have waited long enough, and says every line.
  void Finish();
  // Whether a report or entry was left in place by a failure.
  bool AnyLeft() const { return anyLeft_; }

 private:
  // A report whose copy is written and waits to be committed.
  struct Waiting {
    FileHandle copy;
    FileInfo source;
    ByteDigest bytes;  // of the original, which must still hold them
    DirHandle dir;
    std::string name;
    size_t line;
    std::string head;   // its line so far, where lines_ does not hold it
    unsigned waitedMs;  // how long the run has paused for it (Held)
  };
  // A report that another program holds. It is tried again from its start,
  // opened and read anew, or, once its copy is in place, its original's
  // removal alone is, with the same check that it is the file read.
  struct Held {
    Waiting report;  // its name, line and time waited; for a removal, all
    std::string madeDir;  // the directory its first try made, if any
    bool removal;
  };

  Outcome Road(const char* name);
  bool Recognise(const LoadedReport& loaded, bool* hasTitle);
  void TellReport(const char* name, bool hasTitle);
  bool NameDestination(bool hasTitle, const char* entryName);
  bool OpenDestination(DirHandle* dir, bool renamed);
  Outcome Move(const char* name, DirHandle dir, LoadedReport* loaded);
  Outcome Copy(const char* name, DirHandle dir, LoadedReport* loaded);
  // Commits the copies that wait, removes their originals and ends their
  // lines.
  void CommitWaiting();
  Outcome RemoveOriginal(const Waiting& report);
  void TryHeldAgain();
  void TryAgain(Held* held);
  // What came of a report whose line holds its place in lines_: held
  // again, it waits for another try while it may; or its line ends.
  void Settle(Outcome outcome, Held* held);
  // Held, and why the report stays, should it be held to the end.
  Outcome Hold(const char* reason);
  // Ends the line of a report still held after its last try.
  Outcome StillHeld(const char* name);

  // Starts a line: the entry name right-aligned in 12 columns, then " : ".
  void StartLine(const char* name);
  void AppendReportName(const char* raw);
  Outcome Moved();
  Outcome Gone();
  // Ends the line of a report that stays where it is.
  Outcome Fail(const char* reason, const std::string& detail);
  // The whole line of an entry that could not be read.
  Outcome FailUnread(const char* name, const std::string& detail);

  DiskInterface& disk_;
  const RunBuffers& b_;
  DirCache dirs_;
  OrderedLines lines_;
  const size_t copiesAtOnce_;
  std::vector<Waiting> waiting_;
  std::vector<Held> held_;
  Held* retrying_ = nullptr;  // the held report being tried again, if any
  std::string madeDir_;  // the directory the report being taken made
  const char* heldReason_ = nullptr;
  bool anyLeft_ = false;
  // Reused for every entry: line_ is the line being made; block_ takes an
  // original's bytes again before it goes.
  std::string line_, local_, raw_, err_;
  std::vector<char> block_;
};

// Appends "HIBA: ", the reason and, when there is one, the system's detail
// in parentheses, then ends the line.
void appendFailure(std::string* line, const char* reason,
                   const std::string& detail);

#endif  // KORENDEZO_REPORT_ROAD_H_
