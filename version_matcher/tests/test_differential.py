"""match against the plain model on a few hundred generated files and tables.

Each case is drawn from its own fixed seed, so a failure names the seed and
the case can be replayed alone:  python test_differential.py --seed KIND:N
"""
from __future__ import print_function, division

import os
import random
import sys
import unittest

import corvamire_version_matcher as vm
import model
from model import adler, md5, open_at, tell

CASES_PER_KIND = 100
KINDS = ("random", "alphabet", "text", "runs")

WORDS = [b"the", b"a", b"of", b"block", b"file", b"match", b"and", b"to",
         b"version", b"sum", b"\n", b"  ", b"data", b"0", b"1"]


def make_data(kind, rng):
    n = rng.choice([rng.randrange(1, 40), rng.randrange(40, 600),
                    rng.randrange(600, 2500)])
    if kind == "random":
        return bytes(bytearray(rng.randrange(256) for _ in range(n)))
    if kind == "alphabet":
        letters = bytearray(rng.sample(range(256), rng.choice([1, 2, 3, 4])))
        return bytes(bytearray(rng.choice(letters) for _ in range(n)))
    if kind == "text":
        out = []
        while sum(len(w) + 1 for w in out) < n:
            out.append(rng.choice(WORDS))
        return b" ".join(out)[:n]
    # Long runs of one byte: 0 and 255 push the rolled sums to their limits.
    out = bytearray()
    while len(out) < n:
        byte = rng.choice([0, 255, rng.randrange(256)])
        out.extend(bytearray([byte]) * rng.choice([1, 3, 50, 300, 700]))
    return bytes(out[:n])


def make_table(data, rng):
    """Sizes in random order; for each, blocks copied from the file (strong
    hits), windows with a wrong digest (weak hits only) and stray sums."""
    short = [1, 2, 3, 4, 5, 6, 7, 8, 11, 16]
    long_ = [32, 64, 257, 300, 1000, 3000]
    sizes = []
    for _ in range(rng.choice([1, 1, 2, 2, 3, 4])):
        size = rng.choice(short) if rng.random() < 0.75 else rng.choice(long_)
        if size not in sizes:
            sizes.append(size)
    table = {}
    for size in sizes:
        size_dict = {}
        windows = len(data) - size + 1
        for _ in range(rng.choice([0, 1, 2, 5, 12])):
            if windows <= 0:
                break
            at = rng.randrange(windows)
            block = data[at:at + size]
            digests = size_dict.setdefault(adler(block), {})
            if rng.random() < 0.7:
                digests[md5(block)] = object()
            else:
                digests[md5(block + b"wrong")] = object()
        for _ in range(rng.choice([0, 0, 1, 3])):
            size_dict.setdefault(rng.randrange(2 ** 32 - 1),
                                 {md5(b"stray"): object()})
        if rng.random() < 0.2 and windows > 0:
            # A sum with no digests indexes nothing, not even a weak hit.
            at = rng.randrange(windows)
            size_dict[adler(data[at:at + size])] = {}
        table[size] = size_dict
    # Now and then one size repeats another's sum with its own digests: only
    # the size converted first can answer for it.
    if len(sizes) > 1 and rng.random() < 0.3:
        a, b = rng.sample(sizes, 2)
        if table[a]:
            shared = rng.choice(list(table[a]))
            table[b][shared] = {md5(b"other"): object()}
    return table


