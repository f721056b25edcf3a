"""Sketch files beside the store (sketches/shard_<n>.<dim>) are a cache every process maps: a
damaged, cut, stale or half-written file is never used, processes that publish at once or are
killed while publishing leave a sound file or none, a store whose files cannot be written
searches from private memory, and every answer is the one a handle without sketches gives.

A fresh handle has no sketch in memory, so its first search prunes without sketching a record
(take_prune_counts(): bounded > 0, sketched == 0) only when it mapped a published file: that is
how these tests see whether a file was used. A file's chunks are checked as a search first
reads them: one damaged chunk is scored exactly and the sketch is dropped, so the next search
sketches anew."""
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import zanth_vec
from conftest import run_isolated

SHARDS = 2
DIM = 128
HEADER = 4096


def make_store(path, n=4000, seed=0):
    rng = np.random.default_rng(seed)
    store = zanth_vec.ZanthVec(path, num_shards=SHARDS)
    store.store_flat_vectors(rng.standard_normal((n, DIM)).astype(np.float32), list(range(n)))
    return store, rng.standard_normal((8, DIM)).astype(np.float32)


def sketch_dir(path):
    return os.path.join(path, "sketches")


def files(path):
    """{name: bytes} of the published files (temporaries start with a dot)."""
    d = sketch_dir(path)
    if not os.path.isdir(d):
        return {}
    return {n: open(os.path.join(d, n), "rb").read() for n in os.listdir(d) if not n.startswith(".")}


