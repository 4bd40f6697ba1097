"""Both corvamire components at work, as a host application uses them.

    make demo        (or: python -m corvamire.demo, with the package and
                      the module importable)

1. dir_watcher watches a temporary tree; the demo changes files at several
   depths and in an excluded folder, and prints the changed directories
   that arrive in the changelog batches.
2. corvamire_version_matcher compares a later version of a file with an
   earlier one: a lookup_table of the earlier version's blocks, then one
   match() over the later version; then a sync round trip (signature,
   delta, patch) rebuilds the later version from the earlier one.
3. The host ends, and dir_watcher notices and ends by itself.

The watcher is given the process id of a small stand-in host (a child
process) rather than this one's, so that the demo can end "the host" and
still be there to see the watcher go.
"""

from __future__ import division, print_function

import argparse
import filecmp
import hashlib
import io
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from corvamire import delta as dl
from corvamire import lookup_table as lt
from corvamire import watcher as wt

INDENT = "   "
LABEL = 18          # width of the label column
FIGURE = 11         # width of a right-aligned figure
MIB = 1 << 20


def say(text=""):
    print(INDENT + text if text else "")
    sys.stdout.flush()


def figure_line(label, number, note=""):
    if not isinstance(number, str):
        number = "{:,}".format(number)
    line = "%-*s%*s  %s" % (LABEL, label, FIGURE, number, note)
    say(line.rstrip())


def text_line(label, text):
    say("%-*s%s" % (LABEL, label, text))


def heading(text):
    print()
    print(text)
    sys.stdout.flush()


class Progress(object):
    """A line that counts the seconds of a wait, shown on a terminal once
    the wait has taken a second; it is erased when the wait is over."""

    def __init__(self, label):
        self.label = label
        self.start = time.time()
        self.shown = False
        self.live = sys.stdout.isatty()

    def tick(self, note=""):
        elapsed = time.time() - self.start
        if self.live and elapsed >= 1.0:
            line = "%s%s ... %.1f s %s" % (INDENT, self.label, elapsed, note)
            sys.stdout.write("\r%-70s" % line[:70])
            sys.stdout.flush()
            self.shown = True

    def clear(self):
        """Erase the line, so that other output can be printed."""
        if self.shown:
            sys.stdout.write("\r%70s\r" % "")
            sys.stdout.flush()
            self.shown = False

    def done(self):
        self.clear()
        return time.time() - self.start


# ---- the stand-in host -----------------------------------------------------

def start_stand_in_host():
    # It lives until its stdin closes: when we close it, or when this demo
    # dies, so a watcher never outlives a crashed demo for long.
    return subprocess.Popen([sys.executable, "-c",
                             "import sys; sys.stdin.read()"],
                            stdin=subprocess.PIPE)


def end_stand_in_host(host):
    if host.poll() is None:
        host.stdin.close()
    # Reaped at once: a process that has ended but not been waited for
    # still counts as running to anyone asking about its id.
    host.wait()


# ---- part 1: the watcher ---------------------------------------------------

def shown_path(path, root):
    """`path` with the tree's root written as <tree>."""
    for base in (root, os.path.realpath(root)):
        if path == base:
            return "<tree>"
        if path.startswith(base + os.sep):
            return "<tree>" + path[len(base):]
    return path


def print_batches(batches, root):
    for batch in batches:
        label = "%08d.txt" % batch.number
        runs = []
        for path in batch.paths:
            if runs and runs[-1][0] == path:
                runs[-1][1] += 1
            else:
                runs.append([path, 1])
        for path, count in runs:
            repeat = "  (x%d)" % count if count > 1 else ""
            say("  %-14s%s%s" % (label, shown_path(path, root), repeat))
            label = ""


def make_changes(root):
    """Change files at several depths; returns what was done, as
    (what, relative path, excluded?) and the directories to expect."""
    def write(rel, data, mode="wb"):
        with open(os.path.join(root, rel), mode) as f:
            f.write(data)

    done = []
    write("notes.txt", b"first notes\n")
    done.append(("new file", "notes.txt", False))
    write(os.path.join("docs", "report.txt"), b"a report\n")
    done.append(("new file", "docs/report.txt", False))
    write(os.path.join("docs", "2026", "q4", "plan.txt"), b"more\n", "ab")
    done.append(("appended", "docs/2026/q4/plan.txt", False))
    os.remove(os.path.join(root, "docs", "old.txt"))
    done.append(("removed", "docs/old.txt", False))
    write(os.path.join("cache", "blob.tmp"), b"\0" * 4096)
    done.append(("new file", "cache/blob.tmp", True))
    write(os.path.join("cache", "thumbs", "t1.png"), b"\x89PNG")
    done.append(("new file", "cache/thumbs/t1.png", True))
    expected = set(os.path.join(root, *d.split("/")) if d else root
                   for d in ("", "docs", "docs/2026/q4"))
    return done, expected


