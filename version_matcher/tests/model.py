"""Plain Python model of corvamire_version_matcher.match, and input builders.

The model is the reference the tests compare the native module against.  It
is written for clarity, not speed: it recomputes every window's adler32 with
zlib instead of rolling it (a rolled sum is only a faster way to the same
value), but it keeps everything whose effect shows in the result: the order
of the checks and their messages, the order of the index, the buffer loads
and the exact reads made on the descriptor, the fit and slide rules of the
scan, and the weak count.

Runs unchanged on Python 2.7 and Python 3.
"""
from __future__ import print_function, division

import hashlib
import os
import random
import sys
import tempfile
import zlib

PY2 = sys.version_info[0] == 2

# Offsets and bytes_matched are made from unsigned 64-bit values: long on 2.7.
WIDE = type(2 ** 64)
# The two counters are made from C longs: int on both interpreters.
COUNTER = int

ALL_ONES_32 = 0xFFFFFFFF    # the conversion's error return, refused as a key
MASK_64 = 2 ** 64 - 1       # file_size is taken without an overflow check
EOF_TAG = 32768             # printed first in the early-EOF message


# -- Lookup table -> index ----------------------------------------------------

def _is_number(key):
    """True for what the number check of the interpreter accepts."""
    kind = type(key)
    if hasattr(kind, "__int__") or hasattr(kind, "__float__"):
        return True
    return not PY2 and hasattr(kind, "__index__")


def _low32(key):
    """Integer value of a key, masked to 32 bits; a failed conversion reads as
    the all-ones value, which the caller then refuses."""
    try:
        return int(key) & ALL_ONES_32
    except (TypeError, ValueError, OverflowError):
        return ALL_ONES_32


def build_index(lookup_table):
    """Validate lookup_table and return (sizes, weak).

    sizes: the match sizes in the table's iteration order.
    weak:  adler32 sum -> [(digest, value), ...], holding for each sum only
           the entry converted first (sizes in list order, sums in each size
           dict's order); later entries with the same 32-bit sum can never
           be found.  A sum whose digest dict is empty adds nothing.
    """
    sizes = []
    weak = {}
    for key, size_dict in dict.items(lookup_table):
        if not _is_number(key):
            raise TypeError("key of lookup_table must be an int (match_size)")
        if not isinstance(size_dict, dict):
            raise TypeError("contents of lookup_table[size] must be a dict")
        size = _low32(key)
        if size in (0, ALL_ONES_32):
            raise ValueError("Invalid match size")
        sizes.append(size)
        for sum_key, digest_dict in dict.items(size_dict):
            if not _is_number(sum_key):
                raise TypeError(
                    "key of lookup_table[size] must be an int (adler32 sum)")
            if not isinstance(digest_dict, dict):
                raise TypeError(
                    "contents of lookup_table[size][adler32] must be a dict")
            weak_sum = _low32(sum_key)
            if weak_sum == ALL_ONES_32:
                raise ValueError("Invalid adler32 sum")
            strong = []
            for digest, value in dict.items(digest_dict):
                if not isinstance(digest, bytes):
                    raise MemoryError()
                if len(digest) != 16:
                    raise ValueError("MD5 digest is not the right size")
                strong.append((digest, value))
            if strong and weak_sum not in weak:
                weak[weak_sum] = strong
    return sizes, weak


# -- Reading the descriptor ---------------------------------------------------

def _int32(n):
    """n as the C code prints it with %d."""
    n &= ALL_ONES_32
    return n - 2 ** 32 if n >= 2 ** 31 else n


def read_exact(fd, n):
    """Read exactly n bytes; short reads are continued."""
    chunks = []
    got = 0
    while got < n:
        try:
            data = os.read(fd, n - got)
        except OSError as e:
            raise IOError(e.errno, os.strerror(e.errno))
        if not data:
            raise RuntimeError("Unexpected EOF: 0x%d; %d of %d"
                               % (EOF_TAG, _int32(got), _int32(n)))
        chunks.append(data)
        got += len(data)
    return b"".join(chunks)


class ReadWindow(object):
    """One buffer of at most buffer_size bytes over the descriptor.

    buffer holds the valid bytes only; pos is the window start within it.
    """

    def __init__(self, fd, file_size, buffer_size):
        if file_size == 0:
            raise ValueError("Zero size file")
        self.fd = fd
        self.file_size = file_size
        self.length = min(file_size, buffer_size & ALL_ONES_32)
        self.buffer = read_exact(fd, self.length)
        self.bytes_read = self.length
        self.pos = 0

    def available(self):
        return self.length - self.pos

    def exhausted(self):
        return self.bytes_read >= self.file_size

    def slide(self):
        """Keep the unread tail, top the buffer up; False once all is read."""
        if self.exhausted():
            return False
        tail = self.buffer[self.pos:self.length]
        want = self.length - len(tail)
        if self.bytes_read + want >= self.file_size:
            # The last load: the valid data now ends at the file's end.
            want = self.file_size - self.bytes_read
            self.length = len(tail) + want
        self.buffer = tail + read_exact(self.fd, want)
        self.bytes_read += want
        self.pos = 0
        return True


