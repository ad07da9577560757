"""A pure-Python port of vantrel's walks: same file rules, same ChaCha20
stream, same Poisson lengths, same walk, so the same lists call for call.

It follows the rules literally (the candidate list is copied at every step)
and serves as an independent oracle in the tests and as the slow baseline in
the benchmarks.
"""

from __future__ import annotations

import copy
import math

_MASK32 = 0xFFFFFFFF
_SIGMA = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)


def _rotl(v: int, bits: int) -> int:
    return ((v << bits) | (v >> (32 - bits))) & _MASK32


def chacha20_block(key: list[int], counter: int, nonce: int = 0) -> list[int]:
    state = list(_SIGMA) + list(key) + [counter & _MASK32, (counter >> 32) & _MASK32,
                                        nonce & _MASK32, (nonce >> 32) & _MASK32]
    x = state[:]

    def quarter(a: int, b: int, c: int, d: int) -> None:
        x[a] = (x[a] + x[b]) & _MASK32
        x[d] = _rotl(x[d] ^ x[a], 16)
        x[c] = (x[c] + x[d]) & _MASK32
        x[b] = _rotl(x[b] ^ x[c], 12)
        x[a] = (x[a] + x[b]) & _MASK32
        x[d] = _rotl(x[d] ^ x[a], 8)
        x[c] = (x[c] + x[d]) & _MASK32
        x[b] = _rotl(x[b] ^ x[c], 7)

    for _ in range(10):
        quarter(0, 4, 8, 12)
        quarter(1, 5, 9, 13)
        quarter(2, 6, 10, 14)
        quarter(3, 7, 11, 15)
        quarter(0, 5, 10, 15)
        quarter(1, 6, 11, 12)
        quarter(2, 7, 8, 13)
        quarter(3, 4, 9, 14)
    return [(x[i] + state[i]) & _MASK32 for i in range(16)]


class Rng:
    """ChaCha20 with a 64-bit counter, four blocks a refill, 64-bit draws.

    Stream 0 is a sampler's own; walk number i has stream i + 1 (the nonce).
    """

    def __init__(self, random_state: int, stream: int = 0) -> None:
        seed = random_state.to_bytes(8, "big") + bytes(24)
        self.key = [int.from_bytes(seed[4 * i : 4 * i + 4], "little") for i in range(8)]
        self.stream = stream
        self.counter = 0
        self.results: list[int] = []
        self.index = 64

    def next_u64(self) -> int:
        if self.index >= 64:
            self.results = []
            for b in range(4):
                self.results += chacha20_block(self.key, self.counter + b, self.stream)
            self.counter += 4
            self.index = 0
        value = self.results[self.index] | (self.results[self.index + 1] << 32)
        self.index += 2
        return value

    def unit(self) -> float:
        return (self.next_u64() >> 11) * (1.0 / 9007199254740992.0)

    def gen_range(self, low: int, high: int) -> int:
        if low >= high:
            raise IndexError("UniformSampler::sample_single: low >= high")
        span = high - low
        zone = ((span << (64 - span.bit_length())) & 0xFFFFFFFFFFFFFFFF) - 1
        while True:
            product = self.next_u64() * span
            if product & 0xFFFFFFFFFFFFFFFF <= zone:
                return low + (product >> 64)


def c_exp(x: float) -> float:
    """exp as the C library gives it: infinity where the result overflows."""
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def log_gamma(x: float) -> float:
    tmp = x + 5.5
    log = ((x + 0.5) * math.log(tmp)) - tmp
    a = 1.000000000190015
    denom = x
    for k in (76.18009172947146, -86.50532032941678, 24.01409824083091,
              -1.231739572450155, 0.001208650973866179, -5.395239384953e-6):
        denom = denom + 1.0
        a = a + (k / denom)
    return log + math.log((2.5066282746310007 * a) / x)