def wait_published(path, count=SHARDS, timeout=30.0, unlike=None):
    """The published files once `count` exist (and none equals `unlike`'s bytes)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        found = files(path)
        if len(found) == count and not (unlike and any(found[n] == unlike.get(n) for n in found)):
            return found
        time.sleep(0.02)
    raise AssertionError(f"not published: {sorted(files(path))}")


def exact(path, queries, k=10):
    reference = zanth_vec.ZanthVec(path, num_shards=SHARDS)
    reference.set_sketch_budget(0)
    return [reference.search_flat(q, k=k) for q in queries]


def mapped_and_other(path, n=4000):
    """A store searched once by a handle whose sketches are then the files' mappings, and
    another handle that keeps no sketch."""
    store, queries = make_store(path, n)
    store.search_flat(queries[0])
    store.sketch_memory()  # waits until the sketches are the files' mappings
    other = zanth_vec.ZanthVec(path, num_shards=SHARDS)
    other.set_sketch_budget(0)
    return store, queries, other


def fresh_first_search(path, queries, k=10, sketched_by_two=None):
    """A new handle's answers and whether its first search used the files: it pruned without
    sketching a record. `sketched_by_two` (a list) receives what its first two searches
    sketched."""
    handle = zanth_vec.ZanthVec(path, num_shards=SHARDS)
    answers, counts = [], []
    for q in queries:
        answers.append(handle.search_flat(q, k=k))
        counts.append(handle.take_prune_counts())
    if sketched_by_two is not None:
        sketched_by_two.append(counts[0][2] + counts[1][2])
    return answers, counts[0][0] > 0 and counts[0][2] == 0


def flip(at):
    return lambda b: b[:at] + bytes([b[at] ^ 0x10]) + b[at + 1:]


# Offsets into a file of 2000 records at DIM: codes at 4096, then meta, then ids, 4 KiB aligned,
# then the table of the 8 chunks' hashes.
META = HEADER + (2000 * DIM + 4095) // 4096 * 4096
TABLE = 8 * 8
DAMAGES = {
    "magic": flip(0),
    "transaction id": flip(8 + 4 + 4 + 8 + 8),
    "hash field": flip(8 + 8 + 10 * 8),
    "header padding": flip(2000),
    "first code": flip(HEADER),
    "last code": flip(HEADER + 2000 * DIM - 1),
    "a residual norm": flip(META + 12 * 777 + 9),
    "last id": flip(-TABLE - 1),
    "a chunk hash": flip(-TABLE + 11),
    "padding before the ids": flip(META + 12 * 2000 + 5),
    "cut by one byte": lambda b: b[:-1],
    "cut to the header": lambda b: b[:HEADER],
    "empty": lambda b: b"",
    "one byte longer": lambda b: b + b"\0", }


@pytest.mark.parametrize("damage", DAMAGES)
def test_a_damaged_file_is_never_used_and_is_rebuilt(tmp_path, damage):
    path = str(tmp_path)
    store, queries = make_store(path)
    store.search_flat(queries[0])
    good = wait_published(path)
    assert fresh_first_search(path, queries)[1]  # the sound files are used
    for name, data in good.items():
        with open(os.path.join(sketch_dir(path), name), "wb") as f:  # in place, as a stray write
            f.write(DAMAGES[damage](data))
    sketched = []
    answers, _ = fresh_first_search(path, queries, sketched_by_two=sketched)
    assert answers == exact(path, queries) and sketched[0] > 0
    # The shards were sketched anew and published again, byte for byte.
    assert wait_published(path, unlike={n: DAMAGES[damage](d) for n, d in good.items()}) == good
    assert fresh_first_search(path, queries) == (answers, True)


def test_a_file_of_another_snapshot_is_not_used(tmp_path):
    path = str(tmp_path)
    store, queries = make_store(path)
    store.search_flat(queries[0])
    old = wait_published(path)
    # Another process appends to both shards and deletes (ids of the old files go dead).
    run_isolated("""
        z = zanth_vec.ZanthVec(path, num_shards=2)
        z.store_flat_vectors(np.full((2, 128), 0.5, np.float32), [10**6, 10**6 + 1])
        z.delete_flat_vectors([1, 2, 3], 128)
        """, path=path)
    for name, data in old.items():  # the old files put back over whatever is there
        with open(os.path.join(sketch_dir(path), name), "wb") as f:
            f.write(data)
    answers, pruned = fresh_first_search(path, queries)
    assert not pruned and answers == exact(path, queries)
    assert all(i not in (1, 2, 3) for a in answers for _, i in a)
    # A store made anew at the same path with the same history gets new data files: the files
    # of the old one do not describe it, though transaction ids and counts match.
    del store
    old = wait_published(path, unlike=old)
    for shard in range(SHARDS):
        os.replace(os.path.join(path, f"shard_{shard}"), os.path.join(path, f"gone_{shard}"))
    remade, _ = make_store(path, seed=1)
    run_isolated("""
        z = zanth_vec.ZanthVec(path, num_shards=2)
        z.store_flat_vectors(np.full((2, 128), 0.5, np.float32), [10**6, 10**6 + 1])
        z.delete_flat_vectors([1, 2, 3], 128)
        """, path=path)
    for name, data in old.items():
        with open(os.path.join(sketch_dir(path), name), "wb") as f:
            f.write(data)
    answers, pruned = fresh_first_search(path, queries)
    assert not pruned and answers == exact(path, queries)


def test_files_name_the_data_files_their_handle_opened(tmp_path, monkeypatch):
    """Files go under the store's absolute path and name the data files the handle opened: a
    chdir, or the store made anew at the path (in freed inodes too) while a handle of the old
    one searches, never lends one store's sketch to another."""
    (tmp_path / "x").mkdir()
    monkeypatch.chdir(tmp_path / "x")
    old, queries = make_store("s")  # a relative path
    monkeypatch.chdir(tmp_path)
    make_store("s", seed=1)  # another store, which "s" names from here
    shutil.rmtree(tmp_path / "x" / "s")
    make_store(str(tmp_path / "x" / "s"), seed=2)  # same history, other vectors
    old.search_flat(queries[0])
    old.sketch_memory()  # published
    for path in (str(tmp_path / "s"), str(tmp_path / "x" / "s")):
        answers, _ = fresh_first_search(path, queries)
        assert answers == exact(path, queries), path


def test_a_commit_of_no_vectors_renames_the_files_in_place(tmp_path):
    path = str(tmp_path)
    store, queries = make_store(path)
    store.search_flat(queries[0])
    old = wait_published(path)
    store.sketch_memory()  # waits until the sketches are the files' mappings
    inodes = {n: os.stat(os.path.join(sketch_dir(path), n)).st_ino for n in old}
    store.store_data([{"a": 1}, {"a": 2}, {"a": 3}], [1, 2, 3])
    store.batch_index_insert([("k", i) for i in range(0, 4000, 7)])
    now = files(path)
    # The same files, their headers naming the shards' new snapshots: a new process prunes
    # from its first search.
    assert {n: os.stat(os.path.join(sketch_dir(path), n)).st_ino for n in now} == inodes
    assert all(now[n][HEADER:] == old[n][HEADER:] for n in now) and now != old
    answers, pruned = fresh_first_search(path, queries)
    assert pruned and answers == exact(path, queries)


