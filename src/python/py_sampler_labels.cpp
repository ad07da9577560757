#include "python/py_sampler_labels.hpp"
#include "python/py_sampler_state.hpp"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "graph/bias.hpp"
#include "graph/kg.hpp"
#include "graph/labels.hpp"
#include "graph/metapath.hpp"
#include "graph/sampler_restriction.hpp"
#include "graph/temporal.hpp"
#include "python/py_args.hpp"
#include "python/py_buffer.hpp"
#include "python/py_parameters.hpp"
#include "python/py_released.hpp"
#include "random/random.hpp"
#include "walk/walks.hpp"

namespace vantrel::py {

namespace {

// Looks the str `text` up in `index`: `id` is its label's id, or nothing.
// False with an exception set on failure.
bool find_label(const LabelIndex& index, PyObject* text, std::optional<std::uint64_t>& id) {
  std::optional<std::string_view> utf8;
  if (!label_text_of(text, utf8)) return false;
  id = utf8 ? index.find(*utf8) : std::nullopt;
  return true;
}

constexpr const char* kNodeIdsName = "PathSampler.node_ids()";

constexpr const char* kRestrictName = "PathSampler.restrict()";
constexpr Choice<Direction> kDirectionChoices[] = {
    {"both", Direction::kBoth}, {"forward", Direction::kForward}, {"backward", Direction::kBackward}};

// Sets `allowed[id]` to `value` for each relation named in `names` (an
// iterable of str); KeyError for a name that is no relation's.
bool mark_relations(PyObject* names, const char* argument, const LabelIndex& index, bool value,
                    std::vector<bool>& allowed) {
  if (PyUnicode_Check(names)) {
    PyErr_Format(PyExc_TypeError, "%s must be a collection of relation names, not a str", argument);
    return false;
  }
  const std::string message = std::string(argument) + " must be a collection of relation names";
  PyRef items(PySequence_Fast(names, message.c_str()));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < fast_size(items.get()); ++i) {
    PyObject* name = fast_item(items.get(), i);
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "%s[%zd] must be str, not %.200s", argument, i, TypeName(name).c_str());
      return false;
    }
    std::optional<std::uint64_t> id;
    if (!find_label(index, name, id)) return false;
    if (!id) {
      raise_unknown_label(name, index.labels());
      return false;
    }
    allowed[static_cast<std::size_t>(*id)] = value;
  }
  return true;
}

constexpr const char* kMetapathName = "PathSampler.metapath()";

// The step key of pattern[position], a relation token as text or as its id.
bool convert_step_key(PyObject* item, Py_ssize_t position, const KG& kg, const LabelIndex& relations, StepKey& key) {
  const std::uint64_t nodes = kg.node_count();
  const std::uint64_t relation_tokens = 2 * kg.relation_labels().size();
  if (PyUnicode_Check(item)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (!text) {
      // A lone surrogate: no token's text.
      PyErr_Clear();
      raise_unknown_token(item, {}, false, kg.relation_labels());
      return false;
    }
    std::string_view relation(text, static_cast<std::size_t>(size));
    const std::string_view forward = suffix_text(Suffix::kForward);
    const std::string_view backward = suffix_text(Suffix::kBackward);
    const bool is_forward = relation.ends_with(forward);
    const bool is_backward = relation.ends_with(backward);
    if (is_forward || is_backward) relation.remove_suffix(forward.size());
    const std::optional<std::uint64_t> id = is_forward || is_backward ? relations.find(relation) : std::nullopt;
    if (!id) {
      raise_unknown_token(item, relation, is_forward || is_backward, kg.relation_labels());
      return false;
    }
    key = 2 * *id + (is_backward ? 1 : 0);
    return true;
  }
  IntItem number;
  const int is_int = read_int_item(item, number);
  if (is_int < 0) return false;
  if (is_int == 0) {
    PyErr_Format(PyExc_TypeError, "pattern[%zd] must be a relation token, as str or int, not %.200s", position,
                 TypeName(item).c_str());
    return false;
  }
  const PyRef& index = number.index;
  const auto id = static_cast<std::uint64_t>(number.value);
  if (number.overflow || number.value < 0 || id < nodes || id - nodes >= relation_tokens) {
    if (relation_tokens == 0) {
      PyErr_Format(PyExc_ValueError, "pattern[%zd] = %R is not a relation token: the graph has no relations", position,
                   index.get());
    } else {
      PyErr_Format(PyExc_ValueError, "pattern[%zd] = %R is not a relation token: relation tokens run from %llu to %llu",
                   position, index.get(), static_cast<unsigned long long>(nodes),
                   static_cast<unsigned long long>(nodes + relation_tokens - 1));
    }
    return false;
  }
  key = id - nodes;
  return true;
}

// The step keys of `pattern`, a non-empty sequence of relation tokens.
bool convert_pattern(PyObject* pattern, const KG& kg, std::vector<StepKey>& keys) {
  if (PyUnicode_Check(pattern) || PyBytes_Check(pattern)) {
    PyErr_Format(PyExc_TypeError, "pattern must be a sequence of relation tokens, not %.200s",
                 TypeName(pattern).c_str());
    return false;
  }
  PyRef items(PySequence_Fast(pattern, "pattern must be a sequence of relation tokens"));
  if (!items) return false;
  const Py_ssize_t count = fast_size(items.get());
  if (count == 0) {
    PyErr_SetString(PyExc_ValueError, "pattern is empty: give at least one relation token");
    return false;
  }
  try {
    const LabelIndex relations(kg.relation_labels());
    keys.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!convert_step_key(fast_item(items.get(), i), i, kg, relations, keys[static_cast<std::size_t>(i)])) {
        return false;
      }
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

}  // namespace

