"""tesra.sort and tesra.sort_bytes: keywords as the engine's options, results, failures, progress."""

import ast
import inspect
from pathlib import Path

import pytest

import tesra
from conftest import run_code, run_tesra
from frontend import t
from tesra._api import _command_line

# Calls tesra.<argv[3]>(*args, **kw) given as the literal argv[2]; the outcome goes to the file
# argv[1], so that standard output and error hold only what the call printed.
CALL = """
import ast, dataclasses, sys, tesra
args, kw = ast.literal_eval(sys.argv[2])
try:
    r = getattr(tesra, sys.argv[3])(*args, **kw)
    outcome = ("result", dataclasses.asdict(r) if dataclasses.is_dataclass(r) else r)
except BaseException as e:
    outcome = ("raised", type(e).__name__, str(e), getattr(e, "text", None))
open(sys.argv[1], "w").write(repr(outcome))
"""


def call(tmp_path, *args, func="sort", lang="C", stdin=None, **kw):
    (tmp_path / "w").mkdir(exist_ok=True)
    r = run_code(CALL, str(tmp_path / "outcome"), repr((args, kw)), func, cwd=tmp_path / "w", lang=lang, stdin=stdin)
    return ast.literal_eval((tmp_path / "outcome").read_text()), r


BAD = [  # a call, the exception it raises before anything runs, a word its message holds
    ("sort(keys=3)", TypeError, "keys"), ("sort(keys=b'2')", TypeError, "keys"), ("sort(keys=['2', 3])", TypeError, "key"),
    ("sort(keys='')", ValueError, "key"), ("sort(record_length=0)", ValueError, "record_length"),
    ("sort(record_length=True)", TypeError, "record_length"), ("sort(memory=1.5)", TypeError, "memory"),
    ("sort(memory='12T')", ValueError, "memory"), ("sort(memory=' 5M')", ValueError, "memory"),
    ("sort(memory='0K')", ValueError, "memory"), ("sort(newline='\\n\\r')", ValueError, "newline"),
    ("sort(delimiter=' ;')", ValueError, "delimiter"), ("sort(threads=0)", ValueError, "threads"),
    ("sort(csv=1)", TypeError, "csv"), ("sort(progress=3)", TypeError, "progress"),
    ("sort(presorted=True)", ValueError, "presorted"), ("sort([], 'o')", ValueError, "inputs"),
    ("sort(['a', 5])", TypeError, "inputs"), ("sort('a\\0b')", ValueError, "NUL"), ("sort('in', 'out ')", ValueError, "output"),
    ("sort('a', 'b', 'c')", TypeError, "positional"), ("sort_bytes('text')", TypeError, "bytes-like"),
    ("sort_bytes(b'x', presorted=True)", TypeError, "presorted"),
]


def test_wrong_arguments_raise_before_anything_runs(tmp_path):
    code = ("import sys\nfrom tesra import sort, sort_bytes\nfor c in sys.argv[1:]:\n"
            "    try: eval(c)\n    except BaseException as e: print(type(e).__name__, e)\n    else: print('returned')\n")
    r = run_code(code, *[c for c, _, _ in BAD], cwd=tmp_path)
    assert r.err == b"" and list(tmp_path.iterdir()) == []
    for (c, exc, word), line in zip(BAD, r.out.decode().splitlines(), strict=True):
        assert line.startswith(exc.__name__ + " ") and word in line, (c, line)


def test_values_are_items_of_their_own_and_input_names_follow_a_double_dash():
    for kw, args in [(dict(csv=True, header=True, descending=True, stable=True, unique=True, empty_last=True,
                           verbose=True), ["-C", "-H", "-R", "-S", "-U", "-N", "-Verbose"]),
                     (dict(keys=iter(["-1,2", "3nd"])), ["-K", "-1,2", "-K", "3nd"]),
                     (dict(delimiter="\t", newline="\r\n"), ["-D", "\\t", "-P", "\\r\\n"]),
                     (dict(newline="\r", record_length=100), ["-P", "\\r", "-L", "100"]),
                     (dict(memory=1 << 20), ["-W", "1048576"]), (dict(memory="2gB"), ["-W", "2048M"]),
                     (dict(output="-o", rejects=Path("-e"), temp_dir=b"-t"), ["-O", "-o", "-E", "-e", "-T", "-t"])]:
        assert _command_line(**kw) == [*args, "--"]
    assert _command_line((Path("-x"), b"b\xff", "--"), presorted=True) == ["-M", "--", "-x", "b\udcff", "--"]


