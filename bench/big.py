"""The --big measures of the benchmark suite: one synthetic graph of the size
of Wikidata5M (2*10^7 triples), measured in every way a corpus can be made
from it, and the memory per triple that docs/scaling.md projects from.

    python bench/run.py --big     # about 10 minutes and 4 GiB here; writes bench/out/results-big.json
"""

from __future__ import annotations

import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
DASK_SCRIPT = HERE.parent / "examples" / "dask_walks.py"
TRIPLES = 2 * 10**7
PROJECTED_TRIPLES = 10**9
CORPUS_WALKS = 10**7


def dask_seconds(snapshot: str, walks: int, shard: int, workers: int, out: Path) -> float:
    """Wall time of examples/dask_walks.py on a LocalCluster, start to finish."""
    shutil.rmtree(out, ignore_errors=True)
    start = time.perf_counter()
    subprocess.run([sys.executable, str(DASK_SCRIPT), snapshot, "-o", str(out), "--count", str(walks),
                    "--shard", str(shard), "--workers", str(workers), "--quiet"], check=True, capture_output=True)
    seconds = time.perf_counter() - start
    shutil.rmtree(out, ignore_errors=True)
    return seconds


def dask_measure(snapshot: str, runs: int, walks: int, out: Path) -> dict:
    """The script's walks/s net of its fixed cost (start-up, LocalCluster,
    snapshot loads), which a run of no walks measures."""
    totals, fixed = [], []
    for _ in range(runs):
        totals.append(dask_seconds(snapshot, walks, 10**6, 2, out))
        fixed.append(dask_seconds(snapshot, 0, 10**6, 2, out))
    total, overhead = statistics.median(totals), statistics.median(fixed)
    return {"walks": walks, "workers": 2, "shard": 10**6, "seconds": total, "fixed_seconds": overhead,
            "walks_per_s": walks / total, "walks_per_s_net": walks / max(total - overhead, 1e-9)}


def measure(name: str, path: str, runs: int, out: Path) -> dict:
    import corpus
    import many_walks
    import vantrel
    from common import construct_once

    import snapshot

    print("# big: construction", file=sys.stderr, flush=True)
    constructions = [construct_once("vantrel", path) for _ in range(runs)]
    print("# big: snapshot", file=sys.stderr, flush=True)
    snapshots = snapshot.measure(name, path, runs, out / "snapshot")
    print("# big: walks", file=sys.stderr, flush=True)
    walks = many_walks.measure([(name, path)], runs, walks=10**6, with_grape=False)[name]
    print("# big: corpus files", file=sys.stderr, flush=True)
    corpus_dir = Path("/dev/shm") if Path("/dev/shm").is_dir() else out
    corpus_dir = corpus_dir / f"vantrel-bench-big-{os.getpid()}"
    try:
        files = corpus.measure([(name, path)], runs, CORPUS_WALKS, corpus_dir, with_main_job_before=False)[name]
        print("# big: dask", file=sys.stderr, flush=True)
        snap = out / "big.snap"
        vantrel.PathSampler(path, many_walks.MEAN, many_walks.CAP, 0).save(snap)
        try:
            dask = dask_measure(str(snap), runs, CORPUS_WALKS, corpus_dir / "dask")
        finally:
            snap.unlink()
    finally:
        shutil.rmtree(corpus_dir, ignore_errors=True)
    construction = {key: statistics.median(c[key] for c in constructions) for key in constructions[0]}
    return {"graph": name, "file_bytes": os.path.getsize(path), "construction": construction,
            "snapshot": snapshots, "walks": walks, "corpus": files, "dask": dask}


def render(result: dict) -> str:
    c, s = result["construction"], result["snapshot"]
    triples = c["triples"]
    per_triple = {
        "triple file": result["file_bytes"] / triples,
        "construction, peak above the interpreter": (c["peak_mib"] - c["baseline_mib"]) * 2**20 / triples,
        "constructed graph, retained": c["retained_mib"] * 2**20 / triples,
        "snapshot": s["snapshot_bytes_per_triple"],
    }
    lines = [f"{result['graph']}: {triples:,} triples; construct {c['seconds']:.2f} s, "
             f"save {s['save_seconds']:.2f} s, load {s['load_seconds']:.3f} s "
             f"({s['load_seconds'] / c['seconds']:.1%} of construct); "
             f"Pss of 1 and 4 processes walking one snapshot {s['pss_one_mib']:.0f} and {s['pss_four_mib']:.0f} MiB.",
             "", f"| memory | bytes per triple | at {triples:.0e} triples | projected at {PROJECTED_TRIPLES:.0e} |",
             "|---|---|---|---|"]
    for label, value in per_triple.items():
        lines.append(f"| {label} | {value:.1f} | {value * triples / 2**30:.2f} GiB | "
                     f"{value * PROJECTED_TRIPLES / 2**30:.0f} GiB |")
    lines += ["", "Walks (mean 4, cap 10): walk_ids and walks over 10^6 walks, write_walks (tsv, to tmpfs) and the "
              "Dask example over 10^7 unless said.", "", "| walks | rate |", "|---|---|"]
    for label, entry in result["walks"].items():
        lines.append(f"| {label} | {entry['median'] / 1e6:.2f}M |")
    for label, entry in result["corpus"].items():
        lines.append(f"| {label} (walks/s) | {entry['walks_per_s'] / 1e6:.2f}M |")
    d = result["dask"]
    written = result["corpus"]["write_walks, 2 threads"]
    lines.append(f"| examples/dask_walks.py, LocalCluster of {d['workers']} processes, shards of {d['shard']:,} "
                 f"(walks/s; net of its {d['fixed_seconds']:.1f} s start-up) | "
                 f"{d['walks_per_s'] / 1e6:.2f}M ({d['walks_per_s_net'] / 1e6:.2f}M) |")
    lines.append(f"\nA walk takes {written['bytes'] / CORPUS_WALKS:.1f} bytes of tsv.")
    return "\n".join(lines)
