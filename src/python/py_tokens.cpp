#include "python/py_tokens.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>

#include "core/interrupt.hpp"
#include "python/py_args.hpp"
#include "python/py_sequence.hpp"
#include "python/py_type.hpp"

namespace vantrel::py {

namespace {

PyObject* piece_to_str(const PathPiece& piece, std::string& joined) {
  const std::string_view suffix = suffix_text(piece.suffix);
#ifndef Py_LIMITED_API
  // An ASCII text is copied straight into the str: nothing to check or decode.
  if (piece.ascii) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(piece.label.size() + suffix.size()), 127);
    if (!text) return nullptr;
    Py_UCS1* bytes = PyUnicode_1BYTE_DATA(text);
    if (!piece.label.empty()) std::memcpy(bytes, piece.label.data(), piece.label.size());
    if (!suffix.empty()) std::memcpy(bytes + piece.label.size(), suffix.data(), suffix.size());
    return text;
  }
#endif
  std::string_view utf8 = piece.label;
  if (!suffix.empty()) {
    joined.clear();
    piece.append_text(joined);
    utf8 = joined;
  }
#ifdef Py_LIMITED_API
  // The stable ABI writes no str's bytes in place: an ASCII text is decoded
  // as such, the interpreter's fastest decoding.
  if (piece.ascii) return PyUnicode_DecodeASCII(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
#endif
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
}

}  // namespace

PyObject* token_to_str(const KG& kg, std::uint64_t token, std::string& joined) {
  try {
    return piece_to_str(kg.token_text(token), joined);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* tokens_to_new_strs(const KG& kg, std::span<const std::uint64_t> tokens) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(tokens.size())));
  if (!list) return nullptr;
  std::string joined;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (i % kItemsPerPoll == kItemsPerPoll - 1 && PyErr_CheckSignals() < 0) return nullptr;
    PyObject* text = token_to_str(kg, tokens[i], joined);
    if (!text) return nullptr;
    list_set(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

TokenStrings::TokenStrings(const KG& kg, std::uint64_t expected_items)
    : kg_(kg), node_count_(kg.node_count()), cache_nodes_(node_count_ <= expected_items) {
  cached_.assign(static_cast<std::size_t>(kg.token_count() - (cache_nodes_ ? 0 : node_count_)), nullptr);
}

TokenStrings::~TokenStrings() {
  for (PyObject* text : cached_) Py_XDECREF(text);
}

PyObject* TokenStrings::get(std::uint64_t token) {
  if (token < node_count_ && !cache_nodes_) return token_to_str(kg_, token, joined_);
  PyObject*& slot = cached_[cache_nodes_ ? token : token - node_count_];
  if (!slot) {
    slot = token_to_str(kg_, token, joined_);
    if (!slot) return nullptr;
  }
  Py_INCREF(slot);
  return slot;
}

namespace {

// Pauses the cyclic garbage collector for its lifetime. Building a million
// lists would otherwise run a collection every few hundred of them, each
// scanning the lists made so far; lists of str cannot form cycles, and they
// stay tracked, so nothing escapes later collections.
class CollectorPaused {
 public:
#if PY_VERSION_HEX >= 0x030A0000
  CollectorPaused() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPaused() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
#endif
};

}  // namespace

namespace {

// A list of lists: list k holds item_of(items[i]) (a new reference, or null
// with the exception set) for i from offsets[k] to offsets[k + 1] - 1.
// Signals are checked every kItemsPerPoll items. Null with the exception
// set on failure.
template <class Token, class ItemOf>
PyObject* nested_lists(const Token* items, std::span<const std::uint64_t> offsets, ItemOf&& item_of) {
  const std::size_t count = offsets.size() - 1;
  const CollectorPaused paused;
  PyRef lists(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!lists) return nullptr;
  std::uint64_t made = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint64_t begin = offsets[k];
    const std::uint64_t end = offsets[k + 1];
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(end - begin));
    if (!list) return nullptr;
    list_set(lists.get(), static_cast<Py_ssize_t>(k), list);
    for (std::uint64_t i = begin; i < end; ++i) {
      if (++made % kItemsPerPoll == 0 && PyErr_CheckSignals() < 0) return nullptr;
      PyObject* item = item_of(items[i]);
      if (!item) return nullptr;
      list_set(list, static_cast<Py_ssize_t>(i - begin), item);
    }
  }
  return lists.release();
}

}  // namespace

