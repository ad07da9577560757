#include "read/formats.hpp"

#include <array>

namespace vantrel {

namespace {

constexpr std::string_view kTsvSuffixes[] = {".tsv", ".txt"};
constexpr std::string_view kNTriplesSuffixes[] = {".nt"};
constexpr std::string_view kNQuadsSuffixes[] = {".nq"};
constexpr std::string_view kTurtleSuffixes[] = {".ttl"};
constexpr std::string_view kTriGSuffixes[] = {".trig"};
constexpr std::string_view kRdfXmlSuffixes[] = {".rdf", ".owl", ".xml"};
constexpr std::string_view kJsonLdSuffixes[] = {".jsonld"};

constexpr std::size_t kLinePieceBytes = std::size_t{2} << 20;
constexpr std::size_t kStatementPieceBytes = std::size_t{512} << 10;

// In GraphFormat's order. RDF/XML and JSON-LD reach the reader as N-Triples.
constexpr std::array<FormatInfo, 7> kFormats{{
    {GraphFormat::kTsv, "tsv", kTsvSuffixes, PieceCut::kLineFeeds, Grammar::kTabSeparated, kLinePieceBytes, 32},
    {GraphFormat::kNTriples, "nt", kNTriplesSuffixes, PieceCut::kLineEnds, Grammar::kRdfLines, kLinePieceBytes, 128},
    {GraphFormat::kNQuads, "nq", kNQuadsSuffixes, PieceCut::kLineEnds, Grammar::kRdfLines, kLinePieceBytes, 128},
    {GraphFormat::kTurtle, "turtle", kTurtleSuffixes, PieceCut::kTurtleStatements, Grammar::kStatements,
     kStatementPieceBytes, 128},
    {GraphFormat::kTriG, "trig", kTriGSuffixes, PieceCut::kTriGStatements, Grammar::kStatements, kStatementPieceBytes,
     128},
    {GraphFormat::kRdfXml, "rdfxml", kRdfXmlSuffixes, PieceCut::kLineEnds, Grammar::kRdfLines, kLinePieceBytes, 128},
    {GraphFormat::kJsonLd, "jsonld", kJsonLdSuffixes, PieceCut::kLineEnds, Grammar::kRdfLines, kLinePieceBytes, 128},
}};
static_assert([] {
  for (std::size_t i = 0; i < kFormats.size(); ++i) {
    if (static_cast<std::size_t>(kFormats[i].format) != i) return false;
  }
  return true;
}());

constexpr std::array<CompressionInfo, 4> kCompressions{{
    {Compression::kGzip, ".gz", "gzip", std::string_view("\x1f\x8b", 2)},
    {Compression::kBzip2, ".bz2", "bzip2", "BZh"},
    {Compression::kXz, ".xz", "xz",
     std::string_view("\xfd"
                      "7zXZ\0",
                      6)},
    {Compression::kZstd, ".zst", "zstd", std::string_view("\x28\xb5\x2f\xfd", 4)},
}};

// Whether `text` ends with `suffix` (lower case), whatever the case of its letters.
bool ends_with_folded(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    char c = text[text.size() - suffix.size() + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

}  // namespace

std::span<const CompressionInfo> compressions() { return kCompressions; }

const FormatInfo& format_info(GraphFormat format) { return kFormats[static_cast<std::size_t>(format)]; }
std::span<const FormatInfo> graph_formats() { return kFormats; }

Compression strip_compression_suffix(std::string_view& name) {
  for (const CompressionInfo& info : kCompressions) {
    if (ends_with_folded(name, info.suffix)) {
      name.remove_suffix(info.suffix.size());
      return info.compression;
    }
  }
  return Compression::kNone;
}

std::optional<GraphFormat> format_from_suffix(std::string_view name) {
  strip_compression_suffix(name);
  for (const FormatInfo& info : kFormats) {
    for (const std::string_view suffix : info.suffixes) {
      if (ends_with_folded(name, suffix)) return info.format;
    }
  }
  return std::nullopt;
}

std::string format_names_text() {
  std::string text;
  for (std::size_t i = 0; i < kFormats.size(); ++i) {
    if (i > 0) text += i + 1 == kFormats.size() ? " or " : ", ";
    text.append("'").append(kFormats[i].name).append("'");
  }
  return text;
}

std::string format_suffixes_text() {
  std::string text;
  for (const FormatInfo& info : kFormats) {
    for (const std::string_view suffix : info.suffixes) text.append(text.empty() ? "" : ", ").append(suffix);
  }
  return text;
}

const CompressionInfo* compression_from_magic(std::string_view head) {
  for (const CompressionInfo& info : kCompressions) {
    if (head.starts_with(info.magic)) return &info;
  }
  return nullptr;
}

}  // namespace vantrel
