"""Option scanning and loading: grammar, values, trimming, -W / -L forms and the verbose echo."""

import pytest

from conftest import run_tesra
from frontend import JP_ONLY, START, check_failure, dumps, field, is_ja, lang_cases, syntax_failure, t

PROC = {"C": "\n--- Argument processing started.--- \n", "ja_JP.UTF-8": "\n--- 引数処理は開始します。--- \n"}


def loaded(args, cwd, **kw):
    """Settings dump after loading of a verbose run (the run itself may fail later)."""
    r = run_tesra(["-Verbose", *args], cwd=cwd, **kw)
    ds = dumps(r)
    assert ds, r.messages
    return ds[0]


def checked(args, cwd, **kw):
    """Settings dump after checking of a verbose run."""
    r = run_tesra(["-Verbose", *args], cwd=cwd, **kw)
    ds = dumps(r)
    assert len(ds) == 2, r.messages
    return ds[1]


@pytest.fixture
def csv(tmp_path):
    (tmp_path / "in.csv").write_bytes(b"x,3,b\ny,1,a\nz,2,c\n")
    return tmp_path


# --- grammar ----------------------------------------------------------------------------------

@pytest.mark.parametrize("args", [["-CSU"], ["-csu"], ["-C", "-S", "-U"], ["-CS", "-u"]])
def test_flags_cluster(csv, args):
    d = loaded([*args, "in.csv"], csv)
    assert (field(d, "bCsv"), field(d, "bStabilize"), field(d, "bUnique")) == ("1", "1", "1")


@pytest.mark.parametrize("args", [["-C", "-K2"], ["-C", "-K", "2"], ["-CK2"], ["-CK", "2"], ["-c", "-k", "2"]])
def test_values_attached_or_separate_give_the_same_key(csv, args):
    r = run_tesra([*args, "in.csv"], cwd=csv)
    assert (r.rc, r.out) == (0, b"y,1,a\nz,2,c\nx,3,b\n")


def test_first_non_option_ends_the_options(csv):
    r = run_tesra(["-C", "in.csv", "-K", "2"], cwd=csv)
    assert r.messages == check_failure("C", t("stat", "C", 2, "-K"))


@pytest.mark.parametrize("args,missing", [(["-C", "--", "-K"], "-K"), (["--", "-C"], "-C"), (["-"], "-"),
                                          (["", "-C"], "")])
def test_double_dash_and_lone_dash_start_the_input_files(csv, args, missing):
    r = run_tesra(args, cwd=csv)
    assert r.messages == check_failure("C", t("stat", "C", 1, missing))


def test_double_dash_then_file_sorts(csv):
    r = run_tesra(["-C", "-K", "3", "--", "in.csv"], cwd=csv)
    assert (r.rc, r.out) == (0, b"y,1,a\nx,3,b\nz,2,c\n")


def test_v_consumes_the_next_argument_as_its_value(csv):
    # -C is the value of -V, so the records are not CSV and "2" is not a byte key.
    r = run_tesra(["-V", "-C", "-K", "2", "in.csv"], cwd=csv)
    assert r.messages == check_failure("C", JP_ONLY["keytext"] % "2")


@pytest.mark.parametrize("letter", ["-h", "-H"])
def test_h_in_either_case_sets_the_header_flag(csv, letter):
    assert field(loaded(["-C", letter, "in.csv"], csv), "bHeader") == "1"


@pytest.mark.parametrize("args,rec_sort,out", [
    (["-A", "-R"], "1", b"x,3,b\ny,1,a\nz,2,c\n"),
    (["-R", "-A"], "2", b"z,2,c\ny,1,a\nx,3,b\n"),
    (["-r"], "2", b"z,2,c\ny,1,a\nx,3,b\n"),
])
def test_first_of_a_and_r_wins(csv, args, rec_sort, out):
    assert field(loaded([*args, "in.csv"], csv), "bRecSort") == rec_sort
    r = run_tesra([*args, "in.csv"], cwd=csv)
    assert (r.rc, r.out) == (0, out)


def test_a_with_keys_ignores_the_keys(csv):
    r = run_tesra(["-Verbose", "-C", "-A", "-K", "2", "-K", "3d", "in.csv"], cwd=csv)
    first, second = dumps(r)
    assert field(first, "keyNums") == "2"
    assert '  [1] cmt="3d", pos=0, len=0, type=0, seq=0\n' in first
    assert field(second, "keyNums") == "0" and field(second, "bRecSort") == "1"
    # The key array exists, so no NULL line, but no key lines either.
    assert "\n--- Sort Keys (arrSortKey) ---\n\n--- CSV / Variable settings ---\n" in second
    assert r.out.endswith(b"x,3,b\ny,1,a\nz,2,c\n")


