"""Hostile input, interrupts, threads and leaks: nothing crashes, nothing
hangs, every failure is a clear exception, and the interpreter goes on."""

import gc
import os
import subprocess
import sys
import threading
from collections import Counter

import pytest
import vantrel
from conftest import ABC, interrupt_after
from memory_use import rss_mib


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return str(path)


def test_fifo_without_writer_waits_until_interrupted(fifo):
    # Opening a FIFO waits for a writer, as `cat` does; Ctrl-C ends the wait.
    timer = interrupt_after(0.3, blocked_in="wait_for_partner")
    try:
        with pytest.raises(KeyboardInterrupt):
            vantrel.PathSampler(fifo, 3.0, 10, 1)
        latency = timer.seconds_since_signal()
    finally:
        timer.cancel()
    assert latency < 1.0


def test_fifo_with_writer_is_read_like_a_file(fifo):
    def write():
        with open(fifo, "w") as out:
            for _ in range(1000):
                out.write(ABC)

    writer = threading.Thread(target=write)
    writer.start()
    sampler = vantrel.PathSampler(fifo, 3.0, 10, 1)
    writer.join()
    assert sampler.data_size == 3000


def test_read_from_a_stalled_writer_is_interruptible(fifo):
    release = threading.Event()

    def write():
        try:
            with open(fifo, "w") as out:
                out.write(ABC)
                out.flush()
                release.wait(10)
        except BrokenPipeError:
            pass

    writer = threading.Thread(target=write)
    writer.start()
    timer = interrupt_after(0.3)
    try:
        with pytest.raises(KeyboardInterrupt):
            vantrel.PathSampler(fifo, 3.0, 10, 1)
    finally:
        timer.cancel()
        release.set()
        writer.join()


def test_long_walk_is_interruptible_and_object_survives(abc_path):
    sampler = vantrel.PathSampler(abc_path, 1e12, 50_000_000, 1)
    timer = interrupt_after(0.2)
    try:
        with pytest.raises(KeyboardInterrupt):
            sampler.sample_path()
        latency = timer.seconds_since_signal()
    finally:
        timer.cancel()
    assert latency < 1.0
    assert len(vantrel.PathSampler(abc_path, 1e12, 5, 1).sample_path()) == 7


def test_single_line_of_100_mb(write_kg):
    label = "x" * 100_000_000
    sampler = vantrel.PathSampler(write_kg(f"h\tr\t{label}\n"), 1.0, 0, 4)
    assert sampler.data_size == 1
    starts = {sampler.sample_path()[0] for _ in range(20)}
    assert starts == {"h", label}


def test_a_million_distinct_relations(write_kg):
    content = "".join(f"n{i % 1000}\trel{i}\tn{(i * 7 + 1) % 1000}\n" for i in range(1_000_000))
    sampler = vantrel.PathSampler(write_kg(content), 8.0, 20, 5)
    assert sampler.data_size == 1_000_000
    for _ in range(100):
        path = sampler.sample_path()
        assert all(step.startswith("rel") and step[-5:] in ("::-->", "::<--") for step in path[1:-1])


@pytest.mark.parametrize("label", ["a\x00b", "carriage\rreturn", "line\u2028separator", "emoji 😀𝄞", "\x00", ""])
def test_awkward_labels_come_back_unchanged(write_kg, label):
    sampler = vantrel.PathSampler(write_kg(f"{label}\t{label}\tother\n"), 3.0, 4, 2)
    for _ in range(20):
        path = sampler.sample_path()
        assert {path[0], path[-1]} <= {label, "other"}
        assert all(step in (label + "::-->", label + "::<--") for step in path[1:-1])


def failing_calls(tmp_path, abc_path):
    short = tmp_path / "short.tsv"
    short.write_text("a\tb\n")
    bad = tmp_path / "bad.tsv"
    bad.write_bytes(b"a\tb\t\xff\n")
    empty = tmp_path / "empty.tsv"
    empty.write_text("")
    return [
        (lambda: vantrel.PathSampler(str(tmp_path / "absent"), 2.0, 10, 1), FileNotFoundError),
        (lambda: vantrel.PathSampler(str(tmp_path), 2.0, 10, 1), IsADirectoryError),
        (lambda: vantrel.PathSampler(str(short), 2.0, 10, 1), ValueError),
        (lambda: vantrel.PathSampler(str(bad), 2.0, 10, 1), ValueError),
        (lambda: vantrel.PathSampler(abc_path + "\0", 2.0, 10, 1), ValueError),
        (lambda: vantrel.PathSampler(abc_path, -2.0, 10, 1), ValueError),
        (lambda: vantrel.PathSampler(abc_path, float("inf"), 10, 1), ValueError),
        (lambda: vantrel.PathSampler(abc_path, 2.0, -1, 1), OverflowError),
        (lambda: vantrel.PathSampler(abc_path, 2.0, 10), TypeError),
        (lambda: vantrel.PathSampler(str(empty), 2.0, 10, 1).sample_path(), IndexError),
        (lambda: vantrel.PathSampler(abc_path, 1e15, 2**64 - 1, 1).sample_path(), MemoryError),
    ]


