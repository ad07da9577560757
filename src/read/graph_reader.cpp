#include "read/graph_reader.hpp"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/errors.hpp"
#include "core/parallel.hpp"
#include "core/utf8.hpp"
#include "read/piece_parsing.hpp"
#include "read/pieces.hpp"

namespace vantrel {

namespace {

// A piece of the input, what parsing made of it, and where it stands in
// the pipeline.
struct Chunk : ParsedPiece {
  enum class State { kFree, kBusy, kRead, kParsed, kInterned };
  State state = State::kFree;
  std::exception_ptr failure;      // the source's, in place of the rest of the input
  std::vector<std::uint64_t> ids;  // the triples' ids, three each, once interned
  bool grown = false;              // the piece outgrew the usual size

  explicit Chunk(Grammar grammar) : ParsedPiece(grammar) {}
};

// `count` chunks for pieces of a format of `grammar`.
std::vector<Chunk> chunks_of(Grammar grammar, std::size_t count) {
  std::vector<Chunk> chunks;
  chunks.reserve(count);
  for (std::size_t k = 0; k < count; ++k) chunks.emplace_back(grammar);
  return chunks;
}

// The size of the pieces a reading takes: the format's, unless asked.
std::size_t piece_bytes_for(const GraphReadOptions& options) {
  return options.chunk_bytes != 0 ? options.chunk_bytes : format_info(options.format).piece_bytes;
}

using Builder = std::variant<GraphBuilder<std::uint32_t>, GraphBuilder<std::uint64_t>>;

// 32-bit ids while collecting, unless the source's size shows at once that
// they will not do (a line of three fields takes at least three bytes); a
// source of unknown size starts with them and widens if it must.
Builder new_builder(const ByteSource& source, const GraphReadOptions& options) {
  const std::optional<std::uint64_t> bytes = source.size_bound();
  const std::uint64_t expected_edges = bytes ? *bytes / format_info(options.format).bytes_per_triple : 0;
  if (bytes && (*bytes + 1) / 3 > options.most_narrow_triples) {
    return Builder(std::in_place_index<1>, expected_edges, options.buckets);
  }
  return Builder(std::in_place_index<0>, expected_edges, options.buckets);
}

// Reads, parses and builds one source: every thread runs work(), which
// does what is ready, handing pieces to the builder one at a time, in order.
class GraphPipeline {
 public:
  GraphPipeline(ByteSource& source, const GraphReadOptions& options, unsigned threads, Builder& builder,
                std::vector<TimeValue>& times)
      : source_(source),
        options_(options),
        rdf_parsers_{RdfLineParser(options.format == GraphFormat::kNQuads, options.drop_literals, options.base,
                                   options.blank_suffix),
                     TurtleParser(options.format == GraphFormat::kTriG, options.drop_literals, options.blank_suffix),
                     format_info(options.format).grammar == Grammar::kStatements},
        piece_bytes_(piece_bytes_for(options)),
        cutter_(source, format_info(options.format).cut, piece_bytes_, options.base),
        // A source that one thread alone reads (a decompressing file
        // object) reads ahead a round of pieces more, so that the reader
        // is not kept waiting while the others catch up.
        chunks_(chunks_of(format_info(options.format).grammar,
                          source.reads_on_any_thread() ? threads + 1 : 2 * threads + 2)),
        builder_(builder),
        times_(times) {}

  // Reads the whole source into the builder, or throws its failure.
  void run(unsigned threads, const InterruptPoll& poll) {
    const std::thread::id caller = std::this_thread::get_id();
    run_tasks(
        threads, threads,
        [&](std::uint64_t, const InterruptPoll& task_poll) { work(std::this_thread::get_id() == caller, task_poll); },
        poll);
    std::vector<Chunk>().swap(chunks_);
    // The pieces were allocated on every thread; give back what their
    // threads' heaps keep, before the graph's arrays are allocated.
    ::malloc_trim(0);
    if (utf8_failed_) throw IoError::custom("InvalidData", "stream did not contain valid UTF-8");
    if (short_line_) throw *short_line_;
    if (bad_time_) throw *bad_time_;
  }

 private:
  Chunk& slot(std::uint64_t index) { return chunks_[index % chunks_.size()]; }

