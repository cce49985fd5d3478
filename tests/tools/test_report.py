"""corvane_report: entries in walk order, filters, text, strict JSON, located failures, assert_same."""

import datetime
import decimal
import json
import math

import jsonpatch
import pytest
from hypothesis import given
from hypothesis import strategies as st

import oracle
from corvane import corvane
from corvane_report import (
    MISSING, CompareError, Entry, Filter, Tolerance, assert_same, compare, compile_filter, dumps_strict, entries,
    from_strict_json, is_same, json_patch, report_text,
)
from corvane_report.report import json_pointer, shorten, shorten_pair, to_strict_json

# --- walk order ---------------------------------------------------------------------------------

KEYS = st.sampled_from("abcdef")
LEAVES = st.one_of(st.none(), st.booleans(), st.integers(-3, 3), st.floats(allow_nan=False), st.text(max_size=2))
TREES = st.recursive(LEAVES, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(KEYS, inner, max_size=4),
                     max_leaves=20)


def _oracle_order(a, b):
    return [(kind, tuple(path) + ((key,) if kind in ("added", "removed") else ()))
            for kind, path, key, *_ in oracle.diff(a, b, [])]


_KIND = {"changed": "val", "type_changed": "type", "added": "added", "removed": "removed", "length_changed": "len"}


@given(TREES, TREES)
def test_entries_are_in_walk_order(a, b):
    found = [(_KIND[e.kind], e.path) for e in entries(corvane(a, b), a=a, b=b)]
    assert found == _oracle_order(a, b)


@given(TREES, TREES)
def test_without_documents_each_list_keeps_its_order(a, b):
    out = corvane(a, b)
    found = entries(out)
    expected = entries(out, a=a, b=b)
    assert sorted(map(repr, found)) == sorted(map(repr, (Entry(e.kind, e.path, e.a, e.b) for e in expected)))
    for kind in _KIND:
        assert [e for e in found if e.kind == kind] == [Entry(e.kind, e.path, e.a, e.b) for e in expected if e.kind == kind]


def test_order_without_documents_uses_what_the_lists_say():
    a = {"x": {"p": 1, "q": [1, 2]}, "y": 1, "z": {"k": 1}}
    b = {"x": {"p": 2, "q": [1]}, "y": "1", "z": {"k": 2, "new": 0}}
    # No list relates /y to /x and /z: keys first named by an earlier list of Output go first.
    assert [e.pointer for e in entries(corvane(a, b))] == ["/x/p", "/x/q", "/z/k", "/z/new", "/y"]
    assert [e.pointer for e in entries(corvane(a, b), a=a, b=b)] == ["/x/p", "/x/q", "/y", "/z/k", "/z/new"]


def test_entry_fields_and_tails():
    a, b = {"l": [1, 2], "s": [1, 2, 3], "gone": 0}, {"l": [1, 2, {"n": 1}], "s": [1], "new": None}
    by_kind = {e.kind: e for e in entries(corvane(a, b), a=a, b=b)}
    assert by_kind["removed"] == Entry("removed", ("gone",), 0, MISSING)
    assert by_kind["added"] == Entry("added", ("new",), MISSING, None)
    lengths = [e for e in entries(corvane(a, b), a=a, b=b) if e.kind == "length_changed"]
    assert [(e.path, e.a, e.b, e.tail) for e in lengths] == [(("l",), 2, 3, ({"n": 1},)), (("s",), 3, 1, (2, 3))]
    assert [str(e) for e in lengths[1].tail_entries()] == ["/s/1: removed 2", "/s/2: removed 3"]
    assert entries(corvane(a, b))[0].tail is None  # not known without the documents


def test_tail_of_a_drained_iterator_is_unknown():
    a, b = {"i": iter([1, 2])}, {"i": iter([1])}
    (entry,) = entries(corvane(a, b), a=a, b=b)
    assert (entry.kind, entry.tail) == ("length_changed", None)