@pytest.mark.parametrize("write", ["delete", "append", "replace"])
def test_own_vector_writes_are_published_within_the_budget(tmp_path, write):
    """A sketch that follows this handle's vector commits is published again once the pause
    after the last file write is over (or the handle is let go, or asked for its memory), so a
    new handle prunes from its first search; and a budget that holds one shard's sketch but not two is
    never exceeded, whatever the following and privatising ask for."""
    path = str(tmp_path)
    store, queries = make_store(path)
    store.search_flat(queries[0])
    before = wait_published(path)
    store.sketch_memory()  # waits until the sketches are the files' mappings
    written = time.monotonic()
    ids, rows = [5, 1500, 2001], np.full((3, DIM), 0.5, np.float32)
    for step in range(3):  # the files were just written: these commits' sketches are deferred
        if write == "delete":
            store.delete_flat_vectors(ids[step:step + 1], DIM)
        elif write == "append":
            store.store_flat_vectors(rows[step:step + 1], [9000 + step])
        else:
            store.write_batch(ids[step:step + 1], vectors=rows[step:step + 1],
                              vector_deletes=ids[step:step + 1], dim=DIM)
        store.search_flat(queries[1])
    time.sleep(0.2)
    pid = os.fork()  # a child lets go of the handle while the publisher waits for its time
    if pid == 0:
        del store
        os._exit(0)
    deadline = time.monotonic() + 20
    while not os.waitpid(pid, os.WNOHANG)[0]:
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            pytest.fail("a forked child hung letting go of its parent's handle")
        time.sleep(0.05)
    if time.monotonic() - written < 4:  # well inside the pause after a file is written
        assert files(path) == before
    if write == "append":
        del store  # a handle let go publishes what it deferred
        store = zanth_vec.ZanthVec(path, num_shards=SHARDS)
    else:
        store.sketch_memory()  # publishes what is deferred, and waits for it
    assert files(path) != before
    assert fresh_first_search(path, queries) == (exact(path, queries), True)
    store.search_flat(queries[0])
    budget = store.sketch_memory() * 3 // 4
    tight = zanth_vec.ZanthVec(path, num_shards=SHARDS)
    tight.set_sketch_budget(budget)
    for i, q in enumerate(queries):
        if i % 2:  # the files stay this snapshot's, or this handle's commit moves them on
            tight.store_flat_vectors(q.reshape(1, DIM), [10**6 + i])
        assert tight.search_flat(q) == exact(path, [q])[0]
        assert 0 < tight.sketch_memory() <= budget


def test_after_another_handle_writes_the_files_unchanged_chunks_are_taken_over(tmp_path):
    """After another handle appends to both shards, deletes in a middle block or does both, the
    searching handle's first search, and a new handle's, sketch only the blocks that changed
    (the rest of the stale file's chunks are taken over), the next one sketches nothing, both answer as the full scan,
    and the file published for the new snapshot serves a new handle from its first search."""
    path = str(tmp_path)
    store, queries, other = mapped_and_other(path)
    append = lambda i: other.store_flat_vectors(np.full((2, DIM), 0.01 * i, np.float32),
                                                [10**6 + 2 * i, 10**6 + 2 * i + 1])
    delete = lambda i: other.delete_flat_vectors([500 + i, 1100 + i], DIM)
    for i, writes in enumerate(((append,), (delete,), (append, delete))):
        before = files(path)
        for write in writes:
            write(i)
        fresh = zanth_vec.ZanthVec(path, num_shards=SHARDS)  # a handle new to the stale files
        for handle in (fresh, store):
            handle.take_prune_counts()
        for search, q in enumerate(queries[:2]):
            assert fresh.search_flat(q) == other.search_flat(q)
            bounded, _, sketched = fresh.take_prune_counts()
            assert bounded > 0 and (0 < sketched <= 2 * 256 * SHARDS if search == 0 else sketched == 0)
        del fresh  # publishes its sketch: the searching handle may map that file instead
        for search, q in enumerate(queries[:2]):
            assert store.search_flat(q) == other.search_flat(q)
            bounded, _, sketched = store.take_prune_counts()
            assert bounded > 0 and sketched <= (2 * 256 * SHARDS if search == 0 else 0)
        store.sketch_memory()
        assert files(path) != before
        assert fresh_first_search(path, queries) == ([other.search_flat(q) for q in queries], True)


