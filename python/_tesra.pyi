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
    threads: int = 0,
) -> tuple[int, str, dict[str, object], bytes | None]:
    """One run for the tesra package: (result, failure text, statistics, captured output).

    Private: ``tesra.sort``, ``tesra.sort_bytes`` and the ``tesra`` command are built on it.
    ``quiet`` leaves out the argument echo and the start and end lines. ``console``: "cp932"
    prints as ``tesra``, "utf-8" the same texts unconverted, "silent" nothing but, for a
    -Verbose run, every line from the verbose start on, UTF-8, on standard error (no echo).
    ``progress(phase, done, total)`` is called with the interpreter lock held at the end of each
    phase and at most every 200 ms in between; an exception it raises stops the run (no output
    file is left) and is raised here. ``input`` is the run's standard input (sorted in memory
    when it fits the run's memory, else through the temporary file); ``capture`` returns the
    run's standard output as bytes. ``threads`` is the threads the run may use (0: TESRA_THREADS, else
    every processor the process may run on). A run with its own input or output does not wait for runs
    that use the process's. The failure text is the error lines the run printed, decoded from
    UTF-8 (surrogateescape), "" after a success; the statistics are "records" (written),
    "rejected" (too short for the keys), "duplicates" (dropped by -U), "mode" ("memory",
    "temporary file", "standard input", "merge"; None when no sort ran) and "seconds".
    Raises KeyboardInterrupt on Ctrl-C as ``tesra`` does.
    """

def _usage(console: Literal["cp932", "utf-8"], /) -> str:
    """The engine's usage text in the locale's language, as the console shows it."""
