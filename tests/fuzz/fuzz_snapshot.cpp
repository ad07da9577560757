// Fuzz target for snapshot validation: bytes in as a snapshot file, with the
// checksum made right first so that mutations reach the checks behind it.
// Besides crashes and hangs it checks that a snapshot that passes is safe to
// walk: every walk's tokens are in range, and a re-saved copy loads alike.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/errors.hpp"
#include "snapshot/format.hpp"
#include "snapshot/reader.hpp"
#include "walk/walks.hpp"

namespace {

using namespace vantrel;

constexpr std::size_t kHeaderSize = 128;
constexpr std::size_t kChecksumOffset = 72;

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Mapped files are page-aligned; an aligned copy stands in for one.
  auto words = std::make_shared<std::vector<std::uint64_t>>(size / 8 + 1);
  auto* bytes = reinterpret_cast<char*>(words->data());
  std::memcpy(bytes, data, size);
  if (size >= kHeaderSize) {
    const std::uint64_t checksum = snapshot_checksum(std::string_view(bytes + kHeaderSize, size - kHeaderSize));
    std::memcpy(bytes + kChecksumOffset, &checksum, sizeof checksum);
  }
  KG kg;
  try {
    kg = snapshot_graph(bytes, size, words);
  } catch (const SnapshotError&) {
    return 0;
  }
  if (kg.node_count() == 0) return 0;
  const WalkRules rules{Poisson::from_mean(3.0), 12, key_from_seed(seed_from_random_state(size)), std::nullopt};
  const auto walks = draw_numbered_walks<std::uint64_t>(kg, rules, {.first = 0, .stop = 40}, 0, {});
  for (std::size_t t = 0; t < walks.tokens.size(); ++t) require(walks.tokens[t] < kg.token_count());
  const auto each = draw_numbered_walks<std::uint64_t>(
      kg, rules, {.first = 7, .stop = 30, .start = StartRule::kEachNode, .threads = 2}, 0, {});
  require(each.offsets.size() == 24);
  for (std::uint64_t k = 0; k + 1 < each.offsets.size(); ++k) {
    require(each.tokens[each.offsets[k]] == (7 + k) % kg.node_count());
  }
  return 0;
}
