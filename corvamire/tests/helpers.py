"""What the package's tests share: made-up data, scratch directories, a
program run to its end, and the skip where the matcher module was not built."""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest


def noise(count, seed):
    """`count` bytes that look random, the same for the same seed."""
    step = 64
    return b"".join(hashlib.sha512(("%s:%d" % (seed, i)).encode()).digest()
                    for i in range(count // step + 1))[:count]


def require_matcher(test):
    """corvamire_version_matcher, or `test` skipped where this Python has no
    build of it.  Python 2 is what the module is built for: there a missing
    module is an error, not a skip."""
    try:
        import corvamire_version_matcher as module
    except ImportError:
        if sys.version_info[0] < 3:
            raise
        test.skipTest("no corvamire_version_matcher for this Python")
    return module


class TempDirTest(unittest.TestCase):
    """A test with a scratch directory of its own, self.dir."""

    prefix = "corvamire-test-"

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix=self.prefix)
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()


def run(args, cwd=None, env=None, kill_after=None):
    """(exit status, output and errors as text) of a program run to its end;
    one still running after `kill_after` seconds is killed, so that a hung
    program fails its test rather than hanging it."""
    proc = subprocess.Popen(args, cwd=cwd, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    timer = None
    if kill_after is not None:
        timer = threading.Timer(kill_after, proc.kill)
        timer.start()
    try:
        out = proc.communicate()[0].decode("utf-8", "replace")
    finally:
        if timer is not None:
            timer.cancel()
    return proc.returncode, out


def run_ok(args, cwd=None, env=None):
    """The output of a program that must succeed."""
    status, out = run(args, cwd, env)
    if status != 0:
        raise AssertionError("%s failed (%d):\n%s"
                             % (" ".join(args[:4]), status, out))
    return out
