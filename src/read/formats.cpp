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

constexpr std::array<FormatInfo, 7> kFormats{{
    {GraphFormat::kTsv, "tsv", kTsvSuffixes},
    {GraphFormat::kNTriples, "nt", kNTriplesSuffixes},
    {GraphFormat::kNQuads, "nq", kNQuadsSuffixes},
    {GraphFormat::kTurtle, "turtle", kTurtleSuffixes},
    {GraphFormat::kTriG, "trig", kTriGSuffixes},
    {GraphFormat::kRdfXml, "rdfxml", kRdfXmlSuffixes},
    {GraphFormat::kJsonLd, "jsonld", kJsonLdSuffixes},
}};

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
