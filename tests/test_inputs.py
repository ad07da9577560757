"""PathSampler.read (tab-separated, N-Triples, N-Quads; compressed; file
objects) and PathSampler.from_ids (integer arrays with labels)."""

import bz2
import gzip
import io
import lzma
import os
import pathlib
import re
import subprocess
import sys
import threading

import numpy as np
import pytest
from conftest import ROOT, interrupt_after, random_graph, shared_data
from vantrel import PathSampler

RDF_TESTS = ROOT.parent / "shared" / "rdf-tests"
ARGS = (4.0, 10, 7)


def same_walks(a, b, count=200):
    assert (a.data_size, a.node_count, list(a.tokens)) == (b.data_size, b.node_count, list(b.tokens))
    assert a.walks(0, count, items="full") == b.walks(0, count, items="full")
    assert [a.sample_path() for _ in range(20)] == [b.sample_path() for _ in range(20)]


def compressed(path, suffix):
    data = pathlib.Path(path).read_bytes()
    target = f"{path}{suffix}"
    opener = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}[suffix]
    with opener(target, "wb") as file:
        file.write(data)
    return target


def w3c_cases():
    cases = []
    for suite, fmt in [("rdf-n-triples", "nt"), ("rdf-n-quads", "nq")]:
        manifest = RDF_TESTS / suite / "manifest.ttl"
        if not manifest.is_file():
            continue
        entries = re.findall(r"<#([^>]+)>\s+(?:rdf:type|a)\s+rdft:(\w+)\s*;.*?mf:action\s+<([^>]+)>",
                             manifest.read_text(), re.S)
        for name, kind, action in entries:
            cases.append(pytest.param(str(RDF_TESTS / suite / action), fmt, "Positive" in kind, id=name))
    return cases or [pytest.param(None, None, None, marks=pytest.mark.skip(reason=f"{RDF_TESTS} is not present"))]


@pytest.mark.parametrize("path, fmt, conforming", w3c_cases())
def test_w3c_syntax_suites(path, fmt, conforming):
    if conforming:
        PathSampler.read(path, *ARGS, format=fmt)
    else:
        with pytest.raises(ValueError, match=r"^line \d+: "):
            PathSampler.read(path, *ARGS, format=fmt)


def test_w3c_suites_are_all_there():
    if not RDF_TESTS.is_dir():
        pytest.skip(f"{RDF_TESTS} is not present")
    assert len(w3c_cases()) == 41 + 29 + 53 + 34


@pytest.mark.parametrize("suffix", ["", ".gz", ".bz2", ".xz", "object", "read-only object"])
def test_tsv_read_equals_the_constructor(write_kg, suffix):
    import random

    path = write_kg(random_graph(random.Random(3), 300, 3000))
    built = PathSampler(path, *ARGS)
    if suffix.endswith("object"):
        data = pathlib.Path(path).read_bytes()
        source = io.BytesIO(data)
        if suffix.startswith("read-only"):
            source = type("ReadOnly", (), {"read": lambda self, n: source_read(n)})()
            source_read = io.BytesIO(data).read
        read = PathSampler.read(source, *ARGS, format="tsv")
    else:
        read = PathSampler.read(compressed(path, suffix) if suffix else pathlib.Path(path), *ARGS)
    same_walks(built, read)


