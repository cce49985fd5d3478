"""Internal failures and PanicException, the recursion guard, and reference counts."""

import collections.abc as abc
import json
import functools
import subprocess
import sys
from pathlib import Path

import pytest

from corvane import corvane

try:
    from helpers import Map, panic_type, raising, refcounts, returns
except ImportError:  # tests collected as a package
    from tests.helpers import Map, panic_type, raising, refcounts, returns


# items() is a list here: it asks no lookup, so a getitem hook runs only where the walk looks up.
M = functools.partial(Map, items_as="list")


class Iter:
    """Yields `items`, then calls `end` (StopIteration by default); `hint` answers length hints."""

    def __init__(self, items, end=raising(StopIteration), hint=lambda: 0):
        self.items, self.end, self.hint = iter(items), end, hint

    def __iter__(self):
        return self

    def __next__(self):
        item = next(self.items, self)
        return self.end() if item is self else item

    def __length_hint__(self):
        return self.hint()


class Seq(abc.Sequence):
    __getitem__ = __len__ = None
    __iter__ = property(lambda self: self.on_iter)

    def __init__(self, on_iter):
        self.on_iter = on_iter


class ClassRaises:
    """isinstance() on an instance reads __class__, which raises."""

    __class__ = property(lambda self: self.hook())

    def __init__(self, hook):
        self.hook = hook


class SubPanic(panic_type()):
    pass


# (id, fresh pair, texts the message contains)
FAILURES = [
    ("int-too-large", lambda: (2**127, 2**127), ["OverflowError", "Python int larger than 128 bits"]),
    ("surrogate-a-first", lambda: ("a\udc80", "b\udc81"), ["UnicodeEncodeError", "'a\\udc80'"]),
    ("items", lambda: (M({"k": [1]}, items=raising(ValueError, "boom")), {}),
     ["ValueError", "ValueError('boom')", "explode_in_hook"]),
    ("items-not-tuples", lambda: (M({}, items=returns([["k", 1]])), {"k": 1}), []),
    ("contains", lambda: (M({"k": "v"}, contains=raising(LookupError, "in")), {"n": ["v"]}),
     ["LookupError('in')", "explode_in_hook"]),
    ("next", lambda: ([Iter([1], raising(RuntimeError, "nx"))], [iter([])]), ["RuntimeError('nx')"]),
    ("next-interrupt", lambda: (Iter([], raising(KeyboardInterrupt)), iter([1])), ["KeyboardInterrupt"]),
    ("iter", lambda: ([Seq(raising(OSError, "it"))], [Seq(list)]), ["OSError('it')"]),
    ("subclass-of-panic", lambda: (M({}, items=raising(SubPanic, "sub")), {}), ["SubPanic('sub')"]),
]

# (id, fresh pair whose Python code raises the given exception class inside the comparison)
PASSED_ON = [
    ("getitem", lambda P: ({"k": 1}, M({"k": 1}, getitem=raising(P, "inner message")))),
    ("items", lambda P: (M({}, items=raising(P, "inner message")), {})),
    ("contains", lambda P: (M({}, contains=raising(P, "inner message")), {"n": 1})),
    ("next", lambda P: ([Iter([1], raising(P, "inner message"))], [iter([])])),
    ("length-hint", lambda P: (Iter([1, 2], hint=raising(P, "inner message")), iter([1, 2]))),
    ("instance-check", lambda P: (ClassRaises(raising(P, "inner message")), 1)),
    ("iter", lambda P: (Seq(raising(P, "inner message")), [])),
]


