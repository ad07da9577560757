"""The walk kernel's measures, side by side in one run: walks by number on
WN18RR (one cold call on two threads, warm calls on one and two) on every
ChaCha20 kernel this CPU runs, against GRAPE's random walks and against the
floor of bench/walk_floor.cpp (the keystream and draws alone); the
sample_path() loop; walks on a restricted graph against its parent's;
write_walks to tmpfs; a snapshot's load against the graph's construction.

    python3 bench/kernel.py [--quick] [--runs 5] [--baseline [NAME=]DIR ...] [--floor BIN]

Every figure is the median of --runs fresh processes, the builds and
measures taking turns so that a slow spell falls on all of them.
--baseline: a directory holding another vantrel, measured beside this one:
one built from an earlier commit (`pip install --target DIR .` on a
checkout of it), or a wheel unpacked (`python -m zipfile -e WHEEL DIR`);
repeatable, each named NAME (default "baseline"). --floor: the vantrel_walk_floor binary (cmake -DVANTREL_BUILD_BENCH=ON
-DVANTREL_BUILD_MODULE=OFF, target vantrel_walk_floor); without it the
floor is left out. GRAPE (pip install grape) is left out when absent.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import time

from common import HERE, ROOT, SHARED_DATA

MEAN, CAP = 4.0, 10
KERNELS = ["portable", "vector128", "avx2", "avx512"]
TMPFS = pathlib.Path("/dev/shm") if pathlib.Path("/dev/shm").is_dir() else pathlib.Path(tempfile.gettempdir())


def cpu_label() -> str:
    """The CPU's model, family and model numbers, and widest vector unit."""
    fields = {}
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                key, _, value = line.partition(":")
                fields.setdefault(key.strip(), value.strip())
    except OSError:
        return "unknown CPU"
    flags = set(fields.get("flags", fields.get("Features", "")).split())
    width = next((name for name in ("avx512f", "avx2", "sse2", "asimd") if name in flags), "scalar")
    return (f"{fields.get('model name', 'unknown')} (family {fields.get('cpu family', '?')} model "
            f"{fields.get('model', '?')}; widest vectors: {width}; {os.cpu_count()} cores)")


