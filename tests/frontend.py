"""Shared texts and helpers of the front-end behaviour tests (binding, driver, options, checks).

Message texts are written as the engine's printf formats; Python's % operator reads them the
same way ("%ld" included), so a case formats the very text the user must see."""

import re

START = "☆ tesra start...\n"
END = "☆ tesra end.\n"
STAR = b"\x81\x99"  # code page 932 bytes of the error mark

LANGS = ["C", "ja_JP.UTF-8"]

# English / Japanese pairs, by a short name.
PAIRS = {
    "syntax": ("☆ Command syntax error!\n", "☆コマンドの構文は誤りがあります！\n"),
    "failed": ("\n☆ Sort failed. \n", "\n☆ソートは失敗しました。 \n"),
    "argerr": ("☆ Error occurred during argument processing!\n", "☆引数処理中にエラーが発生しました！\n"),
    "stat": ("☆ Failed to stat input file %ld [%s]!\n", "☆入力ファイル%ld[%s]のstatを参照失敗しました！\n"),
    "toobig": ("☆ Input data of 2GB or more cannot be sorted [%s]!\n", "☆2GB以上の入力データはソートできません[%s]！\n"),
    "newline": ("☆ Invalid newline code [%s]!\n", "☆改行コード[%s]は不正です！\n"),
    "key": ("☆ Sort key %ld is invalid!\n", "☆ソートキー%ldは不正です！\n"),
    "outdir": ("☆ Output folder [%s] does not exist or insufficient permissions!\n",
               "☆出力フォルダ[%s]は存在しません、又は権限不足です！\n"),
    "errdir": ("☆ Error folder [%s] does not exist or insufficient permissions!\n",
               "☆エラーフォルダ[%s]は存在しません、又は権限不足です！\n"),
    "tmpdir": ("☆ Temporary folder [%s] does not exist or insufficient permissions!\n",
               "☆一時フォルダ[%s]は存在しません、又は権限不足です！\n"),
    "errfile": ("☆ Cannot create error file [%s]!\n", "☆エラーファイル[%s]は作成できません！\n"),
    "wopt": ("☆ Invalid option [W%s]!\n", "☆オプション[W%s]不正です！\n"),
    "wsize": ("☆ Invalid buffer size [%s]!\n", "☆バッファサイズ[%s]不正です！\n"),
    "opt": ("☆ Invalid option [%s]!\n", "☆オプション[%s]不正です！\n"),
    "insufficient": ("☆ Insufficient memory, using temporary files for sorting.\n",
                     "☆メモリ不足の為、一時ファイルを使用してソートします。\n"),
}

# Printed unchanged in every language.
JP_ONLY = {
    "lopt": "☆オプション[W%s]不正です！\n",
    "keytext": "ソートキー[%s]指定不正！\n",
}

ILLEGAL = "tesra: : illegal option -- \n"
NEEDS_ARG = "tesra: : option requires an argument -- \n"


def lang_cases(cases, ja=(), other=()):
    """Parameter sets (lang, *case): every case in English, the cases at the indexes in ja in
    Japanese too, and those in other under a Japanese locale outside Japan."""
    cases = [c if isinstance(c, tuple) else (c,) for c in cases]
    return ([("C", *c) for c in cases] + [("ja_JP.UTF-8", *cases[i]) for i in ja]
            + [("ja.UTF-8", *cases[i]) for i in other])


def is_ja(lang: str) -> bool:
    return lang.startswith("ja")


def t(name: str, lang: str, *args) -> str:
    """The text of a message pair in the language of lang, formatted with args."""
    en, ja = PAIRS[name]
    fmt = ja if is_ja(lang) else en
    return fmt % args if args else fmt


