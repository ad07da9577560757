#include "python/py_buffer.hpp"

#include <new>
#include <variant>

namespace vantrel::py {

namespace {

struct IdArrayObject {
  PyObject_HEAD std::variant<ArrayRegion<std::uint32_t>, ArrayRegion<std::uint64_t>> values;
  Py_ssize_t shape[1];
  Py_ssize_t strides[1];
};

template <class T>
PyObject* make_id_array(ArrayRegion<T>&& values) {
  auto* object = PyObject_New(IdArrayObject, &IdArrayType);
  if (!object) return nullptr;
  new (&object->values) decltype(object->values)(std::move(values));
  object->shape[0] = static_cast<Py_ssize_t>(std::get<ArrayRegion<T>>(object->values).size());
  object->strides[0] = sizeof(T);
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
  view->buf = data;
  view->obj = new_ref(object).release();
  view->len = self->shape[0] * itemsize;
  view->readonly = 0;
  view->itemsize = itemsize;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(wide ? "Q" : "I") : nullptr;
  view->ndim = 1;
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

PyObject* new_id_array(ArrayRegion<std::uint32_t>&& values) { return make_id_array(std::move(values)); }
PyObject* new_id_array(ArrayRegion<std::uint64_t>&& values) { return make_id_array(std::move(values)); }

}  // namespace vantrel::py
