// What differs between the Python 2.7 and the Python 3 build of the module.
// Everything else is written once against the API both share.
#ifndef CORVAMIRE_PY_GLUE_H
#define CORVAMIRE_PY_GLUE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_MAJOR_VERSION >= 3

// Digests are bytes.
inline bool glue_is_digest_type(PyObject* o) { return PyBytes_Check(o); }
inline int glue_digest_bytes(PyObject* o, char** data, Py_ssize_t* len) {
  return PyBytes_AsStringAndSize(o, data, len);
}

// A number's integer value, masked to its low bits; (unsigned long)-1 on failure.
// Python 3's mask conversion takes only int and __index__; going through int()
// first truncates floats as the 2.7 build does.
inline unsigned long glue_as_unsigned_mask(PyObject* o) {
  if (PyLong_Check(o)) return PyLong_AsUnsignedLongMask(o);
  PyObject* as_int = PyNumber_Long(o);
  if (as_int == nullptr) return static_cast<unsigned long>(-1);
  const unsigned long value = PyLong_AsUnsignedLongMask(as_int);
  Py_DECREF(as_int);
  return value;
}

inline PyObject* glue_counter(uint32_t n) { return PyLong_FromLong(static_cast<long>(n)); }

inline PyObject* glue_create_module(const char* name, PyMethodDef* methods) {
  // -1: the module keeps its state in globals and has no per-interpreter state.
  static PyModuleDef definition = {PyModuleDef_HEAD_INIT, name, nullptr, -1, methods,
                                   nullptr, nullptr, nullptr, nullptr};
  return PyModule_Create(&definition);
}

#define GLUE_MODULE_INIT(name) extern "C" PyMODINIT_FUNC PyInit_##name(void)
#define GLUE_MODULE_RETURN(module) return (module)

#else

inline bool glue_is_digest_type(PyObject* o) { return PyString_Check(o); }
inline int glue_digest_bytes(PyObject* o, char** data, Py_ssize_t* len) {
  return PyString_AsStringAndSize(o, data, len);
}

inline unsigned long glue_as_unsigned_mask(PyObject* o) { return PyInt_AsUnsignedLongMask(o); }

inline PyObject* glue_counter(uint32_t n) { return PyInt_FromLong(static_cast<long>(n)); }

inline PyObject* glue_create_module(const char* name, PyMethodDef* methods) {
  return Py_InitModule4(name, methods, nullptr, nullptr, PYTHON_API_VERSION);
}

// 2.7's PyMODINIT_FUNC does not export the symbol from a hidden-visibility build.
#define GLUE_MODULE_INIT(name) \
  extern "C" __attribute__((visibility("default"))) void init##name(void)
#define GLUE_MODULE_RETURN(module) (void)(module)

#endif

#endif
