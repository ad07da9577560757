"""A PyTorch IterableDataset of random walks as token ids, the same whatever the number of loader workers.

    python examples/torch_dataset.py [kg.tsv] [--walks 64] [--epochs 2] [--workers 2] [--seed 1]

Epoch e is walks number e * N to (e + 1) * N - 1 of one sampler (walks by
number depend on nothing else), so the loader's workers just split that
range and turn their share into tensors with `walk_ids`. The graph is read
once, saved as a snapshot, and mapped once per worker (worker_init_fn, with
persistent workers); the batches are used as they come, not kept. Token id
0 is padding; a walk's ids are PathSampler.tokens ids plus one.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import tempfile

import numpy as np
import torch
import vantrel
from torch.utils.data import DataLoader, IterableDataset, get_worker_info

BUNDLED_GRAPH = pathlib.Path(__file__).resolve().parent / "data" / "rivers.tsv"


class WalkDataset(IterableDataset):
    """The walks of the graph saved at `snapshot`; each process (the main one,
    or each loader worker) maps it once and counts its own epochs, one per
    pass over the dataset."""

    def __init__(self, snapshot: str, walks_per_epoch: int, mean: float = 4.0, cap: int = 10, seed: int = 0,
                 chunk: int = 4096):
        self.snapshot, self.walks_per_epoch = snapshot, walks_per_epoch
        self.mean, self.cap, self.seed, self.chunk = mean, cap, seed, chunk
        self.epoch = 0
        self.sampler: vantrel.PathSampler | None = None

    def open(self) -> None:
        self.sampler = vantrel.PathSampler.load(self.snapshot, self.mean, self.cap, self.seed)

    def __iter__(self):
        if self.sampler is None:
            self.open()
        info = get_worker_info()
        worker, workers = (0, 1) if info is None else (info.id, info.num_workers)
        first = self.epoch * self.walks_per_epoch
        self.epoch += 1
        begin = first + self.walks_per_epoch * worker // workers
        end = first + self.walks_per_epoch * (worker + 1) // workers
        for chunk_start in range(begin, end, self.chunk):
            # One thread per loader worker: the workers are the parallelism.
            ids, offsets = self.sampler.walk_ids(chunk_start, min(end, chunk_start + self.chunk), threads=1)
            # The ids are read-only, shared with the sampler's result; the + 1 makes a tensor of its own.
            ids = torch.from_numpy(np.asarray(ids).astype(np.int64) + 1)
            bounds = memoryview(offsets).tolist()
            for k in range(len(bounds) - 1):
                yield ids[bounds[k]:bounds[k + 1]]


def open_in_worker(_: int) -> None:
    """worker_init_fn: the worker maps the snapshot once, for every epoch."""
    get_worker_info().dataset.open()


def pad(batch: list[torch.Tensor]) -> torch.Tensor:
    return torch.nn.utils.rnn.pad_sequence(batch, batch_first=True, padding_value=0)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", nargs="?", default=str(BUNDLED_GRAPH),
                        help="a triple file (default: the bundled example graph)")
    parser.add_argument("--walks", type=int, default=64, help="walks per epoch (default 64)")
    parser.add_argument("--epochs", type=int, default=2)
    parser.add_argument("--workers", type=int, default=2, help="loader worker processes (default 2)")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    graph = vantrel.PathSampler(args.data, 4.0, 10, args.seed)
    with tempfile.TemporaryDirectory() as scratch:
        snapshot = str(pathlib.Path(scratch) / "graph.vantrel")
        graph.save(snapshot)
        dataset = WalkDataset(snapshot, walks_per_epoch=args.walks, seed=args.seed)
        loader = DataLoader(dataset, batch_size=16, num_workers=args.workers, collate_fn=pad,
                            worker_init_fn=open_in_worker, persistent_workers=args.workers > 0)
        for epoch in range(args.epochs):
            batches, first_shape = 0, None
            for batch in loader:  # each batch used as it comes (a model's step), then let go
                batches += 1
                first_shape = first_shape or tuple(batch.shape)
            print(f"epoch {epoch}: {batches} batches, first shape {first_shape}, "
                  f"vocabulary {len(graph.tokens) + 1}")
        del loader  # its workers end before the snapshot goes
    return 0


if __name__ == "__main__":
    sys.exit(main())
