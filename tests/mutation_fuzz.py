"""The machinery of the mutating-hook fuzzer (test_mutation_fuzz.py draws the examples).

An example is a pair of tree descriptions (see trees.py) whose objects run Python code at every
place where the walk calls into Python, and a program: which call of which hook does what.
What a hook does is an action: change a container of either tree (empty it, take an item out,
put one in, replace one, drop the last reference to it), raise, or register and unregister
classes with the abstract classes. Hooks fire only while a run is armed, so building trees and
checking outcomes runs none of them.

Each side of a check (the model of oracle.py, then the module) builds its own objects from the
descriptions and runs the same program, and every hook call is logged in order. Objects built
for one run are held only by their containers and by the run's anchors (the targets of the
program's actions), so that a change can free what the walk still reads.

Everything here runs without hypothesis, so that a child process can rebuild an example from
a pickle: the first walk of a process is the only one that imports the abstract classes and
looks up the abc cache token, and some hooks can only be reached there.
"""

import _abc
import abc as abc_module
import builtins
import collections.abc as cabc
import gc
import importlib.util
import json
import os
import pickle
import signal
import subprocess
import sys
import types
import weakref

import corvane
from corvane_report.report._data import DataRules

DATA_RULES = DataRules(unordered=("/**/1",))  # aligned lists, and multisets one level down

try:
    import oracle
    from helpers import Node, Opaque, panic_type, records
except ImportError:  # tests collected as a package
    from tests import oracle
    from tests.helpers import Node, Opaque, panic_type, records

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


# ---------------------------------------------------------------------------------------
# Hooks: every one calls fire(), which logs the call and runs the program's actions for it.

MAX_ACTIONS = 40  # per run: a hook that grows what is being drained at every call stops


class Run:
    """One side's run of an example: what it built, the hooks' call counts and log."""

    current = None  # the armed run, if any

    def __init__(self, example):
        self.example = example
        self.program = {}
        for site, owner, when, action in example.program:
            self.program.setdefault((site, owner_key(owner)), []).append((when, action))
        self.counts, self.log = {}, []
        self.node_of = {}  # id(object) -> (label, type) of everything built
        self.anchors = {}  # id(node) -> object: what the actions can reach
        self.inner = {}  # id(node) -> the dict behind a mappingproxy
        self.finalizing = 0
        self.acting = False  # an action's own calls of hooks run no actions
        self.actions = 0
        self.weakrefs = []

    # -- hooks --

    def fire(self, site, owner, detail=None):
        key = (site, owner_key(owner))
        n = self.counts[key] = self.counts.get(key, 0) + 1
        self.log.append((site, self.example.label(owner), detail, n, self.finalizing > 0))
        if self.acting:
            return
        for when, action in self.program.get(key, ()):
            if when in (0, n) and self.actions < MAX_ACTIONS:
                self.actions += 1
                self.acting = True
                try:
                    self.act(action)
                finally:
                    self.acting = False

    def act(self, action):
        kind = action[0]
        if kind == "raise":
            raise action[1]("raised by a hook")
        if kind == "mutate":
            _, target, op, value = action
            obj = self.anchors.get(id(target))
            if obj is not None:
                mutate(self, obj, target, op, value)
        elif kind == "drop":
            self.anchors.pop(id(action[1]), None)
        elif kind == "register":
            getattr(cabc, action[1]).register(REGISTRABLE[action[2]])
        elif kind == "unregister":
            cls = getattr(cabc, action[1])
            cls._abc_registry_clear()
            cls._abc_caches_clear()
        elif kind == "collect":
            gc.collect()
        elif kind == "signal":
            os.kill(os.getpid(), signal.SIGUSR1)

    def unraisable_hook(self, args):
        self.append((args.exc_type, args.object))

    def append(self, report):
        """The model's report of an unraisable error, and the module's through the hook."""
        exc_type, obj = report
        self.fire("unraisable", UNRAISABLE, (exc_type.__name__, self.canonical(obj)))

    # -- building --

    def build_roots(self):
        memo = {}
        a, b = self.build(self.example.a, memo), self.build(self.example.b, memo)
        for target in self.example.targets:
            if id(target) in memo:
                self.anchors[id(target)] = memo[id(target)]
        return a, b

    def build(self, d, memo=None):
        """The object for a description; within one build, a node met twice gives one object."""
        if type(d) is not Node:
            return d
        memo = {} if memo is None else memo
        if id(d) not in memo:
            obj = BUILDERS[d.kind](self, d, lambda c: self.build(c, memo))
            memo[id(d)] = obj
            self.node_of[id(obj)] = (self.example.label(d), type(obj))
        return memo[id(d)]

    def canonical(self, x):
        known = self.node_of.get(id(x))
        if known is not None and known[1] is type(x):
            return ("node", known[0])
        shared = self.example.shared.get(id(x))
        if shared is not None and shared[1] is x:
            return ("shared", shared[0])
        return ("made", type(x), repr(x))

    def canonical_records(self, recs):
        c = self.canonical
        return [(kind, [c(p) for p in path]) + ((x, y) if kind == "len" else (c(x), c(y)))
                for kind, path, x, y in recs]

    def final_state(self, roots):
        """What the anchored containers and the roots hold after the run, read without hooks."""
        c = self.canonical
        state = []
        for obj in [*roots, *self.anchors.values()]:
            held = contents(obj)
            if held is not None:
                state.append((c(obj), [tuple(map(c, item)) if type(item) is tuple else c(item) for item in held]))
        return state


