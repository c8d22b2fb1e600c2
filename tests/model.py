"""A small, independent model of how tesra splits, orders and filters records.

It is written from the documented rules, not from the engine, so that the differential test can check the
engine against it: loading (header removal, the final newline code), record splitting (quote-aware for CSV),
error records, numeric values, keyed and whole-record order, and equality for -U. Everything works on bytes.
"""

from __future__ import annotations

import functools
from collections import Counter
from dataclasses import dataclass, field

QUOTE = ord('"')
BLANKS = b" \t\n\v\f\r"  # the C isspace set; nothing locale-dependent


@dataclass(frozen=True)
class Key:
    pos: int  # fixed/variable: first byte (0-based); CSV: column (1-based)
    len: int = 0  # fixed/variable only
    numeric: bool = False
    desc: bool = False


@dataclass
class Options:
    layout: str  # "fixed", "variable" or "csv"
    reclen: int = 0
    sep: bytes = b"\n"
    delim: bytes = b","
    header: bool = False
    keys: tuple[Key, ...] = ()
    recsort: int = 1  # whole-record direction when there are no keys: 1 ascending, 2 descending
    nulllast: bool = False
    unique: bool = False
    stable: bool = False


class ModelError(Exception):
    """The model expects the run to fail (for example a missing CSV header line)."""


def find_token(data: bytes, start: int, end: int, pattern: bytes) -> int:
    """First match of pattern in data[start:end] preceded by an even number of quote bytes, or -1."""
    pos, quotes = start, 0
    while True:
        j = data.find(pattern, pos, end)
        if j < 0:
            return -1
        quotes += data.count(b'"', pos, j + 1)
        if quotes % 2 == 0:
            return j
        pos = j + 1


def number(field_: bytes) -> int:
    """Numeric value of a field: blanks, one sign, decimal digits, held at the 64-bit limits."""
    i, n = 0, len(field_)
    while i < n and field_[i] in BLANKS:
        i += 1
    negative = False
    if i < n and field_[i] in b"+-":
        negative = field_[i] == ord("-")
        i += 1
    value = 0
    while i < n and 0x30 <= field_[i] <= 0x39:
        value = value * 10 + field_[i] - 0x30
        i += 1
    value = -value if negative else value
    return max(-(1 << 63), min(value, (1 << 63) - 1))


def _sign(x) -> int:
    return (x > 0) - (x < 0)


def _empty_last(a: bytes, b: bytes) -> int:
    """-N with exactly one field empty: the empty one goes last, whatever the direction."""
    return 1 if not a else -1


def _bytes_cmp(a: bytes, b: bytes) -> int:
    return (a > b) - (a < b)


@dataclass
class Result:
    header: bytes | None  # the header line the output starts with, if any
    records: list[bytes]  # good records, input order
    errors: list[bytes]  # error records, input order
    file_errors: list[list[bytes]]  # the same, file by file
    output: bytes  # the exact output of a stable sort
    classes: int  # with -U, the number of distinct records per the model's equality (the output's length)


