"""End-to-end tests of the Linux dir_watcher.

Usage: test_linux_watcher.py DIR_WATCHER BURST [unittest arguments]

Each test builds a temporary tree, starts the real binary with a stand-in
host process, makes changes, and reads the batches the way the host does
(in number order, removing each), then checks the batches, the bytes of
error.txt and the exit code.  Paths are bytes throughout, so names that are
not UTF-8 can be checked byte for byte.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from corvamire.watcher import collect_batches, find_dir_watcher, write_list
from long_paths import mkdir_at, write_at

WATCHER = None
BURST = None

BOM = b"\xef\xbb\xbf"
# A log_error line: the system text ends in CR LF, the format adds LF, and
# text mode writes each LF as CR LF.
def log_line(step, code, text):
    return b"%s 0x%04X %s\r\r\n\r\n" % (step, code, text)

FILE_NOT_FOUND = b"The system cannot find the file specified."
PATH_NOT_FOUND = b"The system cannot find the path specified."
PARAMETER = b"The parameter is incorrect."
ACCESS_DENIED = b"Access is denied."

WAIT = 30.0           # seconds any expected event may take (sanitized builds are slow)
NO_CAPS = [b"setpriv", b"--inh-caps=-all", b"--bounding-set=-all", b"--"]
QUEUED_EVENTS = "/proc/sys/fs/inotify/max_queued_events"
USAGE = b"usage: dir_watcher HOST_PID WATCH_LIST EXCLUSION_LIST CHANGELOG_DIR\n"


class WatcherTest(unittest.TestCase):
    """A temporary tree, a changelog directory and a host process."""

    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="dw_").encode()
        self.root = os.path.join(self.base, b"root")
        self.changelog = os.path.join(self.base, b"changelog")
        self.outside = os.path.join(self.base, b"outside")
        for d in (self.root, self.changelog, self.outside):
            os.mkdir(d)
        self.watch_list = os.path.join(self.base, b"watch.txt")
        self.exclusion_list = os.path.join(self.base, b"exclude.txt")
        self.host = subprocess.Popen(["sleep", "600"])
        self.watcher = None
        self.stderr_path = os.path.join(self.base, b"stderr.txt")
        self.next_batch = 1
        self.batches = []       # contents, in number order
        self.lines = []         # every line of every batch, in order

    def tearDown(self):
        for p in (self.watcher, self.host):
            if p is not None and p.poll() is None:
                os.kill(p.pid, signal.SIGCONT)
                p.kill()
                p.wait()
        shutil.rmtree(self.base, ignore_errors=True)

    # ---- setting up ------------------------------------------------------

    def write_lists(self, watch, exclude=()):
        write_list(self.watch_list, watch)
        write_list(self.exclusion_list, exclude)

    def start(self, args=None, ready=None, prefix=()):
        """Starts the watcher (after `prefix`, a command it runs under);
        with `ready`, waits until changes in that watched directory show
        up, so the tests' own changes are seen."""
        if args is None:
            args = [str(self.host.pid).encode(), self.watch_list, self.exclusion_list, self.changelog]
        self.stderr = open(self.stderr_path, "wb")
        self.watcher = subprocess.Popen(list(prefix) + [WATCHER.encode()] + args, stderr=self.stderr)
        self.stderr.close()
        if ready is not None:
            probe = os.path.join(ready, b".probe")
            deadline = time.time() + WAIT
            while ready not in self.lines:
                self.assertLess(time.time(), deadline, "the watcher never reported its probe")
                self.assertIsNone(self.watcher.poll(), "the watcher ended early")
                with open(probe, "wb") as f:
                    f.write(b"x")
                time.sleep(0.1)
                self.collect()
            os.unlink(probe)
            self.settle()

    def run_to_end(self, args, stderr=b""):
        """Runs a watcher that is expected to end by itself; its exit status."""
        self.start(args)
        return self.finish_watcher(stderr=stderr)

    def finish_watcher(self, timeout=WAIT, stderr=b""):
        status = self.watcher.wait(timeout)
        with open(self.stderr_path, "rb") as f:
            self.assertEqual(f.read(), stderr, "the watcher's stderr (a sanitizer report?)")
        return status

    def end_host(self):
        self.host.kill()
        self.host.wait()

    # ---- reading batches -------------------------------------------------

    def collect(self):
        # Given bytes, collect_batches refuses an empty or cut batch.
        for batch in collect_batches(self.changelog):
            self.assertEqual(batch.number, self.next_batch, "batches are numbered one after another")
            self.next_batch += 1
            self.batches.append(b"".join(line + b"\n" for line in batch.paths))
            self.lines.extend(batch.paths)

    def wait_for(self, predicate, what):
        deadline = time.time() + WAIT
        while True:
            self.collect()
            if predicate():
                return
            self.assertLess(time.time(), deadline, "timed out waiting for " + what)
            time.sleep(0.05)

    def wait_for_line(self, line, start=0):
        self.wait_for(lambda: line in self.lines[start:], repr(line))

    def settle(self, quiet=0.3):
        """Collects until no batch has come for `quiet` seconds."""
        last = len(self.batches)
        stamp = time.time()
        while time.time() - stamp < quiet:
            time.sleep(0.05)
            self.collect()
            if len(self.batches) != last:
                last, stamp = len(self.batches), time.time()

    def mark(self):
        """A probe change in the root: once its line is in, everything made
        before it has been reported.  Returns the index past it."""
        n = len(self.lines)
        with open(os.path.join(self.root, b".mark"), "wb") as f:
            f.write(b"m")
        self.wait_for(lambda: self.root in self.lines[n:], "the mark")
        return len(self.lines)

    def catch_up(self):
        """Until everything the watcher queued so far is told.  A new
        directory in the root comes back as its own line once its creation
        is handled; a second one comes after whatever the watcher did at the
        end of handling the first (directories listed again once the events
        stopped).  Returns the index past it."""
        for _ in range(2):
            self.catches = getattr(self, "catches", 0) + 1
            marker = os.path.join(self.root, b".catch%d" % self.catches)
            start = len(self.lines)
            os.mkdir(marker)
            self.wait_for_line(marker, start)
        return len(self.lines)

    def told_since(self, start):
        """The lines told since `start`, once the watcher has caught up,
        less the catch-up's own marker lines."""
        end = self.catch_up()
        return {l for l in self.lines[start:end] if not os.path.basename(l).startswith(b".catch")}

    def error_txt(self):
        with open(os.path.join(self.changelog, b"error.txt"), "rb") as f:
            return f.read()


