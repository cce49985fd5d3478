# The shortcuts the engine takes for exact built-in types must give what the general path
# gives: the same records, the same objects, and the same calls into Python code, in order.
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from corvane import corvane

try:
    from helpers import Map, panic_type, records, then
except ImportError:  # run as a package
    from tests.helpers import Map, panic_type, records, then


class LoggedKey(str):
    """A str key whose hashing and equality are Python code, logged."""

    log: list = []

    def __hash__(self):
        LoggedKey.log.append(("hash", str(self)))
        return str.__hash__(self)

    def __eq__(self, other):
        LoggedKey.log.append(("eq", str(self)))
        return str.__eq__(self, other)


def replayed_calls(a, b):
    """The calls that the two passes make on their own: each key of a looked up in b, then each
    key of b tested in a."""
    LoggedKey.log = []
    for key in list(a):
        try:
            b[key]
        except Exception:  # noqa: BLE001
            pass
    for key in list(b):
        key in a  # noqa: B015
    return LoggedKey.log


def fresh(text):
    return "".join(list(text))  # an equal str that is not the same object


@pytest.mark.parametrize(
    "make",
    [
        lambda: ({"x": 1, "y": 2}, {LoggedKey("x"): 1, "y": 2}),
        lambda: ({"x": 1, "y": 2}, {"x": 1, LoggedKey("y"): 3}),
        lambda: ({"x": 1, LoggedKey("y"): 2}, {"x": 1, "y": 2}),
        lambda: ({"x": 1}, {"x": 1, LoggedKey("z"): 2}),
        lambda: ({"x": 1, "y": 2}, {"y": 2, LoggedKey("x"): 1}),
    ],
    ids=["b-first", "b-second", "a-second", "b-extra", "b-reordered"],
)
def test_python_level_keys_are_called_as_the_passes_call_them(make):
    a, b = make()
    expected = replayed_calls(*make())
    LoggedKey.log = []
    corvane(a, b)
    assert LoggedKey.log == expected and expected


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ({"x": 1, "y": 2}, {"y": 2, "x": 1}, []),
        ({"x": 1, "y": 2}, {"y": 3, "x": 1}, [("val", ["y"], 2, 3)]),
        ({"x": 1}, {"x": 1, "z": 2}, [("added", [], "z", 2)]),
        ({"x": 1, "z": 2}, {"x": 1}, [("removed", [], "z", 2)]),
        ({1: "a", 2: "b"}, {1: "a", 2: "c"}, [("val", [2], "b", "c")]),
        ({1: "a", "1": "b"}, {"1": "b", 1: "a"}, []),
        ({"x": 1, "y": 2}, {"x": 1, "q": 2}, [("added", [], "q", 2), ("removed", [], "y", 2)]),
    ],
)
def test_plain_key_dicts(a, b, expected):
    assert records(corvane(a, b)) == expected


def test_child_path_holds_the_key_object_of_a():
    key_a, key_b = fresh("name"), fresh("name")
    out = corvane({key_a: [1]}, {key_b: [2]})
    assert out.val_changes[0].path[0] is key_a


def clears_on_items(victim):
    """An empty mapping whose items() empties a container: Python code in the middle of a walk."""
    return Map({}, items=then(victim.clear))


def test_list_emptied_mid_walk_is_compared_as_it_was():
    tail_a, tail_b = fresh("left"), fresh("right")
    a, b = [None, 1, tail_a], [None, 1, tail_b]
    a[0], b[0] = clears_on_items(a), clears_on_items(b)
    assert records(corvane(a, b)) == [("val", [2], tail_a, tail_b)]
    assert a == [] and b == []


def test_dict_emptied_mid_walk_is_walked_as_it_was():
    # a's items are those it had when its walk began; b is looked up as it is now.
    value_a = fresh("old")
    a, b = {"first": None, "second": value_a}, {"first": None, "second": "new"}
    a["first"], b["first"] = clears_on_items(a), clears_on_items(a)
    # ... and the second pass tests b's keys against a as it is by then: empty.
    assert records(corvane(a, b)) == [
        ("val", ["second"], value_a, "new"),
        ("added", [], "first", b["first"]),
        ("added", [], "second", "new"),
    ]
    a, b = {"first": None, "second": value_a}, {"first": None, "second": "new"}
    a["first"], b["first"] = clears_on_items(b), clears_on_items(b)
    assert records(corvane(a, b)) == [("removed", [], "second", value_a)]


def test_registering_a_builtin_type_is_seen_by_the_next_call():
    script = """
import collections.abc, corvane
assert not corvane.corvane([None, None], [None, None]).type_and_val_changes
collections.abc.Mapping.register(type(None))
try:
    corvane.corvane([None], [None])
except BaseException as exc:
    print(type(exc).__name__)
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "PanicException", result.stderr


def test_panic_type_is_still_the_class_raised():
    with pytest.raises(panic_type()):
        corvane({"k": 2**200}, {"k": 2**200})


class Int(int):
    pass


@pytest.mark.parametrize(
    "a, b, differ",
    [
        (2**40, 2**40, False),
        (2**40, 2**40 + 1, True),
        (-(2**63), -(2**63), False),
        (2**63 - 1, 2**63, True),
        (2**63, 2**63, False),
        (2**64, 2**64 + 1, True),
        (Int(2**40), 2**40, False),
        (Int(2**70), 2**70 + 1, True),
        (True, 1, False),
        # Digit counts: two to four digits are read directly, five through the conversion.
        (2**30, 2**30, False),
        (2**90, -(2**90), True),
        (2**60, 2**61, True),
        (2**120 - 1, 2**120 - 1, False),
        (2**120 - 1, 2**120, True),
        (2**120, 2**120, False),
        (-(2**127), -(2**127), False),
        (2**119 + 5, 2**119 + 7, True),
    ],
)
def test_ints_on_either_side_of_a_machine_word(a, b, differ):
    assert records(corvane(a, b)) == ([("val", [], a, b)] if differ else [])


@given(st.integers(-(2**127), 2**127 - 1), st.integers(-(2**127), 2**127 - 1), st.booleans())
def test_ints_within_128_bits_compare_by_value(a, b, same):
    b = int(str(a)) if same else b  # an equal value in another object
    assert records(corvane(a, b)) == ([] if a == b else [("val", [], a, b)])


@pytest.mark.parametrize(
    "text, encodable",
    [
        ("\ud7ff\ue000", True),
        ("é\ud800", False),
        ("a\udfff", False),
        ("\U0001f600\udc00", False),
        ("\U0001f600\U0010ffff", True),
        ("x" * 100 + "\udbff" + "y" * 100, False),
    ],
)
def test_surrogates_are_found_at_every_width(text, encodable):
    same = "".join(list(text))
    if encodable:
        assert records(corvane(text, same)) == []
    else:
        with pytest.raises(panic_type()):
            corvane(text, same)


def test_replaced_cache_token_function_is_not_called():
    # The type checks never call abc.get_cache_token; remembering their answers must not either.
    script = """
import abc, corvane
real, calls = abc.get_cache_token, []
a = [None] + [str(i) * 3 for i in range(2000)]
b = [None] + [str(i) * 3 for i in range(2000)]
def token():
    calls.append(1)
    a.clear()
    return real()
abc.get_cache_token = token
out = corvane.corvane(a, b)
print(len(calls), len(a), len(out.val_changes), len(out.iter_len_mismatch))
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0", "2001", "0", "0"]
