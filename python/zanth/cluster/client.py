"""ZanthCluster: one logical store made of P partitions, each a whole store directory held open
by a named, detached Ray actor on the host that keeps the directory.

Ray places, names, restarts and reaches the actors; this module only routes, fans out and
merges. Every id lives in exactly one partition (see routing), so reads by id go to the owners,
and filters and searches go to every partition and are merged here.
"""

import math
import operator
import os
import pickle
import time

import numpy as np
import ray
from ray import exceptions as rx

from .partition import IDENTITY, PartitionServer
from .results import ClusterError, ClusterIdSet, PartialResult, merge_hits
from .routing import ROUTING_VERSION, as_entries, as_ids, as_objects, pack_keys, split
from .trees import normalize

NAMESPACE = "zanth"
DEFAULT_MAP_SIZE = 200_000_000_000


def actor_name(store: str, partition: int) -> str:
    return f"zanth:{store}:{partition}"


def partition_resource(store: str, partition: int) -> str:
    """The Ray custom resource a host advertises to hold partition `partition` of `store`."""
    return f"zanth:{store}:{partition}"


def partition_path(root: str, store: str, partition: int) -> str:
    return os.path.join(root, store, f"part_{partition:04d}")


def _timeout(value) -> float | None:
    """A timeout in seconds, checked before any partition is asked: None waits as long as it
    takes, as does inf."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"timeout must be a number of seconds, not {type(value).__name__}")
    seconds = float(value)
    if not seconds >= 0:  # NaN too
        raise ValueError(f"timeout must be at least 0 seconds, not {value!r}")
    return None if math.isinf(seconds) else seconds


def _count(value, name: str) -> int:
    try:
        n = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if n < 0 or n >= 2**64:
        raise OverflowError(f"{name} must be in 0 .. 2**64-1, got {n}")
    return n


class ZanthCluster:
    """A partitioned store with the method names of `zanth_vec.ZanthVec`. Make one with
    `ZanthCluster.create(...)` or attach to a running one with `ZanthCluster.open(name)`."""

    def __init__(self, name: str, manifest: dict, timeout: float):
        self.timeout = _timeout(timeout)  # before any actor starts
        self.name = name
        self.partitions = manifest["partitions"]
        self.num_shards = manifest.get("num_shards")
        self.dim = manifest.get("dim")
        self._options = manifest
        self._handles = [None] * self.partitions

    # Creating and attaching

    @classmethod
    def create(cls, name: str, root: str, partitions: int, *, dim: int, num_shards: int = 5,
               map_size: int = DEFAULT_MAP_SIZE, partition_resources: bool = True,
               max_restarts: int = -1, max_task_retries: int = 3,
               timeout: float = 60.0) -> "ZanthCluster":
        """Starts one actor per partition and creates its directory under
        `root/name/part_NNNN` on the host that advertises the partition's resource. Refused
        when a store of that name is running or a directory already holds a partition."""
        # NumPy integers become ints: the manifest is JSON.
        partitions, num_shards, dim, map_size = map(operator.index,
                                                    (partitions, num_shards, dim, map_size))
        if partitions < 1 or num_shards < 1 or dim < 1:
            raise ValueError("partitions, num_shards and dim must be at least 1")
        _ensure_ray()
        running = [p for p in range(partitions) if _lookup(name, p) is not None]
        if running:
            raise ClusterError("create", {p: "a partition actor of this name is running"
                                          for p in running})
        base = {"store": name, "partitions": partitions, "routing_version": ROUTING_VERSION,
                "num_shards": num_shards, "dim": dim, "map_size": map_size,
                "root": root, "partition_resources": partition_resources,
                "max_restarts": max_restarts, "max_task_retries": max_task_retries}
        cluster = cls(name, base, timeout)
        for p in range(partitions):
            cluster._handles[p] = _start(dict(base, partition=p))
            if cluster._handles[p] is None:
                # Another driver started this name since the check above: its actors stay, and
                # those started here go.
                for handle in cluster._handles[:p]:
                    if handle is not None:
                        ray.kill(handle, no_restart=True)
                raise ClusterError("create", {p: "a partition actor of this name is running"})
        try:
            cluster._call("create", {p: () for p in range(partitions)}, again=False)
        except ClusterError:
            # Leave the name free for another attempt; directories of the partitions that were
            # created stay and must be removed (or opened) by hand.
            cluster.stop()
            raise
        return cluster

    @classmethod
    def open(cls, name: str, *, root: str | None = None, partitions: int | None = None,
             partition_resources: bool = True, timeout: float = 60.0) -> "ZanthCluster":
        """Attaches to the running actors of store `name`. With `root` and `partitions`,
        partitions without a running actor are started from their directories (after a
        whole-cluster restart, say); their manifests decide the rest."""
        if partitions is not None:
            partitions = operator.index(partitions)
            if partitions < 1:
                raise ValueError(f"partitions must be at least 1, not {partitions}")
        _timeout(timeout)  # refused before a partition is started
        _ensure_ray()
        if partitions is None:
            probe = cls(name, {"partitions": 1}, timeout)
            partitions = probe._call("manifest", {0: ()})[0][0]["partitions"]
        handles = [_lookup(name, p) for p in range(partitions)]
        absent = [p for p, h in enumerate(handles) if h is None]
        if absent and root is None:
            raise ClusterError("open", {p: "no running partition actor (pass root= and "
                                           "partitions= to start it)" for p in absent})
        started: list[int] = []
        begun = {"store": name, "partitions": partitions, "routing_version": ROUTING_VERSION,
                 "root": root, "partition_resources": partition_resources, **_DEFAULT_RESTARTS}
        try:
            _start_absent(name, handles, absent, begun, started)
            probe = cls(name, {"partitions": partitions}, timeout)
            expected = _check_manifests(probe, handles)
            # Only a partition's actor reads its manifest, so those started here began with the
            # default restart settings; where the manifest keeps others (given to `create`),
            # they are started again with those.
            kept = {k: expected.get(k, v) for k, v in _DEFAULT_RESTARTS.items()}
            if started and kept != _DEFAULT_RESTARTS:
                again, started[:] = list(started), []
                for p in again:
                    ray.kill(handles[p], no_restart=True)
                _names_freed(name, again, probe.timeout)
                _start_absent(name, handles, again, dict(begun, **kept), started)
                expected = _check_manifests(probe, handles)
        except ClusterError:
            for p in started:  # started here for nothing: do not leave them holding the name
                ray.kill(handles[p], no_restart=True)
            raise
        cluster = cls(name, expected, timeout)
        cluster._handles = handles
        return cluster

    def close(self) -> None:
        """Does nothing: the partitions stay open in their actors for other drivers."""

    def stop(self) -> None:
        """Ends every partition actor (no restart). The directories stay; `open` with `root`
        starts them again."""
        for p in range(self.partitions):
            # The actor holding the name now: another driver may have restarted the partition
            # since this object cached its handle.
            for handle in (_lookup(self.name, p), self._handles[p]):
                if handle is not None:
                    try:
                        ray.kill(handle, no_restart=True)
                    except (ValueError, rx.RayError):
                        pass  # already gone
            self._handles[p] = None

    def actor(self, partition: int):
        """The Ray actor handle of one partition."""
        return self._handle(partition)

    # Objects

    def store_data(self, data, identifiers, *, timeout=None) -> None:
        """Pickles every object here, as one store does, before any partition is written: an
        object that cannot be pickled raises its error and nothing is stored anywhere."""
        data = as_objects(data)
        ids = as_ids(identifiers)
        if len(data) != len(ids):
            raise ValueError("Length mismatch")
        blobs = [pickle.dumps(obj) for obj in data]
        self._write("store_pickled", {p: ([blobs[i] for i in idx.tolist()], ids[idx])
                                      for p, idx in split(ids, self.partitions).items()},
                    timeout, operation="store_data")

    def get_data(self, identifiers, *, partial=False, timeout=None) -> list:
        """Objects in input order, None where none is stored, unpickled here as one store
        unpickles them. With `partial=True` the ids of partitions that did not answer read as
        None too, and the result's `missing` names them."""
        ids = as_ids(identifiers)
        groups = split(ids, self.partitions)
        found, failed = self._call("get_pickled", {p: (ids[idx],) for p, idx in groups.items()},
                                   timeout=timeout, partial=partial, operation="get_data")
        blobs = [None] * len(ids)
        for p, stored in found.items():
            for i, blob in zip(groups[p].tolist(), stored):
                blobs[i] = blob
        out = [None if blob is None else pickle.loads(blob) for blob in blobs]
        return PartialResult(out, failed) if partial else out

    def delete_data(self, identifiers, *, timeout=None) -> None:
        ids = as_ids(identifiers)
        self._write("delete_data", {p: (ids[idx],) for p, idx in
                                    split(ids, self.partitions).items()}, timeout)

    def get_data_count(self, *, timeout=None) -> int:
        """The sum of the partitions' record counts (objects, vector blocks, index entries)."""
        found, _ = self._call("get_data_count", self._everyone(), timeout=timeout)
        return sum(found.values())

    # Vectors

    def store_flat_vectors(self, data, identifiers, *, timeout=None) -> None:
        """Appends row i of `data` under identifiers[i]. Appending is not idempotent, so each
        partition's part is sent once and never retried: after a failure, ClusterError.unknown
        names the partitions where it may or may not have landed."""
        _check_array(data, 2, "data")
        ids = as_ids(identifiers)
        if len(ids) and data.shape[1] != self.dim:  # nothing to store is no error, as in one store
            raise ValueError(f"vectors of dimension {data.shape[1]}; this store holds {self.dim}")
        if len(ids) > data.shape[0]:
            raise ValueError("more identifiers than rows")
        self._write("store_flat_vectors",
                    {p: (np.ascontiguousarray(data[idx]), ids[idx])
                     for p, idx in split(ids, self.partitions).items()}, timeout, once=True)

    def delete_flat_vectors(self, identifiers, dim, *, timeout=None) -> None:
        ids = as_ids(identifiers)
        dim = self._check_dim(dim) if len(ids) else _count(dim, "dim")
        self._write("delete_flat_vectors", {p: (ids[idx], dim) for p, idx in
                                            split(ids, self.partitions).items()}, timeout)

    def compact_vectors(self, dim, *, timeout=None) -> int:
        dim = self._check_dim(dim)
        found, _ = self._call("compact_vectors", self._everyone(dim), timeout=timeout,
                              write=True)
        return sum(found.values())

    def search_flat(self, query_vector, filter_obj=None, k=10, *, partial=False, timeout=None):
        """The k best (score, id) hits over all partitions, exactly those of one store holding
        the same data. `filter_obj` is a ClusterIdSet or a filter tree."""
        _check_array(query_vector, 1, "query_vector")
        program = _filter_program(filter_obj)
        k = _count(k, "k")
        query = self._query(query_vector, "query_vector")
        found, failed = self._call("search_flat", self._everyone(query, program, k),
                                   timeout=timeout, partial=partial)
        hits = merge_hits([found[p] for p in sorted(found)], k)
        return PartialResult(hits, failed) if partial else hits

    def search_flat_batch(self, queries, filter_obj=None, k=10, *, partial=False, timeout=None):
        """search_flat for every row of a two-dimensional float32 array, one call per
        partition."""
        _check_array(queries, 2, "queries")
        program = _filter_program(filter_obj)
        k = _count(k, "k")
        if len(queries) == 0 and queries.flags.c_contiguous:  # any width, as in one store
            return PartialResult([], ()) if partial else []
        queries = self._query(queries, "queries")
        found, failed = self._call("search_flat_batch", self._everyone(queries, program, k),
                                   timeout=timeout, partial=partial)
        per_query = [merge_hits([found[p][i] for p in sorted(found)], k)
                     for i in range(len(queries))]
        return PartialResult(per_query, failed) if partial else per_query

    # Index

    def batch_index_insert(self, entries, *, timeout=None) -> None:
        self._index_write("batch_index_insert", entries, timeout)

    def batch_index_delete(self, entries, *, timeout=None) -> None:
        self._index_write("batch_index_delete", entries, timeout)

    def get_ids_from_filter(self, filter_tree, *, partial=False, timeout=None) -> ClusterIdSet:
        """Evaluates the tree on every partition. Complements are taken per partition ("every
        id of this partition except ..."), which together are the global complement because
        every index entry lives with its id."""
        program, negated = normalize(filter_tree)
        found, failed = self._call("get_ids_from_filter", self._everyone(program),
                                   timeout=timeout, partial=partial)
        return ClusterIdSet(found, negated, program, failed)

    # Fan-out

    def _index_write(self, method, entries, timeout):
        keys, ids = as_entries(entries)
        self._write(method, {p: (*pack_keys(keys, idx.tolist()), ids[idx])
                             for p, idx in split(ids, self.partitions).items()}, timeout)

    def _everyone(self, *args):
        return {p: args for p in range(self.partitions)}

    def _check_dim(self, dim):
        dim = _count(dim, "dim")
        if dim != self.dim:
            raise ValueError(f"dim {dim} differs from the store's dimension {self.dim}")
        return dim

    def _query(self, array, name):
        """A query array checked after the other arguments, as one store checks it: one store
        reads queries in place, so a strided one is a TypeError there and here."""
        if not array.flags.c_contiguous:
            raise TypeError(f"argument '{name}': ndarray is not C-contiguous")
        if array.shape[-1] != self.dim:
            raise ValueError(f"{name} has dimension {array.shape[-1]}; this store holds {self.dim}")
        return array

    def _handle(self, p):
        if self._handles[p] is None:
            self._handles[p] = _lookup(self.name, p)
            if self._handles[p] is None:
                raise LookupError(f"no actor named {actor_name(self.name, p)!r} is running")
        return self._handles[p]

    def _write(self, method, args_by_p, timeout, once=False, operation=None):
        if args_by_p:
            self._call(method, args_by_p, timeout=timeout, write=True, once=once,
                       operation=operation)

    def _call(self, method, args_by_p, *, timeout=None, partial=False, write=False, once=False,
              operation=None, again=True):
        """Runs `method` on the given partitions at once and waits at most `timeout` seconds.
        Returns ({partition: result}, {partition: why it failed}); raises ClusterError, naming
        `operation` (default: the method), when any failed, unless `partial`. Payloads are
        serialised before the first call goes out, so an unpicklable argument fails the whole
        call before any partition has written."""
        timeout = self.timeout if timeout is None else _timeout(timeout)  # before any is asked
        payloads = {p: [ray.put(a) if _bulky(a) else a for a in args]
                    for p, args in args_by_p.items()}
        refs, failed, unknown, used = {}, {}, [], {}
        for p, args in payloads.items():
            try:
                used[p] = self._handle(p)
                remote = getattr(used[p], method)
                if once:
                    remote = remote.options(max_task_retries=0)
                refs[p] = remote.remote(*args)
            except (LookupError, ValueError, rx.RayError) as e:
                failed[p] = str(e)
        ready = set(ray.wait(list(refs.values()), num_returns=len(refs), timeout=timeout)[0]
                    if refs else ())
        results, lost = {}, []
        for p, ref in refs.items():
            if ref not in ready:
                failed[p] = f"no answer within {timeout:g} s"
                if self._options.get("partition_resources"):
                    failed[p] += (f" (is a host advertising the resource "
                                  f"{partition_resource(self.name, p)!r} up?)")
                unknown.append(p)
                continue
            try:
                results[p] = ray.get(ref)
            except rx.RayTaskError as e:
                cause = e.cause if e.cause is not None else e
                failed[p] = f"{type(cause).__name__}: {cause}"
            except rx.RayError as e:
                failed[p] = f"partition actor unavailable ({type(e).__name__}): {e}"
                unknown.append(p)
                try:
                    self._handles[p] = _lookup(self.name, p)
                except rx.RayError:  # the control service is not answering: looked up later
                    self._handles[p] = None
                if self._handles[p] is not None and \
                        self._handles[p]._actor_id != used[p]._actor_id:
                    lost.append(p)  # another actor holds the name now
        if lost and again and not write:
            # A read may go to the actor that holds the name now (another driver may have
            # restarted the partition since its handle was cached); a write may have landed, so
            # it is reported as unknown instead.
            retried, _ = self._call(method, {p: args_by_p[p] for p in lost}, timeout=timeout,
                                    partial=True, operation=operation, again=False)
            for p in retried:
                results[p] = retried[p]
                del failed[p]
                unknown.remove(p)
        if failed and not partial:
            raise ClusterError(operation or method, failed, unknown if write else ())
        return results, failed


