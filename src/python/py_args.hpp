// Parsing and converting the arguments of PathSampler's methods, with the
// interpreter's usual exceptions and messages that name the argument.
#pragma once

#include "python/py_errors.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/integers.hpp"

namespace vantrel::py {

struct ParamDescription {
  const char* name;
  bool is_optional;
  bool kw_only;
};

// Fills `output` (one slot per parameter, strong references) from `args` and
// `kwargs`. Missing arguments are reported before unknown keywords, and
// those before surplus positional arguments. Returns -1 with a TypeError set.
int parse_fn_args(const char* fname, std::span<const ParamDescription> params, PyObject* args, PyObject* kwargs,
                  bool accept_args, bool accept_kwargs, PyRef* output);

// Each converter stores the converted value in `out` and returns true, or
// returns false with an exception set.

// The UTF-8 bytes of the str `text` to look a label up by, or nothing when
// it holds a lone surrogate, which no label can; false with an exception
// set when the conversion fails otherwise.
bool label_text_of(PyObject* text, std::optional<std::string_view>& out);

// A str, as UTF-8; TypeError with no message for anything else.
bool convert_text(PyObject* object, std::string& out);
// Anything float() takes.
bool convert_double(PyObject* object, double& out);
// An int (or __index__) in [0, 2**64); the interpreter's OverflowError outside.
bool convert_u64(PyObject* object, std::uint64_t& out);
// An int (or __index__) in [0, max]: ValueError below, OverflowError above,
// both naming the argument.
bool convert_bounded(PyObject* object, const char* name, std::uint64_t max, std::uint64_t& out);

// The arguments that every way of making a sampler takes after its input,
// converted as the constructor converts them: the mean walk length (what
// float() takes), the longest walk and the seed (ints in [0, 2**64)).
struct WalkArguments {
  double mean_path_len = 0.0;
  std::uint64_t max_path_len = 0;
  std::uint64_t random_state = 0;
};
bool convert_walk_arguments(PyObject* mean_path_len, PyObject* max_path_len, PyObject* random_state,
                            WalkArguments& out);

// One choice of a str argument: its text and what it stands for.
template <class Value>
struct Choice {
  const char* text;
  Value value;
};

// The index of `object` among the texts of `choices`: TypeError for a
// non-str, ValueError for another str, naming the argument and the choices.
bool choice_index(PyObject* object, const char* name, std::span<const char* const> texts, std::size_t& index);

// The value of the choice that `object` names, as choice_index() finds it.
template <class Value, std::size_t N>
bool convert_choice(PyObject* object, const char* name, const Choice<Value> (&choices)[N], Value& out) {
  const char* texts[N];
  for (std::size_t i = 0; i < N; ++i) texts[i] = choices[i].text;
  std::size_t index;
  if (!choice_index(object, name, texts, index)) return false;
  out = choices[index].value;
  return true;
}
// An int item of a sequence, read whatever its size: the int it is (its
// __index__, for messages), and its value where it fits a long long.
struct IntItem {
  PyRef index;
  long long value = 0;
  bool overflow = false;  // too large or too small for a long long: `value` is meaningless
};

// Reads `item` as an int (a bool is none): 1 when it is one, 0 when it is
// not (no exception set: the caller says what was wanted), -1 with the
// exception set on failure.
int read_int_item(PyObject* item, IntItem& out);

// Whether `object` is a mapping: a dict, an instance of
// collections.abc.Mapping (ChainMap, a Mapping subclass, a mappingproxy),
// or any object with items() that is no str, bytes or sequence. -1 with
// the exception set on failure.
int is_mapping(PyObject* object);

// `object` where it has the buffer protocol; else, where it has
// __array__ (a torch tensor, a pandas Series, an array of another library),
// the array that returns, whose buffer the caller then reads; else
// `object` itself. Null with the exception set where __array__ raises.
PyRef array_or_object(PyObject* object);

// A path as the file functions take it (str, bytes, os.PathLike): the bytes
// to open in `path`, and in `filename` the object that errors name.
bool convert_path(PyObject* object, std::string& path, PyRef& filename);

// The integer format of `view`'s items (struct codes bBhHiIlLqQnN, with any
// byte-order prefix); false with TypeError naming the argument `name` else.
bool integer_format_of(const Py_buffer& view, const char* name, IntegerFormat& out);

}  // namespace vantrel::py
