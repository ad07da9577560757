#include "python/py_dlpack.hpp"

#include "python/py_api.hpp"

#include <new>
#include <string_view>
#include <type_traits>

namespace vantrel::py {

namespace {

// The DLPack ABI (1.0): its C structs, field for field, as consumers read them.
constexpr std::int32_t kDeviceCpu = 1;
constexpr std::uint8_t kTypeUnsigned = 1;
constexpr std::uint64_t kFlagReadOnly = 1;

struct DlDevice {
  std::int32_t device_type;
  std::int32_t device_id;
};

struct DlDataType {
  std::uint8_t code;
  std::uint8_t bits;
  std::uint16_t lanes;
};

struct DlTensor {
  void* data;
  DlDevice device;
  std::int32_t ndim;
  DlDataType dtype;
  std::int64_t* shape;
  std::int64_t* strides;  // in items, not bytes
  std::uint64_t byte_offset;
};

// DLPack before 1.0: "dltensor".
struct DlManagedTensor {
  DlTensor dl_tensor;
  void* manager_ctx;
  void (*deleter)(DlManagedTensor* self);
};

struct DlVersion {
  std::uint32_t major;
  std::uint32_t minor;
};

// DLPack 1.0: "dltensor_versioned".
struct DlManagedTensorVersioned {
  DlVersion version;
  void* manager_ctx;
  void (*deleter)(DlManagedTensorVersioned* self);
  std::uint64_t flags;
  DlTensor dl_tensor;
};

// A managed tensor with what its DlTensor points to, and the reference
// that keeps the memory alive; deleted by the deleter, which a consumer
// may call on any thread (so it takes the interpreter lock).
template <class Managed>
struct Export {
  Managed managed;
  std::int64_t shape[2];
  std::int64_t strides[2];
  PyObject* owner;

  static void release(Managed* managed) {
    auto* self = reinterpret_cast<Export*>(managed);  // `managed` is its first member
    const PyGILState_STATE state = PyGILState_Ensure();
    Py_XDECREF(self->owner);
    PyGILState_Release(state);
    delete self;
  }
};

template <class Managed>
constexpr const char* kCapsuleName = std::is_same_v<Managed, DlManagedTensor> ? "dltensor" : "dltensor_versioned";

// The capsule's destructor: a capsule no consumer took (its name unchanged)
// gives its tensor back.
template <class Managed>
void unused_capsule(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kCapsuleName<Managed>)) return;  // consumed: renamed "used_..."
  auto* managed = static_cast<Managed*>(PyCapsule_GetPointer(capsule, kCapsuleName<Managed>));
  if (managed && managed->deleter) managed->deleter(managed);
}

template <class Managed>
PyObject* capsule_of(const DlpackArray& array) {
  auto* made = new (std::nothrow) Export<Managed>{};
  if (!made) return PyErr_NoMemory();
  DlTensor& tensor = made->managed.dl_tensor;
  tensor.data = array.data;
  tensor.device = {kDeviceCpu, 0};
  tensor.ndim = array.ndim;
  tensor.dtype = {kTypeUnsigned, static_cast<std::uint8_t>(8 * array.item_bytes), 1};
  for (int d = 0; d < array.ndim; ++d) {
    made->shape[d] = array.shape[d];
    made->strides[d] = array.strides[d] / array.item_bytes;
  }
  tensor.shape = made->shape;
  tensor.strides = made->strides;
  tensor.byte_offset = 0;
  made->managed.deleter = &Export<Managed>::release;
  made->managed.manager_ctx = made;
  if constexpr (std::is_same_v<Managed, DlManagedTensorVersioned>) {
    made->managed.version = {1, 0};
    made->managed.flags = kFlagReadOnly;
  }
  made->owner = new_ref(array.owner).release();
  PyObject* capsule = PyCapsule_New(&made->managed, kCapsuleName<Managed>, &unused_capsule<Managed>);
  if (!capsule) Export<Managed>::release(&made->managed);
  return capsule;
}

// Whether `object` is None or (1, 0), the CPU.
int is_cpu_device(PyObject* object) {
  if (object == Py_None) return 1;
  PyRef cpu(dlpack_device());
  if (!cpu) return -1;
  return PyObject_RichCompareBool(object, cpu.get(), Py_EQ);
}

}  // namespace

PyObject* dlpack_device() { return Py_BuildValue("(ii)", kDeviceCpu, 0); }

PyObject* dlpack_capsule(const DlpackArray& array, PyObject* args, PyObject* kwargs) {
  if (tuple_size(args) != 0) {
    PyErr_SetString(PyExc_TypeError, "__dlpack__() takes keyword arguments only");
    return nullptr;
  }
  PyObject* stream = Py_None;
  PyObject* max_version = Py_None;
  PyObject* dl_device = Py_None;
  PyObject* copy = Py_None;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t at = 0;
  while (kwargs && PyDict_Next(kwargs, &at, &key, &value)) {
    const char* name = PyUnicode_Check(key) ? utf8_of(key) : nullptr;
    if (!name) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "__dlpack__() keywords must be str");
      return nullptr;
    }
    const std::string_view given(name);
    PyObject** slot = given == "stream"        ? &stream
                      : given == "max_version" ? &max_version
                      : given == "dl_device"   ? &dl_device
                      : given == "copy"        ? &copy
                                               : nullptr;
    if (!slot) {
      PyErr_Format(PyExc_TypeError, "__dlpack__() got an unexpected keyword argument '%s'", name);
      return nullptr;
    }
    *slot = value;
  }
  if (stream != Py_None) {
    PyErr_SetString(PyExc_BufferError, "an IdArray lives in the CPU's memory: stream must be None");
    return nullptr;
  }
  const int on_cpu = is_cpu_device(dl_device);
  if (on_cpu < 0) return nullptr;
  if (!on_cpu) {
    PyErr_Format(PyExc_BufferError, "an IdArray lives in the CPU's memory, (1, 0), not %R", dl_device);
    return nullptr;
  }
  const int copied = copy == Py_None ? 0 : PyObject_IsTrue(copy);
  if (copied < 0) return nullptr;
  if (copied) {
    PyErr_SetString(PyExc_BufferError, "an IdArray is handed over without a copy: copy=True is not available");
    return nullptr;
  }
  bool versioned = false;
  if (max_version != Py_None) {
    // (major, minor): DLPack 1.0 where the consumer takes it.
    if (!PyTuple_Check(max_version) || tuple_size(max_version) != 2) {
      PyErr_SetString(PyExc_TypeError, "max_version must be a (major, minor) tuple or None");
      return nullptr;
    }
    const long major = PyLong_AsLong(tuple_item(max_version, 0));
    if (major == -1 && PyErr_Occurred()) return nullptr;
    versioned = major >= 1;
  }
  return versioned ? capsule_of<DlManagedTensorVersioned>(array) : capsule_of<DlManagedTensor>(array);
}

}  // namespace vantrel::py
