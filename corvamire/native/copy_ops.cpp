// The copy operations of a delta read from its buffered bytes in one call.
// A delta of a file that barely changed is mostly copies of a few bytes
// each, and reading them one by one in Python cost a patch as much as its
// writing.  Only what is plainly well formed is read here: at anything else
// (another operation, a number cut off by the buffer's end or too long, a
// copy outside the earlier version) reading stops, and
// corvamire.delta_format.DeltaReader goes on in Python, which reads the
// same operations and says what is wrong.
#include "copy_ops.h"

#include <cstdint>

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
  if (block == 0 || count == 0 || first > old_size || count > old_size - first ||
      first + count > old_size / block) {
    return false;
  }
  out[0] = first * block;
  out[1] = count * block;
  out[2] = block;
  *at = next;
  return true;
}

}  // namespace

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
                                   static_cast<unsigned long long>(copy[1]),
                                   static_cast<unsigned long long>(copy[2]));
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
