// Triples from an Arrow C stream (pyarrow tables and readers, polars and
// pandas data frames export one): a table of three columns, head, relation
// and tail, either of strings (utf8, large_utf8 or utf8_view, dictionary-
// encoded or not), read as the tab-separated lines of the same rows, or of
// integers (any width, signed or not), read as graph_from_ids reads an
// array. Only the stream's C structs are used, never an Arrow library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/integers.hpp"
#include "core/interrupt.hpp"
#include "graph/id_graph.hpp"
#include "read/byte_source.hpp"

namespace vantrel {

namespace arrow {

// The C data and stream interfaces' structs, field for field as Arrow's
// documentation fixes their layout (the ABI every producer follows).
struct Schema {
  const char* format;
  const char* name;
  const char* metadata;
  std::int64_t flags;
  std::int64_t n_children;
  Schema** children;
  Schema* dictionary;
  void (*release)(Schema*);
  void* private_data;
};

struct Array {
  std::int64_t length;
  std::int64_t null_count;
  std::int64_t offset;
  std::int64_t n_buffers;
  std::int64_t n_children;
  const void** buffers;
  Array** children;
  Array* dictionary;
  void (*release)(Array*);
  void* private_data;
};

struct ArrayStream {
  int (*get_schema)(ArrayStream*, Schema* out);
  int (*get_next)(ArrayStream*, Array* out);
  const char* (*get_last_error)(ArrayStream*);
  void (*release)(ArrayStream*);
  void* private_data;
};

}  // namespace arrow

// What is wrong with a stream or its table; `wrong_type` where a column is
// of a type that holds no labels or ids (a TypeError to Python).
class ArrowError : public std::runtime_error {
 public:
  ArrowError(const std::string& message, bool wrong_type = false)
      : std::runtime_error(message), wrong_type_(wrong_type) {}
  bool wrong_type() const { return wrong_type_; }

 private:
  bool wrong_type_;
};

// The triples of a stream, which it takes over (the caller's struct is
// marked released) and releases when done, with every batch it read.
class ArrowTriples {
 public:
  // Reads the stream's schema. Throws ArrowError for a schema that is no
  // table of three columns of strings or of integers.
  explicit ArrowTriples(arrow::ArrayStream& stream);
  ~ArrowTriples();
  ArrowTriples(const ArrowTriples&) = delete;
  ArrowTriples& operator=(const ArrowTriples&) = delete;

  // Whether the columns hold integer ids (else labels).
  bool holds_ids() const { return holds_ids_; }

  // For labels: the rows as tab-separated lines, read batch by batch as the
  // reader asks for bytes. Throws ArrowError for a null, or a label that no
  // line could hold (a tab or a line feed in it, a tail ending in a carriage
  // return, which a line loses).
  std::unique_ptr<ByteSource> lines();

  // For ids: every batch read, and the triples they hold: the columns where
  // they lie for a table of one batch, else copied into one array (which
  // this object keeps). Throws ArrowError for a null.
  IdTriples id_triples(const InterruptPoll& poll);

  // The next batch (a struct array of three columns), or false at the end;
  // kept until this object goes. Throws ArrowError where the stream fails.
  bool next_batch(arrow::Array*& batch);

 private:
  // A struct of the interface, released as the interface says when it goes.
  template <class Struct>
  struct Owned {
    Struct value{};
    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
      if (value.release) value.release(&value);
    }
  };

  // Released last: the schema and batches may point into what the stream owns.
  Owned<arrow::ArrayStream> stream_;
  Owned<arrow::Schema> schema_;
  bool holds_ids_ = false;
  std::vector<std::unique_ptr<Owned<arrow::Array>>> batches_;
  std::vector<std::uint64_t> copied_;  // ids of several batches, rows of three
};

}  // namespace vantrel
