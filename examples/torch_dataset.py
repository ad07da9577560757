"""Walks into a PyTorch training loop with PathSampler.batches: a DataLoader of ready batches, the same
batches in the same order whatever the number of loader workers.

    python examples/torch_dataset.py [kg.tsv] [--walks 64] [--batch 16] [--epochs 2] [--workers 2] [--seed 1]

Epoch e is walks e * N to (e + 1) * N - 1 of one sampler (walks by number
depend on nothing else), as batches of --batch walks, each a pair of int64
tensors (ids, offsets). The loader's workers (forked, sharing the graph's
memory) each draw the batches they are handed, with one thread each: the
workers are the parallelism. Each batch is then padded into a (walks,
longest walk) matrix whose token id 0 is padding, a walk's ids being
PathSampler.tokens ids plus one, as a sequence model takes them.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import torch
import vantrel
from torch.utils.data import DataLoader

BUNDLED_GRAPH = pathlib.Path(__file__).resolve().parent / "data" / "rivers.tsv"


def padded(ids: torch.Tensor, offsets: torch.Tensor) -> torch.Tensor:
    """A batch's walks as rows of a matrix, token ids plus one, 0 after a walk's end."""
    lengths = offsets.diff()
    rows = torch.zeros(len(lengths), int(lengths.max()), dtype=torch.int64)
    columns = torch.arange(rows.shape[1])
    rows[columns < lengths.unsqueeze(1)] = ids + 1
    return rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", nargs="?", default=str(BUNDLED_GRAPH),
                        help="a triple file (default: the bundled example graph)")
    parser.add_argument("--walks", type=int, default=64, help="walks per epoch (default 64)")
    parser.add_argument("--batch", type=int, default=16, help="walks per batch (default 16)")
    parser.add_argument("--epochs", type=int, default=2)
    parser.add_argument("--workers", type=int, default=2, help="loader worker processes (default 2)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    sampler = vantrel.PathSampler(args.data, 4.0, 10, args.seed)
    for epoch in range(args.epochs):
        batches = sampler.batches(epoch * args.walks, (epoch + 1) * args.walks, args.batch, tensors=True,
                                  threads=1 if args.workers else 0)
        loader = DataLoader(batches, batch_size=None, num_workers=args.workers,
                            multiprocessing_context="fork" if args.workers else None)
        count, first_shape, tokens = 0, None, 0
        for ids, offsets in loader:  # each batch used as it comes (a model's step), then let go
            rows = padded(ids, offsets)
            count += 1
            first_shape = first_shape or tuple(rows.shape)
            tokens += len(ids)
        print(f"epoch {epoch}: {count} batches, first shape {first_shape}, {tokens} tokens, "
              f"vocabulary {len(sampler.tokens) + 1}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