def touch(path, data=b"x"):
    with open(path, "wb") as f:
        f.write(data)


class ChangeTests(WatcherTest):

    def test_changes_at_every_depth_and_in_new_renamed_and_moved_trees(self):
        r = self.root
        os.makedirs(os.path.join(r, b"a/b/c"))
        self.write_lists([r])
        self.start(ready=r)

        # Depths: the line names the directory that holds the changed item.
        start = len(self.lines)
        touch(os.path.join(r, b"a/b/c/deep.txt"))
        touch(os.path.join(r, b"a/one.txt"))
        self.wait_for_line(os.path.join(r, b"a/b/c"), start)
        self.wait_for_line(os.path.join(r, b"a"), start)

        # A tree made in one go: its deepest directory is watched at once.
        start = len(self.lines)
        os.makedirs(os.path.join(r, b"new/x/y"))
        touch(os.path.join(r, b"new/x/y/f"))
        self.wait_for_line(os.path.join(r, b"new/x/y"), start)

        # A renamed directory: later changes carry the new name only.
        os.rename(os.path.join(r, b"a"), os.path.join(r, b"a2"))
        start = len(self.lines)
        touch(os.path.join(r, b"a2/b/c/after.txt"))
        self.wait_for_line(os.path.join(r, b"a2/b/c"), start)
        self.assertFalse([l for l in self.lines[start:] if l.startswith(os.path.join(r, b"a/"))])

        # A tree moved in from outside: what it holds is reported, and it is watched.
        os.makedirs(os.path.join(self.outside, b"t/u"))
        touch(os.path.join(self.outside, b"t/u/old.txt"))
        start = len(self.lines)
        os.rename(os.path.join(self.outside, b"t"), os.path.join(r, b"t"))
        self.wait_for_line(os.path.join(r, b"t/u"), start)
        start = len(self.lines)
        touch(os.path.join(r, b"t/u/new.txt"))
        self.wait_for_line(os.path.join(r, b"t/u"), start)

        # A tree moved out is forgotten: its later changes are not reported.
        os.rename(os.path.join(r, b"new"), os.path.join(self.outside, b"gone"))
        self.wait_for_line(r, len(self.lines))
        start = len(self.lines)
        touch(os.path.join(self.outside, b"gone/x/y/late.txt"))
        end = self.mark()
        self.assertNotIn(os.path.join(r, b"new/x/y"), self.lines[start:end])

        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)

    def test_directory_removed_before_its_changes_are_processed(self):
        r = self.root
        doomed = os.path.join(r, b"doomed")
        os.mkdir(doomed)
        self.write_lists([r])
        self.start(ready=r)
        # The changes inside it are queued while the watcher sleeps; by the
        # time they are processed the directory is gone.
        os.kill(self.watcher.pid, signal.SIGSTOP)
        try:
            touch(os.path.join(doomed, b"f"))
            shutil.rmtree(doomed)
        finally:
            os.kill(self.watcher.pid, signal.SIGCONT)
        start = len(self.lines)
        self.wait_for_line(doomed, start)
        self.mark()
        log = self.error_txt()
        line = log_line(b"GetLongPathNameW", 2, FILE_NOT_FOUND)
        self.assertTrue(log.startswith(BOM + line), log)
        self.assertEqual(log[len(BOM):].replace(line, b""), b"")
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)

    def test_same_directory_listed_twice_gives_two_batches_per_change(self):
        r = self.root
        self.write_lists([r, r])
        self.start(ready=r)
        first = len(self.batches)
        touch(os.path.join(r, b"both.txt"))
        self.wait_for(lambda: sum(r + b"\n" in b for b in self.batches[first:]) >= 2, "two batches")
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)

    def test_utf16_list_with_crlf_blank_line_and_undecodable_names(self):
        # The root itself has a name that is not UTF-8, and the list is UTF-16LE with CR LF.
        r = os.path.join(self.base, b"r\xe9\xff")
        os.mkdir(r)
        # Escaped bytes cross into UTF-16 as U+DC80..U+DCFF, as Python's surrogateescape.
        listed = r.decode("utf-8", "surrogateescape")
        text = "\ufeff\r\n " + "\r\n" + listed + "\r\n"
        with open(self.watch_list, "wb") as f:
            f.write(text.encode("utf-16-le", "surrogatepass"))
        with open(self.exclusion_list, "wb"):
            pass
        self.start(ready=r)
        start = len(self.lines)
        sub = os.path.join(r, b"caf\xe9")
        os.mkdir(sub)
        touch(os.path.join(sub, b"f"))
        self.wait_for_line(sub, start)
        # The blank line is a path of one blank, which does not exist.
        self.assertEqual(self.error_txt(), BOM + log_line(b"CreateFile", 2, FILE_NOT_FOUND))
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)


