"""The matcher cases, their peers (librsync's rdiff) and this machine's bounds.

Every case scans one file with `match` against a table built from another
(or an earlier version of the same one).  Times are CPU seconds (user+sys)
of the process doing the work, so the figures hold up on a shared machine;
wall seconds are kept beside them.
"""

import json
import os
import resource
import subprocess
import sys
import time

from bench import real_data
from bench.stats import median

MIB = 1 << 20
EDITS = 40          # "a few dozen" scattered edits in the mostly-matching file
WARM_BYTES = 8 << 20


class Case(object):
    """One matcher case: scan `scan` against a table of `table` at `sizes`.

    role says which targets the case answers to:
      "nomatch"  unrelated bytes: speed against rdiff, and memory flat in size
      "edited"   an edited copy: speed against rdiff and against the floor
      "three"    several sizes in one call, against the single-size calls
      "single"   one of those single-size calls (no peer run)
      None       figures only
    data names the kind of bytes ("random bytes", "system libraries", ...),
    so that each target is marked once per kind."""

    def __init__(self, name, title, scan, table, sizes, role=None, data="generated"):
        self.name, self.title = name, title
        self.scan, self.table, self.sizes = scan, table, sizes
        self.role, self.data = role, data

    @property
    def peers(self):
        """Whether rdiff and the bounds are measured beside it."""
        return self.role not in ("three", "single")


THREE_SIZES = [512, 2048, 8192]


