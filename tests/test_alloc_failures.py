"""Memory running out at any point of a call. Every call ends in its result, MemoryError or
PanicException; it never hangs or ends the process, every reference count is as it was, and the
next call works. The module's C++ allocations fail through the injector of the test build
(tools/fault_build.sh builds it and runs this file); the interpreter's own allocations fail
through _testcapi.set_nomemory, in every build."""

import subprocess
import sys
import textwrap

import pytest

from corvane import corvane

try:
    from helpers import Map, Seq, records, refcounts
except ImportError:  # tests collected as a package
    from tests.helpers import Map, Seq, records, refcounts

_testcapi = pytest.importorskip("_testcapi")


def trees():
    """A fresh pair that takes every path that allocates: dicts read in step and out of step,
    added and removed keys, a custom mapping and sequence (so views are pinned), iterators,
    records of every kind, and long lists."""
    def side(n):
        return {
            "id": 10**12 + n, "name": "".join(["é", "ß"]) * (n + 1), "ratio": 0.5 * n,
            "tags": ["a", "b", "c"][: 2 + n], "nested": {"deep": [[n, [n]], {"k": n}]},
            "custom": Map({"x": [n], "y": Seq([1, 2, n])}), "steps": iter(range(3 + n)),
            "only_" + str(n): None, "long": list(range(50)) + [n],
        }
    return side(0), side(1)


def outcome(a, b, no_memory=None):
    """The records of corvane(a, b), or how it failed; `no_memory` (start, stop) makes the
    interpreter's allocations fail within the call only."""
    try:
        if no_memory is None:
            out = corvane(a, b)
        else:
            _testcapi.set_nomemory(*no_memory)
            try:
                out = corvane(a, b)
            finally:
                _testcapi.remove_mem_hooks()
        return records(out)  # reading the lists allocates too
    except MemoryError:
        return "memory"
    except BaseException as exc:  # noqa: BLE001 - the kind is checked
        assert type(exc).__name__ == "PanicException", repr(exc)
        return "panic"


EXPECTED = outcome(*trees())


def fail_at_each(points, unraisable, attempt):
    """For each point, a fresh pair compared by `attempt(a, b, point)`: its result, MemoryError or
    PanicException, every reference count as it was, and the next call right. The outcomes."""
    seen = set()
    for point in points:
        a, b = trees()
        before = refcounts(a, b)
        got = attempt(a, b, point)
        seen.add(got if isinstance(got, str) else "result")
        assert got in ("memory", "panic") or got == EXPECTED, point
        got = None  # the records hold references of their own, and reports their objects
        unraisable.clear()
        assert refcounts(a, b) == before, point
        assert outcome(*trees()) == EXPECTED, point
    return seen


def injected(injector, n, a, b):
    """outcome(a, b) with the n-th C++ allocation from now failing."""
    injector.fail_at(n)
    try:
        return outcome(a, b)
    finally:
        injector.fail_at(0)


def test_every_cpp_allocation_of_a_call_can_fail(injector, unraisable):
    start = injector.count()
    outcome(*trees())
    made = injector.count() - start
    assert made > 20
    seen = fail_at_each(range(1, made + 2), unraisable, lambda a, b, n: injected(injector, n, a, b))
    assert {"memory", "result"} <= seen


def test_a_failure_while_it_is_described(injector):
    # An internal failure (an int beyond 128 bits) raises PanicException; its description and
    # the exception are made on the way out, where nothing may end the process.
    for n in range(1, 40):
        assert injected(injector, n, [1, {"k": 2**200}], [1, {"k": 0}]) in ("memory", "panic")
    assert outcome([{"k": 2**200}], [{"k": 0}]) == "panic"


def test_interpreter_allocations_can_fail(unraisable):
    seen = fail_at_each(range(0, 240, 5), unraisable, lambda a, b, n: outcome(a, b, no_memory=(n, n + 1)))
    assert "result" in seen and seen & {"memory", "panic"}


@pytest.mark.no_leak_check
def test_the_exception_class_cannot_be_made_on_first_need():
    # In a fresh interpreter the first internal failure makes the PanicException class; with no
    # memory for it the call raises MemoryError, and the next failure makes it after all.
    code = textwrap.dedent("""
        import _testcapi
        from corvane import corvane
        def attempt():
            try:
                corvane(2**200, 0)
            except BaseException as exc:
                return type(exc).__name__
        kinds = []
        for first in range(0, 60):
            kind = None
            _testcapi.set_nomemory(first, 0)
            try:
                kind = attempt()
            except MemoryError:
                kind = "MemoryError"
            finally:
                _testcapi.remove_mem_hooks()
            kinds.append(kind)
        print(sorted(set(kinds)), attempt())
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    kinds, last = run.stdout.strip().rsplit(" ", 1)
    assert last == "PanicException"
    assert set(eval(kinds)) <= {"MemoryError", "PanicException"}


@pytest.mark.no_leak_check
def test_a_failure_on_first_need_of_everything_leaves_nothing_locked(injector):
    # In a fresh interpreter every allocation of the first calls happens for the first time
    # (classes, answers, caches): a failure at each of them in turn, and the calls go on.
    code = textwrap.dedent(f"""
        import ctypes, corvane
        lib = ctypes.CDLL(corvane.__file__)
        kinds = set()
        for n in range(1, 120):
            lib.corvane_fail_allocation(n)
            try:
                corvane.corvane([frozenset(), [1], None, {{"k": (1,)}}], [frozenset(), [2], None, {{"k": (1,)}}])
                kinds.add("result")
            except MemoryError:
                kinds.add("MemoryError")
            finally:
                lib.corvane_fail_allocation(0)
        print(sorted(kinds))
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "['MemoryError', 'result']"
