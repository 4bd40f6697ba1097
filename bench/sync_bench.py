"""The sync round trip through the command line beside `rdiff`: signature,
delta and patch of real bytes (the machine's libraries, 200 small edits),
the delta sizes side by side, and the peak memory of delta and patch on a
large file with no match beside a small one.

Every step is a process of its own, as a user runs it, so the
interpreter's start counts.  Times are the child's CPU seconds (user+sys,
from wait4), the best of --repeat runs: on a shared machine the best is
the run least disturbed.
"""

import os
import shutil
import subprocess
import tempfile
import time

from bench import parallel_bench, real_data
from bench.stats import fmt, format_table

MIB = 1 << 20
BLOCK = 2048
RDIFF_FLAVOURS = [("rdiff rollsum+md4", ["-R", "rollsum", "-H", "md4"]),
                  ("rdiff defaults", [])]
# Targets: ours against rdiff rollsum+md4 (its time / ours).
TARGETS = [("signature", 2.0), ("delta", 2.5), ("patch", 1.0),
           ("round trip", 1.6)]
STEPS = ["signature", "delta", "patch", "round trip"]
DELTA_SIZE_TARGET = 1.05
MEMORY_BIG, MEMORY_SMALL = 1 << 30, 1 << 20
MEMORY_TARGET_MIB = 64


def run_measured(command, env=None):
    """(cpu s, wall s) of one child run to its end."""
    start = time.time()
    proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = status
    wall = time.time() - start
    if status != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(command[:4]), status,
                                                   err.decode("utf-8", "replace").strip()[-300:]))
    return usage.ru_utime + usage.ru_stime, wall


def best(command, repeat, env=None):
    runs = [run_measured(command, env) for _ in range(repeat)]
    return min(r[0] for r in runs), min(r[1] for r in runs)


def steps(command, is_rdiff, old, new, work):
    """(name, command) of the three steps of one tool, outputs in `work`.
    `command` ends with the options that come before the step's name."""
    sig, delta, out = (os.path.join(work, n) for n in ("sig", "delta", "out"))
    sizes = [] if is_rdiff else ["-b", str(BLOCK)]
    force = [] if is_rdiff else ["-f"]
    return [("signature", command + force + ["signature"] + sizes + [old, sig]),
            ("delta", command + force + ["delta", sig, new, delta]),
            ("patch", command + force + ["patch", old, delta, out])]


def same_file(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(MIB), fb.read(MIB)
            if x != y:
                return False
            if not x:
                return True


def measure_tool(label, command_steps, new, env, repeat, work, log):
    figures = {}
    for name, command in command_steps:
        log("sync: %s %s" % (label, name))
        figures[name] = best(command, repeat, env)
    if not same_file(new, os.path.join(work, "out")):
        raise RuntimeError("%s: the rebuilt file differs from the new one" % label)
    figures["round trip"] = tuple(sum(figures[n][i] for n, _ in command_steps) for i in (0, 1))
    figures["delta bytes"] = os.path.getsize(os.path.join(work, "delta"))
    return figures


def write_random(path, size):
    """`size` random bytes: they match nothing."""
    with open(path, "wb") as f:
        for _ in range(size // MIB):
            f.write(os.urandom(MIB))
        f.write(os.urandom(size % MIB))


# A forked child's peak RSS counts its parent's from before the exec, so
# the command reports its own high-water mark from /proc as it ends.
PEAK_WRAPPER = ("import sys\n"
                "from corvamire.cli import main\n"
                "code = main(sys.argv[1:])\n"
                "with open('/proc/self/status') as f:\n"
                "    sys.stdout.write([l for l in f if l.startswith('VmHWM:')][0])\n"
                "sys.exit(code)\n")


def peak_mib(python, args, env):
    proc = subprocess.Popen([python, "-c", PEAK_WRAPPER] + args, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    out, err = proc.communicate()
    if proc.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args[:2]), err.decode("utf-8", "replace").strip()))
    return int(out.split()[-2]) / 1024.0


