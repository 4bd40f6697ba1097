"""Host-side package for the two corvamire components.

lookup_table  builds the block table that corvamire_version_matcher.match
              takes, from an earlier version of a file, and runs a match.
signature     the signature of an earlier version: its blocks' sums and
              digests, written to a file and read back.
delta         delta and patch: rebuild a later version of a file from an
              earlier one's signature and the blocks match() found
              (delta_format: the delta's bytes; patching: the rebuilding).
cli           the command line, python -m corvamire (the corvamire script).
watcher       starts dir_watcher, yields its changelog batches and turns its
              exit code and error.txt into a readable message.
exit_codes    dir_watcher's exit codes, from the table its build includes.
demo          shows both at work: python -m corvamire.demo

The package and the module report the same __version__.
"""
from corvamire.version import __version__  # noqa: F401
