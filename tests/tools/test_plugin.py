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
"""

SHORT = [
    "*corvane: 13 differences by JSON pointer (4 shown, -vv shows all):",
    '*/user/name: changed "Ada" -> "Ada L."',
    "*/user/ids: length changed 3 -> 2 items",
    "*  /user/ids/2: removed 3",
    "*/n: changed 1 -> 2",
    "*/s/0: changed 0 -> 1",
]


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


@pytest.mark.parametrize("verbosity", ["-q", "-v"])
def test_shortened_below_vv(failing, verbosity):
    result = failing.run("nested", verbosity)
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines(SHORT, consecutive=False)
    result.stdout.no_fnmatch_line("*/user/score*")  # 1.0 == 1
    result.stdout.no_fnmatch_line("*/user/ok*")  # True == 1


def test_complete_with_vv(failing):
    result = failing.run("nested", "-vv")
    lines = [line.split("E   ", 1)[1].strip() for line in result.outlines if line.startswith("E   ")]
    start = lines.index("corvane: 13 differences by JSON pointer:")
    assert lines[start + 1 : start + 15] == [
        '/user/name: changed "Ada" -> "Ada L."',
        "/user/ids: length changed 3 -> 2 items",
        "/user/ids/2: removed 3",
        "/n: changed 1 -> 2",
        *[f"/s/{i}: changed 0 -> 1" for i in range(9)],
        "/x: added null",
    ]
    assert "Differing items:" in lines  # pytest's own explanation stays


@pytest.mark.parametrize("test", ["only_int_against_float", "not_containers", "found_by_nothing_but_eq",
                                  "too_big_to_compare"])
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
    result.assert_outcomes(failed=7)
    assert "corvane:" not in result.stdout.str()
    result.stdout.fnmatch_lines(["*Differing items:*"])


def test_demo_example_fails_as_shown(pytester, monkeypatch):
    monkeypatch.delenv("CI", raising=False)
    result = pytester.runpytest_inprocess(str(DEMO), "-p", "no:cacheprovider")
    result.assert_outcomes(failed=2)
    result.stdout.fnmatch_lines([
        "E * corvane: 4 differences by JSON pointer:",
        'E * /order/status: changed "shipped" -> "paid"',
        "E * /lines: length changed 3 -> 2 items",
        "E * AssertionError: the two differ:",
        "E * /lines/0/qty: type changed 2.0 -> 2",
    ], consecutive=False)
