#!/usr/bin/python3
"""Stops quillmorne-convert with signals in the middle of a 100 MB source and checks what is left.

Each trial converts a folder of three sources -- a small one, the large one and another small
one -- with a private TMPDIR, waits until the first workbook is written and the large source has
been worked on for a moment, and then sends:

    SIGINT twice   (the second once the tool has said that it received the first)
    SIGTERM
    SIGHUP
    SIGKILL

Checked after each trial:
- the exit status is the documented one: 128 + the signal's number (130, 143, 129); SIGKILL
  simply kills;
- nothing is left in the save folder but the first source's complete workbook, and nothing at
  all in the private TMPDIR;
- the summary was printed and the failure list names the large source (not for SIGKILL);
- no source changed.

    /usr/bin/python3 scripts/faults/signal-trials.py [--tool build/quillmorne-convert]
        [--megabytes 100] [--formats xlsx,xls] [--signals INT2,TERM,HUP,KILL]

Prints one line per trial with the time from the stopping signal to the end of the process and
every check that failed; exits 1 when any check failed. By default the signals come 40% into the
time an uninterrupted run spends on the large source, measured first for each format.
"""
import argparse
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import openpyxl
import xlrd

FAILURE_LIST = "无法转换的文件目录.txt"
FIRST_MESSAGE = "再按一次 Ctrl+C 立即停止"
TRIALS = {
    "INT2": ([signal.SIGINT, signal.SIGINT], 130),
    "TERM": ([signal.SIGTERM], 143),
    "HUP": ([signal.SIGHUP], 129),
    "KILL": ([signal.SIGKILL], -signal.SIGKILL),
}


def make_sources(root, megabytes):
    """a.txt and z.txt of one row, big.txt of about `megabytes` MB; returns {name: rows}."""
    os.makedirs(root)
    rows = {"a.txt": 1, "z.txt": 1}
    for name in rows:
        with open(os.path.join(root, name), "w", encoding="utf-8", newline="") as f:
            f.write("%s\t1\t2024-01-05\r\n" % name)
    target = megabytes * 1000 * 1000
    written = count = 0
    with open(os.path.join(root, "big.txt"), "w", encoding="utf-8", newline="") as f:
        while written < target:
            lines = []
            for r in range(count, count + 10000):
                lines.append("%d\t编号%d\t%d.25\t2024-01-%02d\t0%d\r\n" % (r, r % 977, r * 7, r % 28 + 1, r % 10))
            block = "".join(lines)
            f.write(block)
            written += len(block.encode("utf-8"))
            count += 10000
    rows["big.txt"] = count
    return rows


def digest(root, names):
    return {n: hashlib.sha256(open(os.path.join(root, n), "rb").read()).hexdigest() for n in names}


def workbook_rows(path):
    if path.endswith(".xlsx"):
        book = openpyxl.load_workbook(path, read_only=True)
        count = sum(1 for row in book.worksheets[0].iter_rows(values_only=True) if any(v is not None for v in row))
        book.close()
        return count
    return xlrd.open_workbook(path).sheet_by_index(0).nrows


def default_signals():
    # A script started in the background may have these ignored; the tool would inherit that.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_DFL)


def listing(folder):
    found = []
    for parent, dirs, files in os.walk(folder):
        for name in dirs + files:
            found.append(os.path.relpath(os.path.join(parent, name), folder))
    return sorted(found)


def large_source_seconds(tool, source, work, fmt):
    """How long an uninterrupted run spends after the first workbook, i.e. on the large source."""
    out = os.path.join(work, "out")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    # One file at a time, so that the source after the large one is the one a stop leaves out.
    command = [tool, "-q", "-j", "1", "-o", out, source] + (["--xls"] if fmt == "xls" else [])
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    first = os.path.join(out, "a." + fmt)
    while not os.path.exists(first) and process.poll() is None:
        time.sleep(0.005)
    start = time.monotonic()
    process.wait()
    return time.monotonic() - start


