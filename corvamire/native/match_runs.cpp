// The copies of a delta from the matches of one scan: the blocks match()
// found, in offset order, with blocks of one size that follow each other in
// both files merged into one copy.  A file that barely changed has a match
// per block, and stepping through them one by one in Python cost nearly as
// much as the scan that found them.  corvamire.delta._match_runs is the
// same in Python, for builds without this module and as the tests' oracle.
#include "match_runs.h"
#include "py_numbers.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace {

struct Found {
  uint64_t offset;      // in the new file
  uint64_t size;        // block size
  uint64_t old_offset;  // in the earlier version
};

struct Run {
  uint64_t offset;
  uint64_t size;
  uint64_t first;  // block index in the earlier version
  uint64_t count;
};

// Objects looked at this many matches ahead are fetched into the cache
// meanwhile (the values' ints twice as far behind their tuples): the
// matches' objects lie scattered over the heap, and waiting for each in
// turn cost Python 2 several times the rest of the work.
constexpr size_t FETCH_AHEAD = 32;

bool read_matches(PyObject* matches, std::vector<Found>* found) {
  const size_t n = static_cast<size_t>(PyDict_Size(matches));
  std::vector<PyObject*> keys, values;
  keys.reserve(n);
  values.reserve(n);
  found->reserve(n);
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(matches, &pos, &key, &value)) {
    keys.push_back(key);
    values.push_back(value);
  }
  for (size_t i = 0; i < keys.size(); i++) {
    if (i + 2 * FETCH_AHEAD < keys.size()) {
      __builtin_prefetch(keys[i + 2 * FETCH_AHEAD]);
      __builtin_prefetch(values[i + 2 * FETCH_AHEAD]);
    }
    if (i + FETCH_AHEAD < keys.size()) {
      PyObject* ahead = values[i + FETCH_AHEAD];
      if (PyTuple_Check(ahead) && PyTuple_GET_SIZE(ahead) == 2) {
        __builtin_prefetch(PyTuple_GET_ITEM(ahead, 0));
        __builtin_prefetch(PyTuple_GET_ITEM(ahead, 1));
      }
    }
    Found f;
    value = values[i];
    if (!to_u64(keys[i], &f.offset) || !PyTuple_Check(value) || PyTuple_GET_SIZE(value) != 2 ||
        !to_u64(PyTuple_GET_ITEM(value, 0), &f.size) || !to_u64(PyTuple_GET_ITEM(value, 1), &f.old_offset)) {
      PyErr_SetString(PyExc_TypeError, "matches must map offsets to (size, offset) pairs of ints");
      return false;
    }
    found->push_back(f);
  }
  return true;
}

PyObject* runs_list(const std::vector<Run>& runs) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(runs.size()));
  for (size_t i = 0; list != nullptr && i < runs.size(); i++) {
    const Run& r = runs[i];
    PyObject* item =
        Py_BuildValue("(KKKK)", static_cast<unsigned long long>(r.offset), static_cast<unsigned long long>(r.size),
                      static_cast<unsigned long long>(r.first), static_cast<unsigned long long>(r.count));
    if (item == nullptr) {
      Py_CLEAR(list);
      break;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list;
}

}  // namespace

const char match_runs_doc[] =
  GLUE_SIGNATURE("match_runs", "matches, start, cut, old_size, new_size")
  "The copies a delta makes of one scan's matches.\n"
  "\n"
  "matches is match()'s dict {offset: (size, old_offset)}, its offsets\n"
  "counted from start in the new file.  Matches from cut on are left out, and\n"
  "so is a block that overlaps the one before or does not lie within\n"
  "old_size and new_size, or not at a multiple of its size.  Returns (runs,\n"
  "end): runs [(offset, size, first, count), ...] in offset order, each count\n"
  "blocks of one size at offset that are blocks first.. of the earlier\n"
  "version; end, where the last match before cut ends (0 if none).";

PyObject* py_match_runs(PyObject*, PyObject* args) {
  PyObject* matches;
  unsigned long long start, cut, old_size, new_size;
  if (!PyArg_ParseTuple(args, "O!KKKK:match_runs", &PyDict_Type, &matches, &start, &cut, &old_size, &new_size)) {
    return nullptr;
  }
  std::vector<Found> found;
  if (!read_matches(matches, &found)) return nullptr;
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.offset < b.offset; });
  std::vector<Run> runs;
  uint64_t done = 0;      // where the last block taken ends
  uint64_t next_old = 0;  // the old offset that continues the last run
  uint64_t end = 0;
  for (const Found& f : found) {
    const uint64_t offset = start + f.offset;
    if (offset >= cut) break;
    end = offset + f.size;
    const bool within = f.old_offset + f.size <= old_size && end <= new_size;
    if (!runs.empty() && offset == done && f.size == runs.back().size && f.old_offset == next_old && within) {
      runs.back().count++;
    } else if (f.size == 0 || offset < done || f.old_offset % f.size != 0 || !within) {
      continue;  // left to the literal around it
    } else {
      runs.push_back(Run{offset, f.size, f.old_offset / f.size, 1});
    }
    done = end;
    next_old = f.old_offset + f.size;
  }
  PyObject* list = runs_list(runs);
  if (list == nullptr) return nullptr;
  return Py_BuildValue("(NK)", list, static_cast<unsigned long long>(end));
}
