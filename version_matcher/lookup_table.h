// Conversion of the caller's lookup_table dict into the call's index.
#ifndef CORVAMIRE_LOOKUP_TABLE_H
#define CORVAMIRE_LOOKUP_TABLE_H

#include "match_state.h"

// Fills state->sizes in lookup_table's order and state->index, sealed: 0, or
// -1 with an exception set when the table is refused.  An empty table leaves
// state->sizes null.  What was built stays in state either way.
//
// A number key's conversion may run Python code that changes the table; the
// conversion holds its own references to what it is reading, so the result
// is the index of what it read, or an exception.
int build_match_sizes(MatchState* state, PyObject* lookup_table);
// Releases the references the index holds to lookup_table's values.
void release_index_values(LookupIndex* index);

#endif
