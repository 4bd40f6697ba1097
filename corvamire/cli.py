"""The command line, in rdiff's argument order:

    corvamire signature [--block-sizes 8192,2048] OLD [SIG]
    corvamire delta SIG [NEW [DELTA]]
    corvamire patch OLD [DELTA [NEW]]

A file left out, or given as "-", is standard input or output (OLD of
patch must be a file: its blocks are read out of order).  An output file
is written beside its place and renamed into it when complete, so a
failure or Ctrl-C leaves nothing behind; a symbolic link there is
followed (the file it names is replaced, the link stays), and a device or
pipe is written to without renaming (after patch's check, for patch).
An existing file is replaced only with --force, as rdiff does.

Exit status: 0 done; 1 bad input or a failed write, told by one line on
standard error; 2 a bad command line; 130 interrupted (Ctrl-C); 143
terminated (SIGTERM).
"""

import argparse
import gc
import io
import os
import signal
import stat
import sys
import time

from corvamire.patching import replacing
from corvamire.signature import Signature, signature
from corvamire.version import __version__

PROG = "corvamire"
# 130 and 143: a shell's status for a process ended by SIGINT or SIGTERM.
EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_TERMINATED = 1, 2, 130, 143
# Work on less than this ends before a progress line would help.
_PROGRESS_FROM_BYTES = 64 << 20
_PROGRESS_EVERY_S = 0.25
_CHUNK = 1 << 20


