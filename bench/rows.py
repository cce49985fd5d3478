"""Keyed datasets benchmark: corvane-diff rows against DuckDB, datacompy and a per-row deepdiff loop.

    .venv/bin/python bench/rows.py                 # 100k and 1M rows a side (about 0.1 and 1 GB)
    .venv/bin/python bench/rows.py --rows 200000   # 100k and 200k
    .venv/bin/python bench/rows.py --quick         # 20k rows, corvane and DuckDB only (about 20 s)

Generates two JSON Lines datasets of nested records (seeded, written as they are made, never held
in memory) under build/bench-rows: b is a with 1% of the rows changed, 1% removed and 1% added.
At each size, measures DuckDB running bench/rows_duckdb.sql (a full outer join on the key,
IS DISTINCT FROM over the typed rows: which rows differ, not what changed) and corvane-diff rows
with 1 and 2 worker processes (wall time; peak memory of the whole process tree, sampled: the sum
of the processes' proportional set sizes and the largest single resident set); at the larger
size also datacompy (pandas) on the rows flattened to the columns it can compare, and DeepDiff
on a sample of row pairs, extrapolated. Writes bench/results/rows.md (not with --quick). Exits
non-zero when corvane's or DuckDB's counts differ from the planted ones. Nothing is asserted on
a duration.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import psutil

ROOT = Path(__file__).resolve().parents[1]
DUCKDB_SQL = ROOT / "bench" / "rows_duckdb.sql"
WORK = ROOT / "build" / "bench-rows"
RESULTS = ROOT / "bench" / "results" / "rows.md"
SCRIPT = Path(sys.executable).parent / "corvane-diff"
SAMPLE_PAIRS = 2000


# --- data ----------------------------------------------------------------------------------------


def record(rng: random.Random, i: int) -> dict[str, object]:
    """A customer of about 1 KB as JSON: nested objects, lists of objects, floats, nulls."""
    return {
        "id": i,
        "region": rng.choice(["eu-west", "us-east", "ap-south"]),
        "name": f"Customer {i:07d}",
        "email": f"customer{i}@example.org",
        "active": rng.random() < 0.9,
        "score": round(rng.random() * 100, 3),
        "address": {
            "street": f"{rng.randint(1, 999)} {rng.choice(['Main', 'High', 'Station', 'Park'])} Street",
            "city": rng.choice(["Oslo", "Lima", "Pune", "Lyon", "Kobe"]),
            "zip": f"{rng.randint(10000, 99999)}",
            "geo": {"lat": round(rng.uniform(-90, 90), 6), "lon": round(rng.uniform(-180, 180), 6)},
        },
        "tags": rng.sample(["new", "vip", "b2b", "churn-risk", "newsletter", "beta", "eu", "mobile"], 4),
        "orders": [
            {"sku": f"SKU-{rng.randint(1, 99999):05d}", "qty": rng.randint(1, 9), "price": round(rng.uniform(1, 500), 2),
             "placed_at": f"2026-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T{rng.randint(0, 23):02d}:00:00Z",
             "status": rng.choice(["paid", "shipped", "returned"])}
            for _ in range(5)
        ],
        "preferences": {"language": rng.choice(["en", "fr", "ja"]), "currency": rng.choice(["EUR", "USD", "JPY"]),
                        "marketing": {"email": rng.random() < 0.5, "sms": rng.random() < 0.2}},
        "notes": None,
    }


def change(rng: random.Random, row: dict[str, object]) -> None:
    what = rng.randrange(4)
    if what == 0:
        row["address"]["city"] = "Quito"  # type: ignore[index]
    elif what == 1:
        row["orders"][rng.randrange(4)]["status"] = "cancelled"  # type: ignore[index]
    elif what == 2:
        row["tags"].append("migrated")  # type: ignore[attr-defined]
    else:
        row["score"] = str(row["score"])  # a type change


@dataclass
class Planted:
    rows_a: int = 0
    rows_b: int = 0
    changed: int = 0
    removed: int = 0
    added: int = 0


def generate(rows: int, folder: Path, seed: int = 7) -> Planted:
    """a.jsonl and b.jsonl in `folder`, written row by row (kept from an earlier --keep run)."""
    made = folder / "planted.json"
    if made.exists():
        return Planted(**json.loads(made.read_text()))
    folder.mkdir(parents=True, exist_ok=True)
    planted = Planted()
    data, plan = random.Random(seed), random.Random(seed + 1)
    with open(folder / "a.jsonl", "w") as a, open(folder / "b.jsonl", "w") as b:
        for i in range(rows):
            row = record(data, i)
            a.write(json.dumps(row) + "\n")
            planted.rows_a += 1
            roll = plan.random()
            if roll < 0.01:
                planted.removed += 1
                continue
            if roll < 0.02:
                change(plan, row)
                planted.changed += 1
            b.write(json.dumps(row) + "\n")
            if roll > 0.99:
                b.write(json.dumps(record(data, rows + planted.added)) + "\n")
                planted.added += 1
        planted.rows_b = planted.rows_a - planted.removed + planted.added
    made.write_text(json.dumps(planted.__dict__))
    return planted


# --- measuring -----------------------------------------------------------------------------------


class TreeMemory:
    """Samples the memory and CPU time of a process and all its descendants every 50 ms."""

    def __init__(self, pid: int) -> None:
        self.root = psutil.Process(pid)
        self.pss_sum = self.rss_max = 0
        self.cpu: dict[int, float] = {}  # the last CPU seconds seen of each process
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        while not self.done.wait(0.05):
            try:
                processes = [self.root, *self.root.children(recursive=True)]
            except psutil.NoSuchProcess:
                return
            total = 0
            for process in processes:
                try:
                    info = process.memory_full_info()
                    times = process.cpu_times()
                except (psutil.NoSuchProcess, psutil.AccessDenied):
                    continue
                total += info.pss
                self.rss_max = max(self.rss_max, info.rss)
                self.cpu[process.pid] = times.user + times.system
            self.pss_sum = max(self.pss_sum, total)

    def stop(self) -> None:
        self.done.set()
        self.thread.join()


@dataclass
class Run:
    label: str
    rows: int
    seconds: float
    cpu_seconds: float
    pss_mib: float
    rss_mib: float
    summary: dict[str, int]


def free_cores() -> float:
    """The cores this run gets now: CPU seconds per wall second of two busy processes side by side
    (the machine may be shared with other work)."""
    spin = "import time\nend = time.monotonic() + 2\nwhile time.monotonic() < end: pass\nprint(time.process_time())"
    children = [subprocess.Popen([sys.executable, "-c", spin], stdout=subprocess.PIPE, text=True) for _ in range(2)]
    return sum(float(child.communicate()[0]) for child in children) / 2


def best_of(runs: int, folder: Path, jobs: int, rows: int) -> Run:
    """The fastest of a few runs (the machine is shared), with the largest memory seen in any."""
    done = [run_corvane(folder, jobs, rows) for _ in range(runs)]
    best = min(done, key=lambda run: run.seconds)
    best.pss_mib, best.rss_mib = max(run.pss_mib for run in done), max(run.rss_mib for run in done)
    return best


def run_corvane(folder: Path, jobs: int, rows: int) -> Run:
    out = folder / "out.jsonl"
    argv = [str(SCRIPT), "rows", str(folder / "a.jsonl"), str(folder / "b.jsonl"), "--key", "/id",
            "--jobs", str(jobs), "--output", str(out)]
    started = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    memory = TreeMemory(child.pid)
    stdout, stderr = child.communicate()
    seconds = time.perf_counter() - started
    memory.stop()
    if child.returncode != 1:
        sys.exit(f"corvane-diff rows failed ({child.returncode}): {stderr}")
    counts = {}
    for line in stdout.splitlines():
        for part in line.split(", "):
            name, _, value = part.partition(": ")
            if value.replace(",", "").isdigit():
                counts[name.strip()] = int(value.replace(",", ""))
    out.unlink()
    return Run(f"corvane-diff rows --jobs {jobs}", rows, seconds, sum(memory.cpu.values()),
               memory.pss_sum / 2**20, memory.rss_max / 2**20, counts)


_DUCKDB_CHILD = """
import sys, duckdb
sql = open(sys.argv[1]).read().replace("{a}", sys.argv[2]).replace("{b}", sys.argv[3])
connection = duckdb.connect()
connection.execute("SET enable_progress_bar = false")
if sys.argv[4:]:
    connection.execute(f"SET threads = {int(sys.argv[4])}")
