"""The lookup table that the host hands to `match`, built from a file.

The package's own corvamire.lookup_table.build_lookup_table, so that the
bench scans with the tables a host gets: values (size, offset), the first
occurrence of a repeated block kept, built natively where it can be.
"""

from corvamire.lookup_table import build_lookup_table  # noqa: F401 (the bench's table builder)


def count_blocks(table):
    """Number of (size, sum, digest) entries."""
    return sum(len(digests) for by_sum in table.values() for digests in by_sum.values())
