"""corvane-diff, the command line, as argparse sub-commands:

    corvane-diff [diff] A B [options]          two documents (JSON, JSON Lines, YAML, TOML), or
                                               with -r two directories of them file by file
    corvane-diff rows A B --key PTR [options]  two datasets of keyed records, of any size

Without a sub-command's name first, `diff` is meant. A file named like a sub-command is read as
a document when the arguments fit two documents and do not fit the sub-command, so that
`corvane-diff rows other.json` compares the file `rows` (see `commanded`).

Exit status: 0 when the two are equal (after the filters), 1 when they differ, 2 when an input
cannot be read or parsed, or the comparison fails; 130 when interrupted.
"""

from ._main import main

__all__ = ["main"]