class TestPanicException:
    def test_class(self):
        P = panic_type()
        assert P.__name__ == "PanicException" and P.__doc__
        assert P.__bases__ == (BaseException,) and not issubclass(P, Exception)
        with pytest.raises(P):
            try:
                corvane({"x": "\udc80"}, {"x": ""})
            except Exception:
                pytest.fail("except Exception caught an internal failure")

    @pytest.mark.parametrize("make, expected", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
    def test_message_describes_cause(self, make, expected, capfd):
        a, b = make()
        before = refcounts(a, b)
        with pytest.raises(BaseException) as excinfo:
            corvane(a, b)
        exc = excinfo.value
        assert type(exc) is panic_type()
        assert len(exc.args) == 1 and type(exc.args[0]) is str
        assert [text for text in expected if text not in str(exc)] == []
        assert exc.__cause__ is None and exc.__context__ is None
        assert str(exc) in capfd.readouterr().err
        del excinfo, exc
        assert refcounts(a, b) == before
        assert len(corvane([1], [2]).val_changes) == 1

    @pytest.mark.parametrize("make", [p[1] for p in PASSED_ON], ids=[p[0] for p in PASSED_ON])
    def test_panic_raised_inside_is_passed_on(self, make, capfd, unraisable):
        P = panic_type()
        a, b = make(P)
        before = refcounts(a, b)
        with pytest.raises(BaseException) as excinfo:
            corvane(a, b)
        assert type(excinfo.value) is P and excinfo.value.args == ("inner message",)
        assert "inner message" in capfd.readouterr().err
        assert unraisable == []
        del excinfo
        assert refcounts(a, b) == before

    def test_failing_nested_call_is_passed_on(self):
        with pytest.raises(BaseException) as direct:
            corvane(2**127, 2**127)
        with pytest.raises(BaseException) as nested:
            corvane({"k": 1}, M({"k": 1}, getitem=lambda usual: corvane(2**127, 2**127)))
        assert type(nested.value) is panic_type() and str(nested.value) == str(direct.value)

    def test_subclass_is_not_passed_on_but_ends_the_call_as_any_base_exception(self, unraisable):
        # Only the exact class is passed on; a subclass, not being an Exception, is no answer of
        # the lookup either: it ends the call as an internal failure that describes it.
        with pytest.raises(BaseException) as failed:
            corvane({"k": 1}, M({"k": 1}, getitem=raising(SubPanic, "sub")))
        assert type(failed.value) is panic_type() and "SubPanic('sub')" in str(failed.value)
        assert unraisable == []


def self_containing(container):
    def make():
        x = container()
        x.append(x) if type(x) is list else x.update(x=x)
        return x, x

    return make


def deep(wrap):
    def make():
        a, b = 1, 2
        for _ in range(100_000):
            a, b = wrap(a), wrap(b)
        return a, b

    return make


@pytest.mark.parametrize(
    "make",
    [self_containing(list), self_containing(dict), deep(lambda x: [x]), deep(lambda x: {"k": x}),
     deep(lambda x: iter([x]))],
    ids=["list-holding-itself", "dict-holding-itself", "deep-lists", "deep-dicts", "deep-iterators"],
)
def test_recursion_guard(make):
    a, b = make()
    before = refcounts(a, b)
    with pytest.raises(BaseException) as excinfo:
        corvane(a, b)
    assert type(excinfo.value) is panic_type()
    assert "RecursionError" in str(excinfo.value)
    del excinfo
    assert refcounts(a, b) == before
    assert [r.path for r in corvane([[1]], [[2]]).val_changes] == [[0, 0]]


@pytest.mark.parametrize(
    "make",
    [
        lambda: ({"k": object(), "m": [1]}, M({"k": 1, "m": [2]}, getitem=raising(TypeError, "no"))),
        lambda: ([ClassRaises(raising(ValueError)), 7], [ClassRaises(raising(ValueError)), 7]),
        lambda: (Iter([(1,), 2], hint=raising(ValueError, "hint")), iter([[1], 3])),
        lambda: ({("t", "k"): [1.5, "x" * 3, 10**30], "gone": [object()], "same": {"d": object()}},
                 {("t", "k"): [2.5, "y" * 3], "new": [object()], "same": {"d": None}}),
    ],
    ids=["absorbed-lookup", "absorbed-instance-check", "absorbed-length-hint", "every-kind"],
)
def test_refcounts_restored_after_output_and_reads_are_gone(make, unraisable):
    a, b = make()
    before = refcounts(a, b)
    out = corvane(a, b)
    lists = [out.val_changes, out.type_and_val_changes, out.dict_items_added, out.dict_items_removed,
             out.iter_len_mismatch]
    read = [(r.path, *(getattr(r, f) for f in ("a", "b", "key", "val") if hasattr(r, f))) for lst in lists for r in lst]
    assert read
    del out, lists, read
    unraisable.clear()
    assert refcounts(a, b) == before


def test_repeated_reads_do_not_leak():
    leaf, key = object(), ("k",)
    out = corvane({key: [leaf, 1], "gone": leaf}, {key: [None, 2, 3]})

    def reads():
        return [(r.path, getattr(r, "a", None), getattr(r, "val", None), getattr(r, "a_len", None))
                for lst in (out.val_changes, out.type_and_val_changes, out.dict_items_removed, out.iter_len_mismatch)
                for r in lst]

    reads()
    before, blocks = refcounts(leaf, key), sys.getallocatedblocks()
    for _ in range(1000):
        reads()
    assert refcounts(leaf, key) == before
    assert sys.getallocatedblocks() - blocks < 100


INTERRUPT = """
import itertools, resource, signal
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))  # in case the drain never stops
from corvane import corvane
def stop(*_): raise KeyboardInterrupt
signal.signal(signal.SIGALRM, stop)
signal.setitimer(signal.ITIMER_REAL, 0.2)
try:
    corvane(itertools.count(), iter([]))
except BaseException as exc:
    print(type(exc).__name__, "KeyboardInterrupt" in str(exc))
"""


@pytest.mark.no_leak_check
def test_endless_input_can_be_interrupted():
    run = subprocess.run([sys.executable, "-c", INTERRUPT], capture_output=True, text=True, timeout=60)
    assert run.stdout.split() == ["PanicException", "True"], run.stderr


# A Ctrl-C at any moment of a walk of a real document, many times over: each one reaches the
# caller, as KeyboardInterrupt after the call or as a PanicException that carries it, and never
# ends in the unraisable hook with the walk returning as if nothing had happened. In the
# "hooked" documents, pairs of a user class's objects make the type tests run Python code, where
# the handler then raises: inside a call whose own errors the rules absorb.
INTERRUPTS = """
import json, random, signal, sys, time
sys.path.insert(0, TESTS)
from documents import load
from corvane import corvane

class Leaf:
    pass

def hooked(node, rng):
    if isinstance(node, dict):
        return {k: hooked(v, rng) for k, v in node.items()}
    if isinstance(node, list):
        return [hooked(v, rng) for v in node]
    return Leaf() if node is None and rng.random() < 0.5 else node

doc = load("twitter")
if KIND == "hooked":
    a, b = hooked(doc, random.Random(1)), hooked(doc, random.Random(1))
else:
    a, b = json.loads(json.dumps(doc)), json.loads(json.dumps(doc))

lost = []
sys.unraisablehook = lambda u: lost.append(type(u.exc_value).__name__)
signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))

start = time.perf_counter()
corvane(a, b)
walk = time.perf_counter() - start
rng = random.Random(2)
seen = {"inside": 0, "after": 0}
for trial in range(TRIALS):
    delay = rng.uniform(1e-5, walk)
    try:
        signal.setitimer(signal.ITIMER_REAL, delay)
        corvane(a, b)
        while not lost:
            pass  # the interrupt is yet to come; its handler raises here
    except KeyboardInterrupt:
        seen["after"] += 1
    except BaseException as exc:
        if type(exc).__name__ != "PanicException" or "KeyboardInterrupt" not in str(exc):
            raise
        seen["inside"] += 1
    if lost:
        break
print(json.dumps([lost, seen]))
"""


@pytest.mark.no_leak_check  # the work is done in a child process
@pytest.mark.parametrize("kind", ["plain", "hooked"])
def test_no_interrupt_is_lost(kind):
    code = f"TESTS = {str(Path(__file__).parent)!r}\nKIND = {kind!r}\nTRIALS = 2000\n" + INTERRUPTS
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    lost, seen = json.loads(run.stdout.strip().splitlines()[-1])
    assert lost == [] and seen["inside"] + seen["after"] == 2000
    if kind == "hooked":
        assert seen["inside"] > 0  # the interrupts did land inside the walks' Python code
