"""Reading one shard's LMDB environment record by record: what it holds and what is wrong.

Every function here runs in a child process (see isolate.py): a damaged data file can make
LMDB read through a bad page pointer and fault, and that must end the child, not the command.
The store's own module is not used: it offers no walk over raw records, and its handle would
hold the environment open in the reading process.
"""

from __future__ import annotations

import math
import os
import pickle
import pickletools
import struct
from collections import Counter
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Any

import lmdb
import numpy as np

from ..encoding import (BLOCK_CAPACITY, BLOCK_PREFIX, ID_BYTES, JOURNAL_ID, NUMBER_ID,
                        PRESENT_KEY, SEPARATOR, SETTINGS_ID, STATS_ID,
                        shard_of_id, shard_of_key)
from ..encoding import TOMBSTONE_ID as TOMBSTONE

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


# LMDB's file layout (format version 1, 64-bit page numbers), as far as the free list needs it.
# Every page starts with a 16-byte header: page number, pad, flags (at 10), then the lower bound
# of its free space (at 12), or for an overflow page its page count (at 12). Pages 0 and 1 are
# meta pages; each holds a magic number, the free list's root, the last page and its snapshot's
# transaction id. A node: data size (low and high 16 bits), flags, key size, key, data; in a
# branch node the size and flag fields hold the child's page number.
PAGE_HEADER = 16
BRANCH_PAGE, LEAF_PAGE, OVERFLOW_PAGE = 0x01, 0x02, 0x04
BIG_DATA = 0x01  # the node's data lives on overflow pages
META_MAGIC = 0xBEEFC0DE
MAIN_DB_FLAGS = PAGE_HEADER + 24 + 48 + 4  # in a meta page: past its own fields and the free DB's
NO_PAGE = 2**64 - 1  # the root of an empty tree
SNAPSHOT_ATTEMPTS = 20  # each lasts until another process's next commit but one


class _BadFreeList(Exception):
    pass


class _SnapshotGone(Exception):
    pass


def _read_pages(fd: int, psize: int, file_pages: int, budget: list[int], first: int,
                count: int) -> bytes:
    """Pages read with pread, never through the map (which faults past the end of the file);
    `budget` bounds the pages read in all, so a free list whose pointers loop ends."""
    if first >= file_pages or count > file_pages - first or count > budget[0]:
        raise _BadFreeList
    budget[0] -= count
    data = os.pread(fd, count * psize, first * psize)
    if len(data) != count * psize:
        raise _BadFreeList
    return data


def _free_pages(fd: int, psize: int, file_pages: int, root: int) -> set[int]:
    """The page numbers the free list rooted at `root` holds. Raises _BadFreeList on a page
    outside the file, of the wrong kind or with bounds outside the page, and after reading as
    many pages as the file has."""
    free: set[int] = set()
    budget = [file_pages]
    pending = [] if root == NO_PAGE else [root]
    while pending:
        page = _read_pages(fd, psize, file_pages, budget, pending.pop(), 1)
        flags, lower = struct.unpack_from("<HH", page, 10)
        if not PAGE_HEADER <= lower <= psize or not flags & (BRANCH_PAGE | LEAF_PAGE):
            raise _BadFreeList
        for (node,) in struct.iter_unpack("<H", page[PAGE_HEADER:lower - lower % 2]):
            if not PAGE_HEADER <= node <= psize - 8:
                raise _BadFreeList
            lo, hi, node_flags, key_size = struct.unpack_from("<HHHH", page, node)
            if flags & BRANCH_PAGE:
                pending.append(lo | hi << 16 | node_flags << 32)
                continue
            size, at = lo | hi << 16, node + 8 + key_size
            if node_flags & BIG_DATA:
                if at + 8 > psize:
                    raise _BadFreeList
                first = int.from_bytes(page[at:at + 8], "little")
                head = _read_pages(fd, psize, file_pages, budget, first, 1)
                (count,) = struct.unpack_from("<I", head, 12)
                if not head[10] & OVERFLOW_PAGE or PAGE_HEADER + size > count * psize:
                    raise _BadFreeList
                pages = head + _read_pages(fd, psize, file_pages, budget, first + 1, count - 1)
                data = pages[PAGE_HEADER:PAGE_HEADER + size]
            elif at + size > psize:
                raise _BadFreeList
            else:
                data = page[at:at + size]
            # One free-list record: a count n, then n page numbers.
            n = int.from_bytes(data[:8], "little") if len(data) >= 8 else -1
            if not 0 <= n <= len(data) // 8 - 1:
                raise _BadFreeList
            free.update(struct.unpack_from(f"<{n}Q", data, 8))
    return free


