"""Whole calls of match: how soon Ctrl-C ends one in each part of it, a call
on a worker thread beside a busy Python thread, and a table whose two sizes
match in different places.

    python2.7 -m bench.run --only matcher      (prints these tables among the others)

Ctrl-C: the worker makes a call that spends its time in one part of match
(converting a big table, building a big result, a scan of one costly kind)
again and again; the driver sends SIGINT from outside at random moments and
the worker reports when KeyboardInterrupt reached it.  A signal that lands
outside the call (while the last result is freed) is left out.

Worker thread: a scan of /dev/zero that matches nothing, made on a thread of
its own, alone and while the main thread spins in Python at the lowest CPU
priority (Python 3: 2.7 keeps
the interpreter's lock for the whole call); once more with a switch interval
of 50 ms, which a call that takes the lock back now and then would feel ten
times over.  Also shown, with no target: the same call on the main thread
beside a spinning thread, which does take the lock to look for signals.

Mixed sizes: 64 MiB of random bytes with its 2 KiB blocks shuffled, against
the tables of its 8 KiB and its 2 KiB blocks, together and one at a time.

Each measurement runs in a fresh interpreter of the kind measured
(`python -m bench.matcher_calls MODE ...` prints its figures as JSON).
"""

import hashlib
import json
import os
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

from bench.parallel_bench import interpreters, worker_env
from bench.stats import fmt, format_table, median

MIB = 1 << 20
# Target: Ctrl-C ends a call within this many seconds, in every part of it.
INTERRUPT_TARGET = 0.1
# Target: a call on a worker thread beside a busy Python thread takes at
# most this many times as long as alone.
BUSY_TARGET = 1.2
NO_DIGEST = b"\1" * 16   # the MD5 of no window here


def sum_and_digest(block):
    return zlib.adler32(block) & 0xFFFFFFFF, hashlib.md5(block).digest()


# ---- Ctrl-C cases (run in the interpreter measured) ----------------------------
# Each returns (call, repeats): call() runs until SIGINT when it does not
# repeat, else it ends and is made again.

def zero_fd():
    return os.open("/dev/zero", os.O_RDONLY)


def case_conversion(quick):
    """A table of 3,000,000 sums; the zero size file is refused only once the
    table has been converted."""
    n = 100000 if quick else 3000000
    raw = os.urandom(20 * n)
    sums = {}
    for i in range(n):
        s = struct.unpack_from("<I", raw, 20 * i)[0]
        sums[s if s != 0xFFFFFFFF else 0] = {raw[20 * i + 4:20 * i + 20]: i}
    table = {2048: sums}
    zero = zero_fd()

    def call():
        try:
            vm().match(table, zero, 0, 4096)
        except ValueError:
            pass
    return call, True


def case_result(quick):
    """10,000,000 one-byte blocks of zeros: a result of 10,000,000 matches."""
    n = (1 if quick else 10) * 1000 * 1000
    weak, strong = sum_and_digest(b"\0")
    table = {1: {weak: {strong: "zero"}}}
    zero = zero_fd()
    return lambda: vm().match(table, zero, n, MIB), True


def case_sizes(quick):
    """200 sizes tried at every position of /dev/zero."""
    table = dict((64 + i, {i + 2: {NO_DIGEST: i}}) for i in range(200))
    zero = zero_fd()
    return lambda: vm().match(table, zero, 1 << 40, MIB), False


def case_long_size(quick):
    """Sizes of 4 KiB and 256 MiB in a buffer 64 KiB longer than 256 MiB:
    each slide moves 64 KiB on and sums 256 MiB afresh."""
    long_size = (16 if quick else 256) * MIB
    table = {4096: {2: {NO_DIGEST: 0}}, long_size: {2: {NO_DIGEST: 1}}}
    zero = zero_fd()
    return lambda: vm().match(table, zero, 1 << 40, long_size + (64 << 10)), False


