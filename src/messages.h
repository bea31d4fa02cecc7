// The program's own texts: plain ASCII Hungarian, without accents.
#ifndef KORENDEZO_MESSAGES_H_
#define KORENDEZO_MESSAGES_H_

#define KORENDEZO_HYPHENS \
  "------------------------------------------------------------------------------"

// The closing banner is the opening one without its last line feed.
constexpr char kBanner[] =
    "\n" KORENDEZO_HYPHENS "\n"
    "KO fordulokat rendezo program (by: Varno-Kess)\n"
    "ha problema van a programmal, emailt a korendezo@example.org cimre lehet irni\n"
    KORENDEZO_HYPHENS "\n\n";
constexpr char kNoReports[] = "Nincs fordulo a konyvtarban!\n";
constexpr char kWaitingForRun[] =
    "Egy masik futas rendezi a konyvtarat, varakozas...\n";
constexpr char kDirCreated[] = " - konyvtar letrehozva";
// Another program moved or removed the report while the run had it.
constexpr char kGone[] = " - a fajl eltunt";
constexpr char kNoMemory[] = "\r\nAbnormal program termination\r\n";

#undef KORENDEZO_HYPHENS

// Why a report or entry stays where it is, said after "HIBA: ".
constexpr char kTooBig[] = "a fajl tul nagy";
constexpr char kBadDirName[] = "ervenytelen konyvtarnev";
constexpr char kNoDir[] = "a konyvtar nem hozhato letre";
constexpr char kNoCopy[] = "a masolat nem irhato";
constexpr char kUnreadable[] = "a fajl nem olvashato";
constexpr char kNotRemoved[] = "a fajl nem torolheto";
constexpr char kNotMoved[] = "a fajl nem helyezheto at";
constexpr char kNoListing[] = "a konyvtar nem olvashato";
constexpr char kOutputLost[] = "a kimenet nem irhato";
// The system's part of the reason for a name the directory entry record
// cannot hold.
constexpr char kNameTooLong[] = "a nev tul hosszu";

#endif  // KORENDEZO_MESSAGES_H_
