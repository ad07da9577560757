"""Graph snapshots: save() writes one file, load() maps it and checks it
whole; the walks are those of the triple file, and a bad file is a clear
ValueError, never a crash. The format: docs/snapshot-format.md."""

import math
import os
import random
import struct
import subprocess
import sys

import pytest
import vantrel
from conftest import random_graph

HEADER = struct.Struct("<8sIIII7QIIddQ16x")
MASK = 2**64 - 1
MULTIPLIER = 0x9E3779B97F4A7C15


def mix(h):
    h ^= h >> 33
    h = h * 0xFF51AFD7ED558CCD & MASK
    h ^= h >> 33
    h = h * 0xC4CEB9FE1A85EC53 & MASK
    return h ^ (h >> 33)


def segment_checksum(segment):
    lanes = [1, 2, 3, 4]
    words = struct.unpack(f"<{len(segment) // 8}Q", segment)
    for i in range(0, len(words), 4):
        for lane in range(4):
            x = lanes[lane] ^ words[i + lane]
            lanes[lane] = ((x << 29 | x >> 35) & MASK) * MULTIPLIER & MASK
    h = len(segment)
    for lane in lanes:
        h = mix(h ^ lane) * MULTIPLIER & MASK
    return mix(h)


def checksum(content):
    """The checksum of a snapshot's contents: 1 MiB segments, combined in order."""
    h = len(content)
    for start in range(0, len(content), 2**20):
        h = mix(h ^ segment_checksum(content[start:start + 2**20])) * MULTIPLIER & MASK
    return mix(h)


class Snapshot:
    """A snapshot's bytes, its header fields and where each section starts."""

    SECTIONS = ["cells", "blocks", "node offsets", "relation offsets", "node bytes", "relation bytes",
                "node ascii", "relation ascii", "heads", "source cells", "source blocks", "source heads",
                "source relations", "weights"]

    def __init__(self, data):
        self.data = bytearray(data)
        (self.magic, self.version, self.order, self.width, self.header_size, self.edges, self.nodes,
         self.relations, self.node_bytes, self.relation_bytes, self.size, self.sum, self.restriction,
         self.contents, self.p, self.q, self.source_edges) = HEADER.unpack_from(self.data)
        cells = self.nodes + (2 if self.restriction in (0, 1) else 1) * self.edges
        has = self.contents
        lengths = [cells * 3 * self.width, self.nodes * self.width, (self.nodes + 1) * 8,
                   (self.relations + 1) * 8, self.node_bytes, self.relation_bytes, self.nodes, self.relations,
                   self.edges * self.width if has & 1 else 0,
                   (self.nodes + 2 * self.source_edges) * 3 * self.width if has & 2 else 0,
                   self.nodes * self.width if has & 2 else 0,
                   self.source_edges * self.width if has & 4 else 0,
                   (self.relations + 63) // 64 * 8 if has & 2 else 0,
                   (cells - self.nodes) * 8 if has & 32 else 0]
        self.start, position = {}, 128
        for name, length in zip(self.SECTIONS, lengths):
            self.start[name] = position
            position = (position + length + 63) // 64 * 64

    def put(self, section, index, value, size):
        struct.pack_into(f"<{'BIQ'[[1, 4, 8].index(size)]}", self.data, self.start[section] + index * size, value)

    def sealed(self):
        """The bytes with the checksum made right again."""
        struct.pack_into("<Q", self.data, 72, checksum(bytes(self.data[128:])))
        return bytes(self.data)


@pytest.fixture
def saved(tmp_path, write_kg):
    path = write_kg("A\tr\tB\nB\ts\tC\nC\tr\tB\nC\tt\tC\n")
    snapshot = tmp_path / "kg.snap"
    vantrel.PathSampler(path, 2.0, 10, 1).save(snapshot)
    return path, snapshot


