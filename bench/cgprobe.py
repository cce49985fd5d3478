"""One workload under callgrind: the instructions of one corvane call and of one `==` alone.

Usage: valgrind --tool=callgrind --collect-atstart=no python bench/cgprobe.py LIB WORKLOAD SIZE
LIB is the compiled bench/cgtoggle.c. Both sides are built first (not counted), each comparison
is made once to warm up, then once with collection on, and the counts are dumped as "corvane"
and "eq". `==` runs on the workload's equal reference pair (it stops at a first difference).
"""

import ctypes
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corvane  # noqa: E402

from workloads import BY_NAME, FIVE  # noqa: E402

lib = ctypes.CDLL(sys.argv[1])
lib.cg_dump.argtypes = [ctypes.c_char_p]
pair = BY_NAME[sys.argv[2]].build(quick=False, n=int(sys.argv[3]) or None)
ref_a, ref_b = (pair.ref_a, pair.ref_b) if pair.ref_b is not None else (pair.a, pair.b)


def compare():
    out = corvane.corvane(pair.a, pair.b)
    for name in FIVE:
        getattr(out, name)


compare()
assert ref_a == ref_b
lib.cg_toggle()
compare()
lib.cg_toggle()
lib.cg_dump(b"corvane")
lib.cg_toggle()
ref_a == ref_b  # noqa: B015
lib.cg_toggle()
lib.cg_dump(b"eq")
