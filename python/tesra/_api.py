"""tesra.sort and tesra.sort_bytes: the engine's options as keyword arguments."""

import os
import re
import sys
from collections.abc import Buffer, Callable, Iterable
from dataclasses import dataclass
from typing import Literal, cast

import _tesra

from tesra._progress import ProgressLine

type StrPath = str | bytes | os.PathLike[str] | os.PathLike[bytes]
type Inputs = StrPath | Iterable[StrPath]
type Newline = Literal["\n", "\r", "\r\n"]
type Progress = Callable[[str, int, int], object] | bool | None
type Mode = Literal["memory", "temporary file", "standard input", "merge"]


@dataclass(frozen=True)
class SortResult:
    """What a successful run did."""

    records: int
    """Records written."""
    rejected: int
    """Records too short for the keys (written to ``rejects`` when given, else dropped)."""
    duplicates: int
    """Records dropped by ``unique``."""
    mode: Mode
    """How the engine sorted: "memory", "temporary file", "standard input" or "merge"."""
    seconds: float
    """Duration of the run."""


class SortError(Exception):
    """A run failed. The message (also ``.text``) is the engine's own failure text, its lines
    starting with "☆" as the command prints them, without the surrounding blank lines."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.text = message


_NEWLINES = {"\n": "\\n", "\r": "\\r", "\r\n": "\\r\\n"}
_MEMORY = re.compile(r"([0-9]+)(?:([KMG])B?)?", re.ASCII | re.IGNORECASE)
# The white space the engine strips from both ends of every option value.
_TRIMMED = " \t\n\v\f\r"


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return value


def _count(name: str, value: object) -> int:
    # bool is an int to Python, but True for a size or a count is a mistake.
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, not {value}")
    return value


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if value == "":
        raise ValueError(f"{name} is empty")
    if "\0" in value:
        raise ValueError(f"{name} holds a NUL character")
    return value


def _path(name: str, value: object) -> str:
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError(f"{name} must be a path (str, bytes or os.PathLike), not {type(value).__name__}")
    return _text(name, os.fsdecode(value))


def _option_value(name: str, value: str) -> str:
    # The engine trims option values: white space at either end would silently be lost.
    if value[0] in _TRIMMED or value[-1] in _TRIMMED:
        raise ValueError(f"{name} may not begin or end with white space: {value!r}")
    return value


def _memory(value: object) -> str:
    if isinstance(value, str):
        m = _MEMORY.fullmatch(value)
        if m is None or int(m.group(1)) < 1:
            raise ValueError(f"memory must be a number of bytes, or one with K, KB, M, MB, G or GB: {value!r}")
        if m.group(2) is not None and m.group(2).upper() == "G":
            return f"{int(m.group(1)) * 1024}M"  # the engine's largest unit is M
        return value
    return str(_count("memory", value))


def _inputs(inputs: object) -> list[str]:
    if isinstance(inputs, (str, bytes, os.PathLike)):
        return [_path("inputs", inputs)]
    if not isinstance(inputs, Iterable):
        raise TypeError(f"inputs must be a path or an iterable of paths, not {type(inputs).__name__}")
    names = [_path("inputs", p) for p in inputs]
    if not names:
        raise ValueError("inputs is empty: give None to sort standard input")
    return names


def _progress(progress: object) -> Callable[[str, int, int], object] | None:
    if progress is None or progress is False:
        return None
    if progress is True:
        return ProgressLine(sys.stderr)
    if not callable(progress):
        raise TypeError(f"progress must be callable, True or None, not {type(progress).__name__}")
    return progress


def _command_line(
    inputs: object = None,
    output: object = None,
    *,
    keys: object = (),
    csv: object = False,
    header: object = False,
    delimiter: object = None,
    newline: object = None,
    record_length: object = None,
    descending: object = False,
    stable: object = False,
    unique: object = False,
    empty_last: object = False,
    rejects: object = None,
    memory: object = None,
    temp_dir: object = None,
    presorted: object = False,
    verbose: object = False,
) -> list[str]:
    """The engine's command line for the keyword arguments; TypeError or ValueError for a wrong one.

    Every value goes in its own item after its option, so that a value starting with "-" is never
    read as an option, and "--" comes before the input names, so that "-x" names a file."""
    args: list[str] = []
    flags = (("csv", csv, "-C"), ("header", header, "-H"), ("descending", descending, "-R"),
             ("stable", stable, "-S"), ("unique", unique, "-U"), ("empty_last", empty_last, "-N"),
             ("presorted", presorted, "-M"), ("verbose", verbose, "-Verbose"))
    for name, value, option in flags:
        if _flag(name, value):
            args.append(option)
    if isinstance(keys, str):
        keys = (keys,)
    if isinstance(keys, (bytes, bytearray)) or not isinstance(keys, Iterable):
        raise TypeError(f"keys must be a str or an iterable of str, not {type(keys).__name__}")
    for key in keys:
        args += ["-K", _text("key", key)]
    if delimiter is not None:
        d = _text("delimiter", delimiter)
        args += ["-D", "\\t" if d == "\t" else _option_value("delimiter", d)]
    if newline is not None:
        if not isinstance(newline, str):
            raise TypeError(f"newline must be a str, not {type(newline).__name__}")
        if newline not in _NEWLINES:
            raise ValueError(f'newline must be "\\n", "\\r" or "\\r\\n", not {newline!r}')
        args += ["-P", _NEWLINES[newline]]
    if record_length is not None:
        args += ["-L", str(_count("record_length", record_length))]
    if memory is not None:
        args += ["-W", _memory(memory)]
    for name, value, option in (("output", output, "-O"), ("rejects", rejects, "-E"), ("temp_dir", temp_dir, "-T")):
        if value is not None:
            args += [option, _option_value(name, _path(name, value))]
    names = [] if inputs is None else _inputs(inputs)
    if presorted and not names:
        raise ValueError("presorted merges input files: give inputs")
    return [*args, "--", *names]


def _result(rc: int, failure: str, stats: dict[str, object]) -> SortResult:
    if rc != 0:
        raise SortError(failure.strip() or "the sort failed")
    return SortResult(
        records=cast(int, stats["records"]),
        rejected=cast(int, stats["rejected"]),
        duplicates=cast(int, stats["duplicates"]),
        mode=cast(Mode, stats["mode"]),
        seconds=cast(float, stats["seconds"]),
    )


def _threads(threads: object) -> int:
    """The engine's thread count: 0 takes its default (TESRA_THREADS, else every processor the process may use)."""
    return 0 if threads is None else _count("threads", threads)


