"""Configuration drift: compare a deployed configuration with the one in the repository,
leave out the keys that are expected to differ, and print one line per drifted setting.

Run from anywhere: python examples/config_drift.py
"""

import json
from pathlib import Path

from corvane import corvane

DATA = Path(__file__).parent / "data"
EXPECTED_TO_DIFFER = {("version",), ("notes",)}  # paths whose changes are not drift


def load(name):
    return json.loads((DATA / name).read_text(encoding="utf-8"))


def dotted(path):
    return ".".join(str(step) for step in path) or "(root)"


def drift(deployed, wanted):
    """Yield (setting, description) for every difference that is not expected."""
    out = corvane(deployed, wanted)
    for rec in out.val_changes:
        yield rec.path, f"is {rec.a!r}, should be {rec.b!r}"
    for rec in out.type_and_val_changes:
        yield rec.path, f"is {rec.a!r} ({type(rec.a).__name__}), should be {rec.b!r} ({type(rec.b).__name__})"
    for rec in out.dict_items_added:
        yield [*rec.path, rec.key], f"is missing, should be {rec.val!r}"
    for rec in out.dict_items_removed:
        yield [*rec.path, rec.key], f"is set to {rec.val!r} but should not be there"
    for rec in out.iter_len_mismatch:
        yield rec.path, f"has {rec.a_len} entries, should have {rec.b_len}"


def main():
    deployed, wanted = load("before.json"), load("after.json")
    found = [(path, text) for path, text in drift(deployed, wanted)
             if tuple(path[:1]) not in EXPECTED_TO_DIFFER]
    for path, text in sorted(found, key=lambda item: [str(step) for step in item[0]]):
        print(f"{dotted(path)} {text}")
    print(f"{len(found)} settings drifted")
    return 1 if found else 0


if __name__ == "__main__":
    raise SystemExit(main())
