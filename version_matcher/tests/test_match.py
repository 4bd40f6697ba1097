"""Results of match on small generated files, worked out by hand.

Every case is also run through the plain model, so a disagreement shows
whether the module or the reference has drifted from the hand result.
"""
from __future__ import print_function, division

import itertools
import os
import unittest

import corvamire_version_matcher as vm
import model
from model import adler, md5, noise, ordered_dict_of, open_at, tell, WIDE, COUNTER


def entry(block, value):
    """The size dict of one known block."""
    return {adler(block): {md5(block): value}}


def merge(*size_dicts):
    table = {}
    for size_dict in size_dicts:
        table.update(size_dict)
    return table


class MatchCase(unittest.TestCase):

    def run_match(self, table, data, lead=b"", file_size=None,
                  buffer_size=4096):
        """(module result, model result) of one call each on the same file;
        also checks that both left the descriptor at the same place."""
        if file_size is None:
            file_size = len(data)
        fd = open_at(data, lead)
        try:
            got = vm.match(table, fd, file_size, buffer_size)
            got_end = tell(fd)
            os.lseek(fd, len(lead), os.SEEK_SET)
            ref = model.match(table, fd, file_size, buffer_size)
            self.assertEqual(got_end, tell(fd), "descriptor position")
        finally:
            os.close(fd)
        return got, ref

    def assertOutcome(self, result, weak, matches, msg=None):
        """result holds exactly these matches (the very value objects) and
        this weak count, with counters consistent with the matches."""
        self.assertEqual(result["weak_matches"], weak, msg)
        self.assertEqual(result["strong_matches"], len(matches), msg)
        self.assertEqual(sorted(result["matches"]), sorted(matches), msg)
        for offset, value in matches.items():
            self.assertIs(result["matches"][offset], value, msg)

    def assertMatch(self, weak, matches, table, data, msg=None, **kw):
        """Both the module and the model give this outcome; bytes_matched is
        given by the lengths of the matched blocks, passed as
        {offset: (value, length)}."""
        got, ref = self.run_match(table, data, **kw)
        values = dict((o, v) for o, (v, _) in matches.items())
        total = sum(n for _, n in matches.values())
        for name, result in (("module", got), ("model", ref)):
            label = "%s%s" % (name, "" if msg is None else ": " + msg)
            self.assertOutcome(result, weak, values, label)
            self.assertEqual(result["bytes_matched"], total, label)
        return got


class BlockPlacementTests(MatchCase):

    def test_block_at_start_is_matched_and_skipped(self):
        data = noise(1, 40)
        v = object()
        self.assertMatch(1, {0: (v, 4)}, {4: entry(data[:4], v)}, data)

    def test_block_after_one_byte_is_found_by_a_rolled_sum(self):
        # Offsets past size/2 also cross the forced recomputation.
        for size in (2, 4, 9):
            for offset in (1, 2, 3, 5, 8, 17):
                data = noise(size * 100 + offset, 60)
                v = object()
                block = data[offset:offset + size]
                self.assertMatch(1, {offset: (v, size)},
                                 {size: entry(block, v)}, data,
                                 "size %d offset %d" % (size, offset))

    def test_rolled_sum_that_goes_below_zero(self):
        # 257 bytes of 0xff make the byte sum part 15; rolling a 0xff out and
        # a 0 in must wrap to 65521 + 15 - 255, not go negative.
        data = b"\xff" * 257 + b"\x00" * 12
        for offset in (1, 2, 5, 12):
            v = object()
            block = data[offset:offset + 257]
            self.assertMatch(1, {offset: (v, 257)}, {257: entry(block, v)},
                             data, "offset %d" % offset)

    def test_size_one_blocks(self):
        data = b"abcabca"
        v = object()
        self.assertMatch(2, {1: (v, 1), 4: (v, 1)}, {1: entry(b"b", v)}, data)

    def test_blocks_back_to_back(self):
        a, b = noise(2, 4), noise(3, 4)
        va, vb = object(), object()
        size_dict = entry(a, va)
        size_dict.update(entry(b, vb))
        self.assertMatch(3, {0: (va, 4), 4: (vb, 4), 8: (va, 4)},
                         {4: size_dict}, a + b + a + noise(4, 3))

    def test_block_overlapping_a_match_is_not_reported(self):
        data = noise(5, 30)
        first, overlap, after = object(), object(), object()
        size_dict = entry(data[0:6], first)
        size_dict.update(entry(data[3:9], overlap))
        size_dict.update(entry(data[6:12], after))
        self.assertMatch(2, {0: (first, 6), 6: (after, 6)}, {6: size_dict},
                         data)

    def test_weak_hit_with_unknown_digest_counts_weak_only(self):
        data = noise(6, 30)
        table = {4: {adler(data[5:9]): {md5(b"another block"): object()}}}
        self.assertMatch(1, {}, table, data)

    def test_later_digest_of_the_same_sum(self):
        data = noise(7, 30)
        v = object()
        digests = {md5(b"x"): object(), md5(data[5:9]): v, md5(b"y"): object()}
        self.assertMatch(1, {5: (v, 4)}, {4: {adler(data[5:9]): digests}},
                         data)

    def test_matched_values_are_the_stored_objects(self):
        data = noise(8, 24)
        values = [None, 0, (1, 2), [], u"text", b"raw"]
        table = {}
        size_dict = {}
        for i, value in enumerate(values):
            size_dict.update(entry(data[4 * i:4 * i + 4], value))
        table[4] = size_dict
        got = self.assertMatch(
            6, dict((4 * i, (v, 4)) for i, v in enumerate(values)),
            table, data)
        for i, value in enumerate(values):
            self.assertIs(got["matches"][4 * i], value)


