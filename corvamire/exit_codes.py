"""dir_watcher's exit codes, read from the table its C++ build includes."""
import io
import os
import re

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                     "exit_codes.def")
_ENTRY = re.compile(r'^EXIT_CODE\((\d+),\s*(\w+),\s*"(.*)"\)\s*$')


def read_exit_codes(path=TABLE):
    """{code: (name, description)} for every entry of the table."""
    codes = {}
    with io.open(path, encoding="utf-8") as table:
        for line in table:
            entry = _ENTRY.match(line)
            if entry:
                codes[int(entry.group(1))] = (entry.group(2), entry.group(3))
    return codes


# Exit code -> the step that ended the watcher.
EXIT_CODES = dict((code, text) for code, (_, text) in read_exit_codes().items())
