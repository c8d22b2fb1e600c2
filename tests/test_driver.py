"""The run driver: start line, --help, syntax-error tail, version path, pool sizing, the verbose
run, repeated runs in one process, and the message layer's language and encoding rules."""

import json
import os
import re

import pytest

from conftest import ECHO_MARK, engine_env, run_code, run_tesra
from frontend import (DUMP_CLOSE, END, ILLEGAL, LANGS, NEEDS_ARG, START, STAR, assert_in_order, check_failure,
                      dumps, field, is_ja, syntax_failure, t, usage)

MiB = 1 << 20
RULE = "-" * 60 + "\n"
TS = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d "  # the timestamp text, with its one trailing blank

# Runs every argument list given as a JSON text in sys.argv[1:], one after the other in this
# process, and prints each result and the process id after the last one.
RUN_ALL = """
import json, os, sys, time, _tesra
for a in sys.argv[1:]:
    if a == "sleep":
        time.sleep(0.4)
        continue
    r = _tesra.tesra(json.loads(a))
    sys.stdout.flush()
    print("result", r, flush=True)
print("pid", os.getpid())
"""


def run_all(*arg_lists, **kw):
    return run_code(RUN_ALL, *[a if a == "sleep" else json.dumps(a) for a in arg_lists], **kw)


def runs_of(err: bytes) -> list[str]:
    """Standard error of each run of a process, without its echo block."""
    parts = err.split(ECHO_MARK)
    return [parts[i].decode("cp932") for i in range(2, len(parts), 2)]


def write_lines(path, size: int, width: int = 1024) -> None:
    """A newline-ended file of about size bytes, records in descending order."""
    n = size // width
    path.write_bytes(b"".join(b"%0*d\n" % (width - 1, n - i) for i in range(n)))


def sparse(path, size: int) -> None:
    with open(path, "wb") as f:
        f.truncate(size)


# --- start line and --help ---------------------------------------------------------------

@pytest.mark.parametrize("lang", LANGS)
def test_help_prints_start_line_and_usage_only(lang):
    r = run_tesra(["--help"], lang=lang)
    assert r.rc == 1
    assert r.messages == START + usage(lang)
    assert r.out == b""


def test_help_ignores_what_follows():
    r = run_tesra(["--help", "-x", "nofile"])
    assert (r.rc, r.out, r.messages) == (1, b"", START + usage("C"))


def test_help_among_options_is_an_illegal_option():
    r = run_tesra(["-C", "--help"])
    assert r.rc == 1
    assert r.messages == syntax_failure("C", ILLEGAL)


def test_help_after_an_input_file_is_an_input_file(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"x\n")
    r = run_tesra(["in.txt", "--help"], cwd=tmp_path)
    assert r.rc == 1
    assert r.messages == check_failure("C", t("stat", "C", 2, "--help"))


# --- syntax errors do not end the interpreter ---------------------------------------------

@pytest.mark.parametrize("lang", LANGS)
@pytest.mark.parametrize("args,first", [
    (["-x"], ILLEGAL),
    (["-C", "-x", "in.txt"], ILLEGAL),
    (["-C:"], ILLEGAL),
    (["-K"], NEEDS_ARG),
    (["-C", "-W"], NEEDS_ARG),
    (["-V"], NEEDS_ARG),
])
def test_scanner_error_fails_the_run_and_the_interpreter_goes_on(lang, args, first):
    code = "import sys, _tesra\nr = _tesra.tesra(sys.argv[1:])\nprint('after', r)\n"
    r = run_code(code, *args, lang=lang)
    assert r.rc == 0
    assert r.out == b"after 1\n"
    assert r.messages == syntax_failure(lang, first)


@pytest.mark.parametrize("lang", LANGS)
def test_version_with_empty_value_prints_version_and_returns_0(lang):
    r = run_all(["-V", ""], ["-V", " "], lang=lang)
    assert re.fullmatch(rb"result 0\nresult 0\npid \d+\n", r.out)
    first, second = runs_of(r.err)
    assert first == second
    head = "\nバージョン：3.0.0\n" if is_ja(lang) else "\nVersion: 3.0.0\n"
    assert first.startswith(START + head)
    notice = first[len(START + head):]
    lines = notice.split("\n")
    assert len(lines) == 4 and lines[3] == "" and all(lines[:3])  # ownership, contact, licence
    assert "MIT" in lines[2]
    assert is_ja(lang) == any(ord(c) > 127 for c in notice)
    assert "☆" not in notice


