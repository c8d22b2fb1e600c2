"""Argument checking: newline codes, delimiters, -C with -L, record sizes, sort keys, input
files of any size and pipes, folders, the error file and the temporary file name."""

import os
import re

import pytest

from conftest import engine_env, run_code, run_tesra
from frontend import JP_ONLY, LANGS, check_failure, dumps, field, lang_cases, t


def checked(args, cwd, env=None, stdin=None):
    """Settings dump after checking of a verbose run, and the run."""
    r = run_tesra(["-Verbose", *args], cwd=cwd, env=env, stdin=stdin)
    ds = dumps(r)
    assert len(ds) == 2, r.messages
    return ds[1], r


def sparse(path, size: int) -> None:
    with open(path, "wb") as f:
        f.truncate(size)


# --- newline codes and delimiters -----------------------------------------------------------

@pytest.mark.parametrize("args,sep", [([], "\n"), (["-P", "\\n"], "\n"), (["-P", "\\r"], "\r"),
                                      (["-P", "\\r\\n"], "\r\n")])
def test_newline_codes(tmp_path, args, sep):
    data = sep.join(["b", "c", "a"]) + sep
    (tmp_path / "in.txt").write_bytes(data.encode())
    d, r = checked([*args, "in.txt"], tmp_path)
    assert 'sep            = "%s" (len=%d)\n' % (sep, len(sep)) in d
    assert r.rc == 0
    assert r.out.endswith(sep.join(["a", "b", "c"]).encode() + sep.encode())


@pytest.mark.parametrize("lang,value", lang_cases(["\\n\\r", "xyz", "\\R", "\\r\\n\\r\\n", "\\N", "\\t"], ja=[0]))
def test_other_newline_codes_are_rejected(tmp_path, lang, value):
    (tmp_path / "in.txt").write_bytes(b"a\n")
    r = run_tesra(["-P", value, "in.txt"], cwd=tmp_path, lang=lang)
    assert r.rc == 1
    assert r.messages == check_failure(lang, t("newline", lang, value.strip()))


def test_fixed_length_ignores_the_newline_code(tmp_path):
    (tmp_path / "e.dat").write_bytes(b"")
    d, r = checked(["-L", "80", "-P", "xyz", "e.dat"], tmp_path)
    assert 'sep            = "xyz" (len=0)\n' in d and field(d, "bFixVar") == "1"
    assert r.rc == 0


@pytest.mark.parametrize("args,delim", [
    (["-C"], ","),
    (["-C", "-D", "\\t"], "\t"),
    (["-C", "-D", ";;"], ";;"),
    (["-C", "-D", "\\n"], "\\n"),  # only \t is an escape
])
def test_csv_delimiters(tmp_path, args, delim):
    rows = [["x", "3"], ["y", "1"], ["z", "2"]]
    (tmp_path / "in.csv").write_bytes("".join(delim.join(r) + "\n" for r in rows).encode())
    d, r = checked([*args, "-K", "2", "in.csv"], tmp_path)
    assert 'delimiter      = "%s" (len=%d)\n' % (delim, len(delim)) in d
    assert r.out.endswith("".join(delim.join(r) + "\n" for r in (rows[1], rows[2], rows[0])).encode())


@pytest.mark.parametrize("args", [["-D", ";"], ["-C", "-L", "4"], ["-C", "-L", "4", "-D", ";"]])
def test_delimiter_untouched_without_csv_layout(tmp_path, args):
    (tmp_path / "e.dat").write_bytes(b"")
    d, _ = checked([*args, "e.dat"], tmp_path)
    value = ";" if "-D" in args else "(null)"
    assert 'delimiter      = "%s" (len=0)\n' % value in d


# --- -C with -L: fixed-length wins ----------------------------------------------------------

