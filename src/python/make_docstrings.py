"""Writes the docstrings of PathSampler's methods and attributes, and each
method's parameter table with named slots (as Argument Clinic does), as C++
from the stub (vantrel.pyi): the stub is their one source, so that help(),
inspect.signature(), IDEs and the argument parser see what type checkers see.

    python make_docstrings.py vantrel.pyi DOCSTRINGS.hpp PARAMETERS.hpp

A method's docstring starts with its text signature ("name($self, a, *,
b=1)\\n--\\n\\n"), which CPython turns into __text_signature__. Members whose
documentation the module has always left empty (the constructor, sample_path,
data_size and the class itself) are not written: their stub docstrings are
for type checkers and IDEs only.
"""

import ast
import sys

LEFT_EMPTY = {"__new__", "sample_path", "data_size"}
DELIMITER = ")doc"


def decorators(function: ast.FunctionDef) -> set[str]:
    return {decorator.id for decorator in function.decorator_list if isinstance(decorator, ast.Name)}


def text_signature(function: ast.FunctionDef, first: str) -> str:
    """The signature as CPython's __text_signature__ spells it: no annotations,
    the first parameter as `first`, defaults as Python literals."""
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + list(arguments.defaults)
    parts = []
    for index, (argument, default) in enumerate(zip(positional, defaults)):
        name = first if index == 0 else argument.arg
        parts.append(name if default is None else f"{name}={ast.literal_eval(default)!r}")
        if arguments.posonlyargs and index == len(arguments.posonlyargs) - 1:
            parts.append("/")
    if arguments.vararg is not None:
        raise SystemExit(f"{function.name}: *{arguments.vararg.arg} has no text signature here")
    if arguments.kwonlyargs:
        parts.append("*")
    for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults):
        parts.append(argument.arg if default is None else f"{argument.arg}={ast.literal_eval(default)!r}")
    return f"{function.name}({', '.join(parts)})"


def docstrings(stub: str) -> dict[str, str]:
    """Name to docstring of each documented member of PathSampler, in stub order."""
    module = ast.parse(stub)
    [sampler] = [node for node in module.body if isinstance(node, ast.ClassDef) and node.name == "PathSampler"]
    found: dict[str, str] = {}
    for node in sampler.body:
        if not isinstance(node, ast.FunctionDef) or node.name in LEFT_EMPTY or node.name in found:
            continue
        doc = ast.get_docstring(node, clean=True)
        if doc is None:
            if "overload" in decorators(node):
                continue  # an overload without a docstring: another one holds it
            raise SystemExit(f"vantrel.pyi: PathSampler.{node.name} has no docstring")
        kind = decorators(node)
        if "property" in kind:
            found[node.name] = doc
        else:
            found[node.name] = f"{text_signature(node, '$type' if 'classmethod' in kind else '$self')}\n--\n\n{doc}"
    return found


def header(found: dict[str, str]) -> str:
    lines = [
        "// Made by src/python/make_docstrings.py from src/python/vantrel.pyi, the one source of",
        "// PathSampler's documentation: edit the stub, not this file.",
        "#pragma once",
        "",
        "namespace vantrel::py::docstrings {",
        "",
    ]
    for name, doc in found.items():
        if DELIMITER + '"' in doc:
            raise SystemExit(f"PathSampler.{name}: its docstring holds {DELIMITER}\"")
        lines.append(f'inline constexpr const char {name}[] = R"doc({doc}{DELIMITER}";')
    lines += ["", "}  // namespace vantrel::py::docstrings", ""]
    return "\n".join(lines)


CPP_KEYWORDS = {"default", "delete", "new", "class", "template", "register", "operator", "namespace", "union"}


def methods(stub: str) -> dict[str, ast.FunctionDef]:
    """Name to definition of each method of PathSampler with parameters beyond
    self or cls, in stub order (of overloads, the first: they share parameters)."""
    module = ast.parse(stub)
    [sampler] = [node for node in module.body if isinstance(node, ast.ClassDef) and node.name == "PathSampler"]
    found: dict[str, ast.FunctionDef] = {}
    for node in sampler.body:
        if isinstance(node, ast.FunctionDef) and "property" not in decorators(node) and node.name not in found:
            found[node.name] = node
    return found


def struct_name(method: str) -> str:
    return "Constructor" if method == "__new__" else "".join(part.title() for part in method.split("_"))


def parameters_header(found: dict[str, ast.FunctionDef]) -> str:
    lines = [
        "// Made by src/python/make_docstrings.py from src/python/vantrel.pyi: the parameters of",
        "// PathSampler's methods, each method's table with its slots named. Edit the stub, not this file.",
        "#pragma once",
        "",
        '#include "python/py_args.hpp"',
        "",
        "#include <iterator>",
        "",
        "namespace vantrel::py::parameters {",
    ]
    for name, function in found.items():
        arguments = function.args
        positional = (arguments.posonlyargs + arguments.args)[1:]  # without self or cls
        first_default = len(positional) - len(arguments.defaults)
        table = [(argument.arg, index >= first_default, False) for index, argument in enumerate(positional)]
        table += [(argument.arg, default is not None, True)
                  for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults)]
        if arguments.vararg is not None or arguments.kwarg is not None:
            raise SystemExit(f"PathSampler.{name}: *args and **kwargs have no table here")
        lines += ["", f"// PathSampler.{name}()'s arguments, parsed into their slots: null where not given.",
                  f"struct {struct_name(name)} {{"]
        if table:
            lines.append("  static constexpr ParamDescription kParams[] = {")
            lines += [f'      {{"{arg}", {str(optional).lower()}, {str(kw_only).lower()}}},'
                      for arg, optional, kw_only in table]
            lines += ["  };", "  PyRef slots[std::size(kParams)];", ""]
            lines.append("  bool parse(const char* fname, PyObject* args, PyObject* kwargs) {")
            lines.append("    return parse_fn_args(fname, kParams, args, kwargs, false, false, slots) >= 0;")
            lines.append("  }")
            for index, (arg, _, _) in enumerate(table):
                accessor = arg + "_" if arg in CPP_KEYWORDS else arg
                lines.append(f"  PyObject* {accessor}() const {{ return slots[{index}].get(); }}")
        else:
            lines.append("  bool parse(const char* fname, PyObject* args, PyObject* kwargs) {")
            lines.append("    return parse_fn_args(fname, {}, args, kwargs, false, false, nullptr) >= 0;")
            lines.append("  }")
        lines.append("};")
    lines += ["", "}  // namespace vantrel::py::parameters", ""]
    return "\n".join(lines)


def main() -> None:
    stub_path, docstrings_path, parameters_path = sys.argv[1:]
    with open(stub_path, encoding="utf-8") as stub:
        text = stub.read()
    made = {docstrings_path: header(docstrings(text)), parameters_path: parameters_header(methods(text))}
    for path, header_text in made.items():
        with open(path, "w", encoding="utf-8") as out:
            out.write(header_text)


if __name__ == "__main__":
    main()
