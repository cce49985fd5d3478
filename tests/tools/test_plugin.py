"""The pytest plugin, in real pytest runs (pytester, in-process)."""

from pathlib import Path

import pytest

pytest_plugins = ["pytester"]

DEMO = Path(__file__).resolve().parents[2] / "examples" / "plugin_demo.py"

FAILING = """
def test_nested():
    got = {"user": {"name": "Ada", "ids": [1, 2, 3], "score": 1.0, "ok": True}, "n": 1, "s": [0] * 9}
    want = {"user": {"name": "Ada L.", "ids": [1, 2], "score": 1, "ok": 1}, "n": 2, "x": None, "s": [1] * 9}
    assert got == want

def test_int_against_float():
    assert {"a": [1, 2.0], "b": 1} == {"a": [1.0, 2], "b": 2}

def test_only_int_against_float():
    assert [[1, 2.0, True], [3]] == [[1.0, 2, 1], (3,)]  # == fails on list against tuple only

def test_not_containers():
    assert "abc" == "abd"

def test_found_by_nothing_but_eq():
    assert {"t": [1, 2]} == {"t": (1, 2)}

def test_too_big_to_compare():
    assert {"n": 2**200} == {"n": 2**200 + 1}

def test_strict_helper():
    from corvane_report import assert_same
    assert_same({"v": 1}, {"v": 1.0})

def test_list_tail():
    assert [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11] == [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 99, 11, 12]

def test_sets():
    assert {"tags": {1, 2, 3}, "n": 1} == {"tags": frozenset({1, 2, 4}), "n": 1}

def test_top_sets():
    assert {1, 2, 3} == {1, 2, 4}

import dataclasses, decimal

@dataclasses.dataclass
class P:
    x: int
    y: list
    note: str = dataclasses.field(default="", compare=False)

@dataclasses.dataclass
class Q:
    x: int
    y: list

def test_dataclasses():
    assert [P(1, [1, 2], "a")] == [P(1, [1, 3], "b")]

def test_top_dataclasses():
    assert P(1, [1, 2]) == P(2, [1, 2])

def test_dataclass_classes():
    assert {"p": P(1, [1])} == {"p": Q(1, [1])}

def test_objects():
    assert {"d": decimal.Decimal("1.5"), "same": decimal.Decimal(1)} == {"d": decimal.Decimal("2.5"), "same": decimal.Decimal(1)}

def test_long_strings():
    assert {"s": "x" * 80 + "A", "n": 1} == {"s": "x" * 80 + "B", "n": 2}

def test_many():
    assert {"user": {"k" + str(i): i for i in range(20)}} == {"user": {"k" + str(i): -i for i in range(20)}}

def test_inserted():
    got = [{"id": i, "text": f"status {i}"} for i in range(40)]
    assert got == got[:10] + [{"id": 99, "text": "new"}] + got[10:]

def test_inserted_among_numbers_equal_to_python():
    assert list(range(40)) == [float(i) for i in range(10)] + [99.5] + [float(i) for i in range(10, 40)]

def test_deleted_and_changed():
    got = [{"id": i, "n": [i, i]} for i in range(30)]
    want = [dict(item, n=[item["id"], 1.0 * item["id"]]) for item in got]
    del want[3]
    want[20]["n"] = [21, True]  # the item a has at 21
    assert got == want
"""

TESTS = ["nested", "int_against_float", "only_int_against_float", "not_containers", "found_by_nothing_but_eq",
         "too_big_to_compare", "strict_helper", "list_tail", "sets", "top_sets", "dataclasses", "top_dataclasses",
         "dataclass_classes", "objects", "long_strings", "many", "inserted", "inserted_among_numbers_equal_to_python",
         "deleted_and_changed"]

class Failing:
    """The tests of FAILING in a pytester folder, run one at a time."""

    def __init__(self, pytester):
        self.pytester = pytester
        self.path = pytester.makepyfile(test_failing=FAILING)

    def run(self, test=None, *args):
        target = str(self.path) if test is None else f"{self.path}::test_{test}"
        return self.pytester.runpytest_inprocess(target, *args)


@pytest.fixture
def failing(pytester, monkeypatch):
    for name in ("CI", "BUILD_NUMBER"):  # pytest does not shorten explanations on CI
        monkeypatch.delenv(name, raising=False)
    return Failing(pytester)


def _explanation(result):
    # pytest writes the first line with the exception's name, or without it, as the length of what
    # follows decides.
    return [line[1:].strip().removeprefix("AssertionError: ") for line in result.outlines if line.startswith("E ")]


@pytest.mark.parametrize("verbosity", ["-q", "-v"])
@pytest.mark.parametrize("test", TESTS)
def test_pytest_keeps_all_it_shows(failing, test, verbosity):
    # Every line pytest shows alone is shown with the section too, in its order; but the start
    # of -v's full diff, which pytest cuts after a line or two anyway (-vv shows it whole).
    alone = _explanation(failing.run(test, verbosity, "-p", "no:corvane"))
    alone = iter(alone[: next((i for i, line in enumerate(alone) if line.startswith("Full diff:")), len(alone))])
    shown = _explanation(failing.run(test, verbosity))
    missing = [line for line in alone if line not in shown]
    assert missing in ([], ["...Full output truncated, use '-vv' to show"], [""]), (missing, shown)