class MatchSizeOrderTests(MatchCase):

    def test_two_sizes_keep_exact_sums_across_refills(self):
        # Buffer 10 against a 64-byte file: a refill every few bytes.  With
        # (4, 8) the last size is the longest, so every position is tried for
        # both sizes until 8 no longer fits at the file's end.
        data = noise(9, 64)
        v = dict((o, object()) for o in (3, 9, 13, 30, 40, 57, 60))
        size4 = merge(*[entry(data[o:o + 4], v[o]) for o in (3, 9, 30, 57)])
        size8 = merge(*[entry(data[o:o + 8], v[o]) for o in (13, 40)])
        table = ordered_dict_of([(4, size4), (8, size8)])
        expected = {3: (v[3], 4), 9: (v[9], 4), 13: (v[13], 8),
                    30: (v[30], 4), 40: (v[40], 8), 57: (v[57], 4)}
        self.assertMatch(6, expected, table, data, buffer_size=10)
        # 58 is past the first position where size 8 no longer fits with the
        # whole file read: never tried.
        table[list(table)[0]] = entry(data[58:62], v[60])
        self.assertMatch(2, {13: (v[13], 8), 40: (v[40], 8)}, table, data,
                         buffer_size=10)

    def test_longer_size_skipped_near_the_end_of_a_buffer_load(self):
        # (8, 4) with buffer 10: size 8 stops fitting at position 3 of the
        # first load, size 4 keeps the scan advancing to 7, where the refill
        # happens.  Size 8 is thus never tried at file offsets 3 to 6.
        data = noise(10, 40)
        for offset, found in ((2, True), (4, False), (6, False), (7, True)):
            v = object()
            table = ordered_dict_of([(8, entry(data[offset:offset + 8], v)),
                                     (4, {})])
            expected = {offset: (v, 8)} if found else {}
            self.assertMatch(int(found), expected, table, data,
                             "offset %d" % offset, buffer_size=10)

    def test_size_longer_than_file_last_in_order(self):
        # (4, 1000) on 100 bytes: 1000 does not fit at position 0 and there
        # is nothing more to read, so only position 0 is ever tried.
        data = noise(11, 100)
        v = object()
        size4 = {adler(data[:4]): {md5(b"not it"): object()}}
        size4.update(entry(data[10:14], v))
        table = ordered_dict_of([(4, size4), (1000, {})])
        self.assertMatch(1, {}, table, data)
        # In the other order size 4 is last and decides: everything is tried.
        table = ordered_dict_of([(1000, {}), (4, size4)])
        self.assertMatch(2, {10: (v, 4)}, table, data)

    def test_first_size_in_order_wins_at_a_position(self):
        data = noise(12, 60)
        v = dict((s, object()) for s in (3, 5, 7))
        elsewhere = {3: 20, 5: 30, 7: 40}
        sizes = {}
        for s in (3, 5, 7):
            sizes[s] = merge(entry(data[:s], v[s]),
                             entry(data[elsewhere[s]:elsewhere[s] + s], v[s]))
        for order in itertools.permutations((3, 5, 7)):
            table = ordered_dict_of([(s, sizes[s]) for s in order])
            first = order[0]
            expected = {0: (v[first], first)}
            for s in (3, 5, 7):
                expected[elsewhere[s]] = (v[s], s)
            self.assertMatch(4, expected, table, data, "order %r" % (order,))

    def test_shared_sum_belongs_to_the_size_converted_first(self):
        data = noise(13, 40)
        v = object()
        shared = adler(data[:8])
        size4 = {shared: {md5(b"wrong"): object()}}
        size8 = {shared: {md5(data[:8]): v}}
        # Size 4 converted first: its entry answers for the shared sum when
        # size 8 looks it up, and its digests do not include the block's.
        self.assertMatch(1, {}, ordered_dict_of([(4, size4), (8, size8)]),
                         data)
        self.assertMatch(1, {0: (v, 8)},
                         ordered_dict_of([(8, size8), (4, size4)]), data)
        # A sum whose digest dict is empty adds nothing, so it hides nothing.
        self.assertMatch(1, {0: (v, 8)},
                         ordered_dict_of([(4, {shared: {}}), (8, size8)]),
                         data)


