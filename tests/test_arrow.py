"""Tables in (PathSampler.from_arrow): the graph, tokens and walks of the triple file of the same rows, from
any producer of the Arrow C stream interface and any string or integer layout, and every refusal."""

import random

import pytest
import vantrel
from conftest import random_graph

pa = pytest.importorskip("pyarrow")


def rows_of(text):
    return [line.split("\t") for line in text.splitlines()]


def table_of(rows, kind=None):
    kind = kind or pa.string()
    return pa.table({name: pa.array([row[k] for row in rows], kind) for k, name in enumerate(["h", "r", "t"])})


def same(sampler, reference):
    return list(sampler.tokens) == list(reference.tokens) and sampler.walks(0, 200) == reference.walks(0, 200)


@pytest.fixture
def graph(write_kg):
    text = random_graph(random.Random(71), 60, 400)
    return rows_of(text), vantrel.PathSampler(write_kg(text), 3.0, 9, 4)


def test_every_string_layout_and_producer_gives_the_triple_file_graph(graph):
    rows, reference = graph
    table = table_of(rows)
    dictionary = pa.table({"h": pa.array([r[0] for r in rows]).dictionary_encode(), "r": table["r"],
                           "t": pa.array([r[2] for r in rows], pa.large_string()).dictionary_encode()})
    producers = [table, table_of(rows, pa.large_string()), table_of(rows, pa.string_view()), dictionary,
                 pa.Table.from_batches(table.to_batches(max_chunksize=7)), table.to_reader(max_chunksize=50)]
    pd = pytest.importorskip("pandas")
    if hasattr(pd.DataFrame, "__arrow_c_stream__"):
        producers.append(table.to_pandas())
    try:
        import polars
    except ImportError:
        pass
    else:
        producers.append(polars.from_arrow(table))
    for producer in producers:
        assert same(vantrel.PathSampler.from_arrow(producer, 3.0, 9, 4), reference)
    # A slice's rows begin past its arrays' start: the offsets count.
    sliced = vantrel.PathSampler.from_arrow(table_of([["x", "y", "z"], *rows]).slice(1), 3.0, 9, 4)
    assert same(sliced, reference)
    canonical = vantrel.PathSampler.from_arrow(table.take(list(reversed(range(len(rows))))), 3.0, 9, 4, canonical=True)
    assert same(canonical, vantrel.PathSampler.from_arrow(table, 3.0, 9, 4, canonical=True))


def test_integer_columns_are_ids_as_from_ids_reads_them(graph):
    np = pytest.importorskip("numpy")
    rows, _ = graph
    rng = np.random.default_rng(3)
    ids = np.stack([rng.integers(0, 50, 300), rng.integers(0, 4, 300), rng.integers(0, 50, 300)], 1)
    nodes, relations = [f"n{k}" for k in range(50)], ["a", "b", "c", "d"]
    reference = vantrel.PathSampler.from_ids(ids, nodes, relations, 3.0, 9, 4)
    def table_of_ids(ids):
        return pa.table({"h": pa.array(ids[:, 0], pa.uint16()), "r": pa.array(ids[:, 1], pa.int8()),
                         "t": pa.array(ids[:, 2], pa.uint64())})

    table = table_of_ids(ids)
    for producer in (table, pa.Table.from_batches(table.to_batches(max_chunksize=64)),
                     table_of_ids(np.concatenate([ids[:1] + 1, ids])).slice(1)):
        assert same(vantrel.PathSampler.from_arrow(producer, 3.0, 9, 4, node_labels=nodes, relation_labels=relations),
                    reference)
    negative = pa.table({"h": pa.array([0, -2], pa.int32()), "r": [0, 0], "t": [1, 1]})
    with pytest.raises(ValueError, match=r"^triples\[1, 0\] = -2 is not a node id: ids are not negative$"):
        vantrel.PathSampler.from_arrow(negative, 3.0, 9, 4, node_labels=nodes, relation_labels=relations)
    with pytest.raises(TypeError, match="needs node_labels and relation_labels"):
        vantrel.PathSampler.from_arrow(table, 3.0, 9, 4)
    with pytest.raises(TypeError, match="go with a table of integer ids; this one holds labels"):
        vantrel.PathSampler.from_arrow(table_of(rows), 3.0, 9, 4, node_labels=nodes, relation_labels=relations)


