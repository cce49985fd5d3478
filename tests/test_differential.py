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
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane import corvane

try:
    import oracle
    from helpers import Map, Seq, panic_type, records, returns
    from trees import Node, Shape, Str, leaves, near_leaf, walk_nodes
except ImportError:  # tests collected as a package
    from tests import oracle
    from tests.helpers import Map, Seq, panic_type, records, returns
    from tests.trees import Node, Shape, Str, leaves, near_leaf, walk_nodes

BUDGET = settings.default.max_examples


# ---------------------------------------------------------------------------------------
# The kinds of objects that the trees are built from.

class D(dict):
    pass


class L(list):
    pass


class T(tuple):
    pass


def strict_lookup(usual):
    """A lookup of a missing key that raises TypeError rather than KeyError."""
    try:
        return usual()
    except KeyError:
        raise TypeError("no such key") from None


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


def gen(items):
    yield from items


MAPPINGS = {
    "dict": dict,
    "D": D,
    "odict": collections.OrderedDict,
    "ddict": lambda items, extra: collections.defaultdict(extra, items),
    "map": lambda items: Map(dict(items)),
    "strict": lambda items: Map(dict(items), getitem=strict_lookup),
    "proxy": lambda items: types.MappingProxyType(dict(items)),
    # items() hands out the very list of pairs, duplicate keys included; a lookup finds a key's last value
    "pairs": lambda items: Map(dict(items), items=returns(items)),
}
SEQUENCES = {"list": list, "L": L, "tuple": tuple, "T": T, "seq": Seq, "deque": collections.deque}
ITERATORS = {"iter": iter, "gen": gen, "hint": HintIter, "fail": FailIter}
FAMILY = {**dict.fromkeys(MAPPINGS, "map"), **dict.fromkeys(SEQUENCES, "seq"), **dict.fromkeys(ITERATORS, "iter")}
KINDS_OF = {"map": list(MAPPINGS), "seq": list(SEQUENCES), "iter": ["iter", "iter", "gen", "gen", "hint", "fail"]}


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
    _, seen_keys, seen_leaves = walk_nodes(SHAPE, *descriptions)
    return {id(x): x for x in seen_keys + seen_leaves}


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
# Strategies: the kinds of this file's trees (the rest is in trees.py), and pairs of leaves.

def extra_for(draw, kind):
    if kind == "ddict":
        return draw(st.sampled_from([int, list]))
    if kind == "hint":
        return draw(st.sampled_from([0, 1, 3, 10, -1, "raise"]))
    return None


SHAPE = Shape(FAMILY, KINDS_OF, extra_for)
tree_pairs = SHAPE.pairs


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
