"""A quick tour of corvane: one call, five lists of records, each with its key path."""

from corvane import corvane

before = {
    "name": "orders-api",
    "replicas": 3,
    "timeout": 2.5,
    "regions": ["eu-west", "us-east"],
    "owner": {"name": "Ada", "on_call": True},
    "retired": "v1",
}
after = {
    "name": "orders-api",
    "replicas": "3",  # an int became a string
    "timeout": 3.0,
    "regions": ["eu-west", "us-west", "ap-south"],
    "owner": {"name": "Ada", "on_call": 1},  # True and 1 are equal integers
    "canary": True,
}

out = corvane(before, after)

# Each read of a list builds it afresh: keep it in a variable when you use it twice.
for rec in out.val_changes:
    print(f"value changed    {rec.path}: {rec.a!r} -> {rec.b!r}")
for rec in out.type_and_val_changes:
    print(f"type changed     {rec.path}: {rec.a!r} -> {rec.b!r}")
for rec in out.dict_items_added:
    print(f"key added        {rec.path} + {rec.key!r}: {rec.val!r}")
for rec in out.dict_items_removed:
    print(f"key removed      {rec.path} - {rec.key!r}: {rec.val!r}")
for rec in out.iter_len_mismatch:
    print(f"length changed   {rec.path}: {rec.a_len} -> {rec.b_len}")

# Records hold the very objects that were compared, not copies.
change = out.val_changes[0]
assert change.a is before["timeout"] and change.b is after["timeout"]

# Equal trees give five empty lists.
same = corvane({"x": [1, 2.5, "s", None]}, {"x": (1, 2.5, "s", None)})
print("equal:", not any([same.val_changes, same.type_and_val_changes, same.dict_items_added,
                         same.dict_items_removed, same.iter_len_mismatch]))
