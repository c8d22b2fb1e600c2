"""Times tesra against the tools a user would otherwise pick, on generated data sets.

Usage (from anywhere; bench/run finds the interpreter):
    bench/run [--mode memory,tmpfile,stdin,merge] [--size 200M] [--runs 3] [--datasets ...]
              [--tools ...] [--keep]
    bench/run --scale [--scale-sizes 1G,4G,10G] [--scale-runs 3,1,1] [--no-keep-data]

Modes: memory sorts a file in memory; tmpfile sorts a larger file under a small memory budget
through temporary files; stdin sorts a file piped in by cat; merge merges four presorted parts;
scale (--scale) sorts lines of 1, 4 and 10 GiB under a 1 GiB budget and measures temporary disk.
Data sets are generated once per size into bench/data/, outputs go to bench/out/. Every tool reads
the same input and writes its sorted output to a file. The first output of each tool is checked
against GNU sort's (single thread; its merge in merge mode) before anything is timed further.
"""

from __future__ import annotations

import argparse
import hashlib
import itertools
import math
import os
import platform
import random
import re
import shlex
import shutil
import stat
import statistics
import subprocess
import sys
import threading
import time
import zlib
from collections.abc import Callable
from contextlib import nullcontext
from dataclasses import dataclass
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
DATA = BENCH / "data"
OUT = BENCH / "out"
TESRA = REPO / ".venv" / "bin" / "tesra"
BASELINE: Path | None = None  # --baseline: an earlier build's tesra, timed beside the current one
TOOLS_VENV = BENCH / ".venv-tools"
TOOLS_PY = TOOLS_VENV / "bin" / "python"
TIME = Path("/usr/bin/time")
SEED = 20240611

PRINTABLE = bytes(range(0x20, 0x7F))
ALNUM = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"


def byte_table(alphabet: bytes) -> bytes:
    """Translation table mapping every byte value onto the alphabet (near uniformly)."""
    return bytes(alphabet[i % len(alphabet)] for i in range(256))


# ---------------------------------------------------------------- data sets

def gen_lines(path: Path, size: int, rng: random.Random) -> int:
    """Variable-length lines of random printable ASCII, 1 to 400 bytes, about 60 on average."""
    table = byte_table(PRINTABLE)
    written = count = 0
    with open(path, "wb") as f:
        while written < size:
            blob = rng.randbytes(1 << 22).translate(table)
            lines, off = [], 0
            while True:
                n = min(400, 1 + int(rng.expovariate(1 / 59)))
                if off + n > len(blob) or written + off + len(lines) >= size:
                    break
                lines.append(blob[off:off + n])
                off += n
            chunk = b"\n".join(lines) + b"\n"
            f.write(chunk)
            written += len(chunk)
            count += len(lines)
    return count


SYLLABLES = ["ka", "ri", "mo", "ta", "shi", "no", "be", "lu", "an", "der", "son", "el", "mar", "ko",
             "vic", "ra", "wa", "zu", "gen", "ber", "li", "to", "sa", "ven", "ho", "pe", "ny", "dre"]
CATEGORIES = ["books", "garden", "grocery", "hardware", "health", "kitchen", "music", "office",
              "outdoor", "pets", "sports", "tools", "toys", "travel"]
WORDS = ["late", "delivery", "gift", "wrap", "returned", "damaged", "box", "customer", "called",
         "paid", "cash", "card", "refund", "pending", "express", "note", "second", "order", "ok"]


def gen_csv(path: Path, size: int, rng: random.Random) -> int:
    """Orders: id,name,amount,day,category,note. Keys are name (text) and amount (integer).

    About 60,000 distinct names so the numeric key decides often; amounts include negatives
    (refunds). The note column comes last and is often quoted with commas or doubled quotes,
    so the key columns stay plain for tools that split on every comma.
    """
    names = sorted({"".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 4))).capitalize()
                    for _ in range(70000)})
    written = count = 0
    with open(path, "wb") as f:
        while written < size:
            rows = []
            for _ in range(50000):
                r = rng.random()
                if r < 0.3:
                    note = ""
                elif r < 0.65:
                    note = " ".join(rng.choices(WORDS, k=rng.randint(1, 4)))
                elif r < 0.95:
                    note = '"' + ", ".join(rng.choices(WORDS, k=rng.randint(2, 5))) + '"'
                else:
                    note = '"said ""' + rng.choice(WORDS) + '"", ' + rng.choice(WORDS) + '"'
                amount = rng.randint(-20000, -1) if rng.random() < 0.05 else rng.randint(0, 2_000_000)
                rows.append(f"{rng.randrange(100_000_000, 1_000_000_000)},{rng.choice(names)},{amount},"
                            f"202{rng.randint(0, 5)}-{rng.randint(1, 12):02}-{rng.randint(1, 28):02},"
                            f"{rng.choice(CATEGORIES)},{note}\n")
            w, n = write_rows(f, rows, written, size)
            written += w
            count += n
    return count


