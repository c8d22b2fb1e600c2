"""Behaviour of in-memory sorting through the module: loading, record splitting, order, -U, output and the error
file, on the edge cases that catch real faults."""

import os
import re
import subprocess
import sys

import pytest

from conftest import Run, engine_env, run_tesra

WRITE_ERROR = "☆ Error occurred while writing output file [{}]!\n"
ERROR_FILE = "☆ Cannot create error file [{}]!\n"
READ_ERROR = "☆ Error occurred while reading input file [{}]!\n"


def write(folder, name, content: bytes):
    path = folder / name
    path.write_bytes(content)
    return str(path)


def sort_ok(args) -> bytes:
    run = run_tesra(args)
    assert run.rc == 0, run.messages
    return run.out


# ---- loading: headers, files without a final newline, empty input ----

def test_header_comes_once_from_the_first_file(tmp_path):
    a = write(tmp_path, "a.csv", b"name,n\nzed,3\namy,1\n")
    b = write(tmp_path, "b.csv", b"NAME,N\nbob,2\n")
    c = write(tmp_path, "c.csv", b"other,header\ncid,0\n")
    assert sort_ok(["-C", "-H", "-K", "1", a, b, c]) == b"name,n\namy,1\nbob,2\ncid,0\nzed,3\n"
    # a later header that would sort first is still not a record
    assert sort_ok(["-C", "-H", "-K", "2n", c, a]) == b"other,header\ncid,0\namy,1\nzed,3\n"


@pytest.mark.parametrize("sep, arg", [(b"\n", "\\n"), (b"\r\n", "\\r\\n"), (b"\r", "\\r")])
@pytest.mark.parametrize("layout", [[], ["-C"]])
def test_files_without_final_newline_keep_their_records_apart(tmp_path, sep, arg, layout):
    first = write(tmp_path, "1", b"m" + sep + b"b")  # no final newline code
    second = write(tmp_path, "2", b"c" + sep + b"a")  # nor here: every file's data gets one
    out = sort_ok([*layout, "-P", arg, first, second])
    assert out == b"a" + sep + b"b" + sep + b"c" + sep + b"m" + sep


def test_csv_record_with_an_open_quote_ends_with_its_file(tmp_path):
    first = write(tmp_path, "1", b'b,"open\n')  # the quote never closes in this file
    second = write(tmp_path, "2", b"a,1\nc,2\n")
    assert sort_ok(["-C", "-K", "1", first, second]) == b'a,1\nb,"open\nc,2\n'


@pytest.mark.parametrize("layout", [["-L", "4"], [], ["-C"], ["-C", "-P", "\\r\\n", "-K", "2n"], ["-K", "0,2"]])
def test_empty_input_is_an_empty_success(tmp_path, layout):
    empty1, empty2 = write(tmp_path, "e1", b""), write(tmp_path, "e2", b"")
    assert sort_ok([*layout, empty1, empty2]) == b""
    out = tmp_path / "out"
    run = run_tesra([*layout, "-U", "-O", str(out), empty1])
    assert run.rc == 0, run.messages
    assert out.read_bytes() == b""  # created, and nothing invented


@pytest.mark.parametrize("unique", [[], ["-U"]])
@pytest.mark.parametrize("content", [b"h1,h2\n", b"h1,h2", b"h1,h2\nshort\nalso\n"],
                         ids=["header-only", "header-without-newline", "only-error-records"])
def test_header_without_records(tmp_path, unique, content):
    # The header is written whenever there is one, completed with its newline code if need be.
    path = write(tmp_path, "in.csv", content)
    assert sort_ok(["-C", "-H", "-K", "2", *unique, path]) == b"h1,h2\n"


