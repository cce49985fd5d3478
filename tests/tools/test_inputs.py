"""The document readers: every format and standard input through the installed script, and the
JSON loaders' agreement with the standard library."""

import datetime
import gzip
import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import needs_script, script
from corvane_report import from_strict_json
from corvane_report.cli import main
from corvane_report.inputs import fast_json, load, parse_json


MANIFESTS = """\
kind: Service
metadata: {name: web}
---
kind: Deployment
metadata: {name: web}
spec: {replicas: 2, image: "web:1.0"}
"""


@needs_script
@pytest.mark.parametrize("first, second, options, expected", [
    (("a.yaml", MANIFESTS), ("b.yaml", MANIFESTS.replace("replicas: 2", "replicas: 3") + "---\nkind: Ingress\n"), [],
     "/1/spec/replicas: changed 2 -> 3\n/2: inserted {\"kind\": \"Ingress\"}\n2 differences\n"),
    (("a.yaml", "kind: Service\n"), ("b.yml", MANIFESTS), [],  # one document against several: a list of one
     "/0/metadata: added {\"name\": \"web\"}\n"
     "/1: inserted {\"kind\": \"Deployment\", \"metadata\": {\"name\": \"web\"}, \"spec\":…\n2 differences\n"),
    (("pyproject.toml", '[project]\nname = "x"\nversion = "1"\n[tool.x]\nn = 1\n'),
     ("new.toml", '[project]\nname = "x"\nversion = "2"\n[tool.x]\nn = 1.0\n'), [],
     '/project/version: changed "1" -> "2"\n/tool/x/n: type changed 1 -> 1.0\n2 differences\n'),
    (("rows.jsonl", '{"id": 1, "v": "a"}\n\n{"id": 2, "v": "b"}\n'), ("rows.ndjson", '{"id": 1, "v": "a"}\n{"id": 2, "v": "c"}\n'),
     [], '/1/v: changed "b" -> "c"\n1 difference\n'),
    (("rows.txt", '{"id": 1}\n{"id": 2}\n'), ("rows2.txt", '{"id": 1}\n'), ["--format", "jsonl"],
     '/1: deleted {"id": 2}\n1 difference\n'),
    (("rows.txt", '{"id": 1}\n{"id": 2}\n'), ("rows2.txt", '{"id": 1}\n'), ["--format", "jsonl", "--rules", "python"],
     '(root): length changed 2 -> 1 items\n  /1: removed {"id": 2}\n1 difference\n'),
])
def test_formats(write, first, second, options, expected):
    assert script(*options, write(*first), write(*second)) == (1, expected, "")


@pytest.mark.parametrize("name, text, expected", [
    ("a.json.gz", '{"k": [1, 2]}', {"k": [1, 2]}),
    ("a.yaml.gz", "k: [1, 2]\n", {"k": [1, 2]}),
    ("a.jsonl.gz", '{"k": 1}\n{"k": 2}\n', [{"k": 1}, {"k": 2}]),
    ("compressed", '{"k": 1}', {"k": 1}),  # by its bytes, whatever the name
])
def test_gzip_compressed_documents_are_read_as_their_name_less_gz_says(tmp_path, name, text, expected):
    (tmp_path / name).write_bytes(gzip.compress(text.encode()))
    assert load(str(tmp_path / name)).value == expected


def test_a_damaged_gzip_document_is_named(tmp_path, capsys):
    (tmp_path / "a.json.gz").write_bytes(gzip.compress(b'{"k": 1}')[:12])
    assert main([str(tmp_path / "a.json.gz"), str(tmp_path / "a.json.gz")]) == 2
    assert capsys.readouterr().err.startswith(f"corvane-diff: {tmp_path / 'a.json.gz'}: cannot read: damaged gzip data (")