@pytest.mark.parametrize("test, lines", [
    ("list_tail", ["At index 10 diff: 10 != 99", "Right contains one more item: 12",
                   "corvane: 2 differences by JSON pointer:", "/10: changed 10 -> 99", "/12: inserted 12",
                   "Use -v to get more diff"]),
    # One line for an item inserted into a list of 40, below pytest's own: not a shift of every item after it.
    ("inserted", ["At index 10 diff: {'id': 10, 'text': 'status 10'} != {'id': 99, 'text': 'new'}",
                  "Right contains one more item: {'id': 39, 'text': 'status 39'}",
                  "corvane: 1 difference by JSON pointer:", '/10: inserted {"id": 99, "text": "new"}',
                  "Use -v to get more diff"]),
    ("inserted_among_numbers_equal_to_python", ["corvane: 1 difference by JSON pointer:", "/10: inserted 99.5",
                                                "Use -v to get more diff"]),
    ("deleted_and_changed", ["corvane: 2 differences by JSON pointer:", '/3: deleted {"id": 3, "n": [3, 3]}',
                             "/21/n/1: changed 21 -> true"]),
    ("too_big_to_compare", ["corvane: 1 difference by JSON pointer:",
                            "/n: changed …62602522202993782792835301376 -> …62602522202993782792835301377"]),
    ("sets", ["corvane: 2 differences by JSON pointer:", "/tags: removed member 3", "/tags: added member 4"]),
    ("top_sets", ["Extra items in the right set:", "4", "corvane: 2 differences by JSON pointer:",
                  "(root): removed member 3", "(root): added member 4", "Use -v to get more diff"]),
    ("dataclasses", ["corvane: 1 difference by JSON pointer:", "/0/y/1: changed 2 -> 3"]),  # note= is not compared
    ("dataclass_classes", ["corvane: 1 difference by JSON pointer:",
                           "/p: type changed P(x=1, y=[1], note='') -> Q(x=1, y=[1])"]),
    ("objects", ["corvane: 1 difference by JSON pointer:", "/d: changed Decimal('1.5') -> Decimal('2.5')"]),
    ("long_strings", ["corvane: 2 differences by JSON pointer:", '/s: changed …xxxxxxxxxxA" -> …xxxxxxxxxxB"',
                      "/n: changed 1 -> 2"]),
    ("many", ["corvane: 19 differences by JSON pointer (4 shown, -vv shows all):", "/user/k1: changed 1 -> -1"]),
    ("top_dataclasses", ["x: 1 != 2", "corvane: 1 difference by JSON pointer:", "/x: changed 1 -> 2"]),
])
def test_the_section(failing, test, lines):
    shown = _explanation(failing.run(test))
    start = shown.index(lines[0])
    assert shown[start : start + len(lines)] == lines


def test_the_section_gives_way_to_pytest(failing):
    # pytest's own lines fill what it shows: the section is its heading alone.
    shown = _explanation(failing.run("nested"))
    assert "corvane: 13 differences by JSON pointer (-vv shows them):" in shown
    assert "Right contains 1 more item:" in shown


def test_complete_with_vv(failing):
    result = failing.run("nested", "-vv")
    lines = [line.split("E   ", 1)[1].strip() for line in result.outlines if line.startswith("E   ")]
    start = lines.index("corvane: 13 differences by JSON pointer:")
    assert lines[start + 1 : start + 14] == [
        '/user/name: changed "Ada" -> "Ada L."',
        "/user/ids/2: deleted 3",
        "/n: changed 1 -> 2",
        *[f"/s/{i}: changed 0 -> 1" for i in range(9)],
        "/x: added null",
    ]
    assert "Differing items:" in lines  # pytest's own explanation stays


@pytest.mark.parametrize("test", ["only_int_against_float", "not_containers", "found_by_nothing_but_eq"])
def test_left_to_pytest(failing, test):
    with_plugin = failing.run(test)
    without = failing.run(test, "-p", "no:corvane")
    with_plugin.assert_outcomes(failed=1)
    assert "corvane:" not in with_plugin.stdout.str()
    assert [line for line in with_plugin.outlines if line.startswith("E ")] == \
           [line for line in without.outlines if line.startswith("E ")]


def test_int_against_float_is_no_cause(failing):
    result = failing.run("int_against_float")
    result.stdout.fnmatch_lines(["E * corvane: 1 difference by JSON pointer:", "E * /b: changed 1 -> 2"])
    result.stdout.no_fnmatch_line("*/a/*")


def test_strict_helper(failing):
    result = failing.run("strict_helper")
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines(["E * the two differ:", "E * /v: type changed 1 -> 1.0", "E * 1 difference"])


def test_disabled(failing):
    result = failing.run(None, "-p", "no:corvane")
    result.assert_outcomes(failed=len(TESTS))
    assert "corvane:" not in result.stdout.str()
    result.stdout.fnmatch_lines(["*Differing items:*"])


def test_demo_example_fails_as_shown(pytester, monkeypatch):
    monkeypatch.delenv("CI", raising=False)
    result = pytester.runpytest_inprocess(str(DEMO), "-p", "no:cacheprovider")
    result.assert_outcomes(failed=2)
    result.stdout.fnmatch_lines([
        "E * corvane: 4 differences by JSON pointer (1 shown, -vv shows all):",
        'E * /order/status: changed "shipped" -> "paid"',
        "E * AssertionError: the two differ:",
        "E * /lines/0/qty: type changed 2.0 -> 2",
    ], consecutive=False)