@pytest.mark.parametrize("inflater", ["isal", "gzip"])
def test_gzip_through_isal_or_python(write_kg, monkeypatch, inflater):
    import random

    opened = []
    if inflater == "isal":
        igzip = pytest.importorskip("isal.igzip")
        original = igzip.GzipFile
        monkeypatch.setattr(igzip, "GzipFile", lambda **kwargs: opened.append(1) or original(**kwargs))
    else:
        monkeypatch.setitem(sys.modules, "isal.igzip", None)  # as if not installed
    path = write_kg(random_graph(random.Random(4), 200, 2000))
    same_walks(PathSampler(path, *ARGS), PathSampler.read(compressed(path, ".gz"), *ARGS))
    assert opened == ([1] if inflater == "isal" else [])
    whole = pathlib.Path(path + ".gz").read_bytes()
    pathlib.Path(path + ".gz").write_bytes(whole[: len(whole) // 2])
    with pytest.raises(EOFError):
        PathSampler.read(path + ".gz", *ARGS)
    pathlib.Path(path + ".gz").write_bytes(b"a\tr\tb\n")  # named .gz, not gzip
    with pytest.raises(gzip.BadGzipFile, match="Not a gzipped file"):
        PathSampler.read(path + ".gz", *ARGS)


def test_zstd_through_whichever_module_is_there(write_kg, monkeypatch):
    path = write_kg("a\tr\tb\nb\tr\tc\n")
    try:
        from compression import zstd as module  # Python 3.14
        data = module.compress(pathlib.Path(path).read_bytes())
    except ImportError:
        module = pytest.importorskip("zstandard")
        data = module.ZstdCompressor().compress(pathlib.Path(path).read_bytes())
    pathlib.Path(path + ".zst").write_bytes(data)
    same_walks(PathSampler(path, *ARGS), PathSampler.read(path + ".zst", *ARGS))
    for name in ("compression.zstd", "zstandard"):
        monkeypatch.setitem(__import__("sys").modules, name, None)  # as if not installed
    with pytest.raises(ModuleNotFoundError, match="reading .zst needs a zstd module"):
        PathSampler.read(path + ".zst", *ARGS)


def test_tsv_read_fails_as_the_constructor(write_kg):
    path = write_kg("a\tb\tc\nd\te\n\xff\n".encode("latin-1"))
    for call in (lambda: PathSampler(path, *ARGS), lambda: PathSampler.read(path, *ARGS)):
        with pytest.raises(ValueError, match="stream did not contain valid UTF-8"):
            call()
    path = write_kg("a\tb\tc\nd\te\n")
    with pytest.raises(ValueError) as error:
        PathSampler.read(gzip.open(compressed(path, ".gz")), *ARGS)
    assert str(error.value) == "index out of bounds: the len is 2 but the index is 2"
    assert getattr(error.value, "__notes__", None) == ([f"line 2 of source {path + '.gz'!r}",
                                                        "line 2 has 2 fields; a triple needs 3, separated by tabs"]
                                                       if sys.version_info >= (3, 11) else None)  # notes: 3.11+


def test_two_spellings_of_one_term_are_one_node():
    text = (
        '<http://x/\\u0053> <http://x/p> "a\\u0041"@EN .\n'
        '<http://x/S> <http://x/p> "aA"@en .\n'
        '<http://x/S> <http://x/p> "t"^^<http://www.w3.org/2001/XMLSchema#string> .\n'
        '<http://x/S> <http://x/p> "t" <http://x/graph> .\n'
        '_:b <http://x/p> "tab\\there" .\n'
    )
    sampler = PathSampler.read(io.BytesIO(text.encode()), *ARGS, format="nq")
    assert list(sampler.tokens)[:sampler.node_count] == ["http://x/S", '"aA"@en', '"t"', "_:b", '"tab\\there"']
    assert sampler.data_size == 5
    dropped = PathSampler.read(io.BytesIO(text.encode()), *ARGS, format="nq", literals="drop")
    assert dropped.data_size == 0


@pytest.mark.parametrize("name, kwargs, error, message", [
    ("kg.nt.gz", {}, None, None),
    ("kg.NQ", {}, None, None),
    ("kg.dat", {}, ValueError,
     "cannot tell the format of .*kg.dat.* give format='tsv', 'nt', 'nq', 'turtle', 'trig', 'rdfxml' or 'jsonld'"),
    ("kg.dat", {"format": "ttl"}, ValueError,
     "format must be 'tsv' or 'nt' or 'nq' or 'turtle' or 'trig' or 'rdfxml' or 'jsonld', not 'ttl'"),
    ("kg.tsv", {"literals": "drop"}, ValueError, "literals='drop' applies to the RDF formats"),
    ("kg.nt", {"progress": 3}, TypeError, "progress must be callable or None, not int"),
])
def test_format_and_options(tmp_path, name, kwargs, error, message):
    path = tmp_path / name
    triple = b"<a:s> <a:p> <a:o> .\n"
    path.write_bytes(gzip.compress(triple) if name.endswith(".gz") else triple)
    if error is None:
        assert PathSampler.read(path, *ARGS, **kwargs).data_size == 1
    else:
        with pytest.raises(error, match=message):
            PathSampler.read(path, *ARGS, **kwargs)


def test_sources_that_are_not_files():
    with pytest.raises(TypeError, match="source must be a path .* or a binary file object"):
        PathSampler.read(3, *ARGS)
    with pytest.raises(TypeError, match="source.read\\(\\) must return bytes, not str"):
        PathSampler.read(io.StringIO("a\tb\tc\n"), *ARGS, format="tsv")

    class KeepsTheBuffer(io.RawIOBase):
        """Keeps a view of every buffer it is given and writes through it later."""
        kept, data = [], io.BytesIO(b"a\tr\tb\n" * 1000)

        def readinto(self, buffer):
            for old in self.kept:
                old[:] = b"x" * len(old)
            self.kept.append(memoryview(buffer))
            return self.data.readinto(buffer)

    sampler = PathSampler.read(KeepsTheBuffer(), *ARGS, format="tsv")
    assert (sampler.data_size, list(sampler.tokens)) == (1000, ["a", "b", "r::-->", "r::<--"])

    class Failing(io.RawIOBase):
        def readinto(self, buffer):
            raise OSError(5, "disk on fire")

    with pytest.raises(OSError, match="disk on fire"):
        PathSampler.read(Failing(), *ARGS, format="tsv")


def test_syntax_error_names_the_line_and_the_file(tmp_path):
    path = tmp_path / "kg.nt"
    path.write_bytes(b"<a:s> <a:p> <a:o> .\n" * 3 + b"# ok\n<a:s> <a:p> 12 .\n")
    with pytest.raises(ValueError) as error:
        PathSampler.read(path, *ARGS)
    assert str(error.value) == "line 5: expected '<', '_:' or '\"' to start the object, found '1'"
    assert getattr(error.value, "__notes__", None) == ([f"source: {str(path)!r}"]
                                                       if sys.version_info >= (3, 11) else None)  # notes: 3.11+


def test_progress_reaches_the_compressed_size(write_kg):
    import os
    import random

    path = compressed(write_kg(random_graph(random.Random(5), 2000, 60000)), ".gz")
    seen = []
    PathSampler.read(path, *ARGS, progress=seen.append)
    assert seen == sorted(seen) and seen[-1] == os.path.getsize(path)


def test_ctrl_c_stops_reading_an_endless_file_object():
    class Endless(io.RawIOBase):
        """Triples forever, a megabyte at a time."""
        block = b"a\tr\tb\n" * (1 << 17)

        def readinto(self, buffer):
            count = min(len(buffer), len(self.block))
            buffer[:count] = self.block[:count]
            return count

    timer = interrupt_after(0.3)
    try:
        with pytest.raises(KeyboardInterrupt):
            PathSampler.read(Endless(), *ARGS, format="tsv")
    finally:
        timer.cancel()


def test_read_releases_the_lock(write_kg):
    import random

    path = write_kg(random_graph(random.Random(1), 20000, 400000))
    ticks = []
    stop = threading.Event()
    thread = threading.Thread(target=lambda: [ticks.append(1) for _ in iter(lambda: stop.wait(0.001), True)])
    thread.start()
    PathSampler.read(path, *ARGS)
    stop.set()
    thread.join()
    assert ticks


# from_ids ------------------------------------------------------------------

def factorized(path):
    """A triple file as first-occurrence ids: what the constructor numbers."""
    rows = [line.split("\t")[:3] for line in pathlib.Path(path).read_text().splitlines()]
    nodes, relations = {}, {}
    ids = [(nodes.setdefault(h, len(nodes)), relations.setdefault(r, len(relations)), nodes.setdefault(t, len(nodes)))
           for h, r, t in rows]
    return np.array(ids, dtype=np.int64), list(nodes), list(relations)


@pytest.mark.parametrize("layout", ["int64", "uint16", "big-endian int32", "columns of a wider array", "torch"])
def test_from_ids_equals_the_constructor_on_first_occurrence_ids(layout):
    path = shared_data("wn18rr-train.tsv")
    ids, nodes, relations = factorized(path)
    if layout == "uint16":
        ids = ids.astype(np.uint32)
    elif layout == "big-endian int32":
        ids = ids.astype(">i4")
    elif layout == "columns of a wider array":
        wide = np.zeros((len(ids), 5), dtype=np.int64)
        wide[:, [4, 2, 0]] = ids
        ids = wide[:, ::-2]
    elif layout == "torch":
        torch = pytest.importorskip("torch")
        ids = torch.from_numpy(ids)
    same_walks(PathSampler(path, *ARGS), PathSampler.from_ids(ids, nodes, relations, *ARGS))


def test_from_ids_keeps_ids_and_unused_labels(tmp_path):
    sampler = PathSampler.from_ids(np.array([[2, 1, 0]]), ["a", "b", "c"], ["unused", "r"], *ARGS)
    assert list(sampler.tokens)[:3] == ["a", "b", "c"]
    assert sampler.walks(0, 3, start="each")[1] == ["b", "b"]
    assert sampler.walks(0, 3, start="each")[2][:2] == ["c", "r::-->"]
    sampler.save(tmp_path / "ids.snap")
    same_walks(sampler, PathSampler.load(tmp_path / "ids.snap", *ARGS))


@pytest.mark.parametrize("triples, nodes, relations, error, message", [
    (np.array([[0, 0, 1], [0, 0, 2]]), ["a", "b"], ["r"], ValueError,
     r"^triples\[1, 2\] = 2 is not a node id: node ids run from 0 to 1$"),
    (np.array([[0, 1, 1]], dtype=np.int8), ["a", "b"], ["r"], ValueError,
     r"^triples\[0, 1\] = 1 is not a relation id: relation ids run from 0 to 0$"),
    (np.array([[0, 0, -3]], dtype=np.int16), ["a", "b"], ["r"], ValueError,
     r"^triples\[0, 2\] = -3 is not a node id: ids are not negative$"),
    (np.zeros((4,), dtype=np.int64), ["a"], ["r"], ValueError, r"^triples must be of shape \(n, 3\).*\(4,\)$"),
    (np.zeros((1, 3)), ["a"], ["r"], TypeError, "triples must hold integers, not items of format 'd'"),
    ([[0, 0, 0]], ["a"], ["r"], TypeError, "triples must be an integer array with the buffer protocol, not list"),
    (np.zeros((1, 3), dtype=int), ["a", "b", "a"], ["r"], ValueError,
     r"^node_labels\[2\] = 'a' repeats node_labels\[0\]$"),
    (np.zeros((1, 3), dtype=int), ["a"], ["r", "r"], ValueError, r"^relation_labels\[1\] = 'r' repeats"),
    (np.zeros((1, 3), dtype=int), ["a", 5], ["r"], TypeError, r"^node_labels\[1\] must be str, not int$"),
    (np.zeros((1, 3), dtype=int), "a", ["r"], TypeError, r"^node_labels must be a sequence of str, not a str$"),
    (np.zeros((1, 3), dtype=int), ["a"], {"r": 0}, TypeError,
     r"^relation_labels must be a sequence of str in id order, not a dict$"),
    (np.zeros((1, 3), dtype=int), 3, ["r"], TypeError, r"^node_labels must be a sequence of str, not int$"),
    # 2^40 rows that all alias one: refused before any is read.
    (np.broadcast_to(np.zeros(3, dtype=np.int64), (2**40, 3)), ["a"], ["r"], MemoryError, "^$"),
])
def test_from_ids_refuses(triples, nodes, relations, error, message):
    with pytest.raises(error, match=message):
        PathSampler.from_ids(triples, nodes, relations, *ARGS)


@pytest.mark.parametrize("error", [RuntimeError("disk on fire"), MemoryError(), KeyboardInterrupt()])
def test_from_ids_passes_on_what_iterating_the_labels_raises(error):
    def labels():
        yield "a"
        raise error

    with pytest.raises(type(error)) as raised:
        PathSampler.from_ids(np.zeros((1, 3), dtype=int), labels(), ["r"], *ARGS)
    assert raised.value is error and raised.value.__context__ is None


def test_compressed_and_undecodable_paths_are_named_in_notes(tmp_path):
    if not hasattr(BaseException, "add_note"):
        pytest.skip("notes need Python 3.11")
    missing = tmp_path / "absent.nt.gz"
    with pytest.raises(FileNotFoundError) as error:
        PathSampler.read(missing, *ARGS)
    assert error.value.__notes__ == [f"source: {str(missing)!r}"]
    path = bytes(tmp_path / "kg") + b"\xff.nt"
    with open(path, "wb") as file:
        file.write(b"<a:s> <a:p> 12 .\n")
    with pytest.raises(ValueError) as error:
        PathSampler.read(path, *ARGS)
    assert error.value.__notes__ == [f"source: {os.fsdecode(path)!r}"]


@pytest.mark.parametrize("content, hint", [
    (b"<a:s> <a:p> <a:o> .\n", "this looks like N-Triples: PathSampler.read(...) reads it"),
    (b"# made by hand\n@prefix ex: <http://ex/> .\nex:a ex:b ex:c .\n",
     "this looks like Turtle: PathSampler.read(...) reads it"),
    # mtime=0: a parameter's bytes name its test, which must be the same in every pytest-xdist worker
    (gzip.compress(b"a\tr\tb\n", mtime=0), "this looks like gzip-compressed data: PathSampler.read(...) reads it "
                                           "from a path with its suffix"),
    (b"a\tr\n", None),
    (b"Rhine,flows_into,North Sea\n", "fields are separated by tabs: the file's first line has none, but commas that "
                                      "would separate three or more"),
    (b"Rhine flows_into Basel\n", "fields are separated by tabs: the file's first line has none, but spaces that "
                                  "would separate three or more"),
])
def test_constructor_hints_at_what_a_refused_file_is(tmp_path, content, hint):
    if not hasattr(BaseException, "add_note"):
        pytest.skip("notes need Python 3.11")
    path = tmp_path / "kg.tsv"
    path.write_bytes(content)
    with pytest.raises(ValueError) as error:
        PathSampler(str(path), *ARGS)
    # A short line's note says how many fields it has; the hint, what the file looks like.
    fields = str(error.value).split()[-1] if str(error.value).startswith("index out of bounds") else None
    said = [f"line 1 has {fields} field{'s' * (fields != '1')}; a triple needs 3, separated by tabs"] if fields else []
    assert error.value.__notes__[1:] == said + ([hint] if hint else [])


@pytest.mark.parametrize("make, error, message", [
    (lambda entry: entry.symlink_to(entry.parent / "missing.nt"), FileNotFoundError, "No such file or directory"),
    (lambda entry: entry.symlink_to(entry), OSError, "Too many levels of symbolic links"),
    (lambda entry: os.mkfifo(entry), ValueError, "is a FIFO: a directory's entries whose suffix names a format must "
                                                 "be regular files"),
    (lambda entry: entry.mkdir(), IsADirectoryError, "Is a directory"),
])
def test_a_directory_entry_that_cannot_be_read_is_named_whatever_the_listing_order(tmp_path, make, error, message):
    # The bad entry sorts before, between and after good files: directories list in hash order, which used to
    # decide whether it was skipped or blamed on the directory.
    for bad in ("a.nt", "m.nt", "z.nt"):
        directory = tmp_path / bad.replace(".", "_")
        directory.mkdir()
        for good in ("g.nt", "t.nt", "h.ttl"):
            (directory / good).write_text("<a:s> <a:p> <a:o> .\n")
        make(directory / bad)
        (directory / "README").symlink_to(directory / "missing")  # no suffix that names a format: not read
        with pytest.raises(error) as info:
            PathSampler.read(directory, *ARGS)
        assert message in str(info.value) and str(directory / bad) in str(info.value)


def test_read_of_a_directory_without_graph_files_says_so(tmp_path):
    (tmp_path / "kg.tsv.orig").write_text("a\tr\tb\n")
    with pytest.raises(ValueError, match=f"^no file in {str(tmp_path)!r} has a suffix that names a format"):
        PathSampler.read(tmp_path, *ARGS)


def test_unknown_relations_suggest_the_closest(write_kg):
    sampler = PathSampler(write_kg("a\t_hypernym\tb\nb\t_hyponym\tc\n"), *ARGS)
    for call in (lambda: sampler.restrict(exclude_relations=["_hypernim"]),
                 lambda: sampler.biased(relation_weights={"_hypernim": 2})):
        with pytest.raises(KeyError) as error:
            call()
        assert error.value.args == ("_hypernim",)
        assert getattr(error.value, "__notes__", ["did you mean '_hypernym'?"]) == ["did you mean '_hypernym'?"]


def test_no_hint_is_sought_by_reading_a_pipe_again(tmp_path):
    # The hint reads the file's first bytes again: a pipe would wait for a second writer.
    fifo = tmp_path / "kg.tsv"
    os.mkfifo(fifo)
    code = (f"import threading, vantrel\n"
            f"threading.Thread(target=lambda: open({str(fifo)!r}, 'w').write('<a:s> <a:p> <a:o> .\\n')).start()\n"
            f"try:\n    vantrel.PathSampler({str(fifo)!r}, 4.0, 10, 7)\nexcept ValueError as e:\n    print(e)\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.stdout == "index out of bounds: the len is 1 but the index is 1\n", run.stderr
