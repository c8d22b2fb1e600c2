"""The tesra command: its own options, quiet runs, character sets, notices, pipes, the terminal."""

import io
import os
import pty
import signal
import subprocess
import sys
import threading
import time

import pytest

import _tesra
from conftest import engine_env, run_command
from frontend import START, t
from tesra._cli import console_charset, is_japanese, read_command
from tesra._progress import ProgressLine


@pytest.mark.parametrize("argv, engine_args, noted", [
    (["--progress", "-C", "--help", "a", "--version", "--no-progress"], ["-C", "a"],
     dict(help=True, version=True, progress=False)),
    (["-C", "--", "--help", "--progress"], None, dict(help=False, progress=None)),
    (["-O", "--help", "-E", "--version", "x"], None, dict(help=False, version=False, output=True, rejects=True)),
    (["-CSverbose", "-eshort"], None, dict(verbose=True, rejects=True)), (["-V", " erbose ", "-o", "x"], None,
                                                                           dict(verbose=True, output=True)),
    (["-VERBOSE"], None, dict(verbose=False)), (["a.txt", "-Verbose", "-E", "x"], None, dict(verbose=False, rejects=False)),
    (["-K", "-Verbose"], None, dict(verbose=False)), (["-V", "", "-Verbose"], None, dict(verbose=False)),
    (["-x", "-Verbose"], None, dict(verbose=False)), (["-K2", "-O"], None, dict(output=False)),
])
def test_the_command_line_is_read_as_the_engine_reads_it(argv, engine_args, noted):
    cmd = read_command(argv)
    assert cmd.engine_args == (argv if engine_args is None else engine_args)
    assert {k: getattr(cmd, k) for k in noted} == noted


def test_console_character_set_and_language():
    for env, console in [({}, "utf-8"), ({"LANG": "POSIX"}, "utf-8"), ({"LANG": "ja_JP.SJIS"}, "cp932"),
                         ({"LC_ALL": "", "LC_CTYPE": "ja_JP.Shift_JIS", "LANG": "ja_JP.UTF-8"}, "cp932"),
                         ({"LC_ALL": "ja_JP.UTF-8", "LANG": "ja_JP.SJIS"}, "utf-8"),
                         ({"LC_MESSAGES": "ja_JP.CP932"}, "utf-8"), ({"LANG": "ja_JP.cp932@x"}, "cp932"),
                         ({"LANG": "ja_JP.SJIS", "TESRA_CONSOLE": "UTF-8"}, "utf-8"), ({"TESRA_CONSOLE": "cp932"}, "cp932")]:
        assert console_charset(env) == console, env
    assert is_japanese({"LC_ALL": "", "LC_MESSAGES": "ja_JP.UTF-8", "LANG": "C"})
    assert not is_japanese({"LC_ALL": "C", "LANG": "ja_JP.UTF-8"}) and not is_japanese({"LC_CTYPE": "ja_JP.SJIS"})


def test_progress_line_redraws_in_place_and_clears_after_its_delay():
    assert ProgressLine.line("sort", 50, 200, 2.0) == "tesra: sort   25%  25 B/s  0:06 left"
    assert ProgressLine.line("read", 3 << 20, 0, 2.0) == "tesra: read  3.0 MB  1.5 MB/s"
    screens = [type("Terminal", (io.StringIO,), {"isatty": lambda self: True})() for _ in range(2)]
    for line in (ProgressLine(screens[0]), ProgressLine(screens[1], delay=60)):
        line("write", 1, 4)
        line("write", 4, 4)
        line.close()
    first, second, cleared, end = screens[0].getvalue()[1:].split("\r")
    assert first.startswith("tesra: write   25%") and second.startswith("tesra: write  100%")
    assert (cleared, end, screens[1].getvalue()) == (" " * max(len(first), len(second)), "", "")



def test_a_merge_pass_that_starts_over_starts_its_rate_over(monkeypatch):
    clock = iter([0.0, 10.0, 20.0, 21.0])
    monkeypatch.setattr("tesra._progress.time.monotonic", lambda: next(clock))
    out = io.StringIO()
    line = ProgressLine(out)
    for done in (100, 10, 30):  # a pass ends, the next one starts and goes on for a second
        line("merge", done, 100)
    assert out.getvalue().splitlines()[-1] == "tesra: merge   30%  30 B/s  0:02 left"

def test_version_and_a_wrong_console_setting_need_no_run(tmp_path):
    for args in (["--version"], ["-C", "--version", "in.txt"]):
        r = run_command(args, cwd=tmp_path)
        assert (r.rc, r.out, r.err) == (0, f"tesra {_tesra.__version__}\n".encode(), b"")
    for name, value in (("TESRA_CONSOLE", "latin-1"), ("TESRA_THREADS", "0"), ("TESRA_THREADS", "two")):
        r = run_command(["-O", "out", "x"], env=engine_env(**{name: value}), cwd=tmp_path)
        assert r.rc == 2 and name.encode() in r.err and list(tmp_path.iterdir()) == [], (name, value)


@pytest.mark.parametrize("lang, forced, codec, msg_lang", [
    ("C", None, "utf-8", "C"), ("ja_JP.SJIS", None, "cp932", "ja"), ("ja_JP.UTF-8", None, "utf-8", "ja"),
    ("C", "cp932", "cp932", "C"), ("ja_JP.SJIS", "utf-8", "utf-8", "ja"),
])
def test_quiet_on_success_and_errors_in_the_consoles_character_set(tmp_path, lang, forced, codec, msg_lang):
    (tmp_path / "in").write_bytes(b"b\na\n")
    env = engine_env(lang) if forced is None else engine_env(lang, TESRA_CONSOLE=forced)
    r = run_command(["in"], cwd=tmp_path, env=env)
    assert (r.rc, r.out, r.err) == (0, b"a\nb\n", b"")
    r = run_command(["-C", "missing.txt"], cwd=tmp_path, env=env)
    assert r.rc == 1 and t("stat", msg_lang, 1, "missing.txt") in r.err.decode(codec)
    assert START not in r.err.decode(codec) and b"argv[" not in r.err
    r = run_command(["-Sverbose", "--progress", "in"], cwd=tmp_path, env=env)  # verbose: everything
    assert r.out.endswith(b"a\nb\n") and START in r.err.decode(codec) and b'argv[1] = "-Sverbose"\nargv[2] = "in"' in r.err


