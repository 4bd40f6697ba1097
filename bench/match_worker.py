"""Runs one matcher case in a fresh process and prints its figures as JSON.

    python2.7 -m bench.match_worker SCAN_FILE TABLE_FILE SIZES BUFFER REPEAT [SCAN_BYTES]

SIZES is a comma-separated list of block sizes; SCAN_BYTES, when given,
scans only that many bytes from the start of the file.  A fresh process per case
keeps one case's tables and allocator state out of the next one's memory
figure.  Each case also times calls that scan only the first 64 KiB: the cost of
converting the table, which every call pays whatever the file.  The peak of
the match call is read from VmHWM after resetting it
(writing 5 to /proc/self/clear_refs) just before the first call, so it is
the call's own peak, not the table builder's.
"""

import ctypes
import gc
import json
import os
import resource
import sys
import time

import corvamire_version_matcher

from corvamire.lookup_table import build_lookup_table, count_blocks

SETUP_BYTES = 64 << 10   # a scan this short costs next to nothing


def status_kib(field):
    """A 'VmXXX:   N kB' figure of /proc/self/status, or None."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except IOError:
        pass
    return None


def reset_peak():
    """Sets VmHWM back to the present RSS; False where Linux refuses."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except IOError:
        return False


def release_free_memory():
    """Hands the heap's free pages back to the system, so memory the call
    takes from the allocator shows in the peak even when the table builder
    had freed it before."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def run(scan_path, table_path, sizes, buffer_size, repeat, scan_bytes=None):
    table = build_lookup_table(table_path, sizes)
    file_size = scan_bytes or os.path.getsize(scan_path)
    fd = os.open(scan_path, os.O_RDONLY)
    figures = {"cpu": [], "wall": [], "blocks": sum(count_blocks(table).values()),
               "order": list(table.keys()), "file_size": file_size}
    try:
        for run_index in range(repeat):
            os.lseek(fd, 0, os.SEEK_SET)
            gc.collect()
            if run_index == 0:
                release_free_memory()
                figures["peak_reset"] = reset_peak()
                rss_before = status_kib("VmRSS")
                hwm_before = status_kib("VmHWM")
            cpu0, wall0 = cpu_seconds(), time.time()
            result = corvamire_version_matcher.match(table, fd, file_size, buffer_size)
            wall, cpu = time.time() - wall0, cpu_seconds() - cpu0
            figures["cpu"].append(cpu)
            figures["wall"].append(wall)
            if run_index == 0:
                hwm_after = status_kib("VmHWM")
                figures["rss_before_kib"] = rss_before
                figures["hwm_before_kib"] = hwm_before
                figures["hwm_after_kib"] = hwm_after
                figures["weak"] = result["weak_matches"]
                figures["strong"] = result["strong_matches"]
                figures["bytes_matched"] = int(result["bytes_matched"])
                figures["matches"] = len(result["matches"])
            del result
        # The fixed cost of a call: converting and freeing the table, with a
        # scan of one small piece of the file.  After the timed calls, so the
        # first of those finds the allocator as a fresh process has it.
        setup = []
        for _ in range(repeat):
            os.lseek(fd, 0, os.SEEK_SET)
            cpu0 = cpu_seconds()
            corvamire_version_matcher.match(table, fd, min(SETUP_BYTES, file_size), buffer_size)
            setup.append(cpu_seconds() - cpu0)
        figures["setup"] = setup
    finally:
        os.close(fd)
    return figures


def main(argv):
    if len(argv) not in (6, 7):
        sys.stderr.write(__doc__)
        return 2
    scan_path, table_path = argv[1], argv[2]
    sizes = [int(s) for s in argv[3].split(",")]
    scan_bytes = int(argv[6]) if len(argv) == 7 else None
    figures = run(scan_path, table_path, sizes, int(argv[4]), int(argv[5]), scan_bytes)
    sys.stdout.write(json.dumps(figures) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
