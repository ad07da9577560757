"""RDF2Vec in a screenful: a walk corpus on disk, gensim's Word2Vec trained from it.

    python examples/word2vec_embeddings.py [kg.tsv] [--per-node 20] [--seed 0] [--query ENTITY]
        [--entities FILE] [--items path|full|nodes] [--exclude REL ...] [--direction both|forward|backward]
        [--p P] [--q Q] [--relation-weights FILE]
    python examples/word2vec_embeddings.py dump.nt.gz --drop-literals --items full --query http://...

K walks start at every entity (the usual RDF2Vec corpus), or at each entity
listed in FILE (one label per line), looked up with node_ids. --items full
lists every node a walk passes (the RDF2Vec walk), which link prediction
wants; path, the default, lists the relations between start and end.
--exclude leaves relations out of the walks (the relation a benchmark
predicts, which would leak the label), --direction forward walks from
subject to object only, as the original RDF2Vec walks. --p and --q make
them node2vec's walks (return and in-out parameters), and --relation-weights
FILE (lines of relation, tab, weight) weights each step by its relation, as
the biased RDF2Vec walks do. They are written
with format="words": one walk per line, tokens separated by spaces and
percent-escaped, so that labels with spaces stay one word; gensim trains
from the file (corpus_file), several times faster than from Python lists,
and urllib.parse.unquote turns each embedding key back into its token.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import tempfile
from collections import Counter
from urllib.parse import quote, unquote

import vantrel
from gensim.models import Word2Vec

BUNDLED_GRAPH = pathlib.Path(__file__).resolve().parent / "data" / "rivers.tsv"


def escape(token: str) -> str:
    """A token as format="words" writes it: whitespace and % percent-escaped."""
    return "".join(quote(c, safe="") if c.isspace() or c == "%" else c for c in token)


def highest_degree_node(sampler: vantrel.PathSampler) -> str:
    """The label of the node that stands as head or tail in the most triples of the graph, whatever format
    it was read from."""
    degrees: Counter[int] = Counter()
    for head, _, tail in sampler.triple_ids():
        degrees[head] += 1
        degrees[tail] += 1
    return sampler.tokens[degrees.most_common(1)[0][0]] if degrees else ""


def read_relation_weights(path: str) -> dict[str, float]:
    """Lines of relation, tab, weight."""
    weights = {}
    with open(path, encoding="utf-8", newline="\n") as lines:
        for line in lines:
            if line.strip():
                relation, weight = line.rstrip("\n").rsplit("\t", 1)
                weights[relation] = float(weight)
    return weights


def embed(data_path: str, per_node: int, seed: int, entities: list[str] | None = None, items: str = "path",
          exclude: list[str] | None = None, direction: str = "both", dimensions: int = 32,
          drop_literals: bool = False, p: float = 1.0, q: float = 1.0,
          relation_weights: dict[str, float] | None = None) -> tuple[Word2Vec, vantrel.PathSampler]:
    # read() takes tab-separated files and RDF dumps (.nt, .nq), compressed or not.
    sampler = vantrel.PathSampler.read(data_path, 4.0, 8, seed, literals="drop" if drop_literals else "keep")
    if exclude or direction != "both":
        sampler = sampler.restrict(exclude_relations=exclude or [], direction=direction)
    if p != 1.0 or q != 1.0 or relation_weights is not None:
        sampler = sampler.biased(relation_weights=relation_weights, p=p, q=q)
    start = "each" if entities is None else sampler.node_ids(entities)
    starts = sampler.node_count if entities is None else len(entities)
    with tempfile.TemporaryDirectory() as directory:
        corpus = pathlib.Path(directory) / "walks.txt"
        sampler.write_walks(corpus, 0, per_node * starts, start=start, items=items, format="words")
        # One worker thread: with several, gensim's training order, and so the vectors, vary.
        model = Word2Vec(corpus_file=str(corpus), vector_size=dimensions, window=5, min_count=1, sg=1, workers=1,
                         seed=seed, epochs=5)
    return model, sampler


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", nargs="?", default=str(BUNDLED_GRAPH))
    parser.add_argument("--per-node", type=int, default=20, help="walks starting at each entity (default 20)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--query", help="an entity whose neighbours to print (default: the highest-degree one "
                                        "of a tab-separated file)")
    parser.add_argument("--entities", help="a file of entity labels, one per line, to start the walks at")
    parser.add_argument("--items", choices=["path", "full", "nodes"], default="path",
                        help="what a walk lists (default path)")
    parser.add_argument("--exclude", nargs="*", default=[], metavar="REL", help="relations the walks leave out")
    parser.add_argument("--direction", choices=["both", "forward", "backward"], default="both")
    parser.add_argument("--drop-literals", action="store_true",
                        help="N-Triples and N-Quads: leave out triples whose object is a literal")
    parser.add_argument("--p", type=float, default=1.0, help="node2vec's return parameter (default 1)")
    parser.add_argument("--q", type=float, default=1.0, help="node2vec's in-out parameter (default 1)")
    parser.add_argument("--relation-weights", metavar="FILE",
                        help="weights of relations: lines of relation, tab, weight (others weigh 1)")
    args = parser.parse_args(argv)
    entities = None
    if args.entities:
        with open(args.entities, encoding="utf-8") as listed:
            entities = [line.rstrip("\n") for line in listed if line.strip()]
    relation_weights = read_relation_weights(args.relation_weights) if args.relation_weights else None
    model, sampler = embed(args.data, args.per_node, args.seed, entities, args.items, args.exclude, args.direction,
                           drop_literals=args.drop_literals, p=args.p, q=args.q,
                           relation_weights=relation_weights)
    query = args.query if args.query is not None else highest_degree_node(sampler)
    print(f"{len(model.wv)} tokens, {model.wv.vector_size} dimensions")
    if not query:
        return 0
    if escape(query) not in model.wv:
        why = "no walk reached it" if query in sampler.tokens else f"it is no node or relation of {args.data}"
        print(f"{query!r} is not in the vocabulary: {why}", file=sys.stderr)
        return 1
    print(f"nearest to {query}:")
    for token, similarity in model.wv.most_similar(escape(query), topn=5):
        print(f"{similarity:.3f}  {unquote(token)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
