"""Internal failures: PanicException, what its message carries, passing it on from
Python code run by a comparison, the recursion guard, and the reference counts left
behind by successful and failed calls."""

import collections.abc as abc
import gc
import sys
import subprocess
import time

import pytest

from corvane import corvane

try:
    from helpers import panic_type
except ImportError:  # tests collected as a package
    from tests.helpers import panic_type


def raising(exc_type, *args):
    def explode_in_hook():
        raise exc_type(*args)

    return explode_in_hook


class Map(abc.Mapping):
    """A mapping over a dict whose hooks can be made to run code first."""

    def __init__(self, data, getitem=None, items=None, contains=None):
        self.data, self.getitem, self.items_hook, self.contains = data, getitem, items, contains

    def __getitem__(self, key):
        self.getitem and self.getitem()
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)

    def __contains__(self, key):
        self.contains and self.contains()
        return key in self.data

    def items(self):
        return self.items_hook() if self.items_hook else list(self.data.items())


class Iter:
    def __init__(self, items, fail_at=None, exc=None, hint=None):
        self.items, self.pos, self.fail_at, self.exc, self.hint = list(items), 0, fail_at, exc, hint

    def __iter__(self):
        return self

    def __next__(self):
        if self.pos == self.fail_at:
            self.exc()
        if self.pos == len(self.items):
            raise StopIteration
        self.pos += 1
        return self.items[self.pos - 1]

    def __length_hint__(self):
        return self.hint() if self.hint else len(self.items) - self.pos


class Seq(abc.Sequence):
    def __init__(self, on_iter):
        self.on_iter = on_iter

    def __getitem__(self, i):
        raise IndexError(i)

    def __len__(self):
        return 0

    def __iter__(self):
        return self.on_iter()


class ClassRaises:
    """isinstance() on an instance runs the __class__ property, which raises."""

    def __init__(self, hook):
        self.hook = hook

    @property
    def __class__(self):
        self.hook()


def members(*roots):
    """Every object reachable from the roots through dicts, lists, tuples and Map doubles."""
    seen, found, todo = set(), [], list(roots)
    while todo:
        obj = todo.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        found.append(obj)
        # type(), not isinstance(): some doubles raise from their __class__.
        if type(obj) is dict:
            todo += [*obj.keys(), *obj.values()]
        elif type(obj) in (list, tuple):
            todo += obj
        elif type(obj) is Map:
            todo.append(obj.data)
    return found


def refcounts(objs):
    gc.collect()
    return [sys.getrefcount(o) for o in objs]


# (id, fresh pair, substrings of the message)
FAILURES = [
    ("int-too-large", lambda: (2**127, 2**127), ["OverflowError", "Python int larger than 128 bits"]),
    ("int-too-small", lambda: ({"k": 0}, {"k": -(2**127) - 1}), ["OverflowError", "Python int larger than 128 bits"]),
    ("surrogate-a-first", lambda: ("a\udc80", "b\udc81"), ["UnicodeEncodeError", "'a\\udc80'"]),
    ("items-a", lambda: (Map({"k": [1]}, items=raising(ValueError, "boom")), {}),
     ["ValueError", "ValueError('boom')", "explode_in_hook"]),
    ("items-b", lambda: ({"k": [2]}, Map({}, items=raising(ValueError, "boom"))), ["ValueError('boom')"]),
    ("items-not-tuples", lambda: (Map({}, items=lambda: [["k", 1]]), {"k": 1}), []),
    ("contains", lambda: (Map({"k": "v"}, contains=raising(LookupError, "in")), {"n": ["v"]}),
     ["LookupError('in')", "explode_in_hook"]),
    ("unhashable-key", lambda: ({"k": 1}, Map({}, items=lambda: [([1], 2)])), ["TypeError", "unhashable"]),
    ("next", lambda: ([Iter([1, 2], 1, raising(RuntimeError, "nx"))], [iter([])]), ["RuntimeError('nx')"]),
    ("next-interrupt", lambda: (Iter([1], 0, raising(KeyboardInterrupt)), iter([1])), ["KeyboardInterrupt"]),
    ("iter", lambda: ([Seq(raising(OSError, "it"))], [Seq(list)]), ["OSError('it')"]),
    ("subclass-of-panic", lambda: (Map({}, items=raising(SubPanic, "sub")), {}), ["SubPanic('sub')"]),
]


