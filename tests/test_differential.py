"""Differential test: random inputs and options in all three layouts, sorted by the engine and checked against
the independent model in model.py.

Reproducible: case n of seed S is always the same input. TESRA_DIFF_SEED picks the seed, TESRA_DIFF_CASES the
number of cases (a few hundred by default; e.g. TESRA_DIFF_CASES=5000 for a long run). A failure names the seed,
the case and the command line, and the case folder is kept under pytest's temporary folder.
"""

import functools
import json
import os
import random
import re
import shlex
from collections import Counter
from dataclasses import dataclass
from pathlib import Path

import pytest

from conftest import engine_env, run_code, run_tesra
from model import Key, Model, ModelError, Options

SEED = int(os.environ.get("TESRA_DIFF_SEED", "20250401"))
CASES = int(os.environ.get("TESRA_DIFF_CASES", "300"))
BATCH = 25  # engine runs per subprocess; the engine resets itself between runs

BATCH_CODE = """
import json, os, sys, threading, time, _tesra
def feed(path, source):
    data = open(source, "rb").read()
    try:
        with open(path, "wb") as f:  # waits for the engine to open it
            f.write(data)
    except BrokenPipeError:  # the run stopped reading
        pass
def release(path, writer):
    # A run that failed before reading a FIFO to its end leaves its writer waiting: read it out.
    while writer.is_alive():
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        try:
            while writer.is_alive():
                try:
                    if not os.read(fd, 1 << 16):
                        break
                except BlockingIOError:
                    time.sleep(0.001)
        finally:
            os.close(fd)
        writer.join(0.001)
def run(args, stdin, fifos, threads):
    # Read by the engine at every run; several threads take even small inputs apart.
    os.environ["TESRA_THREADS"] = str(threads)
    os.environ["TESRA_PARALLEL_MIN"] = "1" if threads > 1 else ""
    if stdin:  # each standard-input run of the process reads its own data
        fd = os.open(stdin, os.O_RDONLY)
        os.dup2(fd, 0)
        os.close(fd)
    writers = []
    for path, source in fifos:  # inputs read once, from a pipe, as `<(cmd)` gives them
        os.mkfifo(path)
        writers.append((path, threading.Thread(target=feed, args=(path, source), daemon=True)))
        writers[-1][1].start()
    rc = _tesra.tesra(args)
    for path, writer in writers:
        release(path, writer)
    return rc
cases = json.loads(open(sys.argv[1], encoding="utf-8").read())
results = [run(args, stdin, fifos, threads) for args, stdin, fifos, threads in cases]
open(sys.argv[2], "w", encoding="utf-8").write(json.dumps(results))
"""
# In memory, through the temporary file, standard input, -M, and inputs of which some are FIFOs
# (their size unknown: read to their end through the temporary file, in a pool of the budget).
MODES = ["memory", "file", "stdin", "merge", "fifo"]

SEPS = {b"\n": "\\n", b"\r": "\\r", b"\r\n": "\\r\\n"}
DELIMS = [(b",", None), (b",", ","), (b";", ";"), (b"\t", "\\t"), (b"::", "::"), (b"|#|", "|#|"), (b"ab", "ab"),
          ("、".encode(), "、")]
NUMBERS = [b"  -42", b"7", b"+08", b"12.5", b"12", b"012", b"0", b"-0", b"", b" ", b"+", b"-", b"abc", b"2147483647",
           b"2147483648", b"-2147483648", b"4294967296", b"4294967297", b"99999999999", b"\t5", b"1 2", b"--3",
           b"1733640000000", b"9223372036854775807", b"9223372036854775808", b"-9223372036854775808",
           b"-9223372036854775809", b"99999999999999999999999",
           b"+-3", b" +7x", b"\v\f9"]


@dataclass
class Case:
    number: int
    opt: Options
    files: list[bytes]
    args: list[str]
    out: Path
    err: Path | None
    mode: str = "memory"
    stdin: Path | None = None
    fifos: list[tuple[str, str]] | None = None  # (FIFO, the file fed through it)

    @property
    def through_file(self) -> bool:  # a -W below the input's need: the temporary-file mode
        return self.mode == "file"


# ---- generation ----

