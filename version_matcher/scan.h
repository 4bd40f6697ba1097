// The matching scan: one pass over the file, testing every match size at
// every position against the index.
#ifndef CORVAMIRE_SCAN_H
#define CORVAMIRE_SCAN_H

#include "match_state.h"

// Scans the file with state's sizes and index and leaves the counters and
// matches in state: 0, or -1 with the failure reported to state->caller.
// state->sizes is the non-empty list from build_match_sizes, its index sealed.
// Touches no Python object, so it runs without the interpreter's lock.
int scan_for_matches(MatchState* state, int fd, uint64_t file_size, int buffer_size);

#endif
