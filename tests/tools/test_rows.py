"""Keyed rows: diff_rows in memory, diff_datasets spilled in this process and in worker processes,
and corvane-diff rows; each against a plain in-memory reference."""

import gzip
import io
import itertools
import json
import math
import os
import re
import signal
import subprocess
import sys
import time
from array import array

import pytest
from rows_data import datasets, normalised, reference, write_lines

from corvane_report import Tolerance, diff_rows
from corvane_report.report import DataRules
from corvane_report.cli import main
from corvane_report.rows import Partitioning, RowAt, RowsError, diff_datasets, read_records

SCRIPT = os.path.join(os.path.dirname(sys.executable), "corvane-diff")
# Tiny partitions and blocks, so that every run spills into many partitions from several blocks a file.
TINY = Partitioning(partition_bytes=4_000, block_bytes=9_000)


@pytest.fixture(scope="module")
def data():
    return datasets()


@pytest.fixture
def files(tmp_path, data):
    a, b = data
    write_lines(tmp_path / "a.jsonl", a, blank_every=50)
    write_lines(tmp_path / "b.jsonl.gz", b)
    return str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl.gz")


def run(a, b, key="/id", how="memory", **options):
    if how == "memory":
        found = diff_rows(a, b, key, **options)
    else:
        found = diff_datasets(a, b, key, jobs=1 if how == "spilled" else 2, partitioning=TINY, **options)
    return list(found), found.summary


class TestAgainstTheReference:
    @pytest.mark.parametrize("how", ["memory", "spilled", "workers"])
    def test_rows_from_python(self, data, how):
        a, b = data
        found, summary = run(a, b, how=how)
        assert normalised(found) == reference(a, b, ["/id"])
        assert (summary.rows_a, summary.rows_b) == (len(a), len(b))
        assert summary.equal + summary.changed + summary.only_in_a + summary.only_in_b + summary.duplicate_keys == len(
            {r["id"] for r in a} | {r["id"] for r in b})

    @pytest.mark.parametrize("jobs", [1, 2])
    def test_files_in_any_number_of_workers_give_one_order(self, data, files, tmp_path, jobs):
        a, b = data
        seen = []
        found = diff_datasets(*files, "/id", jobs=jobs, progress=seen.append, temp_dir=str(tmp_path), partitioning=TINY)
        results = list(found)
        assert normalised(results) == reference(a, b, ["/id"])
        assert seen[-1].partitions > 20 and seen[-1].partitions_done == seen[-1].partitions
        assert sorted(os.listdir(tmp_path)) == ["a.jsonl", "b.jsonl.gz"]  # the spill folder is gone
        in_process = list(diff_datasets(*files, "/id", jobs=1, partitioning=TINY))
        assert [(d.kind, d.key, d.a, d.b, d.entries) for d in results] == [(d.kind, d.key, d.a, d.b, d.entries) for d in in_process]

    def test_filters_and_compound_keys(self, data):
        a, b = data
        options = {"ignore": ["/orders/*/sku"], "float_tolerance": Tolerance(abs=1e-6)}
        found, summary = run(a, b, key=["/region", "/id"], how="spilled", **options)
        assert normalised(found) == reference(a, b, ["/region", "/id"], **options)
        assert "/address/geo/*" not in summary.fields and summary.fields["/address/city"] > 0

    def test_rows_are_located_by_line(self, data, files):
        a, _ = data
        numbers = write_lines(files[0], a, blank_every=50)
        found = list(diff_datasets(*files, "/id", jobs=1, partitioning=TINY))
        for diff in found:
            for row in diff.a:
                path, line = row.at.rsplit(":", 1)
                assert path == files[0] and a[numbers.index(int(line))] == row.row

    def test_parquet_with_nested_columns(self, tmp_path):
        pq = pytest.importorskip("pyarrow.parquet", reason="Parquet needs the optional pyarrow")
        import pyarrow as pa

        rows = [{"id": i, "user": {"name": f"u{i}", "tags": ["x"] * (i % 3)}, "score": i / 7} for i in range(300)]
        changed = [dict(r, score=-1.0) if r["id"] % 40 == 0 else r for r in rows if r["id"] % 70]
        pq.write_table(pa.Table.from_pylist(rows), tmp_path / "a.parquet", row_group_size=64)
        write_lines(tmp_path / "b.jsonl", changed)
        found = list(diff_datasets(str(tmp_path / "a.parquet"), str(tmp_path / "b.jsonl"), "/id", jobs=2, partitioning=TINY))
        assert normalised(found) == reference(rows, changed, ["/id"])
        assert {d.a[0].at for d in found if d.kind == "only_in_a"} == {f"{tmp_path / 'a.parquet'}:{i + 1}" for i in (0, 70, 140, 210, 280)}


def test_a_directory_of_part_files(tmp_path, data):
    a, b = data
    (tmp_path / "a").mkdir()
    for i in range(3):
        write_lines(tmp_path / "a" / f"part-{i}.jsonl{'.gz' * (i == 1)}", a[i::3])
    (tmp_path / "a" / "_SUCCESS").write_text("")  # beside the data, as Spark and Dask write it
    write_lines(tmp_path / "b.jsonl", b)
    found = list(diff_datasets(str(tmp_path / "a"), str(tmp_path / "b.jsonl"), "/id", jobs=1, partitioning=TINY))
    assert normalised(found) == reference(a, b, ["/id"])
    assert {row.at.rsplit(":", 1)[0] for d in found for row in d.a} == {str(tmp_path / "a" / n) for n in ("part-0.jsonl", "part-1.jsonl.gz", "part-2.jsonl")}


