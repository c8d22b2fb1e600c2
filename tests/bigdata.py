"""Generators and streaming checkers for the large-data tests. Files of several GiB are never held
in Python: they are written and read in chunks, and a sorted output is judged by its order and by an
order-independent digest (record count, bytes, sum of per-record CRC-32) compared with the input's."""

from __future__ import annotations

import operator
import os
import random
import zlib
from dataclasses import dataclass, field
from itertools import islice

CHUNK = 64 << 20
MASK64 = (1 << 64) - 1


@dataclass
class Digest:
    records: int = 0
    size: int = 0  # bytes, newline codes included
    crc_sum: int = 0  # sum of the records' CRC-32 mod 2^64: equal for any order of the same records


@dataclass
class Report:
    digest: Digest
    disorder: int | None = None  # index of the first record out of order, None when in order
    unterminated: bool = False  # the data ended inside a line
    marked: list = field(default_factory=list)  # (index, record) of fixed records not all NUL bytes


def _first_disorder(items: list, ok) -> int:
    return next(i for i in range(1, len(items)) if not ok(items[i - 1], items[i]))


class LineChecker:
    """Feeds chunks of newline-ended lines; checks byte order (ascending or descending) and digests
    the lines without their newline codes."""

    def __init__(self, order: bool = True, descending: bool = False):
        self.order = order
        self.ok = operator.ge if descending else operator.le
        self.carry = b""
        self.last: bytes | None = None
        self.report = Report(Digest())

    def feed(self, chunk: bytes) -> None:
        parts = (self.carry + chunk if self.carry else chunk).split(b"\n")
        self.carry = parts.pop()  # the line the next chunk completes
        if parts:
            self._lines(parts)

    def _lines(self, parts: list) -> None:
        rep, d = self.report, self.report.digest
        if self.order and rep.disorder is None:
            if self.last is not None and not self.ok(self.last, parts[0]):
                rep.disorder = d.records
            elif not all(map(self.ok, parts, islice(parts, 1, None))):
                rep.disorder = d.records + _first_disorder(parts, self.ok)
            self.last = parts[-1]
        d.records += len(parts)
        d.size += sum(map(len, parts)) + len(parts)
        d.crc_sum = (d.crc_sum + sum(map(zlib.crc32, parts))) & MASK64

    def finish(self) -> Report:
        if self.carry:
            self.report.unterminated = True
            self._lines([self.carry])
            self.report.digest.size -= 1  # it has no newline code
            self.carry = b""
        return self.report


class FixedChecker:
    """Feeds chunks of fixed-length records; checks the order of one byte key and digests the records.
    Runs of NUL records, the bulk of a sparse file, take a fast path; other records are collected
    with their index (up to `keep` of them)."""

    SUB = 10_000  # records per sub-block

    def __init__(self, reclen: int, key: tuple[int, int], descending: bool = False, keep: int = 1000):
        self.reclen, self.keep = reclen, keep
        self.k0, self.k1 = key[0], key[0] + key[1]
        self.ok = operator.ge if descending else operator.le
        self.zero_rec = bytes(reclen)
        self.zero_key = bytes(key[1])
        self.zero_crc = zlib.crc32(self.zero_rec)
        self.zero_sub = bytes(reclen * self.SUB)
        self.carry = b""
        self.last: bytes | None = None
        self.report = Report(Digest())

    def feed(self, chunk: bytes) -> None:
        data = self.carry + chunk if self.carry else chunk
        whole = len(data) - len(data) % self.reclen
        self.carry = data[whole:]
        step = self.reclen * self.SUB
        for i in range(0, whole, step):
            sub = data[i:min(i + step, whole)]
            if len(sub) == step and sub == self.zero_sub:
                self._zeros(self.SUB)
            else:
                self._records(sub)

    def _zeros(self, n: int) -> None:
        rep, d = self.report, self.report.digest
        if rep.disorder is None and self.last is not None and not self.ok(self.last, self.zero_key):
            rep.disorder = d.records
        self.last = self.zero_key
        d.records += n
        d.size += n * self.reclen
        d.crc_sum = (d.crc_sum + n * self.zero_crc) & MASK64

    def _records(self, sub: bytes) -> None:
        rep, d, n = self.report, self.report.digest, self.reclen
        recs = [sub[j:j + n] for j in range(0, len(sub), n)]
        keys = [r[self.k0:self.k1] for r in recs]
        if rep.disorder is None:
            if self.last is not None and not self.ok(self.last, keys[0]):
                rep.disorder = d.records
            elif not all(map(self.ok, keys, islice(keys, 1, None))):
                rep.disorder = d.records + _first_disorder(keys, self.ok)
        self.last = keys[-1]
        for j, r in enumerate(recs):
            if r != self.zero_rec and len(rep.marked) < self.keep:
                rep.marked.append((d.records + j, r))
        d.records += len(recs)
        d.size += len(sub)
        d.crc_sum = (d.crc_sum + sum(map(zlib.crc32, recs))) & MASK64

    def finish(self) -> Report:
        if self.carry:  # a partial record: counted in the size, so the digests differ
            self.report.digest.size += len(self.carry)
            self.carry = b""
        return self.report


