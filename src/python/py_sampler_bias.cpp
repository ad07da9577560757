#include "python/py_sampler_bias.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "graph/bias.hpp"
#include "graph/source_triples.hpp"
#include "python/py_args.hpp"
#include "python/py_buffer.hpp"
#include "python/py_numbers.hpp"
#include "python/py_parameters.hpp"
#include "python/py_released.hpp"
#include "python/py_sampler_state.hpp"

namespace vantrel::py {

namespace {

// Refuses `value` for item `position` of `name` (its text, e.g. "[3]" or
// "['P31']"), which is no weight. Returns false with ValueError set.
bool refuse_weight(double value, const char* name, const std::string& position) {
  PyRef number(PyFloat_FromDouble(value));
  if (!number) return false;
  PyErr_Format(PyExc_ValueError, "%s%s = %R is not a weight: weights are finite numbers >= 0", name, position.c_str(),
               number.get());
  return false;
}

// Weights given as an object with the buffer protocol (numbers of any
// type, one dimension), one with __array__ (a torch tensor) or a sequence
// of numbers, `count` of them (`what` says what they are one per), copied
// into `out` as float64.
bool convert_weights(PyObject* weights, const char* name, std::uint64_t count, const char* what,
                     std::vector<double>& out) {
  NumberColumn column;
  if (!column.open(weights, name, count, what)) return false;
  out.resize(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    double value;
    if (!column.is_buffer()) {
      if (!number_of(column.item(i), name, at(i), value)) return false;
    } else if (column.holds_floats()) {
      value = stored_float(column.item_at(i), column.float_code(), column.swapped());
    } else {
      const StoredInteger stored = read_integer(column.item_at(i), column.integers());
      value = stored.negative ? static_cast<double>(static_cast<std::int64_t>(stored.bits))
                              : static_cast<double>(stored.bits);
    }
    if (!is_weight(value)) return refuse_weight(value, name, at(i));
    out[i] = value;
  }
  return true;
}

// Relation weights given as a mapping of relation name to number; the
// relations it leaves out weigh 1. KeyError for a name no relation has.
bool convert_relation_weights(PyObject* mapping, const LabelList& relations, std::vector<double>& out) {
  const int mapping_given = is_mapping(mapping);
  if (mapping_given < 0) return false;
  if (!mapping_given) {
    PyErr_Format(PyExc_TypeError, "relation_weights must be a mapping of relation name to number, not %.200s",
                 TypeName(mapping).c_str());
    return false;
  }
  PyRef items(PyMapping_Items(mapping));
  if (!items) return false;
  const LabelIndex index(relations);
  out.assign(relations.size(), 1.0);
  for (Py_ssize_t i = 0; i < list_size(items.get()); ++i) {
    PyObject* pair = list_item(items.get(), i);
    // What items() gives is the mapping's own code's: any object at all.
    if (!PyTuple_Check(pair) || tuple_size(pair) != 2) {
      PyErr_Format(PyExc_TypeError, "relation_weights.items() must give (name, weight) pairs, not %.200s",
                   PyTuple_Check(pair) ? "a tuple of another length" : TypeName(pair).c_str());
      return false;
    }
    PyObject* name = tuple_item(pair, 0);
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "relation_weights keys must be relation names (str), not %.200s",
                   TypeName(name).c_str());
      return false;
    }
    std::optional<std::string_view> text;
    if (!label_text_of(name, text)) return false;
    const std::optional<std::uint64_t> id = text ? index.find(*text) : std::nullopt;
    if (!id) {
      raise_unknown_label(name, relations);
      return false;
    }
    PyRef key(PyObject_Repr(name));
    if (!key) return false;
    const char* key_text = utf8_of(key.get());
    if (!key_text) return false;
    const std::string position = std::string("[").append(key_text).append("]");
    double value;
    if (!number_of(tuple_item(pair, 1), "relation_weights", position, value)) return false;
    if (!is_weight(value)) return refuse_weight(value, "relation_weights", position);
    out[static_cast<std::size_t>(*id)] = value;
  }
  return true;
}

