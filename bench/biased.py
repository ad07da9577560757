"""Biased walks: node2vec, weighted and uniform walks side by side, against
PecanPy's SparseOTF and GRAPE's node2vec walks; the cost of a hub; what a
biased sampler adds to memory, and how long biased() takes beside restrict().

    python bench/biased.py [--quick] [--runs 5] [--out bench/out]

Every measure is a fresh process (one cold call), repetitions interleaved,
medians reported. Walks of 6 steps (vantrel: a mean far above the cap of 6;
PecanPy and GRAPE: walks of 7 nodes). node2vec: p = 0.5, q = 2 (GRAPE's
return_weight = 1/p = 2, explore_weight = 1/q = 0.5). Peers are skipped
where they are not installed, or where they fail (GRAPE's node2vec walk
ends some processes with SIGILL on CPUs without AVX-512).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

import run
from common import HERE, SHARED_DATA

P, Q, STEPS = 0.5, 2.0, 6

CHILD = r"""
import json, os, sys, time
sys.path.insert(0, {here!r})
from memory_use import rss_mib
kind, path, walks, threads = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
if kind.startswith("vantrel"):
    import numpy as np, vantrel
    s = vantrel.PathSampler(path, 1e9, {steps}, 0)
    if kind == "vantrel weighted":
        s = s.biased(edge_weights=np.random.default_rng(0).random(s.data_size))
    elif kind == "vantrel node2vec":
        s = s.biased(p={p}, q={q})
    start = time.perf_counter()
    ids, _ = s.walk_ids(0, walks, threads=threads)
    seconds = time.perf_counter() - start
    steps = len(ids) - 2 * walks
