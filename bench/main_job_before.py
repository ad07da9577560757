"""The main job as it stood before write_walks: one sample_path() call per
walk, written from Python. Kept as the baseline that bench/run.py measures
write_walks against.

    python bench/main_job_before.py kg.tsv --count 100000 -o walks.tsv --no-progress
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys

import vantrel

BUNDLED_GRAPH = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "rivers.tsv"


class Progress:
    """A progress bar on stderr: tqdm when installed, a plain counter otherwise."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total = total
        self.done = 0
        self.bar = None
        self.enabled = enabled
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                pass
            else:
                self.bar = tqdm(total=total, unit="walk", file=sys.stderr)

    def update(self, count: int) -> None:
        self.done += count
        if self.bar is not None:
            self.bar.update(count)
        elif self.enabled:
            print(f"\r{self.done}/{self.total} walks", end="", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.enabled:
            print(file=sys.stderr)


def write_walks(sampler: vantrel.PathSampler, count: int, out, jsonl: bool, progress: Progress) -> None:
    chunk = 10_000
    for start in range(0, count, chunk):
        size = min(chunk, count - start)
        if jsonl:
            lines = [json.dumps(sampler.sample_path(), ensure_ascii=False) for _ in range(size)]
        else:
            lines = ["\t".join(sampler.sample_path()) for _ in range(size)]
        out.write("\n".join(lines))
        out.write("\n")
        progress.update(size)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", nargs="?", default=str(BUNDLED_GRAPH),
                        help="triple file, head<TAB>relation<TAB>tail per line (default: the bundled example)")
    parser.add_argument("--count", type=int, default=10, help="number of walks (default 10)")
    parser.add_argument("--mean", type=float, default=4.0, help="mean walk length, Poisson (default 4)")
    parser.add_argument("--max", type=int, default=10, help="longest walk, in steps (default 10)")
    parser.add_argument("--seed", type=int, default=0, help="random seed, 0 to 2**64-1 (default 0)")
    parser.add_argument("--jsonl", action="store_true", help="write JSON lines instead of tab-separated tokens")
    parser.add_argument("-o", "--output", help="output file (default: standard output)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar on stderr")
    args = parser.parse_args(argv)
    if args.count < 0:
        parser.error("--count must not be negative")

    sampler = vantrel.PathSampler(args.data, args.mean, args.max, args.seed)
    print(f"{args.data}: {sampler.data_size} triples", file=sys.stderr)
    progress = Progress(args.count, enabled=not args.no_progress and args.count >= 100_000)
    out = open(args.output, "w", encoding="utf-8", newline="\n") if args.output else sys.stdout
    try:
        write_walks(sampler, args.count, out, args.jsonl, progress)
    finally:
        progress.close()
        if out is not sys.stdout:
            out.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
