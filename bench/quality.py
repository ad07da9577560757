"""Which walks give the best embeddings: corpora of 10 walks per entity of
each kind, gensim skip-gram on each, and the entity vectors scored on 5% of
the training triples held out (fixed seed): relation prediction (accuracy,
macro F1) by logistic regression on (head, tail) vectors, and filtered link
prediction (MRR, Hits@10) by a translation per relation, the mean of tail
minus head over its training triples.

The temporal graph (yago-temporal) is scored on its own test facts instead,
trained on train.txt with its years: today's walks with the times ignored,
against time-respecting walks going forward, uniform and with the decay
that scores best on valid.txt.

    pip install gensim scikit-learn numpy
    python bench/quality.py [--graphs wn18rr codex-m yago-temporal] [--json results.json]
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import random
import tempfile
import time

import numpy as np
from common import SHARED_DATA
from kernel import cpu_label

GRAPHS = {"wn18rr": ("wn18rr-train.tsv", "_hypernym"), "codex-m": ("codex-m-train.tsv", "P106"),
          "yago-temporal": ("temporal/yago", None)}
DECAYS = (1.0, 4.0, 16.0, 64.0)  # years, tried on YAGO's valid.txt
WALKS_PER_ENTITY = 10
MEAN, LONGEST = 4.0, 8


def kinds(type_relation: str) -> dict:
    """Each kind of corpus: how the sampler is made from the uniform one,
    and the arguments of write_walks."""
    return {
        "path": (None, {"items": "path"}),
        "full": (None, {"items": "full"}),
        "nodes": (None, {"items": "nodes"}),
        "mid": (None, {"items": "full", "position": "mid"}),
        "unique": (None, {"items": "full", "unique": True}),
        "mid + unique": (None, {"items": "full", "position": "mid", "unique": True}),
        "node2vec p=1 q=0.5": ("node2vec", {"items": "nodes"}),
        "relation-frequency weights": ("frequency", {"items": "full"}),
        f"type walks by {type_relation}": ("types", {"items": "full", "position": "mid"}),
    }


def escaped(label: str) -> str:
    """A label as the words format writes it: whitespace and '%' as %XX."""
    return "".join("".join(f"%{b:02X}" for b in c.encode()) if c.isspace() or c == "%" else c for c in label)


def held_out(path: str, seed: int = 0):
    with open(path, encoding="utf-8") as lines:
        triples = [tuple(line.rstrip("\n").split("\t")[:3]) for line in lines if line.strip()]
    rng = random.Random(seed)
    rng.shuffle(triples)
    cut = len(triples) // 20
    test, train = triples[:cut], triples[cut:]
    entities = {e for h, _, t in train for e in (h, t)}
    relations = {r for _, r, _ in train}
    test = [x for x in test if x[0] in entities and x[2] in entities and x[1] in relations]
    return train, test


def classes_of(sampler, relation: str):
    triples = np.asarray(sampler.triple_ids())
    wanted = sampler.tokens.index(relation + "::-->") - sampler.node_count
    rows = triples[triples[:, 1] == wanted // 2]
    heads, first = np.unique(rows[:, 0], return_index=True)
    classes = np.arange(sampler.node_count, dtype=np.uint64)
    classes[heads] = rows[first, 2]
    return classes


def train_vectors(corpus: str, workers: int):
    from gensim.models import Word2Vec

    model = Word2Vec(corpus_file=corpus, vector_size=100, window=5, epochs=5, sg=1, negative=5, min_count=1,
                     workers=workers, seed=1)
    return model.wv


def entity_matrix(vectors, sampler):
    labels = sampler.tokens[:sampler.node_count]
    matrix = np.zeros((len(labels), vectors.vector_size), dtype=np.float32)
    for i, label in enumerate(labels):
        key = escaped(label)
        if key in vectors.key_to_index:
            matrix[i] = vectors[key]
    return matrix


def scores(matrix, ids, train, test, all_true):
    from sklearn.linear_model import LogisticRegression
    from sklearn.metrics import accuracy_score, f1_score

    norms = np.linalg.norm(matrix, axis=1, keepdims=True)
    unit = matrix / np.where(norms > 0, norms, 1)
    rng = random.Random(1)
    sample = rng.sample(train, min(len(train), 40000))

    def features(rows):
        h = unit[[ids[x[0]] for x in rows]]
        t = unit[[ids[x[2]] for x in rows]]
        return np.hstack([h, t, h * t])

    classifier = LogisticRegression(max_iter=300)
    classifier.fit(features(sample), [x[1] for x in sample])
    predicted = classifier.predict(features(test))
    truth = [x[1] for x in test]
    accuracy = accuracy_score(truth, predicted)
    macro_f1 = f1_score(truth, predicted, average="macro")
    # Link prediction: t ranked among all entities by -|h + d_r - e|, other true tails left out.
    shift = collections.defaultdict(list)
    for h, r, t in train:
        shift[r].append(unit[ids[t]] - unit[ids[h]])
    shift = {r: np.mean(v, axis=0) for r, v in shift.items()}
    squared = (unit * unit).sum(axis=1)
    ranks = []
    for begin in range(0, len(test), 256):
        batch = test[begin:begin + 256]
        queries = np.stack([unit[ids[h]] + shift[r] for h, r, _ in batch])
        distance = squared[None, :] - 2 * queries @ unit.T
        for row, (h, r, t) in enumerate(batch):
            target = distance[row, ids[t]]
            better = distance[row] < target
            for other in all_true[(h, r)]:
                if other != t:
                    better[ids[other]] = False
            ranks.append(1 + int(better.sum()))
    ranks = np.array(ranks)
    return {"accuracy": accuracy, "macro_f1": macro_f1, "mrr": float(np.mean(1.0 / ranks)),
            "hits10": float(np.mean(ranks <= 10))}


def facts_of(path) -> list[tuple[str, str, str]]:
    with open(path, encoding="utf-8") as lines:
        return [tuple(field.strip() for field in line.split("\t")[:3]) for line in lines if line.strip()]


def run_temporal(name: str, workers: int) -> dict:
    """YAGO with its years: train.txt walked, test.txt's facts scored; the
    decay chosen by relation prediction on valid.txt."""
    import vantrel

    folder = SHARED_DATA / GRAPHS[name][0]
    if not (folder / "train.txt").is_file():
        print(f"{folder} is not present: {name} left out")
        return {}
    sampler = vantrel.PathSampler.read(str(folder / "train.txt"), MEAN, LONGEST, 1, format="tsv", time_column=3)
    ids = {label: i for i, label in enumerate(sampler.tokens[:sampler.node_count])}
    relations = set(sampler.relations)
    train = facts_of(folder / "train.txt")

    def known(facts):
        return [x for x in facts if x[0] in ids and x[2] in ids and x[1] in relations]

    valid, test = known(facts_of(folder / "valid.txt")), known(facts_of(folder / "test.txt"))
    all_true = collections.defaultdict(set)
    for h, r, t in train + valid + test:
        all_true[(h, r)].add(t)
    print(f"{name}: {sampler.node_count} entities, {len(train)} training facts, {len(valid)} valid, "
          f"{len(test)} test (those whose entities and relation are in training)")

    def scored(walked, facts):
        with tempfile.TemporaryDirectory() as directory:
            corpus = os.path.join(directory, "corpus.txt")
            walks, tokens = walked.write_walks(corpus, 0, WALKS_PER_ENTITY * sampler.node_count, start="each",
                                               format="words", items="full")
            result = scores(entity_matrix(train_vectors(corpus, workers), sampler), ids, train, facts, all_true)
        result.update(walks=walks, tokens=tokens)
        return result

    results = {}
    decay_scores = {decay: scored(sampler.temporal(decay=decay), valid)["accuracy"] for decay in DECAYS}
    best = max(DECAYS, key=lambda decay: decay_scores[decay])
    print("  decay on valid.txt (accuracy): " + ", ".join(f"{d:g}: {a:.3f}" for d, a in decay_scores.items()))
    for kind, walked in (("today's walks, times ignored", sampler), ("temporal forward, uniform", sampler.temporal()),
                         (f"temporal forward, decay {best:g} years", sampler.temporal(decay=best))):
        started = time.perf_counter()
        result = scored(walked, test)
        result["seconds"] = round(time.perf_counter() - started, 1)
        results[kind] = result
        print(f"  {kind:<34} acc {result['accuracy']:.3f}  F1 {result['macro_f1']:.3f}  MRR {result['mrr']:.3f}  "
              f"H@10 {result['hits10']:.3f}  ({result['walks']} walks, {result['seconds']} s)", flush=True)
    return results


def run_graph(name: str, workers: int) -> dict:
    import vantrel

    if name == "yago-temporal":
        return run_temporal(name, workers)
    file, type_relation = GRAPHS[name]
    path = SHARED_DATA / file
    if not path.is_file():
        print(f"{path} is not present: {name} left out")
        return {}
    train, test = held_out(str(path))
    all_true = collections.defaultdict(set)
    for h, r, t in train + test:
        all_true[(h, r)].add(t)
    results = {}
    with tempfile.TemporaryDirectory() as directory:
        train_path = os.path.join(directory, "train.tsv")
        with open(train_path, "w", encoding="utf-8") as out:
            out.writelines(f"{h}\t{r}\t{t}\n" for h, r, t in train)
        uniform = vantrel.PathSampler(train_path, MEAN, LONGEST, 1)
        ids = {label: i for i, label in enumerate(uniform.tokens[:uniform.node_count])}
        frequency = collections.Counter(r for _, r, _ in train)
        print(f"{name}: {uniform.node_count} entities, {len(train)} training triples, {len(test)} held out")
        for kind, (make, options) in kinds(type_relation).items():
            started = time.perf_counter()
            sampler, extra = uniform, {}
            if make == "node2vec":
                sampler = uniform.biased(p=1.0, q=0.5)
            elif make == "frequency":
                sampler = uniform.biased(relation_weights={r: 1.0 / c for r, c in frequency.items()})
            elif make == "types":
                extra = {"relabel": classes_of(uniform, type_relation)}
            corpus = os.path.join(directory, "corpus.txt")
            walks, tokens = sampler.write_walks(corpus, 0, WALKS_PER_ENTITY * uniform.node_count, start="each",
                                                format="words", **options, **extra)
            vectors = train_vectors(corpus, workers)
            result = scores(entity_matrix(vectors, uniform), ids, train, test, all_true)
            result.update(walks=walks, tokens=tokens, seconds=round(time.perf_counter() - started, 1))
            results[kind] = result
            print(f"  {kind:<30} acc {result['accuracy']:.3f}  F1 {result['macro_f1']:.3f}  "
                  f"MRR {result['mrr']:.3f}  H@10 {result['hits10']:.3f}  ({walks} walks, {result['seconds']} s)",
                  flush=True)
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--graphs", nargs="+", default=list(GRAPHS), choices=list(GRAPHS))
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--json", help="write the results here too")
    args = parser.parse_args()
    print(f"CPU: {cpu_label()}; {time.strftime('%Y-%m-%d')}")
    results = {name: run_graph(name, args.workers) for name in args.graphs}
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=1)


if __name__ == "__main__":
    main()
