"""batch_index_insert / batch_index_delete: conversion, on-disk records, routing, failures."""
import hashlib
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import zanth_vec
from conftest import read_shard


def shard_of_key(key, num_shards):
    return int.from_bytes(hashlib.md5(key.encode()).digest(), "big") % num_shards


def record_key(key, ident):
    return key.encode() + b"|" + struct.pack("<q", ident)


def keys_for_shard(shard, num_shards, count, prefix="k"):
    found, i = [], 0
    while len(found) < count:
        k = f"{prefix}{i}"
        if shard_of_key(k, num_shards) == shard:
            found.append(k)
        i += 1
    return found


def all_records(path, num_shards):
    return {s: read_shard(path, s) for s in range(num_shards)}


# --- entry conversion ---------------------------------------------------------------------


@pytest.mark.parametrize("method", ["batch_index_insert", "batch_index_delete"])
@pytest.mark.parametrize(
    "entries, exc",
    [
        ("color:red", TypeError),
        (42, TypeError),
        ({("a", 1)}, TypeError),
        ([("a", 1), ["b", 2]], TypeError),  # a list element, not a tuple
        ([("a", 1), ("b", 2, 3)], ValueError),
        ([("a", 1), ("b",)], ValueError),
        ([("a", 1), (b"b", 2)], TypeError),
        ([("a", 1), ("b", 2.0)], TypeError),
        ([("a", 1), ("b", "2")], TypeError),
        ([("a", 1), ("b", 2**63)], OverflowError),
        ([("a", 1), ("b", -(2**63) - 1)], OverflowError),
        ([("a", 1), ("x" * 503, 2)], ValueError),
        ([("a", 1), ("é" * 252, 2)], ValueError),  # 504 UTF-8 bytes from 252 characters
        ([("a", 1), ("\ud800", 2)], UnicodeEncodeError),
    ],
)
def test_bad_entries_reject_the_whole_batch(open_store, store_path, method, entries, exc):
    store = open_store(num_shards=3)
    store.batch_index_insert([("keep", 7)])
    with pytest.raises(exc) as info:
        getattr(store, method)(entries)
    if exc is TypeError:
        assert "entries" in str(info.value)
    del store
    # Nothing of the batch was written or deleted: only the earlier record remains.
    records = [k for s in range(3) for k, _ in read_shard(store_path, s)]
    assert records == [record_key("keep", 7)]


def test_entries_accepts_tuples_of_pairs_index_ints_and_keywords(store):
    store.batch_index_insert(entries=(("a", np.int64(3)), ("a", True)))
    assert sorted(store.get_ids_from_filter((0, "a")).to_list()) == [1, 3]
    with pytest.raises(TypeError):
        store.batch_index_insert()
    with pytest.raises(TypeError):
        store.batch_index_insert([("a", 1)], wrong=1)


# --- records on disk and shard placement ----------------------------------------------------


def test_record_layout_and_md5_shard(open_store, store_path):
    store = open_store(num_shards=5)
    store.batch_index_insert([("color:red", 5), ("", -2), ("x" * 502, 9), ("größe:xl", 1)])
    del store
    shards = all_records(store_path, 5)
    assert (b"color:red|\x05" + b"\x00" * 7, b"") in shards[2]
    assert (b"|" + b"\xfe" + b"\xff" * 7, b"") in shards[1]
    long_key = record_key("x" * 502, 9)
    assert len(long_key) == 511
    assert (long_key, b"") in shards[shard_of_key("x" * 502, 5)]
    assert (record_key("größe:xl", 1), b"") in shards[shard_of_key("größe:xl", 5)]
    assert sum(len(v) for v in shards.values()) == 4


@pytest.mark.parametrize("num_shards", [1, 4, 7])
def test_many_keys_spread_by_md5_and_share_a_shard_per_key(open_store, store_path, num_shards):
    store = open_store(num_shards=num_shards)
    entries = [(f"tag:{k}", i) for k in range(60) for i in range(k % 4 + 1)]
    store.batch_index_insert(entries)
    del store
    seen = {}
    for s in range(num_shards):
        keys = [k for k, _ in read_shard(store_path, s)]
        assert keys == sorted(keys)
        for k in keys:
            text = k[:-9].decode()
            assert shard_of_key(text, num_shards) == s
            seen.setdefault(text, set()).add(struct.unpack("<q", k[-8:])[0])
    assert seen == {f"tag:{k}": set(range(k % 4 + 1)) for k in range(60)}


