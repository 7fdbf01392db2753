#!/usr/bin/env python3
"""Reads a workbook with an independent reader and prints its cells as JSON.

.xlsx files are read with openpyxl, .xls files with xlrd. The output is the same for both so
that one expectation table can check both writers:

    {"reader": "openpyxl", "sheets": [{"name": "...", "max_row": N, "max_col": N,
      "cells": [[row, col, type, value, number_format], ...]}]}

Rows and columns count from 1. Types: "n" number, "s" text, "b" boolean, "d" date/time
(value as ISO text). Empty cells are left out. With --summary only the sheet names and sizes are
printed (fast for very large workbooks).
"""
import datetime
import json
import sys


def iso(value):
    if isinstance(value, datetime.datetime):
        return value.isoformat(timespec="seconds")
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    return str(value)


def read_xlsx(path, summary):
    import openpyxl
    book = openpyxl.load_workbook(path, read_only=True, data_only=False)
    sheets = []
    for ws in book.worksheets:
        cells = []
        max_row = 0
        max_col = 0
        for row in ws.iter_rows():
            for cell in row:
                if cell.value is None:
                    continue
                r, c = cell.row, cell.column
                max_row = max(max_row, r)
                max_col = max(max_col, c)
                if summary:
                    continue
                v = cell.value
                if isinstance(v, bool):
                    t, v = "b", v
                elif isinstance(v, (int, float)):
                    t, v = "n", float(v)
                elif isinstance(v, (datetime.datetime, datetime.date, datetime.time)):
                    t, v = "d", iso(v)
                else:
                    t, v = "s", str(v)
                cells.append([r, c, t, v, cell.number_format])
        sheets.append({"name": ws.title, "max_row": max_row, "max_col": max_col, "cells": cells})
    return {"reader": "openpyxl", "sheets": sheets}


def read_xls(path, summary):
    import xlrd
    book = xlrd.open_workbook(path, formatting_info=True, on_demand=False)
    sheets = []
    for ws in book.sheets():
        cells = []
        max_row = 0
        max_col = 0
        for r in range(ws.nrows):
            for c in range(ws.ncols):
                cell = ws.cell(r, c)
                if cell.ctype in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK):
                    continue
                max_row = max(max_row, r + 1)
                max_col = max(max_col, c + 1)
                if summary:
                    continue
                xf = book.xf_list[cell.xf_index]
                fmt = book.format_map[xf.format_key].format_str
                if cell.ctype == xlrd.XL_CELL_BOOLEAN:
                    t, v = "b", bool(cell.value)
                elif cell.ctype == xlrd.XL_CELL_DATE:
                    t = "d"
                    tup = xlrd.xldate_as_tuple(cell.value, book.datemode)
                    if tup[0] == 0:
                        v = datetime.time(*tup[3:]).isoformat()
                    else:
                        v = iso(datetime.datetime(*tup))
                elif cell.ctype == xlrd.XL_CELL_NUMBER:
                    t, v = "n", float(cell.value)
                elif cell.ctype == xlrd.XL_CELL_TEXT:
                    t, v = "s", cell.value
                else:
                    t, v = "e", str(cell.value)
                cells.append([r + 1, c + 1, t, v, fmt])
        sheets.append({"name": ws.name, "max_row": max_row, "max_col": max_col, "cells": cells})
    return {"reader": "xlrd", "sheets": sheets}


def main():
    args = sys.argv[1:]
    summary = "--summary" in args
    args = [a for a in args if a != "--summary"]
    path = args[0]
    if path.lower().endswith(".xls"):
        result = read_xls(path, summary)
    else:
        result = read_xlsx(path, summary)
    json.dump(result, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main()
