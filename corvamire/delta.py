"""Rebuild a later version of a file from an earlier one: signature, delta,
patch.

    sig = signature("v1.bin")                   # the earlier version's blocks
    with open("v1.sig", "wb") as f:             # kept; v1.bin may go
        sig.write(f)
    ...
    with open("v1.sig", "rb") as f:
        sig = Signature.read(f)
    with open("v2.delta", "wb") as out:         # v2 as copies of v1's blocks
        write_delta(sig, "v2.bin", out)         # and new bytes, streamed
    ...
    with open("v2.delta", "rb") as f:
        patch("v1.bin", f, "v2.bin")            # byte for byte the later version

write_delta() runs corvamire_version_matcher.match over the later version
and fills every stretch that no matched block covers with the file's own
bytes, so the result is right whatever the scan finds or skips: a missed
block only costs its bytes as a literal.  Operations are written as they
are found and patch() reads them as it goes, so neither holds more than a
read buffer of the files.

The check: a copied block is one whose MD5 match() confirmed against the
signature, so the delta carries the MD5 of the copied blocks' digests, in
order, taken from the signature; patch() digests every block it copies
from the earlier version and compares.  Literal bytes and everything else
in the delta are covered by its CRC-32.  A wrong earlier version or a
damaged delta thus gives ValueError and no file, without an MD5 pass over
the whole later version on either side.

delta() and Delta are the same in memory, for small files and tests.
"""

import hashlib
import io
import os
import shutil
import stat
import struct
import tempfile
import zlib

from corvamire.lookup_table import match_fd, open_binary
from corvamire.signature import (Signature, check_path,  # noqa: F401
                                 integer_types, signature)

# The binary form is described in FORMATS.md.
MAGIC = b"CVMD"
FORMAT_VERSION = 2
_COPY, _LITERAL, _END = b"C", b"L", b"E"
_CHUNK = 1 << 20        # most bytes read or written at once
_READ_AHEAD = 1 << 16   # bytes of a delta read at once at least
# The new file is scanned in segments of at least this many bytes, and of
# this many times the earlier version's size: the table's indexing, once
# per segment, then costs little beside the scan.
_SEGMENT_MIN = 64 << 20
_SEGMENT_PER_OLD_BYTE = 4
_MAX_VARINT_BITS = 64


class FormatError(ValueError):
    """A delta that is truncated, damaged or not a delta at all."""


class DeltaStats(object):
    """What a delta holds: operation counts and byte counts."""

    def __init__(self):
        self.copies = self.literals = 0
        self.copied_bytes = self.literal_bytes = 0
        self.new_size = 0
        self.written = 0


def write_delta(signature, new, out, buffer_size=1 << 20, progress=None):
    """Write the delta of the later version against `signature` to the
    binary file `out`, as it is found.  Returns a DeltaStats.

    new          the path of the later version, or a binary file object
                 (read from its start when it is a regular file; it is not
                 closed)
    buffer_size  bounds the memory match() reads through; it must hold the
                 longest block
    progress     if given, called now and then with the bytes done

    A file whose size the system does not report (a pipe, /proc) is first
    copied to a temporary file."""
    if not isinstance(signature, Signature):
        raise TypeError("signature must be a Signature, not %s"
                        % type(signature).__name__)
    if (isinstance(buffer_size, bool) or
            not isinstance(buffer_size, integer_types)):
        raise TypeError("buffer_size must be an int, not %s"
                        % type(buffer_size).__name__)
    if buffer_size < max(signature.block_sizes):
        raise ValueError("buffer_size %d cannot hold a block of %d bytes"
                         % (buffer_size, max(signature.block_sizes)))
    if hasattr(new, "read"):
        return _write_delta_from(signature, new, out, buffer_size, progress)
    with io.open(check_path(new, "new"), "rb") as source:
        return _write_delta_from(signature, source, out, buffer_size,
                                 progress)


def _write_delta_from(signature, source, out, buffer_size, progress):
    info = os.fstat(source.fileno())
    if stat.S_ISREG(info.st_mode) and info.st_size > 0:
        return _write_delta(signature, source.fileno(), info.st_size, out,
                            buffer_size, progress)
    with tempfile.TemporaryFile() as spool:
        shutil.copyfileobj(source, spool, _CHUNK)
        spool.flush()           # match() reads through the descriptor
        return _write_delta(signature, spool.fileno(), spool.tell(), out,
                            buffer_size, progress)