def _snapshot_truncation(fd: int, psize: int, snapshot: int) -> str | None:
    """The truncation message for the snapshot `snapshot`, or None when the file holds every
    page of it that is not free. Raises _SnapshotGone when neither meta page names it any more
    (other processes committed twice meanwhile)."""
    metas = []
    for offset in (0, psize):
        meta = os.pread(fd, 152, offset)
        if len(meta) == 152 and struct.unpack_from("<I", meta, 16)[0] == META_MAGIC:
            metas.append(struct.unpack_from("<QQ", meta, 136)  # last page, transaction id
                         + struct.unpack_from("<Q", meta, 80))  # the free list's root
    ours = [(last, root) for last, txn_id, root in metas if txn_id == snapshot]
    if not ours:
        raise _SnapshotGone
    last, root = ours[0]
    # The file only grows and a commit writes its pages before its meta page, so a size taken
    # after the meta page was read covers every page its transaction wrote.
    size = os.fstat(fd).st_size
    file_pages = size // psize
    if last < file_pages:
        return None
    message = f"data.mdb is truncated: {size:,} bytes, its pages reach {(last + 1) * psize:,}"
    try:
        free = _free_pages(fd, psize, file_pages, root)
    except _BadFreeList:
        return message + (", and its free list, which could show the missing pages unused, "
                          "is unreadable")
    # LMDB leaves pages that a transaction took and gave back unwritten: a sound file may end
    # before its last page when every page past its end is free.
    if sum(1 for page in free if file_pages <= page <= last) == last + 1 - file_pages:
        return None
    return message


def _truncation(path: str, env: lmdb.Environment) -> str | None:
    """LMDB maps the file and trusts its page numbers: pages past the end of a truncated file
    fault when touched, so such a file is reported instead of walked. The read transaction held
    meanwhile keeps its snapshot's free pages from being reused."""
    psize = env.stat()["psize"]
    fd = os.open(os.path.join(path, "data.mdb"), os.O_RDONLY)
    try:
        for _ in range(SNAPSHOT_ATTEMPTS):
            with env.begin() as txn:
                try:
                    return _snapshot_truncation(fd, psize, txn.id())
                except _SnapshotGone:
                    continue
    finally:
        os.close(fd)
    return "data.mdb could not be checked: other processes kept committing to it; run again"


def _database_flags(path: str, psize: int, snapshot: int) -> int:
    """The flags word of the main database in the meta page of snapshot `snapshot` (0 when
    neither meta page names it any more: another process committed twice meanwhile)."""
    with open(os.path.join(path, "data.mdb"), "rb") as f:
        for offset in (0, psize):
            meta = os.pread(f.fileno(), 152, offset)
            if len(meta) == 152 and struct.unpack_from("<Q", meta, 144)[0] == snapshot:
                return int(struct.unpack_from("<H", meta, MAIN_DB_FLAGS)[0])
    return 0


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
            flags = _database_flags(path, env.stat()["psize"], txn.id())
            if flags:  # the store sets none: its keys would all be read another way
                raise Damaged(f"its meta page gives the database the flags {flags:#x}, which "
                              "the store never sets: the file is damaged")
            for key, value in records(env, txn, bytes([BLOCK_PREFIX])):
                if not key or key[0] != BLOCK_PREFIX:
                    break
                if len(key) == 5:
                    lengths[len(value)] += 1
                    if len(samples) < SAMPLE_BLOCKS:
                        samples.append(bytes(value))
            settings = txn.get(SETTINGS_ID.to_bytes(ID_BYTES, "little", signed=True))
            stated = {} if settings is None else _settings_of(bytes(settings))
            # Records only a collection's writes make (a store the low-level API wrote has none):
            # its counters and journal, or the index key listing its documents.
            own = any(txn.get(rid.to_bytes(ID_BYTES, "little", signed=True)) is not None
                      for rid in (STATS_ID, JOURNAL_ID, NUMBER_ID))
            counted = txn.get(STATS_ID.to_bytes(ID_BYTES, "little", signed=True))
            pending = 0 if counted is None else _pending_count(bytes(counted))
            listing = PRESENT_KEY.encode() + bytes([SEPARATOR])
            cursor = txn.cursor()
            own = own or (cursor.set_range(listing) and bytes(cursor.key()).startswith(listing))
        return {"lengths": lengths, "samples": samples, "error": None,
                "collection_dim": stated.get("dim"), "collection_shards": stated.get("shards"),
                "collection_settings": settings is not None, "collection_records": own,
                "collection_pending": pending}
    except Damaged as error:
        return {"lengths": Counter(), "samples": [], "error": str(error)}
    finally:
        env.close()


def _settings_of(value: bytes) -> dict[str, int]:
    """The dimension and shard count a collection's settings record names ({"format":
    "zanth.Collection/..", "dim": n, "shards": m, ...}), read from its opcodes without running
    them; those it does not name (or anything but such a record) are left out."""
    if _pickle_problem(value) is not None:
        return {}
    memo = ("MEMOIZE", "PUT", "BINPUT", "LONG_BINPUT")  # between a key and its value
    args = [arg for op, arg, _ in pickletools.genops(value) if op.name not in memo]
    if not any(isinstance(a, str) and a.startswith("zanth.Collection/") for a in args):
        return {}
    named = {}
    for name in ("dim", "shards"):
        found = [after for key, after in zip(args, args[1:]) if key == name]
        if len(found) == 1 and type(found[0]) is int and found[0] > 0:
            named[name] = found[0]
    return named


