"""`Collection`: documents (an id, a vector, typed metadata, a text) kept whole in one store.

    from zanth import Collection
    col = Collection("docs", dim=384, metric="cosine")
    col.add(["a", "b"], vectors, metadatas=[{"year": 2019}, {"year": 2021}], documents=[...])
    col.query(q, k=5, where={"year": {"$gte": 2020}})      # [Hit(id, score, metadata, ...)]

Layout in the store (see `zanth.encoding` for record ids and index keys). A document is numbered
when first added (1, 2, ...), and its record id is made from that number
(`encoding.document_rids`): the keys of documents follow every other key of a shard, in the
order they were added, so adding documents appends their records. Under its record id a
document has:

* its object: the tuple (id, metadata, document, vector bytes as given, index keys) -- the
  commit point: a document exists exactly when its object does;
* one vector, unit-length for "cosine", as given for "ip";
* its index entries: one per metadata value, PRESENT_KEY, and the `encoding.list_key` of each
  field in which it lists several values (a query may merge two ranges on a field only where no
  document is listed there).

Its id (str or int) leads to that record id through a slot: an object at `encoding.slot_ids`
(a hash of the id's group: ids that differ only in their last digit, or ints in one run of
ten, share one) holding the dict {id: record id} of the ids that hash there. A write of ids
numbered in a run so rewrites a slot per ten ids, where slots scattered by id would have it
rewrite nearly every page of the slots' key range at each commit; a read of an id unpickles
its slot's ten entries at most. Readers trust a slot only as far as the object it names
holds that id, so a slot left naming a record id that holds nothing (or another document) is
harmless, and the next write of that id replaces it. Collections made in earlier layouts
keep theirs: "zanth.Collection/4" files no list keys (its queries merge no ranges); in
"zanth.Collection/3" a slot holds a group of a hundred (the last two digits);
in "zanth.Collection/2" each slot is at the hash of the id itself; in "zanth.Collection/1"
the record id is that hash, and two ids that hash alike are refused.

Negative record ids are the collection's own: its settings (dimension, metric, shard count), a
counter of dead vectors, the next document number, and the journal.

Writes. Every write call takes the collection's lock (a file lock beside the shards, and a
thread lock), then writes a journal -- an object at JOURNAL_ID listing each record id it will
touch with its document id and every index key it may write or remove, stored with the next
document number when the write numbers new documents; the lock lets one writer at a time have a
journal -- then the objects, vectors, index entries and slots of the chunk in one commit per
shard (`write_batch`), and then removes the journal (in a call of several chunks, each chunk's
journal replaces the previous one's: one commit ends a finished chunk and begins the next).
The shards commit independently and a document's records span shards (index records live
in the shards of their keys), so until the journal is removed any subset of the shards may
hold their part. A writer that dies, or a `write_batch` that fails on some shard, leaves the
journal; whoever next takes the lock (any write, opening the collection, or a read that finds a
journal and the lock free) rebuilds each journaled document from its object, or removes every
trace of it when it has none, and makes its slot name it, or not, to match. So a crash leaves each document whole or absent, never in
part.

A writer killed inside an LMDB commit can leave that commit on disk yet unseen by another
process's reads until a write transaction begins there, so whoever takes the lock first begins
one in every shard (`refresh`) and only then reads what it decides from.

Reads take no lock. While a write is running (a journal exists) reads check what they return
against the objects, so they never return part of a document; a document being written may
be missing for that moment from a search, a filtered `get` or `count` (its object, which `get`
by id reads, may commit before the index entries in other shards).
"""

from __future__ import annotations

import errno
import fcntl
import gc
import itertools
import math
import operator
import os
import pickle
import re
import shutil
import sys
import threading
import warnings
import weakref
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from contextlib import contextmanager, suppress
from typing import Any, NamedTuple, Union

import numpy as np
from numpy.typing import NDArray

import zanth_vec

from . import encoding as enc
from .where import Scalar, Where, compile_where, matches, read_where, scalar

__all__ = ["Collection", "Hit", "Record"]

DocId = Union[int, str]
Metadata = dict[str, Any]
Embed = Callable[[list[str]], Any]  # texts -> one vector per text (a matrix, or a list of rows)

SETTINGS_ID = enc.SETTINGS_ID
STATS_ID, JOURNAL_ID, NUMBER_ID, PURGED_ID = (enc.STATS_ID, enc.JOURNAL_ID, enc.NUMBER_ID,
                                             enc.PURGED_ID)
# As the one below, and each document that lists several values in a field is listed under
# that field's `encoding.list_key`: where no document is, a two-sided range reads one range.
LISTS_FORMAT = "zanth.Collection/5"
TENS_FORMAT = "zanth.Collection/4"  # slots hash the ids' groups of ten (`encoding.slot_group`)
GROUPED_FORMAT = "zanth.Collection/3"  # slots hash groups of a hundred; still read and written
UNGROUPED_FORMAT = "zanth.Collection/2"  # slots hash the ids themselves; still read and written
HASHED_FORMAT = "zanth.Collection/1"  # record ids are the hashes of the ids; still read and written
FORMAT = LISTS_FORMAT  # the layout of collections made now
FORMATS = (LISTS_FORMAT, TENS_FORMAT, GROUPED_FORMAT, UNGROUPED_FORMAT, HASHED_FORMAT)
SLOT_SPANS = {LISTS_FORMAT: 10, TENS_FORMAT: 10, GROUPED_FORMAT: 100}  # slots of groups
LOCK_FILE = enc.LOCK_FILE
LOW_DISK_BYTES = 64 * 2**20  # a failed write names the free space below this
# A page of `get` that ends by SCAN_PAGE is looked for among the documents in order
# (`_scanned`) while that seems to read less than the index: a document read and matched costs
# about as much as SCAN_COST entries of the index.
SCAN_PAGE = 256
SCAN_COST = 64
CHUNK = 20_000  # documents per journaled write: the journal, one commit per shard, its removal
# Deleted documents' vectors are tombstoned in bulk, once more than this many wait, or than a
# PENDING_SHARE-th of the documents up to PENDING_CAP: a tombstone rewrites each block it falls
# in, so scattered deletions one call at a time would rewrite every block each time. A third of
# the documents is past the dead share at which compaction runs (and tombstones them first), so
# below PENDING_CAP they wait for compaction, which rewrites the blocks anyway; the cap bounds
# the stats record, which lists them, and the dead vectors a search scans. Meanwhile searches
# without a filter of a handle that knows of them are restricted to the documents
# (PRESENT_KEY's record ids, see `query`), so those vectors are no hits, and reads drop any
# that other handles' searches return as records without objects (those ask for that many
# more, see `_asked`).
PENDING_LIMIT = 2048
PENDING_SHARE = 3
PENDING_CAP = 1 << 16
DROP_DECAY = 0.95  # per search: the share of dropped hits follows the last few dozen searches
METRICS = ("cosine", "ip")
DEFAULT_SHARDS = 5


def _shard_dirs(path: str) -> list[int]:
    """The numbers of the shard directories (shard_0, shard_1, ...) at `path`, in order."""
    try:
        names = os.listdir(path)
    except FileNotFoundError:
        return []
    return sorted(int(name[6:]) for name in names if re.fullmatch(r"shard_(0|[1-9]\d*)", name)
                  and os.path.isdir(os.path.join(path, name)))


def _shards_found(path: str) -> int:
    """How many shard directories (shard_0, shard_1, ...) a store directory holds."""
    dirs = _shard_dirs(path)
    count = 0
    while count < len(dirs) and dirs[count] == count:
        count += 1
    # Shards are made in order, so one past a gap means a directory was removed or renamed:
    # opening with the run before the gap would read the store with another shard count.
    if count < len(dirs):
        raise ValueError(f"{path}: shard_{count} is missing, but shard_{dirs[count]} is there: a "
                         "shard directory was removed or renamed; put it back")
    return count


def _strays(path: str, made: int) -> list[str]:
    """The shard directories of a store made with `made` shards that it has no use for."""
    return [f"shard_{n}" for n in _shard_dirs(path) if n >= made]


class Record(NamedTuple):
    id: DocId
    metadata: Metadata
    document: str | None
    vector: NDArray[np.float32] | None


class Hit(NamedTuple):
    id: DocId
    score: float
    metadata: Metadata
    document: str | None
    vector: NDArray[np.float32] | None


def _is_doc(obj: object) -> bool:
    return type(obj) is tuple and len(obj) == 5


def _stored_keys(obj: tuple[Any, ...]) -> tuple[str, ...]:
    """The index keys a stored document lists itself under: its record of them, or, where that
    is damaged, those of its metadata (none when those are damaged too). A write that replaces
    or deletes the document drops these."""
    keys = obj[4]
    if type(keys) is tuple and all(type(key) is str for key in keys):
        return keys
    try:
        return _clean_metadata(obj[1], obj[0])[1]
    except (TypeError, ValueError, AttributeError):
        return ()


def _positive_int(value: object) -> bool:
    return isinstance(value, (int, np.integer)) and not isinstance(value, bool) and bool(value > 0)


