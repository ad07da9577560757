// The reader of one Turtle or TriG text, for read/turtle alone: the
// statement grammar on Turtle's terms (read/turtle_terms), its members in
// two units, the document's level (directives, TriG graphs, statements and
// where a text cut inside one resumes) in turtle.cpp, and the triples'
// (subjects, predicate-object lists, objects, '[ ... ]' and collections) in
// turtle_triples.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "read/rdf_terms.hpp"
#include "read/turtle_context.hpp"
#include "read/turtle_terms.hpp"

namespace vantrel::turtle {

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
  void document(bool ends_inside);

  // Reads a directive after its keyword; `sparql`: PREFIX or BASE, which
  // end without '.'.
  void directive(bool prefix, bool sparql);

 private:
  void statement();

  // TriG's statements other than directives.
  void block();

  void wrapped_graph();

  // A graph's statements and its closing '}', from where `resume` says:
  // after its '{', after a statement's '.', or inside a statement.
  void graph_statements(const TurtleResume& resume);

  // A subject and what is said of it.
  void triples();

  void predicate_objects(const std::string& subject);

  // The rest of `subject`'s predicate-object list after a ';'.
  void after_semicolon(const std::string& subject, std::string& predicate);

  // The rest of the statement that the text begins inside.
  void resumed_statement(const TurtleResume& resume);

  // A subject or predicate as written where its statement began, read
  // under the same directives.
  void read_written(std::string_view written, std::string& term, bool predicate);

  // At the end of the text where a statement or graph may go on: the cut,
  // if the text was cut there (and not inside brackets).
  void at_text_end() const;

  void verb(std::string& predicate);

  // `after_comma`: the text begins after one of the list's ','.
  void object_list(const std::string& subject, const std::string& predicate, bool after_comma = false);

  // An object into `term`; whether it is a literal.
  bool read_object(std::string& term);

  void stated(const std::string& subject, const std::string& predicate, const std::string& object, bool literal);

  // '[' with only blanks before its ']': a new blank node into `term`.
  // False (and nothing read) where the brackets hold more.
  bool anonymous(std::string& term);

  // '[' predicate-object list ']': its new blank node into `term`, the
  // triples said of it stated.
  void property_list(std::string& term);

  // '(' items ')': its first node (or rdf:nil) into `term`, the list's
  // triples stated item by item.
  void collection(std::string& term);

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
        throw rdf::Problem{"blank nodes or collections nested more than " + std::to_string(kDeepestNesting) + " deep"};
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

}  // namespace vantrel::turtle
