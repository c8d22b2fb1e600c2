"""tesra: sorts the records of fixed-length, newline-ended and CSV files.

``tesra.sort("data.csv", "sorted.csv", csv=True, keys="2n")`` sorts files, ``tesra.sort_bytes``
sorts records held in memory, and ``tesra.tesra(["-C", "-K", "2n", "data.csv"])`` runs one sort
with a command line as the engine has always taken it (argument echo, start and end lines).
"""

from __future__ import annotations

import sys

from _tesra import __version__, tesra

from tesra._cli import run_command

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

    from tesra._api import SortError, SortResult, sort, sort_bytes

__all__ = ["SortError", "SortResult", "__version__", "main", "sort", "sort_bytes", "tesra"]
_API = ("SortError", "SortResult", "sort", "sort_bytes")


def __getattr__(name: str) -> object:
    # The Python API is loaded on first use: the command, which does not need it, starts without
    # its imports (dataclasses, re, typing).
    if name not in _API:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from tesra import _api

    for public in _API:
        value = getattr(_api, public)
        value.__module__ = __name__  # shown as tesra.X in help() and reprs, where users find them
        globals()[public] = value
    return globals()[name]


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


def main(argv: Sequence[str] | None = None) -> int:
    """The ``tesra`` command: runs its command line (``sys.argv[1:]`` by default) and returns the
    exit status. Ctrl-C raises KeyboardInterrupt."""
    return run_command(sys.argv[1:] if argv is None else argv)
