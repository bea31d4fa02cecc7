// Makes a folder of N entries for the benchmarks: nine in ten are round
// reports of 20-200 KB spread over several players and titles, the rest are
// other HTML pages and notes that must stay where they are.
//
//   gen N crlf|lf DIR LIST [SEED]
//
// LIST gets one line per .htm entry, "name<TAB>mode<TAB>directory", where
// mode is 'r' (moved by rename), 'c' (copied with CR LF ends) or '-' (not a
// report, only read); the floor program works from it.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "report_maker.h"

namespace {

constexpr size_t kMinSize = 20 * 1024;
constexpr size_t kMaxSize = 200 * 1024;

bool writeFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f)
    return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

int usage() {
  std::fprintf(stderr, "usage: gen N crlf|lf DIR LIST [SEED]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6)
    return usage();
  long n = std::strtol(argv[1], nullptr, 10);
  bool crlf = std::strcmp(argv[2], "crlf") == 0;
  if (n <= 0 || (!crlf && std::strcmp(argv[2], "lf") != 0))
    return usage();
  const std::string dir = argv[3];
  uint64_t seed = argc == 6 ? std::strtoull(argv[5], nullptr, 10) : 1;
  const std::string eol = crlf ? "\r\n" : "\n";

  if (mkdir(dir.c_str(), 0777) != 0) {
    std::fprintf(stderr, "gen: mkdir %s: %s\n", dir.c_str(),
                 std::strerror(errno));
    return 1;
  }
  FILE* list = std::fopen(argv[4], "w");
  if (!list) {
    std::fprintf(stderr, "gen: %s: %s\n", argv[4], std::strerror(errno));
    return 1;
  }

  Rng rng(seed);
  size_t gameCount;
  const Game* games = benchGames(&gameCount);
  int rounds[64] = {};
  size_t reports = 0, others = 0, bytes = 0;
  for (long i = 0; i < n; ++i) {
    char name[32];
    std::string text;
    size_t size = rng.Between(kMinSize, kMaxSize);
    if (i % 10 != 9) {
      size_t g = rng.Between(0, gameCount - 1);
      std::snprintf(name, sizeof name, "k%05ld.htm", i);
      text = makeReport(rng, games[g], ++rounds[g], size, eol);
      std::fprintf(list, "%s\t%c\t%s\n", name, crlf ? 'r' : 'c',
                   gameDirectory(games[g]).c_str());
      ++reports;
    } else if (i % 20 == 9) {
      std::snprintf(name, sizeof name, "k%05ld.htm", i);
      text = makeOtherPage(rng, size, eol);
      std::fprintf(list, "%s\t-\t\n", name);
      ++others;
    } else {
      // Not even listed: the name does not end in .htm.
      std::snprintf(name, sizeof name, "k%05ld.txt", i);
      text = makeOtherPage(rng, size / 8, eol);
      ++others;
    }
    if (!writeFile(dir + "/" + name, text)) {
      std::fprintf(stderr, "gen: cannot write %s/%s\n", dir.c_str(), name);
      return 1;
    }
    bytes += text.size();
  }
  if (std::fclose(list) != 0)
    return 1;
  std::printf("gen: %s: %zu reports, %zu other files, %.1f MB\n", dir.c_str(),
              reports, others, bytes / 1e6);
  return 0;
}
