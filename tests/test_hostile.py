"""Inputs whose own code fights the walk: hooks that raise at the first or the n-th call, return
the wrong kind of thing, change the trees under the walk, or call corvane again. Each ends in
records, unraisable reports or a PanicException, and leaves every reference count as it was."""

import collections.abc as abc
import functools
import subprocess
import sys

import pytest

from corvane import corvane

try:
    from helpers import Map, child_script, panic_type, raising, records, refcounts, returns, then
except ImportError:  # tests collected as a package
    from tests.helpers import Map, child_script, panic_type, raising, records, refcounts, returns, then


def nth(n, act, other=None):
    """A hook running `act` on its n-th call (on every call when n is 0) and `other`, or the
    usual code, on the rest."""
    calls = [0]

    def hook(usual):
        calls[0] += 1
        return act(usual) if n in (0, calls[0]) else (other or (lambda u: u()))(usual)

    return hook


def boom(exc_type=ValueError):
    return raising(exc_type, "boom")


def run(hook, usual):
    return hook(usual) if hook else usual()


# items() is a list here: it asks no lookup, so a getitem hook runs only where the walk looks up.
M = functools.partial(Map, items_as="list")


class It:
    """Yields the items of `data` by position, so it holds no iterator of its own."""

    def __init__(self, data, next=None, hint=None):
        self.data, self.pos, self.next, self.hint = data, 0, next, hint

    def __iter__(self):
        return self

    def _step(self):
        if self.pos >= len(self.data):
            raise StopIteration
        self.pos += 1
        return self.data[self.pos - 1]

    def __next__(self):
        return run(self.next, self._step)

    def __length_hint__(self):
        return run(self.hint, lambda: len(self.data) - self.pos)


class Seq(abc.Sequence):
    def __init__(self, data, iter=None, **it_hooks):
        self.data, self.iter, self.it_hooks = data, iter, it_hooks

    def __iter__(self):
        return run(self.iter, lambda: It(self.data, **self.it_hooks))

    __getitem__ = __len__ = None


class Liar:
    """isinstance() reads __class__, which goes through the hook."""

    __class__ = property(lambda self: run(self.hook, lambda: type(self)))

    def __init__(self, hook):
        self.hook = hook


class K:
    """A key equal to every K of the same name, hashing and comparing through hooks."""

    def __init__(self, name, hash=None, eq=None):
        self.name, self.hash, self.eq = name, hash, eq

    def __hash__(self):
        return run(self.hash, lambda: hash(self.name))

    def __eq__(self, other):
        return run(self.eq, lambda: type(other) is K and other.name == self.name)


class Registered:
    pass


abc.Sequence.register(Registered)  # claims to be a sequence but cannot be iterated


class Roots:
    """Lets a case's hooks reach a and b, which exist only once the case is made."""

    a = b = None


def assert_refcounts_restored(roots, before, unraisable):
    # Objects that a case drops from the trees may be gone; every survivor must be as it was.
    unraisable.clear()
    after = refcounts(roots.a, roots.b)
    assert {k: v for k, v in after.items() if k in before} == {k: before[k] for k in after if k in before}


def show(x):
    return f"<{x.name}>" if type(x) is K else f"<{type(x).__name__}>" if type(x) in (Liar, It) else x


def outcome(a, b):
    """('ok', records with doubles shown by name) or ('panic', message)."""
    try:
        out = corvane(a, b)
    except BaseException as exc:  # noqa: BLE001
        if type(exc) is not panic_type():
            raise
        return "panic", str(exc)
    return "ok", [(kind, [show(p) for p in path], show(x), show(y)) for kind, path, x, y in records(out)]


class Panic(tuple):
    """Expected: a PanicException whose message holds these texts."""


def P(*texts):
    return Panic(texts)


