"""Restricted samplers: the same nodes with only some edges walkable, by
relation and direction; walks end early at nodes without such edges. Checked
against the exact port on random graphs, in every form of walk."""

import random

import pytest
import vantrel
from conftest import random_graph
from exact_port import ExactPathSampler

RESTRICTIONS = [
    {},
    {"direction": "forward"},
    {"direction": "backward"},
    {"exclude_relations": ["P31", "r r"]},
    {"relations": ["P279", "rel✓"], "direction": "forward"},
    {"relations": [""], "exclude_relations": [""]},
]


@pytest.mark.parametrize("graph_seed", range(6))
@pytest.mark.parametrize("restriction", RESTRICTIONS, ids=str)
def test_walks_match_the_exact_port(write_kg, tmp_path, graph_seed, restriction):
    rng = random.Random(300 + graph_seed)
    path = write_kg(random_graph(rng, rng.choice([1, 3, 30]), rng.randrange(1, 80)))
    mean, cap, seed = rng.choice([(3.7, 10, graph_seed), (20.0, 40, 5), (1e-17, 0, 0)])
    parent = vantrel.PathSampler(path, mean, cap, seed)
    parent.sample_path()  # the restricted sampler's stream 0 starts anew all the same
    known = set(parent.tokens[parent.node_count::2])
    restriction = {key: [r for r in value if r + "::-->" in known] if key != "direction" else value
                   for key, value in restriction.items()}
    ours = parent.restrict(**restriction)
    port = ExactPathSampler(path, mean, cap, seed).restrict(**restriction)
    assert (ours.data_size, ours.node_count, list(ours.tokens)) == (port.data_size, parent.node_count,
                                                                     list(parent.tokens))
    assert [ours.sample_path() for _ in range(20)] == [port.sample_path() for _ in range(20)]
    assert ours.sample_paths(20) == [port.sample_path() for _ in range(20)]
    first = rng.choice([0, 2**64 - 60])
    ours.save(tmp_path / "r.snap")  # a restricted graph round-trips like any other
    loaded = vantrel.PathSampler.load(tmp_path / "r.snap", mean, cap, seed)
    assert loaded.data_size == ours.data_size
    for start, items in [("random", "path"), ("each", "full"), ([0], "nodes"), ("random", "full")]:
        expected = [port.walk(i, start, items) for i in range(first, first + 40)]
        assert ours.walks(first, first + 40, start=start, items=items, threads=2) == expected
        assert loaded.walks(first, first + 40, start=start, items=items) == expected


def test_every_relation_both_ways_is_the_parent(abc_path, tmp_path):
    parent = vantrel.PathSampler(abc_path, 4.0, 10, 1)
    same = parent.restrict(relations=["r", "s"], direction="both")
    assert same.walks(0, 3000) == parent.walks(0, 3000) and same.data_size == parent.data_size
    assert same.sample_paths(100) == vantrel.PathSampler(abc_path, 4.0, 10, 1).sample_paths(100)


def test_dead_ends_and_what_stays(write_kg, tmp_path):
    # a -r-> b -s-> c: forward from c, and over r alone from c, nothing goes.
    parent = vantrel.PathSampler(write_kg("a\tr\tb\nb\ts\tc\n"), 1e5, 10**6, 3)
    forward = parent.restrict(direction="forward")
    only_r = parent.restrict(relations=["r"])
    del parent  # the restricted samplers keep what they share with it
    assert forward.walks(2, 3, start="each") == [["c", "c"]]
    assert forward.walks(2, 3, start="each", items="full") == [["c"]]
    assert forward.walks(0, 1, start="each") == [["a", "r::-->", "s::-->", "c"]]
    assert only_r.walks(2, 3, start="each") == [["c", "c"]]
    assert only_r.data_size == 1 and forward.data_size == 2
    assert list(forward.tokens) == ["a", "b", "c", "r::-->", "r::<--", "s::-->", "s::<--"]
    # Long walks (their lengths drawn first) that end early, in every output.
    walks = forward.walks(0, 300, start="each", items="full")
    assert [len(walk) for walk in walks[:3]] == [5, 3, 1]
    assert forward.write_walks(tmp_path / "w.tsv", 0, 300, start="each", items="full") == (300, 900)
    assert (tmp_path / "w.tsv").read_bytes().decode() == "".join("\t".join(w) + "\n" for w in walks)
    forward.save(tmp_path / "f.snap")
    loaded = vantrel.PathSampler.load(tmp_path / "f.snap", 1e5, 10**6, 3)
    assert loaded.walks(0, 300, start="each", items="full") == walks and loaded.data_size == 2


@pytest.mark.parametrize("kwargs, error, message", [
    ({"relations": ["r", "nope"]}, KeyError, "'nope'"),
    ({"exclude_relations": ["r::-->"]}, KeyError, "'r::-->'"),
    ({"relations": "r"}, TypeError, "relations must be a collection of relation names, not a str"),
    ({"relations": [1]}, TypeError, "relations[0] must be str, not int"),
    ({"exclude_relations": 5}, TypeError, "exclude_relations must be a collection of relation names"),
    ({"direction": "up"}, ValueError, "direction must be 'both' or 'forward' or 'backward', not 'up'"),
    ({"forward": True}, TypeError, "PathSampler.restrict() got an unexpected keyword argument: forward"),
])
def test_bad_restrictions(abc_path, kwargs, error, message):
    with pytest.raises(error) as info:
        vantrel.PathSampler(abc_path, 4.0, 10, 1).restrict(**kwargs)
    assert str(info.value) == message
