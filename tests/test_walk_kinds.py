"""The walk kinds beside walks from their start: mid walks, requests without
repeats, walks that list edges, relabelled walks and metapath samplers.
Checked against the exact port on random graphs with hubs, leaves,
self-loops and parallel edges, restricted or biased, in every form."""

import random

import pytest
import vantrel
from conftest import interrupt_after, random_graph
from exact_port import ExactPathSampler

TOP = 2**64 - 1 - 30
FORMS = ["path", "full", "nodes", "edges"]


def graph_pair(write_kg, seed, mean=3.0, cap=8):
    rng = random.Random(seed)
    path = write_kg(random_graph(rng, rng.choice([2, 5, 40]), rng.randrange(1, 120)))
    return rng, vantrel.PathSampler(path, mean, cap, seed), ExactPathSampler(path, mean, cap, seed)


def kinds(rng, node_count):
    relabel = [rng.randrange(node_count) for _ in range(node_count)]
    listed = [rng.randrange(node_count) for _ in range(rng.choice([1, 5]))]
    for position in ("start", "mid"):
        for items in FORMS:
            for start in ("random", "each", listed):
                yield {"position": position, "items": items, "start": start,
                       "relabel": relabel if items != "edges" and start != "random" else None,
                       "length": rng.choice([None, None, 0, 3, 12])}


@pytest.mark.parametrize("graph_seed", range(3))
@pytest.mark.parametrize("variant", ["plain", "restricted", "biased", "node2vec"])
def test_walk_kinds_match_the_exact_port(write_kg, graph_seed, variant):
    rng, ours, port = graph_pair(write_kg, 900 + graph_seed)
    if variant == "restricted":
        ours, port = ours.restrict(direction="forward"), port.restrict(direction="forward")
    elif variant != "plain":
        bias = {"node_weights": [rng.choice([0.0, 0.5, 2.0]) for _ in range(ours.node_count)]}
        if variant == "node2vec":
            bias = {"p": 0.25, "q": 4.0}
        ours, port = ours.biased(**bias), port.biased(**bias)
    for kind in kinds(rng, ours.node_count):
        first = rng.choice([0, 7, TOP])
        expected = [port.walk(i, **kind) for i in range(first, first + 30)]
        assert ours.walks(first, first + 30, threads=2, **kind) == expected, kind
        unique = port.walks(first, first + 30, unique=True, **kind)
        assert ours.walks(first, first + 30, unique=True, **kind) == unique, kind


def test_mid_walks_of_length_0_and_at_the_longest(write_kg):
    _, ours, port = graph_pair(write_kg, 950, mean=1e-17, cap=0)
    assert ours.walks(0, 20, position="mid") == [port.walk(i, position="mid") for i in range(20)]
    # Long lengths on a chain whose forward steps reach its end: drawn as the port draws them where they fit
    # in memory, refused before any walk where they do not, as walks from their start are.
    path = write_kg("A\tr\tB\nB\tr\tC\nC\ts\tD\n")
    ours = vantrel.PathSampler(path, 2.0**70, 10**6, 3).restrict(direction="forward")
    port = ExactPathSampler(path, 2.0**70, 10**6, 3).restrict(direction="forward")
    assert ours.walks(0, 40, position="mid") == [port.walk(i, position="mid") for i in range(40)]
    longest = vantrel.PathSampler(path, 2.0**70, 2**64 - 1, 3).restrict(direction="forward")
    for position in ("start", "mid"):
        with pytest.raises(MemoryError):
            longest.walks(0, 1, position=position)


def test_fixed_length_walks_reshape_without_a_copy(write_kg, tmp_path):
    np = pytest.importorskip("numpy")

    path = write_kg("A\tr\tB\nB\ts\tC\nC\tr\tA\n")  # every node has an edge: no dead end
    ours, port = vantrel.PathSampler(path, 3.0, 4, 9), ExactPathSampler(path, 3.0, 4, 9)
    ids, offsets = ours.walk_ids(5, 105, start="each", items="nodes", length=6)
    nodes = np.frombuffer(ids, dtype=np.uint32).reshape(100, 7)
    assert nodes.base is not None and memoryview(offsets).tolist() == list(range(0, 701, 7))
    assert nodes.tolist() == [[ours.node_ids([x])[0] for x in port.walk(i, start="each", items="nodes", length=6)]
                              for i in range(5, 105)]
    ours.write_walks(tmp_path / "w.tsv", 0, 3, length=0)
    assert (tmp_path / "w.tsv").read_text().splitlines() == ["\t".join(port.walk(i, length=0)) for i in range(3)]
    with pytest.raises(ValueError, match="^length must be >= 0, not -1$"):
        ours.walks(0, 1, length=-1)
    with pytest.raises(TypeError):
        ours.walks(0, 1, length=2.0)


