#!/usr/bin/python3
"""Writes the worksheet XML of .xlsx workbooks, unzipped, into one file (bench only).

The benchmark's floor compresses exactly the sheet XML quillmorne-convert wrote, with igzip, to
show how close the converter comes to reading its input and compressing its output; this helper
gets that XML out of the workbooks. Sheets are written one after the other, in archive order.

Usage: dump_sheet_xml.py OUTPUT.xml WORKBOOK.xlsx...   prints the number of bytes written
"""
import re
import shutil
import sys
import zipfile

SHEET_PART = re.compile(r"xl/worksheets/[^/]+\.xml\Z")


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    written = 0
    with open(sys.argv[1], "wb") as out:
        for path in sys.argv[2:]:
            with zipfile.ZipFile(path) as archive:
                for name in archive.namelist():
                    if SHEET_PART.match(name):
                        with archive.open(name) as part:
                            shutil.copyfileobj(part, out, 1 << 22)
                        written = out.tell()
    print(written)
    return 0


if __name__ == "__main__":
    sys.exit(main())
