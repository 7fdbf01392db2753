#!/usr/bin/python3
"""The Python XlsxWriter peer of the benchmark: the same cells as direct_xlsxwriter.c.

Reads a tab-separated UTF-8 text and writes it with XlsxWriter in constant_memory mode. Column 2
is always a string; in the other columns a plain decimal number becomes a number and anything
else a string; empty fields give no cell.

Usage: xlsxwriter_peer.py INPUT.txt OUTPUT.xlsx [INPUT.txt OUTPUT.xlsx ...]
(several pairs in one call: a folder of texts converted by one script, as a user would run it)
"""
import re
import sys

import xlsxwriter

TEXT_COLUMN = 2  # counted from 1
PLAIN_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?\Z")


def convert(source, target):
    workbook = xlsxwriter.Workbook(target, {"constant_memory": True, "strings_to_numbers": False,
                                            "strings_to_formulas": False, "strings_to_urls": False})
    sheet = workbook.add_worksheet()
    write_number = sheet.write_number
    write_string = sheet.write_string
    match = PLAIN_NUMBER.match
    with open(source, encoding="utf-8", newline="") as text:
        for row, line in enumerate(text):
            for col, field in enumerate(line.rstrip("\r\n").split("\t")):
                if not field:
                    continue
                if col + 1 != TEXT_COLUMN and match(field):
                    write_number(row, col, float(field))
                else:
                    write_string(row, col, field)
    workbook.close()


def main():
    args = sys.argv[1:]
    if not args or len(args) % 2:
        print(__doc__, file=sys.stderr)
        return 2
    for i in range(0, len(args), 2):
        convert(args[i], args[i + 1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
