// What a call for walks by number asks for (WalkRequest): which walks, where
// they start, what they list, their kind and their length; every drawing
// function and the corpus writer take it whole.
#pragma once

#include <cstdint>
#include <optional>

#include "walk/walk_rules.hpp"

namespace vantrel {

struct WalkRequest {
  std::uint64_t first = 0;  // walks first to stop - 1
  std::uint64_t stop = 0;
  StartRule start = StartRule::kDrawn;
  Items items = Items::kPath;
  WalkKind kind{};  // mid walks, repeats left out, relabelled nodes, the edges listed
  // length=: every walk this many steps (fewer only at a dead end), none drawn.
  std::optional<std::uint64_t> length{};
  // How many threads draw them; what the walks are never depends on it.
  unsigned threads = 1;

  std::uint64_t count() const { return stop - first; }

  // The same request for walks begin to end - 1.
  WalkRequest range(std::uint64_t begin, std::uint64_t end) const {
    WalkRequest part = *this;
    part.first = begin;
    part.stop = end;
    return part;
  }

  // A sampler's rules as this request asks for them: with length=, each
  // walk's number of steps fixed.
  WalkRules rules_of(const WalkRules& sampler) const {
    WalkRules asked = sampler;
    asked.fixed_steps = length;
    return asked;
  }
};

}  // namespace vantrel
