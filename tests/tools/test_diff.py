"""diff() in one call and corvane-diff under the data rules: values as their formats mean them, items
inserted into and deleted from lists, keyed and unordered lists, notes of unaligned lists, filters
over all of them, and patches that turn the first document into the second (fuzzed, applied with
the jsonpatch package and checked against json.dumps, which keeps bool, int and float apart)."""

import copy
import json
import random
import subprocess
import sys

import jsonpatch
import pytest

from conftest import needs_script, script
import corvane
from corvane_report import MISSING, assert_same, diff, entries, json_patch, report_text
from corvane_report.cli import main
from corvane_report.rows import RowKey
from corvane_report.report import DataRules, Differences, differences


def run(capsys, *argv):
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def strict(value):
    """JSON text in which true, 1 and 1.0 stay apart and key order does not count."""
    return json.dumps(value, sort_keys=True)


class TestOneCall:
    @pytest.mark.parametrize("a, b, expected", [
        ({"x": True}, {"x": 1}, ["/x: type changed true -> 1"]),
        ({"x": "ab"}, {"x": ["a", "b"]}, ['/x: type changed "ab" -> ["a", "b"]']),
        ("", [], ['(root): type changed "" -> []']),
        ({"n": 2**130}, {"n": 2**130 + 1}, [f"/n: changed {2**130} -> {2**130 + 1}"]),
        ({"s": "\ud800", "t": 1}, {"s": "\ud800", "t": 2}, ["/t: changed 1 -> 2"]),
        ([float("nan")], [float("nan")], []),
        ([1, 2, 3], [1, 3], ["/1: deleted 2"]),
        ([1, 3], [1, 2, 3], ["/1: inserted 2"]),
    ])
    def test_values_as_data(self, a, b, expected):
        assert [str(entry) for entry in diff(a, b)] == expected

    def test_an_inserted_status_is_one_difference(self, originals):
        a = originals["twitter"]
        b = copy.deepcopy(a)
        b["statuses"].insert(50, dict(b["statuses"][7], id=1, text="new"))
        (entry,) = diff(a, b)
        assert (entry.kind, entry.pointer, entry.a, entry.b) == ("inserted", "/statuses/50", MISSING, b["statuses"][50])
        assert len(diff(a, b, lists="position")) > 100  # every later status shifted

    def test_python_rules(self):
        assert diff({"x": True, "s": "ab"}, {"x": 1, "s": ["a", "b"]}, rules="python") == []
        assert [e.kind for e in diff([1, 2], [1, 2, 3], rules="python")] == ["length_changed"]

    @pytest.mark.parametrize("options, message", [
        ({"rules": "python", "lists": "align"}, "options of the data rules"),
        ({"rules": "python", "list_keys": "/u=/id"}, "options of the data rules"),
        ({"rules": "python", "unordered": ["/t"]}, "options of the data rules"),
        ({"rules": "python", "nan_equal": True}, "NaN differs from itself"),
        ({"rules": "json"}, "rules is 'data' or 'python'"),
        ({"lists": "sorted"}, "lists is 'align' or 'position'"),
        ({"list_keys": "/u"}, "a list key is PATTERN=POINTER"),
        ({"unordered": "t"}, "a pattern is a JSON pointer"),
    ])
    def test_bad_options(self, options, message):
        with pytest.raises(ValueError, match=message):
            diff([1], [2], **options)

    def test_nan_equal(self):
        assert [e.pointer for e in diff([float("nan")], [float("nan")], nan_equal=False)] == ["/0"]
        assert diff([float("nan")], [1.5], rules="python", nan_equal=False)[0].kind == "changed"

    @pytest.mark.parametrize("rules, count", [("data", 2), ("python", 1)])
    def test_assert_same_takes_the_rules(self, rules, count):
        with pytest.raises(AssertionError, match=f"{count} difference"):
            assert_same({"a": 1, "b": [True]}, {"a": 2, "b": [1]}, rules=rules)
        assert_same({"k": [{"id": 1}, {"id": 2}]}, {"k": [{"id": 2}, {"id": 1}]}, list_keys="/k=/id")


