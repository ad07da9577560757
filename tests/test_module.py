import importlib
import pathlib
import shutil
import subprocess
import sys
import weakref

import pytest
import vantrel
from conftest import ROOT


def test_module_attributes():
    assert vantrel.__name__ == "vantrel"
    assert vantrel.__doc__ == ""
    assert vantrel.__all__ == ["__doc__", "PathSampler"]
    assert [name for name in vars(vantrel) if not name.startswith("__")] == ["PathSampler"]


def test_class_properties():
    cls = vantrel.PathSampler
    assert cls.__name__ == "PathSampler"
    assert cls.__qualname__ == "PathSampler"
    assert cls.__module__ == "builtins"
    assert cls.__doc__ is None
    assert cls.__bases__ == (object,)
    # Both carry an empty doc string, which the interpreter shows as None.
    assert not cls.sample_path.__doc__
    assert not cls.data_size.__doc__


def test_every_other_member_has_the_stubs_docstring_and_signature():
    import ast
    import inspect

    # The source's stub; where the tests run without the source (against a wheel), the one installed.
    places = [ROOT / "src" / "python" / "vantrel.pyi", *(pathlib.Path(p) / "vantrel-stubs" / "__init__.pyi"
                                                         for p in sys.path)]
    stub = ast.parse(next(place for place in places if place.is_file()).read_text(encoding="utf-8"))
    [sampler] = [node for node in stub.body if isinstance(node, ast.ClassDef) and node.name == "PathSampler"]
    documented = {node.name: node for node in sampler.body
                  if isinstance(node, ast.FunctionDef) and ast.get_docstring(node) is not None}
    public = {name for name in dir(vantrel.PathSampler) if not name.startswith("_")}
    assert public - {"sample_path", "data_size"} == set(documented) - {"sample_path", "data_size"}
    for name in public - {"sample_path", "data_size"}:
        member, node = getattr(vantrel.PathSampler, name), documented[name]
        assert inspect.getdoc(member) == ast.get_docstring(node), name
        if not isinstance(member, type(vantrel.PathSampler.data_size)):
            arguments = node.args.posonlyargs + node.args.args + node.args.kwonlyargs
            shown = [parameter for parameter in inspect.signature(member).parameters if parameter != "self"]
            assert shown == [argument.arg for argument in arguments][1:], name


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Derived", (vantrel.PathSampler,), {})


def test_the_module_types_are_immutable_and_made_only_by_the_module(abc_path):
    # As static types are; the build on the stable ABI makes heap types, which must be told so.
    sampler = vantrel.PathSampler(abc_path, 3.0, 10, 42)
    ids, _ = sampler.walk_ids(0, 2)
    batches = sampler.batches(0, 4, 2)
    for made in (sampler, ids, sampler.tokens, sampler.relations, batches):
        # Python 3.9 words it its own way.
        with pytest.raises(TypeError, match="immutable type|built-in/extension type"):
            type(made).walks = None
    for made in (ids, sampler.tokens, sampler.relations, batches):
        with pytest.raises(TypeError, match="cannot create"):
            type(made)()


def test_objects_take_no_attributes_and_no_weak_references(abc_path):
    sampler = vantrel.PathSampler(abc_path, 3.0, 10, 42)
    assert not hasattr(sampler, "__dict__")
    with pytest.raises(AttributeError):
        sampler.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(sampler)


def test_data_size_is_read_only(abc_path):
    sampler = vantrel.PathSampler(abc_path, 3.0, 10, 42)
    assert sampler.data_size == 3
    assert sampler.data_size == 3
    with pytest.raises(AttributeError):
        sampler.data_size = 4
    with pytest.raises(AttributeError):
        del sampler.data_size
    assert sampler.data_size == 3


def test_objects_cannot_be_pickled(abc_path):
    import pickle

    with pytest.raises(TypeError):
        pickle.dumps(vantrel.PathSampler(abc_path, 3.0, 10, 42))


def test_reimport_makes_new_module_with_same_class():
    first = sys.modules.pop("vantrel")
    try:
        second = importlib.import_module("vantrel")
        assert second is not first
        assert second.PathSampler is first.PathSampler
        assert second.__all__ == ["__doc__", "PathSampler"]
        assert second.__doc__ == ""
    finally:
        sys.modules["vantrel"] = first


@pytest.mark.skipif(shutil.which("nm") is None or shutil.which("readelf") is None, reason="binutils absent")
def test_only_entry_point_is_exported_and_libpython_not_linked():
    exported = subprocess.run(["nm", "-D", "--defined-only", vantrel.__file__], capture_output=True, text=True,
                              check=True).stdout.split()
    assert [word for word in exported if not word.startswith("0") and len(word) > 1] == ["PyInit_vantrel"]
    dynamic = subprocess.run(["readelf", "-d", vantrel.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert "libpython" not in dynamic


def test_type_checkers_find_the_stub_package(tmp_path):
    api = pytest.importorskip("mypy.api")
    import pathlib

    if not any((pathlib.Path(entry) / "vantrel-stubs" / "__init__.pyi").is_file() for entry in sys.path if entry):
        pytest.skip("the vantrel-stubs package is not installed (the module runs from a build tree)")
    script = tmp_path / "typed.py"
    script.write_text("import vantrel\n"
                      "sampler = vantrel.PathSampler('kg.tsv', 4.0, 10, 0)\n"
                      "reveal_type(sampler.walks(0, 1))\n"
                      "reveal_type(sampler.walk_ids(0, 1)[0][3])\n"
                      "sampler.walks('0', 1)\n"
                      "reveal_type(sampler.walks(0, 1, items='edges'))\n")
    out, _, status = api.run([str(script), "--cache-dir", str(tmp_path / "cache"), "--python-executable",
                              sys.executable])
    assert status == 1, out
    out = out.replace("builtins.", "")  # mypy before 1.16 spells builtins out
    assert 'typed.py:3: note: Revealed type is "list[list[str]]"' in out
    assert 'typed.py:4: note: Revealed type is "int"' in out
    assert ('typed.py:5: error: No overload variant of "walks" of "PathSampler" matches argument types "str", "int"'
            in out)
    assert 'typed.py:6: note: Revealed type is "list[list[int]]"' in out
    assert "Cannot find implementation or library stub" not in out
