"""corvane-diff's inputs and options: formats through the installed script, the JSON loaders'
agreement, colour, filters from the command line, failures that name their place."""

import json
import subprocess

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import SCRIPT
from corvane_report.cli import main
from corvane_report.inputs import fast_json, parse_json

pytestmark = pytest.mark.skipif(not SCRIPT.exists(), reason="corvane-diff is not installed beside this interpreter")


def script(*argv, stdin=None):
    proc = subprocess.run([SCRIPT, *map(str, argv)], input=stdin, capture_output=True, text=True, timeout=60)
    return proc.returncode, proc.stdout, proc.stderr


MANIFESTS = """\
kind: Service
metadata: {name: web}
---
kind: Deployment
metadata: {name: web}
spec: {replicas: 2, image: "web:1.0"}
"""


@pytest.mark.parametrize("first, second, options, expected", [
    (("a.yaml", MANIFESTS), ("b.yaml", MANIFESTS.replace("replicas: 2", "replicas: 3") + "---\nkind: Ingress\n"), [],
     "/1/spec/replicas: changed 2 -> 3\n(root): length changed 2 -> 3 items\n  /2: added {\"kind\": \"Ingress\"}\n"
     "2 differences\n"),
    (("a.yaml", "kind: Service\n"), ("b.yml", MANIFESTS), [],  # one document against several: a list of one
     "/0/metadata: added {\"name\": \"web\"}\n(root): length changed 1 -> 2 items\n"
     "  /1: added {\"kind\": \"Deployment\", \"metadata\": {\"name\": \"web\"}, \"spec\":…\n2 differences\n"),
    (("pyproject.toml", '[project]\nname = "x"\nversion = "1"\nreleased = 2024-01-02\n[tool.x]\nn = 1\n'),
     ("new.toml", '[project]\nname = "x"\nversion = "2"\nreleased = 2024-01-02\n[tool.x]\nn = 1.0\n'), [],
     '/project/version: changed "1" -> "2"\n/tool/x/n: type changed 1 -> 1.0\n2 differences\n'),
    (("rows.jsonl", '{"id": 1, "v": "a"}\n\n{"id": 2, "v": "b"}\n'), ("rows.ndjson", '{"id": 1, "v": "a"}\n{"id": 2, "v": "c"}\n'),
     [], '/1/v: changed "b" -> "c"\n1 difference\n'),
    (("rows.txt", '{"id": 1}\n{"id": 2}\n'), ("rows2.txt", '{"id": 1}\n'), ["--format", "jsonl"],
     '(root): length changed 2 -> 1 items\n  /1: removed {"id": 2}\n1 difference\n'),
])
def test_formats(write, first, second, options, expected):
    assert script(*options, write(*first), write(*second)) == (1, expected, "")


def test_standard_input(write):
    a = write("a.json", {"k": [1, 2]})
    assert script(a, "-", stdin='{"k": [1, 3]}') == (1, "/k/1: changed 2 -> 3\n1 difference\n", "")
    assert script("--format", "yaml", "-", a, stdin="k: [1, 2]\n") == (0, "no differences\n", "")
    assert script("-", "-", stdin="1")[0::2] == (2, "corvane-diff: -: standard input can be read for one of the two documents only\n")


def test_directories(tmp_path, write):
    for side, files in {"old": {"app.json": {"v": 1}, "db/pool.yaml": "max: 20\n", "same.toml": "a = 1\n",
                                "gone.json": {}, "notes.md": "text"},
                        "new": {"app.json": {"v": 2}, "db/pool.yaml": "max: 32\n", "same.toml": "a = 1\n",
                                "extra.jsonl": "{}\n", "notes.md": "other"}}.items():
        for name, content in files.items():
            (tmp_path / side / name).parent.mkdir(parents=True, exist_ok=True)
            write(f"{side}/{name}", content)
    old, new = tmp_path / "old", tmp_path / "new"
    assert script("-r", old, new) == (1, "\n".join([
        f"only in {old}: gone.json",
        f"only in {new}: extra.jsonl",
        "--- app.json", "/v: changed 1 -> 2", "1 difference",
        "--- db/pool.yaml", "/max: changed 20 -> 32", "1 difference",
        f"2 of 3 files differ; 1 only in {old}, 1 only in {new}",
    ]) + "\n", "")
    status, out, _ = script("-r", "--json", "--ignore", "/max", old, new)
    assert (status, json.loads(out)["only_in_first"], list(json.loads(out)["files"])) == (1, ["gone.json"], ["app.json"])
    assert script("-r", old, old)[:2] == (0, f"0 of 4 files differ; 0 only in {old}, 0 only in {old}\n")
    assert script(old, new)[0::2] == (2, f"corvane-diff: {old}: is a directory (compare two directories with -r)\n")


# --- options, in-process ----------------------------------------------------------------------------


