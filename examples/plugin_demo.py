"""Fails on purpose, to show what the pytest plugin adds to a failed `assert x == y`.

Run: .venv/bin/python -m pytest examples/plugin_demo.py        (the default length)
     .venv/bin/python -m pytest -vv examples/plugin_demo.py    (every difference)
     .venv/bin/python -m pytest -p no:corvane examples/plugin_demo.py   (pytest alone)

pytest collects this file only when it is named, so the project's own test run leaves it out.
"""

from corvane_report import assert_same

EXPECTED = {
    "order": {"id": 1017, "status": "paid", "total": 59.9, "currency": "EUR"},
    "lines": [{"sku": "A-1", "qty": 2}, {"sku": "B-7", "qty": 1}],
    "customer": {"name": "Ada", "email": "ada@example.org", "vip": True},
}


def api_response():
    return {
        "order": {"id": 1017, "status": "shipped", "total": 59.90000001, "currency": "EUR"},
        "lines": [{"sku": "A-1", "qty": 2.0}, {"sku": "B-7", "qty": 1}, {"sku": "C-3", "qty": 4}],
        "customer": {"name": "Ada", "email": "ada@example.com", "vip": 1},
    }


def test_order_matches():
    # == calls qty 2.0 equal to 2 and vip 1 equal to True: the plugin does not name them.
    assert api_response() == EXPECTED


def test_order_matches_strictly():
    # By corvane's own rules, with the tolerance and the paths left out that this test allows.
    assert_same(api_response(), EXPECTED, ignore="/order/status", float_tolerance=1e-6)
