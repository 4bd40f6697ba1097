// The copies of a delta from the matches of one scan (match_runs.cpp).
#ifndef CORVAMIRE_MATCH_RUNS_H
#define CORVAMIRE_MATCH_RUNS_H

#include "py_glue.h"

// match_runs(matches, start, cut, old_size, new_size) -> (runs, end)
PyObject* py_match_runs(PyObject* self, PyObject* args);
extern const char match_runs_doc[];

#endif