def owner_key(owner):
    """Hooks of the process are named by strings, which a pickle does not keep the same."""
    return owner if type(owner) is str else id(owner)


def fire(site, owner, detail=None):
    run = Run.current
    if run is not None:
        run.fire(site, owner, detail)


def armed():
    return Run.current is not None


UNRAISABLE = "unraisable-hook"  # the owner of the hook that sys.unraisablehook runs


class HKey:
    """A key that hashes as the str of its name and, while a run is armed, equals that str
    (and always every HKey of the same name), both through hooks."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        fire("hash", self)
        return hash(self.name)

    def __eq__(self, other):
        fire("eq", self)
        if type(other) is HKey:
            return other.name == self.name
        return armed() and type(other) is str and other == self.name

    def __repr__(self):
        return f"HKey({self.name!r})"


class Ghost:
    """Holds a slot of a dict while it is built: a key of the same hash as `name` that
    equals nothing else, removed again so that a later key can take over its slot."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return other is self


class D(dict):
    def items(self):
        fire("items", self.node)
        return list(dict.items(self))

    def __getitem__(self, key):
        fire("getitem", self.node)
        return dict.__getitem__(self, key)

    def __contains__(self, key):
        fire("contains", self.node)
        return dict.__contains__(self, key)


class HMap(cabc.Mapping):
    """Keeps its items as a list of pairs; items() hands out that very list, a copy or a
    generator. A lookup finds the last pair with the key."""

    def __init__(self, node, pairs, items_as):
        self.node, self.pairs, self.items_as = node, pairs, items_as

    def items(self):
        fire("items", self.node)
        if self.items_as == "held":
            return self.pairs
        return list(self.pairs) if self.items_as == "copy" else (p for p in list(self.pairs))

    def _find(self, key):
        for k, v in reversed(self.pairs):
            if k is key or k == key:
                return [v]
        return []

    def __getitem__(self, key):
        fire("getitem", self.node)
        found = self._find(key)
        if not found:
            raise KeyError(key)
        return found[0]

    def __contains__(self, key):
        fire("contains", self.node)
        return bool(self._find(key))

    def __iter__(self):
        return (k for k, _ in self.pairs)

    def __len__(self):
        return len(self.pairs)


