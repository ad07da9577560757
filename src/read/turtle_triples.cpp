#include <limits>
#include <string>

#include "read/turtle_reader.hpp"

namespace vantrel::turtle {

using rdf::expected;
using rdf::Problem;

void TurtleReader::triples() {
  Term subject(*this);
  if (at('[')) {
    if (!anonymous(*subject)) {
      property_list(*subject);
      skip_blank();
      if (next < text_end && *next != '.' && *next != '}') predicate_objects(*subject);
      return;
    }
  } else if (at('(')) {
    collection(*subject);
  } else if (at('_')) {
    blank_label(*subject);
  } else {
    iri(*subject, "a subject");
  }
  skip_blank();
  predicate_objects(*subject);
}

void TurtleReader::predicate_objects(const std::string& subject) {
  Term predicate(*this);
  verb(*predicate);
  object_list(subject, *predicate);
  skip_blank();
  if (!at(';')) return;
  ++next;
  after_semicolon(subject, *predicate);
}

void TurtleReader::after_semicolon(const std::string& subject, std::string& predicate) {
  for (;;) {
    skip_blank();
    while (at(';')) {
      ++next;
      skip_blank();
    }
    if (next >= text_end) {
      at_text_end();
      return;
    }
    if (*next == '.' || *next == ']' || *next == '}') return;
    verb(predicate);
    object_list(subject, predicate);
    skip_blank();
    if (!at(';')) return;
    ++next;
  }
}

void TurtleReader::verb(std::string& predicate) {
  skip_blank();
  if (at('a') && at_keyword(next, text_end, "a")) {
    ++next;
    predicate.assign(kRdf).append("type");
    return;
  }
  iri(predicate, "a predicate");
}

void TurtleReader::object_list(const std::string& subject, const std::string& predicate, bool after_comma) {
  Term object(*this);
  for (;; after_comma = true) {
    skip_blank();
    if (after_comma && next >= text_end) at_text_end();
    const bool literal = read_object(*object);
    stated(subject, predicate, *object, literal);
    skip_blank();
    if (!at(',')) return;
    ++next;
  }
}

inline bool TurtleReader::read_object(std::string& term) {
  if (next >= text_end) expected("an object", next, text_end);
  const char c = *next;
  if (c == '<') {
    iri(term, "an object");
  } else if (c == '_') {
    blank_label(term);
  } else if (c == '[') {
    if (!anonymous(term)) property_list(term);
  } else if (c == '(') {
    collection(term);
  } else if (c == '"' || c == '\'') {
    string_literal(term);
    return true;
  } else if (c == '+' || c == '-' || rdf::is_digit(c) || (c == '.' && next + 1 < text_end && rdf::is_digit(next[1]))) {
    number(term);
    return true;
  } else if ((at_keyword(next, text_end, "true") && std::string_view(next, 4) == "true") ||
             (at_keyword(next, text_end, "false") && std::string_view(next, 5) == "false")) {
    const std::size_t size = *next == 't' ? 4 : 5;
    term.assign(1, '"').append(next, size).append("\"^^<").append(kXsd).append("boolean>");
    next += size;
    return true;
  } else {
    iri(term, "an object");
  }
  return false;
}

inline void TurtleReader::stated(const std::string& subject, const std::string& predicate, const std::string& object,
                                 bool literal) {
  if (literal && drop_literals_) return;
  constexpr std::size_t kLongest = std::numeric_limits<std::uint32_t>::max();
  if (subject.size() > kLongest || predicate.size() > kLongest || object.size() > kLongest) {
    throw Problem{"a term longer than 4 GiB"};
  }
  statements_.push_back({out_.size(), static_cast<std::uint32_t>(subject.size()),
                         static_cast<std::uint32_t>(predicate.size()), static_cast<std::uint32_t>(object.size())});
  out_.append(subject).append(predicate).append(object);
}

bool TurtleReader::anonymous(std::string& term) {
  const char* open = next;
  ++next;
  skip_blank();
  if (at(']')) {
    ++next;
    made_blank(term, '[', open, ']');
    return true;
  }
  next = open;
  return false;
}

void TurtleReader::property_list(std::string& term) {
  const Depth deeper(*this);
  made_blank(term, '[', next, ']');
  ++next;
  skip_blank();
  predicate_objects(term);
  skip_blank();
  expect_char(']', "']' to end the blank node's properties");
}

void TurtleReader::collection(std::string& term) {
  const Depth deeper(*this);
  ++next;
  skip_blank();
  if (at(')')) {
    ++next;
    term.assign(kRdf).append("nil");
    return;
  }
  Term node(*this);
  Term item(*this);
  Term first(*this);
  Term rest(*this);
  first->assign(kRdf).append("first");
  rest->assign(kRdf).append("rest");
  made_blank(*node, '(', next, ')');
  term = *node;
  for (;;) {
    const bool literal = read_object(*item);
    stated(*node, *first, *item, literal);
    skip_blank();
    if (next >= text_end) expected("')' to end the collection", next, text_end);
    if (*next == ')') {
      ++next;
      item->assign(kRdf).append("nil");
      stated(*node, *rest, *item, false);
      return;
    }
    made_blank(*item, '(', next, ')');
    stated(*node, *rest, *item, false);
    node->swap(*item);
  }
}
}  // namespace vantrel::turtle
