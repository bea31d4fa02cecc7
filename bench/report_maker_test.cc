// The generated folder is only a fair benchmark if korendezo treats it the
// way the side list says: every report recognised, moved into the directory
// the floor uses, and every other page left alone.
#include "report_maker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "recognition.h"
#include "buffers.h"

namespace {

std::string directoryKorendezoMakes(const std::string& text) {
  char id[PLAYER_ID_SIZE];
  char title[PATH_BUFFER_SIZE];
  ReportText report = ReportText::OfText(text.c_str());
  if (!extractPlayerId(id, report) || !extractTitleName(title, report))
    return "";
  std::string dir;
  appendReportName(&dir, (std::string(id) + "_" + title).c_str());
  return dir;
}

bool hasBareLf(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
      return true;
  }
  return false;
}

struct Case {
  const char* eol;
  size_t size;
  int round;
  bool markersAtEnd;
};

TEST(ReportMaker, ReportsGoWhereTheSideListSays) {
  const Case cases[] = {
      {"\r\n", 20 * 1024, 1, false},   {"\n", 20 * 1024, 9, false},
      {"\r\n", 200 * 1024, 99, false}, {"\n", 200 * 1024, 999, false},
      {"\r\n", 1000 * 1000, 12, true}, {"\n", 1000 * 1000, 12, true},
  };
  size_t count;
  const Game* games = benchGames(&count);
  Rng rng(3);
  for (const Case& c : cases) {
    for (size_t g = 0; g < count; ++g) {
      SCOPED_TRACE(gameDirectory(games[g]) + " round " +
                   std::to_string(c.round) +
                   (c.eol[0] == '\r' ? " CR LF" : " LF"));
      std::string text =
          makeReport(rng, games[g], c.round, c.size, c.eol, c.markersAtEnd);
      EXPECT_GE(text.size(), c.size);
      EXPECT_LT(text.size(), c.size + 400);
      EXPECT_EQ(gameDirectory(games[g]), directoryKorendezoMakes(text));
      EXPECT_EQ(c.eol[0] == '\n', hasBareLf(text));
      EXPECT_EQ(c.eol[0] == '\n', text.find('\r') == std::string::npos);
      EXPECT_EQ(std::string::npos, text.find('\0'));
      size_t label = text.find(std::string("KALANDOZ\xD3: #"));
      ASSERT_NE(std::string::npos, label);
      if (c.markersAtEnd)
        EXPECT_GT(label, text.size() * 99 / 100);
      else
        EXPECT_LT(label, 1000u);
    }
  }
}

// The folders of many pairs have as many directories as pairs, each the
// one korendezo makes, even at the longest round number.
TEST(ReportMaker, ManyGamesAreDistinctDirectories) {
  const std::vector<Game> games = manyGames(1000);
  std::set<std::string> dirs;
  Rng rng(4);
  for (const Game& game : games) {
    dirs.insert(gameDirectory(game));
    for (const char* eol : {"\r\n", "\n"}) {
      std::string text = makeReport(rng, game, 99999, 2000, eol);
      EXPECT_EQ(gameDirectory(game), directoryKorendezoMakes(text));
    }
  }
  EXPECT_EQ(games.size(), dirs.size());
}

TEST(ReportMaker, OtherPagesAreNotReports) {
  Rng rng(5);
  for (size_t size : {size_t{100}, size_t{20 * 1024}, size_t{200 * 1024}}) {
    std::string page = makeOtherPage(rng, size, "\r\n");
    char id[PLAYER_ID_SIZE];
    EXPECT_FALSE(extractPlayerId(id, ReportText::OfText(page.c_str()))) << size;
    EXPECT_GE(page.size(), size);
  }
}

TEST(ReportMaker, Latin2OfHungarianLetters) {
  EXPECT_EQ("\xC9szaki T\xE1" "bor", toLatin2("Északi Tábor"));
  EXPECT_EQ("\xD5rs\xE9g \xFB\xDB\xF5", toLatin2("Őrség űŰő"));
  EXPECT_EQ("plain ASCII 12.", toLatin2("plain ASCII 12."));
}

TEST(ReportMaker, SameSeedSameReport) {
  size_t count;
  const Game* games = benchGames(&count);
  Rng a(11), b(11), c(12);
  std::string first = makeReport(a, games[0], 3, 30000, "\n");
  EXPECT_EQ(first, makeReport(b, games[0], 3, 30000, "\n"));
  EXPECT_NE(first, makeReport(c, games[0], 3, 30000, "\n"));
}

}  // namespace