def data_files(data_dir, size):
    """Paths of the generated inputs for files of `size` bytes."""
    tag = "%dk" % (size // 1024)
    return {
        "a": os.path.join(data_dir, "random-1-%s.bin" % tag),
        "b": os.path.join(data_dir, "random-2-%s.bin" % tag),
        "a_edited": os.path.join(data_dir, "random-1-%s-edited%d.bin" % (tag, EDITS)),
        "t1": os.path.join(data_dir, "text-3-%s.bin" % tag),
        "t2": os.path.join(data_dir, "text-4-%s.bin" % tag),
    }


def prepare_data(tools, data_dir, size, log, fetch=True):
    """Generates the inputs that are missing (fixed seeds, so a file that
    exists with the right name is the right file) and collects the real
    bytes (see real_data); (paths by key, notes on what could not be had)."""
    if not os.path.isdir(data_dir):
        os.makedirs(data_dir)
    files = data_files(data_dir, size)
    gen = tools["datagen"]
    plan = [
        ("a", [gen, "random", files["a"], str(size), "1"]),
        ("b", [gen, "random", files["b"], str(size), "2"]),
        ("a_edited", [gen, "edit", files["a"], files["a_edited"], str(EDITS), "5"]),
        ("t1", [gen, "text", files["t1"], str(size), "3"]),
        ("t2", [gen, "text", files["t2"], str(size), "4"]),
    ]
    for key, command in plan:
        if os.path.exists(files[key]):
            continue
        log("generating %s" % files[key])
        partial = files[key] + ".part"
        command = [partial if c == files[key] else c for c in command]
        with open(os.devnull, "w") as quiet:
            subprocess.check_call(command, stdout=quiet)
        os.rename(partial, files[key])
    real, notes = real_data.prepare(tools, data_dir, size, log, fetch)
    files.update(real)
    return files, notes


def unrelated_cases(prefix, title, data, scan, table):
    """The no-match case at 2048, the three sizes in one call, and each of
    the three sizes alone, on one pair of unrelated files."""
    cases = [Case("%s-2048" % prefix, "%s, 2048" % title, scan, table, [2048], "nomatch", data)]
    cases += [Case("%s-%d" % (prefix, s), "%s, %d alone" % (title, s), scan, table, [s], "single", data)
              for s in THREE_SIZES if s != 2048]
    cases.append(Case("%s-three" % prefix, "%s, %s in one call" % (title, "+".join(str(s) for s in THREE_SIZES)),
                      scan, table, list(THREE_SIZES), "three", data))
    return cases


def make_cases(files):
    cases = unrelated_cases("nomatch", "random, no match", "random bytes", files["a"], files["b"])
    cases += [
        Case("mostly-2048", "random, %d edits, 2048" % EDITS, files["a_edited"], files["a"], [2048],
             "edited", "random bytes"),
        Case("text-2048", "generated text, 2048", files["t2"], files["t1"], [2048]),
    ]
    if "libs_a" in files:
        cases += unrelated_cases("libs", "libraries, unrelated halves", "system libraries",
                                 files["libs_b"], files["libs_a"])
        cases.append(Case("libs-edited-2048", "libraries, %d small edits, 2048" % real_data.LIBRARY_EDITS,
                          files["libs_a_edited"], files["libs_a"], [2048], "edited", "system libraries"))
    if "docs_a" in files:
        cases.append(Case("docs-2048", "documentation tar, halves, 2048", files["docs_b"], files["docs_a"],
                          [2048]))
    if "npm_old" in files:
        cases.append(Case("npm-2048", "%s %s -> %s tar, 2048" % ((real_data.NPM_PACKAGE,) + real_data.NPM_VERSIONS),
                          files["npm_new"], files["npm_old"], [2048]))
    return cases


def warm(path):
    """Reads the file once so every timed pass finds it in the page cache."""
    with open(path, "rb") as f:
        while f.read(WARM_BYTES):
            pass


def run_child(command, env=None):
    """Runs a command to its end; (stdout, cpu seconds, wall seconds).
    The CPU time is the child's own, from RUSAGE_CHILDREN around its wait."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    wall0 = time.time()
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    out, err = proc.communicate()
    wall = time.time() - wall0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (os.path.basename(command[0]), proc.returncode,
                                                    err.strip()[-500:]))
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return out, cpu, wall


def measure_match(case, buffer_size, repeat, env, scan_bytes=None):
    """Figures of `match` on one case, from a fresh worker process."""
    command = [sys.executable, "-m", "bench.match_worker", case.scan, case.table,
               ",".join(str(s) for s in case.sizes), str(buffer_size), str(repeat)]
    if scan_bytes:
        command.append(str(scan_bytes))
    out, _, _ = run_child(command, env)
    figures = json.loads(out.strip().splitlines()[-1])
    figures["cpu_median"] = median(figures["cpu"])
    figures["wall_median"] = median(figures["wall"])
    figures["setup_median"] = median(figures["setup"])
    if figures.get("peak_reset"):
        growth = figures["hwm_after_kib"] - figures["rss_before_kib"]
    else:
        growth = figures["hwm_after_kib"] - figures["hwm_before_kib"]
    figures["peak_growth_mib"] = max(growth, 0) / 1024.0
    return figures


RDIFF_FLAVOURS = [
    ("rdiff rollsum+md4", ["-R", "rollsum", "-H", "md4"]),
    ("rdiff defaults", []),
]


def measure_rdiff(rdiff, case, flavour_args, work_dir, repeat):
    """Median CPU and wall seconds of `rdiff delta` on the case's files, and
    the size of the delta it makes.  The signature of the table file is made
    first and not timed; an untimed first delta goes to a file for its size,
    the timed ones go nowhere (match() writes nothing either)."""
    size = case.sizes[0]
    sig = os.path.join(work_dir, "%s-%s.sig" % (case.name, "-".join(flavour_args) or "default"))
    delta = sig + ".delta"
    run_child([rdiff, "-f", "-b", str(size)] + flavour_args + ["signature", case.table, sig])
    run_child([rdiff, "-f", "delta", sig, case.scan, delta])
    delta_bytes = os.path.getsize(delta)
    os.remove(delta)
    cpus, walls = [], []
    for _ in range(repeat):
        _, cpu, wall = run_child([rdiff, "-f", "delta", sig, case.scan, os.devnull])
        cpus.append(cpu)
        walls.append(wall)
    os.remove(sig)
    return {"cpu_median": median(cpus), "wall_median": median(walls), "delta_bytes": delta_bytes}


def measure_bounds(tools, path, block, repeat):
    """Median CPU seconds of each bound over the file (see bounds.cpp)."""
    runs = {}
    for _ in range(repeat):
        out, _, _ = run_child([tools["bounds"], path, str(block)])
        for line in out.splitlines():
            name, cpu_ns, wall_ns, _ = line.split()
            runs.setdefault(name, []).append((int(cpu_ns) / 1e9, int(wall_ns) / 1e9))
    return dict((name, {"cpu_median": median([c for c, _ in v]), "wall_median": median([w for _, w in v])})
                for name, v in runs.items())


def ns_per_byte(seconds, size):
    return seconds * 1e9 / size