def check_file(path, checker) -> Report:
    with open(path, "rb", buffering=0) as f:
        while chunk := f.read(CHUNK):
            checker.feed(chunk)
    return checker.finish()


def sparse_fixed(path, records: int, reclen: int, marked: dict[int, bytes]) -> None:
    """A file of `records` NUL records with the given records written at their indexes; the rest is
    a hole, so the file takes almost no disk."""
    with open(path, "wb") as f:
        f.truncate(records * reclen)
        for index, rec in marked.items():
            assert len(rec) == reclen and 0 <= index < records
            f.seek(index * reclen)
            f.write(rec)


PRINTABLE = bytes(range(0x20, 0x7F))
_TO_PRINTABLE = bytes(PRINTABLE[b % len(PRINTABLE)] for b in range(256))


def random_lines(rng: random.Random, size: int, short: bool = False) -> bytes:
    """About `size` bytes of printable newline-ended lines: 0..100 bytes long (0..16 when short),
    one in a thousand of several KB, one in a hundred equal to an earlier one."""
    text = rng.randbytes(size).translate(_TO_PRINTABLE)
    out, pos = [], 0
    while pos < len(text):
        r = rng.random()
        if r < 0.01 and out:
            out.append(out[rng.randrange(len(out))])
            continue
        n = rng.randrange(0, 17) if short else rng.randrange(1000, 8000) if r > 0.999 else rng.randrange(0, 101)
        out.append(text[pos:pos + n] + b"\n")
        pos += n
    return b"".join(out)


class TaggedLines:
    """A block of random lines repeated to at least `total` bytes, every copy with its own 3-byte
    tag in front of each line: the copies differ and interleave when sorted. Sorted stably by the
    tag alone, the data is known exactly: the copies in tag order."""

    def __init__(self, total: int, seed: int, block: int = 4 << 20, short: bool = False):
        rng = random.Random(seed)
        self.body = random_lines(rng, block, short)
        copies = -(-total // (len(self.body) + 3 * self.body.count(b"\n")))
        n = len(PRINTABLE)
        self.tags = [bytes((PRINTABLE[p // (n * n)], PRINTABLE[p // n % n], PRINTABLE[p % n]))
                     for p in rng.sample(range(n ** 3), copies)]

    def copy(self, tag: bytes) -> bytes:
        return tag + self.body[:-1].replace(b"\n", b"\n" + tag) + b"\n"

    def write(self, path) -> None:
        with open(path, "wb") as f:
            for tag in self.tags:
                f.write(self.copy(tag))

    def by_tag(self):
        return (self.copy(tag) for tag in sorted(self.tags))


def first_difference(path, pieces) -> int | None:
    """Offset of the first byte where the file differs from the concatenated pieces, None if equal."""
    at = 0
    with open(path, "rb") as f:
        for piece in pieces:
            got = f.read(len(piece))
            if got != piece:
                return at + next((i for i, (a, b) in enumerate(zip(got, piece)) if a != b), min(len(got), len(piece)))
            at += len(piece)
        return None if f.read(1) == b"" else at


def remove(*paths) -> None:
    for p in paths:
        try:
            os.unlink(p)
        except FileNotFoundError:
            pass