def gen_fixed(path: Path, size: int, rng: random.Random) -> int:
    """100-byte records: a 10-byte alphanumeric key, 89 printable bytes, and '\\n' as byte 100.

    Keys have no blanks, so GNU sort's first field covers them; 62^10 keys make duplicates
    practically absent, so every correct sort writes the same bytes.
    """
    per_chunk = 40000
    total = max(1, size // 100)
    key_table, body_table = byte_table(ALNUM), byte_table(PRINTABLE)
    with open(path, "wb") as f:
        done = 0
        while done < total:
            n = min(per_chunk, total - done)
            buf = bytearray(rng.randbytes(n * 100).translate(body_table))
            for k in range(10):
                buf[k::100] = rng.randbytes(n).translate(key_table)
            buf[99::100] = b"\n" * n
            f.write(buf)
            done += n
    return total


URL_HOSTS = ["https://www.example.com", "https://shop.example.com", "https://static.example.net",
             "http://intranet.example.org", "https://api.example.org", "https://docs.example.io"]
URL_SEGMENTS = ["catalog", "products", "v2", "v3", "en-us", "ja-jp", "category", "archive", "2023",
                "2024", "static", "assets", "images", "thumbnails", "users", "profile", "search",
                "reference", "items", "detail", "media", "downloads", "releases", "stable", *CATEGORIES]
URL_VALUES = {
    "id": lambda rng: str(rng.randrange(1, 10_000_000)),
    "ref": lambda rng: rng.choice(WORDS),
    "page": lambda rng: str(rng.randint(1, 40)),
    "sort": lambda rng: rng.choice(["asc", "desc", "price", "newest", "rating"]),
    "lang": lambda rng: rng.choice(["en", "ja", "de", "fr"]),
    "session": lambda rng: f"{rng.getrandbits(64):016x}",
    "utm_source": lambda rng: rng.choice(["news", "mail", "feed", "partner", "social"]),
    "utm_medium": lambda rng: rng.choice(["cpc", "email", "banner", "organic"]),
    "q": lambda rng: "+".join(rng.choices(WORDS, k=rng.randint(1, 3))),
}


def gen_urls(path: Path, size: int, rng: random.Random) -> int:
    """URLs with long shared prefixes, about 110 bytes on average.

    Six scheme+host prefixes and 200 directories of 4 to 8 segments under them, a few of which
    hold most lines (weights 1/rank); then a page name and, for 60 %, a query string. A fifth of
    the lines revisit a recent page of their directory with another query, so many neighbours in
    sorted order share prefixes well past the directory. Comparing them means looking far past the
    first eight bytes.
    """
    dirs = [rng.choice(URL_HOSTS) + "/" + "/".join(rng.choices(URL_SEGMENTS, k=rng.randint(4, 8))) + "/"
            for _ in range(200)]
    weights = [1 / (rank + 1) for rank in range(len(dirs))]
    recent: dict[int, list[str]] = {}
    written = count = 0
    with open(path, "wb") as f:
        while written < size:
            rows = []
            for d in rng.choices(range(len(dirs)), weights=weights, k=20000):
                pages = recent.setdefault(d, [])
                if pages and rng.random() < 0.2:
                    page = rng.choice(pages)
                else:
                    page = ("-".join(rng.choices(WORDS, k=rng.randint(1, 3))) + f"-{rng.randrange(10_000_000)}"
                            + rng.choice(["", ".html", "/", ".json"]))
                    if len(pages) < 8:
                        pages.append(page)
                    else:
                        pages[rng.randrange(8)] = page
                query = ""
                if rng.random() < 0.6:
                    query = "?" + "&".join(f"{k}={URL_VALUES[k](rng)}"
                                           for k in rng.sample(list(URL_VALUES), rng.randint(1, 4)))
                rows.append(f"{dirs[d]}{page}{query}\n")
            w, n = write_rows(f, rows, written, size)
            written += w
            count += n
    return count


def write_rows(f, rows: list[str], written: int, size: int) -> tuple[int, int]:
    """Writes rows, stopping at the first one that starts at or past size bytes in all."""
    chunk = "".join(rows).encode()
    if written + len(chunk) > size:
        keep, total = [], written
        for row in rows:
            if total >= size:
                break
            keep.append(row)
            total += len(row)
        rows, chunk = keep, "".join(keep).encode()
    f.write(chunk)
    return len(chunk), len(rows)


def gen_short(path: Path, size: int, rng: random.Random) -> int:
    """9-byte lines: 8 random digits or letters and '\\n'; size / 10 lines (20 Mi at 200 MiB).

    Sorting them is all per-record overhead: the key is a single 8-byte word.
    """
    total = max(1, size // 10)
    table = byte_table(ALNUM)
    with open(path, "wb") as f:
        done = 0
        while done < total:
            n = min(1 << 20, total - done)
            buf = bytearray(rng.randbytes(n * 9).translate(table))
            buf[8::9] = b"\n" * n
            f.write(buf)
            done += n
    return total


TINY_VALUES = b"abcdefgh"


def gen_tiny(path: Path, size: int, rng: random.Random) -> int:
    """Lines of one byte, one of eight letters, and '\\n': size / 2 lines, nearly all ties."""
    total = max(1, size // 2)
    table = byte_table(TINY_VALUES)
    with open(path, "wb") as f:
        done = 0
        while done < total:
            n = min(1 << 22, total - done)
            buf = bytearray(2 * n)
            buf[0::2] = rng.randbytes(n).translate(table)
            buf[1::2] = b"\n" * n
            f.write(buf)
            done += n
    return total


def gen_empty(path: Path, size: int, rng: random.Random) -> int:
    """Empty lines only: size lines of just '\\n'."""
    total = max(1, size)
    with open(path, "wb") as f:
        for done in range(0, total, 1 << 24):
            f.write(b"\n" * min(1 << 24, total - done))
    return total


def whole_line(line: bytes) -> bytes:
    return line


def csv_key_bytes(line: bytes) -> bytes:
    return b",".join(line.split(b",", 3)[1:3])


def fixed_key_bytes(line: bytes) -> bytes:
    return line[:10]


@dataclass
class Dataset:
    name: str
    describe: str
    suffix: str
    generate: Callable[[Path, int, random.Random], int]
    tesra_args: list[str]
    sort_args: list[str]
    check: str  # "bytes": outputs identical to sort's; "keys": key columns in the same order
    sort_key: Callable[[bytes], bytes]  # the bytes a record's order depends on, for splitting
    frame: str | None  # how tool_sort.py reads it (lines, csv, fixed); None: DuckDB/Polars skipped


WHOLE = ([], [], "bytes", whole_line)
DATASETS = {
    "lines": Dataset("lines", "variable-length lines, whole-line sort", "txt", gen_lines,
                     ["-P", "\\n"], [], "bytes", whole_line, "lines"),
    "csv": Dataset("csv", "CSV, text key column 2 then numeric key column 3 descending", "csv", gen_csv,
                   ["-C", "-K", "2", "-K", "3nd"], ["-t,", "-k2,2", "-k3,3nr"], "keys", csv_key_bytes, "csv"),
    "fixed": Dataset("fixed", "100-byte records, 10-byte key", "dat", gen_fixed,
                     ["-L", "100", "-K", "0,10"], ["-k1.1,1.10"], "bytes", fixed_key_bytes, "fixed"),
    "urls": Dataset("urls", "URLs with long shared prefixes, whole-line sort", "txt", gen_urls, *WHOLE, "lines"),
    "short": Dataset("short", "9-byte lines, whole-line sort", "txt", gen_short, *WHOLE, "lines"),
    "tiny": Dataset("tiny", "1-byte lines of 8 values, whole-line sort", "txt", gen_tiny, *WHOLE, "lines"),
    # DuckDB and Polars read an empty line as a NULL row, not as an empty string: nothing comparable.
    "empty": Dataset("empty", "empty lines, whole-line sort", "txt", gen_empty, *WHOLE, None),
}


@dataclass
class Input:
    """What every tool of one table sorts: one data set file, or the presorted parts to merge."""
    ds: Dataset
    paths: list[Path]
    records: int = 0
    label: str = ""  # the size asked for, in scale mode, where one table per size is made

    @property
    def nbytes(self) -> int:
        return sum(p.stat().st_size for p in self.paths)


def count_records(paths: list[Path]) -> int:
    count = 0
    for path in paths:
        with open(path, "rb") as f:
            count += sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 24), b""))
    return count


