"""The many-walks measures of the benchmark suite: sample_paths against a
loop of sample_path, walks by number as ids on one and two threads, as str
lists on two threads, and GRAPE's id walks beside them when it is installed."""

from __future__ import annotations

import importlib.util
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

from common import call_rate

HERE = Path(__file__).resolve().parent
MEAN, CAP = 4.0, 10


def vantrel_measures(path: str, walks: int, with_stream: bool) -> dict:
    """name -> a function that runs the measure once and returns its rate."""
    import vantrel

    sampler = vantrel.PathSampler(path, MEAN, CAP, 0)

    def id_steps(result):
        return len(result[0]) - 2 * walks

    def str_steps(result):
        return sum(len(walk) for walk in result) - 2 * walks

    measures = {
        "walk_ids, 1 thread (steps/s)": lambda: call_rate(lambda: sampler.walk_ids(0, walks, threads=1), id_steps),
        "walk_ids, 2 threads (steps/s)": lambda: call_rate(lambda: sampler.walk_ids(0, walks, threads=2), id_steps),
        "walks (str), 2 threads (steps/s)": lambda: call_rate(lambda: sampler.walks(0, walks, threads=2), str_steps),
    }
    if with_stream:
        batch = 10_000
        measures["sample_path() loop (walks/s)"] = lambda: call_rate(
            lambda: [sampler.sample_path() for _ in range(batch)], len)
        measures["sample_paths(10_000) (walks/s)"] = lambda: call_rate(lambda: sampler.sample_paths(batch), len)
    return measures


def grape_rates(path: str, walks: int, runs: int, threads: int | None) -> list[float]:
    env = dict(os.environ)
    if threads is None:
        env.pop("RAYON_NUM_THREADS", None)
    else:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, str(HERE / "grape_walks.py"), path, str(walks), str(runs)], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])["steps_per_s"]


def measure(graphs: list[tuple[str, str]], runs: int, walks: int, with_grape: bool) -> dict:
    """Medians per graph and measure; repetitions go round-robin over all
    measures, GRAPE's among them, so that a slow spell of the machine does
    not fall on one side only."""
    jobs = []
    grape = with_grape and importlib.util.find_spec("grape") is not None
    for index, (name, path) in enumerate(graphs):
        for label, run in vantrel_measures(path, walks, with_stream=index == 0).items():
            jobs.append((name, label, run, []))
        if grape:
            for threads, label in ((1, "GRAPE, 1 thread (steps/s)"), (None, "GRAPE, all cores (steps/s)")):
                jobs.append((name, label, lambda path=path, threads=threads: grape_rates(path, walks, 1, threads)[0],
                             []))
    for _ in range(runs):
        for _, _, run, rates in jobs:
            rates.append(run())
    results: dict = {}
    for name, label, _, rates in jobs:
        results.setdefault(name, {})[label] = {"median": statistics.median(rates), "min": min(rates),
                                               "max": max(rates)}
    return results


def render(results: dict) -> str:
    labels = []
    for by_label in results.values():
        labels += [label for label in by_label if label not in labels]
    lines = ["| graph | " + " | ".join(labels) + " |", "|---|" + "---|" * len(labels)]
    for name, by_label in results.items():
        cells = [f"{by_label[label]['median'] / 1e6:.2f}M" if label in by_label else "" for label in labels]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines)
