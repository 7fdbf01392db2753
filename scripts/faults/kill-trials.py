#!/usr/bin/python3
"""Kills quillmorne-convert with SIGKILL at random moments over a large folder and checks what is
left: every workbook present must open and hold all its rows, and no source may change.
Temporary files of a killed run are hidden names that no workbook has: the saver's
".quillmorne-*.tmp" and libgsf's own ".gsf-save-*" (the .xls writer's output goes through one).

    /usr/bin/python3 scripts/faults/kill-trials.py [--trials 50] [--tool build/quillmorne-convert]

Prints the figures; exits 1 when a workbook was incomplete or a source changed. Temporary files
left by a killed run are counted, not failures.
"""
import argparse
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import openpyxl
import xlrd


def make_sources(root, rng):
    """A folder of small and large sources in sub-folders; returns {relative path: rows}."""
    rows = {}
    for i in range(120):
        sub = os.path.join(root, "d%d" % (i % 4), "e%d" % (i % 3))
        os.makedirs(sub, exist_ok=True)
        count = rng.choice([1, 5, 50, 300, 2000]) if i % 6 else rng.choice([8000, 15000])
        name = os.path.join(sub, "f%02d.txt" % i)
        with open(name, "w", encoding="utf-8", newline="") as f:
            for r in range(count):
                f.write("%d\t编号%d\t%d.5\t2024-01-%02d\t0%d\r\n" % (r, r, r * 7, r % 28 + 1, r % 10))
        rows[os.path.relpath(name, root)] = count
    return rows


def digest(root, names):
    return {n: hashlib.sha256(open(os.path.join(root, n), "rb").read()).hexdigest() for n in names}


def workbook_rows(path):
    if path.endswith(".xlsx"):
        book = openpyxl.load_workbook(path, read_only=True)
        sheet = book.worksheets[0]
        count = sum(1 for row in sheet.iter_rows(values_only=True) if any(v is not None for v in row))
        book.close()
        return count
    book = xlrd.open_workbook(path)
    return book.sheet_by_index(0).nrows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trials", type=int, default=50)
    parser.add_argument("--tool", default=os.path.join(os.path.dirname(__file__), "../../build/quillmorne-convert"))
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    tool = os.path.abspath(args.tool)

    work = tempfile.mkdtemp(prefix="quillmorne-kill-")
    # A copy of the tool, so a rebuild during the trials cannot disturb them.
    tool = shutil.copy2(tool, os.path.join(work, "quillmorne-convert"))
    source = os.path.join(work, "source")
    out = os.path.join(work, "out")
    rows = make_sources(source, rng)
    before = digest(source, rows)

    os.makedirs(out)
    # How long an uninterrupted run takes, so the kills fall anywhere inside one.
    start = time.monotonic()
    subprocess.run([tool, "-q", "-o", out, source], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    full = time.monotonic() - start

    checked = incomplete = temporaries = 0
    problems = []
    for trial in range(args.trials):
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        xls = trial % 2 == 1
        command = [tool, "-q", "-o", out, source] + (["--xls"] if xls else [])
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        delay = rng.uniform(0, full * 1.1)
        time.sleep(delay)
        process.send_signal(signal.SIGKILL)
        process.wait()
        for folder, _, files in os.walk(out):
            for f in files:
                path = os.path.join(folder, f)
                if (f.startswith(".quillmorne-") and f.endswith(".tmp")) or f.startswith(".gsf-save-"):
                    temporaries += 1
                    continue
                relative = os.path.splitext(os.path.relpath(path, out))[0] + ".txt"
                checked += 1
                try:
                    got = workbook_rows(path)
                except Exception as error:  # any reader failure is an incomplete workbook
                    got = "unreadable: %s" % error
                if got != rows.get(relative):
                    incomplete += 1
                    problems.append("trial %d: %s: %s rows, expected %s" % (trial + 1, path, got, rows.get(relative)))
        print("trial %d: killed after %.2f s, %d workbooks checked so far, %d incomplete"
              % (trial + 1, delay, checked, incomplete), flush=True)
    after = digest(source, rows)
    changed = [n for n in rows if before[n] != after[n]]

    print("sources: %d files, uninterrupted run %.1f s" % (len(rows), full))
    print("kill trials: %d" % args.trials)
    print("workbooks checked: %d" % checked)
    print("incomplete workbooks: %d" % incomplete)
    print("temporary files left by killed runs: %d" % temporaries)
    print("sources changed: %d" % len(changed))
    for p in problems[:20]:
        print("  " + p)
    shutil.rmtree(work, ignore_errors=True)
    return 1 if incomplete or changed else 0


if __name__ == "__main__":
    sys.exit(main())
