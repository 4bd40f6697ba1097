"""Every way match refuses its input or fails to read, with its message, and
the order in which the checks are made."""
from __future__ import print_function, division

import errno
import os
import random
import shutil
import tempfile
import unittest

import corvamire_version_matcher as vm
import model
from model import adler, md5, ordered_dict_of, open_at, tell

DIGEST = md5(b"block")


def noise(seed, n):
    rng = random.Random(seed)
    return bytes(bytearray(rng.randrange(256) for _ in range(n)))


def good_table(data, offset, value, size=4):
    block = data[offset:offset + size]
    return {size: {adler(block): {md5(block): value}}}


class ErrorCase(unittest.TestCase):

    def call_both(self, table, data=b"0123456789", file_size=None,
                  buffer_size=4096, fd=None):
        """Call the module and the model on the same input; return the two
        exceptions (or results) and the descriptor positions after each."""
        if file_size is None:
            file_size = len(data)
        own = fd is None
        if own:
            fd = open_at(data)
        outcomes = []
        try:
            for call in (vm.match, model.match):
                start = tell(fd) if fd >= 0 else None
                try:
                    outcome = call(table, fd, file_size, buffer_size)
                except Exception as e:
                    outcome = e
                outcomes.append((outcome, tell(fd) if fd >= 0 else None))
                if start is not None:
                    os.lseek(fd, start, os.SEEK_SET)
        finally:
            if own:
                os.close(fd)
        return outcomes

    def assertFails(self, exc_type, message, table, **kw):
        """Module and model raise exc_type with this message (None: no
        message, as for MemoryError) and read the same bytes first."""
        outcomes = self.call_both(table, **kw)
        for name, (outcome, end) in zip(("module", "model"), outcomes):
            self.assertIsInstance(outcome, exc_type,
                                  "%s gave %r" % (name, outcome))
            if message is None:
                self.assertEqual(outcome.args, (), name)
            else:
                self.assertEqual(str(outcome), message, name)
        self.assertEqual(outcomes[0][1], outcomes[1][1], "position after")
        return outcomes[0][0]


class ArgumentTests(unittest.TestCase):

    def setUp(self):
        self.fd = open_at(b"0123456789")
        self.addCleanup(os.close, self.fd)

    def test_wrong_argument_types(self):
        fd = self.fd
        for args in (([], fd, 10, 10), (None, fd, 10, 10),
                     ({}, 1.0, 10, 10), ({}, "3", 10, 10),
                     ({}, fd, 10.0, 10), ({}, fd, "10", 10),
                     ({}, fd, 10, 10.0), ({}, fd, 10, None)):
            self.assertRaises(TypeError, vm.match, *args)

    def test_ints_that_do_not_fit(self):
        fd = self.fd
        for args in (({}, 2 ** 31, 10, 10), ({}, -2 ** 31 - 1, 10, 10),
                     ({}, fd, 10, 2 ** 31), ({}, fd, 10, -2 ** 31 - 1)):
            self.assertRaises(OverflowError, vm.match, *args)

    def test_argument_count_and_keywords(self):
        fd = self.fd
        self.assertRaises(TypeError, vm.match)
        self.assertRaises(TypeError, vm.match, {}, fd, 10)
        self.assertRaises(TypeError, vm.match, {}, fd, 10, 10, 10)
        self.assertRaises(TypeError, vm.match, {}, fd, 10, buffer_size=10)
        self.assertRaises(TypeError, vm.match, lookup_table={}, fd=fd,
                          file_size=10, buffer_size=10)


