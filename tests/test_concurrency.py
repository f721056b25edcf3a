"""Concurrency: Python threads and spawned processes search, filter, read, count and write one
store at once for a bounded time. Every reader checks that each shard shows a batch entirely or
not at all and that the record count never goes backwards; afterwards every acknowledged batch
must be complete. A forked child must refuse the parent's handle and work with its own, and
dropping the inherited handle there must leave the parent alone.

ZANTH_STRESS_SECONDS sets how long the mixed phase runs (3 s by default).
"""
import concurrent.futures
import gc
import math
import multiprocessing
import os
import threading
import time

import numpy as np
import pytest

import concurrency_workers as cw
import workload
import zanth_vec
from conftest import open_files_under
from store_model import shard_of_id

SECONDS = float(os.environ.get("ZANTH_STRESS_SECONDS", "3"))
NUM_SHARDS = 4


def run_mixed(path, kinds, seconds, delete_every=0):
    """Two writer threads, two reader threads, two writer processes and one reader process.
    Returns {writer: acknowledged batch numbers} and the number of reader checks."""
    ctx = multiprocessing.get_context("spawn")
    results, errors = {}, []
    thread_writers, process_writers = [0, 1], [2, 3]
    writers = thread_writers + process_writers
    with concurrent.futures.ProcessPoolExecutor(max_workers=3, mp_context=ctx) as processes:
        # Spawned interpreters need a moment to start; the deadline leaves them time to work.
        deadline = time.time() + seconds + 1.5
        futures = {w: processes.submit(cw.write_batches, path, NUM_SHARDS, w, deadline, kinds,
                                       delete_every) for w in process_writers}
        reader_future = processes.submit(cw.read_and_check, path, NUM_SHARDS, deadline, kinds,
                                         writers, not delete_every)

        def guarded(name, fn, *args):
            try:
                results[name] = fn(*args)
            except BaseException as e:  # noqa: BLE001 - reported by the main thread
                errors.append((name, e))

        threads = [threading.Thread(target=guarded, args=(w, cw.write_batches, path, NUM_SHARDS, w,
                                                           deadline, kinds, delete_every))
                   for w in thread_writers]
        threads += [threading.Thread(target=guarded, args=(f"reader{i}", cw.read_and_check, path,
                                                           NUM_SHARDS, deadline, kinds, writers,
                                                           not delete_every))
                    for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=seconds + 120)
            assert not t.is_alive(), "a thread did not finish in time"
        assert not errors, errors
        for w, future in futures.items():
            results[w] = future.result(timeout=120)
        results["reader_process"] = reader_future.result(timeout=120)
    acknowledged = {w: results[w] for w in writers}
    checks = sum(v for k, v in results.items() if str(k).startswith("reader"))
    return acknowledged, checks


def verify_batches(db, kinds, acknowledged):
    """Every acknowledged batch complete; returns the expected record count."""
    ids, objects, entries = [], [], []
    vectors_per_shard = [0] * NUM_SHARDS
    for writer, numbers in acknowledged.items():
        for number in numbers:
            b_ids, b_objects, _, b_entries = cw.batch(writer, number)
            ids += b_ids
            objects += b_objects
            entries += b_entries
            for rid in b_ids:
                vectors_per_shard[shard_of_id(rid, NUM_SHARDS)] += 1
    assert db.get_data(ids) == objects, "an acknowledged object is missing or wrong"
    blocks = 0
    if "vectors" in kinds:
        found = sorted(rid for _, rid in db.search_flat(cw.QUERY, k=2**64 - 1))
        assert found == sorted(ids), "an acknowledged vector is missing or doubled"
        blocks = sum(math.ceil(n / 256) for n in vectors_per_shard)
    index_records = 0
    if "index" in kinds:
        for tag in cw.TAGS:
            want = sorted(rid for key, rid in entries if key == tag)
            assert sorted(db.get_ids_from_filter((0, tag)).to_list()) == want
        index_records = len(entries)
    return len(ids) + blocks + index_records


def test_threads_and_processes_share_one_store(tmp_path):
    path = str(tmp_path / "store")
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS)
    kinds = list(workload.KINDS)
    acknowledged, checks = run_mixed(path, kinds, SECONDS)
    total = sum(len(v) for v in acknowledged.values())
    print(f"kinds {kinds}: {total} acknowledged batches, {checks} reader checks")
    assert all(acknowledged.values()), "a writer completed no batch"
    assert checks > 0
    # Appends only: the count is exactly objects + full-or-topped-up blocks + index records.
    assert db.get_data_count() == verify_batches(db, kinds, acknowledged)


