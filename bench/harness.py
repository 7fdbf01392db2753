#!/usr/bin/python3
"""Runs the benchmark cases and prints the comparison table (called by bench/run.sh).

Every case converts the same input with quillmorne-convert and with the peers a user would pick
instead, in the same run, and reports for each tool: wall time (the median of N runs, with the
spread of the runs), peak resident memory (the largest of the runs, from /usr/bin/time), output
size, each as a ratio against quillmorne-convert, and whether every output opens and holds every
row of its input. With --before, an earlier quillmorne-convert runs in the same cases, so one run
gives before and after. The .xlsx cases also time a floor: reading the input (cat) plus igzip
-1 on all cores over the very sheet XML quillmorne-convert wrote.
"""
import argparse
import datetime
import glob
import json
import os
import statistics
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

    def __init__(self, key, name, commands, quillmorne=None, sampled=False, slow=False, floor=False,
                 needs_option=None):
        self.key = key
        self.name = name
        self.commands = commands  # function(case, outdir) -> list of argv lists, one per call
        self.quillmorne = quillmorne  # the binary, for quillmorne-convert's own rows
        self.sampled = sampled  # may convert only the first inputs (--lo-per-file-limit)
        self.slow = slow  # timed --slow-runs times instead of --runs
        self.floor = floor  # writes no workbook: compressed sheet XML
        self.needs_option = needs_option  # a command-line option the binary must offer


class Case:
    def __init__(self, key, title, source, fmt, tools, size):
        self.key = key
        self.title = title
        self.source = source  # the folder holding the case's .txt files
        self.fmt = fmt  # "xlsx" or "xls"
        self.tools = tools
        self.size = size

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
    lo_format = {"xlsx": "xlsx", "xls": "xls:MS Excel 97"}
    direct = os.path.join(args.build_dir, "direct_xlsxwriter")

    def quillmorne(binary, extra=()):
        def commands(case, out):
            argv = [binary, "-q", "--text-columns", "2", "-o", out] + list(extra)
            if case.fmt == "xls":
                argv.append("--xls")
            return [argv + [case.source]]
        return commands

    def output_for(path, out):
        return os.path.join(out, os.path.splitext(os.path.basename(path))[0] + ".xlsx")

    def per_input(program):
        def commands(case, out):
            return [program + [path, output_for(path, out)] for path in case.inputs()]
        return commands

    # A Python user converts a folder with one script, not one interpreter per file.
    def python_peer(case, out):
        pairs = []
        for path in case.inputs():
            pairs += [path, output_for(path, out)]
        return [[PYTHON, os.path.join(HERE, "xlsxwriter_peer.py")] + pairs]

    def floor(case, out):
        # Filled in by measure() once quillmorne-convert's sheet XML of the case is dumped.
        xml = os.path.join(args.results_dir, "floor-%s.xml" % case.key)
        inputs = case.inputs()
        script = 'cat "$@" > /dev/null && igzip -1 -T %d -c "%s" > "%s"' % (
            args.cores, xml, os.path.join(out, "sheets.xml.gz"))
        return [["sh", "-c", script, "floor"] + inputs]

    def lo_each(charset):
        def commands(case, out):
            inputs = case.inputs()
            if args.lo_per_file_limit and len(inputs) > args.lo_per_file_limit:
                inputs = inputs[: args.lo_per_file_limit]
            return [soffice(["--convert-to", lo_format[case.fmt], "--infilter=" + lo_filter(charset),
                             "--outdir", out, path], args.lo_profile) for path in inputs]
        return commands

    # LibreOffice 7.4 silently ignores every file after roughly the 250th argument of one call,
    # so "one call for all" is one call per batch of --lo-batch files.
    def lo_all(case, out):
        inputs = case.inputs()
        return [soffice(["--convert-to", lo_format[case.fmt], "--infilter=" + lo_filter(LO_UTF8), "--outdir", out]
                        + inputs[i : i + args.lo_batch], args.lo_profile)
                for i in range(0, len(inputs), args.lo_batch)]

    tools = [
        Tool("quillmorne", "quillmorne-convert", quillmorne(args.quillmorne), quillmorne=args.quillmorne),
        Tool("before", "quillmorne-convert, before", quillmorne(args.before or ""), quillmorne=args.before),
        # The plain row converts with one job per core (the default); this one with one job.
        Tool("jobs", "quillmorne-convert --jobs 1",
             quillmorne(args.quillmorne, ["--jobs", "1"]), quillmorne=args.quillmorne,
             needs_option="--jobs"),
        Tool("floor", "floor: cat + igzip -1 -T %d" % args.cores, floor, floor=True),
        Tool("direct", "direct libxlsxwriter (C)", per_input([direct])),
        Tool("python", "Python XlsxWriter", python_peer, slow=True),
        Tool("lo", "LibreOffice, one call per file", lo_each(LO_UTF8), sampled=True, slow=True),
        Tool("lo-gbk", "LibreOffice (GBK filter)", lo_each(LO_GBK), sampled=True, slow=True),
        Tool("lo-all", "LibreOffice, %d files per call" % args.lo_batch, lo_all, slow=True),
    ]
    return {tool.key: tool for tool in tools}


