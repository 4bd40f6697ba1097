"""Run dir_watcher the way a host does, and read what it leaves behind.

dir_watcher is started with four arguments: the host's process id, a
watch-list file, an exclusion-list file and a changelog directory.  Each
completed change read becomes one batch file "%08d.txt" in the changelog
directory, one changed directory per line, numbered from 00000001.txt in
every run; so a host reads each batch and removes it, and must have removed
the last run's batches before the next run starts.  The watcher ends by
itself, with exit code 0, about a second after the host process has ended.
Anything else ends it with an exit code that names the failing step and,
usually, one line in error.txt in the changelog directory.

    with Watcher(["/data/docs"], ["/data/docs/cache"]) as w:
        for batch in w.batches(timeout=30):
            print(batch.number, batch.dirs)

A listed directory that does not exist, is not a directory or cannot be
read makes Watcher raise WatcherError naming it, before anything runs.
Lines that the run adds to error.txt are passed to the logger
"corvamire.watcher" as they appear (level WARNING), after the path they
concern where the package can tell it.

A Watcher keeps its lists and changelog in a private directory of the
temporary directory, named corvamire-watcher-*, that close() removes.  A
host killed outright leaves it behind; the next Watcher removes those whose
processes have all ended.
"""

from __future__ import print_function

import collections
import errno
import logging
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time

from corvamire.exit_codes import EXIT_CODES  # noqa: F401  (re-exported)

BATCH_NAME = re.compile(r"^(\d{8,})\.txt$")
ERROR_LOG = "error.txt"
UTF8_BOM = b"\xef\xbb\xbf"

# No NullHandler: a host that configures no logging should still see that
# its watcher failed (Python 3 prints warnings to stderr then).
log = logging.getLogger(__name__)

# A Watcher's private directory and the file in it naming the processes that
# use it: while any of them lives the directory is not stale.
WORK_DIR_PREFIX = "corvamire-watcher-"
OWNER_FILE = "owner"
OWNER_MARK = "corvamire watcher"

# A step's text, its code in hexadecimal, the system's text: an appended line.
_LOGGED_LINE = re.compile(r"^(\S.*?) 0x([0-9A-F]{4,}) ")

# Codes whose system text does not tell a host what to do.  On Linux the
# watcher reports a full inotify watch table as "no system resources".
HINTS = {
    0x05AA: "the system has no resources left for watching; on Linux the"
            " inotify watches are used up: raise fs.inotify.max_user_watches"
            " (for example: sysctl fs.inotify.max_user_watches=524288)",
}


class Batch(collections.namedtuple("Batch", "number paths")):
    """A finished read of one watched directory: its batch number and the
    changed directories, one line per change, in the order the watcher
    wrote them (repeats kept)."""
    __slots__ = ()

    @property
    def dirs(self):
        """The distinct directories of `paths`, in first-seen order."""
        seen = set()
        return [p for p in self.paths if not (p in seen or seen.add(p))]


class WatcherError(Exception):
    """dir_watcher cannot start (the message names the program or the
    directories at fault) or ended with a failure (it says which step)."""


def repo_root():
    return os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def find_dir_watcher(binary=None):
    """The dir_watcher program: `binary` if given, else the environment
    variable DIR_WATCHER, else the one installed inside this package (by
    pip install .), else build/bin/dir_watcher of the source tree this
    package runs from (build/windows/dir_watcher.exe on Windows), else
    dir_watcher on PATH."""
    candidate = binary or os.environ.get("DIR_WATCHER")
    if candidate:
        if os.path.isfile(candidate):
            return candidate
        raise WatcherError("dir_watcher not found at %s" % candidate)
    name = "dir_watcher.exe" if os.name == "nt" else "dir_watcher"
    # The Windows program comes from the cross build.
    build = os.path.join(repo_root(), "build",
                         "windows" if os.name == "nt" else "bin", name)
    tried = [os.path.join(os.path.dirname(os.path.abspath(__file__)), name),
             build]
    tried += [os.path.join(d, name) for d in
              os.environ.get("PATH", "").split(os.pathsep) if d]
    for path in tried:
        if os.path.isfile(path):
            return path
    raise WatcherError("dir_watcher not found in the package, at %s nor on"
                       " PATH (install the package with 'pip install .',"
                       " build it with 'make native', or set DIR_WATCHER)"
                       % build)


