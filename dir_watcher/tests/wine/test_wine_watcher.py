"""End-to-end tests of the cross-built dir_watcher.exe under Wine.

One fresh Wine prefix for the whole run (booting one takes seconds), the
program and its helpers started with `wine` and Z:\\ paths.  Wine differs
from Windows in ways the tests allow for:
- its FormatMessageW texts are its own: lines are checked for their step
  text and code, not the message;
- a subtree watch sees changes in a subdirectory that existed before the
  watch only after some Wine process has opened it (open_dir.exe does);
- the host must be a Windows process of the same Wine server, so a
  stand-in (stand_in_host.exe) plays it and is ended by closing its input.
"""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

WINE = os.environ.get("WINE") or "wine"
WATCHER = os.environ.get("DIR_WATCHER_EXE", "")
OPEN_DIR = os.environ.get("OPEN_DIR_EXE", "")
STAND_IN_HOST = os.environ.get("STAND_IN_HOST_EXE", "")

BOM = b"\xef\xbb\xbf"
# After the step text and code, Wine's own message, whose CR LF the text
# mode writes as CR CR LF, then the line's own LF as CR LF.
MESSAGE = r" [^\r\n]*(?:\r\r\n)?\r\n"
NO_SUCH_PROCESS = 4000000                # far beyond any pid of a fresh prefix

env = dict(os.environ)
scratch = None


