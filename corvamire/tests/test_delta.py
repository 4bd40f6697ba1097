"""Delta round trips rebuild the later version byte for byte; a damaged
delta or a wrong earlier version is refused and leaves no file."""

import io
import os
import random
import stat
import tempfile
import unittest

from corvamire import delta as dl
from corvamire import lookup_table as lt
from corvamire.delta_format import DeltaReader
from corvamire.signature import Signature
from corvamire.tests import helpers
from corvamire.tests.helpers import noise


def edited(data, seed, edits=8):
    """`data` with insertions, deletions and overwrites spread over it."""
    rng = random.Random(seed)
    out = bytearray(data)
    for n in range(edits):
        at = rng.randrange(len(out) + 1)
        piece = noise(rng.randint(1, 700), "%s:%d" % (seed, n))
        kind = n % 3
        if kind == 0:
            out[at:at] = piece
        elif kind == 1:
            del out[at:at + len(piece)]
        else:
            out[at:at + len(piece)] = piece
    return bytes(out)


def blocks(data, size):
    return [data[i:i + size] for i in range(0, len(data), size)]


def system_libraries():
    """System libraries this process has mapped (the C library, zlib,
    libcrypto for the matcher): real binaries."""
    paths = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if (path.startswith(("/lib", "/usr/lib")) and
                    ".so" in os.path.basename(path) and os.path.isfile(path)):
                paths.add(path)
    sized = sorted((os.path.getsize(p), p) for p in paths
                   if 100000 <= os.path.getsize(p) <= 5 << 20)
    # The smallest and the largest: two kinds of library, few seconds.
    return [p for _, p in sized[:1] + sized[-1:]]


class TempDirTest(helpers.TempDirTest):
    prefix = "delta-"

    def setUp(self):
        helpers.require_matcher(self)
        helpers.TempDirTest.setUp(self)

    def round_trip(self, old, new, block_sizes=(8192, 2048),
                   buffer_size=1 << 20):
        """The delta of `new` against `old`, through its binary form and
        back, patched; checks the rebuilt file and the op list's shape."""
        old_path = self.write("old", old)
        new_path = self.write("new", new)
        made = dl.delta(dl.signature(old_path, block_sizes), new_path,
                        buffer_size)
        stream = io.BytesIO()
        self.assertEqual(made.write(stream), len(stream.getvalue()))
        stream.seek(0)
        back = dl.Delta.read(stream)
        self.assertEqual(back.ops, made.ops)
        dl.patch(old_path, back, os.path.join(self.dir, "rebuilt"))
        self.assertTrue(self.read("rebuilt") == new, "rebuilt file differs")
        self.assertEqual(made.copied_bytes + made.literal_bytes, len(new))
        self.assertEqual(made.new_size, len(new))
        # Copies of consecutive blocks of one size are one operation.
        for first, second in zip(made.ops, made.ops[1:]):
            self.assertFalse(first[0] == "copy" == second[0] and
                             first[1] + first[2] == second[1] and
                             first[3] == second[3], made.ops)
        self.assertEqual(sorted(os.listdir(self.dir)),
                         ["new", "old", "rebuilt"])
        return made


