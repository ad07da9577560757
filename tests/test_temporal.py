"""Time-respecting walks (PathSampler.temporal), against the exact port's
reading of the rule in docs/walks.md."""

import math
import random

import numpy as np
import pytest
import vantrel
from conftest import random_graph
from exact_port import ExactPathSampler

ARGS = (4.0, 12, 9)
TOP = 2**64 - 61  # walk numbers near the top: TOP + 60 is the last


def times_for(kind, count, rng):
    """Times of one kind: few distinct integers (many ties), the whole int64
    range, or floats with ties, negatives and both zeros (equal times)."""
    if kind == "ties":
        return [rng.randrange(4) for _ in range(count)]
    if kind == "huge":
        return [rng.choice([-(2**63), 2**63 - 1, 0, rng.randrange(-(2**62), 2**62)]) for _ in range(count)]
    return [rng.choice([0.5, -1.0, 2.25, 0.0, -0.0, rng.uniform(-1e3, 1e3)]) for _ in range(count)]


RULES = [
    {},
    {"direction": "backward"},
    {"strict": True},
    {"direction": "backward", "strict": True, "window": 1},
    {"window": 2.5, "decay": 1.0},
    {"decay": 1e-3},
    {"direction": "backward", "decay": 1e6, "window": 1e30},
    {"strict": True, "decay": 0.5, "window": 0},
]


@pytest.mark.parametrize("rule", RULES, ids=lambda rule: ",".join(f"{k}={v}" for k, v in rule.items()) or "uniform")
@pytest.mark.parametrize("kind", ["ties", "huge", "floats"])
@pytest.mark.parametrize("graph_seed", range(3))
def test_temporal_walks_are_the_rules_draw_for_draw(write_kg, rule, kind, graph_seed):
    rng = random.Random(900 + graph_seed)
    # The last graph's node 0 has over 600 candidates, self-loops and parallel edges.
    path = write_kg(random_graph(rng, [6, 40, 200][graph_seed], [30, 400, 2000][graph_seed]))
    ours, port = vantrel.PathSampler(path, *ARGS), ExactPathSampler(path, *ARGS)
    if graph_seed == 1:
        ours, port = ours.restrict(direction="forward"), port.restrict(direction="forward")
    times = times_for(kind, len(port.graph.edges), rng)
    ours, port = ours.temporal(times, **rule), port.temporal(times, **rule)
    for items in ("full", "times"):
        for first in (0, TOP):
            assert ours.walks(first, first + 60, items=items) == [port.walk(first + k, items=items) for k in range(60)]
    listed = [rng.randrange(len(port.graph.labels)) for _ in range(5)]
    assert ours.walks(0, 30, start=listed, length=7) == [port.walk(k, listed, length=7) for k in range(30)]
    assert [ours.sample_path() for _ in range(40)] == [port.sample_path() for _ in range(40)]


def test_restrict_and_temporal_commute_and_walks_are_the_same_in_every_call(write_kg, tmp_path):
    rng = random.Random(3)
    sampler = vantrel.PathSampler(write_kg(random_graph(rng, 300, 3000)), *ARGS)
    times = np.random.default_rng(1).integers(0, 50, sampler.data_size)
    rule = {"direction": "backward", "window": 20, "decay": 4.0}
    for restriction in ({"exclude_relations": ["P279"]}, {"direction": "backward"}):
        one = sampler.restrict(**restriction).temporal(times, **rule)
        other = sampler.temporal(times, **rule).restrict(**restriction)
        assert bytes(one.walk_ids(0, 3000)[0]) == bytes(other.walk_ids(0, 3000)[0])
    timed = sampler.temporal(times, **rule)
    ids, offsets = timed.walk_ids(5, 2005, threads=1, items="nodes")
    assert (bytes(ids), bytes(offsets)) == tuple(map(bytes, timed.walk_ids(5, 2005, threads=2, items="nodes")))
    walks = timed.walks(5, 2005, items="nodes")
    assert [list(ids[offsets[k] : offsets[k + 1]]) for k in range(2000)] == [list(timed.node_ids(w)) for w in walks]
    timed.write_walks(tmp_path / "walks.tsv", 5, 2005)
    written = (tmp_path / "walks.tsv").read_text(encoding="utf-8").splitlines()
    assert written == ["\t".join(w) for w in timed.walks(5, 2005)]
    # temporal() of a temporal sampler without times keeps its times, with the new rule.
    assert timed.temporal(direction="forward").walks(0, 200) == sampler.temporal(times).walks(0, 200)