def test_csv_files_larger_than_the_header_chunk(tmp_path):
    # the header is cut from the first megabyte; the rest of each file is read behind it
    rows = [b"%d,%07d,%s\n" % (i, (i * 7919) % 100003, b"x" * (i % 50)) for i in range(60000)]
    a = write(tmp_path, "a.csv", b"id,v,pad\n" + b"".join(rows[:30000]))
    b = write(tmp_path, "b.csv", b"ID,V,PAD\n" + b"".join(rows[30000:]))
    assert os.path.getsize(a) > 1048576 and os.path.getsize(b) > 1048576
    expected = sorted(rows, key=lambda r: (int(r.split(b",")[1]), int(r.split(b",")[0])))
    assert sort_ok(["-C", "-H", "-S", "-K", "2n", a, b]) == b"id,v,pad\n" + b"".join(expected)


def test_records_longer_than_640_kib(tmp_path):
    # a long last line without its newline code is still a record: the loader ends the data with one
    long = b"m" * 700_000
    path = write(tmp_path, "in", b"z\na\n" + long)
    assert sort_ok([path]) == b"a\n" + long + b"\nz\n"
    csv = write(tmp_path, "in.csv", b'z,"' + long + b'\n"\na,1')
    assert sort_ok(["-C", "-K", "1", csv]) == b'a,1\nz,"' + long + b'\n"\n'


def test_header_line_missing(tmp_path):
    for name, content in [("empty", b""), ("unended-past-1mib", b"h" * 1048577)]:
        run = run_tesra(["-C", "-H", write(tmp_path, name, content)])
        assert run.rc == 1
        assert "☆ Error occurred while reading CSV file header!\n" in run.messages


def test_fixed_data_gets_no_newline_code(tmp_path):
    path = write(tmp_path, "in", b"ccbbaa")
    assert sort_ok(["-L", "2", path]) == b"aabbcc"


def test_unclosed_quote_keeps_the_last_record(tmp_path):
    path = write(tmp_path, "in.csv", b'c,1\nb,"open\nz,9\na,2\n')
    out = sort_ok(["-C", "-K", "1", path])
    # the quote never closes, so everything from it to the end is one record, and it is not dropped
    assert out == b'b,"open\nz,9\na,2\n' + b"c,1\n"


def test_in_place_sort(tmp_path):
    path = write(tmp_path, "data", b"3\n1\n2\n")
    run = run_tesra(["-O", path, path])
    assert run.rc == 0, run.messages
    assert (tmp_path / "data").read_bytes() == b"1\n2\n3\n"


# ---- output bytes ----

@pytest.mark.parametrize("layout", [["-P", "\\r\\n"], ["-C", "-P", "\\r\\n", "-K", "2"]])
def test_crlf_output_byte_for_byte(tmp_path, layout):
    path = write(tmp_path, "in", b'x,"q\r\nq"\r\nw,b\r\n\r\nv,a\r\n')
    run = run_tesra([*layout, path])  # to standard output
    assert run.rc == 0, run.messages
    if "-C" in layout:
        assert run.out == b'x,"q\r\nq"\r\nv,a\r\nw,b\r\n'  # the one-column line has no key 2: dropped
    else:
        assert run.out == b'\r\nq"\r\nv,a\r\nw,b\r\nx,"q\r\n'


# ---- error records ----

@pytest.mark.parametrize("sep, arg", [(b"\n", "\\n"), (b"\r\n", "\\r\\n")])
@pytest.mark.parametrize("layout, records", [
    (["-K", "0,4"], [b"a", b"zzzzz", b"b", b"yyyyy", b"c", b"xxxxx"]),  # lengths count the newline code
    (["-C", "-K", "3"], [b"a,1", b"zzz,z,z", b'b,"3,3"', b"yyy,y,y", b"c", b"xxx,x,x"]),  # no third column
])
def test_error_records_reach_the_error_file_last_first(tmp_path, sep, arg, layout, records):
    path = write(tmp_path, "in", sep.join(records) + sep)
    err = tmp_path / "err"
    out = sort_ok([*layout, "-P", arg, "-E", str(err), path])
    assert out == sep.join([records[5], records[3], records[1]]) + sep
    assert err.read_bytes() == sep.join([records[4], records[2], records[0]]) + sep


