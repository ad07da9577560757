"""A graph of ogbl-wikikg90Mv2's shape, or a fraction of it, built from
generated ids through from_ids: the build's peak memory, the retained
memory and the snapshot's size per triple (node labels measured apart),
the snapshot's load time, and walks on one and two threads. Not in CI: at
full size it needs more memory than a 24 GiB machine has.

    python bench/wikikg90m.py --fraction 0.34 --out /big/disk   # 2.0*10^8 triples
    python bench/wikikg90m.py --fraction 0.001                   # a quick look
    python bench/wikikg90m.py --fraction 0.1 --grouped           # triples grouped by head

The full graph: 6.0*10^8 triples, 9.1*10^7 entities, 1,315 relations. Heads
and tails are drawn by Zipf(1.0) popularity over the entities (every entity
is in some triple, as in the dataset), relations by Zipf(1.0) over the
relations. Labels are Wikidata's shape (Q123, P45). Each stage runs in a
fresh process, so that each peak is its own. Prints one JSON line.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

TRIPLES, ENTITIES, RELATIONS = 600_000_000, 91_000_000, 1_315

BUILD = r"""
import gc, json, sys, time
import numpy as np
sys.path.insert(0, sys.argv[4])
from memory_use import rss_mib, status_mib
import vantrel
triples, entities, relations = (int(x) for x in sys.argv[1:4])
snapshot = sys.argv[5]
rng = np.random.default_rng(90)

def zipf(count, n):
    weights = 1.0 / np.arange(1, count + 1, dtype=np.float64)
    cumulative = np.cumsum(weights)
    cumulative /= cumulative[-1]
    ranks = rng.permutation(count).astype(np.uint32)
    out = np.empty(n, dtype=np.uint32)
    for at in range(0, n, 1 << 24):
        part = min(n - at, 1 << 24)
        out[at:at + part] = ranks[np.searchsorted(cumulative, rng.random(part), side="right").clip(max=count - 1)]
    return out

ids = np.empty((triples, 3), dtype=np.uint32)
# Every entity is in a triple: the first `entities` heads (or tails) name each once.
every = rng.permutation(entities).astype(np.uint32)
heads = zipf(entities, triples)
tails = zipf(entities, triples)
covered = min(entities, triples)
heads[:covered] = every[:covered]
ids[:, 0] = heads
ids[:, 1] = zipf(relations, triples)
ids[:, 2] = tails
del heads, tails, every
if sys.argv[6] == "grouped":  # as dumps sorted by subject give them
    order = np.argsort(ids[:, 0], kind="stable")
    ids = ids[order]
    del order
node_labels = [f"Q{i}" for i in range(entities)]
relation_labels = [f"P{i}" for i in range(relations)]
gc.collect()
baseline = status_mib("VmRSS")
start = time.perf_counter()
sampler = vantrel.PathSampler.from_ids(ids, node_labels, relation_labels, 4.0, 10, 1)
seconds = time.perf_counter() - start
gc.collect()
peak = status_mib("VmHWM") - baseline
retained = status_mib("VmRSS") - baseline
start = time.perf_counter()
sampler.save(snapshot)
print(json.dumps({"build_s": seconds, "build_peak_mib": peak, "retained_mib": retained,
                  "save_s": time.perf_counter() - start, "nodes": sampler.node_count,
                  "triples": sampler.data_size,
                  "label_bytes": sum(len(label) for label in node_labels) + sum(map(len, relation_labels))}))
"""

WALK = r"""
import json, sys, time
import vantrel
start = time.perf_counter()
sampler = vantrel.PathSampler.load(sys.argv[1], 4.0, 10, 1)
load_s = time.perf_counter() - start
result = {"load_s": load_s}
walks = int(sys.argv[2])
# The mapping's pages are touched once before any is timed: the first walks
# over a newly mapped snapshot pay its page faults.
start = time.perf_counter()
sampler.walk_ids(10**9, 10**9 + 10 * walks, length=80)
result["first_walks_s"] = time.perf_counter() - start
for threads in (1, 2):
    for name, arguments in (("length80", {"length": 80}), ("short", {})):
        best = None
        for repeat in range(3):
            start = time.perf_counter()
            ids, _ = sampler.walk_ids(repeat * walks, (repeat + 1) * walks, threads=threads, **arguments)
            seconds = time.perf_counter() - start
            best = seconds if best is None else min(best, seconds)
            steps = len(ids) - 2 * walks
        result[f"{name}_ns_per_step_{threads}t"] = best * 1e9 / steps
print(json.dumps(result))
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--fraction", type=float, default=1.0, help="of the full graph's triples and entities")
    parser.add_argument("--out", default=".", help="where the snapshot is written (it is removed at the end)")
    parser.add_argument("--walks", type=int, default=100_000)
    parser.add_argument("--grouped", action="store_true",
                        help="the triples grouped by head, as dumps sorted by subject give them")
    arguments = parser.parse_args()
    triples = int(TRIPLES * arguments.fraction)
    entities = max(1, int(ENTITIES * arguments.fraction))
    snapshot = pathlib.Path(arguments.out) / f"wikikg90m-{triples}.vsnap"
    try:
        built = json.loads(subprocess.run(
            [sys.executable, "-c", BUILD, str(triples), str(entities), str(RELATIONS), str(HERE.parent / "tests"),
             str(snapshot), "grouped" if arguments.grouped else "scattered"],
            check=True, capture_output=True, text=True).stdout)
        walked = json.loads(subprocess.run([sys.executable, "-c", WALK, str(snapshot), str(arguments.walks)],
                                           check=True, capture_output=True, text=True).stdout)
        size = snapshot.stat().st_size
    finally:
        snapshot.unlink(missing_ok=True)
    mib = 1024 * 1024
    report = {
        "triples": built["triples"], "nodes": built["nodes"], "relations": RELATIONS,
        "order": "grouped by head" if arguments.grouped else "random",
        "build_s": round(built["build_s"], 2), "save_s": round(built["save_s"], 2),
        "build_peak_bytes_per_triple": round(built["build_peak_mib"] * mib / built["triples"], 2),
        "retained_bytes_per_triple": round(built["retained_mib"] * mib / built["triples"], 2),
        "snapshot_bytes_per_triple": round(size / built["triples"], 2),
        "label_bytes_per_node": round(built["label_bytes"] / built["nodes"], 2),
        **{key: round(value, 3) for key, value in walked.items()},
        "machine": os.uname().machine,
    }
    print(json.dumps(report))


if __name__ == "__main__":
    main()
