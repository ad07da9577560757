// PathSampler: construction, the sampler's own stream (sample_path,
// sample_paths), walks by number (walk_ids, walks; batches in
// py_walk_batches.cpp), its attributes
// (data_size, node_count, tokens) and the type object with its method
// table. The other methods are beside it: node_ids and restrict in
// py_sampler_labels.cpp; biased and triple_ids in py_sampler_bias.cpp; save,
// load and write_walks in py_sampler_files.cpp; read, from_ids and
// from_arrow in py_sampler_inputs.cpp.
#include "python/py_sampler.hpp"
#include "python/py_sampler_bias.hpp"
#include "python/py_sampler_files.hpp"
#include "python/py_sampler_inputs.hpp"
#include "python/py_sampler_labels.hpp"
#include "python/py_sampler_state.hpp"
#include "python/py_sampler_temporal.hpp"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "core/parallel.hpp"
#include "graph/kg.hpp"
#include "python/py_args.hpp"
#include "python/py_buffer.hpp"
#include "python/py_docstrings.hpp"
#include "python/py_parameters.hpp"
#include "python/py_released.hpp"
#include "python/py_tokens.hpp"
#include "python/py_type.hpp"
#include "python/py_walk_batches.hpp"
#include "python/py_walk_request.hpp"
#include "random/random.hpp"
#include "read/byte_source.hpp"
#include "read/graph_reader.hpp"
#include "walk/stream_walks.hpp"
#include "walk/walks.hpp"

namespace vantrel::py {

std::unique_ptr<SamplerState> state_with(KG kg, const WalkArguments& arguments) {
  const Seed seed = seed_from_random_state(arguments.random_state);
  const Poisson poi = Poisson::from_mean(arguments.mean_path_len);
  const StdRng rng = StdRng::from_seed(seed);
  return std::make_unique<SamplerState>(WalkRules{poi, arguments.max_path_len, key_from_seed(seed), std::nullopt}, rng,
                                        std::move(kg));
}

PyRef allocate_sampler(PyTypeObject* type) {
  PyObject* object = allocator_of(type)(type, 0);
  if (object) new (&reinterpret_cast<PathSamplerObject*>(object)->state) std::unique_ptr<SamplerState>();
  return PyRef(object);
}

namespace {

// Refuses walks whose list could not fit in this machine's memory: each of
// its strings costs at least a list slot, a token and a str object, and
// some slack besides.
constexpr std::uint64_t kBytesPerWalkString = 80;

constexpr const char* kConstructorName = "PathSampler.__new__()";
constexpr const char* kSamplePathName = "PathSampler.sample_path()";
constexpr const char* kSamplePathsName = "PathSampler.sample_paths()";
constexpr const char* kWalkIdsName = "PathSampler.walk_ids()";
constexpr const char* kWalksName = "PathSampler.walks()";

PyObject* PathSampler_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyRef owner = allocate_sampler(type);  // released on every failure below
  if (!owner) return nullptr;

  parameters::Constructor given;
  if (!given.parse(kConstructorName, args, kwargs)) return nullptr;
  std::string data_path;
  WalkArguments walk;
  // A path of another type is refused with the fixed (empty) message; a
  // note says what would have worked.
  PyObject* const path = given.data_path();
  const bool other_path = !PyUnicode_Check(path) && (PyBytes_Check(path) || PyObject_HasAttrString(path, "__fspath__"));
  if (!convert_text(path, data_path)) {
    if (other_path)
      add_note("data_path must be a str: pass str(path), or use PathSampler.read(), which takes any path");
    return nullptr;
  }
  if (!convert_walk_arguments(given.mean_path_len(), given.max_path_len(), given.random_state(), walk)) return nullptr;

  return fill_sampler(
      std::move(owner),
      [&](const InterruptPoll& poll) {
        FileSource source(data_path, poll);
        return state_with(read_graph(source, {}, poll), walk);
      },
      &data_path);
}

void PathSampler_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<PathSamplerObject*>(object);
  self->state.~unique_ptr();
  free_instance(object);
}

