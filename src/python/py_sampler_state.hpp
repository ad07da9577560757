// A PathSampler object: its layout, the state it owns, and how a new one is
// made and filled.
#pragma once

#include "python/py_errors.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/interrupt.hpp"
#include "graph/entry_triples.hpp"
#include "graph/kg.hpp"
#include "graph/labels.hpp"
#include "python/py_args.hpp"
#include "python/py_released.hpp"
#include "python/py_stream_lock.hpp"
#include "random/random.hpp"
#include "walk/walk_request.hpp"
#include "walk/walks.hpp"

namespace vantrel::py {

// Everything a PathSampler owns; no Python object among it.
struct SamplerState {
  SamplerState(WalkRules walk_rules, StdRng stream, KG graph) : rules(walk_rules), rng(stream), kg(std::move(graph)) {}

  WalkRules rules;
  StdRng rng;  // stream 0: the sampler's own
  KG kg;
  StreamLock stream_lock;
  std::vector<std::uint64_t> tokens;  // the last walk's tokens, kept to reuse their storage

  // Node label to id, built on first use (node_ids).
  const LabelIndex& node_index() {
    std::call_once(node_index_built_, [this] { node_index_ = std::make_unique<LabelIndex>(kg.node_labels()); });
    return *node_index_;
  }

  // The triple of each entry of the graph walked, built on first use
  // (walks that list edges); call with the interpreter lock released.
  const EntryTriples& entry_triples(const InterruptPoll& poll) {
    std::call_once(entry_triples_built_,
                   [&] { entry_triples_ = std::make_unique<EntryTriples>(vantrel::entry_triples(kg, poll)); });
    return *entry_triples_;
  }

  // Gives `request` what walks that list a number per step read: the triple
  // of each entry, and the times; call with the interpreter lock released.
  void attach_step_numbers(WalkRequest& request, const InterruptPoll& poll) {
    if (lists_steps(request.items)) request.kind.edges = &entry_triples(poll);
    if (request.items == Items::kTimes) request.kind.times = kg.temporal();
  }

 private:
  std::once_flag node_index_built_;
  std::unique_ptr<LabelIndex> node_index_;
  std::once_flag entry_triples_built_;
  std::unique_ptr<EntryTriples> entry_triples_;
};

struct PathSamplerObject {
  PyObject_HEAD
  std::unique_ptr<SamplerState> state;
};

inline SamplerState& state_of(PyObject* object) { return *reinterpret_cast<PathSamplerObject*>(object)->state; }

// The walks of `request` as walk_ids() returns them, drawn with the
// interpreter lock released: an (ids, offsets) tuple of IdArrays, or null
// with the exception set.
PyObject* walk_id_arrays(SamplerState& state, WalkRequest& request);

// The construction stages that follow getting the graph, in order: form the
// seed, make the Poisson distribution, make the generator.
std::unique_ptr<SamplerState> state_with(KG kg, const WalkArguments& arguments);

// A new PathSampler object of `type` with no state yet, or null with an
// exception set. Releasing it before it has state is safe.
PyRef allocate_sampler(PyTypeObject* type);

// Fills `owner` (from allocate_sampler) with the state that
// `make_state(poll)` makes with the interpreter lock released (the object is
// not visible yet, and no Python object is touched); returns it, or null
// with the exception set, naming `data_path` (as the argument `input_name`)
// or `filename` as run_released_with does. `hook` runs at each poll.
template <class MakeState, class Hook>
PyObject* fill_sampler_with(PyRef owner, MakeState&& make_state, Hook&& hook, const std::string* data_path,
                            PyObject* filename, const char* input_name = "data_path") {
  std::unique_ptr<SamplerState> state;
  if (!run_released_with([&](const InterruptPoll& poll) { state = make_state(poll); }, hook, data_path, filename,
                         input_name)) {
    return nullptr;
  }
  reinterpret_cast<PathSamplerObject*>(owner.get())->state = std::move(state);
  return owner.release();
}

// fill_sampler_with() with no hook.
template <class MakeState>
PyObject* fill_sampler(PyRef owner, MakeState&& make_state, const std::string* data_path = nullptr,
                       PyObject* filename = nullptr) {
  return fill_sampler_with(std::move(owner), std::forward<MakeState>(make_state), [] {}, data_path, filename);
}

}  // namespace vantrel::py
