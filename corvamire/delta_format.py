"""The binary form of a delta (described in FORMATS.md): its writer and
its reader, both a piece at a time."""

import hashlib
import os
import struct
import zlib

from corvamire.signature import native

MAGIC = b"CVMD"
FORMAT_VERSION = 2
_COPY, _LITERAL, _END = b"C", b"L", b"E"
CHUNK = 1 << 20         # most bytes read or written at once
_READ_AHEAD = 1 << 16   # bytes of a delta read at once at least
_MAX_VARINT_BITS = 64
# The longest copy operation: its tag and three numbers of ten bytes.
_COPY_MOST = 31


class FormatError(ValueError):
    """A delta that is truncated, damaged or not a delta at all."""


class DeltaStats(object):
    """What a delta holds: operation counts and byte counts."""

    def __init__(self):
        self.copies = self.literals = 0
        self.copied_bytes = self.literal_bytes = 0
        self.new_size = 0
        self.written = 0


class DeltaWriter(object):
    """Writes a delta to `out` as its operations come."""


    def __init__(self, out, old_size):
        self.out = out
        self.crc = 0
        self.check = hashlib.md5()
        self.stats = DeltaStats()
        # Copies are a few bytes each: they gather here and are written
        # (and summed) together.
        self.pending = []
        self.put(MAGIC + struct.pack("B", FORMAT_VERSION) + _varint(old_size))

    def put(self, data):
        if self.pending:
            self.pending.append(data)
            data = b"".join(self.pending)
            self.pending = []
        self.out.write(data)
        self.crc = zlib.crc32(data, self.crc)
        self.stats.written += len(data)

    def copy(self, run, digests):
        size, first, count = run
        self.pending.append(_COPY + _varint(size) + _varint(first) +
                            _varint(count))
        self.check.update(digests[16 * first:16 * (first + count)])
        stats = self.stats
        stats.copies += 1
        stats.copied_bytes += size * count
        if len(self.pending) >= _PENDING_COPIES:
            self.put(b"")

    def copies(self, runs, digests):
        """copy() of each run, natively where the module is there."""
        if not runs:
            return
        encode = getattr(native(), "encode_copies", None)
        if encode is None:
            for run in runs:
                self.copy(run, digests[run[0]])
            return
        ops, copied_digests, copied = encode(runs, digests)
        self.pending.append(ops)
        self.check.update(copied_digests)
        self.stats.copies += len(runs)
        self.stats.copied_bytes += copied
        if len(self.pending) >= _PENDING_COPIES:
            self.put(b"")

    def literal(self, fd, offset, length):
        self.put(_LITERAL + _varint(length))
        os.lseek(fd, offset, os.SEEK_SET)
        left = length
        while left:
            piece = os.read(fd, min(left, CHUNK))
            if not piece:
                raise ValueError("the new file became shorter while its"
                                 " delta was made")
            self.put(piece)
            left -= len(piece)
        self.stats.literals += 1
        self.stats.literal_bytes += length

    def finish(self, new_size):
        self.put(_END + _varint(new_size) + self.check.digest())
        self.put(struct.pack("<I", self.crc & 0xffffffff))
        self.stats.new_size = new_size
        return self.stats


# Copies written at once: a few KiB.
_PENDING_COPIES = 1024
_ONE_BYTE = [struct.pack("B", value) for value in range(0x80)]
_TWO_BYTES = struct.Struct("BB")
_THREE_BYTES = struct.Struct("BBB")


def _varint(value):
    # Most numbers of a delta are block counts and sizes: one or two bytes.
    if value < 0x80:
        return _ONE_BYTE[value]
    if value < 0x4000:
        return _TWO_BYTES.pack(value & 0x7f | 0x80, value >> 7)
    if value < 0x200000:        # block numbers of files up to 4 GiB
        return _THREE_BYTES.pack(value & 0x7f | 0x80,
                                 value >> 7 & 0x7f | 0x80, value >> 14)
    out = bytearray()
    while True:
        byte, value = value & 0x7f, value >> 7
        if not value:
            out.append(byte)
            return bytes(out)
        out.append(byte | 0x80)


