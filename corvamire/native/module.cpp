// The module _corvamire_native: the package's own native helpers, beside the
// matcher module rather than in it, so that the matcher's surface stays
// match() alone.  Block tables: block_digests reads a file once and gives
// every block's adler32 and MD5 for each block size; table_from_digests turns
// those into the dict corvamire.lookup_table.build_lookup_table describes.
#include "py_glue.h"  // first: Python.h sets feature macros for the system headers

#include "block_digests.h"
#include "copy_ops.h"
#include "match_runs.h"
#include "patch_copy.h"

#include <sys/stat.h>

#include <vector>

namespace {

// The module refuses this block length, as the matcher does: it is the
// value the matcher's integer conversion returns on error.
constexpr long long REFUSED_SIZE = 0xffffffffLL;
// table_from_digests runs signal handlers this often (blocks), a few ms.
constexpr uint64_t SIGNAL_CHECK_BLOCKS = 16384;

bool is_int(PyObject* o) {
#if PY_MAJOR_VERSION < 3
  if (PyInt_Check(o)) return !PyBool_Check(o);
#endif
  return PyLong_Check(o) && !PyBool_Check(o);
}

// The Python int of a sum or an offset, as the package's own code makes it
// (on 2.7 an int where it fits, as zlib.adler32(...) & 0xffffffff gives).
PyObject* new_int(uint64_t v) {
#if PY_MAJOR_VERSION < 3
  if (v <= static_cast<uint64_t>(LONG_MAX)) return PyInt_FromLong(static_cast<long>(v));
#endif
  return PyLong_FromUnsignedLongLong(v);
}

// A block size from its Python int: 1 to REFUSED_SIZE - 1, else -1 with
// TypeError or ValueError set.
long long block_size(PyObject* o) {
  if (!is_int(o)) {
    PyErr_Format(PyExc_TypeError, "block size must be an int, not %.80s", Py_TYPE(o)->tp_name);
    return -1;
  }
  int overflow = 0;
  const long long size = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (size == -1 && PyErr_Occurred()) return -1;
  if (overflow != 0 || size <= 0 || size >= REFUSED_SIZE) {
    PyErr_SetString(PyExc_ValueError, "block size out of range");
    return -1;
  }
  return size;
}

// A list or tuple, as a fast sequence (new reference), or null with TypeError:
// a string or a dict where a list belongs must not be taken apart.
PyObject* list_argument(PyObject* o, const char* name) {
  if (!PyList_Check(o) && !PyTuple_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s must be a list or tuple, not %.80s", name, Py_TYPE(o)->tp_name);
    return nullptr;
  }
  return PySequence_Fast(o, name);
}

PyDoc_STRVAR(block_digests_doc,
  GLUE_SIGNATURE("block_digests", "fd, file_size, block_sizes")
  "Every full block's adler32 and MD5, for each block size, in one pass.\n"
  "\n"
  "Reads file_size bytes from fd, from its current position.  Returns\n"
  "[(size, sums, digests), ...] in the order of block_sizes: for the n =\n"
  "file_size // size full blocks from the first byte read, in offset order,\n"
  "sums holds n little-endian uint32 adler32 sums (4 * n bytes) and digests\n"
  "n raw MD5 digests (16 * n bytes).  A short last block is left out.");

// The entry (size, sums, digests) of one block size, its arrays allocated for
// block_digests to fill and described in *out; null with the exception set.
PyObject* new_entry(PyObject* size_obj, uint64_t file_size, BlockSizeOutput* out) {
  const long long size = block_size(size_obj);
  if (size < 0) return nullptr;
  const uint64_t count = file_size / static_cast<uint64_t>(size);
  if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX / 16)) return PyErr_NoMemory();
  const Py_ssize_t n = static_cast<Py_ssize_t>(count);
  PyObject* sums = PyBytes_FromStringAndSize(nullptr, 4 * n);
  PyObject* digests = sums == nullptr ? nullptr : PyBytes_FromStringAndSize(nullptr, 16 * n);
  PyObject* entry = digests == nullptr ? nullptr : PyTuple_Pack(3, size_obj, sums, digests);
  if (entry != nullptr) {
    *out = {static_cast<uint64_t>(size), count, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(sums)),
            reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(digests))};
  }
  Py_XDECREF(sums);  // the entry holds them, or they are gone
  Py_XDECREF(digests);
  return entry;
}