PyObject* PathSampler_get_data_size(PyObject* object, void*) {
  return PyLong_FromUnsignedLongLong(state_of(object).kg.edge_count());
}

PyObject* PathSampler_get_node_count(PyObject* object, void*) {
  return PyLong_FromUnsignedLongLong(state_of(object).kg.node_count());
}

PyObject* PathSampler_get_tokens(PyObject* object, void*) { return new_tokens(object, &state_of(object).kg); }

PyObject* PathSampler_get_relations(PyObject* object, void*) { return new_relations(object, &state_of(object).kg); }

PyObject* PathSampler_get_relation_count(PyObject* object, void*) {
  const KG& kg = state_of(object).kg;
  return PyLong_FromUnsignedLongLong((kg.token_count() - kg.node_count()) / 2);
}

PyObject* PathSampler_sample_path(PyObject* object, PyObject* args, PyObject* kwargs) {
  if (tuple_size(args) != 0 || (kwargs && dict_size(kwargs) != 0)) {
    if (!parameters::SamplePath().parse(kSamplePathName, args, kwargs)) return nullptr;
  }
  SamplerState& state = state_of(object);
  constexpr std::size_t kKeptCapacity = std::size_t{1} << 16;
  // Taken out of the object: building the list may run Python code (a
  // collection's finalizers) that samples from this same object.
  std::vector<std::uint64_t> tokens = std::move(state.tokens);
  // A longer walk goes into memory of its own, left unwritten until the
  // walk reaches it: zeroing hundreds of megabytes first would delay an
  // interrupt, as no poll runs meanwhile.
  std::unique_ptr<std::uint64_t[]> long_walk;
  std::span<const std::uint64_t> walk;
  {
    StreamLockHeld lock(state.stream_lock);
    if (!lock.acquire(kSamplePathName)) return nullptr;
    try {
      const std::uint64_t path_len = draw_path_len(state.rules, state.rng);
      const std::uint64_t start = state.kg.draw_start(state.rng);
      ensure_fits_in_memory(path_len, kBytesPerWalkString);
      std::uint64_t* out;
      if (path_len + 2 <= kKeptCapacity) {
        tokens.resize(path_len + 2);
        out = tokens.data();
      } else {
        long_walk = std::make_unique_for_overwrite<std::uint64_t[]>(path_len + 2);
        out = long_walk.get();
      }
      walk = {out, state.kg.walk(start, path_len, state.rng, out, check_signals)};
    } catch (...) {
      raise_failure(std::current_exception());
      return nullptr;
    }
  }
  PyObject* list = tokens_to_new_strs(state.kg, walk);
  if (tokens.capacity() <= kKeptCapacity && state.tokens.capacity() == 0) state.tokens = std::move(tokens);
  return list;
}

PyObject* PathSampler_sample_paths(PyObject* object, PyObject* args, PyObject* kwargs) {
  parameters::SamplePaths given;
  if (!given.parse(kSamplePathsName, args, kwargs)) return nullptr;
  std::uint64_t count;
  if (!convert_bounded(given.count(), "count", PY_SSIZE_T_MAX, count)) return nullptr;
  SamplerState& state = state_of(object);
  // The stream stays locked until the lists are built, so that on any
  // failure it can go back to where it stood before the call.
  StreamLockHeld lock(state.stream_lock);
  if (!lock.acquire(kSamplePathsName)) return nullptr;
  const StdRng before = state.rng;
  // Tokens of the narrowest type that holds every token id.
  auto draw = [&]<class Token>(Token) -> PyObject* {
    WalkTokens<Token> walks;
    if (!run_released([&](const InterruptPoll& poll) {
          walks = draw_stream_walks<Token>(state.kg, state.rules, state.rng, count, kBytesPerWalkString, poll);
        })) {
      state.rng = before;
      return nullptr;
    }
    PyObject* lists = walks_to_lists(state.kg, walks.tokens.data(), walks.offsets.span());
    if (!lists) state.rng = before;
    return lists;
  };
  return with_token_type(state.kg, draw);
}