def test_deep_paths_do_not_recurse():
    a = b = None
    for _ in range(5000):
        a, b = [a, 1], [b, 2]
    found = entries(corvane(a, b), a=a, b=b)
    assert len(found) == 5000 and found[0].path == (0,) * 4999 + (1,)


# --- filters ------------------------------------------------------------------------------------

DOC_A = {"users": [{"id": 1, "name": "a", "tags": ["x"]}, {"id": 2, "name": "b", "tags": []}],
         "meta": {"at": 1.0, "by": "me"}, "gone": {"deep": 1}}
DOC_B = {"users": [{"id": 1, "name": "A", "tags": ["x", "y"]}, {"id": 2, "name": "B", "tags": []}, {"id": 3}],
         "meta": {"at": 1.0000001, "by": "you"}, "new": 1}
ALL = ["/users/0/name", "/users/0/tags", "/users/1/name", "/users", "/meta/at", "/meta/by", "/gone", "/new"]


@pytest.mark.parametrize("kwargs, kept", [
    ({}, ALL),
    ({"ignore": "/users"}, ["/meta/at", "/meta/by", "/gone", "/new"]),
    ({"ignore": ["/users/*/name", "/meta"]}, ["/users/0/tags", "/users", "/gone", "/new"]),
    ({"ignore": "/**/name"}, ["/users/0/tags", "/users", "/meta/at", "/meta/by", "/gone", "/new"]),
    ({"ignore": "/users/1"}, [p for p in ALL if p != "/users/1/name"]),
    ({"ignore": ""}, []),
    ({"only": "/users/*/name"}, ["/users/0/name", "/users/1/name"]),  # /users/2 was added without one
    ({"only": "/users/*/id"}, ["/users"]),  # ... but with an id
    ({"only": "/**/name"}, ["/users/0/name", "/users/1/name"]),
    ({"only": "/**/deep"}, ["/gone"]),
    ({"only": "/**"}, ALL),
    ({"only": "/users/**/x"}, []),
    ({"only": "/gone/other"}, []),  # not in the removed mapping
    ({"only": "/meta/by/x"}, []),  # below a changed string: nothing there on either side
    ({"ignore": "/users/2"}, [p for p in ALL if p != "/users"]),  # the length change's only item
    ({"ignore": "/users/*"}, ["/meta/at", "/meta/by", "/gone", "/new"]),
    ({"ignore": "/**/id"}, ALL),  # an added item is left out whole or not at all
    ({"only": "/users/0/name"}, ["/users/0/name"]),  # position 0 is not among the added items
    ({"only": "/gone/deep"}, ["/gone"]),  # removed with its mapping
    ({"only": ["/meta/by", "/new"]}, ["/meta/by", "/new"]),
    ({"only": "/users/**", "ignore": "/users/*/tags"}, ["/users/0/name", "/users/1/name", "/users"]),
    ({"float_tolerance": 1e-6}, [p for p in ALL if p != "/meta/at"]),
    ({"float_tolerance": Tolerance(rel=1e-9)}, ALL),
    ({"float_tolerance": Tolerance(rel=1e-6)}, [p for p in ALL if p != "/meta/at"]),
])
def test_filters(kwargs, kept):
    out = corvane(DOC_A, DOC_B)
    assert [e.pointer for e in entries(out, a=DOC_A, b=DOC_B, **kwargs)] == kept
    # Without the documents the items of a length change are unknown: one a pattern may reach
    # inside keeps it.
    assert is_same(out, **kwargs) == (not kept and kwargs != {"only": "/users/**/x"})


@pytest.mark.parametrize("a, b, same", [
    (1.0, 1.0000001, True),
    (1, 1.0, False),  # a type change stays
    (math.nan, math.nan, False),
    (math.inf, 1e308, False),
    ([0.0], [1e-7], True),
    (0.5, 0.6, False),
])
def test_float_tolerance_covers_only_float_pairs(a, b, same):
    assert is_same(corvane(a, b), float_tolerance=1e-6) is same


def test_escaped_pointer_steps_match():
    out = corvane({"a/b": {"~k": 1}, "c": 1}, {"a/b": {"~k": 2}, "c": 2})
    assert [e.pointer for e in entries(out, ignore="/a~1b/~0k")] == ["/c"]


