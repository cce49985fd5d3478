"""The sequence walk: both inputs drained, positions compared, then lengths."""

import collections.abc as abc

import pytest

from corvane import corvane

try:
    from helpers import panic_type, records
except ImportError:  # tests collected as a package
    from tests.helpers import panic_type, records


class HintIter:
    """Yields 0..n-1 and logs, at each length-hint request, how many items it had produced."""

    def __init__(self, n, hints=(0,), fail=None):
        self.n, self.i, self.hints, self.fail, self.asked = n, 0, list(hints), fail, []

    def __iter__(self):
        return self

    def __next__(self):
        if self.i >= self.n:
            raise StopIteration
        self.i += 1
        return self.i - 1

    def __length_hint__(self):
        self.asked.append(self.i)
        if self.fail:
            raise self.fail("no hint")
        return self.hints[min(len(self.asked), len(self.hints)) - 1]


class ShortSeq(abc.Sequence):
    """Claims ten elements but its iterator yields two."""

    def __getitem__(self, i):
        return i

    def __len__(self):
        return 10

    def __iter__(self):
        return iter([0, 1])


ONE = iter([1])  # never advanced: an iterator against a list is not walked


def gen(tag, items, log):
    for x in items:
        log.append(tag)
        yield x
    log.append(tag + "$")


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([], [], []),
        ([], [1], [("len", [], 0, 1)]),
        ((1, 2), [], [("len", [], 2, 0)]),
        ([1, 2, 3], [1, 2, 3, 4, 5], [("len", [], 3, 5)]),
        ([1, 2, 3], [1, 9, 3, 4, 5], [("val", [1], 2, 9), ("len", [], 3, 5)]),
        ([1, "x", None], (1, "y", None), [("val", [1], "x", "y")]),
        # an inner mismatch is found before the outer one
        ([[1], 5], [[1, 2]], [("len", [0], 1, 2), ("len", [], 2, 1)]),
        ([[1], [1]], [[1, 2], []], [("len", [0], 1, 2), ("len", [1], 1, 0)]),
        ([[[1]]], [[[2]]], [("val", [0, 0, 0], 1, 2)]),
        ([ONE], [[1]], [("type", [0], ONE, [1])]),
        # lengths count what the iterators yield
        (ShortSeq(), [0, 1, 2], [("len", [], 2, 3)]),
        (ShortSeq(), (0, 1), []),
    ],
)
def test_sequence_pair(a, b, expected):
    assert records(corvane(a, b)) == expected


def test_position_keys_are_plain_ints():
    out = corvane([0, 0, True, 0], [0, 0, False, 1])
    paths = [r.path for r in out.val_changes]
    assert paths == [[2], [3]]
    assert all(type(p[0]) is int for p in paths)


def test_path_through_list_dict_list_holds_the_key_object():
    key = ("t", 1)
    a = [0, 0, {key: [1]}]
    b = [0, 0, {tuple(list(key)): [2]}]
    (rec,) = corvane(a, b).val_changes
    assert rec.path == [2, key, 0]
    assert type(rec.path[0]) is int and rec.path[1] is key and type(rec.path[2]) is int


def test_records_hold_the_compared_elements():
    x, y = 10**25, 10**25 + 7
    o1, o2 = object(), object()
    out = corvane([x, o1], [y, o2])
    assert out.val_changes[0].a is x and out.val_changes[0].b is y
    assert out.type_and_val_changes[0].a is o1 and out.type_and_val_changes[0].b is o2


@pytest.mark.parametrize("items, expected", [([1, 2, 3], [("len", [], 3, 0)]), ([], [])])
def test_same_iterator_on_both_sides(items, expected):
    it = iter(items)
    assert records(corvane(it, it)) == expected


def test_first_input_drained_before_second_and_both_before_comparing():
    log = []
    a = gen("A", [gen("a0", [1], log), gen("a1", [1], log)], log)
    b = gen("B", [gen("b0", [1], log), gen("b1", [2], log)], log)
    assert records(corvane(a, b)) == [("val", [1, 0], 1, 2)]
    assert log == [
        "A", "A", "A$", "B", "B", "B$",
        "a0", "a0$", "b0", "b0$", "a1", "a1$", "b1", "b1$",
    ]  # fmt: skip


def failing(n):
    yield from range(n)
    raise ArithmeticError("iterator broke")


def test_failing_iterator_is_internal_failure_after_first_is_drained():
    a = iter([1, 2, 3])
    with pytest.raises(panic_type()) as info:
        corvane(a, failing(1))
    assert next(a, "end") == "end"
    assert "ArithmeticError" in str(info.value) and "iterator broke" in str(info.value)
    b = iter([1])
    with pytest.raises(panic_type()):
        corvane(failing(2), b)
    assert next(b) == 1


@pytest.mark.parametrize(
    "n, hints, asked",
    [
        (0, [0], []),
        (1, [0], [1]),
        (4, [0], [1]),
        (5, [0], [1, 5]),
        (10, [0], [1, 5, 9]),
        (17, [0], [1, 5, 9, 17]),
        (10, [100], [1]),
        (25, [9, 0], [1, 11, 21]),
    ],
)
def test_length_hint_requests(n, hints, asked):
    a, b = HintIter(n, hints), HintIter(n, hints)
    assert records(corvane(a, b)) == []
    assert a.asked == asked and b.asked == asked


@pytest.mark.parametrize("n_b, expected", [(10, []), (9, [("len", [], 10, 9)])])
def test_raising_length_hint_is_reported_per_request(unraisable, n_b, expected):
    a = HintIter(10, fail=ValueError)
    assert records(corvane(a, iter(range(n_b)))) == expected
    assert a.asked == [1, 5, 9]
    assert [u.exc_type for u in unraisable] == [ValueError] * 3
    assert all(u.object is a for u in unraisable)
