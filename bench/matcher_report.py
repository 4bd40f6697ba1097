"""The matcher's tables and the verdict on each of its targets.

results maps a case name to its figures: "match" (from match_worker),
"match_quarter" (the same scan over a quarter of the file), one entry per
rdiff flavour, and "bounds" (bench_bounds over the scanned file).
"""

import os

from bench import matcher_bench as mb
from bench.stats import fmt, format_table

PEER = "rdiff rollsum+md4"     # the peer the targets count against
FLOOR_SHOWN_SHARE = 0.5        # the floor is shown for files at least this much matched
NOMATCH_PEER_RATIO = 8.0       # no match: at least this many times rdiff's speed
EDITED_PEER_RATIO = 2.5        # edited: at least this many times rdiff's speed
EDITED_FLOOR_RATIO = 1.15      # edited: at most this much over the floor
# The three sizes in one call are shown beside the three calls, with no
# target: a filter for every size's sums outgrows L2.
MEMORY_GROWTH_MIB = 1.0        # peak growth from a quarter of the file to all of it


def cpu(r, key="match"):
    return r[key]["cpu_median"] if key in r else None


def ns(seconds, figures):
    return mb.ns_per_byte(seconds, figures["file_size"]) if seconds is not None else None


def matched_share(m):
    return m["bytes_matched"] / float(m["file_size"])


def floor_seconds(r):
    """The least an edited file costs: reading all of it, and for the share
    that matches an MD5 and a fresh adler32 of every block (CPU seconds)."""
    b = r.get("bounds")
    if not b or "adler32_block" not in b:
        return None
    return b["read"]["cpu_median"] + matched_share(r["match"]) * (
        b["md5_block"]["cpu_median"] + b["adler32_block"]["cpu_median"])


def read_md5_seconds(r):
    """Reading the file and an MD5 of every matched block (CPU seconds): what
    a scan that confirms every block by MD5 spends before anything else.
    Beside rdiff, whose MD4 is cheaper, it shows when no such scan can be as
    fast as rdiff."""
    b = r.get("bounds")
    if not b or "md5_block" not in b:
        return None
    return b["read"]["cpu_median"] + matched_share(r["match"]) * b["md5_block"]["cpu_median"]


def ratio(top, bottom):
    return top / bottom if top is not None and bottom else None


def singles_of(case, cases):
    """The single-size cases that together make the several-size `case`,
    or None when one is missing."""
    found = []
    for size in case.sizes:
        match = [c for c in cases if c.scan == case.scan and c.table == case.table and c.sizes == [size]]
        if not match:
            return None
        found.append(match[0])
    return found


def measured(cases, results):
    """(case, its results, match's figures, match's CPU seconds) of each case
    that was run, in the cases' order."""
    for case in cases:
        r = results.get(case.name)
        if r:
            yield case, r, r["match"], r["match"]["cpu_median"]


def targets(cases, results):
    """[(target, measured, holds)], holds True, False, or None when it could
    not be measured (no peer, no quarter-size run)."""
    out = []
    for case, r, m, secs in measured(cases, results):
        kind = "(%s)" % case.data
        if case.role == "nomatch":
            k = ratio(cpu(r, PEER), secs)
            out.append(("no match %s: >= %gx %s" % (kind, NOMATCH_PEER_RATIO, PEER),
                        "%sx (%s ns/B, rdiff %s ns/B)" % (fmt(k), fmt(ns(secs, m)), fmt(ns(cpu(r, PEER), m))),
                        None if k is None else k >= NOMATCH_PEER_RATIO))
            q = r.get("match_quarter")
            growth = m["peak_growth_mib"] - q["peak_growth_mib"] if q else None
            out.append(("memory %s: peak of match() flat in file size" % kind,
                        "%s MiB at 1/4 size, %s MiB at full size" % (
                            fmt(q["peak_growth_mib"], 1) if q else "-", fmt(m["peak_growth_mib"], 1)),
                        None if growth is None else growth < MEMORY_GROWTH_MIB))
        elif case.role == "edited":
            k = ratio(cpu(r, PEER), secs)
            bound = read_md5_seconds(r)
            why = "" if bound is None or k is None else " (read + MD5 of the matched blocks alone: %s ns/B, %sx)" % (
                fmt(ns(bound, m)), fmt(ratio(cpu(r, PEER), bound)))
            out.append(("edited %s: >= %gx %s" % (kind, EDITED_PEER_RATIO, PEER), "%sx%s" % (fmt(k), why),
                        None if k is None else k >= EDITED_PEER_RATIO))
            floor = floor_seconds(r)
            k = ratio(secs, floor)
            out.append(("edited %s: within %gx of the floor" % (kind, EDITED_FLOOR_RATIO),
                        "%sx (floor %s ns/B)" % (fmt(k), fmt(ns(floor, m))),
                        None if k is None else k <= EDITED_FLOOR_RATIO))
    return out


