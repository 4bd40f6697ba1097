"""A host that trusts the batches must end with an exact picture of the tree.

Usage: test_linux_host_model.py DIR_WATCHER SOURCE_DIR [unittest arguments]

The host keeps a picture of the watched tree: every directory, every file's
size and modification time.  It learns the whole tree once the watcher is
ready; from then on a thread reads the batches as they come and, for every
directory a line names, lists that directory again: entries it did not know
are learned (a new directory with everything below it), vanished ones are
forgotten, files are refreshed.  Nothing else is ever looked at again.  A
line equal to the listed root with its trailing separator is a zero-byte
completion (the changes did not fit): the whole tree is learned again.
Directories whose names hold a line feed or CR cannot be named by a line,
so the host refreshes them in full whenever it lists their parent.

Each workload changes the tree the way real machines do, then writes one
file into every directory, waits until the batches stop, and compares the
picture with the disk.  Every path that differs was lost.

DIR_WATCHER_RACE_RUNS=N runs each race workload N times (default 1).
The randomized mode (RandomizedTest) has a few processes race random
changes over two roots and a directory outside them for about
RANDOM_RUN_SECONDS, once; with CORVAMIRE_FUZZ_SECONDS=S it runs seeded run
after run for S seconds.  DIR_WATCHER_FUZZ_SEED=N repeats a run's seed.
SOURCE_DIR is this repository: it is cloned, archived and copied.  The
trees live in DIR_WATCHER_TEST_TMP, by default /dev/shm where it can be
written (a disk-backed file system makes the workloads slow, and the races
gentler), else the system's temporary directory.
"""
import os
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from corvamire.watcher import collect_batches, find_dir_watcher, write_list
from long_paths import mkdir_at, open_dir, write_at

WATCHER = None
SOURCE = None
RACE_RUNS = int(os.environ.get("DIR_WATCHER_RACE_RUNS", "1"))
WAIT = 120.0           # seconds the watcher may take to catch up (sanitized builds are slow)
QUIET = 1.0            # seconds without a batch that count as "the batches stopped"
NO_CAPS = ["setpriv", "--inh-caps=-all", "--bounding-set=-all", "--"]
FUZZ_SECONDS = float(os.environ.get("CORVAMIRE_FUZZ_SECONDS", "0"))
FUZZ_SEED = os.environ.get("DIR_WATCHER_FUZZ_SEED")
RANDOM_RUN_SECONDS = 2.0    # the workload of one randomized run; make test runs one
RANDOM_FUZZ_RUN_SECONDS = 10.0   # each run's workload under make fuzz
RANDOM_WORKERS = 3


def scratch_base():
    chosen = os.environ.get("DIR_WATCHER_TEST_TMP")
    if chosen:
        return chosen
    return "/dev/shm" if os.access("/dev/shm", os.W_OK | os.X_OK) else None


# ---- the disk, through descriptors (paths may exceed PATH_MAX) ---------------

def read_dir(fd):
    """{name: ("d",) or ("f", size, mtime_ns)} of the directory at fd."""
    entries = {}
    for name in os.listdir(fd):
        name = os.fsencode(name)
        try:
            st = os.stat(name, dir_fd=fd, follow_symlinks=False)
        except FileNotFoundError:
            continue
        entries[name] = ("d",) if stat.S_ISDIR(st.st_mode) else ("f", st.st_size, st.st_mtime_ns)
    return entries


def learn(path):
    """The picture of the tree at `path`: nested {"": entries, name: subtree}."""
    try:
        fd = open_dir(path)
    except OSError:
        return None
    try:
        entries = read_dir(fd)
    finally:
        os.close(fd)
    tree = {b"": {}}
    for name, entry in entries.items():
        if entry[0] == "d":
            sub = learn(path + b"/" + name)
            if sub is None:
                continue
            tree[name] = sub
        tree[b""][name] = entry
    return tree