def make_cases(args, tools):
    corpus = args.corpus
    cases = []
    ours = ["quillmorne"] + (["before"] if args.before else [])

    def pick(keys):
        return [tools[k] for k in keys]

    for n in args.sizes:
        source = os.path.join(corpus, "rows-%d" % n)
        # The Python peer takes a minute for a million rows and adds nothing the C one does not.
        peers = ["floor", "direct"] + (["python"] if n <= 100000 else []) + ["lo"]
        cases.append(Case("xlsx-%d" % n, "%s rows -> .xlsx" % format(n, ","), source, "xlsx",
                          pick(ours + peers), n))
    for n in args.sizes:
        if n == 100000:
            cases.append(Case("xlsx-gbk-%d" % n, "%s rows, GBK -> .xlsx" % format(n, ","),
                              os.path.join(corpus, "rows-%d-gbk" % n), "xlsx", pick(ours + ["lo-gbk"]), n))
    for n in args.sizes:
        cases.append(Case("xls-%d" % n, "%s rows -> .xls" % format(n, ","), os.path.join(corpus, "rows-%d" % n),
                          "xls", pick(ours + ["lo"]), n))
    if args.many:
        cases.append(Case("many-500", "500 files x 200 rows -> .xlsx", os.path.join(corpus, "many"), "xlsx",
                          pick(ours + ["jobs", "direct", "python", "lo", "lo-all"]), 500))
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
    subprocess.run(soffice(["--convert-to", "xlsx", "--infilter=" + lo_filter(LO_UTF8), "--outdir",
                            os.path.join(results_dir, "warm-up"), sample], profile), capture_output=True)
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


def offers_option(binary, option):
    result = subprocess.run([binary, "--help"], capture_output=True, text=True)
    return option in result.stdout + result.stderr


def dump_floor_xml(case, args, results_dir, log):
    """Writes the sheet XML of quillmorne-convert's workbooks of `case` for the floor to compress."""
    out = os.path.join(results_dir, "out", case.key, "floor-source")
    run_once(make_tools(args)["quillmorne"].commands(case, out), out, log)
    workbooks = sorted(glob.glob(os.path.join(out, "**", "*.xlsx"), recursive=True))
    xml = os.path.join(results_dir, "floor-%s.xml" % case.key)
    if workbooks:
        subprocess.run([PYTHON, os.path.join(HERE, "dump_sheet_xml.py"), xml] + workbooks, check=True,
                       stdout=subprocess.DEVNULL)
    shutil.rmtree(out, ignore_errors=True)
    return xml if workbooks else None


class Measurement:
    """A tool's timed runs in one case: prepared, run (interleaved with the other fast tools of the
    case, so a change of load hits all of them alike), then checked."""

    def __init__(self, case, tool, args, results_dir, log):
        self.case, self.tool = case, tool
        self.out = os.path.join(results_dir, "out", case.key, tool.key)
        self.entry = {"case": case.key, "tool": tool.name, "runs": 0}
        self.walls, self.peak, self.failures = [], 0, []
        self.floor_xml = None
        self.commands = None
        if (tool.quillmorne is not None or tool.floor) and args.peers_only:
            self.entry["skipped"] = "left out (--peers-only)"
        elif tool.quillmorne is not None and not os.access(tool.quillmorne, os.X_OK):
            self.entry["skipped"] = "not built (%s)" % tool.quillmorne
        elif tool.needs_option and not offers_option(tool.quillmorne, tool.needs_option):
            self.entry["skipped"] = "no %s option in this build yet (row kept for it)" % tool.needs_option
        else:
            if tool.floor:
                self.floor_xml = dump_floor_xml(case, args, results_dir, log)
                if not self.floor_xml:
                    self.entry["skipped"] = "no sheet XML from quillmorne-convert to compress"
                    return
            self.commands = tool.commands(case, self.out)
            planned = args.slow_runs if tool.slow else args.runs
            self.planned = 1 if len(self.commands) > args.single_run_above else planned

    def runnable(self):
        return self.commands is not None

    def run(self, log):
        log.write(("\n== %s / %s\n" % (self.case.key, self.tool.name)).encode())
        log.flush()
        wall, rss, failed = run_once(self.commands, self.out, log)
        self.walls.append(wall)
        self.peak = max(self.peak, rss)
        self.failures = failed

    def finish(self):
        if not self.runnable():
            return self.entry
        case, tool, walls = self.case, self.tool, sorted(self.walls)
        inputs = case.inputs()
        checked = inputs[: len(self.commands)] if tool.sampled else inputs
        if tool.floor:
            size, problems = os.path.getsize(os.path.join(self.out, "sheets.xml.gz")), []
            self.entry["note"] = "not a workbook: igzip output of %.1f MiB of sheet XML" % (
                os.path.getsize(self.floor_xml) / MIB)
            os.remove(self.floor_xml)
        else:
            size, problems = check_outputs(case, self.out, checked)
        scale = len(inputs) / len(checked)
        median = statistics.median(walls)
        self.entry.update({
            "runs": len(walls),
            "wall_s": median * scale,
            "spread": (walls[-1] - walls[0]) / median if len(walls) > 1 and median else None,
            "walls_s": walls,
            "peak_rss_kib": self.peak,
            "output_bytes": size * scale,
            "calls": len(self.commands),
            "extrapolated_from": len(checked) if scale != 1 else None,
            "problems": self.failures[:3] + problems[:3],
        })
        return self.entry


