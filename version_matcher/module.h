// The Python-facing side of the module.
#ifndef CORVAMIRE_MODULE_H
#define CORVAMIRE_MODULE_H

#include <cstdint>

struct _object;
using PyObject = _object;

// Builds match's result dict, taking over the caller's reference to matches.
PyObject* make_match_result(uint32_t weak_count, uint32_t strong_count, uint64_t bytes_matched,
                            PyObject* matches);

#endif
