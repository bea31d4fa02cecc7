#!/usr/bin/env python3
"""Writes the example round reports in examples/ (ISO-8859-2, CR LF).

The reports are made up for this project: a few kilobytes of HTML each, with
the game's name, the player label and a title naming the player's camp. One
has LF line ends, as a report saved by a Unix program has: korendezo copies
it with CR LF instead of renaming it.
"""
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "examples")

GAME = "KÖDVÁRI ŐRSÉGE"
LABEL = "KALANDOZÓ: #"


def report(player, camp, round_no, seed, title=True, eol="\r\n"):
    rnd = random.Random(seed)
    lines = ["<HTML>", "<HEAD>"]
    if title:
        lines.append(f"<TITLE>..{camp} {round_no}. fordulo</TITLE>")
    lines += [
        '<META HTTP-EQUIV="Content-Type" CONTENT="text/html; charset=iso-8859-2">',
        "</HEAD>",
        '<BODY BGCOLOR="#F4EFE0">',
        f"<H1>{GAME}</H1>",
        f"<H2>{round_no}. forduló eredményei</H2>",
        f"<P><B>{LABEL}{player}</B> &nbsp; {camp}</P>",
        "<TABLE BORDER=1 CELLPADDING=3>",
        "<TR><TH>Egység</TH><TH>Erő</TH><TH>Élet</TH><TH>Hely</TH></TR>",
    ]
    units = ["Íjász", "Lándzsás", "Lovag", "Felderítő", "Őrszem", "Mágus",
             "Szekerész", "Hajós", "Kovács", "Gyógyító"]
    for i in range(rnd.randint(25, 40)):
        u = rnd.choice(units)
        lines.append(
            f"<TR><TD>{u} {i + 1}</TD><TD>{rnd.randint(5, 90)}</TD>"
            f"<TD>{rnd.randint(1, 100)}%</TD><TD>{rnd.randint(1, 60)}/"
            f"{rnd.randint(1, 60)}</TD></TR>")
    lines += ["</TABLE>", "<H3>Események</H3>", "<UL>"]
    events = ["Ellenséges felderítő tűnt fel a gázlónál.",
              "A raktár készlete gyarapodott.",
              "Vihar söpört végig a partvidéken.",
              "Új szövetségi ajánlat érkezett.",
              "A köd felszállt az északi hágóról."]
    for _ in range(rnd.randint(4, 8)):
        lines.append(f"<LI>{rnd.choice(events)}</LI>")
    lines += ["</UL>", "</BODY>", "</HTML>", ""]
    return eol.join(lines).encode("iso-8859-2")


NEWS = "\r\n".join([
    "<HTML>", "<HEAD>", "<TITLE>Hírek a játékról</TITLE>", "</HEAD>", "<BODY>",
    "<H1>Hírek</H1>",
    "<P>A következő forduló beküldési határideje péntek éjfél.</P>",
    "<P>Ez az oldal nem forduló: a rendező program a helyén hagyja.</P>",
    "</BODY>", "</HTML>", ""]).encode("iso-8859-2")


def main():
    os.makedirs(OUT, exist_ok=True)
    files = {
        "1234_12.htm": report("1234", "Északi Tábor", 12, 1),
        "1234_13.htm": report("1234", "Északi Tábor", 13, 2),
        "5678_12.htm": report("5678", "Déli Őrhely", 12, 3),
        "5678_13.htm": report("5678", "Déli Őrhely", 13, 5, eol="\n"),
        "9012_12.htm": report("9012", "", 12, 4, title=False),
        "hirek.htm": NEWS,
    }
    for name, data in files.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
