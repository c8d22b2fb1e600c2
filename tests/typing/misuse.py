"""Mistakes mypy --strict must report: each line marked "# error" is one."""

import tesra

tesra.sort("a", keys=3)  # error
tesra.sort("a", record_length="10")  # error
tesra.sort("a", newline="\t")  # error
tesra.sort("a", progress=len)  # error
tesra.sort("a", "b", "c")  # error
tesra.sort_bytes("text")  # error
tesra.sort_bytes(b"x", output="o")  # error
tesra.tesra("-C")  # error
n: str = tesra.sort("a").records  # error
tesra.SortResult(1, 2, 3, "memory", 0.5).records = 4  # error
