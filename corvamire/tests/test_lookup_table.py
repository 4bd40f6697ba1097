"""lookup_table building against a direct computation, and one match."""

import hashlib
import io
import os
import shutil
import sys
import tempfile
import unittest
import zlib

from corvamire import lookup_table as lt


def noise(count, seed):
    step = 64
    return b"".join(hashlib.sha512(("%s:%d" % (seed, i)).encode()).digest()
                    for i in range(count // step + 1))[:count]


def direct_table(data, size):
    """Every full block of `data`, computed without the helper."""
    table = {}
    for offset in range(0, len(data) - size + 1, size):
        block = data[offset:offset + size]
        weak = zlib.adler32(block) % (1 << 32)
        table.setdefault(weak, {}).setdefault(hashlib.md5(block).digest(),
                                              (size, offset))
    return table


class TempDirTest(unittest.TestCase):
    """A test with a scratch directory of its own."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="lookup-table-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path


class BuildTest(TempDirTest):

    def test_matches_direct_computation(self):
        # Over 2 MiB, with sizes that do not divide the read chunk, so
        # blocks cross the helper's chunk boundaries; a short tail.
        data = noise(2 * (1 << 20) + 777, "direct")
        path = self.write("old", data)
        table = lt.build_lookup_table(path, [3000, 64, 1 << 20])
        self.assertEqual(sorted(table), [64, 3000, 1 << 20])
        for size in table:
            self.assertEqual(table[size], direct_table(data, size),
                             "block size %d" % size)
        self.assertEqual(lt.count_blocks(table)[3000], len(data) // 3000)
        # The sums are unsigned: on Python 2 zlib gives half of them
        # negative, and the module refuses -1 and wraps the rest.
        sums = [s for size in table for s in table[size]]
        self.assertTrue(all(0 <= s < 1 << 32 for s in sums))
        self.assertTrue(any(s >= 1 << 31 for s in sums))

    def test_short_tail_left_out_and_short_file_kept_empty(self):
        data = noise(1000, "tail")
        table = lt.build_lookup_table(io.BytesIO(data), [300, 4096])
        values = sorted(v for sums in table[300].values()
                        for v in sums.values())
        self.assertEqual(values, [(300, 0), (300, 300), (300, 600)])
        self.assertEqual(table[4096], {})

    def test_values_and_repeated_blocks(self):
        block = noise(128, "a")
        data = block + noise(128, "b") + block
        table = lt.build_lookup_table(io.BytesIO(data), [128],
                                      value=lambda size, offset:
                                      ("v", size, offset))
        digests = table[128][lt.weak_sum(block)]
        # The first of two equal blocks is the one a match reports.
        self.assertEqual(digests, {hashlib.md5(block).digest():
                                   ("v", 128, 0)})
        self.assertEqual(lt.count_blocks(table), {128: 2})

    def test_refused_sizes(self):
        for sizes in ([0], [-5], [0xffffffff], []):
            self.assertRaises(ValueError, lt.build_lookup_table,
                              io.BytesIO(b"x" * 10), sizes)


class MatchFileTest(TempDirTest):

    def setUp(self):
        try:
            import corvamire_version_matcher  # noqa: F401
        except ImportError:
            # Python 2 is what the module is built for: there it must be.
            if sys.version_info[0] < 3:
                raise
            self.skipTest("no corvamire_version_matcher for this Python")
        TempDirTest.setUp(self)

    def test_shifted_blocks_found_where_they_moved(self):
        old = noise(40 * 1024 + 100, "old")
        table = lt.build_lookup_table(io.BytesIO(old), [1024])
        new = self.write("new", b"inserted" * 13 + old)   # 104 bytes ahead
        result = lt.match_file(table, new, buffer_size=4096)
        expected = dict((104 + k * 1024, (1024, k * 1024))
                        for k in range(40))
        self.assertEqual(result["matches"], expected)
        self.assertEqual(result["bytes_matched"], 40 * 1024)
        self.assertEqual(result["strong_matches"], 40)
        self.assertTrue(result["weak_matches"] >= 40)

    def test_empty_file_and_empty_table_reuse_nothing(self):
        empty = self.write("empty", b"")
        table = lt.build_lookup_table(io.BytesIO(b"z" * 100), [10])
        self.assertEqual(lt.match_file(table, empty), lt.empty_result())
        some = self.write("some", b"z" * 100)
        self.assertEqual(lt.match_file({}, some), lt.empty_result())


if __name__ == "__main__":
    unittest.main()
