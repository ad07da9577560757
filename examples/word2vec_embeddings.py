"""RDF2Vec in a screenful: random walks as sentences, gensim's Word2Vec on them.

    python examples/word2vec_embeddings.py [kg.tsv] [--walks 20000] [--seed 0]

Entities and relations (with their direction) become tokens; entities that
occur in similar walk contexts get similar vectors.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

from gensim.models import Word2Vec

import vantrel

BUNDLED_GRAPH = pathlib.Path(__file__).resolve().parent / "data" / "rivers.tsv"


def embed(data_path: str, walks: int, seed: int, dimensions: int = 32) -> Word2Vec:
    sampler = vantrel.PathSampler(data_path, 4.0, 8, seed)
    sentences = [sampler.sample_path() for _ in range(walks)]
    # One worker thread: with several, gensim's training order, and so the vectors, vary.
    return Word2Vec(sentences, vector_size=dimensions, window=5, min_count=1, sg=1, workers=1, seed=seed, epochs=5)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", nargs="?", default=str(BUNDLED_GRAPH))
    parser.add_argument("--walks", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--query", default="Rhine", help="an entity whose neighbours to print")
    args = parser.parse_args(argv)
    model = embed(args.data, args.walks, args.seed)
    print(f"{len(model.wv)} tokens, {model.wv.vector_size} dimensions")
    if args.query in model.wv:
        for token, similarity in model.wv.most_similar(args.query, topn=5):
            print(f"{similarity:.3f}  {token}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
