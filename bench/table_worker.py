"""Times the block table of one file in a fresh process; prints JSON.

    python -m bench.table_worker FILE SIZES REPEAT [python]

SIZES is a comma-separated list of block sizes.  Figures, each the best CPU
seconds of REPEAT calls: "digests", _corvamire_native.block_digests alone
(the sums and digests a signature holds); "table", build_lookup_table with
its default values (the native reader and the dict); with "python", also
"python", build_lookup_table's Python definition (one call: it is slow).
"""

import json
import os
import resource
import sys

import _corvamire_native
from corvamire import lookup_table


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def best_of(repeat, call):
    best = None
    for _ in range(repeat):
        start = cpu_seconds()
        result = call()
        took = cpu_seconds() - start
        # Freed outside the timing: tearing a table down is no part of
        # building it.
        del result
        best = took if best is None else min(best, took)
    return best


def main(argv):
    if len(argv) not in (4, 5):
        sys.stderr.write(__doc__)
        return 2
    path, sizes, repeat = argv[1], [int(s) for s in argv[2].split(",")], int(argv[3])
    fd = os.open(path, os.O_RDONLY)
    size = os.fstat(fd).st_size

    def digests():
        os.lseek(fd, 0, os.SEEK_SET)
        return _corvamire_native.block_digests(fd, size, sizes)

    figures = {"digests": best_of(repeat, digests),
               "table": best_of(repeat, lambda: lookup_table.build_lookup_table(path, sizes))}
    if len(argv) == 5:
        figures["python"] = best_of(1, lambda: lookup_table.build_lookup_table(
            path, sizes, value=lambda s, o: (s, o)))
    os.close(fd)
    sys.stdout.write(json.dumps(figures) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
