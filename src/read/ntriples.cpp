#include "read/ntriples.hpp"

#include <cstdio>
#include <cstring>
#include <limits>

namespace vantrel {

namespace {

constexpr std::string_view kXsdString = "http://www.w3.org/2001/XMLSchema#string";

// Thrown inside the parser only, at the first problem.
struct Problem {
  std::string message;
};

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
unsigned hex_value(char c) {
  if (c <= '9') return static_cast<unsigned>(c - '0');
  return static_cast<unsigned>((c | 0x20) - 'a' + 10);
}
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Control characters: Unicode's Cc, C0, DEL and C1.
bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// The characters that an IRI may not hold, written or escaped: a space, a
// control character, or one of <>"{}|^`\.
bool excluded_from_iri(char32_t c) {
  return c == ' ' || is_control(c) || c == '<' || c == '>' || c == '"' || c == '{' || c == '}' || c == '|' ||
         c == '^' || c == '`' || c == '\\';
}

// Whether the byte `b` of UTF-8 text ends a run of an IRI's plain
// characters: an excluded ASCII character, or 0xC2, the lead byte of C1
// controls (and of other characters, which the caller lets through).
bool ends_iri_run(unsigned char b) { return b < 0x80 ? excluded_from_iri(b) : b == 0xC2; }

// Writes a lexical form's character in its canonical spelling.
void append_lexical(std::string& out, char32_t c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\t': out += "\\t"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    default: break;
  }
  if (is_control(c)) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += "\\u00";
    out.push_back(kDigits[(c >> 4) & 0xF]);
    out.push_back(kDigits[c & 0xF]);
    return;
  }
  append_utf8(out, c);
}

// Decodes the UTF-8 sequence at p (valid: the text was checked), advancing p.
char32_t decode_utf8(const char*& p) {
  const auto lead = static_cast<unsigned char>(*p++);
  if (lead < 0x80) return lead;
  int more = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  char32_t c = lead & (0x3F >> more);
  while (more-- > 0) c = (c << 6) | (static_cast<unsigned char>(*p++) & 0x3F);
  return c;
}

// A description of the character at `p` for messages: "'x'", "U+0009"
// for a control character, or "the end of the line".
std::string found(const char* p, const char* end) {
  if (p >= end || *p == '\n' || *p == '\r') return "the end of the line";
  const char* after = p;
  const char32_t c = decode_utf8(after);
  if (is_control(c)) {
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
    return text;
  }
  return "'" + std::string(p, after) + "'";
}

[[noreturn]] void expected(const char* what, const char* p, const char* end) {
  throw Problem{std::string("expected ") + what + ", found " + found(p, end)};
}

bool is_pn_chars_base(char32_t c) {
  return is_alpha(static_cast<char>(c < 0x80 ? c : 0)) || (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) ||
         (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) ||
         (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0xEFFFF);
}
bool is_pn_chars_u(char32_t c) { return is_pn_chars_base(c) || c == '_'; }
bool is_pn_chars(char32_t c) {
  return is_pn_chars_u(c) || c == '-' || (c >= '0' && c <= '9') || c == 0xB7 || (c >= 0x300 && c <= 0x36F) ||
         (c >= 0x203F && c <= 0x2040);
}

// The parse of one text: a cursor and the labels being written.
class Statements {
 public:
  Statements(std::string_view text, std::string& labels) : p_(text.data()), end_(text.data() + text.size()), labels_(labels) {}

  const char* p_;
  const char* const end_;
  std::string& labels_;

