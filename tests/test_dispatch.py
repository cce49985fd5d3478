"""How a pair of values is classified and compared at one place of the two trees."""

import collections.abc as abc

import pytest

from corvane import corvane

try:
    from helpers import Map, Seq, panic_type, records
except ImportError:  # tests collected as a package
    from tests.helpers import Map, Seq, panic_type, records


Str = type("Str", (str,), {})
Int = type("Int", (int,), {})
Float = type("Float", (float,), {})


class Both(Map, abc.Sequence):
    """Passes the mapping test and the sequence test; keys equal positions."""


class NoClass:
    @property
    def __class__(self):
        raise ValueError("no class for you")


NAN, INF, PLAIN, T, F = float("nan"), float("inf"), object(), True, False
S5, I5, F15 = Str("x"), Int(5), Float(1.5)


@pytest.mark.parametrize(
    "a, b, expected",
    [
        # strings: whole values, compared by their UTF-8 bytes
        ("abc", "abc", []),
        ("abc", "abd", [("val", [], "abc", "abd")]),
        ("abc", "abcd", [("val", [], "abc", "abcd")]),
        ("\u00fc\u20ac\U0001d11e", "".join(["\u00fc", "\u20ac", "\U0001d11e"]), []),
        (S5, "x", []),
        (S5, "y", [("val", [], S5, "y")]),
        # a string against another sequence is walked character by character
        ("ab", ["a", "b"], []),
        ("ab", ["a", "c"], [("val", [1], "b", "c")]),
        ("ab", ("a",), [("len", [], 2, 1)]),
        ("", [], []),
        ("ab", ["a", 1], [("type", [1], "b", 1)]),
        (b"ab", b"ac", [("val", [1], 98, 99)]),
        (b"ab", "ab", [("type", [0], 97, "a"), ("type", [1], 98, "b")]),
        (range(3), [0, 1, 2], []),
        # integers, bool included, as signed 128-bit values
        (T, 1, []),
        (T, F, [("val", [], T, F)]),
        (T, 2, [("val", [], T, 2)]),
        (I5, 5, []),
        (I5, 6, [("val", [], I5, 6)]),
        (2**127 - 1, 2**127 - 1, []),
        (-(2**127), -(2**127), []),
        (-(2**127), -(2**127) + 1, [("val", [], -(2**127), -(2**127) + 1)]),
        (2**64 + 1, 1, [("val", [], 2**64 + 1, 1)]),
        (-1, 2**127 - 1, [("val", [], -1, 2**127 - 1)]),
        # floats, IEEE rules
        (0.0, -0.0, []),
        (INF, INF, []),
        (NAN, NAN, [("val", [], NAN, NAN)]),
        (F15, 1.5, []),
        (F15, 2.5, [("val", [], F15, 2.5)]),
        # mixed kinds and kinds without a comparison rule
        (1, 1.0, [("type", [], 1, 1.0)]),
        ("1", 1, [("type", [], "1", 1)]),
        (None, None, []),
        (None, 0, [("type", [], None, 0)]),
        ({1}, {1}, "type"),
        (1j, 1j, "type"),
        (PLAIN, PLAIN, [("type", [], PLAIN, PLAIN)]),
        ([1, 2], (1, 2), []),
        ({}, [], [("type", [], {}, [])]),
        ([], {}, [("type", [], [], {})]),
        # user-defined abstract collections
        (Map({"x": 1}), {"x": 1}, []),
        (Map({"x": 1}), {"x": 2}, [("val", ["x"], 1, 2)]),
        (Seq([1, 2]), [1, 3], [("val", [1], 2, 3)]),
        (Seq("ab"), "ab", []),
        # the first branch that both operands pass decides
        (Both({0: 0, 1: 1}), {0: 0, 1: 7}, [("val", [1], 1, 7)]),
        (Both({0: 0, 1: 1}), [0, 7], [("val", [1], 1, 7)]),
    ],
)
def test_pair(a, b, expected):
    if expected == "type":
        expected = [("type", [], a, b)]
    assert records(corvane(a, b)) == expected


@pytest.mark.parametrize("a, b", [(2**127, 2**127), (2**127, 0), (0, -(2**127) - 1), (Int(2**130), 1)])
def test_int_beyond_128_bits_is_internal_failure(a, b):
    with pytest.raises(panic_type()) as info:
        corvane(a, b)
    assert "OverflowError" in str(info.value)
    assert "Python int larger than 128 bits" in str(info.value)


@pytest.mark.parametrize("a, b", [("\ud800", "a"), ("a", "\udfff"), (["\ud800"], ["x"])])
def test_lone_surrogate_is_internal_failure(a, b):
    with pytest.raises(panic_type()) as info:
        corvane(a, b)
    assert "UnicodeEncodeError" in str(info.value)


def test_iterators_are_walked_and_consumed():
    a, b = iter([1, 2]), iter([1, 2])
    assert records(corvane(a, b)) == []
    assert next(a, "end") == next(b, "end") == "end"
    gen_a, gen_b = (x for x in "ab"), (x for x in "ac")
    assert records(corvane(gen_a, gen_b)) == [("val", [1], "b", "c")]


@pytest.mark.parametrize("seq_first", [True, False])
def test_sequence_against_iterator_leaves_iterator_unread(seq_first):
    seq, it = [1, 2], iter([1, 2])
    a, b = (seq, it) if seq_first else (it, seq)
    assert records(corvane(a, b)) == [("type", [], a, b)]
    assert next(it) == 1
    assert records(corvane("ab", iter("ab")))[0][0] == "type"


def test_failing_isinstance_is_reported_in_test_order(unraisable):
    a, b = NoClass(), NoClass()
    assert records(corvane(a, b)) == [("type", [], a, b)]
    assert [u.exc_type for u in unraisable] == [ValueError] * 4
    objects = [u.object for u in unraisable]
    assert len(objects) == 4 and all(got is want for got, want in zip(objects, [a, b, a, b]))


@pytest.mark.parametrize("other", [{}, [1]])
def test_failing_isinstance_on_one_side_only(unraisable, other):
    a = NoClass()
    assert records(corvane(a, other)) == [("type", [], a, other)]
    assert len(unraisable) == 2 and all(u.object is a for u in unraisable)