@pytest.mark.parametrize("graph_seed", range(3))
def test_every_kind_of_walk_is_the_triple_files(tmp_path, write_kg, graph_seed):
    rng = random.Random(graph_seed)
    path = write_kg(random_graph(rng, rng.choice([1, 4, 40]), rng.randrange(1, 90)))
    vantrel.PathSampler(path, 1.0, 1, 0).save(str(tmp_path / "g.snap"))
    built = vantrel.PathSampler(path, 3.5, 12, graph_seed)
    loaded = vantrel.PathSampler.load(tmp_path / "g.snap", 3.5, 12, graph_seed)
    assert (loaded.data_size, loaded.node_count, list(loaded.tokens)) == (built.data_size, built.node_count,
                                                                           list(built.tokens))
    assert [loaded.sample_path() for _ in range(20)] == [built.sample_path() for _ in range(20)]
    assert loaded.sample_paths(30) == built.sample_paths(30)
    for start in ("random", "each"):
        assert loaded.walks(5, 300, start=start) == built.walks(5, 300, start=start)
        assert [memoryview(a).tolist() for a in loaded.walk_ids(0, 99, start=start, threads=2)] == \
            [memoryview(a).tolist() for a in built.walk_ids(0, 99, start=start)]
    loaded.write_walks(tmp_path / "a.txt", 0, 500, format="words")
    built.write_walks(tmp_path / "b.txt", 0, 500, format="words")
    assert (tmp_path / "a.txt").read_bytes() == (tmp_path / "b.txt").read_bytes()


def test_triples_grouped_by_head_save_every_head_in_input_order(tmp_path, write_kg):
    # Each head's triples together, the heads not in the order of their ids
    # (C came first as a tail): a graph keeps such an order as runs of heads.
    rows = [("A", "r", "C"), ("A", "s", "B"), ("C", "r", "A"), ("C", "r", "C"), ("C", "t", "B"), ("B", "s", "A"),
            ("B", "r", "B"), ("B", "r", "C")]
    sampler = vantrel.PathSampler(write_kg("".join("\t".join(row) + "\n" for row in rows)), 2.0, 10, 1)
    labels = list(sampler.tokens)[:sampler.node_count]
    for kept in (sampler, sampler.restrict(direction="forward")):
        kept.save(tmp_path / "g.snap")
        snapshot = Snapshot((tmp_path / "g.snap").read_bytes())
        section = "heads" if kept is sampler else "source heads"
        heads = struct.unpack_from(f"<{len(rows)}I", snapshot.data, snapshot.start[section])
        assert [labels[head] for head in heads] == [row[0] for row in rows]
        loaded = vantrel.PathSampler.load(tmp_path / "g.snap", 2.0, 10, 1)
        assert [tuple(row) for row in loaded.triple_ids()] == [tuple(row) for row in kept.triple_ids()]
    assert [labels[row[0]] for row in sampler.triple_ids()] == [row[0] for row in rows]


def test_an_empty_graph_saves_and_loads(tmp_path, write_kg):
    vantrel.PathSampler(write_kg(""), 2.0, 10, 1).save(tmp_path / "empty.snap")
    loaded = vantrel.PathSampler.load(str(tmp_path / "empty.snap"), 2.0, 10, 1)
    assert (loaded.data_size, loaded.node_count, len(loaded.tokens)) == (0, 0, 0)
    with pytest.raises(IndexError):
        loaded.sample_path()


def test_load_checks_arguments_as_the_constructor_does(saved):
    _, snapshot = saved
    with pytest.raises(ValueError, match="ShapeTooSmall"):
        vantrel.PathSampler.load(snapshot, 0.0, 10, 1)
    with pytest.raises(OverflowError):
        vantrel.PathSampler.load(snapshot, 2.0, -1, 1)
    with pytest.raises(TypeError, match=r"^PathSampler.load\(\) missing required positional argument: random_state$"):
        vantrel.PathSampler.load(snapshot, 2.0, 10)


