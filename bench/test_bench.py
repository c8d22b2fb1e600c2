"""Self-check of the benchmark harness, not of tesra: `.venv/bin/python -m pytest bench` (seconds).

A harness whose data is not what its README says, or whose checks pass a wrong order, would report
numbers for the wrong work; these tests run its functions on small data and fake sorters.
"""

import csv
import io
import os
import random
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

# The harness is a script beside this file, not a package: import it from its folder.
sys.path.insert(0, str(Path(__file__).parent))
import bench  # noqa: E402

SIZE = 96 << 10
C = dict(os.environ, LC_ALL="C")


def generate(tmp_path: Path, name: str, seed: int = 1, size: int = SIZE) -> bytes:
    path = tmp_path / f"{name}-{seed}-{size}-{len(list(tmp_path.iterdir()))}"
    bench.DATASETS[name].generate(path, size, random.Random(f"{seed}-{name}"))
    return path.read_bytes()


@pytest.mark.parametrize("name", list(bench.DATASETS))
def test_generators_are_deterministic_and_of_about_the_size_asked(tmp_path, name):
    data = generate(tmp_path, name)
    assert data == generate(tmp_path, name)
    if name != "empty":
        assert data != generate(tmp_path, name, seed=2)
    assert data.endswith(b"\n")
    assert 0.89 * SIZE <= len(data) <= SIZE + 401