class ExclusionTests(WatcherTest):

    def test_prefix_covers_siblings_and_folds_ascii_case_only(self):
        r = self.root
        names = [b"skip", b"skipper", b"keep", b"MiXeD", b"\xc3\x89t\xc3\xa9", b"other"]
        for n in names:
            os.mkdir(os.path.join(r, n))
        # "skip" is a plain text prefix: it covers "skipper" too.  ASCII
        # letters compare without case; the accented E (U+00C9 vs U+00E9) does not.
        self.write_lists([r], [os.path.join(r, b"skip"), os.path.join(r, b"mixed"),
                               os.path.join(r, b"\xc3\xa9t\xc3\xa9")])
        self.start(ready=r)
        start = len(self.lines)
        for n in names:
            touch(os.path.join(r, n, b"f"))
        for n in (b"keep", b"\xc3\x89t\xc3\xa9", b"other"):
            self.wait_for_line(os.path.join(r, n), start)
        end = self.mark()
        reported = set(self.lines[start:end])
        for n in (b"skip", b"skipper", b"MiXeD"):
            self.assertNotIn(os.path.join(r, n), reported)
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)


    def test_list_lines_are_cut_every_32767_units_and_crlf_is_one_line_end(self):
        # The second piece of an over-long line is an entry of its own: here
        # it excludes the first root, while the second root stays reported.
        other = os.path.join(self.base, b"other")
        os.mkdir(other)
        self.write_lists([self.root, other])
        with open(self.exclusion_list, "wb") as f:
            f.write(b"\xef\xbb\xbf" + b"y" * 100 + b"\r\n" + b"x" * 32767 + self.root + b"\r\n")
        self.start(ready=other)
        start = len(self.lines)
        touch(os.path.join(self.root, b"f"))
        touch(os.path.join(other, b"f"))
        self.wait_for_line(other, start)
        self.settle()
        self.assertNotIn(self.root, self.lines[start:])
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)


