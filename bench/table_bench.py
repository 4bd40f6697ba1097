"""Many MD5s at once, and block tables, against their peers.

Multi-lane MD5: bench_md5_lanes (md5_lanes_bench.cpp) digests 2 KiB
messages of a buffer that stays in the caches, by OpenSSL's one-shot MD5
and by each lane kernel this CPU has.  Block tables: build_lookup_table
with its defaults (native: one read of the file for all sizes) and
block_digests alone, in a fresh process per file (table_worker.py), beside
`rdiff signature -R rollsum -H md4`, on the generated and the real-bytes
files of the matcher bench.  Every figure is the best of --repeat runs (CPU
seconds): the machine is shared, and the best run is the one least
disturbed.
"""

import json
import os
import sys

from bench import matcher_bench as mb
from bench.stats import fmt, format_table

MD5_MESSAGE = 2048
MD5_BUFFER_KIB = 1024     # a file reader's buffer: the bytes just read stay in L2
MD5_TARGET = 4.0          # best kernel against OpenSSL, per byte
TABLE_TARGET = 2.0        # native table against rdiff signature
ONE_SIZE = [2048]
TWO_SIZES = [8192, 2048]


def md5_figures(tools, size_mib, repeat):
    out, _, _ = mb.run_child([tools["md5_lanes"], str(size_mib), str(MD5_BUFFER_KIB), str(MD5_MESSAGE),
                              str(repeat)])
    figures = {}
    for line in out.decode("ascii").splitlines():
        name, value = line.split()
        figures[name] = float(value) if name != "lanes" else int(value)
    return figures


def rdiff_signature(rdiff, path, size, repeat):
    """Best CPU seconds of rdiff's signature of the file, written nowhere."""
    return min(mb.run_child([rdiff, "-f", "-b", str(size), "-R", "rollsum", "-H", "md4", "signature", path,
                             os.devnull])[1] for _ in range(repeat))


def table_figures(path, sizes, repeat, env, python=False):
    command = [sys.executable, "-m", "bench.table_worker", path, ",".join(str(s) for s in sizes), str(repeat)]
    if python:
        command.append("python")
    out, _, _ = mb.run_child(command, env)
    return json.loads(out.decode("ascii").strip().splitlines()[-1])


def table_sets(files):
    """(title, path) of each file whose table is built: generated and real bytes."""
    sets = [("random bytes", files["a"]), ("generated text", files["t1"])]
    for key, title in (("libs_a", "system libraries"), ("docs_a", "documentation tar"),
                       ("npm_old", "npm package tar")):
        if key in files:
            sets.append((title, files[key]))
    return sets


def ratio(peer, ours):
    return peer / ours if peer and ours else None


def run(args, tools, files, rdiff, report, log):
    """Measures and adds the tables and targets to the report."""
    log("md5 lanes: %d-byte messages" % MD5_MESSAGE)
    m = md5_figures(tools, 64 if args.quick else 512, args.repeat)
    rows = [["OpenSSL MD5, one at a time", fmt(m["openssl"], 3), "1.00"]]
    for kernel in ("avx2", "avx512"):
        if kernel in m:
            rows.append(["md5_lanes, %s kernel" % kernel, fmt(m[kernel], 3), fmt(m["openssl"] / m[kernel])])
    report.tables.append(format_table(
        "Multi-lane MD5, %d-byte messages (ns/B, best of %d; md5_lanes uses %d lanes here)"
        % (MD5_MESSAGE, args.repeat, m["lanes"]), ["way", "ns/B", "x OpenSSL"], rows))
    best = min(m.get(k) for k in ("avx2", "avx512") if k in m) if ("avx2" in m or "avx512" in m) else None
    report.target("md5 lanes: best kernel >= %gx OpenSSL MD5 (2 KiB messages)" % MD5_TARGET,
                  "%s" % fmt(ratio(m["openssl"], best)) + "x",
                  None if best is None else m["openssl"] / best >= MD5_TARGET)
    if "avx2" in m:
        report.target("md5 lanes: AVX2 kernel (figure; target is the best kernel's)",
                      "%sx" % fmt(m["openssl"] / m["avx2"]), None)

    env = dict(os.environ)
    rows = []
    for title, path in table_sets(files):
        log("block table: %s" % title)
        mb.warm(path)
        size = os.path.getsize(path)
        one = table_figures(path, ONE_SIZE, args.repeat, env, python=True)
        two = table_figures(path, TWO_SIZES, args.repeat, env)
        peer_one = rdiff_signature(rdiff, path, ONE_SIZE[0], args.repeat) if rdiff else None
        peer_8k = rdiff_signature(rdiff, path, TWO_SIZES[0], args.repeat) if rdiff else None
        peer_two = peer_one + peer_8k if rdiff else None
        ns = lambda s: fmt(mb.ns_per_byte(s, size), 3) if s is not None else "-"
        rows.append([title, "2048", ns(one["python"]), ns(one["digests"]), ns(one["table"]), ns(peer_one),
                     fmt(ratio(peer_one, one["table"]))])
        rows.append([title, "8192+2048", "-", ns(two["digests"]), ns(two["table"]), ns(peer_two),
                     fmt(ratio(peer_two, two["table"]))])
        for what, ours, peer in (("2048", one["table"], peer_one),
                                 ("8192+2048 in one pass vs rdiff at both", two["table"], peer_two)):
            r = ratio(peer, ours)
            report.target("block table >= %gx rdiff signature, %s: %s" % (TABLE_TARGET, what, title),
                          "%sx" % fmt(r), None if r is None else r >= TABLE_TARGET)
    report.tables.append(format_table(
        "Block tables, %d MiB files (ns/B of CPU, best of %d; Python: one run)" % (args.size_mib, args.repeat),
        ["bytes", "sizes", "Python", "block_digests", "native table", "rdiff signature", "rdiff / native"],
        rows))
