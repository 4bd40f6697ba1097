"""Build the `lookup_table` that corvamire_version_matcher.match takes.

A host keeps, for each earlier version of a file, a description of its
blocks: for every block length, the blocks' adler32 sums, and under each
sum the MD5 digests of the blocks that have it, each mapped to a value that
tells the host which block it was:

    {size: {adler32: {md5_digest: value}}}

adler32 is the unsigned 32-bit sum (zlib.adler32(...) & 0xffffffff) and the
digest is the 16 raw bytes of MD5.  match() then scans a new version and
reports, for every offset where one of those blocks starts, its value.

The value is the host's choice, but with more than one block size it must
say which size matched: match() reports only the offset in the new file,
so a value that names the old offset alone leaves the length of the match
unknown.  The default value is the pair (size, offset in the earlier
version), which is what corvamire.delta needs to rebuild the file.
"""

from __future__ import division

import hashlib
import io
import os
import stat
import sys
import zlib

try:
    # The package's native helpers (built beside corvamire_version_matcher):
    # the default table in one pass over the file, many MD5s at once.
    import _corvamire_native
except ImportError:
    _corvamire_native = None

# The module refuses this block length: it is the value its integer
# conversion returns on error.  An adler32 sum can never take it (its low
# half would be 0xffff, above the modulus 65521), so only sizes need the check.
_REFUSED_SIZE = 0xffffffff

# How much of a file is read at once when blocks are small.
_READ_CHUNK = 1 << 20


def block_position(size, offset):
    """Default block value: (block size, offset in the earlier version)."""
    return (size, offset)


def weak_sum(data):
    """adler32 of `data` as the unsigned 32-bit value match() looks up."""
    return zlib.adler32(data) & 0xffffffff


def _open_source(source):
    """(file object, whether we opened it) for a path or a binary file."""
    if hasattr(source, "read"):
        return source, False
    return open(source, "rb"), True