def test_walk_ids_and_files_are_the_same_walks(write_kg, tmp_path):
    _, ours, port = graph_pair(write_kg, 960)
    n = ours.node_count
    ids, offsets = ours.walk_ids(0, 3 * n, start="each", items="edges", unique=True, position="mid", threads=2)
    ids, offsets = memoryview(ids).tolist(), memoryview(offsets).tolist()
    expected = port.walks(0, 3 * n, start="each", items="edges", unique=True, position="mid")
    assert [ids[offsets[k]:offsets[k + 1]] for k in range(len(offsets) - 1)] == expected
    for items, line in [("edges", lambda w: "\t".join(map(str, w))), ("nodes", "\t".join)]:
        for threads in (1, 2):
            # Chunks of a few walks each: repeats are found across chunks, whatever the threads.
            counts = ours.write_walks(tmp_path / "w.tsv", 0, 3 * n, start="each", items=items, unique=True,
                                      threads=threads)
            walks = port.walks(0, 3 * n, start="each", items=items, unique=True)
            assert (tmp_path / "w.tsv").read_text(encoding="utf-8") == "".join(line(w) + "\n" for w in walks)
            assert counts == (len(walks), sum(map(len, walks)))
    ours.write_walks(tmp_path / "w.jsonl", 0, 2, items="edges", format="jsonl")
    assert (tmp_path / "w.jsonl").read_text() == "".join(f"{w}\n" for w in port.walks(0, 2, items="edges"))


def test_unique_across_the_chunks_of_a_large_file(tmp_path):
    # Two nodes and one edge: about 10^5 walks, a handful distinct, in many chunks on two threads.
    (tmp_path / "g.tsv").write_text("A\tr\tB\n")
    sampler = vantrel.PathSampler(str(tmp_path / "g.tsv"), 2.0, 4, 3)
    counts = sampler.write_walks(tmp_path / "w.tsv", 0, 100_000, unique=True, threads=2)
    lines = (tmp_path / "w.tsv").read_text().splitlines()
    assert len(lines) == len(set(lines)) == counts[0] == len(sampler.walks(0, 100_000, unique=True))
    assert lines == ["\t".join(w) for w in sampler.walks(0, 100_000, unique=True)]


METAPATHS = [["P31::-->"], ["P31::-->", "P31::<--"], ["P279::<--", "rel✓::-->", "::-->"]]


@pytest.mark.parametrize("graph_seed", range(5))
def test_metapath_walks_match_the_exact_port(write_kg, tmp_path, graph_seed):
    rng, parent, port_parent = graph_pair(write_kg, 970 + graph_seed)
    known = set(parent.tokens[parent.node_count:])
    for pattern in METAPATHS:
        if not set(pattern) <= known:
            continue
        ours, port = parent.metapath(pattern), port_parent.metapath(pattern)
        assert [ours.sample_path() for _ in range(10)] == [port.sample_path() for _ in range(10)]
        assert ours.sample_paths(10) == [port.sample_path() for _ in range(10)]
        for kind in kinds(rng, ours.node_count):
            if kind["position"] == "mid":
                continue
            first = rng.choice([0, TOP])
            expected = port.walks(first, first + 30, **kind)
            assert ours.walks(first, first + 30, threads=2, **kind) == expected, kind
        ours.save(tmp_path / "m.snap")
        loaded = vantrel.PathSampler.load(tmp_path / "m.snap", 3.0, 8, 970 + graph_seed)
        assert loaded.walks(0, 40, items="full") == port.walks(0, 40, items="full")
        # Token ids name the same pattern; restrict and metapath commute.
        by_id = parent.metapath([parent.tokens.index(token) for token in pattern])
        restriction = {"exclude_relations": ["r r"] if "r r::-->" in known else []}
        both = [parent.restrict(**restriction).metapath(pattern), ours.restrict(**restriction)]
        expected = port.restrict(**restriction).walks(0, 60, items="full")
        assert [s.walks(0, 60, items="full") for s in [by_id, *both]] == [port.walks(0, 60, items="full")] + [
            expected, expected]