class TableTests(ErrorCase):

    def test_match_size_key(self):
        for key in ("4", b"4", None, (4,)):
            self.assertFails(TypeError,
                             "key of lookup_table must be an int (match_size)",
                             {key: {}})

    def test_match_size_value(self):
        for value in ([], None, 4, [(1, {})]):
            self.assertFails(TypeError,
                             "contents of lookup_table[size] must be a dict",
                             {4: value})

    def test_invalid_match_sizes(self):
        for key in (-1, 4294967295, 2 ** 33 - 1, 0, 2 ** 32, -2 ** 32, -0.5):
            self.assertFails(ValueError, "Invalid match size", {key: {}})

    def test_adler32_key(self):
        for key in ("1", b"1", None):
            self.assertFails(
                TypeError,
                "key of lookup_table[size] must be an int (adler32 sum)",
                {4: {key: {DIGEST: 1}}})

    def test_adler32_value(self):
        for value in ([], None, DIGEST):
            self.assertFails(
                TypeError,
                "contents of lookup_table[size][adler32] must be a dict",
                {4: {1: value}})

    def test_invalid_adler32_sums(self):
        for key in (-1, 4294967295, 2 ** 40 - 1):
            self.assertFails(ValueError, "Invalid adler32 sum",
                             {4: {key: {DIGEST: 1}}})

    def test_interrupt_in_a_key_conversion_passes_through(self):
        # Ctrl-C or an exit asked for while a key's own code runs is the
        # call's exception, not a refused key; a failure is still refused.
        class Key(object):
            def __init__(self, raised):
                self.raised = raised

            def __int__(self):
                raise self.raised()

        for raised, expected in ((KeyboardInterrupt, KeyboardInterrupt),
                                 (SystemExit, SystemExit),
                                 (ArithmeticError, ValueError)):
            for table, message in (
                    ({Key(raised): {}}, "Invalid match size"),
                    ({4: {Key(raised): {DIGEST: 1}}}, "Invalid adler32 sum")):
                fd = open_at(b"0123456789")
                try:
                    with self.assertRaises(expected) as caught:
                        vm.match(table, fd, 10, 4096)
                finally:
                    os.close(fd)
                if expected is ValueError:
                    self.assertEqual(str(caught.exception), message)

    def test_digest_length(self):
        for digest in (DIGEST[:15], DIGEST + b"x", b""):
            self.assertFails(ValueError, "MD5 digest is not the right size",
                             {4: {1: {digest: 1}}})

    def test_digest_that_is_not_a_byte_string(self):
        for digest in (u"0123456789abcdef", u"short", 7, None):
            self.assertFails(MemoryError, None, {4: {1: {digest: 1}}})

    def test_key_check_comes_before_value_check(self):
        self.assertFails(TypeError,
                         "key of lookup_table must be an int (match_size)",
                         {"4": []})
        self.assertFails(
            TypeError,
            "key of lookup_table[size] must be an int (adler32 sum)",
            {4: {"1": []}})

    def test_value_check_comes_before_key_value(self):
        self.assertFails(TypeError,
                         "contents of lookup_table[size] must be a dict",
                         {-1: []})
        self.assertFails(
            TypeError,
            "contents of lookup_table[size][adler32] must be a dict",
            {4: {-1: []}})

    def test_key_value_comes_before_the_level_below(self):
        self.assertFails(ValueError, "Invalid match size", {0: {"1": {}}})
        self.assertFails(ValueError, "Invalid match size",
                         {-1: {1: {u"x": 1}}})
        self.assertFails(ValueError, "Invalid adler32 sum",
                         {4: {-1: {DIGEST[:3]: 1}}})
        self.assertFails(MemoryError, None, {4: {1: {u"x": 1}}})

    def test_first_bad_item_in_iteration_order_wins(self):
        table = ordered_dict_of([(4, {1: {DIGEST[:2]: 1}}), (5, {"s": {}})])
        self.assertFails(ValueError, "MD5 digest is not the right size", table)
        table = ordered_dict_of([(5, {"s": {}}), (4, {1: {DIGEST[:2]: 1}})])
        self.assertFails(
            TypeError,
            "key of lookup_table[size] must be an int (adler32 sum)", table)

    def test_table_is_checked_before_the_file(self):
        self.assertFails(ValueError, "Invalid match size", {0: {}},
                         file_size=0)
        self.assertFails(ValueError, "Invalid match size", {0: {}}, fd=-1)


class AcceptedKeyTests(ErrorCase):
    """Keys are numbers taken modulo 2**32, floats truncated; dict and byte
    string subclasses are accepted."""

    def assertFinds(self, table, data, offset, value):
        outcomes = self.call_both(table, data)
        for name, (result, _) in zip(("module", "model"), outcomes):
            self.assertIsInstance(result, dict, "%s gave %r" % (name, result))
            self.assertEqual(list(result["matches"]), [offset], name)
            self.assertIs(result["matches"][offset], value, name)

    def test_number_keys(self):
        data = noise(1, 30)
        block = data[6:10]
        for size_key in (4, 4 + 2 ** 32, 4 - 2 ** 32, 4.9, 4 + 7 * 2 ** 64):
            for sum_key in (adler(block), adler(block) + 0.75,
                            adler(block) - 2 ** 32, adler(block) + 5 * 2 ** 32):
                v = object()
                self.assertFinds({size_key: {sum_key: {md5(block): v}}},
                                 data, 6, v)

    def test_subclasses(self):
        class Table(dict):
            pass

        class Digest(bytes):
            pass

        data = noise(2, 30)
        block = data[6:10]
        v = object()
        table = Table({4: Table({adler(block): Table({Digest(md5(block)): v})})})
        self.assertFinds(table, data, 6, v)


