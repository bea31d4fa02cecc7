#include "report_maker.h"

#include <cstdio>
#include <cstring>

uint64_t Rng::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

size_t Rng::Between(size_t lo, size_t hi) {
  return lo + static_cast<size_t>(Next() % (hi - lo + 1));
}

namespace {

const Game kGames[] = {
    {"0417", "Északi Tábor"}, {"0417", "Ködös Völgy"},
    {"1203", "Déli Őrség"},   {"1203", "Vaskapu"},
    {"2290", "Sárkányfészek"}, {"2290", "Holdtükör"},
    {"3318", "Fekete Erdő"},  {"3318", "Üvegvár"},
    {"5081", "Északi Tábor"}, {"5081", "Szélmalom"},
    {"7764", "Holdtükör"},    {"7764", "Kőhíd"},
};

// Title words of manyGames: 20 x 20 two-word titles.
const char* const kTitleFirst[] = {
    "Északi", "Déli",   "Keleti", "Nyugati", "Ködös",   "Fekete", "Fehér",
    "Vörös",  "Arany",  "Ezüst",  "Régi",    "Új",      "Csendes", "Vad",
    "Hideg",  "Meleg",  "Mély",   "Magas",   "Rejtett", "Elhagyott",
};
const char* const kTitleSecond[] = {
    "Tábor",  "Völgy",   "Őrség",  "Erdő", "Vár",   "Híd",    "Torony",
    "Kapu",   "Tó",      "Mező",   "Szoros", "Sziget", "Barlang", "Rét",
    "Forrás", "Domb",    "Puszta", "Határ", "Kikötő", "Malom",
};

const char* const kWords[] = {
    "arany",     "fa",        "kő",        "vas",        "élelem",
    "katona",    "íjász",     "lovag",     "varázsló",   "ködös",
    "erdő",      "mező",      "hegység",   "folyó",      "város",
    "vár",       "őrtorony",  "kikötő",    "felderítés", "támadás",
    "védekezés", "kereskedelem", "szövetség", "üzenet",  "hírnök",
    "győzelem",  "vereség",   "zsákmány",  "sereg",      "határ",
    "a",         "az",        "és",        "nem",        "egy",
    "után",      "ellen",     "között",    "észak",      "dél",
};
constexpr size_t kWordCount = sizeof kWords / sizeof kWords[0];

// Hungarian letters: UTF-8 spelling and ISO-8859-2 byte.
const struct {
  const char* utf8;
  char latin2;
} kLetters[] = {
    {"á", '\xE1'}, {"é", '\xE9'}, {"í", '\xED'}, {"ó", '\xF3'},
    {"ö", '\xF6'}, {"ő", '\xF5'}, {"ú", '\xFA'}, {"ü", '\xFC'},
    {"ű", '\xFB'}, {"Á", '\xC1'}, {"É", '\xC9'}, {"Í", '\xCD'},
    {"Ó", '\xD3'}, {"Ö", '\xD6'}, {"Ő", '\xD5'}, {"Ú", '\xDA'},
    {"Ü", '\xDC'}, {"Ű", '\xDB'},
};

// "KÖDVÁRI ŐRSÉGE" and "KALANDOZÓ: #" written out again here, so that the
// benchmarks do not depend on the program's own constants.
const char kMarker[] = "K\xD6" "DV\xC1" "RI \xD5" "RS\xC9" "GE";
const char kLabel[] = "KALANDOZ\xD3: #";

const std::string& word(Rng& rng) {
  static std::string latin2[kWordCount];
  size_t i = rng.Between(0, kWordCount - 1);
  if (latin2[i].empty())
    latin2[i] = toLatin2(kWords[i]);
  return latin2[i];
}

// One line of a report's body, without its end: table rows mostly, some
// prose, some markup, 10 to about 200 bytes long.
std::string bodyLine(Rng& rng) {
  std::string line;
  switch (rng.Between(0, 9)) {
    case 0:
    case 1: {
      line = "<P>";
      for (size_t n = rng.Between(6, 28); n > 0; --n) {
        line += word(rng);
        line += n > 1 ? " " : ".";
      }
      line += "</P>";
      break;
    }
    case 2:
      line = rng.Between(0, 1) ? "<TABLE BORDER=1 CELLPADDING=2>" : "</TABLE>";
      break;
    case 3:
      line = "<H3>" + word(rng) + " " + word(rng) + "</H3>";
      break;
    default: {
      line = "<TR><TD>" + word(rng) + "</TD>";
      for (size_t n = rng.Between(1, 5); n > 0; --n)
        line += "<TD ALIGN=RIGHT>" + std::to_string(rng.Between(0, 99999)) +
                "</TD>";
      line += "<TD>(" + std::to_string(rng.Between(0, 63)) + "," +
              std::to_string(rng.Between(0, 63)) + ")</TD></TR>";
      break;
    }
  }
  return line;
}

void addLine(std::string* text, const std::string& line,
             const std::string& eol) {
  *text += line;
  *text += eol;
}

// Body lines until `text` plus `tail` bytes reaches `size`.
void fillBody(Rng& rng, std::string* text, size_t size, size_t tail,
              const std::string& eol) {
  while (text->size() + tail < size)
    addLine(text, bodyLine(rng), eol);
}

}  // namespace

