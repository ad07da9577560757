#include "read/turtle_terms.hpp"

#include "read/iri.hpp"

namespace vantrel::turtle {

using rdf::expected;
using rdf::Problem;

bool at_keyword(const char* at, const char* end, std::string_view keyword) {
  if (end - at < static_cast<std::ptrdiff_t>(keyword.size())) return false;
  for (std::size_t i = 0; i < keyword.size(); ++i) {
    if ((at[i] | 0x20) != keyword[i]) return false;
  }
  const char* after = at + keyword.size();
  if (after == end) return true;
  if (*after == '.') return after + 1 == end || !is_name_byte(static_cast<unsigned char>(after[1]));
  return !(is_name_byte(static_cast<unsigned char>(*after)) || *after == ':');
}

TermReader::TermReader(std::string_view text, std::uint64_t offset, TurtleContext& context)
    : TermCursor(text, scratch_), context_(context), text_begin_(text.data()), offset_(offset) {}

std::uint64_t TermReader::line_of_next() const {
  std::uint64_t line = 1;
  for (const char* p = text_begin_; p < next && p < text_end; ++p) {
    if (*p == '\n' || (*p == '\r' && (p + 1 == text_end || p[1] != '\n'))) ++line;
  }
  return line;
}

void TermReader::skip_blank() { next = after_blanks(next, text_end); }

void TermReader::expect_char(char c, const char* what) {
  if (next >= text_end || *next != c) expected(what, next, text_end);
  ++next;
}

void TermReader::made_blank(std::string& term, char open, const char* at_byte, char close) const {
  term.assign("_:").push_back(open);
  term.append(std::to_string(offset_ + static_cast<std::uint64_t>(at_byte - text_begin_)));
  term.push_back(close);
  term.append(blank_suffix);
}

void TermReader::blank_label(std::string& term) {
  scratch_.clear();
  blank_node();
  term.assign(scratch_);
}

void TermReader::iri(std::string& term, const char* what) {
  if (at('<')) {
    iri_reference(term);
    return;
  }
  if (next >= text_end || !(*next == ':' || is_name_byte(static_cast<unsigned char>(*next)))) {
    expected(what, next, text_end);
  }
  prefixed_name(term);
}

void TermReader::iri_reference(std::string& term) {
  ++next;
  scratch_.clear();
  iri_text();
  if (is_absolute_iri(scratch_)) {
    term.assign(scratch_);
  } else if (!context_.base.empty()) {
    term = resolve_iri(context_.base, scratch_);
  } else {
    throw Problem{"expected an absolute IRI (a scheme, then ':'), found <" + scratch_ +
                  "> with no base IRI to resolve it against (@base, BASE or read()'s base=)"};
  }
}

void TermReader::prefix_name() {
  const char* at_char = next;
  if (!rdf::is_pn_chars_base(rdf::decode_utf8(at_char))) expected("a prefix's name", next, text_end);
  next = at_char;
  const char* last_good = next;
  while (next < text_end) {
    at_char = next;
    const char32_t c = rdf::decode_utf8(at_char);
    if (c != '.' && !rdf::is_pn_chars(c)) break;
    next = at_char;
    if (c != '.') last_good = next;
  }
  next = last_good;
}

void TermReader::prefixed_name(std::string& term) {
  const char* start = next;
  if (*next != ':') prefix_name();
  if (!at(':')) expected("':' in a prefixed name", next, text_end);
  const auto found = context_.prefixes.find(std::string_view(start, static_cast<std::size_t>(next - start)));
  if (found == context_.prefixes.end()) {
    throw Problem{"the prefix '" + std::string(start, next) + ":' is not declared"};
  }
  ++next;
  term.assign(found->second);
  local_name(term);
}

void TermReader::local_name(std::string& term) {
  std::size_t good_size = term.size();
  const char* last_good = next;
  bool first = true;
  while (next < text_end) {
    const char c = *next;
    if (c == '%') {
      if (text_end - next < 3 || !rdf::is_hex(next[1]) || !rdf::is_hex(next[2])) {
        expected("two hex digits after '%'", next + 1, text_end);
      }
      term.append(next, 3);
      next += 3;
    } else if (c == '\\') {
      if (next + 1 >= text_end || std::string_view("_~.-!$&'()*+,;=/?#@%").find(next[1]) == std::string_view::npos) {
        expected("one of _~.-!$&'()*+,;=/?#@% after '\\' in a local name", next + 1, text_end);
      }
      term.push_back(next[1]);
      next += 2;
    } else if (c == ':' || (first && rdf::is_digit(c))) {
      term.push_back(c);
      ++next;
    } else if (c == '.' && !first) {
      term.push_back(c);
      ++next;
      first = false;
      continue;  // not a good end
    } else {
      const char* at_char = next;
      const char32_t character = rdf::decode_utf8(at_char);
      if (!(first ? rdf::is_pn_chars_u(character) : rdf::is_pn_chars(character))) break;
      term.append(next, at_char);
      next = at_char;
    }
    first = false;
    good_size = term.size();
    last_good = next;
  }
  term.resize(good_size);
  next = last_good;
}

void TermReader::string_literal(std::string& term) {
  const char quote = *next;
  const bool long_form = text_end - next >= 3 && next[1] == quote && next[2] == quote;
  next += long_form ? 3 : 1;
  scratch_.clear();
  string_body(quote, long_form);
  if (at('@')) {
    ++next;
    language_tag();
    term.assign(scratch_);
  } else if (at('^')) {
    ++next;
    expect_char('^', "'^^' before a datatype");
    const std::size_t before = scratch_.size();
    std::string lexical = std::move(scratch_);
    iri(datatype_, "a datatype IRI");
    scratch_ = std::move(lexical);
    scratch_.append("^^<").append(datatype_);
    end_datatype(before);
    term.assign(scratch_);
  } else {
    term.assign(scratch_);
  }
}

void TermReader::number(std::string& term) {
  const char* start = next;
  if (*next == '+' || *next == '-') ++next;
  const char* digits = next;
  while (at_digit()) ++next;
  bool integer_digits = next > digits;
  const char* kind = "integer";
  if (at('.') && next + 1 < text_end && rdf::is_digit(next[1])) {
    ++next;
    while (at_digit()) ++next;
    kind = "decimal";
    integer_digits = true;
  } else if (at('.') && integer_digits && next + 1 < text_end && (next[1] == 'e' || next[1] == 'E')) {
    ++next;
  }
  if (!integer_digits) expected("a number", start, text_end);
  if (at('e') || at('E')) {
    ++next;
    if (at('+') || at('-')) ++next;
    if (!at_digit()) expected("digits in the number's exponent", next, text_end);
    while (at_digit()) ++next;
    kind = "double";
  }
  term.assign(1, '"').append(start, next).append("\"^^<").append(kXsd).append(kind).push_back('>');
}

}  // namespace vantrel::turtle
