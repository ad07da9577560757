"""A PyTorch IterableDataset of random walks, reproducible with any number of loader workers.

    python examples/torch_dataset.py [kg.tsv]

Every DataLoader worker builds its own sampler, seeded from the base seed,
the epoch and its worker id, and yields its share of the epoch's walks.
Walks are encoded as token ids with a vocabulary read from the same file.
"""

from __future__ import annotations

import pathlib
import sys

import torch
from torch.utils.data import DataLoader, IterableDataset, get_worker_info

import vantrel
from seeding import derive_seed

BUNDLED_GRAPH = pathlib.Path(__file__).resolve().parent / "data" / "rivers.tsv"


def vocabulary(data_path: str) -> dict[str, int]:
    """Token ids: 0 for padding, then every node label and every relation in both directions."""
    tokens: dict[str, int] = {"<pad>": 0}
    with open(data_path, encoding="utf-8", newline="") as handle:
        for line in handle:
            head, relation, tail = line.rstrip("\n").removesuffix("\r").split("\t")[:3]
            for token in (head, tail, relation + "::-->", relation + "::<--"):
                tokens.setdefault(token, len(tokens))
    return tokens


class WalkDataset(IterableDataset):
    def __init__(self, data_path: str, walks_per_epoch: int, mean: float = 4.0, cap: int = 10, seed: int = 0):
        self.data_path, self.walks_per_epoch = data_path, walks_per_epoch
        self.mean, self.cap, self.seed = mean, cap, seed
        self.epoch = 0
        self.vocabulary = vocabulary(data_path)

    def set_epoch(self, epoch: int) -> None:
        self.epoch = epoch

    def __iter__(self):
        info = get_worker_info()
        worker, workers = (0, 1) if info is None else (info.id, info.num_workers)
        share = self.walks_per_epoch // workers + (1 if worker < self.walks_per_epoch % workers else 0)
        seed = derive_seed(derive_seed(self.seed, self.epoch), worker)
        sampler = vantrel.PathSampler(self.data_path, self.mean, self.cap, seed)
        for _ in range(share):
            yield torch.tensor([self.vocabulary[token] for token in sampler.sample_path()])


def pad(batch: list[torch.Tensor]) -> torch.Tensor:
    return torch.nn.utils.rnn.pad_sequence(batch, batch_first=True, padding_value=0)


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    dataset = WalkDataset(argv[0] if argv else str(BUNDLED_GRAPH), walks_per_epoch=64, seed=1)
    loader = DataLoader(dataset, batch_size=16, num_workers=2, collate_fn=pad)
    for epoch in range(2):
        dataset.set_epoch(epoch)
        batches = list(loader)
        print(f"epoch {epoch}: {len(batches)} batches, first shape {tuple(batches[0].shape)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