@pytest.mark.parametrize("b, only, kept", [
    ({"a": {"b": 2}}, "/a/b/c", []),  # a scalar changed: nothing below it on either side
    ({"a": {"b": {"c": 1}}}, "/a/b/c", ["/a/b"]),  # now a mapping that holds it
    ({"a": {"b": {"d": 1}}}, "/a/b/c", []),
    ({"a": {"b": [0]}}, "/a/b/0", ["/a/b"]),
    ({"a": {"b": {"x": {"c": 1}}}}, "/a/**/c", ["/a/b"]),
    ({"a": {"b": {"x": {"c": 1}}}}, "/**/x/c", ["/a/b"]),
    ({"a": {"b": {"x": {"c": 1}}}}, "/**/x/**", ["/a/b"]),
    ({"a": {"b": {"x": {"c": 1}}}}, "/*/b/x", ["/a/b"]),
    ({"a": {"b": {"x": {"c": 1}}}}, "/**/y", []),
    ({}, "/a/b/c", []),  # removed, without a c
    ({}, "/a/**", ["/a"]),
])
def test_only_keeps_what_changes_at_a_match(b, only, kept):
    a = {"a": {"b": 1}}
    assert [e.pointer for e in entries(corvane(a, b), a=a, b=b, only=only)] == kept


def test_only_reaches_into_values_that_hold_themselves():
    loop = [1]
    loop.append(loop)
    a, b = {"k": 1}, {"k": loop}
    assert [e.pointer for e in entries(corvane(a, b), a=a, b=b, only="/**/x")] == []
    assert [e.pointer for e in entries(corvane(a, b), a=a, b=b, only="/k/1/1/1/0")] == ["/k"]


@pytest.mark.parametrize("a, b, ignore, report, patched", [
    ([1], [1, 2, 3, 4], "/2", ["(root): length changed 1 -> 4 items", "  /1: added 2", "  /3: added 4"], [1, 2, 4]),
    ([1, 2, 3, 4], [1], "/2", ["(root): length changed 4 -> 1 items", "  /1: removed 2", "  /3: removed 4"], [1, 3]),
    ([1, 2, 3, 4], [1], "/*", [], [1, 2, 3, 4]),
    ([1, {"n": 1}], [1], "/1/n", ["(root): length changed 2 -> 1 items", "  /1: removed {\"n\": 1}"], [1]),
    ([[0], 9], [[0, 1, 2], 9], ["/0/1", "/0/2"], [], [[0], 9]),
])
def test_ignored_items_of_a_length_change_are_gone(a, b, ignore, report, patched):
    found = entries(corvane(a, b), a=a, b=b, ignore=ignore)
    assert report_text(found).splitlines()[:-1] == report
    assert is_same(corvane(a, b), ignore=ignore) == (not report)
    assert jsonpatch.apply_patch(a, json_patch(corvane(a, b), a, b, ignore=ignore)) == patched


@pytest.mark.parametrize("a, b, pointers", [
    ({1: "x"}, {"1": "x"}, ["/~(1)", "/1"]),  # one key removed, another added
    ({"m": {1: {"x": 1}}}, {"m": {1: {"x": 2}}}, ["/m/~(1)/x"]),
    ({"m": [{"x": 1}]}, {"m": [{"x": 2}]}, ["/m/0/x"]),
    ({True: 1, None: 2, 1.5: 3, (1, "/"): 4}, {}, ["/~(true)", "/~(null)", "/~(1.5)", "/~((1, '~1'))"]),
    ({"~(1)": 1}, {}, ["/~0(1)"]),  # a string key that looks like one stays apart
])
def test_keys_that_are_not_strings_are_told_apart(a, b, pointers):
    assert [e.pointer for e in entries(corvane(a, b), a=a, b=b)] == pointers


