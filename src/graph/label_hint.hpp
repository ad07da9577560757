// What to tell a user whose relation name is no relation of the graph: the
// closest names it has (a typo), or that its relations are IRIs and the name
// is not one (a prefixed or bare name given for an RDF graph's predicates).
#pragma once

#include <string>
#include <string_view>

#include "graph/labels.hpp"

namespace vantrel {

// A hint for `name`, which is none of `labels`: "did you mean 'x'?" (or
// "'x', 'y' or 'z'"), naming the labels at the least edit distance when
// that is at most a third of the name's length (and at least 1); else, if
// every label is an IRI (holds "://") and `name` is not, a sentence saying
// so; else empty.
std::string unknown_label_hint(std::string_view name, const LabelList& labels);

// The Levenshtein distance between `a` and `b`, in bytes; stops counting at
// `limit` + 1 (any larger distance is returned as `limit` + 1).
std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t limit);

}  // namespace vantrel