def _count_of(name: str, value: object, more: str = "") -> int:
    """An argument that counts (k, limit, offset) as an int: TypeError for another type (a
    bool or a float among them, as the store's own arguments), ValueError when negative."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} is an int >= 0{more}, not {value!r}")
    if value < 0:
        raise ValueError(f"{name} is an int >= 0{more}, not {value!r}")
    return int(value)


def _tree_key(node: Where | None) -> str:
    """What tells filter trees apart for the memos: their repr, since trees that differ only
    in True and 1 (or False and 0) are equal in Python and select different documents."""
    return repr(node)


def _counter(raw: bytes | None, name: str) -> int | None:
    """The int of a counter record ({name: n}) as pickled; None when absent or damaged."""
    try:
        value = None if raw is None else pickle.loads(raw)
    except Exception:  # noqa: BLE001 - any damaged pickle: the record counts as absent
        return None
    found = value.get(name) if isinstance(value, dict) else None
    return found if type(found) is int else None


def _stats(dead: int, pending: list[int]) -> dict[str, Any]:
    return {"dead": dead, "pending": pending} if pending else {"dead": dead}


def _pending_of(raw: bytes | None) -> list[int]:
    """The pending record ids of the stats record as pickled; none where it is damaged (their
    vectors are then left to `compact()`, which removes vectors of records holding nothing)."""
    try:
        value = None if raw is None else pickle.loads(raw)
    except Exception:  # noqa: BLE001 - any damaged pickle
        return []
    found = value.get("pending") if isinstance(value, dict) else None
    if type(found) is not list or not all(type(r) is int and -2**63 <= r < 2**63 for r in found):
        return []
    return found


def _journal(raw: bytes | None, hashed: bool) -> tuple[Any, ...] | None:
    """A journal record as pickled, when it has the shape that writes give it: ("journal",
    [(record id, index keys, id), ...], next number) (no ids in the hashed layout)."""
    try:
        value = None if raw is None else pickle.loads(raw)
    except Exception:  # noqa: BLE001 - any damaged pickle
        return None
    if not (type(value) is tuple and len(value) in (2, 3) and value[0] == "journal"
            and type(value[1]) is list and (len(value) == 2 or type(value[2]) is int
                                            and 1 <= value[2] <= enc.MAX_DOCUMENTS + 1)):
        return None
    width = 2 if hashed else 3
    for entry in value[1]:
        if not (type(entry) is tuple and len(entry) >= width and type(entry[0]) is int
                and -2**63 <= entry[0] < 2**63 and type(entry[1]) is tuple
                and all(isinstance(key, str) for key in entry[1])
                and (hashed or isinstance(entry[2], (str, int)))):
            return None
    return value


def _same_id(a: object, b: object) -> bool:
    return type(a) is type(b) and a == b


def _order(doc_id: DocId) -> tuple[int, Any]:
    """Ids in a fixed order: ints (by value) before strs (by code point)."""
    return (1, doc_id) if isinstance(doc_id, str) else (0, doc_id)


def _doc_id(value: object) -> DocId:
    """An id as a plain str or int: "a" and np.str_("a") (or an enum's member of that value)
    are one id, stored as "a" (a subclass would be another slot key and need its class to be
    read back)."""
    if type(value) is str:
        return value
    if isinstance(value, str):
        return str.__str__(value)
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"ids are str or int, not {type(value).__name__}: {value!r}")
    number = int(value)
    if not -_INT_ID_BOUND < number < _INT_ID_BOUND:
        # Hashed by its decimal digits, which a process with Python's default limit cannot
        # write out: such an id would be stored and then unreachable, even to recovery.
        raise ValueError(f"an int id has at most {_INT_ID_DIGITS} digits, and this one has "
                         "more: use a str id")
    return number


_ERRNOS = {os.strerror(code): code for code in sorted(errno.errorcode, reverse=True)}


def _errno_of(error: OSError) -> int | None:
    """The system's error number of a store's error, which names it in words only."""
    text = str(error)
    numbered = re.search(r"\(os error (\d+)\)$", text)
    return int(numbered[1]) if numbered else _ERRNOS.get(text.removeprefix("LMDB: "))


_INT_ID_DIGITS = 4300  # Python's default limit of int <-> str conversions
_INT_ID_BOUND = 10**_INT_ID_DIGITS


def _row_ids(ids: object) -> list[DocId]:
    """`_id_list` of ids that rows of vectors, metadatas or texts follow: in a given order."""
    if isinstance(ids, (set, frozenset)):
        raise TypeError("ids are a set, whose order is arbitrary: give them as a list, so "
                        "that vectors, metadatas and documents line up with them")
    return _id_list(ids)


def _id_list(ids: object) -> list[DocId]:
    """Ids given as one id or a sequence of them (a str is one id, never its characters)."""
    if isinstance(ids, (str, int, np.integer)):
        return [_doc_id(ids)]
    if isinstance(ids, np.ndarray):
        ids = ids.tolist()
        if not isinstance(ids, list):  # a 0-d array: one id
            return [_doc_id(ids)]
    if isinstance(ids, (bytes, bytearray, memoryview)):  # iterable, but of byte values
        raise TypeError(f"ids are str or int, not {type(ids).__name__}: {ids!r}")
    if not isinstance(ids, Iterable):
        raise TypeError(f"ids are a str, an int or a sequence of them, not {type(ids).__name__}")
    return [_doc_id(i) for i in ids]


_SPACES: dict[str, str] = {}  # checked field name -> its index namespace


def _namespace(field: object, doc_id: DocId) -> str:
    """The index namespace of a metadata field name, checked once per name. A str subclass is
    taken as the plain str it equals: its own hashing and equality never reach the memo."""
    if isinstance(field, str):
        field = str.__str__(field)
    space = _SPACES.get(field) if isinstance(field, str) else None
    if space is not None:
        return space
    if not isinstance(field, str):
        raise TypeError(f"metadata of {doc_id!r}: field names are str, not {field!r}")
    if not field or field.startswith("$"):
        raise ValueError(f"metadata of {doc_id!r}: {field!r} is not a field name "
                         "(empty, or starting with '$' like an operator)")
    scalar(field, f"metadata field name of {doc_id!r}")  # a lone surrogate
    space = enc.field_namespace(field)
    if len(space.encode()) + 17 > enc.MAX_INDEX_KEY_BYTES:  # + a number's key
        raise ValueError(f"metadata {field[:40]!r}... of {doc_id!r}: the field name is too long "
                         f"to index (at most {enc.MAX_INDEX_KEY_BYTES - 19} UTF-8 bytes, where "
                         "'%', ':' and '|' count 3 each)")
    if len(_SPACES) >= 4096:  # names are at most about 500 characters: a few MB at most
        _SPACES.clear()
    _SPACES[field] = space
    return space


def _value_key(space: str, value: Scalar) -> str:
    kind = type(value)
    if kind is str:
        text: str = value  # type: ignore[assignment]
        if "\x00" in text or "\x01" in text:
            text = enc.text_code(text)
        return space + "s" + text + "\x00"
    if kind is bool:
        return space + ("b1" if value else "b0")
    return space + "n" + enc.number_code(value)  # type: ignore[arg-type]


_KEYS: dict[tuple[str, type, Any], str] = {}  # (namespace, type, value) -> its index key


def _clean_metadata(meta: object, doc_id: DocId, listed: bool = True,
                    ) -> tuple[Metadata, tuple[str, ...]]:
    """Checked metadata (NumPy scalars become Python ones, tuples lists) and its index keys;
    `listed`: with the `encoding.list_key` of each field listing several values."""
    if meta is None:
        return {}, ()
    if not isinstance(meta, Mapping):
        raise TypeError(f"metadata of {doc_id!r} is a dict, not {type(meta).__name__}")
    clean: Metadata = {}
    keys: list[str] = []
    lists = False  # only a list's values can repeat a key
    for field, value in meta.items():
        space = _SPACES.get(field) if type(field) is str else None
        if space is None:
            space = _namespace(field, doc_id)
            subclass = type(field) is not str
            field = str.__str__(field)  # kept as the plain str it equals, as values are
            if subclass and sum(isinstance(k, str) and str.__str__(k) == field for k in meta) > 1:
                raise ValueError(f"metadata of {doc_id!r}: the field {field!r} is given twice "
                                 "(as a str and as a str subclass equal to it)")
        kind = type(value)
        if (kind is int and -enc.MAX_EXACT_INT <= value <= enc.MAX_EXACT_INT) or kind is bool \
                or (kind is float and value == value) or (kind is str and value.isascii()):
            clean[field] = value  # the common cases, checked in line
            # Their keys are remembered: categories, years and flags repeat across documents.
            # The type is part of the entry, as 1, 1.0 and True are equal dict keys.
            known = _KEYS.get((space, kind, value))
            if known is not None:
                keys.append(known)
                continue
            items: list[Scalar] = [value]
            remember = True
        elif value is None:
            clean[field] = None
            continue
        elif isinstance(value, (list, tuple)):
            items = [scalar(v, f"metadata {field!r} of {doc_id!r}") for v in value]
            clean[field] = items
            remember = False
            lists = True
            if listed and len(items) > 1:
                keys.append(enc.list_key(space))
        else:
            items = [scalar(value, f"metadata {field!r} of {doc_id!r}")]
            clean[field] = items[0]
            remember = False
        for item in items:
            key = _value_key(space, item)
            if len(key) > enc.MAX_INDEX_KEY_BYTES // 4 and \
                    len(key.encode()) > enc.MAX_INDEX_KEY_BYTES:
                raise ValueError(f"metadata {field!r} of {doc_id!r} is too long to index: "
                                 f"field name and value take at most "
                                 f"{enc.MAX_INDEX_KEY_BYTES - 4} UTF-8 bytes together")
            keys.append(key)
        if remember and len(key) < 64:  # a short key of a common case
            if len(_KEYS) >= 100_000:
                _KEYS.clear()
            _KEYS[(space, kind, value)] = key
    return clean, tuple(dict.fromkeys(keys)) if lists else tuple(keys)


def _column_keys(space: str, column: Sequence[Any]) -> list[str] | None:
    """The index key of each value of one field's column, when every value is of one plain
    type that needs no conversion (the checks of `_clean_metadata`'s common cases, once per
    column and per distinct value); None sends the batch to the per-document path."""
    kinds = set(map(type, column))
    if len(kinds) != 1:
        return None
    kind = kinds.pop()
    if kind is int:
        if min(column) < -enc.MAX_EXACT_INT or max(column) > enc.MAX_EXACT_INT:
            return None
    elif kind is float:
        if any(map(math.isnan, column)):
            return None
    elif kind is str:
        if not all(map(str.isascii, column)):
            return None
    elif kind is not bool:
        return None
    distinct = list(dict.fromkeys(column))  # one type: 1, 1.0 and True never meet here
    known: dict[Any, str]
    if kind is int or kind is float:
        prefix = space + "n"
        known = dict(zip(distinct, [prefix + code for code in enc.number_codes(distinct)]))
    else:
        known = {value: _value_key(space, value) for value in distinct}
    # The values are ASCII, a byte a character; the field's namespace need not be.
    if max(map(len, known.values())) + len(space.encode()) - len(space) > enc.MAX_INDEX_KEY_BYTES:
        return None
    return list(map(known.__getitem__, column))


def _clean_metadatas(metas: list[Any], doc_ids: list[DocId], listed: bool,
                     ) -> tuple[list[Metadata], list[tuple[str, ...]]]:
    """`_clean_metadata` of each document. Documents whose metadata are plain dicts with the
    same fields in the same order and plain values are checked and keyed a column at a time;
    anything else (and any doubt) goes through `_clean_metadata`, which raises the errors."""
    n = len(metas)
    first = metas[0] if n else None
    if n < 32 or type(first) is not dict or not first:
        return _clean_each(metas, doc_ids, listed)
    fields = tuple(first)
    if set(map(type, metas)) != {dict} or set(map(tuple, metas)) != {fields} or \
            set(map(type, itertools.chain.from_iterable(metas))) != {str}:  # np.str_ equals str
        return _clean_each(metas, doc_ids, listed)
    # Copies, keyed and stored: what is stored is what was keyed, whatever the caller does to
    # its dicts meanwhile (their values are immutable: a shallow copy is enough).
    metas = list(map(dict.copy, metas))
    rows = list(map(operator.itemgetter(*fields), metas))
    columns: list[Sequence[Any]] = [rows] if len(fields) == 1 else list(zip(*rows))
    keyed = []
    for field, column in zip(fields, columns):
        try:
            space = _namespace(field, doc_ids[0])
        except (TypeError, ValueError):
            return _clean_each(metas, doc_ids, listed)  # raises in document order
        keys = _column_keys(space, column)
        if keys is None:
            return _clean_each(metas, doc_ids, listed)
        keyed.append(keys)
    return metas, list(zip(*keyed))


def _clean_each(metas: list[Any], doc_ids: list[DocId], listed: bool,
                ) -> tuple[list[Metadata], list[tuple[str, ...]]]:
    cleaned = [_clean_metadata(m, d, listed) for m, d in zip(metas, doc_ids)]
    return [c[0] for c in cleaned], [c[1] for c in cleaned]


class _Reopen:
    """Stands for the store of a collection in a child made by fork(): opens the child's own
    handle at first use and puts it in its place."""

    def __init__(self, col: Collection) -> None:
        self._col = weakref.ref(col)  # the collection holds this: no cycle
        self._opening = threading.Lock()  # not the collection's: a write may hold that

    def __getattr__(self, name: str) -> Any:
        with self._opening:
            col = self._col()
            if col is None:
                raise ValueError("the collection is gone")
            if col._store is self:  # type: ignore[comparison-overlap]
                col._store = zanth_vec.ZanthVec(col.path, *col._store_args)
            store = col._store
        return getattr(store, name)


def _opened(path: str, dim: int | None, metric: str | None, embed: Embed | None,
            num_shards: int, map_size: int) -> Collection:
    """An unpickled collection: the one at `path`, opened anew."""
    return Collection(path, dim, metric, embed=embed, num_shards=num_shards, map_size=map_size)


_OPEN: weakref.WeakSet[Collection] = weakref.WeakSet()  # the collections not garbage yet


def _after_fork() -> None:
    for col in list(_OPEN):
        col._forked()


os.register_at_fork(after_in_child=_after_fork)


class _NotACollection(ValueError):
    """A store of records without collection settings."""


class _Closed:
    """Stands for the store of a closed collection: any use says so."""

    def __init__(self, path: str) -> None:
        self._path = path

    def __getattr__(self, name: str) -> Any:
        raise ValueError(f"{self._path}: the collection is closed")


class _Unreadable(NamedTuple):
    """An object record that does not unpickle, read where it can be told apart."""
    error: str  # what unpickling it raised


class _MendedSlot(dict):  # type: ignore[type-arg]
    """A slot made again from the documents, to be stored back by the next write of it (as
    the plain dict every slot is)."""

    def __reduce__(self) -> tuple[type[dict], tuple[dict[DocId, int]]]:  # type: ignore[type-arg]
        return dict, (dict(self),)


_PLAIN_TEXTS = frozenset({str, type(None)})  # documents' texts stored as they are given
_NORM_BLOCK = 1 << 17  # float32 values normalised at once (512 KiB), for the cache's sake

_Slots = tuple[list[int], dict[int, dict[DocId, int]]]  # the slot id of each id, and the slots


class _Batch(NamedTuple):
    doc_ids: list[DocId]
    rids: list[int]
    given: NDArray[np.float32]  # the vectors as given, in float32
    searched: NDArray[np.float32]  # what the blocks hold: unit length for cosine
    metadatas: list[Metadata]
    documents: list[str | None]
    keys: list[tuple[str, ...]]

    def objects(self, rows: range) -> list[tuple[Any, ...]]:
        part = slice(rows.start, rows.stop)
        # Each row as one opaque item of its byte length: tolist() makes them bytes.
        rowwise = np.dtype((np.void, self.given.itemsize * self.given.shape[1]))
        vectors = self.given[part].view(rowwise).ravel().tolist()
        return list(zip(self.doc_ids[part], self.metadatas[part], self.documents[part],
                        vectors, self.keys[part]))


class Collection:
    """Documents under `path` (str or os.PathLike): an id (str or int), a vector, typed
    metadata and an optional text each. Creates the store or opens it; `dim` and `metric` are
    kept in the store, and opening it with others raises ValueError (None: as stored; a new
    collection without `dim` takes it from its first add). `metric` "cosine" stores and
    searches unit-length vectors, "ip" raw inner products. `num_shards` (default 5) is fixed
    when the store is made; None reopens with the count it was made with. `embed`, a function
    from a list of texts to their vectors (one row each), lets writes without vectors take
    them from their documents and queries be texts; it is this handle's, not stored."""

    def __init__(self, path: str | os.PathLike[str], dim: int | None = None,
                 metric: str | None = None, *, embed: Embed | None = None,
                 num_shards: int | None = None, map_size: int = 200_000_000_000) -> None:
        path = os.fspath(path)
        if not isinstance(path, str):
            raise TypeError(f"path is a str or os.PathLike of str, not {type(path).__name__}")
        try:
            path.encode("utf-8")
        except UnicodeEncodeError:  # checked before any directory is made
            raise ValueError(f"path {path!r} is not valid UTF-8, which the store's files are "
                             "opened by") from None
        if dim is not None and (isinstance(dim, bool) or not isinstance(dim, (int, np.integer))
                                or dim < 1):
            raise ValueError(f"dim is a positive int, not {dim!r}")
        dim = None if dim is None else int(dim)
        if num_shards is not None and (isinstance(num_shards, bool) or not isinstance(
                num_shards, (int, np.integer)) or num_shards < 1):
            raise ValueError(f"num_shards is a positive int, not {num_shards!r}")
        if metric is not None and metric not in METRICS:
            raise ValueError(f"metric is 'cosine' or 'ip', not {metric!r}")
        if embed is not None and not callable(embed):
            raise TypeError(f"embed is a function from texts to vectors, not "
                            f"{type(embed).__name__}")
        # Absolute: a child made by fork() and an unpickled copy open this same store even after
        # the working directory changed. Not normalised: "link/.." is where the link leads.
        self.path = path if os.path.isabs(path) else os.path.join(os.getcwd(), path)
        self.embed = embed
        self._mutex = threading.Lock()
        self._dead = 0
        self._saved_dead = 0  # the dead count as stored
        self._pending: list[int] = []  # deleted documents' record ids whose vectors are live
        self._saved_pending: list[int] = []
        self._next = 1  # the number of the next new document (read under the lock)
        # Hits that recent searches returned and that were no document's (deleted documents'
        # vectors waiting for their tombstones, writes in progress), and hits read, both
        # decaying: a search asks for enough more than k that it seldom has to be run again.
        self._dropped = 0.0
        self._read = 0.0
        self._hashed = False  # record ids are hashes of the ids (the first layout)
        self._span = 0  # slots hash the ids' groups of this many (0: the ids themselves)
        self._format = FORMAT  # the layout of the settings record (the stored one once read)
        self._asked_metric = metric  # checked against settings another handle may write later
        # (`_tree_key` of a filter tree, each shard's last commit, the record ids it selects in
        # key order)
        self._order_memo: tuple[str, list[int], NDArray[np.int64]] | None = None
        # The trees whose pages the index read lately (their keys: the commits they read): the
        # store keeps what it evaluated, so those cost less from the index than by a scan.
        self._indexed: dict[str, list[int]] = {}
        # (tree key, commits, record ids of the first documents it matches) of the last scan
        self._scan_memo: tuple[str, list[int], list[int]] | None = None
        self._journal_memo: tuple[bytes, tuple[Any, ...] | None] | None = None
        os.makedirs(self.path, exist_ok=True)
        made_lock = not os.path.exists(os.path.join(self.path, LOCK_FILE))
        self._lock_fd: int | None = self._open_lock()
        try:
            settings = self._open_store(num_shards, map_size, metric, locked=False)
            if settings is None:
                # A new collection, or one being made: under the lock, processes opening a new
                # path at once make its shards and settings one after another, so each finds
                # the shard count and settings of the first.
                fcntl.flock(self._lock_fd, fcntl.LOCK_EX)
                settings = self._open_store(num_shards, map_size, metric, locked=True)
            if settings is None:
                self._check_empty()
                made = enc.made_metric(os.pread(self._lock_fd, 64, 0))
                if metric is not None and made is not None and metric != made:
                    raise ValueError(f"{self.path} was made with metric={made!r}, not "
                                     f"{metric!r}")
                self.dim, self.metric = dim, metric or made or "cosine"
                self._asked_metric = metric or made
                self._format = FORMAT  # the layout this handle writes its settings with
                self._hashed, self._span = FORMAT == HASHED_FORMAT, SLOT_SPANS.get(FORMAT, 0)
                if dim is not None:
                    with self._writing():  # unlocks when done: the settings are written
                        self._settle_settings(dim)
            else:
                self._adopt(settings, dim, metric)
        except BaseException as error:
            fcntl.flock(self._lock_fd, fcntl.LOCK_UN)  # a child forked meanwhile shares it
            os.close(self._lock_fd)
            self._lock_fd = None
            if made_lock and isinstance(error, _NotACollection):
                # Left, it would mark another program's store as a collection. Every other
                # open of it is refused too: its records stay without settings.
                with suppress(OSError):
                    os.unlink(os.path.join(self.path, LOCK_FILE))
            raise
        fcntl.flock(self._lock_fd, fcntl.LOCK_UN)
        _OPEN.add(self)
        self._settle()

    def _open_store(self, num_shards: int | None, map_size: int, metric: str | None,
                    locked: bool) -> object:
        """Opens the store and returns its settings record (None when it has none). Without
        the lock only a finished collection is taken: one whose settings are there and whose
        shard count, when counted, was counted after they were written (directories of a
        collection being made may still be missing)."""
        recorded = enc.made_shards(os.pread(self._lock_fd, 64, 0)) \
            if self._lock_fd is not None else None
        if recorded is not None and (strays := _strays(self.path, recorded)):
            raise ValueError(f"{self.path} was made with {recorded} shards (its {LOCK_FILE} "
                             f"records them), but {', '.join(strays)} "
                             f"{'is' if len(strays) == 1 else 'are'} there too: take away what "
                             "does not belong")
        found = _shards_found(self.path)
        asked = None if num_shards is None else operator.index(num_shards)
        # The count a collection was made with, kept in its lock file before its shards are
        # made (its settings record holds it too, once it has a dimension): a collection
        # opened before it has settings, or whose maker died among its shards, is finished
        # with that count and no other.
        # A record without any shard is that of a collection whose shards were removed: a new
        # one is made, with the count asked for.
        made = recorded if found else None
        if not locked and (not found or found != (made or found)
                           or asked is not None and asked != (made or found)):
            return None  # nothing on disk, not all of it yet, or another count: under the lock
        if made is not None and asked is not None and asked != made:
            raise ValueError(f"{self.path} was made with {made} shards (its {LOCK_FILE} records "
                             f"them), not num_shards={asked}")
        if made is None and not found:  # a new collection: its count first, then its shards
            assert self._lock_fd is not None  # under the lock: it is open
            made = DEFAULT_SHARDS if asked is None else asked
            self._record_shards(made, metric)
            try:
                return self._store_opened(made, map_size, num_shards, locked)
            except BaseException:  # this open failed, not its process: the next may ask another
                os.ftruncate(self._lock_fd, 0)
                raise
        try:
            settings = self._store_opened(made or asked or found or DEFAULT_SHARDS, map_size,
                                          num_shards, locked)
        except ValueError as error:  # the store's refusal knows no count but the one asked
            if made is None or found >= made:
                raise
            missing = [f"shard_{i}" for i in range(found, made)]
            raise ValueError(f"{self.path} was made with {made} shards (its {LOCK_FILE} records "
                             f"them), but {', '.join(missing)} "
                             f"{'is' if len(missing) == 1 else 'are'} missing: put back what was "
                             "moved away") from error
        if locked and made is None and settings is None and not self._store.get_data_count():
            # Shards that hold nothing, left by an open that failed (or made by an older
            # version): this open makes the collection, with the count it opened them with.
            self._record_shards(self._store_args[0], metric)
        return settings

    def _record_shards(self, count: int, metric: str | None) -> None:
        """Keeps the shard count of a collection being made in its lock file, with the metric
        asked for (None: whoever writes its first vector decides)."""
        assert self._lock_fd is not None
        try:
            os.ftruncate(self._lock_fd, 0)
            os.pwrite(self._lock_fd, enc.made_shards_record(count, metric), 0)
        except OSError as error:  # a full disk, above all: named as the store names its files
            raise OSError(error.errno, error.strerror,
                          os.path.join(self.path, LOCK_FILE)) from error

    def _store_opened(self, count: int, map_size: int, num_shards: int | None,
                      locked: bool) -> object:
        """`_open_store`'s opening of the store with `count` shards."""
        try:
            self._store_args = (count, map_size)
            self._store = zanth_vec.ZanthVec(self.path, count, map_size)
            settings = self._objects([SETTINGS_ID])[0]
        except OSError as error:
            # The store names the system's error in words only: given back its number, it is
            # raised as its class (PermissionError, ...) with the collection's path.
            code = _errno_of(error)
            if error.errno is not None or code is None:
                raise
            if code == errno.ENOMEM:
                # Each shard maps `map_size` bytes of address space, which runs out long before
                # memory does when a process holds many collections open.
                raise OSError(code, f"{self.path}: {count} shards of map_size={map_size:,} bytes "
                              f"each could not be mapped ({error}); close other collections, or "
                              "open this one with a smaller map_size") from error
            raise OSError(code, f"{self.path}: {error}") from error
        except ValueError:
            if locked:
                raise
            return None  # a collection being made (its shards not all there): try under the lock
        if not locked and num_shards is None and settings is not None and \
                _shards_found(self.path) != count:
            return None
        return settings

    def _open_lock(self) -> int:
        return os.open(os.path.join(self.path, LOCK_FILE), os.O_RDWR | os.O_CREAT, 0o644)

    def _forked(self) -> None:
        """In a child made by fork(): the store handle it inherited may not be used there
        (LMDB's rule), the lock file's descriptor shares its lock with the parent's (flock
        locks belong to the open file, which fork shares: both would hold the lock at once,
        and either's unlock would free the other's), and the thread lock may have been held by
        a thread that the child does not have. The child takes a lock file and a thread lock
        of its own now, and a store handle of its own when it first uses the store."""
        if self._lock_fd is None:
            return  # closed
        inherited = self._lock_fd
        self._mutex = threading.Lock()
        try:
            self._lock_fd = self._open_lock()
        except OSError:  # the directory is gone: the child cannot use this collection
            self._lock_fd = None
            self._store = _Closed(self.path)  # type: ignore[assignment]
        else:
            self._store = _Reopen(self)  # type: ignore[assignment]
        os.close(inherited)  # the parent's lock stays with the parent's descriptor

    def _check_empty(self) -> None:
        """Refuses a store of records without collection settings (under the lock, where a
        collection's writers write its settings before any document). The settings are read
        again after the count: a handle opened earlier may have written them since."""
        if self._store.get_data_count() > 0 and self._objects([SETTINGS_ID])[0] is None:
            count = self._store_args[0]
            raise _NotACollection(
                f"{self.path} holds records but no collection settings in its {count} shards "
                f"(shard_0 .. shard_{count - 1}): it was written with the zanth_vec methods "
                "directly, not by Collection; or, if it is a collection, a shard directory was "
                "added or removed since it was made, or its settings record was lost (`zanth "
                f"verify {self.path}` checks the store)")

    def _adopt(self, settings: object, dim: int | None, metric: str | None) -> None:
        if isinstance(settings, dict) and "distance" in settings and "format" not in settings:
            raise ValueError(
                f"{self.path} was written by the earlier zanth.langchain layout, which this "
                "version does not read: add its documents again into a new store")
        layout = settings.get("format") if isinstance(settings, dict) else None
        if isinstance(layout, str) and layout.startswith("zanth.Collection/") and \
                layout not in FORMATS:
            raise ValueError(f"{self.path} was made in the layout {layout!r}, which this version "
                             "of zanth does not know (a newer version made it): upgrade zanth")
        if not isinstance(settings, dict) or layout not in FORMATS:
            raise ValueError(f"{self.path} is not a collection (its settings record reads "
                             f"{settings!r})")
        if not (_positive_int(settings.get("dim")) and settings.get("metric") in METRICS
                and _positive_int(settings.get("shards", 1))):
            raise ValueError(f"{self.path}: its settings record is damaged (it reads "
                             f"{settings!r}): `zanth verify {self.path}` checks the store")
        if dim is not None and dim != settings["dim"]:
            raise ValueError(f"{self.path} holds {settings['dim']}-dimensional vectors, not {dim}")
        if metric is not None and metric != settings["metric"]:
            raise ValueError(f"{self.path} was made with metric={settings['metric']!r}, not "
                             f"{metric!r}")
        shards = settings.get("shards")  # recorded by collections made since it was
        if shards is not None and shards != self._store_args[0]:
            # Records are found in the shard their id routes to under the count they were
            # written with: another count hides most of them and misplaces every write.
            raise ValueError(f"{self.path} was made with {shards} shards, but it is opened with "
                             f"{self._store_args[0]} (shard_0 .. shard_{self._store_args[0] - 1}"
                             "): a shard directory was added or removed; put it back, or take "
                             "away the one that does not belong")
        self.dim, self.metric = settings["dim"], settings["metric"]
        self._format = settings["format"]
        self._hashed = settings["format"] == HASHED_FORMAT
        self._span = SLOT_SPANS.get(settings["format"], 0)

    def _settings_now(self) -> bool:
        """True once the collection's dimension is known. A handle opened before the collection
        had settings adopts those another handle wrote since (checked against the metric this
        one was opened with; one opened without a metric takes the stored one)."""
        if self.dim is None:
            settings = self._objects([SETTINGS_ID])[0]
            if settings is not None:
                self._adopt(settings, None, self._asked_metric)
        return self.dim is not None

    @property
    def _listed(self) -> bool:
        """Whether documents that list several values in a field are listed under its
        `encoding.list_key` (in the layout of collections made now, not in earlier ones)."""
        return self._format == LISTS_FORMAT

    def _selected(self, node: Where) -> Any:
        """The set of the documents `node` selects (`get_ids_from_filter`), read with the
        ranges `compile_where` merges where no document lists several values in their field
        (a collection whose settings are not read yet merges none: they may name an earlier
        layout). That is known from the list keys read first, so the merged tree holds only if
        no shard committed from then until its ids were read: otherwise a document rewritten
        from a value in both ranges to a list with one in each could be passed over, and the
        ids are read again with a range per comparison."""
        if not (self._settings_now() and self._listed):
            return self._store.get_ids_from_filter(compile_where(node))
        merging: list[str] = []  # the fields whose comparisons are merged

        def several(field: str) -> bool:
            answer = self._several(field)
            if not answer:
                merging.append(field)
            return answer

        before = self._store.last_commits()
        found = self._store.get_ids_from_filter(compile_where(node, several))
        if merging and self._store.last_commits() != before:
            found = self._store.get_ids_from_filter(compile_where(node))
        return found

    def _several(self, field: str) -> bool:
        """Whether some document lists several values in `field`."""
        key = enc.list_key(enc.field_namespace(field))
        return len(self._store.get_ids_from_filter((0, key))) > 0

    def _settle_settings(self, dim: int) -> None:
        """Writes the settings of a new collection (under the lock), or adopts those another
        handle wrote meanwhile."""
        settings = self._objects([SETTINGS_ID])[0]
        if settings is not None:
            self._adopt(settings, dim, self._asked_metric)
            return
        self._check_empty()
        self._store.store_data([{"format": self._format, "dim": dim, "metric": self.metric,
                                 "shards": self._store_args[0]}], [SETTINGS_ID])
        self.dim = dim

    def close(self) -> None:
        """Lets go of the store (its files close once nothing else refers to them) and of the
        lock file, after a write running in another thread ends. Every later call but close()
        raises ValueError. Every write is durable when it returns, so closing only frees."""
        with self._mutex:
            fd, self._lock_fd = self._lock_fd, None
            self._store = _Closed(self.path)  # type: ignore[assignment]
            self._order_memo = self._scan_memo = None
        if fd is not None:
            os.close(fd)

    def __enter__(self) -> Collection:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        fd = getattr(self, "_lock_fd", None)
        if fd is not None:
            os.close(fd)

    def __repr__(self) -> str:
        return f"Collection({self.path!r}, dim={self.dim}, metric={self.metric!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        """A collection pickles as what opens it (its absolute path, dimension, the metric it
        was opened with, shard count, map size and `embed`), so it can be handed to another
        process, such as a multiprocessing pool's workers under any start method: the receiver
        opens a handle and a lock file of its own, and its writes queue behind other processes'
        writes. The store itself is never in the pickle; `embed` must be picklable (a module's
        function is)."""
        if self._lock_fd is None:
            raise ValueError(f"{self.path}: the collection is closed")
        num_shards, map_size = self._store_args
        return (_opened, (self.path, self.dim, self._asked_metric, self.embed,
                          num_shards, map_size))

    # ---- locking, journals and recovery ----------------------------------------------

    @contextmanager
    def _writing(self) -> Iterator[None]:
        with self._mutex:
            if self._lock_fd is None:
                raise ValueError(f"{self.path}: the collection is closed")
            try:
                # Taken inside the try: an interrupt raised as flock returns holding the lock
                # must still release it (releasing a lock not taken is harmless).
                fcntl.flock(self._lock_fd, fcntl.LOCK_EX)
                try:
                    # A writer killed inside a commit may hold back what this process reads
                    # until a write transaction begins here: every decision below reads after
                    # this.
                    self._store.refresh()
                    self._settings_now()
                    self._load_counts()
                    self._recover()
                    try:
                        yield
                    finally:
                        self._save_dead()
                except OSError as error:
                    # With the system's error number, as the class it gives (PermissionError,
                    # ...): a caller tells a full disk from a full map without reading words.
                    code = error.errno if error.errno is not None else _errno_of(error)
                    message = self._failed_write(error)
                    raise (OSError(message) if code is None else OSError(code, message)) \
                        from error
            finally:
                fcntl.flock(self._lock_fd, fcntl.LOCK_UN)

    def _failed_write(self, error: OSError) -> str:
        """What a write that failed in the store (a full disk, a failing shard) tells its caller:
        the store's message, that no document was left in part, and how full the disk is when
        that is the likely cause (LMDB reports a write the disk cut short as an I/O error)."""
        message = (f"{self.path}: {error}. The write stopped there: each document it touched is "
                   "whole or absent, and the next write completes or removes the ones it began")
        try:
            free = shutil.disk_usage(self.path).free
        except OSError:
            return message
        if free < LOW_DISK_BYTES:
            message += f" (the disk holding the collection has {free:,} bytes free)"
        return message

    def _load_counts(self) -> None:
        """The dead count and the next document number. A damaged dead count is read as 0: it
        only decides when compaction runs. A damaged number is taken past every document the
        index lists (`verify()` names it until a write stores the number again); one merely
        behind them is taken past them when it is used (`_number`)."""
        raw = self._store.get_pickled([STATS_ID, NUMBER_ID])
        stats, number = _counter(raw[0], "dead"), _counter(raw[1], "next")
        self._dead = self._saved_dead = stats if stats is not None and stats >= 0 else 0
        self._pending = self._saved_pending = _pending_of(raw[0])
        if number is not None and 1 <= number <= enc.MAX_DOCUMENTS + 1:
            self._next = number
        elif raw[1] is not None and not self._hashed:  # damaged: past every listed document
            listed = self._store.get_ids_from_filter((0, enc.PRESENT_KEY)).to_list()
            self._next = 1 + max((enc.document_number(rid) for rid in listed
                                  if rid > 0 and rid & 0xFF == 0xFF), default=0)
        else:
            self._next = 1

    def _dead_record(self, more: int, pending: list[int] | None = None,
                     ) -> tuple[list[int], list[Any]]:
        """The dead count's record after `more` deletions, with the record ids whose vectors
        wait for tombstones (`pending`, else this handle's), written in the same commit as the
        tombstones or deletions it counts, so that a writer killed between chunks leaves them
        counted."""
        return [STATS_ID], [_stats(self._dead + more,
                                   self._pending if pending is None else pending)]

    def _save_dead(self) -> None:
        """Stores the dead count and the pending record ids where recovery, compaction or
        tombstoning changed them. Failing to store them does not fail a write that has
        completed: the count only decides when compaction runs, and a pending record id that
        is forgotten leaves a vector that `compact()` removes (a read drops it meanwhile)."""
        if self._dead != self._saved_dead or self._pending != self._saved_pending:
            try:
                self._store.store_data([_stats(self._dead, self._pending)], [STATS_ID])
                self._saved_dead, self._saved_pending = self._dead, self._pending
            except OSError:
                pass

    def _tombstone_pending(self) -> None:
        """Tombstones the vectors of the pending record ids that hold no object. One that holds
        one again is a document written since (recovery rewrote it after a crash): its vector
        is its own. The tombstones commit before the list is emptied, and tombstoning again
        what a crash left listed finds nothing more."""
        if not self._pending or self.dim is None:
            return
        pending = list(dict.fromkeys(self._pending))
        free = [rid for rid, raw in zip(pending, self._store.get_pickled(pending)) if raw is None]
        if free:
            self._store.delete_flat_vectors(free, self.dim)
        self._pending = []

    def _journals(self) -> list[int]:
        """The record ids of unfinished journals: JOURNAL_ID's, when there is one."""
        return [JOURNAL_ID] if self._store.get_pickled([JOURNAL_ID])[0] is not None else []

    def _settle(self) -> bool:
        """Before a read: True when no write is in progress. A journal whose writer is gone (the
        lock is free) is recovered here; one of a running write, or one whose repair cannot be
        written now, makes the read careful."""
        if not self._journals():
            return True
        if not self._mutex.acquire(blocking=False):
            return False
        try:
            if self._lock_fd is None:
                raise ValueError(f"{self.path}: the collection is closed")
            try:
                try:  # inside the try that releases it, as in `_writing`
                    fcntl.flock(self._lock_fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    return False
                self._store.refresh()
                self._load_counts()
                self._recover()
                self._save_dead()
                return True
            except OSError:
                # The repair cannot be written (a full disk, a read-only store): the journal
                # stays for the next write, and this read checks what it returns meanwhile.
                return False
            finally:
                fcntl.flock(self._lock_fd, fcntl.LOCK_UN)
        finally:
            self._mutex.release()

    def _begin(self, entries: list[tuple[Any, ...]], numbered: bool = False) -> int:
        """Writes the journal (under the lock, after recovery: JOURNAL_ID is free, or holds the
        journal of this call's previous chunk, whose writes all committed), and the next
        document number when the write numbers documents. The two commit independently: a
        number stored without the journal leaves a gap, and a journal stored without the
        number holds it for recovery."""
        ids: list[int] = [JOURNAL_ID]
        values: list[Any] = [("journal", entries, self._next)]
        if numbered:
            ids.append(NUMBER_ID)
            values.append({"next": self._next})
        self._store.store_data(values, ids)
        return JOURNAL_ID

    def _end(self, journal: int) -> None:
        self._store.delete_data([journal])

    def _recover(self) -> None:
        """Rebuilds every document of a dead writer's journal from its object (or removes it)."""
        for journal in self._journals():
            payload = self._journal_at(journal)
            if payload is None:
                # Not one this version writes: what the dead write touched is unknown. It is
                # dropped, or no write could ever run again; verify() finds what it left.
                self._end(journal)
                warnings.warn(f"{self.path}: the journal of an unfinished write is damaged and "
                              "was dropped; the documents it touched may not be whole: "
                              "verify() lists them", RuntimeWarning, stacklevel=_caller_level())
                continue
            entries: list[tuple[Any, ...]] = payload[1]
            if len(payload) > 2 and payload[2] > self._next and not self._hashed:
                self._next = payload[2]
                self._store.store_data([{"next": self._next}], [NUMBER_ID])
            # A key too long to store was refused with its write, so it holds nothing to
            # delete (and the store refuses to look it up).
            self._rebuild([e[0] for e in entries],
                          [(key, e[0]) for e in entries for key in e[1]
                           if len(key) * 4 <= enc.MAX_INDEX_KEY_BYTES
                           or len(key.encode()) <= enc.MAX_INDEX_KEY_BYTES])
            if not self._hashed:
                self._mend_slots([(e[0], e[2]) for e in entries])
            self._end(journal)

    def _journal_at(self, journal: int) -> tuple[Any, ...] | None:
        """The journal at `journal`, read; the last one read is kept with its bytes, so reads
        during a long write unpickle each chunk's journal once (callers do not change it)."""
        raw = self._store.get_pickled([journal])[0]
        memo = self._journal_memo
        if raw is not None and memo is not None and memo[0] == raw:
            return memo[1]
        payload = _journal(raw, self._hashed)
        self._journal_memo = None if raw is None else (raw, payload)
        return payload

    def _journaled(self) -> NDArray[np.int64]:
        """The record ids the unfinished journals name."""
        return np.array([entry[0] for payload in map(self._journal_at, self._journals())
                         if payload is not None for entry in payload[1]], np.int64)

    def _left_damaged(self, rids: list[int], objects: list[Any]) -> set[int]:
        """The records among `rids` whose objects (read mendable) do not unpickle. Recovery
        leaves those documents as they are, saying so: repairing every other document of the
        journal and letting writes go on beats refusing every write for one of them."""
        damaged = {rid: obj.error for rid, obj in zip(rids, objects)
                   if isinstance(obj, _Unreadable)}
        for rid, error in damaged.items():
            warnings.warn(f"{self.path}: record {rid} holds an object that cannot be unpickled "
                          f"({error}): the store is damaged, and recovering an unfinished write "
                          "left that document as it was (`zanth verify --documents "
                          f"{self.path}` lists what is damaged)", RuntimeWarning,
                          stacklevel=_caller_level())
        return set(damaged)

    def _mend_slots(self, placed: list[tuple[int, DocId]]) -> None:
        """Makes each (record id, id) of a journal named by the id's slot exactly when that
        record holds the id's document; the slot of a damaged document stays as it is."""
        read = self._objects([r for r, _ in placed], mendable=True)
        objects = dict(zip([rid for rid, _ in placed], read))
        sids = self._slot_ids([doc_id for _, doc_id in placed])
        slots = self._read_slots(sids)
        changed: set[int] = set()
        for (rid, doc_id), sid in zip(placed, sids):
            obj, slot = objects[rid], slots[sid]
            if isinstance(obj, _Unreadable):
                continue
            if _is_doc(obj) and _same_id(obj[0], doc_id):
                if slot.get(doc_id) != rid:
                    slot[doc_id] = rid
                    changed.add(sid)
            elif slot.get(doc_id) == rid:
                del slot[doc_id]
                changed.add(sid)
        kept = [sid for sid in changed if slots[sid]]
        if kept:
            self._store.store_data([slots[sid] for sid in kept], kept)
        if len(kept) < len(changed):
            self._store.delete_data([sid for sid in changed if not slots[sid]])

    def _objects(self, rids: list[int], mendable: bool = False) -> list[Any]:
        """The objects at `rids` (None where there is none). A collection stores plain values
        only, so an object that does not unpickle is damage: it raises RuntimeError naming its
        record, or with `mendable` (where it is made again, or reported) reads as
        `_Unreadable`."""
        try:
            return self._store.get_data(rids)
        except Exception:  # noqa: BLE001 - unpickling raises whatever the damaged bytes make
            objects: list[Any] = []
            for rid, raw in zip(rids, self._store.get_pickled(rids)):
                try:
                    objects.append(None if raw is None else pickle.loads(raw))
                except MemoryError:  # a want of memory says nothing of the record
                    raise
                except Exception as error:  # noqa: BLE001
                    if not mendable:
                        raise RuntimeError(
                            f"{self.path}: record {rid} holds an object that cannot be "
                            f"unpickled ({type(error).__name__}: {error}): the store is "
                            f"damaged (`zanth verify --documents {self.path}` lists what "
                            "is; repair() removes the documents that cannot be read)") from error
                    objects.append(_Unreadable(f"{type(error).__name__}: {error}"))
            return objects

    def _slot_ids(self, doc_ids: list[DocId]) -> list[int]:
        """The slot id of each id in this collection's layout."""
        return enc.slot_ids(doc_ids, self._span)

    def _read_slots(self, sids: list[int], mend: bool = True) -> dict[int, dict[DocId, int]]:
        """The slots at `sids` as {id: record id} dicts (an empty one where there is none).
        A slot record that is not a dict (damaged, even past unpickling, or a raw write at its
        id) is not read as empty, which would let an add make a second document of an id it
        names: with `mend` it is made again from the documents (those that can be read), as a
        `_MendedSlot` that a write stores back."""
        unique = list(dict.fromkeys(sids))
        stored = self._objects(unique, mendable=True)
        slots = {sid: dict(slot) if isinstance(slot, dict) else {}
                 for sid, slot in zip(unique, stored)}
        damaged = {sid for sid, slot in zip(unique, stored)
                   if slot is not None and not isinstance(slot, dict)}
        if mend and damaged:
            slots.update(self._slots_from_documents(damaged))
        return slots

    def _slots_from_documents(self, sids: set[int]) -> dict[int, dict[DocId, int]]:
        """The slots `sids` as the documents the index lists make them, read a chunk at a
        time."""
        slots = {sid: _MendedSlot() for sid in sids}
        every = self._store.get_ids_from_filter((0, enc.PRESENT_KEY)).to_list()
        for start in range(0, len(every), CHUNK):
            rids = every[start:start + CHUNK]
            docs = [(rid, obj[0]) for rid, obj in zip(rids, self._objects(rids, mendable=True))
                    if _is_doc(obj)]
            for (rid, doc_id), sid in zip(docs, self._slot_ids([d for _, d in docs])):
                if sid in slots:
                    slots[sid][doc_id] = rid
        return dict(slots)

    def _rebuild(self, rids: list[int], stale: list[tuple[str, int]]) -> None:
        if self.dim is None:
            settings = self._objects([SETTINGS_ID])[0]
            if settings is None:
                return  # nothing was written before the settings
            self._adopt(settings, None, None)
        assert self.dim is not None
        objects = self._objects(rids, mendable=True)
        whole = [(rid, obj) for rid, obj in zip(rids, objects) if _is_doc(obj)]
        damaged = self._left_damaged(rids, objects)
        if damaged:  # their records stay as they are
            stale = [(key, rid) for key, rid in stale if rid not in damaged]
            rids = [rid for rid in rids if rid not in damaged]
        given = np.stack([np.frombuffer(obj[3], dtype=np.float32) for _, obj in whole]) \
            if whole else np.zeros((0, self.dim), np.float32)
        # Every vector and index record of these ids is dropped and those of the objects are
        # written again, in one commit per shard; a failure leaves the journal to retry it.
        self._store.write_batch(
            [rid for rid, _ in whole], vectors=self._searched(given), vector_deletes=rids,
            dim=self.dim, index_deletes=stale + [(enc.PRESENT_KEY, rid) for rid in rids],
            index_inserts=[(key, rid) for rid, obj in whole
                           for key in _stored_keys(obj) + (enc.PRESENT_KEY,)])
        self._dead += len(rids)

    # ---- input -------------------------------------------------------------------------

    def _searched(self, given: NDArray[np.float32]) -> NDArray[np.float32]:
        """What the blocks hold for vectors `given`: unit length for cosine."""
        return self._scalings(given)[0]

    def _scalings(self, given: NDArray[np.float32]) -> list[NDArray[np.float32]]:
        """`_searched(given)`, then, where it differs, what versions that scaled every row in
        float32 stored (rows of extreme length left unscaled, or zero)."""
        if self.metric != "cosine":
            return [given]
        unit = np.empty_like(given)
        norms = np.empty((len(given), 1), np.float32)
        with np.errstate(over="ignore", under="ignore", invalid="ignore"):
            # np.linalg.norm's own reduction (the same bits: each row's sum is its own), a block
            # of rows at a time so that its squares, sums and quotients stay in the cache. The
            # squares go where the quotients then go.
            step = max(1, _NORM_BLOCK // max(1, given.shape[1]))
            for start in range(0, len(given), step):
                rows = slice(start, start + step)
                block, out, sums = given[rows], unit[rows], norms[rows]
                np.multiply(block, block, out=out)
                np.sqrt(np.add.reduce(out, axis=1, keepdims=True, out=sums), out=sums)
                np.divide(block, np.where(sums == 0, 1, sums), out=out)
        # Outside this range the float32 sum of squares overflows or loses its small terms to
        # underflow: those rows are scaled in float64, where every float32 vector's is exact
        # enough. Rows inside it keep their float32 result.
        odd = ~((norms[:, 0] > 2.0**-40) & (norms[:, 0] < 2.0**60))
        if not odd.any():
            return [unit]
        earlier = unit.copy()
        wide = given[odd].astype(np.float64)
        wide_norms = np.linalg.norm(wide, axis=1, keepdims=True)
        unit[odd] = wide / np.where(wide_norms == 0, 1, wide_norms)
        return [unit, earlier]

    def _shape_error(self, rows: int | None, given: str, dim: object) -> ValueError:
        """The error of vectors (`rows` of them; None for queries) `given` in a wrong shape."""
        want = f"({dim},) or (n, {dim})" if rows is None else f"({rows}, {dim})"
        known = "" if self.dim is None else f" (this collection holds {dim}-dimensional vectors)"
        return ValueError(f"{'queries' if rows is None else 'vectors'} {given}: expected shape "
                          f"{want}{known}")

    def _array(self, vectors: object, rows: int | None) -> NDArray[Any]:
        """`vectors` as an array, rows of different lengths refused by `_shape_error`."""
        try:
            return np.asarray(vectors)
        except ValueError:  # NumPy's words for rows of different lengths
            raise self._shape_error(rows, "whose rows differ in length", self.dim or "dim") \
                from None

    def _vectors(self, vectors: object, rows: int | None) -> NDArray[np.float32]:
        """Vectors as a float32 matrix of `rows` rows; `rows` None takes queries: one vector or a
        matrix of them."""
        array = self._array(vectors, rows)
        if array.dtype.kind not in "iuf":
            raise TypeError(f"vectors are real numbers, not {array.dtype}")
        if rows == 0 and array.size == 0:  # no documents: [] is as good as a (0, dim) matrix
            return np.zeros((0, self.dim or 0), np.float32)
        shape = array.shape
        if array.ndim == 1 and rows in (None, 1):
            array = array.reshape(1, -1)
        dim = self.dim if self.dim is not None else (shape[-1] if shape else 0)
        if dim == 0 and array.ndim == 2:
            raise ValueError(f"{'queries' if rows is None else 'vectors'} of shape {shape}: a "
                             "vector has at least one dimension")
        if not (array.shape == (rows, dim) if rows is not None
                else array.ndim == 2 and array.shape[1] == dim) or dim == 0:
            raise self._shape_error(rows, f"of shape {shape}", dim)
        with np.errstate(over="ignore"):  # values beyond float32 are refused just below
            # Vectors to store are copied, as other inputs are: the caller may change its array
            # while the chunks are written without the interpreter lock.
            if rows is None:
                out = np.ascontiguousarray(array, dtype=np.float32)
            else:
                out = np.array(array, dtype=np.float32, order="C", copy=True)
        if not np.isfinite(out).all():
            raise ValueError(f"{'vectors' if rows is not None else 'queries'} hold NaN or "
                             "infinite values (or values beyond float32)")
        return out

    def _embedded(self, texts: list[Any], doc_ids: list[DocId] | None) -> NDArray[Any]:
        """`embed` of `texts` (those of `doc_ids`, or queries when None), every one a str: a
        matrix of one row per text."""
        what = "queries" if doc_ids is None else "vectors"
        if self.embed is None:
            raise TypeError(f"{what} are needed: this collection has no embed function to make "
                            f"them from texts (Collection(..., embed=...))")
        for row, text in enumerate(texts):
            if not isinstance(text, str):
                named = f"query {row}" if doc_ids is None else f"the document of {doc_ids[row]!r}"
                raise TypeError(f"{named} is {type(text).__name__}, not a text to embed")
        if not texts:
            return np.zeros((0, self.dim or 1), np.float32)
        vectors = self.embed(texts)
        if vectors is None:  # where None stands for "no vectors given" (update)
            raise TypeError("the embed function returned None, not the vectors of the texts")
        try:
            array = np.asarray(vectors)
        except ValueError:  # NumPy's words for rows of different lengths
            raise ValueError(f"embed gave rows that differ in length for {len(texts)} texts: "
                             "expected one vector per text") from None
        if array.ndim == 1 and len(texts) == 1:
            array = array.reshape(1, -1)
        if array.ndim != 2 or len(array) != len(texts):  # results line up with the texts
            raise ValueError(f"embed gave shape {array.shape} for {len(texts)} texts: "
                             "expected one vector per text")
        return array

    def _batch(self, ids: object, vectors: object, metadatas: object,
               documents: object) -> _Batch:
        """Every input checked and converted before anything is written."""
        doc_ids = _row_ids(ids)
        n = len(doc_ids)
        if isinstance(metadatas, Mapping):
            metadatas = [metadatas]  # one document's metadata
        if isinstance(documents, str):
            documents = [documents]
        given = self._vectors(vectors, n)
        # Record ids: the hashes in the first layout, else given under the lock (`_place`).
        rids = enc.record_ids(doc_ids) if self._hashed else []
        # Plain strs and ints: no str equals an int, so the ids themselves tell repeats.
        distinct: Sequence[object] = rids if self._hashed else doc_ids
        if len(set(distinct)) != n:
            seen: dict[object, DocId] = {}  # find the first repeat, to name it
            for key, doc_id in zip(distinct, doc_ids):
                if key in seen:
                    if _same_id(seen[key], doc_id):
                        raise ValueError(f"id {doc_id!r} appears twice in this call")
                    raise ValueError(f"ids {seen[key]!r} and {doc_id!r} hash to the same "
                                     "record id: change one of them")
                seen[key] = doc_id
        metas = [None] * n if metadatas is None else list(metadatas)  # type: ignore[call-overload]
        docs = [None] * n if documents is None else list(documents)  # type: ignore[call-overload]
        for name, given_list in (("metadatas", metas), ("documents", docs)):
            if len(given_list) != n:
                raise ValueError(f"{len(given_list)} {name} for {n} ids")
        if not _PLAIN_TEXTS.issuperset(map(type, docs)):  # a str subclass, or no str
            for row, (doc_id, doc) in enumerate(zip(doc_ids, docs)):
                if doc is not None and type(doc) is not str:
                    if not isinstance(doc, str):
                        raise TypeError(f"document of {doc_id!r} is a str, not "
                                        f"{type(doc).__name__}")
                    docs[row] = str.__str__(doc)  # stored plain, as ids and metadata are
        clean, keys = _clean_metadatas(metas, doc_ids, self._listed)
        return _Batch(doc_ids, rids, given, self._searched(given), clean, docs, keys)

    # ---- writing -----------------------------------------------------------------------

    def add(self, ids: object, vectors: object = None, metadatas: object = None,
            documents: object = None, *, progress: bool = False) -> None:
        """Adds new documents. An id that is already stored raises ValueError naming it, and
        nothing is written; so does any other bad input. Without `vectors`, `embed` makes
        them from `documents`."""
        self._write(ids, vectors, metadatas, documents, progress, replace=False)

    def upsert(self, ids: object, vectors: object = None, metadatas: object = None,
               documents: object = None, *, progress: bool = False) -> None:
        """Adds documents, replacing whole (vector, metadata and text) those already stored."""
        self._write(ids, vectors, metadatas, documents, progress, replace=True)

    def _write(self, ids: object, vectors: object, metadatas: object, documents: object,
               progress: bool, replace: bool) -> None:
        if vectors is None:
            # Embedded before the collector pauses: a model may run long and leave cycles.
            ids = _row_ids(ids)
            if isinstance(documents, str):
                documents = [documents]
            if documents is None:
                raise TypeError("vectors are needed, or documents to embed (with "
                                "Collection(..., embed=...))")
            texts: list[Any] = list(documents)  # type: ignore[call-overload]
            if len(texts) != len(ids):
                raise ValueError(f"{len(texts)} documents for {len(ids)} ids")
            vectors, documents = self._embedded(texts, ids), texts
        with _no_collection():
            self._write_batch(ids, vectors, metadatas, documents, progress, replace)

    def _write_batch(self, ids: object, vectors: object, metadatas: object, documents: object,
                     progress: bool, replace: bool) -> None:
        built = (self.dim, self.metric)
        batch = self._batch(ids, vectors, metadatas, documents)
        with self._writing():
            if self.dim is None and batch.doc_ids:  # an empty write fixes nothing
                self._settle_settings(int(batch.given.shape[1]))
            if (self.dim, self.metric) != built:  # fixed here, or adopted from another handle
                batch = self._batch(batch.doc_ids, batch.given, batch.metadatas, batch.documents)
            self._write_locked(batch, progress, "upserting" if replace else "adding")

    def _write_locked(self, batch: _Batch, progress: bool, label: str) -> None:
        """Writes `batch` under the lock; only "adding" refuses ids already stored."""
        batch, old, placed = self._place(batch)
        for doc_id, obj in zip(batch.doc_ids, old):
            if obj is not None and label == "adding":
                raise ValueError(f"id {doc_id!r} is already in the collection (upsert "
                                 "replaces documents); nothing was added")
        if placed is not None:
            batch = self._number(batch, old)
        with _progress(progress, len(batch.doc_ids), label) as bar:
            for start in range(0, len(batch.rids), CHUNK):
                rows = range(start, min(start + CHUNK, len(batch.rids)))
                self._write_chunk(batch, rows, old, placed, rows.stop == len(batch.rids))
                bar.advance(len(rows))
        self._maybe_compact()

    def update(self, ids: object, vectors: object = None, metadatas: object = None,
               documents: object = None, *, progress: bool = False) -> None:
        """Changes stored documents: `vectors` and `documents`, where given, replace theirs
        (texts given without vectors are embedded, when the collection has `embed`; a None
        among the texts keeps that document's), and each of `metadatas` is merged into its
        document's metadata, field by field (a field given None is removed from it; a None in
        the list changes nothing). An id that is not stored raises ValueError naming it, and
        nothing is written; so does any other bad input."""
        doc_ids = _row_ids(ids)
        if isinstance(metadatas, Mapping):
            metadatas = [metadatas]  # one document's change
        if isinstance(documents, str):
            documents = [documents]
        # The caller's iterables are read before the lock is taken, as `add` reads them: one
        # that writes to this collection as it is read must not wait for this write.
        changes: list[Any] | None = None
        if metadatas is not None:
            changes = list(metadatas)  # type: ignore[call-overload]
        texts: list[Any] | None = None
        if documents is not None:
            texts = list(documents)  # type: ignore[call-overload]
            if len(texts) != len(doc_ids):
                raise ValueError(f"{len(texts)} documents for {len(doc_ids)} ids")
        remade: tuple[list[int], NDArray[np.float32]] | None = None  # rows embedded, vectors
        if vectors is None and texts is not None and self.embed is not None:
            # Embedded before the lock is taken: an embedding model may take its time. A text
            # not given (None) keeps its document's text and vector.
            rows = [row for row, text in enumerate(texts) if text is not None]
            made = self._embedded([texts[r] for r in rows], [doc_ids[r] for r in rows])
            if len(rows) == len(doc_ids):
                vectors = made
            elif rows:
                remade = rows, self._vectors(made, len(rows))
        # The caller's objects are read here too (its mappings, values and array): any of them
        # may call back into this collection.
        if changes is not None:
            if len(changes) != len(doc_ids):
                raise ValueError(f"{len(changes)} metadatas for {len(doc_ids)} ids")
            for row, (change, doc_id) in enumerate(zip(changes, doc_ids)):
                if change is None:
                    continue
                if not isinstance(change, Mapping):
                    raise TypeError(f"metadata of {doc_id!r} is a dict, not "
                                    f"{type(change).__name__}")
                changes[row] = _clean_metadata(change, doc_id)[0]
        if vectors is not None:
            vectors = self._vectors(vectors, len(doc_ids))
        with _no_collection(), self._writing():
            stored = {(type(obj[0]), obj[0]): obj for _, obj in self._found(doc_ids)}
            for doc_id in doc_ids:
                if (type(doc_id), doc_id) not in stored:
                    raise ValueError(f"id {doc_id!r} is not in the collection (add and upsert "
                                     "add documents); nothing was updated")
            if not doc_ids:
                return
            olds = [stored[(type(d), d)] for d in doc_ids]
            if vectors is None:
                vectors = np.stack([np.frombuffer(obj[3], dtype=np.float32) for obj in olds])
                if remade is not None:
                    vectors[remade[0]] = remade[1]
            metas: list[Any] = [obj[1] for obj in olds]
            if changes is not None:
                for row, change in enumerate(changes):
                    if change is not None:
                        # A field given None is taken away: update is how a field is removed.
                        merged = {**metas[row], **change}
                        metas[row] = {f: v for f, v in merged.items()
                                      if v is not None or f not in change}
            kept = [obj[2] if texts is None or texts[row] is None else texts[row]
                    for row, obj in enumerate(olds)]
            self._write_locked(self._batch(doc_ids, vectors, metas, kept), progress, "updating")

    def _place(self, batch: _Batch) -> tuple[_Batch, list[Any], _Slots | None]:
        """Under the lock: the stored document of each id (None where there is none), its
        record id in `batch.rids` (0 for a new one in the numbered layout) and the slot id of
        each id with the slots (None in the hashed layout)."""
        if self._hashed:
            old = self._objects(batch.rids)
            for doc_id, obj in zip(batch.doc_ids, old):
                if _is_doc(obj) and not _same_id(obj[0], doc_id):
                    raise ValueError(f"ids {obj[0]!r} (stored) and {doc_id!r} hash to the same "
                                     "record id: change the new one")
            return batch, [obj if _is_doc(obj) else None for obj in old], None
        sids = self._slot_ids(batch.doc_ids)
        slots = self._read_slots(sids)
        named = [slots[sid].get(doc_id, 0) for sid, doc_id in zip(sids, batch.doc_ids)]
        found = [rid for rid in named if rid]
        objects = dict(zip(found, self._objects(found)))
        old = [objects[rid] if rid and _is_doc(objects[rid]) and _same_id(objects[rid][0], doc_id)
               else None for rid, doc_id in zip(named, batch.doc_ids)]
        rids = [rid if obj is not None else 0 for rid, obj in zip(named, old)]
        return batch._replace(rids=rids), old, (sids, slots)

    def _number(self, batch: _Batch, old: list[Any]) -> _Batch:
        """Gives the new documents the next numbers' record ids. Those must hold nothing: the
        stored number is behind the documents only if the store was damaged, and then it is
        taken past every document the index lists, or the write refused."""
        new = [row for row, obj in enumerate(old) if obj is None]
        if not new:
            return batch
        for attempt in range(2):
            fresh = enc.document_rids(self._next, len(new))
            if not any(obj is not None for obj in self._store.get_pickled(fresh)):
                break
            if attempt:
                raise RuntimeError(f"{self.path}: the record ids of new documents hold records "
                                   "already (the store is damaged); nothing was written")
            every = self._store.get_ids_from_filter((0, enc.PRESENT_KEY)).to_list()
            self._next = max([self._next, *(enc.document_number(r) + 1 for r in every)])
        self._next += len(new)
        rids = list(batch.rids)
        for row, rid in zip(new, fresh):
            rids[row] = rid
        return batch._replace(rids=rids)

    def _write_chunk(self, batch: _Batch, rows: range, old: list[Any],
                     placed: _Slots | None, last: bool = True) -> None:
        """Writes `rows` of `batch` under a journal. The journal of a chunk that is not the
        call's `last` is left for the next chunk's to replace: that chunk is whole in every
        shard by then, so the one commit that journals the next also ends it (a crash between
        the two makes recovery rebuild whole documents, which changes nothing)."""
        rids = batch.rids[rows.start:rows.stop]
        keys = batch.keys[rows.start:rows.stop]
        previous = [_stored_keys(obj) if obj is not None else None
                    for obj in old[rows.start:rows.stop]]
        replaced = [rid for rid, was in zip(rids, previous) if was is not None]
        entries: list[tuple[Any, ...]]
        changed: dict[int, dict[DocId, int]] = {}
        if placed is None:
            entries = list(zip(rids, keys))
        else:
            sids, slots = placed
            doc_ids = batch.doc_ids[rows.start:rows.stop]
            entries = list(zip(rids, keys, doc_ids))
            for rid, doc_id, sid, was in zip(rids, doc_ids, sids[rows.start:rows.stop], previous):
                if was is None or isinstance(slots[sid], _MendedSlot):
                    slots[sid][doc_id] = rid
                    changed[sid] = slots[sid]
        if replaced:
            entries = [(e[0], e[1] if was is None else tuple(dict.fromkeys(e[1] + was)), *e[2:])
                       for e, was in zip(entries, previous)]
        journal = self._begin(entries, numbered=bool(changed))
        stale = [(key, rid) for rid, now, was in zip(rids, keys, previous) if was
                 for key in set(was) - set(now)]
        present = enc.PRESENT_KEY
        # One commit per shard for the whole chunk. A document's records still span shards (its
        # index records live in the shards of their keys, its slot in that of its hash), and
        # each shard commits on its own:
        # the journal above, committed first and removed only after every shard committed,
        # names every record id and key the call may touch, so a crash or a failed shard
        # leaves the journal and recovery makes each of these documents whole or absent.
        # A record id written again while its deleted document's vector waits for its tombstone
        # (the first layout gives an id its hash's): that vector is tombstoned first, here.
        pending = set(self._pending)
        revived = [rid for rid in rids if rid in pending] if pending else []
        back = set(revived)
        left = [rid for rid in self._pending if rid not in back] if revived else None
        more_ids, more = self._dead_record(len(replaced), left) if replaced or revived \
            else ([], [])
        self._store.write_batch(
            rids, data=batch.objects(rows), vectors=batch.searched[rows.start:rows.stop],
            index_inserts=[(key, rid) for rid, now in zip(rids, keys) for key in now]
            + [(present, rid) for rid in rids],
            index_deletes=stale, vector_deletes=replaced + revived, dim=self.dim,
            more_identifiers=list(changed) + more_ids, more_data=list(changed.values()) + more)
        self._dead = self._saved_dead = self._dead + len(replaced)
        if left is not None:
            self._pending = self._saved_pending = left
        if last:
            self._end(journal)

    def delete(self, ids: object = None, *, where: object = None) -> int:
        """Deletes the documents with these ids, or matching `where`, or both (those ids that
        match); returns how many were deleted. Missing ids are ignored. With neither it raises
        ValueError: there is no "delete everything" (`delete(ids=col.ids())` says it)."""
        if ids is None and where is None:
            raise ValueError("delete() needs ids or where (nothing was deleted); to delete "
                             "every document say so: col.delete(ids=col.ids())")
        node = None if where is None else read_where(where)
        asked = None if ids is None else _id_list(ids)  # read before the lock, as in `update`
        deleted = 0
        with _no_collection(), self._writing():
            # Read a chunk at a time, so a large delete holds one chunk's documents at once.
            if asked is not None:
                unique = [doc_id for _, doc_id in dict.fromkeys((type(d), d) for d in asked)]
                sources: list[list[Any]] = [unique[i:i + CHUNK]
                                            for i in range(0, len(unique), CHUNK)]
            else:
                assert node is not None
                every = self._selected(node).to_list()
                sources = [every[i:i + CHUNK] for i in range(0, len(every), CHUNK)]
            for source in sources:
                if asked is not None:
                    part = [(rid, obj) for rid, obj in self._found(source)
                            if node is None or matches(node, obj[1])]
                else:
                    # Checked against the objects, as `get` checks what it returns: an index
                    # entry that is not the document's (left by a fault) never deletes one.
                    part = [(rid, obj) for rid, obj in zip(source, self._objects(source))
                            if _is_doc(obj) and matches(node, obj[1])]  # type: ignore[arg-type]
                if not part:
                    continue
                deleted += len(part)
                rids = [rid for rid, _ in part]
                journal = self._begin([(rid, _stored_keys(obj), obj[0])[:2 if self._hashed else 3]
                                       for rid, obj in part])
                kept: list[int] = []
                emptied: list[int] = []
                slots: dict[int, dict[DocId, int]] = {}
                if not self._hashed:
                    sids = self._slot_ids([obj[0] for _, obj in part])
                    slots = self._read_slots(sids)
                    for sid, (rid, obj) in zip(sids, part):
                        if slots[sid].get(obj[0]) == rid:
                            del slots[sid][obj[0]]
                    kept = [sid for sid in slots if slots[sid]]
                    emptied = [sid for sid in slots if not slots[sid]]
                # The objects (what makes documents visible), their other records and their
                # slots, one commit per shard; shards that commit while another fails are
                # repaired from the journal, which stays.
                # The vectors stay live until enough wait (`_maybe_compact`): the stats record,
                # in this commit, lists them.
                pending = self._pending + rids
                counter, count = self._dead_record(len(rids), pending)
                self._store.write_batch(
                    kept + counter, data=[slots[sid] for sid in kept] + count,
                    object_deletes=rids + emptied, dim=self.dim,
                    index_deletes=[(key, rid) for rid, obj in part
                                   for key in _stored_keys(obj) + (enc.PRESENT_KEY,)])
                self._dead = self._saved_dead = self._dead + len(rids)
                self._pending = self._saved_pending = pending
                self._end(journal)
            self._maybe_compact()
        return deleted

    def _found(self, doc_ids: list[DocId], careful: bool = False,
               ) -> list[tuple[int, tuple[Any, ...]]]:
        """(record id, object) of the stored documents among `doc_ids`, in their order, once.
        `careful` (a write in progress, see `_settle`): a document exists exactly when its
        object does, as recovery will decide, though the write may have committed its slot's
        shard and not its object's; the journal names the record ids its slots may lack."""
        asked = [doc_id for _, doc_id in dict.fromkeys((type(d), d) for d in doc_ids)]
        self._settings_now()  # a handle opened before the settings takes their layout
        if self._hashed:
            named = enc.record_ids(asked)
        else:
            sids = self._slot_ids(asked)
            slots = self._read_slots(sids)
            named = [slots[sid].get(doc_id, 0) for sid, doc_id in zip(sids, asked)]
            if careful:
                journaled = {(type(entry[2]), entry[2]): entry[0]
                             for payload in map(self._journal_at, self._journals())
                             if payload is not None for entry in payload[1]}
                named = [rid or journaled.get((type(doc_id), doc_id), 0)
                         for rid, doc_id in zip(named, asked)]
        rids = list(dict.fromkeys(rid for rid in named if rid))
        objects = dict(zip(rids, self._objects(rids)))
        return [(rid, objects[rid]) for doc_id, rid in zip(asked, named)
                if rid and _is_doc(objects[rid]) and _same_id(objects[rid][0], doc_id)]

    def _maybe_compact(self) -> None:
        """Compacts once the dead vectors pass a quarter of the stored ones, and tombstones the
        pending ones then or once more than their limit wait (`PENDING_LIMIT`)."""
        if self.dim is None or not (self._dead or self._pending):
            return
        live = self._live()
        compacting = bool(self._dead) and 3 * self._dead > live
        limit = max(PENDING_LIMIT, min(PENDING_CAP, live // PENDING_SHARE))
        if not compacting and len(self._pending) <= limit:
            return
        try:
            self._tombstone_pending()
            if compacting:
                self._store.compact_vectors(self.dim)
        except OSError as error:  # a full disk: the write before it is complete
            warnings.warn(f"{self.path}: automatic compaction failed ({error}); every "
                          "write is complete, and it is tried again after the next one",
                          RuntimeWarning, stacklevel=_caller_level())
            return
        if compacting:
            self._dead = 0

    def compact(self) -> int:
        """Removes deleted vectors and anything left of documents that have no object;
        returns the number of vector records removed. A vector whose record holds an object
        that the index does not list is damage: RuntimeError, and nothing is compacted."""
        with _no_collection(), self._writing():
            if self.dim is None:
                return 0
            present = set(self._store.get_ids_from_filter((0, enc.PRESENT_KEY)).to_list())
            found = self._live_vectors(np.zeros(self.dim, np.float32))
            orphans = [rid for rid in found if rid not in present]
            twice = [rid for rid, scores in found.items() if len(scores) > 1 and rid in present]
            # A vector is an orphan only when its record holds nothing: one whose record holds
            # an object is a document that the index fails to list (a damaged index page).
            held = [rid for rid, raw in zip(orphans, self._store.get_pickled(orphans))
                    if raw is not None]
            if held:
                raise RuntimeError(
                    f"{self.path}: {len(held)} records hold objects that the index does not list "
                    f"as documents (record {held[0]}, ...): the index is damaged (verify() lists "
                    "them, and upserting each of them again mends it); nothing was compacted")
            if orphans:
                self._store.delete_flat_vectors(orphans, self.dim)
            if twice:
                self._rebuild(twice, [])
            removed = int(self._store.compact_vectors(self.dim))
            self._dead, self._pending = 0, []  # the orphans were every pending vector
            return removed

    def _live_vectors(self, query: NDArray[np.float32]) -> dict[int, list[float]]:
        """The scores for `query` of the live vectors of each record id that has any (lists
        every vector)."""
        found: dict[int, list[float]] = {}
        for score, rid in self._store.search_flat(query, k=2**63):
            found.setdefault(rid, []).append(score)
        return found

    def verify(self) -> list[str]:
        """Checks that every document is whole, under the write lock (after recovering a
        write that a dead writer left, as every write does): each record listed as a document
        holds one; its index keys are those of its metadata, and each lists it and no record
        else; a field's keys list no record without that field; it has exactly one live
        vector, whose values are those its object holds (by their score for one query), and no
        vector belongs to no document; its id leads to it; numbering is past
        it. Returns one line per problem, empty when sound. Reads every document, lists every
        vector and scores each twice (once in the store, once in float64 from its object)."""
        with _no_collection(), self._writing():
            try:
                return self._verify_locked()
            except (OSError, zanth_vec.PanicException) as error:  # a read the store refused
                return [f"the store cannot be read whole: {error} (`zanth verify {self.path}` "
                        "names the shard whose data file is damaged)"]
            except Exception as error:  # noqa: BLE001 - a stored object that does not unpickle
                return [f"a stored object cannot be read: {type(error).__name__}: {error}"]

    def repair(self) -> list[str]:
        """Removes the documents damaged past reading: each record listed as a document whose
        object does not unpickle (what it held is lost), or holds nothing or no document (only
        a document belongs at a document's record id), and each record with a vector whose
        object does not unpickle, loses its object, its vector and its listing. Returns one
        line per record. The index records under its keys, which only its object named, stay:
        every read checks the objects, so they lead to nothing, and verify() passes over them.
        Any other damage that verify() reports is left alone. Reads every document and scores
        every vector once."""
        with _no_collection(), self._writing():
            present = self._store.get_ids_from_filter((0, enc.PRESENT_KEY)).to_list()
            lost: dict[int, str] = {}
            for start in range(0, len(present), CHUNK):
                part = present[start:start + CHUNK]
                for rid, obj in zip(part, self._objects(part, mendable=True)):
                    if isinstance(obj, _Unreadable):
                        lost[rid] = f"its object could not be unpickled ({obj.error})"
                    elif not _is_doc(obj):
                        lost[rid] = ("it was listed as a document but held "
                                     f"{'nothing' if obj is None else 'no document'}")
            if self.dim is not None:
                # A dead add may have committed an object (with its vector, in the same shard)
                # and not its listing; recovery leaves one that no longer unpickles as it is.
                listed = set(present)
                unlisted = [rid for rid in self._live_vectors(np.zeros(self.dim, np.float32))
                            if rid not in listed]
                for rid, obj in zip(unlisted, self._objects(unlisted, mendable=True)):
                    if isinstance(obj, _Unreadable):
                        lost[rid] = f"its object could not be unpickled ({obj.error})"
            if not lost:
                return []
            gone = list(lost)
            counter, count = self._dead_record(len(gone))
            # The objects and vectors first, then the listings: a crash between them leaves
            # listed records that hold nothing, which the next repair removes.
            self._store.write_batch(
                [PURGED_ID] + counter, data=[{"records": sorted(set(self._purged()) | set(lost))}]
                + count, object_deletes=gone, vector_deletes=gone, dim=self.dim)
            self._dead = self._saved_dead = self._dead + len(gone)
            self._store.batch_index_delete([(enc.PRESENT_KEY, rid) for rid in gone])
        return [f"removed record {rid}: {why}" for rid, why in lost.items()]

    def _purged(self) -> list[int]:
        """The record ids of the documents `repair()` removed (none where its record is
        damaged: verify() then names their index records again)."""
        stored = self._objects([PURGED_ID], mendable=True)[0]
        records = stored.get("records") if isinstance(stored, dict) else None
        return records if isinstance(records, list) and \
            all(type(rid) is int for rid in records) else []

    def _verify_locked(self) -> list[str]:
        problems: list[str] = []
        present = self._store.get_ids_from_filter((0, enc.PRESENT_KEY)).to_list()
        ids: dict[int, DocId] = {}
        # Each vector's values are checked by its score for one query against the score of
        # the vector its object holds: a vector damaged in place changes it.
        probe = None if self.dim is None else \
            np.random.default_rng(0).standard_normal(self.dim).astype(np.float32)
        scores: dict[int, list[tuple[float, float, float]]] = {}
        listed: dict[str, set[int]] = {}  # each key of a document: the documents it should list
        unreadable: set[int] = set()  # listed records whose objects do not unpickle
        # Removed by repair(), under keys no longer known. A record id used again (the first
        # layout gives an id its hash's) may still be listed under them: for it, what is
        # checked is that its document's own keys list it.
        purged = set(self._purged())
        for start in range(0, len(present), CHUNK):
            part = present[start:start + CHUNK]
            held: list[tuple[int, tuple[Any, ...]]] = []  # documents with a whole vector
            for rid, obj in zip(part, self._objects(part, mendable=True)):
                if isinstance(obj, _Unreadable):
                    unreadable.add(rid)
                    problems.append(f"record {rid} holds an object that cannot be unpickled "
                                    f"({obj.error}): the store is damaged")
                    continue
                if not _is_doc(obj):
                    problems.append(f"record {rid} is listed as a document but holds "
                                    f"{'nothing' if obj is None else 'no document'}")
                    continue
                ids[rid] = obj[0]
                if probe is not None and isinstance(obj[3], bytes) \
                        and len(obj[3]) == 4 * len(probe):
                    held.append((rid, obj))
                if type(obj[4]) is not tuple or not all(
                        isinstance(key, str) and ":" in key for key in obj[4]):
                    problems.append(f"document {obj[0]!r}: its stored index keys are damaged")
                    continue
                try:
                    derived = set(_clean_metadata(obj[1], obj[0], self._listed)[1])
                except (TypeError, ValueError) as error:
                    derived = set()
                    problems.append(f"document {obj[0]!r}: its metadata are not valid "
                                    f"({error})")
                if derived != set(obj[4]):
                    problems.append(f"document {obj[0]!r}: its stored index keys are not "
                                    "those of its metadata")
                for key in obj[4]:
                    listed.setdefault(key, set()).add(rid)
            if held and probe is not None:
                scores.update(zip([rid for rid, _ in held],
                                  self._scores([obj for _, obj in held], probe)))
        spaces: dict[str, set[int]] = {}
        for key, want in listed.items():
            got = set(self._store.get_ids_from_filter((0, key)).to_list())
            problems += [f"document {ids[rid]!r} is missing from the index under {key!r}"
                         for rid in sorted(want - got)]
            problems += [f"{key!r} lists record {rid}, which is not a document with that key"
                         for rid in sorted(got - want - unreadable - purged)]
            spaces.setdefault(key[:key.index(":") + 1], set()).update(want)
        for space, want in spaces.items():
            got = set(self._store.get_ids_from_filter((1, space, space[:-1] + ";")).to_list())
            problems += [f"a key of {space!r} that no document has lists record {rid}"
                         for rid in sorted(got - want - unreadable - purged)]
        if probe is not None:
            found = self._live_vectors(probe)
            for rid, doc_id in ids.items():
                live = found.get(rid, [])
                if len(live) != 1:
                    problems.append(f"document {doc_id!r} has {len(live)} live vectors, not 1")
                elif not _scored(live[0], scores.get(rid, [])):
                    problems.append(f"document {doc_id!r}: its vector is not the one its "
                                    "object holds")
            unlisted = [rid for rid in found if rid not in ids and rid not in unreadable]
            pending = set(self._pending)  # deleted documents' vectors awaiting tombstones
            for rid, obj in zip(unlisted, self._objects(unlisted, mendable=True)):
                if obj is None:
                    if rid not in pending:
                        problems.append(f"{len(found[rid])} live vectors of record {rid} "
                                        "belong to no document")
                else:
                    what = repr(obj[0]) if _is_doc(obj) else "an object"
                    problems.append(f"record {rid} holds {what}, which the index does not list "
                                    "as a document")
        if self._hashed:
            wrong = [doc_id for rid, doc_id in ids.items() if enc.record_id(doc_id) != rid]
            problems += [f"document {doc_id!r} is not at its id's record" for doc_id in wrong]
        elif ids:
            rids = list(ids)
            sids = self._slot_ids([ids[rid] for rid in rids])
            slots = self._read_slots(sids, mend=False)
            problems += [f"the slot of {ids[rid]!r} does not lead to its record"
                         for rid, sid in zip(rids, sids) if slots[sid].get(ids[rid]) != rid]
            last = max(enc.document_number(rid) for rid in rids)
            raw = self._store.get_pickled([NUMBER_ID])[0]
            if raw is not None and _counter(raw, "next") != self._next:  # read as 1 (`_load_counts`)
                problems.append("the record of the next document number is damaged: the next "
                                "write numbers its documents past the last one")
            elif last >= self._next:
                problems.append(f"the next document number, {self._next}, is not past the "
                                f"last document's, {last}")
        return problems

    # ---- reading -----------------------------------------------------------------------

    def _live(self) -> int:
        return len(self._store.get_ids_from_filter((0, enc.PRESENT_KEY)))

    def count(self) -> int:
        """The number of documents. Its reads are taken again when a shard committed among
        them: a write that began, failed or was recovered there could otherwise leave counted
        a document whose object never commits. Writes that commit all the time make it settle
        for the last count read."""
        for attempt in range(4):
            before = self._store.last_commits()
            journals = self._journals()
            if not journals:
                counted = self._live()
            elif attempt == 0 and self._settle():  # a dead writer's journal was recovered
                continue
            else:  # a write is running: its journaled records count where they are documents
                present = self._ordered(None, True)  # kept while unchanged
                touched = np.intersect1d(present, self._journaled()).tolist()
                absent = sum(not _is_doc(obj) for obj in self._objects(touched))
                counted = len(present) - absent
            if self._store.last_commits() == before:
                break
        return counted

    def __len__(self) -> int:
        return self.count()

    def __contains__(self, doc_id: object) -> bool:
        try:
            asked = [_doc_id(doc_id)]
        except (TypeError, ValueError):  # not an id that can be stored
            return False
        return bool(self._found(asked, careful=not self._settle()))

    def ids(self) -> list[DocId]:
        """Every document id, in the order of `get()`. Reads every document, a chunk at a
        time."""
        with _no_collection():
            return self._every(None, 0, None, operator.itemgetter(0))

    def _record(self, obj: tuple[Any, ...], include_vectors: bool) -> Record:
        """The record of a document object; its vector None where the stored one is damaged
        (not bytes of this dimension's float32 values: verify() names it)."""
        whole = include_vectors and type(obj[3]) is bytes and len(obj[3]) == 4 * (self.dim or 0)
        vector = np.frombuffer(obj[3], dtype=np.float32).copy() if whole else None
        return Record(obj[0], obj[1], obj[2], vector)

    def get(self, ids: object = None, *, where: object = None, limit: int | None = None,
            offset: int = 0, include_vectors: bool = False) -> list[Record]:
        """The stored documents with these ids (in their order; missing ones left out) or, with
        `ids` None, every document in the order they were first added (in a collection of the
        hashed layout, an order fixed by their ids); `where` keeps those it matches, then
        `offset` and `limit` take a slice."""
        offset = _count_of("offset", offset)
        limit = None if limit is None else _count_of("limit", limit, " or None")
        node = None if where is None else read_where(where)
        stop = None if limit is None else offset + limit
        with _no_collection():
            if ids is not None:
                asked = _id_list(ids)
                found = [obj for _, obj in self._found(asked, careful=not self._settle())
                         if node is None or matches(node, obj[1])][offset:stop]
            else:
                found = self._every(node, offset, stop)
            return [self._record(obj, include_vectors) for obj in found]

    def _every(self, node: Where | None, offset: int, stop: int | None,
               keep: Callable[[tuple[Any, ...]], Any] = lambda obj: obj) -> list[Any]:
        """`keep` of the objects of the documents `node` matches (None: all), in key order,
        sliced; the objects are read a chunk at a time."""
        careful = not self._settle()
        if stop is not None and not careful:
            scanned = self._scanned(node, offset, stop)
            if scanned is not None:
                return [keep(obj) for obj in scanned]
        rids = self._ordered(node, stop is not None)

        def whole(part: NDArray[np.int64]) -> tuple[list[Any], bool]:
            """`keep` of the whole documents of `part`, and whether every record was one."""
            objs = self._objects(part.tolist())
            kept = [keep(obj) for obj in objs
                    if _is_doc(obj) and (node is None or matches(node, obj[1]))]
            return kept, len(kept) == len(objs)

        found: list[Any] = []
        listed = rids
        if careful:
            # Only the records of the running write can be listed without being a matching
            # document: those of them that are not are passed over, so a page costs its own
            # documents and the write's, not every document before it.
            touched = np.intersect1d(rids, self._journaled()).tolist()
            passed = [rid for rid, obj in zip(touched, self._objects(touched))
                      if not (_is_doc(obj) and (node is None or matches(node, obj[1])))]
            listed = rids[~np.isin(rids, passed)] if passed else rids
        page = listed[offset:stop]
        for start in range(0, len(page), CHUNK):
            kept, complete = whole(page[start:start + CHUNK])
            if not complete:  # a write that began since took some away, or a stray record:
                break  # the page reads on past them, below
            found += kept
        else:
            return found
        found = []
        for start in range(0, len(rids), CHUNK):
            found += whole(rids[start:start + CHUNK])[0]
            if stop is not None and len(found) >= stop:
                break
        return found[offset:stop]

    def _scanned(self, node: Where | None, offset: int, stop: int) -> list[Any] | None:
        """The page `offset:stop` of the documents `node` matches (None: every one), read from
        the documents themselves in the order of their numbers (`get()`'s order) where that
        reads less than the index; None where the index is the cheaper read. The index reads
        an entry for every document the filter matches (once per commit: the store keeps what
        it evaluated), the scan the page's documents and those it passes over, a SCAN_COST of
        entries each: the pages of a filter that matches a large share of many documents, and
        those without a filter, are scanned.
        The objects are whole and the matching ones are those `get` returns, so the page is the
        index's. The scan leaves the page to the index where the share of documents it finds
        matching makes the index cheaper, at anything it cannot unpickle, and at the stored
        next number (or this handle's, if later), so it never takes a document it did not read
        for absent; documents past that number are those of a write that began since, which a
        read may miss, as it may miss them in the index. The matches it found are kept while
        no shard commits, so the same pages again read only their own documents."""
        key, commits = _tree_key(node), self._store.last_commits()
        if self._hashed or stop > SCAN_PAGE or self._indexed.get(key) == commits:
            return None  # a tree the index read since the last commit: the store keeps it
        memo = self._scan_memo
        if memo is not None and memo[0] == key and memo[1] == commits and len(memo[2]) >= stop:
            objects = self._objects(memo[2][offset:stop], mendable=True)
            if all(_is_doc(obj) and (node is None or matches(node, obj[1])) for obj in objects):
                return objects  # otherwise a commit came since, published after its stamp
        stored = _counter(self._store.get_pickled([NUMBER_ID])[0], "next") or 0
        end = max(self._next, stored if stored <= enc.MAX_DOCUMENTS + 1 else 0)  # or damaged
        found: list[tuple[int, Any]] = []
        number = 0  # the documents read are those numbered 1 .. number
        until = stop + 8  # a first look as long as the page, then as far as the share found
        while number + 1 < end:
            # The index would read about as many entries as `end` times the share found.
            if until * SCAN_COST > (end * len(found) // number if number else end):
                return None
            part = min(until - number, end - 1 - number)
            rids = enc.document_rids(number + 1, part)
            objects = self._objects(rids, mendable=True)
            if any(isinstance(obj, _Unreadable) for obj in objects):
                return None
            found += [(rid, obj) for rid, obj in zip(rids, objects)
                      if _is_doc(obj) and (node is None or matches(node, obj[1]))]
            number += part
            if len(found) >= stop:
                self._scan_memo = (key, commits, [rid for rid, _ in found])
                return [obj for _, obj in found[offset:stop]]
            if not found:
                return None
            until = -(-5 * stop * number // (4 * len(found)))  # and a quarter more
        return None

    def _ordered(self, node: Where | None, paging: bool) -> NDArray[np.int64]:
        """The record ids `node` selects (None: every document) in key order (the order
        documents were added, and that of their objects on disk). Those of a page (`paging`: a
        `limit` was given) are kept for the next call while every shard's reads see the
        snapshot they were read from, so pages taken with `offset` cost their own documents,
        not the whole list's."""
        # Taken before the ids: a commit published between makes the memo stale, never wrong.
        commits = self._store.last_commits() if paging else None
        key = _tree_key(node)
        memo = self._order_memo
        if memo is not None and memo[0] == key and memo[1] == commits:
            return memo[2]
        found = self._store.get_ids_from_filter((0, enc.PRESENT_KEY)) if node is None \
            else self._selected(node)
        rids = enc.key_order(np.array(found.to_list(), dtype=np.int64))
        if commits is not None:
            self._order_memo = (key, commits, rids)
            # Replaced, not changed in place: reads of other threads iterate it.
            self._indexed = {**dict(list(self._indexed.items())[-15:]), key: commits}
        return rids

    def query(self, vectors: object, k: int = 10, *, where: object = None,
              include_vectors: bool = False) -> list[Hit] | list[list[Hit]]:
        """The `k` documents nearest a query vector, best first (ties by id), or one such list
        per row of a matrix of queries; `where` restricts them. Scores are cosine similarities
        for "cosine", inner products for "ip" (the float32 scores of `search_flat`). With
        `embed`, a query may be a text, and a list of texts is a matrix."""
        k = min(_count_of("k", k), 2**62)  # no store holds more; the store takes 64-bit counts
        single = isinstance(vectors, str)
        texts: list[Any] | None = None
        if single:
            texts = [vectors]
        elif isinstance(vectors, (list, tuple)) and vectors and \
                all(isinstance(v, str) for v in vectors):
            texts = list(vectors)
        if texts is not None:
            array = self._embedded(texts, None)
        else:
            array = self._array(vectors, None)
            single = array.ndim == 1
        node = None if where is None else read_where(where)  # a bad filter is refused even here
        if not self._settings_now():
            if array.dtype.kind not in "iuf" or array.ndim not in (1, 2):
                raise ValueError(f"queries of shape {array.shape}: expected a vector or a matrix")
            nothing: list[list[Hit]] = [[] for _ in range(len(array))]
            return [] if single else nothing
        queries = self._searched(self._vectors(array, None))
        self._settle()
        id_set = None if node is None else self._selected(node)
        if id_set is None and self._pending:
            # Deleted documents' vectors this handle knows of wait for their tombstones: the
            # search is restricted to the documents. The store caches that set between writes
            # and scans no more for it; without waiting vectors the plain search needs no set
            # rebuilt after each write. Another handle's deletions are met as hits and dropped.
            id_set = self._store.get_ids_from_filter((0, enc.PRESENT_KEY))
        if k == 0:
            results: list[list[Hit]] = [[] for _ in queries]
        elif len(queries) == 1:
            results = [self._top(queries[0], None, k, id_set, node, include_vectors)]
        else:
            asked = self._asked(k, id_set)
            first = self._store.search_flat_batch(queries, filter_obj=id_set, k=asked)
            results = [self._top(q, hits, k, id_set, node, include_vectors, asked)
                       for q, hits in zip(queries, first)]
        return results[0] if single else results

    def _asked(self, k: int, id_set: Any) -> int:
        """The hits to ask a search for, to find k + 1 documents: k + 1, and where recent
        plain searches returned hits that are no documents', enough more for a plain one that
        k + 1 documents are all but always among them (three standard deviations of the dropped
        hits over). A search restricted to a set of ids (a filter, or the documents) never
        meets a deleted document's waiting vector: k + 1."""
        if id_set is not None or not self._dropped or not self._read:
            return k + 1
        share = min(0.9, self._dropped / self._read)
        wanted = (k + 2 + 3 * math.sqrt((k + 1) * share)) / (1 - share)
        return max(k + 1, min(2**62, math.ceil(wanted)))

    def _top(self, query: NDArray[np.float32], hits: list[tuple[float, int]] | None, k: int,
             id_set: Any, node: Where | None, include_vectors: bool, asked: int = 0,
             ) -> list[Hit]:
        """The best `k` whole documents: asks the store for more until some hit scores lower
        than the k-th document (then every vector that ties with it is among the hits, so ties
        at the cut are decided by id) or nothing is left. `hits`, when given, are the best
        `asked`."""
        want = asked if hits is not None else self._asked(k, id_set)
        while True:
            if hits is None:
                hits = self._store.search_flat(query, filter_obj=id_set, k=want)
            found = self._whole(query, hits, node, include_vectors)
            if id_set is None:  # the searches that meet waiting vectors
                self._dropped = DROP_DECAY * self._dropped + len(hits) - len(found)
                self._read = DROP_DECAY * self._read + len(hits)
                if self._dropped < 0.05:
                    self._dropped = 0.0  # none for a while: ask for k + 1 again
            if len(hits) < want:  # exhausted
                return found[:k]
            if len(found) >= k:
                cut = found[k - 1].score
                if any(score < cut for score, _ in hits):  # False for a NaN cut
                    return found[:k]
            want *= 4
            hits = None

    def _scores(self, objs: list[tuple[Any, ...]], query: NDArray[np.float32],
                ) -> list[list[tuple[float, float, float]]]:
        """For each document object, the score its stored vector has for `query` as
        (float64 value, slack, sum of |terms|): one for the vector as written now, and one more
        where an earlier version scaled it otherwise (see `_scored`)."""
        expected: list[list[tuple[float, float, float]]] = []
        rows = max(1, 2**20 // max(1, len(query)))  # float64 temporaries of 8 MiB at most
        for start in range(0, len(objs), rows):
            part = objs[start:start + rows]
            given = np.frombuffer(b"".join(obj[3] for obj in part),
                                  dtype=np.float32).reshape(len(part), -1)
            scored: list[list[tuple[float, float, float]]] = [[] for _ in part]
            for unit in self._scalings(given):  # as written now, or by an earlier version
                products = unit.astype(np.float64) * query
                # Two float32 sums of these products differ by at most ~2 * dim * 2**-24 *
                # sum|p|, plus a rounding of 2**-149 per term where they are subnormal;
                # another version's vector is all but never that close.
                sizes = np.abs(products).sum(axis=1)
                slacks = 4 * (len(query) + 4) * (2.0**-24 * sizes + 2.0**-149)
                for row, one in zip(scored, zip(products.sum(axis=1).tolist(),
                                                slacks.tolist(), sizes.tolist())):
                    row.append(one)
            expected += scored
        return expected

    def _whole(self, query: NDArray[np.float32], hits: list[tuple[float, int]],
               node: Where | None, include_vectors: bool) -> list[Hit]:
        rids = list(dict.fromkeys(rid for _, rid in hits))
        objects = dict(zip(rids, self._objects(rids)))
        size = 4 * len(query)  # an object whose vector is damaged is no hit (verify() names it)
        docs = [rid for rid in rids if _is_doc(objects[rid])
                and type(objects[rid][3]) is bytes and len(objects[rid][3]) == size]
        # A write may be running (or have started since the read began): keep a hit only if
        # its score is that of this object's vector and its metadata still match.
        expected = dict(zip(docs, self._scores([objects[rid] for rid in docs], query)))
        out: dict[int, Hit] = {}
        for score, rid in hits:
            if rid in out or rid not in expected:
                continue
            obj = objects[rid]
            if not _scored(score, expected[rid]) or (
                    node is not None and not matches(node, obj[1])):
                continue  # a vector of another version, or metadata that changed
            vector = np.frombuffer(obj[3], dtype=np.float32).copy() if include_vectors else None
            out[rid] = Hit(obj[0], score, obj[1], obj[2], vector)
        return sorted(out.values(), key=lambda h: (
            math.isnan(h.score), -h.score if not math.isnan(h.score) else 0.0, _order(h.id)))


def _caller_level() -> int:
    """The stack level of the first caller outside this package, for `warnings.warn` called by
    the function that calls this: entry points reach it through calls of different depths."""
    frame, level = sys._getframe(1), 1
    while frame.f_back is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame, level = frame.f_back, level + 1
    return level


_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def _scored(score: float, expected: list[tuple[float, float, float]]) -> bool:
    """Whether the store's float32 `score` is that of one of `Collection._scores`' rows.
    A float32 sum becomes infinite or NaN only when its terms overflow it."""
    return any(abs(score - value) <= slack if math.isfinite(score) else size > 1e38
               for value, slack, size in expected)


_PAUSE_LOCK = threading.Lock()
_PAUSES = 0  # calls in `_no_collection` now, in every thread
_RESUME = False  # whether the collector ran before the first of them
_PAUSED_HERE = threading.local()  # `depth`: this thread's calls among them


def _pauses_forked() -> None:
    """In a child made by fork(): only the forking thread goes on, so only its calls can end
    the pause, and the collector runs again once they have."""
    global _PAUSES
    inherited, _PAUSES = _PAUSES, getattr(_PAUSED_HERE, "depth", 0)
    _PAUSE_LOCK.release()  # taken before the fork, so no other thread held it then
    if inherited and not _PAUSES and _RESUME:
        gc.enable()


os.register_at_fork(before=_PAUSE_LOCK.acquire, after_in_parent=_PAUSE_LOCK.release,
                    after_in_child=_pauses_forked)


@contextmanager
def _no_collection() -> Iterator[None]:
    """Pauses the cyclic garbage collector: a batch writes or reads a few tuples and dicts per
    document, none in a cycle, and the collections they would trigger traverse every live
    object again and again."""
    global _PAUSES, _RESUME
    with _PAUSE_LOCK:  # one pause for every thread in a call: the first in takes the state
        if not _PAUSES:
            _RESUME = gc.isenabled()
            gc.disable()
        _PAUSES += 1
        _PAUSED_HERE.depth = getattr(_PAUSED_HERE, "depth", 0) + 1
    try:
        yield
    finally:
        with _PAUSE_LOCK:  # and the last out gives it back
            _PAUSED_HERE.depth -= 1
            _PAUSES -= 1
            if not _PAUSES and _RESUME:
                gc.enable()


class _NoBar:
    def __enter__(self) -> _NoBar:
        return self

    def __exit__(self, *exc: object) -> None:
        return None

    def advance(self, n: int) -> None:
        return None


class _RichBar:
    def __init__(self, total: int, label: str) -> None:
        from rich.progress import Progress

        self.progress = Progress()
        self.task = self.progress.add_task(label, total=total)

    def __enter__(self) -> _RichBar:
        self.progress.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.progress.stop()

    def advance(self, n: int) -> None:
        self.progress.advance(self.task, n)


def _progress(wanted: bool, total: int, label: str) -> _NoBar | _RichBar:
    if not wanted:
        return _NoBar()
    try:
        return _RichBar(total, label)
    except ImportError:
        raise ImportError("progress=True draws with rich: pip install 'zanth_vec[cli]'") from None
