"""Real bytes for the matcher cases, made on this machine into the data dir.

- libraries: the files at the top of the multiarch library directory, by
  name, as one stream; its first half is one file and its second half
  another (unrelated halves).  An edited copy of the first half comes from
  bench_datagen edit (small insertions, deletions and overwrites).
- docs: the installed package documentation as one tar, its gzip'd members
  stored decompressed so that it reads as text; halves as above.
- a pair of releases of one npm package, each as the uncompressed tar that
  `npm pack` makes: two versions of one real file.  Fetched once into the
  data dir; without npm or the registry the case is skipped with a note.

What the machine has installed decides these bytes, so they differ between
machines; once made they are reused, like the generated inputs.
"""

import distutils.spawn
import glob
import gzip
import io
import os
import shutil
import subprocess
import tarfile
import tempfile
import zlib

PIECE_BYTES = 1 << 20
DOC_DIR = "/usr/share/doc"
LIBRARY_EDITS = 200
LIBRARY_EDIT_MAX = 256        # bytes per edit at most: small edits, as a user makes
NPM_PACKAGE = "typescript"
NPM_VERSIONS = ("5.3.3", "5.4.5")   # the last releases of two successive minor lines
NPM_TIMEOUT_S = 180


def library_dir():
    """The multiarch library directory (the one that holds libc), or None."""
    found = sorted(glob.glob("/usr/lib/*-linux-*/libc.so.6"))
    return os.path.dirname(found[0]) if found else None


def regular_files(directory):
    """Regular files directly in `directory` (not links), by name."""
    paths = [os.path.join(directory, n) for n in sorted(os.listdir(directory))]
    return [p for p in paths if os.path.isfile(p) and not os.path.islink(p)]


def concatenate(paths, out, limit):
    """Writes the files one after another to the open file `out`, stopping
    at `limit` bytes; unreadable files are passed over."""
    for path in paths:
        try:
            f = open(path, "rb")
        except IOError:
            continue
        with f:
            while out.tell() < limit:
                piece = f.read(min(PIECE_BYTES, limit - out.tell()))
                if not piece:
                    break
                out.write(piece)
        if out.tell() >= limit:
            return