@pytest.mark.parametrize("table, error, message", [
    (pa.table({"h": ["a", None], "r": ["r", "r"], "t": ["b", "c"]}), ValueError,
     "row 1 has no head (null): every triple needs all three"),
    (pa.table({"h": pa.array(["a", "b"]).dictionary_encode(), "r": ["r", None], "t": ["b", "c"]}), ValueError,
     "row 1 has no relation (null): every triple needs all three"),
    (pa.table({"h": ["a"], "r": ["r\ts"], "t": ["b"]}), ValueError,
     "row 0: its relation holds a tab or a line feed, which no label of a triple file can"),
    (pa.table({"h": ["a", "b"], "r": ["r", "r"], "t": ["b", "c\r"]}), ValueError,
     "row 1: its tail holds a tab or a line feed or ends in a carriage return, which no label of a triple file can"),
    (pa.table({"h": ["a"], "r": ["r"], "t": [1.5]}), TypeError,
     "the tail column is of Arrow type 'g': labels are strings (utf8, large_utf8 or utf8_view, dictionary-encoded "
     "or not), ids integers"),
    (pa.table({"h": ["a"], "r": ["r"], "t": [1]}), TypeError,
     "the columns mix labels and ids: all three are strings, or all three integers"),
    (pa.table({"h": ["a"], "r": ["r"]}), TypeError,
     "a table of 2 columns: triples are three, head, relation and tail (select them first)"),
    ([("a", "r", "b")], TypeError,
     "table must have the Arrow C stream interface (__arrow_c_stream__: a pyarrow Table or RecordBatchReader, a "
     "polars or pandas DataFrame), not list"),
])
def test_refusals_say_what_is_wrong(table, error, message):
    with pytest.raises(error) as caught:
        vantrel.PathSampler.from_arrow(table, 3.0, 9, 4)
    assert str(caught.value) == message


def test_a_failing_producer_fails_the_call():
    schema = pa.schema([("h", pa.string()), ("r", pa.string()), ("t", pa.string())])

    def batches():
        yield pa.record_batch([["a"], ["r"], ["b"]], schema=schema)
        raise RuntimeError("the source went away")

    with pytest.raises(ValueError, match="the Arrow stream failed: .*the source went away"):
        vantrel.PathSampler.from_arrow(pa.RecordBatchReader.from_batches(schema, batches()), 3.0, 9, 4)


def test_parquet_files_are_read_by_suffix_or_format(graph, tmp_path):
    rows, reference = graph
    parquet = pytest.importorskip("pyarrow.parquet")
    table = table_of(rows)
    parquet.write_table(table.append_column("weight", pa.array([1.0] * len(rows))), tmp_path / "kg.parquet")
    parquet.write_table(table, tmp_path / "kg.data")
    assert same(vantrel.PathSampler.read(tmp_path / "kg.parquet", 3.0, 9, 4, columns=["h", "r", "t"]), reference)
    assert same(vantrel.PathSampler.read(str(tmp_path / "kg.data"), 3.0, 9, 4, format="parquet"), reference)
    with pytest.raises(TypeError, match="a table of 4 columns"):
        vantrel.PathSampler.read(tmp_path / "kg.parquet", 3.0, 9, 4)
    with pytest.raises(TypeError, match="^columns= names the columns of a Parquet file; this source is none$"):
        vantrel.PathSampler.read(tmp_path / "kg.data", 3.0, 9, 4, format="tsv", columns=["h", "r", "t"])


def test_parquet_without_pyarrow_says_what_to_install(tmp_path, monkeypatch):
    monkeypatch.setitem(__import__("sys").modules, "pyarrow.parquet", None)
    with pytest.raises(ImportError, match=r"^Parquet files are read through pyarrow, which is not installed: pip "
                                          r"install pyarrow \(from a clone of vantrel: pip install '\.\[parquet\]'\)$"):
        vantrel.PathSampler.read(tmp_path / "kg.parquet", 3.0, 9, 4)
