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
// views into `text` or `resumed`, where the text begins).
Cut statement_end_in(std::string_view text, bool trig, const TurtleResume& resumed, TurtleContext& context) {
  bool in_graph = trig && resumed.in_graph;
  std::size_t depth = in_graph ? 1 : 0;  // brackets open, a TriG graph's braces among them
  StatementScan statement;
  if (!resumed.subject.empty()) statement.resume(resumed);
  Cut cut;
  // The level of the statement's own terms: outside brackets but a graph's.
  const auto at_statement_level = [&] { return depth == (in_graph ? 1 : 0); };
  bool after_string = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool was_after_string = after_string;
    after_string = false;
    switch (c) {
      case '#':
        i = static_cast<std::size_t>(turtle::comment_end(text.data() + i, text.data() + text.size()) - text.data());
        break;
      case '<': {
        std::size_t end = i + 1;
        while (end < text.size() && text[end] != '>' && text[end] != '\n' && text[end] != ' ') ++end;
        if (end == text.size()) return cut;                // the IRI goes on past the text
        if (text[end] != '>') return cut_at(text.size());  // no IRI: the parser stops at it or before
        if (at_statement_level()) statement.term(text.substr(i, end + 1 - i));
        i = end + 1;
        break;
      }
      case '"':
      case '\'': {
        if (at_statement_level()) statement.term({});
        const StringEnd end = string_end(text, i);
        // One that ends the text may go on past it (or be the '""' that
        // starts a '"""'): it waits for more.
        if (end.at == text.size()) return cut;
        if (!end.closed) return cut_at(text.size());  // a short string's line end: a problem
        i = end.at;
        after_string = true;
        break;
      }
      case '{':
        if (trig && depth == 0) {
          in_graph = true;
          statement.start();
        }
        ++depth;
        ++i;
        break;
      case '[':
      case '(':
        if (at_statement_level()) statement.term({});
        ++depth;
        ++i;
        break;
      case ']':
      case ')':
      case '}':
        if (depth > 0) --depth;
        ++i;
        if (c == '}' && trig && depth == 0) {
          in_graph = false;
          statement.start();
          cut = cut_at(i);
        }
        break;
      case '.':
        ++i;
        // Not a decimal's point (".5"); a name's inner dots are skipped with
        // it. A '.' that ends the text may be either, once more is read.
        if (at_statement_level() && i < text.size() && !(text[i] >= '0' && text[i] <= '9')) {
          statement.start();
          cut = cut_at(i, in_graph);
        }
        break;
      case ';':
      case ',':
        ++i;
        if (!at_statement_level()) break;
        if (c == ';' ? statement.semicolon() : statement.comma()) {
          cut = cut_at(i, in_graph, statement.subject(), c == ',' ? statement.predicate() : std::string_view());
        }
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
                     (is_word_byte(static_cast<unsigned char>(text[i + 1])) || text[i + 1] == '.' ||
                      text[i + 1] == '\\')) {
            // An inner '.': a name goes on after it with a character, a
            // '.' or an escape ("ex:a.\-b").
            ++i;
          } else {
            break;
          }
        }
        i = std::min(i, text.size());
        const std::string_view word = text.substr(start, i - start);
        if (c != '@' && at_statement_level()) statement.term(word);
        if (depth != 0 || (c == '@' && was_after_string)) break;  // a language tag
        // "@prefix" and "@base" as written; SPARQL's PREFIX and BASE in any
        // case, as the parser matches them.
        const bool at_form = c == '@';
        const char* const text_end = text.data() + text.size();
        const bool prefix = at_form ? word == "@prefix" : turtle::at_keyword(text.data() + start, text_end, "prefix");
        const bool base = at_form ? word == "@base" : turtle::at_keyword(text.data() + start, text_end, "base");
        if (!prefix && !base) break;
        if (!at_form) i = start + (prefix ? 6 : 4);  // the directive goes on after its keyword
        // A directive is a statement of its own: the context changes where it ends.
        TurtleContext changed = context;
        const DirectiveEnd end = apply_directive(text, i, prefix, changed);
        // A directive that fails where more text could still make it one
        // (in its last token: "@prefix e..." before "g:") waits for more;
        // one that fails before a blank is where the parser stops, or before.
        if (!end.applied) {
          return text.find_first_of(" \t\r\n", end.at) == std::string_view::npos ? cut : cut_at(text.size());
        }
        const std::size_t after = at_form ? after_directive_dot(text, end.at) : end.at;
        if (after == 0 || after == text.size()) return cut;  // its end (or the name after it) not yet read
        context = std::move(changed);
        statement.start();
        cut = cut_at(after);
        i = after;
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
  const TurtleResume resumed = context.resume;  // a directive in the text replaces `context`
  const Cut cut = statement_end_in(text, trig, resumed, context);
  context.resume = TurtleResume{cut.in_graph, std::string(cut.subject), std::string(cut.predicate)};
  return cut.at == 0 && bad_bytes ? whole.size() : cut.at;
}

}  // namespace vantrel
