"""Generated keyed datasets for the tests of row comparison, and a plain in-memory reference."""

import gzip
import json
import random

from corvane_report import diff
from corvane_report.report import split_pointer


def record(rng, i):
    return {
        "id": i,
        "region": rng.choice(["eu", "us"]),
        "name": f"customer {i}",
        "address": {"city": rng.choice(["Oslo", "Lima", "Pune"]), "geo": [rng.uniform(-90, 90), rng.uniform(-180, 180)]},
        "orders": [{"sku": f"S{rng.randint(1, 999)}", "qty": rng.randint(1, 5)} for _ in range(rng.randint(0, 3))],
        "active": rng.random() < 0.8,
    }


def edited(rng, row):
    row = json.loads(json.dumps(row))
    what = rng.randrange(5)
    if what == 0:
        row["address"]["city"] = "Quito"
    elif what == 1:
        row["orders"].append({"sku": "NEW", "qty": 1})
    elif what == 2:
        row["active"] = None  # a type change
    elif what == 3:
        row["address"]["geo"][0] += 1e-9  # within a tolerance
    else:
        del row["name"]
    return row


def datasets(seed=1, n=600):
    """(a, b): b has about 3% of a's rows changed, 2% removed, new rows, and duplicate keys on both sides."""
    rng = random.Random(seed)
    a = [record(rng, i) for i in range(n)]
    b = []
    for row in a:
        roll = rng.random()
        if roll < 0.02:
            continue
        b.append(edited(rng, row) if roll < 0.05 else row)
    b += [record(rng, n + i) for i in range(n // 50)]
    a.append(dict(a[7], name="second seven"))  # duplicate key in a
    b += [b[11], b[11]]  # the same key twice more in b
    rng.shuffle(b)
    return a, b


def write_lines(path, rows, blank_every=0):
    """Rows as JSON Lines (a blank line after every `blank_every` rows); the line number of each row."""
    lines, numbers = [], []
    for i, row in enumerate(rows):
        lines.append(json.dumps(row))
        numbers.append(len(lines))
        if blank_every and i % blank_every == blank_every - 1:
            lines.append("")
    data = ("\n".join(lines) + "\n").encode()
    (gzip.open(path, "wb") if str(path).endswith(".gz") else open(path, "wb")).write(data)
    return numbers


def _value(row, steps):
    for step in steps:
        row = row[int(step)] if isinstance(row, list) else row[step]
    return row


def reference(a, b, pointers, ignore=(), float_tolerance=None):
    """Normalised results, computed by the plainest means: a dict per side and one diff (the data
    rules) per pair."""
    steps = [split_pointer(p) for p in pointers]

    def group(rows):
        found = {}
        for row in rows:
            found.setdefault(json.dumps([_value(row, s) for s in steps]), []).append(row)
        return found

    ga, gb = group(a), group(b)
    results = set()
    for key in ga.keys() | gb.keys():
        ra, rb = ga.get(key, []), gb.get(key, [])
        if len(ra) > 1 or len(rb) > 1:
            results.add(("duplicate_key", key, _rows(ra), _rows(rb), ()))
        elif not rb or not ra:
            results.add(("only_in_a" if ra else "only_in_b", key, _rows(ra), _rows(rb), ()))
        else:
            found = diff(ra[0], rb[0], ignore=ignore, float_tolerance=float_tolerance)
            if found:
                results.add(("changed", key, _rows(ra), _rows(rb), _entries(found)))
    return results


def _rows(rows):
    return tuple(sorted(json.dumps(row, sort_keys=True) for row in rows))


def _entries(found):
    return tuple((e.kind, e.pointer, repr(e.a), repr(e.b)) for e in found)


def normalised(found):
    """Results as the reference gives them: the key as JSON, rows as sorted JSON text."""
    return {(d.kind, json.dumps(list(d.key)), _rows(r.row for r in d.a), _rows(r.row for r in d.b), _entries(d.entries))
            for d in found}
