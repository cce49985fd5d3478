"""Python code that runs in the middle of a walk, where it is easy to forget that it runs:
imports, replaced helper functions, finalizers, the abstract classes' own checks, key equality
met by a lookup, exceptions raised by user code, the unraisable hook, signal handlers and the
garbage collector. Whatever it changes, the walk compares what the rules say it compares, and
nothing it frees is read again. Cases that change process-wide state run in a fresh interpreter
(under the sanitizer run, a fresh sanitized one)."""

import gc
import json
import subprocess
import sys
import textwrap

import pytest

from corvane import corvane

try:
    from helpers import Map, Seq, panic_type, raising, records, returns
except ImportError:  # tests collected as a package
    from tests.helpers import Map, Seq, panic_type, raising, records, returns


def fresh(code):
    """Runs `code` in a new interpreter; returns what it printed, as JSON."""
    prelude = textwrap.dedent("""
        import json, sys
        from collections.abc import Mapping, Sequence
        from corvane import corvane

        def outcome(a, b):
            try:
                out = corvane(a, b)
            except BaseException as exc:
                if type(exc).__name__ != "PanicException":
                    raise
                return ["panic", str(exc).split("traceback:")[0]]
            return ["ok", [[type(r).__name__, repr(r.path)] for lst in
                           (out.val_changes, out.type_and_val_changes, out.dict_items_added,
                            out.dict_items_removed, out.iter_len_mismatch) for r in lst]]

        def paths(out):
            return [[type(r).__name__, r.path] for lst in
                    (out.val_changes, out.type_and_val_changes, out.dict_items_added,
                     out.dict_items_removed, out.iter_len_mismatch) for r in lst]

        class OnCheck:  # runs `action` the first time an abc check asks for its __class__
            def __init__(self, action):
                self.action = action
            @property
            def __class__(self):
                if self.action:
                    act, self.action = self.action, None
                    act()
                return OnCheck
    """)
    run = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "Sanitizer" not in run.stderr, run.stderr
    return json.loads(run.stdout.strip().splitlines()[-1])


def text(s):
    return "".join(list(s))  # an equal str that is a new object: freed once its holders let go


class TestImportsAndReplacedHelpers:
    @pytest.mark.no_leak_check  # the work is done in a child process
    def test_the_first_import_of_the_abstract_classes_clears_a_dict_being_walked(self):
        # The classes are imported on first need, through the gate: here when the walk, half-way
        # through `a`, meets a pair of lists. An __import__ hook that clears `a` then frees
        # nothing that the walk reads: `a`'s items were taken when the walk reached it, and only
        # the second pass sees `a` empty.
        got = fresh("""
            import builtins
            a = {"list": [1], "tail": "".join(["a", "b"])}
            b = {"list": [1], "tail": "xy"}
            real = builtins.__import__
            def hook(name, *args, **kwargs):
                if name in ("collections.abc", "_abc"):
                    a.clear()
                return real(name, *args, **kwargs)
            builtins.__import__ = hook
            print(json.dumps(outcome(a, b)))
        """)
        assert got == ["ok", [["ValChange", "['tail']"], ["DictDiff", "[]"], ["DictDiff", "[]"]]]

    @pytest.mark.no_leak_check  # the work is done in a child process
    def test_the_abstract_classes_cannot_be_imported(self):
        # Pairs that the type flags decide need no abstract class; the first pair that does fails
        # the call as a whole, with the import's error named; with the import working again, the
        # next call fetches them and compares.
        got = fresh('''
            import builtins, sys
            real = builtins.__import__
            def hook(name, *args, **kwargs):
                if name == "collections.abc":
                    raise ImportError("no abc today")
                return real(name, *args, **kwargs)
            builtins.__import__ = hook
            flags_only = [outcome(1, 2), outcome({"k": "x"}, {"k": "y", "n": 1.5}), outcome("a", "b")]
            needs_one = outcome([1], [1])
            builtins.__import__ = real
            print(json.dumps([flags_only, needs_one, outcome(frozenset(), [1])]))
        ''')
        assert got[0] == [["ok", [["ValChange", "[]"]]], ["ok", [["ValChange", "['k']"], ["DictDiff", "[]"]]],
                          ["ok", [["ValChange", "[]"]]]]
        # Two lists ask the mapping test first, and a list is a mapping only if registered as one.
        assert got[1][0] == "panic" and "no abc today" in got[1][1]
        assert got[2] == ["ok", [["TypeAndValChange", "[]"]]]

    @pytest.mark.parametrize("replacement", [
        "gc.collect", "breakpoint", "victims.pop",
    ])
    @pytest.mark.no_leak_check  # the work is done in a child process
    def test_a_replaced_token_function_is_never_called(self, replacement):
        # Builtins run Python code too: a gc callback, the breakpoint hook, the __index__ of what
        # list.pop hands out. The walk reads the token from the accelerator's own function only.
        got = fresh(f"""
            import _abc, abc, gc
            a = [None, [1], "".join(["p", "q"])]
            b = [None, [1], "xy"]
            ran = []
            def clear(*args):
                ran.append(1); a.clear(); b.clear()
            class Index:
                def __index__(self):
                    clear(); return 0
            victims = [Index()] * 8
            gc.callbacks.append(clear)
            sys.breakpointhook = clear
            _abc.get_cache_token = abc.get_cache_token = {replacement}
            result = outcome(a, b)
            gc.callbacks.remove(clear)
            print(json.dumps([result, ran]))
        """)
        assert got == [["ok", [["ValChange", "[2]"]]], []]