def run_trial(tool, source, work, name, fmt, settle, rows_of_big):
    signals, expected_status = TRIALS[name]
    out = os.path.join(work, "out")
    tmp = os.path.join(work, "tmp")
    for folder in (out, tmp):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
    list_path = os.path.join(source, FAILURE_LIST)
    if os.path.exists(list_path):
        os.remove(list_path)

    env = dict(os.environ, TMPDIR=tmp)
    # One file at a time, so that the source after the large one is the one a stop leaves out.
    command = [tool, "-q", "-j", "1", "-o", out, source] + (["--xls"] if fmt == "xls" else [])
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                               preexec_fn=default_signals)
    stderr_lines = []

    def read_stderr():
        for line in iter(process.stderr.readline, b""):
            stderr_lines.append(line.decode("utf-8", "replace"))

    reader = threading.Thread(target=read_stderr, daemon=True)
    reader.start()
    stdout_chunks = []
    out_reader = threading.Thread(target=lambda: stdout_chunks.append(process.stdout.read()), daemon=True)
    out_reader.start()

    problems = []
    first = os.path.join(out, "a." + fmt)
    deadline = time.monotonic() + 300
    while not os.path.exists(first) and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    # Into the large source: past reading it, into writing its workbook.
    time.sleep(settle)
    if process.poll() is not None:
        problems.append("the run ended before the signal (make the source larger)")
    stopped_at = None
    for i, number in enumerate(signals):
        if i > 0:
            wait_until = time.monotonic() + 60
            while not any(FIRST_MESSAGE in line for line in stderr_lines) and time.monotonic() < wait_until:
                time.sleep(0.01)
            if not any(FIRST_MESSAGE in line for line in stderr_lines):
                problems.append("no message after the first Ctrl+C")
        if process.poll() is None:
            stopped_at = time.monotonic()
            process.send_signal(number)
    process.wait()
    seconds = time.monotonic() - stopped_at if stopped_at else float("nan")
    reader.join(5)
    out_reader.join(5)
    stdout = b"".join(stdout_chunks).decode("utf-8", "replace")
    stderr = "".join(stderr_lines)

    if process.returncode != expected_status:
        problems.append("exit status %s, expected %s" % (process.returncode, expected_status))
    big = os.path.join(out, "big." + fmt)
    finished_first = os.path.exists(big) and workbook_rows(big) == rows_of_big
    if finished_first:
        # The signal came as the workbook was being completed: a whole workbook is as good as
        # none, so this is no fault, but the trial did not show what it is meant to show.
        problems.append("(the large workbook was complete before the stop took effect; no fault)")
    left_out = [f for f in listing(out) if f not in ("a." + fmt, "big." + fmt if finished_first else "")]
    if left_out:
        problems.append("left in the save folder: %s" % ", ".join(left_out))
    if not os.path.exists(first):
        problems.append("the first workbook is missing")
    elif workbook_rows(first) != 1:
        problems.append("the first workbook is incomplete")
    left_tmp = listing(tmp)
    if left_tmp:
        problems.append("left in TMPDIR: %s" % ", ".join(left_tmp))
    if name != "KILL":
        if not stdout.startswith("成功转换%d个txt文件," % (2 if finished_first else 1)):
            problems.append("no summary on standard output: %r" % stdout[:80])
        listed = open(list_path, encoding="utf-8", newline="").read().split("\r\n") if os.path.exists(list_path) else []
        if not finished_first and os.path.join(source, "big.txt") not in listed:
            problems.append("the failure list does not name the large source")
        if "已中断" not in stderr:
            problems.append("standard error does not say that the run was stopped")
    return seconds, problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", default=os.path.join(os.path.dirname(__file__), "../../build/quillmorne-convert"))
    parser.add_argument("--megabytes", type=int, default=100)
    parser.add_argument("--formats", default="xlsx,xls")
    parser.add_argument("--signals", default="INT2,TERM,HUP,KILL")
    parser.add_argument("--settle", type=float, default=None,
                        help="seconds between the first workbook and the signal (default: 40%% of the time an "
                             "uninterrupted run spends on the large source)")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="quillmorne-signals-")
    tool = shutil.copy2(os.path.abspath(args.tool), os.path.join(work, "quillmorne-convert"))
    source = os.path.join(work, "source")
    rows = make_sources(source, args.megabytes)
    before = digest(source, rows)
    print("sources: a.txt, big.txt (%d rows, %.0f MB), z.txt"
          % (rows["big.txt"], os.path.getsize(os.path.join(source, "big.txt")) / 1e6), flush=True)

    failed = 0
    for fmt in args.formats.split(","):
        settle = args.settle
        if settle is None:
            span = large_source_seconds(tool, source, work, fmt)
            settle = 0.4 * span
            print("%-5s uninterrupted: %.2f s on the large source; signals %.2f s into it" % (fmt, span, settle),
                  flush=True)
        for name in args.signals.split(","):
            seconds, problems = run_trial(tool, source, work, name, fmt, settle, rows["big.txt"])
            failed += any(not p.startswith("(") for p in problems)
            print("%-5s %-4s ended %.2f s after the stopping signal: %s"
                  % (fmt, name, seconds, "; ".join(problems) if problems else "ok"), flush=True)
    after = digest(source, rows)
    changed = [n for n in rows if before[n] != after[n]]
    if changed:
        failed += 1
        print("sources changed: %s" % ", ".join(changed))
    else:
        print("sources unchanged")
    shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