// p or q: a number whose reciprocal is finite and above 0.
bool convert_return_parameter(PyObject* object, const char* name, double& out) {
  if (!number_of(object, name, std::string(), out)) return false;
  if (is_return_parameter(out)) return true;
  PyRef number(PyFloat_FromDouble(out));
  if (!number) return false;
  if (std::isfinite(out) && out > 0.0) {
    PyErr_Format(PyExc_ValueError, "%s = %R is too small: 1/%s must be finite (%s from about 5.6e-309 up)", name,
                 number.get(), name, name);
  } else {
    PyErr_Format(PyExc_ValueError, "%s must be a positive finite number, not %R", name, number.get());
  }
  return false;
}

constexpr const char* kBiasedName = "PathSampler.biased()";
constexpr const char* kTripleIdsName = "PathSampler.triple_ids()";

// The number of triples of the graph as read.
std::uint64_t source_triples(const KG& kg) { return kg.source().edge_count(); }

}  // namespace

PyObject* PathSampler_biased(PyObject* object, PyObject* args, PyObject* kwargs) {
  parameters::Biased given;
  if (!given.parse(kBiasedName, args, kwargs)) return nullptr;
  SamplerState& parent = state_of(object);
  const KG& kg = parent.kg;
  if (kg.metapath()) {
    PyErr_SetString(PyExc_ValueError,
                    "biased() of a metapath sampler is not available: a metapath step is uniform among the edges "
                    "of its relation");
    return nullptr;
  }
  if (kg.temporal()) {
    PyErr_SetString(PyExc_ValueError,
                    "biased() of a temporal sampler is not available: a time-respecting step draws by time, not "
                    "by weight");
    return nullptr;
  }
  // Whether a weight argument was given, and not as None.
  auto is_given = [](PyObject* argument) { return argument && argument != Py_None; };
  BiasInputs inputs;
  if (is_given(given.edge_weights())) {
    if (!knows_source_triples(kg)) {
      PyErr_Format(PyExc_ValueError, "edge_weights needs the graph as read, which this sampler does not know: %s",
                   kSourceTriplesUnknown);
      return nullptr;
    }
    if (!convert_weights(given.edge_weights(), "edge_weights", source_triples(kg), "triple of the graph as read",
                         inputs.edge_weights.emplace())) {
      return nullptr;
    }
  }
  if (is_given(given.relation_weights()) &&
      !convert_relation_weights(given.relation_weights(), kg.relation_labels(), inputs.relation_weights.emplace())) {
    return nullptr;
  }
  if (is_given(given.node_weights()) &&
      !convert_weights(given.node_weights(), "node_weights", kg.node_count(), "node", inputs.node_weights.emplace())) {
    return nullptr;
  }
  if ((given.p() && !convert_return_parameter(given.p(), "p", inputs.p)) ||
      (given.q() && !convert_return_parameter(given.q(), "q", inputs.q))) {
    return nullptr;
  }
  PyRef owner = allocate_sampler(Py_TYPE(object));
  if (!owner) return nullptr;
  return fill_sampler(std::move(owner), [&](const InterruptPoll& poll) {
    const KG uniform = kg.with_bias(nullptr);
    // A stream 0 of its own, as a new sampler with the same seed starts it.
    return std::make_unique<SamplerState>(parent.rules, StdRng::from_first_blocks(parent.rules.key, 0, nullptr, 0),
                                          uniform.with_bias(make_bias(uniform, inputs, poll)));
  });
}

PyObject* PathSampler_triple_ids(PyObject* object, PyObject* args, PyObject* kwargs) {
  if (!parameters::TripleIds().parse(kTripleIdsName, args, kwargs)) return nullptr;
  const KG& kg = state_of(object).kg;
  if (!knows_source_triples(kg)) {
    PyErr_Format(PyExc_ValueError, "this sampler does not know the graph as read: %s", kSourceTriplesUnknown);
    return nullptr;
  }
  const std::uint64_t triples = source_triples(kg);
  // 32-bit ids where every node and relation id fits them.
  const bool narrow = kg.node_count() <= UINT32_MAX && kg.relation_labels().size() <= UINT32_MAX;
  auto fill = [&]<class Id>(Id) -> PyObject* {
    ArrayRegion<Id> table;
    if (!run_released([&](const InterruptPoll& poll) {
          ensure_fits_in_memory(triples, 3 * sizeof(Id));
          table = ArrayRegion<Id>::allocate(3 * triples);
          source_triple_table(kg, table.mutable_data(), poll);
        })) {
      return nullptr;
    }
    return new_id_table(std::move(table), 3);
  };
  return narrow ? fill(std::uint32_t{}) : fill(std::uint64_t{});
}

}  // namespace vantrel::py
