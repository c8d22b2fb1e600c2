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