def _run(args: list[str], progress: object, threads: int, data: Buffer | None = None) -> tuple[SortResult, bytes | None]:
    callback = _progress(progress)
    try:
        rc, failure, stats, out = _tesra._run(args, quiet=True, console="silent", progress=callback, input=data,
                                              capture=data is not None, threads=threads)
    finally:
        if isinstance(callback, ProgressLine):
            callback.close()
    return _result(rc, failure, stats), out


def sort(
    inputs: Inputs | None = None,
    output: StrPath | None = None,
    *,
    keys: str | Iterable[str] = (),
    csv: bool = False,
    header: bool = False,
    delimiter: str | None = None,
    newline: Newline | None = None,
    record_length: int | None = None,
    descending: bool = False,
    stable: bool = False,
    unique: bool = False,
    empty_last: bool = False,
    rejects: StrPath | None = None,
    memory: int | str | None = None,
    temp_dir: StrPath | None = None,
    presorted: bool = False,
    threads: int | None = None,
    progress: Progress = None,
    verbose: bool = False,
) -> SortResult:
    """Sort the records of files, or of standard input, into a file or standard output.

    Each keyword is one option of the ``tesra`` command, and the result is what that command line
    gives:

    - ``inputs``: a path or an iterable of paths (str, bytes, os.PathLike); None reads standard
      input.
    - ``output`` (-O): the output file, which may be one of the inputs; None writes to standard
      output. It is replaced only when the run succeeds.
    - ``keys`` (-K): sort keys, the first deciding first; a str is one key. Byte keys
      ``"start,length"`` counted from 0, CSV keys a column number from 1; suffixes ``n`` numeric,
      ``a`` ascending, ``d`` descending: ``"0,10"``, ``"3nd"``. No keys: the whole record.
    - ``csv`` (-C): CSV records; ``header`` (-H): the first line of each CSV input is a header,
      written once; ``delimiter`` (-D): the CSV delimiter, any text (default ","; "\\t" a tab).
    - ``newline`` (-P): "\\n" (the default), "\\r" or "\\r\\n".
    - ``record_length`` (-L): fixed-length records of that many bytes (``csv`` is then ignored).
    - ``descending`` (-R): the whole record in descending order; with keys, the keys are ignored.
    - ``stable`` (-S): equal keys keep their input order. ``unique`` (-U): of records with equal
      keys only the first is written. ``empty_last`` (-N): CSV records whose key column is empty
      come last.
    - ``rejects`` (-E): the file that receives records too short for the keys (else dropped).
    - ``memory`` (-W): the memory budget, bytes as an int or a text such as "512M" (K, KB, M, MB,
      G, GB in any case). ``temp_dir`` (-T): the folder of the temporary file.
    - ``presorted`` (-M): the inputs are sorted by the keys already: merge them.
    - ``threads``: the threads the sort may use, at least 1 (1 sorts on the calling thread alone);
      None: the ``TESRA_THREADS`` environment variable, else every processor the process may run
      on. The output is the same whatever the count.
    - ``progress``: called as ``progress(phase, done, total)`` (phase "read", "sort", "write" or
      "merge"; bytes, total 0 when unknown) at the end of each phase and every 200 ms or more in
      between, in the calling thread; an exception it raises stops the run and is raised here.
      True shows a progress line on standard error.
    - ``verbose`` (-Verbose): the engine's report on standard error.

    Nothing else is printed. A wrong argument raises TypeError or ValueError before anything runs;
    a failed run raises SortError, leaving the output and ``rejects`` files as they were; Ctrl-C
    raises KeyboardInterrupt. Returns a SortResult.
    """
    args = _command_line(inputs, output, keys=keys, csv=csv, header=header, delimiter=delimiter, newline=newline,
                         record_length=record_length, descending=descending, stable=stable, unique=unique,
                         empty_last=empty_last, rejects=rejects, memory=memory, temp_dir=temp_dir,
                         presorted=presorted, verbose=verbose)
    return _run(args, progress, _threads(threads))[0]


