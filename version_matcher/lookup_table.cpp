#include "py_glue.h"  // first: Python.h sets feature macros for the system headers

#include "lookup_table.h"

#include "fail.h"

#include <new>

// The conversion API's error return; never a valid size or sum.
constexpr uint32_t CONVERSION_ERROR = 0xFFFFFFFF;

// Number keys are taken by their integer value modulo 2^32.  The key's own
// code may run here (__int__ and the like).
static uint32_t key_as_u32(PyObject* key) { return static_cast<uint32_t>(glue_as_unsigned_mask(key)); }

// A refused key's ValueError stands for a conversion that failed.  Ctrl-C or
// an exit asked for while the key's own code ran is no such failure: it
// stays the call's exception, as it would anywhere else.
static bool conversion_interrupted() { return PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception); }

// A reference held for a scope: to a dict being walked, or to a key and value
// of it around code that may change the dict.
struct Held {
  PyObject* object;
  explicit Held(PyObject* o) : object(o) { Py_INCREF(o); }
  ~Held() { Py_DECREF(object); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
};

// The digests of one lookup_table[size][adler32], in the dict's order, into
// *head (null for an empty dict): 0, or -1 with an exception set.  No Python
// code runs here; each entry holds a reference to its value, released by
// release_index_values.
static int build_strong_entries(LookupIndex* index, PyObject* digest_dict, StrongEntry** head) {
  StrongEntry** tail = head;
  *head = nullptr;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(digest_dict, &pos, &key, &value)) {
    if (!glue_is_digest_type(key)) {
      PyErr_NoMemory();
      return -1;
    }
    char* data;
    Py_ssize_t len;
    if (glue_digest_bytes(key, &data, &len) < 0) return -1;
    if (len != 16) {
      PyErr_SetString(PyExc_ValueError, "MD5 digest is not the right size");
      return -1;
    }
    StrongEntry* s = new_strong_entry(index);
    if (s == nullptr) {
      PyErr_NoMemory();
      return -1;
    }
    std::memcpy(s->digest, data, 16);
    Py_INCREF(value);
    s->value = value;
    *tail = s;
    tail = &s->next;
  }
  return 0;
}

// One item of a lookup_table[size]: a sum and its digest dict.
static int build_weak_entry(LookupIndex* index, uint32_t size, PyObject* key, PyObject* digest_dict) {
  if (!PyNumber_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "key of lookup_table[size] must be an int (adler32 sum)");
    return -1;
  }
  if (!PyDict_Check(digest_dict)) {
    PyErr_SetString(PyExc_TypeError, "contents of lookup_table[size][adler32] must be a dict");
    return -1;
  }
  const uint32_t sum = key_as_u32(key);
  if (sum == CONVERSION_ERROR && conversion_interrupted()) return -1;
  if (sum == CONVERSION_ERROR) {
    PyErr_SetString(PyExc_ValueError, "Invalid adler32 sum");
    return -1;
  }
  StrongEntry* strong;
  if (build_strong_entries(index, digest_dict, &strong) < 0) return -1;
  // An entry without digests stays out of the sealed index: nothing can be
  // found under its sum.
  WeakEntry* e = new_weak_entry(index, size);
  if (e == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  e->sum = sum;
  e->strong = strong;
  return 0;
}

// Items ahead of the conversion whose objects are being fetched.  A table of
// tens of thousands of sums is tens of MiB of Python objects spread over the
// heap; converting one item meets a cache miss at every object (the key, the
// digest dict, its key and its value), one after the other.  Two cursors run
// ahead over the same dict and ask for those objects early: the nearer one
// looks into the digest dicts that the farther one has already asked for.
// They only read what the dict holds at that moment, so a dict changed by a
// key's own code on the way only makes their guesses useless.
constexpr int FETCH_FAR = 16;
constexpr int FETCH_NEAR = 8;

static void fetch_object(PyObject* o, int lines) {
  const char* p = reinterpret_cast<const char*>(o);
  __builtin_prefetch(p, 1);  // its reference count is written
  for (int i = 1; i < lines; i++) __builtin_prefetch(p + 64 * i);
}

// A small dict keeps its entries in the object itself (Python 2), or just
// behind it.
constexpr int DICT_LINES = 4;

struct FetchCursor {
  Py_ssize_t pos = 0;
  // Moves to the next item of dict; false at its end.
  bool next(PyObject* dict, PyObject** key, PyObject** value) { return PyDict_Next(dict, &pos, key, value); }
};