def tables(cases, results, size, buffer_size):
    """The matcher's tables, as text."""
    rows, quality, bounds, three, seen = [], [], [], [], set()
    for case, r, m, secs in measured(cases, results):
        rows.append([case.title, "match", fmt(secs, 3), fmt(m["wall_median"], 3), fmt(ns(secs, m)),
                     m["weak"], m["strong"], "%.2f%%" % (100 * matched_share(m)), "",
                     fmt(m["peak_growth_mib"], 1), fmt(m["setup_median"], 3)])
        if len(m["order"]) > 1:
            rows.append(["  (sizes tried in the order %s)" % ", ".join(str(s) for s in m["order"])] + [""] * 10)
        for label, _ in mb.RDIFF_FLAVOURS:
            if label in r:
                p = r[label]
                rows.append(["", label, fmt(p["cpu_median"], 3), fmt(p["wall_median"], 3),
                             fmt(ns(p["cpu_median"], m)), "", "", "", delta_text(p, m), "", ""])
        if "bounds" in r:
            b = r["bounds"]
            key = (os.path.basename(case.scan), case.sizes[0])
            if key not in seen:
                seen.add(key)
                bounds.append([key[0]] + [fmt(ns(b[n]["cpu_median"], m), 3) if n in b else "-"
                                          for n in ("read", "adler32", "adler32_block", "md5", "md5_block")]
                              + [key[1]])
            # Where little matches the floor is the read alone and says nothing.
            floor = floor_seconds(r) if matched_share(m) >= FLOOR_SHOWN_SHARE else None
            quality.append([case.title, fmt(ns(secs, m)), fmt(ratio(cpu(r, PEER), secs)),
                            fmt(ratio(cpu(r, "rdiff defaults"), secs)), "%.2f%%" % (100 * matched_share(m)),
                            delta_text(r[PEER], m) if PEER in r else "-", fmt(ns(floor, m)),
                            fmt(ratio(secs, floor))])
        if case.role == "three":
            singles = singles_of(case, cases) or []
            parts = [cpu(results[c.name]) if c.name in results else None for c in singles]
            summed = sum(parts) if parts and None not in parts else None
            three.append([case.title, fmt(secs, 3)] + [fmt(p, 3) for p in parts]
                         + [fmt(summed, 3), fmt(ratio(secs, summed)), ", ".join(str(s) for s in m["order"])])
    out = [format_table(
        "Matcher: match() beside rdiff delta (%d MiB files, buffer %d KiB; CPU s = median user+sys;"
        " matched = share of the file in matched blocks; delta = rdiff's delta and its share of the file;"
        " index s = a call's fixed cost, table conversion and release)" % (size // mb.MIB, buffer_size // 1024),
        ["case", "tool", "CPU s", "wall s", "ns/B", "weak", "strong", "matched", "delta", "peak MiB", "index s"],
        rows)]
    if quality:
        out.append(format_table(
            "Speed and quality (above 1: match faster; floor, for files at least half matched: read the file,"
            " MD5 and a fresh adler32 of each matched block)",
            ["case", "match ns/B", "%s / match" % PEER, "rdiff defaults / match", "matched", "rdiff delta",
             "floor ns/B", "match / floor"], quality))
        out.append(format_table(
            "Bounds of this machine over the scanned file (ns per byte, CPU)",
            ["file", "read", "adler32", "adler32/block", "MD5", "MD5/block", "block"], bounds))
    if three:
        out.append(format_table(
            "Several sizes in one call against one call per size (CPU s)",
            ["case", "one call"] + ["%d alone" % s for s in mb.THREE_SIZES] + ["summed", "one / summed",
                                                                                "order tried"], three))
    return out


def delta_text(peer, m):
    if "delta_bytes" not in peer:
        return "-"
    return "%.2f MiB (%.1f%%)" % (peer["delta_bytes"] / float(mb.MIB), 100.0 * peer["delta_bytes"] / m["file_size"])
