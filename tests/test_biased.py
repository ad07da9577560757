"""Biased walks (PathSampler.biased) and the graph as arrays
(PathSampler.triple_ids), against the exact port's reading of the rules."""

import collections
import math
import random
import signal
import subprocess
import sys
import time
import types

import numpy as np
import pytest
import vantrel
from conftest import answering_ctrl_c, random_graph
from exact_port import ExactPathSampler

ARGS = (4.0, 12, 9)
TOP = 2**64 - 41  # walk numbers near the top: TOP + 40 is the last


def weights_for(kind, port, rng):
    """biased() arguments of one kind, for the port's graph: zero weights,
    relations left unnamed, nodes of weight 0, p and q of every side of 1."""
    edges = len(port.graph.edges)
    relations = list(dict.fromkeys(label for _, _, label in port.graph.edges))
    nodes = len(port.graph.labels)
    if kind == "node2vec":
        return {"p": rng.choice([0.5, 2.0, 0.25]), "q": rng.choice([2.0, 0.5, 3.0])}
    if kind == "edges":
        return {"edge_weights": [rng.choice([0.0, 0.5, 1.0, 3.25, 1e-9]) for _ in range(edges)]}
    if kind == "relations and nodes, node2vec":
        named = {r: rng.choice([0.0, 0.1, 7.0]) for r in relations[: len(relations) // 2]}
        return {"relation_weights": named, "node_weights": [rng.choice([0.0, 1.0, 2.5]) for _ in range(nodes)],
                "p": 4.0, "q": 0.5}
    if kind == "all three, p only":
        return {"edge_weights": [rng.random() for _ in range(edges)], "relation_weights": {},
                "node_weights": [rng.random() * 3 for _ in range(nodes)], "p": 0.3}
    return {}


def compare(ours, port, rng, calls=60):
    nodes = len(port.graph.labels)
    for items in ("path", "full", "nodes"):
        for first in (0, TOP):
            assert ours.walks(first, first + 40, items=items) == [port.walk(first + k, items=items) for k in range(40)]
    listed = [rng.randrange(nodes) for _ in range(5)]
    assert ours.walks(0, 30, start=listed, items="full") == [port.walk(k, listed, "full") for k in range(30)]
    assert ours.walks(TOP, TOP + 30, start="each") == [port.walk(TOP + k, "each") for k in range(30)]
    assert [ours.sample_path() for _ in range(calls)] == [port.sample_path() for _ in range(calls)]


@pytest.mark.parametrize("kind", ["uniform", "node2vec", "edges", "relations and nodes, node2vec",
                                  "all three, p only"])
@pytest.mark.parametrize("restriction", [None, {"direction": "forward"}, {"exclude_relations": ["P31"]}])
@pytest.mark.parametrize("graph_seed", range(3))
def test_biased_walks_are_the_rules_draw_for_draw(write_kg, kind, restriction, graph_seed):
    rng = random.Random(700 + graph_seed)
    # The last graph's node 0 has over 600 candidates: a hub, whose steps hand over to other walks.
    path = write_kg(random_graph(rng, [6, 40, 200][graph_seed], [30, 400, 2000][graph_seed]))
    ours, port = vantrel.PathSampler(path, *ARGS), ExactPathSampler(path, *ARGS)
    if restriction:
        ours, port = ours.restrict(**restriction), port.restrict(**restriction)
    arguments = weights_for(kind, port, rng)
    compare(ours.biased(**arguments), port.biased(**arguments), rng)


def test_restricting_a_biased_sampler_is_biasing_a_restricted_one(write_kg):
    rng = random.Random(5)
    sampler = vantrel.PathSampler(write_kg(random_graph(rng, 300, 3000)), *ARGS)
    weights = np.random.default_rng(1).random(sampler.data_size)
    biased = {"edge_weights": weights, "relation_weights": {"P31": 0.25}, "p": 0.5, "q": 2.0}
    for restriction in ({"exclude_relations": ["P279"]}, {"direction": "backward"}, {"relations": ["P31", "rel✓"]}):
        one = sampler.restrict(**restriction).biased(**biased)
        other = sampler.biased(**biased).restrict(**restriction)
        assert bytes(one.walk_ids(0, 3000)[0]) == bytes(other.walk_ids(0, 3000)[0])
        assert one.walks(TOP, TOP + 40, items="full") == other.walks(TOP, TOP + 40, items="full")
        again = other.restrict(direction="both")
        assert again.walks(0, 300) == other.walks(0, 300)


def test_triple_ids_is_the_graph_as_read(write_kg):
    rng = random.Random(2)
    path = write_kg(random_graph(rng, 50, 400))
    sampler, port = vantrel.PathSampler(path, *ARGS), ExactPathSampler(path, *ARGS)
    table = np.asarray(sampler.triple_ids())
    assert table.shape == (sampler.data_size, 3) and table.dtype == np.uint32
    assert [tuple(row) for row in table.tolist()] == port.triple_ids()
    # Relation r is token n + 2r, as the docs say.
    head, relation, tail = open(path, encoding="utf-8").readline().rstrip("\n").split("\t")
    tokens, n = sampler.tokens, sampler.node_count
    assert [tokens[table[0, 0]], tokens[n + 2 * table[0, 1]], tokens[table[0, 2]]] == [head, relation + "::-->", tail]
    # A restricted sampler lists its parent's triples, walkable or not, and takes the same weights.
    restricted = sampler.restrict(direction="forward", exclude_relations=["P31"])
    assert np.array_equal(np.asarray(restricted.triple_ids()), table)


def test_triple_ids_of_arrays_and_snapshots(tmp_path, write_kg):
    ids = np.array([[2, 1, 0], [0, 0, 2], [2, 1, 0]])
    sampler = vantrel.PathSampler.from_ids(ids, ["a", "b", "c"], ["r", "s"], *ARGS)
    assert np.asarray(sampler.triple_ids()).tolist() == ids.tolist()
    sampler.save(tmp_path / "ids.snap")
    assert np.asarray(vantrel.PathSampler.load(tmp_path / "ids.snap", *ARGS).triple_ids()).tolist() == ids.tolist()


class OddPairs(dict):
    def items(self):
        return [("r",)]


@pytest.mark.parametrize("arguments, error, message", [
    ({"p": 0}, ValueError, "^p must be a positive finite number, not 0.0$"),
    ({"q": -1}, ValueError, "^q must be a positive finite number, not -1.0$"),
    ({"q": math.inf}, ValueError, "^q must be a positive finite number, not inf$"),
    ({"p": "1"}, TypeError, "^p must be a number, not str$"),
    ({"p": None}, TypeError, "^p must be a number, not NoneType$"),
    ({"q": True}, TypeError, "^q must be a number, not bool$"),
    ({"p": 5e-324}, ValueError, r"^p = 5e-324 is too small: 1/p must be finite \(p from about 5.6e-309 up\)$"),
    ({"q": 1e-309}, ValueError, "^q = 1e-309 is too small"),
    ({"edge_weights": {1.0, 2.0, 3.0}}, TypeError, "^edge_weights must be an array or a sequence of numbers, not set$"),
    ({"edge_weights": (w for w in [1.0] * 3)}, TypeError, "^edge_weights must be an array or a sequence of numbers, "
                                                          "not generator$"),
    ({"node_weights": [1.0, np.True_, 1.0]}, TypeError, r"^node_weights\[1\] must be a number, not numpy.bool"),
    ({"edge_weights": [1.0] * 4}, ValueError,
     r"^edge_weights has 4 numbers, not one per triple of the graph as read \(3\)$"),
    ({"edge_weights": [1.0, -0.5, 1.0]}, ValueError,
     r"^edge_weights\[1\] = -0.5 is not a weight: weights are finite numbers >= 0$"),
    ({"edge_weights": np.array([1.0, 1.0, np.nan])}, ValueError, r"^edge_weights\[2\] = nan is not a weight"),
    ({"edge_weights": np.array([1, -2, 3], dtype=np.int8)}, ValueError, r"^edge_weights\[1\] = -2.0 is not a weight"),
    ({"edge_weights": [1.0, "a", 1.0]}, TypeError, r"^edge_weights\[1\] must be a number, not str$"),
    ({"edge_weights": [1.0, True, 1.0]}, TypeError, r"^edge_weights\[1\] must be a number, not bool$"),
    ({"edge_weights": np.ones((3, 1))}, ValueError, "^edge_weights must be one-dimensional, not of 2 dimensions$"),
    ({"edge_weights": np.ones(3, dtype=bool)}, TypeError,
     "^edge_weights must hold numbers, not items of format '\\?'$"),
    ({"edge_weights": "abc"}, TypeError, "^edge_weights must be an array or a sequence of numbers, not str$"),
    ({"node_weights": [1.0, 2.0]}, ValueError, r"^node_weights has 2 numbers, not one per node \(3\)$"),
    ({"node_weights": [1.0, 2.0, math.inf]}, ValueError, r"^node_weights\[2\] = inf is not a weight"),
    ({"relation_weights": {"t": 1.0}}, KeyError, "'t'"),
    ({"relation_weights": {"r": -1.0}}, ValueError, r"^relation_weights\['r'\] = -1.0 is not a weight"),
    ({"relation_weights": ["r"]}, TypeError,
     "^relation_weights must be a mapping of relation name to number, not list$"),
    ({"relation_weights": {3: 1.0}}, TypeError, r"^relation_weights keys must be relation names \(str\), not int$"),
    ({"relation_weights": OddPairs()}, TypeError,
     r"^relation_weights.items\(\) must give \(name, weight\) pairs, not a tuple of another length$"),
    ({"edge_weights": [1e308, 1e308, 1.0]}, ValueError,
     r"^the weights of the candidates of node 'B' \(id 1\) overflow: a weight \(edge x relation x node\) or their "
     r"sum is infinite; rescale the weights$"),
    ({"edge_weights": [1e300, 1.0, 1.0], "relation_weights": {"r": 1e10}}, ValueError,
     r"^the weights of the candidates of node 'A' \(id 0\) overflow"),
    ({"edge_weights": [5e-324, 0.0, 5e-324]}, ValueError,
     r"^the weights of the candidates of node 'A' \(id 0\) add up to 5e-324, below the smallest normal number "
     r"\(2.2250738585072014e-308\): rescale the weights$"),
    ({"edges": [1.0]}, TypeError, "^PathSampler.biased\\(\\) got an unexpected keyword argument: edges$"),
])
def test_bad_arguments_name_what_is_wrong(write_kg, arguments, error, message):
    sampler = vantrel.PathSampler(write_kg("A\tr\tB\nB\ts\tC\nC\tr\tB\n"), *ARGS)
    with pytest.raises(error, match=message):
        sampler.biased(**arguments)


def test_weights_of_every_type_are_the_same_weights(write_kg):
    sampler = vantrel.PathSampler(write_kg(random_graph(random.Random(8), 30, 200)), *ARGS)
    values = np.random.default_rng(3).integers(0, 5, sampler.data_size)
    expected = sampler.biased(edge_weights=values.astype(np.float64)).walks(0, 500)
    for given in (values.astype(np.float32), values.astype(np.uint8), values.astype(">i4"), values.astype(np.float16),
                  values.tolist(), [float(v) for v in values], values.astype(np.int64)[::-1][::-1]):
        assert sampler.biased(edge_weights=given).walks(0, 500) == expected


def test_a_walk_ends_where_no_candidate_weighs_anything(write_kg):
    sampler = vantrel.PathSampler(write_kg("a\tr\tb\nb\ts\tc\n"), 10.0, 20, 1)
    stopped = sampler.biased(relation_weights={"s": 0.0})
    # From c, only s leads anywhere: the walk ends there, with no draw.
    assert stopped.walks(0, 1, start=[2]) == [["c", "c"]]
    # A biased walk may step straight back; p small makes it near certain.
    back = sampler.biased(p=1e-6)
    assert all(walk[1:3] in (["r::-->", "r::<--"], ["r::<--", "r::-->"], ["s::-->", "s::<--"], ["s::<--", "s::-->"])
               for walk in back.walks(0, 200) if len(walk) > 3)


def test_every_mapping_is_relation_weights(write_kg):
    sampler = vantrel.PathSampler(write_kg(random_graph(random.Random(6), 30, 200)), *ARGS)

    class Weights(collections.abc.Mapping):
        def __init__(self, items):
            self.items_ = dict(items)

        def __getitem__(self, key):
            return self.items_[key]

        def __iter__(self):
            return iter(self.items_)

        def __len__(self):
            return len(self.items_)

    expected = sampler.biased(relation_weights={"P31": 0.25, "rel✓": 4.0}).walks(0, 300)
    for given in (Weights({"P31": 0.25, "rel✓": 4.0}), collections.ChainMap({"P31": 0.25}, {"rel✓": 4.0}),
                  types.MappingProxyType({"P31": 0.25, "rel✓": 4.0})):
        assert sampler.biased(relation_weights=given).walks(0, 300) == expected


# A triangle: every candidate of a walk's second step is t or a neighbour of
# t, so a tiny q turns down nearly every proposal and a step draws exactly.
TRIANGLE = "a\tr\tb\nb\tr\tc\nc\ts\ta\n"


@pytest.mark.parametrize("p, q", [(1.0, 1e-9), (1e-300, 1e300), (2.0, 1e-300), (1e-12, 1.0)])
def test_extreme_p_and_q_walk_by_the_bounded_rule(write_kg, p, q):
    rng = random.Random(11)
    for text in (TRIANGLE, random_graph(rng, 8, 40)):
        path = write_kg(text)
        ours = vantrel.PathSampler(path, 3.0, 6, 5).biased(p=p, q=q)
        port = ExactPathSampler(path, 3.0, 6, 5).biased(p=p, q=q)
        assert ours.walks(0, 6, items="full") == [port.walk(k, items="full") for k in range(6)]
        assert [ours.sample_path() for _ in range(2)] == [port.sample_path() for _ in range(2)]
    weighted = {"edge_weights": [0.5, 2.0, 1.0], "p": p, "q": q}
    ours = vantrel.PathSampler(write_kg(TRIANGLE), 3.0, 6, 5).biased(**weighted)
    port = ExactPathSampler(write_kg(TRIANGLE), 3.0, 6, 5).biased(**weighted)
    assert ours.walks(TOP, TOP + 6) == [port.walk(TOP + k) for k in range(6)]


def test_walks_of_length_0_with_extreme_p_and_q(tmp_path, write_kg):
    # The expected keystream blocks of a walk were 0 x inf = NaN here, and sized a buffer.
    sampler = vantrel.PathSampler(write_kg(TRIANGLE), 4.0, 0, 1).biased(p=1e-300, q=1e300)
    port = ExactPathSampler(write_kg(TRIANGLE), 4.0, 0, 1).biased(p=1e-300, q=1e300)
    assert sampler.walks(0, 3) == [port.walk(k) for k in range(3)]
    assert len(sampler.walk_ids(0, 1000, threads=2)[0]) == 2000
    assert sampler.write_walks(tmp_path / "w.tsv", 0, 100) == (100, 200)
    sampler.save(tmp_path / "s.snap")
    assert vantrel.PathSampler.load(tmp_path / "s.snap", 4.0, 0, 1).walks(0, 3) == sampler.walks(0, 3)


def test_restricting_biased_weights_checks_what_remains(write_kg):
    sampler = vantrel.PathSampler(write_kg("a\tr\tb\na\ts\tc\nc\tt\td\n"), *ARGS)
    biased = sampler.biased(edge_weights=[1.0, 1e-310, 1.0])
    with pytest.raises(ValueError, match=r"^the weights of the candidates of node 'a' \(id 0\) add up to 1e-310"):
        biased.restrict(exclude_relations=["r"])


INTERRUPTED = """
import sys, time, vantrel
graph, call = sys.argv[1], sys.argv[2]
# Walks of 10^4 steps (10^7 for sample_path), each step 1024 proposals and more.
s = vantrel.PathSampler(graph, 1e9, 10**7 if call == "sample_path" else 10**4, 3).biased(p=1.0, q=1e-300)
print("ready", flush=True)
if call == "sample_path":
    s.sample_path()
elif call == "sample_paths":
    s.sample_paths(1000)
elif call == "write_walks":
    s.write_walks(sys.argv[3], 0, 10**6, threads=2)
else:
    s.walk_ids(0, 10**4, threads=int(call[-1]))  # seconds of work on any number of threads
"""


@pytest.mark.parametrize("call", ["sample_path", "sample_paths", "walk_ids 1", "walk_ids 2", "write_walks"])
@pytest.mark.parametrize("graph", ["triangle", "hub"])
def test_ctrl_c_stops_biased_walks_that_turn_down_every_proposal(tmp_path, write_kg, call, graph):
    # Each step tests 1024 proposals and then scans its candidates: work
    # between polls is counted, not steps.
    if graph == "hub":  # 700 leaves, each also linked to the next: t's neighbours are near
        text = "".join(f"h\tr\tl{i}\nl{i}\ts\tl{(i + 1) % 700}\n" for i in range(700))
    else:
        text = TRIANGLE
    command = [sys.executable, "-c", INTERRUPTED, write_kg(text), call, str(tmp_path / "w.tsv")]
    child = subprocess.Popen(answering_ctrl_c(command), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    time.sleep(1.0)
    child.send_signal(signal.SIGINT)
    try:
        child.wait(timeout=5)
    finally:
        child.kill()
    assert "KeyboardInterrupt" in child.stderr.read()
    assert not (tmp_path / "w.tsv").exists()