def test_later_value_replaces_earlier_and_every_k_adds_a_key(csv):
    d = checked(["-C", "-O", "a.out", "-O", "b.out", "-K", "2", "-K", "3", "-D", ";", "-D", ",", "in.csv"], csv)
    assert "\n--- outFile ---\n  path          = b.out\n" in d
    assert field(d, "keyNums") == "2"
    assert 'delimiter      = "," (len=1)' in d
    assert (csv / "b.out").read_bytes() == b"y,1,a\nz,2,c\nx,3,b\n"
    assert not (csv / "a.out").exists()


# --- trimming ---------------------------------------------------------------------------------

@pytest.mark.parametrize("value", [" 3d ", "\t3d\t", "\v\f3d\r\n", "3d"])
def test_values_are_trimmed_of_blanks(csv, value):
    d = checked(["-C", "-K", value, "in.csv"], csv)
    assert '  [0] cmt="3", pos=3, len=0, type=1, seq=2\n' in d
    r = run_tesra(["-C", "-K", value, "-O", " out.csv ", "in.csv"], cwd=csv)
    assert r.rc == 0
    assert (csv / "out.csv").read_bytes() == b"z,2,c\nx,3,b\ny,1,a\n"


def test_non_ascii_blank_is_not_trimmed(csv):
    # U+3000 is a blank in Japanese text but not one of the option blanks.
    r = run_tesra(["-C", "-K", "\u30002", "in.csv"], cwd=csv)
    assert r.messages == check_failure("C", t("key", "C", 1))


@pytest.mark.parametrize("lang,opt,value", lang_cases(
    [("-P", " "), ("-P", ""), ("-P", "\t \n"), ("-D", " "), ("-D", ""), ("-D", "\t \n")], ja=[0, 3]))
def test_empty_newline_code_or_delimiter_is_rejected(csv, lang, opt, value):
    r = run_tesra(["-C", opt, value, "in.csv"], cwd=csv, lang=lang)
    assert r.rc == 1
    assert r.messages == syntax_failure(lang, t("opt", lang, ""))


# --- -W -------------------------------------------------------------------------------------

@pytest.mark.parametrize("value,size,mb", [
    ("64M", 67108864, 64),
    ("64m", 67108864, 64),
    ("1024K", 1048576, 1),
    ("1024k", 1048576, 1),
    ("67108864", 67108864, 64),
    ("1048577", 1048577, 2),
    (" 16M ", 16777216, 16),
    ("2047M", 2146435072, 2047),
    ("2147483647", 2147483647, 2048),
    ("0001K", 1024, 1),
    ("64MB", 67108864, 64),  # the usage text's own examples
    ("1024KB", 1048576, 1),
    ("2mB", 2097152, 2),
    # Past 2 GiB and 4 GiB, up to 2^50 bytes: never wrapped into 32 bits.
    ("2048M", 2**31, 2048),
    ("4097M", 4097 << 20, 4097),
    ("2147483648", 2**31, 2048),
    ("4294967297", 2**32 + 1, 4097),
    ("3G", 3 << 30, 3072),
    ("12gb", 12 << 30, 12288),
    ("1Gb", 1 << 30, 1024),
    ("1048576G", 2**50, 2**30),
])
def test_w_forms_accepted(tmp_path, value, size, mb):
    # The missing input stops the run after loading: the pool is never created.
    r = run_tesra(["-Verbose", "-W", value, "nofile"], cwd=tmp_path)
    assert r.messages.startswith(START + "バッファサイズ：[%dMB]\n" % mb)
    (d,) = dumps(r)
    assert field(d, "totalMemSize") == str(size)


@pytest.mark.parametrize("lang,value,shown", lang_cases([
    ("6xK", "6x"),  # the suffix letter is cut off in the message
    ("6xKB", "6x"),
    ("64B", "64B"),
    ("6xk", "6x"),
    ("K", ""),
    ("", ""),
    ("-5", "-5"),
    ("+5", "+5"),
    ("1.5M", "1.5"),
    ("0x10", "0x10"),
    ("64T", "64T"),
    ("６４M", "６４"),  # full-width digits are not digits
], ja=[0, 1, 11]))
def test_w_forms_rejected_as_invalid_option(tmp_path, lang, value, shown):
    r = run_tesra(["-W", value, "in.txt"], cwd=tmp_path, lang=lang)
    assert r.rc == 1
    assert r.messages == syntax_failure(lang, t("wopt", lang, shown))


