// UTF-8 checks of texts the product reads: strict validity, and whether a
// text is ASCII only.
#pragma once

#include <cstddef>
#include <string_view>

namespace vantrel {

// True if `bytes` is valid UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view bytes);

// The length of the longest prefix of `bytes` that is valid UTF-8: the
// position of the first byte that starts no valid sequence.
std::size_t valid_utf8_prefix(std::string_view bytes);

// True if every byte of `text` is below 0x80.
bool is_ascii(std::string_view text);

}  // namespace vantrel
