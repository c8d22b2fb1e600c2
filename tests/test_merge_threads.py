"""The last merge of the temporary-file mode on several threads, in key ranges: its output, its
statistics and its failures must be one thread's, whatever the thread count. Orders are checked
against one thread's run (itself checked by the differential test)."""

import os

import pytest

from conftest import engine_env, run_tesra

RANGES = "マージはキー範囲"


def tied_lines(n: int, keys: int) -> bytes:
    # Four-byte keys with many equal ones whose other bytes differ: a tie put in another order
    # shows in the output.
    return b"".join(b"%04d %07d %s\n" % ((i * 7919) % keys, i, b"x" * (i % 13)) for i in range(n))


def csv_rows(n: int) -> bytes:
    rows = []
    for i in range(n):
        k = (i * 104729) % 20011
        if i % 50000 == 7:
            rows.append(b"%d\n" % i)  # too few columns for the keys: an error record
        rows.append(b'%d,"n%d, ""q""",%d.%02d,%s\n' % (i, k % 997, k, i % 100, b"y" * (i % 7)))
    return b"h1,h2,h3,h4\n" + b"".join(rows)


def runs(tmp_path, temp, name: str, args: list, threads=(1, 2, 5)):
    """The output (and error file) of one run per thread count, and what each printed."""
    got = {}
    for t in threads:
        out, err = tmp_path / f"{name}.{t}", tmp_path / f"{name}.{t}.err"
        r = run_tesra(["-Verbose", "-W", "16M", "-O", out, "-E", err, *args],
                      env=engine_env(TEMP=str(temp), TESRA_THREADS=str(t)))
        assert r.rc == 0, r.messages
        assert "Number of sorted records" in r.messages
        counts = [ln for ln in r.messages.splitlines() if "records" in ln.lower() and ":" in ln]
        got[t] = (out.read_bytes(), err.read_bytes() if err.exists() else None, counts, r.messages)
    assert os.listdir(temp) == []
    return got


@pytest.mark.parametrize("opts", [[], ["-S"], ["-U"], ["-R"], ["-S", "-R"]], ids=lambda o: "".join(o) or "plain")
def test_ties_across_blocks_come_out_as_one_thread_writes_them(tmp_path, temp, opts):
    data = tied_lines(2_000_000, 40_000)  # 40 MB: three blocks and more at 16 MB
    (tmp_path / "in").write_bytes(data)
    got = runs(tmp_path, temp, "lines", ["-P", "\\n", "-K", "0,4", *opts, tmp_path / "in"])
    one = got[1]
    assert len(one[0]) == len(data) or "-U" in opts
    for t in (2, 5):
        assert got[t][0] == one[0], f"{t} threads"
        assert got[t][2] == one[2]
    if opts[:1] == ["-S"]:
        # Stable ties never keep the merge on one thread.
        assert RANGES in got[2][3] and RANGES in got[5][3]
    assert RANGES not in one[3]


def test_unique_ranges_close_up_behind_each_other(tmp_path, temp):
    # Keys repeated across the blocks: every range drops records, and the ranges' outputs move
    # together. -U keeps the first in input order, so that ties never keep the merge on one thread.
    data = tied_lines(2_000_000, 300_000)
    (tmp_path / "in").write_bytes(data)
    got = runs(tmp_path, temp, "unique", ["-P", "\\n", "-K", "0,6", "-U", tmp_path / "in"])
    assert RANGES in got[2][3] and RANGES in got[5][3]
    assert got[2][:3] == got[1][:3] and got[5][:3] == got[1][:3]
    assert len(got[1][0].splitlines()) == len({line[:6] for line in data.splitlines()})


@pytest.mark.parametrize("opts", [["-K", "3nd", "-K", "2"], ["-S", "-K", "2"]], ids=["numeric", "stable"])
def test_csv_with_header_and_error_records(tmp_path, temp, opts):
    (tmp_path / "in.csv").write_bytes(csv_rows(1_000_000))
    got = runs(tmp_path, temp, "csv", ["-C", "-H", *opts, tmp_path / "in.csv"])
    for t in (2, 5):
        assert got[t][:3] == got[1][:3], f"{t} threads"
    assert got[1][0].startswith(b"h1,h2,h3,h4\n") and got[1][0].count(b"h1,h2") == 1
    assert got[1][1], "the refused records went to the error file"