# --- pool sizing ---------------------------------------------------------------------------

@pytest.mark.parametrize("kind,options,kb", [
    ("var", [], 26624),  # 20 MiB + 20/4 MiB + 1 MiB
    ("var", ["-S"], 31744),  # 20 MiB + 2 x 20/4 MiB + 1 MiB
    ("fixed", ["-L", "8"], 21504),  # 8 MiB + 1 Mi records x 12 (a sort item each) + 1 MiB
    ("csv", ["-C"], 25600),  # 12 MiB + 12 MiB (no keys) + 1 MiB
    ("csv", ["-C", "-K", "1"], 19456),  # 12 MiB + 12/2 MiB + 1 MiB
    ("var", ["-W", "64M"], 26624),  # -W above the need: the need, in memory
    ("var", ["-W", "26M"], 26624),  # -W exactly the need
])
def test_pool_size_follows_input_layout_and_runs_in_memory(tmp_path, kind, options, kb):
    files = []
    if kind == "var":
        for name in ("a.txt", "b.txt"):
            write_lines(tmp_path / name, 10 * MiB)
            files.append(name)
    elif kind == "fixed":
        sparse(tmp_path / "f.dat", 8 * MiB)
        files.append("f.dat")
    else:
        write_lines(tmp_path / "c.csv", 12 * MiB)
        files.append("c.csv")
    r = run_tesra(["-Verbose", *options, "-O", "out", *files], cwd=tmp_path, env=engine_env(TEMP=str(tmp_path)))
    assert r.rc == 0, r.messages[-500:]
    assert "Memory pool size is [%d]KB.\n" % kb in r.messages
    assert "最小メモリサイズ" not in r.messages
    assert "\n--- In-memory sort started.--- \n" in r.messages
    assert (tmp_path / "out").stat().st_size == sum((tmp_path / f).stat().st_size for f in files)


def test_pool_size_line_in_japanese(tmp_path):
    (tmp_path / "e.txt").write_bytes(b"")
    r = run_tesra(["-Verbose", "e.txt"], cwd=tmp_path, lang="ja_JP.UTF-8", env=None)
    assert "メモリプールのサイズは[65536]KBです。\n" in r.messages


def test_empty_input_without_w_takes_the_default_pool_in_memory(tmp_path):
    (tmp_path / "e1.txt").write_bytes(b"")
    (tmp_path / "e2.txt").write_bytes(b"")
    r = run_tesra(["-Verbose", "e1.txt", "e2.txt"], cwd=tmp_path)
    assert r.rc == 0
    assert "Memory pool size is [65536]KB.\n" in r.messages
    assert "\n--- In-memory sort started.--- \n" in r.messages
    assert r.messages.endswith(END)


@pytest.mark.parametrize("w", [[], ["-W", "8M"]])
def test_small_input_gets_the_minimum_pool_in_memory(tmp_path, w):
    (tmp_path / "in.txt").write_bytes(b"b\na\n")
    r = run_tesra(["-Verbose", *w, "in.txt"], cwd=tmp_path)
    assert r.rc == 0
    assert_in_order(r.messages, ["最小メモリサイズ[16384]KBを使用する。\n", "Memory pool size is [16384]KB.\n",
                                 "\n--- In-memory sort started.--- \n"])
    assert r.out.endswith(b"a\nb\n")


@pytest.mark.parametrize("w,lines", [
    ("32M", ["Memory pool size is [32768]KB.\n"]),
    ("1M", ["最小メモリサイズ[16384]KBを使用する。\n", "Memory pool size is [16384]KB.\n"]),
])
def test_empty_input_with_w_takes_the_w_size(tmp_path, w, lines):
    (tmp_path / "e.txt").write_bytes(b"")
    r = run_tesra(["-Verbose", "-W", w, "-O", "out", "e.txt"], cwd=tmp_path)
    assert_in_order(r.messages, ["\n--- Memory pool processing started.--- \n", *lines,
                                 "\n--- In-memory sort started.--- \n"])
    # Nothing to hold: sorted in memory and a success, whatever -W says.
    assert r.rc == 0, r.messages[-500:]
    assert (tmp_path / "out").read_bytes() == b""