PyObject* py_block_digests(PyObject*, PyObject* args) {
  int fd;
  long long file_size;
  PyObject* sizes_arg;
  if (!PyArg_ParseTuple(args, "iLO:block_digests", &fd, &file_size, &sizes_arg)) return nullptr;
  if (fd < 0) {
    PyErr_SetString(PyExc_ValueError, "fd must be an open file descriptor, not negative");
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    PyErr_Format(PyExc_ValueError, "fd %d is not an open file descriptor", fd);
    return nullptr;
  }
  if (file_size < 0) {
    PyErr_SetString(PyExc_ValueError, "file_size must not be negative");
    return nullptr;
  }
  PyObject* sizes = list_argument(sizes_arg, "block_sizes");
  if (sizes == nullptr) return nullptr;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(sizes);
  PyObject* result = n == 0 ? nullptr : PyList_New(n);
  if (n == 0) PyErr_SetString(PyExc_ValueError, "no block size given");
  std::vector<BlockSizeOutput> outputs(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; result != nullptr && i < n; i++) {
    PyObject* entry = new_entry(PySequence_Fast_GET_ITEM(sizes, i), static_cast<uint64_t>(file_size),
                                &outputs[static_cast<size_t>(i)]);
    if (entry == nullptr) {
      Py_CLEAR(result);
    } else {
      PyList_SET_ITEM(result, i, entry);
    }
  }
  Py_DECREF(sizes);
  if (result == nullptr) return nullptr;
  // The arrays are the result's alone until it is returned: the reading and
  // digesting touch no Python object, and other threads run meanwhile.
  Caller caller;
  glue_release_lock(&caller);
  const int rc = block_digests(&caller, fd, static_cast<uint64_t>(file_size), outputs.data(), outputs.size());
  glue_take_lock(&caller);
  if (rc < 0) Py_CLEAR(result);
  return result;
}

// The dict of digests under key in by_sum, made there if it is not (*made
// set then): borrowed, or null with the exception set.  Most sums are new,
// and one look-up in the large dict of sums instead of two (the miss, then
// the insertion) saves a cache miss a block.
PyObject* dict_for(PyObject* by_sum, PyObject* key, bool* made) {
#if PY_MAJOR_VERSION >= 3
  PyObject* fresh = PyDict_New();
  if (fresh == nullptr) return nullptr;
  PyObject* found = PyDict_SetDefault(by_sum, key, fresh);  // borrowed
  *made = found == fresh;
  Py_DECREF(fresh);  // the dict of sums holds it, or it was not needed
  return found;
#else
  PyObject* found = PyDict_GetItem(by_sum, key);  // borrowed
  if (found != nullptr) return found;
  found = PyDict_New();
  if (found != nullptr && PyDict_SetItem(by_sum, key, found) < 0) Py_CLEAR(found);
  Py_XDECREF(found);  // the dict of sums holds it, or it is gone
  *made = found != nullptr;
  return found;
#endif
}

