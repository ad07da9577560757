import gc
import pathlib
import sys

import pytest
import vantrel

NEW = "PathSampler.__new__()"
SAMPLE = "PathSampler.sample_path()"


def walks(sampler, count=8):
    return [sampler.sample_path() for _ in range(count)]


def test_positional_keyword_and_mixed_calls_are_equal(abc_path):
    by_position = vantrel.PathSampler(abc_path, 2.0, 10, 1)
    by_keyword = vantrel.PathSampler(random_state=1, max_path_len=10, data_path=abc_path, mean_path_len=2.0)
    mixed = vantrel.PathSampler(abc_path, 2.0, random_state=1, max_path_len=10)
    assert walks(by_position) == walks(by_keyword) == walks(mixed)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, NEW + " missing required positional argument: data_path"),
        (("p", 1.0, 3), {}, NEW + " missing required positional argument: random_state"),
        (("p",), {"seed": 1}, NEW + " missing required positional argument: mean_path_len"),
        (("p", 1.0, 3, 4, 5), {}, NEW + " takes at most 4 positional arguments (5 given)"),
        (("p", 1.0, 3, 4, 5, 6), {}, NEW + " takes at most 4 positional arguments (6 given)"),
        (("p", 1.0, 3, 4), {"data_path": "q"}, NEW + " got multiple values for argument: data_path"),
        (("p", 1.0, 3, 4), {"random_state": 1, "mean_path_len": 2},
         NEW + " got multiple values for argument: mean_path_len"),
        (("p", 1.0, 3, 4), {"seed": 1}, NEW + " got an unexpected keyword argument: seed"),
        (("p", 1.0, 3, 4), {"zeta": 1, "alpha": 2}, NEW + " got an unexpected keyword argument: zeta"),
        (("p", 1.0, 3, 4, 5), {"seed": 1}, NEW + " got an unexpected keyword argument: seed"),
        ((), {"data_path": "p", "mean_path_len": 1.0, "max_path_len": 3, "random_state": 4, "x": 0},
         NEW + " got an unexpected keyword argument: x"),
    ],
)
def test_constructor_parsing_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        vantrel.PathSampler(*args, **kwargs)
    assert str(info.value) == message


def test_caller_keyword_dict_is_left_alone(abc_path):
    kwargs = {"max_path_len": 10, "random_state": 1}
    vantrel.PathSampler(abc_path, 2.0, **kwargs)
    assert kwargs == {"max_path_len": 10, "random_state": 1}


class Text(str):
    pass


class Floaty:
    def __float__(self):
        return 2.0


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Boom(Exception):
    pass


class BadFloat:
    def __float__(self):
        raise Boom("float")


class BadIndex:
    def __index__(self):
        raise Boom("index")


class WrongIndex:
    def __index__(self):
        return 1.5


class Recursive:
    def __index__(self):
        return self.__index__()

    def __float__(self):
        return self.__float__()


class FloatReturnsText:
    def __float__(self):
        return "1.0"


class IndexReturnsHuge:
    def __index__(self):
        return 10**1000


@pytest.mark.parametrize(
    "position, value, error",
    [
        (0, b"kg.tsv", TypeError),
        (0, pathlib.Path("kg.tsv"), TypeError),
        (0, None, TypeError),
        (0, "\udc80", UnicodeEncodeError),
        (1, "2.0", TypeError),
        (1, None, TypeError),
        (1, BadFloat(), Boom),
        (2, 10.0, TypeError),
        (2, "10", TypeError),
        (2, -1, OverflowError),
        (2, 2**64, OverflowError),
        (2, BadIndex(), Boom),
        (2, WrongIndex(), TypeError),
        (3, -1, OverflowError),
        (3, 2**64, OverflowError),
        (3, 1.0, TypeError),
        (3, 10**400, OverflowError),
        (1, Recursive(), RecursionError),
        (2, Recursive(), RecursionError),
        (3, Recursive(), RecursionError),
        (1, FloatReturnsText(), TypeError),
        (1, 10**400, OverflowError),
        (2, IndexReturnsHuge(), OverflowError),
        (3, IndexReturnsHuge(), OverflowError),
    ],
)
def test_conversion_failures(abc_path, position, value, error):
    args = [abc_path, 2.0, 10, 1]
    args[position] = value
    # Garbage of earlier tests, collected at the recursion limit, would
    # fail in its own finalizers there; collect it first.
    gc.collect()
    with pytest.raises(error) as info:
        vantrel.PathSampler(*args)
    if position == 0 and error is TypeError:
        assert str(info.value) == "" and info.value.args == ()
        if hasattr(info.value, "add_note"):  # Python 3.11+: a note says what would work
            hint = "data_path must be a str: pass str(path), or use PathSampler.read(), which takes any path"
            assert getattr(info.value, "__notes__", []) == ([hint] if value is not None else [])
    # An int out of range keeps the interpreter's message; a note names the argument.
    if error is OverflowError and position in (2, 3) and hasattr(info.value, "add_note"):
        name = ["max_path_len", "random_state"][position - 2]
        assert info.value.__notes__ == [f"{name} must be an int from 0 to 2**64 - 1"]