def gen_number(rng: random.Random) -> bytes:
    if rng.random() < 0.35:
        return rng.choice(NUMBERS)
    blanks = rng.choice([b"", b"", b"", b" ", b"  ", b"\t"])
    sign = rng.choice([b"", b"", b"-", b"+"])
    digits = "".join(rng.choice("0123456789") for _ in range(rng.choice([1, 1, 2, 3, 10, 11, 12])))
    return blanks + sign + digits.encode() + rng.choice([b"", b"", b"", b"x", b".5", b" "])


def gen_text(rng: random.Random, alphabet: bytes, longest: int = 3) -> bytes:
    return bytes(rng.choice(alphabet) for _ in range(rng.randint(1, longest)))


def gen_column(rng: random.Random, delim: bytes, sep: bytes) -> bytes:
    r = rng.random()
    if r < 0.2:
        return b""
    if r < 0.45:
        return gen_number(rng)
    if r < 0.75:  # bytes past 0x7f and NUL bytes now and then: compared unsigned, never as C strings
        return gen_text(rng, b"aAbB0 " if rng.random() < 0.8 else b"a\x00\x80\xe3\xff")
    if r < 0.94:  # quoted, with delimiters, newline codes and doubled quotes inside
        inner = b"".join(rng.choice([gen_text(rng, b"ab 1"), delim, sep, b'""', b"\r", b"\n"])
                         for _ in range(rng.randint(0, 3)))
        return b'"' + inner + b'"'
    return gen_text(rng, b"ab") + b'"' + gen_text(rng, b"ab1")  # a stray quote: runs on to the next one


def gen_keys(rng: random.Random, make) -> tuple[Key, ...]:
    return tuple(make() for _ in range(rng.choice([0, 1, 1, 2, 2, 3, 4])))


def key_arg(rng: random.Random, k: Key, csv: bool) -> str:
    text = str(k.pos) if csv else f"{k.pos},{k.len}"
    return text + ("n" if k.numeric else "") + ("d" if k.desc else rng.choice(["", "a", "A"]))


def from_pool(rng: random.Random, pool: list, make):
    return rng.choice(pool) if pool and rng.random() < 0.6 else make()


