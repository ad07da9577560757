"""Walk corpora written by write_walks: both formats read back to the same
walks, shards join into the whole, and a failure leaves no file behind."""

import errno
import json
import os
import socket
import stat
import subprocess
import sys
import threading
import urllib.parse

import pytest
import vantrel
from conftest import interrupt_after

# Labels with spaces, Unicode whitespace, '%', a CR inside, non-ASCII text,
# quotes, backslashes and control characters, and an empty label.
AWKWARD = ("North Sea\tflows into\tRhine\n"
           "Rhine\t\"quoted\" \\back\x01\x1f\x7f\b\f\u2028\tNorth Sea\n"
           "Rhine\t50%\u3000share\tBasel\n"
           "Basel\tcr\rinside\t\n"
           "\tr\u00a0nbsp\tZürich\n"
           "Zürich\tx\tNorth Sea\n")


def read_lines(path):
    with open(path, encoding="utf-8", newline="") as corpus:
        text = corpus.read()
    assert text.endswith("\n")
    return text[:-1].split("\n")


@pytest.mark.parametrize("fmt", ["tsv", "words", "jsonl"])
def test_round_trip(write_kg, tmp_path, fmt):
    sampler = vantrel.PathSampler(write_kg(AWKWARD), 3.0, 10, 4)
    path = tmp_path / f"corpus.{fmt}"
    expected = sampler.walks(10, 410, start="each")
    assert sampler.write_walks(path, 10, 410, start="each", format=fmt, threads=3) == (
        400, sum(len(walk) for walk in expected))
    if fmt == "tsv":
        walks = [line.split("\t") for line in read_lines(path)]
    elif fmt == "jsonl":
        # Byte for byte what json.dumps writes, control characters and quotes among the labels.
        assert read_lines(path) == [json.dumps(walk, ensure_ascii=False) for walk in expected]
        walks = [json.loads(line) for line in read_lines(path)]
    else:
        walks = [[urllib.parse.unquote(word) for word in line.split(" ")] for line in read_lines(path)]
        # What whitespace-splitting readers see: one word per token, but for empty labels.
        assert all(len(line.split()) == sum(1 for token in walk if token)
                   for line, walk in zip(read_lines(path), expected))
    assert walks == expected


def test_shards_join_into_the_whole(abc_path, tmp_path):
    sampler = vantrel.PathSampler(abc_path, 4.0, 10, 1)
    sampler.write_walks(str(tmp_path / "whole"), 0, 20_000, threads=2)
    bounds = [0, 1, 8192, 8193, 15_000, 20_000]
    parts = b""
    for k, (first, stop) in enumerate(zip(bounds, bounds[1:])):
        sampler.write_walks(tmp_path / f"part{k}", first, stop, threads=1)
        parts += (tmp_path / f"part{k}").read_bytes()
    assert parts == (tmp_path / "whole").read_bytes()


def test_file_descriptor_is_written_as_it_is(abc_path, tmp_path):
    sampler = vantrel.PathSampler(abc_path, 4.0, 10, 1)
    sampler.write_walks(tmp_path / "by path", 0, 50)
    with open(tmp_path / "by fd", "wb") as out:
        out.write(b"header\n")
        out.flush()
        sampler.write_walks(out.fileno(), 0, 50)
    assert (tmp_path / "by fd").read_bytes() == b"header\n" + (tmp_path / "by path").read_bytes()


def leftovers(directory):
    return sorted(name for name in os.listdir(directory) if name != "existing")


@pytest.fixture
def existing(tmp_path):
    (tmp_path / "out").mkdir()
    path = tmp_path / "out" / "existing"
    path.write_bytes(b"keep me\n")
    return path


def test_missing_directory(abc_path, tmp_path):
    target = tmp_path / "no such dir" / "corpus.tsv"
    with pytest.raises(FileNotFoundError) as info:
        vantrel.PathSampler(abc_path, 4.0, 10, 1).write_walks(target, 0, 10)
    assert info.value.filename == str(target) and info.value.errno == errno.ENOENT


