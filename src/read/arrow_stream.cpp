#include "read/arrow_stream.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/memory.hpp"

namespace vantrel {

namespace {

using arrow::Array;
using arrow::ArrayStream;
using arrow::Schema;

constexpr const char* kColumnNames[3] = {"head", "relation", "tail"};

enum class Strings { kNone, kUtf8, kLargeUtf8, kUtf8View };

// What a column holds: integers in `ints`, or strings of kind `strings`,
// directly or through a dictionary whose indices are `index`.
struct ColumnType {
  Strings strings = Strings::kNone;
  IntegerFormat ints;
  bool dictionary = false;
  IntegerFormat index;
};

// The integer format of an Arrow format string, or false for another type.
bool integer_format(std::string_view format, IntegerFormat& out) {
  if (format.size() != 1) return false;
  switch (format[0]) {
    case 'c': out = {1, true, false}; return true;
    case 'C': out = {1, false, false}; return true;
    case 's': out = {2, true, false}; return true;
    case 'S': out = {2, false, false}; return true;
    case 'i': out = {4, true, false}; return true;
    case 'I': out = {4, false, false}; return true;
    case 'l': out = {8, true, false}; return true;
    case 'L': out = {8, false, false}; return true;
    default: return false;
  }
}

Strings string_kind(std::string_view format) {
  if (format == "u") return Strings::kUtf8;
  if (format == "U") return Strings::kLargeUtf8;
  if (format == "vu") return Strings::kUtf8View;
  return Strings::kNone;
}

[[noreturn]] void wrong_column(unsigned column, std::string_view format) {
  throw ArrowError(std::string("the ") + kColumnNames[column] + " column is of Arrow type '" + std::string(format) +
                       "': labels are strings (utf8, large_utf8 or utf8_view, dictionary-encoded or not), ids integers",
                   true);
}

ColumnType column_type(const Schema& schema, unsigned column) {
  const std::string_view format = schema.format ? schema.format : "";
  ColumnType type;
  if (schema.dictionary) {
    const std::string_view values = schema.dictionary->format ? schema.dictionary->format : "";
    type.dictionary = true;
    type.strings = string_kind(values);
    if (!integer_format(format, type.index) || type.strings == Strings::kNone) wrong_column(column, values);
    return type;
  }
  type.strings = string_kind(format);
  if (type.strings == Strings::kNone && !integer_format(format, type.ints)) wrong_column(column, format);
  return type;
}

bool is_null(const Array& array, std::int64_t at) {
  if (array.null_count == 0 || array.n_buffers < 1 || !array.buffers[0]) return false;
  const auto* bits = static_cast<const unsigned char*>(array.buffers[0]);
  return ((bits[at >> 3] >> (at & 7)) & 1) == 0;
}

[[noreturn]] void bad_array(const std::string& what) { throw ArrowError("the Arrow stream gave " + what); }

// Checks that `array` has the buffers that its type needs.
void check_buffers(const Array& array, Strings strings) {
  // Validity and values; for strings validity, offsets (views) and data (sizes).
  const std::int64_t needed = strings == Strings::kNone ? 2 : 3;
  if (array.n_buffers < needed || !array.buffers || array.length < 0 || array.offset < 0) {
    bad_array("an array without the buffers of its type");
  }
}

// The string at position `at` (offset included) of a string array.
std::string_view string_at(const Array& array, Strings strings, std::int64_t at) {
  const char* const data = static_cast<const char*>(array.buffers[2]);
  std::int64_t begin = 0;
  std::int64_t end = 0;
  switch (strings) {
    case Strings::kUtf8: {
      const auto* offsets = static_cast<const std::int32_t*>(array.buffers[1]);
      begin = offsets[at];
      end = offsets[at + 1];
      break;
    }
    case Strings::kLargeUtf8: {
      const auto* offsets = static_cast<const std::int64_t*>(array.buffers[1]);
      begin = offsets[at];
      end = offsets[at + 1];
      break;
    }
    case Strings::kUtf8View: {
      const char* view = static_cast<const char*>(array.buffers[1]) + 16 * at;
      std::int32_t length;
      std::memcpy(&length, view, 4);
      if (length < 0) bad_array("a string view of negative length");
      if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
      std::int32_t buffer;
      std::int32_t offset;
      std::memcpy(&buffer, view + 8, 4);
      std::memcpy(&offset, view + 12, 4);
      // Buffers: validity, views, the data buffers, then their sizes.
      if (buffer < 0 || offset < 0 || buffer >= array.n_buffers - 3) bad_array("a string view out of its buffers");
      return {static_cast<const char*>(array.buffers[2 + buffer]) + offset, static_cast<std::size_t>(length)};
    }
    case Strings::kNone: break;
  }
  if (begin < 0 || end < begin) bad_array("string offsets out of order");
  return {data + begin, static_cast<std::size_t>(end - begin)};
}

// One column of a batch: its array and type, and the batch's offset.
struct BatchColumn {
  const Array* array;
  ColumnType type;
  std::int64_t base;  // the batch's own offset, added to the column's

