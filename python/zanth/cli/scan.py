"""Reading one shard's LMDB environment record by record: what it holds and what is wrong.

Every function here runs in a child process (see isolate.py): a damaged data file can make
LMDB read through a bad page pointer and fault, and that must end the child, not the command.
The store's own module is not used: it offers no walk over raw records, and its handle would
hold the environment open in the reading process.
"""

from __future__ import annotations

import hashlib
import math
import os
import pickletools
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

import lmdb
import numpy as np

TOMBSTONE = -(2**63)
BLOCK_CAPACITY = 256  # vector records per block
BLOCK_PREFIX = 0x70  # b"p": a 5-byte key starting with it is a vector block
SEPARATOR = 0x7C  # b"|" between an index key and the id key of its record
ID_BYTES = 8
PROGRESS_EVERY = 20_000  # records between progress messages
SAMPLE_BLOCKS = 4  # blocks per shard handed to dimension inference
CHANCE_BITS = 20  # a record size is inferred only if chance would fake it 1 time in 2**20

Send = Callable[[str, Any], None]


class Damaged(Exception):
    """A shard whose file cannot be read as an LMDB B-tree; the message says what is wrong."""


def data_file_problem(path: str) -> str | None:
    """What makes the shard directory `path` unreadable before LMDB is asked: a missing or
    empty data file (LMDB would say only "No such file" or "Bad file descriptor")."""
    data = os.path.join(path, "data.mdb")
    if not os.path.isfile(data):
        return "no data.mdb"
    if os.path.getsize(data) == 0:
        return "data.mdb is empty (0 bytes), which LMDB never leaves: truncated or replaced"
    return None


def open_shard(path: str) -> lmdb.Environment:
    """Opens a shard read-only with its reader slot registered (lock=True), so that writers in
    other processes keep the pages of our snapshot alive. map_size=0 takes the size recorded in
    the file. Raises Damaged for a missing or empty data file."""
    problem = data_file_problem(path)
    if problem:
        raise Damaged(problem)
    return lmdb.open(path, readonly=True, create=False, lock=True, map_size=0,
                     max_readers=2048, max_dbs=0, subdir=True)


def records(env: lmdb.Environment, txn: lmdb.Transaction,
            start: bytes | None = None) -> Iterator[tuple[bytes, Any]]:
    """Every record of the snapshot `txn` (key, value view), in key order (from `start`, when
    given), each key greater than the last one, and no more of them than the snapshot's header
    counts.

    LMDB follows the page numbers of branch pages without checking them, so a damaged branch
    page that names the same child again and again makes a plain cursor walk revisit those
    pages, up to (fan-out ** depth) times: for all practical purposes forever. A revisited page
    yields a key that is not greater than the last one, so the walk stops at the first one
    and raises Damaged. Costs one key comparison per record."""
    entries = txn.stat(env.open_db(txn=txn))["entries"]
    cursor = txn.cursor()
    if not (cursor.set_range(start) if start is not None else cursor.first()):
        if start is None and entries:
            raise Damaged(f"its B-tree is damaged: it holds no records, its header counts "
                          f"{entries:,}")
        return
    last = b""  # LMDB refuses empty keys, so every key is greater
    seen = 0
    for seen, (key_view, value) in enumerate(cursor.iternext(), 1):
        key = bytes(key_view)
        if key <= last:
            raise Damaged(f"its B-tree is damaged: key {key[:40].hex()} ({len(key)} bytes) "
                          f"comes after key {last[:40].hex()} ({len(last)} bytes); a branch "
                          "page repeats or misorders its children (the walk stopped there)")
        if seen > entries:
            raise Damaged(f"its B-tree is damaged: it holds more records than the {entries:,} "
                          "its header counts (the walk stopped there)")
        yield key, value
        last = key
    if start is None and seen != entries:
        raise Damaged(f"its B-tree is damaged: it holds {seen:,} records, its header counts "
                      f"{entries:,}")


def shard_of_id(ident: int, num_shards: int) -> int:
    return abs(ident) % num_shards  # abs(-2**63) is 2**63 in Python, as the store counts it


def shard_of_key(text: bytes, num_shards: int) -> int:
    return int.from_bytes(hashlib.md5(text).digest(), "big") % num_shards