def test_records_persist_across_reopen(open_store):
    store = open_store(num_shards=4)
    store.batch_index_insert([("color:red", 1), ("color:red", 2)])
    del store
    store = open_store(num_shards=4)
    assert sorted(store.get_ids_from_filter((0, "color:red")).to_list()) == [1, 2]


# --- duplicates and deletes -----------------------------------------------------------------


def test_duplicates_give_one_record_and_one_delete_removes_it(open_store, store_path):
    store = open_store(num_shards=3)
    store.batch_index_insert([("a", 1), ("a", 1), ("b", 1)])
    store.batch_index_insert([("a", 1)])
    assert store.get_data_count() == 2
    store.batch_index_delete([("a", 1), ("never", 5), ("a", 99)])
    assert store.get_ids_from_filter((0, "a")).to_list() == []
    assert store.get_ids_from_filter((0, "b")).to_list() == [1]
    store.batch_index_delete([("a", 1)])  # already gone: not an error
    store.batch_index_insert([])
    store.batch_index_delete([])
    del store
    records = [k for s in range(3) for k, _ in read_shard(store_path, s)]
    assert records == [record_key("b", 1)]


def test_index_records_leave_objects_alone(open_store):
    store = open_store(num_shards=2)
    store.store_data(["obj"], [124])  # id key begins with 0x7C, like the record of key ""
    store.batch_index_insert([("", 3)])
    assert store.get_ids_from_filter((0, "")).to_list() == [3]
    store.batch_index_delete([("", 3)])
    assert store.get_data([124]) == ["obj"]


# --- zero shards ---------------------------------------------------------------------------


def test_zero_shards(open_store):
    store = open_store(num_shards=0)
    with pytest.raises(ValueError):
        store.batch_index_insert([("a", 1)])
    assert store.batch_index_insert([]) is None
    assert store.batch_index_delete([("a", 1)]) is None
    for tree in [(0, "a"), (1, "a:", "a:z"), (4, (0, "a"))]:
        result = store.get_ids_from_filter(tree)
        assert len(result) == 0 and result.to_list() == []


# --- storage failures ----------------------------------------------------------------------


def test_full_shard_is_aborted_and_the_others_commit(open_store, store_path):
    store = open_store(num_shards=2, map_size=1 << 16)
    big_key = keys_for_shard(0, 2, 1, prefix="big")[0] + "x" * 300
    while shard_of_key(big_key, 2) != 0:
        big_key += "x"
    small_key = keys_for_shard(1, 2, 1, prefix="small")[0]
    entries = [(big_key, i) for i in range(5000)] + [(small_key, 1)]
    with pytest.raises(OSError, match=r"^LMDB: MDB_MAP_FULL"):
        store.batch_index_insert(entries)
    assert store.get_ids_from_filter((0, small_key)).to_list() == [1]
    assert store.get_ids_from_filter((0, big_key)).to_list() == []
    del store
    assert read_shard(store_path, 0) == []
    assert read_shard(store_path, 1) == [(record_key(small_key, 1), b"")]


HOLD_READERS = """
import lmdb, sys
env = lmdb.open(sys.argv[1], max_readers=2048, readonly=True)
held = [env.begin() for _ in range(2048)]
print("ready", flush=True)
sys.stdin.read()
"""


def test_unreadable_shard_raises_panic_with_lmdb_error_name(open_store, store_path):
    """Another process holds every reader slot of shard 0: read transactions cannot begin."""
    store = open_store(num_shards=2)
    key0 = keys_for_shard(0, 2, 1)[0]
    key1 = keys_for_shard(1, 2, 1)[0]
    store.batch_index_insert([(key0, 1), (key1, 2)])
    holder = subprocess.Popen([sys.executable, "-c", HOLD_READERS,
                               os.path.join(store_path, "shard_0")],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "ready"
        for tree in [(0, key0), (1, "k", "kz"), (2, [(0, key1), (0, key0)])]:
            with pytest.raises(zanth_vec.PanicException, match=r"^RO txn: ReadersFull$"):
                store.get_ids_from_filter(tree)
        # The shard that was not touched still answers.
        assert store.get_ids_from_filter((0, key1)).to_list() == [2]
    finally:
        holder.communicate("", timeout=60)
    assert store.get_ids_from_filter((0, key0)).to_list() == [1]
    assert issubclass(zanth_vec.PanicException, BaseException)
    assert not issubclass(zanth_vec.PanicException, Exception)