class TestFinalizersAndReleases:
    @pytest.mark.no_leak_check  # the work is done in a child process
    @pytest.mark.parametrize("released", ["element", "iterator"])
    def test_a_finalizer_run_by_a_release_registers_a_class(self, released):
        # Inside the inner walk, frozenset is asked about after the last call into Python code;
        # then a release made when that walk ends (of a drained element, or of the iterator made
        # for a sequence) runs a finalizer that makes frozensets mappings.
        got = fresh(f"""
            from collections.abc import Mapping, Sequence
            def register():
                Mapping.register(frozenset)
            class Dying(int):   # equal pairs: no record holds them
                def __del__(self):
                    register()
            class Items:
                def __init__(self, items): self.items = iter(items)
                def __iter__(self): return self
                def __next__(self): return next(self.items)
                def __del__(self): register()
            class Seq(Sequence):
                def __getitem__(self, i): return [frozenset(), 1][i]
                def __len__(self): return 2
                def __iter__(self): return Items([frozenset(), 1])
            def elements():
                yield frozenset()
                yield Dying(1)
            inner = elements if "{released}" == "element" else Seq
            outcome(frozenset(), frozenset())   # answers that an earlier call found stay found
            print(json.dumps(outcome([inner(), frozenset({{1}})], [inner(), frozenset({{1}})])))
        """)
        # The frozensets after the release are mappings, which have no items().
        assert got[0] == "panic" and "AttributeError" in got[1]

    def test_an_item_let_go_by_a_listed_mapping_runs_its_finalizer_through_the_gate(self):
        # a's items() list, kept by a, loses each element while the walk is on it (the first by
        # a hook in b's value, the second by the first's finalizer), so that moving on to the
        # next element lets go of the last reference to the one before. The second's finalizer
        # empties b while the walk reads b in step with a: that release must pin the step first.
        class Dying(int):  # compared by value: no record holds it
            def __init__(self, value):
                self.action = lambda: None
            def __del__(self):
                self.action()

        class Emptying(Seq):  # drops a's first item from the list while it is walked
            def __iter__(self):
                held[0] = None
                return iter(self.data)

        first, second = Dying(1), Dying(2)
        held = [("a", [first]), ("b", second), ("c", 3)]
        b = {"a": Emptying([1]), "b": 2, "c": 3}
        first.action = lambda: held.__setitem__(1, None)
        second.action = b.clear
        del first, second
        out = corvane(Map({}, items=returns(held)), b)
        assert records(out) == [("removed", [], "c", 3)]
        assert b == {}

    def test_a_finalizer_empties_the_lists_being_walked(self):
        class Dying(int):  # equal pairs: no record holds them
            def __del__(self):
                a.clear()
                b.clear()

        def one():
            yield Dying(1)

        tail_a, tail_b = text("left"), text("right")
        a, b = [one(), tail_a], [one(), tail_b]
        out = corvane(a, b)
        assert a == [] and b == []  # the drained elements went when their walk ended
        assert [(r.path, r.a, r.b) for r in out.val_changes] == [([1], tail_a, tail_b)]


