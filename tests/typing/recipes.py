"""The documented recipes, typed: mypy checks this file against the stub on
the oldest and newest supported Python (scripts/check-types.sh), so that the
stub and the docs cannot drift apart. It is checked, not run."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
import vantrel

kg = vantrel.PathSampler("examples/data/rivers.tsv", 4.0, 10, 42)
path: list[str] = kg.sample_path()
walks: list[list[str]] = kg.walks(0, 10, start="each", items="full")
edges: list[list[int]] = kg.walks(0, 10, items="edges")
ids, offsets = kg.walk_ids(0, 100, items="nodes", length=8)
matrix = np.asarray(ids).reshape(-1, 9)  # no copy: walk i is row i
started: list[list[str]] = kg.walks(0, 9, start=np.arange(3))
kg.write_walks("corpus.txt", 0, 1000, format="words", position="mid", unique=True, length=None)

# Relations by id, and relation-frequency weights.
triples = np.asarray(kg.triple_ids())
frequency = np.bincount(triples[:, 1])
count: int = kg.relation_count
rare = kg.biased(relation_weights={kg.relations[r]: 1 / f for r, f in enumerate(frequency) if f})

# Arrays in: from_ids and weights from numpy.
one = triples.copy()
one[:, 1] = 0
node2vec = vantrel.PathSampler.from_ids(one, list(kg.tokens[: kg.node_count]), ["link"], 1e9, 40, 0).biased(
    p=0.5, q=2.0
)
weighted = kg.biased(edge_weights=np.ones(kg.data_size), node_weights=np.ones(kg.node_count))
relabelled = kg.walks(0, 5, start="each", relabel=np.arange(kg.node_count))


class TensorLike:
    """Stands for a torch tensor: no buffer protocol, but __array__."""

    def __array__(self, dtype: object = None, copy: object = None) -> npt.NDArray[np.int64]:
        return np.arange(3)


from_tensor = vantrel.PathSampler.from_ids(TensorLike(), ["a", "b", "c"], ["r"], 2.0, 5, 0)
tensor_starts: list[list[str]] = kg.walks(0, 3, start=TensorLike())

# Reading the graphs users have.
dump = vantrel.PathSampler.read("dump.ttl.gz", 4.0, 8, 42, canonical=True, base="http://example.org/")
many = vantrel.PathSampler.read(["a.nt", "b.ttl"], 4.0, 8, 42, format=None, literals="drop")
restricted = dump.restrict(exclude_relations=["http://www.w3.org/1999/02/22-rdf-syntax-ns#type"])
typed = dump.metapath(["http://example.org/wrote::-->", "http://example.org/wrote::<--"])
many_formats = vantrel.PathSampler.read("onto.owl", 4.0, 8, 42, format="rdfxml")