@pytest.mark.parametrize("target, error", [("missing.snap", FileNotFoundError), (".", IsADirectoryError)])
def test_what_is_no_file_fails_as_the_constructor_does(tmp_path, target, error):
    with pytest.raises(error) as loading:
        vantrel.PathSampler.load(str(tmp_path / target), 2.0, 10, 1)
    with pytest.raises(error) as constructing:
        vantrel.PathSampler(str(tmp_path / target), 2.0, 10, 1)
    assert str(loading.value) == str(constructing.value)


def test_save_failure_names_the_path(saved, tmp_path):
    path, _ = saved
    with pytest.raises(FileNotFoundError) as info:
        vantrel.PathSampler(path, 2.0, 10, 1).save(tmp_path / "no dir" / "x.snap")
    assert info.value.filename == str(tmp_path / "no dir" / "x.snap")


def corrupt(snapshot, change):
    s = Snapshot(snapshot.read_bytes())
    data = change(s)
    snapshot.write_bytes(data if data is not None else s.sealed())


def set_header(offset, fmt, value, seal=True):
    def change(s):
        struct.pack_into(fmt, s.data, offset, value)
        return s.sealed() if seal else bytes(s.data)
    return change


@pytest.mark.parametrize("change, message", [
    (lambda s: bytes(s.data[:100]), "the file is 100 bytes, shorter than a snapshot header (128)"),
    (lambda s: bytes(s.data[:-64]), "its header says"),
    (lambda s: bytes(s.data) + b"\0" * 64, "its header says"),
    (set_header(0, "<8s", b"NOTSNAPS"), "not a vantrel snapshot"),
    (set_header(12, "<I", 0x04030201), "the other byte order"),
    (set_header(8, "<I", 5), "version 5 is newer than this vantrel reads (4)"),
    (set_header(8, "<I", 0), "unknown version 0"),
    (set_header(80, "<I", 4), "unknown restriction 4"),
    (set_header(16, "<I", 3), "id width 3 is neither 4 nor 8"),
    (set_header(32, "<Q", 2**62), "its counts add up to more"),
    (set_header(24, "<Q", 50), "its counts add up to"),
    (set_header(24, "<Q", 5), "the last node's block does not end at the last cell"),
    (lambda s: [s.put("cells", 0, 0, 4), s.put("cells", 1, 1, 4)] and None,
     "the node blocks do not hold each edge once in each direction"),
    (lambda s: bytes(s.data[:200]) + bytes([s.data[200] ^ 1]) + bytes(s.data[201:]), "checksum mismatch"),
    (lambda s: s.put("node offsets", 1, 3, 8), "node label offsets go backwards at label 1"),
    (lambda s: s.put("node offsets", 0, 1, 8), "node label offsets do not start at 0"),
    (lambda s: s.put("node bytes", 0, 0xFF, 1), "node label 0 is not UTF-8"),
    (lambda s: s.put("relation ascii", 0, 0, 1), "relation label 0 has a wrong ASCII flag"),
    (lambda s: s.put("blocks", 1, 0, 4), "node 1's block is not where the blocks before it end"),
    (lambda s: s.put("cells", 2, 7, 4), "the block of node 0 names another node"),
    (lambda s: s.put("cells", 0, 100, 4), "the edges of node 0 run past the last cell"),
    (lambda s: s.put("cells", 3, 1, 4), "an edge of node 0 leads to no node's block"),
    (lambda s: s.put("cells", 4, 9, 4), "an edge of node 0 names no relation"),
    (lambda s: s.put("cells", 5, 5, 4), "an edge of node 0 has its twin out of range"),
    (set_header(84, "<I", 64), "unknown contents 64"),
    (set_header(88, "<d", 0.5), "p and q are set for walks that are not biased"),
    (set_header(104, "<Q", 3), "the header describes a source graph that the file does not hold"),
    (lambda s: s.put("heads", 0, 2, 4), "the heads of the triples give node 0 other triples than its block"),
    (lambda s: s.put("heads", 1, 9, 4), "the heads of the triples names a head that is no node"),
])
def test_each_validation_rule(saved, change, message):
    _, snapshot = saved
    corrupt(snapshot, change)
    with pytest.raises(ValueError) as info:
        vantrel.PathSampler.load(snapshot, 2.0, 10, 1)
    assert str(info.value).startswith("invalid snapshot: ") and message in str(info.value)


