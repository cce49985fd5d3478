"""Two collections of records held in memory, matched by key and compared pair by pair."""

from __future__ import annotations

from collections.abc import Generator, Iterable, Sequence

from ..report import DataRules, Patterns, ToleranceSpec
from ._keys import OnError, RowKey, Terms, compare_key, key_order, key_text
from ._results import RowAt, RowDiff, RowDiffs, RowSummary


def _grouped(rows: Iterable[object], key: RowKey, side: str) -> tuple[dict[str, list[RowAt]], dict[str, tuple[object, ...]]]:
    groups: dict[str, list[RowAt]] = {}
    values: dict[str, tuple[object, ...]] = {}
    for number, row in enumerate(rows, 1):
        at = f"{side}:{number}"
        found = key.values(row, at)
        text = key_text(found)
        groups.setdefault(text, []).append(RowAt(at, row))
        values.setdefault(text, found)
    return groups, values


def diff_rows(
    a_rows: Iterable[object],
    b_rows: Iterable[object],
    key: str | Sequence[str],
    *,
    ignore: Patterns = (),
    only: Patterns = (),
    float_tolerance: ToleranceSpec = None,
    on_error: OnError = "fail",
    absent_is_null: bool = False,
    rules: DataRules | None = None,
) -> RowDiffs:
    """Compare two collections of records (mappings) matched by `key`, one JSON pointer or several.

    Yields a RowDiff for every key whose rows are not equal under corvane (after the filters,
    as in `entries`): rows only in a, rows only in b, changed rows with their differences, and
    keys held by more than one row of a side. Equal rows are counted in `.summary`, not listed.
    Results come in key order: null, false and true, numbers by value (NaN last), strings, then
    anything else by its JSON text. Rows are located as "a:N" and "b:N" (N from 1). Both sides
    are held in memory: for files larger than memory, diff_datasets gives the same results.

    on_error="fail" raises RowsError for a row without a key field, or a pair that corvane
    cannot compare; on_error="record" gives such a pair as a RowDiff of kind "error" instead
    (a row without a key still raises: in memory, the rows are the caller's to check).
    absent_is_null=True takes a field absent on one side as equal to null on the other. Rows are
    compared under the data rules, `rules` (a DataRules; by default NaN equals NaN, lists aligned).
    """
    terms = Terms.of(key, ignore, only, float_tolerance, on_error, absent_is_null, rules)
    groups_a, values_a = _grouped(a_rows, terms.key, "a")
    groups_b, values_b = _grouped(b_rows, terms.key, "b")
    summary = RowSummary(rows_a=sum(map(len, groups_a.values())), rows_b=sum(map(len, groups_b.values())))
    return RowDiffs(_results(terms, groups_a, groups_b, values_a | values_b, summary), summary)


def _results(terms: Terms, groups_a: dict[str, list[RowAt]], groups_b: dict[str, list[RowAt]],
             values: dict[str, tuple[object, ...]], summary: RowSummary) -> Generator[RowDiff]:
    ordered = sorted(values, key=lambda text: (key_order(values[text]), text))
    for text in ordered:
        found = compare_key(terms, values[text], groups_a.get(text, ()), groups_b.get(text, ()))
        if found is None:
            summary.equal += 1
            continue
        summary.count(found)
        yield found
