// Python ints read as the native module's unsigned 64-bit counts.
#ifndef CORVAMIRE_NATIVE_PY_NUMBERS_H
#define CORVAMIRE_NATIVE_PY_NUMBERS_H

#include "py_glue.h"

#include <climits>
#include <cstdint>
#include <type_traits>

// A non-negative Python int as uint64_t; false, with no exception set, for
// anything else.
inline bool to_u64(PyObject* o, uint64_t* out) {
#if PY_MAJOR_VERSION < 3
  if (PyInt_Check(o)) {
    const long v = PyInt_AS_LONG(o);
    if (v < 0) return false;
    *out = static_cast<uint64_t>(v);
    return true;
  }
#endif
  if (!PyLong_Check(o)) return false;
#if ULONG_MAX >= UINT64_MAX
  // Python 2 converts to unsigned long long through a byte array, ten
  // times slower: match() gives its offsets as longs there.
  const unsigned long v = PyLong_AsUnsignedLong(o);
#else
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
#endif
  if (v == static_cast<std::remove_const_t<decltype(v)>>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  *out = v;
  return true;
}

#endif
