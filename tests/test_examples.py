"""Every example runs, on the bundled graph at small sizes."""

import json
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
BUNDLED = EXAMPLES / "data" / "rivers.tsv"


def run(script, *args):
    result = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)], capture_output=True,
                            text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    return result.stdout


def check_walk(tokens):
    assert len(tokens) >= 2
    assert all(token.endswith(("::-->", "::<--")) for token in tokens[1:-1])


def test_main_job_tab_separated_and_reproducible(tmp_path):
    out = tmp_path / "walks.tsv"
    run("random_walks.py", "--count", 300, "--seed", 5, "--mean", 3, "--max", 6, "-o", out)
    lines = out.read_text(encoding="utf-8").splitlines()
    assert len(lines) == 300
    for line in lines:
        tokens = line.split("\t")
        check_walk(tokens)
        assert len(tokens) <= 8
    assert run("random_walks.py", "--count", 300, "--seed", 5, "--mean", 3, "--max", 6).splitlines() == lines


def test_main_job_json_lines_match_the_tab_output():
    tabs = run("random_walks.py", str(BUNDLED), "--count", 50, "--seed", 9).splitlines()
    jsonl = [json.loads(line) for line in run("random_walks.py", "--count", 50, "--seed", 9, "--jsonl").splitlines()]
    assert jsonl == [line.split("\t") for line in tabs]


def test_main_job_options_match_write_walks(tmp_path):
    import vantrel

    sampler = vantrel.PathSampler(str(BUNDLED), 2.0, 5, 11)
    expected = tmp_path / "expected.txt"
    sampler.write_walks(expected, 0, 3 * sampler.node_count, start="each", format="words")
    out = tmp_path / "walks.txt"
    run("random_walks.py", "--each", 3, "--format", "words", "--threads", 2, "--mean", 2, "--max", 5, "--seed", 11,
        "-o", out)
    assert out.read_bytes() == expected.read_bytes()


def test_main_job_with_progress_counter(tmp_path):
    result = subprocess.run([sys.executable, str(EXAMPLES / "random_walks.py"), "--count", "1000000", "-o",
                             str(tmp_path / "w.tsv")], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0
    assert "1,000,000" in result.stderr


def test_parallel_output_is_the_single_process_output_whatever_the_workers(tmp_path):
    import vantrel

    vantrel.PathSampler(str(BUNDLED), 4.0, 10, 3).write_walks(tmp_path / "single.tsv", 0, 500)
    expected = (tmp_path / "single.tsv").read_text(encoding="utf-8")
    for workers in (1, 3):
        assert run("parallel_walks.py", "--count", 500, "--shard", 70, "--workers", workers, "--seed", 3) == expected


def test_torch_dataset_loads_the_same_batches_with_any_number_of_workers():
    pytest.importorskip("torch")
    out = run("torch_dataset.py", "--workers", 0)
    assert "epoch 0: 4 batches" in out and "epoch 1: 4 batches" in out
    assert run("torch_dataset.py", "--workers", 2) == out
    # Batches used as they come: many of them keep no file descriptors open.
    out = run("torch_dataset.py", "--walks", 20000, "--workers", 2, "--epochs", 2)
    assert "epoch 1: 1250 batches" in out


def test_torch_skipgram_learns_and_shows_its_progress():
    pytest.importorskip("torch")
    result = subprocess.run([sys.executable, str(EXAMPLES / "torch_skipgram.py"), "--each", "100", "--epochs", "3",
                             "--dim", "16", "--query", "Rhine"], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    last = result.stderr.splitlines()[-1]  # "N pairs in S s, R pairs/s, loss L", after the progress lines
    assert "pairs/s" in last and float(last.split("loss ")[1].split()[0]) < 3.5  # from log(2) * 6 = 4.16 at first
    out = result.stdout.splitlines()
    assert out[0].startswith("60 tokens embedded in 16 dimensions") and out[1] == "nearest to Rhine:"
    assert len(out) == 7 and all(line.startswith("  ") for line in out[2:])


def test_word2vec_embeddings(write_kg):
    pytest.importorskip("gensim")
    out = run("word2vec_embeddings.py", "--each", 5)
    assert "dimensions" in out and "North Sea" not in out.splitlines()[0]
    # Another graph: the neighbours of its highest-degree node (hub), not of an entity it lacks.
    lines = "".join(f"hub\tr\tleaf {i}\nleaf {i}\ts\tleaf {i + 1}\n" for i in range(30))
    out = run("word2vec_embeddings.py", write_kg(lines), "--each", 5).splitlines()
    assert out[1] == "nearest to hub:" and len(out) == 7
    # Walks from listed entities only, listing every node: no relation token is embedded.
    entities = write_kg("leaf 3\nleaf 7\n")
    out = run("word2vec_embeddings.py", write_kg(lines), "--start-file", entities, "--items", "nodes",
              "--query", "leaf 3").splitlines()
    assert out[0].endswith("dimensions") and not any("::" in line for line in out)
    out = run("word2vec_embeddings.py", write_kg(lines), "--exclude", "s", "--direction", "forward", "--query", "hub")
    assert "s::" not in out and "r::<--" not in out and "r::-->" in out
    # Biased walks: relation s weighs nothing, so no walk takes it and it is never embedded.
    weights = write_kg("s\t0\n")
    out = run("word2vec_embeddings.py", write_kg(lines), "--relation-weights", weights, "--p", 0.5, "--q", 2,
              "--query", "hub")
    assert "nearest to hub:" in out and "s::" not in out
    # RDF input picks its query from the graph too; a query the vocabulary lacks says why and fails.
    nt = write_kg("".join(f"<x:hub> <x:r> <x:leaf{i}> .\n" for i in range(30)), name="kg.nt")
    assert run("word2vec_embeddings.py", nt, "--each", 5).splitlines()[1] == "nearest to x:hub:"
    missing = subprocess.run([sys.executable, str(EXAMPLES / "word2vec_embeddings.py"), nt, "--query", "x:nub"],
                             capture_output=True, text=True, timeout=600)
    assert (missing.returncode, missing.stderr.splitlines()[-1]) == (
        1, f"'x:nub' is not in the vocabulary: it is no node or relation of {nt}")


@pytest.mark.parametrize("script", sorted(path.name for path in EXAMPLES.glob("*.py")))
def test_every_example_answers_help(script):
    out = subprocess.run([sys.executable, str(EXAMPLES / script), "--help"], capture_output=True, text=True)
    if out.returncode != 0 and "ModuleNotFoundError" in out.stderr:
        pytest.skip(out.stderr.strip().splitlines()[-1])
    assert out.returncode == 0 and out.stdout.startswith("usage: ") and "kg.tsv" not in out.stderr