class RoundTripTest(TempDirTest):

    def test_generated(self):
        old = noise(32 * 8192, "old")
        reordered = list(reversed(blocks(old, 8192)))
        shuffled = blocks(old, 2048)
        random.Random(7).shuffle(shuffled)
        cases = [
            # name, old, new, literal bytes expected (None: not fixed)
            ("both empty", b"", b"", 0),
            ("new empty", old, b"", 0),
            ("old empty", b"", old[:5000], 5000),
            ("one byte", old, old[100:101], 1),
            ("one byte each", b"x", b"x", 1),
            ("shorter than the smallest block", old, old[4096:5096], 1000),
            ("identical", old, old, 0),
            ("8 KiB blocks in reverse order", old, b"".join(reordered), 0),
            ("2 KiB blocks shuffled", old, b"".join(shuffled), 0),
            ("edited", old, edited(old, "e"), None),
            ("edited, with a short tail", old + b"tail",
             edited(old, "t") + b"tail", None),
            ("nothing shared", old, noise(70000, "other"), 70000),
        ]
        # A buffer that holds one long block leaves many positions near
        # its end untested: the literals must cover them.
        for buffer_size in (1 << 20, 8192):
            for name, old_data, new_data, literal in cases:
                label = "%s, buffer %d" % (name, buffer_size)
                made = self.round_trip(old_data, new_data,
                                       buffer_size=buffer_size)
                if literal is not None and buffer_size == 1 << 20:
                    self.assertEqual(made.literal_bytes, literal, label)
                if name == "identical":
                    self.assertEqual(made.ops, [("copy", 0, len(old), 8192)],
                                     label)
                if name.startswith("edited"):
                    # Each edit spoils at most a few blocks around it.
                    self.assertTrue(made.literal_bytes < len(new_data) // 4,
                                    (label, made.literal_bytes))

    def test_segments_give_the_scan_of_the_whole_file(self):
        old = noise(16 * 8192, "segments")
        shuffled = blocks(old, 2048)
        random.Random(3).shuffle(shuffled)
        new = edited(b"".join(shuffled) + old, "segments", 12)
        sig = dl.signature(self.write("old", old))
        path = self.write("new", new)
        whole = dl.delta(sig, path)
        saved = dl._SEGMENT_MIN, dl._SEGMENT_PER_OLD_BYTE
        self.addCleanup(setattr, dl, "_SEGMENT_MIN", saved[0])
        self.addCleanup(setattr, dl, "_SEGMENT_PER_OLD_BYTE", saved[1])
        dl._SEGMENT_PER_OLD_BYTE = 0
        # Segments that end inside blocks of either size, and one of the
        # smallest that still holds two of the longest.
        for segment in (30001, 20480, 16384):
            dl._SEGMENT_MIN = segment
            self.assertEqual(dl.delta(sig, path).data, whole.data, segment)

    def test_native_runs_equal_the_python_ones(self):
        try:
            from _corvamire_native import match_runs
        except ImportError:
            self.skipTest("no _corvamire_native")
        # offset -> (size, old offset); old file 8 blocks of 4 (32 bytes).
        chain = dict((4 * i, (4, 4 * i)) for i in range(8))
        cases = [
            ({}, 0, 100),
            (chain, 0, 100),
            (chain, 0, 13),                         # cut inside a block
            (chain, 1000, 2000),                    # offsets from start
            ({0: (4, 4), 4: (4, 8), 8: (2, 10), 10: (2, 12), 12: (4, 4),
              30: (4, 28), 34: (4, 32)}, 0, 100),   # the last lies outside
            ({0: (4, 2), 4: (4, 8), 6: (4, 12), 40: (0, 0)}, 0, 100),
            ({5: (4, 0), 9: (4, 4), 13: (8, 8), 21: (8, 16)}, 7, 100),
        ]
        for matches, start, cut in cases:
            for new_size in (cut + 64, start + 20):
                self.assertEqual(
                    match_runs(matches, start, cut, 32, new_size),
                    dl._match_runs(matches, start, cut, 32, new_size),
                    (matches, start, cut, new_size))
        for bad in ({0: 4}, {0: (4,)}, {"0": (4, 0)}, {0: (4, -4)}):
            self.assertRaises(TypeError, match_runs, bad, 0, 10, 32, 64)

    def test_native_encoding_equals_the_python_one(self):
        from corvamire import delta_format
        encode = getattr(dl.native(), "encode_copies", None)
        if encode is None:
            self.skipTest("no _corvamire_native")
        old = noise(300000, "encode")
        sig = dl.signature(self.write("old", old), (4096, 1024))
        path = self.write("new", edited(old, "encode", 30))
        made = dl.delta(sig, path).data
        self.addCleanup(setattr, dl, "_READY_COPIES", dl._READY_COPIES)
        dl._READY_COPIES = 1
        self.assertEqual(dl.delta(sig, path).data, made)
        self.addCleanup(setattr, delta_format, "native", delta_format.native)
        delta_format.native = lambda: None
        self.assertEqual(dl.delta(sig, path).data, made)
        digests = {1024: sig.digests(1024)}
        for error, runs in ((ValueError, [(1024, 290, 3)]),
                            (ValueError, [(2048, 0, 1)]),
                            (TypeError, [(1024, -1, 1)]), (TypeError, [(1,)])):
            self.assertRaises(error, encode, runs, digests)

    def test_system_libraries_with_edits(self):
        libraries = system_libraries()
        self.assertTrue(libraries)
        for path in libraries:
            with open(path, "rb") as f:
                old = f.read()
            # An edit per 100 KB, and a stretch from the middle moved to
            # the end.
            new = edited(old, path, 1 + len(old) // 100000)
            third = len(new) // 3
            new = new[:third] + new[2 * third:] + new[third:2 * third]
            made = self.round_trip(old, new)
            self.assertTrue(made.copied_bytes > len(new) * 0.8,
                            (path, made.copied_bytes, len(new)))

    def test_in_place_and_mode(self):
        old = noise(50000, "in place")
        path = self.write("file", old)
        os.chmod(path, 0o640)
        new = edited(old, "in place")
        self.write("later", new)
        made = dl.delta(dl.signature(path), os.path.join(self.dir, "later"))
        other = os.path.join(self.dir, "other")
        dl.patch(path, made, other)
        dl.patch(path, made, path)
        for name in ("file", "other"):
            self.assertTrue(self.read(name) == new, name)
            self.assertEqual(stat.S_IMODE(os.stat(
                os.path.join(self.dir, name)).st_mode), 0o640)

    def test_buffer_must_hold_the_longest_block(self):
        sig = dl.signature(self.write("old", b"x" * 100), (4096, 1024))
        self.assertRaises(ValueError, dl.delta, sig,
                          self.write("new", b"y"), 2048)


class SignatureFileTest(TempDirTest):

    def signature_file(self, data, sizes):
        sig = dl.signature(self.write("old", data), sizes)
        stream = io.BytesIO()
        self.assertEqual(sig.write(stream), len(stream.getvalue()))
        return sig, stream.getvalue()

    def test_read_back_gives_the_table(self):
        old = noise(3 * 8192 + 2048 + 17, "sig") + b"\0" * 8192 * 2
        cases = [(b"", (2048,)), (old[:100], (8192, 2048)),
                 (old[:8192], (8192,)), (old, (2048, 8192, 4096)),
                 (old, (3000, 1))]
        for data, sizes in cases:
            sig, written = self.signature_file(data, sizes)
            back = Signature.read(io.BytesIO(written))
            self.assertEqual((back.size, back.block_sizes, back.entries),
                             (len(data), tuple(sorted(sizes, reverse=True)),
                              sig.entries))
            # About 20 bytes a block.
            blocks = sum(len(data) // size for size in sizes)
            self.assertEqual(len(written), 20 + 4 * len(sizes) + 20 * blocks)
            expected = lt.build_lookup_table(self.write("old", data),
                                             back.block_sizes)
            self.assertEqual(back.lookup_table, expected, sizes)

    def test_file_objects_from_their_position(self):
        data = noise(20000, "objects")
        expected = dict((skip, dl.signature(self.write("part", data[skip:]),
                                            (4096, 1000)).entries)
                        for skip in (0, 7))
        path = self.write("whole", data)
        for skip in (0, 7):
            for buffering in (0, -1):
                with io.open(path, "rb", buffering=buffering) as f:
                    f.read(skip)
                    made = dl.signature(f, (4096, 1000))
                    self.assertEqual(f.read(), b"")
                self.assertEqual(made.entries, expected[skip],
                                 (skip, buffering))
            made = dl.signature(io.BytesIO(data[skip:]), (4096, 1000))
            self.assertEqual(made.entries, expected[skip])

    def test_truncated_damaged_and_foreign(self):
        _, written = self.signature_file(noise(5000, "d"), (1024, 512))
        damaged = [written[:end] for end in range(len(written))]
        for at in range(len(written)):
            for flip in (0x01, 0x80):
                changed = bytearray(written)
                changed[at] ^= flip
                damaged.append(bytes(changed))
        damaged.append(written + b"\0")
        for data in damaged:
            self.assertRaises(ValueError, Signature.read, io.BytesIO(data))
        for data, words in [(b"CVMD" + written[4:], "not a corvamire"),
                            (written[:4] + b"\x09" + written[5:], "version 9"),
                            (written[:-1], "truncated"),
                            (written[:-1] + b"!", "checksum")]:
            try:
                Signature.read(io.BytesIO(data))
            except ValueError as e:
                self.assertTrue(words in str(e), (words, str(e)))

    def test_delta_with_the_old_file_gone(self):
        old = noise(40000, "gone")
        new = edited(old, "gone", 4)
        _, written = self.signature_file(old, (2048, 512))
        os.rename(os.path.join(self.dir, "old"),
                  os.path.join(self.dir, "moved"))
        made = dl.delta(Signature.read(io.BytesIO(written)),
                        self.write("new", new))
        self.assertTrue(made.copied_bytes > len(new) // 2)
        dl.patch(os.path.join(self.dir, "moved"), made,
                 os.path.join(self.dir, "rebuilt"))
        self.assertTrue(self.read("rebuilt") == new)

    def test_arguments_are_checked(self):
        path = self.write("old", noise(5000, "args"))
        sig = dl.signature(path, (1024,))
        calls = [
            (TypeError, dl.signature, (path, "8192")),
            (TypeError, dl.signature, (path, 2048)),
            (TypeError, dl.signature, (path, [2048.0])),
            (ValueError, dl.signature, (path, [0])),
            (ValueError, dl.signature, (path, [-2048])),
            (ValueError, dl.signature, (path, [])),
            (TypeError, dl.signature, (3,)),
            (TypeError, dl.delta, (sig, 3)),
            (TypeError, dl.delta, (sig.entries, path)),
            (TypeError, dl.delta, (sig, path, "1")),
            (TypeError, dl.patch, (path, b"", 3)),
            (TypeError, dl.patch, (3, b"", path)),
            (TypeError, dl.patch, (path, 3, path)),
            (TypeError, Signature.read, (path,)),
            (TypeError, sig.write, (path,)),
            (TypeError, dl.Delta.read, (path,)),
            (TypeError, dl.write_delta, (sig, path, path)),
        ]
        for error, function, args in calls:
            self.assertRaises(error, function, *args)
        # /proc reports a size of 0 for files that have bytes.
        with open("/proc/version", "rb") as f:
            text = f.read()
        sig = dl.signature("/proc/version", (16,))
        self.assertEqual(sig.size, len(text))
        made = dl.delta(sig, "/proc/version")
        self.assertEqual(made.new_size, len(text))
        self.assertEqual(made.copied_bytes, len(text) // 16 * 16)


class DamageTest(TempDirTest):

    def setUp(self):
        TempDirTest.setUp(self)
        self.old = noise(20000, "damage")
        self.new = edited(self.old, "damage", 3)
        self.old_path = self.write("old", self.old)
        made = dl.delta(dl.signature(self.old_path, (1024, 256)),
                        self.write("new", self.new))
        self.assertTrue(made.copied_bytes and made.literal_bytes)
        stream = io.BytesIO()
        made.write(stream)
        self.data = stream.getvalue()
        self.target = self.write("target", b"what was there before")

    def assert_refused(self, data):
        try:
            made = dl.Delta.read(io.BytesIO(data))
        except ValueError:
            return
        # Read, but then the rebuilt file must not pass its check.
        self.assertRaises(ValueError, dl.patch, self.old_path, made,
                          self.target)
        self.assertEqual(self.read("target"), b"what was there before")

    def test_truncated_and_damaged(self):
        for end in range(len(self.data)):
            self.assert_refused(self.data[:end])
        for at in range(len(self.data)):
            for flip in (0x01, 0x80):
                damaged = bytearray(self.data)
                damaged[at] ^= flip
                self.assert_refused(bytes(damaged))
        self.assert_refused(b"PK\x03\x04" + self.data[4:])
        # Reading stops after the delta's end.
        stream = io.BytesIO(self.data + b"after")
        self.assertEqual(dl.Delta.read(stream).data, self.data)
        self.assertEqual(stream.read(), b"after")
        self.assertEqual(sorted(os.listdir(self.dir)),
                         ["new", "old", "target"])

    def test_wrong_earlier_version(self):
        made = dl.Delta.read(io.BytesIO(self.data))
        # Same size, one byte changed inside a copied block; then a
        # different size.
        copy = [op for op in made.ops if op[0] == "copy"][0]
        wrong = bytearray(self.old)
        wrong[copy[1]] ^= 0xff
        for data in (bytes(wrong), self.old + b"!"):
            self.write("old", data)
            self.assertRaises(ValueError, dl.patch, self.old_path, made,
                              self.target)
        self.assertEqual(self.read("target"), b"what was there before")
        self.assertEqual(sorted(os.listdir(self.dir)),
                         ["new", "old", "target"])


    def test_native_reading_equals_the_python_one(self):
        if not hasattr(dl.native(), "read_copies"):
            self.skipTest("no _corvamire_native")

        def read(data, native):
            found = []
            try:
                reader = DeltaReader(io.BytesIO(data))
                for op in reader.pieces() if native else reader.ops():
                    if op[0] == "copies":
                        found.extend(("copy",) + copy for copy in op[1])
                        self.assertEqual(
                            (sum(copy[1] for copy in op[1]),
                             sum(copy[1] // copy[2] for copy in op[1])),
                            op[2:])
                    else:
                        found.append(op)
                found.append(reader.check)
            except ValueError as e:
                found.append(str(e))
            return found

        self.assertEqual(len(read(self.data, True)[-1]), 16)  # read whole
        for end in range(0, len(self.data), 7):
            self.assertEqual(read(self.data[:end], True),
                             read(self.data[:end], False), end)
        for at in range(len(self.data)):
            for flip in (0x01, 0x80):
                damaged = bytearray(self.data)
                damaged[at] ^= flip
                self.assertEqual(read(bytes(damaged), True),
                                 read(bytes(damaged), False), (at, flip))

    def test_native_copies_equal_the_python_ones(self):
        from corvamire import patching
        if not hasattr(dl.native(), "patch_copy"):
            self.skipTest("no _corvamire_native")
        saved = patching._BLOCKS_PER_CALL
        self.addCleanup(setattr, patching, "_BLOCKS_PER_CALL", saved)
        wrong = bytearray(self.old)
        wrong[[op for op in dl.Delta(self.data).ops
               if op[0] == "copy"][-1][1] + 5] ^= 1
        # Calls split inside a copy, and between copies.
        for per_call, old in ((1, self.old), (3, self.old), (saved, self.old),
                              (3, bytes(wrong)), (3, self.old[:15000])):
            patching._BLOCKS_PER_CALL = per_call
            self.write("old", old)
            results = []
            # A BytesIO has no descriptor: the copies are made in Python.
            for out in (io.BytesIO(), tempfile.TemporaryFile()):
                try:
                    dl.patch_stream(self.old_path, io.BytesIO(self.data), out)
                    out.seek(0)
                    results.append(out.read())
                except ValueError as e:
                    results.append(str(e).replace(self.old_path, "OLD"))
                out.close()
            self.assertEqual(results[0], results[1], per_call)
            self.assertEqual(results[0] == self.new, old == self.old)
        # A file shorter than a copy: refused, as the Python copy does.
        with io.open(self.write("old", self.old[:15000]), "rb") as old:
            with io.open(os.devnull, "wb") as out:
                for copies in ([(14336, 1024, 1024)],
                               [(0, 1024, 1024), (8192, 8192, 1024)]):
                    self.assertRaises(ValueError, dl.native().patch_copy,
                                      old.fileno(), out.fileno(), copies)

if __name__ == "__main__":
    unittest.main()
