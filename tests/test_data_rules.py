"""The rules of data documents: the same walk as corvane's, with bool a kind of its own, strings and
bytes as values, ints and strings of any kind compared exactly, NaN equal to NaN where asked, dates
compared by their fields, and the items of lists aligned, keyed or matched as multisets."""

import datetime
import math
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane_report.report._data import DataRules
from corvane_report.report._paths import MISSING

UTC = datetime.timezone.utc
PLUS1 = datetime.timezone(datetime.timedelta(hours=1))


def diff(a, b, **rules):
    return [(kind, path, "-" if x is MISSING else x, "-" if y is MISSING else y)
            for kind, path, x, y in DataRules(**rules).differences(a, b)]


class TestValues:
    @pytest.mark.parametrize("a, b, expected", [
        (True, 1, [("type_changed", (), True, 1)]),
        (False, 0, [("type_changed", (), False, 0)]),
        (True, False, [("changed", (), True, False)]),
        ("ab", ["a", "b"], [("type_changed", (), "ab", ["a", "b"])]),
        ("", [], [("type_changed", (), "", [])]),
        (b"ab", [97, 98], [("type_changed", (), b"ab", [97, 98])]),
        (b"ab", b"ac", [("changed", (), b"ab", b"ac")]),
        (2**200, 2**200, []),
        (2**200, 2**200 + 1, [("changed", (), 2**200, 2**200 + 1)]),
        (-(2**130), -(2**130), []),
        ("\ud800x", "\ud800x", []),
        ("\ud800x", "\ud800y", [("changed", (), "\ud800x", "\ud800y")]),
        (None, None, []),
        (None, 0, [("type_changed", (), None, 0)]),
        (1, 1.0, [("type_changed", (), 1, 1.0)]),
        (0.0, -0.0, []),
        ({"x": 1}, {"x": 1}, []),
        ([1, 2], (1, 2), []),
        (datetime.date(2024, 1, 1), datetime.date(2024, 1, 1), []),
        (datetime.date(2024, 1, 1), "2024-01-01", [("type_changed", (), datetime.date(2024, 1, 1), "2024-01-01")]),
        (datetime.date(2024, 1, 1), datetime.datetime(2024, 1, 1),
         [("type_changed", (), datetime.date(2024, 1, 1), datetime.datetime(2024, 1, 1))]),
        (datetime.datetime(2024, 1, 1, 12, tzinfo=UTC), datetime.datetime(2024, 1, 1, 13, tzinfo=PLUS1), []),
        (datetime.datetime(2024, 1, 1, 12, tzinfo=UTC), datetime.datetime(2024, 1, 1, 12, tzinfo=PLUS1),
         [("changed", (), datetime.datetime(2024, 1, 1, 12, tzinfo=UTC), datetime.datetime(2024, 1, 1, 12, tzinfo=PLUS1))]),
        (datetime.datetime(2024, 1, 1), datetime.datetime(2024, 1, 1, tzinfo=UTC),
         [("type_changed", (), datetime.datetime(2024, 1, 1), datetime.datetime(2024, 1, 1, tzinfo=UTC))]),
        (datetime.time(1, 2, 3, 4), datetime.time(1, 2, 3, 4), []),
        (datetime.time(1, 2), datetime.time(1, 3), [("changed", (), datetime.time(1, 2), datetime.time(1, 3))]),
        ({1, 2}, {1, 2}, [("type_changed", (), {1, 2}, {1, 2})]),
    ])
    def test_pairs(self, a, b, expected):
        assert diff(a, b) == expected

    def test_nan_equals_nan_unless_asked_otherwise(self):
        nan = float("nan")
        assert diff([nan, {"x": nan}], [float("nan"), {"x": nan}]) == []
        assert [e[:2] for e in diff([nan], [nan], nan_equal=False)] == [("changed", (0,))]

    def test_keys_and_values_keep_their_kinds(self):
        assert diff({"a": {"b": True}, "n": None}, {"a": {"b": 1}, "m": None}) == [
            ("type_changed", ("a", "b"), True, 1), ("removed", ("n",), None, "-"), ("added", ("m",), "-", None)]