# -- The scan -----------------------------------------------------------------

def make_match_result(weak_count, strong_count, bytes_matched, matches):
    result = {}
    result["weak_matches"] = COUNTER(weak_count)
    result["strong_matches"] = COUNTER(strong_count)
    result["bytes_matched"] = WIDE(bytes_matched)
    result["matches"] = matches
    return result


def scan_for_matches(sizes, weak, fd, file_size, buffer_size):
    window = ReadWindow(fd, file_size, buffer_size)
    matches = {}
    weak_count = strong_count = bytes_matched = 0
    offset = 0
    while True:
        start = window.pos
        matched = 0
        fits = False
        for size in sizes:
            # A size that does not fit is skipped; the last size examined
            # decides below whether the buffer has to be topped up.
            fits = window.available() >= size
            if not fits:
                continue
            block = window.buffer[start:start + size]
            strong = weak.get(zlib.adler32(block) & ALL_ONES_32)
            if strong is None:
                continue
            weak_count += 1
            digest = hashlib.md5(block).digest()
            for known, value in strong:
                if known == digest:
                    matched = size
                    break
            if matched:
                strong_count += 1
                bytes_matched += size
                matches[WIDE(offset)] = value
                break
        if matched:
            window.pos += matched
            offset += matched
        elif not fits:
            # The window keeps its file offset across a refill; once the
            # whole file is in the buffer the scan ends here.
            if not window.slide():
                break
        else:
            window.pos += 1
            offset += 1
    return make_match_result(weak_count, strong_count, bytes_matched, matches)


def match(lookup_table, fd, file_size, buffer_size):
    """Same arguments, result and exceptions as the native match (for
    arguments that pass its argument parsing)."""
    if not isinstance(lookup_table, dict):
        raise TypeError("lookup_table must be a dict")
    sizes, weak = build_index(lookup_table)
    if not sizes:
        return make_match_result(0, 0, 0, {})
    file_size &= MASK_64
    buffer_bytes = buffer_size & ALL_ONES_32
    # With more to read than the buffer holds and a last size longer than
    # the buffer, no refill could ever make the last size fit.
    if file_size > buffer_bytes and sizes[-1] > buffer_bytes:
        raise ValueError("Match size larger than buffer_size")
    return scan_for_matches(sizes, weak, fd, file_size, buffer_size)


# -- Building inputs for the tests --------------------------------------------

def noise(seed, n):
    """n bytes that look random, the same for the same seed."""
    rng = random.Random(seed)
    return bytes(bytearray(rng.randrange(256) for _ in range(n)))


def adler(data):
    return zlib.adler32(data) & ALL_ONES_32


def md5(data):
    return hashlib.md5(data).digest()


def ordered_dict_of(items):
    """A plain dict whose iteration order follows items' keys.

    Python 2 orders a dict by hash, so keys are replaced where needed by
    other numbers with the same low 32 bits (key + j * 2**64, whose hashes
    differ in their low bits); Python 3 keeps insertion order and uses the
    keys as given.
    """
    wanted = [key for key, _ in items]

    def extend(keys):
        # Depth-first: later keys can only go where earlier ones left room.
        if len(keys) == len(wanted):
            return keys
        for j in range(32):
            trial = keys + [wanted[len(keys)] + j * 2 ** 64]
            if list(dict.fromkeys(trial)) == trial:
                found = extend(trial)
                if found:
                    return found
        return None

    keys = extend([])
    if keys is None:
        raise AssertionError("cannot order keys %r" % wanted)
    return dict(zip(keys, [value for _, value in items]))


def open_at(data, lead=b""):
    """A read-only descriptor of an unlinked file holding lead + data,
    positioned at the start of data."""
    handle, path = tempfile.mkstemp(prefix="vm_test_")
    try:
        content = lead + data
        while content:
            content = content[os.write(handle, content):]
    finally:
        os.close(handle)
    fd = os.open(path, os.O_RDONLY)
    os.unlink(path)
    os.lseek(fd, len(lead), os.SEEK_SET)
    return fd


def tell(fd):
    return os.lseek(fd, 0, os.SEEK_CUR)