class TestKeysAndMultisets:
    A = {"users": [{"id": 1, "n": "a"}, {"id": 2, "n": "b"}, {"id": 3, "n": "c"}]}
    B = {"users": [{"id": 3, "n": "c"}, {"id": 1, "n": "A"}, {"id": 4, "n": "d"}]}

    def test_keyed_items_are_shown_with_their_key(self):
        found = diff(self.A, self.B, list_keys="/users=/id")
        assert report_text(found) == "\n".join([
            '/users/0/n [id=1]: changed "a" -> "A"',
            '/users/1 [id=2]: deleted {"id": 2, "n": "b"}',
            '/users/2 [id=4]: inserted {"id": 4, "n": "d"}',
            "3 differences",
        ])

    def test_keyed_patch_gives_b_as_keyed_lists_compare_it(self):
        found = diff(self.A, self.B, list_keys="/users=/id")
        patched = jsonpatch.apply_patch(self.A, json_patch(found, self.A, self.B))
        assert diff(patched, self.B, list_keys="/users=/id") == []
        assert sorted(map(strict, patched["users"])) == sorted(map(strict, self.B["users"]))

    def test_multisets(self):
        found = diff({"t": ["x", "y", "y"]}, {"t": ["y", "z", "x"]}, unordered=["/t"])
        assert [str(e) for e in found] == ['/t/2: deleted "y"', '/t/1: inserted "z"']

    def test_lists_by_position_have_their_items_in_the_patch(self):
        a, b = {"k": [{"v": [1, 2, 3]}]}, {"k": [{"v": [1, 5]}]}
        found = diff(a, b, lists="position")
        assert [str(e) for e in found] == ["/k/0/v/1: changed 2 -> 5", "/k/0/v: length changed 3 -> 2 items"]
        assert found[1].tail == (3,)
        assert strict(jsonpatch.apply_patch(a, json_patch(found, a, b))) == strict(b)

    def test_position_lists_inside_keyed_ones_read_their_tail_from_the_paired_item(self):
        a = {"u": [{"id": 1, "v": [1]}, {"id": 2, "v": [1]}]}
        b = {"u": [{"id": 2, "v": [1, 7, 8]}, {"id": 1, "v": [1]}]}
        (entry,) = diff(a, b, lists="position", list_keys="/u=/id")
        assert (entry.pointer, entry.tail, entry.keys) == ("/u/1/v", (7, 8), ((2, "/id", 2),))
        patched = jsonpatch.apply_patch(a, json_patch(diff(a, b, lists="position", list_keys="/u=/id"), a, b))
        assert diff(patched, b, list_keys="/u=/id") == []


class TestFilters:
    A = {"a": [0, 1, 2, 3], "f": [1.0, 2.0]}
    B = {"a": [0, 9, 1, 3, 4], "f": [1.0000001, 2.5]}

    @pytest.mark.parametrize("options, expected", [
        ({}, ["/a/1: inserted 9", "/a/2: deleted 2", "/a/4: inserted 4", "/f/0: changed 1.0 -> 1.0000001",
              "/f/1: changed 2.0 -> 2.5"]),
        ({"ignore": "/a/2"}, ["/a/1: inserted 9", "/a/4: inserted 4", "/f/0: changed 1.0 -> 1.0000001",
                              "/f/1: changed 2.0 -> 2.5"]),
        ({"ignore": "/a/1"}, ["/a/2: deleted 2", "/a/4: inserted 4", "/f/0: changed 1.0 -> 1.0000001",
                              "/f/1: changed 2.0 -> 2.5"]),
        ({"only": "/a/*"}, ["/a/1: inserted 9", "/a/2: deleted 2", "/a/4: inserted 4"]),
        ({"float_tolerance": 1e-3, "ignore": "/a"}, ["/f/1: changed 2.0 -> 2.5"]),
    ])
    def test_filters_over_the_new_kinds(self, options, expected):
        found = diff(self.A, self.B, **options)
        assert [str(e) for e in found] == expected
        # What the patch makes is what the filters keep, the items after a left-out one in place.
        patched = jsonpatch.apply_patch(self.A, json_patch(found, self.A, self.B))
        assert len(diff(patched, self.B)) == 5 - len(expected) or not options

    def test_only_keeps_an_inserted_item_that_holds_the_path(self):
        a, b = {"l": [{"x": 1}]}, {"l": [{"x": 1}, {"y": {"z": 2}}]}
        assert [e.pointer for e in diff(a, b, only="/l/*/y/z")] == ["/l/1"]
        assert diff(a, b, only="/l/*/q") == []

    def test_an_ignored_insertion_leaves_the_others_in_range(self):
        a, b = [], ["x", "y", "z"]
        found = diff(a, b, ignore="/0")
        assert jsonpatch.apply_patch(a, json_patch(found, a, b)) == ["y", "z"]