template <class Token>
PyObject* walks_to_lists(const KG& kg, const Token* tokens, std::span<const std::uint64_t> offsets) {
  std::optional<TokenStrings> strings;
  try {
    strings.emplace(kg, offsets.back());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return nested_lists(tokens, offsets, [&](Token token) { return strings->get(token); });
}

template PyObject* walks_to_lists(const KG&, const std::uint32_t*, std::span<const std::uint64_t>);
template PyObject* walks_to_lists(const KG&, const std::uint64_t*, std::span<const std::uint64_t>);

template <class Token>
PyObject* walks_to_int_lists(const Token* numbers, std::span<const std::uint64_t> offsets) {
  return nested_lists(numbers, offsets, [](Token number) { return PyLong_FromUnsignedLongLong(number); });
}

PyObject* walks_to_time_lists(const std::uint64_t* bits, std::span<const std::uint64_t> offsets, bool integers) {
  if (integers) {
    return nested_lists(bits, offsets,
                        [](std::uint64_t time) { return PyLong_FromLongLong(std::bit_cast<std::int64_t>(time)); });
  }
  return nested_lists(bits, offsets,
                      [](std::uint64_t time) { return PyFloat_FromDouble(std::bit_cast<double>(time)); });
}

template PyObject* walks_to_int_lists(const std::uint32_t*, std::span<const std::uint64_t>);
template PyObject* walks_to_int_lists(const std::uint64_t*, std::span<const std::uint64_t>);

// ---------------------------------------------------------------------------
// The Tokens sequence.

namespace {

struct TokensObject {
  PyObject_HEAD
  PyObject* owner;  // strong reference: keeps `kg` alive
  const KG* kg;
  bool relations;  // the relation labels by relation id, rather than the tokens
};

const TokensObject& tokens_of(PyObject* object) { return *reinterpret_cast<const TokensObject*>(object); }

const char* kind_of(const TokensObject& tokens) { return tokens.relations ? "relation" : "token"; }

std::uint64_t length_of(const TokensObject& tokens) {
  const KG& kg = *tokens.kg;
  return tokens.relations ? (kg.token_count() - kg.node_count()) / 2 : kg.token_count();
}

// Item `index`'s text: a token's, or relation `index`'s label (the text of
// its forward token without the suffix).
PathPiece text_of(const TokensObject& tokens, std::uint64_t index) {
  if (!tokens.relations) return tokens.kg->token_text(index);
  PathPiece piece = tokens.kg->token_text(tokens.kg->node_count() + 2 * index);
  piece.suffix = Suffix::kNone;
  return piece;
}

PyObject* str_of(const TokensObject& tokens, std::uint64_t index, std::string& joined) {
  if (!tokens.relations) return token_to_str(*tokens.kg, index, joined);
  const std::string_view label = text_of(tokens, index).label;
  return PyUnicode_DecodeUTF8(label.data(), static_cast<Py_ssize_t>(label.size()), "strict");
}

Py_ssize_t Tokens_length(PyObject* object) { return static_cast<Py_ssize_t>(length_of(tokens_of(object))); }

// Negative indices are made positive by the interpreter before this is called.
PyObject* Tokens_item(PyObject* object, Py_ssize_t index) {
  const TokensObject& tokens = tokens_of(object);
  if (index < 0 || static_cast<std::uint64_t>(index) >= length_of(tokens)) {
    PyErr_Format(PyExc_IndexError, "%s id out of range", kind_of(tokens));
    return nullptr;
  }
  std::string joined;
  return str_of(tokens, static_cast<std::uint64_t>(index), joined);
}

// The `count` items from `start` on, in steps of `step`, as a list of str.
PyObject* Tokens_slice(const TokensObject& tokens, Py_ssize_t start, Py_ssize_t step, Py_ssize_t count) {
  PyRef list(PyList_New(count));
  if (!list) return nullptr;
  std::string joined;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* text = str_of(tokens, static_cast<std::uint64_t>(start + i * step), joined);
    if (!text) return nullptr;
    list_set(list.get(), i, text);
  }
  return list.release();
}

// tokens[i] with a negative i counting from the end, or tokens[a:b:c] as a list.
PyObject* Tokens_subscript(PyObject* object, PyObject* key) {
  const TokensObject& tokens = tokens_of(object);
  const Py_ssize_t length = static_cast<Py_ssize_t>(length_of(tokens));
  if (PySlice_Check(key)) {
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
    const Py_ssize_t count = PySlice_AdjustIndices(length, &start, &stop, step);
    return Tokens_slice(tokens, start, step, count);
  }
  if (!PyIndex_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s ids must be integers or slices, not %.200s", kind_of(tokens),
                 TypeName(key).c_str());
    return nullptr;
  }
  Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
  if (index == -1 && PyErr_Occurred()) return nullptr;
  if (index < 0) index += length;
  return Tokens_item(object, index);
}

