"""Exact, native comparison of two nested Python object trees.

``corvane(a, b)`` walks both trees side by side and returns an :class:`Output`
that lists every difference, sorted by kind into five lists.

Failures
--------
A wrong call raises ``TypeError``. Any other failure inside a comparison (an
``items()``, ``__iter__`` or ``__next__`` that raises, an integer beyond 128 bits,
a string holding a lone surrogate, nesting deeper than the recursion limit)
abandons the whole call, writes a diagnostic to standard error and raises
``PanicException``. That class derives from ``BaseException``, not from
``Exception``, so ``except Exception:`` does not catch it; use
``except BaseException:`` and check ``type(exc).__name__ == "PanicException"``.
The class is not an attribute of the module and cannot be imported: it is
reached only through a raised instance, whose single argument (``str(exc)``)
names the underlying exception's type, value and traceback.

The record classes below (``ValChange``, ``TypeAndValChange``, ``DictDiff``,
``IterLenMismatch``) exist for type checking only: at run time they are reached
through the records that an ``Output`` hands out (``type(rec).__module__`` is
``"builtins"``), never imported from this module.
"""

from typing import final, type_check_only

__all__ = ["corvane", "Output"]

def corvane(a: object, b: object) -> Output:
    """Compare ``a`` with ``b`` and return every difference between them.

    Raises ``TypeError`` for a wrong call and ``PanicException`` (a
    ``BaseException``, see the module's doc string) for an internal failure.
    """

@final
class Output:
    """The differences found by one call. Each attribute read returns a new list
    of new records, in the order the differences were found."""

    @property
    def val_changes(self) -> list[ValChange]:
        """Two strings, two integers or two floats whose values differ."""
    @property
    def type_and_val_changes(self) -> list[TypeAndValChange]:
        """A pair that is not compared by value (different kinds, or a kind
        with no comparison rule), unless both are ``None``."""
    @property
    def dict_items_added(self) -> list[DictDiff]:
        """Items of a mapping in ``b`` whose key the matching mapping in ``a`` lacks."""
    @property
    def dict_items_removed(self) -> list[DictDiff]:
        """Items of a mapping in ``a`` whose key the matching mapping in ``b`` cannot supply."""
    @property
    def iter_len_mismatch(self) -> list[IterLenMismatch]:
        """Sequences or iterators that produced different numbers of elements."""

@final
@type_check_only
class ValChange:
    """Two values of one kind (``str``, ``int`` or ``float``) that differ."""

    @property
    def path(self) -> list[object]:
        """Mapping keys and integer positions from the roots to the pair."""
    @property
    def a(self) -> object:
        """The value in the first tree (the very object)."""
    @property
    def b(self) -> object:
        """The value in the second tree (the very object)."""

@final
@type_check_only
class TypeAndValChange:
    """A pair with no rule that compares it by value."""

    @property
    def path(self) -> list[object]:
        """Mapping keys and integer positions from the roots to the pair."""
    @property
    def a(self) -> object:
        """The value in the first tree (the very object)."""
    @property
    def b(self) -> object:
        """The value in the second tree (the very object)."""

@final
@type_check_only
class DictDiff:
    """An item that one of two matching mappings has and the other lacks."""

    @property
    def path(self) -> list[object]:
        """Path of the mapping that holds the item (its key is not appended)."""
    @property
    def key(self) -> object:
        """The item's key."""
    @property
    def val(self) -> object:
        """The item's value, from the mapping that has it."""

@final
@type_check_only
class IterLenMismatch:
    """Two sequences or iterators that produced different numbers of elements."""

    @property
    def path(self) -> list[object]:
        """Mapping keys and integer positions from the roots to the pair."""
    @property
    def a_len(self) -> int:
        """Number of elements the first one produced."""
    @property
    def b_len(self) -> int:
        """Number of elements the second one produced."""