def iter_blocks(stream, size):
    """Yield (offset, data) for each full block of `size` bytes from the
    start of a seekable binary stream; a short last block is not yielded."""
    stream.seek(0)
    offset = 0
    chunk_len = max(size, (_READ_CHUNK // size) * size)
    while True:
        chunk = stream.read(chunk_len)
        for start in range(0, len(chunk) - size + 1, size):
            yield offset + start, chunk[start:start + size]
        if len(chunk) < chunk_len:
            return
        offset += len(chunk)


def build_lookup_table(source, block_sizes, value=block_position,
                       progress=None):
    """Describe the blocks of an earlier version of a file.

    source       a path, or a seekable file object opened in binary mode
    block_sizes  block lengths in bytes (positive ints); the file is cut
                 into consecutive blocks of each length from offset 0
    value        value(size, offset) -> the object match() reports for that
                 block; by default the pair (size, offset)

    Only full blocks are described: a short last block is left out.  The
    matcher slides windows of exactly the block length over the new file,
    so a short block could only ever match as a block of its own length;
    the few bytes it covers are cheaper to send than to index.

    Every block length gets its own entry, even when the file is shorter
    than one block (its dict is then empty, which match() accepts).  When
    the same block content occurs twice, the first offset is kept.

    The sizes are inserted in the order given.  At each offset match()
    tries them in the table's iteration order and takes the first that
    matches, and its scan stops where the last size no longer fits; so
    list the largest first: where a long block fits, one entry covers what
    several short ones would, and the shortest, last, carries the scan as
    near to the end of the file as it can go.  Python 3 iterates in
    insertion order; Python 2 in hash order, where sizes that are multiples
    of 8 all want the first slot and the size inserted first keeps it.

    progress, if given, is called now and then with the number of bytes
    indexed so far (counting the file once per block size).

    With the default value and a source that is a regular file, the table
    is built natively when _corvamire_native is there (same table, one read
    of the file for all sizes); progress is then called once, at the end.
    """
    sizes = []
    for size in block_sizes:
        size = int(size)
        if size <= 0 or size >= _REFUSED_SIZE:
            raise ValueError("block size out of range: %d" % size)
        if size not in sizes:
            sizes.append(size)
    if not sizes:
        raise ValueError("no block size given")

    stream, opened = _open_source(source)
    try:
        if value is block_position and _corvamire_native is not None:
            table = _native_table(stream, sizes, progress)
            if table is not None:
                return table
        table = {}
        done = 0
        for size in sizes:
            sums = table[size] = {}
            for offset, data in iter_blocks(stream, size):
                if progress and offset % _READ_CHUNK < size:
                    progress(done + offset)
                digests = sums.setdefault(weak_sum(data), {})
                digest = hashlib.md5(data).digest()
                if digest not in digests:
                    digests[digest] = value(size, offset)
            stream.seek(0, os.SEEK_END)
            done += stream.tell()
        return table
    finally:
        if opened:
            stream.close()


def _plain_file(stream):
    """Whether the stream's bytes are those of its descriptor: a file object
    that decompresses or decodes (gzip, bz2) has a fileno() too, that of the
    file beneath it."""
    if sys.version_info[0] < 3 and isinstance(stream, file):  # noqa: F821
        return True   # 2.7's built-in file
    buffered = (io.BufferedReader, io.BufferedRandom)
    raw = getattr(stream, "raw", stream)
    return (isinstance(stream, (io.FileIO,) + buffered)
            and isinstance(raw, io.FileIO))


def _native_table(stream, sizes, progress):
    """build_lookup_table's default table through _corvamire_native, or
    None when the stream is not a regular file behind a descriptor (its
    size could not be trusted, or there is no descriptor to read)."""
    if not _plain_file(stream):
        return None
    fd = stream.fileno()
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode):
        return None
    # The descriptor is read from its start, past the file object's buffer;
    # the file object is left at the end, as the Python definition leaves it.
    stream.seek(0)
    os.lseek(fd, 0, os.SEEK_SET)
    entries = _corvamire_native.block_digests(fd, info.st_size, sizes)
    stream.seek(0, os.SEEK_END)
    if progress:
        progress(info.st_size * len(sizes))
    return _corvamire_native.table_from_digests(entries)


def count_blocks(lookup_table):
    """{size: number of distinct blocks} of a table."""
    return dict((size, sum(len(d) for d in sums.values()))
                for size, sums in lookup_table.items())


def empty_result():
    """What match() returns when nothing could match."""
    return {"weak_matches": 0, "strong_matches": 0, "bytes_matched": 0,
            "matches": {}}


def match_fd(lookup_table, fd, file_size, buffer_size=1 << 20):
    """Run corvamire_version_matcher.match over `file_size` bytes of `fd`.

    match() reads from the descriptor's current position on, and the
    offsets it reports count from there, not from the start of the file;
    it leaves the descriptor where its reading ended.

    buffer_size bounds the memory the scan reads through; it must hold the
    longest block (the module refuses a shorter one with ValueError).

    An empty file (or nothing to read) simply means that nothing is
    reused: it gives empty_result(), where the module raises "Zero size
    file".
    """
    import corvamire_version_matcher

    if not lookup_table or file_size == 0:
        return empty_result()
    return corvamire_version_matcher.match(lookup_table, fd, file_size,
                                           buffer_size)


def open_binary(path):
    """A read-only descriptor of the file at `path`."""
    return os.open(path, os.O_RDONLY | getattr(os, "O_BINARY", 0))


def match_file(lookup_table, path, buffer_size=1 << 20):
    """Run corvamire_version_matcher.match over the whole file at `path`
    (see match_fd)."""
    fd = open_binary(path)
    try:
        return match_fd(lookup_table, fd, os.fstat(fd).st_size, buffer_size)
    finally:
        os.close(fd)