@pytest.mark.parametrize("how", ["same path", "other spelling", "symlink", "hard link", "new output file",
                                 "existing output file"])
def test_error_file_naming_an_input_or_the_output_is_refused(tmp_path, how):
    data = b"b\na\n"
    path = write(tmp_path, "in", data)
    out = tmp_path / "out"
    err = {"same path": path, "other spelling": os.path.join(str(tmp_path), ".", "in"),
           "symlink": str(tmp_path / "link"), "hard link": str(tmp_path / "hard")}.get(how, str(out))
    if how == "symlink":
        os.symlink(path, err)
    if how == "hard link":
        os.link(path, err)
    if how == "existing output file":
        out.write_bytes(b"keep")
    run = run_tesra(["-K", "0,1", "-O", str(out), "-E", err, path])
    assert run.rc == 1
    assert ERROR_FILE.format(err) in run.messages
    assert (tmp_path / "in").read_bytes() == data


@pytest.mark.parametrize("layout, message", [([], "☆ Cannot create error file [{}]!\n"),
                                             (["-C"], "☆エラーファイル[{}]は作成できません！\n")])
def test_error_file_that_cannot_be_created(tmp_path, layout, message):
    (tmp_path / "folder").mkdir()
    err, out = str(tmp_path / "folder"), tmp_path / "out"
    run = run_tesra([*layout, "-K", "1" if layout else "0,1", "-E", err, "-O", str(out),
                     write(tmp_path, "in", b"b\na\n")])
    assert run.rc == 1
    assert message.format(err) in run.messages
    assert not out.exists()  # nothing sorted, nothing written


@pytest.mark.parametrize("unique, message", [([], "☆ Cannot create output file [{}]! Please check permissions.\n"),
                                             (["-U"], "☆ Cannot create output file [{}]!\n")])
def test_output_file_that_cannot_be_created(tmp_path, unique, message):
    (tmp_path / "folder").mkdir()
    run = run_tesra([*unique, "-O", str(tmp_path / "folder"), write(tmp_path, "in", b"b\na\n")])
    assert run.rc == 1
    assert message.format(tmp_path / "folder") in run.messages


# ---- write errors and inputs that change under the engine ----

def full_device(tmp_path) -> str:
    """/dev/full, through a link when /dev itself is not writable (the folder check would refuse it)."""
    if os.access("/dev", os.W_OK):
        return "/dev/full"
    os.symlink("/dev/full", tmp_path / "full")
    return str(tmp_path / "full")


@pytest.mark.parametrize("records", [3, 100_000], ids=["buffered", "larger-than-the-buffer"])
@pytest.mark.parametrize("unique", [[], ["-U"]])
def test_write_error_on_output_file(tmp_path, records, unique):
    path = write(tmp_path, "in", b"".join(b"%07d\n" % (records - i) for i in range(records)))
    full = full_device(tmp_path)
    run = run_tesra([*unique, "-O", full, path])
    assert run.rc == 1
    assert WRITE_ERROR.format(full) in run.messages
    run = run_tesra([*unique, "-O", full, path], lang="ja_JP.UTF-8")
    assert run.rc == 1
    assert f"☆出力ファイル[{full}]の書き込み中にエラーが発生しました！\n" in run.messages


@pytest.mark.parametrize("layout", [["-K", "0,3"], ["-C", "-K", "2"]])
def test_write_error_on_error_file(tmp_path, layout):
    path = write(tmp_path, "in", b"abc,1\nx\nabcd,2\n")
    full = full_device(tmp_path)
    run = run_tesra([*layout, "-E", full, "-O", str(tmp_path / "out"), path])
    assert run.rc == 1
    assert WRITE_ERROR.format(full) in run.messages


