#include "python/py_oxigraph_source.hpp"

#include <algorithm>
#include <cstring>

#include "python/py_source.hpp"

namespace vantrel::py {

namespace {

// pyoxigraph's SyntaxError as ValueError, with its line where it gives one
// and a note naming the file.
void raise_syntax_error_as_value_error(const std::string& name) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
  PyRef message(PyObject_Str(value));
  if (!message) return;
  PyRef line(PyObject_GetAttrString(value, "lineno"));
  if (!line) PyErr_Clear();
  if (line && PyLong_Check(line.get())) {
    PyErr_Format(PyExc_ValueError, "line %S: %S", line.get(), message.get());
  } else {
    PyErr_SetObject(PyExc_ValueError, message.get());
  }
  add_file_note(name, "source");
}

}  // namespace

std::unique_ptr<OxigraphSource> OxigraphSource::open(PyObject* input, Syntax syntax, const std::string& base,
                                                     const std::string& name) {
  PyRef module(import_optional("pyoxigraph", syntax == Syntax::kRdfXml
                                                 ? "format='rdfxml' is read through pyoxigraph, which is not "
                                                   "installed: pip install pyoxigraph (from a clone of vantrel: pip "
                                                   "install '.[rdf]')"
                                                 : "format='jsonld' is read through pyoxigraph, which is not "
                                                   "installed: pip install pyoxigraph (from a clone of vantrel: pip "
                                                   "install '.[rdf]')"));
  if (!module) return nullptr;
  PyRef formats(PyObject_GetAttrString(module.get(), "RdfFormat"));
  PyRef format(formats ? PyObject_GetAttrString(formats.get(), syntax == Syntax::kRdfXml ? "RDF_XML" : "JSON_LD")
                       : nullptr);
  PyRef parse(PyObject_GetAttrString(module.get(), "parse"));
  PyRef args(PyTuple_New(0));
  PyRef kwargs(PyDict_New());
  if (!format || !parse || !args || !kwargs) return nullptr;
  if (PyDict_SetItemString(kwargs.get(), "input", input) < 0 ||
      PyDict_SetItemString(kwargs.get(), "format", format.get()) < 0) {
    return nullptr;
  }
  if (!base.empty()) {
    PyRef base_text(PyUnicode_FromStringAndSize(base.data(), static_cast<Py_ssize_t>(base.size())));
    if (!base_text || PyDict_SetItemString(kwargs.get(), "base_iri", base_text.get()) < 0) return nullptr;
  }
  PyRef triples(PyObject_Call(parse.get(), args.get(), kwargs.get()));
  if (!triples) {
    if (PyErr_ExceptionMatches(PyExc_SyntaxError)) raise_syntax_error_as_value_error(name);
    return nullptr;
  }
  std::unique_ptr<OxigraphSource> source(new OxigraphSource(std::move(triples), name));
  source->blank_names_.reset(PyDict_New());
  if (!source->blank_names_) return nullptr;
  return source;
}

OxigraphSource::~OxigraphSource() {
  LockTaken lock;
  triples_.reset();
  blank_names_.reset();
}

bool OxigraphSource::append_term(PyObject* term) {
  PyRef value(PyObject_GetAttrString(term, "value"));
  if (!value) return false;
  PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(term)), "__name__"));
  if (!type_name) return false;
  if (PyUnicode_CompareWithASCIIString(type_name.get(), "BlankNode") == 0) {
    PyObject* number = PyDict_GetItemWithError(blank_names_.get(), value.get());
    if (!number && PyErr_Occurred()) return false;
    PyRef fresh;
    if (!number) {
      fresh.reset(PyLong_FromSsize_t(PyDict_Size(blank_names_.get())));
      if (!fresh || PyDict_SetItem(blank_names_.get(), value.get(), fresh.get()) < 0) return false;
      number = fresh.get();
    }
    const long long k = PyLong_AsLongLong(number);
    if (k == -1 && PyErr_Occurred()) return false;
    pending_.append("_:b").append(std::to_string(k));
    return true;
  }
  if (PyUnicode_CompareWithASCIIString(type_name.get(), "NamedNode") != 0 &&
      PyUnicode_CompareWithASCIIString(type_name.get(), "Literal") != 0) {
    PyErr_Format(PyExc_ValueError, "a term this reader cannot take: %R", term);
    return false;
  }
  // pyoxigraph writes IRIs and literals as N-Triples does.
  PyRef text(PyObject_Str(term));
  if (!text) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!utf8) return false;
  pending_.append(utf8, static_cast<std::size_t>(size));
  return true;
}

bool OxigraphSource::next_line() {
  PyRef triple(PyIter_Next(triples_.get()));
  if (!triple) {
    if (!PyErr_Occurred()) return false;
    if (PyErr_ExceptionMatches(PyExc_SyntaxError)) raise_syntax_error_as_value_error(name_);
    throw PythonErrorAlreadySet{};
  }
  for (const char* part : {"subject", "predicate", "object"}) {
    PyRef term(PyObject_GetAttrString(triple.get(), part));
    if (!term || !append_term(term.get())) throw PythonErrorAlreadySet{};
    pending_.push_back(' ');
  }
  pending_.append(".\n");
  return true;
}

std::size_t OxigraphSource::read(char* buffer, std::size_t capacity, const InterruptPoll&) {
  LockTaken lock;
  if (PyErr_CheckSignals() < 0) throw PythonErrorAlreadySet{};
  std::size_t written = 0;
  while (written < capacity) {
    if (pending_at_ == pending_.size()) {
      pending_.clear();
      pending_at_ = 0;
      // Lines are gathered a few thousand at a time: each read call stays short.
      while (pending_.size() < (std::size_t{1} << 16) && next_line()) {
      }
      if (pending_.empty()) break;
    }
    const std::size_t take = std::min(capacity - written, pending_.size() - pending_at_);
    std::memcpy(buffer + written, pending_.data() + pending_at_, take);
    written += take;
    pending_at_ += take;
  }
  return written;
}

}  // namespace vantrel::py