def child(measure: str, path: str, walks: int) -> dict:
    """Runs in a fresh process: one measure, as a dict of rates."""
    import vantrel

    sampler = vantrel.PathSampler(path, MEAN, CAP, 0)

    def timed(call):
        start = time.perf_counter()
        result = call()
        return time.perf_counter() - start, result

    if measure == "walk_ids":
        seconds, (ids, _) = timed(lambda: sampler.walk_ids(0, walks, threads=2))
        steps = len(ids) - 2 * walks
        one, _ = timed(lambda: sampler.walk_ids(0, walks, threads=1))
        two, _ = timed(lambda: sampler.walk_ids(0, walks, threads=2))
        return {"cold 2 threads": steps / seconds, "1 thread": steps / one, "2 threads": steps / two,
                "walks per s, 1 thread": walks / one}
    if measure == "sample_path":
        calls = walks // 10

        def loop():
            # Each walk dropped as it comes: a list of them all would have the
            # collector walk it again and again, and time that instead.
            for _ in range(calls):
                sampler.sample_path()

        seconds, _ = timed(loop)
        return {"calls per s": calls / seconds}
    if measure == "restricted":
        # The two most frequent relations (WN18RR's hypernym and derivation).
        counts: dict[str, int] = {}
        with open(path, encoding="utf-8") as lines:
            for line in lines:
                relation = line.split("\t")[1]
                counts[relation] = counts.get(relation, 0) + 1
        relations = sorted(counts, key=counts.get, reverse=True)[:2]
        restricted = sampler.restrict(exclude_relations=relations, direction="forward")
        restricted.walk_ids(0, walks // 10, threads=2)
        parent, _ = timed(lambda: sampler.walk_ids(0, walks, threads=2))
        child_s, _ = timed(lambda: restricted.walk_ids(0, walks, threads=2))
        return {"parent walks per s": walks / parent, "restricted walks per s": walks / child_s,
                "ratio": parent / child_s}
    if measure == "write_walks":
        out = TMPFS / f"vantrel-bench-{os.getpid()}.tsv"
        try:
            seconds, _ = timed(lambda: sampler.write_walks(out, 0, walks, threads=2))
        finally:
            out.unlink(missing_ok=True)
        return {"walks per s": walks / seconds}
    if measure == "load":
        start = time.perf_counter()
        vantrel.PathSampler(path, MEAN, CAP, 0)
        construct = time.perf_counter() - start
        snapshot = TMPFS / f"vantrel-bench-{os.getpid()}.snap"
        try:
            sampler.save(snapshot)
            seconds, _ = timed(lambda: vantrel.PathSampler.load(snapshot, MEAN, CAP, 0))
        finally:
            snapshot.unlink(missing_ok=True)
        return {"load ms": 1e3 * seconds, "construction ms": 1e3 * construct, "share": seconds / construct}
    raise ValueError(measure)


def run_child(python_path: str | None, measure: str, path: str, walks: int, kernel: str | None = None) -> dict | None:
    env = dict(os.environ)
    if python_path:
        env["PYTHONPATH"] = python_path
    if kernel:
        env["VANTREL_CHACHA20_KERNEL"] = kernel
    run = subprocess.run([sys.executable, __file__, "--child", measure, path, str(walks)], env=env,
                         capture_output=True, text=True)
    if "names no ChaCha20 kernel this CPU runs" in run.stderr:
        return None
    if run.returncode:
        raise RuntimeError(run.stderr)
    return json.loads(run.stdout)


def ranges_file(path: str, out: pathlib.Path) -> tuple[int, pathlib.Path]:
    """2^16 step draw ranges, at nodes taken in proportion to degree."""
    degree: dict[str, int] = {}
    ends = []
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            head, _, tail = line.rstrip("\n").split("\t")
            for node in (head, tail):
                degree[node] = degree.get(node, 0) + 1
                ends.append(node)
    pick = random.Random(0)
    out.write_text("".join(f"{degree[pick.choice(ends)] - 1}\n" for _ in range(1 << 16)))
    return len(degree), out


def floor_rates(binary: str, walks: int, kernel: str, ranges: tuple[int, pathlib.Path]) -> dict | None:
    run = subprocess.run([binary, str(walks), str(MEAN), str(CAP), str(ranges[0]), str(ranges[1])],
                         env=dict(os.environ, VANTREL_CHACHA20_KERNEL=kernel), capture_output=True, text=True)
    if "names no ChaCha20 kernel this CPU runs" in run.stderr:
        return None
    if run.returncode:
        raise RuntimeError(run.stderr)
    rates = json.loads(run.stdout)
    if rates.pop("kernel") != kernel:  # a kernel this CPU does not run, replaced
        return None
    del rates["sink"]
    return rates


def grape_rates(path: str, walks: int, threads: int) -> float:
    out = subprocess.run([sys.executable, str(HERE / "grape_walks.py"), path, str(walks), "1"], check=True,
                         env=dict(os.environ, RAYON_NUM_THREADS=str(threads)), capture_output=True, text=True)
    return json.loads(out.stdout.splitlines()[-1])["steps_per_s"][0]


def medians(samples: list[dict | None]) -> dict | None:
    if not samples or samples[0] is None:
        return None
    return {key: statistics.median(sample[key] for sample in samples) for key in samples[0]}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiny sizes, so that the script cannot rot")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--baseline", action="append", default=[])
    parser.add_argument("--floor")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child[0], args.child[1], int(args.child[2]))))
        return 0

    wn18rr = SHARED_DATA / "wn18rr-train.tsv"
    with tempfile.TemporaryDirectory() as scratch:
        if args.quick or not wn18rr.is_file():
            path = str(pathlib.Path(scratch) / "kg.tsv")
            subprocess.run([sys.executable, str(HERE / "generate_kg.py"), "20000", path], check=True)
        else:
            path = str(wn18rr)
        synthetic = str(pathlib.Path(scratch) / "zipf.tsv")
        subprocess.run([sys.executable, str(HERE / "generate_kg.py"), "10000" if args.quick else "1000000",
                        synthetic], check=True)
        runs = 1 if args.quick else args.runs
        walks = 10**4 if args.quick else 2 * 10**6
        builds = {"this build": str(ROOT / "build" / "dev") if (ROOT / "build" / "dev").is_dir() else None}
        for baseline in args.baseline:
            name, _, directory = baseline.rpartition("=")
            builds[name or "baseline"] = directory
        with_grape = importlib.util.find_spec("grape") is not None and not args.quick
        ranges = ranges_file(path, pathlib.Path(scratch) / "ranges.txt") if args.floor else None

        samples: dict[tuple, list] = {}
        for _ in range(runs):
            for build, python_path in builds.items():
                # A baseline may predate VANTREL_CHACHA20_KERNEL: its own choice only.
                for kernel in KERNELS if build == "this build" else [None]:
                    samples.setdefault((build, "walk_ids", kernel or "its own kernel"), []).append(
                        run_child(python_path, "walk_ids", path, walks, kernel))
                for measure, graph, count in [("sample_path", path, walks), ("restricted", path, walks),
                                              ("write_walks", path, 5 * walks // 2), ("load", synthetic, 0)]:
                    samples.setdefault((build, measure, None), []).append(
                        run_child(python_path, measure, graph, count))
            if args.floor:
                for kernel in KERNELS:
                    samples.setdefault(("floor", "floor", kernel), []).append(
                        floor_rates(args.floor, walks, kernel, ranges))
            if with_grape:
                for threads in (1, 2):
                    samples.setdefault(("GRAPE", f"{threads} threads", None), []).append(
                        {"steps per s": grape_rates(path, walks, threads)})
        results = {" / ".join(str(part) for part in key if part): medians(value) for key, value in samples.items()}
    print(json.dumps({"cpu": cpu_label(), "graph": pathlib.Path(path).name, "walks": walks, "runs": runs,
                      "results": {key: value for key, value in results.items() if value is not None}}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
