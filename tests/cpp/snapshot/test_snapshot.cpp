#include "snapshot/format.hpp"
#include "snapshot/reader.hpp"
#include "snapshot/writer.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "graph/builder.hpp"
#include "graph_support.hpp"

namespace vantrel {
namespace {

class Snapshot : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = std::filesystem::temp_directory_path() / ("vantrel-snapshot-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }
  std::string path(const char* name) const { return (directory_ / name).string(); }

 private:
  std::filesystem::path directory_;
};

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint64_t> walk_tokens(const KG& kg, std::uint64_t seed) {
  StdRng rng = StdRng::from_seed(seed_from_random_state(seed));
  std::vector<std::uint64_t> tokens;
  for (int w = 0; w < 50; ++w) {
    const std::uint64_t start = kg.draw_start(rng);
    std::vector<std::uint64_t> walk(9);
    kg.walk(start, 7, rng, walk.data());
    tokens.insert(tokens.end(), walk.begin(), walk.end());
  }
  return tokens;
}

TEST_F(Snapshot, BothIdWidthsRoundTrip) {
  const std::vector<Triple> triples = {
      {"A", "r", "B"}, {"B", "s", "C"}, {"C", "r", "B"}, {"Zürich", "ü", "A"}, {"C", "t", "C"}};
  for (const IdWidth width : {IdWidth::kNarrowest, IdWidth::k64}) {
    const KG built = from_triples(triples, width);
    save_snapshot(built, path("g.snap"));
    const KG loaded = load_snapshot(path("g.snap"));
    EXPECT_EQ(is_wide(loaded), width == IdWidth::k64);
    ASSERT_EQ(loaded.token_count(), built.token_count());
    for (std::uint64_t t = 0; t < built.token_count(); ++t) {
      EXPECT_EQ(loaded.token_text(t).label, built.token_text(t).label);
      EXPECT_EQ(loaded.token_text(t).ascii, built.token_text(t).ascii);
    }
    EXPECT_EQ(walk_tokens(loaded, 3), walk_tokens(built, 3));
    // A loaded graph saves again to the same bytes.
    save_snapshot(loaded, path("again.snap"));
    EXPECT_EQ(file_bytes(path("again.snap")), file_bytes(path("g.snap")));
    EXPECT_EQ(walk_tokens(load_snapshot(path("again.snap")), 4), walk_tokens(built, 4));
  }
}

TEST_F(Snapshot, ChecksumSeesEveryBitOfEveryWord) {
  std::string bytes(256, '\0');
  const std::uint64_t clean = snapshot_checksum(bytes);
  for (std::size_t bit = 0; bit < bytes.size() * 8; bit += 13) {
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
    EXPECT_NE(snapshot_checksum(bytes), clean) << bit;
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
  }
}

TEST_F(Snapshot, ALongCheckPollsAndStopsWhenThePollThrows) {
  // 128 MiB of node label bytes in a graph of no nodes: a layout that adds
  // up, so that the whole file is checksummed (zeros, a checksum mismatch).
  constexpr std::uint64_t kLabelBytes = std::uint64_t{128} << 20;
  std::vector<std::uint64_t> words((256 + kLabelBytes) / 8, 0);
  char* bytes = reinterpret_cast<char*>(words.data());
  const std::uint32_t fields[] = {1, 0x01020304, 4, 128};
  std::memcpy(bytes, "VTRLSNAP", 8);
  std::memcpy(bytes + 8, fields, sizeof fields);
  const std::uint64_t counts[] = {0, 0, 0, kLabelBytes, 0, 256 + kLabelBytes};
  std::memcpy(bytes + 24, counts, sizeof counts);
  struct Interrupted {};
  int polls = 0;
  EXPECT_THROW(snapshot_graph(bytes, 256 + kLabelBytes, nullptr,
                              [&] {
                                ++polls;
                                throw Interrupted{};
                              }),
               Interrupted);
  EXPECT_EQ(polls, 1);
  EXPECT_THROW(snapshot_graph(bytes, 256 + kLabelBytes, nullptr), SnapshotError);
}

}  // namespace
}  // namespace vantrel
