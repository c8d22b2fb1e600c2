"""The temporary-file mode: what it leaves behind after success and failure, the CSV header, its
temporary file's creation. Orders are checked by the differential test."""

import os
import signal
import subprocess
import sys

from conftest import INTERRUPT_WHEN, engine_env, run_code, run_tesra

SPLIT_FAILED = "☆ Error occurred during input file split sort!\n"
MERGE_FAILED = "☆ Error occurred during temporary file merge sort!\n"


def lines(n: int, width: int = 20) -> bytes:
    return b"".join(b"%0*d\n" % (width, (i * 7919) % 1000003) for i in range(n))


def test_temporary_file_is_removed_after_failures(tmp_path, temp):
    env = engine_env(TEMP=str(temp))
    (tmp_path / "big").write_bytes(lines(1_200_000))  # 25 MB, over a 16 MB budget
    # A record longer than a load fails the split sort.
    (tmp_path / "long").write_bytes(b"a\n" + b"x" * (20 << 20) + b"\nb\n")
    r = run_tesra(["-W", "16M", "-O", str(tmp_path / "o1"), str(tmp_path / "long")], env=env)
    assert r.rc == 1 and SPLIT_FAILED in r.messages and "☆ Invalid record length detected! \n" in r.messages
    # An output device that is full fails the merge.
    if os.access("/dev/full", os.W_OK):
        r = run_tesra(["-W", "16M", "-O", "/dev/full", str(tmp_path / "big")], env=env)
        assert r.rc == 1 and MERGE_FAILED in r.messages
    # A CSV header line longer than 1 MiB.
    (tmp_path / "h.csv").write_bytes(b"h" * (1 << 20) + b"\n" + lines(900_000))
    r = run_tesra(["-W", "16M", "-C", "-H", "-O", str(tmp_path / "o2"), str(tmp_path / "h.csv")], env=env)
    assert r.rc == 1 and "☆CSVファイルのヘッダ読み込み中にエラーが発生しました！\n" in r.messages
    assert os.listdir(temp) == []
    assert not (tmp_path / "o1").exists() and not (tmp_path / "o2").exists()


def test_ctrl_c_stops_the_split_sort_and_removes_the_temporary_file(tmp_path, temp):
    (tmp_path / "big").write_bytes(lines(6_000_000, 10))  # 66 MB in blocks of 16 MB
    # Interrupted once the temporary file is open (it has no name by then): blocks are still to be
    # sorted and merged.
    code = INTERRUPT_WHEN.format(
        started='return holds(lambda path: path.startswith(os.environ["TEMP"]))')
    r = run_code(code, "-W", "16M", "-O", str(tmp_path / "out"), str(tmp_path / "big"), env=engine_env(TEMP=str(temp)))
    assert r.out == b"KeyboardInterrupt\n", r.messages
    assert "☆ Sort interrupted!" in r.messages
    assert os.listdir(temp) == [] and not (tmp_path / "out").exists()


def test_csv_header_is_written_once_also_without_records(tmp_path, temp):
    env = engine_env(TEMP=str(temp))
    rows = b"".join(b"%d,%d\n" % ((i * 7919) % 1000003, i) for i in range(1_500_000))
    (tmp_path / "a.csv").write_bytes(b"k,v\n" + rows)
    (tmp_path / "b.csv").write_bytes(b"K,V\n" + rows[:100])
    r = run_tesra(["-W", "16M", "-C", "-H", "-K", "1n", "-O", str(tmp_path / "out"),
                   str(tmp_path / "a.csv"), str(tmp_path / "b.csv")], env=env)
    assert r.rc == 0, r.messages
    out = (tmp_path / "out").read_bytes()
    assert out.startswith(b"k,v\n0,") and out.count(b"k,v\n") == 1 and b"K,V\n" not in out
    # No records at all: no block is written, the header still is (one without its newline code
    # gets one).
    (tmp_path / "c.csv").write_bytes(b"x,y")
    (tmp_path / "d.csv").write_bytes(b"X,Y\n")
    r = run_tesra(["-W", "1K", "-C", "-H", "-O", str(tmp_path / "out"), str(tmp_path / "c.csv"),
                   str(tmp_path / "d.csv")], env=env)
    assert r.rc == 0 and (tmp_path / "out").read_bytes() == b"x,y\n"
    assert os.listdir(temp) == []


