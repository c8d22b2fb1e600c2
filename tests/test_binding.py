"""The Python binding: argument vector, argument echo, exceptions, encodings, output order."""

import os
import subprocess

import pytest

from conftest import ECHO_MARK, INTERRUPT_WHEN, engine_env, run_code, run_tesra
from frontend import DUMP_CLOSE, END, START, t

# Prints the exception a call raises (type and text) instead of a result.
CALL = """
import sys, _tesra
try:
    r = _tesra.tesra({arg})
except BaseException as e:
    print(type(e).__name__ + ": " + str(e))
else:
    print("result", r)
"""


def echo(*args: bytes) -> bytes:
    lines = b"".join(b'argv[%d] = "%s"\n' % (j, a) for j, a in enumerate((b"tesra",) + args))
    return ECHO_MARK + lines + ECHO_MARK


def test_echo_is_raw_and_always_printed_with_entry_0(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"b\na\n")
    r = run_tesra(["-C", "-K1", "in.txt"], cwd=tmp_path)
    assert r.rc == 0
    assert r.err.startswith(echo(b"-C", b"-K1", b"in.txt") + START.encode("cp932"))
    assert r.out == b"a\nb\n"


def test_empty_list_echoes_only_entry_0_and_reads_standard_input():
    r = run_tesra([], stdin=b"b\na\n")
    assert r.err.startswith(echo() + START.encode("cp932"))
    assert (r.rc, r.out) == (0, b"a\nb\n")


@pytest.mark.parametrize("args", ['["-C", 5]', '[5]', '["-C", b"in.txt"]', '["-C", None]'])
def test_non_string_item_raises_type_error_without_echo(args):
    r = run_code(CALL.format(arg=args))
    assert r.out == b"TypeError: All arguments must be strings\n"
    assert r.err == b""  # no echo, engine not started


@pytest.mark.parametrize("arg", ['"-C"', '("-C",)', '{"-C": 1}'])
def test_argument_that_is_not_a_list_raises_the_parsers_type_error(arg):
    r = run_code(CALL.format(arg=arg))
    assert r.out.startswith(b"TypeError: ")
    assert b"must be list" in r.out
    assert r.err == b""


def test_subclasses_of_list_and_str_are_accepted():
    code = CALL.format(arg='L([S("--help")])').replace(
        "import sys, _tesra", "import sys, _tesra\nclass L(list): pass\nclass S(str): pass")
    r = run_code(code)
    assert r.out == b"result 1\n"
    assert r.err.startswith(echo(b"--help"))


def test_help_returns_1():
    r = run_code(CALL.format(arg='["--help"]'))
    assert r.out == b"result 1\n"


def test_python_strings_are_not_changed_by_the_engine(tmp_path):
    # The engine trims option values and rewrites -W suffixes in its own copies.
    (tmp_path / "in.csv").write_bytes(b"b,2\na,1\n")
    code = "import _tesra\nargs = ['-C', '-K', ' 2d ', '-W', ' 64m ', 'in.csv']\nprint(_tesra.tesra(args), args)\n"
    r = run_code(code, cwd=tmp_path)
    assert r.out == b"b,2\na,1\n0 ['-C', '-K', ' 2d ', '-W', ' 64m ', 'in.csv']\n"


def test_japanese_file_name_reaches_the_engine_as_utf8(tmp_path):
    name = "データ.txt"
    (tmp_path / name).write_bytes(b"2\n1\n")
    r = run_tesra([name], cwd=tmp_path)
    assert r.rc == 0
    assert r.out == b"1\n2\n"
    assert r.err.startswith(echo(name.encode("utf-8")))  # the echo is raw UTF-8


def test_japanese_file_name_in_a_message_is_code_page_932(tmp_path):
    name = "無い.txt"
    r = run_tesra(["-C", name], cwd=tmp_path, lang="ja_JP.UTF-8")
    assert r.rc == 1
    assert t("stat", "ja", 1, name).encode("cp932") in r.err


