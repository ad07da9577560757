// Where a Turtle or TriG text may be cut, between statements or inside a
// long one, so that its pieces can be parsed on every thread: a scan that
// steps over strings, IRIs and comments (which may hold '.' and line ends)
// and keeps the directives it passes, so that each piece starts with the
// prefixes and base in force where it begins, and where it is in a
// statement.
#pragma once

#include <cstddef>
#include <string_view>

#include "read/turtle.hpp"

namespace vantrel {

// The last place in `text` where it may be cut, `text` beginning as
// `context` says (its resume: at a statement's start, or inside one): after
// a '.' outside brackets but a TriG graph's braces (not a number's or a
// name's), after a graph's closing '}', after a directive, or inside a long
// statement whose subject is written as an IRI or name, after a ';' or ','
// outside its brackets; 0 if there is none. `context` becomes the one in
// force there, its resume saying where the text after the cut begins. On
// text that is not Turtle (or not UTF-8) the cuts may fall anywhere after
// the last cut before the problem: the parser finds the problem first.
std::size_t last_statement_end(std::string_view text, bool trig, TurtleContext& context);

}  // namespace vantrel