def test_standard_output_and_a_failed_write_stay_as_one_thread(tmp_path, temp):
    (tmp_path / "in").write_bytes(tied_lines(1_500_000, 1_000_000))
    env = engine_env(TEMP=str(temp), TESRA_THREADS="2")
    one = run_tesra(["-W", "16M", "-P", "\\n", tmp_path / "in"], env=engine_env(TEMP=str(temp), TESRA_THREADS="1"))
    two = run_tesra(["-W", "16M", "-P", "\\n", tmp_path / "in"], env=env)
    assert one.rc == two.rc == 0 and one.out == two.out and len(one.out) == (tmp_path / "in").stat().st_size
    if os.access("/dev/full", os.W_OK):
        r = run_tesra(["-W", "16M", "-P", "\\n", "-O", "/dev/full", tmp_path / "in"], env=env)
        assert r.rc == 1 and "☆ Error occurred during temporary file merge sort!\n" in r.messages
    assert os.listdir(temp) == []


def test_long_records_among_short_ones(tmp_path, temp):
    # Records longer than a range's least buffer and than the readers that find the ranges.
    recs = []
    for i in range(400_000):
        n = 150_000 + i % 7 if i % 4000 == 3999 else 40 + i % 50
        recs.append(b"%08d" % ((i * 7919) % 400_009) + b"q" * n + b"\n")
    (tmp_path / "in").write_bytes(b"".join(recs))
    got = runs(tmp_path, temp, "long", ["-P", "\\n", "-K", "0,8", tmp_path / "in"])
    assert RANGES in got[2][3] and got[2][0] == got[1][0] == got[5][0]
    assert got[1][0] == b"".join(sorted(recs))


