#include "read/turtle.hpp"

#include <deque>
#include <limits>

#include "read/rdf_terms.hpp"
#include "read/turtle_terms.hpp"

namespace vantrel {

namespace {

using rdf::expected;
using rdf::Problem;
using turtle::at_keyword;
using turtle::kRdf;
using turtle::kXsd;

// '[ ... ]' and '( ... )' nest by recursion: deeper than this is refused
// rather than risking the thread's stack.
constexpr int kDeepestNesting = 1000;

// Thrown where a text cut inside a statement or graph reaches its end at
// the cut (after a ';', a ',' or a graph's '.'): the next text goes on.
struct ReachedCut {};

// The reading of one text: the cursor over it, the directives in force and
// the labels of the terms being read.
class TurtleReader : public turtle::TermReader {
 public:
  TurtleReader(std::string_view text, std::uint64_t offset, TurtleContext& context, bool trig, bool drop_literals,
               std::string& out, std::vector<StatementLabels>& statements)
      : TermReader(text, offset, context),
        trig_(trig),
        drop_literals_(drop_literals),
        out_(out),
        statements_(statements) {}

  // `ends_inside`: the text was cut inside a statement or graph (its end
  // may come after a ';', a ',' or a graph's '.').
  void document(bool ends_inside) {
    ends_inside_ = ends_inside;
    const TurtleResume resume = context_.resume;
    if (trig_ && resume.in_graph) {
      graph_statements(resume);
    } else if (!resume.subject.empty()) {
      resumed_statement(resume);
      skip_blank();
      expect_char('.', "'.' after the triples");
    }
    for (;;) {
      skip_blank();
      if (next == text_end) return;
      statement();
    }
  }

  // Reads a directive after its keyword; `sparql`: PREFIX or BASE, which
  // end without '.'.
  void directive(bool prefix, bool sparql) {
    skip_blank();
    std::string name;
    if (prefix) {
      const char* start = next;
      if (next < text_end && *next != ':') prefix_name();
      name.assign(start, next);
      if (next >= text_end || *next != ':') expected("':' after the prefix's name", next, text_end);
      ++next;
      skip_blank();
    }
    if (next >= text_end || *next != '<') expected("'<' to start the directive's IRI", next, text_end);
    std::string iri;
    iri_reference(iri);
    if (prefix) {
      context_.prefixes.insert_or_assign(std::move(name), std::move(iri));
    } else {
      context_.base = std::move(iri);
    }
    if (!sparql) {
      skip_blank();
      expect_char('.', "'.' after the directive");
    }
  }

 private:
  void statement() {
    if (*next == '@') {
      // "@prefix" and "@base" are whole words whatever follows them.
      ++next;
      const auto is_word = [&](std::string_view word) {
        return std::string_view(next, static_cast<std::size_t>(text_end - next)).starts_with(word) &&
               (next + word.size() == text_end || !rdf::is_alpha(next[word.size()]));
      };
      if (is_word("prefix")) {
        next += 6;
        directive(true, false);
      } else if (is_word("base")) {
        next += 4;
        directive(false, false);
      } else {
        expected("'prefix' or 'base' after '@'", next, text_end);
      }
      return;
    }
    if (at_keyword(next, text_end, "prefix")) {
      next += 6;
      directive(true, true);
      return;
    }
    if (at_keyword(next, text_end, "base")) {
      next += 4;
      directive(false, true);
      return;
    }
    if (trig_) {
      block();
      return;
    }
    triples();
    skip_blank();
    expect_char('.', "'.' after the triples");
  }