def unwatchable(path):
    """Why dir_watcher cannot watch the directory `path`, or None."""
    path = _as_arg(path)    # the bytes the watcher will open, on Python 2
    try:
        if not stat.S_ISDIR(os.stat(path).st_mode):
            return "not a directory"
        if os.name == "nt":
            os.listdir(path)
        else:
            # Opening it is what the watcher does first; its subdirectories
            # also need it searchable.
            os.close(os.open(path, os.O_RDONLY
                             | getattr(os, "O_DIRECTORY", 0)))
            if not os.access(path, os.X_OK):
                raise OSError(errno.EACCES, os.strerror(errno.EACCES))
    except OSError as e:
        return e.strerror or str(e)
    return None


def check_watch_list(entries):
    """Raise WatcherError naming each entry that cannot be watched."""
    failures = ["%s (%s)" % (_for_message(entry), why) for entry, why in
                ((e, unwatchable(e)) for e in entries if e) if why]
    if failures:
        raise WatcherError("cannot watch " + "; ".join(failures))


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except OSError as e:
        return e.errno != errno.ESRCH   # EPERM: alive, someone else's
    # A process that has ended but is not reaped yet still takes signals.
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except (IOError, OSError, IndexError):
        # Gone meanwhile, or a system without /proc: trust the signal.
        return not os.path.isdir("/proc/self")


def _owner_pids(path):
    # Only a real directory of ours that carries the mark: anything else in
    # the shared temporary directory is left alone.
    try:
        info = os.lstat(path)
        if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.getuid():
            return None
        with open(os.path.join(path, OWNER_FILE)) as f:
            lines = f.read().split("\n")
        if lines[0] != OWNER_MARK:
            return None
        pids = [int(p) for p in lines[1].split()]
        # 0 and below name process groups, not processes.
        return pids if pids and min(pids) > 0 else None
    except (IOError, OSError, IndexError, ValueError):
        return None


def write_owner(work_dir, pids):
    """Name the processes that use `work_dir` (written whole, then renamed
    into place, so a reader never sees half of it)."""
    temp = os.path.join(work_dir, OWNER_FILE + ".new")
    with open(temp, "w") as f:
        f.write("%s\n%s\n" % (OWNER_MARK, " ".join(str(p) for p in pids)))
    os.rename(temp, os.path.join(work_dir, OWNER_FILE))


def remove_stale_work_dirs(parent=None):
    """Remove the private directories of Watchers whose processes (the
    host's, the watcher's and the one that made it) have all ended, as a
    host killed outright leaves them.  A directory without its owner file
    yet, or with any of its processes alive, stays.  Returns the paths
    removed."""
    if os.name == "nt" or not hasattr(os, "getuid"):
        return []   # os.kill(pid, 0) would end the process there
    parent = parent or tempfile.gettempdir()
    try:
        names = os.listdir(parent)
    except OSError:
        return []
    removed = []
    for name in sorted(names):
        path = os.path.join(parent, name)
        if not name.startswith(WORK_DIR_PREFIX):
            continue
        pids = _owner_pids(path)
        if pids and not any(_pid_alive(p) for p in pids):
            shutil.rmtree(path, ignore_errors=True)
            removed.append(path)
    return removed


def _as_text(path):
    if isinstance(path, bytes):
        return path.decode("utf-8", "surrogateescape"
                           if sys.version_info[0] >= 3 else "strict")
    return path


