"""The command line: round trips through files and pipes, across Python 2
and 3; every bad input gives one line, a non-zero status and no file."""

import os
import signal
import subprocess
import sys
import time
import unittest

from corvamire.tests import helpers
from corvamire.tests.helpers import noise
from corvamire.tests.test_delta import edited

HERE = os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))


def environment():
    """This one, with the search path absolute: the commands run in a
    scratch directory."""
    env = dict(os.environ)
    paths = [os.path.abspath(p) for p in
             env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(paths + [HERE])
    return env


def command(python=None):
    return [python or sys.executable, "-m", "corvamire"]


class CliTest(helpers.TempDirTest):
    prefix = "cli-"

    def setUp(self):
        helpers.require_matcher(self)
        helpers.TempDirTest.setUp(self)
        self.old = noise(300000, "cli old")
        self.new = edited(self.old, "cli new", 6)
        self.write("old", self.old)
        self.write("new", self.new)

    def run_cli(self, args, stdin=None, python=None, shell=False):
        proc = subprocess.Popen(
            args if shell else command(python) + args, cwd=self.dir,
            shell=shell, env=environment(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        out, err = proc.communicate(stdin)
        return proc.returncode, out, err.decode("utf-8", "replace")

    def ok(self, args, stdin=None, python=None):
        code, out, err = self.run_cli(args, stdin, python)
        self.assertEqual((code, err), (0, ""), args)
        return out

    def test_round_trips(self):
        # The old file moves away between signature and delta.
        self.ok(["signature", "-b", "4096,1024", "old", "sig"])
        os.rename(self.path("old"), self.path("gone"))
        self.ok(["delta", "sig", "new", "delta"])
        self.ok(["patch", "gone", "delta", "rebuilt"])
        self.assertTrue(self.read("rebuilt") == self.new)
        self.assertTrue(len(self.read("delta")) < len(self.new) // 4)
        # Standard input and output, and the files left out.
        sig = self.ok(["signature", "-"], stdin=self.old)
        made = self.ok(["delta", "-", "new"], stdin=sig)
        self.assertTrue(self.ok(["patch", "gone"], stdin=made) == self.new)
        self.assertTrue(self.ok(["delta", "sig"], stdin=self.new) ==
                        self.read("delta"))
        # Through a shell pipe, the new version from a pipe too.
        pipe = ("cat new | {0} delta sig - - | {0} patch gone - piped"
                .format(" ".join(command())))
        self.assertEqual(self.run_cli(pipe, shell=True)[0], 0)
        self.assertTrue(self.read("piped") == self.new)
        # In place, over the old version.
        self.ok(["-f", "patch", "gone", "delta", "gone"])
        self.assertTrue(self.read("gone") == self.new)

    def test_across_python_versions(self):
        other = os.environ.get("OTHER_PYTHON")
        if not other:
            self.skipTest("OTHER_PYTHON not set")
        # The other interpreter needs no module for signature and patch.
        self.ok(["signature", "old", "sig"], python=other)
        self.ok(["delta", "sig", "new", "delta"])
        self.ok(["patch", "old", "delta", "rebuilt"], python=other)
        self.assertTrue(self.read("rebuilt") == self.new)

    def test_bad_input(self):
        self.ok(["signature", "old", "sig"])
        self.ok(["delta", "sig", "new", "delta"])
        self.write("other", noise(len(self.old), "same size"))
        delta = self.read("delta")
        self.write("cut.delta", delta[:len(delta) // 2])
        self.write("bad.delta", delta[:-5] + b"!" + delta[-4:])
        self.write("cut.sig", self.read("sig")[:100])
        os.symlink("old", self.path("link"))
        cases = [
            # arguments, words in the message, status
            (["signature", "missing", "out"], "missing", 1),
            (["signature", ".", "out"], "directory", 1),
            (["signature", "-b", "0", "old", "out"], "positive", 2),
            (["signature", "-b", "big", "old", "out"], "big", 2),
            (["signature", "old", "sig"], "exists", 1),
            (["signature", "old", "."], "directory", 1),
            (["signature", "old", "no/such/dir"], "no/such", 1),
            (["delta", "old", "new", "out"], "not a corvamire signature", 1),
            (["delta", "cut.sig", "new", "out"], "truncated", 1),
            (["delta", "sig", "missing", "out"], "missing", 1),
            (["delta", "-", "-"], "only one input", 2),
            (["patch", "new", "delta", "out"], "bytes", 1),
            (["patch", "other", "delta", "out"], "not the version", 1),
            (["patch", "old", "cut.delta", "out"], "truncated delta", 1),
            (["patch", "old", "bad.delta", "out"], "checksum", 1),
            (["patch", "old", "sig", "out"], "not a corvamire delta", 1),
            (["patch", "-", "delta", "out"], "OLD", 2),
            (["patch", "old", "delta", "/dev/full"], "/dev/full", 1),
            (["patch", "other", "delta", "-"], "not the version", 1),
            (["unpack", "old"], "unpack", 2),
            ([], "--help", 2),
        ]
        before = sorted(os.listdir(self.dir))
        for args, words, status in cases:
            code, out, err = self.run_cli(args)
            self.assertEqual((code, len(err.splitlines()), out),
                             (status, 1, b""), (args, err))
            self.assertTrue(words in err and "Traceback" not in err,
                            (args, err))
            self.assertEqual(sorted(os.listdir(self.dir)), before, args)
        # A symbolic link is written through: the link stays.
        self.ok(["-f", "patch", "old", "delta", "link"])
        self.assertTrue(os.path.islink(self.path("link")))
        self.assertTrue(self.read("old") == self.new)

    def test_interrupted(self):
        self.ok(["signature", "old", "sig"])
        os.mkfifo(self.path("fifo"))
        for sent, status, line in [(signal.SIGINT, 130, "interrupted"),
                                   (signal.SIGTERM, 143, "terminated")]:
            # A test runner may start us with SIGINT ignored, which the
            # child would inherit: Python then installs no handler.
            proc = subprocess.Popen(
                command() + ["delta", "sig", "fifo", "out"], cwd=self.dir,
                env=environment(), stderr=subprocess.PIPE,
                preexec_fn=lambda: signal.signal(signal.SIGINT,
                                                 signal.SIG_DFL))
            # Blocked on the pipe's reading, with its output begun.
            with open(self.path("fifo"), "wb") as fifo:
                fifo.write(self.new[:1000])
                fifo.flush()
                for _ in range(600):
                    if any(name.startswith(".out.")
                           for name in os.listdir(self.dir)):
                        break
                    time.sleep(0.05)
                proc.send_signal(sent)
            # The pipe's end, too: Python 2 looks for signals only every
            # so many steps, and may have gone into a read before it did.
            # Not a time limit on the command: a guard against a hang.
            for _ in range(1200):
                if proc.poll() is not None:
                    break
                time.sleep(0.05)
            else:
                proc.kill()
            err = proc.communicate()[1].decode()
            self.assertEqual((proc.returncode, err),
                             (status, "corvamire: %s\n" % line))
            self.assertEqual(sorted(os.listdir(self.dir)),
                             ["fifo", "new", "old", "sig"])


if __name__ == "__main__":
    unittest.main()