def _write_delta(signature, fd, new_size, out, buffer_size, progress):
    # The descriptor is read directly, never through a buffered file
    # object: match() moves its position between the literals' reads.
    writer = _DeltaWriter(out, signature.size)
    digests = dict((size, signature.digests(size))
                   for size in signature.block_sizes)
    done = 0
    run = None                  # the copy being extended: [size, first, count]
    for offset, size, first, count in _runs(signature, fd, new_size,
                                            buffer_size, progress):
        # Runs of two segments may continue each other.
        if (run and offset == done and size == run[0] and
                first == run[1] + run[2]):
            run[2] += count
            done += size * count
            continue
        if run:
            writer.copy(run, digests[run[0]])
        if offset > done:
            writer.literal(fd, done, offset - done)
            if progress:
                progress(offset)
        run = [size, first, count]
        done = offset + size * count
    if run:
        writer.copy(run, digests[run[0]])
    if done < new_size:
        writer.literal(fd, done, new_size - done)
    if progress:
        progress(new_size)
    os.lseek(fd, new_size, os.SEEK_SET)
    if os.read(fd, 1):
        raise ValueError("the new file grew while its delta was made")
    return writer.finish(new_size)


def _runs(signature, fd, new_size, buffer_size, progress):
    """The copies match() finds in the file, as (offset, size, first,
    count) in offset order (see _match_runs).

    The file is scanned a segment at a time, so that the matches held at
    once stay in proportion to the signature, not to the new file.  Each
    match() call indexes the whole table, hence segments of several times
    the earlier version's size.  A segment's matches are kept up to where
    a block of every size still fits in it; the next segment starts there,
    or at the end of the last match kept, as a scan of the whole file
    would go on."""
    match_runs = getattr(_native(), "match_runs", _match_runs)
    table = signature.lookup_table
    longest = max(signature.block_sizes)
    # Two blocks at least: each segment moves the scan on.
    segment = max(_SEGMENT_MIN, _SEGMENT_PER_OLD_BYTE * signature.size,
                  2 * longest)
    start = 0
    while start < new_size:
        if progress:
            progress(start)
        length = min(segment, new_size - start)
        # match() reads from the descriptor's position and counts its
        # offsets from there.
        os.lseek(fd, start, os.SEEK_SET)
        found = match_fd(table, fd, length, buffer_size)["matches"]
        if start + length == new_size:
            cut = new_size
        else:
            cut = start + length - longest + 1
        runs, end = match_runs(found, start, cut, signature.size, new_size)
        for run in runs:
            yield run
        start = max(cut, end)


