#include "test_util.h"

const std::string kMarker = "K\xD6" "DV\xC1" "RI \xD5" "RS\xC9" "GE";
const std::string kLabel = "KALANDOZ\xD3: #";

const std::string kClosingBanner =
    "\n" + std::string(78, '-') +
    "\nKO fordulokat rendezo program (by: Varno-Kess)\n"
    "ha problema van a programmal, emailt a korendezo@example.org cimre lehet "
    "irni\n" + std::string(78, '-') + "\n";
const std::string kOpeningBanner = kClosingBanner + "\n";

std::string linesBetweenBanners(const std::string& out) {
  const size_t open = kOpeningBanner.size(), close = kClosingBanner.size();
  if (out.size() < open + close || out.compare(0, open, kOpeningBanner) != 0 ||
      out.compare(out.size() - close, close, kClosingBanner) != 0)
    return "<banners missing>" + out;
  return out.substr(open, out.size() - open - close);
}

std::string withLineEnds(const std::string& text, const std::string& eol) {
  std::string out;
  for (char c : text) {
    if (c == '\n')
      out += eol;
    else
      out += c;
  }
  return out;
}

std::string reportText(const std::string& id, const std::string& title,
                       const std::string& eol) {
  std::string text = "<HTML>\n<HEAD>\n";
  if (!title.empty())
    text += "<TITLE>.." + title + "</TITLE>\n";
  text += "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; "
          "charset=iso-8859-2\">\n</HEAD>\n<BODY>\n";
  text += "<H1>" + kMarker + "</H1>\n";
  text += "<P>" + kLabel + id + " Rovar Rend</P>\n";
  text += "<TABLE><TR><TD>Arany</TD><TD>1200</TD></TR></TABLE>\n";
  text += "</BODY>\n</HTML>\n";
  return withLineEnds(text, eol);
}

std::string reportWithId(const std::string& id, const std::string& title) {
  std::string report = kMarker + "\r\n";
  if (!title.empty())
    report += "<TITLE>.." + title + "</TITLE>\r\n";
  return report + kLabel + id;
}