def lcs(a, b):
    table = [[0] * (len(b) + 1) for _ in range(len(a) + 1)]
    for i in range(len(a) - 1, -1, -1):
        for j in range(len(b) - 1, -1, -1):
            table[i][j] = table[i + 1][j + 1] + 1 if a[i] == b[j] else max(table[i + 1][j], table[i][j + 1])
    return table[0][0]


def apply(a, entries):
    """The list that the entries of an aligned comparison make of a: deletions at a's positions,
    insertions at b's, changes in place, as a patch would apply them in walk order."""
    out, offset = list(a), 0
    for kind, path, x, y in entries:
        if kind == "deleted":
            del out[path[0] + offset]
            offset -= 1
        elif kind == "inserted":
            out.insert(path[0], y)
            offset += 1
        else:
            out[path[0] + offset] = y
    return out


class TestAlignment:
    def test_one_inserted_item_is_one_entry(self):
        a = [{"id": i, "text": f"status {i}"} for i in range(100)]
        b = a[:50] + [{"id": 999, "text": "new"}] + a[50:]
        assert diff(a, b) == [("inserted", (50,), "-", {"id": 999, "text": "new"})]
        assert len(diff(a, b, lists="position")) == 101  # every later item shifted, two fields each, and the length

    def test_an_item_changed_in_place_is_compared(self):
        a = [{"id": i, "v": i} for i in range(10)]
        b = [dict(item) for item in a]
        b[4]["v"] = 40
        del b[7]
        assert diff(a, b) == [("changed", (4, "v"), 4, 40), ("deleted", (7,), {"id": 7, "v": 7}, "-")]

    @settings(max_examples=300, deadline=None)
    @given(st.lists(st.integers(0, 4), max_size=30), st.lists(st.integers(0, 4), max_size=30))
    def test_as_short_as_a_longest_common_subsequence(self, a, b):
        entries = diff(a, b)
        kinds = [kind for kind, *_ in entries]
        edits = kinds.count("deleted") + kinds.count("inserted") + 2 * kinds.count("changed")
        assert edits == len(a) + len(b) - 2 * lcs(a, b)
        assert apply(a, entries) == b

    @settings(max_examples=100, deadline=None)
    @given(st.lists(st.lists(st.integers(0, 2), max_size=3), max_size=12),
           st.lists(st.lists(st.integers(0, 2), max_size=3), max_size=12))
    def test_nested_lists_align_within_aligned_items(self, a, b):
        # Every entry lies within the documents; a whole-document patch is checked by the tools.
        for kind, path, x, y in diff(a, b):
            assert kind in ("changed", "inserted", "deleted", "type_changed")

    def test_lists_too_different_to_align_are_compared_by_position_and_said_so(self):
        rng = random.Random(1)
        a = [rng.random() for _ in range(3000)]
        b = [rng.random() for _ in range(3000)]
        found = diff(a, b)
        assert found[-1] == ("unaligned", (), 3000, 3000)
        assert sum(kind == "changed" for kind, *_ in found) == 3000

    def test_a_long_list_with_a_few_edits_aligns_through_its_unique_items(self):
        a = [{"id": i} for i in range(20000)]
        b = [item for i, item in enumerate(a) if i % 1000 != 5]
        b.insert(12345, {"id": -1})
        found = diff(a, b)
        assert [k for k, *_ in found].count("deleted") == 20 and [k for k, *_ in found].count("inserted") == 1
        assert apply(a, found) == b


class TestKeyedAndUnordered:
    def test_items_matched_by_key(self):
        a = {"users": [{"id": 1, "n": "a"}, {"id": 2, "n": "b"}, {"id": 3, "n": "c"}]}
        b = {"users": [{"id": 3, "n": "c"}, {"id": 1, "n": "A"}, {"id": 4, "n": "d"}]}
        assert diff(a, b, list_keys=("/users=/id",)) == [
            ("changed", ("users", 0, "n"), "a", "A"),
            ("deleted", ("users", 1), {"id": 2, "n": "b"}, "-"),
            ("inserted", ("users", 2), "-", {"id": 4, "n": "d"}),
        ]

    @pytest.mark.parametrize("pattern", ["/groups/*/members=/name", "/**/members=/name", "/groups/1/members=/name"])
    def test_key_patterns(self, pattern):
        a = {"groups": [{"members": []}, {"members": [{"name": "x", "v": 1}, {"name": "y"}]}]}
        b = {"groups": [{"members": []}, {"members": [{"name": "y"}, {"name": "x", "v": 2}]}]}
        assert diff(a, b, list_keys=(pattern,)) == [("changed", ("groups", 1, "members", 0, "v"), 1, 2)]

    def test_multisets(self):
        assert diff({"s": [3, 1, 2, 2]}, {"s": [2, 1, 4, 3]}, unordered=("/s",)) == [
            ("deleted", ("s", 3), 2, "-"), ("inserted", ("s", 2), "-", 4)]

    @pytest.mark.parametrize("bad", ["users=/id", "/users", "/users=id", "/users=/*"])
    def test_bad_list_keys(self, bad):
        with pytest.raises(ValueError):
            DataRules(list_keys=(bad,))