class ErrorTests(WatcherTest):

    def test_missing_and_file_entries_are_logged_and_the_run_goes_on(self):
        r = self.root
        plain = os.path.join(self.base, b"plain.txt")
        touch(plain)
        self.write_lists([os.path.join(self.base, b"missing"),
                          os.path.join(self.base, b"nope/deeper"),
                          plain, r])
        self.start(ready=r)
        self.assertEqual(self.error_txt(),
                         BOM + log_line(b"CreateFile", 2, FILE_NOT_FOUND)
                         + log_line(b"CreateFile", 3, PATH_NOT_FOUND)
                         + log_line(b"ReadDirectoryChangesW", 87, PARAMETER))
        start = len(self.lines)
        touch(os.path.join(r, b"still.txt"))
        self.wait_for_line(r, start)
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)

    def test_missing_exclusion_list_leaves_only_the_direct_line(self):
        self.write_lists([os.path.join(self.base, b"missing"), self.root])
        os.unlink(self.exclusion_list)
        self.assertEqual(self.run_to_end(None), 2)
        self.assertEqual(self.error_txt(),
                         b"_wfopen(%s) failed: (2) No such file or directory\r\n" % self.exclusion_list)

    def test_no_directory_to_watch_ends_at_once(self):
        # The exclusion list is then never opened, so its absence does no harm.
        self.write_lists([b"", os.path.join(self.base, b"missing")])
        os.unlink(self.exclusion_list)
        self.assertEqual(self.run_to_end(None), 0)

    def test_leftover_first_batch_ends_the_run(self):
        old = os.path.join(self.changelog, b"00000001.txt")
        touch(old, b"from an earlier run\n")
        self.write_lists([self.root])
        self.start()
        deadline = time.time() + WAIT
        while self.watcher.poll() is None and time.time() < deadline:
            touch(os.path.join(self.root, b"f"))
            time.sleep(0.1)
        self.assertEqual(self.finish_watcher(), 24)
        temp = os.path.join(self.changelog, b"temp")
        self.assertEqual(self.error_txt(), b"_wrename(%s, %s) failed: (17) File exists\r\n" % (temp, old))
        with open(old, "rb") as f:
            self.assertEqual(f.read(), b"from an earlier run\n")
        with open(temp, "rb") as f:
            self.assertTrue(f.read().startswith(self.root + b"\n"))

    def test_command_line_failures_write_nothing(self):
        self.write_lists([self.root])
        good = [str(self.host.pid).encode(), self.watch_list, self.exclusion_list, self.changelog]
        # A wrong count gets the usage line, for whoever runs it by hand.
        for args in ([], [b"--help"], good[:3], good + [b"extra"]):
            with self.subTest(args=args):
                self.assertEqual(self.run_to_end(args, stderr=USAGE), 1)
        # ERROR_NO_UNICODE_TRANSLATION, 1113, seen through an 8-bit exit status.
        self.assertEqual(self.run_to_end(good[:2] + [self.exclusion_list + b"\xff", self.changelog]), 1113 & 0xFF)
        self.assertFalse(os.path.exists(os.path.join(self.changelog, b"error.txt")))

    def test_pid_naming_no_process(self):
        with open("/proc/sys/kernel/pid_max") as f:
            pid = int(f.read()) + 1
        self.write_lists([self.root])
        self.assertEqual(self.run_to_end([str(pid).encode(), self.watch_list, self.exclusion_list,
                                          self.changelog]), 105)
        self.assertEqual(self.error_txt(), BOM + log_line(b"OpenProcess", 87, PARAMETER))

    def test_watch_limit_ends_the_run_at_start_or_later(self):
        # The limit is lowered in a user namespace of the watcher's own,
        # which leaves every other process on the machine alone.
        limited = [b"unshare", b"--user", b"--map-root-user", b"sh", b"-c",
                   b'echo 20 > /proc/sys/user/max_inotify_watches && exec "$@"', b"sh"]
        if subprocess.run(limited + [b"true"]).returncode != 0:
            self.skipTest("no user namespace to lower the watch limit in")
        resources = b"Insufficient system resources exist to complete the requested service."
        for at_start in (True, False):
            with self.subTest(at_start=at_start):
                listed = os.path.join(self.root, b"start" if at_start else b"later")
                for i in range(30 if at_start else 5):
                    os.makedirs(os.path.join(listed, b"d%02d" % i))
                self.write_lists([listed])
                self.start(ready=None if at_start else listed, prefix=limited)
                for i in range(0 if at_start else 30):
                    os.makedirs(os.path.join(listed, b"new%02d" % i))
                self.assertEqual(self.finish_watcher(), 10)
                self.assertTrue(self.error_txt().endswith(log_line(b"ReadDirectoryChangesW", 1450, resources)),
                                self.error_txt())
                for name in os.listdir(self.changelog):
                    os.unlink(os.path.join(self.changelog, name))
                self.next_batch, self.lines, self.batches = 1, [], []

    def test_watched_root_removed(self):
        # Its changes are told first; then the read ends with an error.
        listed = os.path.join(self.root, b"listed")
        os.makedirs(os.path.join(listed, b"sub"))
        self.write_lists([listed])
        self.start(ready=listed)
        start = len(self.lines)
        shutil.rmtree(listed)
        self.assertEqual(self.finish_watcher(), 115)
        self.assertTrue(self.error_txt().endswith(
            log_line(b"GetQueuedCompletionStatus", 5, ACCESS_DENIED)), self.error_txt())
        self.collect()
        self.assertIn(listed, self.lines[start:])