def build_tree(root):
    for d in ("docs/2026/q4", "cache/thumbs"):
        os.makedirs(os.path.join(root, *d.split("/")))
    for rel in ("docs/old.txt", "docs/2026/q4/plan.txt"):
        with open(os.path.join(root, *rel.split("/")), "wb") as f:
            f.write(b"earlier text\n")


def seen_paths(batches):
    paths = set()
    for batch in batches:
        paths.update(os.path.realpath(p) for p in batch.paths)
    return paths


def show_watcher_on_tree(watcher, root, excluded):
    done, expected = make_changes(root)
    say("changes made:")
    for what, rel, is_excluded in done:
        say("  %-14s%s%s" % (what, rel, "   (excluded)" if is_excluded
                             else ""))

    expected = set(os.path.realpath(p) for p in expected)
    batches = []
    progress = Progress("waiting for batches")
    deadline = time.time() + 10
    while time.time() < deadline and not expected <= seen_paths(batches):
        time.sleep(0.05)
        batches.extend(watcher.collect())
        progress.tick()
        watcher.check()
    # Let the last reads of a burst land too.
    time.sleep(0.3)
    batches.extend(watcher.collect())
    progress.done()

    say("batches, as the host collects them:")
    print_batches(batches, root)
    if batches and batches[0].number > 1:
        say("(the batches before %08d.txt were the helper's check that the"
            % batches[0].number)
        say(" watcher was ready: it pokes a private directory listed last)")
    missing = expected - seen_paths(batches)
    leaked = [p for p in seen_paths(batches)
              if p.startswith(os.path.realpath(excluded))]
    if missing or leaked:
        for path in sorted(missing):
            say("MISSING: no batch named %s" % shown_path(path, root))
        for path in sorted(leaked):
            say("LEAKED: an excluded directory came through: %s" % path)
        return False
    say("every changed directory reported; nothing from cache/")
    return True


def show_watcher_on_dir(watcher, root, seconds):
    say("make some changes under %s now" % root)
    progress = Progress("watching")
    deadline = time.time() + seconds
    while time.time() < deadline:
        time.sleep(0.1)
        batches = watcher.collect()
        if batches:
            progress.clear()
            print_batches(batches, root)
        progress.tick("(%.0f s left)" % max(0, deadline - time.time()))
        watcher.check()
    progress.done()
    print_batches(watcher.collect(), root)
    return True


def part_watch(args, host, scratch):
    heading("1. dir_watcher: a host learns which directories changed")
    say("The host names the trees to watch and the prefixes to leave out;")
    say("each burst of changes comes back as one numbered batch file of the")
    say("directories that changed, which the host reads and removes.")
    print()
    if args.watch:
        root = os.path.abspath(args.watch)
        excluded = os.path.join(root, "cache")
    else:
        root = os.path.join(scratch, "tree")
        excluded = os.path.join(root, "cache")
        build_tree(root)
    watcher = wt.Watcher([root], [excluded], host_pid=host.pid)
    text_line("watching", root)
    text_line("excluding", excluded)
    text_line("host process", "pid %d (a stand-in host, see part 3)"
              % host.pid)
    watcher.start()
    try:
        watcher.wait_until_watching()
        if args.watch:
            ok = show_watcher_on_dir(watcher, root, args.seconds)
        else:
            ok = show_watcher_on_tree(watcher, root, excluded)
    except wt.WatcherError as e:
        say(str(e))
        watcher.stop()
        watcher.close()
        return None, False
    return watcher, ok


# ---- part 2: the matcher ---------------------------------------------------

