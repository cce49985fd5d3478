"""corvane-diff on edited copies of the generated sample documents (tests/documents.py): exact
reports, patches that make the copies equal (applied with the jsonpatch package), strict JSON,
filters against deepdiff's."""

import json
import re

import jsonpatch
import pytest
from deepdiff import DeepDiff

from corvane import corvane
from corvane_report.cli import main
from corvane_report import entries

CATALOG_REPORT = """\
/areaNames/205705993: removed "音楽 opéra"
/events/138586341/name: changed "festival Музыка Zürich" -> "30th Anniversary Tour (sold out)"
/events/138586341/subTopicIds/2: inserted 337184300
/performances/0/prices/1: deleted {"amount": 28500, "audienceSubCategoryId": 337100890, "seat…
/performances/0/prices/2: deleted {"amount": 90250, "audienceSubCategoryId": 337100890, "seat…
/performances/0/start: type changed 1372615200000 -> 1372615200000.0
/performances/3/seatCategories/0/areas/0/blockIds: type changed [] -> null
/venueNames/PLEYEL_NEW: added "Salle Pleyel, new hall"
8 differences
"""

CATALOG_REPORT_PYTHON = """\
/areaNames/205705993: removed "音楽 opéra"
/events/138586341/name: changed "festival Музыка Zürich" -> "30th Anniversary Tour (sold out)"
/events/138586341/subTopicIds: length changed 2 -> 3 items
  /events/138586341/subTopicIds/2: added 337184300
/performances/0/prices: length changed 3 -> 1 items
  /performances/0/prices/1: removed {"amount": 28500, "audienceSubCategoryId": 337100890, "seat…
  /performances/0/prices/2: removed {"amount": 90250, "audienceSubCategoryId": 337100890, "seat…
/performances/0/start: type changed 1372615200000 -> 1372615200000.0
/performances/3/seatCategories/0/areas/0/blockIds: type changed [] -> null
/venueNames/PLEYEL_NEW: added "Salle Pleyel, new hall"
7 differences
"""

STATUSES_SUMMARY = """\
/statuses/0/text: changed "opéra cirque Музыка tour 🎻 tour night jazz Музыка tour con… -> "edited"
/statuses/*/retweet_count: changed ×100
/statuses/*/edit_history: added ×100
/statuses/1/user/followers_count: type changed 66640 -> "66640"
/statuses/2/place: removed null
/search_metadata/count: changed 100 -> 99
204 differences
"""

CANADA_FIRST = """\
/features/0/geometry/coordinates/0/0/0: changed -72.912715117752 -> -72.912715116752
/features/0/geometry/coordinates/0/300/0: changed -61.4661937349696 -> -61.466193733969604
… and 38 more
40 differences
"""


@pytest.fixture
def files(pairs, write):
    """name -> (path of the original, path of the edited copy)."""
    return {name: (write(f"{name}.json", a), write(f"{name}.edited.json", b)) for name, (a, b) in pairs.items()}


def run(capsys, *argv):
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    assert err == ""
    return status, out


STATUSES_ONLY = "\n".join(STATUSES_SUMMARY.splitlines()[i] for i in (0, 3, 4)) + "\n3 differences\n"


@pytest.mark.parametrize("name, options, expected", [
    ("citm_catalog", [], CATALOG_REPORT),
    ("citm_catalog", ["--rules", "python"], CATALOG_REPORT_PYTHON),
    ("twitter", ["--summary"], STATUSES_SUMMARY),
    ("twitter", ["--ignore", "/statuses/*/retweet_count", "--ignore", "/statuses/*/edit_history",
                 "--only", "/statuses/**"], STATUSES_ONLY),
    ("canada", ["--max", "2"], CANADA_FIRST),
    ("canada", ["--float-tolerance", "1e-6"], "no differences\n"),
    ("canada", ["--float-tolerance", "rel=1e-10"], "no differences\n"),
    ("canada", ["--float-tolerance", "rel=1e-12", "--max", "2"], CANADA_FIRST),  # 1e-9 of ~60 is more
    ("canada", ["--only", "/features/0/geometry/coordinates/*/300/**", "--max", "1"],
     "/features/0/geometry/coordinates/0/300/0: changed -61.4661937349696 -> -61.466193733969604\n… and 19 more\n"
     "20 differences\n"),
    ("citm_catalog", ["--ignore", "/performances/0/prices/*", "--only", "/**/prices/**"], "no differences\n"),
])
def test_reports(capsys, files, name, options, expected):
    assert run(capsys, *options, *files[name]) == (int(expected != "no differences\n"), expected)