class RecoveryTests(WatcherTest):
    """The watcher reads events some time after they happen.  Stopping it
    while the tree changes makes it meet every change late, as a busy
    machine does, so what it finds on the disk no longer matches them."""

    def while_stopped(self, change):
        os.kill(self.watcher.pid, signal.SIGSTOP)
        try:
            change()
        finally:
            os.kill(self.watcher.pid, signal.SIGCONT)

    def test_directories_made_or_renamed_before_the_watcher_looks(self):
        r = self.root
        j = lambda *names: os.path.join(r, *names)

        def parent_renamed():
            os.mkdir(j(b"p", b"a", b"b"))
            os.rename(j(b"p", b"a"), j(b"p", b"c"))

        def name_reused():
            # The directory made first is renamed and its name made again:
            # each must be watched under its own name.
            os.mkdir(j(b"q", b"b"))
            os.rename(j(b"q", b"b"), j(b"q", b"x"))
            os.mkdir(j(b"q", b"b"))

        def moved_twice():
            os.mkdir(j(b"m", b"one"))
            os.rename(j(b"m", b"one"), j(b"m", b"two"))
            os.rename(j(b"m", b"two"), j(b"p", b"three"))

        cases = [
            (parent_renamed, [j(b"p", b"c", b"b")]),
            (name_reused, [j(b"q", b"x"), j(b"q", b"b")]),
            (moved_twice, [j(b"p", b"three")]),
        ]
        for d in (b"p/a", b"q", b"m"):
            os.makedirs(j(d))
        self.write_lists([r])
        self.start(ready=r)
        for change, changed in cases:
            with self.subTest(change=change.__name__):
                self.while_stopped(change)
                self.catch_up()
                # Each directory reported as itself, and only as itself.
                for d in changed:
                    start = len(self.lines)
                    touch(os.path.join(d, b"after"))
                    self.assertEqual(self.told_since(start), {d, r})
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)

    def test_renamed_root_or_ancestor_keeps_the_listed_path(self):
        outer = os.path.join(self.root, b"A")
        listed = os.path.join(outer, b"R")
        other = os.path.join(self.base, b"other")
        os.makedirs(os.path.join(listed, b"old"))
        os.mkdir(other)
        self.write_lists([listed, other])
        self.start(ready=listed)
        start = len(self.lines)
        os.rename(outer, os.path.join(self.root, b"B"))          # an ancestor
        moved = os.path.join(self.outside, b"R2")
        os.rename(os.path.join(self.root, b"B", b"R"), moved)   # the root itself
        os.makedirs(os.path.join(moved, b"new", b"deep"))
        touch(os.path.join(moved, b"new", b"deep", b"f"))
        touch(os.path.join(moved, b"old", b"g"))
        self.wait_for_line(os.path.join(listed, b"new", b"deep"), start)
        self.wait_for_line(os.path.join(listed, b"old"), start)
        touch(os.path.join(other, b"f"))
        self.wait_for_line(other, start)
        self.assertIsNone(self.watcher.poll())
        self.assertFalse([l for l in self.lines[start:] if not l.startswith((listed, other))])
        # The listed path no longer exists, so its long form cannot be had:
        # that is told, and the line written as composed, as Windows does.
        log = self.error_txt()[len(BOM):].replace(log_line(b"GetLongPathNameW", 3, PATH_NOT_FOUND), b"")
        self.assertEqual(log, b"")
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)

    def test_names_with_line_feed_or_cr_are_told_as_the_nearest_plain_ancestor(self):
        r = self.root
        self.write_lists([r])
        self.start(ready=r)
        start = len(self.lines)
        os.makedirs(os.path.join(r, b"a", b"nl\nsecond", b"deeper"))
        os.makedirs(os.path.join(r, b"a", b"b", b"cr\rname"))
        touch(os.path.join(r, b"a", b"nl\nsecond", b"deeper", b"f"))
        touch(os.path.join(r, b"a", b"b", b"cr\rname", b"g"))
        self.assertEqual(self.told_since(start), {r, os.path.join(r, b"a"), os.path.join(r, b"a", b"b")})
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)

    def test_paths_beyond_path_max_up_to_the_longest_line(self):
        r = self.root
        name = b"n" * 200
        # About 6,000 bytes deep before the watcher starts.
        path = r
        for _ in range(30):
            path = os.path.join(path, name)
            mkdir_at(path)
        self.write_lists([r])
        self.start(ready=r)
        start = len(self.lines)
        write_at(os.path.join(path, b"f"))
        self.wait_for_line(path, start)
        # Deeper than any line can be: the deepest directory whose line fits.
        deepest = path
        while len(path) < 33000:
            path = os.path.join(path, name)
            mkdir_at(path)
        start = len(self.lines)
        write_at(os.path.join(path, b"f"))
        told = self.told_since(start)
        # The logic composes "<line>/." in 32767 units.
        while len(os.path.join(deepest, name)) + 2 <= 32767:
            deepest = os.path.join(deepest, name)
        self.assertIn(deepest, told)
        self.assertFalse([l for l in told if len(l) > len(deepest)])
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)
        # Every line came with its long form: nothing in error.txt.
        self.assertFalse(os.path.exists(os.path.join(self.changelog, b"error.txt")))

    def test_directory_made_under_an_unsearchable_ancestor(self):
        # Made while the way to it is shut: watched and reported once the
        # ancestor opens again, or once its parent is moved out from under it.
        r = self.root
        for name in (b"opened", b"moved"):
            os.makedirs(os.path.join(r, name, b"b"))
        self.write_lists([r])
        self.start(ready=r, prefix=NO_CAPS)
        for name in (b"opened", b"moved"):
            os.chmod(os.path.join(r, name), 0)
            os.mkdir(os.path.join(r, name, b"b", b"n"))
        start = self.catch_up()
        os.chmod(os.path.join(r, b"opened"), 0o755)
        os.rename(os.path.join(r, b"moved", b"b"), os.path.join(r, b"b2"))
        for n in (os.path.join(r, b"opened", b"b", b"n"), os.path.join(r, b"b2", b"n")):
            os.mkdir(os.path.join(n, b"m"))
            touch(os.path.join(n, b"f"))
            self.wait_for_line(n, start)
        start = self.catch_up()
        for n in (os.path.join(r, b"opened", b"b", b"n"), os.path.join(r, b"b2", b"n")):
            touch(os.path.join(n, b"m", b"g"))
            self.wait_for_line(os.path.join(n, b"m"), start)
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)

    def test_unreadable_directory_is_left_out_until_it_can_be_read(self):
        # As root, permission bits stop nothing: the watcher runs without
        # any capability, so a mode-000 directory is refused to it.
        r = self.root
        locked = os.path.join(r, b"locked")
        os.makedirs(os.path.join(locked, b"inside"))
        os.chmod(locked, 0)
        self.write_lists([r])
        self.start(ready=r, prefix=NO_CAPS)
        self.assertEqual(self.error_txt(), BOM + log_line(b"inotify_add_watch", 5, ACCESS_DENIED))
        start = len(self.lines)
        touch(os.path.join(locked, b"inside", b"unseen"))
        os.mkdir(os.path.join(r, b"open"))
        touch(os.path.join(r, b"open", b"f"))
        self.wait_for_line(os.path.join(r, b"open"), start)
        self.assertNotIn(os.path.join(locked, b"inside"), self.told_since(start))
        # Readable now: watched, and reported so the host looks at it.
        start = len(self.lines)
        os.chmod(locked, 0o755)
        self.wait_for_line(os.path.join(locked, b"inside"), start)
        start = self.catch_up()
        touch(os.path.join(locked, b"inside", b"seen"))
        self.wait_for_line(os.path.join(locked, b"inside"), start)
        self.assertEqual(self.error_txt(), BOM + log_line(b"inotify_add_watch", 5, ACCESS_DENIED))
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)


