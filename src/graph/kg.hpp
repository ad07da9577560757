// The graph of a sampler (KG): the graph it walks, with the graph as read
// that a restricted graph was restricted from, the restriction, the bias
// of biased walks and the pattern of metapath walks; and the walk with
// whichever walker that calls for.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/interrupt.hpp"
#include "graph/biased_step.hpp"
#include "graph/graph.hpp"
#include "graph/metapath_step.hpp"
#include "graph/temporal_step.hpp"
#include "random/random.hpp"

namespace vantrel {

struct Restriction;

// The graph of a sampler, with the id width chosen at build time. A KG is
// shared, not copied: copies refer to the same arrays. Besides the graph it
// walks it knows the graph as read, which a restricted graph was restricted
// from (its source, with the restriction that gives it), and the weights of
// biased walks, where it has them.
class KG {
 public:
  using Narrow = BasicGraph<std::uint32_t>;  // where fits_32_bit_ids()
  using Wide = BasicGraph<std::uint64_t>;
  using Graphs = AnyGraph;

  KG() : graph_(std::make_shared<const Graphs>(Narrow{})) {}
  explicit KG(Narrow graph) : graph_(std::make_shared<const Graphs>(std::move(graph))) {}
  explicit KG(Wide graph) : graph_(std::make_shared<const Graphs>(std::move(graph))) {}
  // The sampler's graph of a plain graph as built: walked uniformly, its own source.
  KG(AnyGraph graph) : graph_(std::make_shared<const Graphs>(std::move(graph))) {}  // NOLINT: a graph is a KG

  // `graph`, restricted from `source` (a graph as read) by `restriction`.
  static KG restricted_from(KG graph, std::shared_ptr<const KG> source,
                            std::shared_ptr<const Restriction> restriction) {
    graph.source_ = std::move(source);
    graph.restriction_ = std::move(restriction);
    return graph;
  }
  // The same graph, walked with the weights of `bias` (null: uniformly).
  KG with_bias(std::shared_ptr<const Bias> bias) const {
    KG biased = *this;
    biased.bias_ = std::move(bias);
    return biased;
  }
  // The same graph, walked by the time rule and index of `temporal` (null:
  // regardless of time); its times become the graph's.
  KG with_temporal(std::shared_ptr<const Temporal> temporal) const {
    KG walked = *this;
    if (temporal) walked.times_ = temporal->shared_triple_times();
    walked.temporal_ = std::move(temporal);
    return walked;
  }
  // The same graph, knowing `times`, one per triple of the graph as read
  // (null: none), which its walks do not follow until with_temporal().
  KG with_times(std::shared_ptr<const TripleTimes> times) const {
    KG timed = *this;
    timed.times_ = std::move(times);
    return timed;
  }
  // The same graph, walked by `metapath` (null: every relation).
  KG with_metapath(std::shared_ptr<const Metapath> metapath) const {
    KG walked = *this;
    walked.metapath_ = std::move(metapath);
    return walked;
  }

  template <class Visit>
  decltype(auto) visit(Visit&& visit) const {
    return std::visit(std::forward<Visit>(visit), *graph_);
  }

  // The plain graph walked.
  const AnyGraph& graph() const { return *graph_; }
  // The graph with ids of type Id; it must be of that width.
  template <class Id>
  const BasicGraph<Id>& as() const {
    return std::get<BasicGraph<Id>>(*graph_);
  }

  // The graph as read: this one, or the one this was restricted from.
  const KG& source() const { return source_ ? *source_ : *this; }
  // The same, shared: for a graph as read, a copy of it without bias.
  std::shared_ptr<const KG> shared_source() const {
    if (source_) return source_;
    KG source = *this;
    source.bias_ = nullptr;
    source.metapath_ = nullptr;
    source.temporal_ = nullptr;
    return std::make_shared<const KG>(std::move(source));
  }
  // What keeps this graph's edges of its source's; null for a graph as read.
  const Restriction* restriction() const { return restriction_.get(); }
  const std::shared_ptr<const Restriction>& shared_restriction() const { return restriction_; }
  // The weights of biased walks; null for uniform walks.
  const Bias* bias() const { return bias_.get(); }
  // The pattern of metapath walks; null for walks over every relation.
  const Metapath* metapath() const { return metapath_.get(); }
  // The times and rule of time-respecting walks; null for walks regardless of time.
  const Temporal* temporal() const { return temporal_.get(); }
  // The time of each triple of the graph as read, where known (read with a
  // time column, given to from_ids or temporal()); null otherwise.
  const std::shared_ptr<const TripleTimes>& triple_times() const { return times_; }

