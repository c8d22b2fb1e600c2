"""Sorts one data set with DuckDB or Polars the way a user of those tools would: read, sort, write.

Run with the tools' virtual environment:
    tool_sort.py ENGINE LAYOUT INPUT OUTPUT [THREADS] [--memory-limit 64MiB] [--temp-dir DIR]
ENGINE is duckdb or polars. LAYOUT is how the file is read: lines (one text column, whole-line
order), csv (the bench's orders, by name then amount descending) or fixed (one text column, by its first 10
bytes). THREADS 0 (default) leaves the tool's own thread count. --memory-limit and --temp-dir are
DuckDB's memory_limit and temp_directory settings, for sorting data larger than the limit.
"""

import argparse
import os

# Lines and fixed records are read as one text column: a delimiter and no quote character that
# never occur in the data keep every line whole.
UNIT_SEP = "\x1f"
CSV_COLUMNS = {
    "id": "BIGINT",
    "name": "VARCHAR",
    "amount": "INTEGER",
    "day": "VARCHAR",
    "category": "VARCHAR",
    "note": "VARCHAR",
}


def duckdb_sort(layout: str, src: str, dst: str, threads: int, memory_limit: str | None,
                temp_dir: str | None) -> None:
    import duckdb

    con = duckdb.connect()
    # COPY and SET do not take prepared parameters: values are inlined, quotes doubled.
    q = lambda p: "'" + p.replace("'", "''") + "'"
    if threads:
        con.execute(f"SET threads = {threads}")
    if memory_limit:
        con.execute(f"SET memory_limit = {q(memory_limit)}")
    if temp_dir:
        con.execute(f"SET temp_directory = {q(temp_dir)}")
    # The CSV reader's default buffers take 32 MB each, enough to exhaust a small memory limit
    # before the sort starts; 4 MiB buffers still hold any line of the data sets.
    small = ", buffer_size = 4194304, max_line_size = 1048576" if memory_limit else ""
    if layout == "csv":
        cols = ", ".join(f"'{k}': '{v}'" for k, v in CSV_COLUMNS.items())
        reader = f"read_csv(?, header = false, delim = ',', quote = '\"', columns = {{{cols}}}{small})"
        order = "name, amount DESC"
        options = "HEADER false, DELIMITER ','"
    else:
        reader = (f"read_csv(?, header = false, delim = '{UNIT_SEP}', quote = '', escape = '', "
                  f"columns = {{'line': 'VARCHAR'}}, strict_mode = false{small})")
        order = "line" if layout == "lines" else "substr(line, 1, 10)"
        options = f"HEADER false, DELIMITER '{UNIT_SEP}', QUOTE '', ESCAPE ''"
    reader = reader.replace("?", q(src), 1)
    con.execute(f"COPY (SELECT * FROM {reader} ORDER BY {order}) TO {q(dst)} ({options})")


def polars_sort(layout: str, src: str, dst: str) -> None:
    import polars as pl

    if layout == "csv":
        schema = {"id": pl.Int64, "name": pl.String, "amount": pl.Int32, "day": pl.String,
                  "category": pl.String, "note": pl.String}
        df = pl.read_csv(src, has_header=False, schema=schema)
        df.sort(["name", "amount"], descending=[False, True]).write_csv(dst, include_header=False)
        return
    df = pl.read_csv(src, has_header=False, separator=UNIT_SEP, quote_char=None,
                     schema={"line": pl.String})
    key = pl.col("line") if layout == "lines" else pl.col("line").str.slice(0, 10)
    df.sort(key).write_csv(dst, include_header=False, separator=UNIT_SEP, quote_style="never")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("engine", choices=["duckdb", "polars"])
    ap.add_argument("layout", choices=["lines", "csv", "fixed"])
    ap.add_argument("src")
    ap.add_argument("dst")
    ap.add_argument("threads", nargs="?", type=int, default=0)
    ap.add_argument("--memory-limit")
    ap.add_argument("--temp-dir")
    args = ap.parse_args()
    if args.engine == "duckdb":
        duckdb_sort(args.layout, args.src, args.dst, args.threads, args.memory_limit, args.temp_dir)
    else:
        if args.memory_limit or args.temp_dir:
            ap.error("--memory-limit and --temp-dir are DuckDB settings")
        # Polars reads its thread count once, at import.
        if args.threads:
            os.environ["POLARS_MAX_THREADS"] = str(args.threads)
        polars_sort(args.layout, args.src, args.dst)


if __name__ == "__main__":
    main()