class SubPanic(panic_type()):
    pass


class TestPanicException:
    def test_class(self):
        P = panic_type()
        assert P.__name__ == "PanicException"
        assert P.__bases__ == (BaseException,) and not issubclass(P, Exception)
        assert isinstance(P.__doc__, str) and P.__doc__
        with pytest.raises(BaseException) as excinfo:
            corvane({"x": "\udc80"}, {"x": ""})
        assert type(excinfo.value) is P

    def test_not_caught_by_except_exception(self):
        with pytest.raises(panic_type()):
            try:
                corvane(2**127, 2**127)
            except Exception:
                pytest.fail("except Exception caught an internal failure")

    @pytest.mark.parametrize("make, expected", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
    def test_message_describes_cause(self, make, expected, capfd):
        a, b = make()
        objs = members(a, b)
        before = refcounts(objs)
        with pytest.raises(BaseException) as excinfo:
            corvane(a, b)
        exc = excinfo.value
        assert type(exc) is panic_type()
        assert len(exc.args) == 1 and type(exc.args[0]) is str and str(exc) == exc.args[0]
        for text in expected:
            assert text in str(exc)
        assert exc.__cause__ is None and exc.__context__ is None
        assert str(exc) in capfd.readouterr().err
        del excinfo, exc
        assert refcounts(objs) == before
        assert len(corvane([1], [2]).val_changes) == 1


def nested_failure():
    corvane(2**127, 2**127)


# (id, fresh pair raising panic_type()("inner message") from Python code inside the comparison)
PASSED_ON = [
    ("getitem", lambda P: ({"k": 1}, Map({"k": 1}, getitem=raising(P, "inner message")))),
    ("items", lambda P: (Map({}, items=raising(P, "inner message")), {})),
    ("contains", lambda P: (Map({}, contains=raising(P, "inner message")), {"n": 1})),
    ("next", lambda P: ([Iter([1], 1, raising(P, "inner message"))], [iter([])])),
    ("length-hint", lambda P: (Iter([1, 2], hint=raising(P, "inner message")), iter([1, 2]))),
    ("instance-check", lambda P: (ClassRaises(raising(P, "inner message")), 1)),
    ("iter", lambda P: (Seq(raising(P, "inner message")), [])),
]


class TestPassingOn:
    @pytest.mark.parametrize("make", [p[1] for p in PASSED_ON], ids=[p[0] for p in PASSED_ON])
    def test_panic_from_python_code_keeps_its_message(self, make, capfd, unraisable):
        P = panic_type()
        a, b = make(P)
        objs = members(a, b)
        before = refcounts(objs)
        with pytest.raises(BaseException) as excinfo:
            corvane(a, b)
        assert type(excinfo.value) is P
        assert excinfo.value.args == ("inner message",)
        assert "inner message" in capfd.readouterr().err
        assert unraisable == []
        del excinfo
        assert refcounts(objs) == before

    def test_failing_nested_call(self):
        with pytest.raises(BaseException) as direct:
            nested_failure()
        with pytest.raises(BaseException) as nested:
            corvane({"k": 1}, Map({"k": 1}, getitem=nested_failure))
        assert type(nested.value) is panic_type()
        assert str(nested.value) == str(direct.value)
        assert "OverflowError" in str(nested.value)

    def test_subclass_is_absorbed_like_any_lookup_error(self, unraisable):
        out = corvane({"k": 1}, Map({"k": 1}, getitem=raising(SubPanic, "sub")))
        assert [(r.key, r.val) for r in out.dict_items_removed] == [("k", 1)]
        assert unraisable == []


def self_list():
    x = []
    x.append(x)
    return x, x


def self_dict():
    x = {}
    x["x"] = x
    return x, x


def deep(wrap):
    def make():
        a, b = 1, 2
        for _ in range(100_000):
            a, b = wrap(a), wrap(b)
        return a, b

    return make


class TestRecursionGuard:
    @pytest.mark.parametrize(
        "make",
        [self_list, self_dict, deep(lambda x: [x]), deep(lambda x: {"k": x}), deep(lambda x: iter([x]))],
        ids=["list-holding-itself", "dict-holding-itself", "deep-lists", "deep-dicts", "deep-iterators"],
    )
    def test_ends_in_panic(self, make):
        a, b = make()
        before = refcounts([a, b])
        start = time.perf_counter()
        with pytest.raises(BaseException) as excinfo:
            corvane(a, b)
        assert time.perf_counter() - start < 5
        assert type(excinfo.value) is panic_type()
        assert "RecursionError" in str(excinfo.value)
        del excinfo
        assert refcounts([a, b]) == before
        assert [r.path for r in corvane([[1]], [[2]]).val_changes] == [[0, 0]]


def absorbed_lookup():
    return {"k": object(), "m": [1]}, Map({"k": 1, "m": [2]}, getitem=raising(TypeError, "no"))


def absorbed_instance_checks():
    return [ClassRaises(raising(ValueError, "cls")), 7], [ClassRaises(raising(ValueError, "cls")), 7]


def absorbed_length_hint():
    return Iter([(1,), 2], hint=raising(ValueError, "hint")), iter([[1], 3])


class TestReferenceCounts:
    def test_released_with_output_and_everything_read_from_it(self):
        key = ("tuple", "key")
        a = {key: [1.5, "x" * 3, 10**30], "gone": [object()], "same": {"d": object()}, "t": object()}
        b = {key: [2.5, "y" * 3], "new": [object()], "same": {"d": object()}, "t": None}
        objs = members(a, b)
        before = refcounts(objs)
        out = corvane(a, b)
        read = [
            [(rec, rec.path, *(getattr(rec, f) for f in ("a", "b", "key", "val", "a_len") if hasattr(rec, f)))
             for rec in getattr(out, name)]
            for name in ("val_changes", "type_and_val_changes", "dict_items_added",
                         "dict_items_removed", "iter_len_mismatch")
        ]
        assert all(read)
        del out, read
        assert refcounts(objs) == before

    @pytest.mark.parametrize("make", [absorbed_lookup, absorbed_instance_checks, absorbed_length_hint])
    def test_absorbed_errors_release_everything(self, make, unraisable):
        a, b = make()
        objs = members(a, b)
        before = refcounts(objs)
        out = corvane(a, b)
        assert out.val_changes or out.dict_items_removed or out.type_and_val_changes
        del out
        unraisable.clear()
        assert refcounts(objs) == before

    def test_repeated_reads_do_not_leak(self):
        leaf, key = object(), ("k",)
        out = corvane({key: [leaf, 1], "gone": leaf}, {key: [None, 2, 3]})

        def reads():
            return [
                (r.path, getattr(r, "a", None), getattr(r, "val", None), getattr(r, "a_len", None))
                for name in ("val_changes", "type_and_val_changes", "dict_items_removed", "iter_len_mismatch")
                for r in getattr(out, name)
            ]

        reads()
        before = refcounts([leaf, key])
        blocks = sys.getallocatedblocks()
        for _ in range(1000):
            reads()
        gc.collect()
        assert sys.getallocatedblocks() - blocks < 100
        assert refcounts([leaf, key]) == before


INTERRUPT = """
import itertools, resource, signal
resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
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
