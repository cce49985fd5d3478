"""Keyed rows: diff_rows in memory, diff_datasets spilled in this process and in worker processes,
and corvane-diff rows; each against a plain in-memory reference."""

import json
import math
import os
import signal
import subprocess
import sys
import time

import pytest
from rows_data import datasets, normalised, reference, write_lines

from corvane_report import Tolerance, diff_rows
from corvane_report.cli import main
from corvane_report.rows import Partitioning, RowsError, diff_datasets, read_records

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


def test_identical_lines_holding_nan_differ_as_corvane_says(tmp_path):
    lines = '{"id": 1, "x": NaN}\n{"id": 2, "x": 1.5}\n'
    (tmp_path / "a.jsonl").write_text(lines)
    found = list(diff_datasets(str(tmp_path / "a.jsonl"), str(tmp_path / "a.jsonl"), "/id", jobs=1))
    assert [(d.kind, d.key, [e.pointer for e in d.entries]) for d in found] == [("changed", (1,), ["/x"])]


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
        with pytest.raises(RowsError, match=r"^cannot compare a:1 with b:1 \(key \{\"/id\": 1\}\): OverflowError.* at /n of a:1$"):
            list(diff_rows([{"id": 1, "n": 2**200}], [{"id": 1, "n": 0}], "/id"))

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