elif kind == "pecanpy":
    from pecanpy import pecanpy
    graph = pecanpy.SparseOTF(p={p}, q={q}, workers=threads, verbose=False)
    graph.read_edg(path, weighted=False, directed=False)
    graph.simulate_walks(num_walks=1, walk_length={steps} + 1)  # compiles: what follows is warm
    start = time.perf_counter()
    result = graph.simulate_walks(num_walks=max(1, walks // len(graph.nodes)), walk_length={steps} + 1)
    seconds = time.perf_counter() - start
    steps = sum(len(walk) - 1 for walk in result)
else:
    from grape import Graph
    graph = Graph.from_csv(edge_path=path, sources_column_number=0, destinations_column_number=1, directed=False,
                           edge_list_header=False, edge_list_separator="\t", verbose=False)
    start = time.perf_counter()
    result = graph.random_walks(walk_length={steps} + 1, quantity=walks, return_weight=1 / {p},
                                explore_weight=1 / {q}, random_state=0)
    seconds = time.perf_counter() - start
    steps = result.shape[0] * (result.shape[1] - 1)
print(json.dumps({{"steps_per_s": steps / seconds}}))
"""

MEMORY_CHILD = r"""
import json, sys, time
sys.path.insert(0, {here!r})
import numpy as np, vantrel
from memory_use import rss_mib
s = vantrel.PathSampler(sys.argv[1], 4.0, 10, 0)
weights = np.random.default_rng(0).random(s.data_size)
entries = 2 * s.data_size
out = {{"triples": s.data_size, "nodes": s.node_count}}
# restrict() of a graph the size of the biased one (a relation fewer), and of one direction.
for name, arguments in [("restrict, a relation fewer", {{"exclude_relations": [s.tokens[s.node_count][:-5]]}}),
                        ("restrict, forward", {{"direction": "forward"}})]:
    start = time.perf_counter()
    restricted = s.restrict(**arguments)
    out[name + " seconds"] = time.perf_counter() - start
    del restricted
for name, arguments in [("edge weights", {{"edge_weights": weights}}),
                        ("relation weights", {{"relation_weights": {{}}}}), ("node2vec", {{"p": {p}, "q": {q}}}),
                        ("edge weights and node2vec", {{"edge_weights": weights, "p": {p}, "q": {q}}})]:
    before = rss_mib()
    start = time.perf_counter()
    biased = s.biased(**arguments)
    out[name + " seconds"] = time.perf_counter() - start
    out[name + " bytes per entry"] = (rss_mib() - before) * 2**20 / entries
    del biased
print(json.dumps(out))
"""


def child(kind: str, path: str, walks: int, threads: int) -> float | None:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    code = CHILD.format(here=str(HERE.parent / "tests"), steps=STEPS, p=P, q=Q)
    done = subprocess.run(
        [sys.executable, "-c", code, kind, path, str(walks), str(threads)], env=env, capture_output=True, text=True
    )
    if done.returncode != 0:
        return None  # a peer that is missing or failed
    return json.loads(done.stdout.splitlines()[-1])["steps_per_s"]


def write_graph(path: pathlib.Path, lines) -> str:
    if not path.is_file():
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "w") as out:
            out.writelines(lines)
    return str(path)


def edge_list(tsv: str, out: pathlib.Path) -> str:
    """The head and tail columns, for the peers."""
    return write_graph(out, (f"{h}\t{t}\n" for h, _, t in (line.rstrip("\n").split("\t")[:3] for line in open(tsv))))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny graphs and one run, for CI")
    parser.add_argument("--runs", type=int, help="repetitions (default 5, quick 1)")
    parser.add_argument("--out", default=str(HERE / "out"))
    args = parser.parse_args()
    runs = args.runs or (1 if args.quick else 5)
    data = pathlib.Path(args.out) / "data"
    size = 10**4 if args.quick else 10**6
    wn18rr = SHARED_DATA / "wn18rr-train.tsv"
    kg = (
        str(wn18rr)
        if wn18rr.is_file() and not args.quick
        else write_graph(
            data / "small-kg.tsv", (f"Q{i % 997}\tP{i % 11}\tQ{(i * 7919) % 1009}\n" for i in range(20000))
        )
    )
    star = write_graph(data / f"star-{size}.tsv", (f"Q0\tP{i % 7}\tQ{i + 1}\n" for i in range(size)))
    # Hub-free: each node about ten edges, drawn uniformly.
    flat = write_graph(
        data / f"flat-{size}.tsv",
        (f"Q{(i * 2654435761) % (size // 5)}\tP{i % 7}\tQ{(i * 40503 + 7) % (size // 5)}\n" for i in range(size)),
    )
    walks = 2 * 10**4 if args.quick else 10**6
    jobs = [
        ("WN18RR" if kg == str(wn18rr) else "small KG", kind, path, walks, threads)
        for kind, path in [
            ("vantrel", kg),
            ("vantrel weighted", kg),
            ("vantrel node2vec", kg),
            ("pecanpy", edge_list(kg, data / "kg.edg")),
            ("grape", edge_list(kg, data / "kg.edg")),
        ]
        for threads in (1, 2)
    ]
    jobs += [(name, "vantrel node2vec", path, walks, 2) for name, path in (("star", star), ("hub-free", flat))]
    rates: dict = {job: [] for job in jobs}
    for repetition in range(runs):
        print(f"# run {repetition + 1} of {runs}", file=sys.stderr, flush=True)
        for job in jobs:
            rate = child(job[1], job[2], job[3] if job[1] != "pecanpy" else min(job[3], 10**5), job[4])
            if rate is not None:
                rates[job].append(rate)
    medians = {
        f"{graph}: {kind}, {threads} thread{'s' if threads > 1 else ''}": statistics.median(values)
        for (graph, kind, _, _, threads), values in rates.items()
        if values
    }
    synthetic = run.synthetic_graph(pathlib.Path(args.out), 10**4 if args.quick else 10**7)
    memory = json.loads(
        subprocess.run(
            [sys.executable, "-c", MEMORY_CHILD.format(here=str(HERE.parent / "tests"), p=P, q=Q), synthetic],
            check=True,
            capture_output=True,
            text=True,
        ).stdout.splitlines()[-1]
    )
    results = {"machine": run.machine(runs), "steps_per_s": medians, "memory_and_time": memory}
    pathlib.Path(args.out).mkdir(parents=True, exist_ok=True)
    (pathlib.Path(args.out) / "results-biased.json").write_text(json.dumps(results, indent=2))
    print(run.render_machine(results["machine"]) + "\n")
    print("| measure | steps/s |\n|---|---|")
    for name, rate in medians.items():
        print(f"| {name} | {rate / 1e6:.3f}M |")
    print("\n" + json.dumps(memory, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
