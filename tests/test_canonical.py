"""Graphs in canonical order: the same triples in any order, format or
array give the same graph, tokens, snapshots and walks."""

import random

import numpy as np
from conftest import random_graph
from vantrel import PathSampler


def test_canonical_order_is_the_order_of_label_bytes(write_kg, tmp_path):
    lines = random_graph(random.Random(5), 40, 300).splitlines(keepends=True)
    lines += ["b\tr\tab\n", "é\tr\tb\n", "a\tr\tb\n", "a\tr\tb\n"]  # a prefix first, bytes not code points
    shuffled = lines[:]
    random.Random(6).shuffle(shuffled)
    first = PathSampler.read(write_kg("".join(lines)), 3.0, 8, 2, canonical=True)
    second = PathSampler.read(write_kg("".join(shuffled)), 3.0, 8, 2, canonical=True)
    n = first.node_count
    labels = list(first.tokens[:n])
    assert labels == sorted(labels, key=lambda label: label.encode())
    relations = [token[:-5] for token in first.tokens[n::2]]
    assert relations == sorted(relations, key=lambda label: label.encode())
    assert first.data_size == len(lines)  # repeated triples kept
    rows = memoryview(first.triple_ids()).tolist()
    assert rows == sorted(rows)
    assert list(second.tokens) == list(first.tokens) and second.walks(0, 500) == first.walks(0, 500)
    first.save(tmp_path / "a.snap")
    second.save(tmp_path / "b.snap")
    assert (tmp_path / "a.snap").read_bytes() == (tmp_path / "b.snap").read_bytes()


def test_every_input_of_the_same_triples_is_one_graph(write_kg, tmp_path):
    triples = [(f"http://x/{h}", f"http://p/{r}", f"http://x/{t}") for h, r, t in
               [(3, 1, 1), (1, 0, 2), (2, 1, 3), (1, 0, 2), (3, 0, 1)]]
    tsv = PathSampler.read(write_kg("".join(f"{h}\t{r}\t{t}\n" for h, r, t in triples)), 3.0, 8, 4, canonical=True)
    nt = write_kg("".join(f"<{h}> <{r}> <{t}> .\n" for h, r, t in reversed(triples)), "g.nt")
    from_nt = PathSampler.read(nt, 3.0, 8, 4, canonical=True)
    nodes = sorted({x for h, _, t in triples for x in (h, t)}, reverse=True)
    relations = sorted({r for _, r, _ in triples})
    rows = np.array([[nodes.index(h), relations.index(r), nodes.index(t)] for h, r, t in triples])
    arrays = PathSampler.from_ids(rows, nodes, relations, 3.0, 8, 4, canonical=True)
    for other in (from_nt, arrays):
        assert list(other.tokens) == list(tsv.tokens)
        assert other.walks(0, 200, items="full") == tsv.walks(0, 200, items="full")
        assert memoryview(other.triple_ids()).tolist() == memoryview(tsv.triple_ids()).tolist()
    # Without canonical=True, ids follow the input.
    assert list(PathSampler.from_ids(rows, nodes, relations, 3.0, 8, 4).tokens[:len(nodes)]) == nodes
