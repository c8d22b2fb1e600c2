"""Helpers for the behaviour tests: every engine run happens in a fresh Python subprocess,
because the engine writes to file descriptors 1 and 2 and keeps process-wide state."""

import os
import subprocess
import sys
from dataclasses import dataclass

import pytest

ECHO_MARK = b"==== Convert Python Params To C ====\n"


@dataclass
class Run:
    rc: int  # exit status of the subprocess: the engine's result unless the code says otherwise
    out: bytes  # standard output, raw
    err: bytes  # standard error, raw (the engine writes code page 932)

    @property
    def err_text(self) -> str:
        return self.err.decode("cp932")

    @property
    def messages(self) -> str:
        """Standard error without the argument echo blocks of the binding."""
        text = self.err
        while ECHO_MARK in text:
            start = text.index(ECHO_MARK)
            end = text.index(ECHO_MARK, start + len(ECHO_MARK)) + len(ECHO_MARK)
            text = text[:start] + text[end:]
        return text.decode("cp932")


def engine_env(lang: str = "C", **extra: str) -> dict:
    # PYTHONUNBUFFERED would also make the C standard streams unbuffered, hiding missing flushes.
    dropped = ("LC_ALL", "LC_MESSAGES", "LC_CTYPE", "LANG", "TEMP", "TMPDIR", "PYTHONUNBUFFERED")
    env = {k: v for k, v in os.environ.items() if k not in dropped}
    env["LANG"] = lang
    env.update(extra)
    return env


def run_code(code: str, *args: str, lang: str = "C", stdin: bytes | None = None, cwd=None, env: dict | None = None,
             timeout: float = 120) -> Run:
    """Runs Python code in a subprocess; args reach it as sys.argv[1:]."""
    e = engine_env(lang) if env is None else env
    p = subprocess.run([sys.executable, "-c", code, *args], input=stdin if stdin is not None else b"",
                       capture_output=True, cwd=cwd, env=e, timeout=timeout)
    return Run(p.returncode, p.stdout, p.stderr)


# Calls the engine with sys.argv[1:] and interrupts it as Ctrl-C does, from another thread, once
# `started()` (the body given) holds: the interrupt then lands mid-run however fast the machine.
INTERRUPT_WHEN = """
import _thread, os, sys, threading, time, _tesra
def holds(test):
    # Each descriptor on its own: one closed since the listing (the listing's own among them)
    # must not hide the others.
    for fd in os.listdir("/proc/self/fd"):
        try:
            if test(os.readlink("/proc/self/fd/" + fd)): return True
        except OSError:
            pass
    return False
def started():
    try:
        {started}
    except OSError:
        return False
def watch():
    while not started():
        time.sleep(0.001)
    _thread.interrupt_main()
threading.Thread(target=watch, daemon=True).start()
try:
    r = _tesra.tesra(sys.argv[1:])
except KeyboardInterrupt:
    print("KeyboardInterrupt")
else:
    print("result", r)
"""


def run_tesra(args, *, lang: str = "C", stdin: bytes | None = None, cwd=None, env: dict | None = None,
              timeout: float = 120) -> Run:
    """One engine run with the given command line (without the program name)."""
    code = "import sys, _tesra; sys.exit(_tesra.tesra(sys.argv[1:]))"
    return run_code(code, *[os.fsdecode(a) if isinstance(a, bytes) else str(a) for a in args], lang=lang,
                    stdin=stdin, cwd=cwd, env=env, timeout=timeout)


@pytest.fixture
def temp(tmp_path):
    """An empty folder for the run's temporary files (TEMP), to see that none is left."""
    folder = tmp_path / "temp"
    folder.mkdir()
    return folder


@pytest.fixture
def tesra():
    return run_tesra


def run_command(args, *, lang: str = "C", stdin: bytes | None = None, cwd=None, env: dict | None = None,
                timeout: float = 120) -> Run:
    """One run of the tesra command (python -m tesra) with the given arguments."""
    e = engine_env(lang) if env is None else env
    p = subprocess.run([sys.executable, "-m", "tesra", *[os.fsdecode(a) if isinstance(a, bytes) else str(a)
                                                          for a in args]],
                       input=stdin if stdin is not None else b"", capture_output=True, cwd=cwd, env=e,
                       timeout=timeout)
    return Run(p.returncode, p.stdout, p.stderr)
