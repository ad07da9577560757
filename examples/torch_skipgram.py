"""Node embeddings trained in plain PyTorch on fixed-length walks, as PyG's Node2Vec trains them:
skip-gram with negative sampling over walks of the nodes alone.

    python examples/torch_skipgram.py [kg.tsv] [--length 10] [--per-node 10] [--window 3] [--epochs 5]

walk_ids(..., items="nodes", length=L) gives every walk L + 1 node ids
back to back, so the ids reshape to a (walks, L + 1) matrix without a copy
(where no walk meets a dead end; a walk that does is shorter, and the
example then keeps the full-length ones). Every (node, node within
--window steps) pair of a walk is a positive example; each has --negatives
nodes drawn uniformly as negatives.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import numpy as np
import torch
import vantrel

BUNDLED_GRAPH = pathlib.Path(__file__).resolve().parent / "data" / "rivers.tsv"


def walk_matrix(sampler: vantrel.PathSampler, length: int, per_node: int) -> np.ndarray:
    """The walks, one row each: per_node walks from every node, of `length` steps."""
    ids, offsets = sampler.walk_ids(0, per_node * sampler.node_count, start="each", items="nodes", length=length)
    ids, offsets = np.asarray(ids), np.asarray(offsets)
    if len(ids) == len(offsets[:-1]) * (length + 1):
        return ids.reshape(-1, length + 1)  # no walk met a dead end: a view, no copy
    full = np.diff(offsets) == length + 1
    return np.stack([ids[offsets[k]:offsets[k + 1]] for k in np.flatnonzero(full)])


def pairs_of(walks: np.ndarray, window: int) -> torch.Tensor:
    """(center, context) for every two positions of a walk at most `window` apart."""
    found = []
    for shift in range(1, window + 1):
        found.append(np.stack([walks[:, :-shift].ravel(), walks[:, shift:].ravel()], axis=1))
        found.append(np.stack([walks[:, shift:].ravel(), walks[:, :-shift].ravel()], axis=1))
    return torch.from_numpy(np.concatenate(found).astype(np.int64))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", nargs="?", default=str(BUNDLED_GRAPH), help="a triple file (default: the bundled one)")
    parser.add_argument("--length", type=int, default=10, help="steps per walk (default 10)")
    parser.add_argument("--per-node", type=int, default=10, help="walks from each node (default 10)")
    parser.add_argument("--window", type=int, default=3)
    parser.add_argument("--negatives", type=int, default=5)
    parser.add_argument("--dim", type=int, default=32)
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)

    torch.manual_seed(args.seed)
    sampler = vantrel.PathSampler(args.data, 4.0, 10, args.seed)
    walks = walk_matrix(sampler, args.length, args.per_node)
    pairs = pairs_of(walks, args.window)
    center = torch.nn.Embedding(sampler.node_count, args.dim)
    context = torch.nn.Embedding(sampler.node_count, args.dim)
    optimizer = torch.optim.Adam(list(center.parameters()) + list(context.parameters()), lr=0.01)
    for epoch in range(args.epochs):
        total = 0.0
        for batch in torch.randperm(len(pairs)).split(1024):
            u, v = pairs[batch, 0], pairs[batch, 1]
            negative = torch.randint(sampler.node_count, (len(batch), args.negatives))
            positive_score = (center(u) * context(v)).sum(-1)
            negative_score = torch.bmm(context(negative), center(u).unsqueeze(-1)).squeeze(-1)
            loss = -(torch.nn.functional.logsigmoid(positive_score).mean()
                     + torch.nn.functional.logsigmoid(-negative_score).sum(-1).mean())
            optimizer.zero_grad()
            loss.backward()
            optimizer.step()
            total += loss.item() * len(batch)
        print(f"epoch {epoch}: loss {total / len(pairs):.4f}")
    print(f"{walks.shape[0]} walks of {args.length} steps, {len(pairs)} pairs, {sampler.node_count} nodes "
          f"embedded in {args.dim} dimensions")
    return 0


if __name__ == "__main__":
    sys.exit(main())
