"""Reference counts around match: nothing leaked or over-released, on the
good path and on every failure path, over many calls."""
from __future__ import print_function, division

import gc
import os
import sys
import unittest

import corvamire_version_matcher as vm
from model import adler, md5, ordered_dict_of, open_at, WIDE

CALLS = 300


def everything_in(table):
    """Every object of the table: dicts, keys and values at all levels."""
    objects = [table]
    for size, size_dict in table.items():
        objects += [size, size_dict]
        for weak_sum, digests in size_dict.items():
            objects += [weak_sum, digests]
            for digest, value in digests.items():
                objects += [digest, value]
    return objects


def refcounts(objects):
    # Shared objects (small ints, interned strings) move with whatever else
    # the interpreter does; only the table's own objects tell.
    own = [o for o in objects
           if isinstance(o, (dict, list, bytes)) and len(o) != 1
           or isinstance(o, int) and o > 256]
    return [sys.getrefcount(o) for o in own]


class RefcountTests(unittest.TestCase):

    def setUp(self):
        # 400 bytes of one letter: a size-1 block matches at every offset,
        # so counts and offsets are past the small-int cache.
        self.data = b"a" * 300 + b"bcdefghijk" * 10
        self.fd = open_at(self.data)
        self.addCleanup(os.close, self.fd)
        self.letter = ["letter"]
        self.word = ["word"]
        self.table = {
            1: {adler(b"a"): {md5(b"a"): self.letter}},
            10: {adler(b"bcdefghijk"): {md5(b"bcdefghijk"): self.word,
                                        md5(b"wrong"): ["stray"]}},
        }

    def call(self, table=None, file_size=None, buffer_size=64, fd=None):
        os.lseek(self.fd, 0, os.SEEK_SET)
        return vm.match(self.table if table is None else table,
                        self.fd if fd is None else fd,
                        len(self.data) if file_size is None else file_size,
                        buffer_size)

    def test_result_holds_its_own_references(self):
        letter_before = sys.getrefcount(self.letter)
        word_before = sys.getrefcount(self.word)
        result = self.call()
        values = list(result["matches"].values())
        self.assertEqual((sum(1 for v in values if v is self.letter),
                          sum(1 for v in values if v is self.word)), (300, 10))
        del values
        self.assertEqual(sys.getrefcount(self.letter), letter_before + 300)
        self.assertEqual(sys.getrefcount(self.word), word_before + 10)
        # Each object of the result is held by its container alone (plus the
        # name or list used here and getrefcount's own argument).
        self.assertEqual(sys.getrefcount(result), 2)
        for key in ("weak_matches", "strong_matches", "bytes_matched",
                    "matches"):
            self.assertEqual(sys.getrefcount(result[key]), 2, key)
        self.assertEqual(result["strong_matches"], 310)
        # Offsets past the small-int cache, against keys made in Python and
        # measured the same way.
        offsets = list(filter(lambda k: k > 256, result["matches"]))
        self.assertEqual(len(offsets), 53)
        control = dict((WIDE(k) + 1000, None) for k in range(53))
        expected = list(map(sys.getrefcount, list(control)))
        self.assertEqual(list(map(sys.getrefcount, offsets)), expected)
        del result, offsets
        self.assertEqual(sys.getrefcount(self.letter), letter_before)
        self.assertEqual(sys.getrefcount(self.word), word_before)

    def assertNoLeak(self, call, expected_error=None):
        """CALLS calls leave the table's refcounts and the number of
        collected objects as they were."""
        def once():
            if expected_error is None:
                return call()
            self.assertRaises(expected_error, call)

        watched = everything_in(self.table)
        once()
        once()
        gc.collect()
        before = refcounts(watched)
        objects_before = len(gc.get_objects())
        blocks_before = getattr(sys, "getallocatedblocks", lambda: 0)()
        for _ in range(CALLS):
            once()
        gc.collect()
        self.assertEqual(refcounts(watched), before)
        # A leaked result leaks two dicts per call.
        self.assertLess(len(gc.get_objects()) - objects_before, CALLS // 10)
        if hasattr(sys, "getallocatedblocks"):
            # Leaked offsets (not tracked by gc) show here: 310 per call.
            grown = sys.getallocatedblocks() - blocks_before
            self.assertLess(grown, CALLS, "%d blocks" % grown)

    def test_good_calls(self):
        self.assertNoLeak(self.call)
        self.assertNoLeak(lambda: self.call(buffer_size=4096))

    def test_table_refused_after_part_was_indexed(self):
        short = dict(self.table)
        short[12] = {1: {md5(b"x")[:5]: self.letter}}
        bad = ordered_dict_of([(1, self.table[1]), (10, self.table[10]),
                               (5, {"x": {}})])
        self.table[5] = bad[list(bad)[2]]
        self.assertNoLeak(lambda: self.call(bad), TypeError)
        self.assertNoLeak(lambda: self.call(short), ValueError)

    def test_eof_after_matches_were_recorded(self):
        self.assertNoLeak(lambda: self.call(file_size=500), RuntimeError)

    def test_other_failures(self):
        self.assertNoLeak(lambda: self.call(file_size=0), ValueError)
        self.assertNoLeak(lambda: self.call(buffer_size=5), ValueError)
        self.assertNoLeak(lambda: self.call(fd=-1), IOError)

    def test_empty_table(self):
        self.assertNoLeak(lambda: self.call({}))


if __name__ == "__main__":
    unittest.main()