def test_undecodable_file_name_reaches_the_engine_as_its_bytes(tmp_path):
    name = b"d\xffata\x80.txt"
    (tmp_path / os.fsdecode(name)).write_bytes(b"z\ny\n")
    r = run_tesra([name], cwd=tmp_path)
    assert r.rc == 0
    assert r.out == b"y\nz\n"
    assert r.err.startswith(echo(name))


@pytest.mark.parametrize("arg", ['["\\ud800.txt"]', '["-C", "a\\udfff"]'])
def test_lone_surrogate_raises_unicode_encode_error(arg):
    r = run_code(CALL.format(arg=arg))
    assert r.out.startswith(b"UnicodeEncodeError: ")
    assert r.err == b""


def test_output_order_is_kept_around_the_call(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"c\na\nb\n")
    code = (
        "import os, sys, _tesra\n"
        "print('py-out', end='')\n"
        "print('py-err', end='', file=sys.stderr)\n"
        "r = _tesra.tesra(['in.txt'])\n"
        "os.write(1, b'fd-out\\n')\n"
        "os.write(2, b'fd-err\\n')\n"
    )
    r = run_code(code, cwd=tmp_path)
    assert r.out == b"py-out" + b"a\nb\nc\n" + b"fd-out\n"
    assert r.err.startswith(b"py-err" + ECHO_MARK)
    assert r.err.endswith(END.encode("cp932") + b"fd-err\n")


def test_engine_flushes_both_streams_before_returning(tmp_path):
    # Failing verbose runs: their settings dumps and messages must be out before Python writes to
    # the same descriptors again. With -O the dumps go to standard output; without it the records
    # do, and every diagnostic goes to standard error instead.
    for args, dumps_on in ((["-O", "o.txt"], "out"), ([], "err")):
        code = (f"import os, _tesra\nr = _tesra.tesra({['-Verbose', *args, 'missing.txt']!r})\n"
                "os.write(1, b'after\\n')\nos.write(2, b'after\\n')\n")
        r = run_code(code, cwd=tmp_path)
        assert r.err.endswith(t("failed", "C").encode("cp932") + b"after\n")
        if dumps_on == "out":
            assert r.out.endswith(DUMP_CLOSE.encode() + b"after\n")
        else:
            assert r.out == b"after\n"
            assert DUMP_CLOSE.encode() in r.err


# --- the interpreter lock, runs in threads, interrupts ----------------------------------------

THREADS = """
import sys, threading, time, _tesra
results, ticks, done = {}, [0], threading.Event()
def sort(name, args):
    results[name] = _tesra.tesra(args)
def count():
    while not done.is_set():
        ticks[0] += 1
        time.sleep(0.001)
counter = threading.Thread(target=count)
counter.start()
jobs = {"a": ["-O", "a.out", "a.in"], "b": ["-W", "16M", "-O", "b.out", "b.in"],
        "bad": ["-O", "bad.out", "missing.in"], "merge": ["-M", "-O", "m.out", "a.in"]}
workers = [threading.Thread(target=sort, args=job) for job in jobs.items()]
for w in workers: w.start()
for w in workers: w.join()
done.set(); counter.join()
print(results["a"], results["b"], results["bad"], results["merge"], ticks[0])
"""


def test_runs_in_threads_go_side_by_side_and_release_the_interpreter(tmp_path):
    # Four runs at once (in memory, through the temporary file, one that fails its check and a
    # merge that finds its input unsorted) while a fifth thread keeps counting: each run ends as
    # it would alone.
    for name, base in (("a", 0), ("b", 1)):
        lines = [b"%07d\n" % ((i * 7919 + base) % 1000003) for i in range(1_200_000)]
        (tmp_path / f"{name}.in").write_bytes(b"".join(lines))
    r = run_code(THREADS, cwd=tmp_path, env=engine_env(TEMP=str(tmp_path)))
    a, b, bad, merge, ticks = r.out.split()
    assert (a, b, bad, merge) == (b"0", b"0", b"1", b"1"), r.messages
    for name in ("a", "b"):
        data = (tmp_path / f"{name}.in").read_bytes().splitlines(keepends=True)
        assert (tmp_path / f"{name}.out").read_bytes() == b"".join(sorted(data))
    assert "☆ Failed to stat input file 1 [missing.in]!\n" in r.messages
    assert "☆ Input file [a.in] is not sorted by the sort keys!\n" in r.messages
    assert not (tmp_path / "bad.out").exists() and not (tmp_path / "m.out").exists()
    assert not [n for n in os.listdir(tmp_path) if n.startswith("tesra_") or ".tesra-" in n]
    assert int(ticks) > 20  # the counting thread ran during the sorts


