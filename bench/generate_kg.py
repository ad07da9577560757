"""Deterministic synthetic knowledge graphs shaped like Wikidata.

    python bench/generate_kg.py 10000000 kg-1e7.tsv [--seed 0]
    python bench/generate_kg.py --wikidata5m 21000000 wd5m-shape.tsv
    python bench/generate_kg.py --star 1000000 star.tsv

N triples over N/5 entities and 1000 relations; heads, tails and relations
are drawn by Zipf(1.0) popularity, so a 10^7 graph has a hub with over 10^6
edges. Labels look like Wikidata's (Q123, P45). --wikidata5m gives
Wikidata5M's shape instead: N triples over 0.23 N entities (4.8*10^6 for its
2.1*10^7) and 822 relations, every entity in at least one triple (as in the
dataset, which keeps no isolated entity), the other ends drawn by Zipf(1.0)
popularity, so that its hubs have 10^6 edges and more. A star has one
centre with N edges to N distinct leaves.
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


def write_zipf(triples: int, out, seed: int, entities: int | None = None, relations: int = RELATIONS,
               every_entity: bool = False) -> None:
    rng = np.random.default_rng(seed)
    entities = entities or max(2, triples // 5)
    entity_labels = np.array([f"Q{i}" for i in range(entities)], dtype=object)
    relation_labels = np.array([f"P{i}" for i in range(relations)], dtype=object)
    draw_entity = zipf_sampler(entities, rng)
    draw_relation = zipf_sampler(relations, rng)
    # With every_entity, the first `entities` heads go through all entities
    # in a random order; later heads, and all tails, are drawn.
    covering = rng.permutation(entities) if every_entity else np.empty(0, dtype=np.int64)
    chunk = 1_000_000
    for start in range(0, triples, chunk):
        n = min(chunk, triples - start)
        head_ids = draw_entity(n)
        covered = covering[start:start + n]
        head_ids[:len(covered)] = covered
        heads = entity_labels[head_ids]
        relations_drawn = relation_labels[draw_relation(n)]
        tails = entity_labels[draw_entity(n)]
        out.write("".join(f"{h}\t{r}\t{t}\n" for h, r, t in zip(heads, relations_drawn, tails)))


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
    parser.add_argument("--wikidata5m", action="store_true",
                        help="Wikidata5M's shape: 0.23 entities per triple, 822 relations, no isolated entity")
    args = parser.parse_args(argv)
    with open(args.output, "w", encoding="utf-8", newline="\n") as out:
        if args.star:
            write_star(args.triples, out)
        elif args.wikidata5m:
            write_zipf(args.triples, out, args.seed, entities=max(2, args.triples * 23 // 100), relations=822,
                       every_entity=True)
        else:
            write_zipf(args.triples, out, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