def data_path(ds: Dataset, size: int, seed: int) -> Path:
    return DATA / f"{ds.name}-{size_label(size)}-{seed}.{ds.suffix}"


def data_file(ds: Dataset, size: int, seed: int) -> Path:
    DATA.mkdir(exist_ok=True)
    path = data_path(ds, size, seed)
    if not path.exists():
        print(f"generating {display_path(path)} ...", flush=True)
        tmp = path.with_suffix(".part")
        rng = random.Random(f"{seed}-{ds.name}")
        ds.generate(tmp, size, rng)
        tmp.rename(path)
    return path


def prepare(ds: Dataset, size: int, seed: int) -> Input:
    path = data_file(ds, size, seed)
    return Input(ds, [path], count_records([path]))


def split_by_key(src: Path, outs: list[Path], sort_key: Callable[[bytes], bytes]) -> None:
    """Deals the lines of src out to outs by a hash of their sort key: equal keys, one file."""
    files = [open(p, "wb") for p in outs]
    try:
        with open(src, "rb") as f:
            while lines := f.readlines(1 << 24):
                parts: list[list[bytes]] = [[] for _ in outs]
                for line in lines:
                    parts[zlib.crc32(sort_key(line)) % len(outs)].append(line)
                for out, part in zip(files, parts):
                    out.writelines(part)
    finally:
        for out in files:
            out.close()


def prepare_merge(ds: Dataset, part_size: int, seed: int, parts: int = 4) -> Input:
    """Presorted inputs for the merge: a data set of parts × part_size bytes split by a hash of the
    sort key, each part sorted once by GNU sort and kept in bench/data.

    Records with equal keys all land in one part, in the order GNU sort gave them there, so no tie
    spans two inputs and every correct merge writes the same bytes as `sort -m`.
    """
    src = data_file(ds, parts * part_size, seed)
    finals = [DATA / f"{ds.name}-{size_label(part_size)}-{seed}.merge{i + 1}of{parts}.{ds.suffix}"
              for i in range(parts)]
    if not all(p.exists() for p in finals):
        print(f"splitting {display_path(src)} into {parts} sorted parts ...", flush=True)
        raws = [p.with_suffix(".unsorted") for p in finals]
        split_by_key(src, raws, ds.sort_key)
        for raw, final in zip(raws, finals):
            tmp = final.with_suffix(".part")
            subprocess.run(["sort", "-T", str(DATA), *ds.sort_args, "-o", str(tmp), str(raw)],
                           env=dict(os.environ, LC_ALL="C"), check=True)
            tmp.rename(final)
            raw.unlink()
    return Input(ds, finals, count_records(finals))


# ---------------------------------------------------------------- tools

@dataclass
class Cmd:
    argv: list  # str or Path
    pipe_from: Path | None = None  # run as `cat pipe_from | argv` through bash, timing the pipeline
    stdout: Path | None = None  # the output file when the command writes to standard output
    tmpdir: Path | None = None  # emptied before each run; a run that leaves files in it fails
    env: dict[str, str] | None = None  # set for the command besides LC_ALL=C


@dataclass
class Tool:
    name: str
    cmd: Callable[[Input, Path], Cmd | None]  # None: the tool does not take this data set
    reference: bool = False  # its output is what the others are checked against


MODES = {
    "memory": "In memory",
    "tmpfile": "Through temporary files",
    "stdin": "From standard input",
    "merge": "Merge of presorted files",
    "scale": "At scale",
}
DEFAULT_DATASETS = {"memory": list(DATASETS), "tmpfile": ["lines", "csv", "fixed"],
                    "stdin": ["lines", "csv", "fixed"], "merge": ["lines", "csv", "fixed"],
                    "scale": ["lines"]}
SCALE_SIZES = "1G,4G,10G"
# Temporary disk of the hungriest tool as a multiple of the input, for the free-space check. On
# lines: DuckDB 1.25x, 1.34x and 0.8x at 200M and 500M under 64M and 1G under 1G; tesra 1.07x;
# GNU sort 1.00x.
SCALE_TMP_FACTOR = 1.5


def sort_threads() -> int:
    """The threads GNU sort starts by default: the usable cores, at most 8."""
    return min(8, len(os.sched_getaffinity(0)))


def sort_buffer(inp: Input, threads: int) -> str:
    """-S large enough that GNU sort never spills to temporary files.

    Besides the text, sort keeps a 32-byte descriptor per line plus room to sort them: 1.5 times
    that with one thread, 1 + log2(threads) times with more. Short lines need far more than the
    text; sort itself never allocates more than this worst case for a regular file.
    """
    per_line = 48 if threads == 1 else 32 * (1 + math.ceil(math.log2(threads)))
    need = (inp.nbytes + inp.records * per_line) * 5 // 4
    return f"{max(2048, 4 * inp.nbytes >> 20, (need + (1 << 20) - 1) >> 20)}M"


def duckdb_size(n: int) -> str:
    # DuckDB reads "MB" as 10^6 bytes; "MiB" gives it the same budget as tesra's and sort's "M".
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n % scale == 0:
            return f"{n // scale}{unit}"
    return f"{n}B"


def frame_tool(engine: str, inp: Input, out: Path, *extra) -> Cmd | None:
    if inp.ds.frame is None:
        return None
    return Cmd([TOOLS_PY, BENCH / "tool_sort.py", engine, inp.ds.frame, inp.paths[0], out, *extra])


def cat_floor(inp: Input, out: Path) -> Cmd:
    return Cmd(["cat", *inp.paths], stdout=out)