@dataclass
class Model:
    opt: Options
    _cols: dict = field(default_factory=dict)

    # ---- loading and splitting ----

    def load(self, files: list[bytes]) -> tuple[list[bytes], bytes | None]:
        """Each file's data (header line removed, newline code completed) and the first header."""
        o = self.opt
        datas, header = [], None
        for content in files:
            if o.layout == "csv" and o.header:
                i = content[:1048576].find(o.sep)
                if i < 0 and (not content or len(content) > 1048576):
                    raise ModelError("no header line")
                line = content[:i + len(o.sep)] if i >= 0 else content + o.sep  # a lone line is all header
                if header is None:
                    header = line
                content = content[i + len(o.sep):] if i >= 0 else b""
            if o.layout != "fixed" and content and not content.endswith(o.sep):
                content += o.sep  # no file's last record runs into the next file
            datas.append(content)
        return datas, header

    def split(self, data: bytes) -> list[bytes]:
        """Records of a whole input; for CSV an unterminated tail (open quote) is the last record."""
        o = self.opt
        if o.layout == "fixed":
            return [data[i:i + o.reclen] for i in range(0, len(data) - o.reclen + 1, o.reclen)]
        out, p = [], 0
        while p < len(data):
            j = find_token(data, p, len(data), o.sep) if o.layout == "csv" else data.find(o.sep, p)
            if j < 0:
                out.append(data[p:])
                break
            out.append(data[p:j + len(o.sep)])
            p = j + len(o.sep)
        return out

    def columns(self, rec: bytes) -> tuple[bytes, ...]:
        cols = self._cols.get(rec)
        if cols is None:
            o, found, s = self.opt, [], 0
            end = len(rec)
            while True:
                d = find_token(rec, s, end, o.delim)
                if d < 0:
                    found.append(rec[s:end - len(o.sep)])
                    break
                found.append(rec[s:d])
                s = d + len(o.delim)
            cols = self._cols[rec] = tuple(found)
        return cols

    def key_max_pos(self) -> int:
        return max((k.pos + k.len for k in self.opt.keys if k.len > 0), default=0)

    def is_error(self, rec: bytes) -> bool:
        o = self.opt
        if not o.keys or o.layout == "fixed":
            return False
        if o.layout == "csv":
            return max(k.pos for k in o.keys) > len(self.columns(rec))
        return len(rec) < self.key_max_pos()

    # ---- order ----

    def fields(self, rec: bytes) -> list[bytes]:
        if self.opt.layout == "csv":
            cols = self.columns(rec)
            return [cols[k.pos - 1] for k in self.opt.keys]
        return [rec[k.pos:k.pos + k.len] for k in self.opt.keys]

    def compare(self, a: bytes, b: bytes) -> int:
        o = self.opt
        csv = o.layout == "csv"
        if not o.keys:
            return self._compare_whole(a, b)
        for k, fa, fb in zip(o.keys, self.fields(a), self.fields(b)):
            if csv and o.nulllast and not (fa and fb):
                if fa or fb:
                    return _empty_last(fa, fb)
                continue
            if k.numeric:
                c = _sign(number(fa) - number(fb))
            else:
                m = min(len(fa), len(fb))
                c = _bytes_cmp(fa[:m], fb[:m])
                if csv and c == 0 and len(fa) != len(fb):
                    shorter = -1 if len(fa) < len(fb) else 1
                    return -shorter if k.desc else shorter
            if c:
                return -c if k.desc else c
        return 0

    def _compare_whole(self, a: bytes, b: bytes) -> int:
        o = self.opt
        d = -1 if o.recsort == 2 else 1
        if o.layout != "csv":
            return d * _bytes_cmp(a, b)  # lexicographic: shorter first on a common prefix
        ca, cb = self.columns(a), self.columns(b)
        for x, y in zip(ca, cb):
            if o.nulllast and not (x and y):
                if x or y:
                    return _empty_last(x, y)
                continue
            c = _bytes_cmp(x, y)
            if c:
                return d * c
        return d * _sign(len(ca) - len(cb))

    def sort_key(self):
        """A key function giving the order of compare(), where one is simple to state (ascending keys without
        -N, or an ascending whole-record sort of fixed or newline-ended records): much faster on large inputs."""
        o = self.opt
        if not o.keys:
            return (lambda r: r) if o.layout != "csv" and o.recsort == 1 else None
        if o.nulllast or any(k.desc for k in o.keys):
            return None
        numeric = [k.numeric for k in o.keys]
        return lambda r: tuple(number(f) if n else f for n, f in zip(numeric, self.fields(r)))

    def equal(self, a: bytes, b: bytes) -> bool:
        """Equality of the unique filter; written apart from compare() on purpose."""
        o = self.opt
        if not o.keys:
            if o.layout == "csv":
                return self.columns(a) == self.columns(b)
            return a == b
        for k, fa, fb in zip(o.keys, self.fields(a), self.fields(b)):
            if o.layout == "csv" and o.nulllast and bool(fa) != bool(fb):
                return False  # -N keeps an empty column apart from every other
            if k.numeric:
                if number(fa) != number(fb):
                    return False
            elif fa != fb:
                return False
        return True

    # ---- a whole run ----

    def run(self, files: list[bytes]) -> Result:
        o = self.opt
        datas, header = self.load(files)
        records, errors, file_errors = [], [], []
        for data in datas:  # records never span two files
            file_errors.append([])
            for r in self.split(data):
                if self.is_error(r):
                    errors.append(r)
                    file_errors[-1].append(r)
                else:
                    records.append(r)
        ordered = sorted(records, key=self.sort_key() or functools.cmp_to_key(self.compare))  # stable
        uniq = [r for i, r in enumerate(ordered) if i == 0 or not self.equal(ordered[i - 1], r)] if o.unique else []
        written = uniq if o.unique else ordered
        if o.layout != "csv" or not o.header:
            header = None
        return Result(header, records, errors, file_errors, (header or b"") + b"".join(written), len(uniq))

    def plain_parse(self, body: bytes) -> list[bytes] | None:
        """The output body (header removed) cut at every record end, or None when it does not cut evenly."""
        o = self.opt
        parts, pos = [], 0
        while pos < len(body):
            if o.layout == "fixed":
                j = pos + o.reclen if pos + o.reclen <= len(body) else -1
            else:
                j = find_token(body, pos, len(body), o.sep) if o.layout == "csv" else body.find(o.sep, pos)
                j = j + len(o.sep) if j >= 0 else -1
            if j < 0:
                return None
            parts.append(body[pos:j])
            pos = j
        return parts

    def ordered_parse(self, body: bytes, expected: list[bytes], unique: bool, budget: int = 200000):
        """A way to cut the output body into records of the input, in order (strictly, without duplicate keys, for
        -U), or None. A CSV record with an open quote (the last one of its file) is not self-delimiting once other
        records follow it, so wherever one of those could sit both readings are tried."""
        o = self.opt
        left = Counter(expected)
        tails = sorted(r for r in left if not self._whole(r)) if o.layout == "csv" else []

        def options(pos):
            opts = [t for t in tails if body.startswith(t, pos)]
            rest = self.plain_parse_one(body, pos)
            if rest is not None and rest not in opts:
                opts.append(rest)
            return opts

        def fits(prev, rec):
            if left[rec] <= 0:
                return False
            if prev is None:
                return True
            c = self.compare(prev, rec)
            return c < 0 and not self.equal(prev, rec) if unique else c <= 0

        path, stack = [], [(0, options(0))]
        while stack and budget > 0:
            budget -= 1
            pos, opts = stack[-1]
            if pos == len(body):
                return list(path)
            prev = path[-1] if path else None
            while opts and not fits(prev, opts[0]):
                opts.pop(0)
            if not opts:
                stack.pop()
                if path:
                    left[path.pop()] += 1
                continue
            rec = opts.pop(0)
            left[rec] -= 1
            path.append(rec)
            stack.append((pos + len(rec), options(pos + len(rec))))
        return None

    def plain_parse_one(self, body: bytes, pos: int) -> bytes | None:
        o = self.opt
        if o.layout == "fixed":
            return body[pos:pos + o.reclen] if pos + o.reclen <= len(body) else None
        j = find_token(body, pos, len(body), o.sep) if o.layout == "csv" else body.find(o.sep, pos)
        return body[pos:j + len(o.sep)] if j >= 0 else None

    def _whole(self, rec: bytes) -> bool:
        o = self.opt
        if o.layout == "fixed":
            return len(rec) == o.reclen
        if o.layout == "variable":
            return rec.endswith(o.sep)
        return find_token(rec, 0, len(rec), o.sep) == len(rec) - len(o.sep)
