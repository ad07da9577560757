#include "python/py_buffer.hpp"

#include <new>
#include <variant>

#include "python/py_dlpack.hpp"
#include "python/py_sequence.hpp"
#include "python/py_type.hpp"

namespace vantrel::py {

namespace {

struct IdArrayObject {
  PyObject_HEAD
  std::variant<ArrayRegion<std::uint32_t>, ArrayRegion<std::uint64_t>> values;
  int ndim;  // 1, or 2 for rows of shape[1] values
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
};

// An IdArray of `values`: one-dimensional (columns 0), or rows of `columns`.
template <class T>
PyObject* make_id_array(ArrayRegion<T>&& values, Py_ssize_t columns) {
  auto* object = PyObject_New(IdArrayObject, IdArrayType);
  if (!object) return nullptr;
  new (&object->values) decltype(object->values)(std::move(values));
  const auto count = static_cast<Py_ssize_t>(std::get<ArrayRegion<T>>(object->values).size());
  object->ndim = columns == 0 ? 1 : 2;
  object->shape[0] = columns == 0 ? count : count / columns;
  object->shape[1] = columns;
  object->strides[0] = static_cast<Py_ssize_t>(sizeof(T)) * (columns == 0 ? 1 : columns);
  object->strides[1] = sizeof(T);
  return reinterpret_cast<PyObject*>(object);
}

void IdArray_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<IdArrayObject*>(object);
  using Values = decltype(self->values);
  self->values.~Values();
  free_instance(object);
}

int IdArray_getbuffer(PyObject* object, Py_buffer* view, int flags) {
  auto* self = reinterpret_cast<IdArrayObject*>(object);
  const bool wide = std::holds_alternative<ArrayRegion<std::uint64_t>>(self->values);
  void* data = wide ? static_cast<void*>(std::get<1>(self->values).mutable_data())
                    : static_cast<void*>(std::get<0>(self->values).mutable_data());
  const Py_ssize_t itemsize = wide ? 8 : 4;
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "ids are read-only: copy them to change them (numpy.array(ids))");
    view->obj = nullptr;
    return -1;
  }
  if (self->ndim == 2 && (flags & PyBUF_ND) != PyBUF_ND) {
    PyErr_SetString(PyExc_BufferError, "a table of ids has two dimensions: its consumer must ask for its shape");
    view->obj = nullptr;
    return -1;
  }
  view->buf = data;
  view->obj = new_ref(object).release();
  view->len = self->shape[0] * (self->ndim == 2 ? self->shape[1] : 1) * itemsize;
  view->readonly = 1;
  view->itemsize = itemsize;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(wide ? "Q" : "I") : nullptr;
  view->ndim = self->ndim;
  view->shape = (flags & PyBUF_ND) ? self->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? self->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

Py_ssize_t IdArray_length(PyObject* object) { return reinterpret_cast<IdArrayObject*>(object)->shape[0]; }

PyObject* IdArray_repr(PyObject* object) {
  auto* self = reinterpret_cast<IdArrayObject*>(object);
  const bool wide = std::holds_alternative<ArrayRegion<std::uint64_t>>(self->values);
  if (self->ndim == 2) {
    return PyUnicode_FromFormat("<vantrel IdArray: %zd x %zd x %s>", self->shape[0], self->shape[1],
                                wide ? "uint64" : "uint32");
  }
  return PyUnicode_FromFormat("<vantrel IdArray: %zd x %s>", self->shape[0], wide ? "uint64" : "uint32");
}

// The value at position `flat` of the values, row after row.
std::uint64_t value_at(const IdArrayObject* self, Py_ssize_t flat) {
  return std::visit([flat](const auto& values) { return static_cast<std::uint64_t>(values.data()[flat]); },
                    self->values);
}

