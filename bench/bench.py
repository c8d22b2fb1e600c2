"""Times tesra against the tools a user would otherwise pick, on generated data sets.

Usage (from anywhere; bench/run finds the interpreter):
    bench/run [--size 200M] [--runs 3] [--datasets lines,csv,fixed] [--tools ...] [--keep]

Data sets are generated once per size into bench/data/, outputs go to bench/out/. Every tool reads
the same file and writes its sorted output to a file. The first output of each tool is checked
against GNU sort's (single thread) before anything is timed further.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
DATA = BENCH / "data"
OUT = BENCH / "out"
TESRA = REPO / ".venv" / "bin" / "tesra"
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
            written += len(chunk)
            count += len(rows)
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


@dataclass
class Dataset:
    name: str
    describe: str
    suffix: str
    generate: object
    tesra_args: list[str]
    sort_args: list[str]
    check: str  # "bytes": outputs identical to sort's; "keys": key columns in the same order
    path: Path = field(default=Path())
    records: int = 0


DATASETS = {
    "lines": Dataset("lines", "variable-length lines, whole-line sort", "txt", gen_lines,
                     ["-P", "\\n"], [], "bytes"),
    "csv": Dataset("csv", "CSV, text key column 2 then numeric key column 3", "csv", gen_csv,
                   ["-C", "-K", "2", "-K", "3n"], ["-t,", "-k2,2", "-k3,3n"], "keys"),
    "fixed": Dataset("fixed", "100-byte records, 10-byte key", "dat", gen_fixed,
                     ["-L", "100", "-K", "0,10"], ["-k1.1,1.10"], "bytes"),
}


def prepare(ds: Dataset, size: int, seed: int) -> None:
    DATA.mkdir(exist_ok=True)
    ds.path = DATA / f"{ds.name}-{size_label(size)}-{seed}.{ds.suffix}"
    if not ds.path.exists():
        print(f"generating {ds.path.relative_to(REPO)} ...", flush=True)
        tmp = ds.path.with_suffix(".part")
        rng = random.Random(f"{seed}-{ds.name}")
        ds.generate(tmp, size, rng)
        tmp.rename(ds.path)
    with open(ds.path, "rb") as f:
        ds.records = sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 24), b""))


# ---------------------------------------------------------------- tools

@dataclass
class Tool:
    name: str
    argv: object  # (Dataset, out Path) -> list[str], or None when not applicable


def sort_buffer(ds: Dataset) -> str:
    # Large enough that GNU sort never spills to temporary files.
    return f"{max(2048, 4 * ds.path.stat().st_size >> 20)}M"


def make_tools(names: list[str]) -> list[Tool]:
    all_tools = [
        Tool("tesra", lambda ds, out: [str(TESRA), *ds.tesra_args, "-O", str(out), str(ds.path)]),
        Tool("sort 1 thread", lambda ds, out: ["sort", "--parallel=1", "-S", sort_buffer(ds),
                                               *ds.sort_args, "-o", str(out), str(ds.path)]),
        Tool("sort default threads", lambda ds, out: ["sort", "-S", sort_buffer(ds), *ds.sort_args,
                                                      "-o", str(out), str(ds.path)]),
        Tool("duckdb", lambda ds, out: [str(TOOLS_PY), str(BENCH / "tool_sort.py"), "duckdb",
                                        ds.name, str(ds.path), str(out)]),
        Tool("polars", lambda ds, out: [str(TOOLS_PY), str(BENCH / "tool_sort.py"), "polars",
                                        ds.name, str(ds.path), str(out)]),
        Tool("cat (floor)", lambda ds, out: ["sh", "-c", 'exec cat "$1" > "$2"', "cat",
                                             str(ds.path), str(out)]),
    ]
    chosen = [t for t in all_tools if any(t.name.startswith(n) for n in names)]
    return chosen


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


def run_once(argv: list[str], out: Path, errlog: Path) -> Run:
    out.unlink(missing_ok=True)
    env = dict(os.environ, LC_ALL="C")
    memfile = OUT / ".peak"
    if TIME.exists():
        argv = [str(TIME), "-f", "%M", "-o", str(memfile), *argv]
    with open(errlog, "wb") as err:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=err, env=env)
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
    return Run(seconds, usage.ru_utime + usage.ru_stime, peak)


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


def check_output(ds: Dataset, out: Path, ref: Path, input_digest) -> str:
    if ds.check == "bytes":
        if same_bytes(out, ref):
            return "= sort, byte for byte"
        return "DIFFERS from sort"
    keys = [k for k in csv_keys(out)]
    ref_keys = [k for k in csv_keys(ref)]
    if keys != ref_keys:
        first = next((i for i, (x, y) in enumerate(zip(keys, ref_keys)) if x != y), min(len(keys), len(ref_keys)))
        return f"KEY ORDER DIFFERS from sort at record {first + 1}"
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


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=parse_size, default=parse_size("200M"),
                    help="size of each data set, e.g. 20M, 200M, 1G (default 200M)")
    ap.add_argument("--runs", type=int, default=3, help="timed runs per tool (default 3)")
    ap.add_argument("--datasets", default="lines,csv,fixed", help="comma-separated subset of lines,csv,fixed")
    ap.add_argument("--tools", default="tesra,sort,duckdb,polars,cat",
                    help="comma-separated name prefixes of tools to run (default all)")
    ap.add_argument("--seed", type=int, default=SEED, help="data generation seed")
    ap.add_argument("--keep", action="store_true", help="keep every tool's output in bench/out/")
    args = ap.parse_args()

    if not TESRA.exists():
        sys.exit("tesra is not installed: run scripts/install first (bench/run does it)")
    names = [n.strip() for n in args.tools.split(",") if n.strip()]
    have_tools = False
    if any(n in ("duckdb", "polars") for n in names):
        have_tools = ensure_tools_venv()
        if not have_tools:
            print("DuckDB/Polars could not be installed: skipping them", file=sys.stderr)
            names = [n for n in names if n not in ("duckdb", "polars")]
    tools = make_tools(names)
    if not any(t.name == "tesra" for t in tools) or not any(t.name == "sort 1 thread" for t in tools):
        sys.exit("--tools must include tesra and sort (the reference for ratios and checks)")
    OUT.mkdir(exist_ok=True)

    report = [f"Data sets of {size_label(args.size)} each; median of {args.runs} interleaved runs, wall-clock "
              "seconds; cpu = user + system seconds (median); peak = maximum resident set size.", ""]
    report += machine_info(have_tools)
    busy = os.getloadavg()[0]
    report += [f"- Load average (1 min) at start: {busy:.2f}", ""]
    if busy > 0.5:
        print(f"warning: load average {busy:.2f}: other processes compete for the CPU", file=sys.stderr)
    print("\n".join(report), flush=True)
    failed = False
    for name in args.datasets.split(","):
        ds = DATASETS[name.strip()]
        prepare(ds, args.size, args.seed)
        subprocess.run(["cat", str(ds.path)], stdout=subprocess.DEVNULL)  # into the page cache
        input_digest = line_digest(ds.path) if ds.check == "keys" else None
        ref = OUT / f"{ds.name}.sort-1-thread.out"
        # The reference runs first so every other tool's first output can be checked against it.
        # The reference runs first so every other tool's first output can be checked against it.
        # Rounds interleave the tools, so that a busy spell on the machine hits them alike.
        order = sorted(tools, key=lambda t: t.name != "sort 1 thread")
        results = {t.name: ([], "reference" if t.name == "sort 1 thread" else "") for t in order}
        for i in range(args.runs):
            for tool in order:
                runs, check = results[tool.name]
                if check == "FAILED":
                    continue
                slug = re.sub(r"[^a-z0-9]+", "-", tool.name.lower()).strip("-")
                out = ref if tool.name == "sort 1 thread" else OUT / f"{ds.name}.{slug}.out"
                try:
                    runs.append(run_once(tool.argv(ds, out), out, OUT / f"{ds.name}.{slug}.err"))
                    if i == 0 and tool.name not in ("sort 1 thread", "cat (floor)"):
                        check = check_output(ds, out, ref, input_digest)
                        if "DIFFERS" in check and tool.name == "tesra":
                            failed = True
                except RuntimeError as e:
                    print(f"  {tool.name}: {e}", file=sys.stderr)
                    check = "FAILED"
                    if tool.name == "tesra":
                        failed = True
                if i == args.runs - 1 and not args.keep and out != ref and tool.name != "tesra":
                    out.unlink(missing_ok=True)
                results[tool.name] = (runs, check)
                print(f"  {ds.name:6} run {i + 1} {tool.name:22} "
                      f"{runs[-1].seconds if runs else float('nan'):8.2f} s  {check if i == 0 else ''}", flush=True)

        def median(tname, what="seconds"):
            runs = results.get(tname, ([], ""))[0]
            return statistics.median(getattr(r, what) for r in runs) if runs else None

        base, floor = median("tesra"), median("cat (floor)")
        size_mb = ds.path.stat().st_size / 1e6
        table = ["", f"### {ds.name}: {ds.describe} ({size_mb:.0f} MB, {ds.records:,} records)", "",
                 f"tesra `{' '.join(ds.tesra_args)}`; sort `LC_ALL=C sort {' '.join(ds.sort_args) or '(whole line)'}`", "",
                 "| tool | median s | × tesra | × cat | cpu s | peak MB | output check |",
                 "|---|---:|---:|---:|---:|---:|---|"]
        for tool in tools:
            runs, check = results[tool.name]
            if not runs:
                table.append(f"| {tool.name} | – | – | – | – | – | {check} |")
                continue
            t = median(tool.name)
            peak = max(r.peak_kb for r in runs) / 1024
            ratio_t = f"{t / base:.2f}" if base else "–"
            ratio_c = f"{t / floor:.1f}" if floor else "–"
            cpu = median(tool.name, "cpu")
            table.append(f"| {tool.name} | {t:.2f} | {ratio_t} | {ratio_c} | {cpu:.2f} | {peak:.0f} | {check or '–'} |")
        print("\n".join(table), flush=True)
        report += table
    (OUT / "results.md").write_text("\n".join(report) + "\n")
    print(f"\n(table saved to {(OUT / 'results.md').relative_to(REPO)})")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
