#!/usr/bin/python3
"""Runs the benchmark cases and prints the comparison table (called by bench/run.sh).

Every case converts the same input with quillmorne-convert and with the peers a user would pick
instead, in the same run, and reports for each tool: wall time (the fastest of N runs), peak
resident memory (the largest of the runs, from /usr/bin/time), output size, each as a ratio
against quillmorne-convert, and whether every output opens and holds every row of its input.
"""
import argparse
import datetime
import glob
import json
import os
import shutil
import subprocess
import sys
import time

import check_output

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PYTHON = "/usr/bin/python3"
TIME = "/usr/bin/time"
MIB = 1024 * 1024

# CSV import options of LibreOffice: tab (9), double-quote qualifier (34), the character set,
# from line 1, column 2 as text (2/2), English number parsing (1033), quoted fields not forced to
# text, special numbers (dates) detected - the closest match to what quillmorne-convert does.
LO_UTF8 = 76
LO_GBK = 67


def lo_filter(charset):
    return "Text - txt - csv (StarCalc):9,34,%d,1,2/2,1033,false,true" % charset


class Tool:
    """One way of converting a case's input; `commands` gives the calls for one timed run."""

    def __init__(self, key, name, commands, quillmorne=False, sampled=False):
        self.key = key
        self.name = name
        self.commands = commands  # function(case, outdir) -> list of argv lists, one per call
        self.quillmorne = quillmorne
        self.sampled = sampled  # may convert only the first inputs (--lo-per-file-limit)


class Case:
    def __init__(self, key, title, source, fmt, tools, size, rss_budget=False):
        self.key = key
        self.title = title
        self.source = source  # the folder holding the case's .txt files
        self.fmt = fmt  # "xlsx" or "xls"
        self.tools = tools
        self.size = size
        self.rss_budget = rss_budget

    def inputs(self):
        return sorted(glob.glob(os.path.join(self.source, "**", "*.txt"), recursive=True))


def count_lines(path):
    lines = 0
    last = b"\n"
    with open(path, "rb") as f:
        while True:
            chunk = f.read(1 << 22)
            if not chunk:
                break
            lines += chunk.count(b"\n")
            last = chunk[-1:]
    return lines + (0 if last == b"\n" else 1)


def soffice(options, profile):
    return ["soffice", "-env:UserInstallation=file://" + profile, "--headless", "--norestore", "--nologo",
            "--nodefault", "--nolockcheck"] + options


def make_tools(args):
    quill = args.quillmorne
    lo_format = {"xlsx": "xlsx", "xls": "xls:MS Excel 97"}
    direct = os.path.join(args.build_dir, "direct_xlsxwriter")

    def quillmorne(case, out):
        argv = [quill, "-q", "--text-columns", "2", "-o", out]
        if case.fmt == "xls":
            argv.append("--xls")
        return [argv + [case.source]]

    def per_input(program):
        def commands(case, out):
            return [program + [path, os.path.join(out, os.path.splitext(os.path.basename(path))[0] + ".xlsx")]
                    for path in case.inputs()]
        return commands

    def lo_each(charset):
        def commands(case, out):
            inputs = case.inputs()
            if args.lo_per_file_limit and len(inputs) > args.lo_per_file_limit:
                inputs = inputs[: args.lo_per_file_limit]
            return [soffice(["--convert-to", lo_format[case.fmt], "--infilter=" + lo_filter(charset),
                             "--outdir", out, path], args.lo_profile) for path in inputs]
        return commands

    def lo_all(case, out):
        return [soffice(["--convert-to", lo_format[case.fmt], "--infilter=" + lo_filter(LO_UTF8), "--outdir", out]
                        + case.inputs(), args.lo_profile)]

    tools = [
        Tool("quillmorne", "quillmorne-convert", quillmorne, quillmorne=True),
        Tool("direct", "direct libxlsxwriter (C)", per_input([direct])),
        Tool("python", "Python XlsxWriter", per_input([PYTHON, os.path.join(HERE, "xlsxwriter_peer.py")])),
        Tool("lo", "LibreOffice, one call per file", lo_each(LO_UTF8), sampled=True),
        Tool("lo-gbk", "LibreOffice (GBK filter)", lo_each(LO_GBK), sampled=True),
        Tool("lo-all", "LibreOffice, one call for all", lo_all),
    ]
    return {tool.key: tool for tool in tools}


