// The module corvamire_version_matcher and its one method, match.
#include "py_glue.h"  // first: Python.h sets feature macros for the system headers

#include "fail.h"
#include "lookup_table.h"
#include "match_state.h"
#include "scan.h"

// Matches put in the result between two looks for a signal: a few
// milliseconds of the building, so that Ctrl-C ends a call with millions of
// matches while their dict is built.
constexpr size_t RESULT_CHECK_MATCHES = 65536;

// The "matches" dict of the result: offset -> the value lookup_table stores.
static PyObject* make_matches_dict(const MatchState* state) {
  PyObject* matches = PyDict_New();
  if (matches == nullptr) return nullptr;
  size_t since_check = 0;
  for (const Match& m : state->matches) {
    PyObject* key = PyLong_FromUnsignedLongLong(m.offset);
    int rc = key == nullptr ? -1 : PyDict_SetItem(matches, key, m.value);
    Py_XDECREF(key);
    if (rc == 0 && ++since_check == RESULT_CHECK_MATCHES) {
      since_check = 0;
      rc = fail_check_signals(state->caller);
    }
    if (rc < 0) {
      PyDict_Clear(matches);
      Py_DECREF(matches);
      return nullptr;
    }
  }
  return matches;
}

// Builds match's result dict, taking over the caller's reference to matches.
static PyObject* make_match_result(uint32_t weak_count, uint32_t strong_count, uint64_t bytes_matched,
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

// Everything the call does, with its state on this stack; the state's native
// memory goes with it on every path.
static PyObject* match_with_state(MatchState* state, PyObject* lookup_table, int fd, uint64_t file_size,
                                  int buffer_size) {
  if (build_match_sizes(state, lookup_table) < 0) return nullptr;
  // An empty table matches nothing; the file is not read.
  if (state->sizes != nullptr) {
    // The scan touches no Python object: other threads run meanwhile.
    glue_release_lock(state->caller);
    const int rc = scan_for_matches(state, fd, file_size, buffer_size);
    glue_take_lock(state->caller);
    if (rc < 0) return nullptr;
  }
  PyObject* matches = make_matches_dict(state);
  if (matches == nullptr) return nullptr;
  return make_match_result(state->weak_count, state->strong_count, state->bytes_matched, matches);
}

PyDoc_STRVAR(match_doc,
  GLUE_SIGNATURE("match", "lookup_table, fd, file_size, buffer_size")
  "Find the blocks of lookup_table in the file behind fd.\n"
  "\n"
  "lookup_table is {block_size: {adler32: {md5_digest: value}}}, digests being\n"
  "16 raw bytes.  Reads file_size bytes from fd, from its current position,\n"
  "through one buffer of at most buffer_size bytes.  Returns\n"
  "{\"weak_matches\", \"strong_matches\", \"bytes_matched\", \"matches\"}, where\n"
  "matches maps each offset at which a known block starts to its value.");

static PyObject* py_match(PyObject*, PyObject* args) {
  PyObject* lookup_table;
  int fd;
  unsigned long long file_size;
  int buffer_size;
  if (!PyArg_ParseTuple(args, "O!iKi", &PyDict_Type, &lookup_table, &fd, &file_size, &buffer_size)) {
    return nullptr;
  }
  Caller caller;
  caller.receives_signals = glue_thread_receives_signals();
  MatchState state(&caller);
  PyObject* result = match_with_state(&state, lookup_table, fd, file_size, buffer_size);
  // The result holds its own references to the values it reports.
  release_index_values(&state.index);
  return result;
}

static PyMethodDef matcher_methods[] = {
    {"match", py_match, METH_VARARGS, match_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(module_doc,
             "Finds which byte offsets of a new file start blocks already known from\n"
             "earlier versions: a rolling adler32 at every offset, confirmed by MD5.");

GLUE_MODULE_INIT(corvamire_version_matcher) {
  PyObject* module = glue_create_module("corvamire_version_matcher", module_doc, matcher_methods);
  if (module != nullptr && PyModule_AddStringConstant(module, "__version__", CORVAMIRE_VERSION) < 0) {
    module = glue_drop_module(module);
  }
  GLUE_MODULE_RETURN(module);
}