def case_weak_hits(quick):
    """A 512 MiB block of zeros listed with a digest of no window: a weak
    hit, and 512 MiB digested, at every position."""
    size = (16 if quick else 512) * MIB
    weak, _ = sum_and_digest(b"\0" * size)
    table = {size: {weak: {NO_DIGEST: 0}}}
    zero = zero_fd()
    return lambda: vm().match(table, zero, 1 << 40, size + MIB), False


INTERRUPT_CASES = [
    ("conversion", "converting 3,000,000 sums", case_conversion),
    ("result", "building 10,000,000 matches", case_result),
    ("sizes", "200 sizes over /dev/zero", case_sizes),
    ("long_size", "4 KiB and 256 MiB sizes, buffer 256 MiB + 64 KiB", case_long_size),
    ("weak_hits", "512 MiB block, weak hit at every position", case_weak_hits),
]


def vm():
    import corvamire_version_matcher
    return corvamire_version_matcher


def worker_interrupt(name, count, quick):
    """Makes the case's call until it has been interrupted count times;
    prints "ready", then per SIGINT the time KeyboardInterrupt reached it
    and whether the call was under way."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
    make = dict((n, f) for n, _, f in INTERRUPT_CASES)[name]
    call, repeats = make(quick)
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    caught = 0
    while caught < count:
        in_call = False
        try:
            while True:
                in_call = False
                result = None   # the last result is freed here, outside the call
                in_call = True
                result = call()
                if not repeats:
                    break
        except KeyboardInterrupt:
            sys.stdout.write("%r %d\n" % (time.time(), in_call))
            sys.stdout.flush()
            caught += 1
    del result


def interrupt_latencies(executable, module_dir, name, count, quick):
    """Seconds from SIGINT to KeyboardInterrupt, of the signals that landed
    in a call."""
    child = subprocess.Popen([executable, "-m", "bench.matcher_calls", "interrupt", name, str(count)]
                             + (["quick"] if quick else []),
                             env=worker_env(module_dir), stdout=subprocess.PIPE)
    timer = threading.Timer(600, child.kill)
    timer.start()
    latencies = []
    rng = random.Random(5)
    try:
        if child.stdout.readline().strip() != b"ready":
            return latencies
        for _ in range(count):
            time.sleep(rng.uniform(0.3, 0.9))
            sent = time.time()
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline().split()
            if not line:
                break
            if line[1] == b"1":
                latencies.append(float(line[0]) - sent)
        child.communicate()
    finally:
        timer.cancel()
    return latencies


# ---- worker thread beside a busy one -------------------------------------------

def scan_zeros(size):
    """A call over size bytes of /dev/zero that matches nothing; its wall
    seconds."""
    table = {}
    for i in range(64):
        weak, strong = sum_and_digest(os.urandom(8192))
        table.setdefault(weak, {})[strong] = i
    zero = zero_fd()
    try:
        start = time.time()
        vm().match({8192: table}, zero, size, MIB)
        return time.time() - start
    finally:
        os.close(zero)


def set_priority(niceness):
    """Sets the calling thread's CPU priority (Linux, Python 3.8+); returns
    the one it had, or None where that cannot be done.  A spinning thread at
    the lowest takes a core only when one is free: what is measured beside it
    is then the wait for the interpreter's lock, not for a core of a busy
    machine."""
    try:
        tid = threading.get_native_id()
        old = os.getpriority(os.PRIO_PROCESS, tid)
        os.setpriority(os.PRIO_PROCESS, tid, niceness)
        return old
    except (AttributeError, OSError):
        return None


def on_thread(size, busy_main):
    """Wall seconds of a call on a worker thread, with the main thread idle
    (joining) or spinning in Python meanwhile."""
    took, done = [], []

    def work():
        took.append(scan_zeros(size))
        done.append(True)
    t = threading.Thread(target=work)
    t.start()
    old = set_priority(19) if busy_main else None
    n = 0
    while busy_main and not done:
        n += 1
    if old is not None:
        set_priority(old)
    t.join()
    return took[0]


def on_main_beside_spinner(size):
    stop = []

    def spin():
        set_priority(19)
        n = 0
        while not stop:
            n += 1
    t = threading.Thread(target=spin)
    t.start()
    try:
        return scan_zeros(size)
    finally:
        stop.append(True)
        t.join()


def worker_threads(size, repeat):
    """Wall seconds of each way of making the call, taken in turn repeat
    times, so that a change in the machine's load falls on all of them."""
    figures = dict((key, []) for key in ("alone", "busy", "main_busy", "busy_50ms"))
    interval = sys.getswitchinterval()
    for _ in range(repeat):
        figures["alone"].append(on_thread(size, False))
        figures["busy"].append(on_thread(size, True))
        figures["main_busy"].append(on_main_beside_spinner(size))
        # A call that took the lock back every few milliseconds would wait
        # up to a switch interval each time: ten times the default shows it.
        sys.setswitchinterval(0.05)
        figures["busy_50ms"].append(on_thread(size, True))
        sys.setswitchinterval(interval)
    return figures


