// Makes a folder for the benchmarks, the same for the same arguments.
//
//   gen [--pairs P] [--size KB] [--sorted K [--replace]] N crlf|lf DIR LIST [SEED]
//
// Without --pairs: N entries, nine in ten round reports spread over 12
// player/title pairs, the rest other HTML pages and .txt notes that must
// stay where they are.
//
// --pairs P: N reports and nothing else, over P pairs, each pair taking
// N / P of them (every pair one at least when N >= P), in a shuffled order
// so that a pair's reports are spread over the whole listing.
// --size KB: every report of about KB kilobytes, not 20-200 KB.
// --sorted K: the folder was sorted before: each pair's directory is there,
// holding K older CR LF reports of its earlier rounds. With --replace each
// new report takes the name of one of the older reports of its directory.
//
// LIST gets one line per .htm entry of DIR, "name<TAB>mode<TAB>directory",
// where mode is 'r' (moved by rename), 'c' (copied with CR LF ends) or '-'
// (not a report, only read); the floor program works from it.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "report_maker.h"

namespace {

constexpr size_t kMinSize = 20 * 1024;
constexpr size_t kMaxSize = 200 * 1024;

struct Options {
  long pairs = 0;  // 0: the 12 games of benchGames, with other files
  size_t size = 0;  // 0: 20-200 KB
  long sorted = 0;
  bool replace = false;
};

bool writeFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f)
    return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool makeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0777) == 0)
    return true;
  std::fprintf(stderr, "gen: mkdir %s: %s\n", path.c_str(),
               std::strerror(errno));
  return false;
}

int usage() {
  std::fprintf(stderr,
               "usage: gen [--pairs P] [--size KB] [--sorted K [--replace]] "
               "N crlf|lf DIR LIST [SEED]\n");
  return 2;
}

// `count` pair indices, each of 0..pairs-1 as often as the others (give or
// take one), shuffled.
std::vector<size_t> interleaved(Rng& rng, size_t count, size_t pairs) {
  std::vector<size_t> order(count);
  for (size_t i = 0; i < count; ++i)
    order[i] = i % pairs;
  for (size_t i = count; i > 1; --i)
    std::swap(order[i - 1], order[rng.Between(0, i - 1)]);
  return order;
}

std::string reportName(size_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "k%05zu.htm", index);
  return name;
}

// Today's folder: N entries, nine in ten reports of the 12 games.
bool makeMixed(Rng& rng, const Options& opt, long n, const std::string& eol,
               const std::string& dir, FILE* list) {
  size_t gameCount;
  const Game* games = benchGames(&gameCount);
  int rounds[64] = {};
  const bool crlf = eol.size() == 2;
  size_t reports = 0, others = 0, bytes = 0;
  for (long i = 0; i < n; ++i) {
    char name[32];
    std::string text;
    size_t size = rng.Between(kMinSize, kMaxSize);
    if (i % 10 != 9) {
      if (opt.size != 0)
        size = opt.size;
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
      return false;
    }
    bytes += text.size();
  }
  std::printf("gen: %s: %zu reports, %zu other files, %.1f MB\n", dir.c_str(),
              reports, others, bytes / 1e6);
  return true;
}

