"""Walks into PyTorch: what handing walks over in batches costs, and what
examples/torch_skipgram.py trains from them.

1. Handing over: 10^6 walks of WN18RR drawn by one walk_ids call, against
   the same walks as PathSampler.batches of 4,096 walks, as IdArrays and as
   torch tensors (best of 5 each, every core).
2. Training: the example's skip-gram on WN18RR with 5% of its triples held
   out (bench/quality.py's split), its pairs per second, and its entity
   vectors scored by bench/quality.py's relation prediction beside the
   vectors of vantrel-embed (gensim, its defaults) on the same triples.

    pip install torch gensim scikit-learn numpy
    python bench/torch_handoff.py [--quick] [--skip-training]
"""

from __future__ import annotations

import argparse
import collections
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
from common import ROOT, SHARED_DATA
from kernel import cpu_label

sys.path.insert(0, str(ROOT / "examples"))


def best_of(call, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        began = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - began)
    return best


def handing_over(path: str, walks: int, repeats: int) -> None:
    import vantrel

    sampler = vantrel.PathSampler(path, 4.0, 10, 1)
    alone = best_of(lambda: sampler.walk_ids(0, walks), repeats)
    print(f"walk_ids(0, {walks:,}): {alone * 1e3:.0f} ms")
    sampler.batches(0, 1, 1, tensors=True)[0]  # torch imported before any timing
    for tensors in (False, True):
        batches = sampler.batches(0, walks, 4096, tensors=tensors)
        took = best_of(lambda every=batches: collections.deque(every, maxlen=0), repeats)  # each batch, then let go
        kind = "torch tensors" if tensors else "IdArrays"
        print(f"batches(0, {walks:,}, 4096) as {kind}: {took * 1e3:.0f} ms, {took / alone:.2f}x walk_ids alone")


def training(path: str, epochs: int) -> None:
    import quality
    import torch
    import torch_skipgram
    import vantrel

    train, test = quality.held_out(path)
    all_true = collections.defaultdict(set)
    for h, r, t in train + test:
        all_true[(h, r)].add(t)
    with tempfile.TemporaryDirectory() as directory:
        train_path = os.path.join(directory, "train.tsv")
        with open(train_path, "w", encoding="utf-8") as out:
            out.writelines(f"{h}\t{r}\t{t}\n" for h, r, t in train)
        sampler = vantrel.PathSampler(train_path, 4.0, 10, 0)
        ids = {label: i for i, label in enumerate(sampler.tokens[:sampler.node_count])}
        torch.set_num_threads(os.cpu_count() or 1)
        vectors, took = torch_skipgram.train(sampler, epochs=epochs)
        ours = quality.scores(vectors[:sampler.node_count].numpy(), ids, train, test, all_true)
        print(f"torch_skipgram: {took['pairs']:,} pairs in {took['seconds']:.1f} s, "
              f"{took['pairs'] / took['seconds']:,.0f} pairs/s; relation prediction accuracy {ours['accuracy']:.3f}, "
              f"macro F1 {ours['macro_f1']:.3f}")
        out = os.path.join(directory, "vectors.npy")
        began = time.perf_counter()
        subprocess.run([sys.executable, "-m", "vantrel_cli.embed", train_path, "--out", out, "--epochs", str(epochs),
                        "--no-progress"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        seconds = time.perf_counter() - began
        theirs = quality.scores(np.load(out), ids, train, test, all_true)
        print(f"vantrel-embed: {seconds:.1f} s with its walks; relation prediction accuracy "
              f"{theirs['accuracy']:.3f}, macro F1 {theirs['macro_f1']:.3f}; torch_skipgram - vantrel-embed: "
              f"{ours['accuracy'] - theirs['accuracy']:+.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes on the bundled graph (a smoke test)")
    parser.add_argument("--skip-training", action="store_true")
    args = parser.parse_args()
    print(f"CPU: {cpu_label()}; {time.strftime('%Y-%m-%d')}")
    wn18rr = SHARED_DATA / "wn18rr-train.tsv"
    if args.quick or not wn18rr.is_file():
        path = str(ROOT / "examples" / "data" / "rivers.tsv")
        handing_over(path, 20_000, 1)
        if not args.skip_training:
            training(path, 1)
        return
    handing_over(str(wn18rr), 1_000_000, 5)
    if not args.skip_training:
        training(str(wn18rr), 5)


if __name__ == "__main__":
    main()
