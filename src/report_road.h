// The road of one directory entry through a run: recognise the report, name
// its destination, make or confirm its directory, move it there, and tell
// the user on one line.
#ifndef KORENDEZO_REPORT_ROAD_H_
#define KORENDEZO_REPORT_ROAD_H_

#include <string>

#include "dir_cache.h"
#include "platform/platform.h"

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
  Gone,  // another program moved or removed it while the run had it
  Left,
};

class ReportRoad {
 public:
  // Holds at most `dirsHeld` destination directories open at once.
  ReportRoad(DiskInterface& disk, Console& console, const RunBuffers& buffers,
             size_t dirsHeld)
      : disk_(disk), console_(console), b_(buffers), dirs_(disk, dirsHeld) {}

  // Takes the entry called `name` down the road.
  Outcome Take(const char* name);

 private:
  bool Recognise(const LoadedReport& loaded, bool* hasTitle);
  void TellReport(const char* name, bool hasTitle);
  bool NameDestination(bool hasTitle, const char* entryName);
  bool OpenDestination(DirHandle* dir);
  Outcome Move(const char* name, DirHandle dir, LoadedReport* loaded);
  Outcome Copy(const char* name, DirHandle dir, LoadedReport* loaded);

  void Say(const std::string& text) { console_.Write(text.data(), text.size()); }
  void Say(const char* text);
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
  Console& console_;
  const RunBuffers& b_;
  DirCache dirs_;
  // Reused for every entry.
  std::string line_, local_, raw_, err_;
};

// Appends "HIBA: ", the reason and, when there is one, the system's detail
// in parentheses, then ends the line.
void appendFailure(std::string* line, const char* reason,
                   const std::string& detail);

#endif  // KORENDEZO_REPORT_ROAD_H_