PLANTED = """
import os, sys, _tesra
temp = sys.argv[1]
open(os.path.join(temp, "tesra_%d.tmp" % os.getpid()), "wb").write(b"planted")
os.symlink(os.path.join(temp, "elsewhere"), os.path.join(temp, "tesra_%d_0.tmp" % os.getpid()))
sys.exit(_tesra.tesra(sys.argv[2:]))
"""


def test_files_at_the_temporary_name_are_neither_used_nor_removed(tmp_path, temp):
    # Whoever planted them (an earlier process with the same id, another user), the run takes a
    # name of its own and leaves them as they are; a link is never followed.
    (tmp_path / "in").write_bytes(lines(2000))
    r = run_code(PLANTED, str(temp), "-W", "1K", "-O", str(tmp_path / "out"), str(tmp_path / "in"),
                 env=engine_env(TEMP=str(temp)))
    assert r.rc == 0, r.messages
    assert (tmp_path / "out").read_bytes() == b"".join(sorted(lines(2000).splitlines(keepends=True)))
    link, planted = sorted(os.listdir(temp), key=len, reverse=True)
    assert link.endswith("_0.tmp") and os.path.islink(temp / link) and not (temp / "elsewhere").exists()
    assert (temp / planted).read_bytes() == b"planted"


TERM_WHEN_OPEN = """
import os, signal, subprocess, sys, time
p = subprocess.Popen([sys.executable, "-c", "import sys, _tesra; sys.exit(_tesra.tesra(sys.argv[1:]))", *sys.argv[2:]])
temp, seen = sys.argv[1], None
while seen is None and p.poll() is None:
    for fd in os.listdir("/proc/%d/fd" % p.pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (p.pid, fd))
        except OSError:
            continue
        if target.startswith(os.path.join(temp, "tesra_")) and target.endswith(" (deleted)"): seen = target
    time.sleep(0.001)
names = os.listdir(temp)
p.send_signal(signal.SIGTERM)
print(p.wait(), seen, names, sep="|")
"""


def test_sigterm_during_the_temporary_file_mode_leaves_no_file(tmp_path, temp):
    # The file has no name once it is open: killed at any point, the run leaves nothing behind.
    (tmp_path / "big").write_bytes(lines(1_200_000))
    r = run_code(TERM_WHEN_OPEN, str(temp), "-W", "16M", "-O", str(tmp_path / "out"), str(tmp_path / "big"),
                 env=engine_env(TEMP=str(temp)))
    status, seen, names = r.out.decode().split("|")
    assert status == str(-signal.SIGTERM) and seen.endswith(".tmp (deleted)"), r.messages
    assert names.strip() == "[]" and os.listdir(temp) == []
    assert not (tmp_path / "out").exists()


def test_output_holds_no_disk_space_beyond_its_end(tmp_path, temp):
    # The output's space is reserved ahead from the bytes the run will write: a miscount would
    # leave space reserved past the file's end (or a short reservation, which costs nothing).
    env = engine_env(TEMP=str(temp))
    (tmp_path / "in.txt").write_bytes(lines(1_200_000))
    (tmp_path / "in.csv").write_bytes(b"k,v\n" + b"".join(b"%d,\"x\ny\"\n" % ((i * 7919) % 1000003) for i in range(900_000)))
    for budget in ([], ["-W", "16M"]):  # in memory, through the temporary file
        for args, name in ((["-K", "3,5"], "in.txt"), (["-C", "-H", "-K", "1n"], "in.csv")):
            out = tmp_path / "out"
            r = run_tesra([*budget, *args, "-O", str(out), str(tmp_path / name)], env=env)
            assert r.rc == 0, r.messages
            st = os.stat(out)
            assert st.st_size == (tmp_path / name).stat().st_size
            assert st.st_blocks * 512 <= -(-st.st_size // 4096) * 4096 + (64 << 10), (budget, name)
