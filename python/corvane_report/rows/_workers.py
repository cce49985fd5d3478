"""Worker processes for the comparison on one machine, supervised: a worker that dies (killed,
out of memory, crashed) ends the run with WorkerDied naming what it was doing, and closing the
pool ends every worker at once, whatever state it is in.

The workers ignore SIGINT: a Ctrl-C reaches the whole process group, and the parent alone
handles it and ends them. They keep SIGTERM's default, which the pool itself sends the others
when one dies; so the worker to name is the one that did not end by SIGTERM. Each worker also
leaves when the parent goes (a pipe it holds reaches its end), so that a parent killed outright
leaves no worker behind waiting for work.
"""

from __future__ import annotations

import contextlib
import errno
import multiprocessing
import os
import signal
import threading
import time
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures import TimeoutError as FutureTimeout
from concurrent.futures.process import BrokenProcessPool
from multiprocessing import forkserver, resource_tracker
from multiprocessing.connection import Connection
from multiprocessing.context import BaseContext
from multiprocessing.process import BaseProcess
from typing import TYPE_CHECKING, Any, Final, TypeVar, cast

from ._partitions import set_reporter
from ._results import SpillFolderFull, WorkerDied
from ._signals import shielded

if TYPE_CHECKING:
    from multiprocessing.sharedctypes import Synchronized

T = TypeVar("T")
TICK_SECONDS: Final = 0.2
_JOIN_SECONDS: Final = 2.0
_board = ""  # in a worker: the folder where it writes what it is doing


@contextlib.contextmanager
def _helpers_starting() -> Iterator[None]:
    """SIGINT and SIGTERM held back from this thread while multiprocessing's helper processes (the
    fork server, the resource tracker) start: they inherit the mask, so that a Ctrl-C during their
    interpreter's start-up does not print its KeyboardInterrupt; ours is delivered right after."""
    held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


class _Count:
    """A counter of this process alone, shaped as a shared one."""

    def __init__(self) -> None:
        self.value = 0

    def get_lock(self) -> contextlib.nullcontext[None]:
        return contextlib.nullcontext()


def _threads() -> int:
    """This process's threads, those of native libraries (pyarrow's pools) included."""
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return threading.active_count()


def pool_context() -> BaseContext:
    """How workers start: forked from this process while it runs no other thread (in a
    millisecond, with nothing to import again), else from a fork server, as forking a process
    with threads may copy a lock held by one of them."""
    return multiprocessing.get_context("fork" if _threads() == 1 else "forkserver")


def counters(context: BaseContext | None) -> tuple[Synchronized[int], Synchronized[int]]:
    """Rows and bytes read: shared with the workers of `context`, or (no workers) plain counters."""
    if context is None:
        return cast("Synchronized[int]", _Count()), cast("Synchronized[int]", _Count())
    with _helpers_starting():  # outside a fork, a shared value's lock starts the resource tracker
        return context.Value("q", 0), context.Value("q", 0)


def adder(rows: Synchronized[int], size: Synchronized[int]) -> Callable[[int, int], None]:
    def add(count: int, nbytes: int) -> None:
        with rows.get_lock():
            rows.value += count
        with size.get_lock():
            size.value += nbytes

    return add


def _start_worker(parent: Connection, inherited: int | None, board: str, rows: Synchronized[int],
                  size: Synchronized[int]) -> None:
    global _board
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)  # a forked worker has the parent's handler
    if inherited is not None:  # a forked worker holds the parent's end of the pipe too: let it go
        os.close(inherited)
    _board = board
    set_reporter(adder(rows, size))
    threading.Thread(target=_leave_with, args=(parent,), daemon=True, name="corvane-parent-watch").start()


def _leave_with(parent: Connection) -> None:
    with contextlib.suppress(OSError, EOFError):
        parent.poll(None)  # returns at the end of the pipe: the parent closed it, or is gone
    os._exit(0)


def _labelled(label: str, func: Callable[[Any], T], task: object) -> T:
    """func(task) in a worker, with `label` on the board for as long as it runs."""
    path = os.path.join(_board, str(os.getpid()))
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(label)
    except OSError as exc:
        if exc.errno in (errno.ENOSPC, errno.EDQUOT):
            raise SpillFolderFull(os.path.dirname(_board)) from None
        raise
    try:
        return func(task)
    finally:  # not left behind by a task that failed, to be taken for the next one's
        os.unlink(path)


def quiet_fork_server() -> None:
    """For a program of its own: the fork server started from now on prints nothing itself (its
    workers do). It is the process-wide fork server, so a library leaves it alone."""
    multiprocessing.get_context("forkserver").set_forkserver_preload(["__main__", "corvane_report.rows._forkserver"])


def signal_name(exitcode: int) -> str:
    with contextlib.suppress(ValueError):
        return signal.Signals(-exitcode).name
    return f"signal {-exitcode}"


