// The record of one triple that the graph is built from: three owned texts.
#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// One (head, relation, tail) triple: three owned texts.
struct Triple {
  std::string head;
  std::string relation;
  std::string tail;

  Triple(std::string_view head_text, std::string_view relation_text, std::string_view tail_text)
      : head(head_text), relation(relation_text), tail(tail_text) {}
  friend bool operator==(const Triple&, const Triple&) = default;
};

}  // namespace vantrel