def test_times_of_every_type_are_the_same_times(write_kg):
    sampler = vantrel.PathSampler(write_kg(random_graph(random.Random(4), 50, 500)), *ARGS)
    whole = np.random.default_rng(2).integers(-5, 5, sampler.data_size)
    expected = sampler.temporal(list(map(int, whole))).walks(0, 500, items="full")
    for given in (whole, whole.astype(np.int8), whole.astype(">i4"), whole[::1].copy()):
        assert sampler.temporal(given).walks(0, 500, items="full") == expected
    halves = whole / 2
    expected = sampler.temporal(list(map(float, halves)), decay=2.0).walks(0, 500)
    for given in (halves, halves.astype(np.float32), halves.astype(np.float16)):
        assert sampler.temporal(given, decay=2.0).walks(0, 500) == expected


def test_each_step_keeps_to_its_side_of_time(write_kg):
    # a -> b at 5, then b -> c at 3 and b -> d at 7.
    sampler = vantrel.PathSampler(write_kg("a\tr\tb\nb\tr\tc\nb\tr\td\n"), 1.0, 10, 1)

    def walks(times, **rule):
        return {tuple(w) for w in sampler.temporal(times, **rule).walks(0, 200, start=[0], length=2, items="nodes")}

    assert walks([5, 3, 7]) == {("a", "b", "d")}
    assert walks([5, 3, 7], direction="backward") == {("a", "b", "c")}
    assert walks([5, 5, 6], strict=True) == {("a", "b", "d")}
    assert walks([5, 5, 6]) == {("a", "b", "c"), ("a", "b", "d")}
    # Within a window of 1, only the edge just used is left, and it is taken back.
    assert walks([5, 3, 7], window=1) == {("a", "b", "a")}
    # Nothing on its side of time but the edge just used, which is then taken back; strict, not even that: the
    # walk ends at b.
    assert walks([5, 3, 4]) == {("a", "b", "a")}
    assert walks([5, 3, 4], strict=True) == {("a", "b")}


def test_underflowed_weights_take_the_fact_nearest_in_time(write_kg):
    # From b at time 0, forward: facts at 0 (the edge just used), 10^6 and 2 * 10^6; with a decay of 1e-3 every
    # weight but the first underflows, and the walk takes the nearest fact other than the one it came over.
    sampler = vantrel.PathSampler(write_kg("a\tr\tb\nb\tr\tc\nb\tr\td\n"), 1.0, 10, 1)
    walks = sampler.temporal([0, 2 * 10**6, 10**6], decay=1e-3).walks(0, 50, start=[0], length=2, items="nodes")
    assert walks == [["a", "b", "d"]] * 50


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ({"times": [0, math.nan, 1]}, ValueError, "times[1] = nan is not a time: times are finite numbers"),
        ({"times": np.array([0.0, 1.0, -math.inf])}, ValueError, "times[2] = -inf is not a time"),
        ({"times": np.array([0, 1, 2**64 - 1], dtype=np.uint64)}, ValueError,
         "times[2] = 18446744073709551615 is not a time: integer times are int64"),
        ({"times": [0, 2**63, 1]}, ValueError, "times[1] = 9223372036854775808 is not a time: integer times are int64"),
        ({"times": [0, 1]}, ValueError, "times has 2 numbers, not one per triple of the graph as read (3)"),
        ({"times": [0, "1", 2]}, TypeError, "times[1] must be a number, not str"),
        ({"times": "012"}, TypeError, "times must be an array or a sequence of numbers, not str"),
        ({"times": np.zeros((3, 1))}, ValueError, "times must be one-dimensional, not of 2 dimensions"),
        ({}, ValueError, "times is needed: this sampler has no times of its own"),
        ({"times": [0, 1, 2], "direction": "up"}, ValueError, "direction must be 'forward' or 'backward', not 'up'"),
        ({"times": [0, 1, 2], "window": -1}, ValueError, "window must be a number >= 0 or None, not -1.0"),
        ({"times": [0, 1, 2], "window": math.nan}, ValueError, "window must be a number >= 0 or None, not nan"),
        ({"times": [0, 1, 2], "decay": 0}, ValueError, "decay must be a positive finite number or None, not 0.0"),
        ({"times": [0, 1, 2], "decay": math.inf}, ValueError, "decay must be a positive finite number or None"),
    ],
)
def test_bad_arguments_name_what_is_wrong(write_kg, arguments, error, message):
    sampler = vantrel.PathSampler(write_kg("a\tr\tb\nb\tr\tc\nc\tr\ta\n"), *ARGS)
    with pytest.raises(error) as raised:
        sampler.temporal(**arguments)
    assert str(raised.value).startswith(message)