def make_case(kind, seed):
    rng = random.Random(KINDS.index(kind) * 100003 + seed)
    data = make_data(kind, rng)
    table = make_table(data, rng)
    lead = bytes(bytearray(rng.randrange(256) for _ in range(
        rng.choice([0, 0, 1, 7, 100]))))
    n = len(data)
    file_size = rng.choice([n, n, n, rng.randrange(1, n + 1), n + 5])
    longest = max(table) if table else 1
    buffer_size = rng.choice([
        n + rng.randrange(100),                  # one load
        longest + rng.randrange(20),             # many refills
        max(1, n // 2),
        rng.randrange(1, 64),                    # may be refused
    ])
    return data, table, lead, file_size, buffer_size


def outcome(call, table, fd, file_size, buffer_size):
    try:
        return call(table, fd, file_size, buffer_size)
    except Exception as e:
        return e


def difference(got, ref):
    """Why got differs from ref, or None."""
    if isinstance(ref, Exception) or isinstance(got, Exception):
        if type(got) is not type(ref) or str(got) != str(ref):
            return "raised %r, model %r" % (got, ref)
        return None
    for key in ("weak_matches", "strong_matches", "bytes_matched"):
        if got[key] != ref[key] or type(got[key]) is not type(ref[key]):
            return "%s %r, model %r" % (key, got[key], ref[key])
    offsets = sorted(set(got["matches"]) | set(ref["matches"]))
    for offset in offsets:
        if got["matches"].get(offset) is not ref["matches"].get(offset):
            return "at offset %d: %s" % (
                offset, "match differs" if offset in got["matches"]
                and offset in ref["matches"] else
                "module only" if offset in got["matches"] else "model only")
    if [type(k) for k in got["matches"]] != [model.WIDE] * len(offsets):
        return "offset types %r" % set(type(k) for k in got["matches"])
    return None


def run_case(kind, seed):
    """None when the module agrees with the model, else a one-line report."""
    data, table, lead, file_size, buffer_size = make_case(kind, seed)
    fd = open_at(data, lead)
    try:
        got = outcome(vm.match, table, fd, file_size, buffer_size)
        got_end = tell(fd)
        os.lseek(fd, len(lead), os.SEEK_SET)
        ref = outcome(model.match, table, fd, file_size, buffer_size)
        ref_end = tell(fd)
    finally:
        os.close(fd)
    why = difference(got, ref)
    if why is None and got_end != ref_end:
        why = "descriptor at %d, model %d" % (got_end, ref_end)
    if why is None:
        return None
    return "seed %s:%d (%d bytes, sizes %r, file_size %d, buffer %d, lead %d):"\
        " %s" % (kind, seed, len(data), list(table), file_size, buffer_size,
                 len(lead), why)


class DifferentialTests(unittest.TestCase):

    def check_kind(self, kind):
        failures = []
        for seed in range(CASES_PER_KIND):
            report = run_case(kind, seed)
            if report:
                failures.append(report)
        if failures:
            self.fail("%d of %d cases differ from the model:\n%s"
                      % (len(failures), CASES_PER_KIND,
                         "\n".join(failures[:10])))

    def test_random_bytes(self):
        self.check_kind("random")

    def test_small_alphabets(self):
        self.check_kind("alphabet")

    def test_text(self):
        self.check_kind("text")

    def test_runs_of_one_byte(self):
        self.check_kind("runs")

    def test_cases_exercise_the_scan(self):
        # Guard against a generator that drifted into trivial cases.
        counts = dict.fromkeys(("matched", "weak_only", "refused", "eof",
                                "refills"), 0)
        for kind in KINDS:
            for seed in range(CASES_PER_KIND):
                data, table, lead, file_size, buffer_size = make_case(kind,
                                                                      seed)
                fd = open_at(data, lead)
                try:
                    ref = outcome(model.match, table, fd, file_size,
                                  buffer_size)
                finally:
                    os.close(fd)
                if isinstance(ref, ValueError):
                    counts["refused"] += 1
                elif isinstance(ref, RuntimeError):
                    counts["eof"] += 1
                elif ref["strong_matches"]:
                    counts["matched"] += 1
                if not isinstance(ref, Exception):
                    if ref["weak_matches"] > ref["strong_matches"]:
                        counts["weak_only"] += 1
                    if min(file_size, len(data)) > buffer_size:
                        counts["refills"] += 1
        for name, count in counts.items():
            self.assertGreater(count, 10, "%s: %r" % (name, counts))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--seed":
        kind, seed = sys.argv[2].split(":")
        print(run_case(kind, int(seed)) or "agrees with the model")
    else:
        unittest.main()