def make_cases(args, tools):
    corpus = args.corpus
    cases = []
    for n in args.sizes:
        source = os.path.join(corpus, "rows-%d" % n)
        single = ["quillmorne", "direct", "python", "lo"]
        cases.append(Case("xlsx-%d" % n, "%s rows -> .xlsx" % format(n, ","), source, "xlsx",
                          [tools[t] for t in single], n, rss_budget=(n == max(args.sizes))))
    for n in args.sizes:
        if n == 100000:
            cases.append(Case("xlsx-gbk-%d" % n, "%s rows, GBK -> .xlsx" % format(n, ","),
                              os.path.join(corpus, "rows-%d-gbk" % n), "xlsx",
                              [tools["quillmorne"], tools["lo-gbk"]], n))
    for n in args.sizes:
        if n <= 100000:
            cases.append(Case("xls-%d" % n, "%s rows -> .xls" % format(n, ","), os.path.join(corpus, "rows-%d" % n),
                              "xls", [tools["quillmorne"], tools["lo"]], n))
    if args.many:
        cases.append(Case("many-500", "500 files x 200 rows -> .xlsx", os.path.join(corpus, "many"), "xlsx",
                          [tools["quillmorne"], tools["lo"], tools["lo-all"]], 500))
    if args.cases:
        wanted = set(args.cases)
        cases = [c for c in cases if c.key in wanted]
    return cases


def warm_up_libreoffice(profile, results_dir):
    """Creates LibreOffice's private profile before anything is timed; returns its version."""
    version = subprocess.run(soffice(["--version"], profile), capture_output=True, text=True).stdout.strip()
    sample = os.path.join(results_dir, "warm-up.txt")
    with open(sample, "w") as f:
        f.write("1\t2\n")
    subprocess.run(soffice(["--convert-to", "xlsx", "--outdir", os.path.join(results_dir, "warm-up"), sample], profile),
                   capture_output=True)
    shutil.rmtree(os.path.join(results_dir, "warm-up"), ignore_errors=True)
    os.remove(sample)
    return version


def run_once(commands, out, log):
    """Runs the calls of one timed run; returns (wall seconds, peak RSS KiB, failures)."""
    if os.path.exists(out):
        shutil.rmtree(out)
    os.makedirs(out)
    rss_file = out + ".rss"
    peak = 0
    failures = []
    start = time.perf_counter()
    for argv in commands:
        result = subprocess.run([TIME, "-f", "%M", "-o", rss_file] + argv, stdout=log, stderr=log,
                                stdin=subprocess.DEVNULL)
        if result.returncode != 0:
            failures.append("exit %d: %s" % (result.returncode, " ".join(argv[:2])))
        try:
            with open(rss_file) as f:
                peak = max(peak, int(f.read().strip().splitlines()[-1]))
        except (OSError, ValueError, IndexError):
            pass
    wall = time.perf_counter() - start
    if os.path.exists(rss_file):
        os.remove(rss_file)
    return wall, peak, failures


def check_outputs(case, out, inputs_checked):
    """Every input must have exactly one output that opens and holds all its lines as rows."""
    expected = {}
    for path in inputs_checked:
        expected[os.path.splitext(os.path.basename(path))[0]] = count_lines(path)
    outputs = sorted(glob.glob(os.path.join(out, "**", "*." + case.fmt), recursive=True))
    size = sum(os.path.getsize(p) for p in outputs)
    problems = []
    found = {}
    for path in outputs:
        base = os.path.splitext(os.path.basename(path))[0]
        result = check_output.check(path)
        found[base] = result
        if not result["ok"]:
            problems.append("%s does not open (%s)" % (os.path.relpath(path, out), result["error"]))
        elif base in expected and result["rows"] != expected[base]:
            problems.append("%s holds %d of %d rows" % (os.path.relpath(path, out), result["rows"], expected[base]))
    missing = [b for b in expected if b not in found]
    if missing:
        problems.append("%d of %d outputs missing" % (len(missing), len(expected)))
    return size, problems


def measure(case, tool, args, results_dir, log):
    out = os.path.join(results_dir, "out", case.key, tool.key)
    entry = {"case": case.key, "tool": tool.name, "runs": 0}
    if tool.quillmorne and args.peers_only:
        entry["skipped"] = "left out (--peers-only)"
        return entry
    if tool.quillmorne and not os.access(args.quillmorne, os.X_OK):
        entry["skipped"] = "not built (%s)" % os.path.relpath(args.quillmorne, ROOT)
        return entry
    commands = tool.commands(case, out)
    runs = 1 if len(commands) > args.single_run_above else args.runs
    walls, peak, failures = [], 0, []
    for _ in range(runs):
        log.write(("\n== %s / %s\n" % (case.key, tool.name)).encode())
        log.flush()
        wall, rss, failed = run_once(commands, out, log)
        walls.append(wall)
        peak = max(peak, rss)
        failures = failed
    inputs = case.inputs()
    checked = inputs[: len(commands)] if tool.sampled else inputs
    size, problems = check_outputs(case, out, checked)
    scale = len(inputs) / len(checked)
    entry.update({
        "runs": runs,
        "wall_s": min(walls) * scale,
        "walls_s": walls,
        "peak_rss_kib": peak,
        "output_bytes": size * scale,
        "calls": len(commands),
        "extrapolated_from": len(checked) if scale != 1 else None,
        "problems": failures[:3] + problems[:3],
    })
    return entry


def fmt_ratio(value, base):
    if value is None or not base:
        return "-"
    return "%.2f" % (value / base)


