"""Walk selection measures: walks from a list of start entities against
start="each" on the same graph, walks on a restricted graph against its
parent, side by side in one run; node_ids on many labels; the time and
memory restrict takes against those of construction.

    python3 bench/selection.py [--quick] [--graph kg.tsv] [--labels-graph big.tsv]

Walks: the first 10^4 nodes of the graph (WN18RR by default), K = 500 walks
each, against start="each" over as many walks; medians of interleaved runs.
Restricted walks: restrict(exclude_relations=[the first two relations],
direction="forward") against the parent, 2*10^6 walks.
Cold walk_ids: one walk_ids(0, 2*10^6, threads=2) in a fresh process,
against GRAPE's random_walks likewise (when grape is installed).
node_ids and restrict's cost: on --labels-graph (for the targets, the
synthetic 10^7 graph of bench/generate_kg.py): 10^6 labels looked up, the
first call (which builds the index) and a second one timed apart; the
graph's construction and the restriction, time and resident memory added.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import statistics
import subprocess
import sys
import time

from common import HERE, SHARED_DATA, call_rate, rss_mib


def start_lists(path: str, entities: int, per_entity: int, runs: int, threads: int) -> dict:
    import vantrel

    sampler = vantrel.PathSampler(path, 4.0, 10, 0)
    entities = min(entities, sampler.node_count)
    walks = entities * per_entity
    listed = sampler.node_ids(list(sampler.tokens[:entities]))

    def steps(result):
        return len(result[0]) - 2 * walks

    rates: dict[str, list[float]] = {"start list": [], 'start="each"': []}
    for _ in range(runs):
        rates["start list"].append(call_rate(lambda: sampler.walk_ids(0, walks, threads=threads, start=listed), steps))
        rates['start="each"'].append(
            call_rate(lambda: sampler.walk_ids(0, walks, threads=threads, start="each"), steps))
    medians = {name: statistics.median(values) for name, values in rates.items()}
    return {"graph": path, "entities": entities, "walks": walks, "threads": threads, "steps_per_s": medians,
            "ratio": medians["start list"] / medians['start="each"']}


def restricted_walks(path: str, walks: int, runs: int, threads: int) -> dict:
    import vantrel

    parent = vantrel.PathSampler(path, 4.0, 10, 0)
    excluded = [token[:-len("::-->")] for token in parent.tokens[parent.node_count:parent.node_count + 4:2]]
    restricted = parent.restrict(exclude_relations=excluded, direction="forward")

    def steps(result):
        return len(result[0]) - 2 * walks

    rates: dict[str, list[float]] = {"parent": [], "restricted": []}
    for _ in range(runs):
        rates["parent"].append(call_rate(lambda: parent.walk_ids(0, walks, threads=threads), steps))
        rates["restricted"].append(call_rate(lambda: restricted.walk_ids(0, walks, threads=threads), steps))
    medians = {name: statistics.median(values) for name, values in rates.items()}
    # Walks that end early take fewer steps: steps/s falls with them, walks/s need not.
    per_walk = {name: steps(sampler.walk_ids(0, walks, threads=threads)) / walks
                for name, sampler in (("parent", parent), ("restricted", restricted))}
    return {"graph": path, "excluded": excluded, "walks": walks, "threads": threads, "steps_per_s": medians,
            "steps_per_walk": per_walk, "walks_per_s": {name: medians[name] / per_walk[name] for name in medians},
            "ratio": medians["restricted"] / medians["parent"]}


def restrict_cost(path: str) -> dict:
    import gc

    import vantrel

    gc.collect()
    before = rss_mib()
    start = time.perf_counter()
    parent = vantrel.PathSampler(path, 4.0, 10, 0)
    construct = time.perf_counter() - start
    gc.collect()
    parent_mib = rss_mib() - before
    relations = parent.tokens[parent.node_count:parent.node_count + 4:2]
    start = time.perf_counter()
    restricted = parent.restrict(exclude_relations=[r[:-5] for r in relations], direction="forward")
    seconds = time.perf_counter() - start
    added = rss_mib() - before - parent_mib
    return {"graph": path, "construct_s": construct, "restrict_s": seconds, "time_ratio": seconds / construct,
            "parent_mib": parent_mib, "restricted_added_mib": added, "memory_ratio": added / parent_mib,
            "restricted_data_size": restricted.data_size}


COLD_CALL = """
import json, sys, time, vantrel
sampler = vantrel.PathSampler(sys.argv[1], 4.0, 10, 1)
walks = int(sys.argv[2])
start = time.perf_counter()
ids, offsets = sampler.walk_ids(0, walks, threads=2)
seconds = time.perf_counter() - start
print(json.dumps({"steps_per_s": [(len(memoryview(ids)) - 2 * walks) / seconds]}))
"""


def cold_walk_ids(path: str, walks: int, runs: int) -> dict:
    """One walk_ids(0, walks, threads=2) call in a fresh process, as a user
    makes it, against GRAPE's random_walks (all cores, 5 steps a walk) called
    once in a fresh process; interleaved, medians."""
    rates: dict[str, list[float]] = {"vantrel": [], "grape": []}
    grape = importlib.util.find_spec("grape") is not None
    env = {key: value for key, value in os.environ.items() if key != "RAYON_NUM_THREADS"}
    for _ in range(runs):
        out = subprocess.run([sys.executable, "-c", COLD_CALL, path, str(walks)], check=True, capture_output=True,
                             text=True).stdout
        rates["vantrel"] += json.loads(out)["steps_per_s"]
        if grape:
            out = subprocess.run([sys.executable, str(HERE / "grape_walks.py"), path, str(walks), "1"], env=env,
                                 check=True, capture_output=True, text=True).stdout
            rates["grape"] += json.loads(out.splitlines()[-1])["steps_per_s"]
    medians = {name: statistics.median(values) for name, values in rates.items() if values}
    return {"graph": path, "walks": walks, "steps_per_s": medians,
            "ratio": medians["vantrel"] / medians["grape"] if grape else None}


def node_ids(path: str, labels: int) -> dict:
    import vantrel

    sampler = vantrel.PathSampler(path, 4.0, 10, 0)
    count = min(labels, sampler.node_count)
    step = max(1, sampler.node_count // count)
    wanted = [sampler.tokens[i] for i in range(0, step * count, step)]
    start = time.perf_counter()
    sampler.node_ids(wanted)
    first = time.perf_counter() - start
    start = time.perf_counter()
    sampler.node_ids(wanted)
    return {"graph": path, "nodes": sampler.node_count, "labels": len(wanted), "first_call_s": first,
            "second_call_s": time.perf_counter() - start}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes, so that the script cannot rot")
    parser.add_argument("--graph", default=str(SHARED_DATA / "wn18rr-train.tsv"))
    parser.add_argument("--labels-graph", help="the graph whose labels node_ids looks up (default: --graph)")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    graph = args.graph
    if not SHARED_DATA.joinpath("wn18rr-train.tsv").is_file() and args.graph == str(SHARED_DATA / "wn18rr-train.tsv"):
        graph = str(HERE.parent / "examples" / "data" / "rivers.tsv")  # a clone without the shared data
    entities, per_entity, labels, walks = (20, 10, 1000, 1000) if args.quick else (10_000, 500, 1_000_000, 2_000_000)
    runs = 1 if args.quick else args.runs
    results = {"start_lists": [start_lists(graph, entities, per_entity, runs, threads) for threads in (1, 2)],
               "restricted_walks": [restricted_walks(graph, walks, runs, threads) for threads in (1, 2)],
               "cold_walk_ids": cold_walk_ids(graph, walks, runs),
               "node_ids": node_ids(args.labels_graph or graph, labels),
               "restrict_cost": restrict_cost(args.labels_graph or graph)}
    print(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
