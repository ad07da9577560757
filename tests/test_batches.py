"""Walks by number in batches (PathSampler.batches): each batch is walk_ids() of its walks, for any
walk kind, by position and slice, and as torch tensors through a DataLoader with any number of workers."""

import random
import sys

import pytest
import vantrel
from conftest import random_graph


def plain(pair):
    return [memoryview(array).tolist() for array in pair]


@pytest.fixture
def sampler(write_kg):
    return vantrel.PathSampler(write_kg(random_graph(random.Random(43), 40, 160)), 3.0, 9, 11)


KINDS = [{}, {"start": [3, 1, 4, 1, 5], "items": "full"}, {"start": "each", "unique": True},
         {"items": "edges", "position": "mid"}, {"length": 4, "items": "nodes", "threads": 1},
         {"relabel": [n % 3 for n in range(40)], "length": 2}]


@pytest.mark.parametrize("kind", KINDS)
def test_each_batch_is_walk_ids_of_its_walks(sampler, kind):
    first, stop, size = 7, 7 + 10 * 9 + 4, 10
    batches = sampler.batches(first, stop, size, **kind)
    expected = [plain(sampler.walk_ids(begin, min(begin + size, stop), **kind)) for begin in range(first, stop, size)]
    assert len(batches) == 10 and [plain(batch) for batch in batches] == expected
    assert plain(batches[-1]) == expected[-1] and plain(batches[3]) == expected[3]
    assert [plain(batch) for batch in batches[1::3]] == expected[1::3]
    assert [plain(batch) for batch in batches[::-2][1:3]] == expected[::-2][1:3]
    assert [plain(batch) for batch in batches[8:2:-3][::-1]] == expected[8:2:-3][::-1]


def test_restricted_and_metapath_samplers_batch_alike(sampler):
    for derived in (sampler.restrict(direction="forward"),
                    sampler.biased(p=0.5, q=2.0),
                    sampler.metapath([sampler.relations[0] + "::-->", sampler.relations[0] + "::<--"])):
        assert [plain(batch) for batch in derived.batches(0, 9, 4)] == [
            plain(derived.walk_ids(begin, min(begin + 4, 9))) for begin in (0, 4, 8)]


def test_lengths_positions_and_refusals(sampler):
    batches = sampler.batches(0, 10, 4)
    assert repr(batches) == "<vantrel.WalkBatches: 3 batches of 4 walks, walk numbers range(0, 10)>"
    assert repr(batches[1:]) == "<vantrel.WalkBatches: 2 of 3 batches of 4 walks, walk numbers range(0, 10)>"
    assert len(sampler.batches(5, 5, 4)) == 0 and list(sampler.batches(5, 5, 4)) == []
    assert len(batches[5:]) == 0 and len(batches[::-1]) == 3 and len(sampler.batches(0, 2**64 - 1, 2**63)) == 2
    for index in (3, -4):
        with pytest.raises(IndexError, match="WalkBatches index out of range"):
            batches[index]
    with pytest.raises(TypeError, match="WalkBatches indices must be integers or slices, not str"):
        batches["1"]
    with pytest.raises(ValueError, match="batch_size must be at least 1"):
        sampler.batches(0, 10, 0)
    with pytest.raises(ValueError, match="first must be <= stop"):
        sampler.batches(10, 0, 4)
    with pytest.raises(OverflowError, match="more batches than a sequence can hold"):
        sampler.batches(0, 2**64 - 1, 1)
    with pytest.raises(ValueError, match="is not a node id"):
        sampler.batches(0, 10, 4, start=[99])


def test_tensors_need_pytorch(sampler, monkeypatch):
    monkeypatch.setitem(sys.modules, "torch", None)
    with pytest.raises(ImportError) as caught:
        sampler.batches(0, 10, 4, tensors=True)
    assert str(caught.value) == ("tensors=True hands batches over as torch tensors, and PyTorch is not installed: "
                                 "pip install torch (from a clone of vantrel: pip install '.[torch]')")
    assert isinstance(caught.value.__cause__, ImportError)  # the import's own error


@pytest.mark.parametrize("workers", [0, 2])
def test_a_data_loader_sees_the_same_batches_with_any_number_of_workers(sampler, workers):
    torch = pytest.importorskip("torch")
    from torch.utils.data import DataLoader

    batches = sampler.batches(0, 50, 8, tensors=True, length=3)
    ids, offsets = batches[0]
    assert ids.dtype == offsets.dtype == torch.int64
    expected = [plain(sampler.walk_ids(begin, min(begin + 8, 50), length=3)) for begin in range(0, 50, 8)]
    # DDP's ranks take their shares by slice; here two ranks, interleaved, rebuild the whole.
    for rank in range(2):
        loader = DataLoader(batches[rank::2], batch_size=None, num_workers=workers,
                            multiprocessing_context="fork" if workers else None)
        assert [[ids.tolist(), offsets.tolist()] for ids, offsets in loader] == expected[rank::2]
