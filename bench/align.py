"""Aligned lists against jsondiff and deepdiff: the three real documents with a few edits each, the
time each tool takes and how many differences it reports.

    .venv/bin/python bench/align.py            # writes bench/results/align.md
    .venv/bin/python bench/align.py --quick    # twitter only, short timeout (a smoke run)

Each tool runs in a child process of its own (forked, the documents already loaded) and is stopped
after --timeout seconds, reported as such. Times are medians of up to five calls (fewer when one
call takes more than a second); the documents come from tests/documents.py's load(name): the real
files of ../shared/data where present, generated ones of the same shape otherwise.
"""

from __future__ import annotations

import argparse
import copy
import multiprocessing
import os
import statistics
import sys
import time
from collections.abc import Callable

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import documents  # noqa: E402

from corvane_report import diff  # noqa: E402

RESULTS = os.path.join(HERE, "results")


# --- the edited pairs ---------------------------------------------------------------------------------


def twitter(doc):
    b = copy.deepcopy(doc)
    status = copy.deepcopy(b["statuses"][3])
    status.update(id=1, id_str="1", text="an inserted status")
    b["statuses"].insert(50, status)
    return b, "one status inserted at /statuses/50", "/statuses"


def citm(doc):
    b = copy.deepcopy(doc)
    del b["events"][sorted(b["events"])[len(b["events"]) // 2]]
    performance = copy.deepcopy(b["performances"][10])
    performance["id"] = 1
    b["performances"].insert(len(b["performances"]) // 2, performance)
    return b, "an event removed, a performance inserted in /performances", "/performances"


def canada(doc):
    b = copy.deepcopy(doc)
    rings = [ring for feature in b["features"] for polygon in [feature["geometry"]["coordinates"]] for ring in polygon]
    ring = max(rings, key=len)
    at = len(ring) // 2
    ring.insert(at, [(ring[at - 1][0] + ring[at][0]) / 2, (ring[at - 1][1] + ring[at][1]) / 2])
    return b, "a point inserted into the longest ring", None


PAIRS = {"twitter": twitter, "citm_catalog": citm, "canada": canada}


# --- the tools and how to count what they report ---------------------------------------------------------


def _jsondiff_count(found) -> int:
    import jsondiff

    if not isinstance(found, dict) or not any(isinstance(key, jsondiff.Symbol) for key in found):
        return 1  # a value replaced whole
    total = 0
    for key, value in found.items():
        if key in (jsondiff.insert, jsondiff.delete):
            total += len(value)
        elif key == jsondiff.update:
            total += sum(_jsondiff_count(item) for item in value.values())
        else:
            total += 1
    return total


def _deepdiff_count(found) -> int:
    return sum(len(value) for value in found.values())


def _list_at(doc, pointer):
    return doc[pointer.strip("/")]


def tools(list_pointer: str | None) -> dict[str, Callable[[object, object], int] | None]:
    """name -> a call giving the number of differences (None: does not apply to this pair)."""
    import jsondiff
    from deepdiff import DeepDiff

    grouped: Callable[[object, object], int] | None = None
    if list_pointer is not None:
        def grouped(a, b):
            return _deepdiff_count(DeepDiff(_list_at(a, list_pointer), _list_at(b, list_pointer), group_by="id"))
    return {
        "corvane diff (aligned lists)": lambda a, b: len(diff(a, b)),
        "corvane diff (lists by position)": lambda a, b: len(diff(a, b, lists="position")),
        "jsondiff": lambda a, b: _jsondiff_count(jsondiff.diff(a, b, syntax="explicit")),
        "deepdiff": lambda a, b: _deepdiff_count(DeepDiff(a, b)),
        "deepdiff ignore_order=True": lambda a, b: _deepdiff_count(DeepDiff(a, b, ignore_order=True)),
        "deepdiff group_by='id' (the list alone)": grouped,
    }


# --- timing in a child with a timeout ----------------------------------------------------------------------

_PAIR: tuple[object, object] = (None, None)


def _child(call, connection):
    a, b = _PAIR
    times, count = [], 0
    try:
        while len(times) < 5 and (not times or sum(times) < 1.0):
            started = time.perf_counter()
            count = call(a, b)
            times.append(time.perf_counter() - started)
        connection.send(("ok", statistics.median(times), count))
    except Exception as exc:  # noqa: BLE001 - a peer's failure is a result of the benchmark
        connection.send(("error", 0.0, f"{type(exc).__name__}: {exc}"[:80]))


def measure(call, timeout: float):
    """(status, seconds, count or message): status "ok", "timeout" or "error"."""
    receiving, sending = multiprocessing.Pipe(duplex=False)
    child = multiprocessing.get_context("fork").Process(target=_child, args=(call, sending))
    child.start()
    sending.close()
    ready = receiving.poll(timeout)
    if not ready:
        child.kill()
        child.join()
        return "timeout", timeout, None
    result = receiving.recv()
    child.join()
    return result


def fmt_time(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.0f} µs"


def main(argv: list[str] | None = None) -> int:
    global _PAIR
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="twitter only, 10 s timeout")
    parser.add_argument("--timeout", type=float, help="seconds a peer may take (default 60; quick 10)")
    args = parser.parse_args(argv)
    timeout = args.timeout or (10.0 if args.quick else 60.0)
    names = ["twitter"] if args.quick else list(PAIRS)
    rows = []
    for name in names:
        a = documents.load(name)
        b, edit, list_pointer = PAIRS[name](a)
        _PAIR = (a, b)
        for tool, call in tools(list_pointer).items():
            if call is None:
                rows.append((name, edit, tool, "does not apply", ""))
                continue
            status, seconds, count = measure(call, timeout)
            shown = fmt_time(seconds) if status == "ok" else (f"timeout ({timeout:.0f} s)" if status == "timeout" else "failed")
            rows.append((name, edit, tool, shown, f"{count:,}" if status == "ok" else (count or "")))
            print(f"{name:13} {tool:40} {shown:>14} {rows[-1][4]:>10}", flush=True)
    table = ["| document | edit | tool | time | differences |", "|---|---|---|---:|---:|"]
    table += [f"| {name} | {edit} | {tool} | {shown} | {count} |" for name, edit, tool, shown, count in rows]
    source = "the real documents" if documents.SHARED.is_dir() else "generated documents of the same shape"
    text = "\n".join([
        f"# Aligned lists against jsondiff and deepdiff{' (quick mode)' if args.quick else ''}", "",
        f"On {source}; medians of up to five calls, each tool in a child process stopped after {timeout:.0f} s. "
        "deepdiff's group_by applies to a list of records at the root only, so it is given the edited list alone.",
        "", *table, "",
    ])
    os.makedirs(RESULTS, exist_ok=True)
    path = os.path.join(RESULTS, "align-quick.md" if args.quick else "align.md")
    partial = path + ".partial"
    with open(partial, "w", encoding="utf-8") as out:
        out.write(text)
    os.replace(partial, path)
    print(f"wrote {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
