"""Concurrency harness: threads and spawned processes write, delete, compact, search, filter,
read and count one store at once. Readers check that every shard shows each batch entirely or
not at all; afterwards every acknowledged batch must be complete and the count exact. Forked
children must refuse the parent's handle, and dropping it there leaves the parent alone."""
import concurrent.futures
import gc
import math
import multiprocessing
import os
import random
import threading
import time
from collections import Counter

import numpy as np
import pytest

import zanth_vec
from conftest import SCALE, open_files_under
from store_model import index_shard, shard_of_id

SECONDS = 2 * SCALE
NUM_SHARDS, DIM, SPAN = 4, 6, 10**9
TAGS = [f"t:{i}" for i in range(5)]
QUERY = np.linspace(-1, 1, DIM).astype(np.float32)


def batch(writer, number):
    """(ids, objects, vectors, entries) of a writer's batch; the ids encode writer and batch."""
    n = random.Random(writer * 7919 + number).randint(1, 60)
    ids = [(-1) ** j * (writer * SPAN + number * 1000 + j) for j in range(n)]
    vectors = np.random.default_rng([writer, number]).standard_normal((n, DIM)).astype(np.float32)
    return ids, [(writer, number, i) for i in ids], vectors, [(TAGS[j % 5], i) for j, i in enumerate(ids)]


def per_shard(writer, number):
    ids, _, _, entries = batch(writer, number)
    return Counter(shard_of_id(i, NUM_SHARDS) for i in ids), Counter(index_shard(k, NUM_SHARDS) for k, _ in entries)


def write_batches(path, writer, deadline, delete_every):
    """Writes batches until `deadline`; returns the numbers of those kept. With delete_every,
    every such batch is deleted again right after, and compaction runs now and then."""
    db, kept, number = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS), [], 0
    while number < 2 or time.time() < deadline:  # a late start still writes
        ids, objects, vectors, entries = batch(writer, number)
        db.store_data(objects, ids)
        db.store_flat_vectors(vectors, ids)
        db.batch_index_insert(entries)
        if delete_every and number % delete_every == 0:
            db.delete_data(ids)
            db.delete_flat_vectors(ids, DIM)
            db.batch_index_delete(entries)
            if number % (4 * delete_every) == 0:
                db.compact_vectors(DIM)
        else:
            kept.append(number)
        number += 1
    return kept