class TestTheAbstractClassesThemselves:
    @pytest.mark.no_leak_check  # the work is done in a child process
    def test_a_check_that_registers_the_type_it_checks(self):
        # The first check of `list` scans Mapping's subclasses; one of them, through its
        # metaclass, registers list as a Mapping while the check runs (and still answers no).
        got = fresh("""
            from abc import ABCMeta
            from collections.abc import Mapping, Sequence
            done = []
            class Meta(ABCMeta):
                def __subclasscheck__(cls, sub):
                    if sub is list and not done:
                        done.append(sub)
                        Mapping.register(list)
                    return False
            class Sneaky(Mapping, metaclass=Meta):
                pass
            class Unrelated: pass
            Sequence.register(Unrelated)   # moves the cache token: every cached answer is asked again
            print(json.dumps(outcome([[1]], [[1]])))
        """)
        # a's root was asked before the registration, b's root after it; the inner pair are both
        # mappings by then, and a list has no items().
        assert got[0] == "panic" and "AttributeError" in got[1]

    @pytest.mark.parametrize("unregister", [
        "Sequence._abc_registry_clear(); Sequence._abc_caches_clear()",
        "Sequence.__subclasshook__ = classmethod(lambda cls, sub: NotImplemented); "
        "Sequence._abc_registry_clear(); Sequence._abc_caches_clear()",
    ])
    @pytest.mark.no_leak_check  # the work is done in a child process
    def test_answers_do_not_outlive_their_call(self, unregister):
        got = fresh(f"""
            from collections.abc import Sequence
            Sequence.register(frozenset)
            first = outcome(frozenset({{1}}), frozenset({{2}}))
            {unregister}
            print(json.dumps([first, outcome(frozenset({{1}}), frozenset({{2}}))]))
        """)
        assert got == [["ok", [["ValChange", "[0]"]]], ["ok", [["TypeAndValChange", "[]"]]]]

    @pytest.mark.no_leak_check  # the work is done in a child process
    def test_a_replaced_instancecheck_is_asked_again_in_the_next_call(self):
        got = fresh("""
            import abc
            from collections.abc import Mapping
            mapping = [False]
            abc.ABCMeta.__instancecheck__ = (
                lambda cls, inst: mapping[0] if cls is Mapping and type(inst) is frozenset else False)
            first = outcome(frozenset(), frozenset())
            mapping[0] = True
            print(json.dumps([first, outcome(frozenset(), frozenset())]))
        """)
        # Then frozensets are mappings, and have no items().
        assert got[0] == ["ok", [["TypeAndValChange", "[]"]]]
        assert got[1][0] == "panic" and "AttributeError" in got[1][1]


# What the abstract classes answer for built-in types is read from their own caches only where
# asking would return just that and run nothing else. Each case below makes asking differ from a
# remembered answer; the walk must give what isinstance, asked every time, gives.
SPY = """
    class Spy(Mapping):   # asked by Mapping's checks that miss its caches
        __getitem__ = __iter__ = __len__ = None
        @classmethod
        def __subclasshook__(cls, C):
            return hook(C)
"""

