"""Small shared helpers for the corvane tests."""

import collections.abc as abc
import gc
import sys

import corvane


class Map(abc.Mapping):
    """A plain mapping that is no dict: it takes the general path."""

    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


# The classes of the objects that randomised trees are made of (see trees.py), here so that a
# child process can rebuild a tree without the strategies.

class Str(str):
    pass


class Int(int):
    pass


class Float(float):
    pass


class Opaque:
    pass


class NoClass:
    """isinstance() against an abstract class raises for it."""

    @property
    def __class__(self):
        raise LookupError("no class")

    def __reduce__(self):  # pickling would ask for __class__ otherwise
        return NoClass, ()


class Node:
    """A container to build: `children` are (key, node) pairs for a mapping, else nodes."""

    __slots__ = ("kind", "children", "extra")

    def __init__(self, kind, children, extra=None):
        self.kind, self.children, self.extra = kind, children, extra

    def __repr__(self):
        extra = "" if self.extra is None else f", {self.extra!r}"
        return f"Node({self.kind!r}, {self.children!r}{extra})"

    def __reduce__(self):  # pickled with its slots, for a child process
        return Node, (self.kind, self.children, self.extra)


def records(out):
    """Flatten an Output into comparable tuples, list by list in Output order."""
    return (
        [("val", r.path, r.a, r.b) for r in out.val_changes]
        + [("type", r.path, r.a, r.b) for r in out.type_and_val_changes]
        + [("added", r.path, r.key, r.val) for r in out.dict_items_added]
        + [("removed", r.path, r.key, r.val) for r in out.dict_items_removed]
        + [("len", r.path, r.a_len, r.b_len) for r in out.iter_len_mismatch]
    )


_panic = []


def panic_type():
    """The class of internal failures, found by provoking one (an int past 128 bits)."""
    if not _panic:
        try:
            corvane.corvane(2**200, 0)
        except BaseException as exc:  # noqa: BLE001 - this is the point
            _panic.append(type(exc))
        else:
            raise AssertionError("corvane(2**200, 0) did not fail")
    return _panic[0]


def refcounts(*roots):
    """Reference count by id of everything reachable from the roots through dicts, lists,
    tuples and the `data` or `d` that a test double keeps (read without running its code)."""
    found, todo = {}, list(roots)
    while todo:
        obj = todo.pop()
        if id(obj) in found:
            continue
        found[id(obj)] = obj
        kind = type(obj)  # not isinstance(): some doubles answer that with their own code
        if kind is dict:
            todo += [*obj, *obj.values()]
        elif kind in (list, tuple):
            todo += obj
        elif "__dict__" in dir(kind):
            attrs = object.__getattribute__(obj, "__dict__")
            todo += [attrs[name] for name in ("data", "d") if name in attrs]
    obj = attrs = None  # the last ones looked at would count one reference more
    gc.collect()
    return {key: sys.getrefcount(obj) for key, obj in found.items()}