def test_metapath_steps_at_a_hub_with_self_loops(write_kg):
    lines = [f"hub\t{'ab'[i % 2]}\tleaf{i % 7}\n" for i in range(400)] + ["hub\tb\thub\n", "hub\ta\thub\n"]
    path = write_kg("".join(lines))
    for pattern in (["a::-->", "a::<--"], ["a::-->", "b::-->", "b::<--"], ["a::<--"]):
        ours = vantrel.PathSampler(path, 5.0, 12, 8).metapath(pattern)
        port = ExactPathSampler(path, 5.0, 12, 8).metapath(pattern)
        assert ours.walks(0, 200, items="full") == port.walks(0, 200, items="full")


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.metapath([]), ValueError, "pattern is empty: give at least one relation token"),
    (lambda s: s.metapath("r::-->"), TypeError, "pattern must be a sequence of relation tokens, not str"),
    (lambda s: s.metapath(["r"]), KeyError, "'r'"),
    (lambda s: s.metapath(["A"]), KeyError, "'A'"),
    (lambda s: s.metapath(["q::-->"]), KeyError, "'q::-->'"),
    (lambda s: s.metapath([2]), ValueError, "pattern[0] = 2 is not a relation token: relation tokens run from 3 to 6"),
    (lambda s: s.metapath([True]), TypeError, "pattern[0] must be a relation token, as str or int, not bool"),
    (lambda s: s.metapath(["r::-->"]).walks(0, 1, position="mid"), ValueError,
     "position='mid' is not available on a metapath sampler: its pattern counts steps from the start of a walk, "
     "and a mid walk is drawn from its focus both ways"),
    (lambda s: s.metapath(["r::-->"]).biased(p=2.0), ValueError,
     "biased() of a metapath sampler is not available: a metapath step is uniform among the edges of its relation"),
    (lambda s: s.biased(p=2.0).metapath(["r::-->"]), ValueError,
     "metapath() of a biased sampler is not available: a metapath step is uniform among the edges of its "
     "relation; call metapath() on the uniform sampler"),
    (lambda s: s.walks(0, 1, items="edges", relabel=[0, 1, 2]), ValueError,
     "relabel applies to nodes, and items='edges' lists none"),
    (lambda s: s.walks(0, 1, relabel=[0, 1]), ValueError, "relabel must hold one node id per node, 3, not 2"),
    (lambda s: s.walk_ids(0, 1, relabel=[0, 1, 3]), ValueError,
     "relabel[2] = 3 is not a node id: node ids run from 0 to 2"),
    (lambda s: s.walks(0, 1, position="end"), ValueError, "position must be 'start' or 'mid', not 'end'"),
    # Node ids by position only: a mapping's keys, a set's order or an iterator's items are none.
    (lambda s: s.walks(0, 1, relabel={0: 1, 1: 0, 2: 2}), TypeError,
     "relabel must be a sequence of node ids, not dict: for a {node: class} mapping, give "
     "[mapping.get(node, node) for node in range(sampler.node_count)]"),
    (lambda s: s.walks(0, 1, relabel={0, 1, 2}), TypeError, "relabel must be a sequence of node ids, not set"),
    (lambda s: s.walk_ids(0, 1, relabel=iter([0, 1, 2])), TypeError,
     "relabel must be a sequence of node ids, not list_iterator"),
    (lambda s: s.walks(0, 1, start={0: "a"}), TypeError,
     "start must be 'random', 'each' or a sequence of node ids, not dict"),
    (lambda s: s.walks(0, 1, start=frozenset([1])), TypeError,
     "start must be 'random', 'each' or a sequence of node ids, not frozenset"),
    (lambda s: s.write_walks("-", 0, 1, start=(n for n in [0])), TypeError,
     "start must be 'random', 'each' or a sequence of node ids, not generator"),
])
def test_bad_walk_kinds_name_what_is_wrong(abc_path, call, error, message):
    with pytest.raises(error) as info:
        call(vantrel.PathSampler(abc_path, 2.0, 10, 1))
    assert str(info.value) == message


def test_unknown_tokens_say_what_a_token_is(abc_path):
    sampler = vantrel.PathSampler(abc_path, 2.0, 10, 1)
    with pytest.raises(KeyError) as info:
        sampler.metapath(["s"])
    assert getattr(info.value, "__notes__", [""])[-1].startswith("a relation token is a relation's label followed by")


@pytest.mark.parametrize("kind", [{"position": "mid"}, {"items": "edges"}, {"relabel": [0, 1, 2]}])
def test_walks_past_memory_fail_before_any_is_drawn(abc_path, tmp_path, kind):
    sampler = vantrel.PathSampler(abc_path, 2.0, 10, 1)
    for length in (10**12, 2**64 - 1):
        for call in (sampler.walk_ids, sampler.walks, lambda *span, **kw: sampler.write_walks(tmp_path / "out", *span,
                                                                                               **kw)):
            with pytest.raises(MemoryError):
                call(0, 3, length=length, **kind)
    # A mean so large that every walk is as long as the cap: its lengths are drawn before any walk.
    with pytest.raises(MemoryError):
        vantrel.PathSampler(abc_path, 1e15, 2**63, 1).walk_ids(0, 2, **kind)
    assert not (tmp_path / "out").exists()
    assert sampler.walks(0, 1, length=3, **kind) == ExactPathSampler(abc_path, 2.0, 10, 1).walks(0, 1, length=3, **kind)


def test_long_mid_walks_answer_ctrl_c(abc_path, tmp_path):
    sampler = vantrel.PathSampler(abc_path, 2.0, 10, 1)
    timer = interrupt_after(0.3)
    try:
        with pytest.raises(KeyboardInterrupt):
            sampler.write_walks(tmp_path / "out", 0, 2, position="mid", length=10**8)
        latency = timer.seconds_since_signal()
    finally:
        timer.cancel()
    assert latency < 1.0 and not (tmp_path / "out").exists()