@pytest.mark.parametrize("records", [3, 100_000], ids=["buffered", "larger-than-the-buffer"])
@pytest.mark.parametrize("unique", [[], ["-U"]])
def test_write_error_on_standard_output(tmp_path, records, unique):
    path = write(tmp_path, "in", b"".join(b"%07d\n" % (records - i) for i in range(records)))
    code = "import sys, _tesra; sys.exit(_tesra.tesra(sys.argv[1:]))"
    with open("/dev/full", "wb") as full:
        p = subprocess.run([sys.executable, "-c", code, *unique, path], stdout=full, stderr=subprocess.PIPE,
                           env=engine_env(), timeout=120)
    run = Run(p.returncode, b"", p.stderr)
    assert run.rc == 1
    assert WRITE_ERROR.format("stdout") in run.messages


def test_short_read_fails():
    # sysfs reports a size of a page for files that hold a few bytes: the read comes up short
    path = "/sys/devices/system/cpu/online"
    if not os.path.exists(path) or os.stat(path).st_size <= len(open(path, "rb").read()):
        pytest.skip("no file whose content is shorter than its reported size")
    run = run_tesra([path])
    assert run.rc == 1
    assert READ_ERROR.format(path) in run.messages


def test_input_longer_than_its_checked_size_is_not_sorted_short():
    # procfs reports size 0 for files that hold text: like a file that grew after the size check
    path = "/proc/sys/kernel/ostype"
    content = open(path, "rb").read()
    if os.stat(path).st_size >= len(content):
        pytest.skip("no file whose content is longer than its reported size")
    run = run_tesra([path])
    assert (run.rc == 0 and run.out == content) or (run.rc == 1 and READ_ERROR.format(path) in run.messages), \
        (run.rc, run.out)


# ---- verbose ----

TIMING = r"\[\s*\d+\]ms"


@pytest.mark.parametrize("layout, builder", [(["-L", "2"], "_zs_get_indexList"), ([], "_zs_get_indexList_variable"),
                                             (["-C"], "_zs_get_indexList_csv")])
@pytest.mark.parametrize("stable, sort_line", [([], "不安定ソート"), (["-S"], "安定ソート")])
def test_verbose_timing_lines(tmp_path, layout, builder, stable, sort_line):
    path = write(tmp_path, "in", b"b\na\n")
    run = run_tesra(["-Verbose", *layout, *stable, "-O", str(tmp_path / "out"), path])
    assert run.rc == 0, run.messages
    text = run.messages
    for line in [r"Input file reading took " + TIMING + r"\.\n", rf"\[{builder}\]がかかった" + TIMING + "です。\n",
                 rf"(?<!不){sort_line}がかかった" + TIMING + "です。\n", "出力がかかった" + TIMING + "です。\n",
                 "メモリ解放がかかった" + TIMING + "です。\n"]:
        assert re.search(line, text), line
    assert ("不安定ソートがかかった" in text) == (not stable)
    assert f"入力ファイル[{path}]の読み込みは完了しました。\n" in text
    assert (tmp_path / "out").read_bytes() == b"a\nb\n"


# ---- order ----

@pytest.mark.parametrize("layout, make", [(["-C", "-K", "1n"], lambda v: v),
                                          (["-K", "1,5n"], lambda v: b"#" + (v + b"     ")[:5])])
def test_numeric_keys(tmp_path, layout, make):
    values = [b"+08", b"zz", b"7", b"12.5", b"  -42", b"0", b"12", b""]
    path = write(tmp_path, "in", b"".join(make(v) + b"\n" for v in values))
    out = sort_ok([*layout, "-S", path]).split(b"\n")[:-1]
    # "  -42" < letters == 0 == empty (input order kept) < 7 < +08 < 12.5 == 12
    assert out == [make(v) for v in [b"  -42", b"zz", b"0", b"", b"7", b"+08", b"12.5", b"12"]]


