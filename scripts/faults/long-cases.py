#!/usr/bin/python3
"""Fault cases too slow for the test suite, run against quillmorne-convert:

- a 50 MB text on one line (one cell, cut to the cell limit with a warning);
- 100,000 sources in one folder;
- sources removed while the run is going on (between listing and reading).

For each, every source must be converted (a workbook that reads back with its rows), in the
failure list, or not reached because the run stopped at a source it could not open; nothing
else may be left in the output. Prints the figures; exits 1 when a source is unaccounted for.

    /usr/bin/python3 scripts/faults/long-cases.py [--tool build/quillmorne-convert] [--files 100000]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import openpyxl

FAILURE_LIST = "无法转换的文件目录.txt"
CANNOT_OPEN = "遇到无法打开的txt文件"


def run_tool(tool, source, out, during=None):
    process = subprocess.Popen([tool, "-o", out, source], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if during:
        during(process)
    stdout, stderr = process.communicate()
    return process.returncode, stdout.decode("utf-8", "replace"), stderr.decode("utf-8", "replace")


def account(source, out, expected_rows, stderr, removed=(), deep_check=True):
    """Returns (converted, failed, not reached, unaccounted) for the sources in expected_rows."""
    listed = set()
    list_path = os.path.join(source, FAILURE_LIST)
    if os.path.exists(list_path):
        listed = set(open(list_path, encoding="utf-8", newline="").read().split("\r\n")) - {""}
    stopped = CANNOT_OPEN in stderr
    converted = failed = not_reached = 0
    unaccounted = []
    for name, rows in sorted(expected_rows.items()):
        workbook = os.path.join(out, os.path.splitext(name)[0] + ".xlsx")
        if os.path.exists(workbook):
            if deep_check:
                sheet = openpyxl.load_workbook(workbook, read_only=True).worksheets[0]
                got = sum(1 for _ in sheet.iter_rows(values_only=True))
                if got != rows:
                    unaccounted.append("%s: %d rows, expected %d" % (name, got, rows))
                    continue
            converted += 1
        elif os.path.join(source, name) in listed:
            failed += 1
        elif stopped or name in removed:
            # After a stop the later sources are not reached; a source removed before it was
            # listed is no source of the run.
            not_reached += 1
        else:
            unaccounted.append(name)
    leftovers = []
    for folder, _, files in os.walk(out):
        for f in files:
            if not f.endswith(".xlsx"):
                leftovers.append(os.path.join(folder, f))
    return converted, failed, not_reached, unaccounted, leftovers


def report(title, returncode, result, seconds):
    converted, failed, not_reached, unaccounted, leftovers = result
    print("%-34s exit %d, %6.1f s: converted %d, failed %d, not reached %d, unaccounted %d, stray files %d"
          % (title, returncode, seconds, converted, failed, not_reached, len(unaccounted), len(leftovers)))
    for u in unaccounted[:10] + leftovers[:10]:
        print("    " + u)
    return len(unaccounted) + len(leftovers)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", default=os.path.join(os.path.dirname(__file__), "../../build/quillmorne-convert"))
    parser.add_argument("--files", type=int, default=100000)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="quillmorne-long-")
    tool = shutil.copy2(os.path.abspath(args.tool), os.path.join(work, "quillmorne-convert"))
    bad = 0

    # One 50 MB line.
    source, out = os.path.join(work, "line"), os.path.join(work, "line-out")
    os.makedirs(source)
    os.makedirs(out)
    with open(os.path.join(source, "line.txt"), "wb") as f:
        f.write(b"x" * (50 * 1024 * 1024))
    start = time.monotonic()
    code, _, err = run_tool(tool, source, out)
    result = account(source, out, {"line.txt": 1}, err)
    bad += report("50 MB single line", code, result, time.monotonic() - start)
    book = openpyxl.load_workbook(os.path.join(out, "line.xlsx"), read_only=True)
    cell = next(book.worksheets[0].iter_rows(values_only=True))[0]
    print("    first cell holds %d characters; warning printed: %s" % (len(cell), "警告" in err))
    shutil.rmtree(source)
    shutil.rmtree(out)

    # Many sources in one folder.
    source, out = os.path.join(work, "many"), os.path.join(work, "many-out")
    os.makedirs(source)
    os.makedirs(out)
    names = {}
    for i in range(args.files):
        name = "f%06d.txt" % i
        with open(os.path.join(source, name), "wb") as f:
            f.write(b"%d\tv\n" % i)
        names[name] = 1
    start = time.monotonic()
    code, _, err = run_tool(tool, source, out)
    result = account(source, out, names, err, deep_check=False)
    bad += report("%d sources in one folder" % args.files, code, result, time.monotonic() - start)
    shutil.rmtree(source)
    shutil.rmtree(out)

    # Sources removed while the run goes on.
    source, out = os.path.join(work, "vanish"), os.path.join(work, "vanish-out")
    os.makedirs(source)
    os.makedirs(out)
    names = {}
    for i in range(400):
        name = "v%03d.txt" % i
        with open(os.path.join(source, name), "wb") as f:
            f.write(b"".join(b"%d\t%d\n" % (r, i) for r in range(2000)))
        names[name] = 2000
    removed = set()

    def remove_some(process):
        time.sleep(0.3)
        for i in range(399, 0, -7):
            name = "v%03d.txt" % i
            os.remove(os.path.join(source, name))
            removed.add(name)

    start = time.monotonic()
    code, _, err = run_tool(tool, source, out, remove_some)
    result = account(source, out, names, err, removed)
    bad += report("sources removed during the run", code, result, time.monotonic() - start)
    print("    removed %d sources while running; run stopped at one: %s" % (len(removed), CANNOT_OPEN in err))

    shutil.rmtree(work, ignore_errors=True)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