def test_w_smaller_than_needed_goes_to_temporary_files_without_the_insufficient_memory_lines(tmp_path):
    data = b"".join(b"%07d\n" % ((i * 7919) % 1000003) for i in range(2_500_000))  # 20 MB
    (tmp_path / "big.txt").write_bytes(data)
    r = run_tesra(["-Verbose", "-W", "16M", "-O", "out", "big.txt"], cwd=tmp_path,
                  env=engine_env(TEMP=str(tmp_path)))
    assert "Memory pool size is [16384]KB.\n" in r.messages
    assert "In-memory sort" not in r.messages and "\n--- Split sort with temporary files started.--- " in r.messages
    assert t("insufficient", "C") not in r.messages
    assert r.rc == 0
    assert (tmp_path / "out").read_bytes() == b"".join(sorted(data.splitlines(keepends=True)))


# Runs the engine and reports the process's peak resident set (KB) on standard error: VmHWM, which
# starts anew with the program (ru_maxrss would carry the test process's own over the exec).
PEAK = """
import re, sys, _tesra
rc = _tesra.tesra(sys.argv[1:])
status = open("/proc/self/status").read()
print("peak %s KB" % re.search(r"VmHWM:\\s*(\\d+) kB", status).group(1), file=sys.stderr)
sys.exit(rc)
"""


@pytest.mark.parametrize("case", ["w-past-4-gib", "stdin-budget"])
def test_large_pools_are_made_but_touched_only_as_used(tmp_path, case):
    # -W past 4 GiB for empty input (a pool of -W, in memory); standard input without -W (a pool
    # of half the memory the process may have, a small input sorted in memory): the pool's pages
    # are touched only as data fills them.
    (tmp_path / "e.txt").write_bytes(b"")
    args = ["-W", "5G", "e.txt"] if case == "w-past-4-gib" else []
    r = run_code(PEAK, "-Verbose", *args, stdin=b"b\nc\na\n", cwd=tmp_path)
    assert r.rc == 0, r.messages[-800:]
    kb = int(re.search(r"Memory pool size is \[(\d+)\]KB\.\n", r.messages).group(1))
    peak = int(re.search(r"peak (\d+) KB", r.messages).group(1))
    if case == "w-past-4-gib":
        assert kb == 5 << 20
        assert "\n--- In-memory sort started.--- \n" in r.messages
    else:
        half = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 2
        assert 16 << 10 <= kb <= half // 1024 + 1
        assert r.out.endswith(b"a\nb\nc\n") and "一時ファイルでのソートは開始します" not in r.messages
    assert peak < 200 << 10, f"{peak} KB resident for a pool of {kb} KB"


@pytest.mark.parametrize("lang", LANGS)
def test_merge_of_an_unsorted_input_fails(tmp_path, lang):
    (tmp_path / "a.txt").write_bytes(b"a\nc\nb\nd\nc\n")  # out of order twice: reported once
    (tmp_path / "b.txt").write_bytes(b"a\nb\n")
    (tmp_path / "c.txt").write_bytes(b"z\ny\n")
    r = run_tesra(["-M", "-O", "out", "a.txt", "b.txt", "c.txt"], cwd=tmp_path, lang=lang)
    assert r.rc == 1
    unsorted = "☆入力ファイル[%s]はソートキーの順に並んでいません！\n" if is_ja(lang) else \
        "☆ Input file [%s] is not sorted by the sort keys!\n"
    line = "☆ファイルのマージソートは失敗しました！\n" if is_ja(lang) else "☆ File merge sort failed!\n"
    assert r.messages.count(unsorted % "a.txt") == 1 and r.messages.count(unsorted % "c.txt") == 1
    assert unsorted % "b.txt" not in r.messages
    assert r.messages.endswith(line + t("failed", lang))
    assert not (tmp_path / "out").exists()


# --- the verbose run -----------------------------------------------------------------------

