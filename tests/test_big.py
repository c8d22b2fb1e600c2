"""Inputs past the 32-bit sizes (fixed-length records past 4 GiB, lines past 2 GiB), merges of many
blocks, and inputs that are pipes. The large-data tests are marked `big` (a quick loop skips them
with -m "not big"); their data is never held in Python: bigdata streams it, and a sorted output is
judged by its order and by a digest that must equal the input's."""

import fcntl
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zlib

import pytest

from bigdata import (FixedChecker, LineChecker, TaggedLines, check_file, first_difference, remove,
                     sparse_fixed)
from conftest import Run, engine_env

IN_MEMORY = "\n--- In-memory sort started.--- \n"
THROUGH_TEMP = "\n--- Split sort with temporary files started.--- "
BIG_TIMEOUT = 900

REC = 100
KEY = (10, 8)
FIXED_RECORDS = 49_392_124  # 4.6 GiB of 100-byte records: offsets past 2^31 and 2^32
IN_MEMORY_BUDGET = "7168M"  # room for the 4.6 GiB and their index
LINES_SIZE = 2_362_232_013  # 2.2 GiB
SHORT_LINES_SIZE = 300_000_000


@pytest.fixture
def scratch(tmp_path_factory, tmp_path):
    """A folder for one large-data test, emptied when the test ends however it ends. One such test
    runs at a time, also across xdist workers: side by side they would need more disk and memory
    than the machine has to spare."""
    base = tmp_path_factory.getbasetemp()
    root = base.parent if os.environ.get("PYTEST_XDIST_WORKER") else base
    with open(root / "tesra-big.lock", "wb") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield tmp_path
        finally:
            for p in tmp_path.iterdir():
                if p.is_dir() and not p.is_symlink():
                    shutil.rmtree(p)
                else:
                    p.unlink()


def tail(r: Run) -> str:
    return r.messages[-3000:]


def tesra_beside(args, work, stdin=None):
    """Runs the engine in a subprocess while work() runs here, on the other core; returns the
    engine's Run and what work() returned."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        p = subprocess.Popen([sys.executable, "-c", "import sys, _tesra; sys.exit(_tesra.tesra(sys.argv[1:]))",
                              *map(str, args)], stdin=stdin if stdin is not None else subprocess.DEVNULL,
                             stdout=out, stderr=err, env=engine_env())
        try:
            result = work()
        finally:
            rc = p.wait(timeout=BIG_TIMEOUT)
        out.seek(0)
        err.seek(0)
        return Run(rc, out.read(), err.read()), result


# --- fixed-length records past 4 GiB ------------------------------------------------------------

def marked_records(n: int) -> tuple[dict, dict]:
    """Records to plant in n NUL records: 20 with distinct keys (the first, the last, those at and
    around the records that straddle byte 2^31 and 2^32, others spread), and two whose key is NUL
    bytes but not the rest, past 2^32 where the file is long enough."""
    rng = random.Random(7)
    spots = {0, 1, n - 1}
    for edge in (1 << 31, 1 << 32):
        at = edge // REC  # the record across the edge
        spots |= {at - 1, at, at + 1}
    spots = {s for s in spots if 0 <= s < n}
    while len(spots) < 20:
        spots.add(rng.randrange(n))
    keys: set[bytes] = set()
    while len(keys) < 20:  # high bytes included: the key compares unsigned
        keys.add(bytes([rng.randrange(1, 256)]) + rng.randbytes(7))

    def record(mark: bytes, spot: int, key: bytes) -> bytes:
        head = b"%s%09d" % (mark, spot)
        return (head + key + (b"%08x" % zlib.crc32(head)) * 11)[:REC]

    keyed = {s: record(b"R", s, k) for s, k in zip(sorted(spots), rng.sample(sorted(keys), 20))}
    plain = [s for s in ((1 << 32) // REC + 5, n // 3, n - 2) if s not in keyed and 0 <= s < n][:2]
    return keyed, {s: record(b"Z", s, bytes(KEY[1])) for s in plain}


@pytest.mark.big
@pytest.mark.parametrize("mode", ["memory", "temporary file"])
def test_fixed_length_records_past_4_gib(scratch, mode):
    n = FIXED_RECORDS
    keyed, plain = marked_records(n)
    src, out = scratch / "in.dat", scratch / "out.dat"
    sparse_fixed(src, n, REC, {**keyed, **plain})
    desc = mode == "temporary file"
    budget = ["-W", IN_MEMORY_BUDGET] if mode == "memory" else ["-W", "256M", "-T", str(scratch)]
    r, before = tesra_beside(["-Verbose", *budget, "-L", REC, "-K", "%d,%d%s" % (*KEY, "d" if desc else ""),
                              "-O", out, src], lambda: check_file(src, FixedChecker(REC, KEY)))
    remove(src)
    assert len(before.marked) == len(keyed) + len(plain) and before.digest.records == n
    assert r.rc == 0, tail(r)
    assert (THROUGH_TEMP if desc else IN_MEMORY) in r.messages
    after = check_file(out, FixedChecker(REC, KEY, descending=desc))
    remove(out)
    assert after.disorder is None and after.digest == before.digest
    # The keyed records take the end (ascending) or the start (descending), in key order; the
    # records with a NUL key stay among the NUL records.
    ranked = sorted(keyed.values(), key=lambda rec: rec[KEY[0]:KEY[0] + KEY[1]], reverse=desc)
    top = range(len(ranked)) if desc else range(n - len(ranked), n)
    assert [(i, rec) for i, rec in after.marked if i in top] == list(zip(top, ranked))
    assert sorted(rec for i, rec in after.marked if i not in top) == sorted(plain.values())


# --- lines past 2 GiB ---------------------------------------------------------------------------

@pytest.mark.big
def test_lines_past_2_gib_through_the_temporary_file_and_standard_input(scratch):
    src, out, again, gnu_out = (scratch / name for name in ("in.txt", "out.txt", "again.txt", "gnu.txt"))
    temp = scratch / "temp"
    temp.mkdir()
    TaggedLines(LINES_SIZE, seed=11).write(src)
    r, before = tesra_beside(["-Verbose", "-W", "256M", "-T", temp, "-O", out, src],
                             lambda: check_file(src, LineChecker(order=False)).digest)
    assert before.size > 1 << 31
    assert r.rc == 0, tail(r)
    assert THROUGH_TEMP in r.messages
    # GNU sort in the C locale orders bytes as the engine does; it runs on the other core while
    # the output is checked.
    gnu = subprocess.Popen(["sort", "--parallel=1", "-S", "1G", "-T", str(temp), "-o", str(gnu_out), str(src)],
                           env={**os.environ, "LC_ALL": "C"}, stderr=subprocess.PIPE)
    try:
        after = check_file(out, LineChecker())
    finally:
        _, gnu_err = gnu.communicate(timeout=BIG_TIMEOUT)
    assert after.disorder is None and not after.unterminated and after.digest == before
    assert gnu.returncode == 0, gnu_err
    assert differ(out, gnu_out) == ""
    remove(gnu_out)
    # The same data through standard input (size unknown, read in loads): the same bytes.
    with open(src, "rb") as stdin:
        r, _ = tesra_beside(["-T", temp, "-O", again], lambda: None, stdin=stdin)
    assert r.rc == 0, tail(r)
    assert differ(out, again) == ""
    assert os.listdir(temp) == []


def differ(a, b) -> str:
    """cmp's report of the first difference of two files, empty when they are equal."""
    c = subprocess.run(["cmp", str(a), str(b)], capture_output=True, text=True)
    assert c.returncode in (0, 1), c.stderr
    return c.stdout


