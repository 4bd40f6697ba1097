"""One version for the package and the module; the source distribution
builds, installs and works away from the source tree."""

import glob
import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import unittest

import corvamire
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
print(corvamire.__version__)
print(os.path.dirname(corvamire.__file__))
print(corvamire_version_matcher.__file__)
"""


def run(args, cwd, env=None):
    proc = subprocess.Popen(args, cwd=cwd, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    out = proc.communicate()[0].decode("utf-8", "replace")
    if proc.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s"
                             % (" ".join(args[:4]), proc.returncode, out))
    return out


class VersionTest(unittest.TestCase):

    def test_package_and_module_report_one_version(self):
        try:
            import corvamire_version_matcher as module
        except ImportError:
            if sys.version_info[0] < 3:
                raise
            self.skipTest("no corvamire_version_matcher for this Python")
        if not hasattr(module, "__version__"):
            self.skipTest("this build of the module has no __version__")
        self.assertEqual(module.__version__, corvamire.__version__)


class SdistTest(unittest.TestCase):

    def setUp(self):
        include = sysconfig.get_paths()["include"]
        if not os.path.isfile(os.path.join(include, "Python.h")):
            self.skipTest("no Python headers for this interpreter")
        self.dir = tempfile.mkdtemp(prefix="sdist-")
        self.addCleanup(shutil.rmtree, self.dir)

    def test_sdist_builds_installs_and_works(self):
        root = repo_root()
        run([sys.executable, "setup.py", "-q", "egg_info", "--egg-base",
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
                        "corvamire/native/*.h"):
            wanted += [os.path.relpath(p, root)
                       for p in glob.glob(os.path.join(root, pattern))]
        missing = [w for w in wanted if top + "/" + w not in names]
        self.assertEqual(missing, [])

        prefix = os.path.join(self.dir, "prefix")
        site_dir = os.path.join(prefix, "lib", "python%d.%d"
                                % sys.version_info[:2], "site-packages")
        os.makedirs(site_dir)
        env = dict(os.environ, PYTHONPATH=site_dir)
        run([sys.executable, "setup.py", "-q", "install", "--prefix",
             prefix], os.path.join(self.dir, top), env)
        # Away from the source tree and the build: only what was installed.
        del env["PYTHONPATH"]
        out = run([sys.executable, "-c", INSTALLED_CHECK, site_dir],
                  prefix, env).split("\n")
        version, package, module = out[-4:-1]
        self.assertEqual(version, corvamire.__version__)
        for path in (package, module):
            self.assertTrue(path.startswith(site_dir + os.sep), path)
        # Installed as files, not as a zipped egg.
        self.assertTrue(os.path.isfile(os.path.join(package,
                                                    "exit_codes.def")))
        self.assertTrue(os.path.isfile(module), module)


if __name__ == "__main__":
    unittest.main()