// The first id in [lo, hi) whose text is `value`, or -1 (also for a value
// that is not a str). Texts are compared as UTF-8, with no str made for
// them. -2 with an exception set on failure.
Py_ssize_t find_token(const TokensObject& tokens, PyObject* value, Py_ssize_t lo, Py_ssize_t hi) {
  if (!PyUnicode_Check(value)) return -1;
  std::optional<std::string_view> utf8;
  if (!label_text_of(value, utf8)) return -2;
  if (!utf8) return -1;
  const std::string_view text = *utf8;
  for (Py_ssize_t index = lo; index < hi; ++index) {
    const PathPiece piece = text_of(tokens, static_cast<std::uint64_t>(index));
    const std::string_view suffix = suffix_text(piece.suffix);
    if (text.size() == piece.label.size() + suffix.size() && text.starts_with(piece.label) && text.ends_with(suffix)) {
      return index;
    }
  }
  return -1;
}

int Tokens_contains(PyObject* object, PyObject* value) {
  const TokensObject& tokens = tokens_of(object);
  const Py_ssize_t found = find_token(tokens, value, 0, static_cast<Py_ssize_t>(length_of(tokens)));
  return found == -2 ? -1 : found >= 0;
}

// index(value, start=0, stop=len): as list.index, bounds adjusted as slices are.
PyObject* Tokens_index(PyObject* object, PyObject* const* args, Py_ssize_t nargs) {
  const TokensObject& tokens = tokens_of(object);
  const Py_ssize_t length = static_cast<Py_ssize_t>(length_of(tokens));
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "index expected 1 to 3 arguments, got %zd", nargs);
    return nullptr;
  }
  Py_ssize_t bounds[2] = {0, length};
  for (Py_ssize_t i = 1; i < nargs; ++i) {
    // An int, clamped as slice bounds are when it does not fit.
    bounds[i - 1] = PyNumber_AsSsize_t(args[i], nullptr);
    if (bounds[i - 1] == -1 && PyErr_Occurred()) return nullptr;
    if (bounds[i - 1] < 0) bounds[i - 1] = std::max<Py_ssize_t>(bounds[i - 1] + length, 0);
    bounds[i - 1] = std::min(bounds[i - 1], length);
  }
  const Py_ssize_t found = find_token(tokens, args[0], bounds[0], bounds[1]);
  if (found == -2) return nullptr;
  if (found < 0) {
    PyErr_Format(PyExc_ValueError, "%R is not in %ss", args[0], kind_of(tokens));
    return nullptr;
  }
  return PyLong_FromSsize_t(found);
}

