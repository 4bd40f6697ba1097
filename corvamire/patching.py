"""Rebuilding a later version from the earlier one and a delta, checked
before it is put in place; and the temporary file renamed into place that
every output of the package goes through."""

import binascii
import errno
import hashlib
import io
import os
import stat

from corvamire.delta_format import CHUNK, DeltaReader, FormatError
from corvamire.signature import check_path, native


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
        if isinstance(getattr(self.delta, "data", None), bytes):
            return io.BytesIO(self.delta.data)      # a Delta
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
        fd, self.temp = _create_beside(directory, name)
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
                        os.chmod(self.temp,
                                 stat.S_IMODE(os.stat(source).st_mode))
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
        out_fd = _descriptor(out) if native() is not None else None
        if out_fd is None:
            copies = _PythonCopies(old, out, check, old_path)
        else:
            copies = _NativeCopies(old, out, out_fd, check, old_path)
        made = 0
        for op in reader.pieces():
            kind = op[0]
            if kind == "literal":
                made = copies.flush(made, progress)
                out.write(op[1])
                made += len(op[1])
                if progress:
                    progress(made)
            elif kind == "copies":
                copies.add_all(op[1], op[2], op[3])
            else:
                copies.add(op[1], op[2], op[3])
        made = copies.flush(made, progress)
    if made != reader.new_size:
        raise FormatError("corrupt delta: its operations make %d bytes, not"
                         " the new file's %d" % (made, reader.new_size))
    if check.digest() != reader.check:
        raise ValueError("the copied blocks do not match the delta's check:"
                         " %s is not the version the delta was made"
                         " against, or the delta is damaged" % old_path)
    return made


class _PythonCopies(object):
    """Copies made as they come, every block digested in Python."""

    def __init__(self, old, out, check, old_path):
        self.old, self.out, self.check = old, out, check
        self.old_path = old_path
        self.made = 0

    def add_all(self, copies, length, blocks):
        for copy in copies:
            self.add(*copy)

    def add(self, offset, length, block):
        _copy_blocks(self.old, offset, length, block, self.out, self.check,
                     self.old_path)
        self.made += length

    def flush(self, made, progress):
        made += self.made
        if self.made and progress:
            progress(made)
        self.made = 0
        return made


class _NativeCopies(object):
    """Copies gathered up to the next literal and made in one native call
    (patch_copy), which digests every block from the buffer it writes."""

    def __init__(self, old, out, out_fd, check, old_path):
        self.old_fd, self.out, self.out_fd = old.fileno(), out, out_fd
        self.check = check
        self.old_path = old_path
        self.copies = []
        self.blocks = 0
        self.made = 0           # bytes added since the last flush

    def add_all(self, copies, length, blocks):
        if self.blocks + blocks > _BLOCKS_PER_CALL:
            for copy in copies:
                self.add(*copy)
            return
        self.copies.extend(copies)
        self.blocks += blocks
        self.made += length
        if self.blocks == _BLOCKS_PER_CALL:
            self._copy()

    def add(self, offset, length, block):
        self.made += length
        # Calls of a bounded number of blocks: the digests come back in
        # one bytes object.
        while length:
            take = min(length, (_BLOCKS_PER_CALL - self.blocks) * block)
            self.copies.append((offset, take, block))
            self.blocks += take // block
            offset += take
            length -= take
            if self.blocks == _BLOCKS_PER_CALL:
                self._copy()

    def flush(self, made, progress):
        if self.copies:
            self._copy()
        made += self.made
        if self.made and progress:
            progress(made)
        self.made = 0
        return made

    def _copy(self):
        copies, self.copies, self.blocks = self.copies, [], 0
        self.out.flush()        # the native copy writes at the descriptor
        try:
            digests = native().patch_copy(self.old_fd, self.out_fd, copies)
        except ValueError:
            raise ValueError("%s became shorter while being read"
                             % self.old_path)
        self.check.update(digests)


# Blocks one native copy call takes at most: their digests, 16 bytes each,
# are held at once (1 MiB).
_BLOCKS_PER_CALL = 1 << 16


def _copy_blocks(old, offset, length, block, out, check, old_path):
    old.seek(offset)
    step = max(block, CHUNK // block * block)
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


def _descriptor(out):
    """The file descriptor `out` writes to, if it has one."""
    try:
        return out.fileno()
    except (AttributeError, EnvironmentError, io.UnsupportedOperation):
        return None


def _create_beside(directory, name):
    """(descriptor, path) of a new private file in `directory`, named after
    `name`: what tempfile.mkstemp makes, without the import of tempfile
    and random, which cost as much as a small command's work."""
    flags = (os.O_RDWR | os.O_CREAT | os.O_EXCL |
             getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0))
    for _ in range(_NAME_TRIES):
        tag = binascii.hexlify(os.urandom(6)).decode("ascii")
        path = os.path.join(directory, ".%s.%s.part" % (name, tag))
        try:
            return os.open(path, flags, 0o600), path
        except OSError as e:
            if e.errno != errno.EEXIST:
                raise
    raise IOError(errno.EEXIST, "no free temporary file name", directory)


# 48 random bits a name: a clash is all but impossible, and a few tries
# settle one.
_NAME_TRIES = 16


# Python 3 replaces an existing file on every platform; Python 2's rename
# does so on POSIX only.
_replace = getattr(os, "replace", os.rename)
