"""A program using tesra as its users do; mypy --strict must accept it as it is."""

from pathlib import Path

import tesra


def progress(phase: str, done: int, total: int) -> None:
    print(phase, done, total)


def main() -> int:
    result: tesra.SortResult = tesra.sort(
        [Path("a.csv"), "b.csv", b"c.csv"], "sorted.csv", keys=("2", "3nd"), csv=True, header=True, delimiter="\t",
        newline="\r\n", descending=False, stable=True, unique=True, empty_last=True, rejects=Path("short.csv"),
        memory="512M", temp_dir="/var/tmp", threads=2, progress=progress, verbose=False)
    records: int = result.records + result.rejected + result.duplicates
    seconds: float = result.seconds
    print(records, seconds, result.mode)
    tesra.sort("a.txt", keys="0,10", record_length=100, memory=1 << 26, presorted=True, progress=True)
    data: bytes = tesra.sort_bytes(bytearray(b"b\na\n"), keys=["0,1"])
    data = tesra.sort_bytes(memoryview(data), newline="\n")
    try:
        tesra.sort(None, None)
    except tesra.SortError as e:
        text: str = e.text
        print(text)
    return tesra.tesra(["-C", "-K", "2", "data.csv"]) + tesra.main(["--version"])
