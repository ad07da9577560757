#include "walk/routes.hpp"

#include <algorithm>

#include "graph/entry_triples.hpp"
#include "graph/layout.hpp"
#include "random/random.hpp"

namespace vantrel {

namespace {

// The same relation token followed the other way.
constexpr std::uint64_t reversed_token(std::uint64_t token, std::uint64_t node_count) {
  return node_count + ((token - node_count) ^ 1);
}

// Draws walks by number with `walker` into routes it keeps from walk to
// walk, so that a walk allocates nothing once the routes are as long as
// the longest so far.
template <class Walker>
class RouteDrawer {
 public:
  using Id = typename Walker::IdType;

  RouteDrawer(const Walker& walker, const WalkRules& rules, StartRule start, Items items, const WalkKind& kind,
              const InterruptPoll& poll)
      : walker_(walker),
        rules_(rules),
        start_(start),
        items_(items),
        kind_(kind),
        triples_(kind.edges ? kind.edges->template data<Id>() : nullptr),
        node_count_(walker.node_count()),
        rng_(StdRng::from_first_blocks(rules.key, 0, nullptr, 0)),
        meter_(poll) {}

  // Appends the items of walk `number` to `out`.
  template <class Token>
  void draw(std::uint64_t number, std::vector<Token>& out) {
    rng_.restart(number + 1, nullptr, 0);
    const std::uint64_t path_len = draw_path_len(rules_, rng_);
    const std::uint64_t focus =
        start_.kind == StartRule::Kind::kDrawn ? walker_.draw_start(rng_) : start_.fixed_node(number, node_count_);
    nodes_.assign(1, focus);
    steps_.clear();
    edges_.clear();
    std::uint64_t ahead = path_len;
    std::uint64_t back_steps = 0;
    auto at = walker_.begin_at(focus);
    if (kind_.focus == Focus::kMid) {
      // j steps back, j uniform in [0, L] (in [0, L) at L = 2^64 - 1, the
      // bound being below 2^64), then L - j ahead.
      const std::uint64_t back = path_len == 0 ? 0 : rng_.gen_range(0, path_len + (path_len < UINT64_MAX ? 1 : 0));
      std::uint64_t first_cell = 0;
      back_steps = walk_on(at, back, &first_cell);
      // Listed from the far end: the back route reversed, each of its steps
      // followed the other way.
      std::reverse(nodes_.begin(), nodes_.end());
      std::reverse(steps_.begin(), steps_.end());
      std::reverse(edges_.begin(), edges_.end());
      for (std::uint64_t& token : steps_) token = reversed_token(token, node_count_);
      if (back_steps > 0) at = walker_.turn_around(focus, first_cell);
      ahead = path_len - back;
    }
    walk_on(at, ahead, nullptr);
    list(back_steps, out);
  }

 private:
  // Takes up to `steps` steps from `at`, adding to the route; the cell of
  // the first step taken goes to `first_cell` if given. Returns the steps taken.
  std::uint64_t walk_on(typename Walker::Position& at, std::uint64_t steps, std::uint64_t* first_cell) {
    for (std::uint64_t k = 0; k < steps; ++k) {
      std::uint64_t cell = 0;
      const std::uint64_t from = nodes_.back();
      const std::uint64_t token = walker_.step_taking(at, rng_, cell);
      if (token == kDeadEnd) return k;
      if (k == 0 && first_cell) *first_cell = cell;
      steps_.push_back(token);
      nodes_.push_back(walker_.end_node(at));
      // The entry's number: its cell, less the headers of the nodes up to `from`'s.
      if (triples_) edges_.push_back(triples_[cell - 1 - from]);
      meter_.add(1 + walker_.take_work(at));
    }
    return steps;
  }

  // Appends the route's items, its focus being node `focus_index` of it.
  template <class Token>
  void list(std::uint64_t focus_index, std::vector<Token>& out) const {
    const std::span<const std::uint64_t> relabel = kind_.relabel;
    auto node_item = [&](std::size_t i) {
      const std::uint64_t node = nodes_[i];
      return static_cast<Token>(relabel.empty() || i == focus_index ? node : relabel[node]);
    };
    const std::size_t steps = steps_.size();
    switch (items_) {
      case Items::kPath:
        out.push_back(node_item(0));
        for (const std::uint64_t token : steps_) out.push_back(static_cast<Token>(token));
        out.push_back(node_item(steps));
        return;
      case Items::kFull:
        for (std::size_t i = 0; i < steps; ++i) {
          out.push_back(node_item(i));
          out.push_back(static_cast<Token>(steps_[i]));
        }
        out.push_back(node_item(steps));
        return;
      case Items::kNodes:
        for (std::size_t i = 0; i <= steps; ++i) out.push_back(node_item(i));
        return;
      case Items::kEdges:
        for (const std::uint64_t triple : edges_) out.push_back(static_cast<Token>(triple));
        return;
    }
  }

  const Walker& walker_;
  const WalkRules& rules_;
  const StartRule start_;
  const Items items_;
  const WalkKind& kind_;
  const Id* const triples_;
  const std::uint64_t node_count_;
  StdRng rng_;
  PollingMeter meter_;
  std::vector<std::uint64_t> nodes_;  // the route's nodes, from its first
  std::vector<std::uint64_t> steps_;  // its relation tokens
  std::vector<std::uint64_t> edges_;  // its triples, where they are listed
};

}  // namespace

template <class Token>
void draw_routes(const KG& kg, const WalkRules& rules, std::uint64_t first, std::uint64_t stop, StartRule start,
                 Items items, const WalkKind& kind, std::vector<Token>& tokens, std::vector<std::uint64_t>& ends,
                 const InterruptPoll& poll) {
  check_walkable(kg, stop - first);
  visit_walker(kg, [&](const auto& walker) {
    RouteDrawer drawer(walker, rules, start, items, kind, poll);
    for (std::uint64_t number = first; number < stop; ++number) {
      drawer.draw(number, tokens);
      ends.push_back(tokens.size());
    }
  });
}

template void draw_routes(const KG&, const WalkRules&, std::uint64_t, std::uint64_t, StartRule, Items, const WalkKind&,
                          std::vector<std::uint32_t>&, std::vector<std::uint64_t>&, const InterruptPoll&);
template void draw_routes(const KG&, const WalkRules&, std::uint64_t, std::uint64_t, StartRule, Items, const WalkKind&,
                          std::vector<std::uint64_t>&, std::vector<std::uint64_t>&, const InterruptPoll&);

}  // namespace vantrel