def sort_bytes(
    data: Buffer,
    *,
    keys: str | Iterable[str] = (),
    csv: bool = False,
    header: bool = False,
    delimiter: str | None = None,
    newline: Newline | None = None,
    record_length: int | None = None,
    descending: bool = False,
    stable: bool = False,
    unique: bool = False,
    empty_last: bool = False,
    rejects: StrPath | None = None,
    memory: int | str | None = None,
    temp_dir: StrPath | None = None,
    threads: int | None = None,
    progress: Progress = None,
    verbose: bool = False,
) -> bytes:
    """Sort the records held in ``data`` (any bytes-like object) and return them sorted.

    The keywords are those of ``tesra.sort``; ``data`` takes the place of the inputs and the
    result that of the output. A failed run raises SortError.
    """
    if isinstance(data, str) or not isinstance(data, Buffer):
        raise TypeError(f"data must be a bytes-like object, not {type(data).__name__}")
    args = _command_line(keys=keys, csv=csv, header=header, delimiter=delimiter, newline=newline,
                         record_length=record_length, descending=descending, stable=stable, unique=unique,
                         empty_last=empty_last, rejects=rejects, memory=memory, temp_dir=temp_dir, verbose=verbose)
    out = _run(args, progress, _threads(threads), data)[1]
    return b"" if out is None else out