class Failure(Exception):
    """A failure told by its one line."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise _UsageError("%s (try %s --help)" % (message, self.prog))


class _UsageError(Exception):
    pass


def _block_sizes(text):
    try:
        sizes = [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(
            "%r is not a comma-separated list of byte counts" % text)
    if not sizes or min(sizes) <= 0:
        raise argparse.ArgumentTypeError("block sizes must be positive")
    return sizes


def parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true",
                        help="no progress line")
    common.add_argument("-f", "--force", action="store_true",
                        help="replace an existing output file")
    top = _Parser(prog=PROG, description="Signatures, deltas and patches of"
                  " files, in rdiff's argument order.",
                  epilog=__doc__.split("\n\n")[2])
    top.add_argument("--version", action="version", version=__version__)
    # Before the command too, as rdiff takes them; under names of their
    # own, since a command's defaults would overwrite them.
    top.add_argument("-q", "--quiet", action="store_true", dest="all_quiet",
                     help=argparse.SUPPRESS)
    top.add_argument("-f", "--force", action="store_true", dest="all_force",
                     help=argparse.SUPPRESS)
    commands = top.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    sig = commands.add_parser("signature", parents=[common],
                              help="describe the blocks of OLD in SIG")
    sig.add_argument("-b", "--block-sizes", type=_block_sizes,
                     default=[8192, 2048], metavar="SIZES",
                     help="comma-separated block sizes (default 8192,2048)")
    sig.add_argument("old", metavar="OLD", nargs="?", default="-")
    sig.add_argument("sig", metavar="SIG", nargs="?", default="-")
    delta = commands.add_parser("delta", parents=[common],
                                help="write NEW as a DELTA against SIG")
    delta.add_argument("sig", metavar="SIG")
    delta.add_argument("new", metavar="NEW", nargs="?", default="-")
    delta.add_argument("delta", metavar="DELTA", nargs="?", default="-")
    patch = commands.add_parser("patch", parents=[common],
                                help="rebuild NEW from OLD and DELTA")
    patch.add_argument("old", metavar="OLD")
    patch.add_argument("delta", metavar="DELTA", nargs="?", default="-")
    patch.add_argument("new", metavar="NEW", nargs="?", default="-")
    for sub in (sig, delta, patch):
        sub.error = top.error
    return top


class Progress(object):
    """A line on standard error, rewritten in place, for long work on a
    terminal: the share of `total` done, or the bytes done when the total
    is only an estimate."""

    def __init__(self, label, total, quiet, estimate=False):
        self.label = label
        self.total = total
        self.estimate = estimate
        self.shown = False
        self.next = 0.0
        self.on = (not quiet and total >= _PROGRESS_FROM_BYTES and
                   sys.stderr.isatty())

    def __call__(self, done):
        if not self.on or time.time() < self.next:
            return
        self.next = time.time() + _PROGRESS_EVERY_S
        if self.estimate:
            line = "%.1f MiB" % (done / 1048576.0)
        else:
            line = "%3d%% of %.1f MiB" % (
                100 * min(done, self.total) // max(self.total, 1),
                self.total / 1048576.0)
        sys.stderr.write("\r%s: %s" % (self.label, line))
        sys.stderr.flush()
        self.shown = True

    def __enter__(self):
        return self

    def __exit__(self, *_):
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
        return False


def _size_of(path):
    try:
        return os.stat(path).st_size if path != "-" else 0
    except OSError:
        return 0


def _stdin():
    return io.open(sys.stdin.fileno(), "rb", closefd=False)


def _stdout():
    return io.open(sys.stdout.fileno(), "wb", closefd=False)


class _Output(object):
    """Where a command writes: a temporary file renamed into place, or,
    for standard output, a device or a pipe, the stream itself; with
    `checked`, there only after the with-block ends well (through a
    temporary file, since what is written must pass a check first)."""

    def __init__(self, path, force, checked=False, mode_from=None):
        self.path = path
        self.checked = checked
        self.spool = self.target = self.replacing = None
        if path != "-":
            self.path = os.path.realpath(path)
            try:
                info = os.stat(self.path)
            except OSError:
                info = None
            if info and stat.S_ISDIR(info.st_mode):
                raise Failure("%s is a directory" % path)
            if info and stat.S_ISREG(info.st_mode) and not force:
                raise Failure("%s exists (--force replaces it)" % path)
            if info is None or stat.S_ISREG(info.st_mode):
                self.replacing = replacing(self.path, mode_from)

    def __enter__(self):
        if self.replacing:
            return self.replacing.__enter__()
        self.target = _Named(_stdout() if self.path == "-" else
                             io.open(self.path, "wb"), self.path)
        if self.checked:
            import tempfile     # here only: imports count in a short command
            self.spool = tempfile.TemporaryFile()
            return self.spool
        return self.target

    def __exit__(self, kind, value, trace):
        if self.replacing:
            return self.replacing.__exit__(kind, value, trace)
        try:
            if kind is None and self.spool:
                import shutil
                self.spool.seek(0)
                shutil.copyfileobj(self.spool, self.target, _CHUNK)
            if kind is None:
                self.target.flush()
        finally:
            if self.spool:
                self.spool.close()
            if self.path != "-":
                self.target.close()
        return False


class _Named(object):
    """A stream whose write failures name it."""

    def __init__(self, stream, path):
        self.stream = stream
        self.name = path if path != "-" else "standard output"

    def write(self, data):
        try:
            return self.stream.write(data)
        except EnvironmentError as e:
            raise Failure("%s: %s" % (self.name, e.strerror or e))

    def flush(self):
        try:
            self.stream.flush()
        except EnvironmentError as e:
            raise Failure("%s: %s" % (self.name, e.strerror or e))

    def close(self):
        # Called after flush(), which reports a failure to write, or on the
        # way out of another failure, which is the one to tell.
        try:
            self.stream.close()
        except EnvironmentError:
            pass


class _Input(object):
    def __init__(self, path):
        self.path = path
        self.file = None

    def __enter__(self):
        if self.path == "-":
            return _stdin()
        if os.path.isdir(self.path):
            raise Failure("%s is a directory" % self.path)
        self.file = io.open(self.path, "rb")
        return self.file

    def __exit__(self, *_):
        if self.file:
            self.file.close()


def _one_stdin(*paths):
    if sum(1 for path in paths if path == "-") > 1:
        raise _UsageError("only one input can be standard input")


def run_signature(args):
    with Progress("signature", _size_of(args.old), args.quiet) as progress:
        with _Input(args.old) as old:
            made = signature(old if args.old == "-" else args.old,
                             args.block_sizes, progress)
    with _Output(args.sig, args.force) as out:
        made.write(out)


def run_delta(args):
    from corvamire import delta as dl   # here: signature does not need it
    _one_stdin(args.sig, args.new)
    with _Input(args.sig) as source:
        try:
            sig = Signature.read(source)
        except ValueError as e:
            raise Failure("%s: %s" % (args.sig, e))
    with Progress("delta", _size_of(args.new), args.quiet) as progress:
        with _Input(args.new) as new:
            with _Output(args.delta, args.force) as out:
                dl.write_delta(sig, new, out, progress=progress)
    if args.ending:
        # The process ends with the command: the signature's lookup table
        # is left to it rather than freed object by object (a tenth of a
        # delta's time on Python 2).
        _kept.append(sig)


def run_patch(args):
    from corvamire import patching      # not delta: no block table here
    if args.old == "-":
        raise _UsageError("OLD must be a file, not standard input")
    _Input(args.old).__enter__().close()    # a clear line for a bad OLD
    with Progress("patch", _size_of(args.old), args.quiet,
                  estimate=True) as progress:
        with _Input(args.delta) as source:
            with _Output(args.new, args.force, checked=True,
                         mode_from=args.old) as out:
                try:
                    patching.patch_stream(args.old, source, out, progress)
                except patching.FormatError as e:
                    raise Failure("%s: %s" % (args.delta, e))


def main(argv=None, ending=False):
    """Runs one command; returns the exit status.  ending: the process
    ends right after, without freeing what the command made."""
    # A command makes no reference cycles worth collecting, and the
    # collector's passes over a large lookup table cost a quarter of
    # building it.
    collecting = gc.isenabled()
    gc.disable()
    # A polite end (kill, a logout) cleans up as Ctrl-C does; handlers can
    # only be set from the main thread.
    try:
        previous = signal.signal(signal.SIGTERM, _terminated)
    except ValueError:
        previous = None
    try:
        args = parser().parse_args(argv)
        args.quiet = args.quiet or args.all_quiet
        args.force = args.force or args.all_force
        args.ending = ending
        {"signature": run_signature, "delta": run_delta,
         "patch": run_patch}[args.command](args)
        return 0
    except KeyboardInterrupt:
        _say("interrupted")
        return EXIT_INTERRUPTED
    except _Terminated:
        _say("terminated")
        return EXIT_TERMINATED
    except _UsageError as e:
        _say(str(e))
        return EXIT_USAGE
    except Failure as e:
        _say(str(e))
    except EnvironmentError as e:
        _say(_environment_error(e))
    except (ValueError, TypeError, MemoryError) as e:
        _say(str(e) or type(e).__name__)
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
        if collecting:
            gc.enable()
    return EXIT_FAILED


# What a command leaves for the end of the process (see main's ending).
_kept = []


class _Terminated(BaseException):
    """SIGTERM, raised where the command is, so that its outputs are
    removed on the way out."""


def _terminated(signum, frame):
    raise _Terminated()


def _environment_error(e):
    text = e.strerror or str(e)
    if getattr(e, "filename", None):
        return "%s: %s" % (e.filename, text)
    return text


def _say(line):
    sys.stderr.write("%s: %s\n" % (PROG, line))
    sys.stderr.flush()


def entry_point():
    """The console script, and python -m corvamire."""
    code = main(ending=True)
    # Every file of the command is closed by now.  The interpreter's own
    # exit would free the lookup table and the scan's matches object by
    # object: a tenth of a second of a delta on Python 2, for nothing.
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except EnvironmentError:
        code = code or EXIT_FAILED
    if sys.getprofile() or sys.gettrace():
        sys.exit(code)          # a profiler or coverage reports at exit
    os._exit(code)
