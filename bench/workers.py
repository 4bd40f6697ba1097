"""What the benchmarks that measure in a fresh interpreter share: the
interpreters the matcher is built for, the worker's environment and call,
the worker's own entry point, and the table entry of a block."""

import hashlib
import json
import os
import subprocess
import sys
import zlib


def sum_and_digest(block):
    """A block's (weak sum, digest), as a lookup table keys it."""
    return zlib.adler32(block) & 0xFFFFFFFF, hashlib.md5(block).digest()


def python3_executable():
    """The pyenv 3.11 the build uses when there is one, else python3."""
    try:
        prefix = subprocess.check_output(["pyenv", "prefix", "3.11"], stderr=open(os.devnull, "w"))
        path = os.path.join(prefix.decode().strip(), "bin", "python3")
        if os.path.exists(path):
            return path
    except (OSError, subprocess.CalledProcessError):
        pass
    import distutils.spawn
    return distutils.spawn.find_executable("python3")


def output_root(args):
    """The build's output root: bench.run's option, else where the imported
    module was built."""
    if args.output_root is not None:
        return args.output_root
    import corvamire_version_matcher
    return os.path.dirname(os.path.dirname(os.path.abspath(corvamire_version_matcher.__file__)))


def interpreters(output_root):
    """(label, executable, module dir) of each interpreter built for."""
    found = [("2.7", sys.executable, os.path.join(output_root, "python"))]
    py3 = python3_executable()
    if py3 and os.path.isdir(os.path.join(output_root, "python3")):
        found.insert(0, ("3", py3, os.path.join(output_root, "python3")))
    return found


def worker_env(module_dir):
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([module_dir, here])
    return env


def run_worker(module, executable, module_dir, args):
    """What `python -m module args...` prints as JSON, run by `executable`
    with the module built for it."""
    out = subprocess.check_output([executable, "-m", module] + args, env=worker_env(module_dir))
    return json.loads(out.decode())


def worker_main(argv, commands, usage):
    """The worker's side of run_worker: commands[argv[0]](*argv[1:]), and what
    it returns printed as JSON (nothing for None); `usage` and status 2 for
    a command it does not know."""
    if argv[:1] and argv[0] in commands:
        result = commands[argv[0]](*argv[1:])
        if result is not None:
            sys.stdout.write(json.dumps(result) + "\n")
        return 0
    sys.stderr.write(usage)
    return 2
