from collections.abc import Buffer, Callable
from typing import Literal

__version__: str

def tesra(args: list[str], /) -> int:
    """Run tesra with argument list.

    ``args`` is a sort command line without the program name. Returns 0 after a successful
    sort and 1 after a failure or ``--help``. Raises TypeError when ``args`` is not a list of
    strings, ValueError when one holds a NUL character, MemoryError when the arguments cannot
    be copied, and KeyboardInterrupt when Ctrl-C stops the run. The interpreter lock is released
    while the engine runs; calls from several threads run one after the other.
    """

def _run(
    args: list[str],
    /,
    *,
    quiet: bool = True,
    console: Literal["cp932", "utf-8", "silent"] = "utf-8",
    progress: Callable[[str, int, int], object] | None = None,
    input: Buffer | None = None,
    capture: bool = False,
) -> tuple[int, str, dict[str, object], bytes | None]:
    """One run for the tesra package: (result, failure text, statistics, captured output).

    Private: ``tesra.sort``, ``tesra.sort_bytes`` and the ``tesra`` command are built on it.
    """

def _usage(console: Literal["cp932", "utf-8"], /) -> str:
    """The engine's usage text in the locale's language."""