PyObject* PathSampler_metapath(PyObject* object, PyObject* args, PyObject* kwargs) {
  parameters::Metapath given;
  if (!given.parse(kMetapathName, args, kwargs)) return nullptr;
  SamplerState& parent = state_of(object);
  if (parent.kg.bias()) {
    PyErr_SetString(PyExc_ValueError,
                    "metapath() of a biased sampler is not available: a metapath step is uniform among the edges "
                    "of its relation; call metapath() on the uniform sampler");
    return nullptr;
  }
  if (parent.kg.temporal()) {
    PyErr_SetString(PyExc_ValueError,
                    "metapath() of a temporal sampler is not available: a metapath step is uniform among the edges "
                    "of its relation, regardless of time");
    return nullptr;
  }
  std::vector<StepKey> pattern;
  if (!convert_pattern(given.pattern(), parent.kg, pattern)) return nullptr;
  PyRef owner = allocate_sampler(Py_TYPE(object));
  if (!owner) return nullptr;
  return fill_sampler(std::move(owner), [&](const InterruptPoll& poll) {
    KG walked = parent.kg.with_metapath(make_metapath(parent.kg, std::move(pattern), poll));
    // A stream 0 of its own, as a new sampler with the same seed starts it.
    return std::make_unique<SamplerState>(parent.rules, StdRng::from_first_blocks(parent.rules.key, 0, nullptr, 0),
                                          std::move(walked));
  });
}

PyObject* PathSampler_node_ids(PyObject* object, PyObject* args, PyObject* kwargs) {
  parameters::NodeIds given;
  if (!given.parse(kNodeIdsName, args, kwargs)) return nullptr;
  if (PyUnicode_Check(given.labels())) {
    PyErr_SetString(PyExc_TypeError, "labels must be a sequence of str, not a str");
    return nullptr;
  }
  PyRef labels(PySequence_Fast(given.labels(), "labels must be a sequence of str"));
  if (!labels) return nullptr;
  SamplerState& state = state_of(object);
  const LabelIndex* index = nullptr;
  // The first call indexes every label, with the interpreter lock released.
  if (!run_released([&](const InterruptPoll&) { index = &state.node_index(); })) return nullptr;
  const Py_ssize_t count = fast_size(labels.get());
  return with_token_type(state.kg, [&]<class Token>(Token) -> PyObject* {
    std::vector<Token> ids;
    try {
      ids.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* label = fast_item(labels.get(), i);
      if (!PyUnicode_Check(label)) {
        PyErr_Format(PyExc_TypeError, "labels[%zd] must be str, not %.200s", i, TypeName(label).c_str());
        return nullptr;
      }
      std::optional<std::uint64_t> id;
      if (!find_label(*index, label, id)) return nullptr;
      if (!id) {
        PyErr_SetObject(PyExc_KeyError, label);
        return nullptr;
      }
      ids[static_cast<std::size_t>(i)] = static_cast<Token>(*id);
    }
    return new_id_array(ArrayRegion<Token>::adopt(std::move(ids)));
  });
}

PyObject* PathSampler_restrict(PyObject* object, PyObject* args, PyObject* kwargs) {
  parameters::Restrict given;
  if (!given.parse(kRestrictName, args, kwargs)) return nullptr;
  SamplerState& parent = state_of(object);
  Restriction restriction;
  try {
    const LabelList& relation_labels = parent.kg.relation_labels();
    const LabelIndex index(relation_labels);
    const bool listed = given.relations() && given.relations() != Py_None;
    restriction.relations.assign(static_cast<std::size_t>(relation_labels.size()), !listed);
    if (listed && !mark_relations(given.relations(), "relations", index, true, restriction.relations)) return nullptr;
    if (given.exclude_relations() && given.exclude_relations() != Py_None &&
        !mark_relations(given.exclude_relations(), "exclude_relations", index, false, restriction.relations)) {
      return nullptr;
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (given.direction() && !convert_choice(given.direction(), "direction", kDirectionChoices, restriction.direction)) {
    return nullptr;
  }
  PyRef owner = allocate_sampler(Py_TYPE(object));
  if (!owner) return nullptr;
  return fill_sampler(std::move(owner), [&](const InterruptPoll& poll) {
    // The times of the graph as read stay, whatever the restriction keeps.
    KG restricted = restrict_graph(parent.kg, restriction, poll).with_times(parent.kg.triple_times());
    // A biased sampler's weights and p, q stay on the edges that remain.
    if (parent.kg.bias()) restricted = restricted.with_bias(restrict_bias(parent.kg, restricted, poll));
    // A metapath sampler's pattern stays, indexed over the edges that remain.
    if (const Metapath* metapath = parent.kg.metapath()) {
      restricted = restricted.with_metapath(make_metapath(restricted, metapath->pattern(), poll));
    }
    // A temporal sampler's times and rule stay, indexed over the edges that remain.
    if (const Temporal* temporal = parent.kg.temporal()) {
      restricted =
          restricted.with_temporal(make_temporal(restricted, temporal->rule(), temporal->shared_triple_times(), poll));
    }
    // A stream 0 of its own, as a new sampler with the same seed starts it.
    return std::make_unique<SamplerState>(parent.rules, StdRng::from_first_blocks(parent.rules.key, 0, nullptr, 0),
                                          std::move(restricted));
  });
}

}  // namespace vantrel::py
