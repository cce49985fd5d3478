"""Randomised differential tests: corvane against the pure-Python model in oracle.py.

An example is a pair of similar trees: one generated tree and a mutated twin of it, so that
most of the structure matches and differences are sparse. Trees are descriptions: each side
of the comparison (model and module) builds its own objects from them, since iterators and
generators are consumed, while leaves and mapping keys are the very same objects on both
sides. Records are therefore compared by identity: leaves and keys as themselves, built
containers by the description node they came from, and objects made during the walk (the
characters of a string, the integers of a range) by type and value.

The size of a run comes from the hypothesis profile (registered in conftest.py): its
max_examples is the budget shared by the tests of this file.
"""

import collections
import collections.abc as abc
import math
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane import corvane

try:
    import oracle
    from helpers import Map, panic_type, records
except ImportError:  # tests collected as a package
    from tests import oracle
    from tests.helpers import Map, panic_type, records

BUDGET = settings.default.max_examples
MAX_DEPTH = 3


# ---------------------------------------------------------------------------------------
# The kinds of objects that the trees are built from.

class Str(str):
    pass


class Int(int):
    pass


class Float(float):
    pass


class D(dict):
    pass


class L(list):
    pass


class T(tuple):
    pass


class StrictMap(Map):
    """Its lookup of a missing key raises TypeError rather than KeyError."""

    def __getitem__(self, k):
        try:
            return self.d[k]
        except KeyError:
            raise TypeError("no such key") from None

    def __contains__(self, k):
        return k in self.d


class PairMap(abc.Mapping):
    """Keeps its items as a list of pairs, duplicate keys included, and hands out that very
    list from items(); a lookup finds the last pair with the key."""

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return self.pairs

    def __getitem__(self, key):
        for k, v in reversed(self.pairs):
            if k is key or k == key:
                return v
        raise KeyError(key)

    def __iter__(self):
        return (k for k, _ in self.pairs)

    def __len__(self):
        return len(self.pairs)


class Seq(abc.Sequence):
    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


class HintIter:
    """Yields its items; its length hint is a fixed answer, or raises ValueError."""

    def __init__(self, items, hint):
        self.it, self.hint = iter(items), hint

    def __iter__(self):
        return self

    def __next__(self):
        return next(self.it)

    def __length_hint__(self):
        if self.hint == "raise":
            raise ValueError("no hint")
        return self.hint


class FailIter:
    """Yields its items, then raises ValueError."""

    def __init__(self, items):
        self.it = iter(items)

    def __iter__(self):
        return self

    def __next__(self):
        for item in self.it:
            return item
        raise ValueError("broken iterator")


class Opaque:
    pass


class NoClass:
    """isinstance() against an abstract class raises for it."""

    @property
    def __class__(self):
        raise LookupError("no class")


def gen(items):
    yield from items


MAPPINGS = {
    "dict": dict,
    "D": D,
    "odict": collections.OrderedDict,
    "ddict": lambda items, extra: collections.defaultdict(extra, items),
    "map": lambda items: Map(dict(items)),
    "strict": lambda items: StrictMap(dict(items)),
    "proxy": lambda items: types.MappingProxyType(dict(items)),
    "pairs": PairMap,
}
SEQUENCES = {"list": list, "L": L, "tuple": tuple, "T": T, "seq": Seq, "deque": collections.deque}
ITERATORS = {"iter": iter, "gen": gen, "hint": HintIter, "fail": FailIter}
FAMILY = {**dict.fromkeys(MAPPINGS, "map"), **dict.fromkeys(SEQUENCES, "seq"), **dict.fromkeys(ITERATORS, "iter")}
KINDS_OF = {"map": list(MAPPINGS), "seq": list(SEQUENCES), "iter": ["iter", "iter", "gen", "gen", "hint", "fail"]}


class Node:
    """A container to build: `children` are (key, node) pairs for a mapping, else nodes."""

    __slots__ = ("kind", "children", "extra")

    def __init__(self, kind, children, extra=None):
        self.kind, self.children, self.extra = kind, children, extra

    def __repr__(self):
        extra = "" if self.extra is None else f", {self.extra!r}"
        return f"Node({self.kind!r}, {self.children!r}{extra})"


