"""Builds and installs corvamire_version_matcher for the interpreter that runs
this script (Python 2.7 or 3.x):

    python setup.py build
    python setup.py install

Needs a C++17 compiler and the headers of OpenSSL (libssl-dev) and zlib
(zlib1g-dev).
"""
import glob
import os
import sys

try:
    from setuptools import setup, Extension
    from setuptools.command.build_ext import build_ext
except ImportError:
    from distutils.core import setup, Extension
    from distutils.command.build_ext import build_ext

here = os.path.dirname(os.path.abspath(__file__))
sources = sorted(os.path.relpath(path, here)
                 for path in glob.glob(os.path.join(here, "version_matcher", "*.cpp")))

# The build runs from the repository root, whatever the caller's directory.
os.chdir(here)


def read_version():
    """The project's one version number, from corvamire/version.py."""
    with open(os.path.join("corvamire", "version.py")) as source:
        for line in source:
            if line.startswith("__version__"):
                return line.split("=", 1)[1].strip().strip("\"'")
    raise RuntimeError("no __version__ in corvamire/version.py")


version = read_version()

matcher = Extension(
    "corvamire_version_matcher",
    sources=sources,
    include_dirs=["version_matcher"],
    libraries=["crypto", "z"],
    language="c++",
    define_macros=[("CORVAMIRE_VERSION", '"%s"' % version)],
    extra_compile_args=["-std=c++17", "-fvisibility=hidden", "-Wno-register"],
)



class BuildExt(build_ext):
    """Drops the C-only warning flag that Python's own build settings carry."""

    def build_extensions(self):
        flags = getattr(self.compiler, "compiler_so", None)
        if flags and "-Wstrict-prototypes" in flags:
            flags.remove("-Wstrict-prototypes")
        build_ext.build_extensions(self)


setup(
    name="corvamire_version_matcher",
    version=version,
    description="Finds the known blocks of earlier versions in a new file "
                "(rolling adler32 confirmed by MD5)",
    ext_modules=[matcher],
    cmdclass={"build_ext": BuildExt},
)