USAGE_EN_LINES = [
    "",
    "TESRA  [-V]  [-Verbose]  [-M]  [-N]  [-C]  [-H]  [-S]  [-U]  [-A]  [-R]  [-P newline_code]  [-D delimiter] ",
    " [-L record_bytes]  [-K sort_key]  [-W memory_size] ",
    " [-T temp_folder] [-O output_file] [-E error_file] [input_files...] ",
    "",
    "  -V\t\t\tDisplay version and license information.",
    "  -Verbose\t\tOutput detailed debug information.",
    "  -M\t\t\tMerge already sorted files.",
    "  -N\t\t\tOutput CSV null columns last.",
    "  -C\t\t\tProcess input file as CSV file.",
    "  -H\t\t\tTreat the first line of CSV file as header.",
    "  -S\t\t\tStable sort (maintains input order for records with the same key).",
    "  -U\t\t\tRemove duplicate records (records with the same sort key).",
    "  -L record_bytes\tSpecify record length for fixed-length files.",
    "\t\t\tNote: If specified with -C, -C is ignored and processed as fixed-length.",
    "\t\t\tNote: There is no particular limit on record length.",
    "",
    "  -K sort_key\t\tSpecify sort key.",
    "\t\t\tFor fixed-length/variable-length files:",
    "\t\t\t  start_position[,length] [n] [a|d]",
    "\t\t\t  - start_position: Byte position starting from 0",
    "\t\t\t  - length: Key length (optional)",
    "\t\t\t  - n: Numeric comparison (optional)",
    "\t\t\t  - a: Ascending (optional), d: Descending",
    "\t\t\tFor CSV files:",
    "\t\t\t  column_position [n] [a|d]",
    "\t\t\t  - column_position: Column number starting from 1",
    "\t\t\t  - n: Numeric comparison (optional)",
    "\t\t\t  - a: Ascending (optional), d: Descending",
    "\t\t\tNote: Multiple keys can be specified, key positions can overlap.",
    "",
    "  -A\t\t\tSort all records in ascending order (default).",
    "  -R\t\t\tSort all records in descending order.",
    "  -P newline_code\tSpecify newline code for variable-length/CSV files.",
    "\t\t\tPossible values: \\n, \\r, \\r\\n",
    "\t\t\tDefault: \\n",
    "  -D delimiter\t\tSpecify delimiter for CSV files.",
    "\t\t\tPossible values: Any string (e.g., ,, \\t, etc.)",
    "\t\t\tDefault: ,",
    "",
    "  -W memory_size\tSpecify main memory size used for sorting.",
    "\t\t\tFormat: number[MB|KB]",
    "\t\t\tExamples: -W 64MB, -W 1024KB, -W 67108864 (bytes)",
    "\t\t\tIf memory size is specified, use the specified size of memory",
    "\t\t\tregardless of available memory.",
    "\t\t\tNote: Minimum value is limited to 16MB.",
    "\t\t\tNote: If not specified, use all available memory for sorting.",
    "",
    "  -T temp_folder\tSpecify temporary file directory when data cannot be",
    "\t\t\tstored in main memory.",
    "\t\t\tDefault: System temporary directory",
    "",
    "  -O output_file\tSpecify output file.",
    "\t\t\tNote: If not specified, output to stdout.",
    "",
    "  -E error_file\t\tSpecify file to output error records.",
    "\t\t\tNote: If not specified, error records are skipped.",
    "\t\t\tNote: Error records: Records shorter than the maximum sort key position",
    "",
    "  [input_files...]\tSpecify input files.",
    "\t\t\tNote: If not specified, read from stdin.",
    "\t\t\tNote: Multiple files can be specified.",
    "",
    "Examples:",
    "  TESRA -C -H -K 1 -K 3d -O output.csv input.csv",
    "  TESRA -L 100 -K 0,10 -K 20,5d -W 128MB input.dat",
    "  TESRA -C -D \\t -P \\r\\n -S -U input.csv",
]