class Poisson:
    def __init__(self, lam: float) -> None:
        if not lam > 0.0:
            raise ValueError("called `Result::unwrap()` on an `Err` value: ShapeTooSmall")
        self.log_lambda = math.log(lam) if lam != math.inf else math.inf
        self.exp_lambda = math.exp(-lam)
        self.sqrt_2lambda = math.sqrt(2.0 * lam)
        self.magic_val = (lam * self.log_lambda) - log_gamma(1.0 + lam)
        self.lam = lam

    def sample(self, rng: Rng) -> float:
        if self.lam < 12.0:
            result, p = 0.0, 1.0
            while p > self.exp_lambda:
                p = p * rng.unit()
                result = result + 1.0
            return result - 1.0
        while True:
            while True:
                comp_dev = 0.0 + (1.0 * math.tan(3.141592653589793 * rng.unit()))
                result = (self.sqrt_2lambda * comp_dev) + self.lam
                if result >= 0.0:
                    break
            result = math.floor(result) * 1.0
            check = (0.9 * (1.0 + comp_dev * comp_dev)) * c_exp(
                ((result * self.log_lambda) - log_gamma(1.0 + result)) - self.magic_val)
            if rng.unit() <= check:
                return result


def read_triples(content: str) -> list[tuple[str, str, str]]:
    lines = content.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    triples = []
    for line in lines:
        if line.endswith("\r"):
            line = line[:-1]
        fields = line.split("\t")
        if len(fields) < 3:
            index = 1 if len(fields) == 1 else 2
            raise ValueError(f"index out of bounds: the len is {len(fields)} but the index is {index}")
        triples.append((fields[0], fields[1], fields[2]))
    return triples


def first_above_a_draw(values: list[float], rng: Rng) -> int | None:
    """The first k whose running sum (added in order, in float64) is above
    unit() times the last, or None where rounding leaves none."""
    sums, total = [], 0.0
    for value in values:
        total = total + value
        sums.append(total)
    x = rng.unit() * sums[-1]
    return next((k for k, s in enumerate(sums) if x < s), None)