def test_presorted_inputs_merge_in_ranges_or_leave_it_to_one_thread(tmp_path, temp):
    # -M: the inputs cut into key ranges. An error record or records out of order deep inside an
    # input leave the merge to one thread, which prints and writes what it always does.
    a = sorted(tied_lines(300_000, 300_000).splitlines(keepends=True))
    b = sorted(b"%08d %s\n" % ((i * 48271) % 1_000_003, b"z" * (i % 61)) for i in range(300_000))
    (tmp_path / "a").write_bytes(b"".join(a))
    (tmp_path / "b").write_bytes(b"".join(b)[:-1])  # no final newline code
    short = b[:150_000] + [b"12\n"] + b[150_000:]  # shorter than the key: an error record
    (tmp_path / "e").write_bytes(b"".join(short))
    swapped = a[:200_000] + [a[200_001], a[200_000]] + a[200_002:]
    (tmp_path / "u").write_bytes(b"".join(swapped))
    # Keys tied across the inputs (every sixth) whose records differ, the second input's record
    # before a tie the later: without -S a range starts with the second input's, as the merge does.
    (tmp_path / "p").write_bytes(b"".join(b"%08d %s\n" % (3 * (i // 2), b"p" * (1 + i % 6)) for i in range(400_000)))
    (tmp_path / "q").write_bytes(b"".join(b"%08d %s\n" % (2 * (i // 2), b"q" * (1 + i % 7)) for i in range(400_000)))
    cases = {"whole": ["a", "b"], "error record": ["-S", "-K", "0,8", "a", "e"], "out of order": ["b", "u"],
             "unstable ties": ["-K", "0,8", "p", "q"],
             # -U: the ranges drop what one thread drops and their outputs close up behind each other.
             "unique keys": ["-U", "-K", "0,8", "p", "q"], "unique whole": ["-U", "b", "a", "b"]}
    for name, args in cases.items():
        got = {}
        for t in (1, 2, 5):
            out, err = tmp_path / f"{name}.{t}", tmp_path / f"{name}.{t}.err"
            r = run_tesra(["-Verbose", "-M", "-O", out, "-E", err, *[tmp_path / x if x in "abepqu" else x for x in args]],
                          env=engine_env(TEMP=str(temp), TESRA_THREADS=str(t)))
            said = [ln for ln in r.messages.splitlines() if ln.startswith("☆") or "records" in ln.lower()]
            got[t] = (r.rc, out.read_bytes() if out.exists() else None, err.read_bytes() if err.exists() else None,
                      said, RANGES in r.messages)
        assert got[1][4] is False
        for t in (2, 5):
            assert got[t][:4] == got[1][:4], f"{name}: {t} threads"
            assert got[t][4] == (name in ("whole", "unstable ties", "unique keys", "unique whole")), name
        if name == "out of order":
            assert got[1][0] == 1 and got[1][1] is None and "☆ Input file [" in "\n".join(got[1][3])


def csv_sorted(rng, n: int, sep: bytes, first: int, step: int = 0) -> list:
    # Keyed by the first column (every step-th key, else keys repeated); quoted columns hold
    # delimiters, newline codes and doubled quotes, so that a place inside a record looks like a
    # record start unless the quotes before it count.
    rows = []
    for i in range(n):
        key = first + (step * i if step else rng.randrange(n // 3))
        other = rng.choice([b'"a,b' + sep + b'c ""d""' + sep + b'"', b"plain", b"", b'"' + sep * 3 + b'"', b'x"y'])
        lead = b"%s," % (b"w" * rng.randrange(8)) if step else b""  # the key at other places of the records
        rows.append(lead + b"%06d,%s,%d" % (key, other, i) + (b'"' if other == b'x"y' else b"") + sep)
    return rows if step else sorted(rows, key=lambda row: row[:6])


def test_presorted_csv_inputs_merge_in_ranges(tmp_path, temp):
    # Header lines, a last record without its newline code, one whose open quote runs to the end of
    # its input, and a two-byte newline code: the ranges find the records one thread finds.
    rng = __import__("random").Random(7)
    for sep, option in ((b"\n", "\\n"), (b"\r\n", "\\r\\n")):
        a = b"k,v,n" + sep + b"".join(csv_sorted(rng, 30_000, sep, 0))[: -len(sep)]
        b = b"k,v,n" + sep + b"".join(csv_sorted(rng, 30_000, sep, 5)) + b'999999,"open' + sep + b"rest" + sep
        c = b"k,v,n" + sep + b"".join(csv_sorted(rng, 30_000, sep, 9))
        # Keys tied across the inputs but never within one, so that without -S the records before
        # the cuts decide the ties' order at a range's start.
        tied = [b"".join(csv_sorted(rng, 30_000, sep, 0, step)) for step in (2, 3, 5)]
        for name, data in zip("abcdef", (a, b, c, *tied)):
            (tmp_path / name).write_bytes(data)
        # Whole records, every column compared: the inputs sorted by one thread first.
        for name in "ac":
            r = run_tesra(["-C", "-H", "-P", option, "-O", tmp_path / f"w{name}", tmp_path / name],
                          env=engine_env(TEMP=str(temp), TESRA_THREADS="1"))
            assert r.rc == 0, r.messages
        cases = {"stable": (["-H", "-K", "1", "-S"], "abc"), "unique": (["-H", "-K", "1", "-U"], "abc"),
                 "ties": (["-K", "2"], "def"), "whole": (["-H"], ["wa", "wc"])}
        for case, (opts, names) in cases.items():
            got = {}
            for t in (1, 2, 5):
                out = tmp_path / f"out.{t}"
                r = run_tesra(["-Verbose", "-C", "-P", option, "-M", *opts, "-O", out, *[tmp_path / x for x in names]],
                              env=engine_env(TEMP=str(temp), TESRA_THREADS=str(t), TESRA_PARALLEL_MIN="1"))
                assert r.rc == 0, r.messages
                got[t] = (out.read_bytes(), [ln for ln in r.messages.splitlines() if "records" in ln.lower()])
                assert (RANGES in r.messages) == (t > 1), (option, case, t)
            assert got[2] == got[1] and got[5] == got[1], (option, case)
            merged = got[1][0]
            inputs = b"".join((tmp_path / x).read_bytes() for x in names)
            if case in ("ties", "whole"):
                assert len(merged) == len(inputs) - (len(b"k,v,n" + sep) if case == "whole" else 0)
                continue
            assert merged.startswith(b"k,v,n" + sep) and merged.count(b"k,v,n") == 1
            assert merged.endswith(b'999999,"open' + sep + b"rest" + sep)
            if case == "stable":
                assert len(merged) == len(inputs) + len(sep) - 2 * len(b"k,v,n" + sep)
