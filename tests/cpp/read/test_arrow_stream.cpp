#include "read/arrow_stream.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {
namespace {

// A stream of one batch of three utf8 columns, built by hand, so that the
// arrays a library would never make (offsets out of order, an index past its
// dictionary) can be given.
struct HandMadeStream {
  std::vector<std::int32_t> offsets;
  std::string data;
  const void* column_buffers[3];
  arrow::Array columns[3];
  arrow::Array* column_pointers[3];
  arrow::Array batch{};
  const void* batch_buffers[1] = {nullptr};
  arrow::Schema fields[3];
  arrow::Schema* field_pointers[3];
  arrow::Schema dictionary{};
  bool given = false;
  int released = 0;
  arrow::ArrayStream stream{};

  HandMadeStream(std::vector<std::int32_t> string_offsets, std::string bytes, std::int64_t rows)
      : offsets(std::move(string_offsets)), data(std::move(bytes)) {
    column_buffers[0] = nullptr;
    column_buffers[1] = offsets.data();
    column_buffers[2] = data.data();
    for (int k = 0; k < 3; ++k) {
      columns[k] = {rows,   0, 0, 3, 0, column_buffers, nullptr, nullptr, [](arrow::Array* a) { a->release = nullptr; },
                    nullptr};
      column_pointers[k] = &columns[k];
      fields[k] = {"u", "", nullptr, 0, 0, nullptr, nullptr, [](arrow::Schema* s) { s->release = nullptr; }, nullptr};
      field_pointers[k] = &fields[k];
    }
    batch = {rows,   0, 0, 1, 3, batch_buffers, column_pointers, nullptr, [](arrow::Array* a) { a->release = nullptr; },
             nullptr};
    stream.private_data = this;
    stream.get_schema = [](arrow::ArrayStream* s, arrow::Schema* out) {
      auto* self = static_cast<HandMadeStream*>(s->private_data);
      *out = {"+s",   "", nullptr, 0, 3, self->field_pointers, nullptr, [](arrow::Schema* x) { x->release = nullptr; },
              nullptr};
      return 0;
    };
    stream.get_next = [](arrow::ArrayStream* s, arrow::Array* out) {
      auto* self = static_cast<HandMadeStream*>(s->private_data);
      if (self->given) {
        out->release = nullptr;  // the end
      } else {
        *out = self->batch;
        self->given = true;
      }
      return 0;
    };
    stream.get_last_error = [](arrow::ArrayStream*) -> const char* { return nullptr; };
    stream.release = [](arrow::ArrayStream* s) {
      ++static_cast<HandMadeStream*>(s->private_data)->released;
      s->release = nullptr;
    };
  }

  std::string lines() {
    ArrowTriples triples(stream);
    const auto source = triples.lines();
    std::string text;
    char buffer[5];  // smaller than a line: lines are split across reads
    for (std::size_t got; (got = source->read(buffer, sizeof buffer, {})) != 0;) text.append(buffer, got);
    return text;
  }
};

TEST(ArrowTriples, RowsBecomeTabSeparatedLinesAcrossReads) {
  HandMadeStream made({0, 5, 7}, "alphabeta", 2);
  EXPECT_EQ(made.lines(), "alpha\talpha\talpha\nbe\tbe\tbe\n");
  EXPECT_EQ(made.released, 1);  // the stream, taken over, released once
}

TEST(ArrowTriples, HostileArraysAreRefused) {
  HandMadeStream backwards({0, 5, 2}, "alphabeta", 2);
  EXPECT_THROW(backwards.lines(), ArrowError);
  HandMadeStream short_column({0, 5}, "alpha", 1);
  short_column.batch.offset = 1;  // the batch reaches past its columns
  EXPECT_THROW(short_column.lines(), ArrowError);
  HandMadeStream dictionary({0, 1}, "a", 1);
  const std::int8_t index[1] = {3};  // past a dictionary of one
  const void* index_buffers[2] = {nullptr, index};
  arrow::Array values = dictionary.columns[0];
  dictionary.columns[0].buffers = index_buffers;
  dictionary.columns[0].n_buffers = 2;
  dictionary.columns[0].dictionary = &values;
  dictionary.fields[0].format = "c";
  dictionary.dictionary = dictionary.fields[1];
  dictionary.fields[0].dictionary = &dictionary.dictionary;
  EXPECT_THROW(dictionary.lines(), ArrowError);
}

TEST(ArrowTriples, SchemasThatHoldNoTriplesAreRefusedByType) {
  HandMadeStream made({0, 1}, "a", 1);
  made.fields[1].format = "g";  // a double
  try {
    ArrowTriples triples(made.stream);
    FAIL() << "a column of doubles was taken";
  } catch (const ArrowError& error) {
    EXPECT_TRUE(error.wrong_type());
    EXPECT_EQ(made.released, 1);
  }
}

}  // namespace
}  // namespace vantrel
