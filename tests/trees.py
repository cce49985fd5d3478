"""Hypothesis strategies for pairs of similar trees, shared by the randomised tests.

A tree is a description: leaves are the objects themselves, containers are `Node`s that each
side of a comparison builds into objects of its own. A `Shape` names the kinds of containers
that trees are built from (mappings, sequences, iterators, and kinds that stand alone) and
draws a tree and a mutated twin of it, so that most of the structure of a pair matches and
differences are sparse.
"""

import math

from hypothesis import strategies as st

try:
    from helpers import Float, Int, Node, NoClass, Opaque, Str
except ImportError:  # tests collected as a package
    from tests.helpers import Float, Int, Node, NoClass, Opaque, Str

__all__ = ["Float", "Int", "Node", "NoClass", "Opaque", "Str"]  # the classes that trees are made of


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


NAN = float("nan")
INT_BOUNDS = [2**127 - 1, 2**127, -(2**127), -(2**127) - 1, 2**128, 2**63 - 1, 2**63, -(2**63) - 1, 2**64,
              2**30, -(2**62)]
FLOAT_SPECIALS = [0.0, -0.0, NAN, math.inf, -math.inf, 5e-324, 1.0, 1e308]
CHAR = st.sampled_from("ab\x00\xe9\xff\u0100\u20ac\uffff\U0001d11e\U0010ffff") | st.characters(
    exclude_categories=("Cs",))
TEXT = st.text(CHAR, max_size=3)

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


def near_leaf(draw, x, other_leaves=leaves):
    """A leaf like x: equal as another object, or a close value, or of a neighbouring kind."""
    r = draw(st.integers(0, 5))
    if issubclass(type(x), bool) or not issubclass(type(x), (int, float, str)):
        return draw(other_leaves)
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


def near_key(draw, k, other_keys=keys):
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
    return draw(other_keys)


class Shape:
    """The kinds that trees are made of. `families` maps each kind to "map", "seq", "iter" or
    "atom" (a node without children that stands where a leaf would); `kinds_of` lists the
    kinds of each container family to draw from (repeats weigh); `extra_for(draw, kind)` draws
    a node's extra; `adjust(draw, node)` may change a container node once drawn."""

    def __init__(self, families, kinds_of, extra_for, leaves=leaves, keys=keys, max_depth=3, adjust=None):
        self.families, self.kinds_of, self.extra_for = families, kinds_of, extra_for
        self.leaves, self.keys, self.max_depth = leaves, keys, max_depth
        self.adjust = adjust or (lambda draw, node: node)

    def is_container(self, d):
        return type(d) is Node and self.families[d.kind] != "atom"

    def children_for(self, draw, family, depth, n):
        if family == "map":
            return [(draw(self.keys), draw(self.trees(depth + 1))) for _ in range(n)]
        return [draw(self.trees(depth + 1)) for _ in range(n)]

    def trees(self, depth=0):
        return st.composite(lambda draw: self._tree(draw, depth))()

    def _tree(self, draw, depth):
        if depth >= self.max_depth or draw(st.integers(0, 9)) < 3 + depth:
            return draw(self.leaves)
        family = draw(st.sampled_from(["map", "map", "seq", "seq", "iter"]))
        kind = draw(st.sampled_from(self.kinds_of[family]))
        children = self.children_for(draw, family, depth, draw(st.integers(0, 4)))
        return self.adjust(draw, Node(kind, children, self.extra_for(draw, kind)))

    def convert(self, draw, children, old_family, new_family):
        if (old_family == "map") == (new_family == "map"):
            return children
        if new_family == "map":
            return [(draw(self.keys), c) for c in children]
        return [v for _, v in children]

    # The functions that take a drawn object get the caller's `draw`: hypothesis would inspect
    # an object passed to a strategy, and a NoClass object refuses that.
    def twin(self, draw, d, depth=0):
        """A mutated copy of the description d: mostly the same, with sparse changes."""
        r = draw(st.integers(0, 99))
        if not self.is_container(d):
            return d if r < 70 else near_leaf(draw, d, self.leaves) if r < 88 else draw(self.trees(depth))
        if 55 <= r < 62:
            return d  # the very same object on both sides
        if r >= 92:
            return draw(self.trees(depth))
        family, kind = self.families[d.kind], d.kind
        if 62 <= r < 80:
            kind = draw(st.sampled_from(self.kinds_of[family]))
        elif 80 <= r < 92:
            kind = draw(st.sampled_from(self.kinds_of[draw(st.sampled_from(["map", "seq", "iter"]))]))
        new_family = self.families[kind]
        children = []
        for child in self.convert(draw, d.children, family, new_family):
            op = draw(st.integers(0, 19))
            if op == 1:
                continue  # dropped
            if new_family == "map":
                key, value = child
                key = near_key(draw, key, self.keys) if op == 2 else draw(self.keys) if op == 3 else key
                children.append((key, self.twin(draw, value, depth + 1)))
            else:
                if op == 2:
                    children.append(draw(self.trees(depth + 1)))  # inserted
                children.append(self.twin(draw, child, depth + 1))
        children += self.children_for(draw, new_family, depth, draw(st.integers(0, 9)) // 8)
        if len(children) > 1 and draw(st.integers(0, 9)) == 9:
            children = draw(st.permutations(children))
        extra = d.extra if kind == d.kind and draw(st.integers(0, 3)) else self.extra_for(draw, kind)
        return self.adjust(draw, Node(kind, children, extra))

    def pairs(self):
        @st.composite
        def tree_pairs(draw):
            a = draw(self.trees())
            b = self.twin(draw, a)
            return (b, a) if draw(st.integers(0, 3)) == 3 else (a, b)

        return tree_pairs()


def walk_nodes(shape, *descriptions):
    """Every node of the descriptions once (parents before children), every mapping key and
    every leaf."""
    nodes, seen_keys, seen_leaves, seen = [], [], [], set()

    def visit(d):
        if type(d) is not Node:
            seen_leaves.append(d)
            return
        if id(d) in seen:
            return
        seen.add(id(d))
        nodes.append(d)
        if shape.families[d.kind] == "map":
            for key, child in d.children:
                seen_keys.append(key)
                visit(child)
        else:
            for child in d.children:
                visit(child)

    for d in descriptions:
        visit(d)
    return nodes, seen_keys, seen_leaves
