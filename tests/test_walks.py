import random

import pytest
import vantrel
from conftest import random_graph
from exact_port import ExactPathSampler

# The published end-to-end walks of the three-line graph A-r-B, B-s-C, C-r-B.
ABC_SEED1_CAP10 = [
    ["C", "r::-->", "s::-->", "C"],
    ["C", "r::-->", "r::<--", "r::-->", "r::<--", "C"],
    ["A", "r::-->", "r::<--", "s::<--", "B"],
    ["B", "r::<--", "s::<--", "r::<--", "A"],
    ["C", "s::<--", "r::<--", "r::-->", "r::<--", "C"],
]
ABC_SEED1_CAP3 = [
    ["C", "r::-->", "s::-->", "C"],
    ["C", "r::-->", "r::<--", "r::-->", "B"],
    ["C", "r::-->", "r::<--", "r::-->", "B"],
    ["B", "s::-->", "r::-->", "s::-->", "C"],
    ["C", "s::<--", "r::<--", "r::-->", "B"],
]
LOOP_SEED3 = [
    ["A", "r::-->", "r::<--", "r::<--", "A"],
    ["A", "r::<--", "r::<--", "r::<--", "r::<--", "A"],
    ["A", "r::<--", "r::<--", "r::<--", "r::<--", "A"],
]


@pytest.mark.parametrize(
    "content, mean, cap, seed, expected",
    [
        ("A\tr\tB\nB\ts\tC\nC\tr\tB\n", 2.0, 10, 1, ABC_SEED1_CAP10),
        ("A\tr\tB\nB\ts\tC\nC\tr\tB\n", 2.0, 3, 1, ABC_SEED1_CAP3),
        ("A\tr\tA\n", 3.0, 10, 3, LOOP_SEED3),
    ],
)
def test_published_walks(write_kg, content, mean, cap, seed, expected):
    sampler = vantrel.PathSampler(write_kg(content), mean, cap, seed)
    assert [sampler.sample_path() for _ in expected] == expected


def test_cap_zero_gives_start_label_twice(abc_path):
    sampler = vantrel.PathSampler(abc_path, 5.0, 0, 9)
    for _ in range(20):
        path = sampler.sample_path()
        assert len(path) == 2 and path[0] == path[1] and path[0] in "ABC"


def test_tiny_mean_gives_zero_steps(abc_path):
    sampler = vantrel.PathSampler(abc_path, 2.0**-54, 10, 9)
    assert all(len(sampler.sample_path()) == 2 for _ in range(20))


def test_huge_mean_is_capped(abc_path):
    sampler = vantrel.PathSampler(abc_path, 1e25, 7, 9)
    assert all(len(sampler.sample_path()) == 9 for _ in range(5))


def test_walk_too_long_for_memory_raises_memory_error(abc_path):
    sampler = vantrel.PathSampler(abc_path, 1e15, 2**64 - 1, 0)
    with pytest.raises(MemoryError):
        sampler.sample_path()
    assert len(vantrel.PathSampler(abc_path, 1e15, 4, 0).sample_path()) == 6


def test_empty_graph_walk_fails(write_kg):
    sampler = vantrel.PathSampler(write_kg(""), 3.0, 10, 1)
    assert sampler.data_size == 0
    for _ in range(3):
        with pytest.raises(IndexError) as info:
            sampler.sample_path()
        assert str(info.value) == "UniformSampler::sample_single: low >= high"


def test_format_and_unicode(write_kg):
    sampler = vantrel.PathSampler(write_kg("Zürich\tliegt_in\tSchweiz\nSchweiz\t🚆\t東京\n\t\t\n"), 6.0, 20, 5)
    nodes = {"Zürich", "Schweiz", "東京", ""}
    for _ in range(50):
        path = sampler.sample_path()
        assert path[0] in nodes and path[-1] in nodes
        for step in path[1:-1]:
            assert step[-5:] in ("::-->", "::<--") and step[:-5] in {"liegt_in", "🚆", ""}


def test_same_arguments_same_stream(abc_path):
    a = vantrel.PathSampler(abc_path, 4.0, 10, 77)
    b = vantrel.PathSampler(abc_path, 4.0, 10, 77)
    assert [a.sample_path() for _ in range(100)] == [b.sample_path() for _ in range(100)]


@pytest.mark.parametrize("graph_seed", range(8))
def test_walks_match_exact_port(write_kg, graph_seed):
    rng = random.Random(graph_seed)
    path = write_kg(random_graph(rng, rng.choice([1, 2, 5, 30]), rng.randrange(1, 80)))
    for mean, cap, seed in [(3.7, 10, 0), (20.0, 50, 2**64 - 1), (11.999999999999998, 5, graph_seed), (1.0, 0, 3),
                            (40.0, 2**64 - 1, 1)]:
        ours = vantrel.PathSampler(path, mean, cap, seed)
        port = ExactPathSampler(path, mean, cap, seed)
        assert ours.data_size == port.data_size
        for _ in range(25):
            assert ours.sample_path() == port.sample_path()


