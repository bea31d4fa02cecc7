#include "sorting_run.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <string>

#include "buffers.h"
#include "messages.h"
#include "report_road.h"

namespace {

// At most how many entries ahead of the one taken the disk is told to
// read, so that their reads are in flight while it is handled. It is told
// again only when half of them are left: reads asked for together end
// together, and are answered with fewer interrupts. See bench/README.md.
constexpr size_t kReadAheadDepth = 32;

// Allocates the five buffers of a run, in this order.
bool allocateBuffers(RunBuffers* b, Allocator allocate) {
  char** slots[] = {&b->dirName, &b->destPath, &b->titleName, &b->playerId,
                    &b->report};
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

void releaseBuffers(RunBuffers* b) {
  for (char* p : {b->dirName, b->destPath, b->titleName, b->playerId,
                  b->report})
    std::free(p);
  *b = RunBuffers();
}

// Lists the folder and sends every entry down its road, in the order of
// the home platform's listing. Returns the exit status.
int sortFolder(DiskInterface& disk, Console& console, const RunBuffers& buffers) {
  NameList names;
  std::string err;
  if (!disk.ListEntries(&names, &err)) {
    std::string line;
    appendFailure(&line, kNoListing, err);
    console.Write(line.data(), line.size());
    return EXIT_SOME_LEFT;
  }
  disk.RemoveLeftovers();
  if (names.empty()) {
    console.Write(kNoReports, sizeof kNoReports - 1);
    return EXIT_ALL_MOVED;
  }
  names.SortLikeListing();
  // The files the run may hold open go to reading ahead and to copies that
  // wait to be committed (a quarter each, up to their most), and to
  // destination directories.
  const size_t room = disk.HandleRoom();
  const size_t depth = std::min(kReadAheadDepth, room / 4);
  const size_t copies = std::max<size_t>(1, std::min(kCopiesAtOnce, room / 4));
  ReportRoad road(disk, console, buffers,
                  room > depth + copies ? room - depth - copies : 1, copies);
  // What was read ahead and not taken is dropped however the loop ends.
  struct DropReadAhead {
    DiskInterface& disk;
    ~DropReadAhead() { disk.ReadAhead(nullptr); }
  } drop{disk};
  size_t told = 0;  // entries the disk was told of so far
  for (size_t i = 0; i < names.size(); ++i) {
    if (depth != 0 && told <= i + depth / 2) {
      for (; told < names.size() && told < i + depth; ++told)
        disk.ReadAhead(names[told]);
    }
    road.Take(names[i]);
  }
  road.Finish();
  return road.AnyLeft() ? EXIT_SOME_LEFT : EXIT_ALL_MOVED;
}

// Sorts the folder while holding its lock, after waiting for another run
// that holds it. Returns the exit status.
int sortLockedFolder(DiskInterface& disk, Console& console,
                     const RunBuffers& buffers) {
  if (disk.LockFolder(false) == LockStatus::Busy) {
    console.Write(kWaitingForRun, sizeof kWaitingForRun - 1);
    // Said before the wait, wherever the output goes; output lost is told
    // at the end.
    std::string later;
    console.Flush(&later);
    disk.LockFolder(true);
  }
  struct Unlock {
    DiskInterface& disk;
    ~Unlock() { disk.UnlockFolder(); }
  } unlock{disk};
  return sortFolder(disk, console, buffers);
}

}  // namespace

int sortReports(DiskInterface& disk, Console& console, Allocator allocate) {
  RunBuffers buffers;
  int status = EXIT_NO_MEMORY;
  try {
    if (allocateBuffers(&buffers, allocate ? allocate : std::malloc)) {
      console.Write(kBanner, sizeof kBanner - 1);
      status = sortLockedFolder(disk, console, buffers);
    }
  } catch (const std::bad_alloc&) {
    // What was said so far stays said; the copies not in place are gone.
    std::string ignored;
    console.Flush(&ignored);
  }
  releaseBuffers(&buffers);
  if (status == EXIT_NO_MEMORY) {
    console.WriteError(kNoMemory, sizeof kNoMemory - 1);
    return status;
  }
  console.Write(kBanner, sizeof kBanner - 2);
  status = finishOutput(console, status);
  console.WaitForKey();
  return status;
}

int finishOutput(Console& console, int status) {
  std::string err;
  if (console.Flush(&err))
    return status;
  std::string line;
  appendFailure(&line, kOutputLost, err);
  console.WriteError(line.data(), line.size());
  return EXIT_SOME_LEFT;
}