  bool at_line_end() const { return p_ == end_ || *p_ == '\n' || *p_ == '\r'; }
  void skip_spaces() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t')) ++p_;
  }
  // After a statement, or on a line of its own: a comment runs to the line's end.
  void skip_comment() {
    if (p_ < end_ && *p_ == '#') {
      while (p_ < end_ && *p_ != '\n' && *p_ != '\r') ++p_;
    }
  }

  // The four hex digits (or eight) of an escape after "\u" ("\U"), as a character.
  char32_t escaped_character(int digits) {
    char32_t c = 0;
    for (int i = 0; i < digits; ++i) {
      if (p_ >= end_ || !is_hex(*p_)) expected(digits == 4 ? "four hex digits after \\u" : "eight hex digits after \\U", p_, end_);
      c = c << 4 | hex_value(*p_++);
    }
    if (digits == 4 && c >= 0xD800 && c <= 0xDBFF) refuse_surrogate_pair(c);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) throw Problem{"an escape names no character (a surrogate, or above U+10FFFF)"};
    return c;
  }

  // After the escape of a high surrogate `high`: when an escape of a low
  // one follows, the two are UTF-16's spelling of one character, which some
  // producers write though RDF 1.1 does not allow it; the problem says how
  // to write it instead.
  void refuse_surrogate_pair(char32_t high) const {
    if (end_ - p_ < 6 || p_[0] != '\\' || p_[1] != 'u') return;
    char32_t low = 0;
    for (int i = 2; i < 6; ++i) {
      if (!is_hex(p_[i])) return;
      low = low << 4 | hex_value(p_[i]);
    }
    if (low < 0xDC00 || low > 0xDFFF) return;
    const auto character = static_cast<unsigned>(0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
    char text[200];
    std::snprintf(text, sizeof text,
                  "\\u%04X\\u%04X is a surrogate pair, which RDF 1.1 does not allow: the two stand for one "
                  "character above U+FFFF, U+%04X, to be written as one \\U escape, \\U%08X",
                  static_cast<unsigned>(high), static_cast<unsigned>(low), character, character);
    throw Problem{text};
  }

  // An IRI after its '<', appended decoded; checks that it is absolute.
  void iri() {
    const std::size_t start = labels_.size();
    for (;;) {
      // Runs of plain characters are copied whole.
      const char* run = p_;
      while (p_ < end_ && !ends_iri_run(static_cast<unsigned char>(*p_))) ++p_;
      labels_.append(run, static_cast<std::size_t>(p_ - run));
      if (p_ < end_ && static_cast<unsigned char>(*p_) == 0xC2) {
        const char* at = p_;
        const char32_t c = decode_utf8(at);
        if (is_control(c)) expected("'>' to end the IRI", p_, end_);
        labels_.append(p_, static_cast<std::size_t>(at - p_));
        p_ = at;
        continue;
      }
      if (p_ < end_ && *p_ == '>') {
        ++p_;
        break;
      }
      if (p_ < end_ && *p_ == '\\') {
        ++p_;
        if (p_ < end_ && (*p_ == 'u' || *p_ == 'U')) {
          const int digits = *p_++ == 'u' ? 4 : 8;
          const char32_t c = escaped_character(digits);
          if (excluded_from_iri(c)) throw Problem{"an escape in an IRI stands for a character that an IRI may not hold"};
          append_utf8(labels_, c);
          continue;
        }
        expected("'u' or 'U' after '\\' in an IRI", p_, end_);
      }
      expected("'>' to end the IRI", p_, end_);
    }
    const std::string_view text(labels_.data() + start, labels_.size() - start);
    std::size_t i = 0;
    if (!text.empty() && is_alpha(text[0])) {
      i = 1;
      while (i < text.size() && (is_alpha(text[i]) || is_digit(text[i]) || text[i] == '+' || text[i] == '-' || text[i] == '.')) ++i;
    }
    if (i == 0 || i >= text.size() || text[i] != ':') {
      throw Problem{"expected an absolute IRI (a scheme, then ':'), found <" + std::string(text) + ">"};
    }
  }

  // A blank node from its '_', appended as written.
  void blank_node() {
    const char* const start = p_;
    ++p_;
    if (p_ >= end_ || *p_ != ':') expected("':' after '_' to start a blank node", p_, end_);
    ++p_;
    const char* at = p_;
    if (p_ >= end_) expected("a blank node label after '_:'", p_, end_);
    char32_t c = decode_utf8(at);
    if (!is_pn_chars_u(c) && !is_digit(static_cast<char>(c < 0x80 ? c : 0))) expected("a blank node label after '_:'", p_, end_);
    p_ = at;
    const char* last_good = p_;  // the label may not end in '.'
    while (p_ < end_) {
      at = p_;
      c = decode_utf8(at);
      if (c == '.') {
        p_ = at;
        continue;
      }
      if (!is_pn_chars(c)) break;
      p_ = at;
      last_good = p_;
    }
    p_ = last_good;
    labels_.append(start, static_cast<std::size_t>(p_ - start));
  }

  // A literal from its '"', appended canonically; false if it was left out.
  void literal() {
    ++p_;
    labels_.push_back('"');
    for (;;) {
      const char* run = p_;
      while (p_ < end_ && static_cast<unsigned char>(*p_) >= 0x20 && *p_ != '"' && *p_ != '\\' && *p_ != 0x7F &&
             static_cast<unsigned char>(*p_) != 0xC2) {
        ++p_;
      }
      labels_.append(run, static_cast<std::size_t>(p_ - run));
      if (p_ >= end_ || *p_ == '\n' || *p_ == '\r') expected("'\"' to end the literal", p_, end_);
      if (*p_ == '"') {
        ++p_;
        break;
      }
      if (*p_ == '\\') {
        ++p_;
        if (p_ >= end_) expected("an escape after '\\'", p_, end_);
        const char e = *p_++;
        switch (e) {
          case 't': append_lexical(labels_, '\t'); break;
          case 'b': append_lexical(labels_, '\b'); break;
          case 'n': append_lexical(labels_, '\n'); break;
          case 'r': append_lexical(labels_, '\r'); break;
          case 'f': append_lexical(labels_, '\f'); break;
          case '"': append_lexical(labels_, '"'); break;
          case '\'': append_lexical(labels_, '\''); break;
          case '\\': append_lexical(labels_, '\\'); break;
          case 'u': append_lexical(labels_, escaped_character(4)); break;
          case 'U': append_lexical(labels_, escaped_character(8)); break;
          default: --p_; expected("one of t b n r f \" ' \\ u U after '\\'", p_, end_);
        }
        continue;
      }
      // A control character written as itself (C0, DEL, or C1 after 0xC2).
      append_lexical(labels_, decode_utf8(p_));
    }
    labels_.push_back('"');
    if (p_ < end_ && *p_ == '@') {
      ++p_;
      labels_.push_back('@');
      if (p_ >= end_ || !is_alpha(*p_)) expected("a language tag after '@'", p_, end_);
      while (p_ < end_ && is_alpha(*p_)) labels_.push_back(static_cast<char>(*p_++ | 0x20));
      while (p_ < end_ && *p_ == '-') {
        labels_.push_back(*p_++);
        if (p_ >= end_ || !(is_alpha(*p_) || is_digit(*p_))) expected("letters or digits after '-' in a language tag", p_, end_);
        while (p_ < end_ && (is_alpha(*p_) || is_digit(*p_))) {
          labels_.push_back(is_alpha(*p_) ? static_cast<char>(*p_ | 0x20) : *p_);
          ++p_;
        }
      }
    } else if (p_ < end_ && *p_ == '^') {
      ++p_;
      if (p_ >= end_ || *p_ != '^') expected("'^^' before a datatype", p_, end_);
      ++p_;
      if (p_ >= end_ || *p_ != '<') expected("'<' to start the datatype IRI", p_, end_);
      ++p_;
      const std::size_t before = labels_.size();
      labels_ += "^^<";
      iri();
      if (std::string_view(labels_).substr(before + 3) == kXsdString) {
        labels_.resize(before);
      } else {
        labels_.push_back('>');
      }
    }
  }
};

}  // namespace

