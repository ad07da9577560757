// Fuzz target for the core: bytes in, then the reader, the graph builder and
// a few walks, with the walk's parameters taken from the input's first bytes.
// Besides crashes and hangs it checks that the one-pass loader agrees with
// read_triples + from_triples, that 32- and 64-bit ids walk alike, and the
// shape of every walk.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../cpp/graph_support.hpp"
#include "core/utf8.hpp"
#include "graph/builder.hpp"
#include "graph/graph.hpp"
#include "random/random.hpp"
#include "read/tsv.hpp"

namespace {

using namespace vantrel;

constexpr std::size_t kHeader = 12;
constexpr double kMeans[] = {1e-17, 0.5, 1.0, 3.7, 11.999999999999998, 12.0, 20.0, 100.0, 1e6, 1e300};

void require(bool condition) {
  if (!condition) std::abort();
}

bool well_formed(const std::vector<std::string>& path, std::uint64_t path_len) {
  if (path.size() != path_len + 2) return false;
  for (std::size_t k = 1; k + 1 < path.size(); ++k) {
    if (!path[k].ends_with("::-->") && !path[k].ends_with("::<--")) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  std::uint64_t random_state;
  std::memcpy(&random_state, data, 8);
  const double mean = kMeans[data[8] % std::size(kMeans)];
  const std::uint64_t cap = data[9] % 64;
  const int walks = data[10] % 8 + 1;
  const std::string_view text(reinterpret_cast<const char*>(data + kHeader), size - kHeader);
  if (!is_valid_utf8(text)) return 0;  // the reader is only ever given UTF-8

  std::vector<Triple> triples;
  bool short_line = false;
  try {
    triples = read_triples(text, TripleOrder::HRT);
  } catch (const ShortLineError&) {
    short_line = true;
  }
  KG loaded;
  try {
    loaded = graph_of_text(text);
    require(!short_line);
  } catch (const ShortLineError&) {
    require(short_line);
    return 0;
  }
  require(loaded.edge_count() == triples.size());
  const KG narrow = from_triples(triples);
  const KG wide = from_triples(std::move(triples), IdWidth::k64);
  require(narrow.node_count() == loaded.node_count() && wide.node_count() == loaded.node_count());

  const Poisson poisson = Poisson::from_mean(mean);
  const Seed seed = seed_from_random_state(random_state);
  StdRng rngs[3] = {StdRng::from_seed(seed), StdRng::from_seed(seed), StdRng::from_seed(seed)};
  const KG* graphs[3] = {&loaded, &narrow, &wide};
  for (int w = 0; w < walks; ++w) {
    std::vector<std::string> paths[3];
    std::uint64_t path_len = 0;
    for (int g = 0; g < 3; ++g) {
      path_len = path_len_from_draw(poisson.sample(rngs[g]), cap);
      try {
        paths[g] = graphs[g]->sample_path(path_len, rngs[g], "::-->", "::<--");
      } catch (const EmptyRangeError&) {
        require(graphs[g]->node_count() == 0);
        return 0;
      }
    }
    require(paths[0] == paths[1] && paths[1] == paths[2]);
    require(well_formed(paths[0], path_len));
  }
  return 0;
}
