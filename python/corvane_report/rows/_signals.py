"""SIGINT and SIGTERM for a program that compares rows: each becomes a KeyboardInterrupt, so that
every run unwinds the same way (workers ended, spill folder and partial output files removed).

A KeyboardInterrupt raised at any bytecode can land inside the standard library's lock handling
(a pool's submit, a future's wait) and leave a lock held or released twice, after which the
clean-up itself fails or hangs. So the places that hold such locks, and the clean-up, run
`shielded()`: a signal that arrives there is kept and raised as soon as the shielded block ends.
Later signals are ignored while the first one unwinds, so that a second Ctrl-C cannot cut the
clean-up short. A signal ignored when the program started (SIGINT in a background job) stays
ignored. Without stop_on_signals(), Python's own Ctrl-C applies and nothing is deferred.
"""

from __future__ import annotations

import contextlib
import signal
from collections.abc import Iterator
from types import FrameType


class Stop:
    """The signal that stopped the run (its number), or None."""

    def __init__(self) -> None:
        self.received: int | None = None
        self._shielded = 0
        self._deferred = False

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.received is not None:
            return
        self.received = signum
        if self._shielded:
            self._deferred = True
            return
        raise KeyboardInterrupt

    @property
    def status(self) -> int:
        """The exit status of a program ended by the signal: 128 + its number."""
        return 128 + (self.received or signal.SIGINT)


_stop: Stop | None = None


@contextlib.contextmanager
def stop_on_signals() -> Iterator[Stop]:
    """SIGINT and SIGTERM as KeyboardInterrupt for the length of the block (see the module)."""
    global _stop
    stop, outer = Stop(), _stop
    held = {signum: signal.signal(signum, stop._handle) for signum in (signal.SIGINT, signal.SIGTERM)
            if signal.getsignal(signum) is not signal.SIG_IGN}
    _stop = stop
    try:
        yield stop
    finally:
        _stop = outer
        for signum, handler in held.items():
            signal.signal(signum, handler)


@contextlib.contextmanager
def shielded() -> Iterator[None]:
    """A block that a signal does not interrupt: it is raised when the block ends, in place of
    whatever the block raised (the signal stops the run either way)."""
    stop = _stop
    if stop is None:
        yield
        return
    stop._shielded += 1
    try:
        yield
    finally:
        stop._shielded -= 1
        if not stop._shielded and stop._deferred:
            stop._deferred = False
            raise KeyboardInterrupt