ANSWER_CASES = [
    # abc.py keeps the accelerator it imported; a second copy of it counts no registrations
    ("a-second-accelerator", """
        del sys.modules["_abc"]
        import _abc
        def hook(C):
            if C is type(None):
                Sequence.register(frozenset)   # inside a check of a built-in type
            return NotImplemented
    """, "[frozenset({1}), None, frozenset({1})]", "[frozenset({2}), None, frozenset({2})]",
     ["ok", [["ValChange", "[2, 0]"], ["TypeAndValChange", "[0]"]]]),
    ("instancecheck-answers-by-value", """
        import abc
        real = abc.ABCMeta.__instancecheck__
        def by_value(cls, inst):
            if cls is Mapping and type(inst) is tuple:
                return inst[:1] == ("map",)
            return real(cls, inst)
        abc.ABCMeta.__instancecheck__ = by_value
        hook = lambda C: NotImplemented
    """, "[(1,), ('map', 1)]", "[(1,), ('map', 1)]", ["panic", "AttributeError"]),
    ("hook-replaces-the-accelerator-function", """
        import abc, _abc
        def hook(C):
            if C is frozenset:
                real = _abc._abc_instancecheck
                abc._abc_instancecheck = lambda cls, inst: (cls is Mapping and type(inst) is list) or real(cls, inst)
            return NotImplemented
    """, "[[1], frozenset(), [1]]", "[[1], frozenset(), [1]]", ["panic", "AttributeError"]),
    ("hook-flips-its-answer-and-clears-the-caches", """
        flipped = []
        def hook(C):
            if C is frozenset and not flipped:
                flipped.append(C)
                Mapping._abc_caches_clear()
                Spy._abc_caches_clear()
            return True if C is list and flipped else NotImplemented
    """, "[[1], frozenset(), [1]]", "[[1], frozenset(), [1]]", ["panic", "AttributeError"]),
]


class TestAnswersOfTheAbstractClasses:
    @pytest.mark.no_leak_check  # the work is done in a child process
    @pytest.mark.parametrize("setup, a, b, expected", [c[1:] for c in ANSWER_CASES], ids=[c[0] for c in ANSWER_CASES])
    def test_an_answer_is_never_kept_past_code_that_could_change_it(self, setup, a, b, expected):
        got = fresh(textwrap.dedent(setup) + textwrap.dedent(SPY) + f"print(json.dumps(outcome({a}, {b})))\n")
        assert got[0] == expected[0]
        assert got[1] == expected[1] if got[0] == "ok" else expected[1] in got[1]

    @pytest.mark.no_leak_check  # the work is done in a child process
    @pytest.mark.parametrize("observer", ["profile", "trace", "monitoring"])
    def test_an_observer_sees_every_check_the_rules_make(self, observer):
        # The two lists ask the mapping test, then ten pairs of None ask the mapping and the
        # sequence test of a and of b.
        got = fresh(f"""
            import abc
            calls = []
            code = abc.ABCMeta.__instancecheck__.__code__
            def seen(frame, event, arg):
                if event == "call" and frame.f_code is code:
                    calls.append(1)
                return None
            if "{observer}" == "monitoring":
                sys.monitoring.use_tool_id(2, "observer")
                sys.monitoring.register_callback(2, sys.monitoring.events.PY_START, lambda c, o: calls.append(1))
                sys.monitoring.set_local_events(2, code, sys.monitoring.events.PY_START)
            else:
                getattr(sys, "set{observer}")(seen)
            outcome([None] * 10, [None] * 10)
            getattr(sys, "setprofile")(None); sys.settrace(None)
            print(json.dumps(len(calls)))
        """)
        assert got == 42


class Twin:
    """A key of the hash of `like`, equal to everything once `answering` is set: a lookup that
    meets it on its probe path asks it."""

    answering = False

    def __init__(self, like):
        self.h = hash(like)

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        return Twin.answering


