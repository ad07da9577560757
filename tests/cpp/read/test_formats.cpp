#include "read/formats.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace vantrel {
namespace {

TEST(Formats, SuffixesNameFormatsUnderAnyCompressionInEitherCase) {
  EXPECT_EQ(format_from_suffix("dump.NT.GZ"), GraphFormat::kNTriples);
  EXPECT_EQ(format_from_suffix("kg.txt.zst"), GraphFormat::kTsv);
  EXPECT_EQ(format_from_suffix("quads.nq.bz2"), GraphFormat::kNQuads);
  EXPECT_EQ(format_from_suffix("kg.gz"), std::nullopt);        // a compression names no format
  EXPECT_EQ(format_from_suffix("kg.nt.gz.xz"), std::nullopt);  // one compression suffix is taken off, not two
  std::string_view name = "a.tsv.XZ";
  EXPECT_EQ(strip_compression_suffix(name), Compression::kXz);
  EXPECT_EQ(name, "a.tsv");
  EXPECT_EQ(strip_compression_suffix(name), Compression::kNone);
}

TEST(Formats, EveryCompressionIsKnownByItsMagicNumber) {
  for (const CompressionInfo& info : compressions()) {
    const CompressionInfo* found = compression_from_magic(std::string(info.magic) + "rest of the data");
    ASSERT_NE(found, nullptr) << info.name;
    EXPECT_EQ(found->compression, info.compression);
  }
  EXPECT_EQ(compression_from_magic("<a:s> <a:p> <a:o> .\n"), nullptr);
  EXPECT_EQ(compression_from_magic(std::string_view("\x1f", 1)), nullptr);  // half a magic number
}

TEST(Formats, MessagesListEveryNameAndSuffix) {
  EXPECT_EQ(format_names_text(), "'tsv', 'nt', 'nq', 'turtle', 'trig', 'rdfxml' or 'jsonld'");
  EXPECT_EQ(format_suffixes_text(), ".tsv, .txt, .nt, .nq, .ttl, .trig, .rdf, .owl, .xml, .jsonld");
}

}  // namespace
}  // namespace vantrel
