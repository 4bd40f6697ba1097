"""The signature of an earlier version of a file: what delta() needs of it
once its bytes are gone (uploaded, then edited in place).

    sig = signature("v1.bin", (8192, 2048))
    with open("v1.sig", "wb") as f:
        sig.write(f)
    ...
    with open("v1.sig", "rb") as f:
        sig = Signature.read(f)

A signature keeps, per block size, the adler32 sums and MD5 digests of
the file's full blocks in offset order as two packed arrays (20 bytes a
block); the lookup table that match() takes is built from them when it is
first asked for.  The file format is described in FORMATS.md beside this
module.
"""

import io
import os
import stat
import struct
import zlib
import hashlib

MAGIC = b"CVMS"
FORMAT_VERSION = 1
# Block lengths match() accepts: 0xffffffff is its conversion's error value.
MAX_BLOCK_SIZE = 0xfffffffe
# More sizes than this only slow the scan (every size is tried at every
# offset); the limit also keeps a damaged count from meaning much.
MAX_SIZES = 16
_HEADER = struct.Struct("<4sBBHQ")      # magic, version, k, reserved, size
_SUM_BYTES, _DIGEST_BYTES = 4, 16
_CHUNK = 1 << 20                        # most bytes read or written at once

try:
    _TEXT = (str, unicode)              # noqa: F821 (Python 2)
    integer_types = (int, long)         # noqa: F821
except NameError:
    _TEXT = (str, bytes)
    integer_types = (int,)


def check_path(value, name):
    """`value` if it names a file; else TypeError naming the argument.

    An integer would be taken by open() as a descriptor, and closed after:
    the caller's, silently."""
    fspath = getattr(os, "fspath", None)
    if fspath is not None and not isinstance(value, (int, bool)):
        try:
            value = fspath(value)
        except TypeError:
            pass
    if not isinstance(value, _TEXT):
        raise TypeError("%s must be a path, not %s"
                        % (name, type(value).__name__))
    return value


def check_file(value, method, name):
    """TypeError naming the argument unless `value` has the file method."""
    if not callable(getattr(value, method, None)):
        raise TypeError("%s must be a binary file open for %sing, not %s"
                        % (name, method.rstrip("e"), type(value).__name__))


def check_block_sizes(block_sizes, name="block_sizes"):
    """The distinct sizes of `block_sizes`, largest first.

    The largest goes first: where a long block matches, one copy covers
    what several short ones would, and the shortest, last, carries the
    scan nearest to the end of the file."""
    if isinstance(block_sizes, _TEXT) or not hasattr(block_sizes, "__iter__"):
        raise TypeError("%s must be a list of ints, not %s"
                        % (name, type(block_sizes).__name__))
    sizes = set()
    for size in block_sizes:
        if isinstance(size, bool) or not isinstance(size, integer_types):
            raise TypeError("%s must hold ints, not %s"
                            % (name, type(size).__name__))
        if not 0 < size <= MAX_BLOCK_SIZE:
            raise ValueError("%s: %d is not a block size (1 to %d)"
                             % (name, size, MAX_BLOCK_SIZE))
        sizes.add(int(size))
    if not sizes:
        raise ValueError("%s is empty" % name)
    if len(sizes) > MAX_SIZES:
        raise ValueError("%s: %d sizes, at most %d"
                         % (name, len(sizes), MAX_SIZES))
    return sorted(sizes, reverse=True)


class Signature(object):
    """block_sizes: the sizes, largest first; size: the earlier version's
    byte count; entries: per size, in that order, (size, sums, digests)
    with sums n little-endian uint32 adler32 values and digests 16*n raw
    MD5 bytes of the n = size // block size full blocks in offset order."""

    def __init__(self, size, entries):
        self.size = size
        self.entries = list(entries)
        self.block_sizes = tuple(entry[0] for entry in self.entries)
        for block, sums, digests in self.entries:
            count = size // block
            if (len(sums) != _SUM_BYTES * count or
                    len(digests) != _DIGEST_BYTES * count):
                raise ValueError("signature arrays of size %d do not hold"
                                 " %d blocks" % (block, count))
        self._table = None

    def digests(self, block):
        """The packed MD5 digests of the blocks of size `block`."""
        for size, _, digests in self.entries:
            if size == block:
                return digests
        raise KeyError(block)

    @property
    def lookup_table(self):
        """{size: {adler32: {md5: (size, offset)}}} for match(); the first
        occurrence of a repeated block is kept."""
        if self._table is None:
            self._table = _table_from_digests(self.entries)
        return self._table

    def write(self, fileobj):
        """Write the binary form to a file opened for binary writing.
        Returns the number of bytes written."""
        check_file(fileobj, "write", "fileobj")
        out = _Out(fileobj)
        out.put(_HEADER.pack(MAGIC, FORMAT_VERSION, len(self.entries), 0,
                             self.size))
        out.put(struct.pack("<%dI" % len(self.block_sizes),
                            *self.block_sizes))
        for _, sums, digests in self.entries:
            out.put(sums)
            out.put(digests)
        out.put(struct.pack("<I", out.crc & 0xffffffff))
        return out.count

    @classmethod
    def read(cls, fileobj):
        """Read the binary form from a file opened for binary reading; it
        must end where the signature ends.  A truncated, damaged or
        foreign file raises ValueError saying which."""
        check_file(fileobj, "read", "fileobj")
        source = _In(fileobj)
        head = source.take(_HEADER.size, "its header")
        magic, version, count, reserved, size = _HEADER.unpack(head)
        if magic != MAGIC:
            raise ValueError("not a corvamire signature (its first bytes are"
                             " %r)" % magic)
        if version != FORMAT_VERSION:
            raise ValueError("signature format version %d is not supported"
                             " (this reads version %d)"
                             % (version, FORMAT_VERSION))
        if not 0 < count <= MAX_SIZES or reserved:
            raise ValueError("damaged signature: bad header")
        sizes = struct.unpack("<%dI" % count,
                              source.take(4 * count, "its block sizes"))
        try:
            if list(sizes) != check_block_sizes(sizes):
                raise ValueError("not distinct and largest first")
        except ValueError as e:
            raise ValueError("damaged signature: block sizes %s: %s"
                             % (list(sizes), e))
        entries = []
        for block in sizes:
            n = size // block
            what = "the blocks of %d bytes" % block
            entries.append((block, source.take(_SUM_BYTES * n, what),
                            source.take(_DIGEST_BYTES * n, what)))
        crc = source.crc & 0xffffffff
        stored = struct.unpack("<I", source.take(4, "its checksum"))[0]
        if stored != crc:
            raise ValueError("damaged signature: its checksum does not match")
        if fileobj.read(1):
            raise ValueError("damaged signature: bytes after its end")
        return cls(size, entries)