def _for_message(path):
    # The native string type, so that str() of a message never fails.
    if sys.version_info[0] < 3:
        return path if isinstance(path, bytes) else path.encode("utf-8")
    return _as_text(path)


def _as_arg(text):
    # Python 2 passes byte strings to exec; the watcher decodes UTF-8.
    if sys.version_info[0] < 3 and not isinstance(text, bytes):
        return text.encode("utf-8")
    return text


def write_list(path, entries):
    """Write a watch or exclusion list: UTF-8, one entry per line.

    The watcher takes each line exactly as it stands (blanks included), so
    an entry that holds a line break cannot be written."""
    lines = []
    for entry in entries:
        entry = _as_text(entry)
        if "\n" in entry or "\r" in entry:
            raise ValueError("a list entry cannot hold a line break: %r"
                             % entry)
        lines.append(entry + u"\n")
    encoding_errors = "surrogateescape" if sys.version_info[0] >= 3 \
        else "strict"
    with open(path, "wb") as f:
        f.write(u"".join(lines).encode("utf-8", encoding_errors))


def _decode_line(raw):
    # Names that are not UTF-8 come back byte for byte: keep them as the
    # platform's own path type rather than lose them.
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        if sys.version_info[0] >= 3:
            return raw.decode("utf-8", "surrogateescape")
        return raw


def collect_batches(changelog_dir):
    """Read every batch in `changelog_dir`, in number order, removing each
    once read.  Returns a list of Batch records.

    Given the directory as bytes (on Python 3), as os.listdir takes it, the
    paths are the lines' bytes exactly as written, and a batch that is
    empty or whose last line has no line end raises ValueError (once
    removed): a caller that checks names byte for byte must not get a cut
    one."""
    raw = sys.version_info[0] >= 3 and isinstance(changelog_dir, bytes)
    numbered = []
    for name in os.listdir(changelog_dir):
        found = BATCH_NAME.match(name.decode("latin-1") if raw else name)
        if found:
            numbered.append((int(found.group(1)), name))
    batches = []
    for number, name in sorted(numbered):
        path = os.path.join(changelog_dir, name)
        with open(path, "rb") as f:
            data = f.read()
        os.remove(path)
        lines = data.split(b"\n")[:-1]
        if raw:
            # Every batch holds at least one line.
            if not data.endswith(b"\n"):
                raise ValueError("batch %d is empty or ends inside a line:"
                                 " %r" % (number, data))
            batches.append(Batch(number, lines))
            continue
        batches.append(Batch(number, [_decode_line(line) for line in lines]))
    return batches


def parse_error_log(data):
    """The lines of error.txt contents (bytes).

    Appended lines come in UTF-8 text mode (a byte-order mark when the file
    is new, CR LF line ends, and the system's message text brings its own
    line break); a replacing line comes in plain text mode.  Blank lines
    are dropped."""
    if data.startswith(UTF8_BOM):
        data = data[len(UTF8_BOM):]
    text = data.decode("utf-8", "replace")
    return [line.strip("\r") for line in text.split("\n")
            if line.strip("\r").strip()]


def describe_exit(code, error_lines=(), stopped=False):
    """One readable message for an exit code and the error.txt lines."""
    if stopped:
        head = "dir_watcher was stopped by the host"
    elif code is None:
        head = "dir_watcher is still running"
    elif code < 0:
        head = "dir_watcher was killed by signal %d" % -code
    else:
        step = EXIT_CODES.get(code, "an error code of the system, from"
                              " decoding the command line")
        head = "dir_watcher exited with code %d: %s" % (code, step)
    lines = [head] + ["  error.txt: %s" % line for line in error_lines]
    for hint in _hints(error_lines):
        lines.append("  hint: %s" % hint)
    return "\n".join(lines)


def _hints(error_lines):
    hints = []
    for line in error_lines:
        found = _LOGGED_LINE.match(line)
        hint = found and HINTS.get(int(found.group(2), 16))
        if hint and hint not in hints:
            hints.append(hint)
    return hints


