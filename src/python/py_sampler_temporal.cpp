#include "python/py_sampler_temporal.hpp"

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

#include "graph/source_triples.hpp"
#include "graph/temporal.hpp"
#include "python/py_args.hpp"
#include "python/py_buffer.hpp"
#include "python/py_numbers.hpp"
#include "python/py_parameters.hpp"
#include "python/py_released.hpp"
#include "python/py_sampler_state.hpp"

namespace vantrel::py {

namespace {

constexpr const char* kTemporalName = "PathSampler.temporal()";
constexpr const char* kTripleTimesName = "PathSampler.triple_times()";
constexpr Choice<TimeDirection> kTimeDirections[] = {{"forward", TimeDirection::kForward},
                                                     {"backward", TimeDirection::kBackward}};

// Refuses `value` for row `row` of times: ValueError.
bool refuse_time(PyObject* value, std::uint64_t row, const char* why) {
  PyErr_Format(PyExc_ValueError, "times[%llu] = %R is not a time: %s", static_cast<unsigned long long>(row), value,
               why);
  return false;
}
bool refuse_float_time(double value, std::uint64_t row) {
  PyRef number(PyFloat_FromDouble(value));
  return number && refuse_time(number.get(), row, "times are finite numbers");
}

// Times as int64: integers of a buffer, each within int64's range.
bool integer_times_of_buffer(const NumberColumn& column, std::uint64_t count, std::vector<std::int64_t>& out) {
  out.resize(count);
  for (std::uint64_t row = 0; row < count; ++row) {
    const StoredInteger stored = read_integer(column.item_at(row), column.integers());
    if (!stored.negative && stored.bits > static_cast<std::uint64_t>(INT64_MAX)) {
      PyRef number(PyLong_FromUnsignedLongLong(stored.bits));
      return number && refuse_time(number.get(), row, "integer times are int64");
    }
    out[row] = static_cast<std::int64_t>(stored.bits);
  }
  return true;
}

// Times as int64 from a sequence of ints; false with nothing set where an
// item is no int (the times are then float64).
int integer_times_of_sequence(const NumberColumn& column, std::uint64_t count, std::vector<std::int64_t>& out) {
  out.resize(count);
  for (std::uint64_t row = 0; row < count; ++row) {
    IntItem number;
    const int is_int = read_int_item(column.item(row), number);
    if (is_int <= 0) return is_int;
    if (number.overflow) {
      refuse_time(number.index.get(), row, "integer times are int64");
      return -1;
    }
    out[row] = number.value;
  }
  return 1;
}

// Times as float64, each finite.
bool float_times(const NumberColumn& column, std::uint64_t count, std::vector<double>& out) {
  out.resize(count);
  for (std::uint64_t row = 0; row < count; ++row) {
    double value;
    if (column.is_buffer()) {
      value = stored_float(column.item_at(row), column.float_code(), column.swapped());
    } else if (!number_of(column.item(row), "times", at(row), value)) {
      return false;
    }
    if (!std::isfinite(value)) return refuse_float_time(value, row);
    out[row] = value;
  }
  return true;
}

// window or decay: None, or a number meeting `accepts`; ValueError saying `rule` else.
template <class Accepts>
bool convert_optional_number(PyObject* given, const char* name, Accepts accepts, const char* rule,
                             std::optional<double>& out) {
  if (!given || given == Py_None) return true;
  double value;
  if (!number_of(given, name, std::string(), value)) return false;
  if (!accepts(value)) {
    PyRef number(PyFloat_FromDouble(value));
    if (number) PyErr_Format(PyExc_ValueError, "%s must be %s or None, not %R", name, rule, number.get());
    return false;
  }
  out = value;
  return true;
}

}  // namespace

bool convert_times(PyObject* given, std::uint64_t count, std::shared_ptr<const TripleTimes>& out) {
  NumberColumn column;
  if (!column.open(given, "times", count, "triple of the graph as read")) return false;
  try {
    if (!column.is_buffer() || !column.holds_floats()) {
      std::vector<std::int64_t> integers;
      int whole = 1;
      if (column.is_buffer()) {
        if (!integer_times_of_buffer(column, count, integers)) return false;
      } else {
        whole = integer_times_of_sequence(column, count, integers);
        if (whole < 0) return false;
      }
      if (whole == 1) {
        out = std::make_shared<const TripleTimes>(ArrayRegion<std::int64_t>::adopt(std::move(integers)));
        return true;
      }
    }
    std::vector<double> floats;
    if (!float_times(column, count, floats)) return false;
    out = std::make_shared<const TripleTimes>(ArrayRegion<double>::adopt(std::move(floats)));
    return true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

PyObject* PathSampler_temporal(PyObject* object, PyObject* args, PyObject* kwargs) {
  parameters::Temporal given;
  if (!given.parse(kTemporalName, args, kwargs)) return nullptr;
  SamplerState& parent = state_of(object);
  const KG& kg = parent.kg;
  if (kg.bias()) {
    PyErr_SetString(PyExc_ValueError,
                    "temporal() of a biased sampler is not available: a time-respecting step draws by time, not "
                    "by weight; call temporal() on the uniform sampler");
    return nullptr;
  }
  if (kg.metapath()) {
    PyErr_SetString(PyExc_ValueError,
                    "temporal() of a metapath sampler is not available: a metapath step is uniform among the edges "
                    "of its relation; call temporal() on the uniform sampler");
    return nullptr;
  }
  TemporalRule rule;
  if (given.direction() && !convert_choice(given.direction(), "direction", kTimeDirections, rule.direction)) {
    return nullptr;
  }
  if (given.strict()) {
    const int strict = PyObject_IsTrue(given.strict());
    if (strict < 0) return nullptr;
    rule.strict = strict != 0;
  }
  if (!convert_optional_number(given.window(), "window", is_window, "a number >= 0", rule.window) ||
      !convert_optional_number(given.decay(), "decay", is_decay, "a positive finite number", rule.decay)) {
    return nullptr;
  }
  std::shared_ptr<const TripleTimes> times;
  if (given.times() && given.times() != Py_None) {
    if (!knows_source_triples(kg)) {
      PyErr_Format(PyExc_ValueError, "times needs the graph as read, which this sampler does not know: %s",
                   kSourceTriplesUnknown);
      return nullptr;
    }
    if (!convert_times(given.times(), kg.source().edge_count(), times)) return nullptr;
  } else if (kg.triple_times()) {
    times = kg.triple_times();
  } else {
    PyErr_SetString(PyExc_ValueError, "times is needed: this sampler has no times of its own");
    return nullptr;
  }
  PyRef owner = allocate_sampler(Py_TYPE(object));
  if (!owner) return nullptr;
  return fill_sampler(std::move(owner), [&](const InterruptPoll& poll) {
    const KG untimed = kg.with_temporal(nullptr);
    // A stream 0 of its own, as a new sampler with the same seed starts it.
    return std::make_unique<SamplerState>(parent.rules, StdRng::from_first_blocks(parent.rules.key, 0, nullptr, 0),
                                          untimed.with_temporal(make_temporal(untimed, rule, std::move(times), poll)));
  });
}

PyObject* PathSampler_triple_times(PyObject* object, PyObject* args, PyObject* kwargs) {
  if (!parameters::TripleTimes().parse(kTripleTimesName, args, kwargs)) return nullptr;
  const std::shared_ptr<const TripleTimes>& times = state_of(object).kg.triple_times();
  if (!times) {
    PyErr_SetString(PyExc_ValueError,
                    "this sampler knows no times: read(..., time_column=k), from_ids(..., times=) and "
                    "temporal(times) give them");
    return nullptr;
  }
  return std::visit(
      [](const auto& region) {
        using Time = std::remove_cvref_t<decltype(*region.data())>;
        return new_time_array(region.data(), region.size(), std::is_same_v<Time, std::int64_t>);
      },
      *times);
}

}  // namespace vantrel::py