VERBOSE = {
    "proc": ("\n--- Argument processing started.--- \n", "\n--- 引数処理は開始します。--- \n"),
    "load": ("\n--- Argument loading started.--- \n", "\n--- 引数の読み込み処理は開始します。--- \n"),
    "loaded": ("\n--- Argument loading completed.--- \n", "\n--- 引数の読み込み処理は完成しました。。--- \n"),
    "check": ("\n--- Argument checking started.--- \n", "\n--- 引数のチェック処理は開始します。--- \n"),
    "errdir": ("Error folder: (null)\n", "エラーフォルダ: (null)\n"),
    "errname": ("Error file name: (null)\n", "エラーファイル名: (null)\n"),
    "tmp": ("Temporary folder: %s\n", "一時フォルダ: %s\n"),
    "tmpdef": ("Temporary folder not specified, using system temporary folder [%s/].\n",
               "一時フォルダは未指定の為、システムの一時フォルダ[%s/]を使用する。\n"),
    "checked": ("\n--- Argument checking completed.--- \n", "\n--- 引数のチェック処理は完成しました。--- \n"),
    "procd": ("--- Argument processing completed.---\n", "--- 引数処理は完成しました。---\n"),
    "pool": ("\n--- Memory pool processing started.--- \n", "\n--- メモリプール処理は開始します。--- \n"),
    "poolsize": ("Memory pool size is [16384]KB.\n", "メモリプールのサイズは[16384]KBです。\n"),
    "poold": ("--- Memory pool processing completed.--- \n", "--- メモリプール処理は終了しました。--- \n"),
    "mem": ("\n--- In-memory sort started.--- \n", "\n--- メモリ上でのソートは開始します。--- \n"),
    "read": ("Input file reading took [", "入力ファイルの読み込みがかかった["),
    "memd": ("--- In-memory sort completed.--- \n", "--- メモリ上でのソートは終了しました。--- \n"),
    "count": ("\nNumber of sorted records:  3\n", "\nソートされたレコード数:  3\n"),
    "done": ("Sort completed successfully. ", "ソートが正常終了しました。 "),
    "took": ("Sort took [", "ソートがかかった["),
}
SECTIONS = ["\n---固定長---\n", "\n---可変長---\n", "\n---CSV---\n",
            "\n---ソート済みファイルのマージソート比較関数---\n", "\n---ユニック出力比較関数---\n"]
SECTION_SIZES = [7, 8, 6, 8, 7]


@pytest.mark.parametrize("lang", LANGS)
def test_verbose_run(tmp_path, lang):
    (tmp_path / "in.csv").write_bytes(b"b,2\na,1\nc,3\n")

    def v(key, *args):
        text = VERBOSE[key][1 if is_ja(lang) else 0]
        return text % args if args else text

    tmp = str(tmp_path)
    r = run_all(["-C", "-O", "out.csv", "-U", "-Verbose", "-S", "-K", "2", "in.csv"], cwd=tmp_path,
                env=engine_env(lang, TEMP=tmp))
    pid = int(re.search(rb"pid (\d+)\n", r.out).group(1))
    (msgs,) = runs_of(r.err)

    # Only the options after -Verbose are echoed; the opening lines follow the loading.
    assert msgs.startswith(START + "-S\nソートキー1は:2\n入力ファイル1のパスは: in.csv\n" + v("proc") + v("load")
                           + v("loaded") + v("check") + "\n--- 引数のチェック処理は開始します。--- \n")
    assert_in_order(msgs, [
        v("loaded"), v("check"), "出力フォルダ: (null)\n出力ファイル名: out.csv\n",
        v("errdir") + v("errname") + v("tmp", tmp) + v("tmpdef", tmp), "一時パス: %s/tesra_%d.tmp\n" % (tmp, pid),
        "ソートキー1(Asc)の位置は: 2\n", v("checked") + v("procd") + v("pool"), "最小メモリサイズ[16384]KBを使用する。\n",
        v("poolsize"), v("poold"), v("mem"), v("read"), v("memd"), *SECTIONS, v("count"),
        "\n" + RULE, v("done"), "finish=", v("took"), RULE + END])
    assert msgs.count(v("errdir")) == 1
    assert msgs.endswith(RULE + END)

    # The counter report: five sections of JP-only lines, counters live in a verbose run (-U calls
    # an equality test for every record after the first).
    report = msgs[msgs.index(SECTIONS[0]):msgs.index(v("count"))]
    counts = []
    for title, size in zip(SECTIONS, SECTION_SIZES):
        body = report[report.index(title) + len(title):]
        lines = body.split("\n")[:size]
        for line in lines:
            m = re.fullmatch(r"(ソート比較函数|分割ソート比較函数|比較函数)\[(_cmp\w+)\]のコール回数は：(\d+)", line)
            assert m, line
            counts.append(int(m.group(3)))
    assert len(counts) == 36 and sum(counts) > 0

    # Summary: timestamp with its trailing blank, clock line and the total time agree.
    done = v("done")
    assert re.search(re.escape(done) + TS + r" \n", msgs)
    m = re.search(r"finish=(\d+), startFirst=(\d+), finish-startFirst=(\d+), CLOCKS_PER_SEC=1000, \n", msgs)
    fin, first, diff = map(int, m.groups())
    assert fin - first == diff
    tail = "]ms, [%.3f]sです。\n" if is_ja(lang) else "]ms, [%.3f]s.\n"
    assert v("took") + str(diff) + tail % (diff / 1000) in msgs

    # Standard output: the start block and exactly two dumps; the records are in the output file.
    out = r.out.decode("cp932")
    started = "ソートが開始します。 " if is_ja(lang) else "Sort started. "
    assert re.match("\n" + RULE + re.escape(started) + TS + "\n" + RULE + "\n=====", out)
    ds = dumps(r)
    assert len(ds) == 2
    assert field(ds[0], "bFixVar") == "0" and field(ds[0], "totalFileSize") == "0"
    assert field(ds[1], "bFixVar") == "2" and field(ds[1], "totalFileSize") == "12"
    assert out.endswith(DUMP_CLOSE + "result 0\npid %d\n" % pid)
    assert (tmp_path / "out.csv").read_bytes() == b"a,1\nb,2\nc,3\n"