def test_full_disk_leaves_the_old_file(abc_path, existing):
    # A file size limit makes writes fail with EFBIG, as a full disk fails them with ENOSPC.
    code = (f"import resource, vantrel\n"
            f"resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, resource.RLIM_INFINITY))\n"
            f"try:\n"
            f"    vantrel.PathSampler({abc_path!r}, 4.0, 10, 1).write_walks({str(existing)!r}, 0, 100_000)\n"
            f"except OSError as error:\n"
            f"    print(type(error).__name__, error.errno, error.filename)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["OSError", str(errno.EFBIG), str(existing)]
    assert existing.read_bytes() == b"keep me\n" and leftovers(existing.parent) == []


def test_ctrl_c_leaves_the_old_file(abc_path, existing):
    # Long walks: the interrupt comes while they are drawn, not while the
    # kernel holds a write back for a slow disk (which no signal shortens).
    sampler = vantrel.PathSampler(abc_path, 1e7, 10**7, 1)
    timer = interrupt_after(0.3)
    try:
        with pytest.raises(KeyboardInterrupt):
            sampler.write_walks(existing, 0, 8, threads=2)
        latency = timer.seconds_since_signal()
    finally:
        timer.cancel()
    assert latency < 1.0
    assert existing.read_bytes() == b"keep me\n" and leftovers(existing.parent) == []


def test_progress_is_reported_and_its_exception_stops_the_job(abc_path, existing):
    sampler = vantrel.PathSampler(abc_path, 1e3, 10**3, 1)
    seen = []
    sampler.write_walks(existing.parent / "done", 0, 20_000, progress=seen.append)
    assert seen[-1] == 20_000 and seen == sorted(seen)

    def fail(written):
        raise ValueError(f"stop at {written}")

    with pytest.raises(ValueError, match="^stop at"):
        sampler.write_walks(existing, 0, 10**5, progress=fail)
    assert existing.read_bytes() == b"keep me\n" and leftovers(existing.parent) == ["done"]


@pytest.mark.parametrize("kwargs, error", [({"format": "csv"}, ValueError), ({"format": 1}, TypeError),
                                           ({"progress": 3}, TypeError), ({"threads": -1}, ValueError)])
def test_bad_arguments(abc_path, existing, kwargs, error):
    with pytest.raises(error):
        vantrel.PathSampler(abc_path, 4.0, 10, 1).write_walks(existing, 0, 5, **kwargs)
    assert leftovers(existing.parent) == []


def test_words_escape_exactly_what_str_split_splits_on(write_kg, tmp_path):
    spaces = "".join(chr(c) for c in range(0x3001) if chr(c).isspace() and c not in (0x09, 0x0A))  # no tab, LF
    neighbours = "\x08\x0e\x1b!\x84\x86\x9f\xa1\u167f\u1681\u1fff\u200b\u2027\u202a\u202e\u2030\u205e\u2060\u2fff\u3001"
    label = f"a{spaces}%{neighbours}z"
    sampler = vantrel.PathSampler(write_kg(f"{label}\tr\t{label}\n"), 1e-17, 0, 1)
    sampler.write_walks(tmp_path / "c.txt", 0, 1, format="words")
    (line,) = read_lines(tmp_path / "c.txt")
    assert line.split() == line.split(" ") and [urllib.parse.unquote(w) for w in line.split()] == [label, label]
    assert all(c in line for c in neighbours if c != "%")


@pytest.mark.parametrize("first", [2**64 - 3, 2**64 - 8193, 2**64 - 8194, 2**64 - 20_000])
def test_ranges_at_the_top_of_the_walk_numbers(abc_path, tmp_path, first):
    sampler = vantrel.PathSampler(abc_path, 4.0, 10, 1)
    expected = sampler.walks(first, 2**64 - 1)
    lines = ["\t".join(walk) for walk in expected]
    assert sampler.write_walks(tmp_path / "top", first, 2**64 - 1, threads=2)[0] == len(expected)
    assert read_lines(tmp_path / "top") == lines
    with open(tmp_path / "by fd", "wb") as out:
        assert sampler.write_walks(out.fileno(), first, 2**64 - 1)[0] == len(expected)
    assert read_lines(tmp_path / "by fd") == lines


def test_address_space_limit_gives_memory_error_not_death(abc_path, tmp_path):
    # Many threads under a tight address-space limit: thread stacks take
    # most of it, and what a worker needs first (the C++ runtime's exception
    # state) must not be allocated where failing ends the process.
    code = (f"import resource, vantrel\n"
            f"s = vantrel.PathSampler({abc_path!r}, 4.0, 10, 3)\n"
            f"resource.setrlimit(resource.RLIMIT_AS, (300 << 20, resource.RLIM_INFINITY))\n"
            f"for i in range(12):\n"
            f"    for t in (2, 8, 16, 32, 48):\n"
            f"        try: s.write_walks('x.tsv', 0, 10**6, threads=t)\n"
            f"        except MemoryError: pass\n"
            f"print('done')\n")
    (tmp_path / "out").mkdir()
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path / "out", capture_output=True, text=True)
    assert (run.returncode, run.stdout) == (0, "done\n"), run.stderr[-500:]
    assert os.listdir(tmp_path / "out") in ([], ["x.tsv"])


