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

from bench import matcher_bench, matcher_report, real_data, stats, watcher_bench
from corvamire import lookup_table


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
        # Blocks of 16 repeat (every 80 bytes): the first offset is kept.
        self.data = ("".join(hashlib.md5(str(i)).digest() for i in range(5)) * 13)[:1000]
        with open(self.path, "wb") as f:
            f.write(self.data)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def expected(self, size):
        by_sum = {}
        for at in range(0, len(self.data) - size + 1, size):
            block = self.data[at:at + size]
            by_sum.setdefault(zlib.adler32(block) & 0xffffffff, {}).setdefault(
                hashlib.md5(block).digest(), (size, at))
        return by_sum

    def test_the_hosts_table(self):
        built = lookup_table.build_lookup_table(self.path, [16, 100, 3])
        self.assertEqual(sorted(built), [3, 16, 100])
        for size in (16, 100, 3):
            self.assertEqual(built[size], self.expected(size))
        # 5 distinct blocks of 16, 4 of 100 (period 400), 80 of 3 (period 240).
        self.assertEqual(sum(lookup_table.count_blocks(built).values()), 5 + 4 + 80)

    def test_size_longer_than_file_is_kept_empty(self):
        self.assertEqual(lookup_table.build_lookup_table(self.path, [4096]), {4096: {}})


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

    def case(self, name, role, sizes=(2048,)):
        return matcher_bench.Case(name, name, "scan", "table", list(sizes), role, "bytes")

    def figures(self, match_cpu, peer_cpu=None, quarter_peak=None, matched=0, bounds=None):
        r = {"match": {"cpu_median": match_cpu, "file_size": 1 << 20, "bytes_matched": matched,
                       "peak_growth_mib": 5.0}}
        if peer_cpu is not None:
            r["rdiff rollsum+md4"] = {"cpu_median": peer_cpu}
        if quarter_peak is not None:
            r["match_quarter"] = {"peak_growth_mib": quarter_peak}
        if bounds:
            r["bounds"] = dict((n, {"cpu_median": v}) for n, v in zip(("read", "md5_block", "adler32_block"), bounds))
        return r

    def verdicts(self, nomatch, edited):
        cases = [self.case("one", "nomatch"), self.case("edited", "edited")]
        got = matcher_report.targets(cases, {"one": nomatch, "edited": edited})
        self.assertEqual([what.split(":")[0] for what, _, _ in got],
                         ["no match (bytes)", "memory (bytes)", "edited (bytes)", "edited (bytes)"])
        self.measured_edited = got[2][1]
        return [holds for _, _, holds in got]

    def test_each_target_holds_or_not(self):
        # Edited floor: read 0.1 + 90% matched x (MD5 0.8 + adler32 0.2) = 1.0 s.
        floor = dict(matched=int(0.9 * (1 << 20)), bounds=(0.1, 0.8, 0.2))
        self.assertEqual(self.verdicts(self.figures(1.0, peer_cpu=8.0, quarter_peak=4.5),
                                       self.figures(1.14, peer_cpu=2.85, **floor)),
                         [True, True, True, True])
        # Beside rdiff, what reading and MD5 alone cost: 0.1 + 0.9 x 0.8 = 0.82 s.
        self.assertIn("alone: 782.01 ns/B, 3.48x", self.measured_edited)
        self.assertEqual(self.verdicts(self.figures(1.0, peer_cpu=7.9, quarter_peak=3.5),   # grew 1.5 MiB
                                       self.figures(1.2, peer_cpu=2.9, **floor)),
                         [False, False, False, False])

    def test_unmeasured_targets_are_not_judged(self):
        self.assertEqual(self.verdicts(self.figures(1.0), self.figures(1.0)), [None, None, None, None])


class RealDataTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        if not os.path.isdir(os.path.dirname(path)):
            os.makedirs(os.path.dirname(path))
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_regular_files_concatenated_and_halved(self):
        src = os.path.join(self.dir, "lib")
        self.write("lib/b.so", "B" * 50)
        self.write("lib/a.so", "A" * 30)
        self.write("lib/sub/c.so", "C" * 10)
        os.symlink("a.so", os.path.join(src, "a.so.1"))
        stream = os.path.join(self.dir, "stream")
        with open(stream, "wb") as out:
            real_data.concatenate(real_data.regular_files(src), out, 70)
        with open(stream, "rb") as f:
            self.assertEqual(f.read(), "A" * 30 + "B" * 40)
        halves = [os.path.join(self.dir, n) for n in ("one", "two")]
        self.assertEqual(real_data.split_halves(stream, halves[0], halves[1], 1000), 35)
        self.assertEqual([open(p, "rb").read() for p in halves], ["A" * 30 + "B" * 5, "B" * 35])
        self.assertEqual(real_data.split_halves(stream, halves[0], halves[1], 20), 20)
        self.assertEqual(open(halves[1], "rb").read(), "A" * 10 + "B" * 10)

    def test_doc_tar_holds_gzip_members_decompressed(self):
        import gzip
        import io
        import tarfile
        packed = io.BytesIO()
        with gzip.GzipFile(fileobj=packed, mode="wb") as g:
            g.write("changes\n" * 100)
        self.write("doc/p/changelog.gz", packed.getvalue())
        self.write("doc/p/copyright", "text")
        self.write("doc/q/broken.gz", "not gzip")
        os.symlink("p", os.path.join(self.dir, "doc", "r"))
        out = os.path.join(self.dir, "doc.tar")
        with open(out, "wb") as f:
            real_data.write_doc_tar(os.path.join(self.dir, "doc"), f, 1 << 20)
        tar = tarfile.open(out)
        self.assertEqual(tar.getnames(), ["p/changelog", "p/copyright", "q/broken.gz"])
        self.assertEqual(tar.extractfile("p/changelog").read(), "changes\n" * 100)

    def test_npm_pair_left_out_when_the_registry_fails(self):
        npm = self.write("npm", "#!/bin/sh\necho 'npm error code ENOTFOUND' >&2\nexit 1\n")
        os.chmod(npm, 0o755)
        paths, note = real_data.fetch_npm_pair(self.dir, lambda m: None, npm=npm)
        self.assertIsNone(paths)
        self.assertIn("ENOTFOUND", note)
        self.assertIn("left out", note)
        self.assertEqual(sorted(os.listdir(self.dir)), ["npm"])   # nothing half made is left


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