// Items converted between two looks for a signal: a few milliseconds of
// conversion on 2.7, the slower of the two, so that Ctrl-C ends a call
// during the conversion of a table of millions of items too.
constexpr uint32_t CONVERSION_CHECK_ITEMS = 8192;

// Counts converted items and looks for signals every so many: 0, or -1 when
// a handler raised.
struct Progress {
  Caller* caller;
  uint32_t items = 0;
  int count(uint32_t n) {
    items += n;
    if (items < CONVERSION_CHECK_ITEMS) return 0;
    items = 0;
    return fail_check_signals(caller);
  }
};

static int build_weak_entries(LookupIndex* index, Progress* progress, uint32_t size, PyObject* size_dict) {
  Held walked(size_dict);
  FetchCursor far, near;
  PyObject *key, *value;
  for (int i = 0; i < FETCH_FAR && far.next(size_dict, &key, &value); i++) {
    fetch_object(key, 1);
    fetch_object(value, DICT_LINES);
  }
  for (int i = 0; i < FETCH_NEAR; i++) near.next(size_dict, &key, &value);
  Py_ssize_t pos = 0;
  while (PyDict_Next(size_dict, &pos, &key, &value)) {
    PyObject *ahead_key, *ahead_value;
    if (far.next(size_dict, &ahead_key, &ahead_value)) {
      fetch_object(ahead_key, 1);
      fetch_object(ahead_value, DICT_LINES);
    }
    if (near.next(size_dict, &ahead_key, &ahead_value) && PyDict_Check(ahead_value)) {
      Py_ssize_t digest_pos = 0;
      PyObject *digest, *block_value;
      if (PyDict_Next(ahead_value, &digest_pos, &digest, &block_value)) {
        // A 16-byte str or bytes object takes about 50 bytes, often across
        // two cache lines; its header and its bytes are both read.
        fetch_object(digest, 2);
        fetch_object(block_value, 1);
      }
    }
    Held held_key(key), held_value(value);
    if (build_weak_entry(index, size, key, value) < 0) return -1;
    // The digests of a sum are nearly always one or two.
    if (progress->count(1 + static_cast<uint32_t>(PyDict_Size(value))) < 0) return -1;
  }
  return 0;
}

// One item of lookup_table: a match size and its dict of sums, appended to
// the list at *tail.
static int build_match_size(MatchState* state, Progress* progress, MatchSizeEntry*** tail, PyObject* key,
                            PyObject* size_dict) {
  if (!PyNumber_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "key of lookup_table must be an int (match_size)");
    return -1;
  }
  if (!PyDict_Check(size_dict)) {
    PyErr_SetString(PyExc_TypeError, "contents of lookup_table[size] must be a dict");
    return -1;
  }
  MatchSizeEntry* entry = new (std::nothrow) MatchSizeEntry();
  if (entry == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  **tail = entry;
  *tail = &entry->next;
  const uint32_t size = key_as_u32(key);
  if (size == CONVERSION_ERROR && conversion_interrupted()) return -1;
  // A block of 0 bytes matches everywhere and would stall the scan.
  if (size == CONVERSION_ERROR || size == 0) {
    PyErr_SetString(PyExc_ValueError, "Invalid match size");
    return -1;
  }
  entry->size = size;
  entry->rolling = new (std::nothrow) RollingSum();
  if (entry->rolling == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  return build_weak_entries(&state->index, progress, size, size_dict);
}

int build_match_sizes(MatchState* state, PyObject* lookup_table) {
  Held walked(lookup_table);
  MatchSizeEntry** tail = &state->sizes;
  Progress progress{state->caller};
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(lookup_table, &pos, &key, &value)) {
    Held held_key(key), held_value(value);
    if (build_match_size(state, &progress, &tail, key, value) < 0) return -1;
  }
  if (state->sizes != nullptr && index_seal(&state->index, state->caller) < 0) return -1;
  return 0;
}

void release_index_values(LookupIndex* index) {
  for (ArenaBlock* block = index->strong_arena.first; block != nullptr; block = block->next) {
    StrongEntry* records = arena_records<StrongEntry>(block);
    for (size_t r = 0; r < block->used; r++) {
      if (r + FETCH_FAR < block->used && records[r + FETCH_FAR].value != nullptr) {
        __builtin_prefetch(records[r + FETCH_FAR].value, 1);
      }
      Py_CLEAR(records[r].value);
    }
  }
}