  // TriG's statements other than directives.
  void block() {
    if (*next == '{') {
      wrapped_graph();
      return;
    }
    if (at_keyword(next, text_end, "graph")) {
      next += 5;
      skip_blank();
      Term name(*this);
      if (at('[')) {
        if (!anonymous(*name)) expected("'[]' or an IRI or blank node to name the graph", next, text_end);
      } else if (at('_')) {
        blank_label(*name);
      } else {
        iri(*name, "an IRI or blank node to name the graph");
      }
      skip_blank();
      wrapped_graph();
      return;
    }
    Term subject(*this);
    if (at('[')) {
      if (!anonymous(*subject)) {
        property_list(*subject);
        skip_blank();
        if (!at('.')) predicate_objects(*subject);
        skip_blank();
        expect_char('.', "'.' after the triples");
        return;
      }
    } else if (at('(')) {
      collection(*subject);
      skip_blank();
      predicate_objects(*subject);
      skip_blank();
      expect_char('.', "'.' after the triples");
      return;
    } else if (at('_')) {
      blank_label(*subject);
    } else {
      iri(*subject, "a subject, a graph or a directive");
    }
    skip_blank();
    if (at('{')) {
      wrapped_graph();
      return;
    }
    predicate_objects(*subject);
    skip_blank();
    expect_char('.', "'.' after the triples");
  }

  void wrapped_graph() {
    expect_char('{', "'{' to start the graph");
    graph_statements({});
  }

  // A graph's statements and its closing '}', from where `resume` says:
  // after its '{', after a statement's '.', or inside a statement.
  void graph_statements(const TurtleResume& resume) {
    bool after_dot = resume.in_graph && resume.subject.empty();
    bool more = true;
    if (!resume.subject.empty()) {
      resumed_statement(resume);
      skip_blank();
      more = after_dot = at('.');
      if (more) ++next;
    }
    while (more) {
      skip_blank();
      if (after_dot && next >= text_end) at_text_end();
      if (at('}')) break;
      triples();
      skip_blank();
      if (!at('.')) break;
      ++next;
      after_dot = true;
    }
    skip_blank();
    expect_char('}', "'}' to end the graph");
  }

