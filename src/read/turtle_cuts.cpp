#include "read/turtle_cuts.hpp"

#include <algorithm>
#include <string>

#include "core/utf8.hpp"
#include "read/turtle_terms.hpp"

namespace vantrel {

namespace {

using turtle::is_word_byte;

// Where the string whose quote is at `at` ends: after its closing quote
// (`closed`), or where a short one meets a line end, or at text.size()
// where the text ends first.
struct StringEnd {
  std::size_t at;
  bool closed;
};

StringEnd string_end(std::string_view text, std::size_t at) {
  const char quote = text[at];
  const bool long_form = at + 2 < text.size() && text[at + 1] == quote && text[at + 2] == quote;
  std::size_t i = at + (long_form ? 3 : 1);
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\\') {
      i += 2;
    } else if (c == quote) {
      if (!long_form) return {i + 1, true};
      if (i + 2 < text.size() && text[i + 1] == quote && text[i + 2] == quote) return {i + 3, true};
      ++i;
    } else if (!long_form && (c == '\n' || c == '\r')) {
      return {i, false};  // not a string the parser takes
    } else {
      ++i;
    }
  }
  return {text.size(), false};
}

// After a directive's IRI at `at`: past blanks and comments, then its '.'
// where it has one; 0 where the next thing is not '.'.
std::size_t after_directive_dot(std::string_view text, std::size_t at) {
  const char* const next = turtle::after_blanks(text.data() + at, text.data() + text.size());
  if (next == text.data() + text.size() || *next != '.') return 0;
  return static_cast<std::size_t>(next - text.data()) + 1;
}

// The statement being scanned, at its own level (outside its brackets):
// which term comes next, and its subject and predicate as written, so that
// a long statement may be cut after a ';' or ','.
class StatementScan {
 public:
  void start() { *this = StatementScan(); }
  // Going on inside a statement where the text begins.
  void resume(const TurtleResume& resume) {
    subject_ = resume.subject;
    predicate_ = resume.predicate;
    next_ = predicate_.empty() ? Next::kVerb : Next::kObject;
  }
  // A term: as written for an IRI or a name (a word), empty for a literal
  // or a bracketed term.
  void term(std::string_view written) {
    switch (next_) {
      case Next::kSubject:
        subject_ = written;
        next_ = Next::kVerb;
        break;
      case Next::kVerb:
        predicate_ = written;
        next_ = Next::kObject;
        break;
      case Next::kObject: next_ = Next::kAfterObject; break;
      case Next::kAfterObject: break;  // a literal's datatype or language (or not Turtle)
    }
  }
  // A ';' or ','; whether the statement may be cut after it (where its
  // subject is written as an IRI or name, and a ',' follows an object of a
  // predicate so written).
  bool semicolon() {
    const bool may_cut = !subject_.empty() && (next_ == Next::kAfterObject || next_ == Next::kVerb);
    next_ = Next::kVerb;
    return may_cut;
  }
  bool comma() {
    const bool may_cut = !subject_.empty() && !predicate_.empty() && next_ == Next::kAfterObject;
    next_ = Next::kObject;
    return may_cut;
  }
  std::string_view subject() const { return subject_; }
  std::string_view predicate() const { return predicate_; }

 private:
  enum class Next { kSubject, kVerb, kObject, kAfterObject };
  Next next_ = Next::kSubject;
  std::string_view subject_;
  std::string_view predicate_;
};

// Where a cut falls and what the text after it resumes.
struct Cut {
  std::size_t at = 0;
  bool in_graph = false;
  std::string_view subject;
  std::string_view predicate;  // after a ','
};

Cut cut_at(std::size_t at, bool in_graph = false, std::string_view subject = {}, std::string_view predicate = {}) {
  return Cut{at, in_graph, subject, predicate};
}

// last_statement_end() over valid UTF-8, with what the cut resumes (its
// views into the text or the context resumed, where the text begins): a
// scan token by token, each kind stepped over by a member of its own. A
// member returns true where the scan ends there, with the last cut so far
// (where the text may go on past its end) or the text's end (where the
// parser stops first).
class StatementEnds {
 public:
  StatementEnds(std::string_view text, bool trig, const TurtleResume& resumed, TurtleContext& context)
      : text_(text), trig_(trig), context_(context), in_graph_(trig && resumed.in_graph), depth_(in_graph_ ? 1 : 0) {
    if (!resumed.subject.empty()) statement_.resume(resumed);
  }