def held_items(change, in_second_pass=False):
    """A pair whose mapping keeps the very list that its items() returns (and that the walk
    therefore reads), which a hook of the other mapping changes during the walk."""

    def make(roots):
        held = [("k", [1]), ("m", [2]), ("n", [3])]
        mine = M({"k": 0, "m": 0, "n": 0}, items=returns(held))
        if in_second_pass:
            return M({}, contains=nth(1, then(lambda: change(held)))), mine
        return mine, M({"k": [1], "m": [3], "n": [3]}, getitem=nth(1, then(lambda: change(held))))

    return make


# (id, make(roots) -> (a, b), expected records or P(texts), number of unraisable reports)
CASES = [
    # items()
    ("items-raises-first", lambda r: (M({"k": 1}, items=nth(1, boom())), {"k": 1}), P("ValueError('boom')"), 0),
    ("items-raises-third", lambda r: ([M({"k": 1}, items=nth(3, boom(LookupError)))] * 3, [{"k": 2}] * 3),
     P("LookupError('boom')"), 0),
    ("items-of-b-raises-after-first-pass", lambda r: ({"k": [1], "gone": [2]}, M({"k": [1]}, items=nth(1, boom()))),
     P("ValueError('boom')"), 0),
    ("items-as-lists", lambda r: (M({}, items=returns([["k", 1]])), {"k": 1}), P(), 0),
    ("items-one-element-tuples", lambda r: ({}, M({}, items=returns([("k",)]))), P("IndexError"), 0),
    ("items-not-iterable", lambda r: (M({}, items=returns(5)), {}), P("TypeError"), 0),
    ("items-none", lambda r: ({}, M({}, items=returns(None))), P("TypeError"), 0),
    ("items-generator", lambda r: (M({"k": 1}, items=returns(x for x in [("k", 1)])), {"k": 2}), [("val", ["k"], 1, 2)], 0),
    ("items-tuple-subclass-of-three", lambda r: (M({"k": 1}, items=returns([type("T", (tuple,), {})(("k", 1, 9))])),
                                                 {"k": 1}), [], 0),
    ("items-empties-own-data", lambda r: (M({"k": 1}, items=nth(1, lambda u: (u(), r.a.data.clear())[0])),
                                          {"k": 1, "n": 2}), [("added", [], "k", 1), ("added", [], "n", 2)], 0),
    ("items-list-emptied-in-first-pass", held_items(list.clear), [], 0),
    ("items-list-grown-in-first-pass", held_items(lambda held: held.append(("x", [9]))), [("val", ["m", 0], 2, 3)], 0),
    ("items-list-entry-replaced-in-first-pass", held_items(lambda held: held.__setitem__(1, ("z", [5]))),
     [("removed", [], "z", [5])], 0),
    ("items-list-emptied-in-second-pass", held_items(list.clear, True), [("added", [], "k", [1])], 0),
    # __getitem__ of the second mapping: any Exception there means a missing key; a Ctrl-C, an
    # exit or memory running out ends the comparison instead of passing for a missing key
    ("getitem-raises-first", lambda r: ({"k": 1, "m": 2}, M({"k": 1, "m": 3}, getitem=nth(1, boom()))),
     [("val", ["m"], 2, 3), ("removed", [], "k", 1)], 0),
    ("getitem-interrupt-second", lambda r: ({"k": 1, "m": 2}, M({"k": 1, "m": 3}, getitem=nth(2, boom(KeyboardInterrupt)))),
     P("KeyboardInterrupt"), 0),
    ("getitem-system-exit-every", lambda r: ({"k": 1}, M({"k": 1}, getitem=nth(0, boom(SystemExit)))),
     P("SystemExit"), 0),
    ("getitem-memory-error", lambda r: ({"k": 1}, M({"k": 1}, getitem=nth(0, boom(MemoryError)))), P("MemoryError"), 0),
    ("getitem-panic-second", lambda r: ({"k": 1, "m": 2}, M({"k": 1, "m": 2}, getitem=nth(2, boom(panic_type())))),
     P("boom"), 0),
    ("getitem-empties-a", lambda r: ({"k": [1], "m": [2]}, M({"k": [1], "m": [3]}, getitem=nth(1, then(lambda: r.a.clear())))),
     [("val", ["m", 0], 2, 3), ("added", [], "k", [1]), ("added", [], "m", [3])], 0),
    ("getitem-empties-outer-lists", lambda r: ([{"k": [1]}, {"k": [2]}], [M({"k": [1]}, getitem=nth(1, then(
        lambda: (r.a.clear(), r.b.clear())))), {"k": [3]}]), [("val", [1, "k", 0], 2, 3)], 0),
    # __contains__ of the first mapping, asked in the second pass
    ("contains-raises-first", lambda r: (M({"k": 1}, contains=nth(1, boom())), {"k": 1}), P("ValueError('boom')"), 0),
    ("contains-raises-third", lambda r: (M({}, contains=nth(3, boom(OSError))), {"x": 1, "y": 2, "z": 3}),
     P("OSError('boom')"), 0),
    ("contains-answers-falsy-str", lambda r: (M({"k": 1}, contains=returns("")), {"k": 1}), [("added", [], "k", 1)], 0),
    ("contains-answer-bool-raises", lambda r: (M({}, contains=returns(type("B", (), {"__bool__": lambda s: 1 / 0})())),
                                               {"k": 1}), P("ZeroDivisionError"), 0),
    ("contains-empties-b", lambda r: (M({}, contains=nth(1, then(lambda: r.b.data.clear()))), M({"x": [1], "y": [2]})),
     [("added", [], "x", [1]), ("added", [], "y", [2])], 0),
    # __iter__ of a sequence
    ("iter-raises-first", lambda r: (Seq([1], iter=nth(1, boom())), [1]), P("ValueError('boom')"), 0),
    ("iter-raises-third", lambda r: ([Seq([1], iter=nth(3, boom()))] * 3, [[1]] * 3), P("ValueError('boom')"), 0),
    ("iter-of-b-raises", lambda r: ([1], Seq([1], iter=nth(1, boom(TypeError)))), P("TypeError('boom')"), 0),
    ("iter-returns-list", lambda r: (Seq([1], iter=returns([1])), [1]), P("TypeError"), 0),
    ("iter-registered-not-iterable", lambda r: (Registered(), []), P("TypeError"), 0),
    # __next__
    ("next-raises-first", lambda r: (Seq([1], next=nth(1, boom())), [1]), P("ValueError('boom')"), 0),
    ("next-raises-fourth", lambda r: (It([1, 2, 3, 4], next=nth(4, boom())), iter([1, 2, 3, 4])), P("boom"), 0),
    ("next-of-b-raises-at-end", lambda r: (iter([1, 2]), It([1, 2], next=nth(3, boom(MemoryError)))),
     P("MemoryError"), 0),
    ("next-appends-to-compared-list", lambda r: (Seq([1, 2, 3], next=nth(0, then(lambda: r.b.append(0)))), [1, 2, 3]),
     [("len", [], 3, 7)], 0),
    ("next-of-b-empties-a", lambda r: ([[1], [2]], Seq([[1], [3]], next=nth(1, then(lambda: r.a.clear())))),
     [("val", [1, 0], 2, 3)], 0),
    # __length_hint__: reported as unraisable, the result is unaffected
    ("hint-raises-first", lambda r: (It([1, 2], hint=nth(1, boom())), iter([1, 3])), [("val", [1], 2, 3)], 1),
    ("hint-raises-second", lambda r: (It(list(range(9)), hint=nth(2, boom(), returns(0))), iter(range(9))), [], 1),
    ("hint-raises-every", lambda r: (It(list(range(9)), hint=nth(0, boom())), It(list(range(9)), hint=nth(0, boom()))),
     [], 6),
    ("hint-not-int", lambda r: (It([1], hint=returns("many")), iter([1])), [], 1),
    ("hint-negative", lambda r: (It([1], hint=returns(-1)), iter([1])), [], 1),
    ("hint-beyond-index", lambda r: (It([1], hint=returns(2**64)), iter([1])), [], 1),
    ("hint-huge", lambda r: (It([1, 2], hint=returns(sys.maxsize)), iter([1])), [("len", [], 2, 1)], 0),
    ("hint-panic-second", lambda r: (It(list(range(9)), hint=nth(2, boom(panic_type()), returns(0))), iter(range(9))),
     P("boom"), 0),
    # isinstance() through __class__: an error there is reported and the test fails
    ("class-raises-first", lambda r: (Liar(nth(1, boom())), 1), [("type", [], "<Liar>", 1)], 1),
    ("class-raises-every", lambda r: (Liar(nth(0, boom())), Liar(nth(0, boom()))), [("type", [], "<Liar>", "<Liar>")], 4),
    ("class-not-a-class", lambda r: (Liar(returns(5)), 2), [("type", [], "<Liar>", 2)], 2),
    ("class-says-dict-without-items", lambda r: (Liar(returns(dict)), {}), P("AttributeError"), 0),
    ("class-says-list-not-iterable", lambda r: ([1], Liar(returns(list))), P("TypeError"), 0),
    ("class-panic-second", lambda r: (Liar(nth(2, boom(panic_type()))), 1), P("boom"), 0),
    # key hashing and equality
    ("hash-raises-on-lookup", lambda r: ({K("k", hash=nth(2, boom())): 1}, {K("k"): 1}), [("removed", [], "<k>", 1)], 0),
    ("hash-changes-after-insertion", lambda r: ({K("k", hash=nth(2, returns(7))): 1}, {K("k"): 1}),
     [("removed", [], "<k>", 1)], 0),
    ("hash-panic-on-lookup", lambda r: ({K("k", hash=nth(2, boom(panic_type()))): 1}, {K("k"): 1}), P("boom"), 0),
    ("hash-raises-on-membership", lambda r: ({K("k"): 1}, {K("k", hash=nth(2, boom())): 1}), P("ValueError('boom')"), 0),
    ("hash-adds-to-b-during-lookup", lambda r: ({K("k", hash=nth(2, then(lambda: r.b.update(new=9)))): 1}, {K("k"): 1}),
     [("added", [], "new", 9)], 0),
    ("eq-raises-on-lookup", lambda r: ({K("k"): 1}, {K("k", eq=nth(1, boom())): 1}), [("removed", [], "<k>", 1)], 0),
    ("eq-raises-on-membership", lambda r: ({K("k", eq=nth(1, boom())): 1}, {K("k"): 2}), P("ValueError('boom')"), 0),
    ("eq-empties-b-during-lookup", lambda r: ({K("k"): [1]}, {K("k", eq=nth(1, then(lambda: r.b.clear()))): [1]}),
     [("removed", [], "<k>", [1])], 0),
    ("eq-empties-a-during-membership", lambda r: ({K("k", eq=nth(1, then(lambda: r.a.clear()))): [1]}, {K("k"): [2]}),
     [("val", ["<k>", 0], 1, 2), ("added", [], "<k>", [2])], 0),
]


