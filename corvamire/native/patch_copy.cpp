// The copies of a patch: ranges of the earlier version read into a buffer,
// every block digested from that buffer (many at once, md5_lanes.h) and the
// same bytes written to the later version.  The check of a patch covers the
// very bytes it writes, without reading the result back, and a run of
// copies between two literals costs one call instead of a Python step, a
// copy and a read-back per operation.  corvamire.patching._copy_blocks is
// the same in Python, for builds without this module and as the tests'
// oracle.
#include "patch_copy.h"

#include "fail.h"
#include "md5_lanes.h"
#include "retry_io.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace {

// A buffer load: large enough that a read's cost per byte is the copy's,
// small enough to stay in L2 while it is digested and written.
constexpr uint64_t READ_BYTES = uint64_t{1} << 18;
// Signal handlers run after about this much work (a few ms), so that Ctrl-C
// stops a long run of copies within a fraction of a second.
constexpr uint64_t SIGNAL_CHECK_WORK = uint64_t{4} << 20;
// Offsets pread takes (off_t is signed).
constexpr uint64_t MAX_OFFSET = uint64_t{1} << 62;

struct Copy {
  uint64_t offset;  // in the earlier version
  uint64_t length;  // a whole number of blocks
  uint64_t block;
};

// length bytes of fd at offset into buffer; 0, or -1 with the failure set.
int read_at(Caller* caller, int fd, uint8_t* buffer, uint64_t length, uint64_t offset) {
  uint64_t done = 0;
  while (done < length) {
    const int64_t got = retry_io(caller, [&] {
      return pread(fd, buffer + done, static_cast<size_t>(length - done), static_cast<off_t>(offset + done));
    });
    if (got < 0) return -1;
    if (got == 0) {
      fail_value(caller, "old_fd: the file ends within a copied block");
      return -1;
    }
    done += static_cast<uint64_t>(got);
  }
  return 0;
}

int write_all(Caller* caller, int fd, const uint8_t* data, uint64_t length) {
  while (length > 0) {
    const int64_t put = retry_io(caller, [&] { return write(fd, data, static_cast<size_t>(length)); });
    if (put < 0) return -1;
    data += put;
    length -= static_cast<uint64_t>(put);
  }
  return 0;
}

// The bytes of several copies gathered in one buffer: small copies (a
// single block, where the earlier version repeats itself) are then digested
// many at once and written with one call.
struct Gathered {
  uint8_t* buffer;
  uint64_t capacity;
  uint64_t filled = 0;
  std::vector<const uint8_t*> blocks;  // where each block lies in the buffer
  std::vector<size_t> lengths;
  uint8_t* digests;   // where the next block's digest goes
  uint64_t work = 0;  // bytes since signal handlers last ran
};

// Digests the gathered blocks and writes the buffer out.
int write_gathered(Caller* caller, int out_fd, Gathered* g) {
  for (size_t i = 0; i < g->blocks.size(); i += MD5_LANES_MAX) {
    const int n = static_cast<int>(std::min<size_t>(MD5_LANES_MAX, g->blocks.size() - i));
    md5_lanes(&g->blocks[i], &g->lengths[i], n, reinterpret_cast<uint8_t(*)[16]>(g->digests));
    g->digests += 16 * n;
  }
  if (write_all(caller, out_fd, g->buffer, g->filled) < 0) return -1;
  g->work += g->filled;
  g->filled = 0;
  g->blocks.clear();
  g->lengths.clear();
  if (g->work >= SIGNAL_CHECK_WORK) {
    g->work = 0;
    return fail_check_signals(caller);
  }
  return 0;
}

// One copy into the buffer, written out whenever it is full.
int gather(Caller* caller, int old_fd, int out_fd, const Copy& copy, Gathered* g) {
  for (uint64_t done = 0; done < copy.length;) {
    if (g->capacity - g->filled < copy.block && write_gathered(caller, out_fd, g) < 0) return -1;
    const uint64_t room = (g->capacity - g->filled) / copy.block * copy.block;
    const uint64_t length = std::min(room, copy.length - done);
    uint8_t* at = g->buffer + g->filled;
    if (read_at(caller, old_fd, at, length, copy.offset + done) < 0) return -1;
    for (uint64_t b = 0; b < length; b += copy.block) {
      g->blocks.push_back(at + b);
      g->lengths.push_back(static_cast<size_t>(copy.block));
    }
    g->filled += length;
    done += length;
  }
  return 0;
}

