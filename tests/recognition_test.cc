#include "recognition.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "buffers.h"
#include "test_util.h"

namespace {

struct IdCase {
  const char* what;
  std::string text;
  bool found;
  std::string id;
};

TEST(ExtractPlayerId, Table) {
  const IdCase cases[] = {
      {"four digits", kMarker + " x " + kLabel + "1234 Rovar", true, "1234"},
      {"label before marker", kLabel + "4321" + kMarker, true, "4321"},
      {"five digits give four", kMarker + kLabel + "12345", true, "1234"},
      {"bytes taken verbatim", kMarker + kLabel + "12 a", true, "12 a"},
      {"first of two labels", kMarker + kLabel + "1111 " + kLabel + "2222",
       true, "1111"},
      {"label at the very end", kMarker + kLabel, true, ""},
      {"two bytes left", kMarker + kLabel + "77", true, "77"},
      {"no marker", kLabel + "1234", false, ""},
      {"marker, no label", kMarker + "<TITLE>..A 1. x", false, ""},
      {"plain O in label", kMarker + "KALANDOZO: #1234", false, ""},
      {"lower-case label", kMarker + "kalandoz\xF3: #1234", false, ""},
      {"marker with plain letters", "KODVARI ORSEGE" + kLabel + "1234", false,
       ""},
      {"line end inside", kMarker + kLabel + "12\n345", true, "12\n3"},
      {"empty text", "", false, ""},
  };
  for (const IdCase& c : cases) {
    char id[PLAYER_ID_SIZE];
    std::memset(id, 'x', sizeof id);
    EXPECT_EQ(c.found, extractPlayerId(id, ReportText::OfText(c.text.c_str()))) << c.what;
    EXPECT_EQ(c.id, std::string(id)) << c.what;
    // The same text read from a file with CR LF line ends.
    std::memset(id, 'x', sizeof id);
    const std::string file = withLineEnds(c.text, "\r\n");
    EXPECT_EQ(c.found, extractPlayerId(id, ReportText::OfFileBytes(file.c_str()))) << c.what;
    EXPECT_EQ(c.id, std::string(id)) << c.what << " (CR LF file)";
  }
}

TEST(ExtractPlayerId, SeesTextOnlyUpToNul) {
  std::string text = kLabel + "1234" + std::string(1, '\0') + kMarker;
  char id[PLAYER_ID_SIZE];
  EXPECT_FALSE(extractPlayerId(id, ReportText::OfText(text.c_str())));
}

struct TitleCase {
  const char* what;
  std::string text;
  bool found;
  std::string title;
};

TEST(ExtractTitleName, Table) {
  const std::string m = kMarker;
  const TitleCase cases[] = {
      {"round number cut", m + "<TITLE>..Eszaki Tabor 12. fordulo</TITLE>",
       true, "Eszaki Tabor"},
      {"any two bytes skipped", m + "<TITLE>\r\nEszaki Tabor 12. fordulo</TITLE>",
       true, "Eszaki Tabor"},
      {"accented bytes verbatim",
       m + "<TITLE>..\xC9szaki T\xE1" "bor 3. fordulo</TITLE>", true,
       "\xC9szaki T\xE1" "bor"},
      {"earlier number kept", m + "<TITLE>..Csapat 7 12. fordulo</TITLE>\n",
       true, "Csapat 7"},
      {"marker after title", "<TITLE>..Nyugat 5. fordulo</TITLE>" + m, true,
       "Nyugat"},
      {"number first gives empty name", m + "<TITLE>.. 4. fordulo</TITLE>",
       true, ""},
      {"cut at first of two keys", m + "<TITLE>..A 5. B 5. C</TITLE>", true,
       "A"},
      {"spaces kept", m + "<TITLE>..  Dél  9. fordulo</TITLE>", true, "  Dél "},
      {"negative number", m + "<TITLE>..Hideg -3. fordulo</TITLE>", true,
       "Hideg"},
      {"nine digits", m + "<TITLE>..Sok 123456789. kor</TITLE>", true, "Sok"},
      {"only 30 bytes are looked at",
       m + "<TITLE>..Nagyon Hosszu Nevu Tabor Neve 12. fordulo</TITLE>", false,
       ""},
      {"no title tag", m + "<HEAD></HEAD>", false, ""},
      {"lower-case tag", m + "<title>..Eszaki 12. fordulo</title>", false, ""},
      {"no marker", "<TITLE>..Eszaki 12. fordulo</TITLE>", false, ""},
      {"no period after number", m + "<TITLE>..Eszaki 12 fordulo</TITLE>",
       false, ""},
      {"no digits", m + "<TITLE>..Eszaki fordulo</TITLE>", false, ""},
      {"leading zero", m + "<TITLE>..Eszaki 012. fordulo</TITLE>", false, ""},
      {"ten digits", m + "<TITLE>..X 1234567890. f</TITLE>", false, ""},
      {"nine digits and a minus", m + "<TITLE>..X -123456789. f</TITLE>",
       false, ""},
      {"tag at the end", m + "<TITLE>", false, ""},
      {"one byte after tag", m + "<TITLE>.", false, ""},
      {"two bytes after tag", m + "<TITLE>..", false, ""},
      {"line end in the skipped bytes", m + "<TITLE>\nxNyugat 5. f", true,
       "Nyugat"},
      {"line end as the skipped bytes", m + "<TITLE>\n\nNyugat 5. f", true,
       "Nyugat"},
      {"line end in the name", m + "<TITLE>..Ny\nugat 5. f", true,
       "Ny\nugat"},
      {"line end just after the tag", m + "<TITLE>\n", false, ""},
  };
  for (const TitleCase& c : cases) {
    char title[PATH_BUFFER_SIZE];
    std::memset(title, 'x', sizeof title);
    EXPECT_EQ(c.found, extractTitleName(title, ReportText::OfText(c.text.c_str()))) << c.what;
    EXPECT_EQ(c.title, std::string(title)) << c.what;
    std::memset(title, 'x', sizeof title);
    const std::string file = withLineEnds(c.text, "\r\n");
    EXPECT_EQ(c.found, extractTitleName(title, ReportText::OfFileBytes(file.c_str()))) << c.what;
    EXPECT_EQ(c.title, std::string(title)) << c.what << " (CR LF file)";
  }
}

TEST(ExtractTitleName, NameNeverOver30Bytes) {
  std::string text = kMarker + "<TITLE>.." + std::string(40, 'A') + " 1.";
  char title[PATH_BUFFER_SIZE];
  EXPECT_FALSE(extractTitleName(title, ReportText::OfText(text.c_str())));
  text = kMarker + "<TITLE>.." + std::string(26, 'A') + " 1.";
  EXPECT_TRUE(extractTitleName(title, ReportText::OfText(text.c_str())));
  EXPECT_EQ(std::string(26, 'A'), title);
}

struct NumberCase {
  const char* text;
  int n;
  int32_t value;
  bool inRange;
};

TEST(NthNumberFromEnd, Table) {
  const NumberCase cases[] = {
      {"abc 42. x 7", 1, 7, true},
      {"abc 42. x 7", 2, 42, true},
      {"abc 42. x 7", 3, 0, true},
      {"x-15", 1, -15, true},
      {"15", 1, 15, true},
      {"-15", 1, -15, true},
      {"no digits", 1, 0, true},
      {"", 1, 0, true},
      {"a 999999999", 1, 999999999, true},
      {"a -999999999", 1, -999999999, true},
      {"a 2147483648", 1, 0, false},
      {"a 99999999999999999999", 1, 0, false},
      {"12345678901 then 5", 1, 5, true},
      {"12345678901 then 5", 2, 0, false},
      {"007", 1, 7, true},
      {"--3", 1, -3, true},
  };
  for (const NumberCase& c : cases) {
    int32_t value = -1;
    EXPECT_EQ(c.inRange, nthNumberFromEnd(c.text, c.n, &value))
        << c.text << " n=" << c.n;
    EXPECT_EQ(c.value, value) << c.text << " n=" << c.n;
  }
  int32_t value = -1;
  EXPECT_TRUE(nthNumberFromEnd(nullptr, 1, &value));
  EXPECT_EQ(0, value);
}

}  // namespace
