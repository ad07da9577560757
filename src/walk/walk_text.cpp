#include "walk/walk_text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace vantrel {

namespace {

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

// Appends `value` as Python's repr() writes a float: the shortest digits
// that read back as it, in positional notation where its decimal exponent
// is from -4 to 15 (with ".0" where it is whole), else as d.ddde+XX.
void append_float_repr(double value, TextBuffer& out) {
  char scientific[32];
  const auto written = std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific);
  const std::string_view shortest(scientific, static_cast<std::size_t>(written.ptr - scientific));
  const std::size_t e = shortest.find('e');
  const bool negative = shortest[0] == '-';
  char digit_buffer[24];
  std::size_t size = 0;
  for (const char c : shortest.substr(negative ? 1 : 0, e - (negative ? 1 : 0))) {
    if (c != '.') digit_buffer[size++] = c;
  }
  const std::string_view digits(digit_buffer, size);
  int exponent = 0;
  std::from_chars(shortest.data() + e + (shortest[e + 1] == '+' ? 2 : 1), shortest.data() + shortest.size(), exponent);
  if (negative) out.push('-');
  const int point = exponent + 1;  // digits before the decimal point
  const auto digit_count = static_cast<int>(size);
  if (exponent < -4 || exponent >= 16) {
    out.push(digits[0]);
    if (size > 1) {
      out.push('.');
      out.append(digits.substr(1));
    }
    char exponent_text[8];
    const int length = std::snprintf(exponent_text, sizeof exponent_text, "e%c%02d", exponent < 0 ? '-' : '+',
                                     exponent < 0 ? -exponent : exponent);
    out.append(std::string_view(exponent_text, static_cast<std::size_t>(length)));
  } else if (point <= 0) {
    out.append("0.");
    for (int i = point; i < 0; ++i) out.push('0');
    out.append(digits);
  } else if (point >= digit_count) {
    out.append(digits);
    for (int i = digit_count; i < point; ++i) out.push('0');
    out.append(".0");
  } else {
    out.append(digits.substr(0, static_cast<std::size_t>(point)));
    out.push('.');
    out.append(digits.substr(static_cast<std::size_t>(point)));
  }
}

// How a number of a walk that lists one per step is written.
enum class StepNumbers : std::uint8_t { kTriples, kIntegerTimes, kFloatTimes };

// Walks of numbers, a line each: triple numbers and int64 times in decimal,
// float64 times (their bits the tokens) as Python's repr() writes them.
template <class Token>
void format_numbers(CorpusFormat format, StepNumbers numbers, const WalkBuffers<Token>& walks, std::uint64_t count,
                    std::string& text) {
  const Token* const tokens = walks.tokens.data();
  const std::uint64_t* const ends = walks.ends.data();
  const bool json = format == CorpusFormat::kJsonLines;
  const std::string_view separator = format == CorpusFormat::kWords ? " " : json ? ", " : "\t";
  TextBuffer out(text);
  char digits[24];
  for (std::uint64_t k = 0; k < count; ++k) {
    if (json) out.push('[');
    for (std::uint64_t i = ends[k]; i < ends[k + 1]; ++i) {
      if (i != ends[k]) out.append(separator);
      const std::uint64_t bits = tokens[i];
      if (numbers == StepNumbers::kFloatTimes) {
        append_float_repr(std::bit_cast<double>(bits), out);
        continue;
      }
      const auto written = numbers == StepNumbers::kIntegerTimes
                               ? std::to_chars(digits, digits + sizeof digits, std::bit_cast<std::int64_t>(bits))
                               : std::to_chars(digits, digits + sizeof digits, bits);
      out.append(std::string_view(digits, static_cast<std::size_t>(written.ptr - digits)));
    }
    if (json) out.push(']');
    out.push('\n');
  }
}

template <class Graph, class Token>
void format_with(const Graph& graph, CorpusFormat format, const std::vector<std::string>& relations,
                 const WalkBuffers<Token>& walks, std::uint64_t count, std::string& text) {
  const Token* const tokens = walks.tokens.data();
  const std::uint64_t* const ends = walks.ends.data();
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

}  // namespace

// The text of every relation token in `format`: forward then backward.
std::vector<std::string> relation_texts_of(const KG& kg, CorpusFormat format) {
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

WalkText::WalkText(const KG& kg, CorpusFormat format)
    : kg_(kg), format_(format), relations_(relation_texts_of(kg, format)) {}

template <class Token>
void WalkText::format(const WalkBuffers<Token>& walks, std::uint64_t count, Items items, std::string& text) const {
  if (items == Items::kEdges) return format_numbers(format_, StepNumbers::kTriples, walks, count, text);
  if (items == Items::kTimes) {
    const bool integers = kg_.temporal() && kg_.temporal()->integer_times();
    return format_numbers(format_, integers ? StepNumbers::kIntegerTimes : StepNumbers::kFloatTimes, walks, count,
                          text);
  }
  kg_.visit([&](const auto& graph) { format_with(graph, format_, relations_, walks, count, text); });
}

template void WalkText::format(const WalkBuffers<std::uint32_t>&, std::uint64_t, Items, std::string&) const;
template void WalkText::format(const WalkBuffers<std::uint64_t>&, std::uint64_t, Items, std::string&) const;

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

}  // namespace vantrel