def measure_case(case, args, results_dir, log):
    measurements = []
    for tool in case.tools:
        print("harness: %s / %s" % (case.key, tool.name), file=sys.stderr, flush=True)
        measurements.append(Measurement(case, tool, args, results_dir, log))
    runnable = [m for m in measurements if m.runnable()]
    fast = [m for m in runnable if not m.tool.slow]
    for _ in range(max([m.planned for m in fast] + [0])):
        for m in fast:
            if len(m.walls) < m.planned:
                m.run(log)
    for m in runnable:
        while len(m.walls) < m.planned:
            m.run(log)
    return [m.finish() for m in measurements]


def fmt_ratio(value, base):
    if value is None or not base:
        return "-"
    return "%.2f" % (value / base)


def print_table(cases, entries, input_sizes, stream):
    header = ("%-30s %-34s %8s %6s %7s %8s %7s %8s %7s  %s"
              % ("case", "tool", "wall s", "+-%", "x Q", "RSS MiB", "x Q", "out MiB", "x Q", "check"))
    print(header, file=stream)
    print("-" * len(header), file=stream)
    for case in cases:
        rows = [e for e in entries if e["case"] == case.key]
        base = next((e for e in rows if e["tool"] == "quillmorne-convert" and "wall_s" in e), None)
        for e in rows:
            if "skipped" in e:
                print("%-30s %-34s %s" % (case.title, e["tool"], e["skipped"]), file=stream)
                continue
            wall, rss, out = e["wall_s"], e["peak_rss_kib"] / 1024.0, e["output_bytes"] / MIB
            check = e.get("note") or ("ok" if not e["problems"] else "; ".join(e["problems"]))
            if e.get("extrapolated_from"):
                check += " (x%d from %d files)" % (round(len(case.inputs()) / e["extrapolated_from"]),
                                                  e["extrapolated_from"])
            spread = "%d" % round(100 * e["spread"]) if e.get("spread") is not None else "-"
            print("%-30s %-34s %8.2f %6s %7s %8.1f %7s %8.2f %7s  %s" % (
                case.title, e["tool"], wall, spread, fmt_ratio(wall, base and base["wall_s"]), rss,
                fmt_ratio(rss, base and base["peak_rss_kib"] / 1024.0), out,
                fmt_ratio(out, base and base["output_bytes"] / MIB), check), file=stream)
    print("wall s: the median of the runs; +-%: the spread of the runs (slowest - fastest) / median.", file=stream)
    print("x Q: the tool's figure divided by quillmorne-convert's (above 1: quillmorne-convert is faster, "
          "leaner or smaller).", file=stream)


