"""What a user would otherwise write: the same walk rules in plain Python,
with a dict of labels, per-node edge lists and the `random` module.

Its random stream differs from vantrel's, so only its speed is comparable.
Like a straightforward implementation, it copies the current node's edge lists
at every step.
"""

from __future__ import annotations

import random


class NaivePathSampler:
    def __init__(self, data_path: str, mean_path_len: float, max_path_len: int, random_state: int) -> None:
        ids: dict[str, int] = {}
        labels: list[str] = []
        fwd: list[list[int]] = []
        rev: list[list[int]] = []
        src: list[int] = []
        dst: list[int] = []
        relation: list[str] = []

        def node(label: str) -> int:
            found = ids.get(label)
            if found is None:
                found = ids[label] = len(labels)
                labels.append(label)
                fwd.append([])
                rev.append([])
            return found

        with open(data_path, encoding="utf-8", newline="") as handle:
            for line in handle:
                head, rel, tail = line.rstrip("\n").rstrip("\r").split("\t")[:3]
                i = node(head)
                fwd[i].append(len(src))
                j = node(tail)
                rev[j].append(len(src))
                src.append(i)
                dst.append(j)
                relation.append(rel)
        self.data_size = len(src)
        self.labels, self.fwd, self.rev, self.src, self.dst, self.relation = labels, fwd, rev, src, dst, relation
        self.mean_path_len = mean_path_len
        self.max_path_len = max_path_len
        self.random = random.Random(random_state)

    def _poisson(self) -> int:
        # Knuth's method below 12, a rounded normal approximation above.
        rnd = self.random
        if self.mean_path_len < 12:
            limit = 2.718281828459045 ** -self.mean_path_len
            k, p = 0, rnd.random()
            while p > limit:
                k += 1
                p *= rnd.random()
            return k
        return max(0, round(rnd.gauss(self.mean_path_len, self.mean_path_len**0.5)))

    def sample_path(self) -> list[str]:
        rnd = self.random
        steps = min(self._poisson() + 1, self.max_path_len)
        node = rnd.randrange(len(self.labels))
        path = [self.labels[node]]
        prev = None
        for _ in range(steps):
            candidates = self.fwd[node] + self.rev[node]
            boundary = len(self.fwd[node])
            if prev is not None and len(candidates) > 1:
                k = candidates.index(prev)
                del candidates[k]
                if k < boundary:
                    boundary -= 1
            i = rnd.randrange(len(candidates))
            edge = candidates[i]
            if i < boundary:
                node = self.dst[edge]
                path.append(self.relation[edge] + "::-->")
            else:
                node = self.src[edge]
                path.append(self.relation[edge] + "::<--")
            prev = edge
        path.append(self.labels[node])
        return path