def test_failures_leave_no_python_objects_behind(tmp_path, abc_path):
    calls = failing_calls(tmp_path, abc_path)

    def run_all():
        for call, error in calls:
            with pytest.raises(error):
                call()

    run_all()
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(30):
        run_all()
    gc.collect()
    assert len(gc.get_objects()) <= before + 10


@pytest.mark.parametrize("triples, rounds", [(100_000, 200), (400_000, 30)])
def test_construct_and_drop_keeps_resident_memory_flat(write_kg, triples, rounds):
    # One sampler holds 3 MiB (10^5 triples, heap arrays) or 12 MiB (4*10^5,
    # arrays mapped on huge pages), so a leak of anything it owns would add
    # hundreds of MiB over the rounds, while the allocator's own caching
    # stays within about one sampler's size: the bound cannot flake.
    nodes = triples // 5
    content = "".join(f"Q{(i * 7919) % nodes}\tP{i % 300}\tQ{(i * 104729) % nodes}\n" for i in range(triples))
    path = write_kg(content)
    for _ in range(10):
        vantrel.PathSampler(path, 4.0, 10, 0).sample_path()
    gc.collect()
    before = rss_mib()
    for i in range(rounds):
        vantrel.PathSampler(path, 4.0, 10, i).sample_path()
    gc.collect()
    assert rss_mib() - before < 24


def test_threads_share_one_stream_and_construct_meanwhile(abc_path, write_kg):
    bigger = write_kg("".join(f"n{i}\tr{i % 5}\tn{(i * 13) % 5000}\n" for i in range(50_000)))
    shared = vantrel.PathSampler(abc_path, 3.0, 10, 11)
    reference = vantrel.PathSampler(abc_path, 3.0, 10, 11)
    per_thread, samplers = 400, 4
    results = [[] for _ in range(samplers)]
    errors = []

    def sample(out):
        try:
            for _ in range(per_thread):
                out.append(tuple(shared.sample_path()))
        except Exception as error:  # reported below
            errors.append(error)

    def construct():
        try:
            for _ in range(5):
                assert vantrel.PathSampler(bigger, 3.0, 10, 1).data_size == 50_000
        except Exception as error:
            errors.append(error)

    threads = [threading.Thread(target=sample, args=(out,)) for out in results]
    threads += [threading.Thread(target=construct) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    # Every call is one whole draw from the shared stream: together the
    # threads got exactly the stream's first walks, in some interleaving.
    expected = Counter(tuple(reference.sample_path()) for _ in range(per_thread * samplers))
    assert Counter(walk for out in results for walk in out) == expected


def test_no_call_dies_for_lack_of_memory(tmp_path, abc_path):
    # Each call again under an address-space limit only a little above what
    # the process holds: it returns or raises MemoryError, and the process
    # lives on (a C++ exception that reached the interpreter would end it).
    code = f"""
import io, resource, sys, numpy as np, vantrel
s = vantrel.PathSampler({abc_path!r}, 4.0, 10, 3)
snap = {str(tmp_path / "abc.snap")!r}
s.save(snap)
labels = ["x" * (32 << 20) + str(i) for i in range(8)]  # 256 MiB of labels to copy
text = ("".join(f"n{{i}}\\tr{{i % 9}}\\tn{{i + 1}}\\n" for i in range(200_000))).encode()
ids = np.arange(3 * 200_000, dtype=np.int64).reshape(-1, 3) % 1000
calls = [
    lambda: vantrel.PathSampler.from_ids(np.zeros((1, 3), dtype=int), labels, ["r"], 4.0, 10, 0),
    lambda: vantrel.PathSampler.from_ids(ids, [str(i) for i in range(1000)], [str(i) for i in range(1000)], 4.0, 10, 0),
    lambda: vantrel.PathSampler.read(io.BytesIO(text), 4.0, 10, 0, format="tsv"),
    lambda: vantrel.PathSampler.load(snap, 4.0, 10, 0),
    lambda: s.walks(0, 10**6),
    lambda: s.walk_ids(0, 10**7, threads=4),
    lambda: s.sample_paths(10**6),
    lambda: s.node_ids(["A", "B"] * 10**6),
    lambda: s.restrict(exclude_relations=["s"]),
    lambda: s.tokens[:],
    lambda: s.write_walks("x.tsv", 0, 10**6, threads=8),
]
vm = lambda: int(next(l for l in open("/proc/self/status") if l.startswith("VmSize:")).split()[1]) << 10
for headroom in (1 << 20, 16 << 20, 64 << 20):
    resource.setrlimit(resource.RLIMIT_AS, (vm() + headroom, resource.RLIM_INFINITY))
    for number, call in enumerate(calls):
        print("call", number, "with", headroom >> 20, "MiB to spare", file=sys.stderr, flush=True)
        try:
            call()
        except MemoryError:
            pass
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print("done")
"""
    (tmp_path / "out").mkdir()
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path / "out", capture_output=True, text=True)
    assert (run.returncode, run.stdout) == (0, "done\n"), run.stderr[-800:]