class Graph:
    def __init__(self, triples: list[tuple[str, str, str]]) -> None:
        self.ids: dict[str, int] = {}
        self.labels: list[str] = []
        self.fwd: list[list[int]] = []
        self.rev: list[list[int]] = []
        self.edges: list[tuple[int, int, str]] = []
        for head, relation, tail in triples:
            i = self._node(head)
            self.fwd[i].append(len(self.edges))
            j = self._node(tail)
            self.rev[j].append(len(self.edges))
            self.edges.append((i, j, relation))

    def _node(self, label: str) -> int:
        node = self.ids.get(label)
        if node is None:
            node = self.ids[label] = len(self.labels)
            self.labels.append(label)
            self.fwd.append([])
            self.rev.append([])
        return node

    def candidates(self, node: int, allowed=None) -> list[tuple[int, bool, int]]:
        """The candidates of `node` in order: (edge, forward, far node), its
        forward edges then its backward edges, those `allowed` allows."""
        forward = [(e, True, self.edges[e][1]) for e in self.fwd[node] if allowed is None or allowed(e, True)]
        return forward + [(e, False, self.edges[e][0]) for e in self.rev[node] if allowed is None or allowed(e, False)]

    def route(self, node: int, steps: int, rng: Rng, allowed=None, bias=None, pattern=None,
              came=None, temporal=None) -> list[tuple[int, bool, int]]:
        """Up to `steps` steps from `node`, as (edge, forward, far node); the
        route ends early at a node without a candidate. `came` = (edge, t):
        the walk arrived at `node` over that edge from t (None: it starts
        here). Uniform steps leave the edge just used out unless it is the
        only candidate; a metapath's step k takes only candidates whose
        (relation, forward) is pattern[k mod m]; biased steps by the rules
        of biased_step()."""
        if temporal is not None:
            return self.temporal_route(node, steps, rng, allowed, temporal)
        taken = []
        for k in range(steps):
            candidates = self.candidates(node, allowed)
            if pattern is not None:
                key = pattern[k % len(pattern)]
                candidates = [c for c in candidates if (self.edges[c[0]][2], c[1]) == key]
            if bias is not None:
                chosen = self.biased_step(node, candidates, None if came is None else came[1], rng, allowed, bias)
            else:
                if came is not None and len(candidates) >= 2:
                    edges = [e for e, _, _ in candidates]
                    if came[0] in edges:
                        del candidates[edges.index(came[0])]
                chosen = candidates[rng.gen_range(0, len(candidates))] if candidates else None
            if chosen is None:
                break
            taken.append(chosen)
            came = (chosen[0], node)
            node = chosen[2]
        return taken

    def temporal_route(self, node, steps, rng, allowed, temporal):
        """Up to `steps` time-respecting steps from `node`; `temporal` =
        (times by edge, direction, strict, window, decay). The first step is
        uniform; each later one takes, among the node's candidates in
        (time, place) order, the run of times on the walk's side of its time
        t, leaving the edge just used out where it is in the run unless the
        run is that edge alone, uniformly or by exponential weights."""
        times, direction, strict, window, decay = temporal
        forward_in_time = direction == "forward"
        taken, came, now = [], None, None
        for _ in range(steps):
            candidates = self.candidates(node, allowed)
            if not candidates:
                break
            if now is None:
                chosen = candidates[rng.gen_range(0, len(candidates))]
            else:
                order = sorted(range(len(candidates)), key=lambda i: (times[candidates[i][0]], i))
                ordered = [times[candidates[i][0]] for i in order]

                def allowed_time(t, now=now):
                    later, earlier = (t, now) if forward_in_time else (now, t)
                    if later < earlier or (strict and t == now):
                        return False
                    return window is None or later - earlier <= window

                run = [k for k, t in enumerate(ordered) if allowed_time(t)]
                if not run:
                    break
                a, b = run[0], run[-1] + 1
                assert run == list(range(a, b))
                edges = [e for e, _, _ in candidates]
                r = order.index(edges.index(came)) if came in edges else None
                leave = r is not None and a <= r < b and b - a >= 2
                if decay is None:
                    k = a + rng.gen_range(0, b - a - (1 if leave else 0))
                    if leave and k >= r:
                        k += 1
                else:
                    k = self.exponential_pick(ordered, a, b, r if leave else None, forward_in_time, decay, rng)
                chosen = candidates[order[k]]
            now = times[chosen[0]]
            taken.append(chosen)
            came = chosen[0]
            node = chosen[2]
        return taken

    @staticmethod
    def exponential_pick(ordered, a, b, r, forward_in_time, decay, rng):
        """The place taken in [a, b) less r (None: nothing left out), by
        weights exp(-(distance from the node's first or last time / decay))."""
        origin = ordered[0] if forward_in_time else ordered[-1]
        sums = [0.0]
        for t in ordered:
            distance = float(t - origin) if forward_in_time else float(origin - t)
            sums.append(sums[-1] + c_exp(-(distance / decay)))

        def locate(low, high, target):
            for k in range(low, high):
                if sums[k + 1] > target:
                    return k
            return next(k for k in range(low, high) if sums[k + 1] >= sums[high])

        if r is None:
            before = sums[b] - sums[a]
            total = before
        else:
            before = sums[r] - sums[a]
            total = before + (sums[b] - sums[r + 1])
        if total > 0.0:
            z = rng.unit() * total
            if r is None or z < before:
                return locate(a, b if r is None else r, sums[a] + z)
            return locate(r + 1, b, sums[r + 1] + (z - before))
        if forward_in_time:
            return a + 1 if r == a else a
        return b - 2 if r == b - 1 else b - 1

    def biased_step(self, node, candidates, previous, rng, allowed, bias):
        """A biased step, by the rules: at node u, come from t, the candidates
        are all of u's (none left out); a candidate edge e to x weighs
        E[e] * R[relation] * N[x] (a factor not given is 1.0, all given ones
        multiplied in that order); a proposal is drawn among them (uniformly
        when no weight was given, else by running sums), then accepted with
        a(x) / a_max where (p, q) is not (1, 1) and t exists; after 1024
        proposals turned down, the step is drawn exactly, in proportion to
        w * a(x) over the candidates. None where no candidate weighs anything."""
        edge_weights, relation_weights, node_weights, p, q = bias
        weighted = not (edge_weights is None and relation_weights is None and node_weights is None)
        second_order = not (p == 1.0 and q == 1.0)
        inverse_p, inverse_q = 1.0 / p, 1.0 / q
        most = max(inverse_p, 1.0, inverse_q)
        weights = []
        for edge, _forward, far in candidates:
            e = edge_weights[edge] if edge_weights is not None else 1.0
            r = relation_weights.get(self.edges[edge][2], 1.0) if relation_weights is not None else 1.0
            n = node_weights[far] if node_weights is not None else 1.0
            weights.append((e * r) * n)
        if not any(w > 0.0 for w in weights):
            return None

        def acceptance(far, t=previous):
            if far == t:
                return inverse_p
            if far in {f for _, _, f in self.candidates(t, allowed)}:
                return 1.0
            return inverse_q

        rejected = 0
        while True:
            if weighted:
                k = first_above_a_draw(weights, rng)
                if k is None:
                    k = max(i for i, w in enumerate(weights) if w > 0.0)
            else:
                k = rng.gen_range(0, len(candidates))
            if not second_order or previous is None:
                return candidates[k]
            if all(f == previous for (_, _, f), w in zip(candidates, weights) if w > 0.0):
                return candidates[k]
            if rng.unit() * most < acceptance(candidates[k][2]):
                return candidates[k]
            rejected += 1
            if rejected == 1024:
                values = [w * acceptance(f) for (_, _, f), w in zip(candidates, weights)]
                k = first_above_a_draw(values, rng)
                if k is None:
                    positive = [i for i, v in enumerate(values) if v > 0.0]
                    k = positive[-1] if positive else max(i for i, w in enumerate(weights) if w > 0.0)
                return candidates[k]

    def listed(self, first: int, steps: list[tuple[int, bool, int]], items: str = "path", focus: int = 0,
               relabel=None) -> list:
        """The walk from node `first` over `steps` in form `items`: "path"
        (first node, a relation per step, last node), "full", "nodes", or
        "edges" (the row of each step's triple). With `relabel`, node item i
        is listed as relabel[node], but for i == focus."""
        nodes = [first] + [far for _, _, far in steps]
        names = [self.labels[v if relabel is None or i == focus else relabel[v]] for i, v in enumerate(nodes)]
        relations = [self.edges[e][2] + ("::-->" if forward else "::<--") for e, forward, _ in steps]
        if items == "edges":
            return [e for e, _, _ in steps]
        if items == "nodes":
            return names
        if items == "full":
            return [token for pair in zip(names, relations) for token in pair] + [names[-1]]
        return [names[0]] + relations + [names[-1]]

    def walk(self, path_len: int, rng: Rng, start: int | None = None, items: str = "path", allowed=None,
             bias=None, pattern=None, temporal=None) -> list[str]:
        """A walk from `start` (drawn if None), listed by `items`."""
        node = rng.gen_range(0, len(self.labels)) if start is None else start
        return self.listed(node, self.route(node, path_len, rng, allowed, bias, pattern, temporal=temporal), items)