@pytest.mark.parametrize("pattern, kept", [
    ("/m/~(1)", ["/m/~(1)"]),
    ("/m/1", ["/m/~(1)", "/m/1"]),  # a plain step names a key by its text, whatever its kind
    ("/m/~(null)", ["/m/~(null)"]),
    ("/m/*", ["/m/~(1)", "/m/1", "/m/~(null)"]),
])
def test_patterns_name_keys_that_are_not_strings(pattern, kept):
    a, b = {"m": {1: "a", "1": "b", None: "c"}}, {"m": {}}
    assert [e.pointer for e in entries(corvane(a, b), a=a, b=b, only=pattern)] == kept


@pytest.mark.parametrize("bad, message", [
    ({"ignore": "users"}, "a pattern is a JSON pointer, starting with '/' (or empty for the whole document): 'users'"),
    ({"only": "/a~2b"}, "'~' in a pattern is written '~0', '/' in a key '~1', and a key that is not a string ~(KEY): '/a~2b'"),
    ({"only": "/a/~"}, "'~' in a pattern is written '~0', '/' in a key '~1', and a key that is not a string ~(KEY): '/a/~'"),
    ({"ignore": ["/ok", "/users/[0]"]},
     "a position in a pattern is a plain number (/items/0) and any one step is * (/items/*), not [0]: '/users/[0]'"),
    ({"ignore": "/users/[*]/name"},
     "a position in a pattern is a plain number (/items/0) and any one step is * (/items/*), not [*]: '/users/[*]/name'"),
    ({"float_tolerance": -1.0}, "float tolerance abs= must be a finite number >= 0, not -1.0"),
    ({"float_tolerance": math.nan}, "float tolerance abs= must be a finite number >= 0, not nan"),
])
def test_bad_filters(bad, message):
    with pytest.raises(ValueError) as failure:
        Filter(**bad)
    assert str(failure.value) == message


def test_compiled_filters_are_reused():
    assert compile_filter(["/a"], float_tolerance=0.1) is compile_filter(("/a",), float_tolerance=Tolerance(abs=0.1))


# --- pointers, text, strict JSON ----------------------------------------------------------------------------


@pytest.mark.parametrize("path, pointer", [
    ([], ""),
    (["a", 0, "b"], "/a/0/b"),
    (["a/b", "m~n", ""], "/a~1b/m~0n/"),
    ([1, True, None], "/1/True/None"),  # YAML keys need not be strings
])
def test_json_pointer(path, pointer):
    assert json_pointer(path) == pointer


@pytest.mark.parametrize("value, text", [
    ("é \"q\"\n", '"é \\"q\\"\\n"'),
    (True, "true"), (None, "null"), (-7, "-7"), (2.5, "2.5"),
    (float("nan"), "NaN"), (float("-inf"), "-Infinity"),
    ({"k": [1, None]}, '{"k": [1, null]}'),
    ("x" * 100, '"' + "x" * 18 + "…"),
    (list(range(100)), "[0, 1, 2, 3, 4, 5, …"),
    ({(1, 2): 3}, "{(1, 2): 3}"),  # keys JSON cannot show fall back to repr
    ({1: "a", "1": "b"}, '{1: "a", "1": "b"}'),  # a key that is not a string is not quoted
    (datetime.date(2024, 1, 2), "2024-01-02"),  # never taken for the string "2024-01-02"
    ([datetime.datetime(2024, 1, 2, 10, 30)], "[2024-01-02T10:30:0…"),
    (decimal.Decimal("1.5"), "Decimal('1.5')"),  # by its repr, unquoted
    ({"k": "\ud800"}, '{"k": "\\ud800"}'),  # a lone surrogate as its JSON escape
    pytest.param([10**5000], "[<an int of about 5…", id="int-past-the-text-limit"),
])
def test_shorten(value, text):
    assert shorten(value, 20) == text


def test_shorten_shows_a_value_met_inside_itself_as_an_ellipsis():
    loop = {"k": [1]}
    loop["k"].append(loop)
    assert shorten(loop, 40) == '{"k": [1, …]}'