def test_chunks_before_a_compaction_are_copied_from_a_file_much_larger(tmp_path):
    """Another handle drops the last quarter of every shard: the file's sketch is too large to
    map over, so the searching handle copies the chunks that stayed and sketches the rest."""
    path = str(tmp_path)
    store, queries, other = mapped_and_other(path)
    other.delete_flat_vectors(list(range(3000, 4000)), DIM)
    assert other.compact_vectors(DIM) == 1000
    store.take_prune_counts()
    for search, q in enumerate(queries[:3]):
        assert store.search_flat(q) == other.search_flat(q)
        bounded, _, sketched = store.take_prune_counts()
        assert bounded > 0 and sketched <= (256 * SHARDS if search == 0 else 0)


def test_own_writes_after_a_takeover_from_a_file_answer_exactly(tmp_path):
    """A sketch that took over a file's chunks copy on write reads them from that file's mapping
    until it is published: this handle's deletes in such chunks and an append topping up such a
    block must stop that (here publishing fails, so the sketch stays so), or dead records would
    come back and appended ones would be read from the old file."""
    path = str(tmp_path)
    store, _, other = mapped_and_other(path)
    data = np.random.default_rng(0).standard_normal((4000, DIM)).astype(np.float32)
    os.rename(sketch_dir(path), os.path.join(path, "gone"))  # the mappings stay; no file is
    open(sketch_dir(path), "w").close()                      # written from here on
    other.delete_flat_vectors([1500, 1501], DIM)  # a middle block of each shard changes
    new = data[[7, 8, 9]] * 3
    queries = [data[10], data[11], data[3999], new[0], new[2]]
    for step in ("taken over", "own delete", "own append"):
        if step == "own delete":
            store.delete_flat_vectors([10, 11], DIM)
        elif step == "own append":
            store.store_flat_vectors(new, [5000, 5001, 5002])
        for q in queries:
            assert store.search_flat(q) == other.search_flat(q), step
        assert store.take_prune_counts()[0] > 0


PUBLISHER = """
import os, sys, numpy as np, zanth_vec
z = zanth_vec.ZanthVec(sys.argv[1], num_shards=2)
if len(sys.argv) > 2:  # a new snapshot of both shards: the files there are stale
    z.store_flat_vectors(np.ones((2, 128), np.float32), [int(sys.argv[2]), int(sys.argv[2]) + 1])
z.search_flat(np.ones(128, np.float32), k=5)
print("searched", flush=True)
del z  # waits for the publishing threads
print("published", flush=True)
sys.stdin.read()
"""


def whole(data):
    """Whether a file is as long as its header says (a torn write would not be)."""
    return len(data) >= HEADER and len(data) == struct.unpack_from("<Q", data, 16 + 9 * 8)[0]