def setUpModule():
    global scratch
    for path in (WATCHER, OPEN_DIR, STAND_IN_HOST):
        if not os.path.isfile(path):
            raise AssertionError("not built (the Windows cross build makes it): %r" % path)
    if not shutil.which(WINE):
        raise AssertionError("wine not found: %r" % WINE)
    scratch = tempfile.mkdtemp(prefix="dir_watcher_wine_")
    env.update(WINEPREFIX=os.path.join(scratch, "prefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")  # no Mono or Gecko installers
    env.pop("DISPLAY", None)                         # nothing here needs a screen
    subprocess.run([WINE, "wineboot", "-i"], env=env, check=True, timeout=180,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def tearDownModule():
    if scratch:
        subprocess.run(["wineserver", "-k"], env=env, timeout=60)
        shutil.rmtree(scratch, ignore_errors=True)


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_run(*args, timeout=60):
    return subprocess.run([WINE] + list(args), env=env, timeout=timeout,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wait_for(predicate, timeout=10.0, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def touch(path):
    with open(path, "ab") as f:
        f.write(b"x")


class Host:
    """A running stand-in host: a Windows pid that ends when told to."""

    def __init__(self):
        self.process = subprocess.Popen([WINE, STAND_IN_HOST], env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.pid = int(self.process.stdout.readline())

    def end(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(timeout=30)
        self.process.stdout.close()


class Run:
    """One watcher run in its own directory: lists, changelog, watched trees."""

    def __init__(self, test):
        self.test = test
        self.root = tempfile.mkdtemp(prefix="run_", dir=scratch)
        self.changelog = os.path.join(self.root, "changelog")
        os.mkdir(self.changelog)
        self.watch_list = os.path.join(self.root, "watch.txt")
        self.exclusion_list = os.path.join(self.root, "exclude.txt")
        self.error_txt = os.path.join(self.changelog, "error.txt")
        self.process = None
        self.host = None
        test.addCleanup(self.stop)

    def tree(self, *parts):
        path = os.path.join(self.root, *parts)
        os.makedirs(path, exist_ok=True)
        return path

    def write_list(self, path, lines, ending="\r\n", bom=b""):
        with open(path, "wb") as f:
            f.write(bom + "".join(line + ending for line in lines).encode("utf-8"))

    def args(self, pid):
        return [str(pid), winpath(self.watch_list), winpath(self.exclusion_list),
                winpath(self.changelog)]

    def run(self, pid=0, timeout=60):
        return wine_run(WATCHER, *self.args(pid), timeout=timeout).returncode

    def start(self):
        self.host = Host()
        self.process = subprocess.Popen([WINE, WATCHER] + self.args(self.host.pid), env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def arm(self, directory):
        """Returns once a change in `directory` has shown up in a batch, which
        proves the watch is armed, with the changelog emptied again (as the
        host does when it takes batches)."""
        probe = os.path.join(directory, "arming")

        def batch_seen():
            touch(probe)
            return self.batch_names() or self.process.poll() is not None

        self.test.assertTrue(wait_for(batch_seen, 15.0, 0.3), "the watch never reported a change")
        self.test.assertIsNone(self.process.poll(), "the watcher ended while arming")
        time.sleep(0.5)   # let the probe's last notifications drain
        self.take_batches()

    def batch_names(self):
        return sorted(n for n in os.listdir(self.changelog) if re.fullmatch(r"\d{8,}\.txt", n))

    def take_batches(self):
        """Moves every batch out of the changelog and returns their lines,
        one list per batch."""
        batches = []
        for name in self.batch_names():
            path = os.path.join(self.changelog, name)
            with open(path, "rb") as f:
                data = f.read()
            os.remove(path)
            self.test.assertTrue(data.endswith(b"\n") and b"\r" not in data, data)
            self.test.assertFalse(data.startswith(BOM), data)
            batches.append(data.decode("utf-8").split("\n")[:-1])
        return batches

    def take_lines(self):
        return [line for batch in self.take_batches() for line in batch]

    def drain(self, quiet=0.5, timeout=10.0):
        """Takes batches until none has come for `quiet` seconds: a change
        can bring more than one notification, the last of them late on a
        busy machine."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            time.sleep(quiet)
            if not self.take_lines():
                return

    def lines_until(self, wanted, timeout=10.0):
        """Collects batch lines until every line of `wanted` has been seen."""
        seen = []

        def complete():
            seen.extend(self.take_lines())
            return set(wanted) <= set(seen)

        wait_for(complete, timeout)
        return seen

    def end_host(self):
        """Ends the host; returns the watcher's exit code and how long it took."""
        self.host.end()
        started = time.monotonic()
        code = self.process.wait(timeout=30)
        return code, time.monotonic() - started

    def error_txt_bytes(self):
        with open(self.error_txt, "rb") as f:
            return f.read()

    def stop(self):
        if self.host:
            self.host.end()
        if self.process and self.process.poll() is None:
            self.process.kill()   # the wine process we started; wineserver tidies up
            self.process.wait(timeout=30)


class StartupTests(unittest.TestCase):
    def test_argument_count_other_than_four_ends_with_1_and_no_log(self):
        run = Run(self)
        args = run.args(0)
        self.assertEqual(wine_run(WATCHER, *args[:3]).returncode, 1)
        self.assertEqual(wine_run(WATCHER, *(args + ["extra"])).returncode, 1)
        self.assertFalse(os.path.exists(run.error_txt))

    def test_command_line_that_is_not_utf8_ends_with_the_decoding_error(self):
        # Wine hands the narrow command line over in the ANSI code page
        # (1252 for this locale), so an "e acute" arrives as the lone byte
        # E9, which is not UTF-8: ERROR_NO_UNICODE_TRANSLATION (1113) is the
        # exit code, whose low byte (89) is what a POSIX status keeps.
        run = Run(self)
        args = run.args(0)
        args[1] = winpath(os.path.join(run.root, "caf\u00e9.txt"))
        result = subprocess.run([WINE, WATCHER] + args, env=dict(env, LC_ALL="C.UTF-8"),
                                timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertEqual(result.returncode, 1113 & 0xFF)
        self.assertFalse(os.path.exists(run.error_txt))

    def test_pid_that_names_no_process_ends_with_105_and_a_bom_crlf_log_line(self):
        run = Run(self)
        run.write_list(run.watch_list, [winpath(run.tree("w"))])
        run.write_list(run.exclusion_list, [])
        self.assertEqual(run.run(NO_SUCH_PROCESS), 105)
        data = run.error_txt_bytes()
        # UTF-8 text mode: a byte-order mark starts the new file, LF is CR LF.
        self.assertTrue(data.startswith(BOM), data)
        self.assertRegex(data[3:].decode("utf-8"), r"\AOpenProcess 0x0057" + MESSAGE + r"\Z")

    def test_log_lines_append_across_runs_with_one_bom(self):
        run = Run(self)
        run.write_list(run.watch_list, [winpath(run.tree("w"))])
        run.write_list(run.exclusion_list, [])
        self.assertEqual(run.run(NO_SUCH_PROCESS), 105)
        self.assertEqual(run.run(NO_SUCH_PROCESS), 105)
        text = run.error_txt_bytes()
        self.assertEqual(text.count(BOM), 1)
        self.assertRegex(text[3:].decode("utf-8"),
                         r"\A(?:OpenProcess 0x0057%s){2}\Z" % MESSAGE)

    def test_missing_watch_list_ends_with_2_and_a_direct_line_naming_it(self):
        run = Run(self)
        run.write_list(run.exclusion_list, [])
        self.assertEqual(run.run(), 2)
        # A direct line replaces the file: narrow text mode, no mark, CR LF,
        # and errno 2 (ENOENT) with the runtime's text for it.
        self.assertRegex(run.error_txt_bytes().decode("ascii"),
                         r"^_wfopen\(%s\) failed: \(2\) [^\r\n]+\r\n$" % re.escape(winpath(run.watch_list)))

    def test_empty_watch_list_ends_with_0_without_opening_the_exclusions(self):
        run = Run(self)
        run.write_list(run.watch_list, ["", ""])   # only empty lines; no exclusion file
        self.assertEqual(run.run(0), 0)
        self.assertFalse(os.path.exists(run.error_txt))

    def test_missing_directory_is_logged_then_a_missing_exclusion_list_replaces_the_log(self):
        run = Run(self)
        missing = winpath(os.path.join(run.root, "missing"))
        run.write_list(run.watch_list, [missing, winpath(run.tree("w"))])
        self.assertEqual(run.run(), 2)
        self.assertRegex(run.error_txt_bytes().decode("ascii"),
                         r"^_wfopen\(%s\) failed: \(2\) [^\r\n]+\r\n$" % re.escape(winpath(run.exclusion_list)))

    def test_only_missing_directories_end_with_0_after_logging_them(self):
        run = Run(self)
        run.write_list(run.watch_list, [winpath(os.path.join(run.root, "missing"))])
        self.assertEqual(run.run(), 0)
        self.assertRegex(run.error_txt_bytes().decode("utf-8"),
                         r"\A\ufeffCreateFile 0x000[23]" + MESSAGE + r"\Z")


class ChangeTests(unittest.TestCase):
    def test_changes_in_the_watched_directory_and_an_opened_subdirectory(self):
        run = Run(self)
        watched = run.tree("watched")
        sub = run.tree("watched", "sub", "deeper")
        levels = [winpath(os.path.dirname(sub)), winpath(sub)]
        missing = winpath(os.path.join(run.root, "missing"))
        # A byte-order mark and CR LF line ends, which the list reading drops.
        run.write_list(run.watch_list, ["", missing, winpath(watched)], bom=BOM)
        run.write_list(run.exclusion_list, [])
        run.start()
        run.arm(watched)

        # Not fatal: the missing directory left its line and the run went on.
        self.assertRegex(run.error_txt_bytes().decode("utf-8"),
                         r"\A\ufeffCreateFile 0x000[23]" + MESSAGE + r"\Z")

        touch(os.path.join(watched, "a.txt"))
        lines = run.lines_until([winpath(watched)])
        self.assertTrue(lines)
        self.assertEqual(set(lines), {winpath(watched)})
        run.drain()

        # Wine extends the subtree watch one opened level at a time.
        self.assertEqual(wine_run(OPEN_DIR, *levels).returncode, 0)
        touch(os.path.join(sub, "b.txt"))
        lines = run.lines_until([winpath(sub)])
        self.assertEqual(set(lines), {winpath(sub)}, "the subtree watch, after open_dir.exe")

        code, took = run.end_host()
        self.assertEqual(code, 0)
        self.assertLess(took, 5.0, "an idle watcher notices the host's end within about a second")
        self.assertFalse(os.path.exists(os.path.join(run.changelog, "temp")))

    def test_exclusions_are_ascii_case_blind_text_prefixes(self):
        run = Run(self)
        watched = run.tree("watched")
        for name in ("data", "database", "other"):
            run.tree("watched", name)
        shouted = run.tree("shouted")
        run.write_list(run.watch_list, [winpath(watched), winpath(shouted)], ending="\n")
        # A prefix of "database" too, and the other root in upper case.
        run.write_list(run.exclusion_list, [winpath(os.path.join(watched, "data")),
                                            winpath(shouted).upper()], ending="\n")
        run.start()
        run.arm(watched)
        self.assertEqual(wine_run(OPEN_DIR, *(winpath(os.path.join(watched, n))
                                              for n in ("data", "database", "other"))).returncode, 0)
        for name in ("data", "database", "other"):
            touch(os.path.join(watched, name, "f.txt"))
        touch(os.path.join(shouted, "f.txt"))
        touch(os.path.join(watched, "top.txt"))
        other = winpath(os.path.join(watched, "other"))
        lines = run.lines_until([winpath(watched), other])
        time.sleep(1.0)
        lines += run.take_lines()
        self.assertEqual(set(lines), {winpath(watched), other})
        self.assertEqual(run.end_host()[0], 0)

    def test_an_overflowed_read_reports_the_root_as_listed(self):
        run = Run(self)
        watched = run.tree("watched")
        listed = winpath(watched) + "\\"
        run.write_list(run.watch_list, [listed])
        # Covers the listed text but none of the composed lines, which lose
        # the trailing backslash at the cut: only the overflow line shows it.
        run.write_list(run.exclusion_list, [listed])
        run.start()
        run.arm(watched)
        # Changes pile up while the watcher is stopped, far more than one
        # 65536-byte read holds: the next read completes with 0 bytes.
        run.process.send_signal(signal.SIGSTOP)
        try:
            for i in range(3000):
                open(os.path.join(watched, "a_rather_long_file_name_%05d.txt" % i), "wb").close()
        finally:
            run.process.send_signal(signal.SIGCONT)
        batches = []
        wait_for(lambda: batches.extend(run.take_batches()) or [listed] in batches, 10.0, 0.3)
        self.assertIn([listed], batches, "a batch of exactly the listed text")
        self.assertEqual(run.end_host()[0], 0)

    def test_a_listed_file_logs_its_refused_read(self):
        # Windows refuses the read of a file with ERROR_INVALID_PARAMETER and
        # the run goes on without it; Wine refuses it with another code,
        # which ends the run with 10.  Either way the refusal is logged.
        run = Run(self)
        listed = os.path.join(run.root, "a_file")
        with open(listed, "wb") as f:
            f.write(b"not a directory")
        run.write_list(run.watch_list, [winpath(listed)])
        run.write_list(run.exclusion_list, [])
        run.start()
        code = wait_for(lambda: run.process.poll() is not None and [run.process.returncode], 5.0)
        log = run.error_txt_bytes().decode("utf-8")
        match = re.fullmatch(r"\ufeffReadDirectoryChangesW 0x([0-9A-F]{4,})" + MESSAGE, log)
        self.assertTrue(match, log)
        if int(match.group(1), 16) == 87:
            self.assertFalse(code, "a refused read with 87 is not fatal")
            self.assertEqual(run.end_host()[0], 0)
        else:
            self.assertEqual(code, [10])

    def test_a_leftover_first_batch_ends_the_run_with_24(self):
        run = Run(self)
        watched = run.tree("watched")
        run.write_list(run.watch_list, [winpath(watched)])
        run.write_list(run.exclusion_list, [])
        leftover = os.path.join(run.changelog, "00000001.txt")
        with open(leftover, "wb") as f:
            f.write(b"earlier run\n")
        run.start()

        def ended():
            touch(os.path.join(watched, "a.txt"))
            return run.process.poll() is not None

        self.assertTrue(wait_for(ended, 15.0, 0.3), "the watcher did not end")
        self.assertEqual(run.process.returncode, 24)
        temp = winpath(os.path.join(run.changelog, "temp"))
        self.assertRegex(run.error_txt_bytes().decode("ascii"),
                         r"^_wrename\(%s, %s\) failed: \(17\) [^\r\n]+\r\n$"
                         % (re.escape(temp), re.escape(winpath(leftover))))
        with open(leftover, "rb") as f:
            self.assertEqual(f.read(), b"earlier run\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