  // The label of row `row` of the batch; throws for a null.
  std::string_view label(std::int64_t row, std::uint64_t table_row, unsigned column) const {
    const std::int64_t at = array->offset + base + row;
    if (is_null(*array, at)) null_at(table_row, column);
    if (!type.dictionary) return string_at(*array, type.strings, at);
    const StoredInteger index =
        read_integer(static_cast<const char*>(array->buffers[1]) + at * type.index.size, type.index);
    const Array& values = *array->dictionary;
    if (index.negative || index.bits >= static_cast<std::uint64_t>(values.length)) {
      bad_array("a dictionary index out of its dictionary");
    }
    const std::int64_t value = values.offset + static_cast<std::int64_t>(index.bits);
    if (is_null(values, value)) null_at(table_row, column);
    return string_at(values, type.strings, value);
  }

  [[noreturn]] static void null_at(std::uint64_t row, unsigned column) {
    throw ArrowError("row " + std::to_string(row) + " has no " + kColumnNames[column] +
                     " (null): every triple needs all three");
  }
};

// The columns of a batch, checked against the table's types.
std::vector<BatchColumn> columns_of(const Array& batch, const ColumnType (&types)[3]) {
  if (batch.n_children != 3 || !batch.children || batch.length < 0 || batch.offset < 0) {
    bad_array("a batch that is no struct of three columns");
  }
  std::vector<BatchColumn> columns;
  for (unsigned column = 0; column < 3; ++column) {
    const Array* array = batch.children[column];
    if (!array || array->length < batch.offset + batch.length) bad_array("a column shorter than its batch");
    check_buffers(*array, types[column].dictionary ? Strings::kNone : types[column].strings);
    if (types[column].dictionary) {
      if (!array->dictionary) bad_array("a dictionary-encoded column without its dictionary");
      check_buffers(*array->dictionary, types[column].strings);
    }
    columns.push_back({array, types[column], batch.offset});
  }
  return columns;
}

// The rows of an ArrowTriples as tab-separated lines.
class ArrowLines final : public ByteSource {
 public:
  ArrowLines(ArrowTriples& triples, const ColumnType (&types)[3]) : triples_(triples) {
    std::copy(std::begin(types), std::end(types), types_);
  }

  std::size_t read(char* buffer, std::size_t capacity, const InterruptPoll&) override {
    std::size_t written = 0;
    while (written < capacity) {
      if (pending_at_ == pending_.size()) {
        // Lines go straight into the buffer while they fit; the one that
        // does not waits in pending_ for the next read.
        const std::size_t length = next_line(buffer + written, capacity - written);
        if (length == kEnd) break;
        if (length != kDidNotFit) {
          written += length;
          continue;
        }
      }
      const std::size_t taken = std::min(capacity - written, pending_.size() - pending_at_);
      std::memcpy(buffer + written, pending_.data() + pending_at_, taken);
      pending_at_ += taken;
      written += taken;
    }
    return written;
  }

