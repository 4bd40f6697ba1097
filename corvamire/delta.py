"""Rebuild a later version of a file from an earlier one: signature, delta,
patch.

    sig = signature("v1.bin")             # the blocks of the earlier version
    d = delta(sig, "v2.bin")              # v2 as copies from v1 and new bytes
    with open("v2.delta", "wb") as f:
        d.write(f)
    ...
    with open("v2.delta", "rb") as f:
        d = Delta.read(f)
    patch("v1.bin", d, "v2.bin")          # byte for byte the later version

delta() runs corvamire_version_matcher.match over the later version and
fills every stretch that no matched block covers with the file's own bytes,
so the result is right whatever the scan finds or skips (it tries no
longer block near the end of each buffer load, for instance): a missed
block only costs its bytes as a literal.  The delta carries the MD5 of the
later version, and patch() checks what it rebuilt against it before the
file is put in place, so a wrong earlier version or a damaged delta gives a
ValueError, never a wrong file.

signature() and delta() need the extension module; Delta.read(), write()
and patch() are plain Python.
"""

import collections
import hashlib
import io
import os
import shutil
import struct
import tempfile
import zlib

from corvamire.lookup_table import build_lookup_table, match_fd, open_binary

# The binary form, every number an unsigned LEB128 varint:
#   "CVMD", format version (one byte), old size, new size, MD5 of the new file
#   then per operation: "C" old offset, length | "L" length, the bytes
#   then "E" and the CRC-32 of everything before it (4 bytes, big-endian).
MAGIC = b"CVMD"
FORMAT_VERSION = 1
_COPY, _LITERAL, _END = b"C", b"L", b"E"
_CHUNK = 1 << 20        # most bytes read or written at once

# The earlier version's blocks: lookup_table values are (size, offset).
Signature = collections.namedtuple("Signature",
                                   "lookup_table block_sizes size")


def signature(old_path, block_sizes=(8192, 2048), progress=None):
    """Describe the earlier version of a file for delta().

    The sizes are used largest first: where a long block matches, one copy
    covers what several short ones would, and the shortest carries the
    scan nearest to the end of the file.  progress is passed on to
    build_lookup_table()."""
    sizes = sorted(set(int(size) for size in block_sizes), reverse=True)
    with open(old_path, "rb") as source:
        size = os.fstat(source.fileno()).st_size
        table = build_lookup_table(source, sizes, progress=progress)
    return Signature(table, tuple(sizes), size)


