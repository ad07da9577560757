"""vantrel benchmark suite: construction time and memory, sampling speed, and
the same measures for two pure-Python baselines, side by side.

    python bench/run.py             # the full suite (a few minutes; writes bench/out/)
    python bench/run.py --quick     # tiny sizes, as CI runs it
    python bench/run.py --big       # one graph of 2*10^7 triples, every measure (bench/big.py)

Prints a Markdown table and writes bench/out/results.json. Every figure is the
median of --runs repetitions; each construction runs in a fresh process so
that its peak resident memory is its own.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import threading
import time

import big
import corpus
import many_walks
from common import HERE, SHARED_DATA, construct_once, make_sampler

import snapshot

CONFIGS = [(4.0, 10), (20.0, 50)]


def sampling_stretch(sampler, seconds: float, min_calls: int = 3) -> tuple[float, float]:
    """Calls/s and steps/s over one stretch of about `seconds` (and at least `min_calls` calls)."""
    call = sampler.sample_path
    calls = steps = 0
    start = time.perf_counter()
    while True:
        for _ in range(64 if calls >= min_calls else 1):
            steps += len(call()) - 2
            calls += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds and calls >= min_calls:
            return calls / elapsed, steps / elapsed


def summary(values: list[float]) -> dict:
    return {"median": statistics.median(values), "min": min(values), "max": max(values), "runs": len(values)}


def same_walks(path: str, walks: int = 50) -> bool:
    for mean, cap in CONFIGS:
        ours = make_sampler("vantrel", path, mean, cap, seed=7)
        port = make_sampler("exact", path, mean, cap, seed=7)
        if any(ours.sample_path() != port.sample_path() for _ in range(walks)):
            return False
    return True


def lock_release_demo(path: str) -> dict:
    """How far a second Python thread gets while vantrel loads `path`."""
    import vantrel

    def spin(stop: threading.Event, counter: list) -> None:
        while not stop.is_set():
            counter[0] += 1

    def rate(work) -> tuple[float, float]:
        stop, counter = threading.Event(), [0]
        thread = threading.Thread(target=spin, args=(stop, counter))
        thread.start()
        start = time.perf_counter()
        work()
        elapsed = time.perf_counter() - start
        stop.set()
        thread.join()
        return counter[0] / elapsed, elapsed

    idle_rate, _ = rate(lambda: time.sleep(1.0))
    load_rate, load_seconds = rate(lambda: vantrel.PathSampler(path, 4.0, 10, 0))
    return {"idle_iterations_per_s": idle_rate, "during_load_iterations_per_s": load_rate,
            "load_seconds": load_seconds, "share": load_rate / idle_rate}


def prepare_data(out: pathlib.Path, quick: bool) -> list[tuple[str, str, dict]]:
    """(name, path, what runs on it) for every graph of the suite."""
    data = out / "data"
    data.mkdir(parents=True, exist_ok=True)
    graphs = []
    small = {"naive": True, "exact": True}
    for name, file in [("WN18RR", "wn18rr-train.tsv"), ("FB15k-237 valid", "fb15k237-valid.tsv"),
                       ("CoDEx-M", "codex-m-train.tsv")]:
        if (SHARED_DATA / file).is_file():
            graphs.append((name, str(SHARED_DATA / file), {"naive": True, "exact": name != "CoDEx-M"}))
    sizes = [(10**4, "synthetic 1e4", small), (10**5, "synthetic 1e5", {"naive": True, "exact": False})] if quick \
        else [(10**6, "synthetic 1e6", {"naive": True, "exact": False}), (10**7, "synthetic 1e7", {})]
    for triples, name, baselines in sizes:
        graphs.append((name, synthetic_graph(out, triples), baselines))
    star_edges = 10**4 if quick else 10**6
    star = data / f"star-{star_edges}.tsv"
    if not star.is_file():
        subprocess.run([sys.executable, str(HERE / "generate_kg.py"), "--star", str(star_edges), str(star)], check=True)
    graphs.append((f"star 1e{len(str(star_edges)) - 1}", str(star), {"naive": True, "exact": False}))
    return graphs


def job_key(job) -> tuple[str, str]:
    (name, _, _), kind = job
    return name, kind


def fmt(value: float, digits: int = 0) -> str:
    return f"{value:,.{digits}f}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes and two runs, for CI")
    parser.add_argument("--big", action="store_true",
                        help="only the 2*10^7-triple synthetic graph, measured every way (writes results-big.json)")
    parser.add_argument("--runs", type=int, help="repetitions per measure (default 5, quick 2, big 3)")
    parser.add_argument("--out", default=str(HERE / "out"), help="folder for data and results")
    args = parser.parse_args()
    out = pathlib.Path(args.out)
    if args.big:
        return run_big(out, args.runs or 3)
    runs = args.runs or (2 if args.quick else 5)
    stretch = 0.05 if args.quick else 0.3
    graphs = prepare_data(out, args.quick)

    import vantrel  # noqa: F401  (fails early when the module is not installed)

    results = {"machine": machine(runs), "graphs": []}
    # Repetitions go round-robin over all measures, so that a slow spell of
    # the machine touches one run of many measures rather than all runs of one.
    construction_jobs = [(g, kind) for g in graphs for kind in ("vantrel", "naive")
                         if kind == "vantrel" or g[2].get("naive")]
    constructions: dict = {job_key(job): [] for job in construction_jobs}
    for run in range(runs):
        print(f"# construction, run {run + 1} of {runs}", file=sys.stderr, flush=True)
        for (name, path, _), kind in construction_jobs:
            if kind == "naive" and run >= max(1, runs // 2):
                continue  # slow and only a reference
            constructions[(name, kind)].append(construct_once(kind, path))

    sampling_jobs = []
    for name, path, baselines in graphs:
        for mean, cap in CONFIGS:
            for kind in ("vantrel", "naive", "exact"):
                if kind == "vantrel" or baselines.get(kind):
                    sampler = make_sampler(kind, path, mean, cap)
                    sampler.sample_path()
                    sampling_jobs.append(((name, f"mean {mean:g} cap {cap}", kind), sampler, []))
    for run in range(runs):
        print(f"# sampling, run {run + 1} of {runs}", file=sys.stderr, flush=True)
        for key, sampler, stretches in sampling_jobs:
            if key[2] != "vantrel" and run >= max(1, runs // 2):
                continue
            stretches.append(sampling_stretch(sampler, stretch))

    for name, path, baselines in graphs:
        entry = {"name": name, "path": path, "construction": {}, "sampling": {}}
        for kind in ("vantrel", "naive"):
            done = constructions.get((name, kind))
            if done:
                entry["construction"][kind] = {key: summary([d[key] for d in done]) for key in done[0]}
        for (graph, config, kind), _, stretches in sampling_jobs:
            if graph == name:
                entry["sampling"].setdefault(config, {})[kind] = {
                    "calls_per_s": summary([c for c, _ in stretches]),
                    "steps_per_s": summary([st for _, st in stretches])}
        if baselines.get("exact"):
            entry["same_walks_as_exact_port"] = same_walks(path)
        results["graphs"].append(entry)
    del sampling_jobs
    largest = max(graphs, key=lambda g: os.path.getsize(g[1]))
    results["lock_release"] = {"graph": largest[0], **lock_release_demo(largest[1])}


    print("# many walks", file=sys.stderr, flush=True)
    wanted = ("WN18RR", "synthetic 1e6", "star 1e6") if not args.quick else ("synthetic 1e4", "star 1e4")
    results["many_walks"] = many_walks.measure([(name, path) for name, path, _ in graphs if name in wanted], runs,
                                               walks=10**4 if args.quick else 10**6, with_grape=not args.quick)


    print("# snapshots", file=sys.stderr, flush=True)
    snapshot_graph = "synthetic 1e5" if args.quick else "synthetic 1e7"
    for name, path, _ in graphs:
        if name == snapshot_graph:
            results["snapshot"] = snapshot.measure(name, path, min(runs, 3), out / "snapshot")
            results["snapshot"]["construct_seconds"] = statistics.median(
                c["seconds"] for c in constructions[(name, "vantrel")])


    print("# corpus files", file=sys.stderr, flush=True)
    # Files in the page cache: tmpfs where there is one, so that the disk's
    # write-back speed does not enter the figures.
    corpus_dir = pathlib.Path("/dev/shm") if pathlib.Path("/dev/shm").is_dir() else out
    corpus_dir = corpus_dir / f"vantrel-bench-{os.getpid()}"
    wanted = ("WN18RR", "synthetic 1e7") if not args.quick else ("synthetic 1e4",)
    try:
        results["corpus"] = corpus.measure([(name, path) for name, path, _ in graphs if name in wanted],
                                           min(runs, 3), 10**3 if args.quick else 10**7, corpus_dir)
    finally:
        for leftover in corpus_dir.glob("*"):
            leftover.unlink()
        if corpus_dir.is_dir():
            corpus_dir.rmdir()

    (out / "results.json").write_text(json.dumps(results, indent=2))
    print(render(results))
    return 0


def synthetic_graph(out: pathlib.Path, triples: int) -> str:
    path = out / "data" / f"zipf-{triples}.tsv"
    if not path.is_file():
        path.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, str(HERE / "generate_kg.py"), str(triples), str(path)], check=True)
    return str(path)


def run_big(out: pathlib.Path, runs: int) -> int:

    path = synthetic_graph(out, big.TRIPLES)
    result = {"machine": machine(runs), **big.measure("synthetic 2e7", path, runs, out)}
    (out / "results-big.json").write_text(json.dumps(result, indent=2))
    print(render_machine(result["machine"]) + "\n\n" + big.render(result))
    return 0


def machine(runs: int) -> dict:
    return {"date": time.strftime("%Y-%m-%d"), "cpu": cpu_name(), "cores": os.cpu_count(),
            "python": platform.python_version(), "runs": runs}


def render_machine(m: dict) -> str:
    return (f"Measured {m['date']} on {m['cpu']}, {m['cores']} cores, Python {m['python']}; "
            f"medians of {m['runs']} runs.")


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def render(results: dict) -> str:
    m = results["machine"]
    lines = [render_machine(m), "",
             "| graph | triples | construct (s) | peak RSS (MiB) | retained (MiB) | naive construct (s) | speed-up |",
             "|---|---|---|---|---|---|---|"]
    def medians(measure: dict | None) -> dict | None:
        return {key: value["median"] for key, value in measure.items()} if measure else None

    for g in results["graphs"]:
        c = medians(g["construction"]["vantrel"])
        naive = medians(g["construction"].get("naive"))
        lines.append(f"| {g['name']} | {fmt(c['triples'])} | {c['seconds']:.3f} | {fmt(c['peak_mib'])} | "
                     f"{fmt(c['retained_mib'])} | {naive['seconds']:.3f} | {naive['seconds'] / c['seconds']:.0f}× |"
                     if naive else
                     f"| {g['name']} | {fmt(c['triples'])} | {c['seconds']:.3f} | {fmt(c['peak_mib'])} | "
                     f"{fmt(c['retained_mib'])} | | |")
    lines += ["", "| graph | mean, cap | calls/s | steps/s | ns/step | naive calls/s | speed-up | exact port calls/s |",
              "|---|---|---|---|---|---|---|---|"]
    for g in results["graphs"]:
        for config, by_kind in g["sampling"].items():
            v = medians(by_kind["vantrel"])
            naive, exact = medians(by_kind.get("naive")), medians(by_kind.get("exact"))
            lines.append(
                f"| {g['name']} | {config.replace('mean ', '').replace(' cap ', ', ')} | {fmt(v['calls_per_s'])} | "
                f"{fmt(v['steps_per_s'])} | {1e9 / v['steps_per_s']:.0f} | "
                + (f"{fmt(naive['calls_per_s'], 1)} | {v['calls_per_s'] / naive['calls_per_s']:,.0f}× | "
                   if naive else "| | ")
                + (f"{fmt(exact['calls_per_s'], 1)} |" if exact else "|"))
    checks = [g["name"] for g in results["graphs"] if g.get("same_walks_as_exact_port")]
    failed = [g["name"] for g in results["graphs"] if g.get("same_walks_as_exact_port") is False]
    lines += ["", f"Same walks as the exact port: {', '.join(checks) or 'not checked'}"
              + (f"; DIFFERENT on {', '.join(failed)}" if failed else "") + "."]
    lr = results["lock_release"]
    lines.append(f"While {lr['graph']} loaded ({lr['load_seconds']:.2f} s), a second Python thread ran at "
                 f"{lr['share']:.0%} of its idle speed.")
    if results.get("many_walks"):

        lines += ["", f"Many walks per call (mean {many_walks.MEAN:g}, cap {many_walks.CAP}; millions per second):", "",
                  many_walks.render(results["many_walks"])]
    if results.get("snapshot"):

        lines += ["", "Snapshots (load page-cache warm, checks included; Pss of processes walking one snapshot):", "",
                  snapshot.render(results["snapshot"], results["snapshot"]["construct_seconds"])]
    if results.get("corpus"):

        lines += ["", f"Corpus files, tsv, to a file in the page cache (mean {corpus.MEAN:g}, cap {corpus.CAP}):", "",
                  corpus.render(results["corpus"])]
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
