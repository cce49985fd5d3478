"""corvane-diff rows under real signals and kills, at random moments: a worker killed with SIGKILL
(as the out-of-memory killer does) ends the run with exit 2 naming its task; SIGINT or SIGTERM
to the process group ends it with 130 or 143 within seconds; no spill folder, partial output
file or process is left either way.

The sweep runs CORVANE_SWEEP_RUNS runs (24 in CI; `make sweep-rows` runs a few hundred). Each
child gets SIGINT's and SIGTERM's default dispositions and a process group of its own, whatever
the suite was started with (a background job inherits SIGINT ignored)."""

import json
import os
import random
import re
import signal
import subprocess
import sys
import time

import pytest

from corvane_report.rows import read_records

SCRIPT = os.path.join(os.path.dirname(sys.executable), "corvane-diff")
RUNS = int(os.environ.get("CORVANE_SWEEP_RUNS", "24"))
SMALL = ["--block-size", "256k", "--partition-size", "128k"]  # many tasks in both passes
ENDED_WITHIN = 5.0
_TASK = re.compile(r"while (reading \S+ \(bytes \d+-(\d+|end)\)|reading \S+|comparing partition \d+ of \d+|"
                   r"collecting the rows that could not be keyed)|between tasks")


def _own_group() -> None:
    os.setpgrp()
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    """Two JSON Lines files of 30,000 rows, about 4 MB each, and the number of results."""
    folder = tmp_path_factory.mktemp("sweep")
    rng = random.Random(5)
    with open(folder / "a.jsonl", "w") as a, open(folder / "b.jsonl", "w") as b:
        for i in range(30_000):
            row = {"id": i, "name": f"row {i}", "tags": ["x", "y"][: i % 3], "score": rng.random(), "pad": "p" * 60}
            a.write(json.dumps(row) + "\n")
            if i % 50:
                row["score"] = rng.random() if i % 7 == 0 else row["score"]
                b.write(json.dumps(row) + "\n")
    status = subprocess.run([SCRIPT, "rows", folder / "a.jsonl", folder / "b.jsonl", "--key", "/id", "--jobs", "1",
                             "--output", folder / "expected.jsonl"], capture_output=True, timeout=120)
    assert status.returncode == 1, status.stderr
    return folder, sum(1 for _ in read_records(str(folder / "expected.jsonl")))


def _parents():
    found = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    found[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                continue
    return found


def _command(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read()
    except OSError:
        return b""


def _workers(pid):
    """The worker processes of a run: its children forked from it, or those of its fork server."""
    parents = _parents()
    children = [child for child, parent in parents.items() if parent == pid]
    helpers = [child for child in children if b"forkserver" in _command(child) or b"resource_tracker" in _command(child)]
    return [child for child, parent in parents.items() if parent in helpers or parent == pid and child not in helpers
            and _command(child) == _command(pid)]


class Run:
    def __init__(self, folder, tmp_path, jobs=2):
        self.temp = tmp_path / "temp"
        self.temp.mkdir()
        self.output = tmp_path / "out.jsonl"
        argv = [SCRIPT, "rows", folder / "a.jsonl", folder / "b.jsonl", "--key", "/id", "--jobs", str(jobs), *SMALL,
                "--output", self.output, "--temp-dir", self.temp]
        # PYTHONFAULTHANDLER: a run that hangs is ended with SIGABRT, which prints where each thread was.
        self.child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=_own_group,
                                      env=dict(os.environ, PYTHONFAULTHANDLER="1"))

    def end(self):
        """(status, standard error, seconds from now to the end)."""
        started = time.monotonic()
        try:
            _, err = self.child.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            os.killpg(self.child.pid, signal.SIGABRT)
            _, err = self.child.communicate(timeout=60)
            pytest.fail(f"the run hung:\n{err.decode()}")
        return self.child.returncode, err.decode(), time.monotonic() - started

    def left_behind(self):
        """Spill folders, temporary output files and processes that outlived the run."""
        left = [str(p) for p in self.temp.iterdir()] + [str(p) for p in self.output.parent.glob(".out.jsonl.*")]
        deadline = time.monotonic() + 2
        while time.monotonic() < deadline:
            try:
                os.killpg(self.child.pid, 0)
            except ProcessLookupError:
                return left
            time.sleep(0.05)
        return left + ["processes of the run's group"]


def _checked(run, expected, signum, status, err, seconds):
    assert seconds < ENDED_WITHIN, f"took {seconds:.1f} s to end after the signal"
    assert run.left_behind() == []
    if run.output.exists():  # there only once whole (the signal may come after the run, as it exits)
        assert sum(1 for _ in read_records(str(run.output))) == expected
    if status in (0, 1):
        assert run.output.exists()
        return
    if signum == signal.SIGKILL:
        assert status == 2 and err.count("\n") == 1, err
        # Killed the moment it was forked, a worker may die before the command has seen it start.
        started = err == "corvane-diff rows: a worker process ended abruptly as the workers started\n"
        assert started or err.startswith("corvane-diff rows: a worker process was killed by SIGKILL ") and _TASK.search(err), err
        return
    word = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated"}[signum]
    if status == 128 + signum:
        assert err == f"corvane-diff rows: {word}\n"
        return
    # Before the program set its own handler, or after it finished: the signal's default action (a
    # Ctrl-C during the interpreter's start prints its KeyboardInterrupt).
    assert status == -signum, (status, err)
    assert err == "" or err.rstrip().endswith("KeyboardInterrupt"), err


@pytest.mark.parametrize("seed", range(RUNS))
def test_signals_and_kills_at_random_moments(dataset, tmp_path, seed):
    folder, expected = dataset
    rng = random.Random(seed)
    signum = (signal.SIGKILL, signal.SIGINT, signal.SIGTERM)[seed % 3]
    run = Run(folder, tmp_path)
    time.sleep(rng.uniform(0, 2.5))
    if signum == signal.SIGKILL:
        deadline = time.monotonic() + 10
        while not (workers := _workers(run.child.pid)) and run.child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        if workers:
            os.kill(rng.choice(workers), signal.SIGKILL)
    else:
        os.killpg(run.child.pid, signum)
    _checked(run, expected, signum, *run.end())


def test_a_killed_worker_names_its_task(dataset, tmp_path):
    folder, _ = dataset
    run = Run(folder, tmp_path)
    deadline = time.monotonic() + 10
    while len(workers := _workers(run.child.pid)) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.05)  # at work on a task
    os.kill(workers[0], signal.SIGKILL)
    status, err, seconds = run.end()
    assert (status, seconds < ENDED_WITHIN, run.left_behind()) == (2, True, [])
    assert re.fullmatch(r"corvane-diff rows: a worker process was killed by SIGKILL (while comparing .* \(as the "
                        r"out-of-memory killer does: a smaller --partition-size needs less memory\)|(while (reading|"
                        r"collecting) .*|between tasks) \(as the out-of-memory killer does\))\n", err), err


def test_a_parent_killed_outright_leaves_no_worker(dataset, tmp_path):
    folder, _ = dataset
    run = Run(folder, tmp_path)
    deadline = time.monotonic() + 10
    while len(workers := _workers(run.child.pid)) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    run.child.kill()
    run.end()
    deadline = time.monotonic() + ENDED_WITHIN
    while any(os.path.exists(f"/proc/{pid}") for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not [pid for pid in workers if os.path.exists(f"/proc/{pid}")]
