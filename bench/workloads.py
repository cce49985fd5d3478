"""Deterministic, seeded workloads for the benchmark.

Every workload builds its two sides independently: either twice from the same seed, or by
parsing the same JSON text twice, so that a and b share no objects beyond the interpreter's
own singletons (None, True, False, small ints).  A differing workload also carries an equal
pair of the same shape (``ref_a``, ``ref_b``), the reference for ``==``, which stops at the
first difference and so cannot be timed on the differing pair itself.
"""

from __future__ import annotations

import json
import os
import random
from dataclasses import dataclass, field
from typing import Callable

FIVE = ("val_changes", "type_and_val_changes", "dict_items_added", "dict_items_removed",
        "iter_len_mismatch")

SEED = 20240601
HERE = os.path.dirname(os.path.abspath(__file__))
DATA_DIR = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "data"))


@dataclass
class Pair:
    a: object
    b: object
    ref_a: object = None          # an equal pair of the same shape, for timing ``==``
    ref_b: object = None
    expected: dict = field(default_factory=lambda: dict.fromkeys(FIVE, 0))
    nodes: int = 0

    @property
    def differs(self) -> bool:
        return any(self.expected.values())


# ---------------------------------------------------------------------------------------------
# Counting


def count_nodes(obj) -> int:
    """Containers plus leaves, walked iteratively (the deep chains exceed the recursion limit)."""
    n = 0
    stack = [obj]
    while stack:
        x = stack.pop()
        n += 1
        if isinstance(x, dict):
            stack.extend(x.values())
        elif isinstance(x, list):
            stack.extend(x)
    return n


# ---------------------------------------------------------------------------------------------
# Realistic JSON generator

_WORDS = ("alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike "
          "november oscar papa quebec romeo sierra tango uniform victor whiskey xray yankee "
          "zulu amber basil cedar dune ember fjord grove heath iris jade kelp lotus").split()
_NAMES = ("Ana", "Bjørn", "Chloé", "Dmitri", "Émile", "Fatima", "Günter", "Hiro", "Inés",
          "José", "Kofi", "Łukasz", "Mei", "Nuño", "Olga", "Pál", "Quinn", "Renée", "Søren",
          "Tomás", "Ülkü", "Valérie", "Wanjiru", "Xiao", "Yusuf", "Zoë", "李雷", "Алексей")
_CITIES = ("Lisbon", "Kraków", "Montréal", "Zürich", "São Paulo", "Reykjavík", "Osaka",
           "Nairobi", "Tromsø", "Córdoba", "東京", "Москва")


def _text(rng: random.Random, lo: int, hi: int) -> str:
    return " ".join(rng.choice(_WORDS) for _ in range(rng.randint(lo, hi)))


def _record(rng: random.Random, i: int) -> dict:
    r = rng.random
    rec = {
        "id": i,
        "uuid": "%032x" % rng.getrandbits(128),
        "name": rng.choice(_NAMES) + " " + rng.choice(_NAMES),
        "email": "%s.%d@example.org" % (rng.choice(_WORDS), rng.randint(1, 9999)),
        "active": r() < 0.7,
        "score": round(r() * 1000, 3),
        "balance": rng.randint(-10**6, 10**9),
        "tags": [rng.choice(_WORDS) for _ in range(rng.randint(0, 5))],
        "address": {
            "street": "%d %s street" % (rng.randint(1, 999), rng.choice(_WORDS)),
            "city": rng.choice(_CITIES),
            "zip": "%05d" % rng.randint(0, 99999),
            "geo": {"lat": r() * 180 - 90, "lon": r() * 360 - 180},
        },
        "friends": [{"id": rng.randint(0, 10**6), "name": rng.choice(_NAMES)}
                    for _ in range(rng.randint(0, 3))],
        "history": [rng.randint(0, 10**5) for _ in range(rng.randint(0, 6))],
        "note": None if r() < 0.5 else _text(rng, 2, 8),
    }
    if r() < 0.3:
        rec["extra"] = {"flags": [r() < 0.5 for _ in range(3)], "ratio": r(), "code": None}
    return rec