def read_and_check(path, deadline, monotonic):
    db, checks, last_count = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS), 0, 0
    while checks == 0 or time.time() < deadline:
        count = db.get_data_count()
        assert count >= last_count or not monotonic, f"count went back from {last_count} to {count}"
        last_count = count
        seen = [Counter(), Counter()]  # (writer, batch, shard): records seen by search, by filter
        for _, i in db.search_flat(QUERY, k=2**64 - 1):
            seen[0][(abs(i) // SPAN, abs(i) % SPAN // 1000, shard_of_id(i, NUM_SHARDS))] += 1
        for i in db.get_ids_from_filter((1, "t:", "t;")).to_list():
            tag = TAGS[abs(i) % 1000 % 5]
            seen[1][(abs(i) // SPAN, abs(i) % SPAN // 1000, index_shard(tag, NUM_SHARDS))] += 1
        for what in (0, 1):
            for (w, b, shard), n in seen[what].items():
                assert n == per_shard(w, b)[what][shard], f"batch {w}/{b} is partly visible in shard {shard}"
        tagged = db.get_ids_from_filter((4, (0, TAGS[0])))
        assert not {i for _, i in db.search_flat(QUERY, tagged, k=1000)} & set(tagged.to_list())
        w, b = random.choice([0, 1, 2]), random.randint(0, 100)
        ids, objects, _, _ = batch(w, b)
        got = db.get_data(ids)
        present = Counter(shard_of_id(i, NUM_SHARDS) for i, o in zip(ids, got) if o is not None)
        assert all(n == per_shard(w, b)[0][s] for s, n in present.items()), "get_data saw part of a batch"
        assert all(o is None or o == want for o, want in zip(got, objects))
        checks += 1
    return checks


@pytest.mark.parametrize("delete_every", [0, 2])
def test_threads_and_processes_share_one_store(store_path, delete_every):
    db = zanth_vec.ZanthVec(store_path, num_shards=NUM_SHARDS)
    deadline = time.time() + SECONDS + 1.5  # spawned interpreters need a moment to start
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as procs, \
            concurrent.futures.ThreadPoolExecutor(4) as threads:
        futures = [procs.submit(write_batches, store_path, 2, deadline, delete_every),
                   procs.submit(read_and_check, store_path, deadline, not delete_every)]
        futures += [threads.submit(write_batches, store_path, w, deadline, delete_every) for w in (0, 1)]
        futures += [threads.submit(read_and_check, store_path, deadline, not delete_every) for _ in range(2)]
        kept = {w: futures[i].result(timeout=SECONDS + 120) for w, i in [(2, 0), (0, 2), (1, 3)]}
        assert all(f.result(timeout=120) > 0 for f in (futures[1], futures[4], futures[5]))
    assert all(kept.values()), "a writer completed no batch"
    db.compact_vectors(DIM)
    batches = [batch(w, b) for w in kept for b in kept[w]]
    ids = [i for b in batches for i in b[0]]
    assert db.get_data(ids) == [o for b in batches for o in b[1]]
    assert sorted(i for _, i in db.search_flat(QUERY, k=2**64 - 1)) == sorted(ids)
    for tag in TAGS:
        want = sorted(i for b in batches for k, i in b[3] if k == tag)
        assert sorted(db.get_ids_from_filter((0, tag)).to_list()) == want
    blocks = sum(math.ceil(n / 256) for n in Counter(shard_of_id(i, NUM_SHARDS) for i in ids).values())
    if not delete_every:  # appends only: full blocks, one topped-up block per shard
        assert db.get_data_count() == 2 * len(ids) + blocks


def forked(body):
    """Runs body() in a forked child; returns its exit code (0 when body returned True)."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if body() else 2
        finally:
            os._exit(code)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    pytest.fail("forked child hung")


INHERITED_CALLS = [("get_data", [1]), ("store_data", ["c"], [2]), ("delete_data", [1]), ("get_data_count",),
                   ("store_flat_vectors", np.zeros((1, DIM), np.float32), [2]), ("delete_flat_vectors", [1], DIM),
                   ("compact_vectors", DIM), ("search_flat", QUERY), ("batch_index_insert", [("x", 2)]),
                   ("batch_index_delete", [("x", 2)]), ("get_ids_from_filter", (0, "x")),
                   ("search_flat_batch", QUERY[None]), ("sketch_memory",), ("set_sketch_budget", 0),
                   ("take_prune_counts",), ("store_pickled", [b"N."], [2]), ("get_pickled", [1]),
                   ("filter_cache_memory",), ("set_filter_cache_budget", 0)]


def refuses(db, call):
    try:
        getattr(db, call[0])(*call[1:])
    except RuntimeError as e:
        return "fork" in str(e)
    return False


# GCC 12's AddressSanitizer takes no allocator lock around fork(): a child forked while another
# thread holds one (inside malloc, or tearing its cache down after Python joined it) deadlocks on
# its first allocation. glibc's malloc is fork-safe, so only the sanitizer run forks between the
# writers' spells, and every run waits until the kernel has seen their threads go.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def amid_writers(db, body):
    """body()'s result, called while two threads write to and search db (under the sanitizer,
    just after they stop)."""
    stop, threads, result = threading.Event(), [], None

    def busy(writer):
        threads.append(threading.get_native_id())
        number = 0
        while not stop.is_set():
            ids, objects, vectors, entries = batch(writer, number)
            db.store_data(objects, ids)
            db.store_flat_vectors(vectors, ids)
            db.batch_index_insert(entries)
            db.search_flat(QUERY, k=5)
            number += 1

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        workers = [pool.submit(busy, w) for w in (5, 6)]
        try:
            time.sleep(0.05)
            if not SANITIZED:
                result = body()
        finally:
            stop.set()
        [w.result() for w in workers]
    deadline = time.monotonic() + 10
    while any(os.path.exists(f"/proc/self/task/{t}") for t in threads) and time.monotonic() < deadline:
        time.sleep(0.001)
    return body() if SANITIZED else result


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() with threads running
def test_forked_children_open_the_store_anew(store_path):
    db = zanth_vec.ZanthVec(store_path, num_shards=NUM_SHARDS)
    db.store_data(["parent"], [1])
    files = open_files_under(store_path)

    for attempt in range(3):
        def child():
            if not all(refuses(db, call) for call in INHERITED_CALLS) or db.close() is not None:
                return False
            own = zanth_vec.ZanthVec(store_path, num_shards=NUM_SHARDS)
            own.store_data([f"child{attempt}"], [100 + attempt])
            # Its own environments, not the parent's: the files are open twice now.
            return (own.get_data([1, 100 + attempt]) == ["parent", f"child{attempt}"]
                    and len(open_files_under(store_path)) == 2 * len(files))

        assert amid_writers(db, lambda: forked(child)) == 0, f"forked child {attempt} failed"

    def drop_inherited():
        nonlocal db
        db = None
        gc.collect()
        return zanth_vec.ZanthVec(store_path, num_shards=NUM_SHARDS).get_data([1]) == ["parent"]

    assert forked(drop_inherited) == 0
    assert open_files_under(store_path) == files
    assert db.get_data([1, 100, 101, 102, 2]) == ["parent", "child0", "child1", "child2", None]
    assert db.get_ids_from_filter((0, "x")).to_list() == []
