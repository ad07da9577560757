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
#include "walk/ordered_writer.hpp"
#include "walk/walk_request.hpp"
#include "walk/walk_text.hpp"
#include "walk/walks.hpp"

namespace vantrel {

// What was written: walks and their tokens.
using CorpusCounts = ChunkCounts;

// Where a corpus goes: an open file descriptor, written at its position, in
// a format; and the walks done so far (written, or left out as repeats),
// for a progress report.
struct CorpusOutput {
  int fd;
  CorpusFormat format;
  std::atomic<std::uint64_t>& walks_done;
};

// Writes the walks of `request` (of a sampler of `rules` as the request
// asks for them) to output.fd, in number order, drawing and formatting
// them on up to request.threads threads in chunks, each thread with
// buffers of its own. Walks that list edges are written as decimal numbers.
// With kind.unique, a walk that repeats one of an earlier number is left
// out, a chunk at a time in number order; an earlier chunk's walk is drawn
// again to be compared, so that what is kept of a walk is its hash and
// number. Throws WriteError when a write fails.
CorpusCounts write_corpus(const KG& kg, const WalkRules& rules, const WalkRequest& request, const CorpusOutput& output,
                          const InterruptPoll& poll);

}  // namespace vantrel
