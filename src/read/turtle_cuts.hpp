// Where a Turtle or TriG text may be cut between statements, so that its
// pieces can be parsed on every thread: a scan that steps over strings,
// IRIs and comments (which may hold '.' and line ends) and keeps the
// directives it passes, so that each piece starts with the prefixes and
// base in force where it begins.
#pragma once

#include <cstddef>
#include <string_view>

#include "read/turtle.hpp"

namespace vantrel {

// The end of the last statement in `text`, which begins where a statement
// may under `context`: after a '.' outside brackets (not a number's or a
// name's), after a TriG graph's closing '}', or after a directive; 0 if
// there is none. `context` becomes the one in force there. On text that is
// not Turtle (or not UTF-8) the cuts may fall anywhere after the last
// statement before the problem: the parser finds the problem first.
std::size_t last_statement_end(std::string_view text, bool trig, TurtleContext& context);

}  // namespace vantrel