def tesra_size(n: int) -> str:
    # tesra's -W takes K and M units only: 1 GiB is 1024M.
    for unit, scale in (("M", 1 << 20), ("K", 1 << 10)):
        if n % scale == 0:
            return f"{n // scale}{unit}"
    return str(n)


def one_thread(tool: Tool) -> Tool:
    """The same tesra command on one thread: what the run's threads gain."""
    def cmd(i: Input, o: Path) -> Cmd | None:
        c = tool.cmd(i, o)
        if c is not None:
            c.env = {"TESRA_THREADS": "1"}
        return c
    return Tool("tesra 1 thread", cmd)


def make_tools(mode: str, names: list[str], budget: int) -> list[Tool]:
    tmp = lambda name: OUT / "tmp" / name
    W = size_label(budget)
    if mode == "memory":
        baseline = [Tool("tesra baseline", lambda i, o: Cmd([BASELINE, *i.ds.tesra_args, "-O", o, *i.paths]))] \
            if BASELINE is not None else []
        all_tools = [
            Tool("tesra", lambda i, o: Cmd([TESRA, *i.ds.tesra_args, "-O", o, *i.paths])),
            *baseline,
            Tool("sort 1 thread", lambda i, o: Cmd(["sort", "--parallel=1", "-S", sort_buffer(i, 1),
                                                    *i.ds.sort_args, "-o", o, *i.paths]), True),
            Tool("sort default threads", lambda i, o: Cmd(["sort", "-S", sort_buffer(i, sort_threads()),
                                                           *i.ds.sort_args, "-o", o, *i.paths])),
            Tool("duckdb", lambda i, o: frame_tool("duckdb", i, o)),
            Tool("polars", lambda i, o: frame_tool("polars", i, o)),
            Tool("cat (floor)", cat_floor),
        ]
    elif mode in ("tmpfile", "scale"):
        all_tools = [
            Tool("tesra", lambda i, o: Cmd([TESRA, *i.ds.tesra_args, "-W", tesra_size(budget), "-T", tmp("tesra"),
                                            "-O", o, *i.paths], tmpdir=tmp("tesra"))),
            Tool("sort 1 thread", lambda i, o: Cmd(["sort", "-S", W, "--parallel=1", "-T", tmp("sort"),
                                                    *i.ds.sort_args, "-o", o, *i.paths], tmpdir=tmp("sort")),
                 True),
            Tool("duckdb", lambda i, o: duckdb_tmp(i, o, budget, tmp("duckdb"))),
            Tool("cat (floor)", cat_floor),
        ]
    elif mode == "stdin":
        all_tools = [
            Tool("tesra", lambda i, o: Cmd([TESRA, *i.ds.tesra_args], pipe_from=i.paths[0], stdout=o)),
            Tool("sort 1 thread", lambda i, o: Cmd(["sort", "--parallel=1", "-S", sort_buffer(i, 1),
                                                    *i.ds.sort_args], pipe_from=i.paths[0], stdout=o), True),
            Tool("cat (floor)", lambda i, o: Cmd(["cat"], pipe_from=i.paths[0], stdout=o)),
        ]
    else:
        all_tools = [
            Tool("tesra", lambda i, o: Cmd([TESRA, "-M", *i.ds.tesra_args, "-O", o, *i.paths])),
            Tool("sort -m", lambda i, o: Cmd(["sort", "-m", *i.ds.sort_args, "-o", o, *i.paths]), True),
            Tool("cat (floor)", cat_floor),
        ]
    if mode != "scale":  # hours at scale; the other modes show what the threads gain
        all_tools.insert(1, one_thread(all_tools[0]))
    return [t for t in all_tools if any(t.name.startswith(n) for n in names)]


def duckdb_tmp(inp: Input, out: Path, budget: int, tmpdir: Path) -> Cmd | None:
    # One thread, like the others here; with two, DuckDB fails about every other run at 64 MiB
    # ("could not allocate block"), its threads' buffers not fitting together under the limit.
    cmd = frame_tool("duckdb", inp, out, "1", "--memory-limit", duckdb_size(budget), "--temp-dir", tmpdir)
    if cmd:
        cmd.tmpdir = tmpdir
    return cmd


def ensure_tools_venv() -> bool:
    """Creates bench/.venv-tools with DuckDB and Polars; False when they cannot be installed."""
    check = [str(TOOLS_PY), "-c", "import duckdb, polars"]
    if TOOLS_PY.exists() and subprocess.run(check, capture_output=True).returncode == 0:
        return True
    print("installing DuckDB and Polars into bench/.venv-tools ...", flush=True)
    try:
        subprocess.run([sys.executable, "-m", "venv", str(TOOLS_VENV)], check=True)
        subprocess.run([str(TOOLS_PY), "-m", "pip", "install", "--quiet", "--disable-pip-version-check",
                        "duckdb", "polars"], check=True)
    except subprocess.CalledProcessError:
        return False
    return subprocess.run(check, capture_output=True).returncode == 0


@dataclass
class Run:
    seconds: float  # wall clock
    cpu: float  # user + system time of the process and its children
    peak_kb: int
    tmp_peak: int | None = None  # bytes: most disk its temporary files took at once (scale mode)


def process_tree(root: int) -> list[int]:
    """root and its descendants, as far as they are still running."""
    pids, todo = [], [root]
    while todo:
        pid = todo.pop()
        pids.append(pid)
        try:
            tids = os.listdir(f"/proc/{pid}/task")
        except OSError:
            continue
        for tid in tids:
            try:
                todo += map(int, Path(f"/proc/{pid}/task/{tid}/children").read_text().split())
            except OSError:
                pass
    return pids


