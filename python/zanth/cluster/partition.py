"""One partition: a whole store directory on one host, held open by one named Ray actor.

The actor is the only process that opens its directory. It checks the directory's manifest on
every start (a restart included), so a directory moved under the wrong name or partition number,
or written with another routing or shard count, is refused instead of answering wrongly.
"""

import contextlib
import json
import os

import numpy as np

import zanth_vec

from .routing import unpack_keys
from .trees import rebuild

MANIFEST = "zanth_partition.json"
# The fields that must agree between a directory and the store that opens it.
IDENTITY = ("store", "partition", "partitions", "routing_version", "num_shards", "dim")


class ManifestError(Exception):
    """A partition directory that does not belong to the store opening it."""


def read_manifest(path: str):
    try:
        with open(os.path.join(path, MANIFEST)) as f:
            return json.load(f)
    except FileNotFoundError:
        return None


def write_manifest(path: str, manifest: dict) -> None:
    os.makedirs(path, exist_ok=True)
    final = os.path.join(path, MANIFEST)
    tmp = final + ".tmp"
    try:
        with open(tmp, "w") as f:
            json.dump(manifest, f, sort_keys=True)
            f.flush()
            os.fsync(f.fileno())
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)  # the directory stays empty, so creating it can be tried again
        raise
    # A manifest is either absent or whole: a crash while creating leaves no half-written one.
    os.replace(tmp, final)


def check_manifest(found: dict, expected: dict, path: str) -> None:
    wrong = [f"{k}: directory has {found.get(k)!r}, expected {expected[k]!r}"
             for k in IDENTITY if expected.get(k) is not None and found.get(k) != expected[k]]
    if wrong:
        raise ManifestError(f"partition directory {path} does not match: " + "; ".join(wrong))


def hits_to_columns(hits) -> tuple[np.ndarray, np.ndarray]:
    scores = np.fromiter((h[0] for h in hits), dtype=np.float32, count=len(hits))
    ids = np.fromiter((h[1] for h in hits), dtype=np.int64, count=len(hits))
    return scores, ids


class PartitionServer:
    """The body of a partition actor. `expected` holds the manifest fields the caller knows;
    fields it leaves out (None) are taken from the directory."""

    def __init__(self, path: str, expected: dict):
        self.path = path
        self.expected = dict(expected)
        self.manifest_data: dict = {}
        self.store: zanth_vec.ZanthVec | None = None
        found = read_manifest(path)
        if found is not None:
            self._open(found)

    def _open(self, found: dict) -> None:
        check_manifest(found, self.expected, self.path)
        self.store = zanth_vec.ZanthVec(self.path, num_shards=found["num_shards"],
                                        map_size=found["map_size"])
        self.manifest_data = found

    def _live(self) -> zanth_vec.ZanthVec:
        if self.store is None:
            raise ManifestError(f"no partition manifest in {self.path}: the directory was never "
                                "created here, or it is gone")
        return self.store

    def create(self) -> dict:
        """Writes the manifest of a new partition; refuses a directory that already has one."""
        if read_manifest(self.path) is not None:
            raise ManifestError(f"{self.path} already holds a partition")
        if os.path.isdir(self.path) and os.listdir(self.path):
            raise ManifestError(f"{self.path} is not empty")
        write_manifest(self.path, self.expected)
        self._open(self.expected)
        return self.manifest_data

    def manifest(self) -> dict:
        self._live()
        return self.manifest_data

    def pid(self) -> int:
        return os.getpid()

    # Objects, pickled and unpickled by the caller: what one store round-trips (classes of the
    # driver's __main__, writable arrays) round-trips here, and an object that cannot be pickled
    # fails before any partition writes.
    def store_pickled(self, blobs: list, ids: np.ndarray) -> None:
        self._live().store_pickled(blobs, ids)

    def get_pickled(self, ids: np.ndarray) -> list:
        return self._live().get_pickled(ids)

    def delete_data(self, ids: np.ndarray) -> None:
        self._live().delete_data(ids)

    def get_data_count(self) -> int:
        return self._live().get_data_count()

    # Vectors
    def store_flat_vectors(self, data: np.ndarray, ids: np.ndarray) -> None:
        self._live().store_flat_vectors(data, ids)

    def delete_flat_vectors(self, ids: np.ndarray, dim: int) -> None:
        self._live().delete_flat_vectors(ids, dim)

    def compact_vectors(self, dim: int) -> int:
        return self._live().compact_vectors(dim)

    def _id_set(self, program):
        return None if program is None else self._live().get_ids_from_filter(rebuild(program))

    def search_flat(self, query: np.ndarray, tree, k: int):
        return hits_to_columns(self._live().search_flat(query, self._id_set(tree), k))

    def search_flat_batch(self, queries: np.ndarray, tree, k: int):
        store = self._live()
        id_set = self._id_set(tree)
        if hasattr(store, "search_flat_batch"):
            lists = store.search_flat_batch(queries, id_set, k)
        else:
            lists = [store.search_flat(q, id_set, k) for q in queries]
        return [hits_to_columns(hits) for hits in lists]

    # Index
    def batch_index_insert(self, blob: bytes, ends: np.ndarray, ids: np.ndarray) -> None:
        self._live().batch_index_insert(list(zip(unpack_keys(blob, ends), ids.tolist())))

    def batch_index_delete(self, blob: bytes, ends: np.ndarray, ids: np.ndarray) -> None:
        self._live().batch_index_delete(list(zip(unpack_keys(blob, ends), ids.tolist())))

    def get_ids_from_filter(self, program) -> np.ndarray:
        return np.array(self._id_set(program).to_list(), dtype=np.int64)