class TestPythonCodeInDataWalks:
    def test_a_tzinfo_that_empties_the_lists_being_walked(self):
        # Comparing two aware datetimes of different zones asks their offsets: Python code, made
        # through the gate, which here empties both lists; the walk compares them as they were.
        class Zone(datetime.tzinfo):
            def utcoffset(self, dt):
                a.clear()
                b.clear()
                return datetime.timedelta(0)

        when = datetime.datetime(2024, 1, 1, tzinfo=Zone())
        a = [when, "x", {"k": [1, 2]}]
        b = [datetime.datetime(2024, 1, 1, tzinfo=UTC), "y", {"k": [1, 3]}]
        assert diff(a, b, lists="position") == [("changed", (1,), "x", "y"), ("changed", (2, "k", 1), 2, 3)]
        assert a == [] and b == []

    def test_custom_mappings_and_iterators_take_the_general_walk(self):
        import collections.abc as abc

        class M(abc.Mapping):
            def __init__(self, d):
                self.d = d

            def __getitem__(self, k):
                return self.d[k]

            def __iter__(self):
                return iter(self.d)

            def __len__(self):
                return len(self.d)

        assert diff([M({"x": True})], [{"x": 1}]) == [("type_changed", (0, "x"), True, 1)]
        assert diff(iter([1, 2]), iter([1, 3])) == [("changed", (1,), 2, 3)]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(0, 6), max_size=12), st.lists(st.integers(0, 6), max_size=12), st.sampled_from(["keys", "multisets"]))
def test_matched_as_multisets_or_by_keys(a, b, how):
    # Each value of b is taken once: what is left of each side is what the other lacks.
    from collections import Counter

    if how == "keys":
        found = diff({"l": [{"k": x} for x in a]}, {"l": [{"k": x} for x in b]}, list_keys=("/l=/k",))
    else:
        found = diff({"l": a}, {"l": b}, unordered=("/l",))
    deleted = Counter(x["k"] if how == "keys" else x for kind, _, x, _ in found if kind == "deleted")
    inserted = Counter(y["k"] if how == "keys" else y for kind, _, _, y in found if kind == "inserted")
    assert deleted == Counter(a) - Counter(b) and inserted == Counter(b) - Counter(a)
    assert {kind for kind, *_ in found} <= {"deleted", "inserted"}


def test_a_keyed_match_never_runs_a_keys_equality_unguarded():
    armed = []

    class Key:  # hashed as "id", so that a lookup of "id" meets it
        def __hash__(self):
            return hash("id")

        def __eq__(self, other):
            if armed:
                raise ValueError("equality of a custom key")
            return False

    a = [{Key(): 0, "id": 1, "v": 1}, {"id": 2}]
    b = [{Key(): 0, "id": 1, "v": 2}, {"id": 2}]
    armed.append(True)
    with pytest.raises(BaseException) as failed:
        diff(a, b, list_keys=("=/id",))
    assert type(failed.value).__name__ == "PanicException" and "equality of a custom key" in str(failed.value)


def test_keyed_items_without_the_key_match_equal_ones():
    a = [{"id": 1, "v": 1}, {"name": "nokey"}, "plain", {"name": "other"}]
    b = [{"name": "nokey"}, "plain", {"id": 1, "v": 1}, {"name": "changed"}]
    assert diff(a, a, list_keys=("=/id",)) == []
    assert diff(a, b, list_keys=("=/id",)) == [("deleted", (3,), {"name": "other"}, "-"),
                                               ("inserted", (3,), "-", {"name": "changed"})]