def test_data_sets_have_the_advertised_shapes(tmp_path):
    lines = generate(tmp_path, "lines").splitlines()
    assert all(1 <= len(x) <= 400 and x.isascii() and x.isprintable() for x in map(bytes.decode, lines))

    rows = list(csv.reader(io.StringIO(generate(tmp_path, "csv").decode())))
    assert all(len(r) == 6 and r[1].isalpha() and int(r[2]) > -20001 for r in rows)
    assert any(int(r[2]) < 0 for r in rows) and any('"' in r[5] or "," in r[5] for r in rows)

    fixed = generate(tmp_path, "fixed")
    records = [fixed[i:i + 100] for i in range(0, len(fixed), 100)]
    assert len(fixed) % 100 == 0 and all(r[99:] == b"\n" and r[:10].isalnum() for r in records)
    assert b"\n" not in b"".join(r[:99] for r in records)

    urls = generate(tmp_path, "urls").splitlines()
    assert all(any(u.startswith(h.encode() + b"/") for h in bench.URL_HOSTS) and b" " not in u for u in urls)
    ordered = sorted(urls)
    shared = [len(os.path.commonprefix([a, b])) for a, b in zip(ordered, ordered[1:])]
    assert sum(shared) / len(shared) > 40  # far past the first eight bytes

    short = generate(tmp_path, "short")
    assert len(short) == 9 * (SIZE // 10) and all(len(x) == 8 and x.isalnum() for x in short.splitlines())

    tiny = generate(tmp_path, "tiny").splitlines()
    assert len(tiny) == SIZE // 2 and set(tiny) == {bytes([c]) for c in bench.TINY_VALUES}

    assert generate(tmp_path, "empty") == b"\n" * SIZE


def csv_with_ties(tmp_path: Path) -> Path:
    """The generated orders plus, for a third of them, a copy with the same key and another id."""
    rows = generate(tmp_path, "csv", size=32 << 10).splitlines(keepends=True)
    src = tmp_path / "ties.csv"
    src.write_bytes(b"".join(rows + [b"1" + r for r in rows[::3]]))
    return src


def test_split_by_key_keeps_every_line_and_puts_equal_keys_in_one_part(tmp_path):
    src = csv_with_ties(tmp_path)
    parts = [tmp_path / f"p{i}" for i in range(4)]
    bench.split_by_key(src, parts, bench.csv_key_bytes)
    contents = [p.read_bytes().splitlines(keepends=True) for p in parts]
    assert Counter(x for c in contents for x in c) == Counter(src.read_bytes().splitlines(keepends=True))
    keys = [{bench.csv_key_bytes(x) for x in c} for c in contents]
    assert all(k for k in keys)
    assert all(not (keys[i] & keys[j]) for i in range(4) for j in range(i + 1, 4))


def test_merge_parts_are_sorted_by_the_keys_and_hold_the_data_set(tmp_path, monkeypatch):
    monkeypatch.setattr(bench, "DATA", tmp_path)
    inp = bench.prepare_merge(bench.DATASETS["csv"], 16 << 10, seed=3)
    assert len(inp.paths) == 4
    for part in inp.paths:
        check = subprocess.run(["sort", "-c", *bench.DATASETS["csv"].sort_args, str(part)], env=C, capture_output=True)
        assert check.returncode == 0, check.stderr
    whole = (tmp_path / f"csv-64K-3.csv").read_bytes().splitlines()
    assert inp.records == len(whole)
    assert Counter(x for p in inp.paths for x in p.read_bytes().splitlines()) == Counter(whole)


def test_output_checks_reject_a_wrong_order_and_accept_reordered_ties(tmp_path):
    ref, out = tmp_path / "ref", tmp_path / "out"
    ref.write_bytes(b"a\nb\nc\n")
    out.write_bytes(b"a\nc\nb\n")
    assert "DIFFERS" in bench.check_output("bytes", out, ref, None)
    out.write_bytes(b"a\nb\nc")  # a lost newline is a difference too
    assert "DIFFERS" in bench.check_output("bytes", out, ref, None)

    ref.write_bytes(b"1,Ann,5,d,c,\n2,Ann,5,d,c,x\n3,Bob,-2,d,c,\n4,Bob,10,d,c,\n")
    digest = bench.line_digest(ref)
    out.write_bytes(b"2,Ann,5,d,c,x\n1,Ann,5,d,c,\n3,Bob,-2,d,c,\n4,Bob,10,d,c,\n")
    assert bench.check_output("keys", out, ref, digest) == "key order = sort, same records"
    out.write_bytes(b"1,Ann,5,d,c,\n2,Ann,5,d,c,x\n4,Bob,10,d,c,\n3,Bob,-2,d,c,\n")  # 10 before -2
    assert bench.check_output("keys", out, ref, digest) == "KEY ORDER DIFFERS from sort at record 3"
    out.write_bytes(b"1,Ann,5,d,c,\n3,Bob,-2,d,c,\n4,Bob,10,d,c,\n")
    assert "DIFFERS" in bench.check_output("keys", out, ref, digest)


FAKE_TESRA = {
    "sorted through a pipe": (lambda i, o, t: bench.Cmd(["sort"], pipe_from=i.paths[0], stdout=o), False, "= sort"),
    "unsorted": (lambda i, o, t: bench.Cmd(["cat", *i.paths], stdout=o), True, "DIFFERS"),
    "failing": (lambda i, o, t: bench.Cmd(["false"], pipe_from=i.paths[0], stdout=o), True, "FAILED"),
    "fed by a failing cat": (lambda i, o, t: bench.Cmd(["sort"], pipe_from=t / "missing", stdout=o), True, "FAILED"),
    "leaving a temporary file": (lambda i, o, t: bench.Cmd(
        ["sh", "-c", 'sort -o "$1" "$2" && touch "$3/sortXYZ"', "fake", o, i.paths[0], t], tmpdir=t),
        True, "FAILED"),
}


@pytest.mark.parametrize("case", list(FAKE_TESRA))
def test_a_wrong_or_failing_tesra_fails_the_run(tmp_path, monkeypatch, case):
    monkeypatch.setattr(bench, "OUT", tmp_path / "out")
    (tmp_path / "out").mkdir()
    src = tmp_path / "in.txt"
    src.write_bytes(b"delta\nalpha\ncharlie\nbravo\n")
    inp = bench.Input(bench.DATASETS["lines"], [src], 4)
    cmd, should_fail, status = FAKE_TESRA[case]
    tools = [bench.Tool("tesra", lambda i, o: cmd(i, o, tmp_path / "out" / "tmp")),
             bench.Tool("sort -m", lambda i, o: bench.Cmd(["sort", "-o", o, *i.paths]), True)]
    table, failed = bench.bench_input("memory", inp, tools, runs=2, keep=True)
    assert failed == should_fail
    row = next(r for r in table if r.startswith("| tesra |"))
    assert status in row
    if not should_fail:
        assert (tmp_path / "out" / "memory.lines.tesra.out").read_bytes() == b"alpha\nbravo\ncharlie\ndelta\n"
        assert "- tesra: `cat FILE | LC_ALL=C sort > OUT`" in table


# Holds a 3 MiB file open after unlinking it (as tesra does) and a 1 MiB one open under its name,
# writes 8 MiB of output beside the folder, waits for the sampler, then removes the named file.
TMP_WRITER = r"""
import os, sys, time
out, tmp = sys.argv[1], sys.argv[2]
hidden = open(os.path.join(tmp, "hidden"), "wb"); os.unlink(hidden.name); hidden.write(b"h" * (3 << 20))
named = open(os.path.join(tmp, "named"), "wb"); named.write(b"n" * (1 << 20))
hidden.flush(); named.flush()
open(out, "wb").write(b"o" * (8 << 20))
time.sleep(4 * 0.2)
os.unlink(named.name)
"""


def test_temporary_disk_counts_unlinked_and_named_files_once_and_not_the_output(tmp_path, monkeypatch):
    monkeypatch.setattr(bench, "OUT", tmp_path)
    tmp, out = tmp_path / "tmp" / "tool", tmp_path / "x.out"
    # A shell in between, so the writer is a grandchild of the sampled process.
    cmd = bench.Cmd(["sh", "-c", f'"{sys.executable}" -c "$1" "$2" "$3"; true', "sh", TMP_WRITER, out, tmp],
                    tmpdir=tmp)
    run = bench.run_once(cmd, out, tmp_path / "err", sample_disk=True)
    assert 4 << 20 <= run.tmp_peak < 5 << 20
    assert bench.run_once(cmd, out, tmp_path / "err").tmp_peak is None


@pytest.mark.parametrize("right", [True, False])
def test_scale_mode_checks_then_deletes_outputs_and_stops_a_wrong_tesra(tmp_path, monkeypatch, right):
    monkeypatch.setattr(bench, "OUT", tmp_path / "out")
    (tmp_path / "out").mkdir()
    src = tmp_path / "lines-1K-1.txt"
    src.write_bytes(b"delta\nalpha\ncharlie\nbravo\n")
    inp = bench.Input(bench.DATASETS["lines"], [src], 4, "1K")
    argv = (lambda i, o: ["sort", "-o", o, *i.paths]) if right else (lambda i, o: ["cp", *i.paths, o])
    tools = [bench.Tool("tesra", lambda i, o: bench.Cmd(argv(i, o), tmpdir=tmp_path / "out" / "tmp" / "t")),
             bench.Tool("sort 1 thread", lambda i, o: bench.Cmd(["sort", "-o", o, *i.paths]), True)]
    summary = []
    table, failed = bench.bench_input("scale", inp, tools, runs=2, keep=False, summary=summary)
    assert failed != right
    runs = [r[:3] for r in summary]
    assert runs == [["lines 1K", "tesra", "2" if right else "1"], ["lines 1K", "sort 1 thread", "2"]]
    assert ("= sort, byte for byte" if right else "DIFFERS") in summary[0][-1]
    assert summary[0][6] == "0" and summary[1][6] == "–"  # sampled where a temporary folder is given
    assert "| tool | median s | s per GiB | × tesra | cpu s | peak MB | tmp disk MB | output check |" in table
    # Kept only to compare a wrong output with the reference.
    left = sorted(p.name for p in (tmp_path / "out").glob("*.out"))
    assert left == ([] if right else ["scale.lines-1K-1.sort-1-thread.out", "scale.lines-1K-1.tesra.out"])


def test_scale_mode_gives_tesra_its_budget_in_units_it_takes():
    tesra = next(t for t in bench.make_tools("scale", ["tesra"], 1 << 30) if t.name == "tesra")
    argv = tesra.cmd(bench.Input(bench.DATASETS["lines"], [Path("in")]), Path("out")).argv
    assert argv[argv.index("-W") + 1] == "1024M"  # tesra's -W has no G unit