@pytest.mark.parametrize("a, b, width, shown", [
    ("x" * 100 + "A" + "y" * 50, "x" * 100 + "B" + "y" * 50, 20, ("…xxxxxxAyyyyyyyyyyy…", "…xxxxxxByyyyyyyyyyy…")),
    ("x" * 100 + "A", "x" * 100 + "B", 20, ('…xxxxxxA"', '…xxxxxxB"')),
    ("x" * 100, "x" * 100 + "yz", 20, ('…xxxxxx"', '…xxxxxxyz"')),  # one is the other's beginning
    ("x" * 100 + "\n" + "é" * 5, "x" * 100 + "\t" + "é" * 5, 20, ('…xxxxxx\\nééééé"', '…xxxxxx\\tééééé"')),
    ("ab" + "x" * 100, "ac" + "x" * 100, 20, ('"abxxxxxxxxxxxxxxxx…', '"acxxxxxxxxxxxxxxxx…')),  # seen as it is
    ("short", "x" * 100, 20, ('"short"', '"xxxxxxxxxxxxxxxxxx…')),
    (1, "x" * 100, 20, ("1", '"xxxxxxxxxxxxxxxxxx…')),
    # Integers the data rules compare whatever their size: their digits, likewise.
    (2**200, 2**200 + 1, 20, ("…2993782792835301376", "…2993782792835301377")),
    (10**70, 10**70 + 10**40, 20, ("…000000000000000000…", "…000000100000000000…")),
    (10**70, -(10**70), 20, ("1000000000000000000…", "-100000000000000000…")),  # seen as they are
    (True, 2**200, 20, ("true", "1606938044258990275…")),
])
def test_long_strings_are_shown_around_their_first_difference(a, b, width, shown):
    assert shorten_pair(a, b, width) == shown
    assert Entry("changed", ("s",), a, b).text(width) == f"/s: changed {shown[0]} -> {shown[1]}"


def test_texts_of_entries_with_surrogates_can_be_written():
    found = [Entry("changed", ("k\ud800",), "a\udc00", "b"), Entry("added", ("\udfff",), MISSING, {"\ud800": 1}),
             Entry("length_changed", ("l",), 0, 1, ("\ud800",))]
    text = report_text(found)
    assert text.encode("utf-8").decode("utf-8") == "\n".join([
        '/k\\ud800: changed "a\\udc00" -> "b"',
        '/\\udfff: added {"\\ud800": 1}',
        "/l: length changed 0 -> 1 items",
        '  /l/0: added "\\ud800"',
        "3 differences",
    ])


def test_shorten_encodes_no_more_than_it_shows():
    class Counting(list):
        served = 0

        def __iter__(self):
            for item in super().__iter__():
                Counting.served += 1
                yield item

    assert shorten(Counting(range(100_000)), 30).endswith("…")
    assert Counting.served < 30


def test_report_text():
    a, b = {"s": "x" * 100, "l": [1], "n": 1}, {"s": "y", "l": [1, 2, 3], "n": 1.0}
    assert report_text(entries(corvane(a, b), a=a, b=b), width=12) == "\n".join([
        '/s: changed "xxxxxxxxxx… -> "y"',
        "/l: length changed 1 -> 3 items",
        "  /l/1: added 2",
        "  /l/2: added 3",
        "/n: type changed 1 -> 1.0",
        "3 differences",
    ])
    assert report_text([]) == "no differences"


STRICT_CASES = [
    [math.nan, math.inf, -math.inf, 1.5, "NaN"],
    {"$float": "NaN"},
    {"$object": {"$float": 1}},
    {"k": {"$float": math.inf, "other": 1}},
    {1: "int key", None: 0},
    ["\ud800", {"\udc00": "x\udfff"}],  # written as escapes: valid UTF-8
    {"$date": "2024-01-02"},
]


@pytest.mark.parametrize("value", STRICT_CASES)
def test_strict_json_is_strict_and_loss_free(value):
    def reject(constant):
        raise ValueError(constant)

    text = dumps_strict(value)
    back = from_strict_json(json.loads(text.encode("utf-8"), parse_constant=reject))
    assert repr(back) == repr(json.loads(json.dumps(value)))  # keys as JSON writes them, NaN as NaN
    assert repr(from_strict_json(to_strict_json(value))) == repr(back)


