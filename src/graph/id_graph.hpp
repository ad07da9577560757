// Building a graph from triples given as integer ids, in someone else's
// memory (a numpy array, a torch tensor, PyKEEN's mapped_triples), with the
// labels of those ids: node ids are the given ones, not first occurrence,
// and nodes that no triple uses are nodes too. The array is read where it
// lies, three times (checked, counted, placed), and never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/integers.hpp"
#include "core/interrupt.hpp"
#include "graph/graph.hpp"
#include "graph/labels.hpp"

namespace vantrel {

// One column of integers: row r's stored in `format` at data + r * stride.
struct IdColumn {
  const char* data = nullptr;
  std::ptrdiff_t stride = 0;
  IntegerFormat format;
};

// Rows of three integers (head, relation, tail), a column each: the columns
// of an n x 3 array, or three arrays of their own (a table's).
struct IdTriples {
  IdColumn columns[3];
  std::uint64_t rows = 0;

  // The columns of an array of `rows` rows whose rows lie `row_stride`
  // bytes apart and whose columns `column_stride` apart, all in `format`.
  static IdTriples of_array(const char* data, std::uint64_t rows, std::ptrdiff_t row_stride,
                            std::ptrdiff_t column_stride, IntegerFormat format) {
    IdTriples triples;
    for (unsigned column = 0; column < 3; ++column) {
      triples.columns[column] = {data + column * column_stride, row_stride, format};
    }
    triples.rows = rows;
    return triples;
  }

  StoredInteger at(std::uint64_t row, unsigned column) const {
    const IdColumn& of = columns[column];
    return read_integer(of.data + static_cast<std::ptrdiff_t>(row) * of.stride, of.format);
  }
};

// An id of the array that names no node or relation; the message names
// its row and column ("triples[5, 2] = 17 is not a node id: ...").
class IdRangeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The first label of `labels` that repeats an earlier one: (its id, the
// earlier one's id), or nothing.
std::optional<std::pair<std::uint64_t, std::uint64_t>> first_repeat(const LabelList& labels);

// The graph of `triples` (one edge per row, in row order) over the nodes
// and relations of `node_labels` and `relation_labels`. Throws
// IdRangeError for the first id out of range, in row order. A graph where
// some node or relation has no edge may lack edges (may_lack_edges()): a walk that starts
// at such a node ends there.
AnyGraph graph_from_ids(const IdTriples& triples, LabelList node_labels, LabelList relation_labels,
                        const InterruptPoll& poll = {});

}  // namespace vantrel