@pytest.mark.parametrize("nan_equal, expected", [(True, []), (False, [("changed", (1,), ["/x"])])])
def test_identical_lines_holding_nan_follow_the_rules(tmp_path, nan_equal, expected):
    lines = '{"id": 1, "x": NaN}\n{"id": 2, "x": 1.5}\n'
    (tmp_path / "a.jsonl").write_text(lines)
    found = list(diff_datasets(str(tmp_path / "a.jsonl"), str(tmp_path / "a.jsonl"), "/id", jobs=1,
                               rules=DataRules(nan_equal=nan_equal)))
    assert [(d.kind, d.key, [e.pointer for e in d.entries]) for d in found] == expected


@pytest.mark.parametrize("how", ["memory", "spilled"])
def test_rows_are_compared_as_data(tmp_path, how):
    pairs = [(True, 1), ("ab", ["a", "b"]), ("", []), (2**200, 2**200 + 1), ("\ud800", "\udc00"), (math.nan, math.nan),
             (2**200, 2**200), ("\ud800", "\ud800"), ([1, 2, 3], [1, 9, 2, 3])]
    a = [{"id": i, "x": x} for i, (x, _) in enumerate(pairs)]
    b = [{"id": i, "x": y} for i, (_, y) in enumerate(pairs)]
    if how == "spilled":
        write_lines(tmp_path / "a.jsonl", a)
        write_lines(tmp_path / "b.jsonl", b)
        a, b = str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl")
    found = run(a, b, how=how, on_error="fail")[0]
    assert [(d.key, [(e.kind, e.pointer) for e in d.entries]) for d in found] == [
        ((0,), [("type_changed", "/x")]), ((1,), [("type_changed", "/x")]), ((2,), [("type_changed", "/x")]),
        ((3,), [("changed", "/x")]), ((4,), [("changed", "/x")]), ((8,), [("inserted", "/x/1")]),
    ]


def test_duplicate_keys_report_every_row():
    a = [{"id": 1, "v": 1}, {"id": 1, "v": 2}, {"id": 2}]
    b = [{"id": 1, "v": 1}, {"id": 2}, {"id": 2, "v": 3}]
    found = list(diff_rows(a, b, "/id"))
    assert [(d.kind, d.key, [r.at for r in d.a], [r.at for r in d.b]) for d in found] == [
        ("duplicate_key", (1,), ["a:1", "a:2"], ["b:1"]),
        ("duplicate_key", (2,), ["a:3"], ["b:2", "b:3"]),
    ]


def test_key_order_across_kinds():
    keys = [None, False, True, -3, 1, 1.0, 2.5, math.inf, math.nan, "B", "a", [1]]
    found = list(diff_rows([{"k": k} for k in reversed(keys)], [], "/k"))
    assert [d.key[0] for d in found][:-2] == keys[:-2]
    assert math.isnan(found[-4].key[0]) and [d.key[0] for d in found[-3:]] == ["B", "a", [1]]


class TestFailures:
    @pytest.mark.parametrize("line, message", [
        ('{"other": 1}', "the row has no value at the key /id"),
        ("[1, 2]", "the row is list, not an object with the key /id"),
        ('{"id": 1, "x": [1,}', "{col}: invalid JSON: Expecting value"),
        (b'{"id": 1, "x": "\xff"}', "not UTF-8 text (bad byte at offset 16)"),
    ])
    @pytest.mark.parametrize("jobs", [1, 2])
    def test_a_bad_row_is_named_by_file_and_line(self, tmp_path, line, message, jobs):
        rows = [json.dumps({"id": i, "pad": "x" * 40}).encode() for i in range(400)]
        rows[333] = line if isinstance(line, bytes) else line.encode()
        (tmp_path / "a.jsonl").write_bytes(b"\n".join(rows))
        write_lines(tmp_path / "b.jsonl", [{"id": 1}])
        with pytest.raises(RowsError) as failed:
            list(diff_datasets(str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl"), "/id", jobs=jobs,
                               temp_dir=str(tmp_path), partitioning=TINY))
        where = f"{tmp_path / 'a.jsonl'}:334:"
        assert str(failed.value).startswith(where) and message.replace("{col}", "19") in str(failed.value)
        assert sorted(os.listdir(tmp_path)) == ["a.jsonl", "b.jsonl"]

    def test_a_missing_key_in_memory_names_the_row(self):
        with pytest.raises(RowsError, match=r"^b:2: the row has no value at the key /id$"):
            list(diff_rows([{"id": 1}], [{"id": 1}, {"ID": 2}], "/id"))

    def test_a_comparison_that_fails_names_both_rows(self):
        with pytest.raises(RowsError, match=r"^cannot compare a:1 with b:1 \(key \{\"/id\": 1\}\): a value holds itself.* at /n/0 of a:1$"):
            list(diff_rows([{"id": 1, "n": _holding_itself()}], [{"id": 1, "n": _holding_itself()}], "/id"))

    def test_a_damaged_gzip_file(self, tmp_path, data):
        write_lines(tmp_path / "a.jsonl.gz", data[0])
        (tmp_path / "cut.jsonl.gz").write_bytes((tmp_path / "a.jsonl.gz").read_bytes()[:500])
        with pytest.raises(RowsError, match="cut.jsonl.gz: cannot read: Compressed file ended"):
            list(diff_datasets(str(tmp_path / "a.jsonl.gz"), str(tmp_path / "cut.jsonl.gz"), "/id", jobs=1))

    def test_leaving_early_removes_the_spill_folder(self, tmp_path, files):
        (tmp_path / "spill").mkdir()
        with diff_datasets(*files, "/id", jobs=1, temp_dir=str(tmp_path / "spill"), partitioning=TINY) as found:
            next(found)
            assert len(os.listdir(tmp_path / "spill")) == 1
        assert os.listdir(tmp_path / "spill") == []

    def test_interrupted_run_leaves_no_temporary_files(self, tmp_path):
        # A pipe that is never closed keeps the run reading until it is interrupted.
        fifo, temp = tmp_path / "a.jsonl", tmp_path / "temp"
        os.mkfifo(fifo)
        temp.mkdir()
        write_lines(tmp_path / "b.jsonl", [{"id": 1}])
        env = dict(os.environ, TMPDIR=str(temp))
        # SIGINT's default disposition, whatever the suite was started with (a background job
        # inherits it ignored, and the run would never hear the signal).
        child = subprocess.Popen([SCRIPT, "rows", str(fifo), str(tmp_path / "b.jsonl"), "--key", "/id", "--jobs", "2"],
                                 env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        writer = open(fifo, "w")
        writer.write('{"id": 1}\n')
        writer.flush()
        deadline = time.monotonic() + 60
        while not os.listdir(temp) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert os.listdir(temp), "the run made no spill folder"
        time.sleep(0.5)  # the workers have started
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=60)
        writer.close()
        assert child.returncode == 130 and err.decode().endswith("corvane-diff rows: interrupted\n")
        assert os.listdir(temp) == []


