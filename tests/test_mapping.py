"""The mapping walk: items of the first mapping by lookup, then items of the second by `in`."""

import collections
import functools

import pytest

from corvane import corvane

try:
    from helpers import Map, panic_type, raising, records, returns
except ImportError:  # tests collected as a package
    from tests.helpers import Map, panic_type, raising, records, returns


# items() is a list here: it asks no lookup, so a getitem hook runs only where the walk looks up.
Custom = functools.partial(Map, items_as="list")


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ({}, {}, []),
        ({"a": 1, "b": 2.5, "c": "s"}, {"c": "s", "b": 2.5, "a": True}, []),
        ({}, {"k": "v"}, [("added", [], "k", "v")]),
        ({"k": "v"}, {}, [("removed", [], "k", "v")]),
        (
            {"k": 1, "m": 2},
            {"m": 3, "n": 4},
            [("val", ["m"], 2, 3), ("added", [], "n", 4), ("removed", [], "k", 1)],
        ),
        ({"p": {"q": 1}}, {"p": {}}, [("removed", ["p"], "q", 1)]),
        ({"p": {}}, {"p": {"q": None}}, [("added", ["p"], "q", None)]),
        (
            # nested records are found during the first pass, before top-level additions
            {"a": 1, "b": {"c": 1}, "d": 2},
            {"b": {"e": 2}, "x": 3},
            [
                ("added", ["b"], "e", 2),
                ("added", [], "x", 3),
                ("removed", [], "a", 1),
                ("removed", ["b"], "c", 1),
                ("removed", [], "d", 2),
            ],
        ),
        ({"p": {"q": [1]}}, {"p": {"q": [2]}}, [("val", ["p", "q", 0], 1, 2)]),
        ({"k": 1}, Custom({"k": 1}), []),
        (Custom({"k": 1}), {"k": 2}, [("val", ["k"], 1, 2)]),
        ({"k": 1}, {"k": [1]}, [("type", ["k"], 1, [1])]),
        # lookup raising anything counts as missing; `in` decides additions
        ({"k": 1}, Custom({"k": 1}, getitem=raising(TypeError)), [("removed", [], "k", 1)]),
        ({"k": 1}, Custom({"k": 1}, getitem=raising(KeyError)), [("removed", [], "k", 1)]),
        # extra tuple elements are ignored; duplicated keys are handled twice
        (Custom({"k": 1}, items=returns([("k", 1, "extra")])), {"k": 2}, [("val", ["k"], 1, 2)]),
        (Custom({}, items=returns([("k", 1), ("k", 1)])), {}, [("removed", [], "k", 1)] * 2),
        ({}, Custom({}, items=returns([("k", 1), ("k", 2)])), [("added", [], "k", 1), ("added", [], "k", 2)]),
    ],
)
def test_mapping_pair(a, b, expected):
    assert records(corvane(a, b)) == expected


@pytest.mark.parametrize("key_a, key_b", [(1, 1.0), (True, 1), (2**100, 2.0**100), ((1, "t"), (1, "t"))])
def test_equal_keys_match_and_path_holds_first_mappings_key(key_a, key_b):
    if isinstance(key_a, tuple):
        key_b = tuple(list(key_b))  # equal, not identical
    assert key_a is not key_b
    out = corvane({key_a: "x"}, {key_b: "y"})
    assert records(out) == [("val", [key_a], "x", "y")]
    assert out.val_changes[0].path[0] is key_a


def test_dict_diff_holds_the_item_objects():
    k, v = ("key", 1), [1, 2]
    (rec,) = corvane({k: v}, {}).dict_items_removed
    assert rec.key is k and rec.val is v
    (rec,) = corvane({}, {k: v}).dict_items_added
    assert rec.key is k and rec.val is v


def test_defaultdict_as_second_mapping_supplies_missing_keys():
    b = collections.defaultdict(int)
    a = {"x": 0, "y": [1]}
    assert records(corvane(a, b)) == [("type", ["y"], [1], 0)]
    assert dict(b) == {"x": 0, "y": 0}


@pytest.mark.parametrize(
    "a, b",
    [
        (Custom({}, items=returns([["k", 1]])), {}),
        ({}, Custom({}, items=returns([["k", 1]]))),
        (Custom({}, items=returns([("k",)])), {}),
        ({}, Custom({}, items=returns([("k",)]))),
        ({}, Custom({}, items=returns(5))),
        (Custom({}, items=raising(LookupError)), {}),
        ({}, Custom({}, items=raising(LookupError))),
        (Custom({}, contains=raising(RuntimeError)), {"k": 1}),
        ({}, Custom({}, items=returns([([1], 1)]))),  # unhashable key tested with `in` on a dict
    ],
)
def test_unusable_items_or_membership_is_internal_failure(a, b):
    with pytest.raises(panic_type()):
        corvane(a, b)


def test_order_of_calls_into_the_mappings():
    log = []
    inner_a = Custom({"y": 1}, name="ax", log=log)
    inner_b = Custom({"y": 1}, name="bx", log=log)
    a = Custom({"x": inner_a, "z": 1}, name="a", log=log)
    b = Custom({"x": inner_b, "w": 2}, name="b", log=log)
    assert records(corvane(a, b)) == [("added", [], "w", 2), ("removed", [], "z", 1)]
    assert log == [
        ("a", "items"),
        ("b", "getitem", "x"),
        ("ax", "items"),
        ("bx", "getitem", "y"),
        ("bx", "items"),
        ("ax", "contains", "y"),
        ("b", "getitem", "z"),
        ("b", "items"),
        ("a", "contains", "x"),
        ("a", "contains", "w"),
    ]
