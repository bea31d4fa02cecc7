// Micro-benchmarks of the per-byte work of a run on 1 MB reports, each
// beside memcpy of the same bytes. Every benchmark runs twice: on the same
// report each iteration (reports:1), and on a different one of eight each
// iteration (reports:8). The branch predictor learns a text it sees again
// and again, so only the second shows the speed on a folder of reports.
// After the usual table, each speed is printed as a share of memcpy's
// (median of the repetitions).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "recognition.h"
#include "buffers.h"
#include "report_maker.h"
#include "transfer.h"

namespace {

constexpr size_t kReportSize = 1000 * 1000;
constexpr int kMaxReports = 8;

// Raw 1 MB reports with CR LF or LF ends; markers after the body, so that
// recognition looks at every byte, as it does on a page that is not a
// report. Each is NUL-terminated by std::string, as the report buffer is.
const std::string& rawReport(bool crlf, int which) {
  static std::string texts[2][kMaxReports];
  std::string& text = texts[crlf][which];
  if (text.empty()) {
    size_t count;
    const Game* games = benchGames(&count);
    Rng rng(7 + static_cast<uint64_t>(which));
    text = makeReport(rng, games[which % count], 12 + which, kReportSize,
                      crlf ? "\r\n" : "\n", /*markersAtEnd=*/true);
  }
  return text;
}

// Cycles through the first `count` reports of one kind.
class Reports {
 public:
  Reports(bool crlf, int64_t count)
      : crlf_(crlf), count_(static_cast<int>(count)) {}
  const std::string& Next() {
    const std::string& text = rawReport(crlf_, next_);
    next_ = (next_ + 1) % count_;
    return text;
  }