// Draws the requested walks with the lock released into tokens of the
// narrowest type that holds every token id, then hands them to
// `finish(WalkTokens<Token>&&)`.
template <class Finish>
PyObject* draw_numbered(SamplerState& state, WalkRequest& request, std::uint64_t bytes_per_token, Finish&& finish) {
  if (!check_walk_kind(state.kg, request)) return nullptr;
  auto draw = [&]<class Token>(Token) -> PyObject* {
    WalkTokens<Token> walks;
    if (!run_released([&](const InterruptPoll& poll) {
          state.attach_step_numbers(request, poll);
          walks = draw_numbered_walks<Token>(state.kg, state.rules, request, bytes_per_token, poll);
        })) {
      return nullptr;
    }
    return finish(std::move(walks));
  };
  return with_item_type(state.kg, request.items, draw);
}

// Parses the arguments of a walks-by-number method whose parameters are
// `Given` into `request`, for the sampler `object`; false with the
// exception set.
template <class Given>
bool parse_numbered(const char* fname, PyObject* object, PyObject* args, PyObject* kwargs, NumberedRequest& request) {
  Given given;
  return given.parse(fname, args, kwargs) &&
         convert_numbered_request(given.first(), given.stop(), numbered_options(given),
                                  state_of(object).kg.node_count(), request);
}

}  // namespace

PyObject* walk_id_arrays(SamplerState& state, WalkRequest& request) {
  const bool times = request.items == Items::kTimes;
  const bool integer_times = times && state.kg.temporal()->integer_times();
  return draw_numbered(state, request, 0, [times, integer_times](auto&& walks) -> PyObject* {
    PyRef ids;
    // Times are drawn as 64-bit items (with_item_type).
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(*walks.tokens.data())>, std::uint64_t>) {
      if (times) ids = PyRef(new_time_array(walks.tokens.data(), walks.tokens.size(), integer_times));
    }
    if (!times) ids = PyRef(new_id_array(std::move(walks.tokens)));
    if (!ids) return nullptr;
    PyRef offsets(new_id_array(std::move(walks.offsets)));
    if (!offsets) return nullptr;
    return PyTuple_Pack(2, ids.get(), offsets.get());
  });
}

namespace {

PyObject* PathSampler_walk_ids(PyObject* object, PyObject* args, PyObject* kwargs) {
  NumberedRequest request;
  if (!parse_numbered<parameters::WalkIds>(kWalkIdsName, object, args, kwargs, request)) return nullptr;
  return walk_id_arrays(state_of(object), request.walk);
}

PyObject* PathSampler_walks(PyObject* object, PyObject* args, PyObject* kwargs) {
  NumberedRequest request;
  if (!parse_numbered<parameters::Walks>(kWalksName, object, args, kwargs, request)) return nullptr;
  SamplerState& state = state_of(object);
  // Per token: a list slot, and the list objects' share.
  constexpr std::uint64_t kBytesPerListItem = 16;
  const Items items = request.walk.items;
  return draw_numbered(state, request.walk, kBytesPerListItem, [&state, items](auto&& walks) -> PyObject* {
    if (items == Items::kEdges) return walks_to_int_lists(walks.tokens.data(), walks.offsets.span());
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(*walks.tokens.data())>, std::uint64_t>) {
      if (items == Items::kTimes) {
        return walks_to_time_lists(walks.tokens.data(), walks.offsets.span(), state.kg.temporal()->integer_times());
      }
    }
    return walks_to_lists(state.kg, walks.tokens.data(), walks.offsets.span());
  });
}

// A method entry, through guarded so that no C++ exception escapes it.
#define VANTREL_METHOD(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<function>))

