"""Write walks from several processes that share one graph snapshot.

    python examples/parallel_walks.py kg.tsv --count 1000000 --workers 4 --seed 7 -o walks.tsv

The graph is built once and saved as a snapshot; each worker process opens
it once with PathSampler.load (a read-only shared mapping: the processes
share one copy in the page cache) and writes its shards, ranges of walk
numbers, with write_walks. The shards joined in order are the walks 0 to
count - 1: the output depends only on the arguments, not on --workers.
"""

from __future__ import annotations

import argparse
import multiprocessing
import pathlib
import shutil
import sys
import tempfile

import vantrel

BUNDLED_GRAPH = pathlib.Path(__file__).resolve().parent / "data" / "rivers.tsv"

worker_sampler: vantrel.PathSampler | None = None


def open_snapshot(snapshot: str, mean: float, cap: int, seed: int) -> None:
    """Pool initializer: one load per worker process, reused for all its shards."""
    global worker_sampler
    worker_sampler = vantrel.PathSampler.load(snapshot, mean, cap, seed)


def write_shard(job: tuple[int, int, str]) -> str:
    first, stop, part = job
    assert worker_sampler is not None
    worker_sampler.write_walks(part, first, stop, threads=1)
    return part


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", nargs="?", default=str(BUNDLED_GRAPH),
                        help="triple file, head<TAB>relation<TAB>tail per line (default: the bundled example)")
    parser.add_argument("--count", type=int, default=1000, help="number of walks, numbered 0 to count - 1 "
                                                                "(default 1000)")
    parser.add_argument("--workers", type=int, default=max(1, multiprocessing.cpu_count()),
                        help="worker processes, each with the snapshot loaded once (default: one per CPU)")
    parser.add_argument("--shard", type=int, default=100_000, help="walks per shard (default 100000)")
    parser.add_argument("--mean", type=float, default=4.0, help="mean walk length, Poisson (default 4)")
    parser.add_argument("--max", type=int, default=10, help="longest walk, in steps (default 10)")
    parser.add_argument("--seed", type=int, default=0, help="random seed, 0 to 2**64-1 (default 0)")
    parser.add_argument("-o", "--output", help="output file (default: standard output)")
    args = parser.parse_args(argv)
    if args.workers < 1 or args.count < 0 or args.shard < 1:
        parser.error("--workers and --shard must be at least 1 and --count not negative")

    with tempfile.TemporaryDirectory() as scratch:
        snapshot = f"{scratch}/graph.snap"
        vantrel.PathSampler(args.data, args.mean, args.max, args.seed).save(snapshot)
        jobs = [(first, min(args.count, first + args.shard), f"{scratch}/part-{k:06d}")
                for k, first in enumerate(range(0, args.count, args.shard))]
        with multiprocessing.Pool(args.workers, initializer=open_snapshot,
                                  initargs=(snapshot, args.mean, args.max, args.seed)) as pool:
            parts = pool.map(write_shard, jobs)
        out = open(args.output, "wb") if args.output else sys.stdout.buffer
        try:
            for part in parts:
                with open(part, "rb") as source:
                    shutil.copyfileobj(source, out)
        finally:
            if out is not sys.stdout.buffer:
                out.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