def flatten(tree, prefix=b"", out=None):
    out = {} if out is None else out
    for name, entry in tree[b""].items():
        path = prefix + b"/" + name
        out[path] = entry
        if entry[0] == "d":
            flatten(tree[name], path, out)
    return out


def odd(name):
    return b"\n" in name or b"\r" in name


# ---- the host ----------------------------------------------------------------

class Host(threading.Thread):
    """Reads the batches and keeps the picture, as a host does."""

    def __init__(self, changelog, listed, where, lock):
        super().__init__(daemon=True)
        self.changelog = changelog
        self.listed = listed            # the root as listed, with its trailing separator
        self.root_line = listed[:-1]
        self.where = where              # () -> where the listed root is now
        self.lock = lock                # held by a workload while it moves the root
        self.picture = learn(where())
        self.next_batch = 1
        self.lines = []
        self.last_batch = time.time()
        self.stop = threading.Event()
        self.error = None

    def run(self):
        try:
            while not self.stop.is_set():
                if not self.take_some():
                    time.sleep(0.02)
        except Exception as e:  # reported by the test
            self.error = e

    def take_some(self):
        # Given bytes, collect_batches refuses an empty or cut batch.
        batches = collect_batches(self.changelog)
        for batch in batches:
            assert batch.number == self.next_batch, (batch.number, self.next_batch)
            self.next_batch += 1
            self.last_batch = time.time()
            self.lines.extend(batch.paths)
            # Listing a directory twice for one batch learns nothing more:
            # every listing comes after all the batch's changes.
            for line in batch.dirs:
                with self.lock:
                    self.rescan(line)
        return bool(batches)

    def rescan(self, line):
        if line == self.listed:
            self.picture = learn(self.where()) or self.picture
            return
        assert line == self.root_line or line.startswith(self.root_line + b"/"), \
            "a line that is no directory of the tree: %r" % line
        rel = line[len(self.root_line):]
        names = [n for n in rel.split(b"/") if n]
        node = self.picture
        for name in names[:-1]:
            node = node.get(name)
            if node is None:
                return                  # under a directory the host does not know
        if names and names[-1] not in node:
            sub = learn(self.where() + rel)
            if sub is not None and names[-1] not in node:
                node[names[-1]] = sub   # a directory the host did not know: learned whole
                node[b""][names[-1]] = ("d",)
            return
        node = node[names[-1]] if names else node
        try:
            fd = open_dir(self.where() + rel)
        except OSError:
            return                      # gone: its parent's line will say so
        try:
            entries = read_dir(fd)
        finally:
            os.close(fd)
        known = node[b""]
        for name in list(known):
            if name not in entries or entries[name][0] != known[name][0]:
                del known[name]
                node.pop(name, None)
        for name, entry in entries.items():
            if entry[0] == "d":
                if name not in known or odd(name):
                    sub = learn(self.where() + rel + b"/" + name)
                    if sub is not None:
                        node[name] = sub
                        known[name] = entry
            else:
                known[name] = entry


class Hosts(Host):
    """One reader for several listed roots: each line goes to the host of
    the root it lies under."""

    def __init__(self, changelog, hosts, lock):
        threading.Thread.__init__(self, daemon=True)
        self.changelog = changelog
        self.hosts = hosts
        self.lock = lock
        self.next_batch = 1
        self.lines = []
        self.last_batch = time.time()
        self.stop = threading.Event()
        self.error = None

    def rescan(self, line):
        for host in self.hosts:
            if line in (host.listed, host.root_line) or line.startswith(host.root_line + b"/"):
                return host.rescan(line)
        raise AssertionError("a line under no listed root: %r" % line)


# ---- workloads: each runs against the tree at `root` -------------------------

def run_python(code, *args):
    subprocess.run([sys.executable, "-c", code] + [os.fsdecode(a) if isinstance(a, bytes) else str(a) for a in args],
                   check=True)