def doc_members(root):
    """(name in the tar, path, gzip'd) for every regular file under root, in
    a fixed order; links are left out, as the files they point at are in."""
    for parent, dirs, names in os.walk(root):
        dirs.sort()
        for name in sorted(names):
            path = os.path.join(parent, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            relative = os.path.relpath(path, root)
            yield relative, path, name.endswith(".gz")


def write_doc_tar(root, out, limit):
    """The documentation under root as one tar, written to the open file
    `out` until it holds at least `limit` bytes."""
    tar = tarfile.open(fileobj=out, mode="w", format=tarfile.GNU_FORMAT)
    for relative, path, gzipped in doc_members(root):
        if out.tell() >= limit:
            break
        try:
            with open(path, "rb") as f:
                data = f.read()
            if gzipped:
                try:
                    data = gzip.GzipFile(fileobj=io.BytesIO(data)).read()
                    relative = relative[:-3]
                except (IOError, EOFError, zlib.error):
                    pass   # not gzip after all: stored as it is
        except IOError:
            continue
        info = tarfile.TarInfo(relative)
        info.size = len(data)
        info.mtime = int(os.path.getmtime(path))
        info.mode = 0o644
        tar.addfile(info, io.BytesIO(data))
    tar.close()


def split_halves(stream, first, second, size):
    """Copies two equal halves of the file `stream`, `size` bytes each at
    most, to the paths `first` and `second`; the byte count of each."""
    total = os.path.getsize(stream)
    half = min(size, total // 2)
    with open(stream, "rb") as src:
        for path in (first, second):
            with open(path + ".part", "wb") as dst:
                left = half
                while left > 0:
                    piece = src.read(min(PIECE_BYTES, left))
                    if not piece:
                        break
                    dst.write(piece)
                    left -= len(piece)
            os.rename(path + ".part", path)
    return half


def make_halves(first, second, size, write_stream, log, what):
    """Makes `first` and `second` from a stream written by write_stream(out,
    limit), unless both exist.  A message when there are too few bytes."""
    if os.path.exists(first) and os.path.exists(second):
        return None
    log("collecting %s" % what)
    stream = first + ".stream"
    with open(stream, "wb") as out:
        write_stream(out, 2 * size)
    try:
        half = split_halves(stream, first, second, size)
    finally:
        os.remove(stream)
    if half < PIECE_BYTES:
        for path in (first, second):
            os.remove(path)
        return "%s: only %d bytes on this machine; cases left out" % (what, 2 * half)
    return None


def fetch_npm_pair(data_dir, log, fetch=True, npm="npm"):
    """([old tar, new tar], None), or (None, why the pair is not there)."""
    paths = [os.path.join(data_dir, "%s-%s.tar" % (NPM_PACKAGE, v)) for v in NPM_VERSIONS]
    what = "%s %s -> %s (npm)" % (NPM_PACKAGE, NPM_VERSIONS[0], NPM_VERSIONS[1])
    if all(os.path.exists(p) for p in paths):
        return paths, None
    if not fetch:
        return None, "%s: not in the data dir and not fetched in this run; case left out" % what
    if not distutils.spawn.find_executable(npm):
        return None, "%s: npm not found; case left out" % what
    work = tempfile.mkdtemp(prefix="npm-", dir=data_dir)
    try:
        for version, path in zip(NPM_VERSIONS, paths):
            if os.path.exists(path):
                continue
            package_at = "%s@%s" % (NPM_PACKAGE, version)
            log("fetching %s with npm pack" % package_at)
            command = ["timeout", str(NPM_TIMEOUT_S), npm, "pack", package_at, "--silent",
                       "--pack-destination", work, "--cache", os.path.join(work, "cache"),
                       "--fetch-retries", "1", "--fetch-timeout", "30000"]
            proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out, err = proc.communicate()
            packed = glob.glob(os.path.join(work, "*.tgz"))
            if proc.returncode != 0 or len(packed) != 1:
                last = (err.strip().splitlines() or out.strip().splitlines() or ["no output"])[-1]
                return None, "%s: npm pack %s failed (exit %d; registry unreachable?): %s; case left out" % (
                    what, package_at, proc.returncode, last[:200])
            with gzip.open(packed[0], "rb") as src, open(path + ".part", "wb") as dst:
                shutil.copyfileobj(src, dst, PIECE_BYTES)
            os.rename(path + ".part", path)
            os.remove(packed[0])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return paths, None


def prepare(tools, data_dir, size, log, fetch=True):
    """Makes the real inputs that are missing; (paths by key, notes).  A key
    whose bytes could not be had is absent and a note says why."""
    tag = "%dk" % (size // 1024)
    files, notes = {}, []
    libs = library_dir()
    lib1 = os.path.join(data_dir, "libs-1-%s.bin" % tag)
    lib2 = os.path.join(data_dir, "libs-2-%s.bin" % tag)
    if libs is None:
        notes.append("no multiarch library directory found; library cases left out")
    else:
        note = make_halves(lib1, lib2, size,
                           lambda out, limit: concatenate(regular_files(libs), out, limit),
                           log, "libraries of %s" % libs)
        if note:
            notes.append(note)
        else:
            edited = os.path.join(data_dir, "libs-1-%s-edited%d.bin" % (tag, LIBRARY_EDITS))
            if not os.path.exists(edited):
                log("generating %s" % edited)
                with open(os.devnull, "w") as quiet:
                    subprocess.check_call([tools["datagen"], "edit", lib1, edited + ".part", str(LIBRARY_EDITS),
                                           "7", str(LIBRARY_EDIT_MAX)], stdout=quiet)
                os.rename(edited + ".part", edited)
            files.update(libs_a=lib1, libs_b=lib2, libs_a_edited=edited)
    doc1 = os.path.join(data_dir, "docs-1-%s.bin" % tag)
    doc2 = os.path.join(data_dir, "docs-2-%s.bin" % tag)
    if not os.path.isdir(DOC_DIR):
        notes.append("%s not found; documentation case left out" % DOC_DIR)
    else:
        note = make_halves(doc1, doc2, size, lambda out, limit: write_doc_tar(DOC_DIR, out, limit),
                           log, "documentation of %s as one tar" % DOC_DIR)
        if note:
            notes.append(note)
        else:
            files.update(docs_a=doc1, docs_b=doc2)
    pair, note = fetch_npm_pair(data_dir, log, fetch)
    if pair:
        files.update(npm_old=pair[0], npm_new=pair[1])
    else:
        notes.append(note)
    return files, notes
