"""Benchmarks of both components against their peers; prints tables.

    PYTHONPATH=build/python:. python2.7 -m bench.run [options]     (make bench)

Matcher: match() on generated files (fixed seeds) and on real bytes of this
machine (its libraries, its documentation, two releases of an npm package)
beside librsync's `rdiff delta` and this machine's bounds (page-cache read,
adler32, MD5); a table marks which of the targets hold.
Watcher: change-to-batch latency, a burst of files, idle CPU.
Times are CPU seconds (user+sys) of the process doing the work, the median
of --repeat runs; on a shared machine they hold steadier than wall time,
which is shown beside them.
"""

import argparse
import distutils.spawn
import os
import sys
import tempfile
import traceback

from bench import matcher_bench as mb
from bench import matcher_calls
from bench import matcher_report
from bench import parallel_bench
from bench import sync_bench
from bench import table_bench
from bench import watcher_bench as wb
from bench.stats import fmt, format_table

TOOLS = ["bench_datagen", "bench_bounds", "bench_md5_lanes", "bench_latency", "bench_burst", "dir_watcher"]


def parse_args(argv):
    p = argparse.ArgumentParser(prog="python2.7 -m bench.run", description=__doc__.split("\n\n")[2])
    p.add_argument("--quick", action="store_true",
                   help="small sizes, one run each (a check that everything works, not figures)")
    p.add_argument("--only", choices=["matcher", "watcher", "table", "sync", "calls"],
                   help="run one component's benchmarks, or only the matcher's whole-call ones")
    p.add_argument("--cases", help="comma-separated matcher cases (default: all)")
    p.add_argument("--repeat", type=int, help="timed runs per measurement; the median is shown (default 3)")
    p.add_argument("--size-mib", type=int, help="size of each generated or collected file (default 128)")
    p.add_argument("--sync-size-mib", type=int, default=512,
                   help="size of the files of the sync round trip (default 512)")
    p.add_argument("--buffer-kib", type=int, default=1024, help="buffer_size given to match (default 1024)")
    p.add_argument("--data-dir", default=os.path.join("build", "bench-data"),
                   help="generated inputs, reused when present (default build/bench-data)")
    p.add_argument("--no-fetch", action="store_true",
                   help="do not fetch the npm package pair (implied by --quick); its case runs only if present")
    p.add_argument("--output-root", help="where bin/ holds the built programs (default: beside the module)")
    p.add_argument("--latency-count", type=int, help="single changes timed (default 300)")
    p.add_argument("--burst-files", type=int, help="files in the burst (default 100000)")
    p.add_argument("--burst-dirs", type=int, help="directories of the burst (default 1000)")
    p.add_argument("--idle-seconds", type=float, help="idle CPU measured over (default 10)")
    p.add_argument("--batching-runs", type=int, help="runs of the watcher's batching burst, best kept (default 3)")
    args = p.parse_args(argv)
    defaults = dict(repeat=1, size_mib=4, latency_count=20, burst_files=2000, burst_dirs=20,
                    idle_seconds=1.0, batching_runs=1) if args.quick else \
        dict(repeat=3, size_mib=128, latency_count=300, burst_files=100000, burst_dirs=1000, idle_seconds=10.0,
             batching_runs=3)
    for key, value in defaults.items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    return args


def log(message):
    sys.stderr.write("bench: %s\n" % message)
    sys.stderr.flush()


def find_tools(output_root):
    if output_root is None:
        try:
            import corvamire_version_matcher
            output_root = os.path.dirname(os.path.dirname(os.path.abspath(corvamire_version_matcher.__file__)))
        except ImportError:
            output_root = "build"
    tools = {}
    for name in TOOLS:
        path = os.path.join(output_root, "bin", name)
        if not os.path.exists(path):
            raise SystemExit("bench: %s not found; build first (make native)" % path)
        tools[name.replace("bench_", "")] = path
    return tools


# ---- matcher -----------------------------------------------------------------