MKDIR_THEN_RENAME_PARENT = r"""
import os, sys
p, n, precreated = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
for i in range(n):
    if not precreated:
        os.mkdir("%s/a%d" % (p, i))
    os.mkdir("%s/a%d/b" % (p, i))
    os.rename("%s/a%d" % (p, i), "%s/c%d" % (p, i))
"""

ATOMIC_INSTALLS = r"""
import os, sys
s, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    tmp = "%s/.tmp%d" % (s, i)
    os.makedirs(tmp + "/lib/sub")
    for name in ("a", "lib/b", "lib/sub/c"):
        with open("%s/%s" % (tmp, name), "w") as f:
            f.write("x" * i)
    os.rename(tmp, "%s/pkg%d" % (s, i))
"""

# One process renames a directory back and forth while another makes
# subdirectories in it, under whichever name it has, and writes in them.
RENAME_STORM_RENAMER = r"""
import os, sys
a, b, stop = sys.argv[1], sys.argv[2], sys.argv[3]
open(stop + ".started", "w").close()
while not os.path.exists(stop):
    for x, y in ((a, b), (b, a)):
        try:
            os.rename(x, y)
        except FileNotFoundError:
            pass
"""

RENAME_STORM_WRITER = r"""
import os, sys, time
a, b, n, stop = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
while not os.path.exists(stop + ".started"):
    time.sleep(0.001)
def attempt(action):
    while True:
        for base in (a, b):
            try:
                return action(base)
            except FileNotFoundError:
                pass
for i in range(n):
    attempt(lambda base: os.mkdir("%s/sub%d" % (base, i)))
    for name in ("f", "g"):
        def write(base, i=i, name=name):
            with open("%s/sub%d/%s" % (base, i, name), "w") as f:
                f.write("y" * i)
        attempt(write)
"""


# Random changes over the roots and a directory outside them until the
# time is up: names come from a small pool (so processes meet on them), odd
# ones among them; every step may fail because another process got there
# first.  chmod: directories are made unsearchable and searchable again.
RANDOM_WORKER = r"""
import os, random, shutil, sys, time
seed, seconds, chmod, outside = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3] == "1", sys.argv[4].encode()
roots = [r.encode() for r in sys.argv[5:]]
rng = random.Random(seed)
locked = []
names = [b"a", b"b", b"c", b"d", b"e", b"sp ace", b"nl\nx", b"cr\rx", b"\xff\xfe", "\u00e9t\u00e9".encode(), b"l" * 120]

def some_dir(base, depth=4):
    d = base
    for _ in range(rng.randrange(depth)):
        try:
            subs = [e.name for e in os.scandir(d) if e.is_dir(follow_symlinks=False)]
        except OSError:
            break
        if not subs:
            break
        d = os.path.join(d, rng.choice(subs))
    return d

def some_place():
    if locked and rng.random() < 0.3:
        return some_dir(rng.choice(locked))   # under a directory this process shut
    return some_dir(rng.choice(roots + [outside] if rng.random() < 0.15 else roots))

def some_below(base=None):
    # A directory under a root (or under `outside`), never the root itself.
    base = base or rng.choice(roots)
    subs = [e.name for e in os.scandir(base) if e.is_dir(follow_symlinks=False)]
    return some_dir(os.path.join(base, rng.choice(subs)), 3)

def new_name(d):
    return os.path.join(d, rng.choice(names) + (b"%d" % rng.randrange(4) if rng.random() < 0.5 else b""))

def swap(a, b):
    tmp = a + b".swap%d" % seed
    os.rename(a, tmp)
    try:
        os.rename(b, a)
    finally:
        os.rename(tmp, b)

def burst(d):
    for i in range(rng.randrange(10, 60)):
        with open(os.path.join(d, b"burst%d" % i), "wb") as f:
            f.write(b"x" * i)

ops = [
    lambda: os.mkdir(new_name(some_place())),
    lambda: os.makedirs(os.path.join(new_name(some_place()), b"x", b"y")),
    lambda: os.rmdir(some_below()),
    lambda: shutil.rmtree(some_below()),
    lambda: os.rename(some_below(), new_name(some_place())),
    lambda: os.rename(some_below(), new_name(outside)),
    lambda: os.rename(some_below(outside), new_name(some_place())),
    lambda: swap(some_below(), some_below()),
    lambda: open(new_name(some_place()), "wb").write(b"w" * rng.randrange(100)),
    lambda: os.link(os.path.join(some_place(), rng.choice(os.listdir(some_place()))), new_name(some_place())),
    lambda: os.symlink(some_place(), new_name(some_place())),
    lambda: burst(some_place()),
]
def lock():
    d = some_below()
    os.chmod(d, 0)
    locked.append(d)

def unlock():
    os.chmod(locked.pop(rng.randrange(len(locked))), 0o755)

if chmod:
    ops += [lock, unlock] * 3
end = time.time() + seconds
while time.time() < end:
    try:
        rng.choice(ops)()
    except (OSError, IndexError, ValueError):
        pass
"""


