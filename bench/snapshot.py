"""The snapshot measures of the benchmark suite: build against load, save,
the file's size, and the memory of processes that share one snapshot.

    python bench/snapshot.py --child-load SNAPSHOT         # one load, as JSON
    python bench/snapshot.py --child-save GRAPH SNAPSHOT   # one build and save, as JSON
    python bench/snapshot.py --child-share SNAPSHOT        # load, walk, report Pss on request

Every measure runs in a fresh process; loads are page-cache warm (the file
was just written or read).
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


def pss_mib() -> float:
    with open("/proc/self/smaps_rollup") as rollup:
        for line in rollup:
            if line.startswith("Pss:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def child_load(snapshot: str) -> None:
    import vantrel

    start = time.perf_counter()
    sampler = vantrel.PathSampler.load(snapshot, 4.0, 10, 0)
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "triples": sampler.data_size}))


def child_save(graph: str, snapshot: str) -> None:
    import vantrel
    from common import rss_mib

    before = rss_mib()
    sampler = vantrel.PathSampler(graph, 4.0, 10, 0)
    retained = rss_mib() - before
    start = time.perf_counter()
    sampler.save(snapshot)
    print(json.dumps({"seconds": time.perf_counter() - start, "retained_mib": retained,
                      "triples": sampler.data_size}))


def child_share(snapshot: str) -> None:
    """Loads and walks (touching the graph), says so, and reports its Pss once told to."""
    import vantrel

    sampler = vantrel.PathSampler.load(snapshot, 4.0, 10, 0)
    sampler.walk_ids(0, 200_000, threads=1)
    print("ready", flush=True)
    sys.stdin.readline()
    print(json.dumps({"pss_mib": pss_mib()}), flush=True)
    sys.stdin.readline()  # stays, mapping the snapshot, until every process has measured


def run_child(*args: str) -> dict:
    out = subprocess.run([sys.executable, __file__, *args], check=True, capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])


def shared_pss(snapshot: str, processes: int) -> float:
    """The combined Pss of `processes` processes that walk one snapshot at the same time."""
    children = [subprocess.Popen([sys.executable, __file__, "--child-share", snapshot], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True) for _ in range(processes)]
    for child in children:
        assert child.stdout.readline().strip() == "ready"
    for child in children:
        child.stdin.write("go\n")
        child.stdin.flush()
    total = sum(json.loads(child.stdout.readline())["pss_mib"] for child in children)
    for child in children:
        child.stdin.write("exit\n")
        child.stdin.flush()
        child.wait()
    return total


def measure(name: str, graph: str, runs: int, out_dir: Path) -> dict:
    out_dir.mkdir(parents=True, exist_ok=True)
    snapshot = str(out_dir / "graph.snap")
    saves, loads = [], []
    for _ in range(runs):
        saves.append(run_child("--child-save", graph, snapshot))
        loads.append(run_child("--child-load", snapshot))
    one, four = shared_pss(snapshot, 1), shared_pss(snapshot, 4)
    triples = saves[0]["triples"]
    result = {"graph": name, "triples": triples,
              "save_seconds": statistics.median(s["seconds"] for s in saves),
              "load_seconds": statistics.median(load["seconds"] for load in loads),
              "snapshot_bytes_per_triple": os.path.getsize(snapshot) / max(triples, 1),
              "retained_bytes_per_triple":
                  statistics.median(s["retained_mib"] for s in saves) * 2**20 / max(triples, 1),
              "pss_one_mib": one, "pss_four_mib": four}
    os.unlink(snapshot)
    return result


def render(result: dict, construct_seconds: float | None) -> str:
    lines = ["| graph | construct (s) | load (s) | load / construct | save (s) | snapshot bytes/triple | "
             "constructed, retained bytes/triple | Pss, 1 process (MiB) | Pss, 4 processes (MiB) | ratio |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    ratio = f"{result['load_seconds'] / construct_seconds:.1%}" if construct_seconds else ""
    lines.append(f"| {result['graph']} | {construct_seconds or 0:.2f} | {result['load_seconds']:.3f} | {ratio} | "
                 f"{result['save_seconds']:.2f} | {result['snapshot_bytes_per_triple']:.1f} | "
                 f"{result['retained_bytes_per_triple']:.1f} | {result['pss_one_mib']:.0f} | "
                 f"{result['pss_four_mib']:.0f} | {result['pss_four_mib'] / result['pss_one_mib']:.2f}× |")
    return "\n".join(lines)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child-load":
        child_load(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "--child-save":
        child_save(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] == "--child-share":
        child_share(sys.argv[2])
    else:
        sys.exit("run through bench/run.py, or with --child-load, --child-save or --child-share")