def make_case(n: int, root: Path, mode: str = "memory") -> Case:
    rng = random.Random(SEED * 1_000_003 + n)
    layout = rng.choice(["fixed", "variable", "csv", "csv"])
    args: list[str] = []
    nfiles = rng.choice([1, 1, 2, 3, 4])
    sizes = [rng.choice([0, 1, 3, 8, 15, 30]) for _ in range(nfiles)]
    if rng.random() < 0.04:  # past the first entry store and the small-array paths of the sorts
        sizes[rng.randrange(nfiles)] = rng.randint(1100, 2500)
    pool: list[bytes] = []

    def record(make):
        r = from_pool(rng, pool, make)
        pool.append(r)
        return r

    if layout == "fixed":
        reclen = rng.randint(1, 12)
        opt = Options("fixed", reclen=reclen)
        args += ["-L", str(reclen)]

        def fixed_key():
            pos = rng.randrange(reclen)
            return Key(pos, rng.randint(1, reclen - pos), rng.random() < 0.4, rng.random() < 0.4)
        opt.keys = gen_keys(rng, fixed_key)

        def fixed_record():
            raw = b"".join(rng.choice([gen_number(rng), gen_text(rng, b"ab 0\n\x00\xff")]) for _ in range(4))
            return (raw + b" " * reclen)[:reclen]
        files = [b"".join(record(fixed_record) for _ in range(s)) for s in sizes]
    else:
        sep = rng.choice(list(SEPS))
        if sep != b"\n" or rng.random() < 0.3:
            args += ["-P", SEPS[sep]]
        if layout == "variable":
            opt = Options("variable", sep=sep)

            def var_key():
                return Key(rng.randint(0, 6), rng.randint(1, 5), rng.random() < 0.4, rng.random() < 0.4)
            opt.keys = gen_keys(rng, var_key)
            stray = b"\r" if sep == b"\n" else b"\n" if sep == b"\r" else rng.choice([b"\r", b"\n"])

            def var_line():
                return b"".join(rng.choice([gen_number(rng), gen_text(rng, b"ab 0-\x00\xff"), stray])
                                for _ in range(rng.randint(0, 3)))
            lines = [[record(var_line) for _ in range(s)] for s in sizes]
            header = None
        else:
            delim, delim_arg = rng.choice(DELIMS)
            opt = Options("csv", sep=sep, delim=delim, header=rng.random() < 0.3, nulllast=rng.random() < 0.3)
            args.append("-C")
            if delim_arg is not None:
                args += ["-D", delim_arg]
            if opt.header:
                args.append("-H")

            def csv_key():
                return Key(rng.choice([1, 1, 2, 2, 3, 4, 5]), 0, rng.random() < 0.4, rng.random() < 0.4)
            opt.keys = gen_keys(rng, csv_key)

            def csv_line():
                return delim.join(gen_column(rng, delim, sep) for _ in range(rng.choice([1, 2, 3, 3, 4, 5])))
            lines = [[record(csv_line) for _ in range(s)] for s in sizes]
            header = delim.join(b"h%d" % i for i in range(rng.randint(1, 3))) if opt.header else None
        files = []
        for body in lines:
            content = sep.join(body) + (sep if body and rng.random() < 0.7 else b"")
            if header is not None:  # every file then has its own header line
                line = header + rng.choice([b"", b"x"])
                # A file that is its header alone may lack the final newline code.
                content = line if not body and rng.random() < 0.4 else line + sep + content
            files.append(content)
        if layout == "variable" and rng.random() < 0.1:
            opt.nulllast = True  # CSV only: must change nothing here
    if opt.nulllast:
        args.append("-N")
    if not opt.keys:
        opt.recsort = rng.choice([1, 2])
        args += {1: rng.choice([[], ["-A"]]), 2: ["-R"]}[opt.recsort]
    for k in opt.keys:
        args += ["-K", key_arg(rng, k, layout == "csv")]
    opt.stable, opt.unique = rng.random() < 0.5, rng.random() < 0.35
    args += ["-S"] * opt.stable + ["-U"] * opt.unique

    folder = root / f"case{n}{mode}"
    folder.mkdir()
    if mode == "file":  # any budget below the 1 MiB reserve is below the need of an input with data
        args += ["-W", rng.choice(["1K", "64KB", "1000000"])]
    if mode == "stdin":
        files = [b"".join(files)]  # one stream
    if mode == "merge":
        args.append("-M")
        files = [presorted(opt, content, rng) for content in files]
    out = folder / "out.txt"
    err = folder / "err.txt" if rng.random() < 0.4 else None
    args += ["-O", str(out)] + (["-E", str(err)] if err else [])
    # Apart from rng, so that the other modes' cases stay as they were.
    streams = random.Random(f"{SEED}/{n}/streams")
    surely = streams.randrange(len(files)) if mode == "fifo" else -1  # a FIFO at least
    fifos = []
    for i, content in enumerate(files):
        (folder / f"in{i}.txt").write_bytes(content)
        if i == surely or (mode in ("fifo", "merge") and streams.random() < 0.3):
            fifos.append((str(folder / f"in{i}.fifo"), str(folder / f"in{i}.txt")))
            args.append(fifos[-1][0])
        elif mode != "stdin":
            args.append(str(folder / f"in{i}.txt"))
    return Case(n, opt, files, args, out, err, mode, folder / "in0.txt" if mode == "stdin" else None, fifos)


def presorted(opt: Options, content: bytes, rng: random.Random) -> bytes:
    """An input for -M: the file's records in the model's order, its error records among them, its header line
    first; a record with an open quote, which could swallow the ones after it, is left out."""
    model = Model(Options(**{**opt.__dict__, "unique": False}))
    try:
        datas, header = model.load([content])
    except ModelError:
        return content
    sep = opt.sep
    records = [r for r in model.split(datas[0]) if opt.layout != "csv" or model._whole(r)]
    good = sorted((r for r in records if not model.is_error(r)),
                  key=model.sort_key() or functools.cmp_to_key(model.compare))
    for e in (r for r in records if model.is_error(r)):
        good.insert(rng.randrange(len(good) + 1), e)
    body = b"".join(good)
    if opt.layout != "fixed" and body and rng.random() < 0.3:
        body = body[:-len(sep)]  # no final newline code
    first = content.split(sep, 1)[0] + sep if opt.layout == "csv" and opt.header else b""
    return first + body


