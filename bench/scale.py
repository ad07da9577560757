"""A graph of Wikidata5M's shape (4.8*10^6 nodes, 2.1*10^7 triples, 822
relations, hubs of 10^6 edges and more) beside the 10^7-triple synthetic
graph: construction time and memory, walks by number, snapshots.

    python bench/scale.py            # about 10 minutes and 6 GiB here
    python bench/scale.py --quick    # tiny sizes, as CI runs it

Graphs are made by bench/generate_kg.py (kept in --out/data); constructions,
saves and loads each run in a fresh process. Prints a Markdown table and
writes results-scale.json.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import statistics
import subprocess
import sys

import many_walks
import run
from common import HERE, construct_once

import snapshot


def graph_file(out: pathlib.Path, triples: int, shape: str) -> str:
    path = out / "data" / (f"wd5m-shape-{triples}.tsv" if shape == "wikidata5m" else f"zipf-{triples}.tsv")
    if not path.is_file():
        path.parent.mkdir(parents=True, exist_ok=True)
        flags = ["--wikidata5m"] if shape == "wikidata5m" else []
        subprocess.run([sys.executable, str(HERE / "generate_kg.py"), *flags, str(triples), str(path)], check=True)
    return str(path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny graphs and one run, for CI")
    parser.add_argument("--runs", type=int, help="repetitions per measure (default 3, quick 1)")
    parser.add_argument("--out", default=str(HERE / "out"), help="folder for data and results")
    args = parser.parse_args()
    out = pathlib.Path(args.out)
    runs = args.runs or (1 if args.quick else 3)
    scale = 1000 if args.quick else 1
    graphs = [("synthetic 1e7", graph_file(out, 10**7 // scale, "zipf")),
              ("Wikidata5M shape", graph_file(out, 21 * 10**6 // scale, "wikidata5m"))]

    results = {"machine": run.machine(runs), "graphs": {}}
    constructions = {name: [] for name, _ in graphs}
    for repetition in range(runs):  # round-robin, so that a slow spell touches both graphs
        print(f"# construction, run {repetition + 1} of {runs}", file=sys.stderr, flush=True)
        for name, path in graphs:
            constructions[name].append(construct_once("vantrel", path))
    print("# walks", file=sys.stderr, flush=True)
    walks = many_walks.measure(graphs, runs, walks=10**6 // scale, with_grape=False)
    for name, path in graphs:
        print(f"# snapshots of {name}", file=sys.stderr, flush=True)
        done = constructions[name]
        entry = {key: statistics.median(c[key] for c in done) for key in done[0]}
        entry["nodes"] = node_count(path)
        entry["walks"] = {label: value["median"] for label, value in walks[name].items()}
        entry["snapshot"] = snapshot.measure(name, path, runs, out / "snapshot")
        results["graphs"][name] = entry
    (out / "results-scale.json").write_text(json.dumps(results, indent=2))
    print(render(results))
    return 0


def node_count(path: str) -> int:
    import vantrel

    return vantrel.PathSampler(path, 4.0, 10, 0).node_count


def render(results: dict) -> str:
    lines = [run.render_machine(results["machine"]), "",
             "| graph | triples | nodes | construct (s) | peak above the interpreter (MiB) | retained (MiB) | "
             "walk_ids, 1 thread (steps/s) | walk_ids, 2 threads (steps/s) | walks (str), 2 threads (steps/s) | "
             "save (s) | load (s) | load / construct | snapshot bytes/triple |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for name, g in results["graphs"].items():
        w, s = g["walks"], g["snapshot"]
        lines.append(
            f"| {name} | {g['triples']:,} | {g['nodes']:,} | {g['seconds']:.2f} | "
            f"{g['peak_mib'] - g['baseline_mib']:.0f} | "
            f"{g['retained_mib']:.0f} | {w['walk_ids, 1 thread (steps/s)'] / 1e6:.2f}M | "
            f"{w['walk_ids, 2 threads (steps/s)'] / 1e6:.2f}M | {w['walks (str), 2 threads (steps/s)'] / 1e6:.2f}M | "
            f"{s['save_seconds']:.2f} | {s['load_seconds']:.3f} | {s['load_seconds'] / g['seconds']:.1%} | "
            f"{s['snapshot_bytes_per_triple']:.1f} |")
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
