"""Several threads comparing at once on shared inputs whose hooks hand the interpreter to other
threads, and threads racing to make the process-wide classes in a fresh interpreter."""

import collections.abc as abc
import functools
import json
import subprocess
import sys
import threading
import time

import pytest

from corvane import corvane

try:
    from helpers import Map, child_script, panic_type, records
except ImportError:  # tests collected as a package
    from tests.helpers import Map, child_script, panic_type, records

THREADS, ROUNDS = 8, 100


def yield_first(value):
    time.sleep(0)  # lets another thread run in the middle of the walk
    return value


def slow(usual):
    return yield_first(usual())


SlowMap = functools.partial(Map, items_as="list", items=slow, getitem=slow, contains=slow)


class SlowSeq(abc.Sequence):
    def __init__(self, data):
        self.data = data

    def __iter__(self):
        return (yield_first(x) for x in self.data)

    __getitem__ = __len__ = None


class SlowIter:
    def __init__(self, data):
        self.it = iter(data)

    def __iter__(self):
        return self

    def __next__(self):
        return yield_first(next(self.it))

    def __length_hint__(self):
        raise yield_first(ValueError("no hint"))


LEAF = ["shared"]
PAIRS = {
    "plain": lambda: ({"a": [1, 2.5, "x", None], "b": {"c": (1, 2)}, "gone": LEAF},
                      {"a": [1, 3.5, "y"], "b": {"c": [1, 2, 3]}, "new": LEAF}),
    "custom": lambda: (SlowMap({"k": SlowSeq([1, 2, {"x": 1}]), "m": SlowMap({"p": 1}), "gone": 0}),
                       SlowMap({"k": SlowSeq([1, 5, {"x": 2}, 4]), "m": {"p": 1.0}, "new": LEAF})),
    "failure": lambda: ([SlowSeq([1, 2]), {"k": 2**127}], [[1, 2], SlowMap({"k": 2**127})]),
    "iterators": lambda: (SlowIter([[1], {"k": 2}, 3]), SlowIter([[1], {"k": 3}])),
}
SHARED = {name: make() for name, make in PAIRS.items() if name != "iterators"}  # iterators are used up


def compare(name):
    a, b = SHARED.get(name) or PAIRS[name]()
    try:
        out = corvane(a, b)
    except BaseException as exc:  # noqa: BLE001
        return type(exc), str(exc).split(", traceback")[0]
    lists = [out.val_changes, out.type_and_val_changes, out.dict_items_added, out.dict_items_removed,
             out.iter_len_mismatch]
    return [type(lst[0]) for lst in lists if lst], records(out)


@pytest.mark.no_leak_check
def test_concurrent_calls_match_single_threaded_run(unraisable):
    expected = {name: compare(name) for name in PAIRS}
    assert expected["failure"][0] is panic_type() and len(expected["custom"][0]) == 5
    hint_reports = len(unraisable)
    results, errors, start = [], [], threading.Barrier(THREADS)

    def work():
        try:
            start.wait()
            results.extend((name, compare(name)) for name in list(PAIRS) * (ROUNDS // len(PAIRS)))
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work) for _ in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert len(results) == THREADS * (ROUNDS // len(PAIRS)) * len(PAIRS)
    assert [(name, got) for name, got in results if got != expected[name]] == []
    # every run on the iterators reports its failing length hints, whichever thread it ran on
    assert len(unraisable) == hint_reports * (1 + sum(name == "iterators" for name, _ in results))


FIRST_USE_RACE = """
    import json, sys, threading, time
    from corvane import corvane
    from helpers import Map, then

    def slow_map(data):  # lets another thread run before each lookup and `in`
        pause = then(lambda: time.sleep(0))
        return Map(data, getitem=pause, contains=pause)

    def panic(steps):
        try:
            corvane([slow_map({"k": 1})], [{"k": 2**200}])
        except BaseException as exc:
            steps.append(("panic", id(type(exc)), type(exc).__name__, "OverflowError" in str(exc)))

    def read(steps):
        out = corvane({"m": slow_map({"x": [1, 2]}), "gone": 1, "t": None},
                      slow_map({"m": {"x": (1, 3, 4)}, "new": 2, "t": 0}))
        for name in ("val_changes", "type_and_val_changes", "dict_items_added", "dict_items_removed",
                     "iter_len_mismatch"):
            steps += [(name, id(type(r)), type(r).__name__, r.path) for r in getattr(out, name)]

    sys.setswitchinterval(1e-6)
    start, seen = threading.Barrier(8), [None] * 8

    def work(i):
        start.wait()
        steps = []
        for step in ((panic, read) if i % 2 else (read, panic)):
            step(steps)
        seen[i] = sorted(steps)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads: t.start()
    for t in threads: t.join()
    print(json.dumps(seen))
"""


@pytest.mark.no_leak_check
@pytest.mark.parametrize("attempt", range(4))
def test_first_use_race_in_fresh_interpreter(attempt):
    # The record classes, the PanicException class and the abstract classes are all made or
    # fetched for the first time while eight threads need them at once.
    run = subprocess.run([sys.executable, "-c", child_script(FIRST_USE_RACE)], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    seen = json.loads(run.stdout)
    assert all(steps == seen[0] for steps in seen), "threads saw different classes or results"
    assert [tuple(step[0::2]) for step in seen[0]] == [
        ("dict_items_added", "DictDiff"), ("dict_items_removed", "DictDiff"), ("iter_len_mismatch", "IterLenMismatch"),
        ("panic", "PanicException"), ("type_and_val_changes", "TypeAndValChange"), ("val_changes", "ValChange")]
    assert [step[3] for step in seen[0]] == [[], [], ["m", "x"], True, ["t"], ["m", "x", 1]]
    assert len({step[1] for step in seen[0]}) == 5  # four record classes and the exception class