def json_text(leaves: int, seed: int = SEED) -> str:
    """JSON text of a document with about ``leaves`` scalar leaves (~25 per record)."""
    rng = random.Random(seed)
    n_records = max(1, leaves // 25)
    doc = {
        "meta": {"version": 3, "generated": "2024-06-01T12:00:00Z", "count": n_records,
                 "source": _text(rng, 3, 6)},
        "items": [_record(rng, i) for i in range(n_records)],
    }
    return json.dumps(doc, ensure_ascii=False)


# ---------------------------------------------------------------------------------------------
# Mutation of one side


def _changed(v):
    if isinstance(v, bool):
        return not v
    if isinstance(v, int):
        return v + 1
    if isinstance(v, float):
        w = v + 1.0
        return w if w != v else v * 0.5 if v else 1.0
    if isinstance(v, str):
        return v + "~"
    raise TypeError(type(v))


def mutate(doc, seed: int, leaf_rate=0.01, key_rate=0.001, n_lists=5) -> dict:
    """Change ~leaf_rate of the scalar leaves, add and remove ~key_rate of the keys (half each)
    and lengthen ``n_lists`` lists, on disjoint sites, so the expected counts are exact."""
    rng = random.Random(seed ^ 0x5EED)
    leaves, dicts, lists = [], [], []
    n_keys = 0
    stack = [doc]
    while stack:
        x = stack.pop()
        if isinstance(x, dict):
            dicts.append(x)
            n_keys += len(x)
            for k, v in x.items():
                if isinstance(v, (dict, list)):
                    stack.append(v)
                else:
                    leaves.append((x, k))
        elif isinstance(x, list):
            lists.append(x)
            for i, v in enumerate(x):
                if isinstance(v, (dict, list)):
                    stack.append(v)
                else:
                    leaves.append((x, i))
    rng.shuffle(leaves)
    n_change = max(1, round(leaf_rate * len(leaves)))
    n_each = max(1, round(key_rate * n_keys / 2))
    changes, removals = [], []
    for parent, k in leaves:
        v = parent[k]
        if len(changes) < n_change and v is not None:
            changes.append((parent, k))
        elif len(removals) < n_each and isinstance(parent, dict):
            removals.append((parent, k))
        if len(changes) >= n_change and len(removals) >= n_each:
            break
    for parent, k in changes:
        parent[k] = _changed(parent[k])
    for parent, k in removals:
        del parent[k]
    added = 0
    for i in range(n_each if dicts else 0):
        rng.choice(dicts)["__added_%d" % i] = i
        added += 1
    chosen = rng.sample(lists, min(n_lists, len(lists)))
    for lst in chosen:
        lst.append("__appended")
    return {"val_changes": len(changes), "type_and_val_changes": 0,
            "dict_items_added": added, "dict_items_removed": len(removals),
            "iter_len_mismatch": len(chosen)}


# ---------------------------------------------------------------------------------------------
# Builders: each takes a size and returns a Pair


def _json_pair(text: str, mutated: bool, seed: int, with_ref: bool = True) -> Pair:
    a = json.loads(text)
    b = json.loads(text)
    if not mutated:
        return Pair(a, b, a, b, nodes=count_nodes(a))
    expected = mutate(b, seed)
    ref_b = json.loads(text) if with_ref else None
    return Pair(a, b, a if with_ref else None, ref_b, expected, count_nodes(a))


def build_json(leaves: int, mutated: bool = False, with_ref: bool = True) -> Pair:
    return _json_pair(json_text(leaves), mutated, SEED, with_ref)


def build_str_dict(n: int, mutated: bool = False, with_ref: bool = True) -> Pair:
    def make():
        rng = random.Random(SEED + 1)
        return {"%016x" % rng.getrandbits(64): rng.getrandbits(40) for _ in range(n)}
    a, b = make(), make()
    expected = dict.fromkeys(FIVE, 0)
    ref_b = b
    if mutated:
        rng = random.Random(SEED + 2)
        keys = rng.sample(list(b), max(1, n // 100))
        for k in keys:
            b[k] += 1
        expected["val_changes"] = len(keys)
        ref_b = make() if with_ref else None
    return Pair(a, b, a, ref_b, expected, 1 + len(a))


def build_churned_dict(n: int, mutated: bool = True, with_ref: bool = True) -> Pair:
    """A dict of n 40-bit ints against a copy with 1% of its values changed, 0.05% of its keys
    removed and as many new keys added (at the end, as a dict that lives on would have them)."""
    a, b = build_str_dict(n, mutated=False, with_ref=False).a, build_str_dict(n, mutated=False).b
    rng = random.Random(SEED + 3)
    keys = list(b)
    changed = rng.sample(keys, max(1, n // 100))
    for k in changed:
        b[k] += 1
    gone = rng.sample(keys, max(1, n // 2000))
    for k in gone:
        del b[k]
    for i in range(len(gone)):
        b["new-%012x" % i] = i
    expected = dict.fromkeys(FIVE, 0)
    expected["val_changes"] = len(set(changed) - set(gone))
    expected["dict_items_removed"] = expected["dict_items_added"] = len(gone)
    ref_b = build_str_dict(n, mutated=False).b if with_ref else None
    return Pair(a, b, a, ref_b, expected, 1 + n)


def _list_builder(make_one: Callable[[random.Random], object], salt: int):
    def build(n: int, mutated: bool = False, with_ref: bool = True) -> Pair:
        def make():
            rng = random.Random(SEED + salt)
            return [make_one(rng) for _ in range(n)]
        a, b = make(), make()
        return Pair(a, b, a, b, nodes=1 + n)
    return build


build_int_list = _list_builder(lambda rng: rng.getrandbits(40), 10)
build_float_list = _list_builder(lambda rng: rng.random() * 1e6, 11)
build_ascii_list = _list_builder(lambda rng: rng.randbytes(rng.randint(3, 10)).hex(), 12)

# Latin-1, Greek, Cyrillic, CJK (two-byte kind) and a few astral characters (four-byte kind).
_POOL = ("éèàüöñçßøåÆ" + "αβγδεζηθλμπσω" + "абвгдежзийклмн" + "中文字符测试数据日本語" + "😀🚀🌍🎉")


def build_nonascii_list(n: int, mutated: bool = False, with_ref: bool = True) -> Pair:
    def make():
        rng = random.Random(SEED + 13)
        # Slices of one long random text: each slice is a fresh string in its narrowest kind.
        text = "".join(rng.choices(_POOL + "abcdefgh ", k=n * 4 + 64))
        out = []
        for _ in range(n):
            i = rng.randrange(0, len(text) - 32)
            out.append(text[i:i + rng.randint(4, 24)])
        return out
    a, b = make(), make()
    return Pair(a, b, a, b, nodes=1 + n)


def build_rows(n: int, mutated: bool = False, with_ref: bool = True) -> Pair:
    rng = random.Random(SEED + 20)
    rows = [{"id": i, "name": rng.choice(_NAMES), "score": rng.random() * 100,
             "active": rng.random() < 0.5, "city": rng.choice(_CITIES),
             "count": rng.randint(0, 10**6)} for i in range(n)]
    return _json_pair(json.dumps(rows, ensure_ascii=False), mutated, SEED + 21, with_ref)


def build_dict_chain(depth: int, mutated: bool = False, with_ref: bool = True) -> Pair:
    return _json_pair('{"k": ' * depth + '"leaf"' + "}" * depth, False, 0)


def build_list_chain(depth: int, mutated: bool = False, with_ref: bool = True) -> Pair:
    return _json_pair("[" * depth + '"leaf"' + "]" * depth, False, 0)


def doc_builder(filename: str):
    def build(_n: int = 0, mutated: bool = False, with_ref: bool = True) -> Pair:
        with open(os.path.join(DATA_DIR, filename), encoding="utf-8") as f:
            text = f.read()
        # json.load and json.loads parse the same way; parse the text once per side.
        return _json_pair(text, mutated, SEED + 30, with_ref)
    return build


# ---------------------------------------------------------------------------------------------
# The registry


@dataclass
class Workload:
    name: str
    builder: Callable[..., Pair]
    full: int                  # size in full mode
    quick: int                 # size in quick mode
    mutated: bool = False
    scalable: bool = True      # peers may be estimated from smaller sizes of the same builder
    needs_data: bool = False
    first_call: bool = False   # also time the first call on fresh pairs

    def size(self, quick: bool) -> int:
        return self.quick if quick else self.full

    def build(self, quick: bool, n: int | None = None, with_ref: bool = True) -> Pair:
        return self.builder(self.size(quick) if n is None else n, mutated=self.mutated,
                            with_ref=with_ref)


WORKLOADS = [
    Workload("json 1k nodes, equal", build_json, 700, 700, scalable=False),
    Workload("json 1k nodes, mutated", build_json, 700, 700, mutated=True, scalable=False),
    Workload("json 1M leaves, equal", build_json, 1_000_000, 20_000),
    Workload("json 1M leaves, mutated", build_json, 1_000_000, 20_000, mutated=True),
    Workload("dict 1M str keys, equal", build_str_dict, 1_000_000, 20_000),
    Workload("dict 1M str keys, 1% changed", build_str_dict, 1_000_000, 20_000, mutated=True),
    Workload("dict 1M keys, 1% changed, 0.05% removed and added", build_churned_dict, 1_000_000, 20_000,
             mutated=True),
    Workload("list 1M int", build_int_list, 1_000_000, 20_000),
    Workload("list 1M float", build_float_list, 1_000_000, 20_000),
    Workload("list 1M ASCII str", build_ascii_list, 1_000_000, 20_000),
    Workload("list 1M non-ASCII str", build_nonascii_list, 1_000_000, 20_000, first_call=True),
    Workload("100k small dicts (rows)", build_rows, 100_000, 2_000),
    Workload("dict chain 500 deep", build_dict_chain, 500, 500, scalable=False),
    Workload("dict chain 2000 deep", build_dict_chain, 2000, 2000, scalable=False),
    Workload("list chain 500 deep", build_list_chain, 500, 500, scalable=False),
    Workload("list chain 2000 deep", build_list_chain, 2000, 2000, scalable=False),
]
for _f in ("canada.json", "citm_catalog.json", "twitter.json"):
    WORKLOADS.append(Workload(_f + ", equal", doc_builder(_f), 0, 0, scalable=False,
                              needs_data=True))
    WORKLOADS.append(Workload(_f + ", mutated", doc_builder(_f), 0, 0, mutated=True,
                              scalable=False, needs_data=True))

BY_NAME = {w.name: w for w in WORKLOADS}