def build(blocks, node_labels, relation_labels):
    """Snapshot bytes (32-bit ids) of node blocks given as (forward edges,
    backward edges), each edge a (far node, relation, twin), checksum right."""
    cells, starts = [], []
    for forward, backward in blocks:
        starts.append(len(cells) // 3)
        cells += [len(forward), len(backward), len(starts) - 1]
        cells += [value for edge in forward + backward for value in edge]
    for node, (forward, backward) in enumerate(blocks):
        for k in range(len(forward) + len(backward)):
            cell = (starts[node] + 1 + k) * 3
            cells[cell] = starts[cells[cell]]  # the far node's block
    def labels(texts):
        data = [t.encode() for t in texts]
        offsets = [0]
        for d in data:
            offsets.append(offsets[-1] + len(d))
        return offsets, b"".join(data), bytes(d.isascii() for d in data)
    node_offsets, node_bytes, node_ascii = labels(node_labels)
    relation_offsets, relation_bytes, relation_ascii = labels(relation_labels)
    sections = [struct.pack(f"<{len(cells)}I", *cells), struct.pack(f"<{len(starts)}I", *starts),
                struct.pack(f"<{len(node_offsets)}Q", *node_offsets),
                struct.pack(f"<{len(relation_offsets)}Q", *relation_offsets), node_bytes, relation_bytes,
                node_ascii, relation_ascii]
    body = b"".join(s + b"\0" * (-len(s) % 64) for s in sections)
    edges = (len(cells) // 3 - len(blocks)) // 2
    header = HEADER.pack(b"VTRLSNAP", 1, 0x01020304, 4, 128, edges, len(blocks), len(relation_labels),
                         len(node_bytes), len(relation_bytes), 128 + len(body), checksum(body), 0, 0, 0.0, 0.0, 0)
    return header + body


# A r B, twice: two parallel edges. Each entry is (far node, relation, twin).
PARALLEL = [([(1, 0, 0), (1, 0, 1)], []), ([], [(0, 0, 0), (0, 0, 1)])]


@pytest.mark.parametrize("blocks, nodes, relations, message", [
    (PARALLEL, ["A", "B"], ["r"], None),
    ([([(1, 0, 1), (1, 0, 0)], []), PARALLEL[1]], ["A", "B"], ["r"], "an edge of node 0 and its twin do not match"),
    ([([(1, 0, 0), (1, 0, 1)], []), ([], [(0, 0, 0), (1, 0, 1)])], ["A", "B"], ["r"],
     "an edge of node 0 and its twin do not match"),
    (PARALLEL + [([], [])], ["A", "B", "C"], ["r"], "node 2 has no edge"),
    (PARALLEL, ["A", "B"], ["r", "s"], "relation 1 has no edge"),
    ([([(1, 1, 0), (1, 0, 1)], []), ([], [(0, 0, 0), (0, 0, 1)])], ["A", "B"], ["r", "s"],
     "an edge of node 0 and its twin do not match"),
])
def test_snapshots_of_impossible_graphs_are_refused(tmp_path, blocks, nodes, relations, message):
    (tmp_path / "g.snap").write_bytes(build(blocks, nodes, relations))
    if message is None:  # the graph of "A r B" twice: the builder above is right
        (tmp_path / "g.tsv").write_text("A\tr\tB\n" * 2)
        built = vantrel.PathSampler(str(tmp_path / "g.tsv"), 2.0, 10, 1)
        assert vantrel.PathSampler.load(tmp_path / "g.snap", 2.0, 10, 1).walks(0, 50) == built.walks(0, 50)
        return
    with pytest.raises(ValueError) as info:
        vantrel.PathSampler.load(tmp_path / "g.snap", 2.0, 10, 1)
    assert str(info.value) == f"invalid snapshot: {message}"


TIMES = struct.pack("<4d", 1.5, 2.5, 3.5, 4.5)


def temporal_change(change):
    """A change to the snapshot of a temporal sampler (float times 1.5 to 4.5, window 2, decay 3)."""
    def apply(s):
        if change == "nan time":
            at = bytes(s.data).index(TIMES)
            s.data[at + 8:at + 16] = struct.pack("<d", math.nan)
        elif change == "negative window":
            struct.pack_into("<d", s.data, 88, -1.0)
        elif change == "zero decay":
            struct.pack_into("<d", s.data, 96, 0.0)
        elif change == "biased too":
            struct.pack_into("<I", s.data, 84, s.contents | 16)
        elif change == "version 3":
            struct.pack_into("<I", s.data, 8, 3)
        return s.sealed()
    return apply


@pytest.mark.parametrize("change, message", [
    ("nan time", "triple 1 has a time that is not finite"),
    ("negative window", "the window is no number >= 0"),
    ("zero decay", "the decay is no positive finite number"),
    ("biased too", "a temporal sampler is never biased nor a metapath sampler"),
    ("version 3", "unknown contents"),
])
def test_the_times_of_a_snapshot_are_checked(saved, tmp_path, change, message):
    path, _ = saved
    timed = tmp_path / "timed.snap"
    vantrel.PathSampler(path, 2.0, 10, 1).temporal([1.5, 2.5, 3.5, 4.5], window=2, decay=3).save(timed)
    corrupt(timed, temporal_change(change))
    with pytest.raises(ValueError) as info:
        vantrel.PathSampler.load(timed, 2.0, 10, 1)
    assert str(info.value).startswith(f"invalid snapshot: {message}")


@pytest.mark.parametrize("version, offset, expected", [
    (2, 112, "header bytes 112 to 127"), (2, 127, "header bytes 112 to 127"),
    (2, "padding", "the padding after section 0"),
    (1, 84, "header bytes 84 to 127"), (1, 120, "header bytes 84 to 127"),
])
def test_reserved_bytes_must_be_zero(saved, tmp_path, version, offset, expected):
    _, snapshot = saved
    if version == 1:  # a file of the first version: no bytes past 84 are used
        snapshot.write_bytes(build(PARALLEL, ["A", "B"], ["r"]))
    s = Snapshot(snapshot.read_bytes())
    at = offset if offset != "padding" else s.start["blocks"] - 1  # the cells' last padding byte
    s.data[at] = 1
    snapshot.write_bytes(s.sealed())
    with pytest.raises(ValueError, match=expected):
        vantrel.PathSampler.load(snapshot, 2.0, 10, 1)


def test_load_errors_name_the_file(saved):
    _, snapshot = saved
    snapshot.write_bytes(snapshot.read_bytes()[:100])
    with pytest.raises(ValueError) as info:
        vantrel.PathSampler.load(snapshot, 2.0, 10, 1)
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == [f"path: {str(snapshot)!r}"]


def test_a_fifo_is_refused_without_waiting_for_a_writer(tmp_path):
    os.mkfifo(tmp_path / "fifo")
    code = f"import vantrel\ntry:\n    vantrel.PathSampler.load({str(tmp_path / 'fifo')!r}, 2.0, 10, 1)\n" \
           f"except ValueError as error:\n    print(error)\n"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=20)
    assert run.stdout == "invalid snapshot: not a regular file\n"


def test_too_little_address_space_is_memory_error(tmp_path):
    with open(tmp_path / "big.snap", "wb") as big:  # sparse: mapping it needs address space, not disk
        big.truncate(1 << 30)
    code = ("import resource, vantrel\n"
            "size = int(open('/proc/self/status').read().split('VmSize:')[1].split()[0]) << 10\n"
            "resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))\n"
            f"try:\n    vantrel.PathSampler.load({str(tmp_path / 'big.snap')!r}, 2.0, 10, 1)\n"
            "except MemoryError:\n    print('MemoryError')\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.stdout == "MemoryError\n", run.stderr[-300:]


@pytest.mark.parametrize("make", [
    lambda s: s.biased(p=0.5, q=2.0),
    lambda s: s.biased(edge_weights=[(i % 5) / 2 for i in range(s.data_size)], relation_weights={"P31": 3.0}),
    lambda s: s.restrict(exclude_relations=["P31"]),
    lambda s: s.restrict(direction="backward").biased(node_weights=[1.0 + i % 3 for i in range(s.node_count)], q=4),
    lambda s: s.biased(edge_weights=[1.0 + i % 2 for i in range(s.data_size)], p=3).restrict(direction="forward"),
])
def test_biased_and_restricted_samplers_load_back_alike(tmp_path, write_kg, make):
    sampler = make(vantrel.PathSampler(write_kg(random_graph(random.Random(3), 60, 500)), 3.0, 10, 4))
    sampler.save(tmp_path / "s.snap")
    loaded = vantrel.PathSampler.load(tmp_path / "s.snap", 3.0, 10, 4)
    assert loaded.walks(0, 400, items="full") == sampler.walks(0, 400, items="full")
    assert [loaded.sample_path() for _ in range(50)] == [sampler.sample_path() for _ in range(50)]
    assert memoryview(loaded.triple_ids()).tolist() == memoryview(sampler.triple_ids()).tolist()
    restricted = dict(exclude_relations=["rel✓"])
    assert loaded.restrict(**restricted).walks(0, 200) == sampler.restrict(**restricted).walks(0, 200)


def test_a_restricted_snapshot_must_match_its_source(tmp_path, write_kg):
    sampler = vantrel.PathSampler(write_kg(random_graph(random.Random(3), 60, 500)), 3.0, 10, 4)
    sampler.restrict(exclude_relations=["P31"]).save(tmp_path / "r.snap")
    s = Snapshot((tmp_path / "r.snap").read_bytes())
    s.data[s.start["source relations"]] ^= 1 << 0  # keep relation 0, which the graph left out, after all
    (tmp_path / "r.snap").write_bytes(s.sealed())
    with pytest.raises(ValueError, match="is not what its restriction keeps of its source"):
        vantrel.PathSampler.load(tmp_path / "r.snap", 3.0, 10, 4)


@pytest.mark.parametrize("changes, message", [
    ([("weights", 7, -1.0)], "entry 7 has a weight that is not finite and >= 0"),
    ([("weights", 0, 1e308), ("weights", 1, 1e308)], r"the weights of the candidates of node .* \(id 0\) overflow"),
    ([("p", 0, 5e-324)], "p and q of biased walks must be positive and finite, and so must 1/p and 1/q"),
    ([("q", 0, 1e-309)], "p and q of biased walks must be positive and finite, and so must 1/p and 1/q"),
])
def test_biased_walks_in_a_snapshot_are_checked_as_biased_checks_them(tmp_path, write_kg, changes, message):
    sampler = vantrel.PathSampler(write_kg(random_graph(random.Random(3), 60, 500)), 3.0, 10, 4)
    sampler.biased(node_weights=[1.0] * sampler.node_count, p=2.0).save(tmp_path / "b.snap")
    s = Snapshot((tmp_path / "b.snap").read_bytes())
    for where, entry, value in changes:
        offset = {"p": 88, "q": 96}.get(where) or s.start["weights"] + 8 * entry
        struct.pack_into("<d", s.data, offset, value)
    (tmp_path / "b.snap").write_bytes(s.sealed())
    with pytest.raises(ValueError, match=message):
        vantrel.PathSampler.load(tmp_path / "b.snap", 3.0, 10, 4)
