// The copy operations of a delta, written and read many in one call.  A
// delta of a file that barely changed is mostly copies of a few bytes each:
// encoding them one by one in Python cost Python 2 a tenth of a delta.
//
// Reading: the copy operations of a delta read from its buffered bytes.
// A delta of a file that barely changed is mostly copies of a few bytes
// each, and reading them one by one in Python cost a patch as much as its
// writing.  Only what is plainly well formed is read here: at anything else
// (another operation, a number cut off by the buffer's end or too long, a
// copy outside the earlier version) reading stops, and
// corvamire.delta_format.DeltaReader goes on in Python, which reads the
// same operations and says what is wrong.
#include "copy_ops.h"
#include "py_numbers.h"

#include <cstdint>
#include <new>
#include <string>

namespace {

constexpr uint8_t COPY_TAG = 'C';
// A number of a delta: 7 bits a byte, low first, the high bit set on every
// byte but the last; at most 10 bytes.
constexpr int MAX_NUMBER_BYTES = 10;

// The number at data[*at], moving *at past it; false when it runs past the
// end or does not fit in 64 bits.
bool read_number(const uint8_t* data, size_t size, size_t* at, uint64_t* value) {
  uint64_t v = 0;
  for (int i = 0; i < MAX_NUMBER_BYTES; i++) {
    if (*at >= size) return false;
    const uint8_t byte = data[(*at)++];
    const uint64_t bits = byte & 0x7f;
    if (i == MAX_NUMBER_BYTES - 1 && bits > 1) return false;  // past 64 bits
    v |= bits << (7 * i);
    if ((byte & 0x80) == 0) {
      *value = v;
      return true;
    }
  }
  return false;
}

// (old_offset, length, block_size) of the copy at data[*at], moving *at past
// it; false unless it is a copy within old_size whose bytes are all there.
bool read_copy(const uint8_t* data, size_t size, size_t* at, uint64_t old_size, uint64_t out[3]) {
  size_t next = *at;
  if (next >= size || data[next] != COPY_TAG) return false;
  next++;
  uint64_t block, first, count;
  if (!read_number(data, size, &next, &block) || !read_number(data, size, &next, &first) ||
      !read_number(data, size, &next, &count)) {
    return false;
  }
  // (first + count) * block <= old_size, without overflow.
  if (block == 0 || count == 0 || first > old_size || count > old_size - first || first + count > old_size / block) {
    return false;
  }
  out[0] = first * block;
  out[1] = count * block;
  out[2] = block;
  *at = next;
  return true;
}

void put_number(std::string* out, uint64_t value) {
  while (value >= 0x80) {
    out->push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out->push_back(static_cast<char>(value));
}

// One run (size, first, count) into ops and its blocks' digests into
// digests; false with the exception set.
bool encode_copy(PyObject* run, PyObject* digests_by_size, std::string* ops, std::string* digests, uint64_t* copied) {
  PyObject* fields = PySequence_Fast(run, "each run must be a list or tuple (size, first, count)");
  if (fields == nullptr) return false;
  uint64_t size = 0, first = 0, count = 0;
  bool ok = PySequence_Fast_GET_SIZE(fields) == 3 && to_u64(PySequence_Fast_GET_ITEM(fields, 0), &size) &&
            to_u64(PySequence_Fast_GET_ITEM(fields, 1), &first) && to_u64(PySequence_Fast_GET_ITEM(fields, 2), &count);
  PyObject* table = ok ? PyDict_GetItem(digests_by_size, PySequence_Fast_GET_ITEM(fields, 0)) : nullptr;
  Py_DECREF(fields);
  if (!ok) {
    PyErr_SetString(PyExc_TypeError, "each run must be (size, first, count), non-negative ints");
    return false;
  }
  if (table == nullptr || !PyBytes_Check(table)) {
    PyErr_SetString(PyExc_ValueError, "no digests for a run's block size");
    return false;
  }
  const uint64_t blocks = static_cast<uint64_t>(PyBytes_GET_SIZE(table)) / 16;
  if (size == 0 || count == 0 || first > blocks || count > blocks - first) {
    PyErr_SetString(PyExc_ValueError, "a run outside the blocks of its size");
    return false;
  }
  ops->push_back(static_cast<char>(COPY_TAG));
  put_number(ops, size);
  put_number(ops, first);
  put_number(ops, count);
  digests->append(PyBytes_AS_STRING(table) + 16 * first, 16 * count);
  *copied += size * count;  // within the earlier version: no overflow
  return true;
}

}  // namespace

const char encode_copies_doc[] =
  GLUE_SIGNATURE("encode_copies", "runs, digests_by_size")
  "The copy operations of runs in a delta's binary form.\n"
  "\n"
  "runs is [(size, first, count), ...]: count blocks of size bytes from block\n"
  "first of the earlier version; digests_by_size maps each size to its\n"
  "blocks' MD5 digests, 16 bytes each, in offset order.  Returns (ops,\n"
  "digests, copied): the operations' bytes, the digests of the copied blocks\n"
  "in order, and the bytes copied in all.";

PyObject* py_encode_copies(PyObject*, PyObject* args) {
  PyObject* runs_arg;
  PyObject* digests_by_size;
  if (!PyArg_ParseTuple(args, "OO!:encode_copies", &runs_arg, &PyDict_Type, &digests_by_size)) return nullptr;
  PyObject* runs = PySequence_Fast(runs_arg, "runs must be a list");
  if (runs == nullptr) return nullptr;
  std::string ops, digests;
  uint64_t copied = 0;
  bool ok = true;
  try {
    for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(runs); i++) {
      ok = encode_copy(PySequence_Fast_GET_ITEM(runs, i), digests_by_size, &ops, &digests, &copied);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    ok = false;
  }
  Py_DECREF(runs);
  if (!ok) return nullptr;
#if PY_MAJOR_VERSION >= 3
  return Py_BuildValue("(y#y#K)", ops.data(), static_cast<Py_ssize_t>(ops.size()), digests.data(),
                       static_cast<Py_ssize_t>(digests.size()), static_cast<unsigned long long>(copied));
#else
  return Py_BuildValue("(s#s#K)", ops.data(), static_cast<Py_ssize_t>(ops.size()), digests.data(),
                       static_cast<Py_ssize_t>(digests.size()), static_cast<unsigned long long>(copied));
#endif
}

const char read_copies_doc[] =
  GLUE_SIGNATURE("read_copies", "data, pos, old_size")
  "The copy operations of a delta that follow each other from data[pos].\n"
  "\n"
  "Returns (copies, end, length, blocks): copies [(old_offset, length,\n"
  "block_size), ...] as DeltaReader.ops() gives them, end the position after\n"
  "the last, length their bytes and blocks their blocks in all.  Stops at\n"
  "the first thing that is not a whole, well-formed copy within old_size.";

PyObject* py_read_copies(PyObject*, PyObject* args) {
  Py_buffer data;
  Py_ssize_t pos;
  unsigned long long old_size;
#if PY_MAJOR_VERSION >= 3
  if (!PyArg_ParseTuple(args, "y*nK:read_copies", &data, &pos, &old_size)) return nullptr;
#else
  if (!PyArg_ParseTuple(args, "s*nK:read_copies", &data, &pos, &old_size)) return nullptr;
#endif
  PyObject* copies = nullptr;
  if (pos < 0 || pos > data.len) {
    PyErr_SetString(PyExc_ValueError, "pos must lie within data");
  } else {
    copies = PyList_New(0);
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(data.buf);
  const size_t size = static_cast<size_t>(data.len);
  size_t at = static_cast<size_t>(pos);
  uint64_t length = 0, blocks = 0;
  uint64_t copy[3];
  while (copies != nullptr) {
    size_t next = at;
    if (!read_copy(bytes, size, &next, old_size, copy) || copy[1] > UINT64_MAX - length) break;
    at = next;
    PyObject* item = Py_BuildValue("(KKK)", static_cast<unsigned long long>(copy[0]),
                                   static_cast<unsigned long long>(copy[1]), static_cast<unsigned long long>(copy[2]));
    if (item == nullptr || PyList_Append(copies, item) < 0) Py_CLEAR(copies);
    Py_XDECREF(item);
    length += copy[1];
    blocks += copy[1] / copy[2];
  }
  PyBuffer_Release(&data);
  if (copies == nullptr) return nullptr;
  return Py_BuildValue("(NnKK)", copies, static_cast<Py_ssize_t>(at), static_cast<unsigned long long>(length),
                       static_cast<unsigned long long>(blocks));
}