// The copies from their Python list, and their block count; false with
// TypeError or ValueError set.
bool read_copies(PyObject* arg, std::vector<Copy>* copies, uint64_t* blocks) {
  if (!PyList_Check(arg) && !PyTuple_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "copies must be a list, not %.80s", Py_TYPE(arg)->tp_name);
    return false;
  }
  PyObject* items = PySequence_Fast(arg, "copies");
  if (items == nullptr) return false;
  bool ok = true;
  *blocks = 0;
  for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(items); i++) {
    unsigned long long offset, length, block;
    PyObject* item = PySequence_Fast_GET_ITEM(items, i);
    ok = PyTuple_Check(item) &&
         PyArg_ParseTuple(item, "KKK;each copy must be (offset, length, block size)", &offset, &length, &block);
    if (!PyTuple_Check(item)) {
      PyErr_SetString(PyExc_TypeError, "each copy must be a tuple (offset, length, block size)");
    }
    if (ok && (block == 0 || length % block != 0 || offset >= MAX_OFFSET || length >= MAX_OFFSET - offset)) {
      PyErr_SetString(PyExc_ValueError, "a copy must be whole blocks within the file's possible offsets");
      ok = false;
    }
    if (ok) {
      copies->push_back(Copy{offset, length, block});
      *blocks += length / block;
    }
  }
  Py_DECREF(items);
  if (ok && *blocks > static_cast<uint64_t>(PY_SSIZE_T_MAX / 16)) {
    PyErr_NoMemory();
    ok = false;
  }
  return ok;
}

}  // namespace

const char patch_copy_doc[] =
  GLUE_SIGNATURE("patch_copy", "old_fd, out_fd, copies")
  "Copies ranges of the earlier version to the later one, digesting their\n"
  "blocks on the way.\n"
  "\n"
  "copies is [(offset, length, block_size), ...], each length a whole number\n"
  "of blocks.  Each range is read from old_fd at its offset (old_fd's\n"
  "position is left as it was) and written to out_fd at its position, in\n"
  "order.  Returns the MD5 digests of the blocks written, 16 bytes each, in\n"
  "order: digested from the bytes as they were written.  ValueError if\n"
  "old_fd ends within a copy.";

PyObject* py_patch_copy(PyObject*, PyObject* args) {
  int old_fd, out_fd;
  PyObject* copies_arg;
  if (!PyArg_ParseTuple(args, "iiO:patch_copy", &old_fd, &out_fd, &copies_arg)) return nullptr;
  if (old_fd < 0 || out_fd < 0) {
    PyErr_SetString(PyExc_ValueError, "old_fd and out_fd must be open file descriptors, not negative");
    return nullptr;
  }
  std::vector<Copy> copies;
  uint64_t blocks = 0;
  if (!read_copies(copies_arg, &copies, &blocks)) return nullptr;
  uint64_t largest = 0;
  uint64_t smallest = UINT64_MAX;
  for (const Copy& copy : copies) {
    largest = std::max(largest, copy.block);
    smallest = std::min(smallest, copy.block);
  }
  const uint64_t capacity = std::max(READ_BYTES, largest);
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[capacity]);
  if (!buffer) return PyErr_NoMemory();
  PyObject* digests = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(16 * blocks));
  if (digests == nullptr) return nullptr;
  Gathered gathered;
  gathered.buffer = buffer.get();
  gathered.capacity = capacity;
  gathered.digests = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(digests));
  try {
    // Room for every block a full buffer holds: no allocation fails later.
    gathered.blocks.reserve(static_cast<size_t>(capacity / smallest));
    gathered.lengths.reserve(static_cast<size_t>(capacity / smallest));
  } catch (const std::bad_alloc&) {
    Py_DECREF(digests);
    return PyErr_NoMemory();
  }
  // The digests are the result's alone until it is returned: other threads
  // run meanwhile.
  Caller caller;
  glue_release_lock(&caller);
  int rc = 0;
  for (size_t i = 0; rc == 0 && i < copies.size(); i++) {
    rc = gather(&caller, old_fd, out_fd, copies[i], &gathered);
  }
  if (rc == 0 && gathered.filled > 0) rc = write_gathered(&caller, out_fd, &gathered);
  glue_take_lock(&caller);
  if (rc < 0) Py_CLEAR(digests);
  return digests;
}
