// Synthetic round reports for the benchmarks: realistic HTML in ISO-8859-2,
// made from a seed so that every run sees the same folder.
#ifndef KORENDEZO_BENCH_REPORT_MAKER_H_
#define KORENDEZO_BENCH_REPORT_MAKER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// splitmix64: small, fast and the same on every platform.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // Uniform in [lo, hi].
  size_t Between(size_t lo, size_t hi);

 private:
  uint64_t state_;
};

// One game of one player: the reports of its rounds share a directory.
struct Game {
  std::string playerId;  // 4 bytes
  std::string titleUtf8;  // name in the title, as the directory shows it
};

// The games the generator draws from: several players, several titles.
const Game* benchGames(size_t* count);

// `count` distinct games (player/title pairs): four titles for each player,
// titles of two words without digits, short enough for any round number
// below 100,000. The same list on every call.
std::vector<Game> manyGames(size_t count);

// The directory a report of `game` is moved into (UTF-8).
std::string gameDirectory(const Game& game);

// UTF-8 text of Hungarian letters to ISO-8859-2 bytes; other bytes pass.
std::string toLatin2(const std::string& utf8);

// A report of `game`'s round `round`, `eol` line ends, about `size` bytes
// (never less). `markersAtEnd` puts the game marker and the player label
// after the body, so recognition has to scan every byte.
std::string makeReport(Rng& rng, const Game& game, int round, size_t size,
                       const std::string& eol, bool markersAtEnd = false);

// An HTML page of about `size` bytes that is not a report of the game.
std::string makeOtherPage(Rng& rng, size_t size, const std::string& eol);

#endif  // KORENDEZO_BENCH_REPORT_MAKER_H_