class DeltaReader(object):
    """Reads a delta from a binary stream as it goes.

    ops() yields ("copy", old_offset, length, block_size) and
    ("literal", bytes) in the order of the new file's bytes (a long
    literal comes in pieces); once it is exhausted the delta's end has
    been read and checked, and new_size and check hold its trailer."""

    def __init__(self, stream):
        self.stream = stream
        self.crc = 0
        # Read ahead in a buffer: operations are a few bytes each.
        self.buffer = b""
        self.pos = 0
        if self.take(len(MAGIC)) != MAGIC:
            raise FormatError("not a corvamire delta (wrong magic number)")
        version = bytearray(self.take(1))[0]
        if version != FORMAT_VERSION:
            raise FormatError("delta format version %d is not supported"
                              " (this reads version %d)"
                              % (version, FORMAT_VERSION))
        self.old_size = self.varint()
        self.new_size = self.check = None

    def take(self, count):
        end = self.pos + count
        if end <= len(self.buffer):
            data = self.buffer[self.pos:end]
            self.pos = end
        else:
            pieces = [self.buffer[self.pos:]]
            have = len(pieces[0])
            # In pieces: a damaged length must not make one huge allocation.
            while have < count:
                piece = self.stream.read(max(min(count - have, CHUNK),
                                             _READ_AHEAD))
                if not piece:
                    raise FormatError("truncated delta")
                pieces.append(piece)
                have += len(piece)
            joined = b"".join(pieces)
            data, self.buffer, self.pos = joined[:count], joined[count:], 0
        self.crc = zlib.crc32(data, self.crc)
        return data

    def varint(self):
        buffer, pos = self.buffer, self.pos
        # Most numbers lie whole in the buffer.
        value = shift = 0
        for byte in bytearray(buffer[pos:pos + 10]):
            value |= (byte & 0x7f) << shift
            shift += 7
            if not byte & 0x80:
                self.take(shift // 7)
                return value
        value = 0
        for shift in range(0, _MAX_VARINT_BITS, 7):
            byte = bytearray(self.take(1))[0]
            value |= (byte & 0x7f) << shift
            if not byte & 0x80:
                return value
        raise FormatError("corrupt delta: a number longer than 64 bits")

    def _copy_in_buffer(self):
        """The three numbers of the copy at the buffer's position, which
        holds _COPY_MOST bytes at least."""
        head = bytearray(self.buffer[self.pos + 1:self.pos + _COPY_MOST])
        at = 0
        numbers = []
        for _ in range(3):
            value = shift = 0
            while True:
                if shift == _MAX_VARINT_BITS + 6:
                    raise FormatError("corrupt delta: a number longer than"
                                      " 64 bits")
                byte = head[at]
                at += 1
                value |= (byte & 0x7f) << shift
                shift += 7
                if not byte & 0x80:
                    break
            numbers.append(value)
        self.take(1 + at)
        return numbers

    def unread(self):
        """Gives the bytes read ahead past the delta's end back to a
        seekable stream."""
        left = len(self.buffer) - self.pos
        if left and hasattr(self.stream, "seek"):
            self.stream.seek(-left, os.SEEK_CUR)

    def ops(self):
        return self._ops(None)

    def pieces(self):
        """ops(), but a run of copies read at once by the native module
        comes as one ("copies", [(old_offset, length, block_size), ...],
        their bytes, their blocks)."""
        return self._ops(getattr(native(), "read_copies", None))

    def _ops(self, read_copies):
        while True:
            if read_copies and self.buffer[self.pos:self.pos + 1] == _COPY:
                copies, end, length, blocks = read_copies(
                    self.buffer, self.pos, self.old_size)
                if copies:
                    self.crc = zlib.crc32(self.buffer[self.pos:end], self.crc)
                    self.pos = end
                    yield ("copies", copies, length, blocks)
                    continue
            if (self.buffer[self.pos:self.pos + 1] == _COPY and
                    len(self.buffer) - self.pos >= _COPY_MOST):
                # A copy lies whole in the buffer: read at once.
                size, first, count = self._copy_in_buffer()
                tag = _COPY
            else:
                tag = self.take(1)
                if tag == _COPY:
                    size, first, count = (self.varint(), self.varint(),
                                          self.varint())
            if tag == _COPY:
                if (not size or not count or
                        (first + count) * size > self.old_size):
                    raise FormatError("corrupt delta: a copy outside the"
                                     " earlier version's %d bytes"
                                     % self.old_size)
                yield ("copy", first * size, count * size, size)
            elif tag == _LITERAL:
                left = self.varint()
                if not left:
                    raise FormatError("corrupt delta: an empty literal")
                while left:
                    piece = self.take(min(left, CHUNK))
                    left -= len(piece)
                    yield ("literal", piece)
            elif tag == _END:
                self.new_size = self.varint()
                self.check = self.take(16)
                crc = self.crc & 0xffffffff
                if struct.unpack("<I", self.take(4))[0] != crc:
                    raise FormatError("corrupt delta: its checksum does not"
                                     " match")
                return
            else:
                raise FormatError("corrupt delta: unknown operation %r" % tag)
