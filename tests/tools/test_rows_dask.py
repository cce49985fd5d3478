"""Keyed rows on a Dask LocalCluster of two worker processes: the same results as in memory and
as spilled on this machine, records written by the workers, errors that name the row."""

import json
import os

import pytest
from rows_data import datasets, normalised, reference, write_lines

pytest.importorskip("dask.dataframe", reason="the Dask tests need the optional extra: pip install 'corvane[dask]'")
distributed = pytest.importorskip("distributed", reason="the Dask tests need the optional extra: pip install 'corvane[dask]'")

from corvane_report.cli import main  # noqa: E402
from corvane_report.rows import (  # noqa: E402
    Partitioning, RowsError, connect, diff_datasets, diff_on_dask, read_records, write_on_dask,
)

SMALL = Partitioning(partitions=5, block_bytes=20_000)


@pytest.fixture(scope="session")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as connected:
            yield connected


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    a, b = datasets(seed=2)
    folder = tmp_path_factory.mktemp("dask-rows")
    write_lines(folder / "a.jsonl", a, blank_every=40)
    write_lines(folder / "b.jsonl.gz", b)
    return (a, b), str(folder / "a.jsonl"), str(folder / "b.jsonl.gz")


def test_same_results_as_in_memory_and_spilled(client, files):
    (a, b), first, second = files
    found = diff_on_dask(first, second, "/id", client=client, ignore="/orders/*/qty", partitioning=SMALL)
    on_dask = list(found)
    assert normalised(on_dask) == reference(a, b, ["/id"], ignore=("/orders/*/qty",))
    local = diff_datasets(first, second, "/id", jobs=1, ignore="/orders/*/qty")
    assert sorted(map(repr, on_dask)) == sorted(map(repr, local))  # row locations included
    assert found.summary == local.summary


@pytest.mark.parametrize("folder, scheme", [("out", "file://"), ("out.parquet", "")])
def test_records_written_by_the_workers(client, files, tmp_path, folder, scheme):
    (a, b), first, second = files
    summary = write_on_dask(scheme + first, second, "/id", scheme + str(tmp_path / folder), client=client, partitioning=SMALL)
    names = sorted(os.listdir(tmp_path / folder))
    parts = [name for name in names if name.startswith("part-")]
    assert names == ["_SUCCESS", *parts, "summary.json"] and len(parts) == SMALL.partitions
    records = [r for part in parts for r in read_records(str(tmp_path / folder / part))]
    expected = reference(a, b, ["/id"])
    assert sorted((r["kind"], json.dumps(list(r["key"].values()))) for r in records) == sorted((k, key) for k, key, *_ in expected)
    written = json.loads((tmp_path / folder / "summary.json").read_text())
    assert written["changed"] == summary.changed == sum(kind == "changed" for kind, *_ in expected)


def test_a_bad_line_is_named_by_file_and_line(client, tmp_path):
    rows = [json.dumps({"id": i}) for i in range(3000)]
    rows[2500] = '{"id": 2500,'
    (tmp_path / "a.jsonl").write_text("\n".join(rows))
    with pytest.raises(RowsError, match=f"^{tmp_path / 'a.jsonl'}:2501:13: invalid JSON"):
        list(diff_on_dask(str(tmp_path / "a.jsonl"), str(tmp_path / "a.jsonl"), "/id", client=client, partitioning=SMALL))


def test_command_line_with_a_scheduler(client, files, capsys):
    _, first, second = files
    address = client.scheduler.address
    status = main(["rows", first, second, "--key", "/id", "--scheduler", address])
    on_dask = capsys.readouterr().out.splitlines()
    assert main(["rows", first, second, "--key", "/id", "--jobs", "1"]) == status == 1
    local = capsys.readouterr().out.splitlines()
    assert on_dask[-8:] == local[-8:]  # the summary
    assert sorted(on_dask) == sorted(local)


def test_an_output_folder_is_taken_whole(client, files, tmp_path):
    (a, b), first, second = files
    out = tmp_path / "out"
    out.mkdir()
    (out / "part-00999.jsonl").write_text('{"stale": true}\n')  # an earlier run's, with more partitions
    with pytest.raises(RowsError, match=f"^{out}: the output folder is not empty \\(--overwrite empties it\\)$"):
        write_on_dask(first, second, "/id", str(out), client=client, partitioning=SMALL)
    assert os.listdir(out) == ["part-00999.jsonl"]
    write_on_dask(first, second, "/id", str(out), client=client, partitioning=SMALL, overwrite=True)
    names = sorted(os.listdir(out))
    assert "part-00999.jsonl" not in names and names[0] == "_SUCCESS" and len(names) == SMALL.partitions + 2


def test_a_bad_line_is_recorded_and_progress_shows_each_phase(client, tmp_path):
    rows = [json.dumps({"id": i, "v": i}) for i in range(3000)]
    rows[2500] = '{"id": 2500,'
    (tmp_path / "a.jsonl").write_text("\n".join(rows))
    (tmp_path / "b.jsonl").write_text("\n".join(rows[:2000]))
    seen = []
    found = diff_on_dask(str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl"), "/id", client=client, partitioning=SMALL,
                         on_error="record", progress=lambda state: seen.append((state.phase, state.rows)))
    results = list(found)
    errors = [d for d in results if d.kind == "error"]
    assert len(errors) == 1 and errors[0].a[0].at == f"{tmp_path / 'a.jsonl'}:2501"
    assert found.summary.errors == 1 and found.summary.only_in_a == 999
    assert seen[-1] == ("comparing", 5000) and seen == sorted(seen, key=lambda s: ["reading", "shuffling", "comparing"].index(s[0]))


def test_an_unreachable_scheduler_within_the_timeout():
    with pytest.raises(RowsError, match=r"^cannot reach the Dask scheduler at tcp://127.0.0.1:9 within 0.5 s: "):
        connect("tcp://127.0.0.1:9", timeout=0.5)


def test_the_dask_extra_brings_the_dashboard():
    import tomllib

    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    with open(os.path.join(root, "pyproject.toml"), "rb") as f:
        extras = tomllib.load(f)["project"]["optional-dependencies"]
    assert any(dependency.startswith("bokeh") for dependency in extras["dask"])
