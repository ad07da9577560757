"""Deterministic synthetic knowledge graphs shaped like Wikidata.

    python bench/generate_kg.py 10000000 kg-1e7.tsv [--seed 0]
    python bench/generate_kg.py --star 1000000 star.tsv

N triples over N/5 entities and 1000 relations; heads, tails and relations
are drawn by Zipf(1.0) popularity, so a 10^7 graph has a hub with over 10^6
edges. Labels look like Wikidata's (Q123, P45). A star has one centre with
N edges to N distinct leaves.
"""

from __future__ import annotations

import argparse
import sys

import numpy as np

RELATIONS = 1000


def zipf_sampler(count: int, rng: np.random.Generator):
    weights = 1.0 / np.arange(1, count + 1, dtype=np.float64)
    cumulative = np.cumsum(weights)
    cumulative /= cumulative[-1]
    # Popularity ranks are spread over the ids, so the hub is not simply Q0.
    ids = rng.permutation(count)

    def draw(n: int) -> np.ndarray:
        return ids[np.searchsorted(cumulative, rng.random(n), side="right").clip(max=count - 1)]

    return draw


def write_zipf(triples: int, out, seed: int) -> None:
    rng = np.random.default_rng(seed)
    entities = max(2, triples // 5)
    entity_labels = np.array([f"Q{i}" for i in range(entities)], dtype=object)
    relation_labels = np.array([f"P{i}" for i in range(RELATIONS)], dtype=object)
    draw_entity = zipf_sampler(entities, rng)
    draw_relation = zipf_sampler(RELATIONS, rng)
    chunk = 1_000_000
    for start in range(0, triples, chunk):
        n = min(chunk, triples - start)
        heads = entity_labels[draw_entity(n)]
        relations = relation_labels[draw_relation(n)]
        tails = entity_labels[draw_entity(n)]
        out.write("".join(f"{h}\t{r}\t{t}\n" for h, r, t in zip(heads, relations, tails)))


def write_star(edges: int, out) -> None:
    chunk = 1_000_000
    for start in range(0, edges, chunk):
        out.write("".join(f"Q0\tP{i % 7}\tQ{i + 1}\n" for i in range(start, min(edges, start + chunk))))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("triples", type=int)
    parser.add_argument("output")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--star", action="store_true", help="a star: one centre with TRIPLES edges")
    args = parser.parse_args(argv)
    with open(args.output, "w", encoding="utf-8", newline="\n") as out:
        if args.star:
            write_star(args.triples, out)
        else:
            write_zipf(args.triples, out, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