class HostModelCase(unittest.TestCase):
    figures = []

    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="dw_host_", dir=scratch_base()).encode()
        self.changelog = os.path.join(self.base, b"changelog")
        os.mkdir(self.changelog)
        self.watcher = None
        self.host_process = None
        self.move_lock = threading.Lock()

    def tearDown(self):
        for p in (self.watcher, self.host_process):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()
        subprocess.run(["rm", "-rf", self.base])   # root's rm removes mode-000 directories too

    def start(self, listed, prefix=(), others=()):
        """Starts the watcher over `listed` and `others` (more listed roots);
        returns the first batch number after the probe's."""
        watch_list = os.path.join(self.base, b"watch.txt")
        exclusion_list = os.path.join(self.base, b"exclude.txt")
        write_list(watch_list, [listed] + list(others))
        write_list(exclusion_list, [])
        self.stderr_path = os.path.join(self.base, b"stderr.txt")
        with open(self.stderr_path, "wb") as err:
            self.watcher = subprocess.Popen(
                list(prefix) + [WATCHER, str(self.host_process.pid), watch_list, exclusion_list, self.changelog],
                stderr=err)
        # Ready once a change in the root comes back as a batch.
        deadline = time.time() + WAIT
        probe = listed + b".probe"
        n = 1
        while True:
            with open(probe, "wb") as f:
                f.write(b"p")
            time.sleep(0.1)
            for batch in collect_batches(self.changelog):
                self.assertEqual(batch.number, n)
                n += 1
            if n > 1:
                break
            self.assertIsNone(self.watcher.poll(), "the watcher ended early")
            self.assertLess(time.time(), deadline, "the watcher never became ready")
        os.unlink(probe)
        return n

    def wait_for_batches_to_stop(self):
        count, stamp = -1, time.time()
        while time.time() - stamp < QUIET:
            time.sleep(0.05)
            now = len(os.listdir(self.changelog))
            if now != count:
                count, stamp = now, time.time()

    def wait_quiet(self, host, marker):
        """Until the marker's line came and no batch came for QUIET seconds."""
        deadline = time.time() + WAIT
        while True:
            self.assertIsNone(host.error, host.error)
            self.assertIsNone(self.watcher.poll(), "the watcher ended early")
            if marker in host.lines and time.time() - host.last_batch > QUIET:
                return
            self.assertLess(time.time(), deadline, "the batches never stopped")
            time.sleep(0.05)

    def check(self, label, root, workload, listed=None, where=None, prefix=(), expected_log=b"",
              final_write=True, host_behind=False):
        """Runs the workload under a watched root and returns what was lost.
        final_write: one file written into every directory at the end, so
        a directory the watcher does not watch shows.  host_behind: the
        host reads no batch until the workload is over and the watcher has
        told all of it."""
        listed = listed or root + b"/"
        where = where or (lambda: root)
        first = self.start(listed, prefix)
        host = Host(self.changelog, listed, where, self.move_lock)
        host.next_batch = first
        if not host_behind:
            host.start()
        workload()
        if host_behind:
            self.wait_for_batches_to_stop()
            host.start()
        now = where()
        if final_write:
            for path in [now] + [now + p for p, e in flatten(learn(now)).items() if e[0] == "d"]:
                write_at(path + b"/.final", b"final")
        marker = b".marker%d" % len(self.figures)
        os.mkdir(os.path.join(now, marker))
        with open(os.path.join(now, marker, b"m"), "wb") as f:
            f.write(b"m")
        self.wait_quiet(host, listed[:-1] + b"/" + marker)
        host.stop.set()
        host.join()
        self.assertIsNone(host.error, host.error)
        seen, disk = flatten(host.picture), flatten(learn(now))
        lost = sorted(p for p in set(seen) | set(disk) if seen.get(p) != disk.get(p))
        directories = sum(1 for e in disk.values() if e[0] == "d")
        figure = "%s: %d lost of %d paths (%d directories), %d lines" % (
            label, len(lost), len(disk), directories, len(host.lines))
        self.figures.append(figure)
        print("host model: " + figure, flush=True)

        self.host_process.kill()
        self.host_process.wait()
        self.assertEqual(self.watcher.wait(WAIT), 0)
        with open(self.stderr_path, "rb") as f:
            self.assertEqual(f.read(), b"", "the watcher wrote to stderr (sanitizer report?)")
        self.assertEqual(lost, [], label)
        self.check_log(expected_log)
        return lost

    def check_log(self, expected):
        """error.txt holds the expected lines, besides lines about paths gone by the time they were told."""
        try:
            with open(os.path.join(self.changelog, b"error.txt"), "rb") as f:
                log = f.read()
        except FileNotFoundError:
            log = b""
        vanished = (b"GetLongPathNameW 0x0002 ", b"GetLongPathNameW 0x0003 ")
        lines = [l for l in log.lstrip(b"\xef\xbb\xbf").split(b"\r\r\n\r\n") if l and not l.startswith(vanished)]
        self.assertEqual(b"".join(l + b"\r\r\n\r\n" for l in lines), expected)

    def fresh(self):
        """A new scratch directory and host process for the next run (the
        changelog directory is emptied and reused)."""
        for p in (self.watcher, self.host_process):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()
        for name in os.listdir(self.changelog):
            os.unlink(os.path.join(self.changelog, name))
        self.host_process = subprocess.Popen(["sleep", "600"])
        return tempfile.mkdtemp(dir=self.base)