def make(case):
    roots = Roots()
    roots.a, roots.b = case(roots)
    return roots


@pytest.mark.parametrize("case, expected, reports", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_hostile_input(case, expected, reports, unraisable):
    roots = make(case)
    before = refcounts(roots.a, roots.b)
    kind, result = outcome(roots.a, roots.b)
    if isinstance(expected, Panic):
        assert kind == "panic", result
        assert [text for text in expected if text not in result] == []
    else:
        assert (kind, result) == ("ok", expected)
    assert len(unraisable) == reports
    assert all(r.object in (roots.a, roots.b) and r.exc_type is not panic_type() for r in unraisable)
    del result
    assert_refcounts_restored(roots, before, unraisable)
    assert records(corvane({"k": [1]}, {"k": [2]})) == [("val", ["k", 0], 1, 2)]


def swallowing_nested_failure(log):
    def act(usual):
        try:
            corvane([1, "\udc80"], [1, "x"])
        except BaseException as exc:  # noqa: BLE001
            log.append(type(exc) is panic_type())
        return usual()

    return act


# (id, hook action made from a log, what the log holds afterwards)
ACTS = {
    "nested-ok": (lambda log: lambda usual: (log.append(records(corvane([{"x": 1}], [{"x": 2}]))), usual())[1],
                  [[("val", [0, "x"], 1, 2)]]),
    "nested-failure": (lambda log: lambda usual: corvane(2**127, 2**127), []),
    "nested-failure-swallowed": (swallowing_nested_failure, [True]),
    "panic-raised": (lambda log: boom(panic_type()), []),
}
# Each site makes a pair whose walk calls the given hook at least once.
SITES = {
    "items": lambda h: (M({"k": [1, 2]}, items=h), {"k": [1, 3]}),
    "getitem": lambda h: ({"k": [1, 2]}, M({"k": [1, 3]}, getitem=h)),
    "contains": lambda h: (M({"k": [1, 2]}, contains=h), {"k": [1, 3], "n": 0}),
    "iter": lambda h: (Seq([1, 2], iter=h), [1, 3]),
    "next": lambda h: ([Seq([1, 2], next=h)], ([1, 3],)),
    "length-hint": lambda h: (It([1, 2], hint=h), iter([1, 3])),
    "instance-check": lambda h: ([Liar(h)], [Liar(None)]),
}


@pytest.mark.parametrize("act", ACTS)
@pytest.mark.parametrize("site", SITES)
def test_corvane_called_from_inside_a_hook(site, act, unraisable):
    with pytest.raises(BaseException) as direct:
        corvane(2**127, 2**127)
    expected = {"nested-failure": ("panic", str(direct.value)), "panic-raised": ("panic", "boom")}.get(act)
    expected = expected or outcome(*SITES[site](None))  # the same as if the hook did nothing
    make_act, logged = ACTS[act]
    log = []
    roots = make(lambda r: SITES[site](nth(1, make_act(log))))
    before = refcounts(roots.a, roots.b)
    assert outcome(roots.a, roots.b) == expected
    assert log == logged and unraisable == []
    del direct
    assert_refcounts_restored(roots, before, unraisable)


class Dying:
    """Calls corvane, once failing and once not, when the last reference to it goes."""

    def __init__(self, log):
        self.log = log

    def __del__(self):
        try:
            corvane(2**127, 2**127)
        except BaseException as exc:  # noqa: BLE001
            self.log.append(type(exc) is panic_type())
        self.log += records(corvane([1], [2]))


@pytest.mark.parametrize("last", [2**127, 0], ids=["while-a-failure-unwinds", "when-the-output-goes"])
def test_corvane_called_from_finalizers_of_released_elements(last):
    log = []
    make = lambda: (x for x in [Dying(log), Dying(log), last])  # noqa: E731 - the walk holds the only references
    kind, result = outcome(make(), make())
    assert kind == ("panic" if last else "ok")
    del result  # for the records that still hold the two pairs
    assert log == [True, ("val", [0], 1, 2)] * 4


REGISTERED_MID_WALK = """
    import collections.abc as abc
    from corvane import corvane
    from helpers import Map, then

    registers = Map({}, items_as="list", items=then(lambda: abc.Sequence.register(frozenset)))
    out = corvane([frozenset({1}), registers, frozenset({1})], [frozenset({2}), {}, frozenset({2})])
    print([r.path for r in out.type_and_val_changes], [(r.path, r.a, r.b) for r in out.val_changes])
"""


@pytest.mark.no_leak_check
def test_registration_during_walk_changes_later_answers():
    # The answers for built-in types may be remembered, but not past a new registration.
    run = subprocess.run([sys.executable, "-c", child_script(REGISTERED_MID_WALK)], capture_output=True,
                         text=True, timeout=60)
    assert run.stdout.strip() == "[[0]] [([2, 0], 1, 2)]", run.stderr
