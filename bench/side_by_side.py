"""Runs side by side: the time of two calls of _tesra.tesra from two threads of one process, each
sorting its own file in memory, against one call alone, interleaved, medians.

Usage: .venv/bin/python bench/side_by_side.py [--size 100M] [--runs 5]
Each measurement runs in a fresh process (the engine writes to descriptors 1 and 2); the peak
memory shown is that process's maximum resident size.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench import DATA, OUT, SEED, gen_lines, parse_size, size_label  # noqa: E402

CHILD = """
import sys, threading, time, _tesra
jobs = [a.split("|") for a in sys.argv[1:]]
results = [None] * len(jobs)
def run(i):
    results[i] = _tesra.tesra(jobs[i])
threads = [threading.Thread(target=run, args=(i,)) for i in range(len(jobs))]
t0 = time.perf_counter()
for t in threads: t.start()
for t in threads: t.join()
print(time.perf_counter() - t0, *results, file=sys.stderr)
"""


def timed(jobs: list[list[str]]) -> tuple[float, int]:
    """Seconds the runs took together, and the peak memory (MB) of their process alone."""
    p = subprocess.Popen([sys.executable, "-c", CHILD, *("|".join(j) for j in jobs)], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE)
    err = p.stderr.read()
    _, status, usage = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)
    last = err.decode("cp932").strip().splitlines()[-1].split()
    if p.returncode != 0 or any(r != "0" for r in last[1:]):
        raise SystemExit("a run failed:\n" + err.decode("cp932"))
    return float(last[0]), usage.ru_maxrss // 1024


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=parse_size, default=parse_size("100M"))
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    DATA.mkdir(exist_ok=True)
    OUT.mkdir(exist_ok=True)
    files = []
    for i in range(2):
        path = DATA / f"side-{size_label(args.size)}-{i}.txt"
        if not path.exists():
            gen_lines(path, args.size, random.Random(SEED + i))
        files.append(path)

    def job(i: int) -> list[str]:
        return ["-O", str(OUT / f"side-{i}.out"), str(files[i])]

    one, two, mem_one, mem_two = [], [], 0, 0
    for _ in range(args.runs):  # interleaved: the machine's state drifts alike for both
        t, m = timed([job(0)])
        one.append(t)
        mem_one = max(mem_one, m)
        t, m = timed([job(0), job(1)])
        two.append(t)
        mem_two = max(mem_two, m)
    a, b = statistics.median(one), statistics.median(two)
    print(f"lines {size_label(args.size)} per run, {args.runs} runs, medians")
    print(f"| runs at once | seconds | peak MB |\n|---|---|---|\n| 1 | {a:.2f} | {mem_one} |\n| 2 | {b:.2f} | {mem_two} |")
    print(f"two at once / one alone: {b / a:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