class HIter:
    """Yields the items of a list by position (so a hook can change what is still to come),
    with a length hint that is a fixed answer or what is left."""

    def __init__(self, node, items, hint=None):
        self.node, self.items, self.pos, self.hint = node, items, 0, hint

    def __iter__(self):
        return self

    def __next__(self):
        fire("next", self.node)
        if self.pos >= len(self.items):
            raise StopIteration
        self.pos += 1
        return self.items[self.pos - 1]

    def __length_hint__(self):
        fire("hint", self.node)
        return len(self.items) - self.pos if self.hint is None else self.hint


class HSeq(cabc.Sequence):
    """A sequence that the walk reads through a new HIter over its items."""

    def __init__(self, node, items, hint=None):
        self.node, self.items, self.hint = node, items, hint

    def __iter__(self):
        fire("iter", self.node)
        it = HIter(self.node, self.items, self.hint)
        if Run.current is not None:
            Run.current.node_of[id(it)] = (Run.current.example.label(self.node) + "/iter", HIter)
        return it

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


class L(list):
    def __iter__(self):
        fire("iter", self.node)
        return list.__iter__(self)


class T(tuple):
    def __iter__(self):
        fire("iter", self.node)
        return tuple.__iter__(self)


class Liar:
    """isinstance() reads __class__, a property that fires a hook and answers with the class
    that the node names (its own, mostly)."""

    def __init__(self, node, claims):
        self.node, self.claims = node, claims

    @property
    def __class__(self):
        fire("class", self.node)
        return type(self) if self.claims is None else REGISTRABLE[self.claims]


class Idx(int):
    """An int subclass: compared by its value, its __index__ is never asked."""

    def __index__(self):
        fire("index", self.node)
        return int(self)


class Dying:
    """Fires its hooks when it goes: its finalizer, then its weak reference's callback."""

    def __init__(self, run, node, cyclic=False):
        self.node = node
        self.me = self if cyclic else None
        made = run.counts[("made", id(node))] = run.counts.get(("made", id(node)), 0) + 1
        run.node_of[id(self)] = (f"{run.example.label(node)}/{made}", Dying)
        run.weakrefs.append(weakref.ref(self, lambda _, node=node: fire("weakref", node)))

    def __del__(self):
        run = Run.current
        if run is not None:
            run.finalizing += 1
            try:
                run.fire("del", self.node)
            finally:
                run.finalizing -= 1


class HookMeta(type):
    """The metaclass of the spies: a class registered with an abstract class is asked, through
    this hook, about every class that the abstract class's own caches do not answer for."""

    def __subclasscheck__(cls, sub):
        fire("subclass", cls, getattr(sub, "__name__", "?"))
        return False


class Spy1(metaclass=HookMeta):
    pass


class Spy2(metaclass=HookMeta):
    pass


def generate(run, node, items, dying):
    yield from items
    for _ in range(dying):
        yield Dying(run, node)


REGISTRABLE = {
    "frozenset": frozenset, "set": set, "NoneType": type(None), "list": list, "tuple": tuple, "bytes": bytes,
    "complex": complex, "range": range, "Opaque": Opaque, "Liar": Liar, "HIter": HIter,
    "generator": types.GeneratorType, "dict": dict, "Spy1": Spy1, "Spy2": Spy2,
}


def with_node(obj, node):
    obj.node = node
    return obj


def build_dict(run, d, build):
    """An exact dict. With extra "ghost", each str key that an HKey of the same name shadows
    later in the node gets a ghost inserted before it and removed after: the HKey then takes
    the ghost's slot, so a lookup of the str meets the HKey first although it comes later."""
    shadowed = {k.name for k, _ in d.children if type(k) is HKey} if d.extra == "ghost" else set()
    out = {}
    for key, child in d.children:
        ghost = Ghost(key) if type(key) is str and key in shadowed else None
        if ghost is not None:
            out[ghost] = None
        out[key] = build(child)
        if ghost is not None:
            del out[ghost]
    return out


def build_proxy(run, d, build):
    inner = {k: build(c) for k, c in d.children}
    run.inner[id(d)] = inner
    return types.MappingProxyType(inner)


