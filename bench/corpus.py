"""The corpus measures of the benchmark suite: write_walks against the main
job as it stood before it, and the memory that writing takes.

    python bench/corpus.py --child GRAPH WALKS THREADS OUT   # one write_walks, as JSON

Each write runs in a fresh process, so that its peak resident memory (reset
after the graph is built) is its own; the file goes to a directory in the
page cache (warm: the same file is rewritten on every run).
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
MEAN, CAP = 4.0, 10


def child(graph: str, walks: int, threads: int, out: str) -> None:
    import vantrel
    from common import status_mib

    sampler = vantrel.PathSampler(graph, MEAN, CAP, 0)
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # resets the peak resident memory to the current one
    before = status_mib("VmRSS")
    start = time.perf_counter()
    written, tokens = sampler.write_walks(out, 0, walks, threads=threads)
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "walks": written, "tokens": tokens, "bytes": os.path.getsize(out),
                      "peak_above_graph_mib": status_mib("VmHWM") - before}))


def write_once(graph: str, walks: int, threads: int, out: Path) -> dict:
    out.unlink(missing_ok=True)  # a new file each time, as a fresh corpus is
    result = subprocess.run([sys.executable, __file__, "--child", graph, str(walks), str(threads), str(out)],
                            check=True, capture_output=True, text=True)
    return json.loads(result.stdout.splitlines()[-1])


def main_job_before_once(graph: str, walks: int, out: Path) -> float:
    start = time.perf_counter()
    subprocess.run([sys.executable, str(HERE / "main_job_before.py"), graph, "--count", str(walks), "--mean", str(MEAN),
                    "--max", str(CAP), "-o", str(out), "--no-progress"], check=True, capture_output=True)
    return walks / (time.perf_counter() - start)


def measure(graphs: list[tuple[str, str]], runs: int, walks: int, out_dir: Path,
            with_main_job_before: bool = True) -> dict:
    """write_walks on 1 and 2 threads for every graph, and the main job before
    it on the first graph (a tenth of the walks: it is slow); memory at
    walks / 10 and walks. Repetitions go round-robin over all measures."""
    out_dir.mkdir(parents=True, exist_ok=True)
    jobs = []
    for index, (name, path) in enumerate(graphs):
        for threads in (1, 2):
            jobs.append((name, f"write_walks, {threads} thread{'s' if threads > 1 else ''}",
                         lambda p=path, t=threads: write_once(p, walks, t, out_dir / "corpus.tsv")))
        jobs.append((name, f"write_walks, 2 threads, {walks // 10:,} walks",
                     lambda p=path: write_once(p, walks // 10, 2, out_dir / "corpus.tsv")))
        if index == 0 and with_main_job_before:
            jobs.append((name, "main job before write_walks",
                         lambda p=path: {"rate": main_job_before_once(p, max(1, walks // 10), out_dir / "old.tsv")}))
    results: dict = {}
    for _ in range(runs):
        for name, label, run, in jobs:
            results.setdefault(name, {}).setdefault(label, []).append(run())
    summary: dict = {}
    for name, by_label in results.items():
        for label, outcomes in by_label.items():
            rates = [o["rate"] if "rate" in o else o["walks"] / o["seconds"] for o in outcomes]
            entry = {"walks_per_s": statistics.median(rates)}
            if "peak_above_graph_mib" in outcomes[0]:
                entry["peak_above_graph_mib"] = max(o["peak_above_graph_mib"] for o in outcomes)
                entry["bytes"] = outcomes[0]["bytes"]
            summary.setdefault(name, {})[label] = entry
    return summary


def render(summary: dict) -> str:
    lines = ["| graph | measure | walks/s | peak memory while writing (MiB, above the graph) |", "|---|---|---|---|"]
    for name, by_label in summary.items():
        for label, entry in by_label.items():
            peak = entry.get("peak_above_graph_mib")
            lines.append(f"| {name} | {label} | {entry['walks_per_s'] / 1e6:.2f}M | "
                         f"{'' if peak is None else f'{peak:.0f}'} |")
    return "\n".join(lines)


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
        sys.exit(0)
    sys.exit("run through bench/run.py, or with --child")
