"""examples/dask_walks.py on a LocalCluster of two worker processes: the shards
joined in the manifest's order are, byte for byte, one write_walks over the
same range in one process, also when a worker is killed in the middle of a
shard."""

import json
import pathlib
import random
import subprocess
import sys
import time

import pytest
from conftest import random_graph

pytest.importorskip("distributed")
psutil = pytest.importorskip("psutil")

import vantrel  # noqa: E402

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "examples" / "dask_walks.py"
BUNDLED = SCRIPT.parent / "data" / "rivers.tsv"


@pytest.fixture(scope="module")
def generated_graph(tmp_path_factory):
    """About 10^5 triples over 2*10^4 nodes."""
    path = tmp_path_factory.mktemp("graph") / "kg.tsv"
    path.write_text(random_graph(random.Random(13), 20_000, 91_000), encoding="utf-8")
    return str(path)


def launch(graph, out, *options):
    return subprocess.Popen([sys.executable, str(SCRIPT), str(graph), "-o", str(out), "--workers", "2", "--quiet",
                             *map(str, options)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(process):
    stdout, stderr = process.communicate(timeout=120)
    assert process.returncode == 0, stderr
    return stdout


def joined_shards(out):
    manifest = json.loads((out / "manifest.json").read_text(encoding="utf-8"))
    return manifest, b"".join((out / shard["file"]).read_bytes() for shard in manifest["shards"])


def single_process_corpus(tmp_path, graph, count, mean, cap, seed, **options):
    reference = tmp_path / "single"
    sampler = vantrel.PathSampler(str(graph), mean, cap, seed)
    walks, tokens = sampler.write_walks(reference, 0, count, **options)
    return walks, tokens, reference.read_bytes()


@pytest.mark.parametrize("which, options, count, expected_options", [
    ("bundled", ["--count", 5000, "--shard", 700, "--format", "words", "--mean", 3, "--max", 7, "--seed", 5],
     5000, {"format": "words"}),
    ("generated", ["--each", 3, "--shard", 9000, "--mean", 4, "--max", 10, "--seed", 0, "--threads", 2],
     None, {"start": "each"}),
])
def test_shards_joined_are_the_single_process_corpus(tmp_path, generated_graph, which, options, count,
                                                     expected_options):
    graph = BUNDLED if which == "bundled" else generated_graph
    mean, cap, seed = (float(options[options.index(flag) + 1]) for flag in ("--mean", "--max", "--seed"))
    if count is None:
        count = 3 * vantrel.PathSampler(str(graph), mean, int(cap), int(seed)).node_count
    out = tmp_path / "corpus"
    summary = finish(launch(graph, out, *options))
    walks, tokens, expected = single_process_corpus(tmp_path, graph, count, mean, int(cap), int(seed),
                                                    **expected_options)
    manifest, joined = joined_shards(out)
    assert joined == expected
    assert (manifest["walks"], manifest["tokens"], manifest["bytes"]) == (walks, tokens, len(expected))
    bounds = [(shard["first"], shard["stop"]) for shard in manifest["shards"]]
    assert bounds[0][0] == 0 and bounds[-1][1] == count
    assert all(stop == next_first for (_, stop), (next_first, _) in zip(bounds, bounds[1:]))
    assert f"{walks:,} walks" in summary


def writer_of_a_fresh_shard(process, out, young_bytes, deadline):
    """A worker process that has written part of a shard, not much of it, and the shard's temporary file."""
    while time.monotonic() < deadline:
        for temporary in out.glob(".walks-*.tmp"):
            for child in psutil.Process(process.pid).children(recursive=True):
                try:
                    writing = any(f.path == str(temporary) for f in child.open_files())
                    if writing and 0 < temporary.stat().st_size < young_bytes:
                        return child, temporary
                except (psutil.NoSuchProcess, FileNotFoundError):
                    pass
        time.sleep(0.002)
    pytest.fail("no worker was seen writing a shard")


def test_a_shard_whose_worker_is_killed_midway_is_redone(tmp_path, generated_graph):
    out = tmp_path / "corpus"
    count, shard = 2_000_000, 400_000
    process = launch(generated_graph, out, "--count", count, "--shard", shard, "--threads", 1)
    try:
        # A shard here is about 24 MB, written in about 0.3 s.
        worker, temporary = writer_of_a_fresh_shard(process, out, young_bytes=8 << 20,
                                                    deadline=time.monotonic() + 60)
        worker.kill()
        worker.wait(timeout=10)
        assert temporary.exists(), "the worker finished its shard before it was killed"
        finish(process)
    finally:
        process.kill()
    walks, tokens, expected = single_process_corpus(tmp_path, generated_graph, count, 4.0, 10, 0)
    manifest, joined = joined_shards(out)
    assert joined == expected
    assert (manifest["walks"], manifest["tokens"]) == (walks, tokens)
    assert not list(out.glob(".*.tmp"))


def test_runs_on_a_running_cluster_leave_it_as_they_found_it(tmp_path, generated_graph):
    from distributed import Client, LocalCluster

    def plugins(client):
        return client.run(lambda dask_worker: sorted(dask_worker.plugins))

    with LocalCluster(n_workers=2, threads_per_worker=2, memory_limit=0, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        before = plugins(client)
        for seed in (1, 2):
            out = tmp_path / f"corpus-{seed}"
            finish(launch(generated_graph, out, "--count", 30_000, "--shard", 4000, "--seed", seed,
                          "--scheduler", cluster.scheduler_address))
            assert joined_shards(out)[1] == single_process_corpus(tmp_path, generated_graph, 30_000, 4.0, 10, seed)[2]
        assert plugins(client) == before
