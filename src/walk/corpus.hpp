// Walk corpora: walks by number written as text, one walk per line in
// number order, by several threads with bounded buffers each, for the
// trainers that read corpora from files (gensim's corpus_file, LineSentence).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/interrupt.hpp"
#include "graph/kg.hpp"
#include "walk/walks.hpp"

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

// What was written.
struct CorpusCounts {
  std::uint64_t walks = 0;
  std::uint64_t tokens = 0;
};

// Writes walks first to stop - 1, in form `items` and of kind `kind`, to
// the file descriptor `fd`, in number order, drawing and formatting them
// on up to `threads` threads in chunks, each thread with buffers of its
// own; `walks_written` follows the progress (walks done, whether written
// or left out as repeats). Walks that list edges are written as decimal numbers.
// With kind.unique, a walk that repeats one of an earlier number is left
// out, a chunk at a time in number order; an earlier chunk's walk is drawn
// again to be compared, so that what is kept of a walk is its hash and
// number. Throws WriteError when a write fails.
CorpusCounts write_corpus(const KG& kg, const WalkRules& rules, std::uint64_t first, std::uint64_t stop,
                          StartRule start, Items items, const WalkKind& kind, CorpusFormat format, unsigned threads,
                          int fd, std::atomic<std::uint64_t>& walks_written, const InterruptPoll& poll);

}  // namespace vantrel