def test_signatures_and_documentation_are_the_real_ones():
    sort, data = inspect.signature(tesra.sort).parameters, inspect.signature(tesra.sort_bytes).parameters
    assert list(sort)[:2] == ["inputs", "output"] and list(data)[0] == "data"
    assert all(p.kind is p.KEYWORD_ONLY for p in list(sort.values())[2:] + list(data.values())[1:])
    assert list(data)[1:] == [n for n in list(sort)[2:] if n != "presorted"]
    assert all(f"``{name}``" in (tesra.sort.__doc__ or "") for name in sort)


# --- runs --------------------------------------------------------------

FILES = {"people.csv": b"bo,31,Oslo\nal,9,Rome\ncy,31,\ndee,100,Oslo\nal,9,Bern\n", "fixed.dat": b"zz01aa02zz00bb03",
         "dos.txt": b"b 2\r\na 10\r\nc 1\r\n", "tabs.tsv": b"x\t3\ny\t20\nz\t3\nw\t100\n"}


@pytest.mark.parametrize("kw, args", [  # keywords, the equivalent command line without -O
    (dict(csv=True, keys=["3", "2nd"], threads=2), ["-C", "-K", "3", "-K", "2nd", "people.csv"]),
    (dict(csv=True, keys="3", empty_last=True), ["-C", "-K", "3", "-N", "people.csv"]),
    (dict(record_length=4, keys="2,2d", memory="1g"), ["-L", "4", "-K", "2,2d", "fixed.dat"]),
    (dict(newline="\r\n", keys="2,3n"), ["-P", "\\r\\n", "-K", "2,3n", "dos.txt"]),
    (dict(csv=True, delimiter="\t", keys="2n", unique=True, stable=True, memory=64 << 20),
     ["-C", "-D", "\\t", "-K", "2n", "-U", "-S", "tabs.tsv"]),
])
def test_a_sort_writes_what_its_command_line_writes(tmp_path, kw, args):
    for name, data in FILES.items():
        (tmp_path / "w").mkdir(exist_ok=True)
        (tmp_path / "w" / name).write_bytes(data)
    outcome, r = call(tmp_path, args[-1], "api.out", **kw)
    assert outcome[0] == "result" and (r.out, r.err) == (b"", b""), outcome
    assert run_tesra(["-O", "cli.out", *args], cwd=tmp_path / "w").rc == 0
    plain = run_tesra([args[-1]], cwd=tmp_path / "w").out
    assert (tmp_path / "w/api.out").read_bytes() == (tmp_path / "w/cli.out").read_bytes() != plain


def test_result_counts_and_modes(tmp_path):
    (tmp_path / "w").mkdir()
    for name, data in (("in.csv", b"b,Oslo\na,Rome\nc\nd,Oslo\ne,Bern\n"), ("s1", b"a\nc\n"), ("s2", b"b\n"),
                       ("big", b"".join(b"%07d\n" % (i * 7919 % 3000017) for i in range(3_000_000)))):
        (tmp_path / "w" / name).write_bytes(data)
    outcome, _ = call(tmp_path, "in.csv", "o", csv=True, keys="2", unique=True, rejects="short")
    assert outcome[1] | {"seconds": 0} == dict(records=3, rejected=1, duplicates=1, mode="memory", seconds=0)
    assert outcome[1]["seconds"] >= 0 and (tmp_path / "w/o").read_bytes() == b"e,Bern\nb,Oslo\na,Rome\n"
    assert (tmp_path / "w/short").read_bytes() == b"c\n"
    for args, kw, stdin, mode, records in (([["s1", "s2"]], dict(presorted=True), None, "merge", 3),
                                           ([None], {}, b"y\nx\n", "standard input", 2),
                                           (["big"], dict(memory="16M"), None, "temporary file", 3_000_000)):
        outcome, _ = call(tmp_path, *args, "o", stdin=stdin, **kw)
        assert (outcome[1]["mode"], outcome[1]["records"]) == (mode, records)