class HostTests(WatcherTest):

    def test_host_ending_while_idle(self):
        self.write_lists([self.root])
        self.start(ready=self.root)
        self.end_host()
        # The idle loop asks once a second.
        self.assertEqual(self.finish_watcher(timeout=5), 0)

    def test_host_ending_while_busy(self):
        self.write_lists([self.root])
        self.start(ready=self.root)
        stop = threading.Event()

        def churn():
            i = 0
            while not stop.is_set():
                touch(os.path.join(self.root, b"busy%d" % (i % 50)))
                i += 1
        writer = threading.Thread(target=churn)
        writer.start()
        try:
            reader_deadline = time.time() + 1.0
            while time.time() < reader_deadline:
                self.collect()
                time.sleep(0.01)
            busy = len(self.batches)
            self.end_host()
            while self.watcher.poll() is None and time.time() < reader_deadline + WAIT:
                self.collect()
                time.sleep(0.01)
        finally:
            stop.set()
            writer.join()
        self.assertGreater(busy, 5, "the churn did not keep the watcher busy")
        self.assertEqual(self.finish_watcher(), 0)


class BurstTests(WatcherTest):

    def burst(self, dirs, files):
        out = subprocess.run([BURST, self.root, str(dirs), str(files)], check=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE).stdout
        return out.split()

    # The root is listed with a trailing separator: its own line from a
    # zero-byte completion keeps it, lines made from change names do not.

    def test_every_changed_directory_is_reported(self):
        self.write_lists([self.root + b"/"])
        self.start(ready=self.root)
        start = len(self.lines)
        made = set(self.burst(2000, 5))
        self.assertEqual(len(made), 2000)

        def covered():
            seen = set(self.lines[start:])
            # After a queue overflow the root's own line stands for everything.
            return self.root + b"/" in seen or made <= seen
        self.wait_for(covered, "every burst directory")
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)

    def test_queue_overflow_is_a_zero_byte_completion(self):
        self.write_lists([self.root + b"/"])
        self.start(ready=self.root)
        # Fill watched directories, then change them all while the watcher
        # sleeps, so the kernel queue overflows before it reads a thing.
        # (Lowering the limit instead would touch every process on the machine.)
        with open(QUEUED_EVENTS) as f:
            limit = int(f.read())
        dirs = limit // 8 + 500    # at least two events per file, five files per directory
        if dirs > 20000:
            self.skipTest("inotify queue limit %d too large to overflow" % limit)
        made = set(self.burst(dirs, 5))
        self.settle()
        os.kill(self.watcher.pid, signal.SIGSTOP)
        try:
            self.burst(dirs, 5)
        finally:
            os.kill(self.watcher.pid, signal.SIGCONT)
        # The zero-byte completion: a batch of exactly the listed root.
        self.wait_for(lambda: self.root + b"/\n" in self.batches, "the root's own batch")
        # Then every directory of the tree, so a host that lists again what
        # the lines name misses none of the dropped changes.
        after = self.lines.index(self.root + b"/")
        self.wait_for(lambda: made | {self.root} <= set(self.lines[after:]), "every directory after the overflow")
        # The tree was watched again from the disk afterwards.
        start = len(self.lines)
        touch(os.path.join(self.root, b"d00150", b"after.txt"))
        self.wait_for_line(os.path.join(self.root, b"d00150"), start)
        self.end_host()
        self.assertEqual(self.finish_watcher(), 0)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: test_linux_watcher.py DIR_WATCHER BURST [unittest arguments]")
    WATCHER, BURST = find_dir_watcher(sys.argv[1]), sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