  // Any thread, one at a time, as the stream interface allows: a producer
  // whose batches come from Python code (a generator behind a pyarrow
  // reader) takes the interpreter lock itself, which the reading threads do
  // not hold.
  bool reads_on_any_thread() const override { return true; }

 private:
  static constexpr std::size_t kEnd = SIZE_MAX;
  static constexpr std::size_t kDidNotFit = SIZE_MAX - 1;

  // The next row's line, into `out` when it fits in `room` bytes (its
  // length returned), else into pending_ (kDidNotFit); kEnd after the last.
  std::size_t next_line(char* out, std::size_t room) {
    while (batch_ == nullptr || row_ == batch_->length) {
      if (batch_ != nullptr) rows_before_ += static_cast<std::uint64_t>(batch_->length);
      if (!triples_.next_batch(batch_)) return kEnd;
      columns_ = columns_of(*batch_, types_);
      row_ = 0;
    }
    const std::uint64_t table_row = rows_before_ + static_cast<std::uint64_t>(row_);
    if (is_null(*batch_, batch_->offset + row_)) BatchColumn::null_at(table_row, 0);
    std::string_view labels[3];
    std::size_t length = 3;
    for (unsigned column = 0; column < 3; ++column) {
      const std::string_view label = columns_[column].label(row_, table_row, column);
      if (std::memchr(label.data(), '\t', label.size()) || std::memchr(label.data(), '\n', label.size()) ||
          (column == 2 && !label.empty() && label.back() == '\r')) {
        throw ArrowError("row " + std::to_string(table_row) + ": its " + kColumnNames[column] +
                         " holds a tab or a line feed" + (column == 2 ? " or ends in a carriage return" : "") +
                         ", which no label of a triple file can");
      }
      labels[column] = label;
      length += label.size();
    }
    ++row_;
    const bool fits = length <= room;
    if (!fits) {
      pending_.resize(length);
      pending_at_ = 0;
      out = pending_.data();
    }
    for (unsigned column = 0; column < 3; ++column) {
      std::memcpy(out, labels[column].data(), labels[column].size());
      out += labels[column].size();
      *out++ = column == 2 ? '\n' : '\t';
    }
    return fits ? length : kDidNotFit;
  }

