#include "read/turtle.hpp"

#include <string>

#include "read/turtle_reader.hpp"

namespace vantrel::turtle {

using rdf::expected;
using rdf::Problem;

void TurtleReader::document(bool ends_inside) {
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

void TurtleReader::directive(bool prefix, bool sparql) {
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

void TurtleReader::statement() {
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

void TurtleReader::block() {
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

void TurtleReader::wrapped_graph() {
  expect_char('{', "'{' to start the graph");
  graph_statements({});
}

void TurtleReader::graph_statements(const TurtleResume& resume) {
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

void TurtleReader::resumed_statement(const TurtleResume& resume) {
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

void TurtleReader::read_written(std::string_view written, std::string& term, bool predicate) {
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

void TurtleReader::at_text_end() const {
  if (ends_inside_ && depth_ == 0) throw ReachedCut{};
}
}  // namespace vantrel::turtle

namespace vantrel {

namespace {

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
  turtle::TurtleReader reader(text.substr(after_keyword), 0, changed, false, false, labels, statements);
  bool applied = true;
  try {
    reader.directive(prefix, true);
  } catch (const rdf::Problem&) {
    applied = false;
  }
  if (applied) context = std::move(changed);
  return {applied, static_cast<std::size_t>(reader.next - text.data())};
}

std::optional<RdfSyntaxProblem> TurtleParser::parse(std::string_view text, std::uint64_t offset, TurtleContext context,
                                                    bool ends_inside, std::string& labels,
                                                    std::vector<StatementLabels>& statements,
                                                    std::uint64_t& lines) const {
  turtle::TurtleReader reader(text, offset, context, trig_, drop_literals_, labels, statements);
  reader.blank_suffix = blank_suffix_;
  try {
    reader.document(ends_inside);
  } catch (const turtle::ReachedCut&) {
    // the text's end, where the next goes on
  } catch (const rdf::Problem& problem) {
    return RdfSyntaxProblem{reader.line_of_next(), problem.message,
                            static_cast<std::uint64_t>(reader.next - text.data())};
  }
  lines = count_line_ends(text);
  return std::nullopt;
}

}  // namespace vantrel
