// The matching scan: one pass over the file, testing every match size at
// every position against the index.
#ifndef CORVAMIRE_SCAN_H
#define CORVAMIRE_SCAN_H

#include "lookup_index.h"

// The result dict of match (new reference), or null with an exception set.
// list is the non-empty list from build_match_sizes, its index sealed.
PyObject* scan_for_matches(MatchSizeEntry* list, int fd, uint64_t file_size, int buffer_size);

#endif
