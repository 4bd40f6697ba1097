// The module corvamire_version_matcher and its one method, match.
#include "py_glue.h"  // first: Python.h sets feature macros for the system headers

#include "module.h"

#include "lookup_table.h"
#include "scan.h"

PyObject* make_match_result(uint32_t weak_count, uint32_t strong_count, uint64_t bytes_matched,
                            PyObject* matches) {
  PyObject* result = PyDict_New();
  if (result == nullptr) {
    Py_DECREF(matches);
    return nullptr;
  }
  const struct {
    const char* key;
    PyObject* value;
  } items[] = {
      {"weak_matches", glue_counter(weak_count)},
      {"strong_matches", glue_counter(strong_count)},
      {"bytes_matched", PyLong_FromUnsignedLongLong(bytes_matched)},
      {"matches", matches},
  };
  bool failed = false;
  for (const auto& item : items) {
    if (!failed && (item.value == nullptr || PyDict_SetItemString(result, item.key, item.value) < 0)) {
      failed = true;
    }
    Py_XDECREF(item.value);
  }
  if (failed) {
    PyDict_Clear(result);
    Py_DECREF(result);
    return nullptr;
  }
  return result;
}

static PyObject* py_match(PyObject*, PyObject* args) {
  PyObject* lookup_table;
  int fd;
  unsigned long long file_size;
  int buffer_size;
  PyObject* result = nullptr;
  MatchSizeEntry* list = nullptr;
  if (PyArg_ParseTuple(args, "O!iKi", &PyDict_Type, &lookup_table, &fd, &file_size, &buffer_size)) {
    list = build_match_sizes(lookup_table);
    if (list != nullptr) {
      result = scan_for_matches(list, fd, file_size, buffer_size);
    } else if (!PyErr_Occurred()) {
      // An empty table matches nothing; the file is not read.
      PyObject* matches = PyDict_New();
      if (matches != nullptr) result = make_match_result(0, 0, 0, matches);
    }
  }
  free_weak_buckets();
  free_match_sizes(list);
  return result;
}

static PyMethodDef matcher_methods[] = {
    {"match", py_match, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

GLUE_MODULE_INIT(corvamire_version_matcher) {
  PyObject* module = glue_create_module("corvamire_version_matcher", matcher_methods);
  GLUE_MODULE_RETURN(module);
}