def test_combinations_that_do_not_mix_are_refused(write_kg):
    sampler = vantrel.PathSampler(write_kg("a\tr\tb\nb\tr\tc\nc\tr\ta\n"), *ARGS)
    timed = sampler.temporal([1, 2, 3])
    refusals = [
        (lambda: timed.biased(p=2.0), "biased() of a temporal sampler is not available"),
        (lambda: timed.metapath(["r::-->"]), "metapath() of a temporal sampler is not available"),
        (lambda: sampler.biased(p=2.0).temporal([1, 2, 3]), "temporal() of a biased sampler is not available"),
        (lambda: sampler.metapath(["r::-->"]).temporal([1, 2, 3]), "temporal() of a metapath sampler is not"),
        (lambda: timed.walks(0, 3, position="mid"), "position='mid' is not available on a temporal sampler"),
    ]
    for call, message in refusals:
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value).startswith(message)


@pytest.mark.parametrize("times_kind", ["int64", "float64"])
def test_snapshots_keep_the_times_and_the_rule(write_kg, tmp_path, times_kind):
    rng = random.Random(6)
    sampler = vantrel.PathSampler(write_kg(random_graph(rng, 100, 1000)), *ARGS)
    times = np.random.default_rng(3).integers(0, 30, sampler.data_size)
    if times_kind == "float64":
        times = times / 3
    plain = tmp_path / "plain.vsnap"
    sampler.save(plain)
    for timed in (sampler.temporal(times, direction="backward", strict=True, window=9, decay=2.5),
                  sampler.restrict(exclude_relations=["P31"]).temporal(times)):
        path = tmp_path / "timed.vsnap"
        timed.save(path)
        loaded = vantrel.PathSampler.load(path, *ARGS)
        assert loaded.walks(0, 500, items="full") == timed.walks(0, 500, items="full")
        assert loaded.temporal(direction="forward").walks(0, 100) == timed.temporal(direction="forward").walks(0, 100)
    # Samplers without times write the snapshots they always wrote, of version 2.
    assert plain.read_bytes()[8:12] == (2).to_bytes(4, "little")
    assert path.read_bytes()[8:12] == (4).to_bytes(4, "little")


def test_times_are_listed_as_they_were_given(write_kg, tmp_path):
    # Floats that Python writes in every notation, and int64's ends.
    floats = [1e16, 1e-05, 0.0001, -0.0, 123.456, 5e-324, 1.7976931348623157e308, 100.0, 0.1, -2.5e-7, 1e15 + 0.5]
    chain = "".join(f"n{k}\tr\tn{k + 1}\n" for k in range(len(floats)))
    sampler = vantrel.PathSampler(write_kg(chain), 6.0, 20, 3)
    for times in (floats, [-(2**63), 2**63 - 1, 0, -1, 7, 2**53 + 1, 5, 4, 3, 2, 1]):
        timed = sampler.temporal(times, direction="backward" if times is floats else "forward")
        walks = timed.walks(0, 300, items="times")
        assert {type(t) for walk in walks for t in walk} == {type(times[0])}
        ids, offsets = timed.walk_ids(0, 300, items="times")
        assert ids.typecode == ("d" if times is floats else "q")
        assert [list(ids[offsets[k] : offsets[k + 1]]) for k in range(300)] == walks
        timed.write_walks(tmp_path / "times.tsv", 0, 300, items="times")
        lines = (tmp_path / "times.tsv").read_text().splitlines()
        assert lines == ["\t".join(map(repr, walk)) for walk in walks]
    assert timed.walks(0, 300, items="times", unique=True) == [list(w) for w in dict.fromkeys(map(tuple, walks))]


def test_items_times_needs_times(write_kg):
    sampler = vantrel.PathSampler(write_kg("a\tr\tb\nb\tr\tc\n"), *ARGS)
    timed = sampler.temporal([1, 2])
    refusals = [
        (lambda: sampler.walks(0, 3, items="times"), "items='times' needs a temporal sampler (temporal())"),
        (lambda: timed.walks(0, 3, items="times", relabel=[0, 0, 0]), "relabel applies to nodes, and items='times'"),
        (lambda: timed.batches(0, 3, 2, items="times"), "batches() gives ids: items='times' is for walk_ids()"),
    ]
    for call, message in refusals:
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value).startswith(message)