@dataclass
class Problems:
    """Problems of one kind are counted, and the first one is kept as an example, so that a
    store opened with the wrong shard count reports one line, not a million."""

    counts: Counter[str] = field(default_factory=Counter)
    examples: dict[str, str] = field(default_factory=dict)

    def add(self, kind: str, example: str = "") -> None:
        self.counts[kind] += 1
        self.examples.setdefault(kind, example)

    def lines(self) -> list[str]:
        out = []
        for kind, n in self.counts.items():
            example = self.examples[kind]
            text = kind if n == 1 else f"{n:,} x {kind}"
            out.append(f"{text} ({'first: ' if n > 1 else ''}{example})" if example else text)
        return out


def _stale_readers(env: lmdb.Environment) -> int:
    """Reader slots held by processes that no longer exist (killed inside a read)."""
    stale = 0
    for line in env.readers().splitlines()[1:]:
        fields = line.split()
        if not fields or not fields[0].isdigit():
            continue
        pid = int(fields[0])
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            stale += 1
        except PermissionError:
            pass  # alive, owned by someone else
    return stale


def _truncation(path: str, env: lmdb.Environment) -> str | None:
    """LMDB maps the file and trusts its page numbers: pages past the end of a truncated file
    fault when touched, so such a file is reported instead of walked."""
    info, stat = env.info(), env.stat()
    needed = (info["last_pgno"] + 1) * stat["psize"]
    size = os.path.getsize(os.path.join(path, "data.mdb"))
    if size < needed:
        return f"data.mdb is truncated: {size:,} bytes, its pages reach {needed:,}"
    return None


def survey(path: str, send: Send) -> dict[str, Any]:
    """The lengths of every vector block and a few sample blocks, for dimension inference."""
    data = os.path.join(path, "data.mdb")
    if os.path.isfile(data) and os.path.getsize(data) == 0:  # LMDB would start it anew
        return {"lengths": Counter(), "samples": [], "entries": 0,
                "error": "data.mdb is empty (0 bytes): its records are gone"}
    env = open_shard(path)
    try:
        truncated = _truncation(path, env)
        if truncated:
            return {"lengths": Counter(), "samples": [], "error": truncated}
        lengths: Counter[int] = Counter()
        samples: list[bytes] = []
        with env.begin(buffers=True) as txn:
            for key, value in records(env, txn, bytes([BLOCK_PREFIX])):
                if not key or key[0] != BLOCK_PREFIX:
                    break
                if len(key) == 5:
                    lengths[len(value)] += 1
                    if len(samples) < SAMPLE_BLOCKS:
                        samples.append(bytes(value))
        return {"lengths": lengths, "samples": samples, "error": None}
    except Damaged as error:
        return {"lengths": Counter(), "samples": [], "error": str(error)}
    finally:
        env.close()


