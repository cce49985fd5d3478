# Shared test set-up: the --leak-check mode for the debug interpreter and the
# `unraisable` fixture that collects reports made through sys.unraisablehook.
import ctypes
import gc
import linecache
import sys
from typing import NamedTuple

import pytest

WARMUP_RUNS = 3
MEASURED_RUNS = 5


def pytest_addoption(parser):
    parser.addoption("--leak-check", action="store_true", help="repeat every test and fail those whose "
                     "reference or block count grows on every measured run (debug interpreter only)")


def pytest_configure(config):
    config.addinivalue_line("markers", "no_leak_check: the test cannot be repeated, so --leak-check runs it once")
    # Hypothesis guesses from the collector's referrers whether its own random generator will
    # live; objects frozen below are not among them (see pytest_collection_finish).
    config.addinivalue_line("filterwarnings", "ignore:It looks like `register_random` was passed")
    if config.getoption("--leak-check") and not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError(
            "--leak-check needs a debug build of the interpreter (such as python3.14d): "
            f"{sys.executable} has no sys.gettotalrefcount()"
        )


class Unraisable(NamedTuple):
    exc_type: type
    exc_value: BaseException
    object: object
    err_msg: str


class UnraisableLog(list):
    """A sys.unraisablehook that keeps every report it gets, in order."""

    def __call__(self, args):
        self.append(Unraisable(args.exc_type, args.exc_value, args.object, args.err_msg))


_RESETS = pytest.StashKey[list]()


@pytest.fixture
def unraisable(request, monkeypatch):
    log = UnraisableLog()
    monkeypatch.setattr(sys, "unraisablehook", log)
    # A repeated run under --leak-check starts from an empty log again.
    request.node.stash.setdefault(_RESETS, []).append(log.clear)
    yield log
    log.clear()


class Injector:
    """The allocation-failure injector of the module's test build (tools/fault_build.sh):
    fail_at(n) makes the n-th C++ allocation from now fail (0: none); count() the allocations
    made so far."""

    def __init__(self, lib):
        self.fail_at = lib.corvane_fail_allocation
        self.fail_at.argtypes = [ctypes.c_long]
        self.count = lib.corvane_allocations
        self.count.restype = ctypes.c_long


@pytest.fixture(scope="session")
def injector():
    import corvane

    try:
        return Injector(ctypes.CDLL(corvane.__file__))
    except AttributeError:
        pytest.skip("the module was built without the allocation-failure injector (tools/fault_build.sh)")


def _counts():
    # Empty the caches that fill a little on every run, as the interpreter's own -R check
    # does (formatting a traceback fills several); text streams keep small writes pending.
    for stream in (sys.stdout, sys.stderr):
        stream.flush()
    linecache.clearcache()
    sys._clear_internal_caches()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def _leaking(deltas):
    # As the interpreter's own -R check does: only growth on every run counts, which
    # ignores one-off caches filled late and the noise of the allocator.
    return all(d >= 1 for d in deltas)


def _repeat_and_measure(item, run_once):
    resets = item.stash.get(_RESETS, [])
    saved_hook = sys.unraisablehook
    ref_deltas, block_deltas = [], []
    try:
        for i in range(WARMUP_RUNS + MEASURED_RUNS):
            # Reports already shown by the first run would otherwise pile up in
            # pytest's own collector and read as a leak.
            if not isinstance(sys.unraisablehook, UnraisableLog):
                sys.unraisablehook = lambda args: None
            for reset in resets:
                reset()
            refs, blocks = _counts()
            run_once()
            for reset in resets:
                reset()
            refs_after, blocks_after = _counts()
            if i >= WARMUP_RUNS:
                ref_deltas.append(refs_after - refs)
                block_deltas.append(blocks_after - blocks)
    finally:
        sys.unraisablehook = saved_hook
    problems = [f"{what} grew by {deltas} ({sum(deltas)} in all)"
                for what, deltas in (("total reference count", ref_deltas), ("allocated blocks", block_deltas))
                if _leaking(deltas)]
    if problems:
        pytest.fail(f"{item.nodeid} leaks over {MEASURED_RUNS} runs: " + "; ".join(problems), pytrace=False)


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    if not item.config.getoption("--leak-check") or item.get_closest_marker("no_leak_check"):
        return (yield)
    original = item.runtest

    def runtest():
        original()  # the ordinary run: its failures are reported as usual
        _repeat_and_measure(item, original)

    item.runtest = runtest
    try:
        return (yield)
    finally:
        del item.runtest


# --- Hypothesis profiles ------------------------------------------------------------------
# max_examples is the budget that the randomised differential tests share among themselves.
# "ci" is the default; HYPOTHESIS_PROFILE=long selects the long run of `make fuzz-long`.
# The debug interpreter is slow and --leak-check repeats every test, so there the run is
# small, fixed and without the example database, making each repetition do the same work.
import os  # noqa: E402

from hypothesis import HealthCheck, settings  # noqa: E402

_COMMON = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
if hasattr(sys, "gettotalrefcount"):
    settings.register_profile("ci", max_examples=20, derandomize=True, database=None, **_COMMON)
else:
    settings.register_profile("ci", max_examples=300, **_COMMON)
settings.register_profile("long", max_examples=1_000_000, **_COMMON)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


def pytest_collection_finish(session):
    # What the imports and the collection made stays for the whole session: the collector need
    # not walk it again in each of the many collections that the reference counts make.
    gc.collect()
    gc.freeze()
