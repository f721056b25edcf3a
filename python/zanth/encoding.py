"""The store's on-disk encoding, stated once for the whole package.

Two layers live here:

* what the native store writes (record kinds told apart by key, vector record sizes, routing of
  ids and index keys to shards), for code that reads shards directly or routes ids itself;
* what `zanth.Collection` files in the metadata index: typed index keys whose UTF-8 bytes sort
  in the order of their values, so that one native key range is one numeric (or string) range.

Collection index keys (every one is at most `MAX_INDEX_KEY_BYTES` UTF-8 bytes)::

    %all                      every whole document
    =<field>:n<16 hex>        a number, the hex digits of `number_code`
    =<field>:s<text>\\0        a string, `text_code` of it, then a NUL that ends it
    =<field>:b0, =<field>:b1   False, True
    %l=<field>:               documents that list several values in the field (made since
                              "zanth.Collection/5": see `list_key`)

<field> is the field name with '%', ':' and '|' written %25, %3A and %7C, so a field's keys all
share the namespace "=<field>:" that the native Range operator stops at, and the range of that
whole namespace (`field_range`) lists the documents that have the field.
"""

from __future__ import annotations

import hashlib
import math
import re
import struct
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "BLOCK_CAPACITY", "BLOCK_KEY_BYTES", "BLOCK_PREFIX", "ID_BYTES",
    "MAX_INDEX_KEY_BYTES", "MAX_EXACT_INT", "PRESENT_KEY", "SEPARATOR", "TOMBSTONE_ID",
    "field_namespace", "field_range", "list_key", "number_code", "number_code_after",
    "number_codes",
    "MAX_DOCUMENTS", "document_number", "document_rids", "key_order", "record_id", "record_ids", "record_size",
    "slot_group", "slot_ids", "shard_of_id", "shard_of_key", "text_code", "value_key",
]

# ---- what the native store writes --------------------------------------------------------

ID_BYTES = 8  # an id key: the signed 64-bit id, little-endian; an object record's whole key
BLOCK_PREFIX = 0x70  # b"p": a key of BLOCK_KEY_BYTES starting with it is a vector block
BLOCK_KEY_BYTES = 5  # the prefix and a big-endian 32-bit block number
BLOCK_CAPACITY = 256  # vector records per block
SEPARATOR = 0x7C  # b"|" between an index key and the id key of its record
TOMBSTONE_ID = -(2**63)  # a deleted vector record; never a live id
MAX_INDEX_KEY_BYTES = 502  # LMDB keys are at most 511 bytes: key, separator, 8 id bytes


def record_size(dim: int) -> int:
    """Bytes of one vector record of `dim` float32 values: the id, then the values."""
    return ID_BYTES + 4 * dim


def shard_of_id(ident: int, num_shards: int) -> int:
    """The shard of an object or vector: the id's magnitude modulo the shard count."""
    return abs(ident) % num_shards  # abs(-2**63) is 2**63, as the store counts it


def shard_of_key(key: bytes, num_shards: int) -> int:
    """The shard of an index key: its MD5 digest, read big-endian, modulo the shard count."""
    return int.from_bytes(hashlib.md5(key).digest(), "big") % num_shards


# ---- Collection: record ids ---------------------------------------------------------------

def record_id(doc_id: int | str) -> int:
    """The 64-bit record id of a document id: a hash, the same in every process, in
    0 .. 2**63 - 1. Negative ids are the collection's own (settings, journals). Ints and strs
    hash apart, so 7 and "7" are two documents; bool is not an id (callers check)."""
    if isinstance(doc_id, str):
        raw = b"s" + doc_id.encode("utf-8", "surrogatepass")
    else:
        raw = b"i" + str(int(doc_id)).encode()
    return int.from_bytes(hashlib.blake2b(raw, digest_size=8).digest(), "little") >> 1


def record_ids(doc_ids: Sequence[int | str]) -> list[int]:
    """`record_id` of each id (ids already checked to be str or int)."""
    blake, from_bytes = hashlib.blake2b, int.from_bytes
    return [from_bytes(blake(b"s" + d.encode("utf-8", "surrogatepass"), digest_size=8).digest(),
                       "little") >> 1 if type(d) is str else record_id(d) for d in doc_ids]