def run(capsys, *argv):
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def test_colour(capsys, write, monkeypatch):
    a, b = write("a.json", {"x": 1, "y": [1]}), write("b.json", {"x": 2, "y": []})
    coloured = '\x1b[33m/x: changed 1 -> 2\x1b[0m\n\x1b[36m/y: length changed 1 -> 0 items\x1b[0m\n  \x1b[31m/y/0: removed 1\x1b[0m\n'
    assert run(capsys, "--color", "always", a, b)[1] == coloured + "2 differences\n"
    monkeypatch.setattr("sys.stdout.isatty", lambda: True)
    assert run(capsys, a, b)[1] == coloured + "2 differences\n"  # auto, on a terminal
    monkeypatch.setenv("NO_COLOR", "1")
    assert "\x1b" not in run(capsys, a, b)[1]
    assert "\x1b" not in run(capsys, "--color", "never", a, b)[1]


def test_filter_options(capsys, write):
    a = write("a.json", {"id": 1, "at": "10:00", "meta": {"seen": 1.0, "tags": [1]}})
    b = write("b.json", {"id": 1, "at": "10:05", "meta": {"seen": 1.0000001, "tags": [1, 2]}})
    patterns = write("ignore.txt", "# volatile fields\n/at\n\n  /meta/tags  \n")
    assert run(capsys, "--ignore-file", patterns, "--float-tolerance", "abs=1e-6,rel=0", a, b) == (0, "no differences\n", "")
    assert run(capsys, "--only", "/meta/tags", a, b)[0:2] == (1, "/meta/tags: length changed 1 -> 2 items\n  /meta/tags/1: added 2\n1 difference\n")


@pytest.mark.parametrize("argv, message", [
    (["--ignore", "no-slash"], "argument --ignore: a JSON pointer starts with '/'"),
    (["--float-tolerance", "-1"], "argument --float-tolerance: expected X, rel=X or abs=X,rel=Y"),
    (["--float-tolerance", "tol=1"], "argument --float-tolerance: expected X"),
    (["--ignore-file", "/nonexistent/x"], "argument --ignore-file: /nonexistent/x: No such file or directory"),
    (["--max", "-1"], "argument --max: expected a whole number >= 0, not '-1'"),
])
def test_bad_options(capsys, argv, message):
    with pytest.raises(SystemExit) as stop:
        main([*argv, "a.json", "b.json"])
    assert stop.value.code == 2 and message in capsys.readouterr().err


@pytest.mark.parametrize("first, second, where", [
    ('{"a": [1, {"n": 2' + "0" * 40 + '}]}', '{"a": [1, {"n": 3}]}', "/a/1/n in {a}"),
    ('{"a": [1, {"n": 3}]}', '{"a": [1, {"n": -2' + "0" * 40 + '}]}', "/a/1/n in {b}"),
    ('{"ok": 1, "s": {"k": "\\udc00"}}', '{"ok": 1, "s": {"k": "x"}}', "/s/k in {a}"),
])
def test_failure_names_the_place(capsys, write, first, second, where):
    a, b = write("a.json", first), write("b.json", second)
    status, out, err = run(capsys, a, b)
    assert (status, out) == (2, "")
    assert err.startswith(f"corvane-diff: cannot compare {a} with {b}: ")
    assert err.endswith(f" at {where.format(a=a, b=b)}\n")


# --- the JSON loaders -------------------------------------------------------------------------------

needs_fast = pytest.mark.skipif(fast_json() is None, reason="msgspec is not installed")

EDGES = [b"[1, -0, 1.0, -0.0, 1e2, 1E-2, 0.1000000000000000055511151231257827]",
         b"[18446744073709551616, -9223372036854775809, " + b"7" * 60 + b"]",
         b'{"a": 1, "b": 2, "a": 3}', b"[NaN, Infinity, -Infinity]", b"[1e400, -1e400, 1e-400]",
         b'["\\ud800", "\\udc00x", "\\ud83d\\ude00"]', b'{"\\ud800": 1}', b"\xef\xbb\xbf[1]", b"[" * 3000 + b"]" * 3000]


@needs_fast
@pytest.mark.parametrize("data", EDGES, ids=range(len(EDGES)))
def test_fast_loader_agrees_with_the_standard_library(data):
    assert repr(parse_json("x.json", data)) == repr(json.loads(data.decode("utf-8-sig")))


JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**200), 2**200) | st.floats() | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=3), inner, max_size=4),
    max_leaves=15)


@needs_fast
@given(JSON_VALUES)
def test_fast_loader_agrees_on_any_document(value):
    data = json.dumps(value, ensure_ascii=False).encode("utf-8", "surrogatepass")
    assert repr(parse_json("x.json", data)) == repr(json.loads(data.decode("utf-8", "surrogatepass")))
