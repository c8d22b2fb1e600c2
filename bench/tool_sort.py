"""Sorts one data set with DuckDB or Polars the way a user of those tools would: read, sort, write.

Run with the tools' virtual environment: tool_sort.py ENGINE DATASET INPUT OUTPUT [THREADS]
ENGINE is duckdb or polars; DATASET is lines, csv or fixed (the bench's three layouts);
THREADS 0 (default) leaves the tool's own thread count.
"""

import os
import sys

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


def duckdb_sort(dataset: str, src: str, dst: str, threads: int) -> None:
    import duckdb

    con = duckdb.connect()
    if threads:
        con.execute(f"SET threads = {threads}")
    if dataset == "csv":
        cols = ", ".join(f"'{k}': '{v}'" for k, v in CSV_COLUMNS.items())
        reader = f"read_csv(?, header = false, delim = ',', quote = '\"', columns = {{{cols}}})"
        order = "name, amount"
        options = "HEADER false, DELIMITER ','"
    else:
        reader = (f"read_csv(?, header = false, delim = '{UNIT_SEP}', quote = '', escape = '', "
                  "columns = {'line': 'VARCHAR'}, strict_mode = false)")
        order = "line" if dataset == "lines" else "substr(line, 1, 10)"
        options = f"HEADER false, DELIMITER '{UNIT_SEP}', QUOTE '', ESCAPE ''"
    # COPY does not take prepared parameters: the paths are inlined, quotes doubled.
    q = lambda p: "'" + p.replace("'", "''") + "'"
    reader = reader.replace("?", q(src), 1)
    con.execute(f"COPY (SELECT * FROM {reader} ORDER BY {order}) TO {q(dst)} ({options})")


def polars_sort(dataset: str, src: str, dst: str) -> None:
    import polars as pl

    if dataset == "csv":
        schema = {"id": pl.Int64, "name": pl.String, "amount": pl.Int32, "day": pl.String,
                  "category": pl.String, "note": pl.String}
        df = pl.read_csv(src, has_header=False, schema=schema)
        df.sort(["name", "amount"]).write_csv(dst, include_header=False)
        return
    df = pl.read_csv(src, has_header=False, separator=UNIT_SEP, quote_char=None,
                     schema={"line": pl.String})
    key = pl.col("line") if dataset == "lines" else pl.col("line").str.slice(0, 10)
    df.sort(key).write_csv(dst, include_header=False, separator=UNIT_SEP, quote_style="never")


def main() -> None:
    engine, dataset, src, dst = sys.argv[1:5]
    threads = int(sys.argv[5]) if len(sys.argv) > 5 else 0
    if engine == "duckdb":
        duckdb_sort(dataset, src, dst, threads)
    elif engine == "polars":
        # Polars reads its thread count once, at import.
        if threads:
            os.environ["POLARS_MAX_THREADS"] = str(threads)
        polars_sort(dataset, src, dst)
    else:
        sys.exit(f"unknown engine {engine}")


if __name__ == "__main__":
    main()