def test_first_failing_conversion_wins(abc_path):
    with pytest.raises(TypeError) as info:
        vantrel.PathSampler(b"kg", "x", -1, -1)
    assert info.value.args == ()
    with pytest.raises(TypeError):
        vantrel.PathSampler(abc_path, "x", -1, -1)
    with pytest.raises(OverflowError):
        vantrel.PathSampler(abc_path, 2.0, -1, 1.5)


@pytest.mark.parametrize(
    "args, same_as",
    [
        ((Text("{p}"), 2.0, 10, 1), ("{p}", 2.0, 10, 1)),
        (("{p}", 2, 10, 1), ("{p}", 2.0, 10, 1)),
        (("{p}", Floaty(), 10, 1), ("{p}", 2.0, 10, 1)),
        (("{p}", 2.0, Indexy(10), Indexy(1)), ("{p}", 2.0, 10, 1)),
        (("{p}", 2.0, True, True), ("{p}", 2.0, 1, 1)),
        (("{p}", 2.0, 2**64 - 1, 2**64 - 1), ("{p}", 2.0, 10**6, 2**64 - 1)),
    ],
)
def test_accepted_conversions(abc_path, args, same_as):
    def build(values):
        return vantrel.PathSampler(*[type(v)(abc_path) if isinstance(v, str) else v for v in values])

    assert walks(build(args)) == walks(build(same_as))


def test_seeds_at_both_ends_are_accepted(abc_path):
    for seed in (0, 2**64 - 1):
        assert len(vantrel.PathSampler(abc_path, 2.0, 10, seed).sample_path()) >= 2


def test_argument_references_survive_success_and_every_failure(tmp_path, abc_path):
    absent = str(tmp_path / "absent") + ""
    path, mean, cap, seed = abc_path + "", 2.5, 2**40 + 1, 2**50 + 3
    values = (absent, path, mean, cap, seed)

    def construct_in_every_way():
        vantrel.PathSampler(path, mean, cap, seed)
        for args in [(absent, mean, cap, seed), (path, -mean, cap, seed), (path, mean, cap, seed, 1)]:
            with pytest.raises((OSError, ValueError, TypeError)):
                vantrel.PathSampler(*args)
        with pytest.raises(TypeError):
            vantrel.PathSampler(path, mean, cap, random_state=seed, seed=seed)
        with pytest.raises(TypeError):
            vantrel.PathSampler(path, mean, cap, seed, data_path=absent)

    before = [sys.getrefcount(v) for v in values]
    for _ in range(20):
        construct_in_every_way()
    assert [sys.getrefcount(v) for v in values] == before


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, SAMPLE + " takes at most 0 positional arguments (1 given)"),
        ((1, 2), {}, SAMPLE + " takes at most 0 positional arguments (2 given)"),
        ((), {"n": 1}, SAMPLE + " got an unexpected keyword argument: n"),
        ((1,), {"n": 1}, SAMPLE + " got an unexpected keyword argument: n"),
    ],
)
def test_sample_path_argument_errors_leave_stream_untouched(abc_path, args, kwargs, message):
    reference = vantrel.PathSampler(abc_path, 2.0, 10, 1)
    sampler = vantrel.PathSampler(abc_path, 2.0, 10, 1)
    reference.sample_path()
    sampler.sample_path()
    with pytest.raises(TypeError) as info:
        sampler.sample_path(*args, **kwargs)
    assert str(info.value) == message
    assert walks(sampler) == walks(reference)
