"""Walks on a graph past the caches, side by side for several builds of the
module: nanoseconds per step of uniform walks of 80 steps, of short walks
(mean 4, cap 10), of mid walks and of node2vec walks (p = 2, q = 0.5, 80
steps), on one thread and on two. Each measure runs in a fresh process per
build, the builds taking turns; medians of the runs.

    python bench/past_caches.py GRAPH NAME=DIR [NAME=DIR ...] [--runs 5] [--walks 200000]

GRAPH is a snapshot (`.vsnap`) or a TSV file, for example the Wikidata5M-shaped
graph of `python bench/generate_kg.py --wikidata5m 21000000 wd5m.tsv`, saved
once with `PathSampler.save` so that each process loads it quickly. DIR is a
folder holding a built module (`vantrel*.so`); "installed" stands for the
installed module.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

from kernel import cpu_label

# Run in each build's process: prints {measure: ns per step}.
MEASURE = r"""
import json, sys, time
import vantrel

graph, walks = sys.argv[1], int(sys.argv[2])
load = vantrel.PathSampler.load if graph.endswith(".vsnap") else vantrel.PathSampler.read
plain = load(graph, 4.0, 10, 1)
node2vec = plain.biased(p=2.0, q=0.5)


def per_step(sampler, count, threads, **kind):
    sampler.walk_ids(0, min(count, 10_000), threads=threads, **kind)  # pages of the graph touched once
    start = time.perf_counter()
    ids, offsets = sampler.walk_ids(10**9, 10**9 + count, threads=threads, **kind)
    seconds = time.perf_counter() - start
    ends = memoryview(offsets)
    steps = ends[-1] - 2 * (len(ends) - 1)  # path form: two nodes and the steps
    return seconds / steps * 1e9


results = {}
for threads in (1, 2):
    results[f"80 steps, {threads}t"] = per_step(plain, walks // 4, threads, length=80)
    results[f"short, {threads}t"] = per_step(plain, walks, threads)
    results[f"short mid, {threads}t"] = per_step(plain, walks, threads, position="mid")
    results[f"node2vec 80 steps, {threads}t"] = per_step(node2vec, walks // 40, threads, length=80)
print(json.dumps(results))
"""


def run_build(directory: str, graph: str, walks: int) -> dict:
    env = dict(os.environ)
    if directory != "installed":
        env["PYTHONPATH"] = os.path.abspath(directory) + os.pathsep + env.get("PYTHONPATH", "")
    done = subprocess.run([sys.executable, "-c", MEASURE, graph, str(walks)], env=env, check=True,
                          capture_output=True, text=True)
    return json.loads(done.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("graph")
    parser.add_argument("builds", nargs="+", help="NAME=DIR")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--walks", type=int, default=200_000, help="short walks per measure")
    args = parser.parse_args()
    builds = dict(build.split("=", 1) for build in args.builds)
    runs: dict[str, list[dict]] = {name: [] for name in builds}
    for _ in range(args.runs):
        for name, directory in builds.items():
            runs[name].append(run_build(directory, args.graph, args.walks))
    print(f"CPU: {cpu_label()}; {os.path.basename(args.graph)}; ns per step, medians of {args.runs}")
    measures = list(next(iter(runs.values()))[0])
    print(f"{'measure':<26}" + "".join(f"{name:>14}" for name in builds))
    for measure in measures:
        cells = [statistics.median(run[measure] for run in runs[name]) for name in builds]
        print(f"{measure:<26}" + "".join(f"{cell:>14.1f}" for cell in cells))
    for name in builds:
        one = statistics.median(run["80 steps, 1t"] for run in runs[name])
        two = statistics.median(run["80 steps, 2t"] for run in runs[name])
        print(f"{name}: two threads {one / two:.2f}x one (80 steps)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