  Cut scan() {
    while (i_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[i_]);
      const bool after_string = after_string_;
      after_string_ = false;
      bool end = false;
      switch (c) {
        case '#': i_ = offset_of(turtle::comment_end(at(i_), at(text_.size()))); break;
        case '<': end = iri(); break;
        case '"':
        case '\'': end = string(); break;
        case '{':
        case '[':
        case '(': open(c); break;
        case ']':
        case ')':
        case '}': close(c); break;
        case '.': dot(); break;
        case ';':
        case ',': separator(c); break;
        case '\\': i_ += 2; break;
        default: end = word(c, after_string);
      }
      if (end) return cut_;
    }
    return cut_;
  }

 private:
  // Ends the scan with the whole text as its cut: the parser stops at a
  // problem there, or before.
  bool stop_at(std::size_t at) {
    cut_ = cut_at(at);
    return true;
  }

  // The level of the statement's own terms: outside brackets but a graph's.
  bool at_statement_level() const { return depth_ == (in_graph_ ? 1 : 0); }
  const char* at(std::size_t offset) const { return text_.data() + offset; }
  std::size_t offset_of(const char* p) const { return static_cast<std::size_t>(p - text_.data()); }

  bool iri() {
    std::size_t end = i_ + 1;
    while (end < text_.size() && text_[end] != '>' && text_[end] != '\n' && text_[end] != ' ') ++end;
    if (end == text_.size()) return true;                 // the IRI goes on past the text
    if (text_[end] != '>') return stop_at(text_.size());  // no IRI: the parser stops at it or before
    if (at_statement_level()) statement_.term(text_.substr(i_, end + 1 - i_));
    i_ = end + 1;
    return false;
  }

  bool string() {
    if (at_statement_level()) statement_.term({});
    const StringEnd end = string_end(text_, i_);
    // One that ends the text may go on past it (or be the '""' that starts
    // a '"""'): it waits for more.
    if (end.at == text_.size()) return true;
    if (!end.closed) return stop_at(text_.size());  // a short string's line end: a problem
    i_ = end.at;
    after_string_ = true;
    return false;
  }

  void open(unsigned char c) {
    if (c == '{' && trig_ && depth_ == 0) {
      in_graph_ = true;
      statement_.start();
    } else if (c != '{' && at_statement_level()) {
      statement_.term({});
    }
    ++depth_;
    ++i_;
  }

  void close(unsigned char c) {
    if (depth_ > 0) --depth_;
    ++i_;
    if (c == '}' && trig_ && depth_ == 0) {
      in_graph_ = false;
      statement_.start();
      cut_ = cut_at(i_);
    }
  }

  void dot() {
    ++i_;
    // Not a decimal's point (".5"); a name's inner dots are skipped with
    // it. A '.' that ends the text may be either, once more is read.
    if (at_statement_level() && i_ < text_.size() && !(text_[i_] >= '0' && text_[i_] <= '9')) {
      statement_.start();
      cut_ = cut_at(i_, in_graph_);
    }
  }

  void separator(unsigned char c) {
    ++i_;
    if (!at_statement_level()) return;
    if (c == ';' ? statement_.semicolon() : statement_.comma()) {
      cut_ = cut_at(i_, in_graph_, statement_.subject(), c == ',' ? statement_.predicate() : std::string_view());
    }
  }

  // A word: a name, a keyword, "@prefix" or "@base", a language tag.
  bool word(unsigned char c, bool after_string) {
    if (!is_word_byte(c) && c != '@') {
      ++i_;
      return false;
    }
    const std::size_t start = i_;
    ++i_;
    // "@prefix" and "@base" (and language tags) are letters only.
    while (c == '@' && i_ < text_.size() && ((text_[i_] | 0x20) >= 'a' && (text_[i_] | 0x20) <= 'z')) ++i_;
    while (c != '@' && i_ < text_.size()) {
      const auto b = static_cast<unsigned char>(text_[i_]);
      if (is_word_byte(b)) {
        ++i_;
      } else if (b == '\\') {
        i_ += 2;
      } else if (b == '.' && i_ + 1 < text_.size() &&
                 (is_word_byte(static_cast<unsigned char>(text_[i_ + 1])) || text_[i_ + 1] == '.' ||
                  text_[i_ + 1] == '\\')) {
        // An inner '.': a name goes on after it with a character, a '.' or
        // an escape ("ex:a.\-b").
        ++i_;
      } else {
        break;
      }
    }
    i_ = std::min(i_, text_.size());
    const std::string_view word = text_.substr(start, i_ - start);
    if (c != '@' && at_statement_level()) statement_.term(word);
    if (depth_ != 0 || (c == '@' && after_string)) return false;  // a language tag
    return directive(start, word);
  }

  // Where the word at `start` is a directive's keyword, the directive: a
  // statement of its own, after which the context changes. "@prefix" and
  // "@base" as written; SPARQL's PREFIX and BASE in any case, as the parser
  // matches them.
  bool directive(std::size_t start, std::string_view word) {
    const bool at_form = word.front() == '@';
    // Most words are names: only one that starts as a keyword is asked.
    const char first = static_cast<char>(word.front() | 0x20);
    if (!at_form && first != 'p' && first != 'b') return false;
    const bool prefix = at_form ? word == "@prefix" : turtle::at_keyword(at(start), at(text_.size()), "prefix");
    const bool base = at_form ? word == "@base" : turtle::at_keyword(at(start), at(text_.size()), "base");
    if (!prefix && !base) return false;
    if (!at_form) i_ = start + (prefix ? 6 : 4);  // the directive goes on after its keyword
    TurtleContext changed = context_;
    const DirectiveEnd end = apply_directive(text_, i_, prefix, changed);
    // A directive that fails where more text could still make it one (in
    // its last token: "@prefix e..." before "g:") waits for more; one that
    // fails before a blank is where the parser stops, or before.
    if (!end.applied) {
      return text_.find_first_of(" \t\r\n", end.at) == std::string_view::npos || stop_at(text_.size());
    }
    const std::size_t after = at_form ? after_directive_dot(text_, end.at) : end.at;
    if (after == 0 || after == text_.size()) return true;  // its end (or the name after it) not yet read
    context_ = std::move(changed);
    statement_.start();
    cut_ = cut_at(after);
    i_ = after;
    return false;
  }

  const std::string_view text_;
  const bool trig_;
  TurtleContext& context_;
  bool in_graph_;
  std::size_t depth_;  // brackets open, a TriG graph's braces among them
  StatementScan statement_;
  Cut cut_;
  std::size_t i_ = 0;
  bool after_string_ = false;  // the last token was a string: an '@' after it starts a language tag
};

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
  const TurtleResume resumed = context.resume;  // a directive in the text replaces `context`
  const Cut cut = StatementEnds(text, trig, resumed, context).scan();
  context.resume = TurtleResume{cut.in_graph, std::string(cut.subject), std::string(cut.predicate)};
  return cut.at == 0 && bad_bytes ? whole.size() : cut.at;
}

}  // namespace vantrel
