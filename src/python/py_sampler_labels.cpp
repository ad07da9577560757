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
#include "graph/restriction.hpp"
#include "python/py_args.hpp"
#include "python/py_buffer.hpp"
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

constexpr ParamDescription kNodeIdsParams[] = {{"labels", false, false}};
constexpr const char* kNodeIdsName = "PathSampler.node_ids()";

constexpr ParamDescription kRestrictParams[] = {
    {"relations", true, true},
    {"exclude_relations", true, true},
    {"direction", true, true},
};
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
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    PyObject* name = PySequence_Fast_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "%s[%zd] must be str, not %.200s", argument, i, Py_TYPE(name)->tp_name);
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

}  // namespace

PyObject* PathSampler_node_ids(PyObject* object, PyObject* args, PyObject* kwargs) {
  PyRef slots[std::size(kNodeIdsParams)];
  if (parse_fn_args(kNodeIdsName, kNodeIdsParams, args, kwargs, false, false, slots) < 0) return nullptr;
  if (PyUnicode_Check(slots[0].get())) {
    PyErr_SetString(PyExc_TypeError, "labels must be a sequence of str, not a str");
    return nullptr;
  }
  PyRef labels(PySequence_Fast(slots[0].get(), "labels must be a sequence of str"));
  if (!labels) return nullptr;
  SamplerState& state = state_of(object);
  const LabelIndex* index = nullptr;
  // The first call indexes every label, with the interpreter lock released.
  if (!run_released([&](const InterruptPoll&) { index = &state.node_index(); })) return nullptr;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(labels.get());
  return with_token_type(state.kg, [&]<class Token>(Token) -> PyObject* {
    std::vector<Token> ids;
    try {
      ids.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* label = PySequence_Fast_GET_ITEM(labels.get(), i);
      if (!PyUnicode_Check(label)) {
        PyErr_Format(PyExc_TypeError, "labels[%zd] must be str, not %.200s", i, Py_TYPE(label)->tp_name);
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
  PyRef slots[std::size(kRestrictParams)];
  if (parse_fn_args(kRestrictName, kRestrictParams, args, kwargs, false, false, slots) < 0) return nullptr;
  SamplerState& parent = state_of(object);
  Restriction restriction;
  try {
    const LabelList& relation_labels = parent.kg.relation_labels();
    const LabelIndex index(relation_labels);
    const bool listed = slots[0] && slots[0].get() != Py_None;
    restriction.relations.assign(static_cast<std::size_t>(relation_labels.size()), !listed);
    if (listed && !mark_relations(slots[0].get(), "relations", index, true, restriction.relations)) return nullptr;
    if (slots[1] && slots[1].get() != Py_None &&
        !mark_relations(slots[1].get(), "exclude_relations", index, false, restriction.relations)) {
      return nullptr;
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (slots[2] && !convert_choice(slots[2].get(), "direction", kDirectionChoices, restriction.direction)) {
    return nullptr;
  }
  PyRef owner = allocate_sampler(Py_TYPE(object));
  if (!owner) return nullptr;
  return fill_sampler(std::move(owner), [&](const InterruptPoll& poll) {
    KG restricted = restrict_graph(parent.kg, restriction, poll);
    // A biased sampler's weights and p, q stay on the edges that remain.
    if (parent.kg.bias()) restricted = restricted.with_bias(restrict_bias(parent.kg, restricted, poll));
    // A stream 0 of its own, as a new sampler with the same seed starts it.
    return std::make_unique<SamplerState>(parent.rules, StdRng::from_first_blocks(parent.rules.key, 0, nullptr, 0),
                                          std::move(restricted));
  });
}

}  // namespace vantrel::py