class TestLookups:
    def test_a_key_met_first_on_the_probe_path_answers_the_lookup(self):
        # In b, "x" comes first in item order, but the twin took the slot that a deleted key
        # left on "x"'s probe path, before "x"'s own slot: b["x"] asks the twin and gets 2.
        b = {}
        first = Twin("x")
        b[first] = 0
        b["x"] = 1
        del b[first]
        b[Twin("x")] = 2
        Twin.answering = True
        try:
            assert list(b.values()) == [1, 2] and b["x"] == 2
            assert records(corvane({"x": 1}, b)) == [("val", ["x"], 1, 2)]
        finally:
            Twin.answering = False

    @pytest.mark.parametrize("where", ["class", "getitem"])
    def test_a_recursion_error_raised_by_user_code_is_absorbed(self, where, unraisable):
        class Deep:
            @property
            def __class__(self):
                raise RecursionError("not really deep")

        if where == "class":
            x, y = Deep(), Deep()
            assert records(corvane(x, y)) == [("type", [], x, y)]
            assert [r.exc_type for r in unraisable] == [RecursionError] * 4
        else:
            strict = Map({"k": 1}, items_as="list", getitem=raising(RecursionError, "not really deep"))
            assert records(corvane({"k": 1}, strict)) == [("removed", [], "k", 1)]


class TestHooksOfTheInterpreter:
    def test_the_unraisable_hook_empties_the_lists_being_walked(self):
        class NoClass:
            @property
            def __class__(self):
                raise LookupError("no class")

        tail_a, tail_b = text("left"), text("right")
        a, b = [NoClass(), tail_a], [NoClass(), tail_b]
        saved, sys.unraisablehook = sys.unraisablehook, lambda args: (a.clear(), b.clear())
        try:
            out = corvane(a, b)
        finally:
            sys.unraisablehook = saved
        assert [(r.path, r.a, r.b) for r in out.val_changes] == [([1], tail_a, tail_b)]

    def test_the_collector_run_by_the_signal_check_empties_the_lists_being_walked(self):
        # A drain looks at pending signals every few thousand items, which also runs the
        # garbage collector when it is due: its callbacks are Python code.
        tail_a, tail_b = text("left"), text("right")
        a = [map(list, [()] * 10_000), tail_a]
        b = [map(list, [()] * 10_000), tail_b]
        gc.collect()
        fired = []

        def clear(phase, info):
            fired.append(phase)
            a.clear()
            b.clear()

        gc.callbacks.append(clear)
        try:
            out = corvane(a, b)
        finally:
            gc.callbacks.remove(clear)
        assert [(r.path, r.a, r.b) for r in out.val_changes] == [([1], tail_a, tail_b)]

    def test_a_signal_handler_during_a_drain_empties_the_lists_being_walked(self):
        import itertools
        import signal

        # The timer fires while iterators that run no Python code are drained: its handler
        # waits for the drain's next look at pending signals.
        tail_a, tail_b = text("left"), text("right")
        n = 2_000_000
        a = [itertools.repeat(None, n), tail_a]
        b = [itertools.repeat(None, n), tail_b]
        fired = []
        old = signal.signal(signal.SIGALRM, lambda *args: (fired.append(1), a.clear(), b.clear()))
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.01)
            out = corvane(a, b)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)
        assert fired == [1]
        assert [(r.path, r.a, r.b) for r in out.val_changes] == [([1], tail_a, tail_b)]