def test_csv_with_record_length_sorts_fixed_records_by_bytes(tmp_path):
    # Commas and the header flag mean nothing to fixed-length records.
    (tmp_path / "in.dat").write_bytes(b"zz,9aa,2bb,0")
    d, r = checked(["-C", "-H", "-L", "4", "-K", "0,2", "in.dat"], tmp_path)
    assert '  [0] cmt="0,2", pos=0, len=2, type=1, seq=1\n' in d
    assert field(d, "keyMaxPos") == "2" and field(d, "totalRecNum") == "3"
    assert r.rc == 0
    assert r.out.endswith(b"aa,2bb,0zz,9")


def test_csv_with_record_length_uses_the_byte_key_grammar(tmp_path):
    (tmp_path / "in.dat").write_bytes(b"bbbbaaaa")
    r = run_tesra(["-C", "-L", "4", "-K", "1", "in.dat"], cwd=tmp_path)
    assert r.messages == check_failure("C", JP_ONLY["keytext"] % "1")


# --- fixed-length sizes ---------------------------------------------------------------------

@pytest.mark.parametrize("lang", LANGS)
@pytest.mark.parametrize("size", [1050, 2**32 + 50])  # past 4 GiB: shown whole, not as 50
def test_fixed_size_not_a_multiple_of_the_record_length(tmp_path, lang, size):
    (tmp_path / "a.dat").write_bytes(b"x" * 1000)
    sparse(tmp_path / "b.dat", size)
    r = run_tesra(["-L", "100", "a.dat", "b.dat"], cwd=tmp_path, lang=lang)
    # The Japanese text names the file first.
    text = "☆入力ファイル2のサイズ[%d]は不正です！\n" if lang != "C" else "☆ Invalid size [%d] for input file 2!\n"
    assert r.messages == check_failure(lang, text % size)


def test_fixed_record_count_and_total_size(tmp_path):
    (tmp_path / "a.dat").write_bytes(b"x" * 1000)
    (tmp_path / "b.dat").write_bytes(b"y" * 500)
    d, r = checked(["-L", "100", "-O", "out", "a.dat", "b.dat"], tmp_path)
    assert (field(d, "totalRecNum"), field(d, "totalFileSize")) == ("15", "1500")
    assert r.rc == 0


# --- sort keys ------------------------------------------------------------------------------

@pytest.mark.parametrize("lang,key", lang_cases(["5", "5d", "", "x"], ja=[0]))
def test_byte_key_without_comma_is_refused_in_japanese_in_every_language(tmp_path, lang, key):
    (tmp_path / "in.txt").write_bytes(b"a\n")
    r = run_tesra(["-K", key, "in.txt"], cwd=tmp_path, lang=lang)
    assert r.messages == check_failure(lang, JP_ONLY["keytext"] % key)


@pytest.mark.parametrize("lang,args,n", lang_cases([
    (["-C", "-K", "0"], 1),
    (["-C", "-K", "1", "-K", "0d"], 2),
    (["-C", "-K", ""], 1),
    (["-C", "-K", "x"], 1),
    (["-C", "-K", "+3"], 1),  # digits only: no sign
    (["-C", "-K", "-3"], 1),
    (["-C", "-K", "2147483648"], 1),
    (["-C", "-K", "4294967297"], 1),  # would wrap to column 1
    (["-L", "10", "-K", "5,6"], 1),
    (["-L", "10", "-K", "0,1", "-K", "5,6"], 2),
    (["-L", "10", "-K", "2147483647,1"], 1),  # pos + len would wrap below the record length
    (["-L", "10", "-K", "4294967296,2"], 1),  # pos would wrap to 0
    (["-K", "2147483647,1"], 1),
    (["-K", "2147483648,0"], 1),
    (["-K", "0,2147483648"], 1),
    (["-K", "1,2147483647"], 1),
], ja=[0, 8, 10]))
def test_invalid_keys(tmp_path, lang, args, n):
    (tmp_path / "in.dat").write_bytes(b"0123456789")
    r = run_tesra([*args, "in.dat"], cwd=tmp_path, lang=lang)
    assert r.rc == 1
    assert r.messages == check_failure(lang, t("key", lang, n))


