#include "read/format_hint.hpp"

#include <algorithm>

#include "read/formats.hpp"

namespace vantrel {

namespace {

// Whether `line` reads as one N-Triples statement: it starts as a subject
// does (an IRI or a blank node), ends with " ." (blanks after it allowed, a
// comment not), and holds no tab, which a tab-separated triple would.
bool looks_like_ntriples(std::string_view line) {
  if (!line.starts_with('<') && !line.starts_with("_:")) return false;
  if (line.find('\t') != std::string_view::npos) return false;
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
  return line.size() >= 2 && line.ends_with(" .");
}

// Whether `line` starts with a Turtle directive: "@prefix" or "@base", or
// SPARQL's "PREFIX" or "BASE" in any case, then a blank.
bool looks_like_turtle(std::string_view line) {
  if (line.starts_with("@prefix ") || line.starts_with("@base ")) return true;
  for (const std::string_view keyword : {std::string_view("prefix "), std::string_view("base ")}) {
    if (line.size() < keyword.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < keyword.size(); ++i) same = same && (line[i] | 0x20) == keyword[i];
    if (same) return true;
  }
  return false;
}

}  // namespace

std::string_view format_hint(std::string_view head) {
  if (const CompressionInfo* compressed = compression_from_magic(head)) return compressed->name;
  // The first line that is not blank or a comment.
  while (!head.empty()) {
    const auto end = head.find('\n');
    const std::string_view line = head.substr(0, end);
    const auto first = line.find_first_not_of(" \t\r");
    if (first != std::string_view::npos && line[first] != '#') {
      // Only a whole line can be judged: one cut off by the end of `head` cannot.
      if (end == std::string_view::npos) return "";
      if (looks_like_ntriples(line.substr(first))) return "N-Triples";
      if (looks_like_turtle(line.substr(first))) return "Turtle";
      // A line of one field (no tab) that other separators cut into three
      // or more; not one that starts as RDF terms do.
      if (line.find('\t') != std::string_view::npos) return "";
      if (line.substr(first).starts_with('<') || line.substr(first).starts_with("_:")) return "";
      if (std::count(line.begin(), line.end(), ',') >= 2) return "commas";
      std::string_view trimmed = line.substr(first);
      while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\r')) trimmed.remove_suffix(1);
      return std::count(trimmed.begin(), trimmed.end(), ' ') >= 2 ? "spaces" : "";
    }
    if (end == std::string_view::npos) break;
    head.remove_prefix(end + 1);
  }
  return "";
}

}  // namespace vantrel
