// The copies of a patch, done natively (patch_copy.cpp).
#ifndef CORVAMIRE_PATCH_COPY_H
#define CORVAMIRE_PATCH_COPY_H

#include "py_glue.h"

// patch_copy(old_fd, out_fd, copies) -> the copied blocks' MD5 digests
PyObject* py_patch_copy(PyObject* self, PyObject* args);
extern const char patch_copy_doc[];

#endif