def _check_manifests(probe: ZanthCluster, handles) -> dict:
    """The manifest all partitions share; ClusterError naming those that differ from it."""
    probe._handles = list(handles)
    found, _ = probe._call("manifest", {p: () for p in range(len(handles))})
    expected = dict(found[0], store=probe.name, partitions=len(handles),
                    routing_version=ROUTING_VERSION)
    wrong = {}
    for p, m in found.items():
        bad = [f"{k}={m.get(k)!r}" for k in IDENTITY
               if m.get(k) != (p if k == "partition" else expected[k])]
        if bad:
            wrong[p] = "manifest differs from partition 0's: " + ", ".join(bad)
    if wrong:
        raise ClusterError("open", wrong)
    return expected


def _check_array(array, ndim, name):
    """The array rules of one store: a NumPy array (or subclass) of native float32 with `ndim`
    dimensions, else TypeError."""
    if not isinstance(array, np.ndarray) or array.ndim != ndim or array.dtype != np.float32:
        raise TypeError(f"argument '{name}': expected a {ndim}-dimensional float32 NumPy array")


def _filter_program(filter_obj):
    if filter_obj is None:
        return None
    if isinstance(filter_obj, ClusterIdSet):
        return filter_obj.program
    if isinstance(filter_obj, tuple):
        return normalize(filter_obj)[0]
    raise TypeError("filter_obj must be None, a ClusterIdSet or a filter tree tuple")