def test_processes_killed_while_publishing_leave_the_old_file_or_none(tmp_path):
    path = str(tmp_path)
    store, queries = make_store(path, n=60000)
    del store
    strays = 0
    for attempt in range(12):
        # Even attempts publish into an empty folder, odd ones over the files of the snapshot
        # before their own append.
        if attempt % 2 == 0 and os.path.isdir(sketch_dir(path)):
            for name in files(path):
                os.remove(os.path.join(sketch_dir(path), name))
        extra = [] if attempt % 2 == 0 else [str(10**6 + 2 * attempt)]
        child = subprocess.Popen([sys.executable, "-c", PUBLISHER, path, *extra],
                                 stdout=subprocess.PIPE, stdin=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "searched\n"
        time.sleep(attempt % 6 * 0.003)
        child.send_signal(signal.SIGKILL)
        child.wait()
        names = os.listdir(sketch_dir(path)) if os.path.isdir(sketch_dir(path)) else []
        strays += sum(n.startswith(".") for n in names)
        assert all(whole(data) for data in files(path).values())
        answers, _ = fresh_first_search(path, queries)
        assert answers == exact(path, queries)
    assert strays > 0  # some kill did land amid a write
    # Publishing removes the temporaries of processes that are gone.
    for name in files(path):
        os.remove(os.path.join(sketch_dir(path), name))
    zanth_vec.ZanthVec(path, num_shards=SHARDS).search_flat(queries[0])
    wait_published(path)
    assert not [n for n in os.listdir(sketch_dir(path)) if n.startswith(".")]


def test_processes_publishing_one_shard_at_once(tmp_path):
    path = str(tmp_path)
    store, queries = make_store(path, n=30000)
    del store
    children = [subprocess.Popen([sys.executable, "-c", PUBLISHER, path], stdout=subprocess.PIPE,
                                 stdin=subprocess.PIPE, text=True) for _ in range(4)]
    for child in children:
        assert child.stdout.readline() == "searched\n"
        assert child.stdout.readline() == "published\n"
        child.stdin.close()
        assert child.wait() == 0
    assert sorted(os.listdir(sketch_dir(path))) == [f"shard_{s}.{DIM}" for s in range(SHARDS)]
    answers, pruned = fresh_first_search(path, queries)
    assert pruned and answers == exact(path, queries)


FULL_DISK = """
import json, resource, signal
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))  # the files need ~600 KiB
handle = zanth_vec.ZanthVec(path, num_shards=2)
answers = [handle.search_flat(np.array(q, np.float32)) for q in queries]
handle.take_prune_counts()
again = [handle.search_flat(np.array(q, np.float32)) for q in queries]
print(json.dumps([answers, again, handle.take_prune_counts()[0], handle.sketch_memory()]))
"""


@pytest.mark.parametrize("how", ["read-only directory", "sketches is a file", "full disk"])
def test_a_store_whose_files_cannot_be_written_searches_from_memory(tmp_path, how):
    path = str(tmp_path / "store")
    store, queries = make_store(path)
    del store
    if how == "full disk":  # a process that may write no file past 64 KiB
        answers, again, bounded, memory = json.loads(
            run_isolated(FULL_DISK, path=path, queries=queries.tolist()))
        assert bounded > 0 and memory > 0
        assert [[tuple(h) for h in a] for a in answers] == [[tuple(h) for h in a] for a in again] \
            == exact(path, queries)
        assert not os.path.isdir(sketch_dir(path)) or not os.listdir(sketch_dir(path))
        return
    if how == "sketches is a file" or os.geteuid() == 0:  # root writes into read-only folders
        open(sketch_dir(path), "w").close()
    else:
        os.chmod(path, 0o555)
    try:
        handle = zanth_vec.ZanthVec(path, num_shards=SHARDS)
        answers = [handle.search_flat(q) for q in queries]
        handle.take_prune_counts()
        assert [handle.search_flat(q) for q in queries] == answers == exact(path, queries)
        assert handle.take_prune_counts()[0] > 0 and handle.sketch_memory() > 0
        del handle
        assert not os.path.isdir(sketch_dir(path))
        assert subprocess.run([sys.executable, "-m", "zanth", "verify", path],
                              capture_output=True).returncode == 0
    finally:
        os.chmod(path, 0o755)


@pytest.mark.parametrize("writer", ["this handle", "another handle"])
def test_a_chunk_shared_with_a_new_block_is_not_read_from_the_replaced_file(tmp_path, writer):
    """Records of another dimension start a new block inside a shard's last chunk. The search
    that takes the chunk's first block over from the file (this handle's, or a new handle's)
    must read the new block from the sketch it built, never from the file, which holds nothing
    at those positions."""
    path = str(tmp_path)
    store, queries, other = mapped_and_other(path, n=300)  # 150 records a shard: one block, part of a chunk
    half = (DIM - 2) // 2  # two records of `half` values make one of DIM
    pair = np.random.default_rng(1).standard_normal((2, half)).astype(np.float32) * 5
    (store if writer == "this handle" else other).store_flat_vectors(pair, [10**6, 10**6 + SHARDS])
    fresh = zanth_vec.ZanthVec(path, num_shards=SHARDS)  # takes over from the stale files
    for q in list(queries) + [-q for q in queries]:
        want = other.search_flat(q, k=3)
        assert store.search_flat(q, k=3) == want and fresh.search_flat(q, k=3) == want