BUILDERS = {
    "dict": build_dict,
    "D": lambda run, d, build: with_node(D((k, build(c)) for k, c in d.children), d),
    "hmap": lambda run, d, build: HMap(d, [(k, build(c)) for k, c in d.children], d.extra or "copy"),
    "proxy": build_proxy,
    "list": lambda run, d, build: [build(c) for c in d.children],
    "L": lambda run, d, build: with_node(L(build(c) for c in d.children), d),
    "tuple": lambda run, d, build: tuple(build(c) for c in d.children),
    "T": lambda run, d, build: with_node(T(build(c) for c in d.children), d),
    "hseq": lambda run, d, build: HSeq(d, [build(c) for c in d.children], d.extra),
    "hiter": lambda run, d, build: HIter(d, [build(c) for c in d.children], d.extra),
    "gen": lambda run, d, build: generate(run, d, [build(c) for c in d.children], d.extra or 0),
    "long": lambda run, d, build: iter(range(d.extra)),
    "liar": lambda run, d, build: Liar(d, d.extra),
    "idx": lambda run, d, build: with_node(Idx(d.extra), d),
    "dying": lambda run, d, build: Dying(run, d, cyclic=bool(d.extra)),
}


def contents(obj):
    """The items of a container as the hooks can change them, read without running hooks."""
    if type(obj) in (dict, D):
        return list(dict.items(obj))
    if type(obj) in (list, L):
        return list.copy(obj)
    if type(obj) is HMap:
        return list(obj.pairs)
    if type(obj) in (HSeq, HIter):
        return list(obj.items) + ([("pos", obj.pos)] if type(obj) is HIter else [])
    return None