# --- merges of many blocks ----------------------------------------------------------------------

@pytest.mark.big
def test_many_blocks_merged_in_more_than_one_pass(scratch):
    # Short lines in a 16 MB budget make dozens of blocks, more than one pass of the merge takes.
    src, out, stable = scratch / "in.txt", scratch / "out.txt", scratch / "stable.txt"
    temp = scratch / "temp"
    temp.mkdir()
    data = TaggedLines(SHORT_LINES_SIZE, seed=5, block=1 << 20, short=True)
    data.write(src)
    r, before = tesra_beside(["-W", "16M", "-T", temp, "-O", out, src],
                             lambda: check_file(src, LineChecker(order=False)).digest)
    assert r.rc == 0, tail(r)
    # Stable by the tag alone: every copy whole and in its input order, the copies in tag order;
    # a pass that merged its blocks out of order would show.
    r, after = tesra_beside(["-S", "-K", "0,3", "-W", "16M", "-T", temp, "-O", stable, src],
                            lambda: check_file(out, LineChecker()))
    assert r.rc == 0, tail(r)
    assert after.disorder is None and after.digest == before
    assert first_difference(stable, data.by_tag()) is None
    assert os.listdir(temp) == []


# --- inputs that are pipes ----------------------------------------------------------------------

FEED = """
import shutil, sys
with open(sys.argv[1], "rb") as src, open(sys.argv[2], "wb") as dst:
    shutil.copyfileobj(src, dst)
"""


