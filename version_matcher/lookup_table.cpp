#include "py_glue.h"  // first: Python.h sets feature macros for the system headers

#include "lookup_table.h"


#include <new>

// The conversion API's error return; never a valid size or sum.
constexpr uint32_t CONVERSION_ERROR = 0xFFFFFFFF;

// Number keys are taken by their integer value modulo 2^32.
static uint32_t key_as_u32(PyObject* key) { return static_cast<uint32_t>(glue_as_unsigned_mask(key)); }

StrongEntry* build_strong_entries(PyObject* digest_dict) {
  StrongEntry* head = nullptr;
  StrongEntry** tail = &head;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(digest_dict, &pos, &key, &value)) {
    if (!glue_is_digest_type(key)) {
      PyErr_NoMemory();
      goto fail;
    }
    char* data;
    Py_ssize_t len;
    if (glue_digest_bytes(key, &data, &len) < 0) goto fail;
    if (len != 16) {
      PyErr_SetString(PyExc_ValueError, "MD5 digest is not the right size");
      goto fail;
    }
    {
      StrongEntry* s = new_strong_entry();
      if (s == nullptr) {
        PyErr_NoMemory();
        goto fail;
      }
      std::memcpy(s->digest, data, 16);
      s->value = value;
      *tail = s;
      tail = &s->next;
    }
  }
  return head;
fail:
  free_strong_entries(head);
  return nullptr;
}

int build_weak_entries(PyObject* size_dict) {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(size_dict, &pos, &key, &value)) {
    if (!PyNumber_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "key of lookup_table[size] must be an int (adler32 sum)");
      return -1;
    }
    if (!PyDict_Check(value)) {
      PyErr_SetString(PyExc_TypeError, "contents of lookup_table[size][adler32] must be a dict");
      return -1;
    }
    WeakEntry* e = new_weak_entry();
    if (e == nullptr) {
      PyErr_NoMemory();
      return -1;
    }
    e->sum = key_as_u32(key);
    if (e->sum == CONVERSION_ERROR) {
      PyErr_SetString(PyExc_ValueError, "Invalid adler32 sum");
      return -1;
    }
    e->strong = build_strong_entries(value);
    if (e->strong == nullptr) {
      if (PyErr_Occurred()) return -1;
      continue;  // no digests: nothing to find under this sum
    }
    link_weak_entry(e);
  }
  return 0;
}

MatchSizeEntry* build_match_sizes(PyObject* lookup_table) {
  clear_weak_buckets();
  MatchSizeEntry* head = nullptr;
  MatchSizeEntry** tail = &head;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(lookup_table, &pos, &key, &value)) {
    if (!PyNumber_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "key of lookup_table must be an int (match_size)");
      goto fail;
    }
    if (!PyDict_Check(value)) {
      PyErr_SetString(PyExc_TypeError, "contents of lookup_table[size] must be a dict");
      goto fail;
    }
    {
      MatchSizeEntry* entry = new (std::nothrow) MatchSizeEntry();
      if (entry == nullptr) {
        PyErr_NoMemory();
        goto fail;
      }
      *tail = entry;
      tail = &entry->next;
      const uint32_t size = key_as_u32(key);
      // A block of 0 bytes matches everywhere and would stall the scan.
      if (size == CONVERSION_ERROR || size == 0) {
        PyErr_SetString(PyExc_ValueError, "Invalid match size");
        goto fail;
      }
      entry->size = size;
      entry->rolling = new (std::nothrow) RollingSum();
      if (entry->rolling == nullptr) {
        PyErr_NoMemory();
        goto fail;
      }
    }
    if (build_weak_entries(value) < 0) goto fail;
  }
  if (head != nullptr && index_seal() < 0) goto fail;
  return head;
fail:
  free_weak_buckets();
  free_match_sizes(head);
  return nullptr;
}
