import errno
import math
import os
import sys

import pytest
import vantrel
from conftest import shared_data

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
SHAPE = UNWRAP + "ShapeTooSmall"
BAD_UTF8 = UNWRAP + 'Custom { kind: InvalidData, error: "stream did not contain valid UTF-8" }'


def load(path, mean=3.0):
    return vantrel.PathSampler(path, mean, 10, 42)


@pytest.mark.parametrize(
    "content, size",
    [
        ("", 0),
        ("a\tr\tb", 1),
        ("a\tr\tb\n", 1),
        ("a\tr\tb\r\n", 1),
        ("a\tr\tb\r\r\n", 1),
        ("a\tr\tb\tc\td\n", 1),
        ("\t\t\n", 1),
        ("a\tr\tb\n" * 3, 3),
        ("\ufeffa\tr\tb\n", 1),
        ("a\x00b\tr\x00\tc\n", 1),
        ("a\u2028\tr\r\tc\x0b\n", 1),
    ],
)
def test_data_size_counts_lines(write_kg, content, size):
    assert load(write_kg(content)).data_size == size


@pytest.mark.parametrize(
    "content, message, line",
    [
        ("\n", "index out of bounds: the len is 1 but the index is 1", 1),
        ("a\tr\tb\n\n", "index out of bounds: the len is 1 but the index is 1", 2),
        ("a\tr\tb\n\r\n", "index out of bounds: the len is 1 but the index is 1", 2),
        ("a\tr\tb\nonly\n", "index out of bounds: the len is 1 but the index is 1", 2),
        ("a\tr\tb\nx\ty\n", "index out of bounds: the len is 2 but the index is 2", 2),
        ("a\tr\tb\nc\td\te\nx\ty", "index out of bounds: the len is 2 but the index is 2", 3),
    ],
)
def test_short_line(write_kg, content, message, line):
    path = write_kg(content)
    with pytest.raises(ValueError) as info:
        load(path)
    assert str(info.value) == message
    if sys.version_info >= (3, 11):
        fields = int(message.split()[-1])  # the fixed message's index is the line's number of fields
        assert info.value.__notes__ == [f"line {line} of data_path {path!r}",
                                        f"line {line} has {fields} field{'s' * (fields != 1)}; a triple needs 3, "
                                        f"separated by tabs"]


def test_missing_file(tmp_path):
    path = str(tmp_path / "absent.tsv")
    with pytest.raises(FileNotFoundError) as info:
        load(path)
    assert str(info.value) == UNWRAP + 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
    assert info.value.errno == errno.ENOENT
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == [f"data_path: {path!r}"]


def test_directory(tmp_path):
    with pytest.raises(IsADirectoryError) as info:
        load(str(tmp_path))
    assert str(info.value) == UNWRAP + 'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'
    assert info.value.errno == errno.EISDIR


def test_not_a_directory(write_kg):
    with pytest.raises(NotADirectoryError) as info:
        load(write_kg("a\tr\tb\n") + "/below")
    assert str(info.value) == UNWRAP + 'Os { code: 20, kind: NotADirectory, message: "Not a directory" }'


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_no_read_permission(write_kg):
    path = write_kg("a\tr\tb\n")
    os.chmod(path, 0)
    with pytest.raises(PermissionError) as info:
        load(path)
    assert str(info.value) == UNWRAP + 'Os { code: 13, kind: PermissionDenied, message: "Permission denied" }'
    assert info.value.errno == errno.EACCES


def test_nul_in_path_opens_nothing(write_kg, monkeypatch):
    path = write_kg("a\tr\tb\n")
    with pytest.raises(ValueError) as info:
        load(path + "\0ignored")
    assert str(info.value) == (UNWRAP + 'Custom { kind: InvalidInput, error: '
                               '"file name contained an unexpected NUL byte" }')
    with pytest.raises(ValueError):
        load("\0")


@pytest.mark.parametrize(
    "raw",
    [
        b"\xc0\xaf",  # overlong
        b"\xe0\x80\xaf",  # overlong, three bytes
        b"\xed\xa0\x80",  # surrogate
        b"\xf4\x90\x80\x80",  # above U+10FFFF
        b"\xff",
        b"\x80",
        b"\xe2\x82",  # truncated
    ],
)
def test_invalid_utf8(write_kg, raw):
    with pytest.raises(ValueError) as info:
        load(write_kg(b"a\tr\t" + raw + b"\n"))
    assert str(info.value) == BAD_UTF8
    with pytest.raises(ValueError) as info:
        load(write_kg(b"a\tr\tb\n" * 100 + b"x" + raw))
    assert str(info.value) == BAD_UTF8


def test_non_ascii_labels_load(write_kg):
    assert load(write_kg("Zürich\tliegt_in\tSchweiz\n東京\t🚆\tÔsaka\n")).data_size == 2


@pytest.mark.parametrize(
    "content, mean, error, message",
    [
        (None, 0.0, FileNotFoundError, None),
        (b"a\tr\t\xff\n", 0.0, ValueError, BAD_UTF8),
        ("a\tr\n", 0.0, ValueError, "index out of bounds: the len is 2 but the index is 2"),
        ("a\tr\tb\n", 0.0, ValueError, SHAPE),
        ("a\tr\tb\n", -1.0, ValueError, SHAPE),
        ("a\tr\tb\n", -0.0, ValueError, SHAPE),
        ("a\tr\tb\n", math.nan, ValueError, SHAPE),
        ("a\tr\tb\n", -math.inf, ValueError, SHAPE),
        ("", 0.0, ValueError, SHAPE),
    ],
)
def test_file_is_read_before_mean_is_checked(tmp_path, write_kg, content, mean, error, message):
    path = str(tmp_path / "absent.tsv") if content is None else write_kg(content)
    with pytest.raises(error) as info:
        load(path, mean)
    if message is not None:
        assert str(info.value) == message
    if message == SHAPE and sys.version_info >= (3, 11):
        assert info.value.__notes__ == ["mean_path_len must be positive: it is the mean of a Poisson draw"]


@pytest.mark.parametrize("mean", [math.inf, 2.5564e305, sys.float_info.max])
def test_means_whose_draw_never_ends_are_refused(write_kg, mean):
    with pytest.raises(ValueError) as info:
        load(write_kg("a\tr\tb\n"), mean)
    assert "mean_path_len" in str(info.value) and "too large" in str(info.value)


@pytest.mark.parametrize("mean", [2.5562e305, 1e300, 5e-324, 2.0**-54])
def test_extreme_but_finite_means_are_accepted(write_kg, mean):
    sampler = vantrel.PathSampler(write_kg("a\tr\tb\n"), mean, 3, 0)
    assert 2 <= len(sampler.sample_path()) <= 5


def test_relative_path_resolves_against_current_directory(write_kg, monkeypatch, tmp_path):
    write_kg("a\tr\tb\nb\tr\tc\n", name="rel.tsv")
    monkeypatch.chdir(tmp_path)
    assert load("rel.tsv").data_size == 2


@pytest.mark.parametrize(
    "name, triples",
    [("wn18rr-train.tsv", 86835), ("fb15k237-valid.tsv", 17535), ("codex-m-train.tsv", 185584)],
)
def test_real_graphs(name, triples):
    assert load(shared_data(name)).data_size == triples