def _gcd_divisors(values: list[int]) -> list[int]:
    g = 0
    for v in values:
        g = math.gcd(g, v)
    small = [d for d in range(1, math.isqrt(g) + 1) if g % d == 0] if g else []
    return sorted(set(small + [g // d for d in small]))


def _ids_route(samples: list[tuple[int, bytes]], size: int, num_shards: int) -> bool:
    for shard, block in samples:
        for offset in range(0, len(block) - size + 1, size):
            ident = int.from_bytes(block[offset:offset + ID_BYTES], "little", signed=True)
            if ident != TOMBSTONE and shard_of_id(ident, num_shards) != shard:
                return False
    return True


def infer_record_size(lengths: Counter[int], samples: list[tuple[int, bytes]],
                      num_shards: int) -> tuple[int | None, list[int]]:
    """The record size (8 + 4 * dim bytes) the blocks were written with, and the candidates.

    A candidate divides every block length into at most 256 records. Reading a block with a
    size smaller than the true one takes float bytes for ids, which route to random shards, so
    the smallest candidate whose sampled ids all route to their own shard wins; multiples of
    the true size read only true ids, so they lose to it. With one shard routing cannot tell,
    and a full block (256 records) decides instead. If no size fits every block (a damaged
    block), the commonest block length decides, so that the misfits are reported one by one."""
    if not lengths:
        return None, []
    biggest = max(lengths)
    candidates = [d for d in _gcd_divisors(list(lengths))
                  if d >= ID_BYTES and d % 4 == 0 and biggest <= d * BLOCK_CAPACITY]
    if candidates:
        if len(candidates) == 1:
            return candidates[0], candidates
        if num_shards > 1:
            passing = [size for size in candidates if _ids_route(samples, size, num_shards)]
            if len(passing) == 1:
                return passing[0], candidates
            if passing:
                # Reads only the smallest size makes would be float bytes if a larger passing
                # size were the true one; each such read routes home by chance 1/num_shards.
                size, larger = passing[0], passing[1:]
                own = sum(1 for _, block in samples
                          for offset in range(0, len(block) - size + 1, size)
                          if all(offset % other for other in larger))
                if own * math.log2(num_shards) >= CHANCE_BITS:
                    return size, candidates
                candidates = passing
        if biggest == candidates[0] * BLOCK_CAPACITY:
            return candidates[0], candidates
        return None, candidates
    if len(lengths) == 1:
        return None, []
    for length, _ in lengths.most_common():
        alone, _ = infer_record_size(Counter({length: 1}), samples, num_shards)
        if alone is not None:
            return alone, []
    return None, []


def dimensions_seen(lengths: Counter[int], samples: list[tuple[int, bytes]], num_shards: int,
                    record_size: int | None) -> tuple[list[int], bool]:
    """The dimensions one shard's blocks were written with, and whether they are certain (else
    they are the candidates the blocks allow): the store's when every block fits it, else what
    the shard's own blocks say. A shard written at two dimensions (a caller's mistake the store
    cannot see) shows both, from the block lengths that decide one alone."""
    if not lengths:
        return [], True
    if record_size is not None and all(
            n % record_size == 0 and n <= record_size * BLOCK_CAPACITY for n in lengths):
        return [(record_size - 8) // 4], True
    own, candidates = infer_record_size(lengths, samples, num_shards)
    if own is not None and all(n % own == 0 for n in lengths):
        return [(own - 8) // 4], True
    if candidates:
        return [(c - 8) // 4 for c in candidates], False
    alone = {infer_record_size(Counter({n: 1}), samples, num_shards)[0] for n in lengths}
    return sorted((size - 8) // 4 for size in alone if size is not None), None not in alone


def _pickle_problem(value: bytes) -> str | None:
    """Walks the opcodes of a pickle without running it (unpickling a damaged or foreign store
    could execute code)."""
    if not value:
        return "empty value"
    try:
        ops = list(pickletools.genops(value))
    except Exception as error:  # genops raises ValueError and others on malformed streams
        return str(error) or type(error).__name__
    stop = ops[-1]
    if stop[0].name != "STOP" or (stop[2] or 0) + 1 != len(value):
        return "bytes after the end of the pickle"
    return None


def walk(path: str, shard: int, num_shards: int, record_size: int | None, check_pickles: bool,
         send: Send) -> dict[str, Any]:
    """Counts every record of a shard and checks its form and routing."""
    problems = Problems()
    report: dict[str, Any] = {
        "objects": 0, "vector_blocks": 0, "vector_records": 0, "tombstones": 0,
        "index_entries": 0, "distinct_keys": 0, "unknown_keys": 0,
    }
    env = open_shard(path)
    try:
        info, stat = env.info(), env.stat()
        report.update(map_size=info["map_size"], bytes_used=(info["last_pgno"] + 1) * stat["psize"],
                      file_size=os.path.getsize(os.path.join(path, "data.mdb")),
                      stale_readers=_stale_readers(env), entries=stat["entries"])
        truncated = _truncation(path, env)
        if truncated:
            problems.add(truncated)
            report["problems"] = problems.lines()
            return report
        send("total", stat["entries"])
        last_text: bytes | None = None
        seen = 0
        with env.begin(buffers=True) as txn:
            for key, value in records(env, txn):
                seen += 1
                if seen % PROGRESS_EVERY == 0:
                    send("advance", PROGRESS_EVERY)
                n = len(key)
                if n == ID_BYTES:
                    report["objects"] += 1
                    ident = int.from_bytes(key, "little", signed=True)
                    home = shard_of_id(ident, num_shards)
                    if home != shard:
                        problems.add(f"objects whose id routes to another shard of {num_shards}",
                                     f"id {ident} belongs in shard {home}")
                    if check_pickles:
                        why = _pickle_problem(bytes(value))
                        if why:
                            problems.add("objects that are not a well-formed pickle",
                                         f"id {ident}: {why}")
                elif n == 5 and key[0] == BLOCK_PREFIX:
                    report["vector_blocks"] += 1
                    _check_block(key, value, shard, num_shards, record_size, report, problems)
                elif n > ID_BYTES and key[-ID_BYTES - 1] == SEPARATOR:
                    report["index_entries"] += 1
                    text = key[: -ID_BYTES - 1]
                    if text != last_text:
                        report["distinct_keys"] += 1
                        last_text = text
                        _check_index_key(text, shard, num_shards, problems)
                    if len(value):
                        problems.add("index records with a value (they are always empty)",
                                     f"key {text!r}, {len(value)} bytes")
                else:
                    report["unknown_keys"] += 1
                    problems.add("records of no known kind", f"key {key.hex()} ({n} bytes)")
        send("advance", seen % PROGRESS_EVERY)
    except lmdb.Error as error:
        problems.add(f"LMDB failed while reading: {error}")
    except Damaged as error:
        problems.add(str(error))
    finally:
        env.close()
    report["problems"] = problems.lines()
    return report


def _check_index_key(text: bytes, shard: int, num_shards: int, problems: Problems) -> None:
    try:
        text.decode("utf-8")
    except UnicodeDecodeError:
        problems.add("index keys that are not UTF-8", repr(text))
    home = shard_of_key(text, num_shards)
    if home != shard:
        problems.add(f"index keys whose MD5 routes to another shard of {num_shards}",
                     f"{text.decode('utf-8', 'replace')!r} belongs in shard {home}")


def _check_block(key: bytes, value: memoryview, shard: int, num_shards: int,
                 record_size: int | None, report: dict[str, Any], problems: Problems) -> None:
    number = int.from_bytes(key[1:], "big")
    length = len(value)
    if length == 0:
        problems.add("empty vector blocks", f"block {number}")
        return
    if record_size is None:
        return
    records, rest = divmod(length, record_size)
    if rest:
        problems.add(f"vector blocks that are not whole {record_size}-byte records",
                     f"block {number}: {length:,} bytes")
    if records > BLOCK_CAPACITY:
        problems.add(f"vector blocks of more than {BLOCK_CAPACITY} records",
                     f"block {number}: {records} records")
    table = np.frombuffer(value, dtype=np.uint8, count=records * record_size)
    ids = table.reshape(records, record_size)[:, :ID_BYTES].copy().view("<i8").ravel()
    dead = ids == TOMBSTONE
    report["vector_records"] += records
    report["tombstones"] += int(dead.sum())
    live = ids[~dead]
    magnitude = np.where(live < 0, -live.astype(np.uint64), live.astype(np.uint64))
    wrong = np.flatnonzero(magnitude % np.uint64(num_shards) != np.uint64(shard))
    for position in wrong:
        ident = int(live[position])
        problems.add(f"vectors whose id routes to another shard of {num_shards}",
                     f"id {ident} in block {number} belongs in shard "
                     f"{shard_of_id(ident, num_shards)}")


def copy(path: str, dest: str, compact: bool, send: Send) -> dict[str, Any]:
    """LMDB's own copy: one read transaction, so the copy is this shard as of one commit while
    writers go on; with compact, free pages are left out and the copy is renumbered."""
    env = open_shard(path)
    try:
        truncated = _truncation(path, env)
        if truncated:
            raise Damaged(truncated)
        if compact:
            # A compacting copy walks the B-tree as the store sees it, so a damaged tree would
            # keep it walking as long as a plain walk; the bounded walk refuses such a tree.
            with env.begin(buffers=True) as txn:
                for _ in records(env, txn):
                    pass
        os.makedirs(dest, exist_ok=True)
        env.copy(dest, compact=compact)
        send("advance", 1)
    finally:
        env.close()
    return {"bytes": os.path.getsize(os.path.join(dest, "data.mdb")),
            "source_bytes": os.path.getsize(os.path.join(path, "data.mdb"))}