def print_table(cases, entries, input_sizes, stream):
    header = ("%-34s %-32s %9s %7s %9s %7s %9s %7s  %s"
              % ("case", "tool", "wall s", "x Q", "RSS MiB", "x Q", "out MiB", "x Q", "check"))
    print(header, file=stream)
    print("-" * len(header), file=stream)
    for case in cases:
        rows = [e for e in entries if e["case"] == case.key]
        base = next((e for e in rows if e["tool"] == "quillmorne-convert" and "wall_s" in e), None)
        for e in rows:
            if "skipped" in e:
                print("%-34s %-32s %s" % (case.title, e["tool"], e["skipped"]), file=stream)
                continue
            wall, rss, out = e["wall_s"], e["peak_rss_kib"] / 1024.0, e["output_bytes"] / MIB
            check = "ok" if not e["problems"] else "; ".join(e["problems"])
            if e.get("extrapolated_from"):
                check += " (x%d from %d files)" % (round(len(case.inputs()) / e["extrapolated_from"]),
                                                  e["extrapolated_from"])
            print("%-34s %-32s %9.2f %7s %9.1f %7s %9.2f %7s  %s" % (
                case.title, e["tool"], wall, fmt_ratio(wall, base and base["wall_s"]), rss,
                fmt_ratio(rss, base and base["peak_rss_kib"] / 1024.0), out,
                fmt_ratio(out, base and base["output_bytes"] / MIB), check), file=stream)
        if case.rss_budget and base:
            budget = 3 * input_sizes[case.key] / MIB + 64
            rss = base["peak_rss_kib"] / 1024.0
            print("%-34s peak RSS %.1f MiB vs budget 3 x input (%.1f MiB) + 64 MiB = %.1f MiB: %s" % (
                "", rss, input_sizes[case.key] / MIB, budget, "within" if rss <= budget else "OVER"), file=stream)
    print("x Q: the tool's figure divided by quillmorne-convert's (above 1: quillmorne-convert is faster, "
          "leaner or smaller).", file=stream)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=int(os.environ.get("BENCH_RUNS", "3")))
    parser.add_argument("--sizes", default=os.environ.get("BENCH_SIZES", "1000000,100000"),
                        help="row counts of the single-file cases, comma-separated")
    parser.add_argument("--no-many", dest="many", action="store_false", help="leave out the 500-file case")
    parser.add_argument("--cases", nargs="*", help="only these case keys (e.g. xlsx-100000 xls-100000 many-500)")
    parser.add_argument("--peers-only", action="store_true", help="do not run quillmorne-convert")
    parser.add_argument("--corpus", default=os.path.join(HERE, "corpus"))
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build-bench"))
    parser.add_argument("--results", default=os.path.join(HERE, "results"))
    parser.add_argument("--lo-per-file-limit", type=int, default=int(os.environ.get("BENCH_LO_PER_FILE_LIMIT", "0")),
                        help="time LibreOffice's one-call-per-file loop on this many files only and scale up")
    parser.add_argument("--keep-outputs", action="store_true", help="keep the converted workbooks")
    parser.add_argument("--single-run-above", type=int, default=50,
                        help="a tool needing more calls than this is timed in one run, not N")
    args = parser.parse_args()
    args.sizes = [int(s) for s in args.sizes.split(",") if s]
    args.quillmorne = os.environ.get("QUILLMORNE_CONVERT", os.path.join(args.build_dir, "quillmorne-convert"))
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    results_dir = os.path.join(args.results, stamp)
    os.makedirs(results_dir)
    args.lo_profile = os.path.join(results_dir, "lo-profile")

    tools = make_tools(args)
    cases = make_cases(args, tools)
    lo_version = warm_up_libreoffice(args.lo_profile, results_dir)
    entries = []
    input_sizes = {}
    with open(os.path.join(results_dir, "tools.log"), "wb") as log:
        for case in cases:
            inputs = case.inputs()
            if not inputs:
                print("harness: no input below %s; skipped" % case.source, file=sys.stderr)
                continue
            input_sizes[case.key] = sum(os.path.getsize(p) for p in inputs)
            for tool in case.tools:
                print("harness: %s / %s" % (case.key, tool.name), file=sys.stderr, flush=True)
                entries.append(measure(case, tool, args, results_dir, log))
    shutil.rmtree(args.lo_profile, ignore_errors=True)
    if not args.keep_outputs:
        shutil.rmtree(os.path.join(results_dir, "out"), ignore_errors=True)
    with open(os.path.join(results_dir, "results.json"), "w") as f:
        json.dump({"runs": args.runs, "quillmorne": args.quillmorne, "libreoffice": lo_version, "entries": entries},
                  f, indent=1)
    print("runs per tool: %d (fastest shown); %s; results in %s\n" % (
        args.runs, lo_version, os.path.relpath(results_dir, ROOT)))
    print_table([c for c in cases if c.key in input_sizes], entries, input_sizes, sys.stdout)
    with open(os.path.join(results_dir, "table.txt"), "w") as f:
        print_table([c for c in cases if c.key in input_sizes], entries, input_sizes, f)
    failed = any(e.get("problems") for e in entries)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
