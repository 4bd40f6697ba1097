"""Batch collection, error reporting, and real dir_watcher runs."""

import logging
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from corvamire import watcher as wt
from corvamire.tests.helpers import TempDirTest


# Writes into the directory it is given every millisecond until its input
# closes; says "busy" once it has begun.
BUSY_WRITER = """
import os, sys, threading, time
done = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), done.set())).start()
n = 0
while not done.is_set():
    with open(os.path.join(sys.argv[1], "f%d" % (n % 8)), "wb") as f:
        f.write(b"x")
    if n == 0:
        sys.stdout.write("busy\\n")
        sys.stdout.flush()
    n += 1
    time.sleep(0.001)
"""


# A host that starts a watcher and is then killed outright: it prints its
# Watcher's private directory first.
KILLED_HOST = """
import os, signal, sys
from corvamire import watcher
w = watcher.Watcher([sys.argv[1]])
w.start()
w.wait_until_watching()
sys.stdout.write(w.work_dir + "\\n")
sys.stdout.flush()
os.kill(os.getpid(), signal.SIGKILL)
"""


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


class CollectTest(TempDirTest):

    prefix = "changelog-"

    def test_batches_in_number_order_and_removed(self):
        write(os.path.join(self.dir, "00000002.txt"), b"/w/b\n/w/b\n")
        write(os.path.join(self.dir, "00000001.txt"), b"/w\n")
        # Past eight digits the name grows, and sorting names would put
        # it first.
        write(os.path.join(self.dir, "100000000.txt"), b"/w/c\n")
        write(os.path.join(self.dir, "99999999.txt"),
              u"/w/\u00e9t\u00e9\n".encode("utf-8"))
        for other in ("temp", "error.txt", "1234.txt", "00000003.txt.bak"):
            write(os.path.join(self.dir, other), b"not a batch\n")
        batches = wt.collect_batches(self.dir)
        self.assertEqual([b.number for b in batches],
                         [1, 2, 99999999, 100000000])
        # Lines are kept as written, repeats included; dirs has each once.
        self.assertEqual(batches[1].paths, [u"/w/b", u"/w/b"])
        self.assertEqual(batches[1].dirs, [u"/w/b"])
        self.assertEqual(wt.Batch(5, ["/b", "/a", "/b", "/c", "/a"]).dirs,
                         ["/b", "/a", "/c"])
        self.assertEqual(batches[2].paths, [u"/w/\u00e9t\u00e9"])
        self.assertEqual(sorted(os.listdir(self.dir)),
                         ["00000003.txt.bak", "1234.txt", "error.txt",
                          "temp"])
        self.assertEqual(wt.collect_batches(self.dir), [])

    def test_name_that_is_not_utf8_survives(self):
        write(os.path.join(self.dir, "00000001.txt"), b"/w/\xff\n")
        path = wt.collect_batches(self.dir)[0].paths[0]
        if isinstance(path, bytes):
            self.assertEqual(path, b"/w/\xff")
        else:
            self.assertEqual(path.encode("utf-8", "surrogateescape"),
                             b"/w/\xff")

    @unittest.skipIf(sys.version_info[0] < 3, "bytes are str on Python 2")
    def test_bytes_directory_gives_lines_byte_for_byte(self):
        write(os.path.join(self.dir, "00000001.txt"), b"/w/\xff\n/w\r\n")
        batches = wt.collect_batches(self.dir.encode())
        self.assertEqual(batches, [wt.Batch(1, [b"/w/\xff", b"/w\r"])])
        for data in (b"/w/a\n/w/cut", b""):
            write(os.path.join(self.dir, "00000002.txt"), data)
            self.assertRaises(ValueError, wt.collect_batches,
                              self.dir.encode())
            self.assertEqual(os.listdir(self.dir), [])


