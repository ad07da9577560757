// Arrays handed to other libraries through DLPack (__dlpack__ and
// __dlpack_device__), so that torch.from_dlpack and numpy.from_dlpack take
// an IdArray without a copy, as numpy.asarray does through the buffer
// protocol. The memory stays the IdArray's: the capsule holds a reference
// to it until its consumer lets go.
#pragma once

#include "python/py_ref.hpp"

#include <cstdint>

namespace vantrel::py {

// What is exported: `ndim` (1 or 2) dimensions of `shape`, with `strides`
// in bytes, of unsigned integers of `item_bytes` bytes at `data`, which
// `owner` keeps alive and read-only.
struct DlpackArray {
  PyObject* owner;
  void* data;
  int ndim;
  const Py_ssize_t* shape;
  const Py_ssize_t* strides;
  unsigned item_bytes;
};

// __dlpack__(*, stream=None, max_version=None, dl_device=None, copy=None):
// a capsule of the array, versioned ("dltensor_versioned", flagged
// read-only) where max_version allows DLPack 1.0, else the unversioned
// "dltensor" that older consumers take. Memory on the CPU only: a stream,
// a device other than the CPU, or copy=True raise BufferError; other
// arguments TypeError. Null with the exception set on failure.
PyObject* dlpack_capsule(const DlpackArray& array, PyObject* args, PyObject* kwargs);

// __dlpack_device__(): (1, 0), the CPU.
PyObject* dlpack_device();

}  // namespace vantrel::py
