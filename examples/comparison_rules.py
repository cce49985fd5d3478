"""The comparison rules, shown by running them: each pair and what corvane reports for it."""

from corvane import corvane


class Point:
    def __init__(self, x):
        self.x = x


nan, point = float("nan"), Point(1)
it_a, it_b = iter([1, 2]), iter([1, 2])
PAIRS = [
    ("'abc' vs 'abd'", "abc", "abd"),
    ("True vs 1", True, 1),
    ("True vs 2", True, 2),
    ("1 vs 1.0", 1, 1.0),
    ("0.0 vs -0.0", 0.0, -0.0),
    ("nan vs the same nan", nan, nan),
    ("[1, 2] vs (1, 2)", [1, 2], (1, 2)),
    ("'ab' vs ['a', 'b']", "ab", ["a", "b"]),
    ("b'ab' vs b'ac'", b"ab", b"ac"),
    ("{'a': 1, 'b': 2} vs {'b': 2, 'a': 1}", {"a": 1, "b": 2}, {"b": 2, "a": 1}),
    ("{} vs []", {}, []),
    ("None vs None", None, None),
    ("None vs 0", None, 0),
    ("{1} vs {1}", {1}, {1}),
    ("point vs the same point", point, point),
    ("[1, 2] vs iter([1, 2])", [1, 2], iter([1, 2])),
    ("iter([1, 2]) vs iter([1, 2])", it_a, it_b),
    ("[1, 2] vs [1, 2, 3]", [1, 2], [1, 2, 3]),
]


def summary(out):
    found = [f"ValChange at {r.path}" for r in out.val_changes]
    found += [f"TypeAndValChange at {r.path}" for r in out.type_and_val_changes]
    found += [f"IterLenMismatch at {r.path} ({r.a_len} vs {r.b_len})" for r in out.iter_len_mismatch]
    return ", ".join(found) or "equal"


for label, a, b in PAIRS:
    print(f"{label:40} {summary(corvane(a, b))}")
print(f"{'the two iterators afterwards':40} {next(it_a, 'exhausted')}, {next(it_b, 'exhausted')}")