def random_bytes(count, seed):
    # Hash output is as good as random for this and the same on every run
    # and Python version; the blocks of random data are all distinct.
    step = 64
    return b"".join(hashlib.sha512(("%s:%d" % (seed, i)).encode()).digest()
                    for i in range((count + step - 1) // step))[:count]


def make_versions(old_path, new_path, size, edits, seed=2026):
    """Write an earlier version of `size` random bytes and a later one
    with `edits` changes spread over it (insertions, deletions and edits
    in turn).  Returns (counts by kind, bytes of the later version that
    are copied unchanged from the earlier one)."""
    rng = random.Random(seed)
    old = random_bytes(size, seed)
    kinds = ("insertion", "deletion", "edit")
    counts = dict((k, 0) for k in kinds)
    pieces, copied, pos = [], 0, 0
    places = sorted(rng.randrange(size) for _ in range(edits))
    for n, at in enumerate(places):
        kind = kinds[n % 3]
        length = rng.randint(16, 1024) if kind != "edit" \
            else rng.randint(1, 64)
        if at < pos or at + length > size:
            continue
        pieces.append(old[pos:at])
        copied += at - pos
        if kind != "deletion":
            pieces.append(random_bytes(length, "%d:%d" % (seed, n)))
        pos = at if kind == "insertion" else at + length
        counts[kind] += 1
    pieces.append(old[pos:])
    copied += size - pos
    with open(old_path, "wb") as f:
        f.write(old)
    with open(new_path, "wb") as f:
        f.write(b"".join(pieces))
    return counts, copied


def part_match(args, scratch):
    heading("2. corvamire_version_matcher: what a later version reuses")
    say("The host indexes the blocks of the earlier version (lookup_table);")
    say("match() finds them in the later version, wherever they moved to.")
    print()
    try:
        import corvamire_version_matcher  # noqa: F401 (checked here)
    except ImportError as e:
        say("corvamire_version_matcher cannot be imported (%s);" % e)
        say("build it with 'make native' and put build/python on"
            " PYTHONPATH")
        return False

    sizes = sorted(set(args.block_sizes), reverse=True)
    copied = None
    if args.old:
        old_path, new_path = args.old, args.new
        figure_line("earlier version", os.path.getsize(old_path),
                    "bytes  " + os.path.basename(old_path))
        figure_line("later version", os.path.getsize(new_path),
                    "bytes  " + os.path.basename(new_path))
    else:
        old_path = os.path.join(scratch, "earlier.bin")
        new_path = os.path.join(scratch, "later.bin")
        counts, copied = make_versions(old_path, new_path, 4 * MIB, 45)
        figure_line("earlier version", os.path.getsize(old_path),
                    "bytes  random data")
        figure_line("later version", os.path.getsize(new_path),
                    "bytes  %(insertion)d insertions, %(deletion)d"
                    " deletions, %(edit)d edits" % counts)
    new_size = os.path.getsize(new_path)

    def share(n):
        return "bytes  %5.1f%% of the later version" % (
            100.0 * n / new_size if new_size else 0.0)

    if copied is not None:
        figure_line("left unchanged", copied, share(copied))

    progress = Progress("building the lookup_table")
    total = os.path.getsize(old_path) * len(sizes)
    table = lt.build_lookup_table(
        old_path, sizes,
        progress=lambda done: progress.tick("%3.0f%%" % (100.0 * done /
                                                         max(total, 1))))
    table_time = progress.done()
    blocks = lt.count_blocks(table)
    for i, size in enumerate(sizes):
        figure_line("lookup_table" if i == 0 else "", blocks[size],
                    "blocks of %s B" % "{:,}".format(size))
    figure_line("", "%.2f s" % table_time, "to build from the earlier version")

    started = time.time()
    result = lt.match_file(table, new_path, args.buffer_size)
    match_time = time.time() - started
    reused = dict((size, 0) for size in sizes)
    for size, _ in result["matches"].values():
        reused[size] += 1
    speed = ""
    if new_size and match_time > 0:
        speed = " (%.0f MiB/s)" % (new_size / MIB / match_time)
    figure_line("match", "%.2f s" % match_time,
                "over the later version%s" % speed)
    figure_line("", args.buffer_size, "bytes of read buffer")
    for i, size in enumerate(sizes):
        figure_line("blocks reused" if i == 0 else "", reused[size],
                    "of %s B" % "{:,}".format(size))
    figure_line("bytes matched", result["bytes_matched"],
                share(result["bytes_matched"]))
    figure_line("weak matches", result["weak_matches"],
                "windows whose adler32 was in the table")
    figure_line("strong matches", result["strong_matches"],
                "of them confirmed by MD5")

    print()
    say("A sync round trip: the delta of the later version against the")
    say("table (copies of matched blocks, the rest as literal bytes), then")
    say("the later version rebuilt from the earlier one and the delta.")
    print()
    sig = dl.signature(old_path, sizes)
    made = dl.delta(sig, new_path, args.buffer_size)
    stream = io.BytesIO()
    written = made.write(stream)
    copies = sum(1 for op in made.ops if op[0] == "copy")
    figure_line("delta", len(made.ops), "operations, %s of them copies"
                % "{:,}".format(copies))
    for kind, count in (("copied", made.copied_bytes),
                        ("literal", made.literal_bytes)):
        figure_line("", count, "bytes %-7s %5.1f%% of the later version"
                    % (kind, 100.0 * count / new_size if new_size else 0.0))
    figure_line("", written, "bytes in its binary form")
    rebuilt = os.path.join(scratch, "rebuilt.bin")
    stream.seek(0)
    dl.patch(old_path, dl.Delta.read(stream), rebuilt)
    same = filecmp.cmp(rebuilt, new_path, shallow=False)
    text_line("patch", "rebuilt the later version: %s" %
              ("identical, byte for byte" if same else "IT DIFFERS"))
    return same


# ---- part 3: the host ends -------------------------------------------------

def part_end(watcher, host):
    heading("3. The host ends, and dir_watcher ends with it")
    say("The watcher checks on its host about once a second while idle.")
    print()
    if watcher is None:
        end_stand_in_host(host)
        say("(no watcher is running)")
        return False
    text_line("host process", "pid %d ends now" % host.pid)
    end_stand_in_host(host)
    progress = Progress("waiting for dir_watcher to notice")
    ended = time.time()
    code = None
    while code is None and time.time() - ended < 10:
        code = watcher.wait(0.1)
        progress.tick()
    progress.done()
    if code is None:
        say("dir_watcher still runs 10 s after its host ended; stopping it")
        watcher.stop()
        return False
    took = time.time() - ended
    text_line("dir_watcher", "exited with code %d, %.2f s after its host"
              % (code, took))
    if code != 0 or watcher.error_lines():
        for line in watcher.describe().split("\n"):
            say(line)
    return code == 0


# ---- the command -----------------------------------------------------------

def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python -m corvamire.demo",
        description="Show dir_watcher and corvamire_version_matcher at"
                    " work, as a host application uses them.")
    parser.add_argument("--watch", metavar="DIR",
                        help="watch DIR (changes under DIR/cache are"
                             " excluded) instead of a temporary tree, and"
                             " print what you change there")
    parser.add_argument("--seconds", type=float, default=15.0,
                        help="how long to watch DIR (default 15)")
    parser.add_argument("--old", metavar="FILE",
                        help="earlier version of a file (needs --new)")
    parser.add_argument("--new", metavar="FILE",
                        help="later version of the file (needs --old)")
    parser.add_argument("--block-sizes", default="8192,2048",
                        metavar="N,N",
                        help="block lengths in bytes (default 8192,2048)")
    parser.add_argument("--buffer-size", type=int, default=MIB, metavar="N",
                        help="match()'s read buffer in bytes"
                             " (default 1048576)")
    args = parser.parse_args(argv)
    if bool(args.old) != bool(args.new):
        parser.error("--old and --new go together")
    try:
        args.block_sizes = [int(s) for s in args.block_sizes.split(",")]
    except ValueError:
        parser.error("--block-sizes takes numbers separated by commas")
    if not args.block_sizes or min(args.block_sizes) <= 0:
        parser.error("block sizes must be positive")
    if args.buffer_size < max(args.block_sizes):
        parser.error("the buffer must hold the longest block")
    if args.watch and not os.path.isdir(args.watch):
        parser.error("no such directory: %s" % args.watch)
    return args


def main(argv=None):
    args = parse_args(argv)
    print("corvamire demo: the two components a host application drives")
    scratch = tempfile.mkdtemp(prefix="corvamire-demo-")
    host = start_stand_in_host()
    watcher = None
    results = []
    try:
        try:
            watcher, ok = part_watch(args, host, scratch)
        except wt.WatcherError as e:
            say(str(e))
            ok = False
        results.append(ok)
        results.append(part_match(args, scratch))
        results.append(part_end(watcher, host))
    finally:
        if host.poll() is None:
            end_stand_in_host(host)
        if watcher is not None:
            watcher.stop()
            watcher.close()
        shutil.rmtree(scratch, ignore_errors=True)
    print()
    if all(results):
        print("demo finished: both components did their job")
        return 0
    print("demo finished with problems (see above)")
    return 1


if __name__ == "__main__":
    sys.exit(main())