def test_numeric_key_reads_only_its_bytes(tmp_path):
    path = write(tmp_path, "in", b" 99000\n 10999\n 50000\n")
    assert sort_ok(["-K", "0,3n", "-S", path]) == b" 10999\n 50000\n 99000\n"
    # values past 32 bits keep their order: nothing wraps
    path = write(tmp_path, "wrap", b"4294967301\n6\n2147483648\n-7\n")
    assert sort_ok(["-C", "-K", "1n", path]) == b"-7\n6\n2147483648\n4294967301\n"


@pytest.mark.parametrize("direction, expected", [("", b"a,ab\nb,abc\nc,b\n"), ("d", b"c,b\nb,abc\na,ab\n")])
def test_csv_byte_key_length_rule(tmp_path, direction, expected):
    path = write(tmp_path, "in", b"b,abc\nc,b\na,ab\n")
    assert sort_ok(["-C", "-K", "2" + direction, path]) == expected


def test_empty_columns_last_with_descending_keys(tmp_path):
    path = write(tmp_path, "in", b",2\nb,\na,9\n,1\nc,5\n")
    out = sort_ok(["-C", "-N", "-K", "1d", "-K", "2n", path])
    # empty key 1 last whatever the direction; two empties fall through to key 2
    assert out == b"c,5\nb,\na,9\n,1\n,2\n"
    # descending numbers or bytes: still the empty column last
    assert sort_ok(["-C", "-N", "-K", "2d", "-K", "1", path]) == b"a,9\nc,5\n,2\n,1\nb,\n"


@pytest.mark.parametrize("direction, expected", [("-A", [b"a,b", b"a,b,c", b"a,c"]), ("-R", [b"a,c", b"a,b,c", b"a,b"])])
def test_whole_record_csv_order(tmp_path, direction, expected):
    path = write(tmp_path, "in", b"a,c\na,b\na,b,c\n")
    assert sort_ok(["-C", direction, path]) == b"".join(r + b"\n" for r in expected)


# ---- -U ----

@pytest.mark.parametrize("layout, recs", [
    (["-L", "3", "-K", "0,1"], [b"k1.", b"j2.", b"k3.", b"k4."]),
    (["-K", "0,1"], [b"k1\n", b"j2\n", b"k3\n", b"k4\n"]),
    (["-C", "-K", "1"], [b"k,1\n", b"j,2\n", b"k,3\n", b"k,4\n"]),
])
def test_unique_keeps_the_first_of_each_run(tmp_path, layout, recs):
    path = write(tmp_path, "in", b"".join(recs))
    assert sort_ok([*layout, "-U", "-S", path]) == recs[1] + recs[0]  # first in input order
    out = sort_ok([*layout, "-U", path])
    assert out[:len(recs[1])] == recs[1] and out[len(recs[1]):] in recs[::2] + [recs[3]]


def test_unique_numeric_key(tmp_path):
    path = write(tmp_path, "in", b"12,a\n123,b\n012,c\n 12,d\n")
    assert sort_ok(["-C", "-K", "1n", "-U", "-S", path]) == b"12,a\n123,b\n"
    path = write(tmp_path, "rev", b"123,b\n12,a\n")
    assert sort_ok(["-C", "-K", "1n", "-U", path]) == b"12,a\n123,b\n"


def test_csv_flag_with_record_length_sorts_fixed_records(tmp_path):
    # fixed length wins completely: fixed key grammar, no delimiter, no header line
    path = write(tmp_path, "in", b"hd,xzz,1aa,2")
    assert sort_ok(["-C", "-H", "-L", "4", "-K", "0,2", path]) == b"aa,2hd,xzz,1"
    assert sort_ok(["-C", "-L", "4", "-K", "3,1nd", path]) == b"aa,2zz,1hd,x"


def test_unique_keeps_an_empty_numeric_column_apart_from_zero_under_n(tmp_path):
    # -N sorts an empty key column apart from a 0, so the two are not duplicates either.
    path = write(tmp_path, "in.csv", b"x,0\ny,\nz,00\n")
    assert sort_ok(["-C", "-N", "-U", "-K", "2n", path]) == b"x,0\ny,\n"