class TestNotes:
    def test_lists_too_different_to_align(self):
        rng = random.Random(5)
        a = {"v": [rng.random() for _ in range(3000)]}
        b = {"v": [rng.random() for _ in range(3002)]}
        found = diff(a, b)
        assert [(n.kind, n.pointer, n.a_len, n.b_len) for n in found.notes] == [("unaligned", "/v", 3000, 3002)]
        assert len(found) == 3002  # compared by position: notes are not differences
        assert report_text(found, limit=1).splitlines()[-2:] == [
            "note: /v: 3000 -> 3002 items differ too much to align; compared by position", "3002 differences"]
        assert strict(jsonpatch.apply_patch(a, json_patch(found, a, b))) == strict(b)
        assert diff(a, b, ignore="/v").notes == ()  # said only beside a difference it bears on

    def test_no_note_without_a_difference(self):
        import datetime

        when = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)  # fingerprints that match nothing
        found = diff([when] * 3000, [when] * 3000)
        assert found == [] and found.notes == ()


# --- patches over fuzzed documents ------------------------------------------------------------------

KEYS = ["a", "b", "id", "x", "1", "", "~/"]
# Values that the data rules tell apart and Python's == does not, or the other way round.
SCALARS = [None, True, False, 0, 1, 2, -1, 1.0, 0.0, 2.5, -0.5, "", "a", "ab", "1", "true", 10**30]
TWINS = {True: 1, 1: True, 0: False, False: 0, 1.0: 1, "ab": ["a", "b"], "": [], "1": 1}


def _value(rng, depth=0):
    pick = rng.random()
    if depth >= 3 or pick < 0.4:
        return rng.choice(SCALARS)
    if pick < 0.6:
        return [_value(rng, depth + 1) for _ in range(rng.randrange(8))]
    if pick < 0.75:
        return [{"id": rng.randrange(6), "v": _value(rng, depth + 2)} for _ in range(rng.randrange(8))]
    return {rng.choice(KEYS): _value(rng, depth + 1) for _ in range(rng.randrange(5))}


def _containers(value, found):
    if isinstance(value, (list, dict)):
        found.append(value)
        for item in (value if isinstance(value, list) else value.values()):
            _containers(item, found)
    return found


def _twin(value, rng):
    try:
        if value in TWINS and type(value) in (bool, int, float, str):
            return copy.deepcopy(TWINS[value])
    except TypeError:
        pass
    return _value(rng, 2)


def _edit(doc, rng):
    """One edit of a random container of `doc`: an item inserted, deleted, moved or changed in a list, a key
    added, removed or changed in a mapping, a value made its twin of another kind."""
    containers = _containers(doc, [])
    lists = [c for c in containers if isinstance(c, list)]
    target = rng.choice(lists if lists and rng.random() < 0.75 else containers)
    if isinstance(target, list):
        how = rng.choice(["insert", "delete", "move", "change", "twin"] if target else ["insert"])
        at = rng.randrange(len(target) + (how == "insert"))
        if how == "insert":
            target.insert(at, rng.choice(target) if target and rng.random() < 0.3 else _value(rng, 2))
        elif how == "delete":
            del target[at]
        elif how == "move":
            target.insert(rng.randrange(len(target)), target.pop(at))
        else:
            target[at] = _twin(target[at], rng) if how == "twin" else _value(rng, 2 + (rng.random() < 0.6))
    else:
        key = rng.choice(KEYS)
        how = rng.random()
        if key in target and how < 0.4:
            del target[key]
        else:
            target[key] = _twin(target[key], rng) if key in target and how < 0.7 else _value(rng, 2)