  void work(bool on_caller, const InterruptPoll& poll) {
    // The thread that alone may read a source reads first, so that reading
    // (decompressing, say) overlaps the others' parsing.
    const bool reader_first = on_caller && !source_.reads_on_any_thread();
    std::unique_lock lock(mutex_);
    for (;;) {
      if (placed_ == read_ && source_done_) return;
      if (reader_first && try_read(lock, on_caller, poll)) continue;
      if (try_place(lock, poll) || try_intern(lock, poll) || try_parse(lock)) continue;
      if (!reader_first && try_read(lock, on_caller, poll)) continue;
      ready_.wait_for(lock, std::chrono::milliseconds(5));
      lock.unlock();
      poll();
      lock.lock();
    }
  }

  // The next piece in order, once parsed: its labels interned (or its
  // failure noted). Widening the builder waits until every piece interned
  // so far is placed.
  bool try_intern(std::unique_lock<std::mutex>& lock, const InterruptPoll& poll) {
    if (interning_ || interned_ == read_ || slot(interned_).state != Chunk::State::kParsed) return false;
    Chunk& chunk = slot(interned_);
    auto* narrow = std::get_if<0>(&builder_);
    const bool widens = narrow && narrow->edge_count() + chunk.triples.size() > options_.most_narrow_triples;
    if (widens && (placing_ || placed_ < interned_)) return false;
    interning_ = true;
    lock.unlock();
    if (widens) builder_ = std::move(*narrow).widen();
    intern(chunk);
    // A piece that grew to hold a long line or statement (a long literal, a
    // '[' subject's statement) would otherwise keep buffers of that size in
    // its slot for the rest of the reading: slot after slot, they would add
    // up to several times the piece.
    const bool grown = chunk.capacity > piece_bytes_;
    if (grown) chunk.release_parsed();
    poll();
    lock.lock();
    chunk.grown = grown;
    chunk.state = Chunk::State::kInterned;
    ++interned_;
    interning_ = false;
    ready_.notify_all();
    return true;
  }

  // The next piece in order, once interned: its edges counted and collected.
  bool try_place(std::unique_lock<std::mutex>& lock, const InterruptPoll& poll) {
    if (placing_ || placed_ == interned_) return false;
    Chunk& chunk = slot(placed_);
    placing_ = true;
    lock.unlock();
    std::visit([&](auto& builder) { builder.place(chunk.ids); }, builder_);
    if (chunk.grown) std::vector<std::uint64_t>().swap(chunk.ids);
    poll();
    lock.lock();
    chunk.state = Chunk::State::kFree;
    ++placed_;
    placing_ = false;
    ready_.notify_all();
    return true;
  }

  bool try_read(std::unique_lock<std::mutex>& lock, bool on_caller, const InterruptPoll& poll) {
    if (reading_ || source_done_ || read_ - placed_ >= chunks_.size()) return false;
    if (!on_caller && !source_.reads_on_any_thread()) return false;
    Chunk& chunk = slot(read_);
    if (chunk.state != Chunk::State::kFree) return false;
    reading_ = true;
    chunk.state = Chunk::State::kBusy;
    lock.unlock();
    try {
      cutter_.next(chunk, poll);
    } catch (const IoError&) {
      // The source failed: the failure takes this piece's place in the
      // order, so that what an earlier piece holds (an RDF syntax error)
      // comes first. Other failures (an interrupt) stop everything at once.
      chunk.failure = std::current_exception();
      chunk.final = true;
    }
    poll();
    lock.lock();
    reading_ = false;
    chunk.state = Chunk::State::kRead;
    ++read_;
    if (chunk.final) source_done_ = true;
    ready_.notify_all();
    return true;
  }

  bool try_parse(std::unique_lock<std::mutex>& lock) {
    for (std::uint64_t index = interned_; index < read_; ++index) {
      Chunk& chunk = slot(index);
      if (chunk.state != Chunk::State::kRead) continue;
      chunk.state = Chunk::State::kBusy;
      lock.unlock();
      if (chunk.failure) {
        // nothing to parse
      } else if (format_info(options_.format).grammar == Grammar::kTabSeparated) {
        // After a failure only the UTF-8 check matters.
        if (stopped_.load(std::memory_order_relaxed)) {
          TsvParsed& tsv = std::get<TsvParsed>(chunk.parsed);
          chunk.triples.clear();
          tsv.short_line.reset();
          tsv.times.clear();
          tsv.bad_time.reset();
          tsv.invalid_utf8 = !is_valid_utf8(chunk.view());
        } else {
          parse_tsv(chunk, options_.time_column);
        }
      } else {
        parse_rdf(chunk, rdf_parsers_);
      }
      lock.lock();
      chunk.state = Chunk::State::kParsed;
      ready_.notify_all();
      return true;
    }
    return false;
  }