def measure_memory(ours, work, big, log):
    """Peak RSS (MiB) of delta and patch for each of `ours` (label, python,
    env), a new file of 1 MiB and of `big` bytes, neither matching anything."""
    old = os.path.join(work, "mem-old")
    write_random(old, MEMORY_SMALL)
    sig, delta, out = (os.path.join(work, n) for n in ("mem-sig", "mem-delta", "mem-out"))
    peak_mib(ours[0][1], ["-f", "signature", "-b", str(BLOCK), old, sig], ours[0][2])
    peaks = {}
    for size in (MEMORY_SMALL, big):
        new = os.path.join(work, "mem-new")
        log("sync: memory, %d MiB with no match" % (size // MIB))
        write_random(new, size)
        for label, python, env in ours:
            peaks[(label, "delta", size)] = peak_mib(python, ["-f", "delta", sig, new, delta], env)
            peaks[(label, "patch", size)] = peak_mib(python, ["-f", "patch", old, delta, out], env)
        for path in (new, delta, out):
            os.remove(path)
    return peaks


def compile_package(python, env):
    """Byte-compile the package for `python`, as installing it does: a
    command then starts as it would installed, even where the environment
    keeps the interpreter from writing bytecode (PYTHONDONTWRITEBYTECODE)."""
    package = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "corvamire")
    subprocess.check_call([python, "-m", "compileall", "-q", package], env=env, stdout=subprocess.PIPE)


def run(args, tools, rdiff, report, log):
    """Adds the sync tables and targets to bench.run's report."""
    size = (4 if args.quick else args.sync_size_mib) * MIB
    repeat = 1 if args.quick else args.repeat
    output_root = os.path.dirname(os.path.dirname(tools["datagen"]))
    ours = [("Python %s" % label, python, parallel_bench.worker_env(module_dir))
            for label, python, module_dir in parallel_bench.interpreters(output_root)]
    data_dir = os.path.abspath(args.data_dir)
    if not os.path.isdir(data_dir):
        os.makedirs(data_dir)
    files, notes = real_data.prepare(tools, data_dir, size, log, fetch=False)
    report.notes.extend(n for n in notes if "librar" in n)
    if "libs_a" not in files:
        report.failed("sync: no library bytes to measure on")
        return
    old, new = files["libs_a"], files["libs_a_edited"]
    real_size = os.path.getsize(old)
    work = tempfile.mkdtemp(prefix="corvamire-sync-", dir=data_dir)
    for _, python, env in ours:
        compile_package(python, env)
    try:
        tools_run = [("corvamire, %s" % label, [python, "-m", "corvamire", "-q"], env)
                     for label, python, env in ours]
        peers = [(name, [rdiff] + ["-f", "-b", str(BLOCK)] + flavour, None)
                 for name, flavour in RDIFF_FLAVOURS] if rdiff else []
        if not rdiff:
            report.notes.append("rdiff not found (make bench installs it): sync peer rows left out")
        results = {}
        for name, command, env in tools_run + peers:
            results[name] = measure_tool(name, steps(command, env is None, old, new, work), new,
                                         env, repeat, work, log)
        big = MEMORY_BIG if not args.quick else 16 * MIB
        peaks = measure_memory(ours, work, big, log)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    names = [t[0] for t in tools_run + peers]
    rows = [[step] + ["%s / %s" % (fmt(results[n][step][0]), fmt(results[n][step][1])) for n in names]
            for step in STEPS]
    rows.append(["delta size (bytes)"] + ["{:,}".format(results[n]["delta bytes"]) for n in names])
    report.tables.append(format_table(
        "Sync round trip through the command line: CPU / wall seconds, best of %d (%d MiB of this machine's"
        " libraries, %d small edits, %d-byte blocks)" % (repeat, real_size // MIB, real_data.LIBRARY_EDITS, BLOCK),
        ["step"] + names, rows))
    if peers:
        pairs = [(ours_name, peer) for ours_name, _, _ in tools_run for peer, _, _ in peers]
        rows = [[step] + [fmt(ratio(results[p][step][0], results[o][step][0])) for o, p in pairs]
                for step in STEPS]
        rows.append(["delta size (ours / theirs)"] +
                    [fmt(ratio(results[o]["delta bytes"], results[p]["delta bytes"]), 3) for o, p in pairs])
        report.tables.append(format_table("Sync: speed as rdiff's CPU time / ours (above 1: faster)",
                                          ["step"] + ["%s vs %s" % (o.split(", ")[1], p) for o, p in pairs],
                                          rows))
        peer = peers[0][0]
        for ours_name, _, _ in tools_run:
            label = ours_name.split(", ")[1]
            for step, target in TARGETS:
                r = ratio(results[peer][step][0], results[ours_name][step][0])
                report.target("sync, %s: %s >= %gx %s" % (label, step, target, peer), "%sx" % fmt(r),
                              r is not None and r >= target)
            r = ratio(results[ours_name]["delta bytes"], results[peer]["delta bytes"])
            report.target("sync, %s: delta size <= %gx %s's" % (label, DELTA_SIZE_TARGET, peer),
                          "%sx" % fmt(r, 3), r is not None and r <= DELTA_SIZE_TARGET)
    mem_rows = [["%s, %s" % (step, label), fmt(peaks[(label, step, MEMORY_SMALL)], 1),
                 fmt(peaks[(label, step, big)], 1)] for label, _, _ in ours for step in ("delta", "patch")]
    report.tables.append(format_table("Sync: peak RSS (MiB, VmHWM) with no match", [
        "step", "1 MiB new file", "%d MiB new file" % (big // MIB)], mem_rows))
    for label, _, _ in ours:
        for step in ("delta", "patch"):
            growth = peaks[(label, step, big)] - peaks[(label, step, MEMORY_SMALL)]
            report.target("sync, %s: %s peak RSS on %d MiB within %d MiB of 1 MiB's"
                          % (label, step, big // MIB, MEMORY_TARGET_MIB),
                          "%+.1f MiB" % growth, growth <= MEMORY_TARGET_MIB)


def ratio(a, b):
    return float(a) / b if a is not None and b else None
