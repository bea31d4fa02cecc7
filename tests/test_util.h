// Report texts for tests, written the way the game writes them.
#ifndef KORENDEZO_TESTS_TEST_UTIL_H_
#define KORENDEZO_TESTS_TEST_UTIL_H_

#include <string>

// The byte strings a report is recognised by, spelled out here on their own
// so that a wrong constant in the program fails the tests.
extern const std::string kMarker;  // "KÖDVÁRI ŐRSÉGE", ISO-8859-2
extern const std::string kLabel;   // "KALANDOZÓ: #", ISO-8859-2

// A report of a few hundred bytes for player `id` whose <TITLE> element
// holds `title` after the two leading bytes ".."; no title element when
// `title` is empty. Lines end with `eol`.
std::string reportText(const std::string& id, const std::string& title,
                       const std::string& eol = "\r\n");

// The program's banners: the opening one is the closing one plus "\n".
extern const std::string kOpeningBanner;
extern const std::string kClosingBanner;

// What a run printed between its two banners, or "<banners missing>" and
// the whole output when they are not where they belong.
std::string linesBetweenBanners(const std::string& out);

// A minimal report whose identifier ends the text, so that any bytes can
// be one; a title element holding ".." + `title` unless `title` is empty.
std::string reportWithId(const std::string& id, const std::string& title);

// `text` with every "\n" replaced by `eol`.
std::string withLineEnds(const std::string& text, const std::string& eol);

#endif  // KORENDEZO_TESTS_TEST_UTIL_H_
