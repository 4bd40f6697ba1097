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
(see patching) and compares.  Literal bytes and everything else
in the delta are covered by its CRC-32.  A wrong earlier version or a
damaged delta thus gives ValueError and no file, without an MD5 pass over
the whole later version on either side.

delta() and Delta are the same in memory, for small files and tests.
"""

import io
import os
import stat

from corvamire.delta_format import (CHUNK, FORMAT_VERSION,  # noqa: F401
                                    MAGIC, DeltaReader, DeltaStats,
                                    DeltaWriter, FormatError)
from corvamire.lookup_table import match_fd
from corvamire.patching import patch, patch_stream, replacing  # noqa: F401
from corvamire.signature import (Signature, check_file,  # noqa: F401
                                 check_path, integer_types, native,
                                 signature)

# The new file is scanned in segments of at least this many bytes, and of
# this many times the earlier version's size: the table's indexing, once
# per segment, then costs little beside the scan.
_SEGMENT_MIN = 64 << 20
_SEGMENT_PER_OLD_BYTE = 4
# Copies written together at most: the list stays small however many
# copies come without a literal between them.
_READY_COPIES = 4096


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
    check_file(out, "write", "out")
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
    import shutil               # here only: imports count in a short command
    import tempfile
    with tempfile.TemporaryFile() as spool:
        shutil.copyfileobj(source, spool, CHUNK)
        spool.flush()           # match() reads through the descriptor
        return _write_delta(signature, spool.fileno(), spool.tell(), out,
                            buffer_size, progress)


def _write_delta(signature, fd, new_size, out, buffer_size, progress):
    # The descriptor is read directly, never through a buffered file
    # object: match() moves its position between the literals' reads.
    writer = DeltaWriter(out, signature.size)
    digests = dict((size, signature.digests(size))
                   for size in signature.block_sizes)
    done = 0
    run = None                  # the copy being extended: [size, first, count]
    ready = []                  # copies done, written at the next literal
    for offset, size, first, count in _runs(signature, fd, new_size,
                                            buffer_size, progress):
        # Runs of two segments may continue each other.
        if (run and offset == done and size == run[0] and
                first == run[1] + run[2]):
            run[2] += count
            done += size * count
            continue
        if run:
            ready.append(run)
        if offset > done or len(ready) >= _READY_COPIES:
            writer.copies(ready, digests)
            ready = []
        if offset > done:
            writer.literal(fd, done, offset - done)
            if progress:
                progress(offset)
        run = [size, first, count]
        done = offset + size * count
    if run:
        ready.append(run)
    writer.copies(ready, digests)
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
    match_runs = getattr(native(), "match_runs", _match_runs)
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
        check_file(fileobj, "read", "fileobj")
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
