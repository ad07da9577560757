// Fuzz target for the Turtle and TriG reader: bytes in, read whole and read
// in pieces of a size taken from the input's first byte, on two threads.
// Besides crashes and hangs it checks that where the pieces are cut never
// matters: the same graph, or the same problem on the same line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "../cpp/graph_support.hpp"
#include "core/errors.hpp"
#include "core/utf8.hpp"
#include "read/graph_reader.hpp"

namespace {

using namespace vantrel;

constexpr std::size_t kHeader = 2;

std::string read_in_pieces(const std::string& text, GraphFormat format, std::size_t piece_bytes, unsigned threads) {
  MemorySource source(text);
  GraphReadOptions options;
  options.format = format;
  options.chunk_bytes = piece_bytes;
  options.threads = threads;
  options.base = "http://base.example/a/b";
  try {
    return dump(read_graph(source, options));
  } catch (const RdfSyntaxError& error) {
    return error.what();
  } catch (const IoError& error) {
    return error.kind();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  const GraphFormat format = data[0] & 1 ? GraphFormat::kTriG : GraphFormat::kTurtle;
  const std::size_t piece_bytes = 1 + data[1] % 48;
  const std::string text(reinterpret_cast<const char*>(data + kHeader), size - kHeader);
  const std::string whole = read_in_pieces(text, format, std::size_t{1} << 20, 1);
  if (read_in_pieces(text, format, piece_bytes, 2) != whole) std::abort();
  return 0;
}