class ErrorReportTest(unittest.TestCase):

    def test_appended_lines_with_mark_and_message_breaks(self):
        # What the watcher's appending writes look like on disk: a
        # byte-order mark, CR LF, and the system text's own CR LF.
        data = (b"\xef\xbb\xbfCreateFile 0x0002 The system cannot find the"
                b" file specified.\r\r\n\r\n"
                b"ReadDirectoryChangesW 0x0057 The parameter is"
                b" incorrect.\r\r\n\r\n")
        self.assertEqual(wt.parse_error_log(data), [
            u"CreateFile 0x0002 The system cannot find the file specified.",
            u"ReadDirectoryChangesW 0x0057 The parameter is incorrect."])

    def test_replacing_line(self):
        data = (b"_wfopen(C:\\w\\ex.txt) failed: (2) No such file or"
                b" directory\r\n")
        self.assertEqual(wt.parse_error_log(data), [
            u"_wfopen(C:\\w\\ex.txt) failed: (2) No such file or directory"])

    def test_messages(self):
        text = wt.describe_exit(2, [u"_wfopen(x) failed: (2) gone"])
        self.assertEqual(text.split("\n"), [
            "dir_watcher exited with code 2: a list file cannot be opened"
            " or read",
            "  error.txt: _wfopen(x) failed: (2) gone"])
        self.assertIn("earlier run", wt.describe_exit(24))
        self.assertIn("not valid UTF-8", wt.describe_exit(1113))
        self.assertIn("1113 cut to 8 bits", wt.describe_exit(89))
        self.assertIn("changelog directory's path is too long",
                      wt.describe_exit(206))
        # The watch limit: the system's text alone does not say which.
        limit = wt.describe_exit(10, [
            u"ReadDirectoryChangesW 0x05AA Insufficient system resources"
            u" exist to complete the requested service."])
        self.assertIn("hint: ", limit)
        self.assertIn("fs.inotify.max_user_watches", limit)
        self.assertNotIn("hint", wt.describe_exit(10, [
            u"ReadDirectoryChangesW 0x0005 Access is denied."]))
        self.assertIn("code 87: an error code of the system",
                      wt.describe_exit(87))
        self.assertIn("stopped by the host",
                      wt.describe_exit(-15, stopped=True))
        self.assertIn("signal 9", wt.describe_exit(-9))


def dead_pid():
    """The id of a process that has ended and been reaped."""
    proc = subprocess.Popen([sys.executable, "-c", "pass"])
    proc.wait()
    return proc.pid