class Delta(object):
    """A later version of a file as operations, in the order of its bytes:
    ("copy", old_offset, length) takes bytes of the earlier version,
    ("literal", data) gives new bytes.  Adjacent copies are merged.

    Made by delta() or Delta.read(); both check that the operations make
    exactly new_size bytes from within the earlier version's old_size."""

    def __init__(self, ops, old_size, new_size, new_md5):
        _check_ops(ops, old_size, new_size)
        if not isinstance(new_md5, bytes) or len(new_md5) != 16:
            raise ValueError("the new file's MD5 must be 16 bytes")
        self.ops = ops
        self.old_size = old_size
        self.new_size = new_size
        self.new_md5 = new_md5
        self.copied_bytes = sum(op[2] for op in ops if op[0] == "copy")
        self.literal_bytes = sum(len(op[1]) for op in ops
                                 if op[0] == "literal")

    def write(self, fileobj):
        """Write the binary form to a file opened for binary writing.
        Returns the number of bytes written."""
        out = _Writer(fileobj)
        out.put(MAGIC + struct.pack("B", FORMAT_VERSION))
        out.put(_varint(self.old_size) + _varint(self.new_size) + self.new_md5)
        for op in self.ops:
            if op[0] == "copy":
                out.put(_COPY + _varint(op[1]) + _varint(op[2]))
            else:
                out.put(_LITERAL + _varint(len(op[1])))
                out.put(op[1])
        out.put(_END)
        out.put(struct.pack(">I", out.crc & 0xffffffff))
        return out.count

    @classmethod
    def read(cls, fileobj):
        """Read the binary form from a file opened for binary reading,
        stopping after its end.  A truncated, damaged or foreign delta
        raises ValueError."""
        source = _Reader(fileobj)
        if source.take(len(MAGIC)) != MAGIC:
            raise ValueError("not a corvamire delta (wrong magic number)")
        version = bytearray(source.take(1))[0]
        if version != FORMAT_VERSION:
            raise ValueError("delta format version %d is not supported"
                             " (this reads version %d)"
                             % (version, FORMAT_VERSION))
        old_size = source.varint()
        new_size = source.varint()
        new_md5 = source.take(16)
        ops, made = [], 0
        while True:
            tag = source.take(1)
            if tag == _END:
                break
            if tag == _COPY:
                offset, length = source.varint(), source.varint()
                ops.append(("copy", offset, length))
            elif tag == _LITERAL:
                length = source.varint()
                if length > new_size - made:
                    raise ValueError("corrupt delta: a literal runs past the"
                                     " new file's size")
                ops.append(("literal", source.take(length)))
            else:
                raise ValueError("corrupt delta: unknown operation %r" % tag)
            made += length
            if made > new_size:
                raise ValueError("corrupt delta: its operations make more"
                                 " than the new file's %d bytes" % new_size)
        crc = source.crc & 0xffffffff
        if struct.unpack(">I", source.take(4))[0] != crc:
            raise ValueError("corrupt delta: its checksum does not match")
        return cls(ops, old_size, new_size, new_md5)


def _check_ops(ops, old_size, new_size):
    made = 0
    for op in ops:
        if op[0] == "copy":
            offset, length = op[1], op[2]
            if length <= 0 or offset < 0 or offset + length > old_size:
                raise ValueError("a copy of %d bytes at %d lies outside the"
                                 " earlier version's %d bytes"
                                 % (length, offset, old_size))
        elif op[0] == "literal" and op[1]:
            length = len(op[1])
        else:
            raise ValueError("not a delta operation: %r" % (op[:1],))
        made += length
    if made != new_size:
        raise ValueError("the operations make %d bytes, not the new file's"
                         " %d" % (made, new_size))


def _varint(value):
    out = bytearray()
    while True:
        byte, value = value & 0x7f, value >> 7
        if not value:
            out.append(byte)
            return bytes(out)
        out.append(byte | 0x80)


class _Writer(object):
    def __init__(self, fileobj):
        self.fileobj = fileobj
        self.crc = 0
        self.count = 0

    def put(self, data):
        self.fileobj.write(data)
        self.crc = zlib.crc32(data, self.crc)
        self.count += len(data)


class _Reader(object):
    def __init__(self, fileobj):
        self.fileobj = fileobj
        self.crc = 0

    def take(self, count):
        # In pieces: a damaged length must not make one huge allocation.
        pieces = []
        while count:
            piece = self.fileobj.read(min(count, _CHUNK))
            if not piece:
                raise ValueError("truncated delta")
            pieces.append(piece)
            count -= len(piece)
        data = b"".join(pieces)
        self.crc = zlib.crc32(data, self.crc)
        return data

    def varint(self):
        value = 0
        for shift in range(0, 64, 7):
            byte = bytearray(self.take(1))[0]
            value |= (byte & 0x7f) << shift
            if not byte & 0x80:
                return value
        raise ValueError("corrupt delta: a number longer than 64 bits")