class TestCommandLine:
    def rows(self, capsys, *argv):
        status = main(["rows", *map(str, argv)])
        out, err = capsys.readouterr()
        return status, out, err

    def test_report_and_summary(self, tmp_path, capsys):
        write_lines(tmp_path / "a.jsonl", [{"id": 1, "v": [1, 2]}, {"id": 2}, {"id": 3, "n": 1.5}])
        write_lines(tmp_path / "b.jsonl", [{"id": 3, "n": 1.25}, {"id": 1, "v": [1, 3]}, {"id": 4}])
        status, out, _ = self.rows(capsys, tmp_path / "a.jsonl", tmp_path / "b.jsonl", "--key", "/id", "--jobs", "1")
        a, b = tmp_path / "a.jsonl", tmp_path / "b.jsonl"
        assert status == 1 and out == (
            f'changed {{"/id": 1}} ({a}:1; {b}:2)\n'
            f"  /v/1: changed 2 -> 3\n"
            f'only in a {{"/id": 2}} ({a}:2)\n'
            f'changed {{"/id": 3}} ({a}:3; {b}:1)\n'
            f"  /n: changed 1.5 -> 1.25\n"
            f'only in b {{"/id": 4}} ({b}:3)\n'
            f"rows: 3 in {a}, 3 in {b}\n"
            f"only in a: 1, only in b: 1, changed: 2, equal: 0, duplicate keys: 0\n"
            f"fields most often changed (rows):\n"
            f"  /v/*  1\n"
            f"  /n    1\n"
        )
        status, out, _ = self.rows(capsys, a, b, "--key", "/id", "--float-tolerance", "0.5", "--ignore", "/v", "-q")
        assert (status, out) == (1, "")  # the rows only on one side still differ

    @pytest.mark.parametrize("name", ["out.jsonl", "out.jsonl.gz", "out.parquet"])
    def test_output_records(self, tmp_path, capsys, files, data, name):
        if name.endswith(".parquet"):
            pytest.importorskip("pyarrow", reason="Parquet needs the optional pyarrow")
        status, out, _ = self.rows(capsys, *files, "--key", "/id", "--jobs", "1", "--output", tmp_path / name)
        records = list(read_records(str(tmp_path / name)))
        assert status == 1 and out.startswith(f"rows: {len(data[0])} in ")
        expected = reference(*data, ["/id"])
        assert {(r["kind"], json.dumps(list(r["key"].values()))) for r in records} == {(k, key) for k, key, *_ in expected}
        changed = next(r for r in records if r["kind"] == "changed")
        assert changed["differences"] and {"path", "kind"} <= changed["differences"][0].keys()

    def test_records_on_standard_output(self, tmp_path, capsys):
        write_lines(tmp_path / "a.jsonl", [{"id": 1, "x": float("inf")}])
        status, out, err = self.rows(capsys, tmp_path / "a.jsonl", tmp_path / "a.jsonl", "--key", "/x", "--output", "-")
        assert (status, out) == (0, "") and err.startswith("rows: 1 in ")
        write_lines(tmp_path / "b.jsonl", [{"id": 1, "x": float("-inf")}])
        status, out, err = self.rows(capsys, tmp_path / "a.jsonl", tmp_path / "b.jsonl", "--key", "/id", "--output", "-")
        assert status == 1 and json.loads(out)["differences"] == [
            {"path": "/x", "kind": "changed", "a": {"$float": "Infinity"}, "b": {"$float": "-Infinity"}}]

    def test_equal_datasets_and_errors(self, tmp_path, capsys):
        write_lines(tmp_path / "a.jsonl", [{"id": 1, "x": {"y": [1]}}])
        assert self.rows(capsys, tmp_path / "a.jsonl", tmp_path / "a.jsonl", "--key", "/id")[0] == 0
        status, _, err = self.rows(capsys, tmp_path / "a.jsonl", tmp_path / "none.jsonl", "--key", "/id")
        assert (status, err) == (2, f"corvane-diff rows: {tmp_path / 'none.jsonl'}: cannot read: No such file or directory\n")

    def test_progress_on_a_terminal(self, tmp_path, capsys, monkeypatch, files):
        monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
        status = main(["rows", *files, "--key", "/id", "--jobs", "1", "--partition-size", "4k", "--output", str(tmp_path / "o.jsonl")])
        err = capsys.readouterr().err
        assert status == 1 and "rows read · " in err and "partitions" in err and err.endswith("\r\x1b[K")


