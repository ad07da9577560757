"""The module on the stable ABI against the module built for one CPython:
the calls whose cost is in the binding, timed in fresh processes that
alternate between the two builds, on the same graph and the same CPython.

    python3.12 bench/stable_abi.py DIR_OF_ABI3_SO DIR_OF_CPYTHON_SO [--graph kg.tsv] [--repeats 7]

Each directory holds one build of the module (vantrel.abi3.so, or
vantrel.cpython-312-....so), as unpacked from its wheel. Prints, per call,
the median seconds of each build and their ratio.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
WN18RR = ROOT.parent / "shared" / "data" / "wn18rr-train.tsv"

# One call per case, timed in its own process; the graph is read first and
# not timed.
CHILD = r"""
import json, sys, time
import vantrel
graph, case = sys.argv[1], sys.argv[2]
sampler = vantrel.PathSampler.read(graph, 4.0, 10, 7)
sampler.walk_ids(0, 1000)
start = time.perf_counter()
if case == "walks":
    sampler.walks(0, 200_000)
elif case == "walk_ids":
    sampler.walk_ids(0, 1_000_000)
elif case == "sample_path":
    for _ in range(200_000):
        sampler.sample_path()
print(json.dumps({"seconds": time.perf_counter() - start, "file": vantrel.__file__}))
"""

CASES = {
    "walks": "walks(0, 200_000): lists of str",
    "walk_ids": "walk_ids(0, 1_000_000)",
    "sample_path": "sample_path(), 200,000 calls",
}


def run(build: str, graph: str, case: str) -> float:
    environment = dict(os.environ, PYTHONPATH=build)
    output = subprocess.run([sys.executable, "-c", CHILD, graph, case], env=environment, check=True,
                            capture_output=True, text=True).stdout
    result = json.loads(output)
    if not result["file"].startswith(os.path.realpath(build)):
        raise SystemExit(f"{build}: the child imported {result['file']} instead")
    return result["seconds"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("abi3", help="directory of the stable-ABI build")
    parser.add_argument("versioned", help="directory of the build for this CPython")
    parser.add_argument("--graph", default=str(WN18RR))
    parser.add_argument("--repeats", type=int, default=7)
    arguments = parser.parse_args()
    builds = {"abi3": os.path.realpath(arguments.abi3), "versioned": os.path.realpath(arguments.versioned)}
    print(f"CPython {sys.version.split()[0]}, graph {arguments.graph}, medians of {arguments.repeats}")
    for case, title in CASES.items():
        times: dict[str, list[float]] = {name: [] for name in builds}
        for _ in range(arguments.repeats):
            for name, build in builds.items():
                times[name].append(run(build, arguments.graph, case))
        abi3, versioned = (statistics.median(times[name]) for name in builds)
        print(f"{title:40} abi3 {abi3:.3f} s  versioned {versioned:.3f} s  abi3/versioned {abi3 / versioned:.3f}")


if __name__ == "__main__":
    main()
