// What the RDF readers share: the statements they make (labels back to
// back) and the problems they find, which the graph reader takes from any
// of them; character classes, UTF-8, the canonical spelling of labels (see
// ntriples.hpp), and a cursor that reads IRIs, blank node labels and string
// literals into labels.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "read/iri.hpp"

namespace vantrel {

// One statement's labels, back to back in a label buffer from `begin`:
// the subject's, the predicate's, then the object's.
struct StatementLabels {
  std::uint64_t begin;
  std::uint32_t subject_size;
  std::uint32_t predicate_size;
  std::uint32_t object_size;
};

// Where and why a text is not N-Triples (or N-Quads).
struct RdfSyntaxProblem {
  std::uint64_t line;        // 1-based, within the text parsed
  std::string message;       // what was expected, and what was found
  std::uint64_t offset = 0;  // where in the text it was found (Turtle and TriG)
};

}  // namespace vantrel

namespace vantrel::rdf {

inline constexpr std::string_view kXsdString = "http://www.w3.org/2001/XMLSchema#string";

// Thrown inside a parser only, at the first problem; the parser turns it
// into an RdfSyntaxProblem.
struct Problem {
  std::string message;
};

inline bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
inline unsigned hex_value(char c) {
  if (c <= '9') return static_cast<unsigned>(c - '0');
  return static_cast<unsigned>((c | 0x20) - 'a' + 10);
}
inline bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline void append_utf8(std::string& out, char32_t c) {
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
inline bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// The characters that an IRI may not hold, written or escaped: a space, a
// control character, or one of <>"{}|^`\.
inline bool excluded_from_iri(char32_t c) {
  return c == ' ' || is_control(c) || c == '<' || c == '>' || c == '"' || c == '{' || c == '}' || c == '|' ||
         c == '^' || c == '`' || c == '\\';
}

// Whether the byte `b` of UTF-8 text ends a run of an IRI's plain
// characters: an excluded ASCII character, or 0xC2, the lead byte of C1
// controls (and of other characters, which the caller lets through).
inline bool ends_iri_run(unsigned char b) { return b < 0x80 ? excluded_from_iri(b) : b == 0xC2; }

// Writes a lexical form's character in its canonical spelling.
inline void append_lexical(std::string& out, char32_t c) {
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
inline char32_t decode_utf8(const char*& p) {
  const auto lead = static_cast<unsigned char>(*p++);
  if (lead < 0x80) return lead;
  int more = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  char32_t c = lead & (0x3F >> more);
  while (more-- > 0) c = (c << 6) | (static_cast<unsigned char>(*p++) & 0x3F);
  return c;
}

// A description of the character at `p` for messages: "'x'", "U+0009"
// for a control character, or "the end of the line".
inline std::string found(const char* p, const char* end) {
  if (p >= end || *p == '\n' || *p == '\r') return "the end of the line";
  const char* after = p;
  const char32_t c = decode_utf8(after);
  if (is_control(c)) {
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
    return text;
  }
  std::string quoted(1, '\'');
  quoted.append(p, after);
  quoted.push_back('\'');
  return quoted;
}

[[noreturn]] inline void expected(const char* what, const char* p, const char* end) {
  throw Problem{std::string("expected ") + what + ", found " + found(p, end)};
}

inline bool is_pn_chars_base(char32_t c) {
  return is_alpha(static_cast<char>(c < 0x80 ? c : 0)) || (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) ||
         (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) ||
         (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0xEFFFF);
}
inline bool is_pn_chars_u(char32_t c) { return is_pn_chars_base(c) || c == '_'; }
inline bool is_pn_chars(char32_t c) {
  return is_pn_chars_u(c) || c == '-' || (c >= '0' && c <= '9') || c == 0xB7 || (c >= 0x300 && c <= 0x36F) ||
         (c >= 0x203F && c <= 0x2040);
}

// A cursor over one text of RDF: where it stands, where the text ends, and
// the labels that the terms read so far were written to. A parser's
// statement loop drives it term by term.
struct TermCursor {
  TermCursor(std::string_view text, std::string& out)
      : next(text.data()), text_end(text.data() + text.size()), labels(out) {}

  const char* next;
  const char* const text_end;
  std::string& labels;
  std::string_view blank_suffix;  // appended to every blank node's label

  bool at_line_end() const { return next == text_end || *next == '\n' || *next == '\r'; }
  void skip_spaces() {
    while (next < text_end && (*next == ' ' || *next == '\t')) ++next;
  }
  // After a statement, or on a line of its own: a comment runs to the line's end.
  void skip_comment() {
    if (next < text_end && *next == '#') {
      while (next < text_end && *next != '\n' && *next != '\r') ++next;
    }
  }

  // The four hex digits (or eight) of an escape after "\u" ("\U"), as a character.
  char32_t escaped_character(int digits) {
    char32_t c = 0;
    for (int i = 0; i < digits; ++i) {
      if (next >= text_end || !is_hex(*next))
        expected(digits == 4 ? "four hex digits after \\u" : "eight hex digits after \\U", next, text_end);
      c = c << 4 | hex_value(*next++);
    }
    if (digits == 4 && c >= 0xD800 && c <= 0xDBFF) refuse_surrogate_pair(c);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
      throw Problem{"an escape names no character (a surrogate, or above U+10FFFF)"};
    return c;
  }

  // After the escape of a high surrogate `high`: when an escape of a low
  // one follows, the two are UTF-16's spelling of one character, which some
  // producers write though RDF 1.1 does not allow it; the problem says how
  // to write it instead.
  void refuse_surrogate_pair(char32_t high) const {
    if (text_end - next < 6 || next[0] != '\\' || next[1] != 'u') return;
    char32_t low = 0;
    for (int i = 2; i < 6; ++i) {
      if (!is_hex(next[i])) return;
      low = low << 4 | hex_value(next[i]);
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

  // An IRI after its '<', appended decoded; one that is not absolute is
  // resolved against `base`, or refused where there is none.
  void iri(const std::string* base = nullptr) {
    const std::size_t start = labels.size();
    iri_text();
    const std::string_view text(labels.data() + start, labels.size() - start);
    if (is_absolute_iri(text)) return;
    if (!base) throw Problem{"expected an absolute IRI (a scheme, then ':'), found <" + std::string(text) + ">"};
    std::string resolved = resolve_iri(*base, text);
    labels.resize(start);
    labels.append(resolved);
  }

  // An IRI reference after its '<', appended decoded, absolute or not.
  void iri_text() {
    for (;;) {
      // Runs of plain characters are copied whole.
      const char* run = next;
      while (next < text_end && !ends_iri_run(static_cast<unsigned char>(*next))) ++next;
      labels.append(run, static_cast<std::size_t>(next - run));
      if (next < text_end && static_cast<unsigned char>(*next) == 0xC2) {
        const char* at = next;
        const char32_t c = decode_utf8(at);
        if (is_control(c)) expected("'>' to end the IRI", next, text_end);
        labels.append(next, static_cast<std::size_t>(at - next));
        next = at;
        continue;
      }
      if (next < text_end && *next == '>') {
        ++next;
        break;
      }
      if (next < text_end && *next == '\\') {
        ++next;
        if (next < text_end && (*next == 'u' || *next == 'U')) {
          const int digits = *next++ == 'u' ? 4 : 8;
          const char32_t c = escaped_character(digits);
          if (excluded_from_iri(c))
            throw Problem{"an escape in an IRI stands for a character that an IRI may not hold"};
          append_utf8(labels, c);
          continue;
        }
        expected("'u' or 'U' after '\\' in an IRI", next, text_end);
      }
      expected("'>' to end the IRI", next, text_end);
    }
  }

  // A blank node from its '_', appended as written (then blank_suffix).
  void blank_node() {
    const char* const start = next;
    ++next;
    if (next >= text_end || *next != ':') expected("':' after '_' to start a blank node", next, text_end);
    ++next;
    const char* at = next;
    if (next >= text_end) expected("a blank node label after '_:'", next, text_end);
    char32_t c = decode_utf8(at);
    if (!is_pn_chars_u(c) && !is_digit(static_cast<char>(c < 0x80 ? c : 0)))
      expected("a blank node label after '_:'", next, text_end);
    next = at;
    const char* last_good = next;  // the label may not end in '.'
    while (next < text_end) {
      at = next;
      c = decode_utf8(at);
      if (c == '.') {
        next = at;
        continue;
      }
      if (!is_pn_chars(c)) break;
      next = at;
      last_good = next;
    }
    next = last_good;
    labels.append(start, static_cast<std::size_t>(next - start));
    labels.append(blank_suffix);
  }

  // A literal from its '"', appended canonically; a relative datatype IRI
  // is resolved as iri() resolves one.
  void literal(const std::string* base = nullptr) {
    ++next;
    string_body('"', false);
    if (next < text_end && *next == '@') {
      ++next;
      language_tag();
    } else if (next < text_end && *next == '^') {
      ++next;
      if (next >= text_end || *next != '^') expected("'^^' before a datatype", next, text_end);
      ++next;
      if (next >= text_end || *next != '<') expected("'<' to start the datatype IRI", next, text_end);
      ++next;
      const std::size_t before = labels.size();
      labels += "^^<";
      iri(base);
      end_datatype(before);
    }
  }

  // A string's characters after its opening quote (or three), appended in
  // double quotes canonically, through the closing one(s). A short string
  // ends at the line's end; a long one holds line ends as characters.
  void string_body(char quote, bool long_form) {
    labels.push_back('"');
    for (;;) {
      const char* run = next;
      while (next < text_end && static_cast<unsigned char>(*next) >= 0x20 && *next != '"' && *next != '\\' &&
             *next != '\'' && *next != 0x7F && static_cast<unsigned char>(*next) != 0xC2) {
        ++next;
      }
      labels.append(run, static_cast<std::size_t>(next - run));
      if (next >= text_end || (!long_form && (*next == '\n' || *next == '\r'))) {
        std::string what = {'\'', quote, '\''};
        if (long_form) what.append(" three times");
        what.append(" to end the literal");
        expected(what.c_str(), next, text_end);
      }
      if (*next == quote) {
        if (!long_form) {
          ++next;
          break;
        }
        if (text_end - next >= 3 && next[1] == quote && next[2] == quote) {
          next += 3;
          break;
        }
      }
      if (*next == '"' || *next == '\'' || *next == '\n' || *next == '\r') {
        append_lexical(labels, static_cast<unsigned char>(*next++));
        continue;
      }
      if (*next == '\\') {
        ++next;
        if (next >= text_end) expected("an escape after '\\'", next, text_end);
        const char e = *next++;
        switch (e) {
          case 't': append_lexical(labels, '\t'); break;
          case 'b': append_lexical(labels, '\b'); break;
          case 'n': append_lexical(labels, '\n'); break;
          case 'r': append_lexical(labels, '\r'); break;
          case 'f': append_lexical(labels, '\f'); break;
          case '"': append_lexical(labels, '"'); break;
          case '\'': append_lexical(labels, '\''); break;
          case '\\': append_lexical(labels, '\\'); break;
          case 'u': append_lexical(labels, escaped_character(4)); break;
          case 'U': append_lexical(labels, escaped_character(8)); break;
          default: --next; expected("one of t b n r f \" ' \\ u U after '\\'", next, text_end);
        }
        continue;
      }
      // A control character written as itself (C0, DEL, or C1 after 0xC2).
      append_lexical(labels, decode_utf8(next));
    }
    labels.push_back('"');
  }

  // A language tag after its '@', appended with '@' in lower case.
  void language_tag() {
    labels.push_back('@');
    if (next >= text_end || !is_alpha(*next)) expected("a language tag after '@'", next, text_end);
    while (next < text_end && is_alpha(*next)) labels.push_back(static_cast<char>(*next++ | 0x20));
    while (next < text_end && *next == '-') {
      labels.push_back(*next++);
      if (next >= text_end || !(is_alpha(*next) || is_digit(*next)))
        expected("letters or digits after '-' in a language tag", next, text_end);
      while (next < text_end && (is_alpha(*next) || is_digit(*next))) {
        labels.push_back(is_alpha(*next) ? static_cast<char>(*next | 0x20) : *next);
        ++next;
      }
    }
  }

  // After a datatype IRI appended from `before` as "^^<" and the IRI: the
  // closing '>', or nothing at all for xsd:string (the plain literal's).
  void end_datatype(std::size_t before) {
    if (std::string_view(labels).substr(before + 3) == kXsdString) {
      labels.resize(before);
    } else {
      labels.push_back('>');
    }
  }
};

}  // namespace vantrel::rdf
