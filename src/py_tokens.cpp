#include "py_tokens.hpp"

#include <cstring>
#include <new>
#include <optional>
#include <string_view>

namespace vantrel::py {

namespace {

constexpr std::string_view kForwardSuffix = "::-->";
constexpr std::string_view kBackwardSuffix = "::<--";

PyObject* piece_to_str(const PathPiece& piece, std::string& joined) {
  const std::string_view suffix = piece.suffix == Suffix::kForward    ? kForwardSuffix
                                  : piece.suffix == Suffix::kBackward ? kBackwardSuffix
                                                                      : std::string_view();
  if (piece.ascii) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(piece.label.size() + suffix.size()), 127);
    if (!text) return nullptr;
    Py_UCS1* bytes = PyUnicode_1BYTE_DATA(text);
    if (!piece.label.empty()) std::memcpy(bytes, piece.label.data(), piece.label.size());
    if (!suffix.empty()) std::memcpy(bytes + piece.label.size(), suffix.data(), suffix.size());
    return text;
  }
  std::string_view utf8 = piece.label;
  if (!suffix.empty()) {
    joined.assign(piece.label);
    joined.append(suffix);
    utf8 = joined;
  }
  return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
}

constexpr std::size_t kItemsPerSignalCheck = std::size_t{1} << 20;

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
    if (i % kItemsPerSignalCheck == kItemsPerSignalCheck - 1 && PyErr_CheckSignals() < 0) return nullptr;
    PyObject* text = token_to_str(kg, tokens[i], joined);
    if (!text) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
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

template <class Token>
PyObject* walks_to_lists(const KG& kg, const Token* tokens, std::span<const std::uint64_t> offsets) {
  const std::size_t count = offsets.size() - 1;
  const CollectorPaused paused;
  PyRef walks(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!walks) return nullptr;
  std::optional<TokenStrings> strings;
  try {
    strings.emplace(kg, offsets[count]);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  std::uint64_t items = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint64_t begin = offsets[k];
    const std::uint64_t end = offsets[k + 1];
    PyObject* walk = PyList_New(static_cast<Py_ssize_t>(end - begin));
    if (!walk) return nullptr;
    PyList_SET_ITEM(walks.get(), static_cast<Py_ssize_t>(k), walk);
    for (std::uint64_t i = begin; i < end; ++i) {
      if (++items % kItemsPerSignalCheck == 0 && PyErr_CheckSignals() < 0) return nullptr;
      PyObject* text = strings->get(tokens[i]);
      if (!text) return nullptr;
      PyList_SET_ITEM(walk, static_cast<Py_ssize_t>(i - begin), text);
    }
  }
  return walks.release();
}

template PyObject* walks_to_lists(const KG&, const std::uint32_t*, std::span<const std::uint64_t>);
template PyObject* walks_to_lists(const KG&, const std::uint64_t*, std::span<const std::uint64_t>);

// ---------------------------------------------------------------------------
// The Tokens sequence.

namespace {

struct TokensObject {
  PyObject_HEAD
  PyObject* owner;  // strong reference: keeps `kg` alive
  const KG* kg;
};

Py_ssize_t Tokens_length(PyObject* object) {
  const std::uint64_t count = reinterpret_cast<TokensObject*>(object)->kg->token_count();
  return static_cast<Py_ssize_t>(count);
}

// Negative indices are made positive by the interpreter before this is called.
PyObject* Tokens_item(PyObject* object, Py_ssize_t index) {
  const KG& kg = *reinterpret_cast<TokensObject*>(object)->kg;
  if (index < 0 || static_cast<std::uint64_t>(index) >= kg.token_count()) {
    PyErr_SetString(PyExc_IndexError, "token id out of range");
    return nullptr;
  }
  std::string joined;
  return token_to_str(kg, static_cast<std::uint64_t>(index), joined);
}

int Tokens_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<TokensObject*>(object)->owner);
  return 0;
}

void Tokens_dealloc(PyObject* object) {
  PyObject_GC_UnTrack(object);
  Py_CLEAR(reinterpret_cast<TokensObject*>(object)->owner);
  Py_TYPE(object)->tp_free(object);
}

PyObject* Tokens_repr(PyObject* object) {
  return PyUnicode_FromFormat("<vantrel tokens: %zd>", Tokens_length(object));
}

PySequenceMethods Tokens_as_sequence = {
    Tokens_length,  // sq_length
    nullptr,        // sq_concat
    nullptr,        // sq_repeat
    Tokens_item,    // sq_item
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject TokensType = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

int ready_tokens_type() {
  if (PyType_HasFeature(&TokensType, Py_TPFLAGS_READY)) return 0;
  TokensType.tp_name = "Tokens";
  TokensType.tp_basicsize = sizeof(TokensObject);
  TokensType.tp_dealloc = Tokens_dealloc;
  TokensType.tp_repr = Tokens_repr;
  TokensType.tp_as_sequence = &Tokens_as_sequence;
  TokensType.tp_traverse = Tokens_traverse;
  TokensType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  TokensType.tp_doc = "The tokens of a PathSampler's walks, by id: node labels, then each relation followed\n"
                      "forward (\"rel::-->\") and backward (\"rel::<--\"). Each str is made on demand.";
  return PyType_Ready(&TokensType);
}

PyObject* new_tokens(PyObject* owner, const KG* kg) {
  auto* object = PyObject_GC_New(TokensObject, &TokensType);
  if (!object) return nullptr;
  object->owner = new_ref(owner).release();
  object->kg = kg;
  PyObject_GC_Track(object);
  return reinterpret_cast<PyObject*>(object);
}

}  // namespace vantrel::py