def _match_runs(matches, start, cut, old_size, new_size):
    """(runs, end) of match()'s `matches`, whose offsets count from
    `start`: runs [(offset, size, first, count), ...] in offset order, each
    `count` blocks of one size at `offset` that are blocks first.. of the
    earlier version.  Matches from `cut` on are left out, and so is a block
    that overlaps the one before, lies outside either file or not at a
    multiple of its size (a literal covers it).  end: where the last match
    before `cut` ends, 0 if none.  The native module's match_runs is the
    same, without a Python step per block."""
    runs = []
    done = next_old = end = 0
    for offset in sorted(matches):
        size, old_offset = matches[offset]
        offset += start
        if offset >= cut:
            break
        end = offset + size
        within = old_offset + size <= old_size and end <= new_size
        if (runs and offset == done and size == runs[-1][1] and
                old_offset == next_old and within):
            runs[-1][3] += 1
        elif (size <= 0 or offset < done or old_offset % size or
                not within):
            continue
        else:
            runs.append([offset, size, old_offset // size, 1])
        done = end
        next_old = old_offset + size
    return [tuple(run) for run in runs], end


class _DeltaWriter(object):

    def __init__(self, out, old_size):
        self.out = out
        self.crc = 0
        self.check = hashlib.md5()
        self.stats = DeltaStats()
        self.put(MAGIC + struct.pack("B", FORMAT_VERSION) + _varint(old_size))

    def put(self, data):
        self.out.write(data)
        self.crc = zlib.crc32(data, self.crc)
        self.stats.written += len(data)

    def copy(self, run, digests):
        size, first, count = run
        self.put(_COPY + _varint(size) + _varint(first) + _varint(count))
        self.check.update(digests[16 * first:16 * (first + count)])
        self.stats.copies += 1
        self.stats.copied_bytes += size * count

    def literal(self, fd, offset, length):
        self.put(_LITERAL + _varint(length))
        os.lseek(fd, offset, os.SEEK_SET)
        left = length
        while left:
            piece = os.read(fd, min(left, _CHUNK))
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


def _varint(value):
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
                piece = self.stream.read(max(min(count - have, _CHUNK),
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

    def unread(self):
        """Gives the bytes read ahead past the delta's end back to a
        seekable stream."""
        left = len(self.buffer) - self.pos
        if left and hasattr(self.stream, "seek"):
            self.stream.seek(-left, os.SEEK_CUR)

    def ops(self):
        while True:
            tag = self.take(1)
            if tag == _COPY:
                size, first, count = self.varint(), self.varint(), self.varint()
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
                    piece = self.take(min(left, _CHUNK))
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


class Delta(object):
    """A delta held in memory: its binary form, and its operations as
    ("copy", old_offset, length, block_size) and ("literal", bytes),
    adjacent literal pieces joined."""

    def __init__(self, data):
        reader = DeltaReader(io.BytesIO(data))
        ops = []
        for op in reader.ops():
            if op[0] == "copy":
                ops.append(op)
            elif ops and ops[-1][0] == "literal":
                ops[-1] = ("literal", ops[-1][1] + op[1])
            else:
                ops.append(op)
        self.data = data
        self.ops = ops
        self.old_size = reader.old_size
        self.new_size = reader.new_size
        self.copied_bytes = sum(op[2] for op in ops if op[0] == "copy")
        self.literal_bytes = sum(len(op[1]) for op in ops
                                 if op[0] == "literal")
        if self.copied_bytes + self.literal_bytes != self.new_size:
            raise FormatError("corrupt delta: its operations make %d bytes,"
                             " not the new file's %d"
                             % (self.copied_bytes + self.literal_bytes,
                                self.new_size))

    def write(self, fileobj):
        """Write the binary form; returns the number of bytes written."""
        fileobj.write(self.data)
        return len(self.data)

    @classmethod
    def read(cls, fileobj):
        """Read a delta from a binary file, stopping after its end.  A
        truncated, damaged or foreign delta raises ValueError."""
        tee = _Tee(fileobj)
        reader = DeltaReader(tee)
        for _ in reader.ops():
            pass
        data = b"".join(tee.pieces)
        reader.unread()
        return cls(data[:len(data) - (len(reader.buffer) - reader.pos)])


class _Tee(object):
    def __init__(self, stream):
        self.stream = stream
        self.pieces = []

    def read(self, count):
        data = self.stream.read(count)
        self.pieces.append(data)
        return data

    def seek(self, offset, whence):
        if hasattr(self.stream, "seek"):
            self.stream.seek(offset, whence)


def delta(signature, new, buffer_size=1 << 20):
    """The delta of the later version against `signature`, in memory."""
    out = io.BytesIO()
    write_delta(signature, new, out, buffer_size)
    return Delta(out.getvalue())


def patch(old_path, delta, new_path):
    """Rebuild the later version at `new_path` from the earlier version at
    `old_path` (which may be the same path) and `delta`: a Delta, a binary
    file positioned at a delta, or the path of one.

    The file is written to a temporary file beside `new_path`, checked,
    and only then renamed into place; on any failure the temporary file is
    removed and `new_path` is left as it was.  A new file takes the mode
    of the file it replaces, else that of the earlier version.  A symbolic
    link at `new_path` is followed: the file it names is replaced."""
    old_path = check_path(old_path, "old_path")
    new_path = os.path.realpath(check_path(new_path, "new_path"))
    if os.path.exists(new_path) and not os.path.isfile(new_path):
        raise ValueError("%s is not a regular file: not replaced" % new_path)
    with _delta_stream(delta) as stream:
        with replacing(new_path, old_path) as out:
            patch_stream(old_path, stream, out)


class _delta_stream(object):
    def __init__(self, delta):
        self.delta = delta
        self.opened = None

    def __enter__(self):
        if isinstance(self.delta, Delta):
            return io.BytesIO(self.delta.data)
        if hasattr(self.delta, "read"):
            return self.delta
        self.opened = io.open(check_path(self.delta, "delta"), "rb")
        return self.opened

    def __exit__(self, *_):
        if self.opened:
            self.opened.close()


class replacing(object):
    """A temporary binary file beside `path`, renamed onto it when the
    with-block ends well and removed when it does not.  The new file takes
    the mode of the file it replaces, else that of `mode_from`."""

    def __init__(self, path, mode_from=None):
        self.path = path
        self.mode_from = mode_from
        self.temp = self.file = None

    def __enter__(self):
        directory, name = os.path.split(os.path.abspath(self.path))
        fd, self.temp = tempfile.mkstemp(dir=directory, suffix=".part",
                                         prefix="." + name + ".")
        self.file = io.open(fd, "wb")
        return self.file

    def __exit__(self, kind, value, trace):
        try:
            if kind is None:
                self.file.flush()
                os.fsync(self.file.fileno())
                self.file.close()
                for source in (self.path, self.mode_from):
                    if source and os.path.isfile(source):
                        shutil.copymode(source, self.temp)
                        break
                else:
                    # mkstemp's file is private; a new file gets the mode
                    # that open() would give it.
                    umask = os.umask(0)
                    os.umask(umask)
                    os.chmod(self.temp, 0o666 & ~umask)
                _replace(self.temp, self.path)
                self.temp = None
        finally:
            if self.temp:
                self.file.close()
                try:
                    os.remove(self.temp)
                except OSError:
                    pass
        return False


def patch_stream(old_path, stream, out, progress=None):
    """Write the later version to the binary file `out` from the earlier
    version at `old_path` and the delta read from `stream`.  Raises
    ValueError, after writing, when the result fails its check: the caller
    must not keep `out` then.  Returns the number of bytes written.
    progress, if given, is called now and then with the bytes written."""
    reader = DeltaReader(stream)
    with io.open(check_path(old_path, "old_path"), "rb") as old:
        old_size = os.fstat(old.fileno()).st_size
        if old_size != reader.old_size:
            raise ValueError("%s has %d bytes, but the delta was made"
                             " against %d" % (old_path, old_size,
                                              reader.old_size))
        check = hashlib.md5()
        made = 0
        copy = _copy_blocks
        if _native() is not None and _readable_file(out):
            copy = _copy_blocks_native
        for op in reader.ops():
            if op[0] == "literal":
                out.write(op[1])
                made += len(op[1])
            else:
                copy(old, op[1], op[2], op[3], out, check, old_path)
                made += op[2]
            if progress:
                progress(made)
    if made != reader.new_size:
        raise FormatError("corrupt delta: its operations make %d bytes, not"
                         " the new file's %d" % (made, reader.new_size))
    if check.digest() != reader.check:
        raise ValueError("the copied blocks do not match the delta's check:"
                         " %s is not the version the delta was made"
                         " against, or the delta is damaged" % old_path)
    return made


def _copy_blocks(old, offset, length, block, out, check, old_path):
    old.seek(offset)
    step = max(block, _CHUNK // block * block)
    md5 = hashlib.md5
    while length:
        piece = old.read(min(length, step))
        if len(piece) != min(length, step):
            raise ValueError("%s became shorter while being read" % old_path)
        view = memoryview(piece)
        for at in range(0, len(piece), block):
            check.update(md5(view[at:at + block]).digest())
        out.write(piece)
        length -= len(piece)


def _copy_blocks_native(old, offset, length, block, out, check, old_path):
    """_copy_blocks with the bytes copied by the kernel where it can, and
    the blocks digested many at a time, from what was written to `out`:
    the check covers the very bytes of the result."""
    out.flush()
    out_fd = out.fileno()
    start = os.lseek(out_fd, 0, os.SEEK_CUR)
    _copy_range(old.fileno(), offset, out_fd, length, old_path)
    os.lseek(out_fd, start, os.SEEK_SET)
    check.update(_native().block_digests(out_fd, length, [block])[0][2])


def _copy_range(in_fd, offset, out_fd, length, in_path):
    """`length` bytes at `offset` of in_fd to out_fd's position."""
    copy_file_range = getattr(os, "copy_file_range", None)
    while length and copy_file_range:
        try:
            count = copy_file_range(in_fd, out_fd, length, offset)
        except OSError:
            break               # not between these files: copy by hand
        if not count:
            raise ValueError("%s became shorter while being read" % in_path)
        offset += count
        length -= count
    os.lseek(in_fd, offset, os.SEEK_SET)
    while length:
        piece = os.read(in_fd, min(length, _CHUNK))
        if not piece:
            raise ValueError("%s became shorter while being read" % in_path)
        length -= len(piece)
        view = memoryview(piece)
        while len(view):
            view = view[os.write(out_fd, view):]


def _readable_file(out):
    """Whether `out` is a regular file open for reading too, at a file
    descriptor of its own."""
    try:
        import fcntl            # not on Windows: the copy by hand serves
        fd = out.fileno()
        return (stat.S_ISREG(os.fstat(fd).st_mode) and
                fcntl.fcntl(fd, fcntl.F_GETFL) & _O_ACCMODE == os.O_RDWR)
    except (ImportError, AttributeError, EnvironmentError,
            io.UnsupportedOperation):
        return False


# The access-mode bits of a descriptor's flags (not in Python 2's os).
_O_ACCMODE = getattr(os, "O_ACCMODE", 3)


def _native():
    try:
        import _corvamire_native
    except ImportError:
        return None
    return _corvamire_native


# Python 3 replaces an existing file on every platform; Python 2's rename
# does so on POSIX only.
_replace = getattr(os, "replace", os.rename)
