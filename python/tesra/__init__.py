"""tesra: sorts the records of fixed-length, newline-ended and CSV files.

``tesra.sort("data.csv", "sorted.csv", csv=True, keys="2n")`` sorts files, ``tesra.sort_bytes``
sorts records held in memory, and ``tesra.tesra(["-C", "-K", "2n", "data.csv"])`` runs one sort
with a command line as the engine has always taken it (argument echo, start and end lines).
"""

import sys
from collections.abc import Sequence

from _tesra import __version__, tesra

from tesra._api import SortError, SortResult, sort, sort_bytes
from tesra._cli import run_command

# Shown as tesra.X in help() and reprs, where users find them.
for _public in (SortError, SortResult, sort, sort_bytes):
    _public.__module__ = __name__
del _public

__all__ = ["SortError", "SortResult", "__version__", "main", "sort", "sort_bytes", "tesra"]


def main(argv: Sequence[str] | None = None) -> int:
    """The ``tesra`` command: runs its command line (``sys.argv[1:]`` by default) and returns the
    exit status. Ctrl-C raises KeyboardInterrupt."""
    return run_command(sys.argv[1:] if argv is None else argv)
