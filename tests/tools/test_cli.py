"""corvane-diff: the report of two documents and its options, two directories, the sub-commands
and the installed script. (corvane-diff rows is tested with the rows, in test_rows.py.)"""

import gzip
import json
import os
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

from conftest import SCRIPT, needs_script, script
from corvane_report.cli import main

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
inserted (2):
  /regions/2: "ap-south"
  /retry/backoff_ms/3: 800
11 differences
"""

DEMO_REPORT_PYTHON = """\
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

# The default: in the order of the walk, an item inserted into a list at its position.
LOCATION_REPORT = """\
/version: changed "2.3.1" -> "2.4.0"
/replicas: type changed 3 -> "3"
/timeout_s: changed 2.5 -> 3.0
/features/checkout_v2: changed false -> true
/features/beta_banner: removed true
/features/dark_mode: added false
/regions/2: inserted "ap-south"
/owners/0/email: changed "ada@example.org" -> "ada@example.com"
/database/pool/max: changed 20 -> 32
/retry/backoff_ms/3: inserted 800
/notes: type changed null -> "moved to the new cluster"
11 differences
"""

# corvane's own rules: the items a longer list adds under its length change.
LOCATION_REPORT_PYTHON = """\
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


def test_demo_report(capsys):
    assert run(capsys, BEFORE, AFTER) == (1, LOCATION_REPORT, "")
    assert run(capsys, "--by-kind", BEFORE, AFTER) == (1, DEMO_REPORT, "")
    assert run(capsys, "--rules", "python", BEFORE, AFTER) == (1, LOCATION_REPORT_PYTHON, "")
    assert run(capsys, "--rules", "python", "--by-kind", BEFORE, AFTER) == (1, DEMO_REPORT_PYTHON, "")


def test_equal_documents(capsys, write):
    reordered = write("b.json", json.dumps(dict(reversed(json.loads(Path(BEFORE).read_text()).items()))))
    assert run(capsys, BEFORE, reordered) == (0, "no differences\n", "")


def test_json_report(capsys):
    status, out, err = run(capsys, "--json", BEFORE, AFTER)
    report = json.loads(out)
    assert (status, err) == (1, "")
    assert list(report) == ["val_changes", "type_and_val_changes", "dict_items_added", "dict_items_removed",
                            "iter_len_mismatch", "list_items_inserted", "list_items_deleted", "unaligned"]
    assert report["val_changes"][0] == {"path": "/version", "a": "2.3.1", "b": "2.4.0"}
    assert report["dict_items_added"] == [{"path": "/features/dark_mode", "value": False}]
    assert report["list_items_inserted"][0] == {"path": "/regions/2", "value": "ap-south"}
    assert sum(map(len, report.values())) == 11
    assert run(capsys, "--json", BEFORE, BEFORE)[0] == 0
    report = json.loads(run(capsys, "--json", "--rules", "python", BEFORE, AFTER)[1])
    assert report["iter_len_mismatch"][0] == {"path": "/regions", "a_len": 2, "b_len": 3}
    assert sum(map(len, report.values())) == 11


def test_json_report_keeps_values_whole(capsys, write):
    big = {"k": list(range(500))}
    a, b = write("a.json", "{}"), write("b.json", json.dumps(big))
    status, out, _ = run(capsys, "--json", a, b)
    assert json.loads(out)["dict_items_added"] == [{"path": "/k", "value": big["k"]}]
    assert "…" in run(capsys, a, b)[1]


@pytest.mark.parametrize("first, second, status", [(BEFORE, AFTER, 1), (BEFORE, BEFORE, 0)])
def test_quiet(capsys, first, second, status):
    assert run(capsys, "-q", first, second) == (status, "", "")


def test_width(capsys, write):
    a, b = write("a.json", '["' + "a" * 50 + '"]'), write("b.json", '["' + "b" * 50 + '"]')
    assert run(capsys, "--width", 10, a, b)[1].splitlines()[0] == '/0: changed "aaaaaaaa… -> "bbbbbbbb…'
    assert run(capsys, "--width", 1, a, b)[1].splitlines()[0] == '/0: changed "aaaaaa… -> "bbbbbb…'  # 8 at least


def test_root_and_item_paths(capsys, write):
    a, b = write("a.json", "1"), write("b.json", '"1"')
    assert run(capsys, a, b)[1].splitlines()[0] == '(root): type changed 1 -> "1"'
    a, b = write("a.json", '{"a/b": {}}'), write("b.json", '{"a/b": {"~": 1}}')
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
def test_unreadable_input(capsys, write, tmp_path, content, message):
    bad = tmp_path / "bad.json" if content is None else write("bad.json", content)
    status, out, err = run(capsys, BEFORE, bad)
    assert (status, out) == (2, "")
    assert err.startswith("corvane-diff: " + message.format(f=bad))
    assert err.count("\n") == 1


def test_bom_is_accepted(capsys, write):
    assert run(capsys, BEFORE, write("b.json", b"\xef\xbb\xbf" + Path(BEFORE).read_bytes()))[0] == 0


@pytest.mark.parametrize("value, reason", [
    ("2" + "0" * 40, "OverflowError('Python int larger than 128 bits')"),
    ('"\\ud800"', "UnicodeEncodeError("),
])
def test_comparison_failure(capsys, write, value, reason):
    doc = write("a.json", f"[{value}]")
    status, out, err = run(capsys, "--rules", "python", doc, doc)
    assert (status, out) == (2, "")
    # One line of ours; the module's own diagnostic is held back.
    assert err.startswith(f"corvane-diff: cannot compare {doc} with {doc}: {reason}")
    assert err.count("\n") == 1
    assert run(capsys, doc, doc) == (0, "no differences\n", "")  # the data rules compare them exactly


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
    def test_yaml_against_json(self, capsys, write):
        doc = write("a.yaml", yaml.safe_dump(json.loads(Path(AFTER).read_text())))
        assert run(capsys, BEFORE, doc) == (1, LOCATION_REPORT, "")

    def test_invalid_yaml(self, capsys, write):
        bad = write("bad.yaml", "a: [1, 2\nb: 3\n")
        assert run(capsys, bad, bad) == (2, "", f"corvane-diff: {bad}:2:2: invalid YAML: did not find expected ',' or ']'\n")


def test_yaml_without_pyyaml(capsys, write):
    doc = write("a.yaml", "a: 1\n")
    with pytest.MonkeyPatch.context() as patch:  # undone on every run, also when repeated
        patch.setitem(sys.modules, "yaml", None)
        result = run(capsys, doc, doc)
    assert result == (2, "", f"corvane-diff: {doc}: reading YAML needs the PyYAML package (pip install pyyaml)\n")


@pytest.mark.no_leak_check  # slow when repeated on a debug interpreter; the small cases cover leaks
def test_large_documents(capsys, write):
    rows = [{"id": i, "name": f"n{i}", "tags": ["x"] * (i % 3), "blob": "y" * 100} for i in range(20_000)]
    a = write("a.json", json.dumps(rows))
    for row in rows[::2]:
        row["name"] += "!"
        row["blob"] = row["blob"] * 10
    b = write("b.json", json.dumps(rows))
    status, out, _ = run(capsys, a, b)
    lines = out.splitlines()
    assert (status, lines[0], lines[-1], len(lines)) == (1, '/0/name: changed "n0" -> "n0!"', "20000 differences", 20001)
    assert max(map(len, lines)) < 160


# --- options ---------------------------------------------------------------------------------------


def test_colour(capsys, write, monkeypatch):
    a, b = write("a.json", {"x": 1, "y": [1], "z": [0]}), write("b.json", {"x": 2, "y": [], "z": [0, 3]})
    coloured = ('\x1b[33m/x: changed 1 -> 2\x1b[0m\n\x1b[31m/y/0: deleted 1\x1b[0m\n'
                '\x1b[32m/z/1: inserted 3\x1b[0m\n')
    assert run(capsys, "--color", "always", a, b)[1] == coloured + "3 differences\n"
    python = ('\x1b[33m/x: changed 1 -> 2\x1b[0m\n\x1b[36m/y: length changed 1 -> 0 items\x1b[0m\n'
              '  \x1b[31m/y/0: removed 1\x1b[0m\n\x1b[36m/z: length changed 1 -> 2 items\x1b[0m\n'
              '  \x1b[32m/z/1: added 3\x1b[0m\n')
    assert run(capsys, "--color", "always", "--rules", "python", a, b)[1] == python + "3 differences\n"
    monkeypatch.setattr("sys.stdout.isatty", lambda: True)
    assert run(capsys, a, b)[1] == coloured + "3 differences\n"  # auto, on a terminal
    monkeypatch.setenv("NO_COLOR", "1")
    assert "\x1b" not in run(capsys, a, b)[1]
    assert "\x1b" not in run(capsys, "--color", "never", a, b)[1]


def test_filter_options(capsys, write):
    a = write("a.json", {"id": 1, "at": "10:00", "meta": {"seen": 1.0, "tags": [1]}})
    b = write("b.json", {"id": 1, "at": "10:05", "meta": {"seen": 1.0000001, "tags": [1, 2]}})
    patterns = write("ignore.txt", "# volatile fields\n/at\n\n  /meta/tags  \n")
    assert run(capsys, "--ignore-file", patterns, "--float-tolerance", "abs=1e-6,rel=0", a, b) == (0, "no differences\n", "")
    assert run(capsys, "--only", "/meta/tags", a, b)[0:2] == (1, "/meta/tags/1: inserted 2\n1 difference\n")
    assert run(capsys, "--only", "/**/tags", a, b)[0:2] == (1, "/meta/tags/1: inserted 2\n1 difference\n")
    assert run(capsys, "--rules", "python", "--only", "/**/tags", a, b)[0:2] == (
        1, "/meta/tags: length changed 1 -> 2 items\n  /meta/tags/1: added 2\n1 difference\n")
    assert run(capsys, "--only", "/at/x", a, b)[0:2] == (0, "no differences\n")  # nothing below a changed string
    assert run(capsys, "--ignore", "/meta/tags/*", "--ignore", "/at", "--ignore", "/meta/seen", a, b)[0:2] == (0, "no differences\n")


@pytest.mark.parametrize("argv, message", [
    (["--ignore", "no-slash"], "argument --ignore: a pattern is a JSON pointer, starting with '/'"),
    (["--only", "/a~2b"], "argument --only: '~' in a pattern is written '~0', '/' in a key '~1'"),
    (["--only", "/users/[0]"], "argument --only: a position in a pattern is a plain number (/items/0)"),
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
    status, out, err = run(capsys, "--rules", "python", a, b)
    assert (status, out) == (2, "")
    assert err.startswith(f"corvane-diff: cannot compare {a} with {b}: ")
    assert err.endswith(f" at {where.format(a=a, b=b)}\n")


# --- directories ---------------------------------------------------------------------------------------


@needs_script
def test_directories(tmp_path, write):
    for side, files in {"old": {"app.json": {"v": 1}, "db/pool.yaml": "max: 20\n", "same.toml": "a = 1\n",
                                "gone.json": {}, "notes.md": "text"},
                        "new": {"app.json": {"v": 2}, "db/pool.yaml": "max: 32\n", "same.toml": "a = 1\n",
                                "extra.jsonl": "{}\n", "notes.md": "other"}}.items():
        for name, content in files.items():
            (tmp_path / side / name).parent.mkdir(parents=True, exist_ok=True)
            write(f"{side}/{name}", content)
        (tmp_path / side / "dump.yaml.gz").write_bytes(gzip.compress(f"side: {side}\n".encode()))
    old, new = tmp_path / "old", tmp_path / "new"
    assert script("-r", old, new) == (1, "\n".join([
        f"only in {old}: gone.json",
        f"only in {new}: extra.jsonl",
        "--- app.json", "/v: changed 1 -> 2", "1 difference",
        "--- db/pool.yaml", "/max: changed 20 -> 32", "1 difference",
        "--- dump.yaml.gz", '/side: changed "old" -> "new"', "1 difference",
        f"3 of 4 files differ; 1 only in {old}, 1 only in {new}",
    ]) + "\n", "".join(f"corvane-diff: {side}/notes.md: skipped: not a known ending (.json .jsonl .ndjson .yaml "
                       ".yml .toml, each also with .gz; --format reads every file)\n" for side in (old, new)))
    status, out, _ = script("-r", "--json", "--ignore", "/max", old, new)
    assert (status, json.loads(out)["only_in_first"], list(json.loads(out)["files"])) == (1, ["gone.json"], ["app.json", "dump.yaml.gz"])
    write("new/bad.json", "{bad")
    write("old/bad.json", "{}")
    status, out, err = script("-r", "--json", old, new)
    assert status == 2 and json.loads(out)["errors"] == [f"{new}/bad.json:1:2: invalid JSON: Expecting property name "
                                                         "enclosed in double quotes"] and "bad.json:1:2" in err
    (tmp_path / "new/bad.json").unlink()
    (tmp_path / "old/bad.json").unlink()
    assert script("-r", "-q", old, new) == (1, "", "")
    assert script("-r", old, old)[:2] == (0, f"0 of 5 files differ; 0 only in {old}, 0 only in {old}\n")
    assert script(old, new)[0::2] == (2, f"corvane-diff: {old}: is a directory (compare two directories with -r)\n")


def _two_folders(tmp_path, write, *names):
    for side in ("old", "new"):
        for name in names:
            (tmp_path / side / name).parent.mkdir(parents=True, exist_ok=True)
            write(f"{side}/{name}", {"v": 1})
    return tmp_path / "old", tmp_path / "new"


@needs_script
def test_directories_say_what_they_leave_aside(tmp_path, write):
    old, new = _two_folders(tmp_path, write, "a.json")
    for side in (old, new):
        os.symlink("a.json", side / "link.json")  # a link to a file is that file
        os.symlink("..", side / "up")
        os.symlink("nowhere.json", side / "dangling.json")
        os.mkfifo(side / "pipe.json")
    status, out, err = script("-r", old, new)
    assert (status, out) == (0, f"0 of 2 files differ; 0 only in {old}, 0 only in {new}\n")
    assert sorted(err.splitlines()) == sorted(f"corvane-diff: {side}/{line}" for side in (old, new) for line in [
        "dangling.json: skipped: a symbolic link to nothing",
        "pipe.json: skipped: not a regular file (a pipe, socket or device)",
        "up: skipped: a symbolic link to a directory, not followed",
    ])


@needs_script
@pytest.mark.parametrize("make, message", [
    (lambda side: os.symlink("loop.json", side / "loop.json"), "{side}/loop.json: a symbolic link loop"),
    (lambda side: os.symlink("/proc/self/mem", side / "mem.json"),  # unreadable, even to root
     "cannot read: Input/output error"),
])
def test_directories_with_loops_or_unreadable_entries_fail(tmp_path, write, make, message):
    old, new = _two_folders(tmp_path, write, "a.json")
    make(old)
    make(new)
    status, out, err = script("-r", old, new)
    assert status == 2 and out.endswith(f" 0 only in {old}, 0 only in {new}\n")  # the rest is compared
    assert message.format(side=old) in err and "Traceback" not in err


def test_an_unreadable_folder_is_an_error(capsys, tmp_path, write, monkeypatch):
    old, new = _two_folders(tmp_path, write, "a.json", "sub/b.json")
    scandir = os.scandir

    def refusing(path):
        if str(path) == str(new / "sub"):
            raise PermissionError(13, "Permission denied")
        return scandir(path)

    monkeypatch.setattr(os, "scandir", refusing)
    status, out, err = run(capsys, "-r", old, new)
    assert (status, err) == (2, f"corvane-diff: {new / 'sub'}: cannot read the directory: Permission denied\n")
    assert out.splitlines() == [f"only in {old}: sub/b.json", f"0 of 1 files differ; 1 only in {old}, 0 only in {new}"]


# --- sub-commands -----------------------------------------------------------------------------------


class TestSubCommands:
    """diff is meant when the first argument names no sub-command; a file named like one stays a document."""

    def test_diff_may_be_named(self, capsys):
        assert run(capsys, "diff", BEFORE, AFTER) == run(capsys, BEFORE, AFTER) == (1, LOCATION_REPORT, "")

    @pytest.mark.parametrize("name", ["rows", "diff"])
    @pytest.mark.parametrize("argv", [["{name}", "other.json"], ["./{name}", "other.json"], ["diff", "{name}", "other.json"]])
    def test_a_document_named_like_a_sub_command(self, capsys, write, monkeypatch, tmp_path, name, argv):
        monkeypatch.chdir(tmp_path)
        write(name, {"k": 1})
        write("other.json", {"k": 2})
        assert run(capsys, *(arg.format(name=name) for arg in argv)) == (1, "/k: changed 1 -> 2\n1 difference\n", "")

    def test_rows_beside_a_file_named_rows(self, capsys, write, monkeypatch, tmp_path):
        monkeypatch.chdir(tmp_path)
        write("rows", {"k": 1})
        write("a.jsonl", '{"id": 1}\n')
        write("b.jsonl", '{"id": 1}\n{"id": 2}\n')
        status, out, _ = run(capsys, "rows", "a.jsonl", "b.jsonl", "--key", "/id", "--jobs", "1")
        assert status == 1 and out.startswith('only in b {"/id": 2} (b.jsonl:2)\n')

    @pytest.mark.parametrize("argv, message", [
        (["rows", "other.json"], "corvane-diff rows: error: the following arguments are required: B, --key"),
        (["rows", "a.jsonl", "b.jsonl", "--key", ""], "argument --key: a key pointer names a field of the row"),
        (["rows", "a.jsonl", "b.jsonl", "--key", "/id", "--jobs", "0"], "argument --jobs: expected a whole number >= 1"),
        ([], "corvane-diff: error: the following arguments are required: {diff,rows}"),
    ])
    def test_usage_errors(self, capsys, monkeypatch, tmp_path, argv, message):
        monkeypatch.chdir(tmp_path)  # where no file is named rows
        with pytest.raises(SystemExit) as stop:
            main(argv)
        assert stop.value.code == 2 and message in capsys.readouterr().err

    @pytest.mark.parametrize("argv, shown", [
        (["--help"], "usage: corvane-diff [diff] A B [options]\n       corvane-diff rows A B --key PTR [options]\n"),
        (["diff", "--help"], "usage: corvane-diff diff [-h]"),
        (["rows", "--help"], "usage: corvane-diff rows [-h]"),
    ])
    def test_help(self, capsys, argv, shown):
        with pytest.raises(SystemExit) as stop:
            main(argv)
        assert stop.value.code == 0 and capsys.readouterr().out.startswith(shown)


# --- the installed script, as a user runs it ------------------------------------------------------------


@pytest.mark.no_leak_check
@needs_script
def test_installed_script():
    proc = subprocess.run([SCRIPT, BEFORE, AFTER], capture_output=True, text=True, timeout=60, cwd="/")
    assert (proc.returncode, proc.stdout, proc.stderr) == (1, LOCATION_REPORT, "")
    # A reader that stops early ends the report quietly, without a traceback.
    big = subprocess.run(f"{SCRIPT} {BEFORE} {AFTER} | head -1", shell=True, capture_output=True, text=True,
                         timeout=60, env={**os.environ, "PYTHONUNBUFFERED": "1"})
    assert (big.stdout, big.stderr) == ('/version: changed "2.3.1" -> "2.4.0"\n', "")


@pytest.mark.no_leak_check
@needs_script
@pytest.mark.parametrize("command", [[str(SCRIPT)], [sys.executable, "-m", "corvane_report.cli"]])
def test_both_ways_in(command):
    proc = subprocess.run([*command, "--version"], capture_output=True, text=True, timeout=60, cwd="/")
    assert (proc.returncode, proc.stdout) == (0, f"corvane-diff {metadata.version('corvane')}\n")


@pytest.mark.no_leak_check
@needs_script
def test_ctrl_c_at_any_moment_exits_130(tmp_path):
    # Large documents, so that the run is still reading or comparing when SIGINT comes; the child
    # gets SIGINT's default disposition whatever the suite was started with (a background job
    # inherits it ignored).
    import random
    import signal
    import time

    doc = {"rows": [{"id": i, "tags": ["x"] * 5, "v": i / 3, "n": None} for i in range(1_000_000)]}
    first, second = tmp_path / "a.json", tmp_path / "b.json"
    first.write_text(json.dumps(doc))
    doc["rows"][-1]["v"] = 0
    second.write_text(json.dumps(doc))
    rng = random.Random(3)
    for _ in range(5):
        child = subprocess.Popen([SCRIPT, str(first), str(second)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                 text=True, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        time.sleep(rng.uniform(0.2, 1.0))
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=60)
        assert (child.returncode, err) == (130, "corvane-diff: interrupted\n")


# --- values no output could write as they are ------------------------------------------------------


SURROGATES = [('{"k": "\\ud800", "n": 1}', '{"k": 1, "n": 2}'), ('{"\\udc00x": [1]}', '{"n": 1}')]


@needs_script
@pytest.mark.parametrize("first, second", SURROGATES)
@pytest.mark.parametrize("options", [[], ["--by-kind"], ["--summary"], ["--json"], ["--format-out", "json-patch"]])
def test_lone_surrogates_are_escaped_in_every_output(write, first, second, options):
    a, b = write("a.json", first), write("b.json", second)
    shown = ""
    for pair in ((a, b), (b, a)):  # a patch writes the second document's values only
        proc = subprocess.run([SCRIPT, *options, *pair], capture_output=True, timeout=60)
        assert (proc.returncode, proc.stderr) == (1, b"")
        out = proc.stdout.decode("utf-8")  # strictly: valid UTF-8 throughout
        if options and options[-1] in ("--json", "json-patch"):
            assert json.dumps(json.loads(out), ensure_ascii=False) == json.dumps(json.loads(out), ensure_ascii=False)
        shown += out
    assert "\\ud800" in shown or "\\udc00x" in shown


@pytest.mark.parametrize("name, text, message", [
    ("a.yaml", 'k: "\\ud800"\n', "{f}:1:7: invalid YAML: found invalid Unicode character escape code"),
    ("a.toml", 'k = "\\ud800"\n', "{f}:1:12: invalid TOML: Escaped character is not a Unicode scalar value"),
])
def test_lone_surrogates_in_yaml_and_toml_are_read_errors(capsys, write, name, text, message):
    if name.endswith(".yaml"):
        pytest.importorskip("yaml")
    doc = write(name, text)
    status, out, err = run(capsys, doc, doc)
    assert (status, out) == (2, "") and err.startswith("corvane-diff: " + message.format(f=doc)) and err.count("\n") == 1


SELF = "a: &x [1, *x]\nn: 1\n"


@pytest.mark.skipif(yaml is None, reason="PyYAML is not installed")
class TestDocumentsThatHoldThemselves:
    @pytest.mark.parametrize("options", [[], ["--summary"], ["--by-kind"]])
    def test_text_shows_them(self, capsys, write, options):
        a, b = write("a.yaml", SELF), write("b.yaml", "a: 5\nn: 1\n")
        status, out, err = run(capsys, *options, a, b)
        assert (status, err) == (1, "") and "[1, …] -> 5" in out  # … where it is met again

    @pytest.mark.parametrize("options, first", [(["--json"], True), (["--json"], False),
                                                (["--format-out", "json-patch"], False)])
    def test_json_says_where(self, capsys, write, options, first):
        cyclic, other = write("self.yaml", SELF), write("other.yaml", "a: 5\nn: 2\n")
        status, out, err = run(capsys, *options, *((cyclic, other) if first else (other, cyclic)))
        assert (status, out) == (2, "")
        assert err == (f"corvane-diff: {cyclic}: the value at /a/1 holds itself (a YAML alias inside its own anchor), "
                       "which JSON cannot write; the text report shows it\n")

    def test_with_directories(self, capsys, write, tmp_path):
        for side, text in (("old", SELF), ("new", "a: 5\n")):
            (tmp_path / side).mkdir()
            write(f"{side}/d.yaml", text)
        status, out, err = run(capsys, "-r", "--json", tmp_path / "old", tmp_path / "new")
        # An error of one file, as a file that cannot be read: the others are reported.
        assert (status, json.loads(out)["files"]) == (2, {})
        assert err.startswith(f"corvane-diff: {tmp_path / 'old' / 'd.yaml'}: the value at /a/1 holds")

    def test_compared_with_itself(self, capsys, write):
        doc = write("self.yaml", SELF)
        status, out, err = run(capsys, doc, doc)
        assert (status, out) == (2, "")
        assert err == (f"corvane-diff: cannot compare {doc} with {doc}: a value holds itself (say, a YAML alias inside "
                       f"its own anchor) at /a/1 in {doc}\n")


# --- long strings ------------------------------------------------------------------------------------


def test_long_strings_are_shown_where_they_differ(capsys, write):
    text = "The quick brown fox jumps over the lazy dog; " * 3
    a, b = write("a.json", {"s": text + "ALPHA and more", "t": "x" * 70}), write("b.json", {"s": text + "OMEGA and more", "t": "x" * 69 + "y"})
    assert run(capsys, "--width", 30, a, b)[1].splitlines()[:2] == [
        '/s: changed …lazy dog; ALPHA and more" -> …lazy dog; OMEGA and more"',
        '/t: changed …xxxxxxxxxxx" -> …xxxxxxxxxxy"',
    ]


# --- nothing makes a traceback ------------------------------------------------------------------------


NASTY = {
    "bad-utf8.json": b'{"a": "\xff\xfe"}',
    "bom8.json": b'\xef\xbb\xbf{"a": 1}',
    "bom16.json": '{"a": 1}'.encode("utf-16"),
    "huge-int.json": b"[" + b"9" * 100_000 + b"]",
    "wide-int.json": b"[" + b"9" * 4000 + b"]",
    "int128.json": b"[340282366920938463463374607431768211456]",
    "deep.json": b"[" * 100_000 + b"]" * 100_000,
    "deepish.json": b"[" * 5_000 + b"1" + b"]" * 5_000,
    "nan.json": b"[NaN, Infinity, -Infinity, 1e999]",
    "empty.json": b"",
    "space.json": b"  \n",
    "binary.json": bytes(range(256)),
    "surrogate.json": b'{"\\ud800": "\\udfff"}',
    "dup.json": b'{"a": 1, "a": 2}',
    "lines.jsonl": b'{"a": 1}\n[\n\xff\n',
    "empty.yaml": b"",
    "bad.yaml": b"a: [1\n",
    "tag.yaml": b"a: !!python/object:os.system x\n",
    "unhashable.yaml": b"? [1, 2]\n: x\n",
    "self.yaml": b"a: &x [1, *x]\nb: &y {k: *y}\n",
    "deep.yaml": b"[" * 10_000 + b"]" * 10_000,
    "dates.yaml": b"d: 2024-01-02\nt: 2024-01-02 10:00:00+01:00\nbin: !!binary aGVsbG8=\nset: !!set {a, b}\n",
    "bad.toml": b"a = [1,\n",
    "dates.toml": b"d = 2024-01-02\nt = 10:00:00\n",
    "binary.toml": b"\x00\x01",
}


@pytest.fixture(scope="module")
def nasty(tmp_path_factory):
    folder = tmp_path_factory.mktemp("nasty")
    for name, content in NASTY.items():
        (folder / name).write_bytes(content)
    (folder / "folder.json").mkdir()
    os.symlink("/proc/self/mem", folder / "mem.json")  # a file that cannot be read, even by root
    return folder


@pytest.mark.no_leak_check
@pytest.mark.parametrize("options", [[], ["--json"], ["--format-out", "json-patch"], ["--summary"], ["--by-kind"],
                                     ["--format", "yaml"], ["--only", "/**/a"]])
def test_no_input_makes_a_traceback(capsys, nasty, options):
    names = [*NASTY, "folder.json", "mem.json"]
    for first in names:
        for second in ("nan.json", first, "self.yaml"):
            status, out, err = run(capsys, *options, nasty / first, nasty / second)
            assert status in (0, 1, 2) and "Traceback" not in err and "internal error" not in err, (first, second, err)
            assert status != 2 or (out == "" and err.count("\n") == 1), (first, second, err)


@needs_script
@pytest.mark.no_leak_check
@pytest.mark.parametrize("options", [[], ["--json"], ["--format-out", "json-patch"]])
def test_no_input_makes_a_traceback_in_the_script(nasty, options):
    for first in ("surrogate.json", "binary.json", "self.yaml", "dates.yaml", "deepish.json", "mem.json", "folder.json"):
        status, _, err = script(*options, nasty / first, nasty / "nan.json")
        assert status in (0, 1, 2) and "Traceback" not in err and "internal error" not in err, (first, err)
    status, _, err = script("-r", *options, nasty, nasty)
    assert status == 2 and "Traceback" not in err and "internal error" not in err
