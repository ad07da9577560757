"""Whether two builds of the module draw the same walks on a graph past the
caches: one SHA-256 over every walk of many calls (each kind, form, start
rule and thread count), computed in a fresh process for each build.

    python bench/same_walks.py GRAPH --old DIR [--new DIR] [--walks N]

GRAPH is a TSV file or a snapshot (`.vsnap`), for example the Wikidata5M-shaped
graph of `python bench/generate_kg.py --wikidata5m 21000000 wd5m.tsv`. DIR is a
folder holding a built module (`vantrel*.so`), such as the build folder of an
earlier commit; --new defaults to the installed module. Exits with status 1
where the hashes differ.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys

# Run in each build's process: prints the number of calls and the hash.
WALKER = r"""
import hashlib, os, sys, tempfile
import vantrel

graph, walks = sys.argv[1], int(sys.argv[2])
load = vantrel.PathSampler.load if graph.endswith(".vsnap") else vantrel.PathSampler.read
plain = load(graph, 4.0, 10, 5)
digest = hashlib.sha256()
calls = 0
samplers = {
    "plain": plain,
    "forward": plain.restrict(direction="forward"),
    "node2vec": plain.biased(p=2.0, q=0.5),
    "weighted node2vec": plain.biased(node_weights=[(node % 4) * 0.5 for node in range(plain.node_count)],
                                      p=0.5, q=2.0),
}
kinds = [
    {}, {"length": 80}, {"items": "full"}, {"items": "nodes", "length": 7}, {"position": "mid"},
    {"position": "mid", "items": "full"}, {"items": "edges"}, {"unique": True}, {"start": "each"},
    {"start": list(range(0, plain.node_count, max(1, plain.node_count // 997)))},
]
for name, sampler in samplers.items():
    for kind in kinds:
        for first in (0, 2**63 + 12345):
            for threads in (1, 2):
                ids, offsets = sampler.walk_ids(first, first + walks, threads=threads, **kind)
                digest.update(memoryview(ids).cast("B"))
                digest.update(memoryview(offsets).cast("B"))
                calls += 1
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "walks.tsv")
        sampler.write_walks(path, 10**9, 10**9 + walks, threads=2)
        with open(path, "rb") as written:
            digest.update(written.read())
        calls += 1
print(calls, digest.hexdigest())
"""


def walk_hash(module_dir: str | None, graph: str, walks: int) -> str:
    env = dict(os.environ)
    if module_dir:
        env["PYTHONPATH"] = os.path.abspath(module_dir) + os.pathsep + env.get("PYTHONPATH", "")
    done = subprocess.run([sys.executable, "-c", WALKER, graph, str(walks)], env=env, check=True,
                          capture_output=True, text=True)
    return done.stdout.strip()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("graph")
    parser.add_argument("--old", required=True, help="folder of the earlier build's module")
    parser.add_argument("--new", help="folder of the build to check (default: the installed module)")
    parser.add_argument("--walks", type=int, default=20_000, help="walks per call")
    args = parser.parse_args()
    old = walk_hash(args.old, args.graph, args.walks)
    new = walk_hash(args.new, args.graph, args.walks)
    print(f"old: {old}\nnew: {new}")
    if old != new:
        print("the builds draw different walks")
        return 1
    print("the same walks")
    return 0


if __name__ == "__main__":
    sys.exit(main())
