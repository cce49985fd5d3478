"""Data documents compared as their format means them: a list of users before and after a sync, with
one user inserted in the middle, one deleted, a flag that became a number and a changed e-mail;
then the same lists matched by their ids, and a JSON Patch that turns the first into the second.

Run from anywhere: python examples/data_documents.py
"""

import copy
import json

from corvane_report import diff, json_patch

BEFORE = {
    "users": [{"id": i, "name": name, "email": f"{name.lower()}@example.org", "admin": False}
              for i, name in enumerate(["Ada", "Grace", "Edsger", "Barbara", "Donald", "Frances"], 1)],
}


def after_the_sync(before):
    after = copy.deepcopy(before)
    users = after["users"]
    users.insert(3, {"id": 7, "name": "Alan", "email": "alan@example.org", "admin": False})
    del users[5]  # Donald
    users[0]["admin"] = 0  # a number where a flag was: true/false and 0/1 are different kinds in JSON
    users[1]["email"] = "grace@example.com"
    return after


def main():
    before, after = BEFORE, after_the_sync(BEFORE)
    print("aligned:")
    for entry in diff(before, after):
        print(" ", entry)
    print("by position (as == would walk them):", len(diff(before, after, lists="position")), "differences")

    shuffled = copy.deepcopy(after)
    shuffled["users"].reverse()
    print("matched by id, in any order:")
    for entry in diff(before, shuffled, list_keys="/users=/id"):
        print(" ", entry.text(width=40))

    patch = json_patch(diff(before, after), before, after)
    print("patch:", ", ".join(f"{op['op']} {op['path']}" for op in patch))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