class TmpDiskSampler:
    """Samples, while a command runs, the disk its temporary files take: every FAST seconds in its
    first second (short runs would otherwise be missed), then every INTERVAL seconds.

    Counted: the files named in the folder (GNU sort, DuckDB) and the files under the folder that
    the command's processes hold open, named or already unlinked (tesra unlinks its temporary file
    as soon as it is open); each file once, by inode, at its allocated size (on ext4 that includes
    data not yet written back). Unlike the file system's free-space delta this sees neither the
    outputs nor other processes' files. A peak shorter than the interval can be missed.
    """

    FAST, INTERVAL = 0.02, 0.2

    def __init__(self, root_pid: int, folder: Path):
        self.root, self.folder = root_pid, os.path.realpath(folder)
        self.peak = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, daemon=True)

    def __enter__(self) -> TmpDiskSampler:
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()

    def _loop(self) -> None:
        start = time.perf_counter()
        while True:
            self.peak = max(self.peak, self.sample())
            if self._stop.wait(self.FAST if time.perf_counter() - start < 1 else self.INTERVAL):
                return

    def sample(self) -> int:
        files: dict[tuple[int, int], int] = {}

        def add(path: str) -> None:
            try:
                st = os.stat(path)
            except OSError:  # gone since it was listed
                return
            if stat.S_ISREG(st.st_mode):
                files[st.st_dev, st.st_ino] = st.st_blocks * 512

        for top, _, names in os.walk(self.folder):
            for name in names:
                add(os.path.join(top, name))
        for pid in process_tree(self.root):
            fd_dir = f"/proc/{pid}/fd"
            try:
                fds = os.listdir(fd_dir)
            except OSError:
                continue
            for fd in fds:
                try:
                    target = os.readlink(f"{fd_dir}/{fd}")
                except OSError:
                    continue
                if target.startswith(self.folder + "/"):
                    add(f"{fd_dir}/{fd}")  # /proc/PID/fd/N opens the file even once unlinked
        return sum(files.values())


# pipefail: when cat fails (an unreadable input) the run fails, though the sorter saw a clean end.
PIPELINE = 'set -o pipefail; src=$1; shift; cat -- "$src" | "$@"'


def run_once(cmd: Cmd, out: Path, errlog: Path, sample_disk: bool = False) -> Run:
    out.unlink(missing_ok=True)
    if cmd.tmpdir:
        shutil.rmtree(cmd.tmpdir, ignore_errors=True)
        cmd.tmpdir.mkdir(parents=True)
    env = dict(os.environ, LC_ALL="C", **(cmd.env or {}))
    memfile = OUT / ".peak"
    memfile.unlink(missing_ok=True)
    timer = [str(TIME), "-f", "%M", "-o", str(memfile)] if TIME.exists() else []
    argv = [str(a) for a in cmd.argv]
    if cmd.pipe_from:
        # The clock covers the whole pipeline; the peak is the sorter's alone.
        argv = ["bash", "-c", PIPELINE, "bench-pipe", str(cmd.pipe_from), *timer, *argv]
    else:
        argv = [*timer, *argv]
    with open(errlog, "wb") as err, (open(cmd.stdout, "wb") if cmd.stdout else nullcontext(subprocess.DEVNULL)) as so:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=so, stderr=err, env=env)
        sampler = TmpDiskSampler(proc.pid, cmd.tmpdir) if sample_disk and cmd.tmpdir else None
        with sampler or nullcontext():
            _, status, usage = os.wait4(proc.pid, 0)
            seconds = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        tail = errlog.read_bytes()[-2000:].decode("cp932", "replace")
        raise RuntimeError(f"{argv} failed with {proc.returncode}:\n{tail}")
    errlog.unlink()
    if TIME.exists():
        peak = int(memfile.read_text().split()[-1])
        memfile.unlink()
    else:
        peak = usage.ru_maxrss  # kilobytes on Linux
    if cmd.tmpdir:
        left = sorted(p.name for p in cmd.tmpdir.iterdir())
        shutil.rmtree(cmd.tmpdir, ignore_errors=True)
        if left:
            raise RuntimeError(f"left {left} in its temporary folder {display_path(cmd.tmpdir)}")
    return Run(seconds, usage.ru_utime + usage.ru_stime, peak, sampler.peak if sampler else None)


# ---------------------------------------------------------------- checks

def same_bytes(a: Path, b: Path) -> bool:
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 22), fb.read(1 << 22)
            if x != y:
                return False
            if not x:
                return True


def line_digest(path: Path) -> tuple[int, int]:
    """Order-independent digest of the lines (count, sum of hashes): equal for permutations."""
    total = count = 0
    with open(path, "rb") as f:
        for line in f:
            total += int.from_bytes(hashlib.blake2b(line, digest_size=8).digest())
            count += 1
    return count, total & ((1 << 64) - 1)


def csv_keys(path: Path):
    with open(path, "rb") as f:
        for line in f:
            _, name, amount, _ = line.split(b",", 3)
            yield name, int(amount)


def check_output(check: str, out: Path, ref: Path, input_digest) -> str:
    if check == "bytes":
        if same_bytes(out, ref):
            return "= sort, byte for byte"
        return "DIFFERS from sort"
    # Streamed: the keys of a scale-sized output do not fit in memory as lists.
    for i, (x, y) in enumerate(itertools.zip_longest(csv_keys(out), csv_keys(ref))):
        if x != y:
            return f"KEY ORDER DIFFERS from sort at record {i + 1}"
    if line_digest(out) == input_digest:
        return "key order = sort, same records"
    return "key order = sort (records re-quoted)"


# ---------------------------------------------------------------- report

