// What a Turtle or TriG text is read under where it begins: the directives
// in force (base and prefixes), and whether it begins inside a statement or
// a TriG graph. The cutter keeps it from piece to piece; the parser reads
// each piece under it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vantrel {

struct TransparentStringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// Where a text begins inside a statement or a TriG graph: a piece cut
// inside a long statement (a hub's many predicates and objects) goes on
// from there. The subject and predicate are their terms as written (IRIs
// and labelled blank nodes only: a '[' or collection subject is never cut
// inside), read again under the same directives.
struct TurtleResume {
  bool in_graph = false;  // TriG: inside a graph's braces
  std::string subject;    // empty: at the start of a statement
  std::string predicate;  // non-empty: after a ',' of its object list; else after a ';'

  bool inside() const { return in_graph || !subject.empty(); }
};

// What the directives so far have said: the base IRI (empty: none) and the
// IRI of each prefix (its name without ':'); and where the text begins.
struct TurtleContext {
  std::string base;
  std::unordered_map<std::string, std::string, TransparentStringHash, std::equal_to<>> prefixes;
  TurtleResume resume;
};

}  // namespace vantrel