def test_deletes_and_compaction_keep_batches_whole(tmp_path):
    path = str(tmp_path / "store")
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS)
    kinds = list(workload.KINDS)
    acknowledged, checks = run_mixed(path, kinds, SECONDS / 2, delete_every=2)
    assert checks > 0
    db.compact_vectors(cw.DIM)
    verify_batches(db, kinds, acknowledged)
    # Deleted batches left nothing behind.
    gone = [rid for w in acknowledged for b in range(0, max(acknowledged[w], default=0) + 1, 2)
            for rid in cw.batch(w, b)[0]]
    assert db.get_data(gone) == [None] * len(gone)


def _wait_child(pid, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    pytest.fail("forked child hung")


INHERITED_CALLS = [
    lambda db: db.get_data([1]),
    lambda db: db.store_data(["child"], [2]),
    lambda db: db.delete_data([1]),
    lambda db: db.get_data_count(),
    lambda db: db.store_flat_vectors(np.zeros((1, cw.DIM), np.float32), [2]),
    lambda db: db.delete_flat_vectors([1], cw.DIM),
    lambda db: db.compact_vectors(cw.DIM),
    lambda db: db.search_flat(cw.QUERY, k=1),
    lambda db: db.batch_index_insert([("x", 2)]),
    lambda db: db.batch_index_delete([("x", 2)]),
    lambda db: db.get_ids_from_filter((0, cw.TAGS[0])),
]


def refuses_every_call(db):
    """In a forked child: every method of the parent's handle raises RuntimeError naming fork(),
    and close() still works."""
    for call in INHERITED_CALLS:
        try:
            call(db)
            return False
        except RuntimeError as e:
            if "fork" not in str(e):
                return False
    return db.close() is None


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork() with threads running
def test_forked_child_opens_the_store_anew_while_parent_threads_work(tmp_path):
    path = str(tmp_path / "store")
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS)
    db.store_data(["parent"], [1])
    stop = threading.Event()
    errors = []

    def busy(writer):
        try:
            number = 0
            while not stop.is_set():
                ids, objects, vectors, entries = cw.batch(writer, number)
                db.store_data(objects, ids)
                db.store_flat_vectors(vectors, ids)
                db.search_flat(cw.QUERY, k=5)
                db.batch_index_insert(entries)
                db.get_data(ids)
                number += 1
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=busy, args=(w,)) for w in (5, 6)]
    for t in threads:
        t.start()
    try:
        for attempt in range(3):
            time.sleep(0.05)
            pid = os.fork()
            if pid == 0:  # child: no pytest machinery from here on, only an exit code
                code = 1
                try:
                    if not refuses_every_call(db):
                        code = 2
                    else:
                        own = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS)
                        own.store_data([f"child{attempt}"], [100 + attempt])
                        if own.get_data([1, 100 + attempt]) == ["parent", f"child{attempt}"]:
                            code = 0
                        own.search_flat(cw.QUERY, k=3)
                finally:
                    os._exit(code)
            assert _wait_child(pid) == 0, f"forked child {attempt} failed"
    finally:
        stop.set()
        for t in threads:
            t.join(timeout=60)
    assert not errors, errors
    assert db.get_data([1, 100, 101, 102]) == ["parent", "child0", "child1", "child2"]
    assert db.get_data([2]) == [None] and db.get_ids_from_filter((0, "x")).to_list() == []


def test_child_dropping_the_inherited_handle_leaves_the_parent_alone(tmp_path):
    path = str(tmp_path / "store")
    db = zanth_vec.ZanthVec(path, num_shards=2)
    db.store_data(list(range(100)), list(range(100)))
    files_before = sorted(open_files_under(path))
    for _ in range(3):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                del db
                gc.collect()
                again = zanth_vec.ZanthVec(path, num_shards=2)
                code = 0 if again.get_data([5]) == [5] else 3
                del again
                gc.collect()
            finally:
                os._exit(code)
        assert _wait_child(pid) == 0
    assert sorted(open_files_under(path)) == files_before
    assert db.get_data(list(range(100))) == list(range(100))
    db.delete_data(list(range(50)))
    assert db.get_data_count() == 50
