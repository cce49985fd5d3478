"""One step of the instruction-count comparison, run under callgrind by bench/run.py.

Usage: python bench/cgprobe.py {build,corvane,eq} LEAVES
Every mode builds the same equal JSON pair; ``corvane`` and ``eq`` then compare it once.
The instructions of the comparison are the difference to the ``build`` run.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corvane  # noqa: E402

from workloads import FIVE, build_json  # noqa: E402

mode, leaves = sys.argv[1], int(sys.argv[2])
pair = build_json(leaves)
if mode == "corvane":
    out = corvane.corvane(pair.a, pair.b)
    for name in FIVE:
        getattr(out, name)
elif mode == "eq":
    if not pair.a == pair.b:
        sys.exit("the equal pair compares unequal")
elif mode != "build":
    sys.exit("unknown mode " + mode)
