"""corvane-diff, the command-line diff of two JSON or YAML documents."""

import json
import os
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

from corvane_report.cli import main
from corvane_report.report import json_pointer, shorten

DATA = Path(__file__).resolve().parents[2] / "examples" / "data"
BEFORE, AFTER = str(DATA / "before.json"), str(DATA / "after.json")

# Grouped by kind (--by-kind).
DEMO_REPORT = """\
changed (5):
  /version: "2.3.1" -> "2.4.0"
  /timeout_s: 2.5 -> 3.0
  /features/checkout_v2: false -> true
  /owners/0/email: "ada@example.org" -> "ada@example.com"
  /database/pool/max: 20 -> 32
type changed (2):
  /replicas: 3 -> "3"
  /notes: null -> "moved to the new cluster"
added (1):
  /features/dark_mode: false
removed (1):
  /features/beta_banner: true
length changed (2):
  /regions: 2 -> 3 items
    /regions/2: added "ap-south"
  /retry/backoff_ms: 3 -> 4 items
    /retry/backoff_ms/3: added 800
11 differences
"""

# The default: in the order of the walk, the items a longer list adds under its length change.
LOCATION_REPORT = """\
/version: changed "2.3.1" -> "2.4.0"
/replicas: type changed 3 -> "3"
/timeout_s: changed 2.5 -> 3.0
/features/checkout_v2: changed false -> true
/features/beta_banner: removed true
/features/dark_mode: added false
/regions: length changed 2 -> 3 items
  /regions/2: added "ap-south"
/owners/0/email: changed "ada@example.org" -> "ada@example.com"
/database/pool/max: changed 20 -> 32
/retry/backoff_ms: length changed 3 -> 4 items
  /retry/backoff_ms/3: added 800
/notes: type changed null -> "moved to the new cluster"
11 differences
"""


def run(capsys, *argv):
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def write(tmp_path, name, content):
    path = tmp_path / name
    path.write_bytes(content.encode() if isinstance(content, str) else content)
    return path


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
])
def test_shorten(value, text):
    assert shorten(value, 20) == text


def test_shorten_encodes_no_more_than_it_shows():
    class Counting(list):
        served = 0

        def __iter__(self):
            for item in super().__iter__():
                Counting.served += 1
                yield item

    assert shorten(Counting(range(100_000)), 30).endswith("…")
    assert Counting.served < 30


def test_demo_report(capsys):
    assert run(capsys, BEFORE, AFTER) == (1, LOCATION_REPORT, "")
    assert run(capsys, "--by-kind", BEFORE, AFTER) == (1, DEMO_REPORT, "")


def test_equal_documents(capsys, tmp_path):
    reordered = write(tmp_path, "b.json", json.dumps(dict(reversed(json.loads(Path(BEFORE).read_text()).items()))))
    assert run(capsys, BEFORE, reordered) == (0, "no differences\n", "")


def test_json_report(capsys):
    status, out, err = run(capsys, "--json", BEFORE, AFTER)
    report = json.loads(out)
    assert (status, err) == (1, "")
    assert list(report) == ["val_changes", "type_and_val_changes", "dict_items_added",
                            "dict_items_removed", "iter_len_mismatch"]
    assert report["val_changes"][0] == {"path": "/version", "a": "2.3.1", "b": "2.4.0"}
    assert report["dict_items_added"] == [{"path": "/features/dark_mode", "value": False}]
    assert report["iter_len_mismatch"][0] == {"path": "/regions", "a_len": 2, "b_len": 3}
    assert sum(map(len, report.values())) == 11
    assert run(capsys, "--json", BEFORE, BEFORE)[0] == 0


def test_json_report_keeps_values_whole(capsys, tmp_path):
    big = {"k": list(range(500))}
    a, b = write(tmp_path, "a.json", "{}"), write(tmp_path, "b.json", json.dumps(big))
    status, out, _ = run(capsys, "--json", a, b)
    assert json.loads(out)["dict_items_added"] == [{"path": "/k", "value": big["k"]}]
    assert "…" in run(capsys, a, b)[1]


@pytest.mark.parametrize("first, second, status", [(BEFORE, AFTER, 1), (BEFORE, BEFORE, 0)])
def test_quiet(capsys, first, second, status):
    assert run(capsys, "-q", first, second) == (status, "", "")


def test_width(capsys, tmp_path):
    a, b = write(tmp_path, "a.json", '["' + "a" * 50 + '"]'), write(tmp_path, "b.json", '["' + "b" * 50 + '"]')
    assert run(capsys, "--width", 10, a, b)[1].splitlines()[0] == '/0: changed "aaaaaaaa… -> "bbbbbbbb…'
    assert run(capsys, "--width", 1, a, b)[1].splitlines()[0] == '/0: changed "aaaaaa… -> "bbbbbb…'  # 8 at least


def test_root_and_item_paths(capsys, tmp_path):
    a, b = write(tmp_path, "a.json", "1"), write(tmp_path, "b.json", '"1"')
    assert run(capsys, a, b)[1].splitlines()[0] == '(root): type changed 1 -> "1"'
    a, b = write(tmp_path, "a.json", '{"a/b": {}}'), write(tmp_path, "b.json", '{"a/b": {"~": 1}}')
    assert run(capsys, a, b)[1].splitlines()[0] == "/a~1b/~0: added 1"