class Built:
    """The objects built from descriptions for one side; a node shared by the two trees (or
    met twice) gives one object."""

    def __init__(self):
        self.objects = {}  # id(node) -> object, in build order
        self.node_of = {}  # id(object) -> id(node)

    def __call__(self, d):
        if type(d) is not Node:
            return d
        if id(d) in self.objects:
            return self.objects[id(d)]
        family = FAMILY[d.kind]
        if family == "map":
            items = [(k, self(v)) for k, v in d.children]
            args = (items, d.extra) if d.kind == "ddict" else (items,)
            obj = MAPPINGS[d.kind](*args)
        else:
            items = [self(c) for c in d.children]
            args = (items, d.extra) if d.kind == "hint" else (items,)
            obj = (SEQUENCES if family == "seq" else ITERATORS)[d.kind](*args)
        self.objects[id(d)] = obj
        self.node_of[id(obj)] = id(d)
        return obj


def shared_objects(*descriptions):
    """id -> object for every leaf and key of the descriptions: the objects both sides share."""
    found = {}

    def visit(d):
        if type(d) is not Node:
            found[id(d)] = d
        elif FAMILY[d.kind] == "map":
            for key, child in d.children:
                found[id(key)] = key
                visit(child)
        else:
            for child in d.children:
                visit(child)

    for d in descriptions:
        visit(d)
    return found


def canonical(x, built, shared):
    node_id = built.node_of.get(id(x))
    if node_id is not None and built.objects[node_id] is x:
        return ("node", node_id)
    if shared.get(id(x)) is x:
        return ("shared", id(x))
    return ("made", type(x), repr(x))


def canonical_records(recs, built, shared):
    def c(x):
        return canonical(x, built, shared)

    return [(kind, [c(p) for p in path]) + ((x, y) if kind == "len" else (c(x), c(y)))
            for kind, path, x, y in recs]


def leftovers(built, shared):
    """What the comparison left in the objects it can change: unread iterator items and the
    keys that a defaultdict's lookups inserted."""
    out = []
    for node_id, obj in built.objects.items():
        if issubclass(type(obj), collections.defaultdict):
            out.append((node_id, [(canonical(k, built, shared), canonical(v, built, shared))
                                  for k, v in obj.items()]))
        elif hasattr(type(obj), "__next__"):
            rest = []
            try:
                rest.extend(canonical(x, built, shared) for x in obj)
            except ValueError:
                rest.append("raised")
            out.append((node_id, rest))
    return out


def run_model(da, db, shared):
    built = Built()
    a, b = built(da), built(db)
    unraisable = []
    try:
        recs = oracle.in_output_order(oracle.diff(a, b, unraisable))
        result = ("ok", canonical_records(recs, built, shared))
    except oracle.Failure as failure:
        result = ("failure", failure.exc_type)
    reports = [(t, canonical(o, built, shared)) for t, o in unraisable]
    return result, reports, leftovers(built, shared)


def run_module(da, db, shared):
    built = Built()
    a, b = built(da), built(db)
    unraisable = []
    saved, sys.unraisablehook = sys.unraisablehook, lambda r: unraisable.append((r.exc_type, r.object))
    try:
        out = corvane(a, b)
        result = ("ok", canonical_records(records(out), built, shared))
    except panic_type() as exc:
        result = ("failure", str(exc))
    finally:
        sys.unraisablehook = saved
    reports = [(t, canonical(o, built, shared)) for t, o in unraisable]
    return result, reports, leftovers(built, shared)


def check_pair(da, db):
    shared = shared_objects(da, db)
    expected, expected_reports, expected_left = run_model(da, db, shared)
    got, reports, left = run_module(da, db, shared)
    if expected[0] == "failure":
        assert got[0] == "failure", f"the model fails with {expected[1]}, the module returned {got[1]}"
        if expected[1] is not None:
            assert f"type: {expected[1]!r}" in got[1]
    else:
        assert got == expected
    assert reports == expected_reports
    assert left == expected_left


# ---------------------------------------------------------------------------------------
# Strategies: leaves, keys, trees, and the mutated twin of a tree.

NAN = float("nan")
INT_BOUNDS = [2**127 - 1, 2**127, -(2**127), -(2**127) - 1, 2**128, 2**63 - 1, 2**63, -(2**63) - 1, 2**64,
              2**30, -(2**62)]
FLOAT_SPECIALS = [0.0, -0.0, NAN, math.inf, -math.inf, 5e-324, 1.0, 1e308]
CHAR = st.sampled_from("ab\x00\xe9\xff\u0100\u20ac\uffff\U0001d11e\U0010ffff") | st.characters(
    exclude_categories=("Cs",))