class TestReleasesAndLookupsAfterPins:

    @pytest.mark.no_leak_check  # the work is done in a child process
    def test_a_value_found_by_lookup_after_the_held_value_is_released_stays_alive(self):
        # Comparing a["k0"] pins the step on b and the hook drops b["k0"], so the step holds its
        # last reference. The next key lets go of it and looks "k1" up in b; the hook met by that
        # comparison deletes b["k1"], which the walk is still comparing.
        got = fresh("""
            b = {}
            def replace_k0():
                b["k0"] = None
            def drop_k1():
                del b["k1"]
            a = {"k0": [OnCheck(replace_k0)], "k1": OnCheck(drop_k1)}
            b.update({"k0": [0], "k1": bytearray(64)})
            out = corvane(a, b)
            print(json.dumps(paths(out) + [type(out.type_and_val_changes[1].b).__name__]))
        """)
        assert got == [["TypeAndValChange", ["k0", 0]], ["TypeAndValChange", ["k1"]], "bytearray"]

    @pytest.mark.no_leak_check  # the work is done in a child process
    def test_a_key_put_into_b_by_a_finalizer_is_compared_through_a_real_lookup(self):
        # The held value's finalizer runs when the walk lets go of it, and puts a key into b whose
        # equality is Python code and meets "k1" first on its probe path. Its error means "removed".
        got = fresh("""
            b = {}
            armed = []
            class Evil:
                def __hash__(self):
                    return hash("k1")
                def __eq__(self, other):
                    if armed and not armed[0]:
                        armed[0] = 1
                        raise ValueError("lookup fails once")
                    return False
                def __repr__(self):
                    return "Evil"
            class Fin:
                def __del__(self):
                    del b["k1"]
                    b[Evil()] = 0
                    b["k1"] = 5
                    armed.append(0)
            def replace_k0():
                b["k0"] = None
            a = {"k0": [OnCheck(replace_k0)], "k1": 5}
            b.update({"k0": [0, Fin()], "k1": 5})
            out = corvane(a, b)
            print(json.dumps(paths(out) + [[repr(r.key) for r in out.dict_items_added],
                                           [repr(r.key) for r in out.dict_items_removed]]))
        """)
        assert got == [["TypeAndValChange", ["k0", 0]], ["DictDiff", []], ["DictDiff", []],
                       ["IterLenMismatch", ["k0"]], ["Evil"], ["'k1'"]]


    @pytest.mark.no_leak_check  # the work is done in a child process
    @pytest.mark.parametrize("where", ["pinned list", "drained iterator"])
    def test_an_object_held_twice_is_released_through_the_gate(self, where):
        # The walk's copy (or its drained elements) holds the only two references to an object
        # whose finalizer registers frozenset as a Sequence. A later pair of frozensets must be
        # compared as sequences.
        got = fresh(f"""
            class Registers:
                def __del__(self):
                    Sequence.register(frozenset)
            corvane(0, None)  # the abstract classes are fetched before the walk
            if {where!r} == "pinned list":
                held = []
                def drop():
                    del held[3:]
                x = Registers()
                held.extend([0, frozenset(), frozenset(), x, x])
                del x
                a = [[OnCheck(drop), frozenset(), frozenset()], frozenset({{1}})]
                b = [held, frozenset({{1}})]
            else:
                def items():
                    x = Registers()
                    yield frozenset()
                    yield x
                    yield x
                a = [iter(items()), frozenset({{1}})]
                b = [iter([frozenset()]), frozenset({{1}})]
            print(json.dumps([p for kind, p in paths(corvane(a, b)) if kind == "TypeAndValChange"]))
        """)
        assert [1] not in got

    @pytest.mark.no_leak_check  # the work is done in a child process
    def test_a_recursion_error_raised_by_a_lookup_deep_in_the_walk_means_removed(self):
        # Deep, but with room left for the walk: the mapping's own RecursionError is an error of
        # the lookup, as a KeyError would be.
        got = fresh(DEEP_LOOKUP.replace("MAKERS", "(KeyError, RecursionError)"))
        assert got == [["x"]] * 4

    @pytest.mark.no_leak_check  # the work is done in a child process
    def test_telling_a_recursion_error_from_a_stack_overflow_runs_no_python_code(self):
        # The walk reads the error's message to tell the interpreter's own stack overflow from
        # a RecursionError that user code raised; str() of this one would run __str__.
        got = fresh(textwrap.dedent("""
            said = []
            class Noisy:
                def __str__(self):
                    said.append(1)
                    return "Stack overflow, or so it says"
            def noisy(text):
                return RecursionError(Noisy())
        """) + DEEP_LOOKUP.replace("MAKERS", "(noisy,)").replace("json.dumps(result)", "json.dumps([result, said])"))
        assert got == [[["x"]] * 2, []]