# ---- checking ----

def check_case(case: Case, rc: int) -> list[str]:
    model = Model(case.opt)
    try:
        expected = model.run(case.files)
    except ModelError as e:  # the generator gives every file its header line, so this is a fault of the test
        return [f"generator made a case the model rejects: {e}"]
    if rc != 0:
        return [f"result {rc}, expected 0"]
    problems = []
    out = case.out.read_bytes() if case.out.exists() else None
    if out is None:
        return ["no output file"]
    if case.err is not None:
        got = case.err.read_bytes() if case.err.exists() else b""
        # Error records reach the file last first within a buffer: all input in memory, one
        # file per block through the temporary file (these inputs are smaller than a load).
        buffers = expected.file_errors if case.mode in ("file", "merge", "fifo") else [expected.errors]
        want = b"".join(b"".join(reversed(errors)) for errors in buffers)
        if got != want:
            problems.append(f"error file {got[:300]!r}, expected {want[:300]!r}")
    # Through the temporary file and in a merge -U keeps the first of equal records in input order,
    # whatever the block boundaries, as the in-memory sort does.
    if case.opt.stable or (case.opt.unique and case.mode in ("file", "merge", "fifo")):
        if out != expected.output:
            problems.append(f"output\n  got      {out[:600]!r}\n  expected {expected.output[:600]!r}")
        return problems
    header = expected.header or b""
    if not out.startswith(header):
        return problems + [f"output does not start with the header {header!r}: {out[:200]!r}"]
    body = out[len(header):]
    parts = model.ordered_parse(body, expected.records, case.opt.unique)
    if parts is not None:
        reason = check_unstable(model, case.opt, parts, expected)
        return problems + ([f"{reason}\n  output {out[:600]!r}"] if reason else [])
    # No ordered reading: explain with the plain one.
    plain = model.plain_parse(body)
    reason = check_unstable(model, case.opt, plain, expected) if plain is not None else None
    return problems + [f"{reason or 'the output cannot be cut into the input records in order'}\n  output {out[:600]!r}"]


def check_unstable(model: Model, opt: Options, parts: list[bytes], expected) -> str | None:
    have, want = Counter(parts), Counter(expected.records)
    pairs = list(zip(parts, parts[1:]))
    if not opt.unique:
        if have != want:
            return f"records differ from the input's: missing {list((want - have).elements())[:5]!r}, " \
                   f"extra {list((have - want).elements())[:5]!r}"
        bad = [(a, b) for a, b in pairs if model.compare(a, b) > 0]
        return f"out of order: {bad[0]!r}" if bad else None
    if have - want:
        return f"records not in the input: {list((have - want).elements())[:5]!r}"
    bad = [(a, b) for a, b in pairs if model.compare(a, b) >= 0 or model.equal(a, b)]
    if bad:
        return f"not strictly ordered or duplicate kept: {bad[0]!r}"
    if len(parts) != expected.classes:
        return f"{len(parts)} records written, {expected.classes} distinct keys in the input"
    return None


def describe(case: Case, problems: list[str]) -> str:
    lines = [f"TESRA_DIFF_SEED={SEED} case {case.number} ({case.mode}): tesra {shlex.join(case.args)}"
             + (f" < {case.stdin}" if case.stdin else "")
             + "".join(f", {fifo} fed from {source}" for fifo, source in case.fifos or [])]
    lines += [f"  input {i}: {content[:400]!r}" for i, content in enumerate(case.files)]
    lines += ["  " + p for p in problems]
    if problems and problems[0].startswith("result") and not case.fifos:
        rerun = run_tesra(case.args, stdin=case.stdin.read_bytes() if case.stdin else None)
        lines.append("  messages: " + rerun.messages.strip().replace("\n", " | "))
    return "\n".join(lines)


THREADS = (2, 5)  # besides one thread: each case runs again with these, and must write the same bytes