def _pairs(seed, count):
    rng = random.Random(seed)
    for _ in range(count):
        a = {"root": _value(rng)}
        b = copy.deepcopy(a)
        for _ in range(rng.randrange(1, 5)):
            _edit(b, rng)
        yield a, b


@pytest.mark.no_leak_check
def test_patches_of_fuzzed_pairs():
    # 10,000 pairs: each patch has one operation per difference and gives the second document exactly.
    for a, b in _pairs(1, 10_000):
        found = diff(a, b)
        patch = json_patch(found, a, b)
        assert len(patch) == len(found)
        assert strict(jsonpatch.apply_patch(a, patch)) == strict(b), (a, b, patch)


@pytest.mark.no_leak_check
def test_patches_of_fuzzed_pairs_with_filters_apply():
    # With differences left out, the rest still applies: every position is in range.
    rng = random.Random(2)
    for a, b in _pairs(3, 2_000):
        found = diff(a, b)
        if not found:
            continue
        kept = diff(a, b, ignore=rng.choice(found).pointer)
        patch = json_patch(kept, a, b)
        assert len(patch) == len(kept)
        jsonpatch.apply_patch(a, patch)


@pytest.mark.no_leak_check
def test_keyed_patches_of_fuzzed_pairs():
    rng = random.Random(4)
    for _ in range(2_000):
        a = {"items": [{"id": i, "v": rng.choice(SCALARS)} for i in rng.sample(range(20), rng.randrange(12))]}
        b = copy.deepcopy(a)
        items = b["items"]
        rng.shuffle(items)
        for _ in range(rng.randrange(4)):
            if items and rng.random() < 0.4:
                del items[rng.randrange(len(items))]
            elif items and rng.random() < 0.5:
                rng.choice(items)["v"] = rng.choice(SCALARS)
            else:
                items.insert(rng.randrange(len(items) + 1), {"id": 20 + rng.randrange(9), "v": 0})
        found = diff(a, b, list_keys="/items=/id")
        patched = jsonpatch.apply_patch(a, json_patch(found, a, b))
        assert diff(patched, b, list_keys="/items=/id") == []
        assert sorted(map(strict, patched["items"])) == sorted(map(strict, items))


# --- corvane-diff ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("first, second, report", [
    ({"x": True}, {"x": 1}, "/x: type changed true -> 1\n1 difference\n"),
    ({"x": "ab"}, {"x": ["a", "b"]}, '/x: type changed "ab" -> ["a", "b"]\n1 difference\n'),
    ("", [], '(root): type changed "" -> []\n1 difference\n'),
])
def test_kinds_json_keeps_apart(capsys, write, first, second, report):
    a, b = write("a.json", json.dumps(first)), write("b.json", json.dumps(second))
    assert run(capsys, a, b) == (1, report, "")
    status, out, _ = run(capsys, "--format-out", "json-patch", a, b)
    assert status == 1 and strict(jsonpatch.apply_patch(first, json.loads(out))) == strict(second)
    assert run(capsys, "--rules", "python", a, b)[0] == 0


def test_values_that_corvanes_own_rules_cannot_compare(capsys, write):
    # An int beyond 128 bits and a lone surrogate are compared exactly; the other differences are all there.
    a = write("a.json", '{"big": 1' + "0" * 40 + ', "s": "\\ud800", "n": 1, "same": [2' + "0" * 50 + ']}')
    b = write("b.json", '{"big": 2' + "0" * 40 + ', "s": "\\ud800x", "n": 2, "same": [2' + "0" * 50 + ']}')
    assert run(capsys, a, b) == (1, "\n".join([
        "/big: changed 1" + "0" * 40 + " -> 2" + "0" * 40,
        '/s: changed "\\ud800" -> "\\ud800x"',
        "/n: changed 1 -> 2",
        "3 differences",
    ]) + "\n", "")


