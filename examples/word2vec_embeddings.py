"""RDF2Vec in a few lines: vantrel-embed's walks and training, then an entity's nearest neighbours.

    python examples/word2vec_embeddings.py [kg.tsv] [--each 20] [--query ENTITY] [vantrel-embed's options]
    python examples/word2vec_embeddings.py dump.nt.gz --drop-literals --direction forward --query http://...

Every option of vantrel-embed but --out applies (vantrel-embed --help):
--start-file, --items, --exclude, --direction, --p, --q, --relation-weights,
--dim, --epochs and the rest. The vectors stay in memory, by node id
(embedding.vectors, zeros for a node no walk lists), and in gensim's model
(embedding.model.wv), whose keys are the tokens as the words format writes
them: urllib.parse.unquote turns a key back into its token.
"""

from __future__ import annotations

import sys
from collections import Counter
from urllib.parse import unquote

from vantrel_cli import embed


def highest_degree_node(sampler) -> str:
    """The label of the node that is head or tail of the most triples."""
    degrees: Counter[int] = Counter()
    for head, _, tail in sampler.triple_ids():
        degrees[head] += 1
        degrees[tail] += 1
    return sampler.tokens[degrees.most_common(1)[0][0]]


def main(argv: list[str] | None = None) -> int:
    parser = embed.parser(output=False)
    parser.add_argument("--query", help="an entity whose neighbours to print (default: the highest-degree one)")
    parser.set_defaults(each=20, dim=32, workers=1)
    args = parser.parse_args(argv)
    embedding = embed.embed(args)
    sampler, vectors = embedding.sampler, embedding.model.wv
    query = args.query if args.query is not None else highest_degree_node(sampler)
    print(f"{len(vectors)} tokens, {vectors.vector_size} dimensions")
    if embed.word_of(query) not in vectors:
        why = "no walk reached it" if query in sampler.tokens else f"it is no node or relation of {args.data}"
        print(f"{query!r} is not in the vocabulary: {why}", file=sys.stderr)
        return 1
    print(f"nearest to {query}:")
    for word, similarity in vectors.most_similar(embed.word_of(query), topn=5):
        print(f"{similarity:.3f}  {unquote(word)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
