#include "read/turtle_cuts.hpp"

#include <cstring>

#include "core/utf8.hpp"

namespace vantrel {

namespace {

bool is_word_byte(unsigned char b) {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_' || b == '-' ||
         b == ':' || b == '%' || b >= 0x80;
}

bool equals_folded(std::string_view word, std::string_view lower) {
  if (word.size() != lower.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if ((word[i] | 0x20) != lower[i]) return false;
  }
  return true;
}

// Where the string whose quote is at `at` ends (after its closing quote),
// or where a short one meets a line end, or text.size() where it does not.
std::size_t string_end(std::string_view text, std::size_t at) {
  const char quote = text[at];
  const bool long_form = at + 2 < text.size() && text[at + 1] == quote && text[at + 2] == quote;
  std::size_t i = at + (long_form ? 3 : 1);
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\\') {
      i += 2;
    } else if (c == quote) {
      if (!long_form) return i + 1;
      if (i + 2 < text.size() && text[i + 1] == quote && text[i + 2] == quote) return i + 3;
      ++i;
    } else if (!long_form && (c == '\n' || c == '\r')) {
      return i;  // not a string the parser takes
    } else {
      ++i;
    }
  }
  return text.size();
}

// After a directive's IRI at `at`: past blanks and comments, then its '.'
// where it has one; 0 where the next thing is not '.'.
std::size_t after_directive_dot(std::string_view text, std::size_t at) {
  while (at < text.size()) {
    const char c = text[at];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++at;
    } else if (c == '#') {
      while (at < text.size() && text[at] != '\n' && text[at] != '\r') ++at;
    } else {
      return c == '.' ? at + 1 : 0;
    }
  }
  return 0;
}

// last_statement_end() over valid UTF-8.
std::size_t statement_end_in(std::string_view text, bool trig, TurtleContext& context) {
  std::size_t cut = 0;
  std::size_t depth = 0;
  bool after_string = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool was_after_string = after_string;
    after_string = false;
    switch (c) {
      case '#': {
        const void* line_end = std::memchr(text.data() + i, '\n', text.size() - i);
        i = line_end ? static_cast<std::size_t>(static_cast<const char*>(line_end) - text.data()) : text.size();
        break;
      }
      case '<': {
        std::size_t end = i + 1;
        while (end < text.size() && text[end] != '>' && text[end] != '\n' && text[end] != ' ') ++end;
        if (end == text.size()) return cut;        // the IRI goes on past the text
        if (text[end] != '>') return text.size();  // no IRI: the parser stops at it or before
        i = end + 1;
        break;
      }
      case '"':
      case '\'':
        i = string_end(text, i);
        if (i == text.size()) return cut;                            // the string may go on past the text
        if (text[i] == '\n' || text[i] == '\r') return text.size();  // a short string's line end: a problem
        after_string = true;
        break;
      case '[':
      case '(':
      case '{':
        ++depth;
        ++i;
        break;
      case ']':
      case ')':
      case '}':
        if (depth > 0) --depth;
        ++i;
        if (c == '}' && trig && depth == 0) cut = i;
        break;
      case '.':
        ++i;
        // Not a decimal's point (".5"); a name's inner dots are skipped with
        // it. A '.' that ends the text may be either, once more is read.
        if (depth == 0 && i < text.size() && !(text[i] >= '0' && text[i] <= '9')) cut = i;
        break;
      case '\\': i += 2; break;
      default: {
        if (!is_word_byte(c) && c != '@') {
          ++i;
          break;
        }
        const std::size_t start = i;
        ++i;
        // "@prefix" and "@base" (and language tags) are letters only.
        while (c == '@' && i < text.size() && ((text[i] | 0x20) >= 'a' && (text[i] | 0x20) <= 'z')) ++i;
        while (c != '@' && i < text.size()) {
          const auto b = static_cast<unsigned char>(text[i]);
          if (is_word_byte(b)) {
            ++i;
          } else if (b == '\\') {
            i += 2;
          } else if (b == '.' && i + 1 < text.size() &&
                     (is_word_byte(static_cast<unsigned char>(text[i + 1])) || text[i + 1] == '.')) {
            ++i;
          } else {
            break;
          }
        }
        i = std::min(i, text.size());
        if (depth != 0 || (c == '@' && was_after_string)) break;  // a language tag
        const std::string_view word = text.substr(start, i - start);
        const bool at_form = c == '@';
        const std::string_view keyword = at_form ? word.substr(1) : word;
        const bool prefix = at_form ? keyword == "prefix" : equals_folded(keyword, "prefix");
        const bool base = at_form ? keyword == "base" : equals_folded(keyword, "base");
        if (!prefix && !base) break;
        // A directive is a statement of its own: the context changes where it ends.
        TurtleContext changed = context;
        const DirectiveEnd end = apply_directive(text, i, prefix, changed);
        // A directive the text may not hold whole yet waits for more; one
        // that is not a directive is where the parser stops, or before.
        if (!end.applied) return end.at + 4 >= text.size() ? cut : text.size();
        const std::size_t after = at_form ? after_directive_dot(text, end.at) : end.at;
        if (after == 0 || after == text.size()) return cut;  // its end (or the name after it) not yet read
        context = std::move(changed);
        cut = i = after;
        break;
      }
    }
  }
  return cut;
}

}  // namespace

std::size_t last_statement_end(std::string_view whole, bool trig, TurtleContext& context) {
  // The scan reads valid UTF-8 only (a directive is read by the parser's own
  // code). Bytes that are not UTF-8 make the piece that holds them fail,
  // whatever follows them: a text with some is cut at its last statement
  // before them, or else after all of it. Its last three bytes may be a
  // character that the next read completes.
  const std::size_t valid = valid_utf8_prefix(whole);
  const bool bad_bytes = whole.size() - valid > 3;
  const std::string_view text = whole.substr(0, valid);
  const std::size_t cut = statement_end_in(text, trig, context);
  return cut == 0 && bad_bytes ? whole.size() : cut;
}

}  // namespace vantrel
