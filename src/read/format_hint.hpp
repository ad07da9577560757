// A guess at what a file is from its first bytes, for an error's hint when
// the tab-separated reader refuses it: a compressed file, N-Triples or Turtle given
// to the constructor, which reads only tab-separated text.
#pragma once

#include <string_view>

namespace vantrel {

// What the file starting with `head` (its first bytes, any number) looks
// like when it is not tab-separated triples: "gzip", "bzip2", "xz" or
// "zstd" compressed data, "N-Triples" (a first line of three terms that ends
// with " ." and holds no tab), "Turtle" (a first line that is a prefix or
// base directive), "commas" or "spaces" (a first line with no tab, which
// two or more of them would cut into fields), or empty when it is none of
// these.
std::string_view format_hint(std::string_view head);

}  // namespace vantrel