class Workers:
    """`jobs` worker processes (started on first use) for labelled tasks."""

    def __init__(self, jobs: int, folder: str, context: BaseContext, rows: Synchronized[int], size: Synchronized[int]) -> None:
        forked = context.get_start_method() == "fork"
        if not forked:
            with _helpers_starting():
                forkserver.ensure_running()
                resource_tracker.ensure_running()
        self.jobs = jobs
        self.board = os.path.join(folder, "workers")
        os.mkdir(self.board)
        reader, self._writer = context.Pipe(duplex=False)
        self._others = set(multiprocessing.active_children())
        self.processes: dict[int, BaseProcess] = {}
        inherited = self._writer.fileno() if forked else None
        self.executor = ProcessPoolExecutor(jobs, mp_context=context, initializer=_start_worker,
                                            initargs=(reader, inherited, self.board, rows, size))
        # Taken now: shutting the pool down forgets it (see _unblock).
        self._results_writer = getattr(getattr(self.executor, "_result_queue", None), "_writer", None)

    def submit(self, label: str, func: Callable[[Any], T], task: object) -> Future[T]:
        with shielded():  # the pool's locks (see _signals)
            try:
                future = self.executor.submit(_labelled, label, func, task)
            except BrokenProcessPool:
                raise self._died() from None
            if len(self.processes) < self.jobs:  # the workers start with the first tasks: keep a hold of them
                for process in multiprocessing.active_children():
                    if process not in self._others and process.pid is not None:
                        self.processes.setdefault(process.pid, process)
        return future

    def result(self, future: Future[T], tick: Callable[[], None]) -> T:
        """The task's result; `tick` called every few tenths of a second while it runs."""
        while True:
            try:
                with shielded():  # the future's condition (see _signals); a signal waits a tick at most
                    return future.result(timeout=TICK_SECONDS)
            except FutureTimeout:
                tick()
            except BrokenProcessPool:
                raise self._died() from None
            # The pool itself misses a worker killed while it wrote a result: the pool's thread
            # waits for the rest of the message, and the other workers for the lock it held.
            if any(process.exitcode is not None for process in self.processes.values()):
                raise self._died()

    def _died(self) -> WorkerDied:
        known = list(self.processes.values())
        deadline = time.monotonic() + _JOIN_SECONDS
        while True:
            # The pool ends the others with SIGTERM once one is gone: the one to name is the one
            # that ended otherwise. Its exit status may reach the pool's own thread first.
            dead = [process for process in known if process.exitcode is not None]
            first = [process for process in dead if process.exitcode != -signal.SIGTERM]
            if first or len(dead) == len(known) or time.monotonic() > deadline:
                break
            time.sleep(0.01)
        if not first and len(known) < self.jobs:  # it died before this process saw it start
            return WorkerDied("a worker process ended abruptly as the workers started")
        if not dead:
            return WorkerDied("a worker process ended abruptly")
        return WorkerDied("; ".join(self._how(process) for process in first or dead))

    def _how(self, process: BaseProcess) -> str:
        code = process.exitcode or 0
        how = f"was killed by {signal_name(code)}" if code < 0 else f"exited with status {code}"
        doing = self._label(process.pid)
        text = f"a worker process {how} while {doing}" if doing else f"a worker process {how} between tasks"
        if code == -signal.SIGKILL and doing.startswith("comparing"):
            text += " (as the out-of-memory killer does: a smaller partition size needs less memory)"
        elif code == -signal.SIGKILL:  # reading holds a few buffers of fixed size, whatever the sizes asked for
            text += " (as the out-of-memory killer does)"
        return text

    def _label(self, pid: int | None) -> str:
        try:
            with open(os.path.join(self.board, str(pid)), encoding="utf-8") as f:
                return f.read()
        except OSError:
            return ""

    def close(self, finished: bool) -> None:
        """Ends the workers: at once unless the run `finished` (then they are let go)."""
        with shielded():
            self._close(finished)

    def _close(self, finished: bool) -> None:
        if finished:
            self.executor.shutdown(wait=True)
        self._writer.close()  # every worker leaves on its own now; the kill makes it immediate
        with contextlib.suppress(Exception):
            self.executor.kill_workers()
        deadline = time.monotonic() + _JOIN_SECONDS
        for process in self.processes.values():
            with contextlib.suppress(Exception):
                process.join(max(0.0, deadline - time.monotonic()))
        if not finished:
            self._unblock()

    def _unblock(self) -> None:
        """A worker killed while it wrote a result leaves half a message in the pool's result
        pipe, and the pool's thread waits for the rest for ever (and the interpreter for that
        thread when it exits). Closing the pipe's last writing end, held here, ends the wait.
        The pool keeps the pipe in a private attribute: without it, nothing is done."""
        if isinstance(self._results_writer, Connection):
            with contextlib.suppress(OSError):
                self._results_writer.close()