# A run in another thread holds standard output when the process forks; the child sorts to
# standard output too and must not wait for the parent's run, which is not in the child.
FORK = """
import os, sys, threading, time, _tesra
def holds_input():
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink("/proc/self/fd/" + fd).endswith("big.in"): return True
        except OSError: pass
    return False
t = threading.Thread(target=_tesra.tesra, args=(["-O", "/dev/null", "big.in"],))
u = threading.Thread(target=_tesra.tesra, args=(["big.in"],))
sys.stdout.flush()
t.start(); u.start()
while not holds_input(): time.sleep(0.001)
pid = os.fork()
if pid == 0:
    os._exit(_tesra.tesra(["-O", "small.out", "small.in"]) + 10 * _tesra.tesra(["small.in"]))
deadline = time.time() + 60
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done: break
    if time.time() > deadline:
        os.kill(pid, 9); os.waitpid(pid, 0); status = -1; break
    time.sleep(0.01)
t.join(); u.join()
print("child", os.waitstatus_to_exitcode(status) if status >= 0 else "hung", file=sys.stderr)
"""


def test_a_child_forked_during_a_run_can_run_tesra(tmp_path):
    (tmp_path / "big.in").write_bytes(b"".join(b"%07d\n" % ((i * 7919) % 1000003) for i in range(2_000_000)))
    (tmp_path / "small.in").write_bytes(b"b\na\n")
    r = run_code(FORK, cwd=tmp_path)
    assert "child 0\n" in r.messages
    assert (tmp_path / "small.out").read_bytes() == b"a\nb\n"
    assert r.out.count(b"a\nb\n") == 1  # the child's records; the parent's numbers follow


def test_ctrl_c_fails_the_run_and_raises_keyboard_interrupt(tmp_path):
    # Interrupted once the engine holds the input open: loading, sorting and writing 10 M records
    # leave it many chances to see the interrupt.
    (tmp_path / "in").write_bytes(b"".join(b"%d\n" % ((i * 7919) % 10000019) for i in range(10_000_000)))
    opened = 'return holds(lambda path: path.endswith("/in"))'
    r = run_code(INTERRUPT_WHEN.format(started=opened), "-O", "out", "in", cwd=tmp_path)
    assert r.out == b"KeyboardInterrupt\n", r.messages
    assert r.messages.endswith(START + "\n☆ Sort interrupted!\n" + t("failed", "C"))
    assert os.listdir(tmp_path) == ["in"]


SHIM = r"""
#include <errno.h>
#include <iconv.h>
iconv_t iconv_open(const char* to, const char* from) { (void)to; (void)from; errno = EINVAL; return (iconv_t)-1; }
"""


def test_messages_are_printed_unconverted_without_a_converter(tmp_path):
    cc = next((c for c in ("cc", "gcc", "clang") if subprocess.run(["which", c], capture_output=True).returncode == 0),
              None)
    if cc is None:
        pytest.skip("no C compiler to build the converter shim")
    (tmp_path / "shim.c").write_text(SHIM)
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(tmp_path / "shim.so"), str(tmp_path / "shim.c")], check=True)
    r = run_tesra(["missing.txt"], cwd=tmp_path, env=engine_env(LD_PRELOAD=str(tmp_path / "shim.so")))
    assert r.rc == 1
    assert "☆ Failed to stat input file 1 [missing.txt]!\n".encode() in r.err  # UTF-8, not lost