def signature(old, block_sizes=(8192, 2048), progress=None):
    """The Signature of the file at path `old`, or of a binary file object
    read from its position to its end (a pipe will do).

    The file is read once, to its end, whatever size the system reports
    for it.  progress, if given, is called now and then with the number of
    bytes read so far."""
    sizes = check_block_sizes(block_sizes)
    if hasattr(old, "read"):
        return _signature_of(old, sizes, progress)
    with io.open(check_path(old, "old"), "rb") as source:
        return _signature_of(source, sizes, progress)


def _signature_of(source, sizes, progress):
    native_module = native()
    left = _size_left(source)
    if native_module is None or left is None:
        return Signature(*_digest_stream(source, sizes, progress))
    # What the file holds when it is opened is what it describes.
    end = source.tell() + left
    entries = native_module.block_digests(source.fileno(), left, sizes)
    source.seek(end)        # where reading it to its end leaves it
    return Signature(left, entries)


def _size_left(source):
    """The bytes from the position of a binary file object to its end, if
    it is a regular file whose descriptor is at that position; else None.
    /proc and the like report sizes they do not have: 0 is not trusted."""
    try:
        fd = source.fileno()
        info = os.fstat(fd)
        position = os.lseek(fd, 0, os.SEEK_CUR)
    except (AttributeError, EnvironmentError, io.UnsupportedOperation):
        return None
    if (not stat.S_ISREG(info.st_mode) or info.st_size == 0 or
            position != source.tell() or position > info.st_size):
        return None
    return info.st_size - position


def _digest_stream(stream, sizes, progress):
    """(byte count, entries) of a stream read to its end."""
    sums = dict((size, []) for size in sizes)
    digests = dict((size, []) for size in sizes)
    carry = dict((size, b"") for size in sizes)
    total = 0
    md5, adler32 = hashlib.md5, zlib.adler32
    while True:
        piece = stream.read(_CHUNK)
        if not piece:
            break
        total += len(piece)
        for size in sizes:
            data = carry[size] + piece if carry[size] else piece
            whole = len(data) - len(data) % size
            out_sums, out_digests = sums[size], digests[size]
            for at in range(0, whole, size):
                block = data[at:at + size]
                out_sums.append(adler32(block) & 0xffffffff)
                out_digests.append(md5(block).digest())
            carry[size] = data[whole:]
        if progress:
            progress(total)
    entries = [(size, struct.pack("<%dI" % len(sums[size]), *sums[size]),
                b"".join(digests[size])) for size in sizes]
    return total, entries


def _table_from_digests(entries):
    native_module = native()
    if native_module is not None:
        return native_module.table_from_digests(entries)
    table = {}
    for size, sums, digests in entries:
        by_sum = table[size] = {}
        count = len(sums) // _SUM_BYTES
        for i, weak in enumerate(struct.unpack("<%dI" % count, sums)):
            bucket = by_sum.setdefault(weak, {})
            digest = digests[_DIGEST_BYTES * i:_DIGEST_BYTES * (i + 1)]
            if digest not in bucket:
                bucket[digest] = (size, i * size)
    return table


def native():
    """The package's native helpers (_corvamire_native), or None without
    them: everything has a Python definition too."""
    try:
        import _corvamire_native
    except ImportError:
        return None
    return _corvamire_native


class _Out(object):
    def __init__(self, fileobj):
        self.fileobj = fileobj
        self.crc = 0
        self.count = 0

    def put(self, data):
        self.fileobj.write(data)
        self.crc = zlib.crc32(data, self.crc)
        self.count += len(data)


class _In(object):
    def __init__(self, fileobj):
        self.fileobj = fileobj
        self.crc = 0

    def take(self, count, what):
        # In pieces: a damaged count must not make one huge allocation.
        pieces, left = [], count
        while left:
            piece = self.fileobj.read(min(left, _CHUNK))
            if not piece:
                raise ValueError("truncated signature: it ends within %s"
                                 % what)
            pieces.append(piece)
            left -= len(piece)
        data = b"".join(pieces)
        self.crc = zlib.crc32(data, self.crc)
        return data
