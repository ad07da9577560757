#include "walk/corpus.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/parallel.hpp"
#include "walk/distinct_walks.hpp"
#include "walk/ordered_writer.hpp"

namespace vantrel {

namespace {

// Walks drawn and formatted per task: up to 8,192, fewer when walks are long,
// so that a chunk holds about 2^20 tokens (a few megabytes of text), the
// buffers a thread holds at once.
constexpr std::uint64_t kCorpusChunkWalks = 8192;
constexpr double kCorpusChunkTokens = 1 << 20;

std::uint64_t chunk_walks(const WalkRules& rules, Items items) {
  const double walks = std::floor(kCorpusChunkTokens / expected_items(rules, items));
  if (!(walks >= 1.0)) return 1;  // NaN too: the estimate sizes buffers, so it stays bounded
  return walks >= static_cast<double>(kCorpusChunkWalks) ? kCorpusChunkWalks : static_cast<std::uint64_t>(walks);
}

// Turns taken in chunk order: the step of a chunk's work that must see
// the chunks before it (leaving out repeated walks) waits for its turn.
class ChunkTurns {
 public:
  // Waits, polling, until chunk `index` is due.
  void wait_for(std::uint64_t index, const InterruptPoll& poll) {
    std::unique_lock lock(mutex_);
    while (next_ != index) {
      lock.unlock();
      if (poll) poll();  // throws once the job has failed elsewhere
      lock.lock();
      due_.wait_for(lock, std::chrono::milliseconds(20));
    }
  }
  // Ends the turn of the chunk that is due.
  void done() {
    {
      const std::lock_guard lock(mutex_);
      ++next_;
    }
    due_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable due_;
  std::uint64_t next_ = 0;
};

// The walks of earlier chunks, and the kept ones of the chunk at hand: a
// walk is remembered by its number; one of this chunk is found among those
// kept, one of an earlier chunk is drawn again.
template <class Token, class Redraw>
struct KeptAcrossChunks {
  std::uint64_t begin;  // the chunk's first walk number
  const WalkBuffers<Token>& chunk;
  Redraw& redraw;  // redraw(number): the items of walk `number`
  std::vector<std::uint64_t> kept_numbers{};

  std::uint64_t id(std::uint64_t k, std::uint64_t) const { return begin + k; }
  bool same(std::uint64_t other, std::span<const Token> walk) const {
    if (other >= begin) {
      const auto i = static_cast<std::uint64_t>(std::lower_bound(kept_numbers.begin(), kept_numbers.end(), other) -
                                                kept_numbers.begin());
      const std::uint64_t* ends = chunk.ends.data();
      return ends[i + 1] - ends[i] == walk.size() &&
             std::equal(walk.begin(), walk.end(), chunk.tokens.data() + ends[i]);
    }
    const std::span<const Token> earlier = redraw(other);
    return earlier.size() == walk.size() && std::equal(walk.begin(), walk.end(), earlier.begin());
  }
  void kept(std::uint64_t k) { kept_numbers.push_back(begin + k); }
};

// What the corpus writer's tasks share: the graph and rules, the walks'
// text, the order in which repeats are left out, and the buffers handed
// from task to task through a pool rather than kept per thread (a
// thread-local buffer in a loaded module is allocated by the C library on
// first use, where running out of memory aborts the process instead of
// failing the call).
template <class Token>
class CorpusChunks {
 public:
  CorpusChunks(const KG& kg, const WalkRules& rules, const WalkRequest& request, CorpusFormat format)
      : kg_(kg), rules_(rules), request_(request), text_(kg, format) {}

  // Draws walks begin to end - 1 and formats them into `text`; returns the
  // walks and tokens kept.
  CorpusCounts draw_and_format(std::uint64_t task, std::uint64_t begin, std::uint64_t end, std::string& text,
                               const InterruptPoll& poll) {
    WalkBuffers<Token> drawing = take_spare();
    draw_numbered_chunk(kg_, rules_, request_.range(begin, end), drawing, poll);
    std::uint64_t walks = end - begin;
    if (request_.kind.unique) walks = leave_out_repeats_in_turn(task, begin, drawing, poll);
    text_.format(drawing, walks, request_.items, text);
    const CorpusCounts counts{walks, drawing.ends[walks]};
    const std::lock_guard give(pool_mutex_);
    spare_.push_back(std::move(drawing));
    return counts;
  }