def test_key_ending_at_the_record_end_is_valid(tmp_path):
    (tmp_path / "in.dat").write_bytes(b"aaaa999999bbbb000000")
    r = run_tesra(["-L", "10", "-K", "4,6", "in.dat"], cwd=tmp_path)
    assert (r.rc, r.out) == (0, b"bbbb000000aaaa999999")


@pytest.mark.parametrize("args,lines,max_pos", [
    (["-K", "0,10", "-K", "20,5d"],
     ['  [0] cmt="0,10", pos=0, len=10, type=1, seq=1', '  [1] cmt="20,5", pos=20, len=5, type=1, seq=2'], "25"),
    (["-K", "3,2na", "-K", "1,0"],
     ['  [0] cmt="3,2", pos=3, len=2, type=2, seq=1', '  [1] cmt="1,0", pos=1, len=0, type=1, seq=1'], "5"),
    (["-K", "2147483646,1"], ['  [0] cmt="2147483646,1", pos=2147483646, len=1, type=1, seq=1'], "2147483647"),
    (["-C", "-K", "3nd"], ['  [0] cmt="3", pos=3, len=0, type=2, seq=2'], "0"),
    (["-C", "-K", "3dn"], ['  [0] cmt="3d", pos=3, len=0, type=2, seq=1'], "0"),
    (["-C", "-K", "3tn"], ['  [0] cmt="3", pos=3, len=0, type=3, seq=1'], "0"),
    (["-C", "-K", "3TND"], ['  [0] cmt="3", pos=3, len=0, type=3, seq=2'], "0"),
    (["-C", "-K", "3n d"], ['  [0] cmt="3n ", pos=3, len=0, type=1, seq=2'], "0"),
    (["-C", "-K", "2147483647"], ['  [0] cmt="2147483647", pos=2147483647, len=0, type=1, seq=1'], "0"),
    # Numbers are leading ASCII digits only: no blank, no sign.
    (["-K", "1, 2"], ['  [0] cmt="1, 2", pos=1, len=0, type=1, seq=1'], "0"),
    (["-K", "+1,-2"], ['  [0] cmt="+1,-2", pos=0, len=0, type=1, seq=1'], "0"),
    (["-K", "2x,3yd"], ['  [0] cmt="2x,3y", pos=2, len=3, type=1, seq=2'], "5"),
])
def test_key_parsing(tmp_path, args, lines, max_pos):
    (tmp_path / "e.txt").write_bytes(b"")
    d, _ = checked([*args, "e.txt"], tmp_path)
    assert "\n--- Sort Keys (arrSortKey) ---\n" + "".join(line + "\n" for line in lines) + "\n---" in d
    assert field(d, "keyMaxPos") == max_pos


# --- input files ----------------------------------------------------------------------------

@pytest.mark.parametrize("lang", LANGS)
def test_missing_input_file_names_its_number_and_path(tmp_path, lang):
    (tmp_path / "a.txt").write_bytes(b"a\n")
    r = run_tesra(["a.txt", "sub/missing.txt", "a.txt"], cwd=tmp_path, lang=lang)
    assert r.rc == 1
    assert r.messages == check_failure(lang, t("stat", lang, 2, "sub/missing.txt"))
    assert r.out == b""


def test_input_that_is_a_folder_fails_the_size_check(tmp_path):
    os.mkdir(tmp_path / "x")
    r = run_tesra(["x"], cwd=tmp_path, timeout=20)
    assert r.messages == check_failure("C", t("stat", "C", 1, "x"))


def test_pipe_inputs_are_read_as_standard_input_is(tmp_path):
    # /dev/stdin fed by a pipe, beside a file: read once, to its end, its size never known.
    (tmp_path / "a.txt").write_bytes(b"b\nd\n")
    d, r = checked(["a.txt", "/dev/stdin"], tmp_path, stdin=b"c\na")
    assert r.rc == 0, r.messages
    assert r.out.endswith(b"a\nb\nc\nd\n")
    assert field(d, "totalFileSize") == "4"  # the pipe's bytes are not known at the check
    assert "stat" not in r.messages


