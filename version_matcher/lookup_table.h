// Conversion of the caller's lookup_table dict into the index.
#ifndef CORVAMIRE_LOOKUP_TABLE_H
#define CORVAMIRE_LOOKUP_TABLE_H

#include "lookup_index.h"

// The MatchSizeEntry list in lookup_table's order, with weak_buckets filled and
// sealed; null with an exception set when the table is refused, null without
// one when the table is empty.  On failure everything built is freed.
MatchSizeEntry* build_match_sizes(PyObject* lookup_table);
// Adds the entries of one lookup_table[size]: 0, or -1 with an exception set.
int build_weak_entries(PyObject* size_dict);
// The digests of one lookup_table[size][adler32]; null with an exception set on
// failure, null without one for an empty dict.
StrongEntry* build_strong_entries(PyObject* digest_dict);

#endif
