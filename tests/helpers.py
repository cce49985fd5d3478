"""Small shared helpers for the corvane tests."""

import collections.abc as abc

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
