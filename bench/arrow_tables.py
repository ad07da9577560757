"""Tables in: PathSampler.from_arrow against the readers of the same rows.

- 10^7 rows of strings (IRIs of 10^6 nodes and 200 relations) as a pyarrow
  table, against read() of the same rows as N-Triples and as a triple file;
- 10^7 rows of int64 ids, as a pyarrow table, against from_ids of the same
  numpy array.

Each timing is the best of 3, the calls compared taking turns, on every core;
the table is built beforehand.

    pip install pyarrow numpy
    python bench/arrow_tables.py [--rows 10000000] [--quick]
"""

from __future__ import annotations

import argparse
import os
import tempfile
import time

import numpy as np
from kernel import cpu_label


def best_alternating(calls: dict, repeats: int) -> dict:
    """The best time of each call, the calls taking turns round after round (so that a slower spell of a
    shared machine falls on all of them)."""
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(repeats):
        for name, call in calls.items():
            began = time.perf_counter()
            call()
            best[name] = min(best[name], time.perf_counter() - began)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--quick", action="store_true", help="10^4 rows, one timing each (a smoke test)")
    args = parser.parse_args()
    import pyarrow as pa
    import vantrel

    rows, repeats = (10_000, 1) if args.quick else (args.rows, 3)
    nodes, relations = max(rows // 10, 2), 200
    rng = np.random.default_rng(0)
    ids = np.stack([rng.integers(0, nodes, rows), rng.integers(0, relations, rows), rng.integers(0, nodes, rows)], 1)
    node_labels = [f"http://example.org/entity/{n}" for n in range(nodes)]
    relation_labels = [f"http://example.org/relation/{r}" for r in range(relations)]
    print(f"CPU: {cpu_label()}; {time.strftime('%Y-%m-%d')}; pyarrow {pa.__version__}; {rows:,} rows")
    node_array, relation_array = pa.array(node_labels), pa.array(relation_labels)
    table = pa.table({"head": node_array.take(ids[:, 0]), "relation": relation_array.take(ids[:, 1]),
                      "tail": node_array.take(ids[:, 2])})
    with tempfile.TemporaryDirectory() as directory:
        nt, tsv = os.path.join(directory, "kg.nt"), os.path.join(directory, "kg.tsv")
        with open(nt, "w", encoding="utf-8") as out:
            out.writelines(f"<{node_labels[h]}> <{relation_labels[r]}> <{node_labels[t]}> .\n" for h, r, t in ids)
        with open(tsv, "w", encoding="utf-8") as out:
            out.writelines(f"{node_labels[h]}\t{relation_labels[r]}\t{node_labels[t]}\n" for h, r, t in ids)
        timings = best_alternating({
            "from_arrow, strings": lambda: vantrel.PathSampler.from_arrow(table, 4.0, 10, 0),
            "read, N-Triples": lambda: vantrel.PathSampler.read(nt, 4.0, 10, 0),
            "read, triple file": lambda: vantrel.PathSampler.read(tsv, 4.0, 10, 0),
        }, repeats)
    id_table = pa.table({"head": ids[:, 0], "relation": ids[:, 1], "tail": ids[:, 2]})
    timings.update(best_alternating({
        "from_arrow, int64 ids": lambda: vantrel.PathSampler.from_arrow(
            id_table, 4.0, 10, 0, node_labels=node_labels, relation_labels=relation_labels),
        "from_ids, numpy int64": lambda: vantrel.PathSampler.from_ids(ids, node_labels, relation_labels, 4.0, 10, 0),
    }, repeats))
    for name, seconds in timings.items():
        print(f"{name:<24} {seconds:8.3f} s  {rows / seconds / 1e6:6.2f}M rows/s")


if __name__ == "__main__":
    main()