@pytest.mark.parametrize("lang,value,shown", lang_cases([
    ("0", "0"),
    ("0K", "0K"),
    ("0m", "0M"),  # the suffix comes back upper case
    ("0g", "0G"),
    ("1048577G", "1048577G"),  # past 2^50 bytes: more than any machine has
    ("1125899906842625", "1125899906842625"),
    ("17179869184G", "17179869184G"),  # 2^64 bytes: would wrap to 0
    ("18446744073709551616", "18446744073709551616"),
    ("99999999999999999999999", "99999999999999999999999"),
], ja=[2, 4]))
def test_w_sizes_rejected_as_invalid_buffer_size(tmp_path, lang, value, shown):
    r = run_tesra(["-W", value, "in.txt"], cwd=tmp_path, lang=lang)
    assert r.rc == 1
    assert r.messages == syntax_failure(lang, t("wsize", lang, shown))


# --- -L -------------------------------------------------------------------------------------

@pytest.mark.parametrize("lang,value", lang_cases(
    ["12a", "", "-1", "+5", "1 2", "0x10", "2147483648", "99999999999999999999"], ja=[0, 6], other=[0]))
def test_l_rejected_with_the_japanese_text_in_every_language(tmp_path, lang, value):
    r = run_tesra(["-L", value, "in.txt"], cwd=tmp_path, lang=lang)
    assert r.rc == 1
    assert r.messages == syntax_failure(lang, JP_ONLY["lopt"] % value.strip())


@pytest.mark.parametrize("value,rec_len", [("0", "0"), (" 12 ", "12"), ("2147483647", "2147483647"), ("007", "7")])
def test_l_accepted(tmp_path, value, rec_len):
    r = run_tesra(["-Verbose", "-L", value, "nofile"], cwd=tmp_path)
    assert r.messages.startswith(START + "レコード長は: %s\n" % rec_len)
    (d,) = dumps(r)
    assert field(d, "recLen") == rec_len


# --- verbose echo ---------------------------------------------------------------------------

@pytest.mark.parametrize("lang,opts,en,ja", lang_cases([
    (["-C"], "-C\n", None),
    (["-c"], "-c\n", None),  # the letter as typed
    (["-S", "-u", "-N", "-M"], "-S\n-u\n-N\n-M\n", None),
    (["-A"], "☆ Sort all records in ascending order\n", "☆全レコードを昇順ソート\n"),
    (["-R"], "☆ Sort all records in descending order\n", "☆全レコードを降順ソート\n"),
    (["-h"], "☆ Treat first line as header\n", "☆先頭の行をヘッダとして扱う\n"),
    (["-W", "1024K"], "バッファサイズ：[1MB]\n", None),
    (["-L", "12"], "レコード長は: 12\n", None),
    (["-P", " \\r\\n"], "入力データの改行コードは: \\r\\n\n", None),
    (["-D", ";"], "ソートの区切りとしてのデリミタは: ;\n", None),
    (["-T", "tdir"], "一時フォルダは: tdir/\n", None),
    (["-K", " 1,2 ", "-K3"], "ソートキー1は:1,2\nソートキー2は:3\n", None),
    (["-O", "o.txt"], "出力ファイルは: o.txt\n", None),
    (["-E", "e.txt"], "エラーファイルは: e.txt\n", None),
    (["-V", "x"], "", None),  # any other -V value is ignored
], ja=[3, 4, 5, 6, 11]))
def test_verbose_echo_of_each_option(tmp_path, lang, opts, en, ja):
    # -O before -Verbose is not echoed; with it the diagnostics of standard output stay there.
    r = run_tesra(["-O", "out.txt", "-Verbose", *opts, "nofile", "nofile2"], cwd=tmp_path, lang=lang)
    echo = ja if is_ja(lang) and ja is not None else en
    files = "入力ファイル1のパスは: nofile\n入力ファイル2のパスは: nofile2\n"
    assert r.messages.startswith(START + echo + files + PROC[lang])


def test_options_before_verbose_are_not_echoed(tmp_path):
    r = run_tesra(["-C", "-K", "1", "-A", "-O", "out.txt", "-Verbose", "-S", "-K", "2", "nofile"], cwd=tmp_path)
    assert r.messages.startswith(START + "-S\nソートキー2は:2\n入力ファイル1のパスは: nofile\n" + PROC["C"])
