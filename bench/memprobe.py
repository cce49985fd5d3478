"""Peak memory growth of one corvane call, run in a fresh process per workload.

Usage: python bench/memprobe.py WORKLOAD_NAME [--quick]
Prints one JSON object.  The resident-set high-water mark is reset (``5`` written to
/proc/self/clear_refs) just before the call and read from /proc/self/status just after.
"""

import gc
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corvane  # noqa: E402

from workloads import BY_NAME, FIVE  # noqa: E402


def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s in /proc/self/status" % field)


def reset_hwm():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def main():
    name = sys.argv[1]
    quick = "--quick" in sys.argv[2:]
    pair = BY_NAME[name].build(quick, with_ref=False)
    a, b = pair.a, pair.b
    del pair.ref_a, pair.ref_b
    gc.collect()
    gc.disable()
    # Hand the build's freed heap back to the system, so that the call cannot hide its own
    # allocations in memory the process already had resident.
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    rss0 = status_kb("VmRSS")
    reset_hwm()
    out = corvane.corvane(a, b)
    hwm_call = status_kb("VmHWM")
    rss_call = status_kb("VmRSS")
    reset_hwm()
    lists = [getattr(out, n) for n in FIVE]
    hwm_read = status_kb("VmHWM")
    counts = [len(x) for x in lists]
    # The Python-side size of the records just read: the lists, the record objects and their
    # path lists (the compared values and key objects belong to a and b and are not counted).
    size = 0
    for lst in lists:
        size += sys.getsizeof(lst)
        for r in lst:
            size += sys.getsizeof(r) + sys.getsizeof(r.path)
    print(json.dumps({
        "workload": name, "rss_before_kb": rss0, "peak_growth_kb": hwm_call - rss0,
        "retained_kb": rss_call - rss0, "read_peak_growth_kb": hwm_read - rss0,
        "records": sum(counts), "records_py_bytes": size,
    }))


if __name__ == "__main__":
    main()
