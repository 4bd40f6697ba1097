"""The disk through descriptors, for paths longer than the system's PATH_MAX:
each directory is opened from its parent, one name at a time."""

import os


def open_dir(path):
    """A descriptor of directory `path`, opened piece by piece."""
    fd = os.open(b"/" if path.startswith(b"/") else b".", os.O_RDONLY | os.O_DIRECTORY)
    try:
        for part in path.split(b"/"):
            if not part:
                continue
            nxt = os.open(part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fd)
            os.close(fd)
            fd = nxt
    except OSError:
        os.close(fd)
        raise
    return fd


def mkdir_at(path):
    """mkdir for a path of any length: from a descriptor of its parent."""
    parent, name = path.rsplit(b"/", 1)
    fd = open_dir(parent)
    try:
        os.mkdir(name, dir_fd=fd)
    finally:
        os.close(fd)


def write_at(path, data=b""):
    """Creates or replaces file `path`, of any length, with `data`."""
    parent, name = path.rsplit(b"/", 1)
    fd = open_dir(parent)
    try:
        wfd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644, dir_fd=fd)
        try:
            os.write(wfd, data)
        finally:
            os.close(wfd)
    finally:
        os.close(fd)