 private:
  bool crlf_;
  int count_;
  int next_ = 0;
};

void BM_Memcpy(benchmark::State& state) {
  Reports reports(true, state.range(0));
  std::vector<char> dst(REPORT_BUFFER_SIZE);
  size_t bytes = 0;
  for (auto _ : state) {
    const std::string& raw = reports.Next();
    std::memcpy(dst.data(), raw.data(), raw.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
    bytes += raw.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// A disk on which every call that is not overridden does nothing or fails.
class NullDisk : public DiskInterface {
 public:
  LockStatus LockFolder(bool) override { return LockStatus::Locked; }
  void UnlockFolder() override {}
  size_t HandleRoom() override { return 100; }
  void Pause(unsigned) override {}
  bool ListEntries(NameList*, std::string*) override { return true; }
  OpenStatus OpenRead(const char*, FileHandle*, FileInfo*,
                      std::string*) override {
    return OpenStatus::Failed;
  }
  bool Read(FileHandle, char*, size_t, size_t* got, std::string*) override {
    *got = 0;
    return true;
  }
  void CloseRead(FileHandle) override {}
  DirStatus OpenDir(const char*, DirHandle*, std::string*) override {
    return DirStatus::Failed;
  }
  void CloseDir(DirHandle) override {}
  bool DirStillThere(DirHandle) override { return true; }
  MoveStatus MoveInto(const char*, const FileInfo&, DirHandle,
                      std::string*) override {
    return MoveStatus::Failed;
  }
  bool CreateCopy(DirHandle, const char*, FileHandle*, std::string*) override {
    return false;
  }
  bool Write(FileHandle, const char*, size_t, std::string*) override {
    return false;
  }
  void CommitCopies(CopyCommit*, size_t) override {}
  void DiscardCopy(FileHandle) override {}
  RemoveStatus Remove(const char*, const FileInfo&, const BytesCheck*,
                      std::string*) override {
    return RemoveStatus::Stays;
  }
};

// A file already in the report buffer: the first read says the buffer's
// bytes were read, without copying them, so that only loadReport's own
// work on them is timed.
class InPlaceDisk : public NullDisk {
 public:
  size_t size = 0;
  OpenStatus OpenRead(const char*, FileHandle* handle, FileInfo* info,
                      std::string*) override {
    *handle = 1;
    info->size = size;
    given_ = false;
    return OpenStatus::Opened;
  }
  bool Read(FileHandle, char*, size_t room, size_t* got, std::string*) override {
    *got = given_ ? 0 : std::min(size, room);
    given_ = true;
    return true;
  }

 private:
  bool given_ = false;
};

// What reading does to a report's bytes once read() has put them in the
// buffer: looking for line ends, and for a file with CR LF pairs and bare
// LFs both, converting them.
void readConversion(benchmark::State& state, const char* eol) {
  const bool mixed = std::strcmp(eol, "mixed") == 0;
  Reports reports(std::strcmp(eol, "\n") != 0, state.range(0));
  std::vector<char> buffer(REPORT_BUFFER_SIZE);
  InPlaceDisk disk;
  FindEntry entry = {};
  LoadedReport loaded;
  std::string err;
  size_t bytes = 0;
  bool ok = true;
  for (auto _ : state) {
    // The raw bytes go in untimed, as read() puts them there.
    state.PauseTiming();
    const std::string& raw = reports.Next();
    std::memcpy(buffer.data(), raw.data(), raw.size());
    if (mixed)
      buffer[raw.size() / 2] = '\n';  // one bare LF among the pairs
    disk.size = raw.size();
    state.ResumeTiming();
    ok = loadReport(disk, buffer.data(), entry, &loaded, &err) ==
             LoadStatus::Loaded &&
         ok;
    benchmark::DoNotOptimize(loaded.length);
    benchmark::ClobberMemory();
    bytes += raw.size();
  }
  if (!ok || loaded.hasBareLineFeed != (eol[0] != '\r') ||
      loaded.asRead != (eol[0] == '\r'))
    state.SkipWithError("the report was not read as expected");
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// A CR LF report is only looked at; so is an LF one, whose bytes are its
// text already.
void BM_ReadConversion_CrLf(benchmark::State& state) {
  readConversion(state, "\r\n");
}

void BM_ReadConversion_Lf(benchmark::State& state) {
  readConversion(state, "\n");
}

// A report with both kinds of line end is converted in place.
void BM_ReadConversion_Mixed(benchmark::State& state) {
  readConversion(state, "mixed");
}

void BM_Recognition(benchmark::State& state) {
  // What the read conversion leaves in the report buffer.
  Reports reports(false, state.range(0));
  char id[PLAYER_ID_SIZE];
  char title[PATH_BUFFER_SIZE];
  size_t bytes = 0;
  bool found = true;
  for (auto _ : state) {
    const std::string& text = reports.Next();
    ReportText report = ReportText::OfText(text.c_str());
    found = extractPlayerId(id, report) && extractTitleName(title, report) &&
            found;
    benchmark::DoNotOptimize(found);
    bytes += text.size();
  }
  if (!found)
    state.SkipWithError("a report was not recognised");
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// Takes saveReport's writes and forgets them, so only the conversion and
// its block handling are timed.
class DiscardingDisk : public NullDisk {
 public:
  size_t written = 0;
  bool CreateCopy(DirHandle, const char*, FileHandle* copy,
                  std::string*) override {
    *copy = 1;
    return true;
  }
  bool Write(FileHandle, const char* data, size_t size,
             std::string*) override {
    benchmark::DoNotOptimize(data);
    written += size;
    return true;
  }
  void CommitCopies(CopyCommit* commits, size_t count) override {
    for (size_t i = 0; i < count; ++i)
      commits[i].status = MoveStatus::Moved;
  }
};

void BM_WriteConversion(benchmark::State& state) {
  Reports reports(false, state.range(0));
  DiscardingDisk disk;
  std::string err;
  size_t bytes = 0, lines = 0;
  for (auto _ : state) {
    const std::string& text = reports.Next();
    FileInfo source;
    bool ok = saveReport(disk, 1, "r.htm", text.data(), text.size(), &source,
                         &err) == MoveStatus::Moved;
    benchmark::DoNotOptimize(ok);
    bytes += text.size();
    state.PauseTiming();
    for (char c : text)
      lines += c == '\n';
    state.ResumeTiming();
  }
  if (disk.written != bytes + lines)
    state.SkipWithError("the copy does not have one CR per LF");
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// Console output plus, at the end, each benchmark's bytes per second as a
// share of memcpy's over the same reports.
class ShareReporter : public benchmark::ConsoleReporter {
 public:
  ShareReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred)
        continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
        continue;
      auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end())
        continue;
      const std::string& args = run.run_name.args;  // "reports:N"
      rates_[args][run.run_name.function_name] = it->second.value;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [args, rates] : rates_) {
      auto base = rates.find("BM_Memcpy");
      if (base == rates.end() || base->second <= 0)
        continue;
      std::printf("\n%s: median speed, share of memcpy (%.2f GB/s)\n",
                  args.c_str(), base->second / 1e9);
      for (const auto& [name, rate] : rates) {
        if (name != base->first)
          std::printf("  %-24s %6.2f GB/s  %5.2f x memcpy\n", name.c_str(),
                      rate / 1e9, rate / base->second);
      }
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> rates_;
};

void configure(benchmark::internal::Benchmark* b) {
  b->ArgName("reports")->Arg(1)->Arg(kMaxReports)->Repetitions(5)
      ->ReportAggregatesOnly(true);
}

}  // namespace

BENCHMARK(BM_Memcpy)->Apply(configure);
BENCHMARK(BM_ReadConversion_CrLf)->Apply(configure);
BENCHMARK(BM_ReadConversion_Lf)->Apply(configure);
BENCHMARK(BM_ReadConversion_Mixed)->Apply(configure);
BENCHMARK(BM_Recognition)->Apply(configure);
BENCHMARK(BM_WriteConversion)->Apply(configure);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  ShareReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