def test_patches_make_the_copies_equal(capsys, files, pairs, write, tmp_path):
    more = {  # kinds of edits the samples lack
        "root_kind": ({"a": 1}, [1]),
        "string_to_list": ({"s": "abc", "t": ["x"]}, {"s": ["a", "b"], "t": "xy"}),
        "list_tail": ([[1, 2, 3, 4], {"k": [0]}], [[1], {"k": [0, 1, {"d": [2]}]}]),
        "keys": ({"~a/b": {"": 1}, "x": None}, {"~a/b": {"": 2, "new": {}}, "y": 0}),
    }
    cases = dict(files) | {name: (write(f"{name}.a.json", a), write(f"{name}.b.json", b)) for name, (a, b) in more.items()}
    for name, (a_path, b_path) in cases.items():
        status, out = run(capsys, "--format-out", "json-patch", a_path, b_path)
        patch = json.loads(out)
        assert status == 1 and patch, name
        patched = jsonpatch.apply_patch(json.loads(a_path.read_text()), patch)
        result = write(f"{name}.patched.json", patched)
        assert run(capsys, "-q", result, b_path) == (0, ""), name


def test_json_report_is_strict(capsys, write):
    a = write("a.json", '{"x": NaN, "y": [1.5], "z": {"$float": "NaN"}}')
    b = write("b.json", '{"x": NaN, "y": [Infinity], "z": {"$float": "Inf"}}')
    status, out = run(capsys, "--json", "--nan-differs", a, b)

    def reject(constant):
        raise AssertionError(f"not strict JSON: {constant}")

    report = json.loads(out, parse_constant=reject)
    assert status == 1
    assert report["val_changes"] == [
        {"path": "/x", "a": {"$float": "NaN"}, "b": {"$float": "NaN"}},
        {"path": "/y/0", "a": 1.5, "b": {"$float": "Infinity"}},
        {"path": "/z/$float", "a": "NaN", "b": "Inf"},
    ]


def _deepdiff_pointers(diff):
    """(kind, JSON pointer) of what deepdiff reports (its paths read like root['k'][0])."""
    found = set()
    for kind, paths in diff.items():
        for path in paths:
            steps = re.findall(r"\['((?:[^'\\]|\\.)*)'\]|\[(\d+)\]", path)
            found.add((kind, "".join(f"/{key}" if key or not index else f"/{index}" for key, index in steps)))
    return found


_CORVANE_KINDS = {"changed": "values_changed", "type_changed": "type_changes",
                  "added": "dictionary_item_added", "removed": "dictionary_item_removed"}


@pytest.mark.parametrize("ignore, regexes", [
    ([], []),
    (["/statuses/*/user"], [r"root\['statuses'\]\[\d+\]\['user'\]"]),
    (["/statuses/*/retweet_count", "/search_metadata"],
     [r"root\['statuses'\]\[\d+\]\['retweet_count'\]", r"root\['search_metadata'\]"]),
    (["/**/text"], [r"\['text'\]$"]),
])
def test_filters_agree_with_deepdiff(pairs, ignore, regexes):
    a, b = pairs["twitter"]
    b = json.loads(json.dumps(b))
    for status in b["statuses"]:
        del status["edit_history"]  # deepdiff lists a longer list item by item; corvane does not
    ours = {(_CORVANE_KINDS[e.kind], e.pointer) for e in entries(corvane(a, b), ignore=ignore)}
    theirs = _deepdiff_pointers(DeepDiff(a, b, exclude_regex_paths=regexes))
    assert ours == theirs and ours