class HostModelTest(HostModelCase):

    # ---- the races, DIR_WATCHER_RACE_RUNS times each ---------------------

    def races(self, label, body):
        for run in range(1, RACE_RUNS + 1):
            with self.subTest(run=run):
                body("%s run %d/%d" % (label, run, RACE_RUNS), self.fresh())

    def test_mkdir_then_rename_parent(self):
        for precreated in (True, False):
            def body(label, base):
                root = os.path.join(base, b"root")
                p = os.path.join(root, b"p")
                os.makedirs(p)
                if precreated:
                    for i in range(2000):
                        os.mkdir(os.path.join(p, b"a%d" % i))
                self.check(label, root, lambda: run_python(MKDIR_THEN_RENAME_PARENT, p, 2000,
                                                           "1" if precreated else "0"))
            self.races("mkdir then rename parent (%s)" % ("pre-created parents" if precreated else "new parents"),
                       body)

    def test_atomic_installs(self):
        def body(label, base):
            root = os.path.join(base, b"root")
            os.makedirs(os.path.join(root, b"s"))
            self.check(label, root, lambda: run_python(ATOMIC_INSTALLS, os.path.join(root, b"s"), 1500))
        self.races("atomic installs", body)

    def test_rename_storm_with_writes(self):
        def body(label, base):
            root = os.path.join(base, b"root")
            a, b = os.path.join(root, b"x"), os.path.join(root, b"y")
            os.makedirs(a)
            stop = os.path.join(base, b"stop")

            def workload():
                renamer = subprocess.Popen([sys.executable, "-c", RENAME_STORM_RENAMER,
                                            os.fsdecode(a), os.fsdecode(b), os.fsdecode(stop)])
                try:
                    run_python(RENAME_STORM_WRITER, a, b, 300, stop)
                finally:
                    open(stop, "wb").close()
                    renamer.wait()
            self.check(label, root, workload)
        self.races("rename storm with writes", body)

    # ---- what real machines do -------------------------------------------

    def test_clone_and_checkouts(self):
        if not os.path.exists(os.path.join(SOURCE, b".git")):
            self.skipTest("the source is not a git checkout")
        base = self.fresh()
        root = os.path.join(base, b"root")
        os.mkdir(root)
        repo = os.path.join(root, b"repo")

        def git(*args):
            return subprocess.run(["git", "-C", repo] + list(args), check=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout

        def workload():
            subprocess.run(["git", "clone", "-q", SOURCE, repo], check=True)
            commits = git("rev-list", "HEAD").split()
            # Far apart and back: directories come and go, files change.
            for commit in (commits[-1], commits[len(commits) // 2], commits[0], commits[-1], commits[0]):
                git("-c", "advice.detachedHead=false", "checkout", "-q", commit.decode())
        self.check("git clone and checkouts", root, workload)

    def test_archive_extracted_then_moved(self):
        base = self.fresh()
        root = os.path.join(base, b"root")
        os.mkdir(root)
        archive = os.path.join(base, b"source.tar")
        subprocess.run(["tar", "-cf", archive, "-C", SOURCE, "--exclude=./build", "--exclude=./.git", "."],
                       check=True)

        def workload():
            os.mkdir(os.path.join(root, b"x"))
            subprocess.run(["tar", "-xf", archive, "-C", os.path.join(root, b"x")], check=True)
            os.rename(os.path.join(root, b"x"), os.path.join(root, b"y"))
            os.mkdir(os.path.join(root, b"z"))
            subprocess.run(["tar", "-xf", archive, "-C", os.path.join(root, b"z")], check=True)
            os.rename(os.path.join(root, b"z"), os.path.join(root, b"y", b"z"))
        self.check("archive extracted then moved", root, workload)

    def test_copied_then_partly_removed(self):
        base = self.fresh()
        root = os.path.join(base, b"root")
        os.mkdir(root)

        def workload():
            copy = os.path.join(root, b"copy")
            subprocess.run(["cp", "-a", os.path.join(SOURCE, b"dir_watcher"), copy], check=True)
            subprocess.run(["cp", "-a", os.path.join(SOURCE, b"version_matcher"),
                            os.path.join(copy, b"vm")], check=True)
            shutil.rmtree(os.path.join(copy, b"tests", b"wine"))
            shutil.rmtree(os.path.join(copy, b"vm", b"tests"))
            for name in os.listdir(copy):
                if name.endswith(b".cpp"):
                    os.unlink(os.path.join(copy, name))
        self.check("cp -a then partly removed", root, workload)

    # ---- the cases a watcher used to lose --------------------------------

    def test_ancestor_of_the_root_renamed(self):
        base = self.fresh()
        listed_root = os.path.join(base, b"A", b"R")
        os.makedirs(os.path.join(listed_root, b"old", b"deep"))
        moved_root = os.path.join(base, b"B", b"R")

        where = {"now": listed_root}

        def workload():
            with self.move_lock:
                os.rename(os.path.join(base, b"A"), os.path.join(base, b"B"))
                where["now"] = moved_root
            os.makedirs(os.path.join(moved_root, b"new", b"deeper", b"still"))
            with open(os.path.join(moved_root, b"new", b"deeper", b"still", b"f"), "wb") as f:
                f.write(b"after the move")
            with open(os.path.join(moved_root, b"old", b"deep", b"g"), "wb") as f:
                f.write(b"old tree")
        self.check("ancestor of the root renamed", listed_root, workload, where=lambda: where["now"])

    def test_root_renamed(self):
        base = self.fresh()
        listed_root = os.path.join(base, b"R")
        os.makedirs(os.path.join(listed_root, b"kept"))
        moved_root = os.path.join(base, b"R2")
        where = {"now": listed_root}

        def workload():
            with self.move_lock:
                os.rename(listed_root, moved_root)
                where["now"] = moved_root
            os.makedirs(os.path.join(moved_root, b"made", b"later"))
            with open(os.path.join(moved_root, b"made", b"later", b"f"), "wb") as f:
                f.write(b"x")
        self.check("root renamed", listed_root, workload, where=lambda: where["now"])

    def test_renamed_away_and_back_while_the_host_is_behind(self):
        # Lines told while it was away name where it was; once it is back,
        # the host, reading late, must still be sent to what changed in it.
        base = self.fresh()
        root = os.path.join(base, b"root")
        os.makedirs(os.path.join(root, b"x", b"s", b"t"))

        def workload():
            os.rename(os.path.join(root, b"x"), os.path.join(root, b"y"))
            for sub in (b"", b"s", b"s/t"):
                with open(os.path.join(root, b"y", sub, b"f"), "wb") as f:
                    f.write(b"while away")
            os.rename(os.path.join(root, b"y"), os.path.join(root, b"x"))
        self.check("renamed away and back, host behind", root, workload, final_write=False, host_behind=True)

    def test_names_with_line_feed_and_cr(self):
        base = self.fresh()
        root = os.path.join(base, b"root")
        os.mkdir(root)

        def workload():
            for name in (b"nl\nsecond", b"cr\rname", b"plain"):
                os.makedirs(os.path.join(root, b"a", name, b"inner", b"deeper"))
                for sub in (b"", b"inner", b"inner/deeper"):
                    with open(os.path.join(root, b"a", name, sub, b"f"), "wb") as f:
                        f.write(name)
            os.rename(os.path.join(root, b"a", b"plain"), os.path.join(root, b"a", b"pl\nain"))
        self.check("names with LF and CR", root, workload)

    def test_paths_beyond_path_max(self):
        base = self.fresh()
        root = os.path.join(base, b"root")
        os.mkdir(root)
        name = b"d" * 100
        # About 5,000 bytes before the watcher starts, about 12,000 after.
        path = root
        for _ in range(50):
            path = path + b"/" + name
            os.mkdir(path) if len(path) < 4000 else mkdir_at(path)

        def workload():
            deep = path
            for i in range(70):
                deep = deep + b"/" + name
                mkdir_at(deep)
                if i % 10 == 0:
                    write_at(deep + b"/f", b"x" * i)
        self.check("paths beyond PATH_MAX", root, workload)

    def test_unreadable_directories(self):
        if shutil.which("setpriv") is None:
            self.fail("setpriv (util-linux) is needed to run the watcher without root's privileges")
        base = self.fresh()
        root = os.path.join(base, b"root")
        for locked in (b"locked1", b"locked2"):
            os.makedirs(os.path.join(root, locked, b"inside", b"deeper"))
            with open(os.path.join(root, locked, b"inside", b"f"), "wb") as f:
                f.write(b"before")
            os.chmod(os.path.join(root, locked), 0)
        os.makedirs(os.path.join(root, b"open"))

        def workload():
            # Changed while unreadable: nobody is told until it can be read.
            with open(os.path.join(root, b"locked1", b"inside", b"deeper", b"g"), "wb") as f:
                f.write(b"while locked")
            with open(os.path.join(root, b"open", b"h"), "wb") as f:
                f.write(b"the rest goes on")
            for locked in (b"locked1", b"locked2"):
                os.chmod(os.path.join(root, locked), 0o755)
            os.mkdir(os.path.join(root, b"locked1", b"inside", b"new"))
        denied = b"inotify_add_watch 0x0005 Access is denied.\r\r\n\r\n"
        self.check("unreadable directories", root, workload, prefix=NO_CAPS, expected_log=denied * 2)



class RandomizedTest(HostModelCase):
    """Seeded random races over two listed roots; the hosts' pictures
    against the disk after each run."""

    def run_random(self, seed, seconds, chmod):
        base = self.fresh()
        roots = [os.path.join(base, b"r1"), os.path.join(base, b"r2")]
        outside = os.path.join(base, b"outside")
        for d in roots + [outside]:
            os.makedirs(os.path.join(d, b"a", b"b"))
        label = "random seed %d%s" % (seed, ", chmod" if chmod else "")
        first = self.start(roots[0] + b"/", NO_CAPS if chmod else (), [r + b"/" for r in roots[1:]])
        hosts = Hosts(self.changelog, [Host(self.changelog, r + b"/", lambda r=r: r, self.move_lock)
                                       for r in roots], self.move_lock)
        hosts.next_batch = first
        hosts.start()
        workers = [subprocess.Popen([sys.executable, "-c", RANDOM_WORKER, str(seed * 100 + i), str(seconds),
                                     "1" if chmod else "0", os.fsdecode(outside)] + [os.fsdecode(r) for r in roots])
                   for i in range(RANDOM_WORKERS)]
        for w in workers:
            self.assertEqual(w.wait(), 0)
        # Every directory searchable again, then a file in each, and a marker per root.
        for root in roots:
            subprocess.run(["chmod", "-R", "u+rwx,go+rx", root], check=True)
            for path in [root] + [root + p for p, e in flatten(learn(root)).items() if e[0] == "d"]:
                write_at(path + b"/.final", b"final")
            os.mkdir(os.path.join(root, b".marker"))
            write_at(os.path.join(root, b".marker", b"m"), b"m")
        self.wait_quiet(hosts, roots[-1] + b"/.marker")
        hosts.stop.set()
        hosts.join()
        self.assertIsNone(hosts.error, hosts.error)
        lost = []
        for host, root in zip(hosts.hosts, roots):
            seen, disk = flatten(host.picture), flatten(learn(root))
            lost += sorted(root + p for p in set(seen) | set(disk) if seen.get(p) != disk.get(p))
        print("host model: %s: %d lost, %d lines" % (label, len(lost), len(hosts.lines)), flush=True)
        self.host_process.kill()
        self.host_process.wait()
        self.assertEqual(self.watcher.wait(WAIT), 0)
        with open(self.stderr_path, "rb") as f:
            self.assertEqual(f.read(), b"", "the watcher wrote to stderr (sanitizer report?)")
        self.assertEqual(lost[:20], [], label)

    def test_random_races(self):
        rng = random.Random(int(FUZZ_SEED) if FUZZ_SEED else None)
        end = time.time() + FUZZ_SECONDS
        run = 0
        while run == 0 or time.time() < end:
            seed = rng.randrange(1 << 30)
            run += 1
            chmod = run % 2 == 0 or not FUZZ_SECONDS
            with self.subTest(seed=seed, chmod=chmod):
                self.run_random(seed, RANDOM_FUZZ_RUN_SECONDS if FUZZ_SECONDS else RANDOM_RUN_SECONDS, chmod)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: test_linux_host_model.py DIR_WATCHER SOURCE_DIR [unittest arguments]")
    WATCHER, SOURCE = find_dir_watcher(sys.argv[1]), os.fsencode(sys.argv[2])
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
