"""lookup_table building against a direct computation, the native builder
against the Python definition, and one match."""

import hashlib
import io
import os
import signal
import struct
import sys
import threading
import unittest
import zlib

from corvamire import lookup_table as lt
from corvamire.tests.helpers import TempDirTest, noise, require_matcher


def direct_table(data, size):
    """Every full block of `data`, computed without the helper."""
    table = {}
    for offset in range(0, len(data) - size + 1, size):
        block = data[offset:offset + size]
        weak = zlib.adler32(block) % (1 << 32)
        table.setdefault(weak, {}).setdefault(hashlib.md5(block).digest(),
                                              (size, offset))
    return table


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


def python_table(source, sizes):
    """build_lookup_table's Python definition: a value function of its own
    keeps the native builder out."""
    return lt.build_lookup_table(source, sizes, value=lambda s, o: (s, o))


class NativeTableTest(TempDirTest):

    def setUp(self):
        self.native = lt._corvamire_native
        if self.native is None:
            # Python 2 is what the package is built for: there it must be.
            if sys.version_info[0] < 3:
                raise ImportError("no _corvamire_native")
            self.skipTest("no _corvamire_native for this Python")
        TempDirTest.setUp(self)

    def test_same_table_as_the_python_definition(self):
        block = noise(128, "repeated")
        cases = [
            ("empty", b"", [2048]),
            ("short", noise(1000, "short"), [300, 4096]),
            # Blocks across the native reader's 1 MiB loads, one size in a
            # load of its own, sizes in an order other than by length.
            ("loads", noise(2 * (1 << 20) + 777, "loads"),
             [3000, 64, 1 << 20, 8192]),
            ("two sizes", noise((1 << 20) + 5000, "two"), [8192, 2048]),
            # Repeated blocks and equal sums: the first offset is kept.
            ("repeats", (block + noise(128, "other") + block) * 40
             + b"\0" * 9000, [128, 64, 256]),
            ("tiny sizes", noise(5000, "tiny"), [1, 7, 7, 2]),
        ]
        for name, data, sizes in cases:
            path = self.write(name, data)
            expected = python_table(path, sizes)
            for source in (path, open(path, "rb")):
                if hasattr(source, "read"):
                    source.read(100)   # its buffer ahead of its position
                table = lt.build_lookup_table(source, sizes)
                self.assertEqual(table, expected, name)
                self.assertEqual(list(table), list(expected), name)
                if hasattr(source, "read"):
                    self.assertEqual(source.tell(), len(data), name)
                    source.close()
        # A file object whose descriptor is not its bytes' source, as a
        # gzip or bz2 file's is the compressed file's.
        with open(path, "rb") as other:
            class Unpacking(io.BytesIO):
                def fileno(self):
                    return other.fileno()
            unpacked = b"z" * 5000
            self.assertEqual(lt.build_lookup_table(Unpacking(unpacked), sizes),
                             python_table(io.BytesIO(unpacked), sizes))

    def test_raw_digests_from_the_current_position(self):
        data = noise(70000, "raw")
        path = self.write("raw", data)
        fd = os.open(path, os.O_RDONLY)
        try:
            os.lseek(fd, 1000, os.SEEK_SET)
            entries = self.native.block_digests(fd, 50000, (2048, 64))
        finally:
            os.close(fd)
        part = data[1000:51000]
        for (size, sums, digests), want in zip(entries, (2048, 64)):
            blocks = [part[o:o + size]
                      for o in range(0, len(part) - size + 1, size)]
            self.assertEqual(size, want)
            self.assertEqual(sums, b"".join(
                struct.pack("<I", zlib.adler32(b) & 0xffffffff)
                for b in blocks))
            self.assertEqual(digests, b"".join(
                hashlib.md5(b).digest() for b in blocks))

    def test_bad_arguments(self):
        path = self.write("ten", b"x" * 10)
        fd = os.open(path, os.O_RDONLY)
        directory = os.open(self.dir, os.O_RDONLY)
        closed = os.open(path, os.O_RDONLY)   # a number no other one has now
        os.close(closed)
        digests = self.native.block_digests
        table = self.native.table_from_digests
        cases = [
            (TypeError, digests, (fd, 10, "2048")),
            (TypeError, digests, (fd, 10, [2048.0])),
            (TypeError, digests, (fd, 10, [True])),
            (ValueError, digests, (fd, 10, [])),
            (ValueError, digests, (fd, 10, [0])),
            (ValueError, digests, (fd, 10, [-4])),
            (ValueError, digests, (fd, 10, [0xffffffff])),
            (ValueError, digests, (-1, 10, [4])),
            (ValueError, digests, (closed, 10, [4])),
            (ValueError, digests, (fd, -1, [4])),
            (ValueError, digests, (fd, 11, [4])),        # the file ends first
            (EnvironmentError, digests, (directory, 10, [4])),
            (TypeError, table, ("entries",)),
            (TypeError, table, ([[4, b"", b""]],)),
            (TypeError, table, ([("4", b"", b"")],)),
            (ValueError, table, ([(0, b"", b"")],)),
            (ValueError, table, ([(4, b"abc", b"")],)),
            (ValueError, table, ([(4, b"abcd", b"x" * 15)],)),
        ]
        try:
            for error, call, args in cases:
                self.assertRaises(error, call, *args)
        finally:
            os.close(fd)
            os.close(directory)

    def long_call(self):
        """A call on /dev/zero that would run for a minute: 64 GiB."""
        zero = os.open("/dev/zero", os.O_RDONLY)
        self.addCleanup(os.close, zero)
        return lambda: self.native.block_digests(zero, 1 << 36, [1 << 20])

    def test_signal_handler_interrupts_a_long_call(self):
        def raise_interrupt(signum, frame):
            raise KeyboardInterrupt
        call = self.long_call()
        previous = signal.signal(signal.SIGALRM, raise_interrupt)
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            self.assertRaises(KeyboardInterrupt, call)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)

    @unittest.skipIf(sys.version_info[0] < 3,
                     "2.7 keeps the interpreter lock for the whole call")
    def test_other_threads_run_during_a_call(self):
        # The call ends only by the SIGINT the other thread sends once it has
        # ticked TICKS times meanwhile.
        ticks, stop = [0], []
        TICKS = 100

        def tick():
            while not stop:
                threading.Event().wait(0.001)
                ticks[0] += 1
                if ticks[0] == TICKS:
                    os.kill(os.getpid(), signal.SIGINT)

        call = self.long_call()
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            self.assertRaises(KeyboardInterrupt, call)
        finally:
            stop.append(True)
            ticker.join()
            signal.signal(signal.SIGINT, previous)
        self.assertTrue(ticks[0] >= TICKS)


class MatchFileTest(TempDirTest):

    def setUp(self):
        require_matcher(self)
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
