#include "python/py_buffer.hpp"

#include <new>
#include <variant>

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
  auto* object = PyObject_New(IdArrayObject, &IdArrayType);
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
  Py_TYPE(object)->tp_free(object);
}

int IdArray_getbuffer(PyObject* object, Py_buffer* view, int flags) {
  auto* self = reinterpret_cast<IdArrayObject*>(object);
  const bool wide = std::holds_alternative<ArrayRegion<std::uint64_t>>(self->values);
  void* data = wide ? static_cast<void*>(std::get<1>(self->values).mutable_data())
                    : static_cast<void*>(std::get<0>(self->values).mutable_data());
  const Py_ssize_t itemsize = wide ? 8 : 4;
  if (self->ndim == 2 && (flags & PyBUF_ND) != PyBUF_ND) {
    PyErr_SetString(PyExc_BufferError, "a table of ids has two dimensions: its consumer must ask for its shape");
    view->obj = nullptr;
    return -1;
  }
  view->buf = data;
  view->obj = new_ref(object).release();
  view->len = self->shape[0] * (self->ndim == 2 ? self->shape[1] : 1) * itemsize;
  view->readonly = 0;
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

PyBufferProcs IdArray_as_buffer = {guarded<IdArray_getbuffer>, nullptr};

PySequenceMethods IdArray_as_sequence = {
    guarded<IdArray_length>, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject IdArrayType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

int ready_id_array_type() {
  if (PyType_HasFeature(&IdArrayType, Py_TPFLAGS_READY)) return 0;
  IdArrayType.tp_name = "IdArray";
  IdArrayType.tp_basicsize = sizeof(IdArrayObject);
  IdArrayType.tp_dealloc = IdArray_dealloc;
  IdArrayType.tp_repr = guarded<IdArray_repr>;
  IdArrayType.tp_as_buffer = &IdArray_as_buffer;
  IdArrayType.tp_as_sequence = &IdArray_as_sequence;
  IdArrayType.tp_flags = Py_TPFLAGS_DEFAULT;
  IdArrayType.tp_doc =
      "Unsigned integers filled by vantrel; use it through the buffer protocol\n"
      "(memoryview, numpy.asarray, torch.frombuffer).";
  return PyType_Ready(&IdArrayType);
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
