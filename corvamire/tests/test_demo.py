"""The demo, run as the README runs it, with its figures checked."""

import hashlib
import os
import re
import sys
import unittest

from corvamire import watcher as wt
from corvamire.tests.helpers import TempDirTest, run


def run_demo(*args):
    """(exit code, output) of python -m corvamire.demo, run from the repo."""
    return run([sys.executable, "-m", "corvamire.demo"] + list(args),
               cwd=wt.repo_root(), kill_after=300)


def number(text):
    return int(text.replace(",", ""))


def figure(out, label):
    found = re.search(r"^\s+%s\s+([\d,]+)" % label, out, re.M)
    if not found:
        raise AssertionError("no %r line in:\n%s" % (label, out))
    return number(found.group(1))


def blocks_reused(out):
    # "blocks reused  N  of 8,192 B" and the lines below it for the
    # other sizes.
    found = re.findall(r"^\s+(?:blocks reused)?\s+([\d,]+)\s+of ([\d,]+) B$",
                       out, re.M)
    return dict((number(size), number(n)) for n, size in found)


class DemoTest(TempDirTest):

    prefix = "demo-files-"

    def test_default_run(self):
        code, out = run_demo()
        self.assertEqual(code, 0, out)
        # Part 1: the watcher saw every change but the excluded ones.
        self.assertIn("every changed directory reported; nothing from"
                      " cache/", out)
        for shown in ("<tree>", "<tree>/docs", "<tree>/docs/2026/q4"):
            self.assertTrue(re.search(r"  %s(  \(x\d+\))?$" % shown, out,
                                      re.M), shown)
        self.assertNotIn("<tree>/cache", out)
        # Part 2: what the edits leave, against what was matched.
        later = figure(out, "later version")
        unchanged = figure(out, "left unchanged")
        matched = figure(out, "bytes matched")
        edits = sum(int(n) for n in re.findall(
            r"(\d+) (?:insertions|deletions|edits)", out))
        self.assertTrue(20 <= edits <= 45, edits)
        self.assertTrue(unchanged < later, out)
        # Random data: nothing outside the unchanged bytes can match, and
        # each edit costs at most the two 2048-byte blocks around it, and
        # the file's tail at most one.
        self.assertTrue(matched <= unchanged, out)
        self.assertTrue(matched >= unchanged - (2 * edits + 1) * 2048, out)
        reused = blocks_reused(out)
        self.assertEqual(sorted(reused), [2048, 8192])
        self.assertEqual(sum(s * n for s, n in reused.items()), matched)
        # Longer blocks come first, so most of the file goes as 8 KiB.
        self.assertTrue(reused[8192] * 8192 > matched // 2, reused)
        strong = figure(out, "strong matches")
        self.assertEqual(strong, sum(reused.values()))
        self.assertTrue(figure(out, "weak matches") >= strong)
        # The round trip: copies are what matched, literals the rest.
        self.assertIn("rebuilt the later version: identical", out)
        copied = number(re.search(r"([\d,]+)  bytes copied", out).group(1))
        literal = number(re.search(r"([\d,]+)  bytes literal",
                                   out).group(1))
        self.assertEqual((copied, copied + literal), (matched, later))
        # Part 3: the watcher ended by itself when its host did.
        self.assertTrue(re.search(r"dir_watcher\s+exited with code 0, "
                                  r"[\d.]+ s after its host", out), out)
        self.assertTrue(out.rstrip().endswith(
            "demo finished: both components did their job"), out)

    def test_own_files_and_options(self):
        old = b"".join(hashlib.sha512(b"%d" % i).digest()
                       for i in range(1563))[:100000]
        # Ten bytes put in at 50000 spoil the 1 KiB block around it only:
        # 48 whole blocks before, 48 after.
        new = old[:50000] + b"0123456789" + old[50000:]
        paths = [self.write("old.bin", old), self.write("new.bin", new)]
        code, out = run_demo("--old", paths[0], "--new", paths[1],
                             "--block-sizes", "1024", "--buffer-size", "4096")
        self.assertEqual(code, 0, out)
        self.assertEqual(figure(out, "later version"), 100010)
        self.assertEqual(figure(out, "bytes matched"), 96 * 1024)
        self.assertEqual(blocks_reused(out), {1024: 96})
        self.assertIn("rebuilt the later version: identical", out)
        self.assertIn("\n" + " " * 27 + "4,096  bytes of read buffer\n", out)
        self.assertNotIn("left unchanged", out)

    def test_bad_options_refused(self):
        code, out = run_demo("--old", "x")
        self.assertEqual(code, 2)
        self.assertIn("--old and --new go together", out)


if __name__ == "__main__":
    unittest.main()
