"""vantrel-walks: write random walks from a knowledge graph, one walk per line.

    vantrel-walks                                       # the bundled example graph
    vantrel-walks kg.tsv --count 10000000 -o walks.tsv
    vantrel-walks kg.tsv --each 10 --format words -o corpus.txt     # 10 walks per node, for Word2Vec
    vantrel-walks dump.nt.gz --drop-literals --start-file entities.txt --each 500 --items full -o corpus.tsv

A walk is its start label, one relation per step suffixed "::-->" (followed
head to tail) or "::<--" (tail to head), and its end label. Walk i is walk
number i of the sampler (PathSampler.write_walks): the same file, arguments
and seed always give the same output, whatever the number of threads.
Errors are one line on stderr and exit status 2; Ctrl-C exits 130, SIGTERM
143 and SIGHUP 129, and none of them leaves an output file behind.
"""

from __future__ import annotations

import argparse
import contextlib
import sys

from vantrel_cli.common import (
    Parser,
    UsageError,
    add_walk_options,
    check_output_directory,
    counted,
    inputs_of,
    main_of,
    read_graph,
    say,
    starts,
    terminal_progress,
    unknown_relation,
)
from vantrel_cli.output import refuse_inputs, written_whole

PROGRAM = "vantrel-walks"


def parser() -> argparse.ArgumentParser:
    p = Parser(prog=PROGRAM, description=__doc__.split("\n\n")[0],
               epilog="Walk lengths are Poisson with mean --mean, capped at --max steps, or --length steps each.")
    add_walk_options(p, embedding=False)
    p.add_argument("--format", choices=["tsv", "words"],
                   help="tsv: tokens separated by tabs; words: percent-escaped tokens separated by spaces, for "
                        "gensim's corpus_file (default tsv)")
    p.add_argument("--jsonl", action="store_true", help="write JSON lines (lists of tokens) instead")
    p.add_argument("-o", "--output", help="output file, written whole or not at all (default: standard output)")
    return p


def relabelling(sampler, relation: str) -> list[int]:
    """Each node's first forward neighbour over `relation`, in file order,
    or the node itself where it has none."""
    try:
        wanted = list(sampler.relations).index(relation)
    except ValueError:
        raise unknown_relation("--relabel-by", KeyError(relation), sampler) from None
    triples = memoryview(sampler.triple_ids())
    relabel = list(range(sampler.node_count))
    seen = bytearray(sampler.node_count)
    try:
        import numpy
    except ImportError:
        numpy = None
    if numpy is not None:
        rows = numpy.asarray(triples)
        rows = rows[rows[:, 1] == wanted]
        heads, first = numpy.unique(rows[:, 0], return_index=True)
        array = numpy.arange(sampler.node_count, dtype=numpy.uint64)
        array[heads] = rows[first, 2]
        return array
    flat = triples.cast("B").cast(triples.format)
    for row in range(len(triples)):
        head, rel, tail = flat[3 * row], flat[3 * row + 1], flat[3 * row + 2]
        if rel == wanted and not seen[head]:
            seen[head] = 1
            relabel[head] = tail
    return relabel


def check_output(args: argparse.Namespace) -> None:
    """Refuses, before the graph is read, an output that cannot be written or
    that is a file the command reads (however named: links are followed)."""
    if args.output is None:
        if sys.stdout is None:
            raise UsageError("standard output is closed: name an output file with -o")
        return
    check_output_directory(args.output, "-o")
    refuse_inputs([(args.output, f"-o {args.output}", "its walks")], inputs_of(args))


def run(args: argparse.Namespace) -> None:
    if args.jsonl and args.format is not None:
        raise UsageError("--jsonl writes JSON lines: it goes with no --format")
    if args.each is not None and args.count is not None:
        raise UsageError("--each K writes K walks for each start node: it goes with no --count")
    check_output(args)
    sampler = read_graph(args)
    if sampler.node_count == 0:
        raise UsageError(f"{args.data} holds no triple: there is no node to walk from")
    if args.position == "mid" and args.metapath:
        raise UsageError("--position mid goes with no --metapath: a pattern counts steps from a walk's start")
    if args.relabel_by is not None and args.items in ("edges", "times"):
        raise UsageError(f"--relabel-by lists nodes, and --items {args.items} lists none")
    relabel = relabelling(sampler, args.relabel_by) if args.relabel_by is not None else None
    start, count = starts(sampler, args)
    if count >= 1 << 64:
        raise UsageError(f"--each {args.each}: that many walks for each start node is more than 2**64 - 1 walks")
    name = "standard input" if args.data == "-" else args.data
    say(f"{name}: {counted(sampler.data_size, 'triple')}; writing {counted(count, 'walk')}")
    progress = terminal_progress(count, "walk", args, 1_000_000)
    try:
        with contextlib.ExitStack() as outputs:
            if args.output is None:
                sys.stdout.flush()
                target = sys.stdout.fileno()  # the same writer, straight to the descriptor
            else:
                target = outputs.enter_context(written_whole(args.output))[0].file.fileno()
            walks, tokens = sampler.write_walks(target, 0, count, threads=args.threads, start=start,
                                                items=args.items, position=args.position, unique=args.unique,
                                                relabel=relabel, length=args.length,
                                                format="jsonl" if args.jsonl else args.format or "tsv",
                                                progress=progress)
    finally:
        if progress is not None:
            progress.close()
    say(f"{counted(walks, 'walk')}, {counted(tokens, 'token')}")


def main(argv: list[str] | None = None) -> int:
    """Runs the command; its exit status: 0, 2 on an error, 130 on Ctrl-C,
    128 + the signal's number on SIGTERM or SIGHUP."""
    return main_of(PROGRAM, lambda: run(parser().parse_args(argv)))