  std::uint64_t node_count() const {
    return visit([](const auto& g) { return g.node_count(); });
  }
  std::uint64_t edge_count() const {
    return visit([](const auto& g) { return g.edge_count(); });
  }
  std::uint64_t token_count() const {
    return visit([](const auto& g) { return g.token_count(); });
  }
  PathPiece token_text(std::uint64_t token) const {
    return visit([&](const auto& g) { return g.token_text(token); });
  }
  const LabelList& node_labels() const {
    return visit([](const auto& g) -> const LabelList& { return g.node_labels(); });
  }
  const LabelList& relation_labels() const {
    return visit([](const auto& g) -> const LabelList& { return g.relation_labels(); });
  }

  std::uint64_t draw_start(StdRng& rng) const {
    return visit([&](const auto& g) { return g.draw_start(rng); });
  }
  bool may_lack_edges() const {
    return visit([](const auto& g) { return g.may_lack_edges(); });
  }
  // Whether a walk may end before its drawn length: at a node of a
  // restricted graph without edges, of a biased one without weight, or of
  // a metapath sampler without an edge of the step's relation, or of a
  // time sampler without a fact on the walk's side of its time.
  bool may_end_early() const {
    return may_lack_edges() || bias_ != nullptr || metapath_ != nullptr || temporal_ != nullptr;
  }

  // Walks `path_len` steps from node `start`, uniformly or by the bias, as
  // BasicGraph::walk does; returns the number of tokens written. `meter`
  // counts the work for its poll, across walks.
  template <class Token>
  std::uint64_t walk(std::uint64_t start, std::uint64_t path_len, StdRng& rng, Token* out, PollingMeter& meter) const;
  template <class Token>
  std::uint64_t walk(std::uint64_t start, std::uint64_t path_len, StdRng& rng, Token* out,
                     const InterruptPoll& poll = {}) const {
    PollingMeter meter(poll);
    return walk(start, path_len, rng, out, meter);
  }

  // A walk with a drawn start, as owned strings, each edge label followed by
  // `redge_suffix` when followed forward and by `ledge_suffix` when followed
  // backward.
  std::vector<std::string> sample_path(std::uint64_t path_len, StdRng& rng, std::string_view redge_suffix,
                                       std::string_view ledge_suffix) const;

 private:
  std::shared_ptr<const Graphs> graph_;
  std::shared_ptr<const KG> source_;
  std::shared_ptr<const Restriction> restriction_;
  std::shared_ptr<const Bias> bias_;
  std::shared_ptr<const Metapath> metapath_;
  std::shared_ptr<const Temporal> temporal_;
  std::shared_ptr<const TripleTimes> times_;
};

// Calls visit(walker) with the graph's walker: the BasicGraph itself, or a
// BiasedGraph, MetapathGraph or TemporalGraph over it (a sampler has one
// rule at most).
template <class Visit>
decltype(auto) visit_walker(const KG& kg, Visit&& visit) {
  const Bias* bias = kg.bias();
  const Metapath* metapath = kg.metapath();
  const Temporal* temporal = kg.temporal();
  return kg.visit([&](const auto& graph) {
    using Id = typename std::decay_t<decltype(graph)>::IdType;
    if (bias) return visit(BiasedGraph<Id>(graph, bias->arrays<Id>()));
    if (metapath) return visit(MetapathGraph<Id>(graph, *metapath));
    if (temporal) return visit(TemporalGraph<Id>(graph, *temporal));
    return visit(graph);
  });
}

}  // namespace vantrel