@pytest.fixture
def statuses(originals, write):
    a = originals["twitter"]
    b = copy.deepcopy(a)
    b["statuses"].insert(50, dict(b["statuses"][3], id=7, id_str="7", text="inserted"))
    del b["statuses"][80]["entities"]
    return a, b, write("a.json", a), write("b.json", b)


def test_an_inserted_status(capsys, statuses):
    a, b, first, second = statuses
    status, out, _ = run(capsys, first, second)
    lines = out.splitlines()
    assert status == 1 and lines[0].startswith('/statuses/50: inserted {"metadata": ') and lines[1:] == [
        "/statuses/79/entities: removed " + lines[1].split("removed ", 1)[1], "2 differences"]
    assert run(capsys, "--ignore", "/statuses/79", first, second)[1].endswith("\n1 difference\n")
    assert run(capsys, "--summary", "--ignore", "/statuses/*/entities", first, second)[1] == lines[0] + "\n1 difference\n"
    assert run(capsys, "--max", "0", first, second)[1] == "… and 2 more\n2 differences\n"
    assert run(capsys, "--by-kind", first, second)[1].splitlines()[::2] == ["removed (1):", "inserted (1):", "2 differences"]
    report = json.loads(run(capsys, "--json", first, second)[1])
    assert [r["path"] for r in report["list_items_inserted"]] == ["/statuses/50"]
    assert report["list_items_inserted"][0]["value"] == b["statuses"][50]
    patch = json.loads(run(capsys, "--format-out", "json-patch", first, second)[1])
    assert [(op["op"], op["path"]) for op in patch] == [("add", "/statuses/50"), ("remove", "/statuses/80/entities")]
    assert strict(jsonpatch.apply_patch(a, patch)) == strict(b)
    assert len(run(capsys, "--lists", "position", first, second)[1].splitlines()) > 100


def test_list_keys_and_unordered(capsys, write):
    a = write("a.json", {"users": [{"id": 1, "n": "a"}, {"id": 2, "n": "b"}], "tags": ["x", "y"]})
    b = write("b.json", {"users": [{"id": 2, "n": "B"}, {"id": 1, "n": "a"}], "tags": ["y", "x", "z"]})
    assert run(capsys, "--list-key", "/users=/id", "--unordered", "/tags", a, b) == (1, "\n".join([
        '/users/1/n [id=2]: changed "b" -> "B"', '/tags/2: inserted "z"', "2 differences"]) + "\n", "")
    report = json.loads(run(capsys, "--json", "--list-key", "/*=/id", a, b)[1])
    assert report["val_changes"] == [{"path": "/users/1/n", "a": "b", "b": "B", "keys": {"/users/1": 2}}]


def test_nan(capsys, write):
    a, b = write("a.json", "[NaN, 1]"), write("b.json", "[NaN, 2]")
    assert run(capsys, a, b)[1] == "/1: changed 1 -> 2\n1 difference\n"
    assert run(capsys, "--nan-differs", a, b)[1] == "/0: changed NaN -> NaN\n/1: changed 1 -> 2\n2 differences\n"


@pytest.mark.parametrize("argv, message", [
    (["--rules", "python", "--list-key", "/u=/id"], "corvane-diff: --lists align, --list-key and --unordered are "
     "options of the data rules: --rules python compares lists by position\n"),
    (["--rules", "python", "--lists", "align"], "corvane-diff: --lists align"),
])
def test_options_of_the_data_rules_alone(capsys, write, argv, message):
    a = write("a.json", [1])
    status, out, err = run(capsys, *argv, a, a)
    assert (status, out) == (2, "") and err.startswith(message) and err.count("\n") == 1


@pytest.mark.parametrize("argv, message", [
    (["--list-key", "/users"], "argument --list-key: a list key is PATTERN=POINTER"),
    (["--list-key", "/users=/*"], "argument --list-key: the key of a list key is a plain JSON pointer"),
    (["--unordered", "tags"], "argument --unordered: a pattern is a JSON pointer"),
    (["--lists", "sorted"], "argument --lists: invalid choice"),
])
def test_bad_rule_options(capsys, argv, message):
    with pytest.raises(SystemExit) as stop:
        main([*argv, "a.json", "b.json"])
    assert stop.value.code == 2 and message in capsys.readouterr().err