class FileTests(ErrorCase):

    def test_zero_size_file(self):
        table = good_table(b"0123", 0, 1)
        for file_size in (0, 2 ** 64):
            self.assertFails(ValueError, "Zero size file", table,
                             file_size=file_size)
        # Refused before the descriptor is used.
        self.assertFails(ValueError, "Zero size file", table, file_size=0,
                         fd=-1)

    def test_last_size_longer_than_buffer(self):
        data = noise(3, 100)
        for sizes, buffer_size in (((4, 60), 50), ((60,), 50), ((4,), 0),
                                   ((4,), 3)):
            table = ordered_dict_of([(s, {}) for s in sizes])
            # The model reads nothing before refusing; neither may the module.
            self.assertFails(ValueError, "Match size larger than buffer_size",
                             table, data=data, buffer_size=buffer_size)
        self.assertFails(ValueError, "Match size larger than buffer_size",
                         {60: {}}, data=data, buffer_size=50, fd=-1)

    def test_long_sizes_that_can_still_end(self):
        data = noise(4, 100)
        v = object()
        block = data[70:74]
        # Not last in the list, or the whole file fits in the buffer.
        for sizes, buffer_size in (((60, 4), 50), ((4, 1000), 100),
                                   ((4, 101), 200)):
            table = ordered_dict_of([(s, {}) for s in sizes])
            table[list(table)[sizes.index(4)]] = {adler(block): {md5(block): v}}
            outcomes = self.call_both(table, data, buffer_size=buffer_size)
            for result, end in outcomes:
                self.assertIsInstance(result, dict, repr(result))
                self.assertEqual(end, 100)
            if sizes[-1] == 4:
                self.assertIs(outcomes[0][0]["matches"][70], v)

    def test_unexpected_eof(self):
        data = noise(5, 100)
        cases = [
            # (file_size, buffer_size, got, asked)
            (120, 4096, 100, 120),    # the first fill
            (200, 64, 36, 61),        # a refill in the middle
            (110, 64, 36, 46),        # the last refill
        ]
        for file_size, buffer_size, got, asked in cases:
            self.assertFails(RuntimeError,
                             "Unexpected EOF: 0x32768; %d of %d" % (got, asked),
                             good_table(data, 10, object()), data=data,
                             file_size=file_size, buffer_size=buffer_size)
        self.assertFails(RuntimeError, "Unexpected EOF: 0x32768; 0 of 7",
                         good_table(data, 10, object()), data=b"",
                         file_size=7)

    def test_read_errors(self):
        table = good_table(b"0123", 0, 1)
        handle, path = tempfile.mkstemp(prefix="vm_test_")
        os.write(handle, b"0123456789")
        os.close(handle)
        self.addCleanup(os.unlink, path)
        write_only = os.open(path, os.O_WRONLY)
        self.addCleanup(os.close, write_only)
        directory = tempfile.mkdtemp(prefix="vm_test_")
        self.addCleanup(shutil.rmtree, directory)
        dir_fd = os.open(directory, os.O_RDONLY)
        self.addCleanup(os.close, dir_fd)
        closed = os.open(path, os.O_RDONLY)
        os.close(closed)
        for fd, code in ((write_only, errno.EBADF), (dir_fd, errno.EISDIR),
                         (closed, errno.EBADF), (-1, errno.EBADF)):
            for call in (vm.match, model.match):
                try:
                    call(table, fd, 10, 4096)
                except IOError as e:
                    self.assertEqual(e.args, (code, os.strerror(code)))
                else:
                    self.fail("%r read from fd %d" % (call, fd))


class RecoveryTests(unittest.TestCase):
    """A failed call leaves nothing behind for the next one."""

    def test_good_call_after_each_failure(self):
        data = noise(6, 80)
        v, stale = object(), object()
        block = data[3:7]
        good = {4: {adler(data[20:24]): {md5(data[20:24]): v}}}
        # Each failing table first indexes the block at 3 under another
        # value, then fails: a leftover entry would show in the next result.
        poisoned = {adler(block): {md5(block): stale}}
        failures = [
            (ordered_dict_of([(4, poisoned), (5, {"bad": {}})]), 80, 4096),
            (ordered_dict_of([(4, poisoned), (0, {})]), 80, 4096),
            ({4: ordered_dict_of([(adler(block), {md5(block): stale}),
                                  (-1, {})])}, 80, 4096),
            ({4: poisoned}, 0, 4096),           # zero size file
            ({4: poisoned}, 81, 4096),          # early EOF on the first fill
            ({4: poisoned}, 120, 16),           # early EOF after a match
            (ordered_dict_of([(4, poisoned), (60, {})]), 80, 50),
        ]
        fd = open_at(data)
        self.addCleanup(os.close, fd)
        first = vm.match(good, fd, 80, 4096)
        self.assertEqual(first["matches"], {20: v})
        for table, file_size, buffer_size in failures:
            os.lseek(fd, 0, os.SEEK_SET)
            self.assertRaises((TypeError, ValueError, RuntimeError), vm.match,
                              table, fd, file_size, buffer_size)
            os.lseek(fd, 0, os.SEEK_SET)
            again = vm.match(good, fd, 80, 4096)
            self.assertEqual(again, first, repr(table))
            self.assertIs(again["matches"][20], v)
        self.assertRaises(IOError, vm.match, good, -1, 80, 4096)
        os.lseek(fd, 0, os.SEEK_SET)
        self.assertEqual(vm.match(good, fd, 80, 4096), first)


if __name__ == "__main__":
    unittest.main()
