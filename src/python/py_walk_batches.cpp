#include "python/py_walk_batches.hpp"

#include <cstdint>
#include <memory>
#include <new>

#include "python/py_args.hpp"
#include "python/py_docstrings.hpp"
#include "python/py_parameters.hpp"
#include "python/py_sampler_state.hpp"
#include "python/py_type.hpp"
#include "python/py_walk_request.hpp"

namespace vantrel::py {

namespace {

constexpr const char* kBatchesName = "PathSampler.batches()";

// What every view of one batches() call shares: the walks asked for, and
// how many go in a batch.
struct BatchPlan {
  NumberedRequest numbered;  // walks first to stop - 1, and the options
  std::uint64_t batch_size = 1;
  Py_ssize_t batch_count = 0;  // ceil((stop - first) / batch_size)

  // The walks of batch `index`: batch_size of them, fewer in the last.
  WalkRequest batch(std::uint64_t index) const {
    const WalkRequest& all = numbered.walk;
    const std::uint64_t begin = all.first + index * batch_size;
    const std::uint64_t end = all.stop - begin > batch_size ? begin + batch_size : all.stop;
    return all.range(begin, end);
  }
};

// A view of the batches: batch `origin + k * step` for k below `length`,
// as a slice of the whole sequence gives.
struct WalkBatchesObject {
  PyObject_HEAD
  PyObject* sampler;      // the PathSampler drawn from, owned
  PyObject* from_dlpack;  // torch.from_dlpack with tensors=True, else null; owned
  PyObject* int64;        // torch.int64 with tensors=True, else null; owned
  std::shared_ptr<const BatchPlan> plan;
  Py_ssize_t origin;
  Py_ssize_t step;
  Py_ssize_t length;
};

WalkBatchesObject* as_batches(PyObject* object) { return reinterpret_cast<WalkBatchesObject*>(object); }

PyObject* new_view(const WalkBatchesObject& of, Py_ssize_t origin, Py_ssize_t step, Py_ssize_t length) {
  auto* view = PyObject_New(WalkBatchesObject, WalkBatchesType);
  if (!view) return nullptr;
  Py_INCREF(of.sampler);
  view->sampler = of.sampler;
  Py_XINCREF(of.from_dlpack);
  view->from_dlpack = of.from_dlpack;
  Py_XINCREF(of.int64);
  view->int64 = of.int64;
  new (&view->plan) std::shared_ptr<const BatchPlan>(of.plan);
  view->origin = origin;
  view->step = step;
  view->length = length;
  return reinterpret_cast<PyObject*>(view);
}

void WalkBatches_dealloc(PyObject* object) {
  WalkBatchesObject* self = as_batches(object);
  self->plan.~shared_ptr();
  Py_XDECREF(self->sampler);
  Py_XDECREF(self->from_dlpack);
  Py_XDECREF(self->int64);
  free_instance(object);
}

Py_ssize_t WalkBatches_length(PyObject* object) { return as_batches(object)->length; }

// An IdArray as a torch tensor of int64 (what embedding lookups index
// with): shared by DLPack, then widened.
PyObject* as_tensor(const WalkBatchesObject& self, PyObject* array) {
  PyRef shared(call_one(self.from_dlpack, array));
  if (!shared) return nullptr;
  return PyObject_CallMethod(shared.get(), "to", "O", self.int64);
}

PyObject* WalkBatches_item(PyObject* object, Py_ssize_t index) {
  WalkBatchesObject* self = as_batches(object);
  if (index < 0 || index >= self->length) {
    PyErr_SetString(PyExc_IndexError, "WalkBatches index out of range");
    return nullptr;
  }
  const BatchPlan& plan = *self->plan;
  WalkRequest request = plan.batch(static_cast<std::uint64_t>(self->origin + index * self->step));
  PyRef pair(walk_id_arrays(state_of(self->sampler), request));
  if (!pair || !self->from_dlpack) return pair.release();
  PyRef ids(as_tensor(*self, tuple_item(pair.get(), 0)));
  if (!ids) return nullptr;
  PyRef offsets(as_tensor(*self, tuple_item(pair.get(), 1)));
  if (!offsets) return nullptr;
  return PyTuple_Pack(2, ids.get(), offsets.get());
}

PyObject* WalkBatches_subscript(PyObject* object, PyObject* key) {
  WalkBatchesObject* self = as_batches(object);
  if (PyIndex_Check(key)) {
    Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (index < 0) index += self->length;
    return WalkBatches_item(object, index);
  }
  if (!PySlice_Check(key)) {
    PyErr_Format(PyExc_TypeError, "WalkBatches indices must be integers or slices, not %.200s", TypeName(key).c_str());
    return nullptr;
  }
  Py_ssize_t start, stop, step;
  if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
  const Py_ssize_t length = PySlice_AdjustIndices(self->length, &start, &stop, step);
  // A view of a view: its k-th batch is this one's start + k * step.
  Py_ssize_t origin = self->origin + start * self->step;
  Py_ssize_t combined = self->step;
  if (length > 1 && __builtin_mul_overflow(self->step, step, &combined)) {
    PyErr_SetString(PyExc_OverflowError, "WalkBatches slice step too large");
    return nullptr;
  }
  if (length == 0) origin = 0;
  return new_view(*self, origin, length > 1 ? combined : 1, length);
}

PyObject* WalkBatches_repr(PyObject* object) {
  const WalkBatchesObject* self = as_batches(object);
  const BatchPlan& plan = *self->plan;
  const WalkRequest& all = plan.numbered.walk;
  if (self->length == plan.batch_count && self->step == 1) {
    return PyUnicode_FromFormat("<vantrel.WalkBatches: %zd batches of %llu walks, walk numbers range(%llu, %llu)>",
                                self->length, static_cast<unsigned long long>(plan.batch_size),
                                static_cast<unsigned long long>(all.first), static_cast<unsigned long long>(all.stop));
  }
  return PyUnicode_FromFormat("<vantrel.WalkBatches: %zd of %zd batches of %llu walks, walk numbers range(%llu, %llu)>",
                              self->length, plan.batch_count, static_cast<unsigned long long>(plan.batch_size),
                              static_cast<unsigned long long>(all.first), static_cast<unsigned long long>(all.stop));
}

// torch.from_dlpack and torch.int64 into `self`, for tensors=True; false
// with the exception set (ImportError saying how to install PyTorch where
// it is missing).
bool load_torch(WalkBatchesObject& self) {
  PyRef torch(import_optional("torch",
                              "tensors=True hands batches over as torch tensors, and PyTorch is not installed: pip "
                              "install torch (from a clone of vantrel: pip install '.[torch]')"));
  if (!torch) return false;
  self.from_dlpack = PyObject_GetAttrString(torch.get(), "from_dlpack");
  if (!self.from_dlpack) return false;
  self.int64 = PyObject_GetAttrString(torch.get(), "int64");
  return self.int64 != nullptr;
}

PyType_Slot WalkBatches_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(WalkBatches_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guarded<WalkBatches_repr>)},
    {Py_tp_doc,
     const_cast<char*>("Walks by number in batches, drawn when asked for (PathSampler.batches()): a read-only\n"
                       "sequence of (ids, offsets) pairs, as walk_ids() returns them, or of torch tensors.")},
    {Py_mp_length, reinterpret_cast<void*>(guarded<WalkBatches_length>)},
    {Py_mp_subscript, reinterpret_cast<void*>(guarded<WalkBatches_subscript>)},
    {Py_sq_length, reinterpret_cast<void*>(guarded<WalkBatches_length>)},
    // Iteration, in order.
    {Py_sq_item, reinterpret_cast<void*>(guarded<WalkBatches_item>)},
    {0, nullptr},
};