@pytest.mark.parametrize("lang", ["C", "ja_JP.UTF-8"])
def test_a_failed_run_raises_sort_error_with_the_engines_text(tmp_path, lang):
    (tmp_path / "w").mkdir()
    (tmp_path / "w/o").write_bytes(b"kept\n")
    outcome, r = call(tmp_path, "missing.txt", "o", lang=lang)
    assert outcome[:2] == ("raised", "SortError") and outcome[2] == outcome[3] == outcome[2].strip()
    assert t("stat", lang, 1, "missing.txt").strip() in outcome[2]
    assert (r.out, r.err, (tmp_path / "w/o").read_bytes()) == (b"", b"", b"kept\n")


def test_standard_output_verbose_report_and_progress_line(tmp_path):
    (tmp_path / "w").mkdir()
    (tmp_path / "w/in").write_bytes(b"".join(b"%d\n" % (i * 7919 % 100003) for i in range(100_000)))
    _, r = call(tmp_path, "in")
    assert (r.out, r.err) == (b"".join(sorted((tmp_path / "w/in").read_bytes().splitlines(keepends=True))), b"")
    _, r = call(tmp_path, "in", "o", verbose=True)
    assert r.out == b"" and r.err.decode("utf-8").strip() != ""
    _, r = call(tmp_path, "in", "o", progress=True)
    lines = r.err.decode().splitlines()
    assert lines and all(line.startswith(("tesra: read ", "tesra: sort ", "tesra: write ")) for line in lines), lines


PROGRESS = """
import sys, tesra
calls = []
def note(phase, done, total):
    calls.append((phase, done, total))
    if phase == sys.argv[1]:
        raise LookupError("enough")
try:
    tesra.sort("in", "o", progress=note)
finally:
    print(calls)
"""


def test_progress_calls_and_an_exception_raised_by_one(tmp_path):
    (tmp_path / "in").write_bytes(b"".join(b"%d\n" % (i * 7919 % 1000003) for i in range(1_000_000)))
    calls = ast.literal_eval(run_code(PROGRESS, "none", cwd=tmp_path).out.decode())
    assert {"sort", "write"} <= {p for p, _, _ in calls} <= {"read", "sort", "write"}
    ends = {p: (done, total) for p, done, total in calls}  # the last call of each phase
    assert all(0 <= done and (total == 0 or done <= total) for _, done, total in calls)
    assert all(done == total for done, total in ends.values() if total > 0), calls
    (tmp_path / "o").unlink()
    r = run_code(PROGRESS, "sort", cwd=tmp_path)
    assert r.err.endswith(b"LookupError: enough\n") and [p.name for p in tmp_path.iterdir()] == ["in"]


def test_sort_bytes_takes_any_bytes_like_object_and_sorts_as_sort_does(tmp_path):
    code = ("import tesra\ndata = b'x;9\\ny;10\\nz\\nw;9\\n'\nkw = dict(csv=True, delimiter=';', keys='2n', stable=True)\n"
            "print([tesra.sort_bytes(d, **kw) for d in (data, bytearray(data), memoryview(data))])\n"
            "open('in', 'wb').write(data)\ntesra.sort('in', 'o', rejects='short', **kw)\nprint(open('o', 'rb').read())\n"
            "try:\n    tesra.sort_bytes(data, keys='0')\nexcept tesra.SortError as e:\n    print(type(e).__name__)\n")
    out = run_code(code, cwd=tmp_path).out.decode().splitlines()
    assert [ast.literal_eval(line) for line in out[:2]] == [[b"x;9\nw;9\ny;10\n"] * 3, b"x;9\nw;9\ny;10\n"]
    assert out[2:] == ["SortError"] and (tmp_path / "short").read_bytes() == b"z\n"