def _bulky(arg) -> bool:
    return isinstance(arg, list) or (isinstance(arg, np.ndarray) and arg.nbytes >= 1 << 16)


def _ensure_ray():
    if not ray.is_initialized():
        ray.init(namespace=NAMESPACE)


_DEFAULT_RESTARTS = {"max_restarts": -1, "max_task_retries": 3}


def _start_absent(name: str, handles: list, absent: list[int], manifest: dict,
                  started: list[int]) -> None:
    """Starts partitions `absent` of `name` into `handles`, adding to `started` those started
    here; one that another driver started meanwhile is attached to as it is."""
    for p in absent:
        handles[p] = _start(dict(manifest, partition=p))
        if handles[p] is None:
            handles[p] = _lookup(name, p)
        else:
            started.append(p)


def _names_freed(name: str, partitions: list[int], timeout: float | None) -> None:
    """Waits until no actor holds these partitions' names (a killed actor gives its name up
    a moment later); ClusterError naming those still held after `timeout` seconds."""
    deadline = None if timeout is None else time.monotonic() + timeout
    held = list(partitions)
    while held := [p for p in held if _lookup(name, p) is not None]:
        if deadline is not None and time.monotonic() >= deadline:
            raise ClusterError("open", {p: f"its stopped actor held the name for {timeout:g} s"
                                        for p in held})
        time.sleep(0.05)


def _lookup(name, p):
    try:
        return ray.get_actor(actor_name(name, p), namespace=NAMESPACE)
    except ValueError:
        return None


def _start(manifest: dict):
    """Starts the actor of one partition. It needs no CPU slot (its store calls release the
    interpreter lock and use the store's own threads) and, with partition resources, runs
    only where the host advertises this partition, so Ray restarts it next to its files.
    Returns None when another driver holds the partition's name already."""
    p, name = manifest["partition"], manifest["store"]
    options = {"name": actor_name(name, p), "namespace": NAMESPACE, "lifetime": "detached",
               "num_cpus": 0, "max_concurrency": 4,
               "max_restarts": manifest["max_restarts"],
               "max_task_retries": manifest["max_task_retries"]}
    if manifest["partition_resources"]:
        options["resources"] = {partition_resource(name, p): 1}
    path = partition_path(manifest["root"], name, p)
    expected = {k: manifest.get(k) for k in manifest}
    try:
        return ray.remote(PartitionServer).options(**options).remote(path, expected)
    except rx.ActorAlreadyExistsError:
        return None
