"""The walk kinds against today's walks, side by side in one process:
mid walks and walks without repeats on WN18RR (walks per second, medians of
alternating runs), and metapath steps on a star of 10^6 edges against a
hub-free graph of the same size (steps per second).

    python bench/walk_kinds.py [--runs 7] [--threads 2] [--quick]
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import tempfile
import time

from common import SHARED_DATA
from kernel import cpu_label


def rate(call, count) -> float:
    start = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - start
    value = count(result)
    del result
    return value / seconds


def walks_of(result) -> int:
    return len(memoryview(result[1])) - 1


def steps_of(result) -> int:
    offsets = memoryview(result[1])
    return offsets[-1] - (len(offsets) - 1)  # nodes form: k + 1 items for k steps


def compare(name: str, calls: dict, runs: int, count) -> dict:
    rates = {key: [] for key in calls}
    for _ in range(runs):
        for key, call in calls.items():  # alternating, so that the machine's drift hits each alike
            rates[key].append(rate(call, count))
    medians = {key: statistics.median(values) for key, values in rates.items()}
    base = next(iter(medians.values()))
    print(name)
    for key, value in medians.items():
        print(f"  {key:<28} {value / 1e6:8.3f} M/s   {value / base:5.2f}x")
    return medians


def star_and_flat(directory: str, edges: int) -> tuple[str, str]:
    """A star: hub 0 with `edges` edges to edges / 4 leaves, each leaf
    reached by two edges of relation a and two of b; and a hub-free graph of
    as many nodes and edges, a and b in turn."""
    star = os.path.join(directory, "star.tsv")
    flat = os.path.join(directory, "flat.tsv")
    leaves = edges // 4
    with open(star, "w") as out:
        out.writelines(f"hub\t{'ab'[k // leaves % 2]}\tleaf{k % leaves}\n" for k in range(edges))
    rng = random.Random(1)
    with open(flat, "w") as out:
        out.writelines(f"n{rng.randrange(leaves)}\t{'ab'[k % 2]}\tn{rng.randrange(leaves)}\n" for k in range(edges))
    return star, flat


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--star-edges", type=int, default=10**6)
    parser.add_argument("--quick", action="store_true", help="tiny sizes, so that the script cannot rot")
    args = parser.parse_args()
    if args.quick:
        args.runs, args.star_edges = 1, 10**4
    import vantrel

    print(f"CPU: {cpu_label()}; threads={args.threads}")
    wn18rr = SHARED_DATA / "wn18rr-train.tsv"
    if wn18rr.is_file():
        sampler = vantrel.PathSampler(str(wn18rr), 4.0, 8, 1)
        n = sampler.node_count
        t = args.threads
        compare(f"WN18RR ({n} entities), 10 walks per entity, full form, walks/s", {
            "start": lambda: sampler.walk_ids(0, 10 * n, start="each", items="full", threads=t),
            "mid": lambda: sampler.walk_ids(0, 10 * n, start="each", items="full", position="mid", threads=t),
            "unique": lambda: sampler.walk_ids(0, 10 * n, start="each", items="full", unique=True, threads=t),
            "mid + unique": lambda: sampler.walk_ids(0, 10 * n, start="each", items="full", position="mid",
                                                    unique=True, threads=t),
            "edges": lambda: sampler.walk_ids(0, 10 * n, start="each", items="edges", threads=t),
        }, args.runs, walks_of)
        compare("WN18RR, the same as lists of str (walks()), walks/s", {
            "start": lambda: sampler.walks(0, 10 * n, start="each", items="full", threads=t),
            "mid": lambda: sampler.walks(0, 10 * n, start="each", items="full", position="mid", threads=t),
        }, args.runs, len)
        with tempfile.TemporaryDirectory() as directory:
            target = os.path.join(directory, "w.txt")
            compare("WN18RR, the same as a words file, walks/s", {
                "start": lambda: sampler.write_walks(target, 0, 10 * n, start="each", items="full", threads=t,
                                                     format="words"),
                "unique": lambda: sampler.write_walks(target, 0, 10 * n, start="each", items="full", unique=True,
                                                      threads=t, format="words"),
            }, args.runs, lambda counts: 10 * n)
            kept = sampler.walk_ids(0, 10 * n, start="each", items="full", unique=True)
            print(f"  distinct: {walks_of(kept)} of {10 * n} walks")
    else:
        print(f"{wn18rr} is not present: WN18RR left out")
    with tempfile.TemporaryDirectory() as directory:
        star_path, flat_path = star_and_flat(directory, args.star_edges)
        star = vantrel.PathSampler(star_path, 20.0, 40, 1)
        flat = vantrel.PathSampler(flat_path, 20.0, 40, 1)
        pattern = ["a::-->", "b::<--"]
        star_path_sampler, flat_path_sampler = star.metapath(pattern), flat.metapath(pattern)
        walks = 200_000
        compare(f"metapath {pattern}, {args.star_edges} edges, nodes form, steps/s", {
            "hub-free, uniform": lambda: flat.walk_ids(0, walks, items="nodes", threads=args.threads),
            "hub-free, metapath": lambda: flat_path_sampler.walk_ids(0, walks, items="nodes", threads=args.threads),
            "star, metapath": lambda: star_path_sampler.walk_ids(0, walks, start=[0], items="nodes",
                                                                 threads=args.threads),
            "star, uniform": lambda: star.walk_ids(0, walks, start=[0], items="nodes", threads=args.threads),
        }, args.runs, steps_of)
        print(f"  index: 4 bytes per entry at 32-bit ids ({2 * args.star_edges} entries, "
              f"{8 * args.star_edges / 2**20:.1f} MiB)")


if __name__ == "__main__":
    main()
