"""Many walks per call: sample_paths on the sampler's own stream, walks by
number (walk_ids, walks) on any number of threads, and the token table."""

import collections.abc
import ctypes
import os
import random
import signal
import threading
import time
from collections import Counter

import pytest
import vantrel
from conftest import ABC, interrupt_after, random_graph
from exact_port import ExactPathSampler


def as_lists(ids, offsets, tokens):
    ids, offsets = memoryview(ids).tolist(), memoryview(offsets).tolist()
    return [[tokens[t] for t in ids[offsets[k] : offsets[k + 1]]] for k in range(len(offsets) - 1)]


@pytest.mark.parametrize("count", [0, 1, 37])
def test_sample_paths_is_a_loop_of_sample_path(abc_path, count):
    batch = vantrel.PathSampler(abc_path, 2.0, 10, 5)
    single = vantrel.PathSampler(abc_path, 2.0, 10, 5)
    assert batch.sample_paths(count) == [single.sample_path() for _ in range(count)]
    assert batch.sample_path() == single.sample_path()


def test_repeated_tokens_share_one_str(abc_path):
    sampler = vantrel.PathSampler(abc_path, 6.0, 20, 3)
    for walks in (sampler.sample_paths(50), sampler.walks(0, 50)):
        items = [item for walk in walks for item in walk]
        assert len({id(item) for item in items}) == len(set(items))


@pytest.mark.parametrize("restriction", [None, {"direction": "forward"}])
def test_walks_through_a_hub_match_the_exact_port(write_kg, restriction):
    # Node 0 has about 800 candidates: its steps hand over to other walks while a candidate's cell comes.
    path = write_kg(random_graph(random.Random(702), 200, 2000))
    ours, port = vantrel.PathSampler(path, 6.0, 12, 4), ExactPathSampler(path, 6.0, 12, 4)
    if restriction:
        ours, port = ours.restrict(**restriction), port.restrict(**restriction)
    for start, items in [("random", "path"), ([0, 0, 5], "full"), ("each", "nodes")]:
        assert ours.walks(0, 300, start=start, items=items) == [port.walk(i, start, items) for i in range(300)]


@pytest.mark.parametrize("graph_seed", range(4))
def test_walk_i_matches_the_exact_port(write_kg, graph_seed):
    rng = random.Random(100 + graph_seed)
    path = write_kg(random_graph(rng, rng.choice([1, 3, 30]), rng.randrange(1, 60)))
    for mean, cap, seed in [(3.7, 10, graph_seed), (20.0, 2**64 - 1, 2**64 - 1), (1e-17, 4, 0)]:
        ours = vantrel.PathSampler(path, mean, cap, seed)
        port = ExactPathSampler(path, mean, cap, seed)
        assert list(ours.tokens) == port.tokens
        first = rng.choice([0, 5, 2**64 - 40])
        listed = [rng.randrange(len(port.graph.labels)) for _ in range(rng.choice([1, 7]))]
        for start, items in [
            ("random", "path"),
            ("each", "path"),
            (listed, "path"),
            ("random", "full"),
            (listed, "nodes"),
        ]:
            expected = [port.walk(i, start, items) for i in range(first, first + 35)]
            assert ours.walks(first, first + 35, start=start, items=items) == expected
            assert as_lists(*ours.walk_ids(first, first + 35, start=start, items=items), ours.tokens) == expected


