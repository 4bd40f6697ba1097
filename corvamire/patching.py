"""Rebuilding a later version from the earlier one and a delta, checked
before it is put in place; and the temporary file renamed into place that
every output of the package goes through."""

import hashlib
import io
import os
import shutil
import stat
import tempfile

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
        if native() is not None and _readable_file(out):
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


def _copy_blocks_native(old, offset, length, block, out, check, old_path):
    """_copy_blocks with the bytes copied by the kernel where it can, and
    the blocks digested many at a time, from what was written to `out`:
    the check covers the very bytes of the result."""
    out.flush()
    out_fd = out.fileno()
    start = os.lseek(out_fd, 0, os.SEEK_CUR)
    _copy_range(old.fileno(), offset, out_fd, length, old_path)
    os.lseek(out_fd, start, os.SEEK_SET)
    check.update(native().block_digests(out_fd, length, [block])[0][2])


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
        piece = os.read(in_fd, min(length, CHUNK))
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


# Python 3 replaces an existing file on every platform; Python 2's rename
# does so on POSIX only.
_replace = getattr(os, "replace", os.rename)