def test_strict_json_keeps_dates_and_bytes():
    value = {"d": datetime.date(2024, 1, 2), "t": datetime.time(10, 30), "b": b"\x00\xff",
             "at": [datetime.datetime(2024, 1, 2, 10, tzinfo=datetime.timezone(datetime.timedelta(hours=-5)))]}
    text = dumps_strict(value)
    assert json.loads(text)["d"] == {"$date": "2024-01-02"} and json.loads(text)["b"] == {"$bytes": "AP8="}
    assert from_strict_json(json.loads(text)) == value


def test_strict_json_of_a_deep_value():
    deep = []
    for _ in range(20_000):
        deep = [deep, math.nan]
    assert dumps_strict(deep).startswith('[[[[') and dumps_strict(deep).endswith('{"$float": "NaN"}]')


def test_strict_json_names_where_a_value_holds_itself():
    loop = {"k": [1]}
    loop["k"].append({"again": loop})
    with pytest.raises(ValueError, match=r"^the value at /doc/k/1/again holds itself \(say, a YAML alias inside its own "
                                         r"anchor\), and JSON cannot write it$"):
        dumps_strict({"x": 1, "doc": loop})


# --- failures, assert_same ------------------------------------------------------------------------


@pytest.mark.parametrize("a, b, reason, path, side", [
    ({"k": [1, 2**130]}, {"k": [1, 2**130]}, "OverflowError(", ("k", 1), "a"),
    ({"k": [1, 2]}, {"k": [1, 2**130]}, "OverflowError(", ("k", 1), "b"),
    ({"k": 2**130, "s": ["\ud800"]}, {"s": ["\ud800"]}, "UnicodeEncodeError(", ("s", 0), "a"),
    ({"i": iter(())}, {"i": _ for _ in ()}, "", None, None),
])
def test_compare_names_the_failing_value(a, b, reason, path, side):
    if path is None:  # a failure no document holds: reported without a place
        class Raising(dict):
            def items(self):
                raise ValueError("no items")
        a, b = Raising(x=1), {}
    with pytest.raises(CompareError) as failure:
        compare(a, b, quiet=True)
    assert failure.value.reason.startswith(reason)
    assert (failure.value.path, failure.value.side) == (path, side)


@pytest.mark.parametrize("quiet", [False, True])
def test_a_failure_is_told_once(capsys, quiet):
    # The module's own line says what the CompareError says: neither call lets it through.
    with pytest.raises(CompareError) as failure:
        compare({"n": [2**130]}, {"n": [1]}, quiet=quiet)
    assert str(failure.value) == "OverflowError('Python int larger than 128 bits') at /n/0 of the first document"
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("rules, message", [
    ("data", "/a: type changed 1 -> 1.0\n/b: type changed true -> 1\n2 differences"),
    ("python", "/a: type changed 1 -> 1.0\n1 difference"),
])
def test_assert_same(rules, message):
    assert_same({"a": [1, 2.0]}, {"a": (1, 2.0000001)}, float_tolerance=1e-6, rules=rules)
    assert_same({"a": 1, "t": 0}, {"a": 1, "t": 1}, ignore="/t", rules=rules)
    with pytest.raises(AssertionError) as failure:
        assert_same({"a": 1, "b": True}, {"a": 1.0, "b": 1}, rules=rules)
    assert str(failure.value) == "the two differ:\n" + message


class _Interrupting:
    """An object whose type test raises KeyboardInterrupt, as a Ctrl-C's handler would there."""

    @property
    def __class__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("call", [lambda a, b: compare(a, b, quiet=True), assert_same])
def test_a_ctrl_c_inside_the_comparison_stays_a_ctrl_c(call):
    # The module ends the comparison with a PanicException that carries it; the companions give
    # it back as the KeyboardInterrupt it was, never as a failure to compare.
    with pytest.raises(KeyboardInterrupt):
        call({"k": [_Interrupting()]}, {"k": [1]})