// The docstrings are the stub's (py_docstrings.hpp, made from vantrel.pyi at build
// time), but for sample_path and data_size, whose documentation has always been empty.
PyMethodDef PathSampler_methods[] = {
    {"sample_path", VANTREL_METHOD(PathSampler_sample_path), METH_VARARGS | METH_KEYWORDS, ""},
    {"sample_paths", VANTREL_METHOD(PathSampler_sample_paths), METH_VARARGS | METH_KEYWORDS, docstrings::sample_paths},
    {"walk_ids", VANTREL_METHOD(PathSampler_walk_ids), METH_VARARGS | METH_KEYWORDS, docstrings::walk_ids},
    {"walks", VANTREL_METHOD(PathSampler_walks), METH_VARARGS | METH_KEYWORDS, docstrings::walks},
    {"batches", VANTREL_METHOD(PathSampler_batches), METH_VARARGS | METH_KEYWORDS, docstrings::batches},
    {"metapath", VANTREL_METHOD(PathSampler_metapath), METH_VARARGS | METH_KEYWORDS, docstrings::metapath},
    {"node_ids", VANTREL_METHOD(PathSampler_node_ids), METH_VARARGS | METH_KEYWORDS, docstrings::node_ids},
    {"restrict", VANTREL_METHOD(PathSampler_restrict), METH_VARARGS | METH_KEYWORDS, docstrings::restrict},
    {"biased", VANTREL_METHOD(PathSampler_biased), METH_VARARGS | METH_KEYWORDS, docstrings::biased},
    {"temporal", VANTREL_METHOD(PathSampler_temporal), METH_VARARGS | METH_KEYWORDS, docstrings::temporal},
    {"triple_times", VANTREL_METHOD(PathSampler_triple_times), METH_VARARGS | METH_KEYWORDS, docstrings::triple_times},
    {"triple_ids", VANTREL_METHOD(PathSampler_triple_ids), METH_VARARGS | METH_KEYWORDS, docstrings::triple_ids},
    {"save", VANTREL_METHOD(PathSampler_save), METH_VARARGS | METH_KEYWORDS, docstrings::save},
    {"load", VANTREL_METHOD(PathSampler_load), METH_VARARGS | METH_KEYWORDS | METH_CLASS, docstrings::load},
    {"read", VANTREL_METHOD(PathSampler_read), METH_VARARGS | METH_KEYWORDS | METH_CLASS, docstrings::read},
    {"from_ids", VANTREL_METHOD(PathSampler_from_ids), METH_VARARGS | METH_KEYWORDS | METH_CLASS, docstrings::from_ids},
    {"from_arrow", VANTREL_METHOD(PathSampler_from_arrow), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     docstrings::from_arrow},
    {"write_walks", VANTREL_METHOD(PathSampler_write_walks), METH_VARARGS | METH_KEYWORDS, docstrings::write_walks},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef PathSampler_getset[] = {
    {"data_size", guarded<PathSampler_get_data_size>, nullptr, "", nullptr},
    {"node_count", guarded<PathSampler_get_node_count>, nullptr, docstrings::node_count, nullptr},
    {"tokens", guarded<PathSampler_get_tokens>, nullptr, docstrings::tokens, nullptr},
    {"relations", guarded<PathSampler_get_relations>, nullptr, docstrings::relations, nullptr},
    {"relation_count", guarded<PathSampler_get_relation_count>, nullptr, docstrings::relation_count, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot PathSampler_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(PathSampler_dealloc)},
    {Py_tp_methods, PathSampler_methods},
    {Py_tp_getset, PathSampler_getset},
    {Py_tp_new, reinterpret_cast<void*>(guarded<PathSampler_new>)},
    {0, nullptr},
};

// A static type's name has no module, which the interpreter reports as
// "builtins". A heap type takes its __module__ from its name, and would warn
// of a name without one: it is named as being of builtins.
#ifdef Py_LIMITED_API
constexpr const char* kPathSamplerName = "builtins.PathSampler";
#else
constexpr const char* kPathSamplerName = "PathSampler";
#endif
PyType_Spec PathSampler_spec = {kPathSamplerName, sizeof(PathSamplerObject), 0, Py_TPFLAGS_DEFAULT, PathSampler_slots};

}  // namespace

PyTypeObject* PathSamplerType = nullptr;

int ready_path_sampler_type() {
  if (ready_tokens_type() < 0 || ready_id_array_type() < 0 || ready_walk_batches_type() < 0) return -1;
  if (PathSamplerType) return 0;
  PathSamplerType = make_type(PathSampler_spec);
  return PathSamplerType ? 0 : -1;
}

}  // namespace vantrel::py