def run_matcher(args, tools, report):
    size = args.size_mib * mb.MIB
    buffer_size = args.buffer_kib * 1024
    files, notes = mb.prepare_data(tools, os.path.abspath(args.data_dir), size, log,
                                   fetch=not (args.quick or args.no_fetch))
    report.notes.extend(notes)
    cases = mb.make_cases(files)
    if args.cases:
        wanted = args.cases.split(",")
        cases = [c for c in cases if c.name in wanted]
    rdiff = distutils.spawn.find_executable("rdiff")
    if not rdiff:
        report.notes.append("rdiff not found (make bench installs it): peer rows left out")
    env = dict(os.environ)
    work = tempfile.mkdtemp(prefix="corvamire-bench-")
    results, bounds = {}, {}
    try:
        for case in cases:
            try:
                mb.warm(case.table)
                mb.warm(case.scan)
                log("match: %s" % case.title)
                r = {"match": mb.measure_match(case, buffer_size, args.repeat, env)}
                if case.role == "nomatch":
                    r["match_quarter"] = mb.measure_match(case, buffer_size, 1, env, r["match"]["file_size"] // 4)
                if case.peers:
                    for label, flavour in mb.RDIFF_FLAVOURS if rdiff else []:
                        log("%s: %s" % (label, case.title))
                        r[label] = mb.measure_rdiff(rdiff, case, flavour, work, args.repeat)
                    key = (case.scan, case.sizes[0])
                    if key not in bounds:
                        log("bounds: %s, %d-byte blocks" % (os.path.basename(case.scan), case.sizes[0]))
                        bounds[key] = mb.measure_bounds(tools, case.scan, case.sizes[0], args.repeat)
                    r["bounds"] = bounds[key]
                results[case.name] = r
            except Exception as e:
                report.failed("matcher case %s: %s" % (case.name, e))
    finally:
        for name in os.listdir(work):
            os.remove(os.path.join(work, name))
        os.rmdir(work)
    report.matcher(cases, results, size, buffer_size)


# ---- multi-lane MD5 and block tables ------------------------------------------

def run_table(args, tools, report):
    try:
        files, notes = mb.prepare_data(tools, os.path.abspath(args.data_dir), args.size_mib * mb.MIB, log,
                                       fetch=not (args.quick or args.no_fetch))
        if args.only == "table":
            report.notes.extend(notes)
        table_bench.run(args, tools, files, distutils.spawn.find_executable("rdiff"), report, log)
    except Exception as e:
        report.failed("table: %s" % e)
        traceback.print_exc()


# ---- watcher -------------------------------------------------------------------

def run_watcher(args, tools, report):
    work = tempfile.mkdtemp(prefix="corvamire-watch-")
    try:
        results = wb.run_all(tools, os.path.join(work, "w"), args.latency_count, args.burst_files,
                             args.burst_dirs, args.idle_seconds, 1.0 if args.quick else 3.0, log)
        report.watcher(results)
        batching = wb.measure_batching(tools, work, 5000, 50, args.batching_runs)
        report.tables.append(wb.batching_table(batching))
        for target in wb.batching_targets(batching):
            report.target(*target)
    except Exception as e:
        report.failed("watcher: %s" % e)
        traceback.print_exc()
    finally:
        if os.path.exists(work):
            import shutil
            shutil.rmtree(work, ignore_errors=True)


# ---- report --------------------------------------------------------------------

class Report(object):
    def __init__(self):
        self.tables, self.targets, self.notes, self.errors = [], [], [], []

    def failed(self, message):
        log("FAILED " + message)
        self.errors.append(message)

    def target(self, what, measured, holds):
        """holds: True, False, or None when it could not be measured."""
        self.targets.append((what, measured, "-" if holds is None else "yes" if holds else "NO"))

    def matcher(self, cases, results, size, buffer_size):
        self.tables.extend(matcher_report.tables(cases, results, size, buffer_size))
        for what, measured, holds in matcher_report.targets(cases, results):
            self.target(what, measured, holds)

    def watcher(self, r):
        lat, burst = r["latency"], r["burst"]
        idle_pct = 100.0 * r["idle_cpu_s"] / r["idle_s"]
        rows = [
            ["latency p50 (ms)", fmt(lat["p50_ms"], 3), "%d changes, %d lost" % (lat["count"], lat["lost"])],
            ["latency p99 (ms)", fmt(lat["p99_ms"], 3), "max %s ms" % fmt(lat["max_ms"], 3)],
            ["burst: files / directories", "%d / %d" % (burst["files"], burst["dirs"]),
             "created in %.2f s by one process" % burst["burst_s"]],
            ["burst: last batch after start (s)", fmt(burst["last_batch_s"], 3),
             "%s s after the burst ended (batch file times, a few ms coarse)" % fmt(burst["after_end_s"], 3)],
            ["burst: batches / lines", "%d / %d" % (burst["batches"], burst["lines"]), ""],
            ["burst: directories named", "%d of %d" % (burst["named"], burst["dirs"]), ""],
            ["burst: zero-byte completions (root lines)", burst["root_lines"], ""],
            ["burst: changes lost", burst["lost"], "directories neither named nor covered by a root line"],
            ["idle CPU (s over %g s)" % r["idle_s"], fmt(r["idle_cpu_s"], 3), "%.2f%%" % idle_pct],
        ]
        self.tables.append(format_table("Watcher (Linux, inotify)", ["measure", "value", "note"], rows))
        if lat["p50_ms"] is not None:
            self.target("watcher: latency p50 < 1 ms", "%.3f ms" % lat["p50_ms"], lat["p50_ms"] < 1 and not lat["lost"])
            self.target("watcher: latency p99 < 10 ms", "%.3f ms" % lat["p99_ms"], lat["p99_ms"] < 10 and not lat["lost"])
        self.target("watcher: burst loses nothing", "%d lost" % burst["lost"], burst["lost"] == 0)
        # The clock-tick resolution of /proc is 10 ms: 0.2% over 10 s is two ticks.
        self.target("watcher: idle CPU near zero (<= 0.2%)", "%.2f%%" % idle_pct, idle_pct <= 0.2)

    def show(self):
        out = []
        out.extend(self.tables)
        if self.targets:
            out.append(format_table("Targets", ["target", "measured", "holds"], self.targets))
        for note in self.notes:
            out.append("note: " + note)
        for error in self.errors:
            out.append("FAILED: " + error)
        print("\n\n".join(out))


def main(argv):
    args = parse_args(argv)
    tools = find_tools(args.output_root)
    report = Report()
    if args.quick:
        report.notes.append("--quick: small sizes and single runs; the figures only show that everything runs")
    if args.only in (None, "matcher"):
        run_matcher(args, tools, report)
        parallel_bench.run(args, report, log)
    if args.only in (None, "matcher", "calls"):
        matcher_calls.run(args, report, log)
    if args.only in (None, "table"):
        run_table(args, tools, report)
    if args.only in (None, "sync"):
        try:
            sync_bench.run(args, tools, distutils.spawn.find_executable("rdiff"), report, log)
        except Exception as e:
            report.failed("sync: %s" % e)
            traceback.print_exc()
    if args.only in (None, "watcher"):
        run_watcher(args, tools, report)
    report.show()
    return 1 if report.errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
