"""The matcher's native core on Windows, run under Wine: the core test
program of each build, and a cross-check that the same table and file give
the same matches and counters on Windows as on Linux.

One fresh Wine prefix for the run.  The 32-bit builds need Wine's 32-bit
side (wine32); without it they are skipped, and the skip says so.
"""
import hashlib
import os
import random
import shutil
import subprocess
import tempfile
import unittest
import zlib

WINE = os.environ.get("WINE") or "wine"
OUTPUT = os.environ.get("MATCHER_WINDOWS_OUTPUT", "")
MATCH_REPORT = os.environ.get("MATCH_REPORT", "")
ARCHES = ("win64", "win32")

env = dict(os.environ)
scratch = None
runnable = {}


def program(arch, name):
    return os.path.join(OUTPUT, arch, name)


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_windows(arch, name, *args, **kwargs):
    return subprocess.run([WINE, program(arch, name)] + list(args), env=env,
                          capture_output=True, text=True, **kwargs)


def setUpModule():
    global scratch
    for arch in ARCHES:
        for name in ("version_matcher_core_tests.exe", "match_report.exe"):
            if not os.path.isfile(program(arch, name)):
                raise AssertionError("not built (make windows builds it): %r" % program(arch, name))
    if not os.path.isfile(MATCH_REPORT):
        raise AssertionError("Linux match_report not built: %r" % MATCH_REPORT)
    if not shutil.which(WINE):
        raise AssertionError("wine not found: %r" % WINE)
    scratch = tempfile.mkdtemp(prefix="matcher_wine_")
    env.update(WINEPREFIX=os.path.join(scratch, "prefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")  # no Mono or Gecko installers
    env.pop("DISPLAY", None)
    # A server that stays up between programs: one that exits a few seconds
    # after the last program ends can refuse the next one as it goes
    # ("recvmsg: Connection reset by peer").
    os.makedirs(env["WINEPREFIX"])
    subprocess.run(["wineserver", "-p"], env=env, check=True, timeout=60)
    subprocess.run([WINE, "wineboot", "-i"], env=env, check=True, timeout=300,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for arch in ARCHES:
        # A program that prints its usage and ends: does this Wine run it?
        probe = run_windows(arch, "match_report.exe", timeout=120)
        runnable[arch] = probe.returncode == 2 and "usage" in probe.stderr


def tearDownModule():
    if scratch:
        subprocess.run(["wineserver", "-k"], env=env, timeout=60)
        shutil.rmtree(scratch, ignore_errors=True)


def require(test, arch):
    if arch == "win64":
        test.assertTrue(runnable[arch], "Wine does not run the 64-bit programs")
    elif not runnable[arch]:
        test.skipTest("this Wine has no 32-bit side (wine32): the 32-bit programs are built, not run")


def make_case(seed, sizes, edits, decoys):
    """An old version's blocks of each size as the table, and a new version:
    the old one with edits (bytes inserted, replaced and repeated blocks).
    Decoys: entries under real sums of the first size with a wrong digest,
    whose windows are counted as weak matches only."""
    rng = random.Random(seed)
    old = bytes(rng.getrandbits(8) for _ in range(24000))
    lines = []
    value = 0
    for size in sizes:
        for start in range(0, len(old) - size + 1, size):
            block = old[start:start + size]
            value += 1
            lines.append("%d %d %s %d" % (size, zlib.adler32(block) & 0xFFFFFFFF,
                                          hashlib.md5(block).hexdigest(), value))
    for _ in range(decoys):
        # Ahead of the real blocks, so that the first entry of their sum is
        # the decoy's.
        size = sizes[0]
        start = rng.randrange(len(old) // size) * size
        value += 1
        lines.insert(0, "%d %d %s %d" % (size, zlib.adler32(old[start:start + size]) & 0xFFFFFFFF,
                                         "%032x" % rng.getrandbits(128), value))
    new = bytearray(old)
    for _ in range(edits):
        at = rng.randrange(len(new))
        kind = rng.randrange(3)
        if kind == 0:
            new[at:at] = bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 40)))
        elif kind == 1:
            new[at:at + 10] = bytes(10)
        else:
            size = sizes[0]
            new[at:at] = old[:size] * rng.randrange(1, 5)
    return "\n".join(lines) + "\n", bytes(new)


class CoreTest(unittest.TestCase):
    def test_core_tests_pass_on_each_build(self):
        for arch in ARCHES:
            with self.subTest(arch=arch):
                require(self, arch)
                run = run_windows(arch, "version_matcher_core_tests.exe", timeout=800)
                self.assertEqual(run.returncode, 0, run.stdout[-4000:] + run.stderr[-2000:])
                self.assertIn("[  PASSED  ]", run.stdout)

    def test_same_table_and_file_give_the_same_result_as_on_linux(self):
        # (seed, sizes in the table's order, edits, decoys, buffer sizes)
        cases = [
            (1, [700], 12, 0, [4096, -1]),
            (2, [1024, 512, 333], 30, 20, [2000, 65536]),
            (3, [64, 4096], 8, 50, [4096, 100000]),
            (4, [300], 60, 5, [1000, 301]),
        ]
        workdir = tempfile.mkdtemp(prefix="cross_check_", dir=scratch)
        for seed, sizes, edits, decoys, buffers in cases:
            table, data = make_case(seed, sizes, edits, decoys)
            table_path = os.path.join(workdir, "table%d.txt" % seed)
            data_path = os.path.join(workdir, "file%d.bin" % seed)
            with open(table_path, "w") as f:
                f.write(table)
            with open(data_path, "wb") as f:
                f.write(data)
            for buffer_size in buffers:
                args = [str(len(data)), str(buffer_size)]
                linux = subprocess.run([MATCH_REPORT, table_path, data_path] + args,
                                       capture_output=True, text=True)
                self.assertEqual(linux.returncode, 0, linux.stderr)
                # Not a comparison of two empty results.
                self.assertNotIn("strong_matches 0\n", linux.stdout)
                for arch in ARCHES:
                    with self.subTest(seed=seed, buffer_size=buffer_size, arch=arch):
                        require(self, arch)
                        windows = run_windows(arch, "match_report.exe", winpath(table_path),
                                              winpath(data_path), *args, timeout=120)
                        self.assertEqual(windows.returncode, 0, windows.stderr)
                        self.assertEqual(windows.stdout.replace("\r\n", "\n"), linux.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