  // A subject and what is said of it.
  void triples() {
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

  void predicate_objects(const std::string& subject) {
    Term predicate(*this);
    verb(*predicate);
    object_list(subject, *predicate);
    skip_blank();
    if (!at(';')) return;
    ++next;
    after_semicolon(subject, *predicate);
  }

  // The rest of `subject`'s predicate-object list after a ';'.
  void after_semicolon(const std::string& subject, std::string& predicate) {
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

  // The rest of the statement that the text begins inside.
  void resumed_statement(const TurtleResume& resume) {
    Term subject(*this);
    Term predicate(*this);
    read_written(resume.subject, *subject, false);
    if (!resume.predicate.empty()) {
      read_written(resume.predicate, *predicate, true);
      object_list(*subject, *predicate, true);
      skip_blank();
      if (!at(';')) return;
      ++next;
    }
    after_semicolon(*subject, *predicate);
  }

  // A subject or predicate as written where its statement began, read
  // under the same directives.
  void read_written(std::string_view written, std::string& term, bool predicate) {
    std::string unused_labels;
    std::vector<StatementLabels> unused_statements;
    TurtleReader reader(written, 0, context_, trig_, false, unused_labels, unused_statements);
    reader.blank_suffix = blank_suffix;
    if (predicate) {
      reader.verb(term);
    } else if (reader.at('_')) {
      reader.blank_label(term);
    } else {
      reader.iri(term, "a subject");
    }
  }

  // At the end of the text where a statement or graph may go on: the cut,
  // if the text was cut there (and not inside brackets).
  void at_text_end() const {
    if (ends_inside_ && depth_ == 0) throw ReachedCut{};
  }

  void verb(std::string& predicate) {
    skip_blank();
    if (at('a') && at_keyword(next, text_end, "a")) {
      ++next;
      predicate.assign(kRdf).append("type");
      return;
    }
    iri(predicate, "a predicate");
  }

  // `after_comma`: the text begins after one of the list's ','.
  void object_list(const std::string& subject, const std::string& predicate, bool after_comma = false) {
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

  // An object into `term`; whether it is a literal.
  bool read_object(std::string& term) {
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
    } else if (c == '+' || c == '-' || rdf::is_digit(c) ||
               (c == '.' && next + 1 < text_end && rdf::is_digit(next[1]))) {
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

  void stated(const std::string& subject, const std::string& predicate, const std::string& object, bool literal) {
    if (literal && drop_literals_) return;
    constexpr std::size_t kLongest = std::numeric_limits<std::uint32_t>::max();
    if (subject.size() > kLongest || predicate.size() > kLongest || object.size() > kLongest) {
      throw Problem{"a term longer than 4 GiB"};
    }
    statements_.push_back({out_.size(), static_cast<std::uint32_t>(subject.size()),
                           static_cast<std::uint32_t>(predicate.size()), static_cast<std::uint32_t>(object.size())});
    out_.append(subject).append(predicate).append(object);
  }

  // '[' with only blanks before its ']': a new blank node into `term`.
  // False (and nothing read) where the brackets hold more.
  bool anonymous(std::string& term) {
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

  // '[' predicate-object list ']': its new blank node into `term`, the
  // triples said of it stated.
  void property_list(std::string& term) {
    const Depth deeper(*this);
    made_blank(term, '[', next, ']');
    ++next;
    skip_blank();
    predicate_objects(term);
    skip_blank();
    expect_char(']', "']' to end the blank node's properties");
  }

  // '(' items ')': its first node (or rdf:nil) into `term`, the list's
  // triples stated item by item.
  void collection(std::string& term) {
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

  // A label buffer for the length of a scope, taken from a stack of them
  // that grows once and is then reused.
  class Term {
   public:
    explicit Term(TurtleReader& reader) : reader_(reader) {
      if (reader_.terms_in_use_ == reader_.terms_.size()) reader_.terms_.emplace_back();
      term_ = &reader_.terms_[reader_.terms_in_use_++];
      term_->clear();
    }
    ~Term() { --reader_.terms_in_use_; }
    Term(const Term&) = delete;
    Term& operator=(const Term&) = delete;
    std::string& operator*() const { return *term_; }
    std::string* operator->() const { return term_; }

   private:
    TurtleReader& reader_;
    std::string* term_;
  };

  class Depth {
   public:
    explicit Depth(TurtleReader& reader) : reader_(reader) {
      if (++reader_.depth_ > kDeepestNesting) {
        throw Problem{"blank nodes or collections nested more than " + std::to_string(kDeepestNesting) + " deep"};
      }
    }
    ~Depth() { --reader_.depth_; }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;

   private:
    TurtleReader& reader_;
  };

  const bool trig_;
  const bool drop_literals_;
  std::string& out_;
  std::vector<StatementLabels>& statements_;
  std::deque<std::string> terms_;  // a deque: its strings stay where they are as it grows
  std::size_t terms_in_use_ = 0;
  int depth_ = 0;
  bool ends_inside_ = false;
};

std::uint64_t count_line_ends(std::string_view text) {
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) ++count;
  }
  return count;
}

}  // namespace

DirectiveEnd apply_directive(std::string_view text, std::size_t after_keyword, bool prefix, TurtleContext& context) {
  TurtleContext changed = context;
  std::string labels;
  std::vector<StatementLabels> statements;
  TurtleReader reader(text.substr(after_keyword), 0, changed, false, false, labels, statements);
  bool applied = true;
  try {
    reader.directive(prefix, true);
  } catch (const Problem&) {
    applied = false;
  }
  if (applied) context = std::move(changed);
  return {applied, static_cast<std::size_t>(reader.next - text.data())};
}

std::optional<RdfSyntaxProblem> TurtleParser::parse(std::string_view text, std::uint64_t offset, TurtleContext context,
                                                    bool ends_inside, std::string& labels,
                                                    std::vector<StatementLabels>& statements,
                                                    std::uint64_t& lines) const {
  TurtleReader reader(text, offset, context, trig_, drop_literals_, labels, statements);
  reader.blank_suffix = blank_suffix_;
  try {
    reader.document(ends_inside);
  } catch (const ReachedCut&) {
    // the text's end, where the next goes on
  } catch (const Problem& problem) {
    return RdfSyntaxProblem{reader.line_of_next(), problem.message,
                            static_cast<std::uint64_t>(reader.next - text.data())};
  }
  lines = count_line_ends(text);
  return std::nullopt;
}

}  // namespace vantrel