def slot_ids(doc_ids: Sequence[int | str], span: int = 0) -> list[int]:
    """Where a collection keeps the record ids of these document ids (its slot objects): the
    top 56 bits of a hash over the key byte 0xFE, so the slots of a shard share one key range,
    apart from its documents (0xFF) and index records, and each write of slots dirties the
    pages of that range only. With `span` 0, the hash is `record_id`'s. A span of 10 or 100
    hashes the id's group of that span (`slot_group`) instead, so ids numbered in a run share
    a slot: a write of such ids rewrites one slot per `span` of them, not a page per id
    scattered over the range, and a read of one id unpickles the `span` entries of its slot."""
    if not span:
        return [(rid & ~0xFF) | 0xFE for rid in record_ids(doc_ids)]
    digits, hundreds = _DIGITS, span == 100
    # Each group as text first (its kind's letter, then the text or number it shares), so that
    # a text is encoded once per group: the same bytes as `slot_group`'s.
    groups = [("s" + d if d[-1:] not in digits
               else "h" + d[:-2] if hundreds and d[-2:-1] in digits
               else "g" + d[:-1]) if type(d) is str
              else "j" + str(int(d) // span) for d in doc_ids]
    blake, from_bytes = hashlib.blake2b, int.from_bytes
    distinct = set(groups)
    if 2 * len(distinct) > len(groups):  # mostly groups of one: hashed as they come
        return [(from_bytes(blake(g.encode("utf-8", "surrogatepass"), digest_size=8).digest(),
                            "little") >> 1 & ~0xFF) | 0xFE for g in groups]
    sid = {g: (from_bytes(blake(g.encode("utf-8", "surrogatepass"), digest_size=8).digest(),
                          "little") >> 1 & ~0xFF) | 0xFE for g in distinct}
    return list(map(sid.__getitem__, groups))


_DIGITS = frozenset("0123456789")


def slot_group(doc_id: int | str, span: int) -> bytes:
    """The bytes a slot id of groups of `span` (10 or 100) hashes (`slot_ids` makes the same
    in line). An int id n is in group n // span. A str id ending in an ASCII digit is in the
    group of the text before it ("doc-1234" and "doc-1239" share one); with span 100, one
    ending in two digits is in that of the text before them ("doc-1234" and "doc-1299" share
    one, "doc-1300" is in the next); any other str id is a group of its own, hashed as
    `record_id` hashes it. So no group holds more than `span` ids, and the leading byte keeps
    the kinds apart."""
    if type(doc_id) is not str:
        return b"j" + str(int(doc_id) // span).encode()
    if doc_id[-1:] not in _DIGITS:
        return b"s" + doc_id.encode("utf-8", "surrogatepass")
    if span == 100 and doc_id[-2:-1] in _DIGITS:
        return b"h" + doc_id[:-2].encode("utf-8", "surrogatepass")
    return b"g" + doc_id[:-1].encode("utf-8", "surrogatepass")


MAX_DOCUMENTS = 2**48 - 1  # document numbers are 1 .. MAX_DOCUMENTS


def document_rids(first: int, count: int) -> list[int]:
    """Record ids of documents number first .. first + count - 1. Their keys are the byte 0xFF,
    the number in six bytes big-endian, and 0: after every other record of a shard (UTF-8 index
    keys never hold the byte 0xFF; block keys begin with 0x70), in the order of the numbers, so
    a write of new documents appends their objects, and their index records at the end of each
    key's list. As ints: positive, with the low byte 0xFF."""
    if first < 1 or first + count - 1 > MAX_DOCUMENTS:
        raise ValueError(f"document numbers {first} .. {first + count - 1} are outside "
                         f"1 .. {MAX_DOCUMENTS}")
    numbers = np.arange(first, first + count, dtype=np.uint64)
    rids: list[int] = ((numbers.byteswap() >> np.uint64(8)) | np.uint64(0xFF)).astype(
        np.int64).tolist()
    return rids


def document_number(rid: int) -> int:
    """The number of a document's record id (`document_rids`' inverse)."""
    return int.from_bytes(rid.to_bytes(8, "little", signed=True)[1:7], "big")


def key_order(rids: NDArray[np.int64]) -> NDArray[np.int64]:
    """Record ids sorted by their keys (least significant byte first): for documents, the
    order of their numbers."""
    keys = rids.astype(np.int64).view(np.uint64).byteswap()
    return np.ascontiguousarray(rids[np.argsort(keys, kind="stable")], dtype=np.int64)


# ---- Collection: index keys ---------------------------------------------------------------

PRESENT_KEY = "%all"
SETTINGS_ID = -(2**63) + 1  # a collection's settings: {"format", "dim", "metric", "shards"}
STATS_ID = -(2**63) + 2  # {"dead": vectors deleted since the last compaction}
JOURNAL_ID = -(2**63) + 3  # ("journal", [(record id, index keys, id), ...], next number)
NUMBER_ID = -(2**63) + 4  # {"next": the number of the next document added}
PURGED_ID = -(2**63) + 5  # {"records": record ids of documents `repair()` removed}
LOCK_FILE = "collection.lock"  # a collection's writers' lock, its mark and its shard count


def made_shards_record(count: int, metric: str | None = None) -> bytes:
    """What a collection's lock file holds: the shard count it is made with, written under the
    lock before any shard (older collections' lock files are empty), and the metric it was
    made with when one was asked for: until its first vector gives it a dimension, the
    collection has no settings record to keep it in."""
    return f"zanth.Collection shards={count}{f' metric={metric}' if metric else ''}\n".encode()


_MADE = re.compile(rb"zanth\.Collection shards=([1-9][0-9]{0,5})(?: metric=(cosine|ip))?\n")


def made_shards(record: bytes) -> int | None:
    """The shard count a lock file records (`made_shards_record`), None for any other bytes."""
    found = _MADE.fullmatch(record)
    return int(found[1]) if found else None


def made_metric(record: bytes) -> str | None:
    """The metric a lock file records (`made_shards_record`), None when it records none."""
    found = _MADE.fullmatch(record)
    return found[2].decode() if found and found[2] else None


MAX_EXACT_INT = 2**53  # ints beyond this many units lose their identity as float64


def field_namespace(field: str) -> str:
    return "=" + field.replace("%", "%25").replace(":", "%3A").replace("|", "%7C") + ":"


def list_key(space: str) -> str:
    """The key of the documents listing several values in the field of namespace `space`: only
    where it lists none may one key range stand for two comparisons on the field. No longer
    than the field's shortest value key (False's), so it fits wherever they do."""
    return "%l" + space


def field_range(field: str) -> tuple[str, str]:
    """The key range [start, end) of every value of `field` (';' follows ':')."""
    space = field_namespace(field)
    return space, space[:-1] + ";"


_DOUBLE = struct.Struct(">d").pack


def number_code(value: float) -> str:
    """16 hex digits whose byte order is the numeric order of float64 values (-0.0 is 0.0)."""
    bits = int.from_bytes(_DOUBLE(value + 0.0), "big")
    return f"{bits ^ 0xFFFFFFFFFFFFFFFF if bits >> 63 else bits | 1 << 63:016x}"


def number_codes(values: "Sequence[float]") -> list[str]:
    """`number_code` of each value, computed a column at a time."""
    import numpy as np

    bits = (np.asarray(values, dtype=np.float64) + 0.0).view(np.uint64)  # -0.0 -> 0.0
    negative = (bits >> np.uint64(63)).astype(bool)
    codes = np.where(negative, ~bits, bits | np.uint64(1 << 63))
    text = codes.astype(">u8").tobytes().hex()
    return [text[i:i + 16] for i in range(0, len(text), 16)]


def number_code_after(code: str) -> str:
    """The smallest text above every key of `code` and below every greater number's key."""
    bits = int(code, 16) + 1
    return f"{bits:016x}" if bits < 1 << 64 else "g"  # 'g' sorts above every hex digit


def text_code(value: str) -> str:
    """`value` with NUL and \\x01 written as \\x01\\x01 and \\x01\\x02: the result holds no NUL, so a
    NUL after it ends it, and the codes sort as the values do (a prefix first)."""
    return value.replace("\x01", "\x01\x02").replace("\x00", "\x01\x01")


def value_key(field: str, value: bool | int | float | str) -> str:
    """The index key of one metadata value (already checked: see collection.py)."""
    space = field_namespace(field)
    if isinstance(value, bool):
        return space + ("b1" if value else "b0")
    if isinstance(value, str):
        return space + "s" + text_code(value) + "\x00"
    assert not (isinstance(value, float) and math.isnan(value))
    return space + "n" + number_code(value)