@pytest.mark.parametrize("lang, codec, last", [("C", "utf-8", "Examples:"), ("ja_JP.SJIS", "cp932", "使用例：")])
def test_help_prints_the_usage_on_standard_output(lang, codec, last):
    r = run_command(["-C", "--help"], lang=lang)
    assert (r.rc, r.err) == (0, b"") and r.out.decode(codec).endswith(
        f"{last}\n  TESRA -C -H -K 1 -K 3d -O output.csv input.csv\n  TESRA -L 100 -K 0,10 -K 20,5d -W 128MB input.dat\n"
        "  TESRA -C -D \\t -P \\r\\n -S -U input.csv\n")


def test_records_too_short_for_the_keys_are_noted_unless_kept(tmp_path):
    (tmp_path / "in").write_bytes(b"a,1\nb\nc,0\nd\n")
    r = run_command(["-C", "-K", "2", "in"], cwd=tmp_path)
    assert (r.rc, r.out) == (0, b"c,0\na,1\n")
    assert r.err == b"tesra: 2 records were too short for the sort keys and were not written; -E FILE keeps them.\n"
    assert "2件" in run_command(["-C", "-K", "2", "in"], cwd=tmp_path, lang="ja_JP.UTF-8").err.decode()
    r = run_command(["-CK2", "-Eshort", "in"], cwd=tmp_path)  # a load's error records go out last first
    assert (r.rc, r.err, (tmp_path / "short").read_bytes()) == (0, b"", b"d\nb\n")


def test_a_reader_closing_the_pipe_ends_the_command_quietly_with_status_141(tmp_path):
    (tmp_path / "big").write_bytes(b"".join(b"%07d\n" % (i * 7919 % 1000003) for i in range(1_000_000)))
    tesra = os.path.join(os.path.dirname(sys.executable), "tesra")  # the installed command
    p = subprocess.run(["bash", "-c", f'"{tesra}" big | head -1; echo "${{PIPESTATUS[0]}}"'], capture_output=True,
                       cwd=tmp_path, env=engine_env(), timeout=120)
    assert (p.stdout, p.stderr) == (b"0000000\n141\n", b"")


# Makes standard error (a pseudo-terminal) the controlling terminal, as in a login shell, so that
# Ctrl-C typed there interrupts the command.
ON_TERMINAL = ("import fcntl, os, sys, termios; fcntl.ioctl(2, termios.TIOCSCTTY, 0); "
               "os.execv(sys.executable, [sys.executable, '-m', 'tesra', *sys.argv[1:]])")


def on_terminal(tmp_path, args, pieces, ctrl_c_after=None):
    """Runs the command with standard error on a terminal and standard input fed piece by piece,
    0.1 s apart (numbers forever when pieces is None). Returns the exit status, the screen, the output."""
    master, slave = pty.openpty()
    with open(tmp_path / "out", "wb") as out:
        p = subprocess.Popen([sys.executable, "-c", ON_TERMINAL, *args], stdin=subprocess.PIPE, stdout=out,
                             stderr=slave, env=engine_env(), start_new_session=True)
    os.close(slave)

    def feed():
        i = 0
        try:
            while p.poll() is None and (pieces is None or i < len(pieces)):
                p.stdin.write(pieces[i] if pieces else b"%d\n" % i)
                p.stdin.flush()
                i += 1
                time.sleep(0.1)
            p.stdin.close()
        except (BrokenPipeError, ValueError):
            pass

    threading.Thread(target=feed, daemon=True).start()
    if ctrl_c_after is not None:
        time.sleep(ctrl_c_after)
        os.write(master, b"\x03")
    screen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal is gone with the command
            chunk = b""
        if not chunk:
            break
        screen += chunk
    os.close(master)
    return p.wait(timeout=60), screen, (tmp_path / "out").read_bytes()


SLOW = [b"".join(b"%d\n" % (j * 31 + i) for j in range(2000)) for i in range(30)]  # 3 s of input


def test_progress_on_a_terminal_for_long_runs_only_and_on_demand_elsewhere(tmp_path):
    rc, screen, out = on_terminal(tmp_path, [], SLOW)
    assert rc == 0 and out == b"".join(sorted(b"".join(SLOW).splitlines(keepends=True)))
    assert b"\rtesra: read " in screen and screen.endswith(b"\r") and screen.rstrip(b" \r").count(b"\r") >= 2
    assert on_terminal(tmp_path, ["--no-progress"], SLOW)[:2] == (0, b"")
    assert on_terminal(tmp_path, [], SLOW[:2])[:2] == (0, b"")  # too short to show
    r = run_command(["--progress"], stdin=b"b\na\n", cwd=tmp_path)
    assert r.out == b"a\nb\n" and r.err.startswith(b"tesra: ") and r.err.endswith(b"\n") and b"\r" not in r.err


def test_ctrl_c_ends_the_command_as_sigint_does_without_a_traceback(tmp_path):
    rc, screen, out = on_terminal(tmp_path, [], None, ctrl_c_after=1.0)
    assert rc == -signal.SIGINT and b"Traceback" not in screen and out == b""