def size_label(n: int) -> str:
    for unit, scale in (("G", 1 << 30), ("M", 1 << 20), ("K", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale}{unit}"
    return str(n)


def parse_size(text: str) -> int:
    m = re.fullmatch(r"(\d+)([KMG]?)B?", text.strip().upper())
    if not m:
        raise argparse.ArgumentTypeError(f"bad size {text!r} (e.g. 200M, 1G)")
    return int(m.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[m.group(2)]


def display_path(p: Path) -> str:
    try:
        return str(Path(p).relative_to(REPO))
    except ValueError:
        return str(p)


def shown(cmd: Cmd, labels: dict[str, str]) -> str:
    """The command as one would type it from the repository, with the input and output named."""
    def word(a) -> str:
        a = str(a)
        if a in labels:
            return labels[a]
        if a == str(TESRA):
            return "tesra"
        return shlex.quote(display_path(Path(a)) if a.startswith(str(REPO) + "/") else a)

    text = " ".join(word(a) for a in cmd.argv)
    if str(cmd.argv[0]) == "sort":
        text = "LC_ALL=C " + text
    if cmd.env:
        text = " ".join(f"{k}={v}" for k, v in cmd.env.items()) + " " + text
    if cmd.pipe_from:
        text = f"cat {word(cmd.pipe_from)} | {text}"
    if cmd.stdout:
        text += f" > {word(cmd.stdout)}"
    return text


def first_line(argv: list[str]) -> str:
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=60)
        return (out.stdout or out.stderr).strip().splitlines()[0]
    except (OSError, subprocess.SubprocessError, IndexError):
        return "unavailable"


def machine_info(have_tools: bool) -> list[str]:
    cpu = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    mem_kb = int(re.search(r"MemTotal:\s+(\d+)", Path("/proc/meminfo").read_text()).group(1))
    os_name = platform.platform()
    release = Path("/etc/os-release")
    if release.exists():
        m = re.search(r'PRETTY_NAME="([^"]*)"', release.read_text())
        if m:
            os_name = f"{m.group(1)}, Linux {platform.release()}"
    commit = first_line(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"])
    tools = [f"tesra {commit} ({first_line([str(REPO / '.venv/bin/python'), '-c', 'import tesra; print(tesra.__version__)'])}, "
             f"Python {platform.python_version()})",
             first_line(["sort", "--version"]), first_line(["cat", "--version"])]
    if have_tools:
        tools.append(first_line([str(TOOLS_PY), "-c",
                                 "import duckdb, polars; print(f'DuckDB {duckdb.__version__}, Polars {polars.__version__}')"]))
    return [f"- CPU: {cpu}, {os.cpu_count()} cores", f"- RAM: {mem_kb / (1 << 20):.0f} GiB",
            f"- OS: {os_name}", f"- Tools: {'; '.join(tools)}"]


def bench_input(mode: str, inp: Input, tools: list[Tool], runs: int, keep: bool,
                summary: list[list[str]] | None = None) -> tuple[list[str], bool]:
    """Times every tool on one input in interleaved rounds; returns the table and whether tesra failed.

    Each run starts after a sync. In scale mode each run also samples its temporary disk, and
    outputs are deleted as soon as they are checked (the reference's after the first round), so
    that a size needs room for only two outputs at a time; a tool whose output differs is not run
    again. The rows of its table are also appended to summary.
    """
    ds = inp.ds
    scale = mode == "scale"
    # Hash-split parts leave no tie across inputs, so every correct merge writes sort's bytes.
    check = "bytes" if mode == "merge" else ds.check
    input_digest = line_digest(inp.paths[0]) if check == "keys" else None
    cmds: dict[str, tuple[Cmd | None, Path]] = {}
    for tool in tools:
        slug = re.sub(r"[^a-z0-9]+", "-", tool.name.lower()).strip("-")
        out = OUT / f"{mode}.{inp.paths[0].stem if scale else ds.name}.{slug}.out"
        cmds[tool.name] = (tool.cmd(inp, out), out)
    ref_tool = next(t for t in tools if t.reference)
    ref = cmds[ref_tool.name][1]
    # The reference runs first so every other tool's first output can be checked against it.
    # Rounds interleave the tools, so that a busy spell on the machine hits them alike.
    order = sorted((t for t in tools if cmds[t.name][0] is not None), key=lambda t: not t.reference)
    results = {t.name: ([], "reference" if t.reference else "") for t in order}
    failed = False

    def evidence(tool: Tool) -> bool:
        """Whether its output stays, even without --keep: a failed tesra keeps its output and the
        reference for a look at the difference (at scale only when they differ: gigabytes kept
        for nothing when tesra stopped)."""
        return failed and (tool.name == "tesra" or tool.reference) and \
            (not scale or "DIFFERS" in results["tesra"][1])

    for i in range(runs):
        for tool in order:
            runs_, status = results[tool.name]
            if status == "FAILED" or (scale and "DIFFERS" in status):
                continue
            cmd, out = cmds[tool.name]
            try:
                os.sync()  # no earlier run's writeback competes with this one
                runs_.append(run_once(cmd, out, out.with_suffix(".err"), sample_disk=scale))
                if i == 0 and not tool.reference and not tool.name.startswith("cat"):
                    if ref.exists():
                        status = check_output(check, out, ref, input_digest)
                    else:
                        status = "not checked: reference failed"
                    if "DIFFERS" in status and tool.name == "tesra":
                        failed = True
            except RuntimeError as e:
                print(f"  {tool.name}: {e}", file=sys.stderr)
                status = "FAILED"
                if tool.name == "tesra":
                    failed = True
            results[tool.name] = (runs_, status)
            what = f"{ds.name} {inp.label}" if scale else ds.name
            print(f"  {mode:7} {what:6} run {i + 1} {tool.name:22} "
                  f"{runs_[-1].seconds if runs_ else float('nan'):8.2f} s  {status if i == 0 else ''}", flush=True)
            if scale and not keep and not (tool.reference and i == 0) and not evidence(tool):
                out.unlink(missing_ok=True)
        if scale and not keep and not evidence(ref_tool):
            ref.unlink(missing_ok=True)  # every first output is checked by now
    if not keep:
        for tool in order:
            if not evidence(tool):
                cmds[tool.name][1].unlink(missing_ok=True)

    def median(tname, what="seconds"):
        runs_ = results.get(tname, ([], ""))[0]
        return statistics.median(getattr(r, what) for r in runs_) if runs_ else None

    base, floor = median("tesra"), median("cat (floor)")
    labels = {str(cmds[t.name][1]): "OUT" for t in tools}
    if len(inp.paths) == 1:
        labels[str(inp.paths[0])] = "FILE"
        files = f"FILE = `{display_path(inp.paths[0])}`"
    else:
        labels.update({str(p): f"PART{k + 1}" for k, p in enumerate(inp.paths)})
        files = "PART1 … PART{} = {}".format(len(inp.paths), ", ".join(f"`{display_path(p)}`" for p in inp.paths))
    what = f"{ds.name} {inp.label}" if scale else ds.name
    table = ["", f"#### {mode} · {what}: {ds.describe} ({inp.nbytes / 1e6:.0f} MB, {inp.records:,} records)", "",
             files]
    for tool in tools:
        cmd = cmds[tool.name][0]
        table.append(f"- {tool.name}: `{shown(cmd, labels)}`" if cmd else f"- {tool.name}: not run (see bench/README.md)")
    if scale:
        table += scale_rows(inp, tools, results, runs, summary)
        return table, failed
    table += ["", "| tool | median s | × tesra | × cat | cpu s | peak MB | output check |",
              "|---|---:|---:|---:|---:|---:|---|"]
    for tool in tools:
        runs_, status = results.get(tool.name, ([], "not run"))
        if not runs_:
            table.append(f"| {tool.name} | – | – | – | – | – | {status} |")
            continue
        t = median(tool.name)
        peak = max(r.peak_kb for r in runs_) / 1024
        ratio_t = f"{t / base:.2f}" if base else "–"
        ratio_c = f"{t / floor:.1f}" if floor else "–"
        cpu = median(tool.name, "cpu")
        table.append(f"| {tool.name} | {t:.2f} | {ratio_t} | {ratio_c} | {cpu:.2f} | {peak:.0f} | {status or '–'} |")
    one = median("tesra 1 thread")
    if base and one:
        table += ["", serial_fraction(one, base, len(os.sched_getaffinity(0)))]
    return table, failed


def serial_fraction(one: float, many: float, threads: int) -> str:
    """Amdahl's law read backwards: the share of the one-thread time that did not shrink with the
    threads, and what it allows on more cores."""
    if threads < 2:
        return f"Speedup {one / many:.2f}× on one core: no serial fraction to read."
    s = (threads * many / one - 1) / (threads - 1)
    s = min(max(s, 0.0), 1.0)
    at = lambda n: 1 / (s + (1 - s) / n)
    return (f"Speedup {one / many:.2f}× on {threads} threads; serial fraction {s:.2f} (Amdahl), which would allow "
            f"{at(16):.1f}× on 16 cores and {at(64):.1f}× on 64.")


def scale_rows(inp: Input, tools: list[Tool], results: dict, runs: int,
               summary: list[list[str]] | None) -> list[str]:
    """The scale table: per tool the median, seconds per GiB of input, peak memory and the most
    temporary disk any run took (MB are 2^20 bytes, like peak MB)."""
    gib = inp.nbytes / (1 << 30)
    medians = {name: statistics.median(r.seconds for r in runs_) for name, (runs_, _) in results.items() if runs_}
    base = medians.get("tesra")
    rows = ["", f"Median of {runs} interleaved run{'s' if runs > 1 else ''}.", "",
            "| tool | median s | s per GiB | × tesra | cpu s | peak MB | tmp disk MB | output check |",
            "|---|---:|---:|---:|---:|---:|---:|---|"]
    for tool in tools:
        runs_, status = results.get(tool.name, ([], "not run"))
        if not runs_:
            cells = ["–"] * 6
        else:
            t = medians[tool.name]
            tmp = [r.tmp_peak for r in runs_ if r.tmp_peak is not None]
            cells = [f"{t:.2f}", f"{t / gib:.2f}", f"{t / base:.2f}" if base else "–",
                     f"{statistics.median(r.cpu for r in runs_):.2f}", f"{max(r.peak_kb for r in runs_) / 1024:.0f}",
                     f"{max(tmp) / (1 << 20):.0f}" if tmp else "–"]
        rows.append(f"| {tool.name} | {' | '.join(cells)} | {status or '–'} |")
        if summary is not None:
            summary.append([f"{inp.ds.name} {inp.label}", tool.name, str(len(runs_)), cells[0], cells[1], cells[4],
                            cells[5], status or "–"])
    return rows


def mode_heading(mode: str, args) -> str:
    if mode == "memory":
        what = f"data sets of {size_label(args.size)}"
    elif mode == "tmpfile":
        what = f"data sets of {size_label(args.tmp_size)}, memory budget {size_label(args.tmp_memory)}"
    elif mode == "stdin":
        what = f"data sets of {size_label(args.size)} piped in by cat"
    elif mode == "merge":
        what = f"4 presorted parts of {size_label(args.merge_size)} each"
    else:
        what = (f"data sets of {', '.join(map(size_label, args.scale_sizes))}, memory budget "
                f"{size_label(args.scale_memory)}, one thread")
    return f"### {MODES[mode]} ({mode}): {what}"


def scale_summary(rows: list[list[str]]) -> list[str]:
    return ["", "#### scale · every size", "",
            "| data set | tool | runs | median s | s per GiB | peak MB | tmp disk MB | output check |",
            "|---|---|---:|---:|---:|---:|---:|---|", *(f"| {' | '.join(r)} |" for r in rows)]


def scale_disk_need(sizes: list[int], datasets: list[str], seed: int, keep_data: bool, kept_outputs: int) -> int:
    """Most free disk the scale mode takes at once, in bytes: the data sets it generates (those of
    earlier sizes too while they are kept) and, while one is timed, two outputs (the reference's
    and one other; with --keep, kept_outputs, which stay) and one tool's temporary files."""
    held = need = 0
    for size in sizes:
        for name in datasets:
            new = 0 if data_path(DATASETS[name], size, seed).exists() else size
            need = max(need, held + new + int(size * (max(2, kept_outputs) + SCALE_TMP_FACTOR)))
            held += (new if keep_data else 0) + size * kept_outputs
    return need


def disk_info(path: Path) -> str:
    """The file system holding path and its free space."""
    mounts = [line.split()[:3] for line in Path("/proc/mounts").read_text().splitlines()]
    real = os.path.realpath(path)
    dev, _, fs = max((m for m in mounts if real == m[1] or real.startswith(m[1].rstrip("/") + "/")),
                     key=lambda m: len(m[1]), default=("?", "?", "?"))
    return f"- Disk: {display_path(path)} on {fs} ({dev}), {shutil.disk_usage(path).free / 1e9:.0f} GB free at start"


def comma_list(text: str, allowed, what: str) -> list[str]:
    items = [x.strip() for x in text.split(",") if x.strip()]
    bad = [x for x in items if x not in allowed]
    if bad or not items:
        raise argparse.ArgumentTypeError(f"unknown {what} {', '.join(bad) or '(none)'}: choose from {', '.join(allowed)}")
    return items


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mode", type=lambda t: comma_list(t, MODES, "mode"), default=None,
                    help="comma-separated modes among memory,tmpfile,stdin,merge,scale (default memory, "
                         "none with --scale)")
    ap.add_argument("--size", type=parse_size, default=parse_size("200M"),
                    help="size of each data set in memory and stdin modes, e.g. 20M, 200M, 1G (default 200M)")
    ap.add_argument("--tmp-size", type=parse_size, default=parse_size("500M"),
                    help="size of each data set in tmpfile mode (default 500M)")
    ap.add_argument("--tmp-memory", type=parse_size, default=parse_size("64M"),
                    help="memory budget of every tool in tmpfile mode (default 64M; tesra takes at least 16M)")
    ap.add_argument("--merge-size", type=parse_size, default=parse_size("100M"),
                    help="size of each of the 4 presorted parts in merge mode (default 100M)")
    ap.add_argument("--runs", type=int, default=3, help="timed runs per tool (default 3)")
    ap.add_argument("--datasets", type=lambda t: comma_list(t, DATASETS, "data set"),
                    help=f"comma-separated subset of {','.join(DATASETS)} (default: all in memory mode, "
                         "lines in scale mode, lines,csv,fixed in the others)")
    ap.add_argument("--tools", default="tesra,sort,duckdb,polars,cat",
                    help="comma-separated name prefixes of tools to run (default all)")
    ap.add_argument("--seed", type=int, default=SEED, help="data generation seed")
    ap.add_argument("--keep", action="store_true", help="keep every tool's output in bench/out/")
    ap.add_argument("--baseline", type=Path, default=None,
                    help="the tesra command of an earlier build, timed beside the current one in memory mode")
    ap.add_argument("--scale", action="store_true",
                    help=f"run the scale mode: lines of {SCALE_SIZES} under a 1G memory budget (after the modes "
                         "of --mode when given)")
    ap.add_argument("--scale-sizes", type=lambda t: [parse_size(x) for x in t.split(",") if x.strip()],
                    help=f"comma-separated data set sizes of the scale mode (default {SCALE_SIZES}); implies --scale")
    ap.add_argument("--scale-memory", type=parse_size, default=parse_size("1G"),
                    help="memory budget of every tool in the scale mode (default 1G)")
    ap.add_argument("--scale-runs", type=lambda t: [int(x) for x in t.split(",") if x.strip()],
                    help="timed runs per scale size, one number for each of --scale-sizes or one for all "
                         "(e.g. 3,1,1; default --runs)")
    ap.add_argument("--no-keep-data", dest="keep_data", action="store_false",
                    help="delete each scale data set once it is timed (default: keep it in bench/data/)")
    args = ap.parse_args()
    modes = list(args.mode or [])
    if (args.scale or args.scale_sizes) and "scale" not in modes:
        modes.append("scale")
    args.mode = modes or ["memory"]
    args.scale_sizes = args.scale_sizes or [parse_size(x) for x in SCALE_SIZES.split(",")]
    scale_runs = args.scale_runs or [args.runs]
    if len(scale_runs) == 1:
        scale_runs *= len(args.scale_sizes)
    if len(scale_runs) != len(args.scale_sizes) or min(scale_runs + [args.runs]) < 1:
        ap.error("--scale-runs takes one number of at least 1 for each size of --scale-sizes, or one for all")
    global BASELINE
    BASELINE = args.baseline.resolve() if args.baseline is not None else None

    if not TESRA.exists():
        sys.exit("tesra is not installed: run scripts/install first (bench/run does it)")
    names = [n.strip() for n in args.tools.split(",") if n.strip()]
    have_tools = False
    if any(n in ("duckdb", "polars") for n in names) and {"memory", "tmpfile", "scale"} & set(args.mode):
        have_tools = ensure_tools_venv()
        if not have_tools:
            print("DuckDB/Polars could not be installed: skipping them", file=sys.stderr)
            names = [n for n in names if n not in ("duckdb", "polars")]
    plans = []
    for mode in args.mode:
        tools = make_tools(mode, names, args.scale_memory if mode == "scale" else args.tmp_memory)
        if not any(t.name == "tesra" for t in tools) or not any(t.reference for t in tools):
            sys.exit("--tools must include tesra and sort (the reference for ratios and checks)")
        plans.append((mode, tools, args.datasets or DEFAULT_DATASETS[mode]))
    OUT.mkdir(exist_ok=True)
    for mode, tools, datasets in plans:
        if mode != "scale":
            continue
        need = scale_disk_need(args.scale_sizes, datasets, args.seed, args.keep_data, len(tools) if args.keep else 0)
        free = shutil.disk_usage(OUT).free
        if need > free:
            sys.exit(f"the scale mode needs about {need / 1e9:.0f} GB of free disk in bench/, {free / 1e9:.0f} GB "
                     "are free: make room or choose smaller --scale-sizes")

    how_many = f"{args.runs}" + (" (scale mode: as each table says)" if "scale" in args.mode else "")
    report = [f"Median of {how_many} interleaved runs, wall-clock seconds; cpu = user + system seconds "
              "(median); peak = maximum resident set size.", ""]
    report += machine_info(have_tools)
    if "scale" in args.mode:
        report.append(disk_info(OUT))
    busy = os.getloadavg()[0]
    report += [f"- Load average (1 min) at start: {busy:.2f}"]
    if busy > 0.5:
        print(f"warning: load average {busy:.2f}: other processes compete for the CPU", file=sys.stderr)
    print("\n".join(report), flush=True)
    failed = False
    for mode, tools, datasets in plans:
        heading = ["", mode_heading(mode, args)]
        print("\n".join(heading), flush=True)
        report += heading
        summary: list[list[str]] = []
        if mode == "scale":
            jobs = [(name, size, n) for size, n in zip(args.scale_sizes, scale_runs) for name in datasets]
        else:
            size = args.tmp_size if mode == "tmpfile" else args.size
            jobs = [(name, size, args.runs) for name in datasets]
        for name, size, runs in jobs:
            ds = DATASETS[name]
            if mode == "merge":
                inp = prepare_merge(ds, args.merge_size, args.seed)
            else:
                inp = prepare(ds, size, args.seed)
                inp.label = size_label(size)
            subprocess.run(["cat", *map(str, inp.paths)], stdout=subprocess.DEVNULL)  # into the page cache
            table, bad = bench_input(mode, inp, tools, runs, args.keep, summary)
            failed |= bad
            print("\n".join(table), flush=True)
            report += table
            if mode == "scale" and not args.keep_data:
                for path in inp.paths:
                    path.unlink()
        if mode == "scale":
            table = scale_summary(summary)
            print("\n".join(table), flush=True)
            report += table
    shutil.rmtree(OUT / "tmp", ignore_errors=True)
    (OUT / "results.md").write_text("\n".join(report) + "\n")
    print(f"\n(tables saved to {display_path(OUT / 'results.md')})")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
