"""batch_index_insert / batch_index_delete: conversion, on-disk records, routing, duplicates.
Storage failures are in test_fault_injection.py and test_store_failures.py."""

import numpy as np
import pytest

from conftest import read_shard
from store_model import index_record_key as record_key, index_shard as shard_of_key


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