TEXT = st.text(CHAR, max_size=3)


def pick(weighted):
    """One of several strategies, by integer weights; shrinks towards the first."""
    total = sum(w for w, _ in weighted)

    @st.composite
    def chosen(draw):
        r = draw(st.integers(0, total - 1))
        for w, s in weighted:
            if r < w:
                return draw(s)
            r -= w
        raise AssertionError

    return chosen()


ints = pick([(6, st.integers(-300, 300)), (2, st.sampled_from(INT_BOUNDS)),
             (1, st.integers(-(2**127), 2**127 - 1)), (1, st.booleans()), (1, st.integers(-5, 5).map(Int)),
             (1, st.sampled_from(INT_BOUNDS).map(Int))])
floats = pick([(4, st.floats()), (2, st.sampled_from(FLOAT_SPECIALS)), (1, st.floats().map(Float))])
texts = pick([(6, TEXT), (1, TEXT.map(Str)), (1, st.sampled_from(["\ud800", "a\udfff", "\udbff\udc00"]))])
others = st.sampled_from([None, None, None, ...]) | st.builds(object) | st.builds(Opaque) | st.binary(max_size=3) \
    | st.binary(max_size=2).map(bytearray) | st.builds(range, st.integers(-2, 4), st.integers(0, 4)) \
    | st.frozensets(st.integers(0, 2), max_size=2) | st.sets(st.integers(0, 2), max_size=2) \
    | st.complex_numbers(max_magnitude=4)
leaves = pick([(6, ints), (5, texts), (5, floats), (4, others), (1, st.builds(NoClass))])
# The surrogate strings and NoClass objects are rare on purpose: one surrogate ends the whole
# comparison, and each NoClass pair reports four unraisable errors.

keys = pick([(4, st.text("abc\xe9\u20ac", max_size=2)), (3, st.integers(-3, 3)),
             (1, st.sampled_from([1.0, 2.5, NAN, True, False, None, -0.0])),
             (1, st.tuples(st.integers(0, 2), st.text("ab", max_size=1))), (1, st.builds(object))])


def near_leaf(draw, x):
    """A leaf like x: equal as another object, or a close value, or of a neighbouring kind."""
    r = draw(st.integers(0, 5))
    if issubclass(type(x), bool) or not issubclass(type(x), (int, float, str)):
        return draw(leaves)
    if issubclass(type(x), int):
        v = int(x)
        return [int(str(v)), v + 1, -v, Int(v), float(v) if abs(v) < 2**60 else v - 1,
                bool(v & 1)][r]
    if issubclass(type(x), float):
        v = float(x)
        return [float(repr(v)) if v == v else float("nan"), math.nextafter(v, math.inf), -v, Float(v),
                int(v) if math.isfinite(v) else v, 0.0 if v else -0.0][r]
    s = str(x)
    return ["".join(list(s)), s + draw(CHAR), s[:-1], Str(s), s[:1] + "\u0101" + s[2:], list(s)][r]


def near_key(draw, k):
    """A key equal to k but not the same object, when there is one."""
    if issubclass(type(k), bool):
        return int(k)
    if issubclass(type(k), (int, float)) and math.isfinite(k) and k == int(k):
        return draw(st.sampled_from([float(k), Int(k), int(str(int(k)))]))
    if issubclass(type(k), float):
        return float(repr(k))  # NaN: another NaN, which no lookup finds
    if issubclass(type(k), str):
        return draw(st.sampled_from([Str(k), "".join(list(k))]))
    if issubclass(type(k), tuple):
        return tuple(list(k))
    return draw(keys)


def children_for(draw, family, depth, n):
    if family == "map":
        return [(draw(keys), draw(trees(depth + 1))) for _ in range(n)]
    return [draw(trees(depth + 1)) for _ in range(n)]


def extra_for(draw, kind):
    if kind == "ddict":
        return draw(st.sampled_from([int, list]))
    if kind == "hint":
        return draw(st.sampled_from([0, 1, 3, 10, -1, "raise"]))
    return None


@st.composite
def trees(draw, depth=0):
    if depth >= MAX_DEPTH or draw(st.integers(0, 9)) < 3 + depth:
        return draw(leaves)
    family = draw(st.sampled_from(["map", "map", "seq", "seq", "iter"]))
    kind = draw(st.sampled_from(KINDS_OF[family]))
    children = children_for(draw, family, depth, draw(st.integers(0, 4)))
    return Node(kind, children, extra_for(draw, kind))


