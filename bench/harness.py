"""Interleaved, repeated timing with medians, and the guards that keep slow peers bounded.

Nothing here asserts on a duration: the numbers are reported, and compared only as ratios
against a reference timed in the same rounds.
"""

from __future__ import annotations

import gc
import math
import signal
import statistics
import time
from dataclasses import dataclass, field
from typing import Callable


class Timeout(BaseException):
    """Raised by the interval timer inside a peer call that ran past its limit.  A
    BaseException, so that a peer's own ``except Exception`` cannot swallow it."""


def _on_alarm(signum, frame):
    raise Timeout()


def guarded_call(fn: Callable[[], object], limit: float) -> float:
    """Run ``fn`` once and return its duration, or raise Timeout after ``limit`` seconds.
    The timer re-fires every 0.5 s, in case a peer catches the first one."""
    old = signal.signal(signal.SIGALRM, _on_alarm)
    signal.setitimer(signal.ITIMER_REAL, limit, 0.5)
    try:
        t0 = time.perf_counter()
        fn()
        return time.perf_counter() - t0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, old)


@dataclass
class Candidate:
    name: str
    fn: Callable[[], object]
    is_peer: bool = False
    number: int = 1                          # calls per sample
    max_samples: int = 1_000_000
    samples: list = field(default_factory=list)
    note: str = ""                           # why it was skipped, or how it was measured

    @property
    def median(self) -> float | None:
        return statistics.median(self.samples) if self.samples else None


def time_sample(c: Candidate) -> float:
    gc.disable()
    try:
        t0 = time.perf_counter()
        for _ in range(c.number):
            c.fn()
        dt = (time.perf_counter() - t0) / c.number
    finally:
        gc.enable()
    if c.is_peer:
        gc.collect()       # peers leave cyclic garbage; the workload itself is frozen
    return dt


def calibrate(c: Candidate, target: float, peer_budget: float, rounds: int,
              first: float | None = None) -> None:
    """Set calls-per-sample from one call (or a known first duration) so a sample lasts about
    ``target``; a slow peer gets only as many samples as fit into ``peer_budget``."""
    if first is None:
        gc.disable()
        try:
            t0 = time.perf_counter()
            c.fn()
            first = time.perf_counter() - t0
        finally:
            gc.enable()
        if c.is_peer:
            gc.collect()
    first = max(first, 1e-9)
    c.number = max(1, int(math.ceil(target / first)))
    if c.is_peer:
        c.max_samples = max(1, min(rounds, int(peer_budget // max(first, 1e-9))))
        if first > peer_budget / 2:
            c.samples.append(first)        # too slow to call twice: the first call is the sample


def interleave(cands: list[Candidate], rounds: int) -> None:
    """Round-robin over the candidates, rotating the order every round."""
    live = [c for c in cands if not c.note.startswith(("skip", "error"))]
    for r in range(rounds):
        k = r % len(live) if live else 0
        for c in live[k:] + live[:k]:
            if len(c.samples) < c.max_samples:
                c.samples.append(time_sample(c))


def fit_exponent(n1: int, t1: float, n2: int, t2: float) -> float:
    if t1 <= 0 or t2 <= 0 or n2 == n1:
        return 1.0
    return min(2.0, max(1.0, math.log(t2 / t1) / math.log(n2 / n1)))


def best_of(fn: Callable[[], object], limit: float, budget: float = 0.3) -> float:
    """Shortest of a few guarded calls (one when a call is long)."""
    best = guarded_call(fn, limit)
    spent = best
    gc.collect()
    while spent < budget:
        dt = guarded_call(fn, limit)
        gc.collect()
        best = min(best, dt)
        spent += dt
    return best


def estimate_from_samples(make_call: Callable[[int], Callable[[], object]], full_n: int,
                          limit: float, sample_limit: float):
    """Time a peer on 0.01 %, 0.1 %, 1 % of the full size, stopping before a sample that would
    itself exceed ``sample_limit``; extrapolate to the full size with the exponent fitted on the
    last two points (clamped to 1..2: none of the peers is worse than quadratic).  Returns (estimate in s, description)."""
    points = []
    names = {}
    for frac in (1e-4, 1e-3, 1e-2):
        n = max(20, int(full_n * frac))
        if points and n <= points[-1][0]:
            continue
        if len(points) >= 2:
            k = fit_exponent(*points[-2], *points[-1])
            if points[-1][1] * (n / points[-1][0]) ** max(k, 1.0) > sample_limit:
                break
        fn = make_call(n)
        try:
            t = best_of(fn, sample_limit)
        except Timeout:
            gc.collect()
            return math.inf, "over %.0f s on the %g %% sample" % (sample_limit, frac * 100)
        finally:
            del fn
            gc.collect()
        points.append((n, t))
        names[n] = "%g %%" % (frac * 100)
        if t * (full_n / n) > limit * 4:
            break       # even linear growth is far past the limit
    if len(points) == 1:
        n, t = points[0]
        return t * (full_n / n), "linear from the %s sample" % names[n]
    (n1, t1), (n2, t2) = points[-2], points[-1]
    k = fit_exponent(n1, t1, n2, t2)
    est = t2 * (full_n / n2) ** k
    return est, "n^%.2f from %s and %s samples" % (k, names[n1], names[n2])