def print_goals(cases, entries, stream):
    """The goals of this round, from the largest single-file cases of the run."""
    def figure(case_key, tool_prefix, field):
        for e in entries:
            ours = e["tool"] == "quillmorne-convert"
            if e["case"] == case_key and field in e and (ours if tool_prefix == "quillmorne-convert"
                                                         else e["tool"].startswith(tool_prefix)):
                return e[field]
        return None

    lines = []

    def goal(text, value, target, at_most):
        if value is None:
            lines.append("  %-62s    -   (goal %s %g)  not measured" % (text, "<=" if at_most else ">=", target))
            return
        met = value <= target if at_most else value >= target
        lines.append("  %-62s %6.2f (goal %s %g)  %s" % (text, value, "<=" if at_most else ">=", target,
                                                          "met" if met else "MISSED"))

    def ratio(a, b):
        return a / b if a is not None and b else None

    largest_xlsx = max([c.size for c in cases if c.key.startswith("xlsx-") and "gbk" not in c.key], default=None)
    largest_xls = max([c.size for c in cases if c.key.startswith("xls-")], default=None)
    for case in cases:
        if case.key == "xlsx-%s" % largest_xlsx:
            ours = figure(case.key, "quillmorne-convert", "wall_s")
            rss = figure(case.key, "quillmorne-convert", "peak_rss_kib")
            goal(case.title + ": wall, ours / floor", ratio(ours, figure(case.key, "floor", "wall_s")), 1.5, True)
            goal(case.title + ": wall, direct libxlsxwriter / ours",
                 ratio(figure(case.key, "direct", "wall_s"), ours), 12, False)
            goal(case.title + ": wall, LibreOffice / ours", ratio(figure(case.key, "LibreOffice", "wall_s"), ours),
                 40, False)
            goal(case.title + ": peak RSS of ours, MiB", rss / 1024.0 if rss else None, 64, True)
            goal(case.title + ": output, ours / direct libxlsxwriter",
                 ratio(figure(case.key, "quillmorne-convert", "output_bytes"),
                       figure(case.key, "direct", "output_bytes")), 0.8, True)
        if case.key == "many-500":
            ours = figure(case.key, "quillmorne-convert", "wall_s")
            goal(case.title + ": wall, one job / all jobs", ratio(figure(case.key, "quillmorne-convert --jobs 1",
                                                                          "wall_s"), ours), 1.7, False)
            goal(case.title + ": wall, direct libxlsxwriter / ours",
                 ratio(figure(case.key, "direct", "wall_s"), ours), 8, False)
        if case.key == "xls-%s" % largest_xls:
            ours = figure(case.key, "quillmorne-convert", "wall_s")
            rss = figure(case.key, "quillmorne-convert", "peak_rss_kib")
            goal(case.title + ": peak RSS of ours, MiB", rss / 1024.0 if rss else None, 64, True)
            goal(case.title + ": wall, LibreOffice / ours", ratio(figure(case.key, "LibreOffice", "wall_s"), ours),
                 10, False)
    if lines:
        print("\ngoals:", file=stream)
        for line in lines:
            print(line, file=stream)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=int(os.environ.get("BENCH_RUNS", "5")),
                        help="timed runs of quillmorne-convert, the floor and the C peer")
    parser.add_argument("--slow-runs", type=int, default=int(os.environ.get("BENCH_SLOW_RUNS", "1")),
                        help="timed runs of LibreOffice and Python XlsxWriter (minutes each)")
    parser.add_argument("--before", default=os.environ.get("QUILLMORNE_CONVERT_BEFORE"),
                        help="an earlier quillmorne-convert to run in the same cases (before and after)")
    parser.add_argument("--cores", type=int, default=os.cpu_count() or 1,
                        help="threads for the floor's igzip and the --jobs row")
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
    parser.add_argument("--lo-batch", type=int, default=200,
                        help="files per LibreOffice call in the many-files case (it drops files past ~250 arguments)")
    parser.add_argument("--keep-outputs", action="store_true", help="keep the converted workbooks")
    parser.add_argument("--single-run-above", type=int, default=50,
                        help="a tool needing more calls than this is timed in one run, not N")
    args = parser.parse_args()
    args.sizes = [int(s) for s in args.sizes.split(",") if s]
    args.quillmorne = os.environ.get("QUILLMORNE_CONVERT", os.path.join(args.build_dir, "quillmorne-convert"))
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    results_dir = os.path.join(args.results, stamp)
    os.makedirs(results_dir)
    args.results_dir = results_dir
    if args.before:
        args.before = os.path.abspath(args.before)
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
            entries += measure_case(case, args, results_dir, log)
    shutil.rmtree(args.lo_profile, ignore_errors=True)
    if not args.keep_outputs:
        shutil.rmtree(os.path.join(results_dir, "out"), ignore_errors=True)
    with open(os.path.join(results_dir, "results.json"), "w") as f:
        json.dump({"runs": args.runs, "slow_runs": args.slow_runs, "quillmorne": args.quillmorne,
                   "before": args.before, "libreoffice": lo_version, "entries": entries}, f, indent=1)
    print("runs: %d per tool, %d for LibreOffice and Python (median shown); %s; results in %s\n" % (
        args.runs, args.slow_runs, lo_version, os.path.relpath(results_dir, ROOT)))
    measured = [c for c in cases if c.key in input_sizes]
    print_table(measured, entries, input_sizes, sys.stdout)
    print_goals(measured, entries, sys.stdout)
    with open(os.path.join(results_dir, "table.txt"), "w") as f:
        print_table(measured, entries, input_sizes, f)
        print_goals(measured, entries, f)
    failed = any(e.get("problems") for e in entries)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
