"""Builds and installs the corvamire package and the corvamire_version_matcher
extension for the interpreter that runs it (Python 2.7 or 3):

    pip install .                 (where setuptools and wheel are installed)
    python setup.py install       (Python 2.7)

Needs a C++17 compiler and the headers of OpenSSL (libssl-dev), zlib
(zlib1g-dev) and libdeflate (libdeflate-dev).  Linux only: the build flags are GCC's and Clang's.
"""
import glob
import io
import os

from setuptools import setup, Extension
from setuptools.command.build_ext import build_ext

here = os.path.dirname(os.path.abspath(__file__))
# The build runs from the source root, whatever the caller's directory.
os.chdir(here)


def matcher_files(pattern):
    return sorted(glob.glob(os.path.join("version_matcher", pattern)))


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
    sources=matcher_files("*.cpp"),
    depends=matcher_files("*.h"),
    include_dirs=["version_matcher"],
    libraries=["crypto", "z"],
    language="c++",
    define_macros=[("CORVAMIRE_VERSION", '"%s"' % version)],
    extra_compile_args=["-std=c++17", "-fvisibility=hidden", "-Wno-register"],
)

# The package's own native helpers (block tables), a module of their own so
# that the matcher's surface stays match() alone; they share the matcher's
# MD5 and interpreter glue.
native = Extension(
    "_corvamire_native",
    sources=sorted(glob.glob(os.path.join("corvamire", "native", "*.cpp")))
    + matcher_files("md5_lanes*.cpp")
    + matcher_files("md5_openssl.cpp") + matcher_files("fail_python.cpp"),
    depends=sorted(glob.glob(os.path.join("corvamire", "native", "*.h")))
    + matcher_files("*.h"),
    include_dirs=["version_matcher", os.path.join("corvamire", "native")],
    libraries=["crypto", "deflate"],
    language="c++",
    extra_compile_args=["-std=c++17", "-fvisibility=hidden", "-Wno-register"],
)


class BuildExt(build_ext):
    """Drops the C-only warning flag that Python's own build settings carry."""

    def build_extensions(self):
        flags = getattr(self.compiler, "compiler_so", None)
        if flags and "-Wstrict-prototypes" in flags:
            flags.remove("-Wstrict-prototypes")
        build_ext.build_extensions(self)


with io.open("README.md", encoding="utf-8") as readme:
    long_description = readme.read()

setup(
    name="corvamire",
    version=version,
    description="Host side of a backup and sync client: a directory watcher's"
                " batches, block matching (rolling adler32 confirmed by MD5),"
                " delta and patch",
    long_description=long_description,
    long_description_content_type="text/markdown",
    author="The corvamire authors",
    license="MIT",
    packages=["corvamire"],
    package_data={"corvamire": ["exit_codes.def"]},
    ext_modules=[matcher, native],
    cmdclass={"build_ext": BuildExt},
    # The package finds its exit-code table beside its own files.
    zip_safe=False,
    python_requires=">=2.7, !=3.0.*, !=3.1.*, !=3.2.*, !=3.3.*, !=3.4.*,"
                    " !=3.5.*",
    classifiers=[
        "Development Status :: 4 - Beta",
        "Intended Audience :: Developers",
        "License :: OSI Approved :: MIT License",
        "Operating System :: POSIX :: Linux",
        "Programming Language :: C++",
        "Programming Language :: Python :: 2",
        "Programming Language :: Python :: 2.7",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: Implementation :: CPython",
        "Topic :: System :: Archiving :: Backup",
        "Topic :: System :: Filesystems",
    ],
)