@needs_script
def test_standard_input(write):
    a = write("a.json", {"k": [1, 2]})
    assert script(a, "-", stdin='{"k": [1, 3]}') == (1, "/k/1: changed 2 -> 3\n1 difference\n", "")
    assert script("--format", "yaml", "-", a, stdin="k: [1, 2]\n") == (0, "no differences\n", "")
    assert script("-", "-", stdin="1")[0::2] == (2, "corvane-diff: -: standard input can be read for one of the two documents only\n")


# --- dates and times ----------------------------------------------------------------------------------

PLUS_ONE = datetime.timezone(datetime.timedelta(hours=1))


@pytest.mark.parametrize("name, text, expected", [
    ("a.yaml", "d: 2024-01-02\nat: 2024-01-02 10:00:00+01:00\nlocal: 2024-01-02T10:00:00\nq: '2024-01-02'\n",
     {"d": datetime.date(2024, 1, 2), "at": datetime.datetime(2024, 1, 2, 10, tzinfo=PLUS_ONE),
      "local": datetime.datetime(2024, 1, 2, 10), "q": "2024-01-02"}),
    ("a.toml", 'd = 2024-01-02\nat = 2024-01-02T10:00:00+01:00\nt = 10:00:00\nq = "2024-01-02"\n',
     {"d": datetime.date(2024, 1, 2), "at": datetime.datetime(2024, 1, 2, 10, tzinfo=PLUS_ONE),
      "t": datetime.time(10), "q": "2024-01-02"}),
])
def test_dates_stay_dates(write, name, text, expected):
    value = load(str(write(name, text))).value
    assert value == expected
    assert [type(item) for item in value.values()] == [type(item) for item in expected.values()]


@pytest.mark.parametrize("ending, date, text", [(".toml", "d = 2024-01-02\n", 'd = "2024-01-02"\n'),
                                                (".yaml", "d: 2024-01-02\n", "d: '2024-01-02'\n")])
def test_dates_in_every_output(capsys, write, ending, date, text):
    a, b = write("a" + ending, date), write("b" + ending, text)
    assert main([str(a), str(b)]) == 1
    assert capsys.readouterr().out == '/d: type changed 2024-01-02 -> "2024-01-02"\n1 difference\n'
    main(["--json", str(a), str(b)])
    report = json.loads(capsys.readouterr().out)
    assert report["type_and_val_changes"] == [{"path": "/d", "a": {"$date": "2024-01-02"}, "b": "2024-01-02"}]
    assert from_strict_json(report)["type_and_val_changes"][0]["a"] == datetime.date(2024, 1, 2)
    main(["--format-out", "json-patch", str(b), str(a)])
    assert json.loads(capsys.readouterr().out) == [{"op": "replace", "path": "/d", "value": "2024-01-02"}]


@pytest.mark.parametrize("ending, first, second", [
    (".toml", "d = 2024-01-02\nsame = 2024-05-05\n", 'd = "2024-01-02"\nsame = 2024-05-05\n'),
    (".yaml", "d: 2024-01-02\nsame: 2024-05-05\n", "d: '2024-01-02'\nsame: 2024-05-05\n"),
])
def test_a_date_against_its_text_is_a_type_change_and_equal_dates_are_equal(capsys, write, ending, first, second):
    assert main([str(write("a" + ending, first)), str(write("b" + ending, second))]) == 1
    assert capsys.readouterr().out == '/d: type changed 2024-01-02 -> "2024-01-02"\n1 difference\n'


@pytest.mark.parametrize("ending, first, second", [
    (".toml", "at = 2024-01-02T10:00:00+01:00\n", "at = 2024-01-02T09:00:00Z\n"),
    (".yaml", "at: 2024-01-02 10:00:00+01:00\n", "at: 2024-01-02 09:00:00Z\n"),
])
def test_the_same_instant_in_two_offsets_is_equal(capsys, write, ending, first, second):
    assert main([str(write("a" + ending, first)), str(write("b" + ending, second))]) == 0


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
