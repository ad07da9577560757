"""vantrel-embed: entity vectors from a knowledge graph in one command: walks, then gensim's word2vec.

    vantrel-embed kg.tsv --out vectors.npy                  # float32, row = node id; labels.tsv beside it
    vantrel-embed dump.nt.gz --drop-literals --each 500 --out vectors.kv      # gensim KeyedVectors by label
    vantrel-embed kg.tsv --length 8 --items nodes --dim 128 --out vectors.txt  # word2vec text format
    vantrel-embed kg.tsv --out vectors.bin                                     # word2vec binary format

Draws K walks per entity (every node, or those of --start-file) as
vantrel-walks would, writes them in the words format to a temporary file
beside the output, trains Word2Vec(corpus_file=...) on it, and writes one
vector per node in node id order: a node that no walk lists gets a row of
zeros. Relation tokens are trained on but not written. The temporary
corpus is removed whatever happens. With --workers 1 the same arguments
give the same vectors. Needs gensim: pip install gensim (or, from a clone
of vantrel, pip install '.[embed]').
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import re
import sys
import tempfile
import time
import urllib.parse
from typing import Any

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
)
from vantrel_cli.output import refuse_inputs, written_whole

PROGRAM = "vantrel-embed"


def parser(output: bool = True) -> argparse.ArgumentParser:
    """The command's options; without `output`, all but --out (for programs
    that use the vectors rather than write them)."""
    p = Parser(prog=PROGRAM, description=__doc__.split("\n\n")[0])
    add_walk_options(p, embedding=True)
    train = p.add_argument_group("word2vec (gensim)")
    train.add_argument("--dim", type=int, default=100, help="vector size (default 100)")
    train.add_argument("--window", type=int, default=5, help="context window (default 5)")
    train.add_argument("--epochs", type=int, default=5, help="passes over the corpus (default 5)")
    train.add_argument("--negative", type=int, default=5, help="negative samples (default 5)")
    train.add_argument("--min-count", type=int, default=1, help="rarest word kept (default 1)")
    model = train.add_mutually_exclusive_group()
    model.add_argument("--sg", dest="sg", action="store_true", default=True, help="skip-gram (the default)")
    model.add_argument("--cbow", dest="sg", action="store_false", help="continuous bag of words")
    train.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                       help="training threads (default: every CPU; 1 for the same vectors every run)")
    if output:
        p.add_argument("--out", required=True,
                       help="vectors.npy (float32, row = node id, with labels.tsv beside it), vectors.kv (gensim "
                            "KeyedVectors, keys the node labels), vectors.bin (word2vec's binary format), or any "
                            "other name: word2vec text format (in both word2vec formats, keys the labels as the "
                            "corpus writes them, reversed by urllib.parse.unquote)")
    return p


@dataclasses.dataclass
class Embedding:
    """What vantrel-embed computes before it writes: the sampler walked, the
    trained model, one vector per node (zeros where no walk lists the node),
    and the sizes and seconds its summary line gives."""

    sampler: Any
    model: Any
    labels: list[str]
    vectors: Any
    missing: int
    walks: int
    tokens: int
    seconds: dict[str, float]

    def summary(self) -> str:
        spent = ", ".join(f"{stage} {seconds:.1f} s" for stage, seconds in self.seconds.items())
        return (f"{counted(len(self.labels), 'node')} ({self.missing} in no walk: zeros), corpus of "
                f"{counted(self.walks, 'walk')} and {counted(self.tokens, 'token')}; {spent}")


def word_of(label: str) -> str:
    """A label as the words format writes it: whitespace and '%' percent-escaped."""
    return re.sub(r"[\s%]", lambda match: urllib.parse.quote(match.group()), label)


def embed(args: argparse.Namespace, directory: str | None = None) -> Embedding:
    """Reads the graph, writes the corpus to a temporary file in `directory`
    (removed whatever happens), trains word2vec on it and takes each node's
    vector, as the options in `args` ask (those of parser())."""
    try:
        import numpy as np
        from gensim.models import Word2Vec
        from gensim.models.callbacks import CallbackAny2Vec
    except ImportError:
        raise UsageError(
            "vantrel-embed trains with gensim, which is not installed: pip install gensim (from a clone of vantrel: "
            "pip install '.[embed]')") from None
    for name in ("dim", "window", "epochs", "negative", "workers"):
        if getattr(args, name) < 1:
            raise UsageError(f"--{name.replace('_', '-')} must be at least 1, not {getattr(args, name)}")
    seconds = {}
    begun = time.perf_counter()
    sampler = read_graph(args)
    if sampler.node_count == 0:
        raise UsageError(f"{args.data} holds no triple: there is no node to embed")
    start, count = starts(sampler, args)
    seconds["reading"] = time.perf_counter() - begun
    descriptor, corpus = tempfile.mkstemp(dir=directory, prefix=".vantrel-corpus-", suffix=".txt")
    os.close(descriptor)
    try:
        begun = time.perf_counter()
        say(f"{PROGRAM}: {counted(sampler.node_count, 'node')}; writing {counted(count, 'walk')}")
        progress = terminal_progress(count, "walk", args, 1_000_000)
        try:
            walks, tokens = sampler.write_walks(corpus, 0, count, threads=args.threads, start=start,
                                                items=args.items, position=args.position, unique=args.unique,
                                                length=args.length, format="words", progress=progress)
        finally:
            if progress is not None:
                progress.close()
        seconds["walks"] = time.perf_counter() - begun
        begun = time.perf_counter()
        say(f"{PROGRAM}: training on {counted(tokens, 'token')}")
        progress = terminal_progress(args.epochs, "epoch", args, 1)

        class EpochsDone(CallbackAny2Vec):
            def __init__(self) -> None:
                self.epochs = 0

            def on_epoch_end(self, model: Any) -> None:
                self.epochs += 1
                if progress is not None:
                    progress(self.epochs)

        try:
            model = Word2Vec(corpus_file=corpus, vector_size=args.dim, window=args.window, min_count=args.min_count,
                             sg=1 if args.sg else 0, negative=args.negative, workers=args.workers,
                             seed=args.seed % 2**32, epochs=args.epochs, callbacks=[EpochsDone()])
        finally:
            if progress is not None:
                progress.close()
        seconds["training"] = time.perf_counter() - begun
    finally:
        os.remove(corpus)
    labels = list(sampler.tokens[:sampler.node_count])
    vectors = np.zeros((len(labels), args.dim), dtype=np.float32)
    missing = 0
    for node, label in enumerate(labels):
        word = word_of(label)
        if word in model.wv.key_to_index:
            vectors[node] = model.wv[word]
        else:
            missing += 1
    return Embedding(sampler, model, labels, vectors, missing, walks, tokens, seconds)


def labels_path(out: str) -> str:
    """The node labels that a .npy output writes beside itself."""
    return os.path.join(os.path.dirname(os.path.abspath(out)), "labels.tsv")


def outputs_of(out: str) -> list[str]:
    """The files that writing the vectors to `out` writes: `out`, and for .npy the labels beside it."""
    return [out, labels_path(out)] if out.endswith(".npy") else [out]


def write_vectors(out: str, embedding: Embedding) -> None:
    """The vectors to `out` by its suffix (see --out), every file as vantrel_cli.output writes it: whole or not
    at all, together (a .npy's labels.tsv with it)."""
    import numpy as np
    from gensim.models import KeyedVectors

    labels, vectors = embedding.labels, embedding.vectors
    with written_whole(*outputs_of(out)) as outputs:
        if out.endswith(".npy"):
            np.save(outputs[0].file, vectors)
            outputs[1].file.write("".join(label + "\n" for label in labels).encode("utf-8"))
            return
        keyed = KeyedVectors(vectors.shape[1])
        keyed.add_vectors(labels if out.endswith(".kv") else [word_of(label) for label in labels], vectors)
        # gensim's writers open a path of their own.
        if out.endswith(".kv"):
            keyed.save(outputs[0].name, separately=[])  # one file: no large array saved beside it
        else:
            keyed.save_word2vec_format(outputs[0].name, binary=out.endswith(".bin"))


def check_outputs(args: argparse.Namespace) -> None:
    """Refuses, before any work, outputs that cannot be written or that would replace a file the command reads
    (however named: links are followed)."""
    check_output_directory(args.out, "--out")
    outputs = [(args.out, f"--out {args.out}", "its vectors")]
    if args.out.endswith(".npy"):
        if os.path.isdir(labels_path(args.out)):
            raise UsageError(f"--out {args.out} writes labels.tsv beside it, which is a directory")
        outputs.append((labels_path(args.out), f"--out {args.out} writes labels.tsv beside it, which",
                        "the node labels"))
    refuse_inputs(outputs, inputs_of(args))


def run(args: argparse.Namespace) -> None:
    check_outputs(args)
    embedding = embed(args, directory=os.path.dirname(os.path.abspath(args.out)))
    begun = time.perf_counter()
    write_vectors(args.out, embedding)
    embedding.seconds["writing"] = time.perf_counter() - begun
    say(f"{PROGRAM}: {embedding.summary()}")


def main(argv: list[str] | None = None) -> int:
    return main_of(PROGRAM, lambda: run(parser().parse_args(argv)))


if __name__ == "__main__":
    sys.exit(main())
