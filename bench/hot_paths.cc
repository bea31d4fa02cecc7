// Micro-benchmarks of the per-byte work of a run on a 1 MB report, each
// beside memcpy of the same bytes. After the usual table, the speed of each
// hot path is printed as a share of memcpy's (median of the repetitions).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "recognition.h"
#include "report.h"
#include "report_maker.h"
#include "transfer.h"

namespace {

constexpr size_t kReportSize = 1000 * 1000;

// The raw 1 MB report with CR LF or LF ends; markers after the body, so
// that recognition looks at every byte, as it does on a page that is not
// a report.
const std::string& rawReport(bool crlf) {
  static std::string texts[2];
  std::string& text = texts[crlf];
  if (text.empty()) {
    size_t count;
    const Game* games = benchGames(&count);
    Rng rng(7);
    text = makeReport(rng, games[0], 12, kReportSize, crlf ? "\r\n" : "\n",
                      /*markersAtEnd=*/true);
  }
  return text;
}

// What the read conversion leaves in the report buffer.
const std::string& loadedText() {
  return rawReport(false);
}

void BM_Memcpy(benchmark::State& state) {
  const std::string& raw = rawReport(true);
  std::vector<char> dst(raw.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), raw.data(), raw.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * raw.size());
}

void readConversion(benchmark::State& state, bool crlf) {
  const std::string& raw = rawReport(crlf);
  std::vector<char> buffer(REPORT_BUFFER_SIZE);
  std::memcpy(buffer.data(), raw.data(), raw.size());
  bool bare = false;
  size_t length = 0;
  for (auto _ : state) {
    if (crlf) {
      // The conversion works in place; put the raw bytes back untimed.
      state.PauseTiming();
      std::memcpy(buffer.data(), raw.data(), raw.size());
      state.ResumeTiming();
    }
    // One block of the whole text: loadReport's 64 KB blocks give the same
    // text, and each costs the same per byte.
    length = 0;
    convertReadBlock(buffer.data(), &length, raw.size(), &bare);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  if (bare != !crlf)
    state.SkipWithError("bare LF flag is wrong");
  state.SetBytesProcessed(state.iterations() * raw.size());
}

void BM_ReadConversion_CrLf(benchmark::State& state) {
  readConversion(state, true);
}

void BM_ReadConversion_Lf(benchmark::State& state) {
  // An LF text converts to itself, so it needs no restoring.
  readConversion(state, false);
}

void BM_Recognition(benchmark::State& state) {
  const std::string& text = loadedText();  // NUL-terminated by std::string
  char id[PLAYER_ID_SIZE];
  char title[PATH_BUFFER_SIZE];
  for (auto _ : state) {
    bool found = extractPlayerId(id, text.c_str()) &&
                 extractTitleName(title, text.c_str());
    benchmark::DoNotOptimize(found);
  }
  if (std::strcmp(id, "0417") != 0)
    state.SkipWithError("the report was not recognised");
  state.SetBytesProcessed(state.iterations() * text.size());
}

// Takes saveReport's writes and forgets them, so only the conversion and
// its block handling are timed.
class DiscardingDisk : public DiskInterface {
 public:
  size_t written = 0;
  bool ListEntries(NameList*, std::string*) override { return true; }
  bool OpenRead(const char*, FileHandle*, bool*, std::string*) override {
    return false;
  }
  bool Read(FileHandle, char*, size_t, size_t* got, std::string*) override {
    *got = 0;
    return true;
  }
  void CloseRead(FileHandle) override {}
  bool Kind(const char*, NodeKind* kind, std::string*) override {
    *kind = NodeKind::Missing;
    return true;
  }
  bool MakeDir(const char*, bool*, std::string*) override { return true; }
  bool CreateTemp(const char* dir, std::string* tempPath, FileHandle* handle,
                  std::string*) override {
    *tempPath = std::string(dir) + "/t.tmp";
    *handle = 1;
    return true;
  }
  bool Write(FileHandle, const char* data, size_t size,
             std::string*) override {
    benchmark::DoNotOptimize(data);
    written += size;
    return true;
  }
  bool CloseWrite(FileHandle, bool, std::string*) override { return true; }
  bool Rename(const char*, const char*, std::string*) override {
    return true;
  }
  bool Remove(const char*, std::string*) override { return true; }
};

void BM_WriteConversion(benchmark::State& state) {
  const std::string& text = loadedText();
  DiscardingDisk disk;
  std::string err;
  for (auto _ : state) {
    bool ok = saveReport(disk, "d/r.htm", text.data(), text.size(), &err);
    benchmark::DoNotOptimize(ok);
  }
  size_t lines = 0;
  for (char c : text)
    lines += c == '\n';
  if (disk.written != state.iterations() * (text.size() + lines))
    state.SkipWithError("the copy does not have one CR per LF");
  state.SetBytesProcessed(state.iterations() * text.size());
}

// Console output plus, at the end, each benchmark's bytes per second as a
// share of memcpy's.
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
      if (it != run.counters.end())
        rates_[run.run_name.str()] = it->second.value;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    auto base = rates_.begin();
    while (base != rates_.end() && base->first.rfind("BM_Memcpy", 0) != 0)
      ++base;
    if (base == rates_.end() || base->second <= 0)
      return;
    std::printf("\nmedian speed, share of memcpy (%.2f GB/s):\n",
                base->second / 1e9);
    for (const auto& [name, rate] : rates_) {
      if (name == base->first)
        continue;
      std::printf("  %-32s %6.2f GB/s  %5.2f x memcpy\n", name.c_str(),
                  rate / 1e9, rate / base->second);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

BENCHMARK(BM_Memcpy)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ReadConversion_CrLf)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ReadConversion_Lf)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Recognition)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_WriteConversion)->Repetitions(5)->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  ShareReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