class DescriptorTests(MatchCase):

    def test_offsets_count_from_the_descriptor_position(self):
        data = noise(14, 30)
        lead_block = noise(15, 4)
        v, lead_v = object(), object()
        table = {4: merge(entry(data[3:7], v), entry(lead_block, lead_v))}
        self.assertMatch(1, {3: (v, 4)}, table, data,
                         lead=noise(16, 5) + lead_block)

    def test_bytes_past_file_size_are_never_read(self):
        data = noise(17, 40)
        v = dict((o, object()) for o in (16, 18, 25))
        table = {4: merge(*[entry(data[o:o + 4], v[o]) for o in v])}
        fd = open_at(data, b"lead")
        try:
            got = vm.match(table, fd, 20, 8)
            self.assertEqual(tell(fd), 4 + 20)
        finally:
            os.close(fd)
        self.assertOutcome(got, 1, {16: v[16]})
        self.assertMatch(1, {16: (v[16], 4)}, table, data, file_size=20,
                         buffer_size=8)

    def test_file_size_is_taken_modulo_2_to_the_64(self):
        data = noise(18, 20)
        v = object()
        self.assertMatch(1, {2: (v, 4)}, {4: entry(data[2:6], v)}, data,
                         file_size=2 ** 64 + len(data))

    def test_negative_buffer_size_reads_as_unsigned(self):
        data = noise(19, 20)
        v = object()
        self.assertMatch(1, {2: (v, 4)}, {4: entry(data[2:6], v)}, data,
                         buffer_size=-1)


class ResultTests(MatchCase):

    def test_result_keys_types_and_order(self):
        data = noise(20, 30)
        v = object()
        got, ref = self.run_match({4: entry(data[8:12], v)}, data)
        # Insert in the same order into a fresh dict: same iteration order
        # on both interpreters only if the module inserted in this order.
        expected = {}
        for key in ("weak_matches", "strong_matches", "bytes_matched",
                    "matches"):
            expected[key] = None
        self.assertEqual(list(got), list(expected))
        self.assertEqual(list(ref), list(expected))
        for result in (got, ref):
            self.assertIs(type(result), dict)
            self.assertIs(type(result["weak_matches"]), COUNTER)
            self.assertIs(type(result["strong_matches"]), COUNTER)
            self.assertIs(type(result["bytes_matched"]), WIDE)
            self.assertIs(type(result["matches"]), dict)
            self.assertEqual([type(k) for k in result["matches"]], [WIDE])
            self.assertEqual(result["bytes_matched"], 4)

    def test_nothing_matched_still_gives_wide_total(self):
        data = noise(21, 30)
        got, _ = self.run_match({4: {}}, data)
        self.assertIs(type(got["bytes_matched"]), WIDE)
        self.assertEqual(got["bytes_matched"], 0)
        self.assertEqual(got["matches"], {})

    def test_empty_table_gives_zero_result_without_reading(self):
        expected = {"weak_matches": 0, "strong_matches": 0,
                    "bytes_matched": 0, "matches": {}}
        fd = open_at(b"some bytes")
        try:
            for file_size in (10, 0):
                result = vm.match({}, fd, file_size, 4096)
                self.assertEqual(result, expected)
                self.assertIs(type(result["bytes_matched"]), WIDE)
                self.assertEqual(tell(fd), 0)
        finally:
            os.close(fd)
        # Not even the descriptor is looked at.
        self.assertEqual(vm.match({}, -1, 10, 0), expected)
        self.assertEqual(model.match({}, -1, 10, 0), expected)

    def test_size_without_entries_is_still_scanned(self):
        data = noise(22, 30)
        got, _ = self.run_match({4: {}, 5: {adler(data[:5]): {}}}, data)
        self.assertEqual(got["weak_matches"], 0)
        self.assertEqual(got["matches"], {})


class ModuleTests(unittest.TestCase):

    def test_version_docstrings_and_signature(self):
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                            os.pardir, os.pardir, "corvamire", "version.py")
        namespace = {}
        with open(path) as source:
            exec(source.read(), namespace)
        self.assertEqual(vm.__version__, namespace["__version__"])
        self.assertIn("adler32", vm.__doc__)
        try:
            from inspect import signature
        except ImportError:   # 2.7: the signature is the docstring's first line
            self.assertEqual(vm.match.__doc__.split("\n")[0],
                             "match(lookup_table, fd, file_size, buffer_size)")
        else:
            self.assertEqual(str(signature(vm.match)),
                             "(lookup_table, fd, file_size, buffer_size, /)")


if __name__ == "__main__":
    unittest.main()
