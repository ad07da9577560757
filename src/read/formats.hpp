// The one table of what the readers know by name: each graph format's
// name and suffixes, each compression's suffix and magic number. read()'s
// choice of format and decompressor and the constructor's hints all look
// here.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "read/graph_reader.hpp"

namespace vantrel {

enum class Compression { kNone, kGzip, kBzip2, kXz, kZstd };

struct CompressionInfo {
  Compression compression;
  std::string_view suffix;  // ".gz"
  std::string_view name;    // "gzip": the name a hint gives the data
  std::string_view magic;   // the bytes its files start with
};

struct FormatInfo {
  GraphFormat format;
  std::string_view name;                       // "nt": what format= takes
  std::span<const std::string_view> suffixes;  // ".nt"
};

// Every compression the readers take, and every graph format.
std::span<const CompressionInfo> compressions();
std::span<const FormatInfo> graph_formats();

// The compression that `name`'s last suffix names (letters in either case);
// a suffix that names one is taken off `name`. kNone where none does.
Compression strip_compression_suffix(std::string_view& name);

// The format that a name's suffix (under any compression suffix) names.
std::optional<GraphFormat> format_from_suffix(std::string_view name);

// For messages: every format's name as format= takes it ("'tsv', 'nt', ...
// or 'jsonld'"), and every format's suffixes (".tsv, .txt, ..., .jsonld").
std::string format_names_text();
std::string format_suffixes_text();

// The compression whose magic number `head` starts with, or nullptr.
const CompressionInfo* compression_from_magic(std::string_view head);

}  // namespace vantrel