# ---- mixed sizes -----------------------------------------------------------------

def block_table(data, size):
    table = {}
    for at in range(0, len(data) - size + 1, size):
        weak, strong = sum_and_digest(data[at:at + size])
        table.setdefault(weak, {}).setdefault(strong, at)
    return table


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def worker_mixed(path, size, repeat):
    """Call CPU seconds of each table over the file at path (size bytes of
    random data, 2 KiB blocks shuffled), best of repeat."""
    rng = random.Random(3)
    original = os.urandom(size)
    blocks = [original[at:at + 2048] for at in range(0, size, 2048)]
    rng.shuffle(blocks)
    with open(path, "wb") as f:
        f.write(b"".join(blocks))
    t8, t2 = block_table(original, 8192), block_table(original, 2048)
    tables = [("both", [(8192, t8), (2048, t2)]), ("2048", [(2048, t2)]), ("8192", [(8192, t8)]),
              ("empty 8192, 2048", [(8192, {}), (2048, t2)])]
    figures = {}
    fd = os.open(path, os.O_RDONLY)
    try:
        for name, items in tables:
            table = {}
            for k, v in items:
                table[k] = v
            assert [k for k, _ in items] == list(table.keys()), "size order"
            best, matched = None, None
            for _ in range(repeat):
                os.lseek(fd, 0, os.SEEK_SET)
                cpu0 = cpu_seconds()
                r = vm().match(table, fd, size, MIB)
                cpu = cpu_seconds() - cpu0
                best = cpu if best is None else min(best, cpu)
                matched = int(r["bytes_matched"])
            figures[name] = {"cpu": best, "bytes_matched": matched}
    finally:
        os.close(fd)
    return figures


# ---- driver (python2.7 -m bench.run) -------------------------------------------

def run_worker(executable, module_dir, args):
    out = subprocess.check_output([executable, "-m", "bench.matcher_calls"] + args, env=worker_env(module_dir))
    return json.loads(out.decode())


def held(value, limit):
    return value is not None and value <= limit