// Item `index` (0 <= index < len): an int, or a row's tuple of ints.
PyObject* IdArray_item(PyObject* object, Py_ssize_t index) {
  const auto* self = reinterpret_cast<IdArrayObject*>(object);
  if (index < 0 || index >= self->shape[0]) {
    PyErr_SetString(PyExc_IndexError, "IdArray index out of range");
    return nullptr;
  }
  if (self->ndim == 1) return PyLong_FromUnsignedLongLong(value_at(self, index));
  PyRef row(PyTuple_New(self->shape[1]));
  if (!row) return nullptr;
  for (Py_ssize_t column = 0; column < self->shape[1]; ++column) {
    PyObject* value = PyLong_FromUnsignedLongLong(value_at(self, index * self->shape[1] + column));
    if (!value) return nullptr;
    tuple_set(row.get(), column, value);
  }
  return row.release();
}

// An int index (negative from the end) gives an item; a slice, a list of them.
PyObject* IdArray_subscript(PyObject* object, PyObject* key) {
  const Py_ssize_t length = reinterpret_cast<IdArrayObject*>(object)->shape[0];
  if (PySlice_Check(key)) {
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
    const Py_ssize_t count = PySlice_AdjustIndices(length, &start, &stop, step);
    PyRef items(PyList_New(count));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = IdArray_item(object, start + i * step);
      if (!item) return nullptr;
      list_set(items.get(), i, item);
    }
    return items.release();
  }
  if (!PyIndex_Check(key)) {
    PyErr_Format(PyExc_TypeError, "IdArray indices must be integers or slices, not %.200s", TypeName(key).c_str());
    return nullptr;
  }
  Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
  if (index == -1 && PyErr_Occurred()) return nullptr;
  return IdArray_item(object, index < 0 ? index + length : index);
}

// The first position at or after `from` whose item equals `value`, -1 when
// none does, -2 with an exception set when comparing fails.
Py_ssize_t find_item(PyObject* object, PyObject* value, Py_ssize_t from) {
  const auto* self = reinterpret_cast<IdArrayObject*>(object);
  if (self->ndim == 1 && PyLong_CheckExact(value)) {
    // The common case, without an object per item: an int compared as one
    // (one that is negative or past 64 bits equals no item).
    const unsigned long long wanted = PyLong_AsUnsignedLongLong(value);
    if (wanted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      return -1;
    }
    for (Py_ssize_t i = from; i < self->shape[0]; ++i) {
      if (value_at(self, i) == wanted) return i;
    }
    return -1;
  }
  for (Py_ssize_t i = from; i < self->shape[0]; ++i) {
    PyRef item(IdArray_item(object, i));
    if (!item) return -2;
    const int equal = PyObject_RichCompareBool(item.get(), value, Py_EQ);
    if (equal < 0) return -2;
    if (equal) return i;
  }
  return -1;
}

int IdArray_contains(PyObject* object, PyObject* value) {
  const Py_ssize_t found = find_item(object, value, 0);
  return found == -2 ? -1 : found >= 0;
}

PyObject* IdArray_index(PyObject* object, PyObject* value) {
  const Py_ssize_t found = find_item(object, value, 0);
  if (found == -2) return nullptr;
  if (found < 0) {
    PyErr_Format(PyExc_ValueError, "%R is not in the IdArray", value);
    return nullptr;
  }
  return PyLong_FromSsize_t(found);
}

PyObject* IdArray_count(PyObject* object, PyObject* value) {
  Py_ssize_t count = 0;
  for (Py_ssize_t found = find_item(object, value, 0); found != -1; found = find_item(object, value, found + 1)) {
    if (found == -2) return nullptr;
    ++count;
  }
  return PyLong_FromSsize_t(count);
}

PyObject* IdArray_dlpack(PyObject* object, PyObject* args, PyObject* kwargs) {
  auto* self = reinterpret_cast<IdArrayObject*>(object);
  const bool wide = std::holds_alternative<ArrayRegion<std::uint64_t>>(self->values);
  void* data = wide ? static_cast<void*>(std::get<1>(self->values).mutable_data())
                    : static_cast<void*>(std::get<0>(self->values).mutable_data());
  return dlpack_capsule({object, data, self->ndim, self->shape, self->strides, wide ? 8u : 4u}, args, kwargs);
}