def test_version(capsys):
    with pytest.raises(SystemExit) as stop:
        main(["--version"])
    assert stop.value.code == 0
    assert capsys.readouterr().out == f"corvane-diff {metadata.version('corvane')}\n"


@pytest.mark.parametrize("content, message", [
    (None, "{f}: cannot read: No such file or directory"),
    ('{"a": [1,\n  2,,]}', "{f}:2:5: invalid JSON: Expecting value"),
    ("", "{f}:1:1: invalid JSON: Expecting value"),
    (b'{"a": "\xff"}', "{f}: not UTF-8 text (bad byte at offset 7)"),
    ("[" + "1" * 5000 + "]", "{f}: invalid JSON: Exceeds the limit"),
])
def test_unreadable_input(capsys, tmp_path, content, message):
    bad = tmp_path / "bad.json" if content is None else write(tmp_path, "bad.json", content)
    status, out, err = run(capsys, BEFORE, bad)
    assert (status, out) == (2, "")
    assert err.startswith("corvane-diff: " + message.format(f=bad))
    assert err.count("\n") == 1


def test_bom_is_accepted(capsys, tmp_path):
    assert run(capsys, BEFORE, write(tmp_path, "b.json", b"\xef\xbb\xbf" + Path(BEFORE).read_bytes()))[0] == 0


@pytest.mark.parametrize("value, reason", [
    ("2" + "0" * 40, "OverflowError('Python int larger than 128 bits')"),
    ('"\\ud800"', "UnicodeEncodeError("),
])
def test_comparison_failure(capsys, tmp_path, value, reason):
    doc = write(tmp_path, "a.json", f"[{value}]")
    status, out, err = run(capsys, doc, doc)
    assert (status, out) == (2, "")
    # One line of ours; the module's own diagnostic is held back.
    assert err.startswith(f"corvane-diff: cannot compare {doc} with {doc}: {reason}")
    assert err.count("\n") == 1


def test_argument_errors(capsys):
    with pytest.raises(SystemExit) as stop:
        main([BEFORE])
    assert stop.value.code == 2
    assert "required: second" in capsys.readouterr().err


try:
    import yaml
except ImportError:  # PyYAML is optional
    yaml = None


@pytest.mark.skipif(yaml is None, reason="PyYAML is not installed")
class TestYaml:
    def test_yaml_against_json(self, capsys, tmp_path):
        doc = write(tmp_path, "a.yaml", yaml.safe_dump(json.loads(Path(AFTER).read_text())))
        assert run(capsys, BEFORE, doc) == (1, LOCATION_REPORT, "")

    def test_dates_stay_text(self, capsys, tmp_path):
        a = write(tmp_path, "a.yml", "day: 2024-01-02\nat: 2024-01-02 10:00:00\n")
        b = write(tmp_path, "b.yml", "day: 2024-01-03\nat: 2024-01-02 10:00:00\n")
        assert run(capsys, a, a)[0] == 0
        assert run(capsys, a, b)[1].splitlines()[0] == '/day: changed "2024-01-02" -> "2024-01-03"'

    def test_invalid_yaml(self, capsys, tmp_path):
        bad = write(tmp_path, "bad.yaml", "a: [1, 2\nb: 3\n")
        assert run(capsys, bad, bad) == (2, "", f"corvane-diff: {bad}:2:2: invalid YAML: did not find expected ',' or ']'\n")


def test_yaml_without_pyyaml(capsys, tmp_path):
    doc = write(tmp_path, "a.yaml", "a: 1\n")
    with pytest.MonkeyPatch.context() as patch:  # undone on every run, also when repeated
        patch.setitem(sys.modules, "yaml", None)
        result = run(capsys, doc, doc)
    assert result == (2, "", f"corvane-diff: {doc}: reading YAML needs the PyYAML package (pip install pyyaml)\n")


@pytest.mark.no_leak_check  # slow when repeated on a debug interpreter; the small cases cover leaks
def test_large_documents(capsys, tmp_path):
    rows = [{"id": i, "name": f"n{i}", "tags": ["x"] * (i % 3), "blob": "y" * 100} for i in range(20_000)]
    a = write(tmp_path, "a.json", json.dumps(rows))
    for row in rows[::2]:
        row["name"] += "!"
        row["blob"] = row["blob"] * 10
    b = write(tmp_path, "b.json", json.dumps(rows))
    status, out, _ = run(capsys, a, b)
    lines = out.splitlines()
    assert (status, lines[0], lines[-1], len(lines)) == (1, '/0/name: changed "n0" -> "n0!"', "20000 differences", 20001)
    assert max(map(len, lines)) < 160


# The installed console script, as a user runs it.
SCRIPT = Path(sys.executable).parent / "corvane-diff"


@pytest.mark.no_leak_check
@pytest.mark.skipif(not SCRIPT.exists(), reason="corvane-diff is not installed beside this interpreter")
def test_installed_script():
    proc = subprocess.run([SCRIPT, BEFORE, AFTER], capture_output=True, text=True, timeout=60, cwd="/")
    assert (proc.returncode, proc.stdout, proc.stderr) == (1, LOCATION_REPORT, "")
    # A reader that stops early ends the report quietly, without a traceback.
    big = subprocess.run(f"{SCRIPT} {BEFORE} {AFTER} | head -1", shell=True, capture_output=True, text=True,
                         timeout=60, env={**os.environ, "PYTHONUNBUFFERED": "1"})
    assert (big.stdout, big.stderr) == ('/version: changed "2.3.1" -> "2.4.0"\n', "")