def run(args, report, log):
    """Adds the tables and targets to bench.run's report."""
    output_root = args.output_root
    if output_root is None:
        import corvamire_version_matcher
        output_root = os.path.dirname(os.path.dirname(os.path.abspath(corvamire_version_matcher.__file__)))
    quick = args.quick
    count = 2 if quick else 5
    repeat = 1 if quick else max(args.repeat, 3)
    latency_rows, thread_rows, mixed_rows = [], [], []
    work = tempfile.mkdtemp(prefix="corvamire-calls-")
    try:
        for label, executable, module_dir in interpreters(output_root):
            for name, what, _ in INTERRUPT_CASES:
                log("Ctrl-C latency, %s: Python %s" % (what, label))
                try:
                    got = interrupt_latencies(executable, module_dir, name, count, quick)
                except Exception as e:
                    report.failed("Ctrl-C latency, %s: %s" % (what, e))
                    got = []
                worst = max(got) if got else None
                latency_rows.append(["%s, Python %s" % (what, label), fmt(median(got) * 1000 if got else None, 1),
                                     fmt(worst * 1000 if got else None, 1), "%d of %d" % (len(got), count)])
                report.target("Ctrl-C ends a call within %d ms: %s (Python %s)"
                              % (INTERRUPT_TARGET * 1000, what, label),
                              "%s ms worst" % fmt(worst * 1000 if got else None, 1),
                              held(worst, INTERRUPT_TARGET) if got else None)
            size = (16 if quick else 64) * MIB
            log("mixed sizes: Python %s" % label)
            try:
                m = run_worker(executable, module_dir, ["mixed", os.path.join(work, "mixed.bin"), str(size),
                                                        str(repeat)])
                singles = m["2048"]["cpu"] + m["8192"]["cpu"]
                for name in ("both", "2048", "8192", "empty 8192, 2048"):
                    mixed_rows.append(["{%s}, Python %s" % (name, label), fmt(m[name]["cpu"], 3),
                                       fmt(m[name]["cpu"] / singles), m[name]["bytes_matched"]])
                report.target("mixed sizes {8192: t8, 2048: t2} <= {2048: t2} + {8192: t8} (Python %s)" % label,
                              "%s s vs %s s" % (fmt(m["both"]["cpu"], 3), fmt(singles, 3)),
                              m["both"]["cpu"] <= singles)
            except Exception as e:
                report.failed("mixed sizes, Python %s: %s" % (label, e))
            if label == "2.7":
                continue
            size = (32 if quick else 256) * MIB
            log("worker thread beside a busy one: Python %s" % label)
            try:
                t = run_worker(executable, module_dir, ["threads", str(size), str(repeat + 2)])
                alone, busy, main_busy = min(t["alone"]), min(t["busy"]), min(t["main_busy"])
                busy_50ms = min(t["busy_50ms"])
                thread_rows.append(["Python %s" % label, fmt(alone, 3), fmt(busy, 3), fmt(busy / alone),
                                    fmt(busy_50ms / alone), fmt(main_busy, 3), fmt(main_busy / alone)])
                report.target("match on a worker thread beside a busy Python thread <= %.1fx alone (Python %s)"
                              % (BUSY_TARGET, label), "%sx" % fmt(busy / alone), busy / alone <= BUSY_TARGET)
            except Exception as e:
                report.failed("worker thread beside a busy one: %s" % e)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    report.tables.append(format_table(
        "Matcher: SIGINT to KeyboardInterrupt, in each part of a call (ms, signals at random moments)",
        ["case", "median ms", "worst ms", "landed in the call"], latency_rows))
    report.tables.append(format_table(
        "Matcher: a %d MiB scan of /dev/zero on a worker thread, alone and beside a spinning main thread"
        " (wall s, best of %d)" % ((32 if quick else 256), repeat + 2),
        ["interpreter", "alone s", "beside s", "ratio", "ratio, 50 ms switches", "on main, beside s", "ratio"],
        thread_rows))
    report.tables.append(format_table(
        "Matcher: %d MiB of random bytes, 2 KiB blocks shuffled, tables of 8 KiB and 2 KiB blocks"
        " (CPU s, best of %d; ratio to the two single-size calls together)" % ((16 if quick else 64), repeat),
        ["table", "CPU s", "ratio", "bytes matched"], mixed_rows))


def main(argv):
    if argv[:1] == ["interrupt"]:
        worker_interrupt(argv[1], int(argv[2]), argv[3:] == ["quick"])
    elif argv[:1] == ["threads"]:
        sys.stdout.write(json.dumps(worker_threads(int(argv[1]), int(argv[2]))) + "\n")
    elif argv[:1] == ["mixed"]:
        sys.stdout.write(json.dumps(worker_mixed(argv[1], int(argv[2]), int(argv[3]))) + "\n")
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
