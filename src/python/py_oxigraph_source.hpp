// RDF/XML and JSON-LD, read through pyoxigraph's parser (the optional
// extra: pip install pyoxigraph): its triples handed on as N-Triples lines, which the
// N-Triples reader turns into the same canonical labels as any other RDF
// format. Blank nodes are renamed "_:bK", K counting them in order of first
// appearance, so that the same bytes always give the same labels (pyoxigraph
// names a blank node the document leaves unnamed at random).
#pragma once

#include "python/py_errors.hpp"

#include <cstdint>
#include <memory>
#include <string>

#include "read/byte_source.hpp"

namespace vantrel::py {

class OxigraphSource final : public ByteSource {
 public:
  enum class Syntax { kRdfXml, kJsonLd };

  // Starts pyoxigraph's parse of the binary file object `input`, relative
  // IRIs resolved against `base` (when not empty); `name` is what a syntax
  // error's note names. Null with ImportError set (saying what to install)
  // where pyoxigraph is not installed, or with the error pyoxigraph raised.
  // The lock must be held.
  static std::unique_ptr<OxigraphSource> open(PyObject* input, Syntax syntax, const std::string& base,
                                              const std::string& name);
  ~OxigraphSource() override;

  // Takes the lock. Throws PythonErrorAlreadySet where pyoxigraph raises,
  // its SyntaxError made ValueError("line N: ...") where it gives a line.
  std::size_t read(char* buffer, std::size_t capacity, const InterruptPoll& poll) override;
  bool reads_on_any_thread() const override { return false; }

 private:
  OxigraphSource(PyRef triples, std::string name) : triples_(std::move(triples)), name_(std::move(name)) {}
  // Appends the next triple's N-Triples line to pending_; false at the end.
  bool next_line();
  bool append_term(PyObject* term);

  PyRef triples_;  // pyoxigraph's iterator
  std::string name_;
  PyRef blank_names_;  // dict: pyoxigraph's blank node id -> our number
  std::string pending_;
  std::size_t pending_at_ = 0;
};

}  // namespace vantrel::py
