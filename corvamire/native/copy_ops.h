// The copy operations of a delta, read natively (copy_ops.cpp).
#ifndef CORVAMIRE_COPY_OPS_H
#define CORVAMIRE_COPY_OPS_H

#include "py_glue.h"

// read_copies(data, pos, old_size) -> (copies, end, length, blocks)
PyObject* py_read_copies(PyObject* self, PyObject* args);
extern const char read_copies_doc[];

#endif
