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

// Bytes that may begin a character to escape: ASCII whitespace (tab to CR,
// the separators 0x1C to 0x1F, space), '%', and the lead bytes of the
// non-ASCII whitespace characters.
constexpr std::array<bool, 256> kMayEscape = [] {
  std::array<bool, 256> table{};
  for (int c = 0x09; c <= 0x0D; ++c) table[c] = true;
  for (int c = 0x1C; c <= 0x20; ++c) table[c] = true;
  table['%'] = true;
  table[0xC2] = table[0xE1] = table[0xE2] = table[0xE3] = true;
  return table;
}();

// The length in bytes of the whitespace character at `p` (of `n` bytes), or
// 0 if there is none there: U+0085, U+00A0, U+1680, U+2000 to U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000 beside the ASCII ones.
std::size_t whitespace_length(const unsigned char* p, std::size_t n) {
  const unsigned char c = p[0];
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) ? 1 : 0;
  if (c == 0xC2 && n >= 2) return p[1] == 0x85 || p[1] == 0xA0 ? 2 : 0;
  if (n < 3) return 0;
  if (c == 0xE1) return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;
  if (c == 0xE2 && p[1] == 0x80) return p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF ? 3 : 0;
  if (c == 0xE2 && p[1] == 0x81) return p[2] == 0x9F ? 3 : 0;
  if (c == 0xE3) return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
  return 0;
}

void append_percent(unsigned char byte, std::string& out) {
  constexpr char kHex[] = "0123456789ABCDEF";
  const char escaped[3] = {'%', kHex[byte >> 4], kHex[byte & 0xF]};
  out.append(escaped, 3);
}

// The text of every relation token in `format`: forward then backward.
std::vector<std::string> relation_texts(const KG& kg, CorpusFormat format) {
  std::vector<std::string> texts;
  const std::uint64_t nodes = kg.node_count();
  texts.reserve(static_cast<std::size_t>(kg.token_count() - nodes));
  for (std::uint64_t token = nodes; token < kg.token_count(); ++token) {
    const PathPiece piece = kg.token_text(token);
    std::string& text = texts.emplace_back();
    if (format == CorpusFormat::kWords) {
      append_escaped(piece.label, text);  // a suffix holds nothing to escape
      text += suffix_text(piece.suffix);
    } else if (format == CorpusFormat::kJsonLines) {
      std::string plain;
      piece.append_text(plain);
      append_json_string(plain, text);
    } else {
      piece.append_text(text);
    }
  }
  return texts;
}

// Copies `n` bytes, inline for the short texts that tokens mostly are:
// overlapping word copies that never read or write outside [0, n).
inline void copy_text(char* to, const char* from, std::size_t n) {
  if (n >= 8 && n <= 16) {
    std::uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + n - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + n - 8, &tail, 8);
  } else if (n >= 4 && n < 8) {
    std::uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + n - 4, &tail, 4);
  } else if (n < 4) {
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
  } else {
    std::memcpy(to, from, n);
  }
}

// Text appended at the end of a string that grows in steps, written
// through a pointer rather than a call per token.
class TextBuffer {
 public:
  explicit TextBuffer(std::string& text) : text_(text) { text_.clear(); }
  ~TextBuffer() { text_.resize(used_); }
  // Room for `n` more bytes; write them, then commit(n).
  char* room(std::size_t n) {
    if (used_ + n > text_.size()) text_.resize(std::max(2 * text_.size(), used_ + n + 4096));
    return text_.data() + used_;
  }
  void commit(std::size_t n) { used_ += n; }
  void append(std::string_view piece) {
    copy_text(room(piece.size()), piece.data(), piece.size());
    commit(piece.size());
  }
  void push(char c) {
    *room(1) = c;
    commit(1);
  }

 private:
  std::string& text_;
  std::size_t used_ = 0;
};

// True if the label holds no byte that may start a character to escape.
bool plain_word(std::string_view label) {
  for (const char c : label) {
    if (kMayEscape[static_cast<unsigned char>(c)]) return false;
  }
  return true;
}