def _pending_count(value: bytes) -> int:
    """How many record ids a collection's stats record ({"dead": n, "pending": [ids]}) lists as
    waiting for their tombstones, read from its opcodes without running them; 0 for anything
    else."""
    if _pickle_problem(value) is not None:
        return 0
    skipped = ("MEMOIZE", "PUT", "BINPUT", "LONG_BINPUT", "FRAME", "PROTO")
    args = [arg for op, arg, _ in pickletools.genops(value) if op.name not in skipped]
    if args.count("pending") != 1:
        return 0
    return sum(type(a) is int for a in args[args.index("pending") + 1:])


def _gcd_divisors(values: list[int]) -> list[int]:
    g = 0
    for v in values:
        g = math.gcd(g, v)
    small = [d for d in range(1, math.isqrt(g) + 1) if g % d == 0] if g else []
    return sorted(set(small + [g // d for d in small]))


def ids_route(samples: list[tuple[int, bytes]], size: int, num_shards: int) -> bool:
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
            passing = [size for size in candidates if ids_route(samples, size, num_shards)]
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


_MARK = pickletools.markobject
_MEMO_PUTS = {"PUT", "BINPUT", "LONG_BINPUT", "MEMOIZE"}
_MEMO_GETS = {"GET", "BINGET", "LONG_BINGET"}
# Persistent ids need the caller's persistent_load; extension codes, a registry nobody fills.
_NEVER_LOADS = {"PERSID", "BINPERSID", "EXT1", "EXT2", "EXT4"}


def _pickle_problem(value: bytes) -> str | None:
    """Walks the opcodes of a pickle without running it (unpickling a damaged or foreign store
    could execute code), as an unpickler reads them: the protocol it names, frames within the
    value, the stack (marks and the items each opcode takes) and the memo; what an unpickler
    lets pass (items left under the result, a memo key stored twice) passes. The store pads
    some pickles with zero bytes after their STOP; any other byte there is damage."""
    if not value:
        return "empty value"
    try:
        ops = list(pickletools.genops(value))
    except Exception as error:  # genops raises ValueError and others on malformed streams
        return str(error) or type(error).__name__
    stack: list[bool] = []  # True: a mark
    memo: set[Any] = set()
    for op, arg, pos in ops:
        if op.name in _NEVER_LOADS:
            return f"{op.name} at byte {pos}: plain unpickling refuses it"
        if op.name == "PROTO" and not 0 <= (arg or 0) <= pickle.HIGHEST_PROTOCOL:
            return f"unsupported pickle protocol {arg}"
        if op.name == "FRAME" and (pos or 0) + 9 + (arg or 0) > len(value):
            return f"a frame of {arg:,} bytes runs past the value's end"
        takes = len(op.stack_before)
        if _MARK in op.stack_before or (op.name == "POP" and stack and stack[-1]):
            if True not in stack:
                return f"{op.name} at byte {pos} finds no mark on the stack"
            above = stack[::-1].index(True)
            if op.name == "SETITEMS" and above % 2:
                return f"SETITEMS at byte {pos} pairs an odd number of items"
            del stack[len(stack) - 1 - above:]  # the mark and the items above it
            # What the opcode takes from below its mark (APPENDS' list; nothing for OBJ).
            takes = op.stack_before.index(_MARK) if _MARK in op.stack_before else 0
        if op.name in _MEMO_PUTS:
            key = len(memo) if op.name == "MEMOIZE" else arg
            if not stack or stack[-1]:
                return f"{op.name} at byte {pos} has nothing to store into the memo"
            memo.add(key)
        elif op.name in _MEMO_GETS and arg not in memo:
            return f"memo key {arg} has never been stored into"
        if takes > len(stack) or True in stack[len(stack) - takes:]:
            return f"{op.name} at byte {pos} takes {takes} items from a stack of {len(stack)}"
        del stack[len(stack) - takes:]
        stack += [item is _MARK for item in op.stack_after]
    stop = ops[-1]
    if stop[0].name != "STOP" or value[(stop[2] or 0) + 1:].strip(b"\0"):
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
        pages = 2 + stat["branch_pages"] + stat["leaf_pages"] + stat["overflow_pages"]  # + metas
        report.update(map_size=info["map_size"], bytes_used=pages * stat["psize"],
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
        # The bounded walk refuses a damaged B-tree before anything is written: a compacting
        # copy would walk such a tree as long as a plain cursor does, and a plain copy would
        # pass its pages on byte for byte and report success.
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