def delta(signature, new_path, buffer_size=1 << 20):
    """The later version at `new_path` as a Delta against `signature`.

    buffer_size bounds the memory match() reads through; it must hold the
    longest block.  The file is read twice: once by match(), once for the
    literal bytes and the MD5."""
    if signature.block_sizes and buffer_size < max(signature.block_sizes):
        raise ValueError("buffer_size %d cannot hold a block of %d bytes"
                         % (buffer_size, max(signature.block_sizes)))
    fd = open_binary(new_path)
    try:
        new_size = os.fstat(fd).st_size
        # match() reads from the descriptor's position and counts its
        # offsets from there: start both passes at the file's start.
        os.lseek(fd, 0, os.SEEK_SET)
        found = match_fd(signature.lookup_table, fd, new_size,
                         buffer_size)["matches"]
        os.lseek(fd, 0, os.SEEK_SET)
        with io.open(fd, "rb", closefd=False) as stream:
            ops, new_md5 = _ops_from_matches(found, signature, stream,
                                             new_size, new_path)
    finally:
        os.close(fd)
    return Delta(ops, signature.size, new_size, new_md5)


def _ops_from_matches(found, signature, stream, new_size, new_path):
    digest = hashlib.md5()

    def take(count, keep):
        pieces = []
        while count:
            piece = stream.read(min(count, _CHUNK))
            if not piece:
                raise IOError("%s became shorter while its delta was made"
                              % new_path)
            digest.update(piece)
            if keep:
                pieces.append(piece)
            count -= len(piece)
        return b"".join(pieces)

    ops, done = [], 0
    for offset in sorted(found):
        try:
            size, old_offset = found[offset]
        except (TypeError, ValueError):
            raise ValueError("the signature's block values must be"
                             " (size, offset) pairs")
        # A block the scan cannot have matched here is left to the literal
        # that fills the gap around it.
        if (offset < done or size <= 0 or offset + size > new_size or
                old_offset < 0 or old_offset + size > signature.size):
            continue
        if offset > done:
            ops.append(("literal", take(offset - done, True)))
        take(size, False)
        last = ops[-1] if ops else None
        if last and last[0] == "copy" and last[1] + last[2] == old_offset:
            ops[-1] = ("copy", last[1], last[2] + size)
        else:
            ops.append(("copy", old_offset, size))
        done = offset + size
    if done < new_size:
        ops.append(("literal", take(new_size - done, True)))
    return ops, digest.digest()


def patch(old_path, delta, new_path):
    """Rebuild the later version at `new_path` from the earlier version at
    `old_path` (which may be the same path).

    The file is written to a temporary file beside `new_path`, checked
    against the delta's MD5, and only then renamed into place; on any
    failure the temporary file is removed and `new_path` is left as it
    was.  A new file takes the mode of the file it replaces, else that of
    the earlier version."""
    directory = os.path.dirname(os.path.abspath(new_path))
    fd, temp = tempfile.mkstemp(dir=directory, suffix=".part",
                                prefix="." + os.path.basename(new_path) + ".")
    try:
        with io.open(fd, "wb") as out:
            with open(old_path, "rb") as old:
                _rebuild(old, delta, out, old_path)
            out.flush()
            os.fsync(out.fileno())
        shutil.copymode(new_path if os.path.exists(new_path) else old_path,
                        temp)
        _replace(temp, new_path)
    except BaseException:
        try:
            os.remove(temp)
        except OSError:
            pass
        raise


def _rebuild(old, delta, out, old_path):
    old_size = os.fstat(old.fileno()).st_size
    if old_size != delta.old_size:
        raise ValueError("%s has %d bytes, but the delta was made against"
                         " %d" % (old_path, old_size, delta.old_size))
    digest = hashlib.md5()
    for op in delta.ops:
        if op[0] == "literal":
            digest.update(op[1])
            out.write(op[1])
            continue
        old.seek(op[1])
        left = op[2]
        while left:
            piece = old.read(min(left, _CHUNK))
            if not piece:
                raise ValueError("%s became shorter while being read"
                                 % old_path)
            digest.update(piece)
            out.write(piece)
            left -= len(piece)
    if digest.digest() != delta.new_md5:
        raise ValueError("the rebuilt file does not match the delta's MD5:"
                         " %s is not the version the delta was made against,"
                         " or the delta is damaged" % old_path)


# Python 3 replaces an existing file on every platform; Python 2's rename
# does so on POSIX only.
_replace = getattr(os, "replace", os.rename)
