"""Which partition owns an id, and the column forms that bulk calls send to partitions.

Everything of an id (its object, its vectors, its index entries) lives in one partition, so a
filter evaluated inside a partition gives exactly the global answer restricted to that
partition. The partition is a 64-bit mix of the id modulo the partition count: inside a store
ids go to shards by plain `id % num_shards`, and plain `id % P` would leave whole shards of a
partition empty whenever P and num_shards share a factor.
"""

import operator

import numpy as np

# The longest index key the store accepts, in UTF-8 bytes; checked before anything is sent so
# that a bad key cannot leave some partitions written and others not.
from ..encoding import MAX_INDEX_KEY_BYTES as MAX_KEY_BYTES

# Bumped if the mix ever changes; a store written under one version refuses to open under another.
ROUTING_VERSION = 1

_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_MUL1 = np.uint64(0xBF58476D1CE4E5B9)
_MUL2 = np.uint64(0x94D049BB133111EB)


def mix64(ids: np.ndarray) -> np.ndarray:
    """The splitmix64 finaliser over the ids' two's complement bits (uint64, wrapping)."""
    z = np.ascontiguousarray(ids, dtype=np.int64).view(np.uint64) + _GOLDEN
    z = (z ^ (z >> np.uint64(30))) * _MUL1
    z = (z ^ (z >> np.uint64(27))) * _MUL2
    return z ^ (z >> np.uint64(31))


def partition_of(ids, partitions: int) -> np.ndarray:
    """Partition number (int64) of each id for a store of `partitions` partitions."""
    if partitions < 1:
        raise ValueError("a store needs at least one partition")
    return (mix64(as_ids(ids)) % np.uint64(partitions)).astype(np.int64)


def split(ids: np.ndarray, partitions: int) -> dict[int, np.ndarray]:
    """Input positions per partition, each in input order (so duplicates keep their order)."""
    owner = partition_of(ids, partitions)
    order = np.argsort(owner, kind="stable")
    counts = np.bincount(owner, minlength=partitions)
    bounds = np.concatenate(([0], np.cumsum(counts)))
    return {p: order[bounds[p]:bounds[p + 1]] for p in range(partitions) if counts[p]}


def as_ids(identifiers, name: str = "identifiers") -> np.ndarray:
    """A one-dimensional int64 column from a sequence of integers, with the errors the store
    raises for the same input: TypeError for a str, a non-sequence or a non-integer item,
    OverflowError for an item outside the signed 64-bit range."""
    if isinstance(identifiers, np.ndarray):
        if identifiers.ndim > 1 and identifiers.shape[0] == 0:
            return np.empty(0, np.int64)  # no rows: no ids, as one store reads the sequence
        if identifiers.ndim != 1:
            raise TypeError(f"{name} must be one-dimensional")
        if identifiers.dtype.kind == "i":
            return np.ascontiguousarray(identifiers, dtype=np.int64)
        if identifiers.dtype.kind == "u":
            if identifiers.size and identifiers.max() > 2**63 - 1:
                raise OverflowError(f"{name}: id out of the signed 64-bit range")
            return identifiers.astype(np.int64)
        if identifiers.size == 0:
            return np.empty(0, np.int64)
        # Other dtypes (object, bool, float) item by item, as the store reads them: NumPy
        # bools and floats are not integers there, Python ints in an object array are.
    if isinstance(identifiers, str) or not _is_sequence(identifiers):
        raise TypeError(f"{name} must be a sequence of integers")
    return np.array([_one_id(v, name) for v in identifiers], dtype=np.int64)


def _one_id(value, name: str) -> int:
    """One id, item by item as the store converts them, so the first bad item decides."""
    try:
        v = operator.index(value)
    except TypeError as e:
        raise TypeError(f"{name} must hold integers: {e}") from None
    if not -(2**63) <= v < 2**63:
        raise OverflowError(f"{name}: {v} is out of the signed 64-bit range")
    return v


def _is_sequence(value) -> bool:
    """The store's sequence check: a type with item access that is not a mapping's (a dict
    fails it, as do a set, a generator and a number)."""
    return not isinstance(value, dict) and hasattr(type(value), "__getitem__")


def as_objects(data, name: str = "data") -> list:
    """A list of the items of a sequence other than a str, as the store takes `data`: TypeError
    for a str or anything that is not a sequence."""
    if isinstance(data, str) or not _is_sequence(data):
        raise TypeError(f"{name} must be a sequence, not {type(data).__name__}")
    return list(data)


def as_entries(entries) -> tuple[list[bytes], np.ndarray]:
    """(UTF-8 keys, ids) columns from a sequence of (key, id) pairs, checked entry by entry in
    the store's order: TypeError for a non-tuple entry, ValueError for a tuple that is not a
    pair, TypeError for a key that is not a str, the codec's error for one UTF-8 cannot encode,
    ValueError for a key longer than the store allows, then the id's errors."""
    if isinstance(entries, str) or not _is_sequence(entries):
        raise TypeError("entries must be a sequence of (key, id) tuples")
    keys, ids = [], []
    for entry in entries:
        if not isinstance(entry, tuple):
            raise TypeError(f"an index entry must be a (key, id) tuple, not {type(entry).__name__}")
        if len(entry) != 2:
            raise ValueError(f"an index entry must be a pair, got {len(entry)} items")
        key, ident = entry
        if not isinstance(key, str):
            raise TypeError(f"an index key must be a str, not {type(key).__name__}")
        encoded = key.encode("utf-8")
        if len(encoded) > MAX_KEY_BYTES:
            raise ValueError(f"index key of {len(encoded)} UTF-8 bytes; at most {MAX_KEY_BYTES} fit")
        keys.append(encoded)
        ids.append(_one_id(ident, "entries"))
    return keys, np.array(ids, dtype=np.int64)


def pack_keys(encoded: list[bytes], positions) -> tuple[bytes, np.ndarray]:
    """The keys at `positions` as one byte string and their end offsets."""
    chosen = [encoded[i] for i in positions]
    ends = np.cumsum([len(k) for k in chosen], dtype=np.int64)
    return b"".join(chosen), ends


def unpack_keys(blob: bytes, ends: np.ndarray) -> list[str]:
    starts = np.concatenate(([0], ends[:-1])) if len(ends) else ends
    return [blob[s:e].decode("utf-8") for s, e in zip(starts.tolist(), ends.tolist())]
