"""A graph past the sizes at which the loaders' structures change shape
(2^23 nodes: the builder's buckets merge several times over), read every
way a user can, and compared."""

import filecmp

import pytest
from vantrel import PathSampler

LINES = 2**22 + 1  # a new head and a new tail on every line: 2^23 + 2 nodes
ARGS = (4.0, 10, 5)


@pytest.fixture(scope="module")
def large_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("large")
    tsv, nt = folder / "kg.tsv", folder / "kg.nt"
    with open(tsv, "w") as out:
        out.writelines(f"h:{i}\tr:{i % 7}\tt:{i}\n" for i in range(LINES))
    with open(nt, "w") as out:
        out.writelines(f"<h:{i}> <r:{i % 7}> <t:{i}> .\n" for i in range(LINES))
    return folder, tsv, nt


def test_a_graph_past_2_23_nodes_reads_alike_every_way(large_files):
    folder, tsv, nt = large_files
    snapshots = []
    walks = []
    with open(tsv, "rb") as file_object:
        for name, make in [("constructor", lambda: PathSampler(str(tsv), *ARGS)),
                           ("n-triples", lambda: PathSampler.read(nt, *ARGS)),
                           ("file object", lambda: PathSampler.read(file_object, *ARGS, format="tsv"))]:
            sampler = make()
            assert (sampler.node_count, sampler.data_size) == (2**23 + 2, LINES), name
            assert [sampler.tokens[i] for i in (0, 1, 2**23, 2**23 + 1)] == ["h:0", "t:0", f"h:{2**22}", f"t:{2**22}"]
            # Walks from the last nodes, where ids are largest, and drawn ones.
            each_top = sampler.walk_ids(2**23 - 1000, 2**23 + 2, start="each")
            walks.append([bytes(array) for array in each_top + sampler.walk_ids(0, 10**5)])
            snapshots.append(folder / f"{name}.snap")
            sampler.save(snapshots[-1])
            del sampler
    assert walks[0] == walks[1] == walks[2]
    assert filecmp.cmp(snapshots[0], snapshots[1], shallow=False)
    assert filecmp.cmp(snapshots[0], snapshots[2], shallow=False)
    loaded = PathSampler.load(snapshots[0], *ARGS)
    assert [bytes(array) for array in loaded.walk_ids(0, 10**5)] == walks[0][2:]