def test_unaligned_lists_are_noted(capsys, write):
    rng = random.Random(9)
    a, b = write("a.json", {"v": [rng.random() for _ in range(2500)]}), write("b.json", {"v": [rng.random() for _ in range(2500)]})
    out = run(capsys, "--max", "1", a, b)[1]
    assert out.splitlines()[1:] == ["… and 2499 more",
                                    "note: /v: 2500 -> 2500 items differ too much to align; compared by position",
                                    "2500 differences"]
    assert json.loads(run(capsys, "--json", a, b)[1])["unaligned"] == [{"path": "/v", "a_len": 2500, "b_len": 2500}]


@needs_script
def test_directories_under_the_data_rules(tmp_path, write):
    for side, doc in (("old", {"l": [1, 2, 3], "t": True}), ("new", {"l": [1, 3], "t": 1})):
        (tmp_path / side).mkdir()
        write(f"{side}/d.json", doc)
    status, out, _ = script("-r", tmp_path / "old", tmp_path / "new")
    assert status == 1 and out.splitlines()[1:4] == ["/l/1: deleted 2", "/t: type changed true -> 1", "2 differences"]
    assert script("-r", "--rules", "python", tmp_path / "old", tmp_path / "new")[1].splitlines()[1:3] == [
        "/l/1: changed 2 -> 3", "/l: length changed 3 -> 2 items"]


# --- nesting past what the stack allows ---------------------------------------------------------------


def test_deep_documents_are_compared(capsys, write):
    # As deep as a document is read (the reader's own limit stops deeper ones, in one line).
    deep = "[" * 12_000 + "]" * 12_000
    a, b = write("a.json", deep), write("b.json", deep)
    assert run(capsys, a, b)[:2] == (0, "no differences\n")
    assert run(capsys, a, write("c.json", "[[1]]"))[0] == 1


@pytest.mark.no_leak_check
@pytest.mark.parametrize("make", [
    "d = []\nfor _ in range(20000): d = [d]\ne = []\nfor _ in range(20000): e = [e]\n",
    "d = [1, 2]; d.append(d); e = [1, 2]; e.append(e)\n",
    "d = {'k': [1]}; d['k'].append(d); e = {'k': [1]}; e['k'].append(e)\n",
])
def test_the_engine_itself_survives_deep_lists(make):
    # The fingerprints that plan an alignment stop where the stack runs short or a value holds
    # itself; the walk then ends on its own recursion check, in a PanicException.
    probe = ("from corvane_report.report._data import DataRules\n" + make +
             "try:\n    DataRules().differences(d, e)\nexcept BaseException as exc:\n    print(type(exc).__name__)\n")
    run = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout == "PanicException\n"


def test_differences_with_a_compiled_filter_and_rules():
    rules = DataRules(list_keys=("/u=/id",))
    found = differences({"u": [{"id": 1, "v": 1}]}, {"u": [{"id": 1, "v": 2}]}, rules)
    assert isinstance(found, Differences) and found.rules is rules and [e.pointer for e in found] == ["/u/0/v"]


@pytest.mark.parametrize("digit", ["\u00b2", "\u0663"])  # digits to str.isdigit, not to int()
@pytest.mark.parametrize("call", [
    lambda d: diff({"x": [{"id": 1}, {"id": 2}]}, {"x": [{"id": 2}, {"id": 1}]}, list_keys=f"/x/{d}=/id"),
    lambda d: diff({"u": [{"id": 1}, {"id": 2}]}, {"u": [{"id": 2}, {"id": 1}]}, list_keys=f"/u=/{d}"),
    lambda d: entries(corvane.corvane({"x": [1, 2]}, {"x": [1, 2, 3]}), ignore=f"/x/{d}"),
    lambda d: RowKey(f"/id/{d}").find({"id": [5]}),
])
def test_a_step_of_other_digits_is_a_key_not_a_position(call, digit):
    assert call(digit) == call("no")  # as any step that names no position