USAGE_JA_LINES = [
    "",
    "TESRA  [-V]  [-Verbose]  [-M]  [-N]  [-C]  [-H]  [-S]  [-U]  [-A]  [-R]  [-P 改行コード]  [-D デリミタ] ",
    " [-L レコードバイト]  [-K ソートキー]  [-W メモリサイズ] ",
    " [-T 一時ファイルフォルダ] [-O 出力ファイル] [-E エラーファイル] [入力ファイル...] ",
    "",
    "  -V\t\t\tバージョン、ライセンス情報を表示します。",
    "  -Verbose\t\t詳細なデバッグ情報を出力します。",
    "  -M\t\t\tソート済みファイルをマージします。",
    "  -N\t\t\tCSVの空白列を最後に出力します。",
    "  -C\t\t\t入力ファイルはCSVファイルとして処理します。",
    "  -H\t\t\tCSVファイルの先頭行をヘッダとして扱います。",
    "  -S\t\t\t安定ソート（同じキーの複数レコードの入力順序を保持します）。",
    "  -U\t\t\t重複レコード（ソートキーが等しいレコード）を削除します。",
    "  -L レコードバイト\t固定長ファイルのレコード長を指定します。",
    "\t\t\t※-Cと同時に指定すると、-Cを無視して固定長として処理します。",
    "\t\t\t※レコード長に特に制限はありません。",
    "",
    "  -K ソートキー\tソートキーを指定します。",
    "\t\t\t固定長・可変長ファイルの場合：",
    "\t\t\t  開始位置[,長さ] [n] [a|d]",
    "\t\t\t  - 開始位置：0から始まるバイト位置",
    "\t\t\t  - 長さ：キーの長さ（省略可）",
    "\t\t\t  - n：数字として比較（省略可）",
    "\t\t\t  - a：昇順（省略可）、d：降順",
    "\t\t\tCSVファイルの場合：",
    "\t\t\t  列位置 [n] [a|d]",
    "\t\t\t  - 列位置：1から始まる列番号",
    "\t\t\t  - n：数字として比較（省略可）",
    "\t\t\t  - a：昇順（省略可）、d：降順",
    "\t\t\t※複数指定可能、各キーの位置は重複可能です。",
    "",
    "  -A\t\t\t全レコードを昇順でソートします（デフォルト）。",
    "  -R\t\t\t全レコードを降順でソートします。",
    "  -P 改行コード\t可変長・CSVファイルの改行コードを指定します。",
    "\t\t\t指定可能な値：\\n, \\r, \\r\\n",
    "\t\t\tデフォルト：\\n",
    "  -D デリミタ\tCSVファイルの区切り文字（デリミタ）を指定します。",
    "\t\t\t指定可能な値：任意の文字列（例：,、\\tなど）",
    "\t\t\tデフォルト：,",
    "",
    "  -W メモリサイズ\tソートに使用するメインメモリのサイズを指定します。",
    "\t\t\t形式：数値[MB|KB]",
    "\t\t\t例：-W 64MB, -W 1024KB, -W 67108864（バイト）",
    "\t\t\tメモリサイズが指定された場合、利用可能なメモリに関係なく、",
    "\t\t\t指定されたサイズのメモリを使用します。",
    "\t\t\t※最小値は16MBに制限されます。",
    "\t\t\t※未指定の場合、全メモリを使用してソートします。",
    "",
    "  -T 一時ファイルフォルダ\tデータをメインメモリに格納できない場合の",
    "\t\t\t一時ファイル保存ディレクトリを指定します。",
    "\t\t\tデフォルト：システムの一時ディレクトリ",
    "",
    "  -O 出力ファイル\t出力先ファイルを指定します。",
    "\t\t\t※未指定の場合、標準出力に出力します。",
    "",
    "  -E エラーファイル\tエラーレコードを出力するファイルを指定します。",
    "\t\t\t※未指定の場合、エラーレコードをスキップします。",
    "\t\t\t※エラーレコード：レコード長が最大ソートキー位置より短いレコード",
    "",
    "  [入力ファイル...]\t入力ファイルを指定します。",
    "\t\t\t※未指定の場合、標準入力から読み込みます。",
    "\t\t\t※複数のファイルを指定可能です。",
    "",
    "使用例：",
    "  TESRA -C -H -K 1 -K 3d -O output.csv input.csv",
    "  TESRA -L 100 -K 0,10 -K 20,5d -W 128MB input.dat",
    "  TESRA -C -D \\t -P \\r\\n -S -U input.csv",
]

assert len(USAGE_EN_LINES) == len(USAGE_JA_LINES) == 67
USAGE = {"en": "".join(line + "\n" for line in USAGE_EN_LINES), "ja": "".join(line + "\n" for line in USAGE_JA_LINES)}


def usage(lang: str) -> str:
    return USAGE["ja" if is_ja(lang) else "en"]


def check_failure(lang: str, message: str) -> str:
    """Whole standard error (without the echo) of a run whose argument check printed message."""
    return START + message + t("argerr", lang) + t("failed", lang)


def syntax_failure(lang: str, first: str) -> str:
    """Whole standard error (without the echo) of a run whose option loading printed first."""
    return START + first + t("syntax", lang) + usage(lang) + t("failed", lang)


DUMP_OPEN = "\n==================== ArgsInfo ====================\n"
DUMP_CLOSE = "\n================ End ArgsInfo ====================\n\n"


def dumps(run) -> list[str]:
    """The settings dumps of a run, each from its opening to its closing line. They are printed on
    standard output, or on standard error when the records go to standard output."""
    text = (run.out + run.err).decode("latin-1")
    return re.findall(re.escape(DUMP_OPEN) + ".*?" + re.escape(DUMP_CLOSE), text, flags=re.S)


def field(dump: str, name: str) -> str:
    """The value of a top-level "name = value" line of a dump."""
    m = re.search("^" + re.escape(name) + r" += (.*)$", dump, flags=re.M)
    assert m is not None, f"{name} missing from dump"
    return m.group(1)


def assert_in_order(text: str, parts: list[str]) -> None:
    """Every part occurs in text, each after the end of the previous one."""
    pos = 0
    for part in parts:
        i = text.find(part, pos)
        assert i >= 0, f"{part!r} missing after position {pos}"
        pos = i + len(part)
