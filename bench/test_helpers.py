"""Checks of the benchmark's own machinery: if these are wrong, every
figure it prints is wrong with them."""

import hashlib
import os
import shutil
import subprocess
import tempfile
import threading
import time
import unittest
import zlib

from bench import run, stats, table, watcher_bench


class StatsTest(unittest.TestCase):
    def test_median_and_percentiles(self):
        self.assertEqual(stats.median([3, 1, 2]), 2)
        self.assertEqual(stats.median([4, 1, 3, 2]), 2.5)
        hundred = list(range(100, 0, -1))
        self.assertEqual(stats.percentile(hundred, 0.50), 50)
        self.assertEqual(stats.percentile(hundred, 0.99), 99)
        self.assertEqual(stats.percentile([7], 0.99), 7)
        self.assertRaises(ValueError, stats.median, [])

    def test_table_columns_line_up(self):
        text = stats.format_table("T", ["name", "n"], [["a", 1], ["longer", 12345]])
        lines = text.splitlines()
        self.assertEqual(lines[0], "T")
        body = [l for l in lines[1:] if not l.startswith("-")]
        self.assertEqual(len(set(len(l) for l in body)), 1)
        self.assertTrue(body[1].startswith("a ") and body[1].endswith(" 1"))


class LookupTableTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.path = os.path.join(self.dir, "f")
        self.data = "".join(hashlib.md5(str(i)).digest() for i in range(63))[:1000]
        with open(self.path, "wb") as f:
            f.write(self.data)
        self.saved = table.READ_BYTES

    def tearDown(self):
        table.READ_BYTES = self.saved
        shutil.rmtree(self.dir)

    def expected(self, size):
        by_sum = {}
        for at in range(0, len(self.data) - size + 1, size):
            block = self.data[at:at + size]
            by_sum.setdefault(zlib.adler32(block) & 0xffffffff, {})[hashlib.md5(block).digest()] = at
        return by_sum

    def test_blocks_across_read_pieces(self):
        # Pieces that do not divide the block sizes: blocks straddle them.
        table.READ_BYTES = 37
        built = table.build_lookup_table(self.path, [16, 100, 3])
        self.assertEqual(sorted(built), [3, 16, 100])
        for size in (16, 100, 3):
            self.assertEqual(built[size], self.expected(size))
        self.assertEqual(table.count_blocks(built), 1000 // 16 + 1000 // 100 + 1000 // 3)

    def test_size_longer_than_file_is_kept_empty(self):
        self.assertEqual(table.build_lookup_table(self.path, [4096]), {4096: {}})


class BatchAccountingTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def test_take_batches_reads_and_removes_only_batches(self):
        for name, text in [("00000002.txt", "/r/b/\n/r\n"), ("00000001.txt", "/r/a\n"),
                           ("temp", "/r/x\n"), ("error.txt", "oops\n")]:
            with open(os.path.join(self.dir, name), "w") as f:
                f.write(text)
        got = watcher_bench.take_batches(self.dir)
        self.assertEqual([(n, lines) for n, _, lines in got],
                         [("00000001.txt", ["/r/a"]), ("00000002.txt", ["/r/b", "/r"])])
        self.assertEqual(sorted(os.listdir(self.dir)), ["error.txt", "temp"])

    def test_coverage(self):
        dirs = ["/r/d0", "/r/d1", "/r/d2"]
        self.assertEqual(watcher_bench.coverage("/r", dirs, ["/r/d0", "/r/d0", "/r/d2"]), (2, 0, 1))
        # A root line stands for changes that did not fit: nothing is lost.
        self.assertEqual(watcher_bench.coverage("/r/", dirs, ["/r/d0", "/r"]), (1, 1, 0))
        self.assertEqual(watcher_bench.coverage("/r", dirs, dirs), (3, 0, 0))


class TargetsTest(unittest.TestCase):
    """The verdicts printed under Targets, from made-up figures."""

    def figures(self, match_cpu, rdiff_cpu, md5_cpu=None, peak=5.0, size=1 << 20):
        r = {"match": {"cpu_median": match_cpu, "file_size": size, "peak_growth_mib": peak},
             "rdiff rollsum+md4": {"cpu_median": rdiff_cpu[0]},
             "rdiff defaults": {"cpu_median": rdiff_cpu[1]}}
        if md5_cpu is not None:
            r["bounds"] = {"md5": {"cpu_median": md5_cpu}, "md5_block": {"cpu_median": md5_cpu}}
        return r

    def verdicts(self, results):
        """{first words of a target: its verdict}."""
        report = run.Report()
        report.matcher_targets(results)
        return dict((" ".join(what.split()[:3]), holds) for what, _, holds in report.targets)

    def test_each_target_holds_or_not(self):
        one = self.figures(1.0, (3.5, 3.0))
        one["match_quarter"] = {"peak_growth_mib": 4.8}
        got = self.verdicts({
            "nomatch-2048": one,
            "three-sizes": self.figures(3.1, (0, 0)),
            "mostly-2048": self.figures(1.2, (1.0, 1.3), md5_cpu=1.0),
        })
        self.assertEqual(got["no match, 2048:"], "yes")   # the slower peer counts: 3.0x
        self.assertEqual(got["memory: peak of"], "yes")
        self.assertEqual(got["three sizes: <="], "NO")       # 3.1x
        self.assertEqual(got["mostly matching: at"], "yes")  # 1.3 / 1.2
        self.assertEqual(got["mostly matching: within"], "yes")  # 1.2x of MD5

    def test_misses(self):
        one = self.figures(1.0, (3.5, 2.9))
        one["match_quarter"] = {"peak_growth_mib": 2.0}
        got = self.verdicts({"nomatch-2048": one, "mostly-2048": self.figures(1.4, (1.0, 1.3), md5_cpu=1.0)})
        self.assertEqual(got["no match, 2048:"], "NO")
        self.assertEqual(got["memory: peak of"], "NO")          # grew by 3 MiB with the file
        self.assertEqual(got["mostly matching: at"], "NO")
        self.assertEqual(got["mostly matching: within"], "NO")


OUTPUT_ROOT = os.environ.get("CORVAMIRE_OUTPUT_ROOT")


@unittest.skipUnless(OUTPUT_ROOT, "needs the built bench helpers")
class NativeHelpersTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def tool(self, name):
        return os.path.join(OUTPUT_ROOT, "bin", name)

    def test_bounds_digest_the_whole_file(self):
        data = "".join(hashlib.md5(str(i)).digest() for i in range(1000)) + "tail"
        path = os.path.join(self.dir, "f")
        with open(path, "wb") as f:
            f.write(data)
        out = subprocess.check_output([self.tool("bench_bounds"), path, "1000"])
        checks = dict((line.split()[0], int(line.split()[3])) for line in out.splitlines())
        self.assertEqual(checks["read"], len(data))
        self.assertEqual(checks["adler32"], zlib.adler32(data) & 0xffffffff)
        self.assertEqual(checks["adler32_block"], sum(zlib.adler32(data[at:at + 1000]) & 0xffffffff
                                                      for at in range(0, len(data) - 999, 1000)))
        self.assertEqual(checks["md5"], ord(hashlib.md5(data).digest()[0]))
        self.assertEqual(checks["md5_block"], sum(ord(hashlib.md5(data[at:at + 1000]).digest()[0])
                                                  for at in range(0, len(data) - 999, 1000)))

    def test_burst_spreads_files_round_robin(self):
        dirs = watcher_bench.make_tree(self.dir, 3)
        out = subprocess.check_output([self.tool("bench_burst"), "10"] + dirs)
        start, end = [int(x) for x in out.split()]
        self.assertLessEqual(start, end)
        self.assertEqual([len(os.listdir(d)) for d in dirs], [4, 3, 3])
        self.assertIn("burst_9", os.listdir(dirs[0]))

    def test_latency_waits_for_the_batch_naming_the_directory(self):
        changelog = os.path.join(self.dir, "changelog")
        os.makedirs(changelog)
        dirs = watcher_bench.make_tree(os.path.join(self.dir, "root"), 2)
        done = threading.Event()

        def publish():
            # A stand-in watcher: for each new file, first a batch naming some
            # other directory, then one naming the file's own.
            seen, n = set(), 0
            while not done.is_set():
                for d in dirs:
                    for name in os.listdir(d):
                        if (d, name) in seen:
                            continue
                        seen.add((d, name))
                        for line in ("/elsewhere", d):
                            n += 1
                            temp = os.path.join(changelog, "temp")
                            with open(temp, "w") as f:
                                f.write(line + "\n")
                            os.rename(temp, os.path.join(changelog, "%08d.txt" % n))
                time.sleep(0.001)

        thread = threading.Thread(target=publish)
        thread.start()
        try:
            out = subprocess.check_output([self.tool("bench_latency"), changelog, "3", "20"] + dirs)
        finally:
            done.set()
            thread.join()
        samples = out.split()
        self.assertEqual(len(samples), 3)
        self.assertTrue(all(s.isdigit() and 0 < int(s) < 2e9 for s in samples), samples)
        self.assertEqual([n for n in os.listdir(changelog) if n.endswith(".txt")], [])


@unittest.skipUnless(OUTPUT_ROOT, "needs the built bench_datagen")
class DatagenTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.gen = os.path.join(OUTPUT_ROOT, "bin", "bench_datagen")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def make(self, *args):
        return subprocess.check_output([self.gen] + [str(a) for a in args])

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def test_same_seed_same_bytes(self):
        p = lambda n: os.path.join(self.dir, n)
        self.make("random", p("a"), 300000, 1)
        self.make("random", p("b"), 300000, 1)
        self.make("random", p("c"), 300000, 2)
        self.assertEqual(len(self.read("a")), 300000)
        self.assertEqual(self.read("a"), self.read("b"))
        self.assertNotEqual(self.read("a"), self.read("c"))
        self.make("text", p("t"), 300000, 3)
        text = self.read("t")
        self.assertEqual(len(text), 300000)
        # Low entropy: few distinct bytes, and it compresses well.
        self.assertLess(len(set(text)), 40)
        self.assertLess(len(zlib.compress(text)), len(text) // 2)

    def test_edit_log_matches_output(self):
        p = lambda n: os.path.join(self.dir, n)
        self.make("random", p("a"), 500000, 1)
        log = self.make("edit", p("a"), p("e"), 12, 5, 300).splitlines()
        self.assertEqual(len(log), 12)
        delta = 0
        for line in log:
            kind, _, length = line.split()
            self.assertTrue(1 <= int(length) <= 300, line)
            delta += {"insert": int(length), "delete": -int(length), "overwrite": 0}[kind]
        original, edited = self.read("a"), self.read("e")
        self.assertEqual(len(edited), len(original) + delta)
        # Untouched stretches survive: the first edit is past the start.
        first = int(log[0].split()[1])
        self.assertEqual(edited[:first], original[:first])
        self.assertNotEqual(edited, original)


if __name__ == "__main__":
    unittest.main()
