"""Small shared helpers for the corvane tests."""

import collections.abc as abc
import functools
import gc
import os
import sys
import textwrap

import corvane


class Map(abc.Mapping):
    """A mapping over the dict `data` that is no dict, so that it takes the general path.

    Its lookup, `in`, __iter__ and __len__ are data's; what items() gives is set by `items_as`:
      "view"  the Mapping's own ItemsView, which reads through __iter__ and __getitem__ (so a
              getitem hook runs for each item too);
      "list"  a new list of data's items, which asks no other method.
    items, getitem, contains: a hook that runs in place of that method, called as hook(usual)
        with `usual` a function that does what the method does without the hook; its result is
        the method's. raising(), returns() and then() below make the common ones.
    log, name: each call of those three methods is appended to the list `log` before its hook
        runs, as (name, "items") or (name, "getitem" or "contains", key).
    """

    def __init__(self, data, items_as="view", items=None, getitem=None, contains=None, log=None, name=None):
        self.data, self.items_as, self.log, self.name = data, items_as, log, name
        self.on_items, self.on_getitem, self.on_contains = items, getitem, contains

    def _call(self, hook, usual, *call):
        if self.log is not None:
            self.log.append((self.name, *call))
        return hook(usual) if hook else usual()

    def items(self):
        usual = (lambda: list(self.data.items())) if self.items_as == "list" else super().items
        return self._call(self.on_items, usual, "items")

    def __getitem__(self, key):
        if self.on_getitem is None and self.log is None:
            # As a plain lookup: allocates nothing (not even a cell for a closure), since a
            # MemoryError raised here would read as a missing key.
            return self.data[key]
        return self._call(self.on_getitem, functools.partial(self.data.__getitem__, key), "getitem", key)

    def __contains__(self, key):
        return self._call(self.on_contains, functools.partial(self.data.__contains__, key), "contains", key)

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


def raising(exc_type, *args):
    """A hook that raises exc_type(*args), whatever it is called with."""

    def explode_in_hook(*_):
        raise exc_type(*args)

    return explode_in_hook


def returns(value):
    """A hook that gives `value` instead of the usual result."""
    return lambda usual: value


def then(effect):
    """A hook that runs `effect` first, then the usual code."""
    return lambda usual: (effect(), usual())[1]


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


class Seq(abc.Sequence):
    """A sequence over a list of `data` that is no list, known to the walk only through the
    abstract class."""

    def __init__(self, data):
        self.data = list(data)

    def __getitem__(self, i):
        return self.data[i]

    def __len__(self):
        return len(self.data)


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


def child_script(code):
    """`code`, dedented, for `python -c` in a new interpreter that imports these helpers too."""
    here = os.path.dirname(os.path.abspath(__file__))
    return f"import sys\nsys.path.insert(0, {here!r})\n" + textwrap.dedent(code)


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
    tuples and the `data` that a test double keeps (read without running its code)."""
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
            if "data" in attrs:
                todo.append(attrs["data"])
    obj = attrs = None  # the last ones looked at would count one reference more
    gc.collect()
    return {key: sys.getrefcount(obj) for key, obj in found.items()}