def test_verbose_run_writing_to_standard_output_keeps_it_for_the_records(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"b\na\n")
    r = run_tesra(["-Verbose", "in.txt"], cwd=tmp_path)
    assert (r.rc, r.out) == (0, b"a\nb\n")
    assert r.messages.index("Sort started. ") < r.messages.index("Sort completed successfully. ")
    assert len(dumps(r)) == 2


def test_run_that_is_not_verbose_prints_only_start_and_end(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"b\na\n")
    r = run_tesra(["in.txt"], cwd=tmp_path)
    assert (r.rc, r.out, r.messages) == (0, b"a\nb\n", START + END)


def test_verbose_value_must_be_exactly_erbose(tmp_path):
    (tmp_path / "in.txt").write_bytes(b"b\na\n")
    for opt in (["-Verbosee"], ["-VERBOSE"], ["-V", "erbos"]):
        r = run_tesra([*opt, "in.txt"], cwd=tmp_path)
        assert (r.rc, r.out, r.messages) == (0, b"a\nb\n", START + END), opt
    for opt in (["-verbose"], ["-V", "erbose"], ["-V", " erbose "]):
        r = run_tesra([*opt, "in.txt"], cwd=tmp_path)
        assert r.rc == 0 and len(dumps(r)) == 2, opt


# --- repeated runs in one process ----------------------------------------------------------

def test_run_after_a_verbose_run_is_quiet(tmp_path):
    (tmp_path / "a.txt").write_bytes(b"b\na\n")
    (tmp_path / "x.txt").write_bytes(b"y\nx\n")
    r = run_all(["-Verbose", "a.txt"], ["x.txt"], cwd=tmp_path)
    assert re.fullmatch(rb"a\nb\nresult 0\nx\ny\nresult 0\npid \d+\n", r.out)
    assert len(dumps(r)) == 2
    assert runs_of(r.err)[1] == START + END


def test_second_verbose_run_has_fresh_settings_and_the_same_temporary_file(tmp_path):
    (tmp_path / "a.csv").write_bytes(b"1,b\n2,a\n")
    (tmp_path / "b.txt").write_bytes(b"y\nx\n")
    r = run_all(["-Verbose", "-C", "-U", "-K", "2", "-O", "out.csv", "-E", "err.txt", "a.csv"], "sleep",
                ["-Verbose", "b.txt"], cwd=tmp_path, env=engine_env(TEMP=str(tmp_path)))
    pid = int(re.search(rb"pid (\d+)\n", r.out).group(1))
    assert (tmp_path / "out.csv").read_bytes() == b"2,a\n1,b\n"
    ds = dumps(r)
    assert len(ds) == 4
    tmp_line = "  path          = %s/tesra_%d.tmp\n" % (tmp_path, pid)
    assert tmp_line in ds[1] and tmp_line in ds[3]
    second_loaded, second = ds[2], ds[3]
    for d in (second_loaded, second):
        assert field(d, "bCsv") == "0" and field(d, "bUnique") == "0"
        assert field(d, "inFileNums") == "1" and field(d, "keyNums") == "0"
        assert "--- Sort Keys (arrSortKey) ---\n  NULL\n" in d
        assert "\n--- outFile ---\n  path          = (null)\n" in d
        assert "\n--- errFile ---\n  path          = (null)\n" in d
        assert "a.csv" not in d
    assert field(second, "totalFileSize") == "4"
    # The second run is timed from its own start, not from the module load.
    m = re.findall(r"finish=(\d+), startFirst=(\d+), finish-startFirst=(\d+)", r.err.decode("cp932"))
    assert len(m) == 2
    assert int(m[1][1]) >= 400 and int(m[1][2]) < int(m[1][1])
    assert r.out.endswith(b"x\ny\nresult 0\npid %d\n" % pid)


