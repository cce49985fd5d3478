"""corvane benchmark: speed against ``==`` and pure-Python peers, memory, instruction counts.

    .venv/bin/python bench/run.py            # full run, writes bench/results/results.md + scaling.png
    .venv/bin/python bench/run.py --quick    # smoke test (< 1 min), writes results-quick.md

Speed is reported as medians of interleaved repeated samples and as ratios against ``a == b``
timed in the same rounds; for a differing pair, the reference is ``==`` on an equal pair of the
same shape (``==`` stops at the first difference).  Nothing is asserted on a duration.  The run
exits non-zero only on a real error: an exception from corvane or ``==``, or corvane reporting
a wrong number of differences (any on an equal pair, other than the planted ones on a mutated
pair).
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corvane  # noqa: E402

import callgrind as CG  # noqa: E402
import harness as H  # noqa: E402
import workloads as W  # noqa: E402

RESULTS = os.path.join(HERE, "results")
PEER_NAMES = ("deepdiff", "dictdiffer", "jsondiff")


class BenchError(Exception):
    """A wrong result: the benchmark must fail."""


def load_peers():
    peers, missing = {}, []
    try:
        from deepdiff import DeepDiff
        peers["deepdiff"] = lambda a, b: DeepDiff(a, b)
    except ImportError:
        missing.append("deepdiff")
    try:
        import dictdiffer
        peers["dictdiffer"] = lambda a, b: list(dictdiffer.diff(a, b))
    except ImportError:
        missing.append("dictdiffer")
    try:
        import jsondiff
        peers["jsondiff"] = lambda a, b: jsondiff.diff(a, b)
    except ImportError:
        missing.append("jsondiff")
    return peers, missing


def corvane_call(a, b):
    """The timed corvane call: compare, then read every result list once."""
    def call():
        out = corvane.corvane(a, b)
        for name in W.FIVE:
            getattr(out, name)
    return call


def counts_of(a, b) -> dict:
    out = corvane.corvane(a, b)
    return {name: len(getattr(out, name)) for name in W.FIVE}


def check_pair(w: W.Workload, pair: W.Pair) -> None:
    if not (pair.ref_a == pair.ref_b):
        raise BenchError("%s: the reference pair is not equal under ==" % w.name)
    got = counts_of(pair.a, pair.b)
    if got != pair.expected:
        raise BenchError("%s: corvane found %s, expected %s" % (w.name, got, pair.expected))
    if pair.differs and pair.a == pair.b:
        raise BenchError("%s: the mutated pair compares equal under ==" % w.name)


# ---------------------------------------------------------------------------------------------
# Formatting


def fmt_time(t):
    if t is None:
        return "—"
    if t < 1e-3:
        return "%.1f µs" % (t * 1e6)
    if t < 1:
        return "%.2f ms" % (t * 1e3)
    return "%.2f s" % t


def fmt_ratio(x, y):
    if x is None or y is None or y <= 0:
        return "—"
    r = x / y
    return "%.1f" % r if r >= 10 else "%.2f" % r


def fmt_mb(kb):
    return "%.1f MB" % (kb / 1024) if abs(kb) >= 1024 else "%.0f kB" % kb


def md_table(headers, rows):
    out = ["| " + " | ".join(headers) + " |",
           "|" + "|".join("---" if i == 0 else "---:" for i in range(len(headers))) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


# ---------------------------------------------------------------------------------------------
# Speed


class Config:
    def __init__(self, quick: bool, peer_limit: float | None):
        self.quick = quick
        self.rounds = 3 if quick else 7
        self.target = 0.004 if quick else 0.05           # seconds per sample
        self.peer_budget = 0.4 if quick else 10.0        # seconds of samples per peer & workload
        self.peer_limit = peer_limit or (0.5 if quick else 60.0)   # longest single peer call
        self.sample_limit = 0.5 if quick else 15.0       # longest estimation sample
        self.estimate_above = 5_000 if quick else 150_000   # nodes; larger scalable ones estimate
        self.first_calls = 1 if quick else 3


def peer_candidate(cfg, w, pair, pname, pfn, skip_doc):
    c = H.Candidate(pname, lambda: pfn(pair.a, pair.b), is_peer=True)
    doc = w.name.split(",")[0]
    if w.needs_data and w.mutated and (doc, pname) in skip_doc:
        c.note = "skip (>%.0f s on the equal pair)" % cfg.peer_limit
        return c
    limit = cfg.peer_limit
    if w.scalable and pair.nodes > cfg.estimate_above:
        def make_call(n):
            p = w.build(cfg.quick, n, with_ref=False)
            return lambda: pfn(p.a, p.b)
        try:
            est, how = H.estimate_from_samples(make_call, w.size(cfg.quick), cfg.peer_limit,
                                               cfg.sample_limit)
        except Exception as exc:  # a peer failing is reported, not fatal
            c.note = "error: %s" % type(exc).__name__
            return c
        if est > cfg.peer_limit:
            c.note = ("skip (est. %s; %s)" % (fmt_time(est), how) if math.isfinite(est)
                      else "skip (%s)" % how)
            return c
        limit = max(cfg.peer_limit, 2 * est)
    try:
        first = H.guarded_call(c.fn, limit)
    except H.Timeout:
        gc.collect()
        c.note = "skip (>%.0f s)" % limit
        if w.needs_data and not w.mutated:
            skip_doc.add((doc, pname))
        return c
    except RecursionError:
        gc.collect()
        c.note = "error: RecursionError"
        return c
    except Exception as exc:
        gc.collect()
        c.note = "error: %s" % type(exc).__name__
        return c
    gc.collect()
    H.calibrate(c, cfg.target, cfg.peer_budget, cfg.rounds, first=first)
    return c


def bench_workload(cfg, w, peers, skip_doc):
    t_build = time.perf_counter()
    pair = w.build(cfg.quick)
    check_pair(w, pair)
    t_build = time.perf_counter() - t_build
    gc.collect()
    gc.freeze()        # the workload leaves the collector's view: collections stay cheap
    try:
        core = [H.Candidate("corvane", corvane_call(pair.a, pair.b)),
                H.Candidate("==", (lambda x, y: lambda: x == y)(pair.ref_a, pair.ref_b))]
        for c in core:
            H.calibrate(c, cfg.target, cfg.peer_budget, cfg.rounds)
        pc = [peer_candidate(cfg, w, pair, n, f, skip_doc) for n, f in peers.items()]
        H.interleave(core + pc, cfg.rounds)
        if not (pair.ref_a == pair.ref_b) or counts_of(pair.a, pair.b) != pair.expected:
            raise BenchError("%s: results changed between calls" % w.name)
    finally:
        gc.unfreeze()
    row = {"name": w.name, "nodes": pair.nodes, "differs": pair.differs,
           "expected": pair.expected, "build_s": t_build}
    for c in core + pc:
        row[c.name] = c.median
        row[c.name + "_n"] = len(c.samples) * c.number
        row[c.name + "_note"] = c.note
    rows = [row]
    del pair, core, pc
    gc.collect()
    if w.first_call:
        rows.append(first_call_row(cfg, w))
    return rows


def first_call_row(cfg, w):
    """corvane and == on the first call of fresh pairs (no cached state of any kind)."""
    cv, eq = [], []
    nodes = 0
    for i in range(cfg.first_calls):
        pair = w.build(cfg.quick)
        nodes = pair.nodes
        order = [("c", corvane_call(pair.a, pair.b)), ("e", lambda: pair.a == pair.b)]
        if i % 2:
            order.reverse()
        for tag, fn in order:
            gc.disable()
            t0 = time.perf_counter()
            fn()
            dt = time.perf_counter() - t0
            gc.enable()
            (cv if tag == "c" else eq).append(dt)
        del pair, order
        gc.collect()
    row = {"name": w.name + ", first call", "nodes": nodes, "differs": False,
           "corvane": statistics.median(cv), "==": statistics.median(eq),
           "corvane_n": len(cv), "==_n": len(eq)}
    for p in PEER_NAMES:
        row[p] = None
        row[p + "_note"] = "n/a"
    return row


def speed_table(rows, peer_names):
    headers = (["workload", "nodes", "corvane", "=="] + list(peer_names)
               + ["corvane / =="] + ["%s / ==" % p for p in peer_names]
               + ["deepdiff / corvane"])
    out = []
    for r in rows:
        line = [r["name"], "{:,}".format(r["nodes"]), fmt_time(r["corvane"]), fmt_time(r["=="])]
        for p in peer_names:
            line.append(fmt_time(r.get(p)) if r.get(p) is not None else r.get(p + "_note") or "—")
        line.append(fmt_ratio(r["corvane"], r["=="]))
        for p in peer_names:
            line.append(fmt_ratio(r.get(p), r["=="]))
        line.append(fmt_ratio(r.get("deepdiff"), r["corvane"]))
        out.append(line)
    return md_table(headers, out)


# ---------------------------------------------------------------------------------------------
# Memory


def memory_rows(cfg, workloads):
    rows = []
    for w in workloads:
        cmd = [sys.executable, os.path.join(HERE, "memprobe.py"), w.name]
        if cfg.quick:
            cmd.append("--quick")
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
        if proc.returncode != 0:
            raise BenchError("memory probe failed for %s:\n%s" % (w.name, proc.stderr))
        rows.append(json.loads(proc.stdout.strip().splitlines()[-1]))
    return rows


def memory_table(rows):
    headers = ["workload", "tree RSS (a+b)", "records", "peak growth in the call",
               "retained by Output", "records as Python objects (getsizeof)",
               "peak growth reading the 5 lists"]
    out = []
    for r in rows:
        out.append([r["workload"], fmt_mb(r["rss_before_kb"]), "{:,}".format(r["records"]),
                    fmt_mb(r["peak_growth_kb"]), fmt_mb(r["retained_kb"]),
                    fmt_mb(r["records_py_bytes"] / 1024), fmt_mb(r["read_peak_growth_kb"])])
    return md_table(headers, out)


# ---------------------------------------------------------------------------------------------
# Instruction counts


# The workloads counted, at sizes that callgrind runs in seconds (0: the workload's full size).
CALLGRIND_WORKLOADS = [
    ("json 1k nodes, equal", 0), ("json 1M leaves, equal", 20_000), ("100k small dicts (rows)", 10_000),
    ("dict 1M str keys, equal", 100_000), ("dict 1M keys, 1% changed, 0.05% removed and added", 100_000),
    ("list 1M int", 100_000), ("list 1M float", 100_000), ("list 1M ASCII str", 100_000),
    ("list 1M non-ASCII str", 100_000), ("dict chain 500 deep", 0), ("dict chain 2000 deep", 0),
    ("list chain 500 deep", 0), ("list chain 2000 deep", 0), ("canada.json, equal", 0),
    ("citm_catalog.json, equal", 0), ("twitter.json, equal", 0),
]


def callgrind_table(quick):
    why = CG.available()
    if why is not None:
        return None, why
    rows = []
    for name, size in CALLGRIND_WORKLOADS[:3] if quick else CALLGRIND_WORKLOADS:
        if W.BY_NAME[name].needs_data and not os.path.isdir(W.DATA_DIR):
            continue
        c, e = CG.measure(name, size)
        rows.append([name, "{:,}".format(size) if size else "full", "{:,}".format(c), "{:,}".format(e),
                     "%.2f" % (c / e)])
        print("callgrind: %-50s corvane %12s  == %12s  ratio %.2f" % (name, rows[-1][2], rows[-1][3], c / e))
    return md_table(["workload", "size", "corvane", "==", "corvane / =="], rows), None


# ---------------------------------------------------------------------------------------------
# Scaling plot


def scaling(cfg, peers):
    sizes = [100, 1_000, 5_000] if cfg.quick else [100, 1_000, 10_000, 100_000, 1_000_000]
    cap = 0.3 if cfg.quick else 10.0        # a peer stops once its next point would pass this
    series = {name: [] for name in ["corvane", "=="] + list(peers)}
    stopped = {}
    for leaves in sizes:
        pair = W.build_json(leaves)
        check_pair(W.BY_NAME["json 1M leaves, equal"], pair)
        gc.collect()
        gc.freeze()
        try:
            cands = [H.Candidate("corvane", corvane_call(pair.a, pair.b)),
                     H.Candidate("==", (lambda x, y: lambda: x == y)(pair.a, pair.b))]
            for c in cands:
                H.calibrate(c, cfg.target, cfg.peer_budget, cfg.rounds)
            for pname, pfn in peers.items():
                pts = series[pname]
                if pname in stopped:
                    continue
                if pts:
                    k = (H.fit_exponent(pts[-2][0], pts[-2][1] * pts[-2][0], pts[-1][0],
                                        pts[-1][1] * pts[-1][0]) if len(pts) > 1 else 1.0)
                    predicted = pts[-1][1] * pts[-1][0] * (pair.nodes / pts[-1][0]) ** k
                    if predicted > cap:
                        stopped[pname] = pts[-1][0]
                        continue
                c = H.Candidate(pname, (lambda f: lambda: f(pair.a, pair.b))(pfn), is_peer=True)
                try:
                    first = H.guarded_call(c.fn, cap * 3)
                except (H.Timeout, Exception):
                    gc.collect()
                    stopped[pname] = pts[-1][0] if pts else 0
                    continue
                gc.collect()
                H.calibrate(c, cfg.target, min(cfg.peer_budget, cap), cfg.rounds, first=first)
                cands.append(c)
            H.interleave(cands, max(3, cfg.rounds - 2))
        finally:
            gc.unfreeze()
        for c in cands:
            series[c.name].append((pair.nodes, c.median / pair.nodes))
        del pair, cands
        gc.collect()
    return series, stopped


def plot(series, stopped, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(7.5, 5))
    styles = {"corvane": ("o-", 2.5), "==": ("s--", 2.0)}
    for name, pts in series.items():
        if not pts:
            continue
        style, lw = styles.get(name, ("^-", 1.2))
        label = name if name not in stopped else "%s (stopped after %s nodes)" % (
            name, "{:,}".format(stopped[name]))
        ax.plot([p[0] for p in pts], [p[1] * 1e9 for p in pts], style, lw=lw, label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("nodes in the tree (equal JSON-like pair)")
    ax.set_ylabel("time per node (ns), median")
    ax.set_title("Time per node against tree size")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ---------------------------------------------------------------------------------------------


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, few repeats (< 1 min)")
    ap.add_argument("--only", default="", help="run only workloads whose name contains this")
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--no-callgrind", action="store_true")
    ap.add_argument("--callgrind", action="store_true", help="run callgrind in --quick mode too")
    ap.add_argument("--no-plot", action="store_true")
    ap.add_argument("--peer-limit", type=float, default=None,
                    help="longest allowed single peer call in seconds (default 60, quick 1)")
    args = ap.parse_args(argv)
    cfg = Config(args.quick, args.peer_limit)
    t_start = time.perf_counter()
    os.makedirs(RESULTS, exist_ok=True)
    suffix = "-quick" if cfg.quick else ""
    md = ["# corvane benchmark results%s" % (" (quick mode)" if cfg.quick else ""), "",
          "Python %s on %s, %d CPUs; corvane %s." % (
              sys.version.split()[0], os.uname().machine, os.cpu_count() or 0,
              os.path.basename(corvane.__file__)), ""]

    peers, missing = load_peers()
    if missing:
        print("note: peers not installed, skipped: " + ", ".join(missing))
    peer_names = list(peers)

    have_data = os.path.isdir(W.DATA_DIR)
    if not have_data:
        print("note: %s is absent: the real-document workloads are skipped" % W.DATA_DIR)
    todo = [w for w in W.WORKLOADS if args.only in w.name]

    # Speed ------------------------------------------------------------------------------------
    rows, skip_doc = [], set()
    for w in todo:
        if w.needs_data and not have_data:
            continue
        t0 = time.perf_counter()
        new = bench_workload(cfg, w, peers, skip_doc)
        rows += new
        for r in new:
            print("%-40s corvane %-10s == %-10s ratio %-6s %s" % (
                r["name"], fmt_time(r["corvane"]), fmt_time(r["=="]),
                fmt_ratio(r["corvane"], r["=="]),
                "  ".join("%s %s" % (p, fmt_time(r[p]) if r.get(p) is not None
                                     else r.get(p + "_note")) for p in peer_names)),
                  "[%.1f s]" % (time.perf_counter() - t0), flush=True)
    table = speed_table(rows, peer_names)
    print()
    print(table)
    md += ["## Speed", "",
           "Medians of interleaved samples (%d rounds, order rotated each round; a slow peer gets "
           "as many samples as fit in %.0f s). Ratios are to `a == b` measured in the same rounds; "
           "for a mutated pair the `==` column is an equal pair of the same shape built "
           "independently, since `==` stops at the first difference. The corvane call includes "
           "reading all five result lists once. `deepdiff / corvane` is how many times faster "
           "corvane is than deepdiff." % (cfg.rounds, cfg.peer_budget), "",
           table, "",
           "A peer is skipped when one call would exceed %.0f s: on the large generated workloads "
           "that is estimated by timing the peer on 0.01 %%, 0.1 %% and 1 %% of the size and "
           "extrapolating with the fitted exponent (shown in the cell); elsewhere the first call "
           "runs under a %.0f s timer. An `error:` cell is an exception the peer raised with the "
           "default recursion limit. Differences planted in each mutated pair (checked against "
           "corvane's output on every run):" % (cfg.peer_limit, cfg.peer_limit), ""]
    for r in rows:
        if r["differs"]:
            md.append("- %s: %s" % (r["name"], ", ".join(
                "%s %d" % (k, v) for k, v in r["expected"].items() if v)))
    md.append("")

    # Memory -----------------------------------------------------------------------------------
    if not args.no_memory:
        if cfg.quick:
            mem_w = [w for w in todo if w.name in ("json 1M leaves, mutated",
                                                   "dict 1M str keys, 1% changed",
                                                   "list 1M int")]
        else:
            mem_w = [w for w in todo if not (w.needs_data and not have_data)]
        mrows = memory_rows(cfg, mem_w)
        mt = memory_table(mrows)
        print()
        print(mt)
        md += ["## Memory", "",
               "One corvane call per fresh process. `peak growth in the call` is VmHWM after the "
               "call (high-water mark reset by writing 5 to /proc/self/clear_refs just before) "
               "minus VmRSS before it; `retained by Output` is VmRSS after the call minus before; "
               "`records as Python objects` is sys.getsizeof of the five lists read once, their "
               "records and the records' path lists (the compared values and keys belong to the "
               "trees). RSS is page-granular, so small figures are noise.", "", mt, ""]

    # Instruction counts -----------------------------------------------------------------------
    if not args.no_callgrind and (not cfg.quick or args.callgrind):
        table, why = callgrind_table(cfg.quick)
        md += ["## Instruction counts", ""]
        if table is None:
            print("note: " + why)
            md += [why, ""]
        else:
            md += ["`valgrind --tool=callgrind`, PYTHONHASHSEED=0: the instructions of one corvane call "
                   "(reading the five lists included) and of one `==` on the equal reference pair, "
                   "each counted alone after a first call of each (bench/cgprobe.py). Counts do not "
                   "depend on the machine's load, unlike times.", "", table, ""]
    elif cfg.quick:
        print("note: callgrind skipped in --quick mode (add --callgrind to run it)")

    # Scaling ----------------------------------------------------------------------------------
    if not args.no_plot:
        series, stopped = scaling(cfg, peers)
        png = os.path.join(RESULTS, "scaling%s.png" % suffix)
        plot(series, stopped, png)
        print("\nplot: " + os.path.relpath(png))
        srows = []
        for name, pts in series.items():
            srows.append([name] + ["%s nodes: %.0f ns" % ("{:,}".format(n), t * 1e9)
                                   for n, t in pts])
        md += ["## Scaling", "",
               "Time per node on equal generated JSON pairs of growing size (peers stop once "
               "their next point would pass %.0f s per call)." % (0.3 if cfg.quick else 10.0), "",
               "![time per node](%s)" % os.path.basename(png), ""]
        md += ["- " + ", ".join(r) for r in srows] + [""]

    md.append("Total run time: %.0f s." % (time.perf_counter() - t_start))
    out_md = os.path.join(RESULTS, "results%s.md" % suffix)
    with open(out_md, "w") as f:
        f.write("\n".join(md) + "\n")
    print("\nresults: %s  (total %.1f s)" % (os.path.relpath(out_md), time.perf_counter() - t_start))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchError as exc:
        print("BENCHMARK FAILURE: %s" % exc, file=sys.stderr)
        sys.exit(1)