for statement in sql.split(";"):
    body = "\\n".join(line for line in statement.splitlines() if not line.lstrip().startswith("--")).strip()
    if body:
        found = connection.execute(body).fetchall()
print(*found[0])
"""


def run_duckdb(folder: Path, rows: int, threads: int | None = None) -> Run:
    """bench/rows_duckdb.sql in a process of its own (by default DuckDB's threads: every core)."""
    argv = [sys.executable, "-c", _DUCKDB_CHILD, str(DUCKDB_SQL), str(folder / "a.jsonl"), str(folder / "b.jsonl"),
            *([str(threads)] if threads else [])]
    started = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    memory = TreeMemory(child.pid)
    stdout, stderr = child.communicate()
    seconds = time.perf_counter() - started
    memory.stop()
    if child.returncode:
        sys.exit(f"DuckDB failed ({child.returncode}): {stderr}")
    only_a, only_b, changed = map(int, stdout.split()[-3:])
    counts = {"only in a": only_a, "only in b": only_b, "changed": changed, "duplicate keys": 0}
    label = "DuckDB (SQL: full outer join, IS DISTINCT FROM)" + (f", {threads} thread" if threads else "")
    return Run(label, rows, seconds, sum(memory.cpu.values()), memory.pss_sum / 2**20, memory.rss_max / 2**20, counts)


def best_duckdb(runs: int, folder: Path, rows: int, threads: int | None = None) -> Run:
    done = [run_duckdb(folder, rows, threads) for _ in range(runs)]
    best = min(done, key=lambda run: run.seconds)
    best.pss_mib, best.rss_mib = max(run.pss_mib for run in done), max(run.rss_mib for run in done)
    return best


def check(run: Run, planted: Planted) -> None:
    expected = {"only in a": planted.removed, "only in b": planted.added, "changed": planted.changed, "duplicate keys": 0}
    found = {name: run.summary.get(name) for name in expected}
    if found != expected:
        sys.exit(f"{run.label}: counted {found}, planted {expected}")


def lines(path: Path, limit: int | None = None) -> Iterator[dict[str, object]]:
    with open(path) as f:
        for i, line in enumerate(f):
            if limit is not None and i >= limit:
                return
            yield json.loads(line)


def run_datacompy(folder: Path) -> tuple[float, float, dict[str, int]]:
    """Load both sides into pandas, flattened (lists as JSON text: datacompy compares flat columns
    only), and compare them by id. Returns (load seconds, compare seconds, counts)."""
    import datacompy
    import pandas as pd

    def frame(path: Path) -> pd.DataFrame:
        chunks, batch = [], []
        for row in lines(path):
            row["tags"] = json.dumps(row["tags"])
            row["orders"] = json.dumps(row["orders"])
            batch.append(row)
            if len(batch) == 100_000:
                chunks.append(pd.json_normalize(batch))
                batch = []
        chunks.append(pd.json_normalize(batch))
        return pd.concat(chunks, ignore_index=True)

    started = time.perf_counter()
    a, b = frame(folder / "a.jsonl"), frame(folder / "b.jsonl")
    # A few values of another type make a whole column of mixed objects, on which datacompy reports
    # every row: such columns are compared as text (so it misses those type changes).
    for column in a.columns.intersection(b.columns):
        if a[column].dtype != b[column].dtype:
            a[column], b[column] = a[column].astype(str), b[column].astype(str)
    loaded = time.perf_counter()
    compare = datacompy.PandasCompare(a, b, join_columns="id")
    counts = {"only in a": len(compare.df1_unq_rows), "only in b": len(compare.df2_unq_rows),
              "changed": len(compare.all_mismatch())}
    return loaded - started, time.perf_counter() - loaded, counts


def run_deepdiff(folder: Path, rows: int) -> tuple[float, int]:
    """DeepDiff over a sample of row pairs (the first rows of a with their rows in b, planted changes
    in proportion); returns (seconds per pair, pairs)."""
    from deepdiff import DeepDiff

    a = {row["id"]: row for row in lines(folder / "a.jsonl", SAMPLE_PAIRS)}
    pairs = [(a[row["id"]], row) for row in lines(folder / "b.jsonl", SAMPLE_PAIRS * 2) if row["id"] in a]
    started = time.perf_counter()
    for first, second in pairs:
        DeepDiff(first, second)
    return (time.perf_counter() - started) / len(pairs), len(pairs)


# --- report --------------------------------------------------------------------------------------


def table(runs: list[Run], size_mb: float, cores: float, peers: dict[str, tuple[float, float]]) -> str:
    big = max(run.rows for run in runs)
    out = [f"Two JSON Lines datasets of nested records (at {big:,} rows, about {size_mb:,.0f} MB a side; 1% of the rows "
           f"changed, 1% removed, 1% added), keyed by /id, on a machine of {os.cpu_count()} cores shared with other "
           f"work: two busy processes got {cores:.1f} cores between them when the runs began. Seconds are the best of two "
           "runs; CPU seconds are those of every process of the run. corvane writes every result with its differences "
           "(JSON Lines); DuckDB only counts the rows that differ.",
           "",
           "| run | rows a side | seconds | rows/s (of a) | CPU seconds | peak memory, sum of PSS | largest process RSS |",
           "|---|---:|---:|---:|---:|---:|---:|"]
    for run in runs:
        out.append(f"| {run.label} | {run.rows:,} | {run.seconds:.1f} | {run.rows / run.seconds:,.0f} | "
                   f"{run.cpu_seconds:.1f} | {run.pss_mib:.0f} MiB | {run.rss_mib:.0f} MiB |")
    best = min(run.seconds for run in runs if run.rows == big and run.label.startswith("corvane"))
    for label, (seconds, peak) in peers.items():
        memory = f"{peak:,.0f} MiB" if peak else ""
        out.append(f"| {label} | {big:,} | {seconds:,.1f} | {big / seconds:,.0f} | | | {memory} |")
    ratios = []
    for rows in sorted({run.rows for run in runs}):
        at = {run.label.split(" --jobs ")[-1] if "--jobs" in run.label else
              "duckdb1" if run.label.endswith(", 1 thread") else "duckdb": run.seconds for run in runs if run.rows == rows}
        ratios.append(f"at {rows:,} rows, DuckDB / corvane --jobs 1: {at['duckdb'] / at['1']:.2f}, DuckDB on one thread / "
                      f"corvane --jobs 1: {at['duckdb1'] / at['1']:.2f}, corvane --jobs 1 / --jobs 2: {at['1'] / at['2']:.2f}")
    out += ["", "Speed-ups (time over time): " + "; ".join(ratios) + "."]
    if peers:
        out += ["", "Ratios to the faster corvane run at the larger size: " +
                "; ".join(f"{label}: {seconds / best:,.1f} times slower" for label, (seconds, _) in peers.items())]
    return "\n".join(out) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000, help="the larger size (the smaller: 100,000)")
    parser.add_argument("--keep", action="store_true", help="keep the generated data")
    parser.add_argument("--quick", action="store_true", help="20,000 rows, corvane and DuckDB only, no results file")
    args = parser.parse_args()
    runs: list[Run] = []
    sizes = [20_000] if args.quick else [min(100_000, args.rows), args.rows]
    try:
        folders = {rows: WORK / f"rows-{rows}" for rows in dict.fromkeys(sizes)}
        print(f"generating {' and '.join(f'{rows:,}' for rows in folders)} rows a side under {WORK}", flush=True)
        planted = {rows: generate(rows, folder) for rows, folder in folders.items()}
        big = folders[sizes[-1]]
        size_mb = (big / "a.jsonl").stat().st_size / 1e6
        cores = free_cores()
        print(f"two busy processes get {cores:.1f} cores", flush=True)
        for rows, folder in folders.items():
            for run in (best_duckdb(2, folder, rows), best_duckdb(2, folder, rows, threads=1), best_of(2, folder, 1, rows),
                        best_of(2, folder, 2, rows)):
                check(run, planted[rows])
                runs.append(run)
                print(f"{run.label}, {rows:,} rows: {run.seconds:.1f} s, {run.cpu_seconds:.1f} CPU s, "
                      f"{run.pss_mib:.0f} MiB (PSS sum), {run.rss_mib:.0f} MiB (largest RSS)", flush=True)
        if args.quick:
            print(table(runs, size_mb, cores, {}))
            return
        args.rows = sizes[-1]
        per_pair, pairs = run_deepdiff(big, args.rows)
        print(f"deepdiff: {per_pair * 1e3:.2f} ms a pair over {pairs:,} pairs", flush=True)
        load, compare, counts = run_datacompy(big)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # this process's peak: datacompy's frames
        print(f"datacompy: {load:.1f} s to load and flatten, {compare:.1f} s to compare, {peak:,.0f} MiB peak; {counts}", flush=True)
        peers = {"datacompy (pandas; flattened, lists as text; load + compare)": (load + compare, peak),
                 f"DeepDiff per row pair (extrapolated from {pairs:,} pairs; reading not counted)": (per_pair * args.rows, 0.0)}
        text = table(runs, size_mb, cores, peers)
        print(text)
        RESULTS.write_text("# corvane-diff rows benchmark\n\n" + text)
    finally:
        if not args.keep:
            shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