class ExactPathSampler:
    """Same constructor and `sample_path()` as vantrel.PathSampler."""

    def __init__(self, data_path: str, mean_path_len: float, max_path_len: int, random_state: int) -> None:
        with open(data_path, encoding="utf-8", errors="strict", newline="") as handle:
            triples = read_triples(handle.read())
        self.data_size = len(triples)
        self.graph = Graph(triples)
        self.poi = Poisson(float(mean_path_len))
        self.random_state = random_state
        self.rng = Rng(random_state)
        self.allowed = None  # every edge, both ways
        self.bias = None  # uniform walks; else (edge weights, relation weights, node weights, p, q)
        self.pattern = None  # every relation; else a metapath, (relation label, forward) a step
        self.time_rule = None  # regardless of time; else (times by edge, direction, strict, window, decay)
        self.max_path_len = max_path_len

    def _path_len(self, rng: Rng) -> int:
        x = self.poi.sample(rng) + 1.0
        steps = 2**64 - 1 if x >= 2.0**64 else int(x)
        return min(steps, self.max_path_len)

    def _route(self, node: int, steps: int, rng: Rng, came=None):
        return self.graph.route(node, steps, rng, self.allowed, self.bias, self.pattern, came, self.time_rule)

    def sample_path(self) -> list[str]:
        rng = self.rng
        path_len = self._path_len(rng)
        node = rng.gen_range(0, len(self.graph.labels))
        return self.graph.listed(node, self._route(node, path_len, rng))

    def walk(self, number: int, start: str | list[int] = "random", items: str = "path", position: str = "start",
             relabel=None, length: int | None = None) -> list:
        """Walk number `number`: drawn like sample_path() from its own stream,
        number + 1; with start="each" it starts at node number mod n, and with
        a list of node ids S at S[number mod len(S)], undrawn. A mid walk of
        length L through its start s draws j in [0, L] (in [0, L) at L =
        2^64 - 1; no draw at L = 0), a back route of j steps from s, then an
        ahead route of L - j steps from s as though the walk had come to s
        over the back route's first edge; it lists the back route reversed
        (each step the other way), s, and the ahead route. With length=L the
        walk has L steps and no length is drawn."""
        if items == "times":
            edges = self.walk(number, start, "edges", position, relabel, length)
            return [self.time_rule[0][edge] for edge in edges]
        rng = Rng(self.random_state, number + 1)
        path_len = self._path_len(rng) if length is None else length
        if isinstance(start, list):
            node = start[number % len(start)]
        elif start == "each":
            if not self.graph.labels:
                raise IndexError("UniformSampler::sample_single: low >= high")
            node = number % len(self.graph.labels)
        else:
            node = rng.gen_range(0, len(self.graph.labels))
        if position == "start":
            return self.graph.listed(node, self._route(node, path_len, rng), items, 0, relabel)
        back_steps = 0 if path_len == 0 else rng.gen_range(0, path_len + 1 if path_len < 2**64 - 1 else path_len)
        back = self._route(node, back_steps, rng)
        ahead = self._route(node, path_len - back_steps, rng, (back[0][0], back[0][2]) if back else None)
        far_end = back[-1][2] if back else node
        nodes_back = [node] + [far for _, _, far in back]
        reversed_steps = [(edge, not forward, nodes_back[i])
                          for i, (edge, forward, _) in reversed(list(enumerate(back)))]
        return self.graph.listed(far_end, reversed_steps + ahead, items, len(back), relabel)

    def walks(self, first: int, stop: int, unique: bool = False, **kind) -> list:
        """Walks first to stop - 1; with unique, each that repeats the
        items of one of a smaller number left out."""
        walks = [self.walk(number, **kind) for number in range(first, stop)]
        if not unique:
            return walks
        seen, kept = set(), []
        for walk in walks:
            if tuple(walk) not in seen:
                seen.add(tuple(walk))
                kept.append(walk)
        return kept

    def metapath(self, pattern: list[str]) -> ExactPathSampler:
        """The same sampler whose step k takes only edges of relation token
        pattern[k mod m] ("r::-->" forward, "r::<--" backward), uniformly
        among them, with stream 0 anew."""
        walked = copy.copy(self)
        walked.rng = Rng(self.random_state)
        walked.pattern = [(token[:-5], token.endswith("::-->")) for token in pattern]
        return walked

    def biased(self, edge_weights=None, relation_weights=None, node_weights=None, p=1.0, q=1.0) -> ExactPathSampler:
        """The same sampler walking by the bias, with stream 0 anew; the
        weights of an earlier biased() are replaced, a restriction kept."""
        biased = copy.copy(self)
        biased.rng = Rng(self.random_state)
        biased.bias = (None if edge_weights is None else [float(w) for w in edge_weights],
                       None if relation_weights is None else {k: float(v) for k, v in relation_weights.items()},
                       None if node_weights is None else [float(w) for w in node_weights], float(p), float(q))
        return biased

    def temporal(self, times, direction="forward", strict=False, window=None, decay=None) -> ExactPathSampler:
        """The same sampler walking by the time rule, with stream 0 anew; a
        restriction kept."""
        walked = copy.copy(self)
        walked.rng = Rng(self.random_state)
        walked.time_rule = (list(times), direction, strict, window, None if decay is None else float(decay))
        return walked

    def triple_ids(self) -> list[tuple[int, int, int]]:
        """Every triple of the graph as read: (head, relation id, tail)."""
        relations = {label: r for r, label in enumerate(dict.fromkeys(label for _, _, label in self.graph.edges))}
        return [(src, relations[label], dst) for src, dst, label in self.graph.edges]

    def restrict(self, relations=None, exclude_relations=(), direction="both") -> ExactPathSampler:
        """The same sampler over the edges of `relations` (all if None) less
        `exclude_relations`, followed in `direction`, with stream 0 anew."""
        kept = set(label for _, _, label in self.graph.edges) if relations is None else set(relations)
        kept -= set(exclude_relations)
        restricted = copy.copy(self)
        restricted.rng = Rng(self.random_state)

        def allowed(edge, forward, parent=self.allowed):
            return (self.graph.edges[edge][2] in kept and direction in ("both", "forward" if forward else "backward")
                    and (parent is None or parent(edge, forward)))

        restricted.allowed = allowed
        restricted.data_size = sum(1 for e in range(len(self.graph.edges)) if allowed(e, True) or allowed(e, False))
        return restricted

    @property
    def tokens(self) -> list[str]:
        """Token ids: the nodes, then each relation's forward and backward token."""
        relations = dict.fromkeys(label for _, _, label in self.graph.edges)
        return self.graph.labels + [r + suffix for r in relations for suffix in ("::-->", "::<--")]