// Shown as vantrel.WalkBatches (its __module__), though the module lists no such attribute.
PyType_Spec WalkBatches_spec = {"vantrel.WalkBatches", sizeof(WalkBatchesObject), 0, Py_TPFLAGS_DEFAULT,
                                WalkBatches_slots};

}  // namespace

PyObject* PathSampler_batches(PyObject* sampler, PyObject* args, PyObject* kwargs) {
  parameters::Batches given;
  if (!given.parse(kBatchesName, args, kwargs)) return nullptr;
  auto plan = std::make_shared<BatchPlan>();
  SamplerState& state = state_of(sampler);
  if (!convert_numbered_request(given.first(), given.stop(), numbered_options(given), state.kg.node_count(),
                                plan->numbered) ||
      !check_walk_kind(state.kg, plan->numbered.walk) ||
      !convert_bounded(given.batch_size(), "batch_size", UINT64_MAX, plan->batch_size)) {
    return nullptr;
  }
  if (plan->numbered.walk.items == Items::kTimes) {
    PyErr_SetString(PyExc_ValueError,
                    "batches() gives ids: items='times' is for walk_ids(), walks() and write_walks()");
    return nullptr;
  }
  if (plan->batch_size == 0) {
    PyErr_SetString(PyExc_ValueError, "batch_size must be at least 1");
    return nullptr;
  }
  const std::uint64_t walks = plan->numbered.walk.count();
  const std::uint64_t batches = walks / plan->batch_size + (walks % plan->batch_size != 0);
  if (batches > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_Format(PyExc_OverflowError, "%llu walks in batches of %llu make more batches than a sequence can hold",
                 static_cast<unsigned long long>(walks), static_cast<unsigned long long>(plan->batch_size));
    return nullptr;
  }
  plan->batch_count = static_cast<Py_ssize_t>(batches);
  bool tensors = false;
  if (PyObject* asked = given.tensors()) {
    const int truth = PyObject_IsTrue(asked);
    if (truth < 0) return nullptr;
    tensors = truth != 0;
  }
  auto* self = PyObject_New(WalkBatchesObject, WalkBatchesType);
  if (!self) return nullptr;
  Py_INCREF(sampler);
  self->sampler = sampler;
  self->from_dlpack = nullptr;
  self->int64 = nullptr;
  new (&self->plan) std::shared_ptr<const BatchPlan>(std::move(plan));
  self->origin = 0;
  self->step = 1;
  self->length = static_cast<Py_ssize_t>(batches);
  PyRef owner(reinterpret_cast<PyObject*>(self));
  if (tensors && !load_torch(*self)) return nullptr;
  return owner.release();
}

PyTypeObject* WalkBatchesType = nullptr;

int ready_walk_batches_type() {
  if (WalkBatchesType) return 0;
  WalkBatchesType = make_type(WalkBatches_spec);
  return WalkBatchesType ? 0 : -1;
}

}  // namespace vantrel::py
