// The copy operations of a delta, written and read natively (copy_ops.cpp).
#ifndef CORVAMIRE_COPY_OPS_H
#define CORVAMIRE_COPY_OPS_H

#include "py_glue.h"

// encode_copies(runs, digests_by_size) -> (ops, digests, copied)
PyObject* py_encode_copies(PyObject* self, PyObject* args);
extern const char encode_copies_doc[];

// read_copies(data, pos, old_size) -> (copies, end, length, blocks)
PyObject* py_read_copies(PyObject* self, PyObject* args);
extern const char read_copies_doc[];

#endif
