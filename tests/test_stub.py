"""The type stub installed beside the module says what the module does."""

import ast
import pathlib

import pytest

import vantrel

STUB = pathlib.Path(vantrel.__file__).with_name("vantrel.pyi")


@pytest.fixture(scope="module")
def stub():
    if not STUB.is_file():
        pytest.skip("no stub beside the module (not an installed build)")
    return ast.parse(STUB.read_text())


def stub_class(tree):
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    return cls


def test_stub_names_match_the_runtime(stub):
    all_names = next(node.value for node in stub.body if isinstance(node, ast.Assign))
    assert ast.literal_eval(all_names) == vantrel.__all__
    cls = stub_class(stub)
    assert cls.name == "PathSampler"
    methods = {node.name for node in cls.body if isinstance(node, ast.FunctionDef)}
    runtime = {name for name in vars(vantrel.PathSampler) if not name.startswith("_")} | {"__new__"}
    assert methods == runtime


def test_stub_parameters_are_the_keywords_the_constructor_takes(stub, abc_path):
    new = next(node for node in stub_class(stub).body if isinstance(node, ast.FunctionDef) and node.name == "__new__")
    names = [arg.arg for arg in new.args.args][1:]
    annotations = [ast.unparse(arg.annotation) for arg in new.args.args[1:]]
    values = {"str": abc_path, "float": 2.0, "int": 7}
    sampler = vantrel.PathSampler(**{name: values[kind] for name, kind in zip(names, annotations)})
    assert isinstance(sampler, vantrel.PathSampler)


def test_stub_return_types_hold(stub, abc_path):
    returns = {node.name: ast.unparse(node.returns) for node in stub_class(stub).body
               if isinstance(node, ast.FunctionDef)}
    sampler = vantrel.PathSampler(abc_path, 2.0, 10, 1)
    assert returns["data_size"] == "int" and type(sampler.data_size) is int
    assert returns["sample_path"] == "list[str]"
    path = sampler.sample_path()
    assert type(path) is list and all(type(item) is str for item in path)
    assert returns["sample_paths"] == returns["walks"] == "list[list[str]]"
    for walks in (sampler.sample_paths(2), sampler.walks(0, 2)):
        assert type(walks) is list and all(type(walk) is list for walk in walks)
    assert returns["walk_ids"] == "tuple[Buffer, Buffer]"
    assert all(memoryview(array).ndim == 1 for array in sampler.walk_ids(0, 2))
    assert returns["tokens"] == "Sequence[str]" and type(sampler.tokens[0]) is str