PyObject* Tokens_count(PyObject* object, PyObject* value) {
  const TokensObject& tokens = tokens_of(object);
  const Py_ssize_t length = static_cast<Py_ssize_t>(length_of(tokens));
  Py_ssize_t count = 0;
  for (Py_ssize_t found = find_token(tokens, value, 0, length); found != -1;
       found = find_token(tokens, value, found + 1, length)) {
    if (found == -2) return nullptr;
    ++count;
  }
  return PyLong_FromSsize_t(count);
}

PyMethodDef Tokens_methods[] = {
    {"index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<Tokens_index>)), METH_FASTCALL,
     "index($self, value, start=0, stop=sys.maxsize, /)\n--\n\nThe first id whose text is `value`."},
    {"count", guarded<Tokens_count>, METH_O, "count($self, value, /)\n--\n\nHow many ids have the text `value`."},
    {nullptr, nullptr, 0, nullptr},
};

int Tokens_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<TokensObject*>(object)->owner);
  return visit_type_of(object, visit, arg);
}

void Tokens_dealloc(PyObject* object) {
  PyObject_GC_UnTrack(object);
  Py_CLEAR(reinterpret_cast<TokensObject*>(object)->owner);
  free_instance(object);
}

PyObject* Tokens_repr(PyObject* object) {
  return PyUnicode_FromFormat("<vantrel %ss: %zd>", kind_of(tokens_of(object)), Tokens_length(object));
}

// Makes one of the two sequence types, which differ in name and doc only.
PyTypeObject* make_sequence_type(const char* name, const char* doc) {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(Tokens_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(guarded<Tokens_repr>)},
      {Py_tp_methods, Tokens_methods},
      {Py_tp_traverse, reinterpret_cast<void*>(Tokens_traverse)},
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_sq_length, reinterpret_cast<void*>(guarded<Tokens_length>)},
      {Py_sq_item, reinterpret_cast<void*>(guarded<Tokens_item>)},
      {Py_sq_contains, reinterpret_cast<void*>(guarded<Tokens_contains>)},
      {Py_mp_length, reinterpret_cast<void*>(guarded<Tokens_length>)},
      {Py_mp_subscript, reinterpret_cast<void*>(guarded<Tokens_subscript>)},
      {0, nullptr},
  };
  PyType_Spec description = {name, sizeof(TokensObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
  PyTypeObject* type = make_type(description);
  if (!type || register_as_sequence(type) < 0) return nullptr;
  return type;
}

PyObject* new_sequence(PyTypeObject* type, PyObject* owner, const KG* kg, bool relations) {
  auto* object = PyObject_GC_New(TokensObject, type);
  if (!object) return nullptr;
  object->owner = new_ref(owner).release();
  object->kg = kg;
  object->relations = relations;
  PyObject_GC_Track(object);
  return reinterpret_cast<PyObject*>(object);
}

}  // namespace

PyTypeObject* TokensType = nullptr;
PyTypeObject* RelationsType = nullptr;

int ready_tokens_type() {
  if (TokensType) return 0;
  TokensType =
      make_sequence_type("vantrel.Tokens",
                         "The tokens of a PathSampler's walks, by id: node labels, then each relation followed\n"
                         "forward (\"rel::-->\") and backward (\"rel::<--\"). Each str is made on demand.");
  if (!TokensType) return -1;
  RelationsType = make_sequence_type("vantrel.Relations",
                                     "A PathSampler's relation labels, by relation id: relation r's tokens are\n"
                                     "node_count + 2 * r (forward) and the one after it (backward).");
  return RelationsType ? 0 : -1;
}

PyObject* new_tokens(PyObject* owner, const KG* kg) { return new_sequence(TokensType, owner, kg, false); }

PyObject* new_relations(PyObject* owner, const KG* kg) { return new_sequence(RelationsType, owner, kg, true); }

}  // namespace vantrel::py
