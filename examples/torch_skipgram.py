"""Token embeddings trained in plain PyTorch from walks handed over in batches: skip-gram with negative
sampling, as word2vec (and vantrel-embed through gensim) trains it.

    python examples/torch_skipgram.py [kg.tsv] [--each 10] [--window 5] [--epochs 5] [--dim 100] [--query LABEL]

Epoch e trains on walks e * N to (e + 1) * N - 1 (N = --each walks from
every node, start="each"), taken from PathSampler.batches as tensors, so
that every epoch sees walks of its own and a run is the same on any
machine for a --seed. Every two tokens of a walk at most --window apart
make a (centre, context) pair, both ways; each pair is pulled together and
pushed from --negatives tokens drawn as word2vec draws them (by count to
the power 0.75), shared by each group of 64 pairs so that they are read
once. The vectors are updated in place by plain SGD on 4,096 pairs at a
time, the learning rate falling linearly to nothing as word2vec's does; a
token met k > 8 times in a step takes 8 times the mean of its k updates,
which keeps hub nodes and common relations from overshooting. A progress line on stderr counts pairs and
pairs per second; at the end the example prints the nearest tokens of
--query (default: the node with the most edges) by cosine similarity.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

import torch
import vantrel

BUNDLED_GRAPH = pathlib.Path(__file__).resolve().parent / "data" / "rivers.tsv"
GROUP = 64  # pairs that share their negatives
MOST_SUMMED = 8
PAIRS_PER_STEP = 1 << 12  # pairs a step: few enough that a step seldom aims at one row twice


def pairs_of(ids: torch.Tensor, offsets: torch.Tensor, window: int, keep: torch.Tensor,
             generator: torch.Generator) -> tuple[torch.Tensor, torch.Tensor]:
    """(centre, context) pairs of a batch of walks, as word2vec makes them: each token kept with its
    probability in `keep` (the rest left out before windows are counted), then each kept token paired,
    both ways, with those at most `window` apart in its walk, a pair `shift` apart kept with probability
    (window - shift + 1) / window (word2vec's window of a size drawn for each centre)."""
    walk = torch.repeat_interleave(torch.arange(len(offsets) - 1), offsets.diff())
    kept = torch.rand(len(ids), generator=generator) < keep[ids]
    ids, walk = ids[kept], walk[kept]
    centres, contexts = [], []
    for shift in range(1, window + 1):
        same = walk[:-shift] == walk[shift:]
        before, after = ids[:-shift][same], ids[shift:][same]
        for centre, context in ((before, after), (after, before)):
            within = torch.rand(len(centre), generator=generator) < (window - shift + 1) / window
            centres.append(centre[within])
            contexts.append(context[within])
    return torch.cat(centres), torch.cat(contexts)


def kept_share(counts: torch.Tensor, sample: float) -> torch.Tensor:
    """word2vec's probability of keeping each token of a corpus with these counts: frequent tokens
    (relations, hubs) are mostly left out, tokens rarer than sample * total all kept."""
    threshold = sample * counts.sum()
    return ((counts / threshold).sqrt() + 1) * threshold / counts.clamp(min=1)


def damping(times: torch.Tensor) -> torch.Tensor:
    """What a row's summed steps are divided by, for `times` steps aimed at it: 1 up to MOST_SUMMED steps,
    then times / MOST_SUMMED, so that a hub met thousands of times in a step moves as if met MOST_SUMMED
    times, in the mean direction, and does not overshoot."""
    return (times / MOST_SUMMED).clamp(min=1)


class SkipGram:
    """Centre and context vectors of `vocabulary` tokens, trained by SGD on (centre, context) pairs."""

    def __init__(self, vocabulary: int, dim: int, negatives: int, counts: torch.Tensor, generator: torch.Generator):
        self.centre = (torch.rand(vocabulary, dim, generator=generator) - 0.5) / dim
        self.context = torch.zeros(vocabulary, dim)
        self.negatives, self.generator = negatives, generator
        weights = counts.double().clamp(min=1) ** 0.75
        self.table = torch.multinomial(weights, 1 << 22, replacement=True, generator=generator)

    def step(self, centre: torch.Tensor, context: torch.Tensor, rate: float) -> float:
        """One SGD step on the pairs (their count a multiple of GROUP); returns their mean loss."""
        groups, dim = len(centre) // GROUP, self.centre.shape[1]
        drawn = torch.randint(len(self.table), (groups * self.negatives,), generator=self.generator)
        negative = self.table.index_select(0, drawn)
        u = self.centre.index_select(0, centre)
        v = self.context.index_select(0, context)
        n = self.context.index_select(0, negative).view(groups, self.negatives, dim)
        grouped = u.view(groups, GROUP, dim)
        positive_score = torch.bmm(u.unsqueeze(1), v.unsqueeze(2)).view(-1)
        negative_score = torch.bmm(grouped, n.transpose(1, 2))
        # The gradient of log sigmoid(u.v) + sum log sigmoid(-u.n), times the rate; the steps aimed at
        # a row are summed, and damped where there are many (each divided by the row's damping first).
        pull = (1 - torch.sigmoid(positive_score)) * rate
        push = -torch.sigmoid(negative_score) * rate
        centre_times = damping(torch.bincount(centre, minlength=len(self.centre)).to(u.dtype))
        centre_share = 1 / centre_times.index_select(0, centre)
        context_times = damping((torch.bincount(context, minlength=len(self.context))
                                 + torch.bincount(negative, minlength=len(self.context))).to(u.dtype))
        centre_step = v * (pull * centre_share).unsqueeze(1)
        torch.baddbmm(centre_step.view(groups, GROUP, dim), push * centre_share.view(groups, GROUP, 1), n,
                      out=centre_step.view(groups, GROUP, dim))
        self.centre.index_add_(0, centre, centre_step)
        context_share = pull / context_times.index_select(0, context)
        self.context.index_add_(0, context, u * context_share.unsqueeze(1))
        negative_step = torch.bmm(push.transpose(1, 2), grouped).view(-1, dim)
        self.context.index_add_(0, negative, negative_step / context_times.index_select(0, negative).unsqueeze(1))
        loss = -(torch.nn.functional.logsigmoid(positive_score).mean()
                 + torch.nn.functional.logsigmoid(-negative_score).sum(2).mean())
        return float(loss)


def train(sampler: vantrel.PathSampler, *, each: int = 10, items: str = "full", window: int = 5, epochs: int = 5,
          dim: int = 100, negatives: int = 5, rate: float = 0.025, sample: float = 1e-3, batch_walks: int = 4096,
          seed: int = 0, progress: bool = True) -> tuple[torch.Tensor, dict]:
    """The centre vectors of every token (row t for PathSampler.tokens[t]), and what training took."""
    generator = torch.Generator().manual_seed(seed)
    per_epoch = each * sampler.node_count
    epoch_batches = [sampler.batches(epoch * per_epoch, (epoch + 1) * per_epoch, batch_walks, start="each",
                                     items=items, tensors=True) for epoch in range(epochs)]
    counts = torch.zeros(len(sampler.tokens))
    for ids, _ in epoch_batches[0]:  # word2vec's counts: the first epoch's tokens
        counts.index_add_(0, ids, torch.ones(len(ids)))
    model = SkipGram(len(sampler.tokens), dim, negatives, counts, generator)
    keep = kept_share(counts, sample)
    done, began, shown, loss = 0, time.perf_counter(), 0.0, float("nan")
    for epoch, batches in enumerate(epoch_batches):
        for k, (ids, offsets) in enumerate(batches):
            left = 1 - (epoch + k / len(batches)) / epochs  # the rate falls with the walks drawn
            centre, context = pairs_of(ids, offsets, window, keep, generator)
            order = torch.randperm(len(centre), generator=generator)
            for start in range(0, len(order) - GROUP + 1, PAIRS_PER_STEP):
                chosen = order[start:start + PAIRS_PER_STEP]
                chosen = chosen[:len(chosen) // GROUP * GROUP]  # fewer than GROUP pairs a batch are left out
                loss = model.step(centre[chosen], context[chosen], rate * max(left, 1e-4))
                done += len(chosen)
            now = time.perf_counter()
            if progress and now - shown > 0.5:
                shown = now
                print(f"\repoch {epoch + 1}/{epochs}: {done:,} pairs, {done / (now - began):,.0f} pairs/s, "
                      f"loss {loss:.3f}", end="", file=sys.stderr, flush=True)
    seconds = time.perf_counter() - began
    if progress:
        print(f"\r{done:,} pairs in {seconds:.1f} s, {done / seconds:,.0f} pairs/s, loss {loss:.3f}" + " " * 20,
              file=sys.stderr)
    return model.centre, {"pairs": done, "seconds": seconds, "loss": loss}


def nearest(vectors: torch.Tensor, row: int, count: int) -> list[tuple[int, float]]:
    unit = torch.nn.functional.normalize(vectors, dim=1)
    similarity = unit @ unit[row]
    similarity[row] = -2
    best = similarity.topk(min(count, len(vectors) - 1))
    return list(zip(best.indices.tolist(), best.values.tolist()))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", nargs="?", default=str(BUNDLED_GRAPH), help="a triple file (default: the bundled one)")
    parser.add_argument("--each", type=int, default=10, help="walks from each node per epoch (default 10)")
    parser.add_argument("--items", choices=["path", "full", "nodes"], default="full",
                        help="what each walk lists, as walk_ids() takes it (default full: every node and relation)")
    parser.add_argument("--window", type=int, default=5)
    parser.add_argument("--negatives", type=int, default=5)
    parser.add_argument("--dim", type=int, default=100)
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--query", help="the label whose nearest tokens are shown (default: the busiest node)")
    parser.add_argument("--no-progress", action="store_true")
    args = parser.parse_args(argv)

    sampler = vantrel.PathSampler(args.data, 4.0, 10, args.seed)
    vectors, took = train(sampler, each=args.each, items=args.items, window=args.window, epochs=args.epochs,
                          dim=args.dim, negatives=args.negatives, seed=args.seed, progress=not args.no_progress)
    print(f"{len(sampler.tokens)} tokens embedded in {args.dim} dimensions from {took['pairs']:,} pairs")
    if args.query is None:
        heads_and_tails = torch.from_dlpack(sampler.triple_ids()).to(torch.int64)[:, [0, 2]].flatten()
        query = int(torch.bincount(heads_and_tails, minlength=sampler.node_count).argmax())
    else:
        query = sampler.tokens.index(args.query)
    print(f"nearest to {sampler.tokens[query]}:")
    for token, similarity in nearest(vectors, query, 5):
        print(f"  {similarity:.3f}  {sampler.tokens[token]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