def test_the_readme_example(capsys, monkeypatch):
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    readme = open(os.path.join(root, "README.md"), encoding="utf-8").read()
    command = "corvane-diff rows examples/data/customers-a.jsonl examples/data/customers-b.jsonl --key /id"
    shown = readme.split(command + "\n```\n\n```text\n", 1)[1].split("```", 1)[0]
    monkeypatch.chdir(root)
    assert main(command.split()[1:]) == 1
    assert capsys.readouterr().out == shown


# --- bad rows, on_error and absent_is_null ---------------------------------------------------------------

BAD_LINES = [
    ('{"id": 5, "x": [1,}', "invalid JSON"),
    ('{"other": 5}', "the row has no value at the key /id"),
    (b'{"id": 5, "x": "\xff"}', "not UTF-8 text"),
    ("[5]", "the row is list, not an object with the key /id"),
]


def _deep(depth, inner=""):
    """A JSON value nested deeper than a comparison can go (and not too deep to be read)."""
    return "[" * depth + inner + "]" * depth


def _holding_itself():
    x = []
    x.append(x)
    return x


def _lines(path, rows, bad=None, at=3):
    lines = [json.dumps(row).encode() for row in rows]
    if bad is not None:
        lines.insert(at, bad if isinstance(bad, bytes) else bad.encode())
    path.write_bytes(b"\n".join(lines) + b"\n")


