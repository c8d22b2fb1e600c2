"""tesra: sorts the records of fixed-length, newline-ended and CSV files.

``tesra.tesra(["-C", "-K", "2n", "data.csv"])`` runs one sort with the given command line and
returns its result: 0 for success, 1 for a failure (the reason is printed on standard error).
"""

import sys

from _tesra import __version__, tesra

__all__ = ["tesra", "main", "__version__"]


def main(argv: list[str] | None = None) -> int:
    """Entry point of the ``tesra`` command: sorts with the command-line arguments."""
    args = sys.argv[1:] if argv is None else list(argv)
    return tesra(args)
