"""Host-side package for the two corvamire components.

lookup_table  builds the block table that corvamire_version_matcher.match
              takes, from an earlier version of a file, and runs a match.
watcher       starts dir_watcher, collects its changelog batches and turns
              its exit code and error.txt into a readable message.
demo          shows both at work: python -m corvamire.demo
"""
from corvamire.version import __version__  # noqa: F401