def with_threads(case: Case, threads: int) -> tuple[list[str], list[tuple[str, str]], list[tuple[Path, Path]]]:
    """The case's command line for another run: its output, error file and FIFOs renamed. Returns the
    arguments, the FIFOs and the (one thread's, this run's) file pairs to compare."""
    rename = {str(case.out): f"{case.out}.t{threads}"}
    if case.err:
        rename[str(case.err)] = f"{case.err}.t{threads}"
    fifos = [(f"{fifo}.t{threads}", source) for fifo, source in case.fifos or []]
    rename.update({fifo: f"{fifo}.t{threads}" for fifo, _ in case.fifos or []})
    args = [rename.get(a, a) for a in case.args]
    return args, fifos, [(Path(k), Path(v)) for k, v in rename.items() if not k.endswith(".fifo")]


def same_bytes(case: Case, threads: int, rc: int, rc1: int, pairs: list[tuple[Path, Path]]) -> str | None:
    if rc != rc1:
        return f"{threads} threads: result {rc}, one thread: {rc1}"
    for one, other in pairs:
        a = one.read_bytes() if one.exists() else None
        b = other.read_bytes() if other.exists() else None
        if a != b:
            return f"{threads} threads wrote {other.name} unlike one thread:\n  one  {a!r:.400}\n  {threads}    {b!r:.400}"
    return None