// Walks of triple numbers, each written in decimal.
template <class Token>
void format_numbers(CorpusFormat format, const Token* tokens, const std::uint64_t* ends, std::uint64_t count,
                    std::string& text) {
  const bool json = format == CorpusFormat::kJsonLines;
  const std::string_view separator = format == CorpusFormat::kWords ? " " : json ? ", " : "\t";
  TextBuffer out(text);
  char digits[24];
  for (std::uint64_t k = 0; k < count; ++k) {
    if (json) out.push('[');
    for (std::uint64_t i = ends[k]; i < ends[k + 1]; ++i) {
      if (i != ends[k]) out.append(separator);
      const auto written = std::to_chars(digits, digits + sizeof digits, std::uint64_t{tokens[i]});
      out.append(std::string_view(digits, static_cast<std::size_t>(written.ptr - digits)));
    }
    if (json) out.push(']');
    out.push('\n');
  }
}

template <class Graph, class Token>
void format_with(const Graph& graph, CorpusFormat format, const std::vector<std::string>& relations,
                 const Token* tokens, const std::uint64_t* ends, std::uint64_t count, std::string& text) {
  const std::uint64_t nodes = graph.node_count();
  const bool json = format == CorpusFormat::kJsonLines;
  const std::string_view separator = format == CorpusFormat::kWords ? " " : json ? ", " : "\t";
  std::string escaped;
  TextBuffer out(text);
  for (std::uint64_t k = 0; k < count; ++k) {
    const Token* walk = tokens + ends[k];
    const std::uint64_t length = ends[k + 1] - ends[k];
    if (json) out.push('[');
    // The start node, then a separator before each further token.
    for (std::uint64_t i = 0; i < length; ++i) {
      if (i != 0) out.append(separator);
      const std::uint64_t token = walk[i];
      if (token >= nodes) {
        out.append(relations[token - nodes]);
        continue;
      }
      const std::string_view label = graph.node_label(token);
      if (json) {
        escaped.clear();
        append_json_string(label, escaped);
        out.append(escaped);
      } else if (format == CorpusFormat::kWords && !plain_word(label)) {
        escaped.clear();
        append_escaped(label, escaped);
        out.append(escaped);
      } else {
        out.append(label);
      }
    }
    if (json) out.push(']');
    out.push('\n');
  }
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

template <class Token>
CorpusCounts write_with(const KG& kg, const WalkRules& rules, std::uint64_t first, std::uint64_t stop, StartRule start,
                        Items items, const WalkKind& kind, CorpusFormat format, unsigned threads, int fd,
                        std::atomic<std::uint64_t>& walks_written, const InterruptPoll& poll) {
  const std::uint64_t count = stop - first;
  check_walkable(kg, count);
  const std::vector<std::string> relations = relation_texts(kg, format);
  ChunkTurns turns;
  DistinctWalks seen;
  std::vector<Token> redrawn;
  std::vector<std::uint64_t> redrawn_ends;
  // A task's drawing buffers. They are handed from task to task through a
  // pool rather than kept per thread: a thread-local buffer in a loaded
  // module is allocated by the C library on first use, where running out of
  // memory aborts the process instead of failing the call.
  struct Drawing {
    std::vector<Token> tokens;
    std::vector<std::uint64_t> ends;
  };
  std::mutex pool_mutex;
  std::vector<Drawing> spare_drawings;
  CorpusCounts counts;
  const std::uint64_t chunk = chunk_walks(rules, items);
  const std::uint64_t tasks = count / chunk + (count % chunk != 0 ? 1 : 0);
  // Chunks are handed out in order and written in order, with at most two
  // per thread waiting for the file.
  OrderedWriter writer(
      [fd](std::string_view text, const InterruptPoll& task_poll) { write_fully(fd, text, task_poll); },
      [&](std::uint64_t task, std::uint64_t written) {
        counts.walks += written >> 40;
        counts.tokens += written & ((std::uint64_t{1} << 40) - 1);
        // The progress: walks done, those left out as repeats among them.
        walks_written.store(std::min(count, (task + 1) * chunk), std::memory_order_relaxed);
      },
      2 * std::max(threads, 1u));
  kg.visit([&](const auto& graph) {
    run_tasks(
        tasks, threads,
        [&](std::uint64_t task, const InterruptPoll& task_poll) {
          // begin + chunk may pass 2^64 - 1 at the top of the range: the end is
          // reckoned from what is left instead.
          const std::uint64_t begin = first + task * chunk;
          const std::uint64_t end = begin + std::min(chunk, stop - begin);
          Drawing drawing;
          {
            const std::lock_guard take(pool_mutex);
            if (!spare_drawings.empty()) {
              drawing = std::move(spare_drawings.back());
              spare_drawings.pop_back();
            }
          }
          std::string text = writer.spare_text();
          draw_numbered_chunk(kg, rules, begin, end, start, drawing.tokens, drawing.ends, task_poll, items,
                              kMostPaddedChunkBytes, kind);
          std::uint64_t walks = end - begin;
          if (kind.unique) {
            std::vector<std::uint64_t> hashes(walks);
            for (std::uint64_t k = 0; k < walks; ++k) {
              hashes[k] = hash_walk(drawing.tokens.data() + drawing.ends[k], drawing.ends[k + 1] - drawing.ends[k]);
            }
            turns.wait_for(task, task_poll);
            walks =
                leave_out_repeats(seen, begin, walks, hashes, drawing.tokens, drawing.ends, [&](std::uint64_t number) {
                  draw_numbered_chunk(kg, rules, number, number + 1, start, redrawn, redrawn_ends, task_poll, items,
                                      kMostPaddedChunkBytes, kind);
                  return std::span<const Token>(redrawn.data(), redrawn_ends[1]);
                });
            turns.done();
          }
          const std::uint64_t tokens = drawing.ends[walks];
          if (items == Items::kEdges) {
            format_numbers(format, drawing.tokens.data(), drawing.ends.data(), walks, text);
          } else {
            format_with(graph, format, relations, drawing.tokens.data(), drawing.ends.data(), walks, text);
          }
          {
            const std::lock_guard give(pool_mutex);
            spare_drawings.push_back(std::move(drawing));
          }
          // The walks (below 2^24 a chunk) and tokens (below 2^40) written, in one count.
          writer.hand_over(task, std::move(text), walks << 40 | tokens, task_poll);
        },
        poll);
  });
  return counts;
}

}  // namespace