@pytest.mark.parametrize("first", [["missing.txt"], ["-x"], ["-K"], ["-V", ""], ["--help"], ["-W", "0"],
                                   ["-C", "-K", "0", "in.txt"], ["-Verbose", "-Q"]])
def test_run_after_any_first_run_behaves_as_in_a_fresh_process(tmp_path, first):
    (tmp_path / "in.txt").write_bytes(b"b2\na3\nc1\n")
    second = ["-K", "1,1", "in.txt"]
    fresh = run_tesra(second, cwd=tmp_path)
    r = run_all(first, second, cwd=tmp_path)
    assert runs_of(r.err)[1] == fresh.messages == START + END
    assert re.search(rb"c1\nb2\na3\nresult 0\npid \d+\n$", r.out)


# --- messages: language, encoding, formatting ----------------------------------------------

@pytest.mark.parametrize("env,ja", [
    ({"LANG": "C"}, False),
    ({"LANG": "en_US.UTF-8"}, False),
    ({"LANG": "ja_JP.UTF-8"}, True),
    ({"LANG": "ja_JP.eucJP"}, True),
    ({"LANG": "ja.UTF-8"}, True),  # Japanese language outside Japan
    ({"LANG": "C", "LC_ALL": "ja_JP.UTF-8"}, True),
    ({"LANG": "ja_JP.UTF-8", "LC_ALL": "C"}, False),
    ({"LANG": "C", "LC_MESSAGES": "ja_JP.UTF-8"}, True),
    ({"LANG": "ja_JP.UTF-8", "LC_MESSAGES": "en_US.UTF-8"}, False),
    ({"LANG": "ja_JP.UTF-8", "LC_ALL": ""}, True),  # an empty variable does not count
    ({"LANG": "C", "LC_MESSAGES": "ja_JP.UTF-8", "LC_ALL": "en_US.UTF-8"}, False),
    ({"LANG": "jp_JP.UTF-8"}, False),
])
def test_language_is_chosen_from_the_locale_variables(tmp_path, env, ja):
    e = engine_env(**env)
    r = run_tesra(["nofile.txt"], cwd=tmp_path, env=e)
    lang = "ja" if ja else "C"
    assert r.messages == check_failure(lang, t("stat", lang, 1, "nofile.txt"))


def test_english_error_lines_start_with_the_cp932_star_and_a_blank(tmp_path):
    r = run_tesra(["nofile.txt"], cwd=tmp_path)
    err = r.err[r.err.rindex(ECHO_MARK) + len(ECHO_MARK):]
    lines = [line for line in err.split(b"\n") if line]
    assert lines == [STAR + b" tesra start...", STAR + b" Failed to stat input file 1 [nofile.txt]!",
                     STAR + b" Error occurred during argument processing!", STAR + b" Sort failed. "]


@pytest.mark.parametrize("lang", LANGS)
def test_percent_in_a_file_name_is_printed_unchanged(tmp_path, lang):
    name = "a%sb%d%%c%n.txt"
    r = run_tesra([name], cwd=tmp_path, lang=lang)
    assert r.messages == check_failure(lang, t("stat", lang, 1, name))


def test_characters_without_a_cp932_form_become_question_marks(tmp_path):
    # An en dash and an emoji have no code page 932 form; undecodable bytes are not UTF-8.
    r = run_tesra(["a\u2013b\U0001F600c.txt", b"x\xffy.txt"], cwd=tmp_path)
    assert r.messages == check_failure("C", t("stat", "C", 1, "a?b?c.txt"))
    (tmp_path / "a\u2013b\U0001F600c.txt").write_bytes(b"")
    r = run_tesra(["a\u2013b\U0001F600c.txt", b"x\xffy.txt"], cwd=tmp_path)
    assert r.messages == check_failure("C", t("stat", "C", 2, "x?y.txt"))


@pytest.mark.parametrize("lang", LANGS)
def test_message_longer_than_its_buffer_is_cut_at_4095_bytes(tmp_path, lang):
    name = "a" * 5000
    r = run_tesra([name], cwd=tmp_path, lang=lang)
    cut = t("stat", lang, 1, name).encode("utf-8")[:4095].decode("utf-8")
    assert r.messages == check_failure(lang, cut)
