#!/usr/bin/env python3
"""Round-trips workbooks through Gnumeric and compares what it read with the tests' own readers.

    roundtrip.py WORK_FOLDER WORKBOOK...

Each workbook is read by Gnumeric and written out as Gnumeric's own file (ssconvert, uncompressed
Gnumeric XML, which keeps every value as Gnumeric holds it). Its sheets and cells are then
compared with what openpyxl (.xlsx) or xlrd (.xls) read from the same workbook (readbook.py):
the sheet names, and each cell's type (number, date, text, boolean) and value.

Known quirks of the readers are reported as such and do not count as failures:
  - "_xHHHH_" escapes: the standard's way to store a control character in .xlsx text;
    openpyxl and Gnumeric both show such escapes raw, and where one of them decodes one the
    texts differ only by it.
Writing back in the same format is left out on purpose: Gnumeric's own writers lose things (a
carriage return inside .xlsx text, characters above U+FFFF in BIFF8, dates whose format sits on
the column) that say nothing about the workbooks under test.
Prints one line per workbook; exits with 1 when any workbook was read differently.
"""
import datetime
import multiprocessing
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import readbook  # noqa: E402

NS = {"gnm": "http://www.gnumeric.org/v10.dtd"}
EPOCH = datetime.datetime(1899, 12, 30)
ESCAPE = re.compile(r"_x([0-9A-Fa-f]{4})_")


def is_date_format(fmt):
    """True for a number format that shows a date or a time."""
    if not fmt or fmt == "General":
        return False
    plain = re.sub(r'"[^"]*"|\\.|\[[^\]]*\]', "", fmt)
    return re.search(r"[dmyhs]", plain, re.IGNORECASE) is not None


def serial(value):
    """The serial number of a date or time as readbook.py writes it (ISO text)."""
    if "T" in value or re.fullmatch(r"\d{4}-\d\d-\d\d", value):
        moment = datetime.datetime.fromisoformat(value)
        # Serial numbers count 1900-02-29, a day that never was: before March 1900 they are one
        # less than the days since 1899-12-30.
        epoch = EPOCH if moment >= datetime.datetime(1900, 3, 1) else EPOCH + datetime.timedelta(days=1)
        return (moment - epoch).total_seconds() / 86400
    t = datetime.time.fromisoformat(value)
    return (t.hour * 3600 + t.minute * 60 + t.second + t.microsecond / 1e6) / 86400


def gnumeric_cells(path):
    """Sheets as [(name, {(row, col): (type, value)})] from a Gnumeric XML file."""
    sheets = []
    with open(path, "rb") as f:
        # Gnumeric writes a carriage return inside a text as it is, and XML reading would turn it
        # into a line feed; as a character reference it stays what Gnumeric read.
        root = ET.fromstring(f.read().replace(b"\r", b"&#13;"))
    for sheet in root.iterfind("gnm:Sheets/gnm:Sheet", NS):
        name = sheet.findtext("gnm:Name", default="", namespaces=NS)
        regions = []
        for region in sheet.iterfind("gnm:Styles/gnm:StyleRegion", NS):
            style = region.find("gnm:Style", NS)
            fmt = style.get("Format") if style is not None else None
            if is_date_format(fmt):
                regions.append(tuple(int(region.get(k)) for k in ("startRow", "endRow", "startCol", "endCol")))
        cells = {}
        for cell in sheet.iterfind("gnm:Cells/gnm:Cell", NS):
            row, col = int(cell.get("Row")), int(cell.get("Col"))
            kind, text = cell.get("ValueType"), cell.text or ""
            if kind == "60":
                cells[(row + 1, col + 1)] = ("s", text)
            elif kind == "20":
                cells[(row + 1, col + 1)] = ("b", text.upper() == "TRUE")
            elif kind == "40":
                dated = is_date_format(cell.get("ValueFormat")) or any(
                    r0 <= row <= r1 and c0 <= col <= c1 for r0, r1, c0, c1 in regions)
                cells[(row + 1, col + 1)] = ("d" if dated else "n", float(text))
            elif kind not in (None, "10"):
                cells[(row + 1, col + 1)] = ("e", text)
        sheets.append((name, cells))
    return sheets


def reference_cells(path):
    reading = readbook.read_xls(path, False) if path.lower().endswith(".xls") else readbook.read_xlsx(path, False)
    sheets = []
    for sheet in reading["sheets"]:
        cells = {}
        for row, col, kind, value, _ in sheet["cells"]:
            cells[(row, col)] = (kind, serial(value) if kind == "d" else value)
        sheets.append((sheet["name"], cells))
    return sheets


def same(a, b):
    if a is None or b is None or a[0] != b[0]:
        return False
    if a[0] in ("n", "d"):
        return a[1] == b[1] or abs(a[1] - b[1]) <= 1e-9 * max(1.0, abs(a[1]))
    return a[1] == b[1]


def unescaped(text):
    return ESCAPE.sub(lambda m: chr(int(m.group(1), 16)), text)


def compare(reference, gnumeric):
    """The differences, split into (real, quirks)."""
    real, quirks = [], []
    names, gnumeric_names = [s[0] for s in reference], [s[0] for s in gnumeric]
    if names != gnumeric_names:
        return [f"sheets {names} read by Gnumeric as {gnumeric_names}"], quirks
    for (name, cells), (_, theirs) in zip(reference, gnumeric):
        for key in sorted(set(cells) | set(theirs)):
            ours, gnm = cells.get(key), theirs.get(key)
            if same(ours, gnm):
                continue
            line = f"{name}!R{key[0]}C{key[1]}: {short(ours)}, Gnumeric: {short(gnm)}"
            if ours and gnm and ours[0] == gnm[0] == "s" and unescaped(ours[1]) == unescaped(gnm[1]):
                quirks.append(line)
            else:
                real.append(line)
    return real, quirks


def short(cell):
    if cell is None:
        return "nothing"
    value = repr(cell[1])
    return f"{cell[0]}:{value if len(value) < 60 else value[:57] + '...'}"


def check(job):
    work, number, book = job
    out = os.path.join(work, f"{number}.gnumeric.xml")
    run = subprocess.run(["ssconvert", "--export-type", "Gnumeric_XmlIO:sax:0", book, out],
                         capture_output=True, text=True)
    if run.returncode != 0 or not os.path.exists(out):
        return False, f"FAIL\t{book}\tGnumeric could not read it: {run.stderr.strip()}"
    try:
        real, quirks = compare(reference_cells(book), gnumeric_cells(out))
    except Exception as e:
        real, quirks = [f"comparing failed: {e!r}"], []
    finally:
        os.remove(out)
    if real:
        return False, "\n\t".join([f"FAIL\t{book}"] + real[:20])
    if quirks:
        return True, f"quirk\t{book}\t{len(quirks)} text cell(s) differing only by _xHHHH_ escapes"
    return True, f"ok\t{book}"


def main():
    work, books = sys.argv[1], sys.argv[2:]
    os.makedirs(work, exist_ok=True)
    with multiprocessing.Pool(max(1, min(4, os.cpu_count() or 1))) as pool:
        results = pool.map(check, [(work, n, b) for n, b in enumerate(books)])
    for _, line in results:
        print(line)
    return 0 if all(ok for ok, _ in results) else 1


if __name__ == "__main__":
    import warnings
    warnings.simplefilter("ignore")  # openpyxl's notes on missing default styles say nothing here
    sys.exit(main())
