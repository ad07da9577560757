"""vantrel-walks: write random walks from a knowledge graph, one walk per line.

    vantrel-walks                                       # the bundled example graph
    vantrel-walks kg.tsv --count 10000000 -o walks.tsv
    vantrel-walks kg.tsv --each 10 --format words -o corpus.txt     # 10 walks per node, for Word2Vec
    vantrel-walks dump.nt.gz --drop-literals --start-file entities.txt --each 500 --items full -o corpus.tsv

A walk is its start label, one relation per step suffixed "::-->" (followed
head to tail) or "::<--" (tail to head), and its end label. Walk i is walk
number i of the sampler (PathSampler.write_walks): the same file, arguments
and seed always give the same output, whatever the number of threads.
Errors are one line on stderr and exit status 2; Ctrl-C exits 130 and leaves
no output file behind.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import secrets
import sys
from importlib import metadata

# The bundled example graph: installed beside this module, or in a clone's
# examples/ where the module runs from the source tree.
HERE = pathlib.Path(__file__).resolve().parent
BUNDLED_GRAPH = next((path for path in (HERE / "rivers.tsv", HERE.parents[1] / "examples" / "data" / "rivers.tsv")
                      if path.is_file()), HERE / "rivers.tsv")
PROGRAM = "vantrel-walks"


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


class UsageError(Exception):
    """A bad option value, reported as argparse reports one."""


class Parser(argparse.ArgumentParser):
    # One line, not the usage block: the errors of the command are all one line.
    def error(self, message: str):
        raise UsageError(message)


def positive_number(text: str) -> float:
    value = float(text)
    if not 0 < value < float("inf"):
        raise ValueError(text)
    return value


def count_of(text: str) -> int:
    value = int(text)
    if not 0 <= value < 1 << 64:
        raise ValueError(text)
    return value


# argparse names the type in its message: "invalid positive number value: '-1'".
positive_number.__name__ = "positive number"
count_of.__name__ = "non-negative int"


class ShowVersion(argparse.Action):
    """--version: the version pip installed (pyproject.toml's), looked up only when asked."""

    def __call__(self, parser, namespace, values, option_string=None):
        try:
            version = metadata.version("vantrel")
        except metadata.PackageNotFoundError:
            version = "(not installed: run from a source tree)"
        print(f"{PROGRAM} {version}")
        parser.exit()


def parser() -> argparse.ArgumentParser:
    p = Parser(prog=PROGRAM, description=__doc__.split("\n\n")[0],
               epilog="Walk lengths are Poisson with mean --mean, capped at --max steps.")
    p.add_argument("data", nargs="?", default=str(BUNDLED_GRAPH),
                   help="triple file: head<TAB>relation<TAB>tail per line, or N-Triples (.nt) or N-Quads (.nq), "
                        "compressed or not (.gz, .bz2, .xz, .zst) (default: the bundled example)")
    p.add_argument("--version", action=ShowVersion, nargs=0, help="show the installed vantrel's version and exit")
    p.add_argument("--input-format", choices=["tsv", "nt", "nq"], help="the file's format, when its name does not tell")
    p.add_argument("--drop-literals", action="store_true",
                   help="N-Triples and N-Quads: leave out triples whose object is a literal")
    p.add_argument("--count", type=count_of, default=10, help="number of walks (default 10)")
    p.add_argument("--each", type=count_of, metavar="K",
                   help="K walks starting at every node (or every node of --start-file) instead of --count walks")
    p.add_argument("--start-file", metavar="FILE",
                   help="start the walks at these nodes, one label per line, in turn (with --count or --each)")
    p.add_argument("--items", choices=["path", "full", "nodes"], default="path",
                   help="path: start, relations, end; full: every node between; nodes: nodes only (default path)")
    p.add_argument("--exclude", action="append", default=[], metavar="RELATION",
                   help="never walk edges of this relation (repeatable)")
    p.add_argument("--direction", choices=["both", "forward", "backward"], default="both",
                   help="follow edges head to tail (forward), tail to head (backward) or both (default both)")
    p.add_argument("--mean", type=positive_number, default=4.0, help="mean walk length, Poisson (default 4)")
    p.add_argument("--max", type=count_of, default=10, help="longest walk, in steps (default 10)")
    p.add_argument("--seed", type=count_of, default=0, help="random seed, 0 to 2**64-1 (default 0)")
    p.add_argument("--threads", type=count_of, default=0, help="threads, 0 for every CPU (default 0)")
    p.add_argument("--format", choices=["tsv", "words"], default="tsv",
                   help="tsv: tokens separated by tabs; words: percent-escaped tokens separated by spaces, for "
                        "gensim's corpus_file (default tsv)")
    p.add_argument("--jsonl", action="store_true", help="write JSON lines (lists of tokens) instead")
    p.add_argument("-o", "--output", help="output file, written whole or not at all (default: standard output)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar on stderr")
    return p


def read_graph(args: argparse.Namespace):
    """The sampler of the triple file, restricted as asked, with a bar of the
    bytes read for files of 64 MiB or more."""
    import vantrel

    size = os.path.getsize(args.data) if os.path.isfile(args.data) else 0
    progress = Progress(size, unit="B") if not args.no_progress and size >= 64 << 20 else None
    try:
        sampler = vantrel.PathSampler.read(args.data, args.mean, args.max, args.seed, format=args.input_format,
                                           literals="drop" if args.drop_literals else "keep", progress=progress)
    except OSError as error:
        if error.filename is None:
            error.filename = args.data  # for the message; older Pythons name no file
        raise
    finally:
        if progress is not None:
            progress.close()
    if args.exclude or args.direction != "both":
        try:
            sampler = sampler.restrict(exclude_relations=args.exclude or None, direction=args.direction)
        except KeyError as error:
            raise UsageError(f"--exclude: no relation is named {error.args[0]!r}") from None
    return sampler


def starts(sampler, args: argparse.Namespace):
    """The start= of the walks and how many walks to write."""
    if args.start_file is None:
        if args.each is not None:
            return "each", args.each * sampler.node_count
        return "random", args.count
    with open(args.start_file, encoding="utf-8") as lines:
        labels = [line.rstrip("\r\n") for line in lines if line.strip()]
    if not labels:
        raise UsageError(f"--start-file {args.start_file} names no node")
    try:
        ids = sampler.node_ids(labels)
    except KeyError as error:
        raise UsageError(f"--start-file {args.start_file}: no node is labelled {error.args[0]!r}") from None
    return ids, args.each * len(labels) if args.each is not None else args.count


def write_jsonl(sampler, count: int, start, args: argparse.Namespace, out) -> None:
    chunk = 100_000
    for first in range(0, count, chunk):
        walks = sampler.walks(first, min(count, first + chunk), threads=args.threads, start=start, items=args.items)
        out.write("".join(json.dumps(walk, ensure_ascii=False) + "\n" for walk in walks))


def jsonl_to(sampler, count: int, start, args: argparse.Namespace) -> None:
    """JSON lines to standard output, or to a file that appears whole or not
    at all (a temporary file beside it, renamed once complete)."""
    if args.output is None:
        write_jsonl(sampler, count, start, args, sys.stdout)
        return
    target = pathlib.Path(args.output)
    # Named before it exists, so that a Ctrl-C at any point, even while the
    # file is being created, knows what to remove.
    temporary = target.with_name(f".{target.name}.{os.getpid()}.{secrets.token_hex(4)}.part")
    try:
        with open(temporary, "x", encoding="utf-8", newline="\n") as out:
            write_jsonl(sampler, count, start, args, out)
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def run(args: argparse.Namespace) -> None:
    sampler = read_graph(args)
    start, count = starts(sampler, args)
    print(f"{args.data}: {sampler.data_size} triples; writing {count:,} walks", file=sys.stderr)
    if args.jsonl:
        jsonl_to(sampler, count, start, args)
        return
    progress = Progress(count) if not args.no_progress and count >= 1_000_000 else None
    target = args.output
    if target is None:
        sys.stdout.flush()
        target = sys.stdout.fileno()  # the same writer, straight to the descriptor
    try:
        walks, tokens = sampler.write_walks(target, 0, count, threads=args.threads, start=start, items=args.items,
                                            format=args.format, progress=progress)
    finally:
        if progress is not None:
            progress.close()
    print(f"{walks:,} walks, {tokens:,} tokens", file=sys.stderr)


UNWRAPPED = "called `Result::unwrap()` on an `Err` value: "


def one_line(error: BaseException) -> str:
    """The error's message on one line, with the notes that name its file."""
    if isinstance(error, OSError) and error.errno is not None and error.filename is not None:
        return f"{os.strerror(error.errno)}: {os.fsdecode(error.filename)}"
    text = " ".join(str(error).removeprefix(UNWRAPPED).split()) or type(error).__name__
    notes = getattr(error, "__notes__", [])
    return f"{text} ({'; '.join(notes)})" if notes else text


def main(argv: list[str] | None = None) -> int:
    """Runs the command; its exit status: 0, 2 on an error, 130 on Ctrl-C."""
    try:
        run(parser().parse_args(argv))
    except KeyboardInterrupt:
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return 130
    except UsageError as error:
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (| head): not an error of the walks. Standard
        # output goes to /dev/null so that the interpreter's last flush
        # does not fail too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (OSError, ValueError, TypeError, MemoryError, EOFError) as error:
        print(f"{PROGRAM}: error: {one_line(error)}", file=sys.stderr)
        return 2
    return 0
