"""A regression guard on instruction counts: corvane against `==` on three small workloads,
measured by callgrind, each ratio checked against its target. Exits 1 when a ratio exceeds its
target by more than 10%, 0 otherwise (also when callgrind cannot run here, saying so).

Targets are today's figures, rounded up (times on this machine are too noisy for a check;
instruction counts are not), so that the guard catches any step back:
- JSON: 1.25 (1.19 measured; the two public PyDict_Next calls per item that read a and b are
  most of the rest).
- list-of-lists chain: 1.35 (1.30 measured at 500 levels; 1.17 at 2000).
- dict chain: 1.50 (1.42 measured at 500 levels; 1.39 at 2000).
- list of 40-bit ints: 0.65 (0.62 measured; two ints of a few digits are compared by their
  digits, without the call per element that `==` makes).
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import callgrind  # noqa: E402

MARGIN = 1.10
GUARDED = [  # workload, size, target ratio
    ("json 1k nodes, equal", 0, 1.25),
    ("list chain 500 deep", 0, 1.35),
    ("dict chain 500 deep", 0, 1.50),
    ("list 1M int", 20_000, 0.65),
]


def main() -> int:
    why = callgrind.available()
    if why is not None:
        print("cgguard: skipped: " + why)
        return 0
    failed = False
    for name, size, target in GUARDED:
        c, e = callgrind.measure(name, size)
        ratio = c / e
        ok = ratio <= target * MARGIN
        failed |= not ok
        print("cgguard: %-24s corvane %11s  == %11s  ratio %.3f  target %.2f  %s"
              % (name, "{:,}".format(c), "{:,}".format(e), ratio, target, "ok" if ok else "TOO SLOW"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