class Watcher(object):
    """One run of dir_watcher over the given directories.

    The list files and, unless one is given, the changelog directory live
    in a private temporary directory that close() removes.  The host
    process id defaults to this process: the watcher ends once it has.

    With `probe` (the default) a private directory is listed after the
    caller's, so that wait_until_watching() can tell when the watcher is
    ready: it publishes batches only once both lists are loaded and every
    listed directory has its change read pending, so the first batch from
    a change made there proves it.  The probe's lines never show up in
    collect().

    A listed directory that cannot be watched raises WatcherError here,
    naming it.  One that goes away between this check and the watcher's
    start gets a "CreateFile" line in error.txt and the run goes on.

    As a context manager it starts the watcher and, with a probe, waits
    until it watches; on leaving it stops the watcher and removes the
    files it made (a changelog directory the caller gave is left).
    """

    def __init__(self, watch, exclude=(), changelog_dir=None, host_pid=None,
                 binary=None, probe=True):
        self.binary = find_dir_watcher(binary)
        self.watch = list(watch)
        check_watch_list(self.watch)
        self.host_pid = os.getpid() if host_pid is None else host_pid
        remove_stale_work_dirs()
        self.work_dir = tempfile.mkdtemp(prefix=WORK_DIR_PREFIX)
        self._owners = [os.getpid(), self.host_pid]
        write_owner(self.work_dir, self._owners)
        self.changelog_dir = changelog_dir or os.path.join(self.work_dir,
                                                           "changelog")
        if not os.path.isdir(self.changelog_dir):
            os.makedirs(self.changelog_dir)
        self.probe_dir = None
        watch = self.watch
        if probe:
            self.probe_dir = os.path.join(self.work_dir, "probe")
            os.mkdir(self.probe_dir)
            watch = watch + [self.probe_dir]
        self.watch_list = os.path.join(self.work_dir, "watch-list.txt")
        self.exclusion_list = os.path.join(self.work_dir,
                                           "exclusion-list.txt")
        write_list(self.watch_list, watch)
        write_list(self.exclusion_list, exclude)
        self.process = None
        self.stopped = False
        # Batches an earlier run left behind: the host has not seen them,
        # and the new run cannot number its own batches while they remain.
        self._pending = collect_batches(self.changelog_dir)
        self._log_before = self._read_error_log()
        self._logged = []

    def __enter__(self):
        try:
            self.start()
            if self.probe_dir is not None:
                self.wait_until_watching()
        except BaseException:
            self.stop()
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        self.close()

    def start(self):
        args = [self.binary, str(self.host_pid), self.watch_list,
                self.exclusion_list, self.changelog_dir]
        self.process = subprocess.Popen([_as_arg(a) for a in args])
        # The program may outlive this process (its host is another one).
        write_owner(self.work_dir, self._owners + [self.process.pid])
        return self

    def _read_error_log(self):
        try:
            with open(os.path.join(self.changelog_dir, ERROR_LOG), "rb") as f:
                return f.read()
        except (IOError, OSError):
            return b""

    def _is_probe(self, path):
        if self.probe_dir is None or isinstance(path, bytes):
            return False
        return any(path == p or path.startswith(p + os.sep)
                   for p in (self.probe_dir, os.path.realpath(self.probe_dir)))

    def collect(self):
        """The batches published since the last call, in number order."""
        self._log_new_errors()
        batches, self._pending = self._pending, []
        for batch in collect_batches(self.changelog_dir):
            paths = [p for p in batch.paths if not self._is_probe(p)]
            if paths:
                batches.append(Batch(batch.number, paths))
        return batches

    def wait_until_watching(self, timeout=10.0):
        """Return once the watcher reports changes (see the class notes).
        Raises WatcherError if it ends or stays silent meanwhile."""
        if self.probe_dir is None:
            raise ValueError("this watcher was made without a probe")
        deadline = time.time() + timeout
        poke = os.path.join(self.probe_dir, "poke")
        while time.time() < deadline:
            with open(poke, "ab") as f:
                f.write(b".")
            for _ in range(10):
                if self.poll() is not None:
                    raise WatcherError(self.describe())
                if any(BATCH_NAME.match(n)
                       for n in os.listdir(self.changelog_dir)):
                    # Keep the caller's batches, those of an earlier run
                    # included; only the probe's go.
                    self._pending = self.collect()
                    return
                time.sleep(0.02)
        raise WatcherError("dir_watcher reported no change within %.0f s"
                           % timeout)

    def batches(self, timeout=None, interval=0.05):
        """Yield batches as they come, in number order, each removed from
        the changelog directory once read.

        Ends when the watcher ends (raising WatcherError if it ended with
        a failure), and, with a timeout, once no batch has come for that
        many seconds."""
        if self.process is None:
            raise ValueError("the watcher has not been started")
        idle_since = time.time()
        while True:
            ended = self.poll() is not None
            got = self.collect()
            for batch in got:
                yield batch
            if got:
                idle_since = time.time()
            if ended:
                self.check()
                return
            if timeout is not None and time.time() - idle_since >= timeout:
                return
            time.sleep(interval)

    def poll(self):
        """The exit code, or None while the watcher runs."""
        return self.process.poll() if self.process else None

    def wait(self, timeout=None):
        """Wait for the watcher to end; the exit code, or None on timeout.
        Its last error.txt lines go to the log as it ends."""
        deadline = None if timeout is None else time.time() + timeout
        while self.poll() is None:
            if deadline is not None and time.time() >= deadline:
                return None
            time.sleep(0.01)
        self._log_new_errors()
        return self.poll()

    def stop(self, timeout=5.0):
        """End the watcher if it still runs (a host that stays alive but
        wants no more changes does this)."""
        if self.process is None or self.poll() is not None:
            return self.poll()
        self.stopped = True
        self.process.terminate()
        if self.wait(timeout) is None:
            self.process.kill()
        return self.process.wait()

    def error_lines(self):
        """The lines this run added to error.txt.  Lines of failures that
        are not fatal gather across runs; a fatal failure may replace the
        file, and then all of it is this run's."""
        data = self._read_error_log()
        if self._log_before and data.startswith(self._log_before):
            data = data[len(self._log_before):]
        return parse_error_log(data)

    def describe(self):
        """A readable message: how the run ended, and its error.txt lines."""
        return describe_exit(self.poll(), self.error_lines(), self.stopped)

    def check(self):
        """Raise WatcherError if the watcher has ended with a failure."""
        self._log_new_errors()
        code = self.poll()
        if code not in (None, 0) and not self.stopped:
            raise WatcherError(self.describe())

    def _log_new_errors(self):
        lines = self.error_lines()
        done = len(self._logged)
        if lines[:done] != self._logged:
            done = 0            # a replacing write: all of it is new
        for line in lines[done:]:
            path = self._concerned_path(line)
            if path is None:
                log.warning("dir_watcher: %s", line)
            else:
                log.warning("dir_watcher: %s: %s", path, line,
                            extra={"path": path})
        self._logged = lines

    def _concerned_path(self, line):
        """The path an error.txt line concerns, where the line's step tells
        which; None where it does not (a list file's line names it)."""
        found = _LOGGED_LINE.match(line)
        step = found and found.group(1)
        if step in ("CreateFile temp changelog", "WriteFile temp changelog"):
            return _for_message(self.changelog_dir)
        if step == "CreateFile":
            # A listed directory that failed to open: those that fail now.
            gone = [_for_message(d) for d in self.watch
                    if d and unwatchable(d)]
            return ", ".join(gone) if gone else None
        return None

    def close(self):
        """Remove the list files and the private changelog directory."""
        shutil.rmtree(self.work_dir, ignore_errors=True)
