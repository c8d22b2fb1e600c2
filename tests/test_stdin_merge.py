"""Standard input and the merge of presorted files: what the differential test cannot show."""

import os
import subprocess
import sys
import time

import pytest

from conftest import engine_env, run_code, run_tesra

TWICE = """
import os, sys, _tesra
results = []
for out in ("one.txt", "two.txt"):
    results.append(_tesra.tesra(["-O", out]))
print(results)
"""


def test_empty_standard_input_is_an_empty_success_twice_in_one_process(tmp_path):
    r = run_code(TWICE, cwd=tmp_path, stdin=b"")
    assert r.out == b"[0, 0]\n", r.messages
    assert (tmp_path / "one.txt").read_bytes() == b"" and (tmp_path / "two.txt").read_bytes() == b""


SLOW_PIPE = """
import os, subprocess, sys, time
p = subprocess.Popen([sys.executable, "-c", "import sys, _tesra; sys.exit(_tesra.tesra(sys.argv[1:]))",
                      *sys.argv[1:]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
for piece in (b"delta\\nal", b"pha\\n", b"charlie\\nb", b"ravo"):  # records cut across pieces
    p.stdin.write(piece)
    p.stdin.flush()
    time.sleep(0.2)
p.stdin.close()
out = p.stdout.read()
print(p.wait(), out)
"""


def test_a_pipe_that_delivers_in_pieces_with_pauses(tmp_path):
    r = run_code(SLOW_PIPE, "-C", "-H", cwd=tmp_path)
    assert r.out == b"0 b'delta\\nalpha\\nbravo\\ncharlie\\n'\n", r.messages  # the first line is the header
    r = run_code(SLOW_PIPE, cwd=tmp_path)
    assert r.out == b"0 b'alpha\\nbravo\\ncharlie\\ndelta\\n'\n", r.messages


def test_merge_refuses_an_output_or_error_file_naming_an_input(tmp_path):
    (tmp_path / "a.txt").write_bytes(b"a\nc\n")
    (tmp_path / "b.txt").write_bytes(b"b\nd\n")
    os.symlink("a.txt", tmp_path / "link")
    for opts in (["-O", "a.txt"], ["-O", "link"], ["-E", "b.txt", "-K", "0,2"]):
        r = run_tesra(["-M", *opts, "a.txt", "b.txt"], cwd=tmp_path)
        assert r.rc == 1, opts
        name = opts[1]
        assert f"☆ Cannot create {'output' if opts[0] == '-O' else 'error'} file [{name}]!\n" in r.messages
    assert (tmp_path / "a.txt").read_bytes() == b"a\nc\n" and (tmp_path / "b.txt").read_bytes() == b"b\nd\n"
    r = run_tesra(["-M", "-O", "out", "a.txt", "b.txt"], cwd=tmp_path)
    assert (r.rc, (tmp_path / "out").read_bytes()) == (0, b"a\nb\nc\nd\n")


def test_merge_writes_the_first_header_once(tmp_path):
    (tmp_path / "a.csv").write_bytes(b"k,v\n1,a\n3,c\n")
    (tmp_path / "b.csv").write_bytes(b"K,V\n2,b\n4,d")
    (tmp_path / "c.csv").write_bytes(b"K,V")  # a header alone
    r = run_tesra(["-M", "-C", "-H", "-K", "1n", "a.csv", "b.csv", "c.csv"], cwd=tmp_path)
    assert (r.rc, r.out) == (0, b"k,v\n1,a\n2,b\n3,c\n4,d\n")
    # An input without a header line fails as in the other modes, first or not.
    (tmp_path / "e.csv").write_bytes(b"")
    for files in (["e.csv", "a.csv"], ["a.csv", "e.csv"]):
        r = run_tesra(["-M", "-C", "-H", "-K", "1n", *files], cwd=tmp_path)
        assert r.rc == 1 and "☆ Error occurred while reading CSV file header!\n" in r.messages, files