class TestBadRows:
    rows = [{"id": i, "v": i * 10} for i in range(8)]

    @pytest.mark.parametrize("line, message", BAD_LINES)
    @pytest.mark.parametrize("jobs", [1, 2])
    def test_a_row_that_cannot_be_keyed_is_recorded_and_the_run_goes_on(self, tmp_path, line, message, jobs):
        _lines(tmp_path / "a.jsonl", self.rows, line)
        _lines(tmp_path / "b.jsonl", [dict(r, v=-1) if r["id"] == 6 else r for r in self.rows])
        found = diff_datasets(str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl"), "/id", jobs=jobs,
                              on_error="record", partitioning=TINY)
        results = list(found)
        assert [(d.kind, d.key) for d in results] == [("changed", (6,)), ("error", ())]
        error = results[-1]
        assert error.a == (RowAt(f"{tmp_path / 'a.jsonl'}:4", None),) and error.b == ()
        assert error.error.startswith(f"{tmp_path / 'a.jsonl'}:4") and message in error.error
        summary = found.summary
        assert (summary.rows_a, summary.errors, summary.changed, summary.equal) == (9, 1, 1, 7)

    @pytest.mark.parametrize("other", ["same line", "same value, other spacing", "other value"])
    def test_a_pair_that_cannot_be_compared_is_an_error_however_it_is_written(self, tmp_path, other):
        line = '{"id": 1, "x": ' + _deep(30_000) + "}"
        (tmp_path / "a.jsonl").write_text(line + "\n" + json.dumps({"id": 2}) + "\n")
        second = {"same line": line, "same value, other spacing": line.replace(" ", ""),
                  "other value": '{"id": 1, "x": ' + _deep(30_000, "7") + "}"}[other]
        (tmp_path / "b.jsonl").write_text(second + "\n" + json.dumps({"id": 2}) + "\n")
        found = list(diff_datasets(str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl"), "/id", jobs=1, on_error="record"))
        assert [(d.kind, d.key) for d in found] == [("error", (1,))]
        assert found[0].error.startswith(f"cannot compare {tmp_path / 'a.jsonl'}:1 with {tmp_path / 'b.jsonl'}:1 (key ")
        with pytest.raises(RowsError, match="^cannot compare "):
            list(diff_datasets(str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl"), "/id", jobs=1, on_error="fail"))

    def test_in_memory_a_pair_that_cannot_be_compared_is_recorded(self):
        found = list(diff_rows([{"id": 1, "n": _holding_itself()}, {"id": 2}], [{"id": 1, "n": _holding_itself()}, {"id": 2, "n": 1}],
                               "/id", on_error="record"))
        assert [(d.kind, d.key) for d in found] == [("error", (1,)), ("changed", (2,))]

    @pytest.mark.parametrize("absent_is_null, expected", [(False, ["/note", "/tags"]), (True, [])])
    def test_absent_is_null_parquet_against_json_lines(self, tmp_path, absent_is_null, expected):
        pq = pytest.importorskip("pyarrow.parquet", reason="Parquet needs the optional pyarrow")
        import pyarrow as pa

        rows = [{"id": i, "note": None if i % 2 else f"n{i}", "tags": None} for i in range(40)]
        pq.write_table(pa.Table.from_pylist(rows), tmp_path / "a.parquet")
        write_lines(tmp_path / "b.jsonl", [{k: v for k, v in r.items() if v is not None} for r in rows])
        found = list(diff_datasets(str(tmp_path / "a.parquet"), str(tmp_path / "b.jsonl"), "/id", jobs=1,
                                   absent_is_null=absent_is_null))
        assert sorted({e.pointer for d in found for e in d.entries}) == expected
        assert all(e.kind == "removed" for d in found for e in d.entries)

    def test_absent_is_null_keeps_real_changes(self):
        a, b = [{"id": 1, "x": None, "y": 1}], [{"id": 1, "y": None, "z": 0}]
        found = list(diff_rows(a, b, "/id", absent_is_null=True))
        assert [(e.kind, e.pointer) for e in found[0].entries] == [("type_changed", "/y"), ("added", "/z")]


# --- result files ------------------------------------------------------------------------------------------


@pytest.fixture
def small_disk(tmp_path):
    """A folder on a file system of 512 KB (a tmpfs; needs root)."""
    folder = tmp_path / "small"
    folder.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=512k", "tmpfs", str(folder)], capture_output=True).returncode:
        pytest.skip("mounting a small file system needs root")
    yield folder
    subprocess.run(["umount", "-l", str(folder)], check=True)


class TestResultFiles:
    def rows(self, capsys, *argv):
        status = main(["rows", *map(str, argv)])
        out, err = capsys.readouterr()
        return status, out, err

    @pytest.mark.parametrize("name", ["out.jsonl", "out.jsonl.gz", "out.parquet", "diffs.parquet"])
    def test_a_failed_run_leaves_no_file_and_keeps_the_old_one(self, tmp_path, capsys, name):
        rows = [{"id": i, "v": "x" * 50} for i in range(3000)]
        _lines(tmp_path / "a.jsonl", rows, '{"id": 2999.5, "v": [}', at=2900)
        _lines(tmp_path / "b.jsonl", [dict(r, v="y") for r in rows])
        target = tmp_path / name
        target.write_text("the last run's\n")
        option = "--output-differences" if name.startswith("diffs") else "--output"
        status, _, err = self.rows(capsys, tmp_path / "a.jsonl", tmp_path / "b.jsonl", "--key", "/id", "--jobs", "1",
                                   "--on-error", "fail", "--partition-size", "8k", option, target)
        assert status == 2 and "a.jsonl:2901:" in err and err.count("\n") == 1
        assert target.read_text() == "the last run's\n"
        assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["a.jsonl", "b.jsonl", name])

    @pytest.mark.parametrize("name", ["out.jsonl", "out.parquet", "diffs.jsonl", "diffs.parquet"])
    def test_a_full_disk_leaves_no_file(self, tmp_path, capsys, small_disk, name):
        rows = [{"id": i, "v": os.urandom(100).hex()} for i in range(4000)]  # more than 512 KB, compressed or not
        write_lines(tmp_path / "a.jsonl", rows)
        write_lines(tmp_path / "b.jsonl", [dict(r, v=os.urandom(100).hex()) for r in rows])
        option = "--output-differences" if name.startswith("diffs") else "--output"
        status, _, err = self.rows(capsys, tmp_path / "a.jsonl", tmp_path / "b.jsonl", "--key", "/id", "--jobs", "1",
                                   option, small_disk / name)
        assert status == 2 and err == f"corvane-diff rows: {small_disk / name}: No space left on device\n"
        assert os.listdir(small_disk) == []

    @pytest.mark.parametrize("jobs", [1, 2])
    def test_a_full_spill_folder_is_named_with_the_option(self, tmp_path, capsys, small_disk, jobs):
        rows = [{"id": i, "v": "x" * 200} for i in range(4000)]
        write_lines(tmp_path / "a.jsonl", rows)
        status, _, err = self.rows(capsys, tmp_path / "a.jsonl", tmp_path / "a.jsonl", "--key", "/id", "--jobs", jobs,
                                   "--temp-dir", small_disk)
        assert status == 2 and re.fullmatch(rf"corvane-diff rows: no space left on device in the spill folder "
                                            rf"{small_disk}/corvane-rows-\w+ \(--temp-dir puts it elsewhere\)\n", err), err
        assert os.listdir(small_disk) == []

    def test_a_missing_temp_dir(self, tmp_path, capsys):
        write_lines(tmp_path / "a.jsonl", [{"id": 1}])
        status, _, err = self.rows(capsys, tmp_path / "a.jsonl", tmp_path / "a.jsonl", "--key", "/id", "--temp-dir", tmp_path / "no")
        assert (status, err) == (2, f"corvane-diff rows: cannot make the spill folder in {tmp_path / 'no'}: No such file or directory\n")

    def test_errors_on_the_command_line(self, tmp_path, capsys):
        deep = ('{"id": 2, "n": ' + _deep(30_000) + "}").encode()
        _lines(tmp_path / "a.jsonl", [{"id": 1}], b'{"id": 3,\n' + deep, at=1)
        _lines(tmp_path / "b.jsonl", [{"id": 1}], deep, at=1)
        a, b = tmp_path / "a.jsonl", tmp_path / "b.jsonl"
        status, out, _ = self.rows(capsys, a, b, "--key", "/id", "--jobs", "1")
        lines = out.splitlines()
        assert status == 1 and lines[0].startswith(f"error: cannot compare {a}:3 with {b}:2 (key ")
        assert lines[1] == f"error: {a}:2:10: invalid JSON: Expecting property name enclosed in double quotes"
        assert lines[3] == "only in a: 0, only in b: 0, changed: 0, equal: 1, duplicate keys: 0, errors: 2"
        status, out, err = self.rows(capsys, a, b, "--key", "/id", "--jobs", "1", "--on-error", "fail")
        assert (status, out, err) == (2, "", f"corvane-diff rows: {a}:2:10: invalid JSON: Expecting property name enclosed in double quotes\n")

    @pytest.mark.parametrize("key, message", [
        ("id", "argument --key: a JSON pointer starts with '/' (or is empty for the whole document): 'id'"),
        ("", "argument --key: a key pointer names a field of the row"),
    ])
    def test_a_bad_key_is_one_line(self, tmp_path, key, message):
        write_lines(tmp_path / "a.jsonl", [{"id": 1}])
        child = subprocess.run([SCRIPT, "rows", tmp_path / "a.jsonl", tmp_path / "a.jsonl", "--key", key],
                               capture_output=True, text=True, timeout=60)
        assert child.returncode == 2 and child.stderr.splitlines()[-1].startswith(f"corvane-diff rows: error: {message}")
        assert "Traceback" not in child.stderr

    def test_the_progress_line_is_cleared_before_each_report_line(self, tmp_path, monkeypatch, files):
        screen = io.StringIO()  # standard output and error on one terminal
        screen.isatty = lambda: True
        monkeypatch.setattr(sys, "stdout", screen)
        monkeypatch.setattr(sys, "stderr", screen)
        monkeypatch.setattr("corvane_report.rows._workers.TICK_SECONDS", 0.0)
        monkeypatch.setattr("corvane_report.rows._engine.TICK_SECONDS", 0.0)
        assert main(["rows", *files, "--key", "/id", "--jobs", "1", "--partition-size", "4k", "--color", "never"]) == 1
        text = screen.getvalue()
        assert "rows read" in text
        for line in text.split("\n"):
            shown = line.rsplit("\r\x1b[K", 1)[-1]  # what remains on the terminal's line
            assert "rows read" not in shown or shown.startswith(("reading:", "comparing:")), repr(line)
            assert not re.search(r"rows read.*(changed|only in|duplicate key) ", shown), repr(line)


# --- a row per difference -------------------------------------------------------------------------------


class TestDifferences:
    a = [{"id": 1, "v": 1, "tags": ["x"]}, {"id": 2, "v": 2}, {"id": 3, "gone": True}, {"id": 4}, {"id": 5}, {"id": 5}]
    b = [{"id": 1, "v": 10, "tags": ["x", "y", "z"]}, {"id": 2, "v": "2"}, {"id": 3, "new": None}, {"id": 6}, {"id": 5}]

    def written(self, tmp_path, name, a=None, b=None, *extra):
        write_lines(tmp_path / "a.jsonl", self.a if a is None else a)
        write_lines(tmp_path / "b.jsonl", self.b if b is None else b)
        status = main(["rows", str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl"), "--key", "/id", "--jobs", "1", "-q",
                       "--output-differences", str(tmp_path / name), *extra])
        assert status == 1
        return str(tmp_path / name)

    @pytest.mark.parametrize("name", ["d.parquet", "d.jsonl", "d.jsonl.gz"])
    def test_counted_by_kind_with_duckdb(self, tmp_path, name):
        duckdb = pytest.importorskip("duckdb", reason="the query test needs duckdb")
        if name.endswith("parquet"):
            pytest.importorskip("pyarrow", reason="Parquet needs the optional pyarrow")
        path = self.written(tmp_path, name, None, None, "--lists", "position")
        source = f"read_parquet('{path}')" if name.endswith("parquet") else f"read_json('{path}', format='newline_delimited')"
        counts = dict(duckdb.sql(f"SELECT kind, count(*) FROM {source} GROUP BY kind").fetchall())

        def one(query):
            (row,) = duckdb.sql(query).fetchall()
            return row

        assert counts == {"changed": 1, "length_changed": 1, "type_changed": 1, "removed": 1, "added": 1,
                          "only_in_a": 1, "only_in_b": 1, "duplicate_key": 3}
        assert one(f"SELECT typeof(key_id) FROM {source} LIMIT 1") == ("BIGINT",)
        row = one(f"SELECT key_id, pointer, a, b, added, removed, a_file, a_line, b_file, b_line FROM {source} "
                  "WHERE kind = 'length_changed'")
        assert row == (1, "/tags", "1", "3", '["y", "z"]', None, str(tmp_path / "a.jsonl"), 1, str(tmp_path / "b.jsonl"), 1)
        assert one(f"SELECT a, b FROM {source} WHERE kind = 'type_changed'") == ("2", '"2"')
        assert one(f"SELECT count(*) FROM {source} WHERE key_id = 5 AND b_line = 5") == (1,)

    def test_mixed_key_types_are_json_text(self, tmp_path):
        pq = pytest.importorskip("pyarrow.parquet", reason="Parquet needs the optional pyarrow")
        path = self.written(tmp_path, "d.parquet", [{"id": 1}, {"id": "1"}], [{"id": 1.5}])
        table = pq.read_table(path)
        assert str(table.schema.field("key_id").type) == "string"
        assert sorted(table.column("key_id").to_pylist()) == ['"1"', "1", "1.5"]
        assert json.loads(table.schema.metadata[b"corvane.key"]) == {"key_id": "/id"}

    def test_bytes_are_base64_in_both_outputs(self, tmp_path):
        pq = pytest.importorskip("pyarrow.parquet", reason="Parquet needs the optional pyarrow")
        import pyarrow as pa

        rows = [{"id": 1, "blob": b"\x00\xffab"}, {"id": 2, "blob": b"\x00"}]
        pq.write_table(pa.Table.from_pylist(rows), tmp_path / "a.parquet")
        pq.write_table(pa.Table.from_pylist(rows[1:]), tmp_path / "b.parquet")
        status = main(["rows", str(tmp_path / "a.parquet"), str(tmp_path / "b.parquet"), "--key", "/id", "-q", "--jobs", "1",
                       "--output", str(tmp_path / "r.parquet"), "--output-differences", str(tmp_path / "d.jsonl")])
        assert status == 1
        (difference,) = [json.loads(line) for line in open(tmp_path / "d.jsonl")]
        assert (difference["kind"], difference["a"]) == ("only_in_a", '{"id": 1, "blob": {"$bytes": "AP9hYg=="}}')
        (record,) = read_records(str(tmp_path / "r.parquet"))
        assert record["a"][0]["row"] == rows[0]

    @pytest.mark.parametrize("lists, expected", [
        ("position", [{"path": "/l", "kind": "length_changed", "a": 3, "b": 1, "removed": [2, 3]}]),
        ("align", [{"path": "/l/1", "kind": "deleted", "a": 2}, {"path": "/l/2", "kind": "deleted", "a": 3}]),
    ])
    def test_length_changes_carry_their_items_in_records(self, tmp_path, capsys, lists, expected):
        write_lines(tmp_path / "a.jsonl", [{"id": 1, "l": [1, 2, 3]}])
        write_lines(tmp_path / "b.jsonl", [{"id": 1, "l": [1]}])
        main(["rows", str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl"), "--key", "/id", "--output", "-", "--lists", lists])
        record = json.loads(capsys.readouterr().out)
        assert record["differences"] == expected


@pytest.mark.parametrize("output", [None, "-", "out.jsonl", "out.parquet", "diffs.jsonl", "diffs.parquet"])
def test_lone_surrogates_in_keys_and_values_reach_every_output(tmp_path, capfd, output):
    if output and output.endswith(".parquet"):
        pytest.importorskip("pyarrow", reason="Parquet needs the optional pyarrow")
    (tmp_path / "a.jsonl").write_text('{"id": "\\ud800", "v": 1}\n{"id": 2, "s": "\\udc00"}\n{"\\udfff": 1, "id": 3}\n')
    (tmp_path / "b.jsonl").write_text('{"id": 2, "s": "x"}\n{"id": 3}\n')
    argv = ["rows", str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl"), "--key", "/id", "--jobs", "1"]
    if output:
        argv += ["--output-differences" if output.startswith("diffs") else "--output",
                 output if output == "-" else str(tmp_path / output)]
    assert main(argv) == 1
    out, err = capfd.readouterr()
    assert "Traceback" not in err
    if output is None:
        headings = [line.split(" ", 1)[0] for line in out.splitlines() if not line.startswith(" ")][:3]
        assert sorted(headings) == ["changed", "changed", "only"] and "\\udfff" in out
    elif output == "-":
        assert sorted(json.loads(line)["kind"] for line in out.splitlines()) == ["changed", "changed", "only_in_a"]
    elif output.startswith("out"):
        assert sorted(r["kind"] for r in read_records(str(tmp_path / output))) == ["changed", "changed", "only_in_a"]


@pytest.mark.parametrize("jobs", [1, 2])
def test_runs_in_two_threads_count_their_own_rows(tmp_path, jobs):
    import threading

    sizes = {"small": 300, "large": 3000}
    for name, n in sizes.items():
        write_lines(tmp_path / f"{name}.jsonl", [{"id": i, "v": "x" * 50} for i in range(n)])
    counted: dict[str, int] = {}
    start = threading.Barrier(2)

    def run(name):
        path = str(tmp_path / f"{name}.jsonl")
        last = []
        start.wait()
        with diff_datasets(path, path, "/id", jobs=jobs, partitioning=TINY, progress=last.append) as found:
            list(found)
        counted[name] = last[-1].rows

    threads = [threading.Thread(target=run, args=(name,)) for name in sizes]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert counted == {name: 2 * n for name, n in sizes.items()}


def _damaged(data, how):
    packed = gzip.compress(data)
    if how == "cut":
        return packed[: len(packed) // 2]
    if how == "bad block":  # the deflate stream starts with a block of the reserved type
        return packed[:10] + b"\x07" + packed[11:]
    return packed[:-8] + b"\0\0\0\0" + packed[-4:]  # a wrong CRC


@pytest.mark.parametrize("how", ["cut", "bad block", "crc"])
@pytest.mark.parametrize("jobs", [1, 2])
def test_damaged_gzip_input_is_a_rows_error_naming_the_file(tmp_path, how, jobs):
    data = b"".join(b'{"id": %d, "v": %d}\n' % (i, i * 7) for i in range(5000))
    damaged, plain = tmp_path / "a.jsonl.gz", tmp_path / "b.jsonl"
    damaged.write_bytes(_damaged(data, how))
    plain.write_bytes(data)
    with pytest.raises(RowsError, match=f"{damaged}: cannot read"):
        with diff_datasets(str(damaged), str(plain), "/id", jobs=jobs) as found:
            list(found)


@pytest.mark.parametrize("name", ["out.jsonl", "out.jsonl.gz", "out.parquet"])
@pytest.mark.parametrize("jobs", [1, 2])
def test_records_made_where_compared_are_those_of_the_writer(tmp_path, files, name, jobs):
    from corvane_report.rows import RecordWriter, RowKey, write_datasets

    if name.endswith(".parquet"):
        pytest.importorskip("pyarrow", reason="Parquet needs the optional pyarrow")
    with open(files[0], "ab") as f:
        f.write(b'{"id": 9999, "x": tru}\n')  # an error record, from the partition of unkeyed rows
    options = dict(on_error="record", partitioning=Partitioning(partitions=5, block_bytes=20_000))
    summary = write_datasets(*files, "/id", str(tmp_path / name), jobs=jobs, **options)
    with RecordWriter(str(tmp_path / ("ref-" + name)), RowKey("/id")) as writer, \
            diff_datasets(*files, "/id", jobs=1, **options) as found:
        writer.write(found)
    assert summary == found.summary and summary.errors == 1
    made, expected = (list(read_records(str(tmp_path / n))) for n in (name, "ref-" + name))
    assert made == expected and len(made) > 20
    if name.endswith(".jsonl"):
        assert (tmp_path / name).read_bytes() == (tmp_path / ("ref-" + name)).read_bytes()


@pytest.mark.parametrize("option", ["--output", "--output-differences"])
def test_parquet_output_without_pyarrow_says_what_to_install(tmp_path, capsys, monkeypatch, option):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    write_lines(tmp_path / "a.jsonl", [{"id": 1}])
    status = main(["rows", str(tmp_path / "a.jsonl"), str(tmp_path / "a.jsonl"), "--key", "/id", option, str(tmp_path / "o.parquet")])
    assert (status, capsys.readouterr().err) == (2, "corvane-diff rows: Parquet files need pyarrow: pip install 'corvane[parquet]'\n")
    assert sorted(os.listdir(tmp_path)) == ["a.jsonl"]


@pytest.mark.parametrize("line, nan_equal, unread", [
    (b'{"id": 1, "x": "plain"}', True, True),
    (b'{"id": 1, "x": NaN}', True, True),
    (b'{"id": 1, "x": NaN}', False, False),
    (b'{"id": 1, "x": ' + b"9" * 60 + b"}", True, True),
    (b'{"id": 1, "x": "\\uDC00"}', True, True),
    (b'{"id": 1, "x": ' + b"[" * 1998 + b"]" * 1998 + b"}", True, True),
    (b'{"id": 1, "x": ' + b"[" * 2000 + b"]" * 2000 + b"}", True, False),  # may be too deep to compare
    (b'{"id": 1, "x": [' + b"{}, " * 3000 + b"{}]}", True, False),  # read to be sure, equal all the same
])
def test_identical_lines_unread_only_where_decoding_could_not_tell(line, nan_equal, unread):
    from corvane_report.rows._partitions import identical_spans
    from corvane_report.rows._rules import SHORT_LINE, same_unread, unread_pairs

    assert same_unread(line, nan_equal) is unread
    lines = [b'{"id": 0}'] * 1500 + [line] + [b'{"id": 2}'] * 700
    blob = b"".join(lines)
    offsets = array("q", itertools.accumulate(map(len, lines), initial=0))
    positions = list(range(len(lines)))
    other = positions[1:] + [0]  # each line against the next: only the repeated short ones are identical
    codes = identical_spans(blob, offsets, positions, blob, offsets, positions, SHORT_LINE, not nan_equal)
    assert unread_pairs(codes, lines.__getitem__, nan_equal) == [True] * 1500 + [unread] + [True] * 700
    codes = identical_spans(blob, offsets, positions, blob, offsets, other, SHORT_LINE, not nan_equal)
    expected = [True] * 1499 + [False, False] + [True] * 699 + [False]
    assert unread_pairs(codes, lines.__getitem__, nan_equal) == expected


def test_a_signal_in_a_shielded_block_waits_for_its_end():
    from corvane_report.rows import stop_on_signals
    from corvane_report.rows._signals import shielded

    reached = []
    with stop_on_signals() as stop:
        with pytest.raises(KeyboardInterrupt):
            with shielded():
                os.kill(os.getpid(), signal.SIGTERM)
                time.sleep(0.05)  # the handler has run by now, and kept the signal
                reached.append("end of the block")
        os.kill(os.getpid(), signal.SIGTERM)  # a second signal, while the first unwinds: ignored
    assert reached == ["end of the block"] and (stop.received, stop.status) == (signal.SIGTERM, 143)


@pytest.mark.parametrize("options, message", [
    (["--output", "{b}"], "--output {b} would replace the input {b}"),
    (["--output", "{d}", "--output-differences", "{d}"], "--output-differences {d} would replace the --output file {d}"),
])
def test_a_result_never_replaces_an_input_or_the_other_result(tmp_path, capsys, options, message):
    names = {"b": str(tmp_path / "b.jsonl"), "d": str(tmp_path / "d.jsonl")}
    write_lines(tmp_path / "a.jsonl", [{"id": 1}])
    write_lines(tmp_path / "b.jsonl", [{"id": 2}])
    status = main(["rows", str(tmp_path / "a.jsonl"), names["b"], "--key", "/id", *[o.format(**names) for o in options]])
    assert (status, capsys.readouterr().err) == (2, f"corvane-diff rows: {message.format(**names)}: give another name\n")
    assert (tmp_path / "b.jsonl").read_text() == '{"id": 2}\n' and not (tmp_path / "d.jsonl").exists()