@pytest.mark.parametrize("sizes", [
    [2**31],
    [3 << 29, 3 << 29],  # 1.5 GiB each
    [1, 2**31 - 2, 1],
    [2**30, 2**30 - 1],
    [2**32 + 5],  # would look like 5 bytes in 32 bits
])
def test_inputs_of_2_gib_and_more_pass_the_check(tmp_path, sizes):
    names = []
    for i, size in enumerate(sizes):
        sparse(tmp_path / f"f{i}", size)
        names.append(f"f{i}")
    # A small budget: the run stops at its first load of the large file, a line of NUL bytes
    # longer than a load, refused as a record and not as input.
    d, r = checked(["-W", "16M", "-O", "out", *names], tmp_path, env=engine_env(TEMP=str(tmp_path)))
    assert field(d, "totalFileSize") == str(sum(sizes))
    assert all("  size          = %d\n" % size in d for size in sizes)
    assert "2GB" not in r.messages
    assert r.rc == 1 and "☆ Invalid record length detected! \n" in r.messages


# --- folders --------------------------------------------------------------------------------

@pytest.mark.parametrize("lang", LANGS)
@pytest.mark.parametrize("args,name,shown", [
    (["-O", "nodir/out.txt"], "outdir", "nodir/"),
    (["-O", "sub/nodir/out.txt"], "outdir", "sub/nodir/"),
    (["-O", "in.txt/out.txt"], "outdir", "in.txt/"),  # a file is not a folder
    (["-E", "nodir/err.txt"], "errdir", "nodir/"),
    (["-T", "nodir"], "tmpdir", "nodir/"),
    (["-T", "sub/"], "tmpdir", "sub//"),
])
def test_missing_folders(tmp_path, lang, args, name, shown):
    os.mkdir(tmp_path / "sub2")
    (tmp_path / "in.txt").write_bytes(b"a\n")
    r = run_tesra([*args, "in.txt"], cwd=tmp_path, lang=lang)
    assert r.messages == check_failure(lang, t(name, lang, shown))


def test_missing_temp_folder_from_the_environment(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"a\n")
    missing = str(tmp_path / "gone")
    r = run_tesra(["in.txt"], cwd=tmp_path, env=engine_env(TEMP=missing))
    assert r.messages == check_failure("C", t("tmpdir", "C", missing + "/"))


def test_paths_are_split_at_the_last_slash(tmp_path):
    os.makedirs(tmp_path / "in" / "deep")
    os.mkdir(tmp_path / "o")
    (tmp_path / "in" / "deep" / "a.txt").write_bytes(b"b\na\n")
    (tmp_path / "b.txt").write_bytes(b"c\n")
    d, r = checked(["-O", "o/out.txt", "-E", "o/err.txt", "in/deep/a.txt", "b.txt"], tmp_path)
    assert ("\n--- outFile ---\n  path          = o/out.txt\n  dir           = o/\n"
            "  fileName      = out.txt\n  size          = 0\n") in d
    assert "\n--- errFile ---\n  path          = o/err.txt\n  dir           = o/\n  fileName      = err.txt\n" in d
    assert ("  [0]\n\n--- InputFile ---\n  path          = in/deep/a.txt\n  dir           = in/deep/\n"
            "  fileName      = a.txt\n  size          = 4\n  outSize       = 0\n") in d
    assert "  [1]\n\n--- InputFile ---\n  path          = b.txt\n  dir           = (null)\n  fileName      = b.txt\n" in d
    assert field(d, "maxCsvNum") == "0"
    assert r.rc == 0 and (tmp_path / "o" / "out.txt").read_bytes() == b"a\nb\nc\n"
    # The error-file lines are printed twice with -E, the output lines once.
    assert r.messages.count("Error folder: o/\nError file name: err.txt\n") == 2
    assert r.messages.count("出力フォルダ: o/\n出力ファイル名: out.txt\n") == 1


