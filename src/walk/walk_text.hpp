// Walks as text, a line each: token texts separated by tabs, percent-escaped
// words separated by spaces (gensim's corpus_file), or JSON lists; walks of
// triple numbers in decimal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "graph/kg.hpp"
#include "walk/walk_rules.hpp"

namespace vantrel {

// How a walk's tokens are written on its line.
enum class CorpusFormat {
  kTsv,        // each token's text (label, with "::-->" or "::<--" after a relation), separated by tabs
  kWords,      // each token's text with whitespace and '%' percent-escaped, separated by spaces
  kJsonLines,  // a JSON list of the tokens' texts, as Python's json.dumps(walk, ensure_ascii=False) writes it
};

// Appends `text` to `out` with every byte of a whitespace character (ASCII
// and Unicode, as Python's str.split() knows them) and of '%' written as %XX
// (upper-case hex), so that urllib.parse.unquote gives the text back.
void append_escaped(std::string_view text, std::string& out);

// Appends `text` (UTF-8) to `out` as a JSON string with its quotes, as
// Python's json.dumps(text, ensure_ascii=False) writes it: '"' and '\\'
// escaped, control characters as \n, \r, \t, \b, \f or \u00xx, the rest as it is.
void append_json_string(std::string_view text, std::string& out);

// Walks of a graph as the lines of a corpus in one format.
class WalkText {
 public:
  // The graph must outlive this; its relations' texts are made once here.
  WalkText(const KG& kg, CorpusFormat format);

  // Replaces `text` with walks 0 to count - 1 of `walks`, in form `items`,
  // a line each.
  template <class Token>
  void format(const WalkBuffers<Token>& walks, std::uint64_t count, Items items, std::string& text) const;

 private:
  const KG& kg_;
  const CorpusFormat format_;
  const std::vector<std::string> relations_;  // each relation token's text, forward then backward
};

extern template void WalkText::format(const WalkBuffers<std::uint32_t>&, std::uint64_t, Items, std::string&) const;
extern template void WalkText::format(const WalkBuffers<std::uint64_t>&, std::uint64_t, Items, std::string&) const;

}  // namespace vantrel