class WatcherFilesTest(TempDirTest):
    """What Watcher does with its files before the program runs (any
    existing file stands in for the program)."""

    prefix = "changelog-"

    def setUp(self):
        TempDirTest.setUp(self)
        self.watched = tempfile.mkdtemp(prefix="watched-")
        self.addCleanup(shutil.rmtree, self.watched, True)

    def make(self, watch=None, **kw):
        w = wt.Watcher(watch or [self.watched], ["/w/skip"],
                       changelog_dir=self.dir, binary=sys.executable, **kw)
        self.addCleanup(w.close)
        return w

    def test_lists_and_leftover_batches(self):
        write(os.path.join(self.dir, "00000001.txt"), b"/old/run\n")
        w = self.make(probe=False)
        # Taken out before the run, so the new run can number from 1.
        self.assertFalse(os.path.exists(os.path.join(self.dir,
                                                     "00000001.txt")))
        write(os.path.join(self.dir, "00000001.txt"), b"/new/run\n")
        self.assertEqual(w.collect(), [wt.Batch(1, [u"/old/run"]),
                                       wt.Batch(1, [u"/new/run"])])
        with open(w.watch_list, "rb") as f:
            self.assertEqual(f.read(), self.watched.encode("utf-8") + b"\n")
        wt.write_list(w.watch_list, [u"/w/\u00e9"])
        with open(w.watch_list, "rb") as f:
            self.assertEqual(f.read(), u"/w/\u00e9\n".encode("utf-8"))
        self.assertRaises(ValueError, wt.write_list, w.watch_list,
                          ["a\nb"])

    def test_unwatchable_directories_named_at_start(self):
        a_file = os.path.join(self.watched, "file")
        write(a_file, b"")
        cases = [(os.path.join(self.watched, "absent"), "No such file"),
                 (os.path.join(self.watched, u"\u00e9t\u00e9"),
                  "No such file"),
                 (a_file, "not a directory"),
                 (os.path.join(a_file, "below"), "Not a directory")]
        if os.geteuid() != 0:      # root reads and searches any directory
            for name, mode in (("unreadable", 0o300), ("closed", 0o600)):
                path = os.path.join(self.watched, name)
                os.mkdir(path, mode)
                os.chmod(path, mode)
                self.addCleanup(os.chmod, path, 0o700)
                cases.append((path, "Permission denied"))
        with self.assertRaises(wt.WatcherError) as raised:
            self.make([self.watched] + [path for path, _ in cases])
        message = str(raised.exception)
        for path, why in cases:
            named = u"%s (%s" % (path, why)
            if sys.version_info[0] < 3:
                named = named.encode("utf-8")
            self.assertIn(named, message)
        self.assertNotIn(self.watched + " ", message)

    def test_logged_lines_name_the_path_they_concern(self):
        records = Records.kept_for(self)
        gone = os.path.join(self.watched, "gone")
        os.mkdir(gone)
        w = self.make([self.watched, gone])
        os.rmdir(gone)
        cases = [
            ("CreateFile 0x0002 The system cannot find the file specified.",
             gone),
            ("CreateFile temp changelog 0x0005 Access is denied.", self.dir),
            ("WriteFile temp changelog 0x0070 There is not enough space on"
             " the disk.", self.dir),
            ("openat 0x0005 Access is denied.", None),
            ("_wfopen(/w/x) failed: (2) No such file or directory", None),
        ]
        with open(os.path.join(self.dir, "error.txt"), "ab") as f:
            f.write(b"".join(line.encode() + b"\r\n" for line, _ in cases))
        w.collect()
        self.assertEqual(records.messages, [
            "dir_watcher: " + (path + ": " if path else "") + line
            for line, path in cases])
        self.assertEqual([getattr(r, "path", None) for r in records.records],
                         [path for _, path in cases])

    def test_stale_work_dirs_removed_at_start(self):
        parent = tempfile.mkdtemp(prefix="tmp-")
        self.addCleanup(shutil.rmtree, parent)
        dead, alive = dead_pid(), os.getpid()
        mark = wt.OWNER_MARK + "\n"
        cases = [  # name, owner file (None: none), removed
            ("corvamire-watcher-dead", mark + "%d %d\n" % (dead, dead), True),
            ("corvamire-watcher-live", mark + "%d %d\n" % (dead, alive),
             False),
            ("corvamire-watcher-unmarked", None, False),
            ("corvamire-watcher-other", "other\n%d\n" % dead, False),
            ("corvamire-watcher-group", mark + "0\n", False),
            ("corvamire-watcher-empty", mark, False),
            ("other-dead", mark + "%d\n" % dead, False),
        ]
        for name, owner, _ in cases:
            os.mkdir(os.path.join(parent, name))
            if owner is not None:
                write(os.path.join(parent, name, wt.OWNER_FILE),
                      owner.encode())
        # A link to a stale directory is not followed.
        os.symlink(os.path.join(parent, "other-dead"),
                   os.path.join(parent, "corvamire-watcher-link"))
        saved, tempfile.tempdir = tempfile.tempdir, parent
        try:
            w = self.make()
        finally:
            tempfile.tempdir = saved
        self.assertEqual(sorted(os.listdir(parent)), sorted(
            [name for name, _, removed in cases if not removed]
            + ["corvamire-watcher-link", os.path.basename(w.work_dir)]))
        # The new one names this process, so the next start keeps it.
        self.assertEqual(wt.remove_stale_work_dirs(parent), [])

    def test_error_lines_of_this_run_only(self):
        log = os.path.join(self.dir, "error.txt")
        write(log, b"\xef\xbb\xbfCreateFile 0x0002 old\r\n")
        w = self.make()
        self.assertEqual(w.error_lines(), [])
        with open(log, "ab") as f:
            f.write(b"CreateFile 0x0003 new\r\n")
        self.assertEqual(w.error_lines(), [u"CreateFile 0x0003 new"])
        write(log, b"_wfopen(x) failed: (2) gone\r\n")
        self.assertEqual(w.error_lines(), [u"_wfopen(x) failed: (2) gone"])

    def test_finding_the_program(self):
        self.assertEqual(wt.find_dir_watcher(sys.executable), sys.executable)
        missing = os.path.join(self.dir, "nothing")
        self.assertRaises(wt.WatcherError, wt.find_dir_watcher, missing)
        saved = os.environ.get("DIR_WATCHER")
        try:
            os.environ["DIR_WATCHER"] = sys.executable
            self.assertEqual(wt.find_dir_watcher(), sys.executable)
        finally:
            if saved is None:
                del os.environ["DIR_WATCHER"]
            else:
                os.environ["DIR_WATCHER"] = saved


