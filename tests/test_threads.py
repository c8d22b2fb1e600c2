"""Runs on several threads: stopped in every phase with nothing left behind and no thread left
running, kept to the memory budget, and the thread count taken from where the user gives it. The
bytes of every mode on 1, 2 and 5 threads are the differential test's."""
import os
import re

import pytest

from conftest import engine_env, run_code

# Stops a run on 5 threads at the first report of a phase (sys.argv[1]) through the package's
# progress hook; prints what happened and the threads of the process before and after.
STOP_IN_PHASE = """
import os, sys, tesra
phase, *args = sys.argv[1:]
class Stop(Exception):
    pass
def progress(p, done, total):
    if p == phase:
        raise Stop
threads = lambda: len(os.listdir("/proc/self/task"))
before = threads()
try:
    tesra.sort(args[-1], args[-2], memory=args[0], threads=5, progress=progress, keys=["0,8"])
    print("finished")
except Stop:
    print("stopped")
print(before, threads())
"""


def lines(n: int, width: int = 20) -> bytes:
    return b"".join(b"%0*d\n" % (width, (i * 7919) % 1000003) for i in range(n))


@pytest.mark.parametrize("phase, memory", [("read", "512M"), ("sort", "512M"), ("write", "512M"),
                                           ("sort", "16M"), ("merge", "16M")])
def test_a_stop_in_any_phase_ends_every_thread_and_leaves_nothing(tmp_path, phase, memory):
    (tmp_path / "temp").mkdir()
    (tmp_path / "in").write_bytes(lines(2_000_000))  # 42 MB: blocks of a 16 MB budget, or in memory
    r = run_code(STOP_IN_PHASE, phase, memory, str(tmp_path / "out"), str(tmp_path / "in"),
                 env=engine_env(TEMP=str(tmp_path / "temp")), timeout=300)
    said, counts = r.out.decode().splitlines()
    before, after = map(int, counts.split())
    assert said == "stopped", r.messages
    assert after == before, "a thread of the run outlived it"
    assert not (tmp_path / "out").exists() and os.listdir(tmp_path / "temp") == []


PEAK = """
import re, sys, _tesra
rc = _tesra.tesra(sys.argv[1:])
status = open("/proc/self/status").read()
print("peak %s KB" % re.search(r"VmHWM:\\s*(\\d+) kB", status).group(1), file=sys.stderr)
sys.exit(rc)
"""


@pytest.mark.parametrize("mode, budget", [("memory", 160), ("tmpfile", 32), ("merge", 32)])
def test_threads_keep_to_the_budget(tmp_path, mode, budget):
    # -W bounds the whole run: the peak of the process (the interpreter's ~15 MB included) stays
    # within the budget and 40 MB on 5 threads, and the output is one thread's.
    data = lines(3_000_000)  # 63 MB: in memory at 160 MB (records and their items), else blocks
    names = ["in"]
    if mode == "merge":
        half = len(data) // 2 // 21 * 21
        (tmp_path / "a").write_bytes(b"".join(sorted(data[:half].splitlines(keepends=True))))
        (tmp_path / "b").write_bytes(b"".join(sorted(data[half:].splitlines(keepends=True))))
        names = ["-M", "a", "b"]
    else:
        (tmp_path / "in").write_bytes(data)
    outs = []
    for threads in ("1", "5"):
        out = f"out{threads}"
        r = run_code(PEAK, "-Verbose", "-W", f"{budget}M", "-O", out, *names, cwd=tmp_path,
                     env=engine_env(TESRA_THREADS=threads, TEMP=str(tmp_path)), timeout=300)
        assert r.rc == 0, r.messages[-800:]
        assert ("Split sort with temporary files started" in r.messages) == (mode == "tmpfile")
        peak = int(re.search(r"peak (\d+) KB", r.messages).group(1))
        assert peak < (budget + 40) << 10, f"{peak} KB resident on {threads} threads under -W {budget}M"
        outs.append((tmp_path / out).read_bytes())
    assert outs[0] == outs[1] == b"".join(sorted(data.splitlines(keepends=True)))


# Standard input that stops coming after 30 MB while the run reads ahead of its blocks: Ctrl-C two
# seconds later ends the wait for it, and the read-ahead's thread, at once.
STALLED_STDIN = """
import os, signal, sys, threading, _tesra
r, w = os.pipe()
os.dup2(r, 0)
data = b"".join(b"%019d\\n" % (i * 7919 % 1000003) for i in range(1_500_000))
threading.Thread(target=os.write, args=(w, data), daemon=True).start()  # w stays open: no end
timer = threading.Timer(2.0, os.kill, (os.getpid(), signal.SIGINT))
timer.start()
threads = lambda: len(os.listdir("/proc/self/task")) - threading.active_count()  # the engine's
before = threads()
try:
    rc = _tesra.tesra(["-W", "16M", "-O", sys.argv[1]])
except KeyboardInterrupt:
    rc = "interrupt"
timer.cancel()
print("ended", rc, before, threads(), file=sys.stderr)
"""


def test_ctrl_c_ends_a_wait_for_standard_input_and_its_read_ahead(tmp_path):
    (tmp_path / "temp").mkdir()
    start = __import__("time").monotonic()
    r = run_code(STALLED_STDIN, str(tmp_path / "out"), env=engine_env(TESRA_THREADS="2", TEMP=str(tmp_path / "temp")),
                 timeout=60)
    took = __import__("time").monotonic() - start
    rc, before, after = [ln for ln in r.messages.splitlines() if ln.startswith("ended")][0].split()[1:]
    assert rc in ("1", "interrupt") and "Sort interrupted" in r.messages, r.messages[-600:]
    assert after == before, "the read-ahead's thread outlived the run"
    assert took < 20, f"the run went on {took:.0f} s after Ctrl-C"
    assert not (tmp_path / "out").exists() and os.listdir(tmp_path / "temp") == []