def chi_square(counts, expected):
    return sum((c - expected) ** 2 / expected for c in counts)


def test_start_node_is_uniform_whatever_the_degree(write_kg):
    # Node 0 is a hub; with cap 0 every walk is just its start node.
    content = "".join(f"hub\tr\tn{i}\n" for i in range(9)) + "n1\tr\tn2\n"
    sampler = vantrel.PathSampler(write_kg(content), 1.0, 0, 2024)
    draws = 20000
    counts = {}
    for _ in range(draws):
        start = sampler.sample_path()[0]
        counts[start] = counts.get(start, 0) + 1
    assert len(counts) == 10
    # 9 degrees of freedom: 27.9 is the 0.999 quantile; the seed is fixed.
    assert chi_square(counts.values(), draws / 10) < 27.9


def test_each_candidate_is_equally_likely(write_kg):
    # From the start, 'hub' has 3 forward and 2 backward edges.
    content = "hub\ta\tx\nhub\tb\ty\nhub\tc\tz\nu\td\thub\nv\te\thub\n"
    sampler = vantrel.PathSampler(write_kg(content), 1.0, 1, 7)
    counts = {}
    while sum(counts.values()) < 10000:
        path = sampler.sample_path()
        if path[0] == "hub":
            counts[path[1]] = counts.get(path[1], 0) + 1
    assert set(counts) == {"a::-->", "b::-->", "c::-->", "d::<--", "e::<--"}
    total = sum(counts.values())
    assert chi_square(counts.values(), total / 5) < 18.5  # 4 degrees of freedom, 0.999 quantile


def test_sample_path_leaves_no_python_objects_behind(abc_path):
    import gc

    sampler = vantrel.PathSampler(abc_path, 4.0, 10, 1)
    for _ in range(100):
        sampler.sample_path()
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(1000):
        sampler.sample_path()
    gc.collect()
    assert len(gc.get_objects()) <= before + 5


KERNEL_DIGEST = """
import hashlib, os, sys, vantrel
s = vantrel.PathSampler(sys.argv[1], 30.0, 80, 3)
digest = hashlib.sha256()
for ids, offsets in (s.walk_ids(0, 5000), s.restrict(direction="forward").walk_ids(2**64 - 3000, 2**64 - 1)):
    digest.update(bytes(ids) + bytes(offsets))
digest.update(repr(s.sample_paths(300)).encode())
s.write_walks(os.devnull, 0, 10)
print(digest.hexdigest())
"""


def cpu_flags() -> set:
    """The CPU's feature flags as Linux lists them, or none elsewhere."""
    try:
        with open("/proc/cpuinfo") as info:
            return next((set(line.split(":", 1)[1].split()) for line in info if line.startswith("flags")), set())
    except OSError:
        return set()


@pytest.mark.parametrize("kernel", ["portable", "vector128", "avx2", "avx512"])
def test_every_chacha20_kernel_gives_the_same_walks(write_kg, kernel):
    # Walks by number (sixteen streams at once, refills one block at a time),
    # and the sampler's own stream (four blocks per refill), in a process
    # that runs the kernel asked for, against this one's.
    import os
    import subprocess
    import sys

    path = write_kg(random_graph(random.Random(4), 300, 3000))
    child = subprocess.run([sys.executable, "-c", KERNEL_DIGEST, path], capture_output=True, text=True,
                           env=dict(os.environ, VANTREL_CHACHA20_KERNEL=kernel))
    if "names no ChaCha20 kernel this CPU runs" in child.stderr:
        # Only a CPU without the kernel's features may refuse it (a build whose
        # feature detection failed once refused every vector kernel).
        needs = {"avx2": {"avx2"}, "avx512": {"avx2", "avx512f", "avx512vl"}}.get(kernel, {"never"})
        assert not needs <= cpu_flags(), f"the CPU has {sorted(needs)}, yet the {kernel} kernel is refused"
        pytest.skip(f"this CPU does not run the {kernel} kernel")
    here = subprocess.run([sys.executable, "-c", KERNEL_DIGEST, path], capture_output=True, text=True,
                          env={k: v for k, v in os.environ.items() if k != "VANTREL_CHACHA20_KERNEL"})
    assert (child.returncode, child.stdout) == (0, here.stdout), child.stderr[-500:]


@pytest.mark.parametrize("value", [b"none", b"\xff\xfe"])
def test_a_kernel_no_cpu_runs_is_an_import_error(value):
    import os
    import subprocess
    import sys

    environment = {**os.environb, b"VANTREL_CHACHA20_KERNEL": value}
    child = subprocess.run([sys.executable, "-c", "import vantrel"], capture_output=True, env=environment)
    assert child.returncode == 1
    last = child.stderr.decode("utf-8", "replace").strip().splitlines()[-1]
    assert last.startswith("ImportError: VANTREL_CHACHA20_KERNEL=") and "names no ChaCha20 kernel" in last
