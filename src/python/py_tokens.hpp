// Tokens as Python str: one token's text, walks as lists of str (new
// objects each, or shared where a token repeats), and the read-only
// sequence that maps token ids to their text.
#pragma once

#include "python/py_errors.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "graph/kg.hpp"

namespace vantrel::py {

// A new str holding the token's text: the label, with "::-->" or "::<--"
// after a relation. `joined` is scratch space kept across calls.
PyObject* token_to_str(const KG& kg, std::uint64_t token, std::string& joined);

// A list of new str objects, one per token.
PyObject* tokens_to_new_strs(const KG& kg, std::span<const std::uint64_t> tokens);

// Hands out str objects for tokens, making each at most once: relation
// tokens always, node tokens when the caller expects at least as many
// items as there are nodes (otherwise each node item is a new str, so that
// a few walks over a huge graph do not pay for a table of its size).
class TokenStrings {
 public:
  TokenStrings(const KG& kg, std::uint64_t expected_items);
  TokenStrings(const TokenStrings&) = delete;
  TokenStrings& operator=(const TokenStrings&) = delete;
  ~TokenStrings();

  // A new reference to the str of `token`, or null with an exception set.
  PyObject* get(std::uint64_t token);

 private:
  const KG& kg_;
  std::uint64_t node_count_;
  bool cache_nodes_;
  std::vector<PyObject*> cached_;  // strong references; nodes (if cached) then relation tokens
  std::string joined_;
};

// The list of walks `k` in [0, offsets.size() - 1): walk k holds the str of
// tokens[offsets[k] .. offsets[k + 1]), repeated tokens sharing one str.
// Checks for signals every 2^20 items. Null with an exception set on failure.
template <class Token>
PyObject* walks_to_lists(const KG& kg, const Token* tokens, std::span<const std::uint64_t> offsets);

// The list of walks of numbers (triples): walk k holds the int of each of
// numbers[offsets[k] .. offsets[k + 1]).
template <class Token>
PyObject* walks_to_int_lists(const Token* numbers, std::span<const std::uint64_t> offsets);
// The same for times, given as their bits: lists of int (int64 times) or float.
PyObject* walks_to_time_lists(const std::uint64_t* bits, std::span<const std::uint64_t> offsets, bool integers);

// The type of PathSampler.tokens: a read-only sequence of str, token id to
// text, made on demand.
extern PyTypeObject* TokensType;

// The type of PathSampler.relations: the relation labels by relation id,
// the same kind of sequence.
extern PyTypeObject* RelationsType;

// A new Tokens sequence over `kg`, which `owner` keeps alive.
PyObject* new_tokens(PyObject* owner, const KG* kg);

// A new Relations sequence over `kg`, which `owner` keeps alive.
PyObject* new_relations(PyObject* owner, const KG* kg);

// Makes TokensType and RelationsType; done once per process. -1 with an
// exception set on failure.
int ready_tokens_type();

}  // namespace vantrel::py
