#include "python/py_type.hpp"

namespace vantrel::py {

namespace {

bool has_slot(const PyType_Spec& description, int id) {
  for (const PyType_Slot* slot = description.slots; slot->slot != 0; ++slot) {
    if (slot->slot == id) return true;
  }
  return false;
}

}  // namespace

#ifdef Py_LIMITED_API
PyTypeObject* make_type(PyType_Spec& description) {
  description.flags |= Py_TPFLAGS_IMMUTABLETYPE;
  if (!has_slot(description, Py_tp_new)) description.flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&description));
}
#else
namespace {

// A static type and the protocol tables it points to.
struct StaticType {
  PyTypeObject type;
  PySequenceMethods sequence;
  PyMappingMethods mapping;
  PyBufferProcs buffer;
};

// Puts one slot of a description in its field; false for a slot no type of the
// module has.
bool fill_slot(StaticType& made, const PyType_Slot& slot) {
  PyTypeObject& type = made.type;
  void* const pfunc = slot.pfunc;
  switch (slot.slot) {
    case Py_tp_dealloc: type.tp_dealloc = reinterpret_cast<destructor>(pfunc); break;
    case Py_tp_repr: type.tp_repr = reinterpret_cast<reprfunc>(pfunc); break;
    case Py_tp_doc: type.tp_doc = static_cast<const char*>(pfunc); break;
    case Py_tp_traverse: type.tp_traverse = reinterpret_cast<traverseproc>(pfunc); break;
    case Py_tp_methods: type.tp_methods = static_cast<PyMethodDef*>(pfunc); break;
    case Py_tp_getset: type.tp_getset = static_cast<PyGetSetDef*>(pfunc); break;
    case Py_tp_new: type.tp_new = reinterpret_cast<newfunc>(pfunc); break;
    case Py_sq_length: made.sequence.sq_length = reinterpret_cast<lenfunc>(pfunc); break;
    case Py_sq_item: made.sequence.sq_item = reinterpret_cast<ssizeargfunc>(pfunc); break;
    case Py_sq_contains: made.sequence.sq_contains = reinterpret_cast<objobjproc>(pfunc); break;
    case Py_mp_length: made.mapping.mp_length = reinterpret_cast<lenfunc>(pfunc); break;
    case Py_mp_subscript: made.mapping.mp_subscript = reinterpret_cast<binaryfunc>(pfunc); break;
    case Py_bf_getbuffer: made.buffer.bf_getbuffer = reinterpret_cast<getbufferproc>(pfunc); break;
    case Py_bf_releasebuffer: made.buffer.bf_releasebuffer = reinterpret_cast<releasebufferproc>(pfunc); break;
    default: return false;
  }
  return true;
}

// A static type's header, as the interpreter's own static types begin.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const PyTypeObject kStaticHeader = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

}  // namespace

PyTypeObject* make_type(PyType_Spec& description) {
  // Lives for the rest of the process, as a static type must.
  auto* made = new StaticType{};
  PyTypeObject& type = made->type;
  type = kStaticHeader;
  type.tp_name = description.name;
  type.tp_basicsize = description.basicsize;
  type.tp_itemsize = description.itemsize;
  type.tp_flags = description.flags;
  for (const PyType_Slot* slot = description.slots; slot->slot != 0; ++slot) {
    if (!fill_slot(*made, *slot)) {
      PyErr_Format(PyExc_SystemError, "%s: slot %d is not one the module's types use", description.name, slot->slot);
      return nullptr;
    }
  }
  if (has_slot(description, Py_sq_length) || has_slot(description, Py_sq_item)) type.tp_as_sequence = &made->sequence;
  if (has_slot(description, Py_mp_length) || has_slot(description, Py_mp_subscript))
    type.tp_as_mapping = &made->mapping;
  if (has_slot(description, Py_bf_getbuffer)) type.tp_as_buffer = &made->buffer;
  if (PyType_Ready(&type) < 0) return nullptr;
  return &type;
}
#endif

}  // namespace vantrel::py
