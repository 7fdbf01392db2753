#!/usr/bin/env python3
"""Writes the English and the Chinese manual page from one bilingual source.

    mkman.py --version VERSION --out DIR SOURCE.N.in...

In a source, a line beginning "en|" or "zh|" belongs to that language's page only; every other
line is in both. A run of language lines must hold both languages, so that neither page can fall
behind the other. "@VERSION@" becomes VERSION. For each SOURCE (named NAME.N.in) the script writes

    DIR/manN/NAME.N        DIR/manN/NAME.N.gz          English
    DIR/zh_CN/manN/NAME.N  DIR/zh_CN/manN/NAME.N.gz    Chinese

The .gz files are compressed the way Debian wants them (maximum compression, no name or time in
the header), so the same source always gives the same bytes. In both pages a zero-width break
point (\\:) follows each CJK character that may end a line: groff before 1.23 knows no
line-breaking rules for Chinese and would otherwise break only at spaces (the English page quotes
the program's Chinese messages).
"""
import argparse
import gzip
import os
import re
import sys

LANGUAGES = {"en": "", "zh": "zh_CN"}
PREFIX = re.compile(r"^(en|zh)\|")
# Ideographs, kana, CJK punctuation and fullwidth forms.
CJK = re.compile(r"[\u2e80-\u9fff\uf900-\ufaff\uff00-\uffef]")
# Characters that must not begin a line (closing punctuation); no break point goes before them.
NO_LINE_START = set("，。、；：！？）》」』”’】〕…")


class SourceError(Exception):
    pass


def split_languages(lines, path):
    """The page's lines for each language; raises SourceError on a run missing a language."""
    pages = {language: [] for language in LANGUAGES}
    run = []  # (line number, language) of the current run of language lines

    def close_run():
        if run:
            present = {language for _, language in run}
            missing = sorted(set(LANGUAGES) - present)
            if missing:
                raise SourceError(f"{path}:{run[0][0]}: lines without their {', '.join(missing)} counterpart")
            run.clear()

    for number, line in enumerate(lines, start=1):
        match = PREFIX.match(line)
        if match:
            language = match.group(1)
            run.append((number, language))
            pages[language].append(line[match.end():])
        else:
            close_run()
            for language in LANGUAGES:
                pages[language].append(line)
    close_run()
    return pages


def with_break_points(line):
    out = []
    for i, c in enumerate(line):
        out.append(c)
        following = line[i + 1] if i + 1 < len(line) else ""
        if CJK.match(c) and following and following not in NO_LINE_START and following != " ":
            out.append("\\:")
    return "".join(out)


def chinese_breaks(lines):
    result = []
    filling = True
    for line in lines:
        request = line.startswith(".") or line.startswith("'")
        if request and line.startswith(".nf"):
            filling = False
        elif request and line.startswith(".fi"):
            filling = True
        result.append(line if request or not filling else with_break_points(line))
    return result


def write_page(text, path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    data = text.encode("utf-8")
    with open(path, "wb") as f:
        f.write(data)
    with open(path + ".gz", "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", fileobj=raw, compresslevel=9, mtime=0) as f:
            f.write(data)


def main():
    parser = argparse.ArgumentParser(description="Writes manual pages from bilingual sources.")
    parser.add_argument("--version", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("sources", nargs="+")
    arguments = parser.parse_args()
    for source in arguments.sources:
        name = os.path.basename(source)
        match = re.fullmatch(r"(.+)\.(\d)\.in", name)
        if not match:
            print(f"mkman: {source}: the name must be NAME.SECTION.in", file=sys.stderr)
            return 2
        page, section = match.group(1), match.group(2)
        with open(source, encoding="utf-8") as f:
            lines = f.read().split("\n")
        try:
            pages = split_languages(lines, source)
        except SourceError as e:
            print(f"mkman: {e}", file=sys.stderr)
            return 1
        for language, folder in LANGUAGES.items():
            body = chinese_breaks(pages[language])
            text = "\n".join(body).replace("@VERSION@", arguments.version)
            write_page(text, os.path.join(arguments.out, folder, f"man{section}", f"{page}.{section}"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
