"""Sample walks in several processes, with output that depends only on the arguments.

    python examples/parallel_walks.py kg.tsv --count 1000000 --workers 4 --seed 7 -o walks.tsv

Each worker process builds its own sampler, seeded from --seed and its worker
number, and draws its share of the walks into a file of its own; the parts
are then joined in worker order. Whichever worker finishes first, the output
is the same for the same arguments (including --workers).
"""

from __future__ import annotations

import argparse
import multiprocessing
import pathlib
import shutil
import sys
import tempfile

import vantrel
from seeding import derive_seed

BUNDLED_GRAPH = pathlib.Path(__file__).resolve().parent / "data" / "rivers.tsv"


def draw_share(job: tuple[str, float, int, int, int, str]) -> str:
    data_path, mean, cap, seed, count, part = job
    sampler = vantrel.PathSampler(data_path, mean, cap, seed)
    with open(part, "w", encoding="utf-8", newline="\n") as out:
        for _ in range(count):
            out.write("\t".join(sampler.sample_path()))
            out.write("\n")
    return part


def shares(count: int, workers: int) -> list[int]:
    return [count // workers + (1 if w < count % workers else 0) for w in range(workers)]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", nargs="?", default=str(BUNDLED_GRAPH))
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--workers", type=int, default=max(1, multiprocessing.cpu_count()))
    parser.add_argument("--mean", type=float, default=4.0)
    parser.add_argument("--max", type=int, default=10)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("-o", "--output", help="output file (default: standard output)")
    args = parser.parse_args(argv)
    if args.workers < 1 or args.count < 0:
        parser.error("--workers must be at least 1 and --count not negative")

    with tempfile.TemporaryDirectory() as scratch:
        jobs = [(args.data, args.mean, args.max, derive_seed(args.seed, w), n, f"{scratch}/part-{w}")
                for w, n in enumerate(shares(args.count, args.workers))]
        with multiprocessing.Pool(args.workers) as pool:
            parts = pool.map(draw_share, jobs)
        out = open(args.output, "w", encoding="utf-8", newline="\n") if args.output else sys.stdout
        try:
            for part in parts:
                with open(part, encoding="utf-8") as source:
                    shutil.copyfileobj(source, out)
        finally:
            if out is not sys.stdout:
                out.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
