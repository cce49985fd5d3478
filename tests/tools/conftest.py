"""Shared set-up of the tests of the pure-Python tools: the sample documents and edited copies.

The documents are the generated ones of tests/documents.py, always (never the real ones that a
work tree may have beside it), so that every run tests the same documents and none skips."""

import copy
import json
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # tests/, for documents.py
import documents  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = Path(sys.executable).parent / "corvane-diff"
needs_script = pytest.mark.skipif(not SCRIPT.exists(), reason="corvane-diff is not installed beside this interpreter")


def script(*argv, stdin=None, cwd=None):
    """The installed corvane-diff run on these arguments: (status, standard output, standard error)."""
    proc = subprocess.run([SCRIPT, *map(str, argv)], input=stdin, capture_output=True, text=True, timeout=60, cwd=cwd)
    return proc.returncode, proc.stdout, proc.stderr


@pytest.fixture(scope="session")
def originals():
    # Through JSON text, as the files would be read.
    return {name: json.loads(json.dumps(make())) for name, make in documents.GENERATED.items()}


def moved_coordinates(doc, every=300, by=1e-9):
    """The canada document with every `every`-th coordinate's longitude moved by `by`; and how many."""
    doc = copy.deepcopy(doc)
    moved = 0
    for ring in doc["features"][0]["geometry"]["coordinates"]:
        for i, point in enumerate(ring):
            if i % every == 0:
                point[0] += by
                moved += 1
    return doc, moved


def edited_catalog(doc):
    """The citm_catalog document with one edit of every kind."""
    doc = copy.deepcopy(doc)
    event = doc["events"]["138586341"]
    event["name"] = "30th Anniversary Tour (sold out)"
    event["subTopicIds"].append(337184300)  # longer list
    del doc["areaNames"]["205705993"]  # removed key
    doc["venueNames"]["PLEYEL_NEW"] = "Salle Pleyel, new hall"  # added key
    performance = doc["performances"][0]
    performance["start"] = float(performance["start"])  # int -> float: a type change
    del performance["prices"][1:]  # shorter list
    doc["performances"][3]["seatCategories"][0]["areas"][0]["blockIds"] = None
    return doc


def edited_statuses(doc):
    """The twitter document with an edit history added to every status and a few other edits."""
    doc = copy.deepcopy(doc)
    for status in doc["statuses"]:
        status["edit_history"] = [status["id_str"]]
        status["retweet_count"] += 1
    doc["statuses"][0]["text"] = "edited"
    doc["statuses"][1]["user"]["followers_count"] = str(doc["statuses"][1]["user"]["followers_count"])
    del doc["statuses"][2]["place"]
    doc["search_metadata"]["count"] = 99
    return doc


@pytest.fixture(scope="session")
def pairs(originals):
    """name -> (first, second): each sample document against an edited copy."""
    return {
        "canada": (originals["canada"], moved_coordinates(originals["canada"])[0]),
        "citm_catalog": (originals["citm_catalog"], edited_catalog(originals["citm_catalog"])),
        "twitter": (originals["twitter"], edited_statuses(originals["twitter"])),
    }


@pytest.fixture
def write(tmp_path):
    """write(name, value or text) -> the path of a file in tmp_path holding it (values as JSON)."""

    def write(name, content):
        path = tmp_path / name
        if not isinstance(content, (str, bytes)):
            content = json.dumps(content, ensure_ascii=False)
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return path

    return write