  ArrowTriples& triples_;
  ColumnType types_[3];
  Array* batch_ = nullptr;
  std::int64_t row_ = 0;
  std::uint64_t rows_before_ = 0;
  std::vector<BatchColumn> columns_;
  std::string pending_;
  std::size_t pending_at_ = 0;
};

ColumnType types_of(const Schema& schema, unsigned column) { return column_type(*schema.children[column], column); }

}  // namespace

ArrowTriples::ArrowTriples(ArrayStream& stream) {
  stream_.value = stream;
  stream.release = nullptr;  // ours now
  ArrayStream& ours = stream_.value;
  if (!ours.release || !ours.get_schema || !ours.get_next) throw ArrowError("the Arrow stream is released");
  if (ours.get_schema(&ours, &schema_.value) != 0) {
    schema_.value.release = nullptr;
    const char* error = ours.get_last_error ? ours.get_last_error(&ours) : nullptr;
    throw ArrowError(std::string("the Arrow stream gave no schema: ") + (error ? error : "no reason given"));
  }
  const Schema& schema = schema_.value;
  const std::string_view format = schema.format ? schema.format : "";
  if (format != "+s") throw ArrowError("an Arrow stream of '" + std::string(format) + "', not of a table", true);
  if (schema.n_children != 3 || !schema.children) {
    throw ArrowError("a table of " + std::to_string(schema.n_children) +
                         " columns: triples are three, head, relation and tail (select them first)",
                     true);
  }
  bool ids[3];
  for (unsigned column = 0; column < 3; ++column) ids[column] = types_of(schema, column).strings == Strings::kNone;
  if (ids[0] != ids[1] || ids[1] != ids[2]) {
    throw ArrowError("the columns mix labels and ids: all three are strings, or all three integers", true);
  }
  holds_ids_ = ids[0];
}

// The batches, then the schema, then the stream, by the members' order.
ArrowTriples::~ArrowTriples() = default;

bool ArrowTriples::next_batch(Array*& batch) {
  auto next = std::make_unique<Owned<Array>>();
  ArrayStream& ours = stream_.value;
  if (ours.get_next(&ours, &next->value) != 0) {
    next->value.release = nullptr;
    const char* error = ours.get_last_error ? ours.get_last_error(&ours) : nullptr;
    throw ArrowError(std::string("the Arrow stream failed: ") + (error ? error : "no reason given"));
  }
  if (!next->value.release) return false;  // the end
  batches_.push_back(std::move(next));
  batch = &batches_.back()->value;
  return true;
}

std::unique_ptr<ByteSource> ArrowTriples::lines() {
  ColumnType types[3];
  for (unsigned column = 0; column < 3; ++column) types[column] = types_of(schema_.value, column);
  return std::make_unique<ArrowLines>(*this, types);
}

IdTriples ArrowTriples::id_triples(const InterruptPoll& poll) {
  ColumnType types[3];
  for (unsigned column = 0; column < 3; ++column) types[column] = types_of(schema_.value, column);
  struct Batch {
    std::vector<BatchColumn> columns;
    std::int64_t length;
  };
  std::vector<Batch> batches;
  std::uint64_t rows = 0;
  for (Array* batch = nullptr; next_batch(batch);) {
    batches.push_back({columns_of(*batch, types), batch->length});
    bool may_hold_nulls = batch->null_count != 0;
    for (const BatchColumn& column : batches.back().columns) may_hold_nulls |= column.array->null_count != 0;
    for (std::int64_t row = 0; may_hold_nulls && row < batch->length; ++row) {
      if (row % kItemsPerPoll == kItemsPerPoll - 1 && poll) poll();
      for (unsigned column = 0; column < 3; ++column) {
        const Array& array = *batches.back().columns[column].array;
        if (is_null(*batch, batch->offset + row) || is_null(array, array.offset + batch->offset + row)) {
          BatchColumn::null_at(rows + static_cast<std::uint64_t>(row), column);
        }
      }
    }
    rows += static_cast<std::uint64_t>(batch->length);
  }
  // Where row `row` of a batch's column lies.
  auto cell = [](const BatchColumn& of, std::int64_t row) {
    return static_cast<const char*>(of.array->buffers[1]) + (of.array->offset + of.base + row) * of.type.ints.size;
  };
  IdTriples triples;
  triples.rows = rows;
  if (batches.size() == 1) {
    for (unsigned column = 0; column < 3; ++column) {
      const BatchColumn& of = batches[0].columns[column];
      triples.columns[column] = {cell(of, 0), static_cast<std::ptrdiff_t>(of.type.ints.size), of.type.ints};
    }
    return triples;
  }
  // Several batches: one array of them all, as int64, or as uint64 where a
  // column is (so that no id reads back as another).
  bool unsigned_64 = false;
  for (const ColumnType& type : types) unsigned_64 = unsigned_64 || (type.ints.size == 8 && !type.ints.is_signed);
  ensure_fits_in_memory(rows, 3 * sizeof(std::uint64_t));
  copied_.resize(3 * rows);
  std::uint64_t placed = 0;
  for (const Batch& batch : batches) {
    for (std::int64_t row = 0; row < batch.length; ++row, ++placed) {
      if (placed % kItemsPerPoll == kItemsPerPoll - 1 && poll) poll();
      for (unsigned column = 0; column < 3; ++column) {
        const BatchColumn& of = batch.columns[column];
        copied_[3 * placed + column] = read_integer(cell(of, row), of.type.ints).bits;
      }
    }
  }
  return IdTriples::of_array(reinterpret_cast<const char*>(copied_.data()), rows, 3 * sizeof(std::uint64_t),
                             sizeof(std::uint64_t), {8, !unsigned_64, false});
}

}  // namespace vantrel