void append_escaped(std::string_view text, std::string& out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t plain_from = 0;
  for (std::size_t i = 0; i < n;) {
    if (!kMayEscape[bytes[i]]) {
      ++i;
      continue;
    }
    const std::size_t length = bytes[i] == '%' ? 1 : whitespace_length(bytes + i, n - i);
    if (length == 0) {
      ++i;
      continue;
    }
    out.append(text.data() + plain_from, i - plain_from);
    for (std::size_t j = 0; j < length; ++j) append_percent(bytes[i + j], out);
    i += length;
    plain_from = i;
  }
  out.append(text.data() + plain_from, n - plain_from);
}

void append_json_string(std::string_view text, std::string& out) {
  constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t plain_from = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(text.data() + plain_from, i - plain_from);
    plain_from = i + 1;
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default: {
        const char escape[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
        out.append(escape, 6);
      }
    }
  }
  out.append(text.data() + plain_from, text.size() - plain_from);
  out.push_back('"');
}

CorpusCounts write_corpus(const KG& kg, const WalkRules& rules, std::uint64_t first, std::uint64_t stop,
                          StartRule start, Items items, const WalkKind& kind, CorpusFormat format, unsigned threads,
                          int fd, std::atomic<std::uint64_t>& walks_written, const InterruptPoll& poll) {
  return with_item_type(kg, items == Items::kEdges, [&]<class Token>(Token) {
    return write_with<Token>(kg, rules, first, stop, start, items, kind, format, threads, fd, walks_written, poll);
  });
}

}  // namespace vantrel
