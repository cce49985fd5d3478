"""Imported by the fork server of corvane-diff rows when it starts (its preload): the fork server
writes nothing to the terminal, and the workers it forks get the real standard error back.

When the command ends on a signal, its fork server may be in the middle of a request and die
printing a traceback of its own plumbing; a worker's messages are worth keeping.
"""

import os


def _quiet() -> None:
    shown = os.dup(2)
    os.set_inheritable(shown, False)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)
    os.register_at_fork(after_in_child=lambda: os.dup2(shown, 2))


_quiet()