// One entry of table_from_digests into table: the size's dict of sums,
// unless an earlier entry had the size already (the first is kept, as
// build_lookup_table keeps the first of a repeated size).  0 or -1.
int add_entry(PyObject* table, PyObject* entry, uint64_t* since_check) {
  PyObject* size_obj;
  const char* sums;
  const char* digests;
  Py_ssize_t sums_len, digests_len;
  if (!PyTuple_Check(entry)) {
    PyErr_Format(PyExc_TypeError, "each entry must be a tuple (size, sums, digests), not %.80s",
                 Py_TYPE(entry)->tp_name);
    return -1;
  }
#if PY_MAJOR_VERSION >= 3
  const char* format = "Oy#y#;each entry must be (size, sums, digests), with sums and digests bytes";
#else
  const char* format = "Os#s#;each entry must be (size, sums, digests), with sums and digests bytes";
#endif
  if (!PyArg_ParseTuple(entry, format, &size_obj, &sums, &sums_len, &digests, &digests_len)) return -1;
  const long long size = block_size(size_obj);
  if (size < 0) return -1;
  if (sums_len % 4 != 0 || digests_len != sums_len / 4 * 16) {
    PyErr_SetString(PyExc_ValueError, "sums must be 4 bytes and digests 16 bytes for every block");
    return -1;
  }
  const int present = PyDict_Contains(table, size_obj);
  if (present != 0) return present < 0 ? -1 : 0;
  const uint64_t count = static_cast<uint64_t>(sums_len / 4);
  // Sized for a sum per block from the start: most blocks have sums of
  // their own, and the dict would otherwise be rebuilt as it grows.
  PyObject* by_sum = _PyDict_NewPresized(static_cast<Py_ssize_t>(count));
  if (by_sum == nullptr) return -1;
  int rc = PyDict_SetItem(table, size_obj, by_sum);
  Py_DECREF(by_sum);  // the table holds it
  for (uint64_t j = 0; rc == 0 && j < count; j++) {
    const uint8_t* s = reinterpret_cast<const uint8_t*>(sums) + 4 * j;
    const uint32_t sum = uint32_t{s[0]} | uint32_t{s[1]} << 8 | uint32_t{s[2]} << 16 | uint32_t{s[3]} << 24;
    PyObject* key = new_int(sum);
    bool fresh = false;  // by_digest was made for this block: it holds no digest yet
    PyObject* by_digest = key == nullptr ? nullptr : dict_for(by_sum, key, &fresh);  // borrowed
    PyObject* digest = by_digest == nullptr ? nullptr : PyBytes_FromStringAndSize(digests + 16 * j, 16);
    const int known = digest == nullptr ? -1 : fresh ? 0 : PyDict_Contains(by_digest, digest);
    if (known == 0) {
      // The value build_lookup_table gives by default: (size, offset).
      PyObject* offset = new_int(j * static_cast<uint64_t>(size));
      PyObject* value = offset == nullptr ? nullptr : PyTuple_Pack(2, size_obj, offset);
      // Two ints can be in no reference cycle.  Out of the collector's sight,
      // so are the dicts that hold only such values: the collector's passes
      // over a table of a million of them would cost more than building it.
      if (value != nullptr) PyObject_GC_UnTrack(value);
      if (value == nullptr || PyDict_SetItem(by_digest, digest, value) < 0) rc = -1;
      Py_XDECREF(offset);
      Py_XDECREF(value);
    } else if (known < 0) {
      rc = -1;
    }
    Py_XDECREF(key);
    Py_XDECREF(digest);
    if (rc == 0 && ++*since_check >= SIGNAL_CHECK_BLOCKS) {
      *since_check = 0;
      rc = PyErr_CheckSignals();
    }
  }
  return rc;
}

PyDoc_STRVAR(table_from_digests_doc,
  GLUE_SIGNATURE("table_from_digests", "entries")
  "The lookup table of block_digests' entries.\n"
  "\n"
  "entries is [(size, sums, digests), ...] as block_digests returns it.\n"
  "Returns {size: {adler32: {md5_digest: (size, offset)}}}, the sizes in\n"
  "the order given, the first occurrence of a repeated block (and of a\n"
  "repeated size) kept: corvamire.lookup_table.build_lookup_table's table.");

PyObject* py_table_from_digests(PyObject*, PyObject* args) {
  PyObject* entries_arg;
  if (!PyArg_ParseTuple(args, "O:table_from_digests", &entries_arg)) return nullptr;
  PyObject* entries = list_argument(entries_arg, "entries");
  if (entries == nullptr) return nullptr;
  PyObject* table = PyDict_New();
  uint64_t since_check = 0;
  for (Py_ssize_t i = 0; table != nullptr && i < PySequence_Fast_GET_SIZE(entries); i++) {
    if (add_entry(table, PySequence_Fast_GET_ITEM(entries, i), &since_check) < 0) {
      PyDict_Clear(table);
      Py_CLEAR(table);
    }
  }
  Py_DECREF(entries);
  return table;
}

PyMethodDef native_methods[] = {
    {"block_digests", py_block_digests, METH_VARARGS, block_digests_doc},
    {"table_from_digests", py_table_from_digests, METH_VARARGS, table_from_digests_doc},
    {"match_runs", py_match_runs, METH_VARARGS, match_runs_doc},
    {"patch_copy", py_patch_copy, METH_VARARGS, patch_copy_doc},
    {"encode_copies", py_encode_copies, METH_VARARGS, encode_copies_doc},
    {"read_copies", py_read_copies, METH_VARARGS, read_copies_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(module_doc, "Native helpers of the corvamire package: block tables built in one pass.");

}  // namespace

GLUE_MODULE_INIT(_corvamire_native) {
  GLUE_MODULE_RETURN(glue_create_module("_corvamire_native", module_doc, native_methods));
}
