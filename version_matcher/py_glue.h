// What differs between the Python 2.7 and the Python 3 build of the module.
// Everything else is written once against the API both share.
#ifndef CORVAMIRE_PY_GLUE_H
#define CORVAMIRE_PY_GLUE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cstdint>

// The interpreter side of one match call (see fail.h).  On Python 3 the call
// gives up the interpreter's lock around its long native work, as zlib and
// hashlib do, so that other threads run meanwhile; released then holds the
// call's thread state.  Python 2.7 keeps the lock for the whole call: hosts
// written against it may rely on that.
struct Caller {
  PyThreadState* released = nullptr;
  // Whether signal handlers can run on the call's thread: only the main
  // thread runs them, so elsewhere a look for signals would take the lock
  // back for nothing, and wait for a busy thread to hand it over each time.
  bool receives_signals = true;
};

// Whether Python runs signal handlers on this thread; the lock is held.
inline bool glue_thread_receives_signals() {
#if PY_MAJOR_VERSION < 3
  // The lock is never given up, so a look costs nothing anywhere.
  return true;
#elif PY_VERSION_HEX < 0x030D0000
  return _PyOS_IsMainThread() != 0;
#else
  // 3.13 keeps the test above to itself; threading names the main thread.
  // A process that never imported threading is taken to be on it (the look
  // is then only slower, never missed).
  PyObject* name = PyUnicode_FromString("threading");
  PyObject* threading = name == nullptr ? nullptr : PyImport_GetModule(name);
  Py_XDECREF(name);
  PyObject* main = threading == nullptr ? nullptr : PyObject_CallMethod(threading, "main_thread", nullptr);
  Py_XDECREF(threading);
  PyObject* ident = main == nullptr ? nullptr : PyObject_GetAttrString(main, "ident");
  Py_XDECREF(main);
  bool receives = true;
  if (ident != nullptr) {
    receives = PyLong_AsUnsignedLong(ident) == PyThread_get_thread_ident();
    Py_DECREF(ident);
  }
  PyErr_Clear();
  return receives;
#endif
}

// Gives up the lock for the native work that follows (Python 3 only).
inline void glue_release_lock(Caller* caller) {
#if PY_MAJOR_VERSION >= 3
  caller->released = PyEval_SaveThread();
#else
  (void)caller;
#endif
}

// Takes the lock back after glue_release_lock.
inline void glue_take_lock(Caller* caller) {
  if (caller->released == nullptr) return;
  PyEval_RestoreThread(caller->released);
  caller->released = nullptr;
}

// Holds the lock for its lifetime, whether or not the call had given it up.
struct LockHeld {
  Caller* caller;
  PyThreadState* state;
  explicit LockHeld(Caller* c) : caller(c), state(c->released) { glue_take_lock(c); }
  ~LockHeld() {
    if (state != nullptr) caller->released = PyEval_SaveThread();
  }
  LockHeld(const LockHeld&) = delete;
  LockHeld& operator=(const LockHeld&) = delete;
};

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

// long is 32 bits on Windows: a count past 2^31 does not fit it.
inline PyObject* glue_counter(uint32_t n) { return PyLong_FromUnsignedLong(n); }

inline PyObject* glue_create_module(const char* name, const char* doc, PyMethodDef* methods) {
  // 0: no state of its own; each call keeps its state on its own stack.
  static PyModuleDef definition = {PyModuleDef_HEAD_INIT, name, doc, 0, methods, nullptr, nullptr, nullptr, nullptr};
  return PyModule_Create(&definition);
}

// The first lines of a function's docstring: its signature, in the form
// from which inspect.signature reads it.
#define GLUE_SIGNATURE(name, params) name "($module, " params ", /)\n--\n\n"

// Gives up a module whose set-up failed; null, with the exception standing.
inline PyObject* glue_drop_module(PyObject* module) {
  Py_DECREF(module);
  return nullptr;
}

// Spelled out rather than PyMODINIT_FUNC, which before 3.9 does not export the
// symbol from a hidden-visibility build.
#define GLUE_MODULE_INIT(name) extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name(void)
#define GLUE_MODULE_RETURN(module) return (module)

#else

inline bool glue_is_digest_type(PyObject* o) { return PyString_Check(o); }
inline int glue_digest_bytes(PyObject* o, char** data, Py_ssize_t* len) {
  return PyString_AsStringAndSize(o, data, len);
}

inline unsigned long glue_as_unsigned_mask(PyObject* o) { return PyInt_AsUnsignedLongMask(o); }

// An int where long holds the count; past 2^31 on Windows, whose long is 32
// bits, a long of the same value rather than a negative int.
inline PyObject* glue_counter(uint32_t n) {
#if LONG_MAX < UINT32_MAX
  if (n > static_cast<unsigned long>(LONG_MAX)) return PyLong_FromUnsignedLong(n);
#endif
  return PyInt_FromLong(static_cast<long>(n));
}

inline PyObject* glue_create_module(const char* name, const char* doc, PyMethodDef* methods) {
  return Py_InitModule4(name, methods, doc, nullptr, PYTHON_API_VERSION);
}

#define GLUE_SIGNATURE(name, params) name "(" params ")\n\n"

// 2.7's module is the interpreter's (a borrowed reference); the pending
// exception fails the import.
inline PyObject* glue_drop_module(PyObject*) { return nullptr; }

#ifdef _WIN32
// A DLL exports what is marked for export, which python27.dll's
// PyMODINIT_FUNC does (__declspec(dllexport)).
#define GLUE_MODULE_INIT(name) PyMODINIT_FUNC init##name(void)
#else
// 2.7's PyMODINIT_FUNC does not export the symbol from a hidden-visibility build.
#define GLUE_MODULE_INIT(name) extern "C" __attribute__((visibility("default"))) void init##name(void)
#endif
#define GLUE_MODULE_RETURN(module) (void)(module)

#endif

#endif