class Pipes:
    """Inputs that are pipes, each fed by a process of its own as a shell's <(cmd) is: a FIFO made
    with mkfifo, or a pipe the engine inherits and reads as /dev/fd/N."""

    def __init__(self, folder):
        self.folder, self.procs, self.fds = folder, [], []

    def _source(self, name: str, data: bytes):
        src = self.folder / (name + ".src")
        src.write_bytes(data)
        return src

    def fifo(self, name: str, data: bytes) -> str:
        path = self.folder / name
        os.mkfifo(path)
        self.procs.append(subprocess.Popen([sys.executable, "-c", FEED, str(self._source(name, data)), str(path)]))
        return str(path)

    def devfd(self, name: str, data: bytes) -> str:
        r, w = os.pipe()
        self.procs.append(subprocess.Popen(["cat", str(self._source(name, data))], stdout=w))
        os.close(w)
        self.fds.append(r)
        return f"/dev/fd/{r}"

    def run(self, args) -> Run:
        p = None
        try:
            p = subprocess.run([sys.executable, "-c", "import sys, _tesra; sys.exit(_tesra.tesra(sys.argv[1:]))",
                                *map(str, args)], capture_output=True, env=engine_env(), pass_fds=self.fds,
                               cwd=self.folder, timeout=120)
        finally:
            for fd in self.fds:
                os.close(fd)
            for q in self.procs:  # a writer the engine never read from would wait forever
                try:
                    q.wait(timeout=10 if p is not None and p.returncode == 0 else 0.1)
                except subprocess.TimeoutExpired:
                    q.kill()
                    q.wait()
        return Run(p.returncode, p.stdout, p.stderr)


def shuffled_lines(seed: int, n: int) -> list[bytes]:
    rng = random.Random(seed)
    return [b"%06d-%s\n" % (rng.randrange(10 ** 6), rng.randbytes(rng.randrange(12)).hex().encode())
            for _ in range(n)]


def test_pipes_among_the_inputs(tmp_path):
    # Lines: a FIFO, a /dev/fd pipe and a file.
    a, b, c = shuffled_lines(1, 3000), shuffled_lines(2, 2000), shuffled_lines(3, 1000)
    pipes = Pipes(tmp_path)
    (tmp_path / "c.txt").write_bytes(b"".join(c))
    r = pipes.run(["-O", "out", pipes.fifo("a", b"".join(a)), pipes.devfd("b", b"".join(b)), "c.txt"])
    assert r.rc == 0, tail(r)
    assert (tmp_path / "out").read_bytes() == b"".join(sorted(a + b + c))
    # Fixed-length records from a pipe: counted as they are read, not from a size.
    recs = [b"%04d%s" % (i * 37 % 100, b"xyz%03d" % i) for i in range(500)]  # equal keys: -S
    pipes = Pipes(tmp_path)
    r = pipes.run(["-L", "10", "-K", "0,4d", "-S", "-O", "out", pipes.devfd("f", b"".join(recs))])
    assert r.rc == 0, tail(r)
    assert (tmp_path / "out").read_bytes() == b"".join(sorted(recs, key=lambda x: x[:4], reverse=True))
    # CSV with headers: the first input's header, read from the pipe itself, is written once.
    rows = [b"%d,%s\n" % (i * 7 % 50, line.strip()) for i, line in enumerate(a[:300])]
    pipes = Pipes(tmp_path)
    r = pipes.run(["-C", "-H", "-S", "-K", "1n", "-O", "out", pipes.fifo("h.csv", b"k,v\n" + b"".join(rows[:200])),
                   pipes.devfd("i.csv", b"K,V\n" + b"".join(rows[200:]))])
    assert r.rc == 0, tail(r)
    assert (tmp_path / "out").read_bytes() == b"k,v\n" + b"".join(sorted(rows, key=lambda x: int(x.split(b",")[0])))


def test_a_pipe_larger_than_the_budget(tmp_path):
    # Its size is unknown before it is read: 27 MB in a 16 MB budget must still be sorted whole.
    lines = [b"%07d\n" % (i * 7919 % 1000003) for i in range(3_400_000)]
    pipes = Pipes(tmp_path)
    r = pipes.run(["-W", "16M", "-T", str(tmp_path), "-O", "out", pipes.fifo("big", b"".join(lines))])
    assert r.rc == 0, tail(r)
    assert (tmp_path / "out").read_bytes() == b"".join(sorted(lines))
    assert sorted(os.listdir(tmp_path)) == ["big", "big.src", "out"]


def test_merge_streams_pipes(tmp_path):
    # Presorted inputs of several MB each, more than one load of the merge: a FIFO, a /dev/fd pipe
    # and a file, merged by a key with equal keys across inputs (stable: in input order).
    parts = [sorted(shuffled_lines(seed, 400_000), key=lambda x: x[:3]) for seed in (4, 5, 6)]
    pipes = Pipes(tmp_path)
    (tmp_path / "c.txt").write_bytes(b"".join(parts[2]))
    r = pipes.run(["-M", "-S", "-K", "0,3", "-O", "out", pipes.fifo("a", b"".join(parts[0])),
                   pipes.devfd("b", b"".join(parts[1])), "c.txt"])
    assert r.rc == 0, tail(r)
    assert (tmp_path / "out").read_bytes() == b"".join(sorted(parts[0] + parts[1] + parts[2], key=lambda x: x[:3]))
