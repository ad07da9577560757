"""Write random walks from a knowledge graph, one walk per line: the main job.

    python examples/random_walks.py                      # the bundled example graph
    python examples/random_walks.py kg.tsv --count 10000000 --threads 0 -o walks.tsv
    python examples/random_walks.py kg.tsv --each 10 --format words -o corpus.txt   # 10 walks per node, for Word2Vec
    python examples/random_walks.py kg.tsv --jsonl       # JSON lines instead of tabs
    python examples/random_walks.py dump.nt.gz --drop-literals --count 1000000 -o walks.tsv   # an RDF dump

A walk is its start label, one relation per step suffixed "::-->" (followed
head to tail) or "::<--" (tail to head), and its end label. Walk i is walk
number i of the sampler (PathSampler.write_walks): the same file, arguments
and seed always give the same output, whatever the number of threads.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import sys

import vantrel

BUNDLED_GRAPH = pathlib.Path(__file__).resolve().parent / "data" / "rivers.tsv"


class Progress:
    """A progress bar on stderr: tqdm when installed, a plain counter otherwise.
    Called with the number of units (walks written, bytes read) so far."""

    def __init__(self, total: int, unit: str = "walk") -> None:
        self.total = total
        self.unit = unit
        self.shown = 0
        try:
            from tqdm import tqdm
        except ImportError:
            self.bar = None
        else:
            self.bar = tqdm(total=total, unit=unit, unit_scale=True, file=sys.stderr)

    def __call__(self, done: int) -> None:
        if self.bar is not None:
            self.bar.update(done - self.shown)
        else:
            print(f"\r{done:,}/{self.total:,} {self.unit}", end="", file=sys.stderr, flush=True)
        self.shown = done

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        else:
            print(file=sys.stderr)


def read_graph(path: str, args: argparse.Namespace, show_progress: bool) -> vantrel.PathSampler:
    """The sampler of a triple file of any format PathSampler.read takes, with
    a bar of the bytes read for files of 64 MiB or more."""
    size = os.path.getsize(path) if os.path.isfile(path) else 0
    progress = Progress(size, unit="B") if show_progress and size >= 64 << 20 else None
    try:
        return vantrel.PathSampler.read(path, args.mean, args.max, args.seed, format=args.input_format,
                                        literals="drop" if args.drop_literals else "keep", progress=progress)
    finally:
        if progress is not None:
            progress.close()


def write_jsonl(sampler: vantrel.PathSampler, count: int, start: str, threads: int, out) -> None:
    chunk = 100_000
    for first in range(0, count, chunk):
        walks = sampler.walks(first, min(count, first + chunk), threads=threads, start=start)
        out.write("".join(json.dumps(walk, ensure_ascii=False) + "\n" for walk in walks))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", nargs="?", default=str(BUNDLED_GRAPH),
                        help="triple file: head<TAB>relation<TAB>tail per line, or N-Triples (.nt) or N-Quads "
                             "(.nq), compressed or not (.gz, .bz2, .xz, .zst) (default: the bundled example)")
    parser.add_argument("--input-format", choices=["tsv", "nt", "nq"],
                        help="the file's format, when its name does not tell")
    parser.add_argument("--drop-literals", action="store_true",
                        help="N-Triples and N-Quads: leave out triples whose object is a literal")
    parser.add_argument("--count", type=int, default=10, help="number of walks (default 10)")
    parser.add_argument("--each", type=int, metavar="K",
                        help="K walks starting at every node instead of --count walks from drawn nodes")
    parser.add_argument("--mean", type=float, default=4.0, help="mean walk length, Poisson (default 4)")
    parser.add_argument("--max", type=int, default=10, help="longest walk, in steps (default 10)")
    parser.add_argument("--seed", type=int, default=0, help="random seed, 0 to 2**64-1 (default 0)")
    parser.add_argument("--threads", type=int, default=0, help="threads, 0 for every CPU (default 0)")
    parser.add_argument("--format", choices=["tsv", "words"], default="tsv",
                        help="tsv: tokens separated by tabs; words: percent-escaped tokens separated by "
                             "spaces, for gensim's corpus_file (default tsv)")
    parser.add_argument("--jsonl", action="store_true", help="write JSON lines instead")
    parser.add_argument("-o", "--output", help="output file, written whole or not at all (default: standard output)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar on stderr")
    args = parser.parse_args(argv)
    if args.count < 0 or (args.each is not None and args.each < 0):
        parser.error("--count and --each must not be negative")

    sampler = read_graph(args.data, args, not args.no_progress)
    count, start = (args.each * sampler.node_count, "each") if args.each is not None else (args.count, "random")
    print(f"{args.data}: {sampler.data_size} triples; writing {count:,} walks", file=sys.stderr)
    if args.jsonl:
        out = open(args.output, "w", encoding="utf-8", newline="\n") if args.output else sys.stdout
        try:
            write_jsonl(sampler, count, start, args.threads, out)
        finally:
            if out is not sys.stdout:
                out.close()
        return 0
    progress = Progress(count) if not args.no_progress and count >= 1_000_000 else None
    target = args.output
    if target is None:
        sys.stdout.flush()
        target = sys.stdout.fileno()  # the same writer, straight to the descriptor
    try:
        walks, tokens = sampler.write_walks(target, 0, count, threads=args.threads, start=start, format=args.format,
                                            progress=progress)
    finally:
        if progress is not None:
            progress.close()
    print(f"{walks:,} walks, {tokens:,} tokens", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