def test_read_takes_times_from_a_column(write_kg, tmp_path):
    # Padded fields as ICEWS publishes them, a fifth column after the time, dates and offsets.
    lines = ["a  \t r \tb\t2018-01-01\t0", "b\tr\t c\t1514768400\t0\r", "c\ts\ta\t2018-01-01T02:00+01:00\t0"]
    path = write_kg("\n".join(lines) + "\n")
    read = vantrel.PathSampler.read(path, *ARGS, format="tsv", time_column=3)
    assert list(read.tokens)[:3] == ["a", "b", "c"]
    assert read.triple_times().tolist() == [1514764800, 1514768400, 1514768400]
    assert read.triple_times().typecode == "q"
    plain = vantrel.PathSampler(write_kg("a\tr\tb\nb\tr\tc\nc\ts\ta\n"), *ARGS)
    timed = plain.temporal([1514764800, 1514768400, 1514768400], window=3600)
    assert read.temporal(window=3600).walks(0, 200, items="full") == timed.walks(0, 200, items="full")
    # A decimal number anywhere makes every time float64; files read as one continue each other's times.
    other = write_kg("c\tr\td\t0.5\n")
    both = vantrel.PathSampler.read([path, other], *ARGS, format="tsv", time_column=3)
    assert both.triple_times().tolist() == [1514764800.0, 1514768400.0, 1514768400.0, 0.5]
    # The times live in snapshots and in restrictions.
    both.restrict(exclude_relations=["s"]).save(tmp_path / "timed.vsnap")
    loaded = vantrel.PathSampler.load(tmp_path / "timed.vsnap", *ARGS)
    assert loaded.triple_times().tolist() == both.triple_times().tolist()
    assert loaded.temporal().walks(0, 50) == both.restrict(exclude_relations=["s"]).temporal().walks(0, 50)


@pytest.mark.parametrize(
    "content, arguments, message",
    [
        ("a\tr\tb\t1\nb\tr\tc\tsoon\n", {}, "line 2: 'soon' is not a time: an integer, a decimal number, or an ISO"),
        ("a\tr\tb\t1\nb\tr\tc\n", {}, "line 2: the line has 3 fields, and its time is in column 3 (from 0)"),
        ("a\tr\tb\t2018-02-30\n", {}, "line 1: '2018-02-30' is not a time"),
        ("a\tr\tb\t1\n", {"time_column": 2}, "time_column must be 3 or more: columns 0 to 2 are the triple, not 2"),
        ("a\tr\tb\t1\n", {"canonical": True}, "canonical=True sorts the triples, and times follow the order"),
        ("a\tr\tb\t1\n", {"format": "nt"}, "time_column applies to tab-separated files (format='tsv'), not to RDF"),
    ],
)
def test_read_refuses_what_has_no_time(write_kg, content, arguments, message):
    arguments = {"format": "tsv", "time_column": 3, **arguments}
    with pytest.raises(ValueError) as raised:
        vantrel.PathSampler.read(write_kg(content), *ARGS, **arguments)
    assert str(raised.value).startswith(message)


def test_from_ids_takes_times_and_triple_times_gives_them(write_kg):
    triples = np.array([[0, 0, 1], [1, 0, 2], [2, 1, 0]])
    sampler = vantrel.PathSampler.from_ids(triples, ["a", "b", "c"], ["r", "s"], *ARGS, times=[3.5, 1.0, 2.0])
    assert sampler.triple_times().tolist() == [3.5, 1.0, 2.0]
    assert sampler.temporal(direction="backward").walks(0, 100) == sampler.temporal(
        [3.5, 1.0, 2.0], direction="backward").walks(0, 100)
    with pytest.raises(ValueError, match="canonical=True sorts the triples"):
        vantrel.PathSampler.from_ids(triples, ["a", "b", "c"], ["r", "s"], *ARGS, times=[1, 2, 3], canonical=True)
    with pytest.raises(ValueError, match=r"times has 2 numbers, not one per triple of the graph as read \(3\)"):
        vantrel.PathSampler.from_ids(triples, ["a", "b", "c"], ["r", "s"], *ARGS, times=[1, 2])
    with pytest.raises(ValueError, match="this sampler knows no times"):
        vantrel.PathSampler(write_kg("a\tr\tb\n"), *ARGS).triple_times()