  void intern(Chunk& chunk) {
    chunk.ids.clear();
    if (chunk.failure) std::rethrow_exception(chunk.failure);
    const RdfParsed* rdf = std::get_if<RdfParsed>(&chunk.parsed);
    const TsvParsed* tsv = std::get_if<TsvParsed>(&chunk.parsed);
    if (rdf && rdf->syntax) throw RdfSyntaxError(lines_ + rdf->syntax->line, rdf->syntax->message);
    if (tsv && tsv->invalid_utf8) utf8_failed_ = true;
    if (utf8_failed_ || short_line_ || bad_time_) {
      stopped_.store(true, std::memory_order_relaxed);
      return;
    }
    chunk.ids.resize(3 * chunk.triples.size());
    std::visit([&](auto& builder) { builder.intern(chunk.triples, chunk.ids.data()); }, builder_);
    if (tsv && options_.time_column) times_.insert(times_.end(), tsv->times.begin(), tsv->times.end());
    if (tsv && tsv->short_line) {
      short_line_.emplace(*tsv->short_line, lines_ + tsv->short_line->line_number());
      stopped_.store(true, std::memory_order_relaxed);
    }
    if (tsv && tsv->bad_time) {
      bad_time_.emplace(*tsv->bad_time, lines_ + tsv->bad_time->line_number());
      stopped_.store(true, std::memory_order_relaxed);
    }
    lines_ += chunk.lines;
  }

  ByteSource& source_;
  const GraphReadOptions& options_;
  RdfParsers rdf_parsers_;
  std::size_t piece_bytes_;
  PieceCutter cutter_;  // used by one thread at a time (reading_)
  std::vector<Chunk> chunks_;
  // Interned by one thread at a time (interning_) and placed by one thread
  // at a time (placing_), which use separate parts of it; its type changes
  // (widening) only while nothing is being placed.
  Builder& builder_;
  std::vector<TimeValue>& times_;  // appended to by the interning thread

  std::mutex mutex_;
  std::condition_variable ready_;
  std::uint64_t read_ = 0;      // pieces read so far; piece k lives in slot(k)
  std::uint64_t interned_ = 0;  // pieces interned so far
  std::uint64_t placed_ = 0;    // pieces placed so far; their slots are free
  bool reading_ = false;
  bool interning_ = false;
  bool placing_ = false;
  bool source_done_ = false;

  // Kept by the interning thread.
  std::uint64_t lines_ = 0;
  bool utf8_failed_ = false;
  std::optional<ShortLineError> short_line_;
  std::optional<TimeColumnError> bad_time_;
  std::atomic<bool> stopped_{false};
};

}  // namespace

struct GraphReading::Collected {
  std::optional<Builder> builder;
  std::vector<TimeValue> times;
};

GraphReading::GraphReading(const GraphReadOptions& options)
    : width_(options.width),
      threads_(options.threads != 0 ? options.threads : available_cpus()),
      collected_(std::make_unique<Collected>()) {}

GraphReading::~GraphReading() = default;

void GraphReading::add(ByteSource& source, const GraphReadOptions& options, const InterruptPoll& poll) {
  if (!collected_->builder) collected_->builder.emplace(new_builder(source, options));
  GraphPipeline(source, options, threads_, *collected_->builder, collected_->times).run(threads_, poll);
}

AnyGraph GraphReading::finish(const InterruptPoll& poll) && {
  if (!collected_->builder) collected_->builder.emplace(std::in_place_index<0>, 0, BucketLimits{});
  return std::visit([&](auto& builder) { return finish_graph(std::move(builder), width_, threads_, poll); },
                    *collected_->builder);
}

TripleTimes GraphReading::take_times() {
  std::vector<TimeValue> times;
  times.swap(collected_->times);
  const bool whole = std::all_of(times.begin(), times.end(), [](const TimeValue& time) { return time.is_whole; });
  if (whole) {
    auto integers = ArrayRegion<std::int64_t>::allocate(times.size());
    for (std::size_t k = 0; k < times.size(); ++k) integers.mutable_data()[k] = times[k].whole;
    return integers;
  }
  auto reals = ArrayRegion<double>::allocate(times.size());
  for (std::size_t k = 0; k < times.size(); ++k) reals.mutable_data()[k] = times[k].as_real();
  return reals;
}

AnyGraph read_graph(ByteSource& source, const GraphReadOptions& options, const InterruptPoll& poll) {
  GraphReading reading(options);
  reading.add(source, options, poll);
  return std::move(reading).finish(poll);
}

}  // namespace vantrel
