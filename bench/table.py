"""The lookup table that the host hands to `match`, built from a file.

{block size: {adler32 (unsigned 32-bit): {16-byte MD5 digest: value}}},
one entry per whole block at offsets 0, size, 2*size...; the value is the
block's offset in the earlier version, as a host would record it.
"""

import hashlib
import zlib

READ_BYTES = 8 << 20   # whole multiple of every block size used here


def add_blocks(table, data, base, size):
    """Adds the whole blocks of `data` (which starts at file offset `base`)."""
    by_sum = table.setdefault(size, {})
    md5 = hashlib.md5
    adler32 = zlib.adler32
    for at in range(0, len(data) - size + 1, size):
        block = data[at:at + size]
        weak = adler32(block) & 0xffffffff
        by_sum.setdefault(weak, {})[md5(block).digest()] = base + at


def build_lookup_table(path, sizes):
    """Table of every whole block of the file at `path`, for each size."""
    table = {}
    with open(path, "rb") as f:
        carry = {size: "" for size in sizes}
        base = {size: 0 for size in sizes}
        while True:
            piece = f.read(READ_BYTES)
            if not piece:
                break
            for size in sizes:
                data = carry[size] + piece
                whole = len(data) - len(data) % size
                add_blocks(table, data[:whole], base[size], size)
                base[size] += whole
                carry[size] = data[whole:]
    for size in sizes:
        table.setdefault(size, {})
    return table


def count_blocks(table):
    """Number of (size, sum, digest) entries."""
    return sum(len(digests) for by_sum in table.values() for digests in by_sum.values())