def convert(draw, children, old_family, new_family):
    if (old_family == "map") == (new_family == "map"):
        return children
    if new_family == "map":
        return [(draw(keys), c) for c in children]
    return [v for _, v in children]


# The functions that take a drawn object get the caller's `draw`: hypothesis would inspect an
# object passed to a strategy, and a NoClass object refuses that.
def twin(draw, d, depth=0):
    """A mutated copy of the description d: mostly the same, with sparse changes."""
    r = draw(st.integers(0, 99))
    if type(d) is not Node:
        return d if r < 70 else near_leaf(draw, d) if r < 88 else draw(trees(depth))
    if 55 <= r < 62:
        return d  # the very same object on both sides
    if r >= 92:
        return draw(trees(depth))
    family, kind = FAMILY[d.kind], d.kind
    if 62 <= r < 80:
        kind = draw(st.sampled_from(KINDS_OF[family]))
    elif 80 <= r < 92:
        kind = draw(st.sampled_from(KINDS_OF[draw(st.sampled_from(["map", "seq", "iter"]))]))
    new_family = FAMILY[kind]
    children = []
    for child in convert(draw, d.children, family, new_family):
        op = draw(st.integers(0, 19))
        if op == 1:
            continue  # dropped
        if new_family == "map":
            key, value = child
            key = near_key(draw, key) if op == 2 else draw(keys) if op == 3 else key
            children.append((key, twin(draw, value, depth + 1)))
        else:
            if op == 2:
                children.append(draw(trees(depth + 1)))  # inserted
            children.append(twin(draw, child, depth + 1))
    children += children_for(draw, new_family, depth, draw(st.integers(0, 9)) // 8)
    if len(children) > 1 and draw(st.integers(0, 9)) == 9:
        children = draw(st.permutations(children))
    extra = d.extra if kind == d.kind and draw(st.integers(0, 3)) else extra_for(draw, kind)
    return Node(kind, children, extra)


@st.composite
def tree_pairs(draw):
    a = draw(trees())
    b = twin(draw, a)
    return (b, a) if draw(st.integers(0, 3)) == 3 else (a, b)


@st.composite
def leaf_pairs(draw):
    a = draw(leaves)
    r = draw(st.integers(0, 4))
    return a, near_leaf(draw, a) if r < 3 else a if r == 3 else draw(leaves)


# ---------------------------------------------------------------------------------------
# The tests.

@settings(max_examples=max(1, BUDGET * 4 // 5))
@given(tree_pairs())
def test_trees_match_the_model(pair):
    check_pair(*pair)


@settings(max_examples=max(1, BUDGET // 5))
@given(leaf_pairs())
def test_scalars_match_the_model(pair):
    check_pair(*pair)


def describe(x):
    """The description of a literal: dicts, lists and tuples become nodes, the rest stays."""
    if type(x) is dict:
        return Node("dict", [(k, describe(v)) for k, v in x.items()])
    if type(x) in (list, tuple):
        return Node(type(x).__name__, [describe(v) for v in x])
    return x


@pytest.mark.parametrize(
    "a, b",
    [
        ({"k": [1, "\xe9", 2.5, None]}, {"k": (1, "\xe9", 2.5, None)}),
        ({1: Node("iter", [1, 2]), "s": "ab"}, {1.0: Node("iter", [1]), "s": ["a", "c"], "n": {}}),
        ([Node("gen", [1, 2]), Str("x"), 2**127 - 1], [Node("hint", [1, 2, 3], 0), "y", -(2**127)]),
        (Node("ddict", [("x", 1)], list), Node("ddict", [("y", 1)], int)),
        (Node("strict", [("x", [1]), ("z", 0)]), Node("proxy", [("x", [2, 3]), ("y", 0)])),
        (Node("seq", ["ab", range(3)]), Node("deque", [["a", "b"], [0, 1]])),
        ([2**127, "\ud800"], [2**127, "x"]),
        (Node("fail", [1, 2]), Node("iter", [1, 2])),
    ],
)
def test_chosen_pairs_match_the_model(a, b):
    """Fixed pairs through the same harness; short enough to be leak-checked quickly."""
    check_pair(describe(a), describe(b))
