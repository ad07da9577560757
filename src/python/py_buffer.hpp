// IdArray: a one-dimensional array of unsigned integers that C++ filled,
// handed to Python through the buffer protocol without a copy (numpy.asarray,
// torch.frombuffer and memoryview take it as it is).
#pragma once

#include "python/py_errors.hpp"

#include <cstdint>

#include "core/memory.hpp"

namespace vantrel::py {

extern PyTypeObject* IdArrayType;

// A new IdArray that takes over `values` (format "I" for 32 bits, "Q" for 64).
PyObject* new_id_array(ArrayRegion<std::uint32_t>&& values);
PyObject* new_id_array(ArrayRegion<std::uint64_t>&& values);
// A new two-dimensional IdArray: rows of `columns` values, back to back.
PyObject* new_id_table(ArrayRegion<std::uint32_t>&& values, Py_ssize_t columns);
PyObject* new_id_table(ArrayRegion<std::uint64_t>&& values, Py_ssize_t columns);

// A new array.array of `count` times, each 8 bytes (int64 or float64, or
// their bits): of int64 ('q') or of float64 ('d').
PyObject* new_time_array(const void* times, std::uint64_t count, bool integers);

// Makes IdArrayType; done once per process. -1 with an exception set on failure.
int ready_id_array_type();

}  // namespace vantrel::py