def test_start_lists_of_every_kind_and_node_ids(shared_or_abc, tmp_path):
    np = pytest.importorskip("numpy")
    sampler = vantrel.PathSampler(shared_or_abc, 4.0, 10, 2)
    n = sampler.node_count
    each = sampler.walks(0, 2 * n + 3, start="each")
    ids = sampler.node_ids(list(sampler.tokens[:n]))
    for nodes in (
        list(range(n)),
        np.arange(n),
        np.arange(n, dtype=np.uint32),
        np.arange(n, dtype=">i8"),
        np.arange(2 * n)[::2] // 2,
        ids,
    ):
        assert sampler.walks(0, 2 * n + 3, start=nodes) == each
    # ids, str and file forms agree.
    listed = np.array([n - 1, 0, n // 2])
    walks = sampler.walks(5, 5000, start=listed)
    assert [walk[0] for walk in walks[:4]] == [sampler.tokens[i] for i in (n // 2, n - 1, 0, n // 2)]
    assert as_lists(*sampler.walk_ids(5, 5000, start=listed), sampler.tokens) == walks
    sampler.write_walks(tmp_path / "w.tsv", 5, 5000, start=listed.tolist(), threads=2)
    assert (tmp_path / "w.tsv").read_bytes().decode() == "".join("\t".join(walk) + "\n" for walk in walks)


@pytest.mark.parametrize("mean, cap", [(4.0, 10), (30.0, 200), (1e-17, 0), (1e5, 10**6)])
def test_item_forms_list_one_route(shared_or_abc, tmp_path, mean, cap):
    sampler = vantrel.PathSampler(shared_or_abc, mean, cap, 4)
    count = 3000 if mean < 100 else 20
    path, full, nodes = (sampler.walks(7, 7 + count, items=items, threads=2) for items in ("path", "full", "nodes"))
    assert all(f[0::2] == w for f, w in zip(full, nodes))
    assert all([f[0]] + f[1::2] + [f[-1]] == p for f, p in zip(full, path))
    for items, walks in (("full", full), ("nodes", nodes)):
        assert as_lists(*sampler.walk_ids(7, 7 + count, items=items), sampler.tokens) == walks
        sampler.write_walks(tmp_path / items, 7, 7 + count, items=items, threads=3)
        assert (tmp_path / items).read_bytes().decode() == "".join("\t".join(walk) + "\n" for walk in walks)
    with pytest.raises(ValueError, match="items must be 'path' or 'full' or 'nodes' or 'edges' or 'times', not 'edge'"):
        sampler.walks(0, 1, items="edge")


@pytest.mark.parametrize(
    "start, error, message",
    [
        ([], ValueError, "start is empty: give at least one node id"),
        ([0, 3], ValueError, "start[1] = 3 is not a node id: node ids run from 0 to 2"),
        ([0, -1], ValueError, "start[1] = -1 is not a node id: node ids are not negative"),
        ([2**70], ValueError, "start[0] = 1180591620717411303424 is not a node id"),
        ([0, 1.0], TypeError, "start[1] must be an int, not float"),
        ("each node", ValueError, "start must be 'random' or 'each', not 'each node'"),
        (7, TypeError, "start must be 'random', 'each' or a sequence of node ids"),
        (memoryview(b"\0\0\0\0\0\0\0\0").cast("d"), TypeError, "start must hold integers, not items of format 'd'"),
        (memoryview(bytes(4)).cast("B", (2, 2)), ValueError, "start must be one-dimensional, not of 2 dimensions"),
        (memoryview(bytes([0, 0, 0, 255])).cast("b"), ValueError, "start[3] = -1 is not a node id"),
        (b"each", TypeError, "start must be 'random', 'each' or a sequence of node ids, not bytes"),
        (bytearray(2), TypeError, "start must be 'random', 'each' or a sequence of node ids, not bytearray"),
        ([1, True], TypeError, "start[1] must be an int, not bool"),
    ],
)
def test_bad_start_lists_name_the_first_bad_position(abc_path, start, error, message):
    sampler = vantrel.PathSampler(abc_path, 4.0, 10, 2)
    for call in (
        lambda: sampler.walks(0, 3, start=start),
        lambda: sampler.walk_ids(0, 3, start=start),
        lambda: sampler.write_walks(os.devnull, 0, 3, start=start),
    ):
        with pytest.raises(error) as info:
            call()
        assert str(info.value).startswith(message)


def test_id_arrays_are_sequences_of_int(abc_path):
    sampler = vantrel.PathSampler(abc_path, 4.0, 10, 2)
    ids = sampler.node_ids(("C", "A", "C", "B"))
    walk_ids, offsets = sampler.walk_ids(0, 3)
    table = sampler.triple_ids()
    for array in (ids, walk_ids, offsets, table):
        assert isinstance(array, collections.abc.Sequence)
        items = memoryview(array).tolist()
        items = [tuple(row) for row in items] if array is table else items
        assert list(array) == items and [array[i] for i in range(-len(array), len(array))] == items * 2
        for cut in (slice(None), slice(1, None, 2), slice(None, None, -1), slice(-2, 99), slice(5, 1)):
            assert array[cut] == items[cut]
        with pytest.raises(IndexError, match="IdArray index out of range"):
            array[len(array)]
        # Read-only, as documented: a consumer that asks to write is refused.
        assert memoryview(array).readonly
        with pytest.raises(TypeError, match="not writable"):
            ctypes.c_char.from_buffer(array)
    assert (ids.index(0), ids.count(2), 1 in ids, -1 in ids, 2**64 in ids, "2" in ids) == (1, 2, True, False, False,
                                                                                            False)
    assert (table[1], table.index((1, 1, 2)), table.count((0, 0, 1)), (2, 0, 1) in table) == ((1, 1, 2), 1, 1, True)
    with pytest.raises(ValueError, match=r"^7 is not in the IdArray$"):
        ids.index(7)
    with pytest.raises(TypeError, match="^IdArray indices must be integers or slices, not str$"):
        ids["0"]


def test_node_ids_look_labels_up(abc_path):
    sampler = vantrel.PathSampler(abc_path, 4.0, 10, 2)
    ids = sampler.node_ids(("C", "A", "C"))
    assert memoryview(ids).format == "I" and memoryview(ids).tolist() == [2, 0, 2]
    assert memoryview(sampler.node_ids([])).tolist() == []
    for labels, error in (
        (["A", "r::-->"], KeyError),
        (["a"], KeyError),
        (["\ud800"], KeyError),
        ("A", TypeError),
        ([b"A"], TypeError),
        (5, TypeError),
    ):
        with pytest.raises(error):
            sampler.node_ids(labels)
    with pytest.raises(KeyError) as info:
        sampler.node_ids(["A", "nope", "also not"])
    assert info.value.args == ("nope",)


def test_same_walks_for_every_thread_count_and_split(shared_or_abc):
    sampler = vantrel.PathSampler(shared_or_abc, 4.0, 10, 9)
    reference = memoryview(sampler.walk_ids(0, 20_000, threads=1)[0]).tolist()
    for threads in (2, 3, 8):
        assert memoryview(sampler.walk_ids(0, 20_000, threads=threads)[0]).tolist() == reference
    walks = sampler.walks(0, 9_000, threads=1)
    for cut in (1, 4096, 5000, 8999):
        assert sampler.walks(0, cut, threads=3) + sampler.walks(cut, 9_000, threads=2) == walks


@pytest.fixture
def shared_or_abc(abc_path):
    from conftest import SHARED_DATA

    path = SHARED_DATA / "fb15k237-valid.tsv"
    return str(path) if path.is_file() else abc_path


def test_buffers_and_tokens(abc_path):
    sampler = vantrel.PathSampler(abc_path, 3.0, 10, 1)
    ids, offsets = sampler.walk_ids(10, 20)
    ids_view, offsets_view = memoryview(ids), memoryview(offsets)
    assert (ids_view.format, ids_view.itemsize, ids_view.ndim) == ("I", 4, 1)
    assert (offsets_view.format, offsets_view.itemsize, offsets_view.shape) == ("Q", 8, (11,))
    assert offsets_view[0] == 0 and offsets_view[10] == len(ids) == ids_view.shape[0]
    assert list(sampler.tokens) == ["A", "B", "C", "r::-->", "r::<--", "s::-->", "s::<--"]
    assert sampler.tokens[-1] == "s::<--" and len(sampler.tokens) == 7
    with pytest.raises(IndexError):
        sampler.tokens[7]
    assert sampler.walk_ids(4, 4)[1].__len__() == 1 and sampler.walks(4, 4) == []
    np = pytest.importorskip("numpy")
    assert np.asarray(ids).dtype == np.uint32 and np.asarray(offsets).dtype == np.uint64
    # No copy: numpy's array does not own its data, and every view is of the same memory.
    array = np.asarray(ids)
    assert not array.flags.owndata and array.ctypes.data == np.asarray(ids).ctypes.data
    assert array.tolist() == ids_view.tolist()


def test_dlpack_hands_over_the_same_memory(abc_path):
    np = pytest.importorskip("numpy")
    sampler = vantrel.PathSampler(abc_path, 3.0, 10, 1)
    ids, offsets = sampler.walk_ids(0, 50)
    table = sampler.triple_ids()
    assert ids.__dlpack_device__() == (1, 0)
    versioned = tuple(map(int, np.__version__.split(".")[:2])) >= (2, 1)  # numpy asks DLPack 1.0 from 2.1 on
    for array in (ids, offsets, table):
        taken = np.from_dlpack(array)
        assert taken.tolist() == np.asarray(array).tolist() and taken.ctypes.data == np.asarray(array).ctypes.data
        assert taken.shape == np.asarray(array).shape and (not versioned or not taken.flags.writeable)
    # DLPack 1.0 where the consumer takes it, else the capsule of before (which a capsule left untaken gives back).
    import ctypes

    name_of = ctypes.pythonapi.PyCapsule_GetName
    name_of.restype, name_of.argtypes = ctypes.c_char_p, [ctypes.py_object]
    assert name_of(ids.__dlpack__(max_version=(1, 0))) == b"dltensor_versioned"
    assert name_of(ids.__dlpack__()) == name_of(ids.__dlpack__(max_version=(0, 8))) == b"dltensor"
    for kwargs, error in [({"stream": 1}, BufferError), ({"dl_device": (2, 0)}, BufferError),
                          ({"copy": True}, BufferError), ({"version": 1}, TypeError), ({"max_version": 1}, TypeError)]:
        with pytest.raises(error):
            ids.__dlpack__(**kwargs)
    torch = pytest.importorskip("torch")
    tensor = torch.from_dlpack(ids)
    assert tensor.dtype == torch.uint32 and tensor.data_ptr() == np.asarray(ids).ctypes.data
    rows = torch.from_dlpack(table)
    assert rows.shape == (len(table), 3) and rows.tolist() == np.asarray(table).tolist()
    assert torch.from_dlpack(offsets.__dlpack__()).tolist() == np.asarray(offsets).tolist()  # before 1.0
    del ids, table
    assert tensor.tolist() == np.asarray(sampler.walk_ids(0, 50)[0]).tolist()  # the memory outlives the IdArray


@pytest.mark.parametrize(
    "query",
    [
        lambda t: t[1:5],
        lambda t: t[::-3],
        lambda t: t[-100:100:2],
        lambda t: t[5:1],
        lambda t: t.index("B"),
        lambda t: t.index("s::<--", -1),
        lambda t: t.index("r::-->", 0, 2**70),
        lambda t: t.index("r::-->", 4),
        lambda t: t.index("A", -(2**70), -6),
        lambda t: t.index("r"),
        lambda t: t.index(0),
        lambda t: t.count("C"),
        lambda t: t.count("r::<--"),
        lambda t: t.count("nope"),
        lambda t: t.count(None),
        lambda t: ("r::-->" in t, "r" in t, "\ud800" in t, 0 in t),
        lambda t: list(reversed(t)),
        lambda t: t["1"],
    ],
)
@pytest.mark.parametrize("attribute", ["tokens", "relations"])
def test_tokens_and_relations_are_sequences_as_lists_would_be(abc_path, query, attribute):
    sampler = vantrel.PathSampler(abc_path, 3.0, 10, 1)
    tokens = getattr(sampler, attribute)
    assert isinstance(tokens, collections.abc.Sequence)
    if attribute == "relations":
        assert list(tokens) == [t[:-5] for t in sampler.tokens[sampler.node_count::2]]
        assert len(tokens) == sampler.relation_count == (len(sampler.tokens) - sampler.node_count) // 2

    def outcome(sequence):
        try:
            return query(sequence)
        except (ValueError, TypeError) as error:
            return type(error)

    assert outcome(tokens) == outcome(list(tokens))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.walk_ids(5, 4), ValueError, "first must be <= stop, not first=5 > stop=4"),
        (lambda s: s.walks(-1, 4), ValueError, "first must be >= 0, not -1"),
        (lambda s: s.walk_ids(0, -2), ValueError, "stop must be >= 0, not -2"),
        (
            lambda s: s.walk_ids(0, 2**64),
            OverflowError,
            "stop must be <= 18446744073709551615, not 18446744073709551616",
        ),
        (lambda s: s.walk_ids(0, 4, threads=-1), ValueError, "threads must be >= 0, not -1"),
        (lambda s: s.walk_ids(0, 4, threads=2**70), OverflowError, None),
        (lambda s: s.walk_ids(0, 4, start="every"), ValueError, "start must be 'random' or 'each', not 'every'"),
        (lambda s: s.walk_ids(0, 4, start=None), TypeError, None),
        (lambda s: s.walk_ids(0.0, 4), TypeError, None),
        (
            lambda s: s.walk_ids(0, 4, 2),
            TypeError,
            "PathSampler.walk_ids() takes at most 2 positional arguments (3 given)",
        ),
        (lambda s: s.walks(0), TypeError, "PathSampler.walks() missing required positional argument: stop"),
        (lambda s: s.sample_paths(-1), ValueError, "count must be >= 0, not -1"),
        (lambda s: s.sample_paths(2**63), OverflowError, None),
        (lambda s: s.sample_paths("3"), TypeError, None),
    ],
)
def test_bad_arguments(abc_path, call, error, message):
    with pytest.raises(error) as info:
        call(vantrel.PathSampler(abc_path, 3.0, 10, 1))
    if message is not None:
        assert str(info.value) == message


def test_empty_graph_fails_on_the_start_draw_whatever_the_length(write_kg):
    empty = vantrel.PathSampler(write_kg(""), 1e12, 2**64 - 1, 1)
    for call in (
        empty.sample_path,
        lambda: empty.sample_paths(3),
        lambda: empty.walk_ids(0, 2**64 - 1),
        lambda: empty.walks(0, 3, start="each"),
    ):
        with pytest.raises(IndexError, match="^UniformSampler::sample_single: low >= high$"):
            call()
    assert empty.walks(7, 7) == []


def test_output_beyond_memory_fails_before_drawing(abc_path):
    sampler = vantrel.PathSampler(abc_path, 1e15, 2**64 - 1, 0)
    start = time.monotonic()
    for call in (lambda: sampler.walk_ids(0, 2**64 - 1), lambda: sampler.walks(0, 10), lambda: sampler.sample_paths(2)):
        with pytest.raises(MemoryError):
            call()
    assert time.monotonic() - start < 5


def test_reentry_from_a_signal_handler_is_refused(write_kg):
    path = write_kg(ABC)
    sampler = vantrel.PathSampler(path, 3e6, 3 * 10**6, 1)
    refused = []

    def handler(signum, frame):
        try:
            sampler.sample_path()
        except RuntimeError as error:
            refused.append(error)

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        walk = sampler.sample_path()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert len(refused) == 1
    assert walk == vantrel.PathSampler(path, 3e6, 3 * 10**6, 1).sample_path()


def test_threads_take_turns_on_the_stream(abc_path):
    shared = vantrel.PathSampler(abc_path, 3.0, 10, 11)
    results = []

    def draw():
        for _ in range(20):
            results.extend(tuple(walk) for walk in shared.sample_paths(50))

    threads = [threading.Thread(target=draw) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    reference = vantrel.PathSampler(abc_path, 3.0, 10, 11)
    assert Counter(results) == Counter(tuple(walk) for walk in reference.sample_paths(4000))


@pytest.mark.parametrize("method", ["walk_ids", "sample_paths"])
def test_ctrl_c_stops_a_long_call_and_leaves_the_stream(abc_path, method):
    sampler = vantrel.PathSampler(abc_path, 1e9, 10**7, 1)
    if method == "walk_ids":
        call = lambda: sampler.walk_ids(0, 4, threads=2)  # noqa: E731
    else:
        call = lambda: sampler.sample_paths(10**4)  # noqa: E731
    timer = interrupt_after(0.3)
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
        latency = timer.seconds_since_signal()
    finally:
        timer.cancel()
    assert latency < 1.0
    assert sampler.sample_paths(1) == vantrel.PathSampler(abc_path, 1e9, 10**7, 1).sample_paths(1)


def test_objects_with_array_are_taken_as_their_arrays(abc_path):
    """torch tensors and pandas Series have __array__ but no buffer protocol."""
    np = pytest.importorskip("numpy")

    class ArrayOnly:
        def __init__(self, values):
            self.values = values

        def __array__(self, dtype=None, copy=None):
            return np.asarray(self.values)

    sampler = vantrel.PathSampler(abc_path, 3.0, 10, 1)
    n = sampler.node_count
    assert sampler.walks(0, 9, start=ArrayOnly([2, 0])) == sampler.walks(0, 9, start=[2, 0])
    weights = [1.0 + k for k in range(n)]
    assert (sampler.biased(node_weights=ArrayOnly(weights)).walks(0, 20)
            == sampler.biased(node_weights=weights).walks(0, 20))