// N reports over opt.pairs pairs, after the older ones of a sorted folder.
bool makePairs(Rng& rng, const Options& opt, long n, const std::string& eol,
               const std::string& dir, FILE* list) {
  const size_t pairs = static_cast<size_t>(opt.pairs);
  const std::vector<Game> games = manyGames(pairs);
  std::vector<int> rounds(pairs, 0);
  auto sizeOf = [&]() {
    return opt.size != 0 ? opt.size : rng.Between(kMinSize, kMaxSize);
  };
  size_t bytes = 0;

  // The older reports, named in one sequence over all directories, as the
  // rounds of every game came in.
  const size_t older = static_cast<size_t>(opt.sorted) * pairs;
  std::vector<std::vector<std::string>> olderNames(pairs);
  if (opt.sorted > 0) {
    for (const Game& game : games) {
      if (!makeDir(dir + "/" + gameDirectory(game)))
        return false;
    }
    const std::vector<size_t> order = interleaved(rng, older, pairs);
    for (size_t i = 0; i < older; ++i) {
      const size_t g = order[i];
      const std::string name = reportName(i);
      const std::string text =
          makeReport(rng, games[g], ++rounds[g], sizeOf(), "\r\n");
      const std::string path = dir + "/" + gameDirectory(games[g]) + "/" + name;
      if (!writeFile(path, text)) {
        std::fprintf(stderr, "gen: cannot write %s\n", path.c_str());
        return false;
      }
      olderNames[g].push_back(name);
      bytes += text.size();
    }
    // Which older report a new one replaces: any of its directory's.
    for (std::vector<std::string>& names : olderNames) {
      for (size_t i = names.size(); i > 1; --i)
        std::swap(names[i - 1], names[rng.Between(0, i - 1)]);
    }
  }

  const std::vector<size_t> order =
      interleaved(rng, static_cast<size_t>(n), pairs);
  std::vector<size_t> replaced(pairs, 0);
  for (size_t i = 0; i < order.size(); ++i) {
    const size_t g = order[i];
    std::string name;
    if (opt.replace) {
      if (replaced[g] == olderNames[g].size()) {
        std::fprintf(stderr, "gen: more new reports than older ones to "
                             "replace in %s\n", gameDirectory(games[g]).c_str());
        return false;
      }
      name = olderNames[g][replaced[g]++];
    } else {
      name = reportName(older + i);
    }
    const std::string text =
        makeReport(rng, games[g], ++rounds[g], sizeOf(), eol);
    if (!writeFile(dir + "/" + name, text)) {
      std::fprintf(stderr, "gen: cannot write %s/%s\n", dir.c_str(),
                   name.c_str());
      return false;
    }
    std::fprintf(list, "%s\t%c\t%s\n", name.c_str(), eol.size() == 2 ? 'r' : 'c',
                 gameDirectory(games[g]).c_str());
    bytes += text.size();
  }
  std::printf("gen: %s: %zu reports over %zu pairs", dir.c_str(), order.size(),
              pairs);
  if (older != 0)
    std::printf(", %s older %zu in their directories",
                opt.replace ? "each replacing one of" : "beside", older);
  std::printf(", %.1f MB\n", bytes / 1e6);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int a = 1;
  for (; a < argc && std::strncmp(argv[a], "--", 2) == 0; ++a) {
    const char* flag = argv[a];
    if (std::strcmp(flag, "--replace") == 0) {
      opt.replace = true;
      continue;
    }
    if (a + 1 == argc)
      return usage();
    long value = std::strtol(argv[++a], nullptr, 10);
    if (value <= 0)
      return usage();
    if (std::strcmp(flag, "--pairs") == 0)
      opt.pairs = value;
    else if (std::strcmp(flag, "--size") == 0)
      opt.size = static_cast<size_t>(value) * 1024;
    else if (std::strcmp(flag, "--sorted") == 0)
      opt.sorted = value;
    else
      return usage();
  }
  if ((opt.sorted != 0 || opt.replace) && opt.pairs == 0)
    return usage();
  if (opt.replace && opt.sorted == 0)
    return usage();
  if (argc - a != 4 && argc - a != 5)
    return usage();
  long n = std::strtol(argv[a], nullptr, 10);
  bool crlf = std::strcmp(argv[a + 1], "crlf") == 0;
  if (n <= 0 || (!crlf && std::strcmp(argv[a + 1], "lf") != 0))
    return usage();
  const std::string dir = argv[a + 2];
  uint64_t seed = argc - a == 5 ? std::strtoull(argv[a + 4], nullptr, 10) : 1;
  const std::string eol = crlf ? "\r\n" : "\n";

  if (!makeDir(dir))
    return 1;
  FILE* list = std::fopen(argv[a + 3], "w");
  if (!list) {
    std::fprintf(stderr, "gen: %s: %s\n", argv[a + 3], std::strerror(errno));
    return 1;
  }
  Rng rng(seed);
  bool ok = opt.pairs == 0 ? makeMixed(rng, opt, n, eol, dir, list)
                           : makePairs(rng, opt, n, eol, dir, list);
  if (std::fclose(list) != 0 || !ok)
    return 1;
  return 0;
}