def write_with(writer, sampler, path):
    """Writes the graph (save) or walks 0 to 299 (write_walks) to `path`."""
    if writer == "save":
        sampler.save(path)
    else:
        sampler.write_walks(path, 0, 300)


def read_from(opener, writer, sampler, path):
    """Writes to `path` while another thread reads everything from what `opener()` returns."""
    got = []
    reader = threading.Thread(target=lambda: got.append(opener()), daemon=True)
    reader.start()
    write_with(writer, sampler, path)
    reader.join(10)
    return got[0]


@pytest.fixture
def reference(abc_path, tmp_path):
    sampler = vantrel.PathSampler(abc_path, 4.0, 10, 1)
    (tmp_path / "ref").mkdir()
    for writer in ("save", "write_walks"):
        write_with(writer, sampler, tmp_path / "ref" / writer)
    return sampler, lambda writer: (tmp_path / "ref" / writer).read_bytes()


@pytest.mark.parametrize("writer", ["save", "write_walks"])
def test_a_symbolic_link_stays_and_its_target_is_replaced(reference, tmp_path, writer):
    sampler, expected = reference
    (tmp_path / "real").write_bytes(b"old")
    (tmp_path / "link").symlink_to("real")
    (tmp_path / "dangling").symlink_to("new")
    for link, target in (("link", "real"), ("dangling", "new")):
        write_with(writer, sampler, tmp_path / link)
        assert (tmp_path / link).is_symlink() and (tmp_path / target).read_bytes() == expected(writer)
    assert sorted(os.listdir(tmp_path)) == ["dangling", "kg0.tsv", "link", "new", "real", "ref"]


@pytest.mark.parametrize("writer", ["save", "write_walks"])
def test_fifos_descriptors_and_sockets_are_written_straight_into(reference, tmp_path, writer):
    sampler, expected = reference
    os.mkfifo(tmp_path / "fifo")
    assert read_from(lambda: (tmp_path / "fifo").read_bytes(), writer, sampler, tmp_path / "fifo") == expected(writer)
    assert stat.S_ISFIFO(os.stat(tmp_path / "fifo").st_mode)

    read_end, write_end = os.pipe()

    def read_pipe():
        with os.fdopen(read_end, "rb") as pipe:
            return pipe.read()

    reader = threading.Thread(target=lambda: got.append(read_pipe()), daemon=True)
    got = []
    reader.start()
    write_with(writer, sampler, f"/dev/fd/{write_end}")
    os.close(write_end)
    reader.join(10)
    assert got == [expected(writer)]

    with socket.socket(socket.AF_UNIX) as server:
        server.bind(str(tmp_path / "sock"))
        server.listen(1)

        def receive():
            connection, _ = server.accept()
            with connection:
                return b"".join(iter(lambda: connection.recv(1 << 16), b""))

        assert read_from(receive, writer, sampler, tmp_path / "sock") == expected(writer)
    assert sorted(os.listdir(tmp_path)) == ["fifo", "kg0.tsv", "ref", "sock"]


def test_a_character_device_stays_one(abc_path, tmp_path):
    try:
        os.mknod(tmp_path / "null", stat.S_IFCHR | 0o666, os.makedev(1, 3))  # a node of the null device
    except PermissionError:
        pytest.skip("making a device node needs root")
    sampler = vantrel.PathSampler(abc_path, 4.0, 10, 1)
    sampler.write_walks(tmp_path / "null", 0, 100)
    sampler.save(tmp_path / "null")
    assert stat.S_ISCHR(os.stat(tmp_path / "null").st_mode)


@pytest.mark.parametrize("writer", ["save", "write_walks"])
def test_the_longest_names_are_written(reference, tmp_path, writer):
    sampler, expected = reference
    for name in ("n" * 243, "é" * 127):  # 243 and 254 bytes
        write_with(writer, sampler, tmp_path / name)
        assert (tmp_path / name).read_bytes() == expected(writer)
    assert len(os.listdir(tmp_path)) == 4


def test_a_bool_is_no_file_descriptor(abc_path):
    with pytest.raises(TypeError, match="not bool"):
        vantrel.PathSampler(abc_path, 4.0, 10, 1).write_walks(True, 0, 1)