@pytest.mark.parametrize("batch", range((CASES + BATCH - 1) // BATCH))
def test_engine_agrees_with_model(batch, tmp_path):
    numbers = range(batch * BATCH, min(CASES, (batch + 1) * BATCH))
    cases = [make_case(n, tmp_path, mode) for n in numbers for mode in MODES]
    variants = [(c, t, *with_threads(c, t)) for c in cases for t in THREADS]
    runs = [(c.args, str(c.stdin or ""), c.fifos or [], 1) for c in cases]
    runs += [(args, str(c.stdin or ""), fifos, t) for c, t, args, fifos, _ in variants]
    (tmp_path / "cases.json").write_text(json.dumps(runs), encoding="utf-8")
    run = run_code(BATCH_CODE, str(tmp_path / "cases.json"), str(tmp_path / "results.json"), timeout=300)
    assert run.rc == 0, f"batch process failed (seed {SEED}, cases {numbers}): {run.err_text[-2000:]}"
    results = json.loads((tmp_path / "results.json").read_text(encoding="utf-8"))
    failures = [describe(c, p) for c, rc in zip(cases, results) if (p := check_case(c, rc))]
    one = {id(c): rc for c, rc in zip(cases, results)}
    failures += [describe(c, [p]) for (c, t, _, _, pairs), rc in zip(variants, results[len(cases):])
                 if (p := same_bytes(c, t, rc, one[id(c)], pairs))]
    assert not failures, f"{len(failures)} of {len(cases)} cases disagree with the model\n\n" + "\n\n".join(failures)


# ---- larger inputs in orders that trouble sorts: presorted, reversed, all equal, few values, organ pipe ----

PATTERNS = {
    "random": lambda n, rng: [rng.randrange(10 ** 6) for _ in range(n)],
    "sorted": lambda n, rng: list(range(n)),
    "reversed": lambda n, rng: list(range(n, 0, -1)),
    "equal": lambda n, rng: [7] * n,
    "few": lambda n, rng: [rng.randrange(4) for _ in range(n)],
    "organ-pipe": lambda n, rng: list(range(n // 2)) + list(range(n - n // 2, 0, -1)),
    "sawtooth": lambda n, rng: [i % 97 for i in range(n)],
}
LAYOUTS = {  # record for (value, input position), options, arguments
    "fixed": (lambda v, i: b"%08d%05d" % (v, i), Options("fixed", reclen=13, keys=(Key(0, 8),)),
              ["-L", "13", "-K", "0,8"]),
    "variable": (lambda v, i: b"%d|%d\n" % (v, i), Options("variable", keys=(Key(0, 7, numeric=True, desc=True),)),
                 ["-K", "0,7nd"]),
    "csv": (lambda v, i: b'"%d",%d,x\n' % (i, v), Options("csv", keys=(Key(2, numeric=True),)), ["-C", "-K", "2n"]),
}


@pytest.mark.parametrize("stable", [False, True], ids=["unstable", "stable"])
@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_larger_inputs_in_awkward_orders(layout, stable, tmp_path):
    make, base, args = LAYOUTS[layout]
    rng = random.Random(SEED)
    cases = []
    for number, (name, values) in enumerate(PATTERNS.items()):
        folder = tmp_path / name
        folder.mkdir()
        content = b"".join(make(v, i) for i, v in enumerate(values(12000, rng)))
        (folder / "in").write_bytes(content)
        opt = Options(**{**base.__dict__, "stable": stable})
        case_args = args + ["-S"] * stable + ["-O", str(folder / "out"), str(folder / "in")]
        cases.append(Case(number, opt, [content], case_args, folder / "out", None))
    variants = [(c, t, *with_threads(c, t)) for c in cases for t in THREADS]
    runs = [(c.args, "", [], 1) for c in cases] + [(args, "", [], t) for c, t, args, _, _ in variants]
    (tmp_path / "cases.json").write_text(json.dumps(runs), encoding="utf-8")
    run = run_code(BATCH_CODE, str(tmp_path / "cases.json"), str(tmp_path / "results.json"), timeout=300)
    assert run.rc == 0, run.err_text[-2000:]
    results = json.loads((tmp_path / "results.json").read_text(encoding="utf-8"))
    failures = [f"{name}: " + describe(c, p) for name, c, rc in zip(PATTERNS, cases, results) if (p := check_case(c, rc))]
    failures += [describe(c, [p]) for (c, t, _, _, pairs), rc in zip(variants, results[len(cases):])
                 if (p := same_bytes(c, t, rc, results[c.number], pairs))]
    assert not failures, "\n\n".join(failures)


# ---- inputs larger than the memory budget: several blocks through the temporary file ----

def big_fixed(rng: random.Random, size: int) -> tuple[list[bytes], Options, list[str]]:
    recs = b"".join(b"%s%08d%s" % (bytes(rng.choices(b"abc", k=6)), rng.randrange(10 ** 6), bytes(rng.choices(b"xyz", k=10)))
                    for _ in range(size // 24))
    return [recs[: len(recs) // 3 // 24 * 24], recs[len(recs) // 3 // 24 * 24:]], \
        Options("fixed", reclen=24, keys=(Key(0, 6), Key(6, 8, numeric=True)), stable=True), \
        ["-L", "24", "-K", "0,6", "-K", "6,8n", "-S"]


def big_variable(rng: random.Random, size: int) -> tuple[list[bytes], Options, list[str]]:
    lines, n = [], 0
    while n < size:
        line = bytes(rng.choices(b"ab", k=5)) + b"%010d" % rng.randrange(3000) + bytes(rng.choices(b"q ", k=rng.randrange(60)))
        lines.append(line)
        n += len(line) + 1
    lines.insert(len(lines) // 2, b"ab" + b"7" * 200_000)  # far longer than most
    # the last file lacks its final newline code
    half = len(lines) // 2
    files = [b"\n".join(lines[:half]) + b"\n", b"\n".join(lines[half:])]
    return files, Options("variable", keys=(Key(0, 5), Key(5, 10, numeric=True)), unique=True, stable=True), \
        ["-K", "0,5", "-K", "5,10n", "-U", "-S"]


def big_csv(rng: random.Random, size: int) -> tuple[list[bytes], Options, list[str]]:
    rows, n = [], 0
    while n < size:
        note = rng.choice([b"", b"plain", b'"with, comma"', b'"two\nlines"', b'"say ""hi"""'])
        row = b"%d,%s,%d,%s" % (n, bytes(rng.choices(b"klm", k=3)), rng.randrange(-500, 500), note)
        rows.append(row)
        n += len(row) + 1
    third = len(rows) // 3
    files = [b"id,name,amount,note\n" + b"\n".join(rows[:third]) + b"\n",
             b"ID,NAME,AMOUNT,NOTE\n" + b"\n".join(rows[third:]) + b'\n9,kkk,1,"open to the end\n']
    return files, Options("csv", header=True, keys=(Key(2), Key(3, numeric=True)), stable=True), \
        ["-C", "-H", "-K", "2", "-K", "3n", "-S"]


@pytest.mark.parametrize("mode", ["file", "stdin", "merge"])
@pytest.mark.parametrize("make", [big_fixed, big_variable, big_csv], ids=["fixed", "variable", "csv"])
def test_inputs_larger_than_the_budget(make, mode, tmp_path):
    # Through the temporary file and from standard input: several blocks of a 16 MB budget. Merged:
    # presorted inputs of several of the merge's 1 MB loads each.
    rng = random.Random(SEED)
    files, opt, args = make(rng, (12 if mode != "merge" else 4) << 20)
    if mode == "stdin":
        files = [b"".join(files)]
    if mode == "merge":
        files = [presorted(opt, content, rng) for content in files]
        args = ["-M", *args]
    paths = []
    for i, content in enumerate(files):
        (tmp_path / f"in{i}").write_bytes(content)
        paths.append(str(tmp_path / f"in{i}"))
    case = Case(0, opt, files, ["-W", "16M", *args, "-O", str(tmp_path / "out"), *(paths if mode != "stdin" else [])],
                tmp_path / "out", None, mode, tmp_path / "in0" if mode == "stdin" else None)
    (tmp_path / "t").mkdir()
    run = run_tesra(["-Verbose", *case.args], env=engine_env(TEMP=str(tmp_path / "t")), timeout=300,
                    stdin=files[0] if mode == "stdin" else None)
    if mode == "file":
        blocks = int(re.search(r"Number of split blocks: \[(\d+)\]", run.messages).group(1))
        assert blocks >= 2, "the input must span several blocks"
    if mode == "stdin":
        assert "分割したブロック数は[" in run.messages and "分割したブロック数は[1]" not in run.messages
    if mode == "merge":
        assert all(len(f) > 1 << 20 for f in files)
    assert "ヒップから割当てる" not in run.messages, "blocks and merge buffers must fit the budget, not spill to the heap"
    problems = check_case(case, run.rc)
    assert not problems, describe(case, problems)
    assert os.listdir(tmp_path / "t") == []  # the temporary file is gone


# ---- blocks too many for one merge: the merge goes in passes through a second temporary file ----

def many_blocks(rng: random.Random, csv: bool, unique: bool) -> tuple[list[bytes], Options, list[str]]:
    """A first record longer than the sample makes the loads' plan expect few records, so that every
    block ends after a few hundred; long records among them leave each block too little of a 16 MB
    budget for a merge of all of them."""
    def record(key: bytes, rest: bytes) -> bytes:
        return b'%s,"%s",%d\n' % (key, rest, rng.randrange(9)) if csv else b"%s %s\n" % (key, rest)
    records = [record(b"999", b"y" * 100_000)]
    for i in range(30_000):
        long = i % 150 == 0
        rest = bytes([rng.choice(b"abc")]) * rng.randrange(100_000, 140_000) if long else b"%d" % rng.randrange(1000)
        records.append(record(b"%03d" % rng.randrange(300), rest))
    half = len(records) // 2
    files = [b"".join(records[:half]), b"".join(records[half:])]
    key = Key(1) if csv else Key(0, 3, numeric=True)
    opt = Options("csv" if csv else "variable", keys=(key,), stable=True, unique=unique)
    return files, opt, (["-C", "-K", "1"] if csv else ["-K", "0,3n"]) + ["-S"] + ["-U"] * unique


@pytest.mark.parametrize("mode", ["file", "stdin"])
@pytest.mark.parametrize("layout,unique", [("variable", False), ("variable", True), ("csv", True)])
def test_blocks_too_many_for_one_merge(layout, unique, mode, tmp_path):
    rng = random.Random(SEED)
    files, opt, args = many_blocks(rng, layout == "csv", unique)
    if mode == "stdin":
        files = [b"".join(files)]
    paths = []
    for i, content in enumerate(files):
        (tmp_path / f"in{i}").write_bytes(content)
        paths.append(str(tmp_path / f"in{i}"))
    case = Case(0, opt, files, ["-W", "16M", *args, "-O", str(tmp_path / "out"), *(paths if mode == "file" else [])],
                tmp_path / "out", None, mode, tmp_path / "in0" if mode == "stdin" else None)
    (tmp_path / "t").mkdir()
    run = run_tesra(["-Verbose", *case.args], env=engine_env(TEMP=str(tmp_path / "t")), timeout=300,
                    stdin=files[0] if mode == "stdin" else None)
    assert "マージパス1：" in run.messages, "the blocks must be too many for one merge"
    assert "ヒップから割当てる" not in run.messages, "every pass must fit the budget"
    problems = check_case(case, run.rc)
    assert not problems, describe(case, problems)
    assert os.listdir(tmp_path / "t") == []
