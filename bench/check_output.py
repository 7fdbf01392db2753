#!/usr/bin/python3
"""Opens written workbooks with independent readers and counts their filled rows.

.xlsx: openpyxl opens the workbook (names and parts must be valid); small files are then read
row by row with openpyxl, large ones (over --fast-above bytes) are counted by a streaming scan of
every worksheet part (the zip CRC is checked as the part is read), which takes seconds where
openpyxl would take minutes. .xls: xlrd reads the whole file.

A filled row is one with at least one cell that holds a value. Rows are summed over all sheets,
so a converter that continues a long text on a second sheet is counted in full.

Usage: check_output.py [--fast-above BYTES] FILE...   prints one JSON object per file
"""
import json
import re
import sys
import zipfile

FAST_ABOVE = 20 * 1024 * 1024
SHEET_PART = re.compile(r"xl/worksheets/[^/]+\.xml\Z")


def count_xlsx_fast(path):
    rows = 0
    with zipfile.ZipFile(path) as archive:
        for name in archive.namelist():
            if not SHEET_PART.match(name):
                continue
            carry = b""
            with archive.open(name) as part:
                while True:
                    chunk = part.read(1 << 22)
                    if not chunk:
                        break
                    pieces = (carry + chunk).split(b"</row>")
                    carry = pieces.pop()
                    rows += sum(1 for p in pieces if b"<v>" in p or b"<is>" in p or b"<v " in p)
    return rows


def check_xlsx(path, fast_above):
    import os
    import openpyxl
    book = openpyxl.load_workbook(path, read_only=True)
    sheets = book.sheetnames
    if os.path.getsize(path) > fast_above:
        book.close()
        return {"reader": "zip scan", "sheets": len(sheets), "rows": count_xlsx_fast(path)}
    rows = 0
    for ws in book.worksheets:
        for values in ws.iter_rows(values_only=True):
            if any(v is not None and v != "" for v in values):
                rows += 1
    book.close()
    return {"reader": "openpyxl", "sheets": len(sheets), "rows": rows}


def check_xls(path):
    import xlrd
    # One sheet at a time: a workbook of a million rows read whole takes gigabytes in xlrd.
    book = xlrd.open_workbook(path, on_demand=True)
    rows = 0
    for index in range(book.nsheets):
        ws = book.sheet_by_index(index)
        for r in range(ws.nrows):
            if any(t not in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK) for t in ws.row_types(r)):
                rows += 1
        book.unload_sheet(index)
    sheets = book.nsheets
    book.release_resources()
    return {"reader": "xlrd", "sheets": sheets, "rows": rows}


def check(path, fast_above=FAST_ABOVE):
    try:
        if path.lower().endswith(".xls"):
            result = check_xls(path)
        else:
            result = check_xlsx(path, fast_above)
        result["ok"] = True
    except Exception as error:  # any reader failure means the file does not open
        result = {"ok": False, "error": "%s: %s" % (type(error).__name__, error)}
    result["path"] = path
    return result


def main():
    args = sys.argv[1:]
    fast_above = FAST_ABOVE
    if args[:1] == ["--fast-above"]:
        fast_above = int(args[1])
        args = args[2:]
    for path in args:
        print(json.dumps(check(path, fast_above), ensure_ascii=False))
    return 0


if __name__ == "__main__":
    sys.exit(main())