def test_dump_without_output_or_error_file_shows_null_texts(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"a\n")
    d, r = checked(["in.txt"], tmp_path)
    for label in ("outFile", "errFile"):
        assert ("\n--- %s ---\n  path          = (null)\n  dir           = (null)\n  fileName      = (null)\n"
                % label) in d
    assert 'header         = "(null)" (len=0)\n' in d and "quote          = '\"'\n" in d
    assert field(d, "maxCsvNum") == "0"
    assert "Error folder: (null)\nError file name: (null)\n" in r.messages


# --- the error file must not overwrite an input or the output -------------------------------

@pytest.mark.parametrize("lang", LANGS)
@pytest.mark.parametrize("args,shown", [
    (["-E", "in.txt", "in.txt"], "in.txt"),
    (["-E", "./in.txt", "other.txt", "in.txt"], "./in.txt"),
    (["-E", "out.txt", "-O", "out.txt", "in.txt"], "out.txt"),
    (["-E", "./new.txt", "-O", "new.txt", "in.txt"], "./new.txt"),  # neither exists yet
])
def test_error_file_naming_an_input_or_the_output_is_refused(tmp_path, lang, args, shown):
    (tmp_path / "in.txt").write_bytes(b"abc\nx\n")
    (tmp_path / "other.txt").write_bytes(b"q\n")
    (tmp_path / "out.txt").write_bytes(b"keep\n")
    r = run_tesra(["-K", "0,2", *args], cwd=tmp_path, lang=lang)
    assert r.messages == check_failure(lang, t("errfile", lang, shown))
    assert (tmp_path / "in.txt").read_bytes() == b"abc\nx\n"
    assert (tmp_path / "out.txt").read_bytes() == b"keep\n"
    assert not (tmp_path / "new.txt").exists()


def test_error_file_elsewhere_receives_short_records(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"bc\nx\nab\n")
    # A record's length counts its newline code: "x\n" is shorter than the key end 3.
    r = run_tesra(["-K", "0,3", "-E", "err.txt", "in.txt"], cwd=tmp_path)
    assert (r.rc, r.out) == (0, b"ab\nbc\n")
    assert (tmp_path / "err.txt").read_bytes() == b"x\n"


# --- temporary folder -----------------------------------------------------------------------

TMP_RUN = "import os, sys, _tesra\nr = _tesra.tesra(sys.argv[1:])\nprint('pid', os.getpid())\n"


@pytest.mark.parametrize("temp,tmpdir,args,expect", [
    ("t1", "t2", [], "t1"),
    (None, "t2", [], "t2"),
    ("", "t2", [], "t2"),  # an empty variable does not count
    (None, None, [], "/tmp"),
    ("t1", "t2", ["-T", "t3"], "t3"),
    ("t1", None, ["-T", "t3/"], "t3//"),
])
def test_temporary_file_name(tmp_path, temp, tmpdir, args, expect):
    for d in ("t1", "t2", "t3"):
        os.mkdir(tmp_path / d)
    (tmp_path / "in.txt").write_bytes(b"a\n")
    extra = {k: (v if v in (None, "") else str(tmp_path / v)) for k, v in (("TEMP", temp), ("TMPDIR", tmpdir))}
    env = engine_env(**{k: v for k, v in extra.items() if v is not None})
    r = run_code(TMP_RUN, "-Verbose", *args, "in.txt", cwd=tmp_path, env=env)
    pid = int(re.search(rb"pid (\d+)\n", r.out).group(1))
    folder = expect if expect.startswith("/") or args else str(tmp_path / expect)
    if not folder.endswith("/"):
        folder += "/"
    (_, d) = dumps(r)
    assert ("\n--- tmpFile ---\n  path          = %stesra_%d.tmp\n  dir           = %s\n"
            "  fileName      = tesra_%d.tmp\n" % (folder, pid, folder, pid)) in d
    assert "一時パス: %stesra_%d.tmp\n" % (folder, pid) in r.messages
    assert not os.path.exists(folder + "tesra_%d.tmp" % pid)  # checking creates nothing