def mutate(run, obj, node, op, value):
    """One change to a container: op is clear, pop, popfirst, append, insert or set; value is a
    (key, description) pair, the description built anew (a mapping takes the key too)."""
    if type(obj) is types.MappingProxyType:
        obj = run.inner[id(node)]
    if type(obj) in (dict, D):
        if op == "clear":
            dict.clear(obj)
        elif op in ("pop", "popfirst") and obj:
            key = next(iter(dict.keys(obj))) if op == "popfirst" else next(reversed(dict.keys(obj)))
            dict.__delitem__(obj, key)
        elif op in ("append", "insert", "set"):
            dict.__setitem__(obj, value[0], run.build(value[1]))
        return
    items = obj.pairs if type(obj) is HMap else obj.items if type(obj) in (HSeq, HIter) else obj
    if type(items) not in (list, L):
        return  # tuples and iterators of their own: nothing to change
    item = (value[0], run.build(value[1])) if type(obj) is HMap else run.build(value[1])
    if op == "clear":
        list.clear(items)
    elif op == "pop" and items:
        list.pop(items)
    elif op == "popfirst" and items:
        list.pop(items, 0)
    elif op == "append":
        list.append(items, item)
    elif op == "insert":
        list.insert(items, 0, item)
    elif op == "set" and items:
        list.__setitem__(items, len(items) // 2, item)


# ---------------------------------------------------------------------------------------
# Examples, the state they run in, and the checks.

class Example:
    """Two descriptions, the program's hooks (site, owner, which call or 0 for every call,
    action), the registrations made before the walk, the nodes that actions can reach, and
    for a run outside the model, the hooks of the process (signals, the collector, imports,
    the abc cache token)."""

    def __init__(self, a, b, program=(), setup=(), targets=(), process=()):
        self.a, self.b = a, b
        self.program, self.setup, self.targets, self.process = list(program), list(setup), list(targets), list(process)
        self.labels, self.shared = {}, {}
        self._index(a)
        self._index(b)
        for _, owner, _, action in self.program:
            self._index(owner)
            for part in action[1:]:
                self._index(part)

    def _index(self, d):
        """Labels every node and key, and notes the leaves and keys that runs share."""
        if type(d) is tuple and len(d) == 2:  # a (key, description) pair of an action
            self._index(d[0])
            self._index(d[1])
            return
        if type(d) is not Node:
            if id(d) not in self.shared:
                self.shared[id(d)] = (len(self.shared), d)
                self.labels.setdefault(id(d), f"k{len(self.labels)}")
            return
        if id(d) in self.labels:
            return
        self.labels[id(d)] = f"n{len(self.labels)}"
        for child in d.children:
            self._index(child)

    def label(self, owner):
        return owner if type(owner) is str else self.labels.get(id(owner)) or getattr(owner, "__name__", "?")

    def __repr__(self):
        return (f"Example(a={self.a!r}, b={self.b!r}, program={self.program!r}, setup={self.setup!r}, "
                f"targets={self.targets!r}, process={self.process!r})")


ABCS = ("Mapping", "Sequence")


def abc_family():
    """The abstract classes whose registries and caches a check against Mapping or Sequence can
    read: those two and every abstract class below them (ByteString, MutableSequence, the tests'
    own), base classes first."""
    found, todo = [], [getattr(cabc, name) for name in ABCS]
    while todo:
        cls = todo.pop(0)
        if cls not in found and isinstance(cls, abc_module.ABCMeta):
            found.append(cls)
            todo.extend(cls.__subclasses__())
    return sorted(found, key=lambda cls: len(cls.__mro__))


def registries():
    return {cls: {r() for r in _abc._get_dump(cls)[0]} - {None} for cls in abc_family()}


class AbcState:
    """The registrations of the abstract classes that the walk asks, saved and put back exactly.

    Registering a class that is already a virtual subclass does nothing (bytes with Sequence,
    once ByteString has it), so the registries are put back from empty, base classes first: each
    registration then lands in the registry it was taken from. The state put back is checked
    against the one saved, so that no example can start from another."""

    def __init__(self):
        self.saved = registries()

    def restore(self):
        family = abc_family()
        for cls in family:
            cls._abc_registry_clear()
            cls._abc_caches_clear()
        for cls in family:
            for sub in sorted(self.saved.get(cls, ()), key=lambda sub: sub.__qualname__):
                cls.register(sub)
        restored = registries()
        assert {cls: subs for cls, subs in restored.items() if subs} == {cls: subs for cls, subs in self.saved.items() if subs}, (
            "the abstract classes' registrations were not put back as they were")


def prepare(example):
    """The state that each run of an example starts from: the example's registrations made, and
    the caches of every abstract class that a check can read cold, so that the spies are asked
    alike in every run."""
    for action in example.setup:
        Run(example).act(action)
    for cls in abc_family():
        cls._abc_caches_clear()


def fill_free_lists():
    """Fills the interpreter's free lists of lists, dicts, floats and small tuples: an object
    of those kinds that the walk frees then goes back to the allocator, where the sanitizer
    sees any later read of it, instead of waiting on a free list to be handed out again."""
    batch = [[] for _ in range(100)] + [{} for _ in range(100)] + [i + 0.5 for i in range(120)]
    batch += [(i,) * n for n in range(1, 5) for i in range(2100)]
    del batch


def run_once(example, use_model, roots_out=None):
    """One side: ("ok", records) or ("failure", type or message), the hook log, and the state
    of the anchored containers afterwards."""
    state = AbcState()
    saved_hook = sys.unraisablehook
    run = Run(example)
    try:
        prepare(example)
        a, b = run.build_roots()
        sys.unraisablehook = run.unraisable_hook
        Run.current = run
        try:
            if use_model:
                result = ("ok", run.canonical_records(oracle.in_output_order(oracle.diff(a, b, run))))
            else:
                fill_free_lists()
                result = ("ok", run.canonical_records(records(corvane.corvane(a, b))))
        except oracle.Failure as failure:
            result = ("failure", failure.exc_type)
        except panic_type() as exc:
            result = ("failure", str(exc))
        finally:
            Run.current = None
            sys.unraisablehook = saved_hook
        return result, run.log, run.final_state([a, b])
    finally:
        state.restore()


def check_against_model(example):
    """The module fires the hooks that the model fires, in the same order, and ends as the
    model does, leaving the containers as the model leaves them."""
    expected, expected_log, expected_state = run_once(example, use_model=True)
    got, log, state = run_once(example, use_model=False)
    if expected[0] == "failure":
        assert got[0] == "failure", f"the model fails with {expected[1]}, the module returned {got[1]}"
        if expected[1] is not None:
            assert f"type: {expected[1]!r}" in got[1]
        # Finalizers that run while a failure unwinds do so in an order of no consequence.
        log = [entry for entry in log if not entry[4] and entry[0] not in ("del", "weakref")]
        expected_log = [entry for entry in expected_log if not entry[4] and entry[0] not in ("del", "weakref")]
        assert log == expected_log
        return
    assert got == expected
    assert log == expected_log, f"hooks fired: {log}\nthe model fired: {expected_log}"
    assert state == expected_state


# ---------------------------------------------------------------------------------------
# Runs whose hooks fire at moments that the model cannot predict: finalizers anywhere, the
# collector, signals, replaced abc cache token functions, imports. Only the outcome's shape is
# checked (and the sanitizers watch).

def shape_of(recs):
    """Kinds, paths and keys or lengths of records: what stays comparable across processes."""
    return [[kind, [repr(p) for p in path]] + ([x, y] if kind == "len" else [repr(x)] if kind in ("added", "removed") else [])
            for kind, path, x, y in recs]


def check_output_shape(out):
    """Every field of every record readable, paths lists."""
    for r in out.val_changes + out.type_and_val_changes:
        assert type(r.path) is list and (r.a, r.b) is not None
    for r in out.dict_items_added + out.dict_items_removed:
        assert type(r.path) is list and (r.key, r.val) is not None
    for r in out.iter_len_mismatch:
        assert type(r.path) is list and type(r.a_len) is int and type(r.b_len) is int


def run_chaos(example, found=None, data_rules=False):
    """The module alone, with the process's hooks installed. "ok", or "panic" for a
    PanicException; anything else raised fails. `found`, a list, receives the kind, path and
    key (or lengths) of each record. With `data_rules`, the same walk under the rules of data
    documents (aligned lists, dates, ...), whose result is only checked for its shape."""
    state = AbcState()
    saved = (sys.unraisablehook, signal.getsignal(signal.SIGALRM), signal.getsignal(signal.SIGUSR1),
             gc.get_threshold(), _abc.get_cache_token, abc_module.get_cache_token)
    run = Run(example)
    try:
        prepare(example)
        a, b = run.build_roots()
        uninstall = install_process_hooks(run, example.process)
        Run.current = run
        fill_free_lists()
        try:
            if data_rules:
                entries = DATA_RULES.differences(a, b)
                assert all(type(e) is tuple and len(e) == 4 and type(e[1]) is tuple for e in entries)
                return "ok"
            out = corvane.corvane(a, b)
            check_output_shape(out)
            if found is not None:
                found.extend(shape_of(records(out)))
            return "ok"
        except panic_type():
            return "panic"
        finally:
            Run.current = None
            uninstall()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        (sys.unraisablehook, alarm, usr1, threshold, _abc.get_cache_token, abc_module.get_cache_token) = saved
        signal.signal(signal.SIGALRM, alarm)
        signal.signal(signal.SIGUSR1, usr1)
        gc.set_threshold(*threshold)
        state.restore()


class IndexToken:
    """Stands for an abc cache token: an object whose __index__ fires a hook."""

    def __index__(self):
        fire("token", TOKEN)
        return 1


TOKEN = "token"  # the hooks of stand-ins for the abc cache token function: site and owner


def install_process_hooks(run, process):
    """Installs the process's hooks named in `process`; returns what removes them again."""
    undo = []
    handler = lambda *args: fire("signal", "signal")  # noqa: E731
    sys.unraisablehook = run.unraisable_hook
    signal.signal(signal.SIGUSR1, handler)
    for hook in process:
        kind = hook[0]
        if kind == "alarm":
            signal.signal(signal.SIGALRM, handler)
            signal.setitimer(signal.ITIMER_REAL, hook[1])
        elif kind == "gc":
            callback = lambda phase, info: fire("gc", "gc", phase)  # noqa: E731
            gc.callbacks.append(callback)
            gc.set_threshold(hook[1])
            undo.append(lambda callback=callback: gc.callbacks.remove(callback))
        elif kind == "token":
            token, restore = token_function(hook[1])
            _abc.get_cache_token = abc_module.get_cache_token = token
            undo.append(restore)
        elif kind == "import":
            real_import = builtins.__import__

            def hooked_import(*args, **kwargs):
                fire("import", "import", args[0])
                return real_import(*args, **kwargs)

            builtins.__import__ = hooked_import
            undo.append(lambda real_import=real_import: setattr(builtins, "__import__", real_import))
        elif kind == "finder":
            finder = Finder(["collections.abc", "_abc"])
            sys.meta_path.insert(0, finder)
            undo.append(finder.uninstall)
    return lambda: [u() for u in reversed(undo)]


def token_function(kind):
    """A stand-in for get_cache_token (Python code, or a builtin that runs Python code), and
    what undoes what it needs."""
    real = _abc.get_cache_token
    if kind == "python":
        return (lambda: (fire("token", TOKEN), real())[1]), lambda: None
    if kind == "collect":
        callback = lambda phase, info: fire("token", TOKEN, phase)  # noqa: E731
        gc.callbacks.append(callback)
        return gc.collect, lambda: gc.callbacks.remove(callback)
    if kind == "breakpoint":
        saved = sys.breakpointhook
        sys.breakpointhook = lambda *args, **kwargs: (fire("token", TOKEN), 0)[1]
        return breakpoint, lambda: setattr(sys, "breakpointhook", saved)
    if kind == "pop":
        return [IndexToken() for _ in range(10000)].pop, lambda: None
    raise ValueError(kind)


class Finder:
    """A meta path finder for modules taken out of sys.modules: it fires a hook, then hands the
    module that was there back, so that the abstract classes stay the very same classes."""

    def __init__(self, names):
        self.modules = {name: sys.modules.pop(name) for name in names if name in sys.modules}
        self.specs = {name: module.__spec__ for name, module in self.modules.items()}

    def find_spec(self, name, path=None, target=None):
        if name not in self.modules:
            return None
        fire("import", "import", name)
        return importlib.util.spec_from_loader(name, self)

    def create_module(self, spec):
        return self.modules[spec.name]

    def exec_module(self, module):
        pass

    def uninstall(self):
        if self in sys.meta_path:
            sys.meta_path.remove(self)
        for name, module in self.modules.items():
            sys.modules.setdefault(name, module)
            module.__spec__ = self.specs[name]


# ---------------------------------------------------------------------------------------
# The first walk of a process, in a child of its own.

CHILD = f"""
import sys
sys.path.insert(0, {TESTS_DIR!r})
import mutation_fuzz
mutation_fuzz.child_main()
"""


def run_in_child(example, timeout=120):
    """Runs the example as the first walk of a new interpreter (that of this process, with its
    environment: the sanitizers' too). Returns (exit status, what it printed, its errors)."""
    child = subprocess.run([sys.executable, "-c", CHILD], input=pickle.dumps(example), capture_output=True,
                           timeout=timeout)
    return child.returncode, child.stdout.decode(errors="replace"), child.stderr.decode(errors="replace")


def child_main():
    example = pickle.loads(sys.stdin.buffer.read())
    found = []
    try:
        outcome = run_chaos(example, found)
    except BaseException as exc:  # noqa: BLE001 - reported to the parent
        print(f"raised {type(exc).__name__}: {exc}")
        sys.stdout.flush()
        os._exit(3)
    print(outcome)
    print(json.dumps(found))
    sys.stdout.flush()
    os._exit(0)  # no exit handlers: nothing of the interpreter's teardown is under test here