std::optional<RdfSyntaxProblem> RdfLineParser::parse(std::string_view text, std::string& labels,
                                                    std::vector<StatementLabels>& statements,
                                                    std::uint64_t& lines) const {
  Statements in(text, labels);
  std::uint64_t line = 1;
  try {
    while (in.p_ < in.end_) {
      in.skip_spaces();
      in.skip_comment();
      if (!in.at_line_end()) {
        const std::size_t begin = labels.size();
        // Subject.
        if (*in.p_ == '<') {
          ++in.p_;
          in.iri();
        } else if (*in.p_ == '_') {
          in.blank_node();
        } else {
          expected("'<' or '_:' to start the subject", in.p_, in.end_);
        }
        const std::size_t subject_end = labels.size();
        in.skip_spaces();
        // Predicate.
        if (in.p_ < in.end_ && *in.p_ == '<') {
          ++in.p_;
          in.iri();
        } else {
          expected("'<' to start the predicate", in.p_, in.end_);
        }
        const std::size_t predicate_end = labels.size();
        in.skip_spaces();
        // Object.
        bool is_literal = false;
        if (in.p_ < in.end_ && *in.p_ == '<') {
          ++in.p_;
          in.iri();
        } else if (in.p_ < in.end_ && *in.p_ == '_') {
          in.blank_node();
        } else if (in.p_ < in.end_ && *in.p_ == '"') {
          in.literal();
          is_literal = true;
        } else {
          expected("'<', '_:' or '\"' to start the object", in.p_, in.end_);
        }
        const std::size_t object_end = labels.size();
        in.skip_spaces();
        // The graph, read and forgotten.
        if (quads_ && in.p_ < in.end_ && (*in.p_ == '<' || *in.p_ == '_')) {
          if (*in.p_ == '<') {
            ++in.p_;
            in.iri();
          } else {
            in.blank_node();
          }
          labels.resize(object_end);
          in.skip_spaces();
        }
        if (in.p_ >= in.end_ || *in.p_ != '.') {
          expected(quads_ ? "a graph IRI, a blank node or '.' after the object" : "'.' after the object", in.p_,
                   in.end_);
        }
        ++in.p_;
        in.skip_spaces();
        in.skip_comment();
        if (!in.at_line_end()) expected("the end of the line after '.'", in.p_, in.end_);
        constexpr std::size_t kLongest = std::numeric_limits<std::uint32_t>::max();
        if (subject_end - begin > kLongest || predicate_end - subject_end > kLongest ||
            object_end - predicate_end > kLongest) {
          throw Problem{"a term longer than 4 GiB"};
        }
        if (is_literal && drop_literals_) {
          labels.resize(begin);
        } else {
          statements.push_back({begin, static_cast<std::uint32_t>(subject_end - begin),
                                static_cast<std::uint32_t>(predicate_end - subject_end),
                                static_cast<std::uint32_t>(object_end - predicate_end)});
        }
      }
      // The line's end: a line feed, a carriage return, or both.
      if (in.p_ < in.end_) {
        if (*in.p_++ == '\r' && in.p_ < in.end_ && *in.p_ == '\n') ++in.p_;
        ++line;
      }
    }
  } catch (const Problem& problem) {
    return RdfSyntaxProblem{line, problem.message};
  }
  lines = line - 1 + (!text.empty() && text.back() != '\n' && text.back() != '\r' ? 1 : 0);
  return std::nullopt;
}

}  // namespace vantrel