 private:
  WalkBuffers<Token> take_spare() {
    const std::lock_guard take(pool_mutex_);
    if (spare_.empty()) return {};
    WalkBuffers<Token> drawing = std::move(spare_.back());
    spare_.pop_back();
    return drawing;
  }

  // Leaves out the chunk's walks that repeat earlier ones, in chunk order.
  std::uint64_t leave_out_repeats_in_turn(std::uint64_t task, std::uint64_t begin, WalkBuffers<Token>& drawing,
                                          const InterruptPoll& poll) {
    const std::uint64_t count = drawing.ends.size() - 1;
    std::vector<std::uint64_t> hashes(count);
    hash_walks(drawing.tokens.data(), drawing.ends.data(), 0, count, hashes.data());
    turns_.wait_for(task, poll);
    auto redraw = [&](std::uint64_t number) {
      draw_numbered_chunk(kg_, rules_, request_.range(number, number + 1), redrawn_, poll);
      return std::span<const Token>(redrawn_.tokens.data(), redrawn_.ends[1]);
    };
    KeptAcrossChunks<Token, decltype(redraw)> earlier{begin, drawing, redraw};
    const std::uint64_t kept = leave_out_repeats(seen_, std::span<const std::uint64_t>(hashes), drawing.tokens.data(),
                                                 drawing.ends.data(), earlier, poll);
    turns_.done();
    return kept;
  }

  const KG& kg_;
  const WalkRules& rules_;
  const WalkRequest& request_;
  const WalkText text_;
  ChunkTurns turns_;
  DistinctWalks seen_;          // in turn only
  WalkBuffers<Token> redrawn_;  // in turn only
  std::mutex pool_mutex_;
  std::vector<WalkBuffers<Token>> spare_;
};

template <class Token>
CorpusCounts write_with(const KG& kg, const WalkRules& sampler_rules, const WalkRequest& request,
                        const CorpusOutput& output, const InterruptPoll& poll) {
  const WalkRules rules = request.rules_of(sampler_rules);
  const std::uint64_t count = request.count();
  check_walkable(kg, count);
  CorpusChunks<Token> chunks(kg, rules, request, output.format);
  CorpusCounts counts;
  const std::uint64_t chunk = chunk_walks(rules, request.items);
  const std::uint64_t tasks = count / chunk + (count % chunk != 0 ? 1 : 0);
  // Chunks are handed out in order and written in order, with at most two
  // per thread waiting for the file.
  OrderedWriter writer(
      [&output](std::string_view text, const InterruptPoll& task_poll) { write_fully(output.fd, text, task_poll); },
      [&](std::uint64_t task, const CorpusCounts& written) {
        counts.walks += written.walks;
        counts.tokens += written.tokens;
        // The progress: walks done, those left out as repeats among them.
        output.walks_done.store(std::min(count, (task + 1) * chunk), std::memory_order_relaxed);
      },
      2 * std::max(request.threads, 1u));
  run_tasks(
      tasks, request.threads,
      [&](std::uint64_t task, const InterruptPoll& task_poll) {
        // begin + chunk may pass 2^64 - 1 at the top of the range: the end is
        // reckoned from what is left instead.
        const std::uint64_t begin = request.first + task * chunk;
        const std::uint64_t end = begin + std::min(chunk, request.stop - begin);
        std::string text = writer.spare_text();
        const CorpusCounts written = chunks.draw_and_format(task, begin, end, text, task_poll);
        writer.hand_over(task, std::move(text), written, task_poll);
      },
      poll);
  return counts;
}

}  // namespace

CorpusCounts write_corpus(const KG& kg, const WalkRules& rules, const WalkRequest& request, const CorpusOutput& output,
                          const InterruptPoll& poll) {
  return with_item_type(kg, request.items,
                        [&]<class Token>(Token) { return write_with<Token>(kg, rules, request, output, poll); });
}

}  // namespace vantrel
