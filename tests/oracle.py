"""A small pure-Python model of corvane(a, b), for the randomised differential tests.

`diff(a, b, unraisable)` returns the difference records in discovery order as tuples
(kind, path, x, y), kind being "val", "type", "added", "removed" or "len", or raises
`Failure` where the native module ends in an internal failure. Errors that the module
absorbs and reports through the unraisable hook are appended to `unraisable` as
(exception type, object) pairs, in the order in which they happen.

It is deliberately naive: every rule is written the plainest way, with no shortcut of
the native code (no type caches, no fast paths for small integers).

Code that runs during the walk (the inputs' own methods, hooks) may change the trees. A
container is compared as it was when the walk reached it: an exact dict's items and an exact
list's elements are taken then (the model copies them), while lookups and `in` tests ask the
containers as they are at that moment, and containers not yet reached are read when reached.
The model fires every method of the inputs in the order in which the module calls them, and
lets drained items go when their pair is done, as the module does, so that even finalizers
of such items run at the same moments.
"""

import collections.abc as abc
import operator

KINDS = ("val", "type", "added", "removed", "len")  # also the order of the Output lists

INT128_MIN, INT128_MAX = -(2**127), 2**127 - 1


class Failure(Exception):
    """The comparison is abandoned; `exc_type` is the Python exception that caused it, if any."""

    def __init__(self, exc_type=None):
        super().__init__(exc_type)
        self.exc_type = exc_type


def in_output_order(recs):
    """The stable partition of a discovery-ordered record list into the five Output lists."""
    return [r for kind in KINDS for r in recs if r[0] == kind]


def diff(a, b, unraisable):
    return _Model(unraisable).dispatch(a, b, [])


class _Model:
    def __init__(self, unraisable):
        self.unraisable = unraisable

    # The type tests, each applied to a and then to b. They look at the real type, as the
    # interpreter's type flags do, never at a `__class__` that an object may pretend to.

    def _abc_test(self, x, flag_types, cls):
        if issubclass(type(x), flag_types):
            return True
        try:
            return isinstance(x, cls)
        except Exception as exc:
            self.unraisable.append((type(exc), x))
            return False

    def is_mapping(self, x):
        return self._abc_test(x, dict, abc.Mapping)

    def is_sequence(self, x):
        return self._abc_test(x, (list, tuple), abc.Sequence)

    @staticmethod
    def is_iterator(x):
        return hasattr(type(x), "__next__")

    @staticmethod
    def both(test, a, b):
        pass_a = test(a)
        pass_b = test(b)
        return pass_a and pass_b

    def dispatch(self, a, b, path):
        if issubclass(type(a), str) and issubclass(type(b), str):
            return [] if _str_value(a) == _str_value(b) else [("val", path, a, b)]
        if issubclass(type(a), int) and issubclass(type(b), int):
            return [] if _int_value(a) == _int_value(b) else [("val", path, a, b)]
        if issubclass(type(a), float) and issubclass(type(b), float):
            return [] if float.__float__(a) == float.__float__(b) else [("val", path, a, b)]
        if self.both(self.is_mapping, a, b):
            return self.walk_mappings(a, b, path)
        if self.both(self.is_sequence, a, b):
            iter_a = _call(iter, a)
            iter_b = _call(iter, b)
            return self.walk_iterators(iter_a, iter_b, path)
        if self.both(self.is_iterator, a, b):
            return self.walk_iterators(a, b, path)
        if a is None and b is None:
            return []
        return [("type", path, a, b)]

    def walk_mappings(self, a, b, path):
        out = []
        for key, va in _items(a):
            try:
                vb = b[key]
            except Exception:  # any failed lookup means the key is missing
                out.append(("removed", list(path), key, va))
                continue
            out += self.dispatch(va, vb, path + [key])
        for key, vb in _items(b):
            if not _call(operator.contains, a, key):
                out.append(("added", list(path), key, vb))
        return out

    def walk_iterators(self, a, b, path):
        items_a = self.drain(a)
        items_b = self.drain(b)
        out = []
        for i in range(min(len(items_a), len(items_b))):
            out += self.dispatch(items_a[i], items_b[i], path + [i])
        if len(items_a) != len(items_b):
            out.append(("len", path, len(items_a), len(items_b)))
        # The drained items are let go when the pair is done, b's and then a's, each list from
        # its end: an item held by nothing else goes then, and its finalizer runs then.
        _release(items_b)
        _release(items_a)
        return out

    def drain(self, it):
        # The length hint only sizes the buffer, but each request can run Python code and
        # report an error, so the requests are modelled: on the first item, and on every
        # item that arrives while the buffer is full.
        items, room = [], 0
        while True:
            try:
                item = next(it)
            except StopIteration:
                return items
            except Exception as exc:
                raise Failure(type(exc)) from None
            if len(items) == room:
                hint = self.length_hint(it)
                room = max(4, hint + 1) if not items else max(2 * room, len(items) + hint + 1)
            items.append(item)

    def length_hint(self, it):
        try:
            return operator.length_hint(it, 0)
        except Exception as exc:
            self.unraisable.append((type(exc), it))
            return 0


def _call(fn, *args):
    try:
        return fn(*args)
    except Exception as exc:
        raise Failure(type(exc)) from None


def _str_value(s):
    """The code points of a string; one that UTF-8 cannot carry (a surrogate) is a failure."""
    text = str.__str__(s)
    if any("\ud800" <= c <= "\udfff" for c in text):
        raise Failure(UnicodeEncodeError)
    return text


def _int_value(x):
    value = operator.index(x)  # an int subclass gives its plain value; __index__ is not asked
    if not INT128_MIN <= value <= INT128_MAX:
        raise Failure(OverflowError)
    return value


def _release(items):
    while items:
        items.pop()


def _items(mapping):
    """The items of a mapping: an exact dict's as they are now (a snapshot), another mapping's
    from its items(). A list that items() returns is read in place, as far as both its length
    then and its length now reach, since code run during the walk may hold and change it."""
    if type(mapping) is dict:
        items = list(dict.items(mapping))
    else:
        items = _call(lambda: mapping.items())
        if type(items) is not list:
            items = _call(lambda: list(iter(items)))
    count, i = len(items), 0
    while i < min(count, len(items)):
        item = items[i]
        i += 1
        if not issubclass(type(item), tuple):
            raise Failure()
        if tuple.__len__(item) < 2:
            raise Failure(IndexError)
        yield tuple.__getitem__(item, 0), tuple.__getitem__(item, 1)
