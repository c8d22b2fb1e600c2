"""The ``tesra`` command: the engine's command line, quiet on success, for the shell."""

from __future__ import annotations

import os
import sys

import _tesra

from tesra._progress import ProgressLine

# typing, collections.abc and dataclasses are not imported at run time: they were most of the
# command's start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Mapping, Sequence
    from typing import BinaryIO, Literal, TextIO

type Console = Literal["utf-8", "cp932"]

# The command's own options; the engine's are single letters.
OWN_OPTIONS = ("--version", "--help", "--progress", "--no-progress")
# The engine's letters that take a value (in either case), attached (-K3) or in the next item.
_VALUED = frozenset("VWLPDTKOE")
_FLAGS = frozenset("CSUARNHM")
_TRIMMED = " \t\n\v\f\r"  # what the engine strips from option values
_PROGRESS_DELAY = 2.0  # seconds a run goes on before a terminal shows its progress


class Command:
    """A command line read as the engine reads it, the command's own options taken out."""

    def __init__(self) -> None:
        self.engine_args: list[str] = []
        self.help = False
        self.version = False
        self.progress: bool | None = None  # --progress / --no-progress; None: decided by the terminal
        self.verbose = False  # -Verbose
        self.rejects = False  # -E: records too short for the keys are kept
        self.output = False  # -O: the records go to a file


def read_command(argv: Sequence[str]) -> Command:
    cmd = Command()
    options = True  # the engine reads options up to the first item that is not one, or "--"
    own = True  # the command's own options are taken out up to "--"
    value_of: str | None = None  # the letter whose value the next item is
    for arg in argv:
        if value_of is not None:
            if _apply(cmd, value_of, arg):
                options = False
            value_of = None
            cmd.engine_args.append(arg)
            continue
        if own and arg == "--":
            own = options = False
        elif own and arg in OWN_OPTIONS:
            if arg == "--help":
                cmd.help = True
            elif arg == "--version":
                cmd.version = True
            else:
                cmd.progress = arg == "--progress"
            continue
        elif options and len(arg) > 1 and arg[0] == "-":
            value_of = _read_cluster(cmd, arg)
            if value_of == "":  # the engine stops here (unknown letter, or -V '' shows the version)
                options, value_of = False, None
        else:
            options = False
        cmd.engine_args.append(arg)
    return cmd


def _read_cluster(cmd: Command, arg: str) -> str | None:
    """Applies the letters of one option item. Returns the letter whose value is the next item,
    "" when the engine reads no further options, else None."""
    for i in range(1, len(arg)):
        letter = arg[i].upper()
        if letter in _VALUED:
            if i + 1 == len(arg):
                return letter
            return "" if _apply(cmd, letter, arg[i + 1:]) else None
        if letter not in _FLAGS:
            return ""
    return None


def _apply(cmd: Command, letter: str, value: str) -> bool:
    """Notes what an option with a value means to the command; True when the engine stops there."""
    value = value.strip(_TRIMMED)
    if letter == "V":
        if value == "":
            return True  # the version is shown, nothing more is read
        cmd.verbose = cmd.verbose or value == "erbose"
    elif letter == "E":
        cmd.rejects = True
    elif letter == "O":
        cmd.output = True
    return False


def console_charset(env: Mapping[str, str]) -> Console:
    """The terminal's character set: TESRA_CONSOLE, else the locale's (LC_ALL, LC_CTYPE, LANG,
    the first one set): cp932 for Shift_JIS locales, UTF-8 for the others (C and POSIX too)."""
    forced = env.get("TESRA_CONSOLE", "")
    if forced:
        name = forced.lower().replace("_", "-")
        if name in ("utf-8", "utf8"):
            return "utf-8"
        if name == "cp932":
            return "cp932"
        raise ValueError(f"TESRA_CONSOLE must be utf-8 or cp932, not {forced!r}")
    locale = next((env[k] for k in ("LC_ALL", "LC_CTYPE", "LANG") if env.get(k)), "")
    codeset = locale.partition(".")[2].partition("@")[0].lower().replace("-", "").replace("_", "")
    return "cp932" if codeset in ("sjis", "shiftjis", "cp932", "windows31j", "mskanji") else "utf-8"


def check_threads(env: Mapping[str, str]) -> None:
    """TESRA_THREADS, when set, is the engine's thread count: a whole number from 1 (the engine
    would ignore anything else, which would hide a typo)."""
    value = env.get("TESRA_THREADS")
    if value is not None and value != "" and not (value.isdigit() and value.isascii() and int(value) >= 1):
        raise ValueError(f"TESRA_THREADS must be a whole number of at least 1, not {value!r}")


def _user_environ() -> dict[str, str]:
    """The environment, less the LC_CTYPE that the interpreter sets when it starts in the C locale
    or in one the system lacks (ja_JP.SJIS where only UTF-8 locales are installed): that one
    would hide the user's LANG."""
    env = dict(os.environ)
    ctype = env.get("LC_CTYPE")
    if ctype in ("C.UTF-8", "C.utf8", "UTF-8"):
        try:
            with open("/proc/self/environ", "rb") as f:  # as the process was started
                started = f.read().split(b"\0")
        except OSError:
            return env
        if f"LC_CTYPE={ctype}".encode() not in started:
            del env["LC_CTYPE"]
    return env


def is_japanese(env: Mapping[str, str]) -> bool:
    """The engine's language rule: the first of LC_ALL, LC_MESSAGES, LANG that is set."""
    locale = next((env[k] for k in ("LC_ALL", "LC_MESSAGES", "LANG") if env.get(k)), "")
    return locale.startswith("ja")


def rejected_notice(count: int, japanese: bool) -> str:
    if japanese:
        return f"tesra: ソートキーより短いレコード{count}件は出力されませんでした。-E ファイル で保存できます。\n"
    if count == 1:
        return "tesra: 1 record was too short for the sort keys and was not written; -E FILE keeps it.\n"
    return f"tesra: {count} records were too short for the sort keys and were not written; -E FILE keeps them.\n"


def _write(stream: TextIO, text: str, console: Console) -> None:
    stream.flush()
    raw: BinaryIO = stream.buffer
    raw.write(text.encode(console, "replace"))
    raw.flush()


def _isatty(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _display(cmd: Command) -> ProgressLine | None:
    if cmd.progress is not None:
        return ProgressLine(sys.stderr) if cmd.progress else None
    # Records printed to the same terminal would be torn by the redrawn line, and so would the
    # report of -Verbose.
    if cmd.verbose or not _isatty(sys.stderr) or (_isatty(sys.stdout) and not cmd.output):
        return None
    return ProgressLine(sys.stderr, delay=_PROGRESS_DELAY)


def run_command(argv: Sequence[str]) -> int:
    """Runs the command line (without the program name); returns the exit status."""
    cmd = read_command(argv)
    env = _user_environ()
    try:
        console = console_charset(env)
        check_threads(env)
    except ValueError as e:
        print(f"tesra: {e}", file=sys.stderr)
        return 2
    if cmd.help:
        _write(sys.stdout, _tesra._usage(console), console)
        return 0
    if cmd.version:
        print(f"tesra {_tesra.__version__}")
        return 0
    display = _display(cmd)
    try:
        rc, _, stats, _ = _tesra._run(cmd.engine_args, quiet=not cmd.verbose, console=console, progress=display)
    finally:
        if display is not None:
            display.close()
    rejected = stats.get("rejected", 0)
    if rc == 0 and not cmd.rejects and isinstance(rejected, int) and rejected > 0:
        _write(sys.stderr, rejected_notice(rejected, is_japanese(env)), console)
    return rc