class Records(logging.Handler):
    """Keeps the records logged through it and their messages."""

    def __init__(self, name):
        logging.Handler.__init__(self)
        self.messages = []
        self.records = []
        self.logger = logging.getLogger(name)
        self.logger.addHandler(self)

    @classmethod
    def kept_for(cls, test, name="corvamire.watcher"):
        """The records of `name` logged while `test` runs."""
        records = cls(name)
        test.addCleanup(records.logger.removeHandler, records)
        return records

    def emit(self, record):
        self.records.append(record)
        self.messages.append(record.getMessage())


class RunTest(TempDirTest):
    """The real program: found through DIR_WATCHER or the build tree."""

    prefix = "watch-run-"

    def setUp(self):
        TempDirTest.setUp(self)
        self.tree = os.path.join(self.dir, "tree")
        for d in ("a/b", "skip/c"):
            os.makedirs(os.path.join(self.tree, *d.split("/")))

    def start(self, watch, exclude=(), **kw):
        w = wt.Watcher(watch, exclude, **kw)
        self.addCleanup(w.close)
        self.addCleanup(w.stop)
        return w

    def collect_until(self, w, want, timeout=10):
        batches = []
        deadline = time.time() + timeout
        while time.time() < deadline:
            batches.extend(w.collect())
            seen = set(p for b in batches for p in b.paths)
            if want <= seen:
                break
            w.check()
            time.sleep(0.05)
        time.sleep(0.2)
        return batches + w.collect()

    def test_changes_reported_by_directory_and_excluded(self):
        w = self.start([self.tree], [os.path.join(self.tree, "skip")])
        w.start()
        w.wait_until_watching()
        write(os.path.join(self.tree, "skip", "c", "x"), b"x")
        write(os.path.join(self.tree, "a", "b", "f"), b"f")
        write(os.path.join(self.tree, "top"), b"t")
        want = set([os.path.join(self.tree, "a", "b"), self.tree])
        batches = self.collect_until(w, want)
        seen = set(p for b in batches for p in b.paths)
        self.assertEqual(seen, want)
        numbers = [b.number for b in batches]
        self.assertEqual(numbers, sorted(set(numbers)))
        self.assertFalse([n for n in os.listdir(w.changelog_dir)
                          if wt.BATCH_NAME.match(n)])
        self.assertIsNone(w.poll())
        self.assertEqual(w.error_lines(), [])

    def test_nothing_lost_at_start_up(self):
        # Batches of an earlier run, and the changes of a process busy in
        # the tree while the watcher gets ready, all come back: the first
        # batch of the run included.  The tree's root is watched first,
        # then its many directories, and only then the helper's probe, so
        # the first batches are the writer's.
        changelog = tempfile.mkdtemp(prefix="changelog-")
        self.addCleanup(shutil.rmtree, changelog)
        write(os.path.join(changelog, "00000001.txt"), b"/old/one\n")
        write(os.path.join(changelog, "00000002.txt"), b"/old/two\n")
        for n in range(1000):
            os.mkdir(os.path.join(self.tree, "d%d" % n))
        busy = self.tree
        writer = subprocess.Popen([sys.executable, "-c", BUSY_WRITER, busy],
                                  stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        self.addCleanup(writer.wait)
        self.addCleanup(writer.stdin.close)
        self.assertEqual(writer.stdout.readline(), b"busy\n")
        writer.stdout.close()
        w = self.start([self.tree], changelog_dir=changelog)
        w.start()
        w.wait_until_watching()
        writer.stdin.close()
        writer.wait()
        batches = w.collect()
        self.assertEqual(batches[:2], [wt.Batch(1, [u"/old/one"]),
                                       wt.Batch(2, [u"/old/two"])])
        marker = os.path.join(self.tree, "a")
        write(os.path.join(marker, "last"), b"")
        new = batches[2:] + self.collect_until(w, set([marker]))
        numbers = [b.number for b in new]
        self.assertEqual(numbers[:1], [1], numbers)
        self.assertEqual(numbers, sorted(set(numbers)))
        self.assertIn(busy, set(p for b in new[:1] for p in b.paths))

    def test_context_manager_iterator_and_logged_errors(self):
        records = Records.kept_for(self)
        # Gone after the start-up check: the program's line for it goes on
        # to the log, with the path, and the run goes on.
        absent = os.path.join(self.tree, "absent")
        os.mkdir(absent)
        w = wt.Watcher([absent, self.tree])
        os.rmdir(absent)
        with w:
            # Ready on entry: these changes are seen.
            write(os.path.join(self.tree, "a", "b", "f"), b"f")
            write(os.path.join(self.tree, "top"), b"t")
            started = time.time()
            batches = list(w.batches(timeout=1.0))
            waited = time.time() - started
            self.assertIsNone(w.poll())
        # Left: the watcher is stopped and its files are gone.
        self.assertIsNotNone(w.poll())
        self.assertFalse(os.path.exists(w.work_dir))
        self.assertTrue(1.0 <= waited < 5.0, waited)
        numbers = [b.number for b in batches]
        self.assertEqual(numbers, sorted(set(numbers)))
        self.assertEqual(set(d for b in batches for d in b.dirs),
                         set([os.path.join(self.tree, "a", "b"), self.tree]))
        # The absent directory's line was logged once, as it appeared.
        self.assertEqual(len(records.messages), 1, records.messages)
        self.assertTrue(re.match(r"dir_watcher: %s: CreateFile 0x000[23] "
                                 % re.escape(absent), records.messages[0]),
                        records.messages)
        self.assertIn("stopped by the host", w.describe())

    def test_ends_with_its_host(self):
        host = subprocess.Popen([sys.executable, "-c",
                                 "import sys; sys.stdin.read()"],
                                stdin=subprocess.PIPE)
        self.addCleanup(host.wait)
        self.addCleanup(host.stdin.close)
        w = self.start([self.tree], host_pid=host.pid)
        w.start()
        w.wait_until_watching()
        self.assertIsNone(w.poll())
        host.stdin.close()
        host.wait()
        # With no timeout the iterator ends when the watcher does.
        self.assertEqual(list(w.batches()), [])
        self.assertEqual(w.wait(10), 0)
        self.assertIn("exited with code 0", w.describe())

    def test_missing_exclusion_list(self):
        records = Records.kept_for(self)
        absent = os.path.join(self.tree, "absent")
        os.mkdir(absent)
        w = self.start([self.tree, absent])
        os.rmdir(absent)
        os.remove(w.exclusion_list)
        w.start()
        self.assertEqual(w.wait(10), 2)
        lines = w.error_lines()
        # The replacing write leaves only its own line, even though the
        # absent directory was logged first.
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith(
            "_wfopen(%s) failed: (2) " % w.exclusion_list), lines)
        self.assertRaises(wt.WatcherError, w.check)
        self.assertRaises(wt.WatcherError, list, w.batches())
        self.assertIn("code 2: a list file", w.describe())
        self.assertEqual(records.messages, ["dir_watcher: " + lines[0]])

    def test_killed_host_leaves_its_dir_to_the_next_start(self):
        parent = tempfile.mkdtemp(prefix="tmp-")
        self.addCleanup(shutil.rmtree, parent)
        env = dict(os.environ, TMPDIR=parent, PYTHONPATH=wt.repo_root())
        host = subprocess.Popen([sys.executable, "-c", KILLED_HOST,
                                 self.tree], env=env, stdout=subprocess.PIPE)
        work_dir = host.communicate()[0].decode().strip()
        self.assertEqual(host.returncode, -signal.SIGKILL)
        self.assertEqual(os.listdir(parent), [os.path.basename(work_dir)])
        with open(os.path.join(work_dir, wt.OWNER_FILE)) as f:
            watcher_pid = int(f.read().split()[-1])
        # The orphaned watcher ends about a second after its host.
        deadline = time.time() + 10
        while wt._pid_alive(watcher_pid) and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(wt.remove_stale_work_dirs(parent), [work_dir])
        self.assertEqual(os.listdir(parent), [])


if __name__ == "__main__":
    unittest.main()