PyObject* IdArray_dlpack_device(PyObject*, PyObject*) { return dlpack_device(); }

PyMethodDef IdArray_methods[] = {
    {"index", guarded<IdArray_index>, METH_O, "index($self, value, /)\n--\n\nThe first position of `value`."},
    {"count", guarded<IdArray_count>, METH_O, "count($self, value, /)\n--\n\nHow many items equal `value`."},
    {"__dlpack__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<IdArray_dlpack>)),
     METH_VARARGS | METH_KEYWORDS,
     "__dlpack__($self, /, *, stream=None, max_version=None, dl_device=None, copy=None)\n--\n\n"
     "The array as a DLPack capsule, without a copy (torch.from_dlpack, numpy.from_dlpack): read-only, in the "
     "CPU's memory."},
    {"__dlpack_device__", guarded<IdArray_dlpack_device>, METH_NOARGS,
     "__dlpack_device__($self, /)\n--\n\nWhere the array lives for DLPack: (1, 0), the CPU."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot IdArray_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(IdArray_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<IdArray_repr>)},
    {Py_tp_methods, IdArray_methods},
    {Py_tp_doc,
     const_cast<char*>("Unsigned integers filled by vantrel: a read-only sequence of int (of tuples of int, for\n"
                       "a table's rows), and through the buffer protocol an array without a copy (memoryview,\n"
                       "numpy.asarray, torch.frombuffer).")},
    {Py_bf_getbuffer, reinterpret_cast<void*>(guarded<IdArray_getbuffer>)},
    {Py_sq_length, reinterpret_cast<void*>(guarded<IdArray_length>)},
    {Py_sq_item, reinterpret_cast<void*>(guarded<IdArray_item>)},
    {Py_sq_contains, reinterpret_cast<void*>(guarded<IdArray_contains>)},
    {Py_mp_length, reinterpret_cast<void*>(guarded<IdArray_length>)},
    {Py_mp_subscript, reinterpret_cast<void*>(guarded<IdArray_subscript>)},
    {0, nullptr},
};

// Shown as vantrel.IdArray (its __module__), though the module lists no such attribute.
PyType_Spec IdArray_spec = {"vantrel.IdArray", sizeof(IdArrayObject), 0, Py_TPFLAGS_DEFAULT, IdArray_slots};

}  // namespace

PyTypeObject* IdArrayType = nullptr;

int ready_id_array_type() {
  if (IdArrayType) return 0;
  IdArrayType = make_type(IdArray_spec);
  if (!IdArrayType) return -1;
  return register_as_sequence(IdArrayType);
}

PyObject* new_time_array(const void* times, std::uint64_t count, bool integers) {
  PyRef array_module(PyImport_ImportModule("array"));
  if (!array_module) return nullptr;
  PyRef array(PyObject_CallMethod(array_module.get(), "array", "s", integers ? "q" : "d"));
  if (!array) return nullptr;
  // Both are 8 bytes, as the bits are: the array takes them as they are.
  static_assert(sizeof(long long) == 8 && sizeof(double) == 8);
  PyRef bytes(PyMemoryView_FromMemory(static_cast<char*>(const_cast<void*>(times)), static_cast<Py_ssize_t>(count * 8),
                                      PyBUF_READ));
  if (!bytes) return nullptr;
  PyRef added(PyObject_CallMethod(array.get(), "frombytes", "O", bytes.get()));
  if (!added) return nullptr;
  return array.release();
}

PyObject* new_id_array(ArrayRegion<std::uint32_t>&& values) { return make_id_array(std::move(values), 0); }
PyObject* new_id_array(ArrayRegion<std::uint64_t>&& values) { return make_id_array(std::move(values), 0); }
PyObject* new_id_table(ArrayRegion<std::uint32_t>&& values, Py_ssize_t columns) {
  return make_id_array(std::move(values), columns);
}
PyObject* new_id_table(ArrayRegion<std::uint64_t>&& values, Py_ssize_t columns) {
  return make_id_array(std::move(values), columns);
}

}  // namespace vantrel::py
