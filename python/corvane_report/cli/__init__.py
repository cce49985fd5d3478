"""corvane-diff: compare two documents (JSON, JSON Lines, YAML, TOML), two directories of them
file by file, or two datasets of keyed records (`corvane-diff rows`)."""

from ._diff import main

__all__ = ["main"]
