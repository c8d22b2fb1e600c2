"""A program using tesra as its users do; mypy --strict must accept it as it is."""

from pathlib import Path

import tesra


def main() -> int:
    result: tesra.SortResult = tesra.sort(
        [Path("a.csv"), "b.csv", b"c.csv"], "out.csv", keys=("2", "3nd"), csv=True, header=True, delimiter="\t",
        newline="\r\n", stable=True, unique=True, empty_last=True, rejects=Path("short.csv"), memory="512M",
        temp_dir="/var/tmp", threads=2, progress=lambda phase, done, total: print(phase, done / total))
    tesra.sort("a.txt", keys="0,10", record_length=100, memory=1 << 26, presorted=True, progress=True, verbose=True)
    data: bytes = tesra.sort_bytes(memoryview(tesra.sort_bytes(bytearray(b"b\na\n"), keys=["0,1"])), descending=True)
    try:
        tesra.sort(None, None)
    except tesra.SortError as e:
        print(e.text, data)
    seconds: float = result.seconds
    return result.records + result.rejected + result.duplicates + int(seconds) + tesra.tesra(["-C", "in.csv"])