# A lookup that raises each of MAKERS("from the mapping") a little above the depth where the
# walk runs out of stack, in a thread of a known stack size; prints the removed keys or errors.
DEEP_LOOKUP = """
import threading
class Raises(Mapping):
    def __init__(self, exc):
        self.exc = exc
    def __getitem__(self, key):
        raise self.exc("from the mapping")
    def __iter__(self):
        return iter(())
    def __len__(self):
        return 0
def nest(d, leaf):
    for _ in range(d):
        leaf = {"k": leaf}
    return leaf
def fits(d):
    try:
        corvane(nest(d, 1), nest(d, 2))
        return True
    except BaseException:
        return False
result = []
def main():
    lo, hi = 1, 1 << 20
    while lo + 1 < hi:
        mid = (lo + hi) // 2
        lo, hi = (mid, hi) if fits(mid) else (lo, mid)
    for depth in (lo - 40, lo - 20):
        for exc in MAKERS:
            try:
                out = corvane(nest(depth, {"x": 1}), nest(depth, Raises(exc)))
                result.append([r.key for r in out.dict_items_removed])
            except BaseException as e:
                result.append(type(e).__name__)
threading.stack_size(2 << 20)
t = threading.Thread(target=main)
t.start()
t.join()
print(json.dumps(result))
"""

SUBINTERPRETER = """
import collections.abc, os
try:
    import corvane
except ImportError:
    os.write(W, b"refused")
else:
    class M(collections.abc.Mapping):
        def __getitem__(self, k): return {"x": 1}[k]
        def __iter__(self): return iter(["x"])
        def __len__(self): return 1
    out = corvane.corvane(M(), {"x": 2})
    os.write(W, repr([(r.path, r.a, r.b) for r in out.val_changes]).encode())
"""


class TestInterpreters:
    @pytest.mark.no_leak_check  # the work is done in a child process
    def test_a_legacy_subinterpreter_compares_its_own_mappings(self):
        pytest.importorskip("_testcapi")
        got = fresh(f"""
            import _testcapi, os
            corvane(0, None)  # the main interpreter fetches the abstract classes first
            r, w = os.pipe()
            _testcapi.run_in_subinterp({SUBINTERPRETER!r}.replace("W", str(w)))
            os.close(w)
            print(json.dumps(os.read(r, 1000).decode()))
        """)
        assert got in ("refused", "[(['x'], 1, 2)]")


def test_a_small_dicts_key_outlives_the_dicts_cleared_mid_walk():
    # Two one-item dicts whose values are iterators: the first step of a's iterator empties both
    # dicts, so the key's last references go while records below it still name it.
    for n in range(20):
        a, b = {}, {}

        class Items:
            def __init__(self, values):
                self.values = list(values)

            def __iter__(self):
                return self

            def __next__(self):
                if len(self.values) == 3:
                    a.clear()
                    b.clear()
                    [["x" * 45 + str(i)] for i in range(200)]  # the freed memory taken again
                if not self.values:
                    raise StopIteration
                return self.values.pop(0)

        a["".join(["k" * 40, str(n)])] = Items([1, 2, 3, 4])
        b["".join(["k" * 40, str(n)])] = Items([1, 2, 3, 5])
        assert [(r.path, r.a, r.b) for r in corvane(a, b).val_changes] == [(["k" * 40 + str(n), 3], 4, 5)]
