"""Small statistics and the plain-text tables the benchmark prints."""

import math


def median(values):
    """Middle value of a non-empty sequence (mean of the two middle ones)."""
    ordered = sorted(values)
    if not ordered:
        raise ValueError("median of nothing")
    mid = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[mid]
    return (ordered[mid - 1] + ordered[mid]) / 2.0


def percentile(values, fraction):
    """Nearest-rank percentile: the smallest value with at least `fraction`
    of all values at or below it (fraction 0.99 for p99)."""
    ordered = sorted(values)
    if not ordered:
        raise ValueError("percentile of nothing")
    rank = int(math.ceil(fraction * len(ordered))) - 1
    return ordered[min(max(rank, 0), len(ordered) - 1)]


def format_table(title, header, rows):
    """Left-aligned first column, right-aligned others, one space-padded
    line per row, under a title and a rule."""
    cells = [[str(c) for c in header]] + [[str(c) for c in r] for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]

    def line(row):
        out = [row[0].ljust(widths[0])]
        out += [c.rjust(w) for c, w in zip(row[1:], widths[1:])]
        return "  ".join(out).rstrip()

    rule = "-" * len(line(cells[0]))
    return "\n".join([title, rule, line(cells[0]), rule] + [line(r) for r in cells[1:]] + [rule])


def fmt(value, digits=2):
    """A figure for a table cell; '-' when there is none."""
    if value is None:
        return "-"
    if isinstance(value, float):
        return "%.*f" % (digits, value)
    return str(value)
