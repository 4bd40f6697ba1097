"""match() on several threads, and how soon Ctrl-C ends a call.

    python2.7 -m bench.run      (prints these tables among the others)

Two calls on two threads against the same two calls in a row, each on its
own file: on Python 3 a call gives up the interpreter's lock while it scans,
so the two use both cores; Python 2.7 keeps the lock for the whole call and
is shown beside it.  Ctrl-C: a call on /dev/zero that would run for hours is
sent SIGINT, and the time until KeyboardInterrupt reaches the caller is
measured from outside; once for a plain scan, once for one that digests an
8 KiB window at every position.

Each measurement runs in a fresh interpreter of the kind measured
(`python -m bench.parallel_bench MODE ...` prints its figures as JSON).
"""

import binascii
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from bench.stats import fmt, format_table, median
from bench.workers import interpreters, output_root, run_worker, sum_and_digest, worker_env, worker_main

WORKER = "bench.parallel_bench"
MIB = 1 << 20
BLOCK = 2048
# The call's buffer, as a host would pass it.
BUFFER = 1 << 20
# Target: two calls on two threads in at most this share of the time the
# same two take in a row (on Python 3; 2 cores).
PARALLEL_TARGET = 0.65
# Target: Ctrl-C ends a call within this many seconds.
INTERRUPT_TARGET = 0.5


# ---- workers (run in the interpreter measured) --------------------------------

def random_table(seed, blocks, size=BLOCK):
    """Blocks of random bytes that a random file almost never holds."""
    rng = random.Random(seed)
    table = {}
    for i in range(blocks):
        block = binascii.unhexlify("%0*x" % (size * 2, rng.getrandbits(size * 8)))
        weak, strong = sum_and_digest(block)
        table.setdefault(weak, {})[strong] = i
    return {size: table}


def worker_parallel(paths, repeat):
    """Wall seconds of the calls in a row and on one thread each."""
    import corvamire_version_matcher as vm
    table = random_table(1, 4096)

    def call(path):
        fd = os.open(path, os.O_RDONLY)
        try:
            vm.match(table, fd, os.fstat(fd).st_size, BUFFER)
        finally:
            os.close(fd)

    def cpu():
        times = os.times()
        return times[0] + times[1]

    serial, parallel, parallel_cpu = [], [], []
    for _ in range(repeat):
        start = time.time()
        for path in paths:
            call(path)
        serial.append(time.time() - start)
        threads = [threading.Thread(target=call, args=(path,)) for path in paths]
        start, cpu_start = time.time(), cpu()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        parallel.append(time.time() - start)
        parallel_cpu.append(cpu() - cpu_start)
    return {"serial": serial, "parallel": parallel, "parallel_cpu": parallel_cpu}


def worker_interrupt(kind):
    """Calls match on /dev/zero until SIGINT; prints when it is ready and
    when KeyboardInterrupt has reached it."""
    import corvamire_version_matcher as vm
    signal.signal(signal.SIGINT, signal.default_int_handler)
    if kind == "digest":
        # The zero window's own sum with a digest it does not have: a weak
        # hit, and an 8 KiB MD5, at every position.
        size = 8192
        weak, _ = sum_and_digest(b"\0" * size)
        table = {size: {weak: {b"\1" * 16: 0}}}
    else:
        size = 8192
        table = random_table(2, 64, size)
    zero = os.open("/dev/zero", os.O_RDONLY)
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    try:
        vm.match(table, zero, 1 << 40, BUFFER)
    except KeyboardInterrupt:
        sys.stdout.write("%r\n" % time.time())
        sys.stdout.flush()


# ---- driver (python2.7 -m bench.run) ------------------------------------------

def interrupt_latency(executable, module_dir, kind, runs):
    """Seconds from SIGINT to KeyboardInterrupt in the caller, per run."""
    latencies = []
    for _ in range(runs):
        child = subprocess.Popen([executable, "-m", WORKER, "interrupt", kind],
                                 env=worker_env(module_dir), stdout=subprocess.PIPE)
        child.stdout.readline()
        time.sleep(0.5)   # well into the call
        sent = time.time()
        child.send_signal(signal.SIGINT)
        timer = threading.Timer(30, child.kill)
        timer.start()
        out = child.communicate()[0]
        timer.cancel()
        lines = out.decode().split()
        latencies.append(float(lines[0]) - sent if lines else None)
    return latencies


def make_files(directory, count, size):
    paths = []
    for i in range(count):
        path = os.path.join(directory, "parallel-%d.bin" % i)
        with open(path, "wb") as f:
            for _ in range(size // MIB):
                f.write(os.urandom(MIB))
        paths.append(path)
    return paths


def run(args, report, log):
    """Adds the tables and targets to bench.run's report."""
    size = (4 if args.quick else 64) * MIB
    repeat = 1 if args.quick else args.repeat
    runs = 2 if args.quick else 5
    work = tempfile.mkdtemp(prefix="corvamire-parallel-")
    rows, latency_rows = [], []
    try:
        paths = make_files(work, 2, size)
        for label, executable, module_dir in interpreters(output_root(args)):
            log("match on two threads: Python %s" % label)
            r = run_worker(WORKER, executable, module_dir, ["parallel", str(repeat)] + paths)
            serial, parallel = median(r["serial"]), median(r["parallel"])
            ratio = parallel / serial if serial > 0 else None
            # Cores busy at once in the threaded run: near 2 when both threads
            # scan together, near 1 when they take turns or the machine is busy.
            cores = median([c / w for c, w in zip(r["parallel_cpu"], r["parallel"]) if w > 0])
            rows.append(["Python %s" % label, fmt(serial, 3), fmt(parallel, 3), fmt(ratio), fmt(cores)])
            if label == "3":
                report.target("two calls on two threads: <= %.2f of the two in a row (Python 3)"
                              % PARALLEL_TARGET, fmt(ratio), ratio is not None and ratio <= PARALLEL_TARGET)
            for kind, what in (("scan", "plain scan"), ("digest", "8 KiB MD5 at every position")):
                log("Ctrl-C latency, %s: Python %s" % (what, label))
                seconds = interrupt_latency(executable, module_dir, kind, runs)
                got = [s for s in seconds if s is not None]
                worst = max(got) if len(got) == len(seconds) else None
                latency_rows.append(["%s, Python %s" % (what, label),
                                     fmt(median(got) * 1000, 1) if got else "-",
                                     fmt(worst * 1000 if worst is not None else None, 1),
                                     "%d of %d" % (len(got), len(seconds))])
                report.target("Ctrl-C ends a call within %.1f s (%s, Python %s)" % (INTERRUPT_TARGET, what, label),
                              "%s ms worst" % fmt(worst * 1000 if worst is not None else None, 1),
                              worst is not None and worst <= INTERRUPT_TARGET)
    except Exception as e:
        report.failed("matcher on threads: %s" % e)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    report.tables.append(format_table(
        "Matcher: two calls (%d MiB each, one file each, no match) in a row and on two threads"
        " (wall s, median of %d)" % (size // MIB, repeat),
        ["interpreter", "in a row s", "two threads s", "ratio", "threads' CPU s / wall s"], rows))
    report.tables.append(format_table(
        "Matcher: SIGINT to KeyboardInterrupt in the caller, call on /dev/zero (ms, %d runs)" % runs,
        ["case", "median ms", "worst ms", "ended"], latency_rows))


def main(argv):
    return worker_main(argv, {
        "parallel": lambda repeat, *paths: worker_parallel(list(paths), int(repeat)),
        "interrupt": worker_interrupt,
    }, __doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
