// Resolving a relative IRI reference against a base IRI, as RFC 3986
// (section 5.2) does it: what Turtle's relative IRIs, prefixes and bases,
// and read()'s base=, mean.
#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// Whether `text` is an absolute IRI: a scheme (a letter, then letters,
// digits, '+', '-' or '.'), then ':'.
inline bool is_absolute_iri(std::string_view text) {
  const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  std::size_t i = 0;
  if (!text.empty() && letter(text[0])) {
    i = 1;
    while (i < text.size() && (letter(text[i]) || (text[i] >= '0' && text[i] <= '9') || text[i] == '+' ||
                               text[i] == '-' || text[i] == '.'))
      ++i;
  }
  return i > 0 && i < text.size() && text[i] == ':';
}

// The IRI that `reference` names relative to the absolute IRI `base`.
// A reference with a scheme is returned as it is.
std::string resolve_iri(std::string_view base, std::string_view reference);

}  // namespace vantrel