const Game* benchGames(size_t* count) {
  *count = sizeof kGames / sizeof kGames[0];
  return kGames;
}

std::vector<Game> manyGames(size_t count) {
  constexpr size_t kTitles = 20 * 20;
  std::vector<Game> games;
  games.reserve(count);
  for (size_t p = 0; p < count; ++p) {
    // Player p / 4, distinct 4-digit identifiers; its four titles differ,
    // as 37 and 400 have no common factor. Players share titles.
    char id[8];
    std::snprintf(id, sizeof id, "%04zu", 1000 + (p / 4 * 37) % 9000);
    size_t t = p * 37 % kTitles;
    games.push_back(Game{id, std::string(kTitleFirst[t / 20]) + " " +
                                 kTitleSecond[t % 20]});
  }
  return games;
}

std::string gameDirectory(const Game& game) {
  return game.playerId + "_" + game.titleUtf8;
}

std::string toLatin2(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    bool matched = false;
    for (const auto& letter : kLetters) {
      size_t n = std::strlen(letter.utf8);
      if (utf8.compare(i, n, letter.utf8) == 0) {
        out += letter.latin2;
        i += n;
        matched = true;
        break;
      }
    }
    if (!matched)
      out += utf8[i++];
  }
  return out;
}

std::string makeReport(Rng& rng, const Game& game, int round, size_t size,
                       const std::string& eol, bool markersAtEnd) {
  const std::string round_ = std::to_string(round);
  const std::string marker = std::string("<H1>") + kMarker + "</H1>";
  const std::string player = std::string("<P>") + kLabel + game.playerId +
                             " " + word(rng) + " " + word(rng) + "</P>";
  std::string text;
  addLine(&text, "<HTML>", eol);
  addLine(&text, "<HEAD>", eol);
  addLine(&text, "<TITLE>.." + toLatin2(game.titleUtf8) + " " + round_ +
                     ". fordulo</TITLE>", eol);
  addLine(&text,
          "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; "
          "charset=iso-8859-2\">", eol);
  addLine(&text, "</HEAD>", eol);
  addLine(&text, "<BODY BGCOLOR=\"#FFFFF0\">", eol);
  if (!markersAtEnd) {
    addLine(&text, marker, eol);
    addLine(&text, player, eol);
  }
  addLine(&text, "<H2>" + round_ + toLatin2(". forduló") + "</H2>", eol);
  const std::string closing = "</BODY>" + eol + "</HTML>" + eol;
  size_t tail = closing.size();
  if (markersAtEnd)
    tail += marker.size() + player.size() + 2 * eol.size();
  fillBody(rng, &text, size, tail, eol);
  if (markersAtEnd) {
    addLine(&text, marker, eol);
    addLine(&text, player, eol);
  }
  text += closing;
  return text;
}

std::string makeOtherPage(Rng& rng, size_t size, const std::string& eol) {
  std::string text;
  addLine(&text, "<HTML>", eol);
  addLine(&text, "<HEAD><TITLE>" + toLatin2("Szabályok és tudnivalók") +
                     "</TITLE></HEAD>", eol);
  addLine(&text, "<BODY>", eol);
  const std::string closing = "</BODY>" + eol + "</HTML>" + eol;
  fillBody(rng, &text, size, closing.size(), eol);
  text += closing;
  return text;
}
