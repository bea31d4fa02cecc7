// Recognition of a round report: is the text a report of the game, whose is
// it, and what name does its title give.
#ifndef KORENDEZO_RECOGNITION_H_
#define KORENDEZO_RECOGNITION_H_

#include <cstdint>

#include "report_text.h"

// "KÖDVÁRI ŐRSÉGE" in ISO-8859-2; every report of the game holds it.
extern const char GAME_MARKER[];
// "KALANDOZÓ: #" in ISO-8859-2; the player identifier follows it.
extern const char PLAYER_LABEL[];
extern const char TITLE_TAG[];

// Bytes of the identifier taken after the label, and of the title name.
constexpr int PLAYER_ID_LENGTH = 4;
constexpr int TITLE_NAME_LENGTH = 30;

// Fills `id` (at least PLAYER_ID_LENGTH + 1 bytes) with the 4 bytes after
// the first player label, verbatim. Returns false, leaving "", when the text
// lacks the label or the game marker.
bool extractPlayerId(char* id, const ReportText& text);

// Fills `title` (at least TITLE_NAME_LENGTH + 1 bytes) with the name in the
// title: 30 bytes from 9 bytes after the first "<TITLE>", cut at the first
// " %d." of the last number in them. Returns false, leaving "", when the text
// lacks the tag or the marker, or when the title has no usable round number
// (no " %d." key among the copied bytes, a number of over nine digits, or
// fewer than 2 bytes after the tag).
bool extractTitleName(char* title, const ReportText& text);

// Sets *value to the n-th run of decimal digits counted from the end of
// `text` (n = 1 is the last run), negated when a '-' stands right before
// it; to 0 when there is no such run or no text. Returns false, with *value
// 0, when that run is longer than nine digits and so outside the 32-bit
// range the round numbers use.
bool nthNumberFromEnd(const char* text, int n, int32_t* value);

#endif  // KORENDEZO_RECOGNITION_H_
