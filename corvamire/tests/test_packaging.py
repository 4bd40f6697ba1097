"""One version for the package and the module; the source distribution
builds, installs (pip into a fresh venv under Python 3, setup.py install
under 2.7) and works away from the source tree, its own dir_watcher
included."""

import glob
import os
import sys
import sysconfig
import tarfile
import unittest

import corvamire
from corvamire.tests.helpers import TempDirTest, require_matcher, run_ok
from corvamire.watcher import repo_root

# Run by the installed package, from outside the source tree.
INSTALLED_CHECK = r"""
import os, site, sys, tempfile
site.addsitedir(sys.argv[1])
import corvamire, corvamire_version_matcher, _corvamire_native
from corvamire import delta, watcher
work = tempfile.mkdtemp()
old, new, out = (os.path.join(work, n) for n in ("old", "new", "out"))
data = os.urandom(50000)
with open(old, "wb") as f:
    f.write(data)
with open(new, "wb") as f:
    f.write(data[:20000] + b"inserted" + data[20000:])
made = delta.delta(delta.signature(old), new)
delta.patch(old, made, out)
with open(out, "rb") as f:
    assert f.read() == data[:20000] + b"inserted" + data[20000:]
assert made.copied_bytes >= 40000, made.copied_bytes
assert watcher.EXIT_CODES[206]
tree = os.path.join(work, "tree")
os.mkdir(tree)
seen = set()
with watcher.Watcher([tree]) as w:
    with open(os.path.join(tree, "f"), "wb") as f:
        f.write(b"x")
    for batch in w.batches(timeout=10):
        seen.update(batch.dirs)
        if tree in seen:
            break
assert seen == set([tree]), seen
print(corvamire.__version__)
print(os.path.dirname(corvamire.__file__))
print(corvamire_version_matcher.__file__)
print(w.binary)
"""

# pip builds a wheel, and pyenv's Pythons lack the wheel package: Debian's
# python3-wheel-whl brings one that pip installs without the network.
SYSTEM_WHEELS = "/usr/share/python-wheels"


class VersionTest(unittest.TestCase):

    def test_package_and_module_report_one_version(self):
        module = require_matcher(self)
        if not hasattr(module, "__version__"):
            self.skipTest("this build of the module has no __version__")
        self.assertEqual(module.__version__, corvamire.__version__)


class SdistTest(TempDirTest):

    prefix = "sdist-"

    def setUp(self):
        include = sysconfig.get_paths()["include"]
        if not os.path.isfile(os.path.join(include, "Python.h")):
            self.skipTest("no Python headers for this interpreter")
        TempDirTest.setUp(self)

    def test_sdist_builds_installs_and_works(self):
        root = repo_root()
        run_ok([sys.executable, "setup.py", "-q", "egg_info", "--egg-base",
                self.dir, "sdist", "--dist-dir", self.dir], root)
        archive, = glob.glob(os.path.join(self.dir, "*.tar.gz"))
        top = "corvamire-%s" % corvamire.__version__
        with tarfile.open(archive) as tar:
            names = set(tar.getnames())
            tar.extractall(self.dir)
        wanted = ["setup.py", "pyproject.toml", "LICENSE", "README.md",
                  "corvamire/exit_codes.def"]
        for pattern in ("corvamire/*.py", "version_matcher/*.cpp",
                        "version_matcher/*.h", "corvamire/native/*.cpp",
                        "corvamire/native/*.h", "dir_watcher/*.cpp",
                        "dir_watcher/*.h", "dir_watcher/*.def"):
            wanted += [os.path.relpath(p, root)
                       for p in glob.glob(os.path.join(root, pattern))]
        missing = [w for w in wanted if top + "/" + w not in names]
        self.assertEqual(missing, [])

        # Away from the source tree and its build: only what was installed.
        env = dict((k, v) for k, v in os.environ.items()
                   if k not in ("PYTHONPATH", "DIR_WATCHER"))
        prefix = os.path.join(self.dir, "prefix")
        site_dir = os.path.join(prefix, "lib", "python%d.%d"
                                % sys.version_info[:2], "site-packages")
        source = os.path.join(self.dir, top)
        if sys.version_info[0] >= 3:
            python = os.path.join(prefix, "bin", "python")
            run_ok([sys.executable, "-m", "venv", prefix], self.dir, env)
            run_ok([python, "-m", "pip", "install", "-q", "--no-index",
                    "--find-links", SYSTEM_WHEELS, "wheel"], self.dir, env)
            run_ok([python, "-m", "pip", "install", "-q", "--no-index",
                    "--no-build-isolation", source], self.dir, env)
        else:
            python = sys.executable
            os.makedirs(site_dir)
            run_ok([python, "setup.py", "-q", "install", "--prefix", prefix],
                   source, dict(env, PYTHONPATH=site_dir))
        out = run_ok([python, "-c", INSTALLED_CHECK, site_dir],
                     prefix, env).split("\n")
        version, package, module, program = out[-5:-1]
        self.assertEqual(version, corvamire.__version__)
        for path in (package, module):
            self.assertTrue(path.startswith(site_dir + os.sep), path)
        # Installed as files, not as a zipped egg, the program inside.
        self.assertTrue(os.path.isfile(os.path.join(package,
                                                    "exit_codes.def")))
        self.assertTrue(os.path.isfile(module), module)
        self.assertEqual(program, os.path.join(package, "dir_watcher"))


if __name__ == "__main__":
    unittest.main()
