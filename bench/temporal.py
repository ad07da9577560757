"""Time-respecting walks against today's: ns per step of walk_ids on one
thread (items="nodes", 80-step walks and the default short ones), uniform
and temporal samplers taking turns in one process, medians; the time
index's bytes; and reading ICEWS18's files with and without time_column=3.

    python bench/temporal.py [--runs 5] [--big wd5m.vsnap]

--big: a snapshot of bench/generate_kg.py's Wikidata5M-shaped graph, given
random integer times (0 to 10^6) here.
"""

from __future__ import annotations

import argparse
import gc
import statistics
import time

import numpy as np
import vantrel
from common import SHARED_DATA, rss_mib
from kernel import cpu_label

TEMPORAL = SHARED_DATA / "temporal"


def ns_per_step(sampler, walks: int, length: int | None) -> float:
    start = time.perf_counter()
    ids, offsets = sampler.walk_ids(0, walks, threads=1, items="nodes", length=length)
    seconds = time.perf_counter() - start
    offsets = np.asarray(offsets)
    steps = int(offsets[-1]) - (len(offsets) - 1)
    return seconds * 1e9 / steps


def compare(name: str, samplers: dict, walks: int, runs: int) -> None:
    print(name)
    for label, length in (("80 steps", 80), ("short (mean 4, cap 10)", None)):
        times = {key: [] for key in samplers}
        for _ in range(runs):
            for key, sampler in samplers.items():  # in turn, so that the machine's drift hits each alike
                times[key].append(ns_per_step(sampler, walks if length is None else walks // 10, length))
        base = statistics.median(times["uniform"])
        for key, values in times.items():
            median = statistics.median(values)
            print(f"  {label:<24} {key:<26} {median:7.1f} ns/step  {median / base:5.2f}x "
                  f"(min {min(values):.1f}, max {max(values):.1f})")


def samplers_of(sampler, times) -> dict:
    return {
        "uniform": sampler,
        "temporal forward": sampler.temporal(times),
        "temporal forward, decay": sampler.temporal(times, decay=float(np.std(times)) / 10 or 1.0),
        "temporal backward, window": sampler.temporal(times, direction="backward", window=float(np.ptp(times)) / 4),
    }


def index_bytes(sampler, times) -> None:
    """What making a time sampler adds to the process, per entry (a triple
    is two entries): its index, and the sampler's own copy of the times."""
    entries = 2 * sampler.data_size
    for label, options in (("uniform", {}), ("with a decay", {"decay": 1.0})):
        gc.collect()
        before = rss_mib()
        timed = sampler.temporal(times, **options)
        grown = (rss_mib() - before) * 2**20
        print(f"  time sampler {label}: {grown / 2**20:,.0f} MiB resident growth, {grown / entries:.1f} bytes an "
              f"entry ({entries:,} entries at 32-bit ids; the times' copy is 4 of them)")
        del timed


def reading(runs: int) -> None:
    files = [str(TEMPORAL / "icews18" / name) for name in ("valid.txt", "test.txt")]
    seconds = {"without times": [], "time_column=3": []}
    for _ in range(runs):
        for key in seconds:
            options = {"time_column": 3} if key == "time_column=3" else {}
            start = time.perf_counter()
            sampler = vantrel.PathSampler.read(files, 4.0, 10, 0, format="tsv", **options)
            seconds[key].append(time.perf_counter() - start)
    triples = sampler.data_size
    base = statistics.median(seconds["without times"])
    print(f"reading ICEWS18 valid + test ({triples:,} triples; without times the padded labels stay as written)")
    for key, values in seconds.items():
        median = statistics.median(values)
        print(f"  {key:<16} {triples / median / 1e6:6.2f} M triples/s  {base / median:5.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--big", help="snapshot of the Wikidata5M-shaped graph")
    parser.add_argument("--big-only", action="store_true", help="skip YAGO and ICEWS18")
    args = parser.parse_args()
    print(f"CPU: {cpu_label()}")
    if (TEMPORAL / "yago").is_dir() and not args.big_only:
        yago = vantrel.PathSampler.read(str(TEMPORAL / "yago" / "train.txt"), 4.0, 10, 0, format="tsv",
                                        time_column=3)
        times = np.asarray(yago.triple_times())
        compare(f"YAGO train ({yago.data_size:,} triples, years 0 to 188)", samplers_of(yago, times), 200_000,
                args.runs)
        index_bytes(yago, times)
        reading(args.runs)
    if args.big:
        big = vantrel.PathSampler.load(args.big, 4.0, 10, 0)
        times = np.random.default_rng(0).integers(0, 10**6, big.data_size)
        compare(f"{args.big} ({big.data_size:,} triples, random integer times)", samplers_of(big, times), 1_000_000,
                args.runs)
        index_bytes(big, times)


if __name__ == "__main__":
    main()
