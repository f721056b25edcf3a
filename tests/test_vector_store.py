"""store_flat_vectors: the block format byte for byte, topping up across calls, routing and
order, neighbours in the key range, strided input, and the failures that must write nothing
(a full map: test_fault_injection.py)."""

import gc

import numpy as np
import pytest

from conftest import read_shard
from vector_layout import INT64_MIN, BlockModel, disk_blocks, record

# --- block format ------------------------------------------------------------------------


def test_record_and_key_bytes(open_store, store_path):
    store = open_store(num_shards=1)
    store.store_flat_vectors(np.array([[1.0, -2.0]], dtype=np.float32), [5])
    del store
    gc.collect()
    assert read_shard(store_path, 0) == [
        (bytes.fromhex("7000000000"), bytes.fromhex("0500000000000000 0000803f 000000c0"))]


def test_appends_across_calls_follow_the_model(open_store, store_path, rng):
    """Routing by |id| mod shards (extremes included), input order per shard, full blocks of
    256, the last block topped up by every call (255, 256, then 257 records, and sizes across
    the block boundary), on five shards."""
    dim, shards = 4, 5
    model = BlockModel(shards, dim)
    for size in [1, 254, 1, 1, 0, 300, 1023, 7, 256]:
        ids = [int(i) for i in rng.integers(-2**63, 2**63, size=size, dtype=np.int64)]
        if size == 7:
            ids[:5] = [INT64_MIN, 3, 3, 2**63 - 1, 0]  # a tombstone-looking record, a duplicate
        data = rng.standard_normal((size, dim)).astype(np.float32)
        store = open_store(num_shards=shards)
        assert store.store_flat_vectors(data, ids) is None
        del store
        model.store(data, ids)
        for s in range(shards):
            assert disk_blocks(store_path, s) == model.on_disk(s)


def test_dimension_zero_records_hold_ids_only(open_store, store_path):
    store = open_store(num_shards=1)
    store.store_flat_vectors(np.zeros((300, 0), np.float32), list(range(300)))
    del store
    blocks = disk_blocks(store_path, 0)
    assert blocks == {0: b"".join(i.to_bytes(8, "little") for i in range(256)),
                      1: b"".join(i.to_bytes(8, "little") for i in range(256, 300))}


# --- input forms ---------------------------------------------------------------------------


@pytest.mark.parametrize("view", ["every_second_row", "reversed_rows", "transposed",
                                  "fortran", "column_slice", "readonly"])
def test_strided_arrays_store_each_rows_own_values(open_store, store_path, rng, view):
    base = rng.standard_normal((40, 6)).astype(np.float32)
    data = {
        "every_second_row": base[::2],
        "reversed_rows": base[::-1],
        "transposed": np.ascontiguousarray(base.T).T,
        "fortran": np.asfortranarray(base),
        "column_slice": base[:, ::2],
        "readonly": base.copy(),
    }[view]
    if view == "readonly":
        data.flags.writeable = False
    ids = list(range(data.shape[0]))
    store = open_store(num_shards=1)
    store.store_flat_vectors(data, ids)
    del store
    assert disk_blocks(store_path, 0) == {0: b"".join(record(i, data[i]) for i in ids)}


def test_more_rows_than_ids_stores_the_first_rows(open_store, store_path):
    data = np.arange(12, dtype=np.float32).reshape(4, 3)
    store = open_store(num_shards=1)
    store.store_flat_vectors(data, np.array([9, 8], dtype=np.int64))
    del store
    assert disk_blocks(store_path, 0) == {0: record(9, data[0]) + record(8, data[1])}


def test_empty_ids_open_no_transaction(open_store, store_path):
    store = open_store(num_shards=2)
    assert store.store_flat_vectors(np.zeros((3, 2), np.float32), []) is None
    assert store.store_flat_vectors(np.zeros((0, 2), np.float32), ()) is None
    del store
    assert disk_blocks(store_path, 0) == {} and disk_blocks(store_path, 1) == {}


# --- failures ------------------------------------------------------------------------------


@pytest.mark.parametrize("data, ids, error, name", [
    ([[1.0, 2.0]], [1], TypeError, "data"),
    (np.zeros((2, 2), np.float64), [1, 2], TypeError, "data"),
    (np.zeros(2, np.float32), [1], TypeError, "data"),
    (np.zeros((1, 2, 2), np.float32), [1], TypeError, "data"),
    (np.zeros((2, 2), ">f4"), [1, 2], TypeError, "data"),
    (np.zeros((2, 2), np.int32), [1, 2], TypeError, "data"),
    (np.zeros((2, 2), np.float16), [1, 2], TypeError, "data"),
    (np.array(1.0, np.float32), [1], TypeError, "data"),
    (None, [1], TypeError, "data"),
    ("not an array", "not ids", TypeError, "data"),  # both wrong: data is reported
    (np.zeros((2, 2), np.float32), "12", TypeError, "identifiers"),
    (np.zeros((2, 2), np.float32), 12, TypeError, "identifiers"),
    (np.zeros((2, 2), np.float32), [1, "2"], TypeError, "identifiers"),
    (np.zeros((2, 2), np.float32), [1, 2**63], OverflowError, None),
    (np.zeros((2, 2), np.float32), [1, 2, 3], ValueError, None),  # more ids than rows
])
def test_argument_errors_write_nothing(open_store, store_path, data, ids, error, name):
    store = open_store(num_shards=2)
    with pytest.raises(error) as info:
        store.store_flat_vectors(data, ids)
    if name:
        assert name in str(info.value)
    del store
    assert disk_blocks(store_path, 0) == {} and disk_blocks(store_path, 1) == {}


def test_dimension_mismatch_writes_no_shard(open_store, store_path):
    store = open_store(num_shards=2)
    store.store_flat_vectors(np.ones((1, 4), np.float32), [2])  # shard 0: one 24-byte record
    with pytest.raises(ValueError, match="dimension"):
        # Shard 1 has no block and would take its record fine; nothing may be written there.
        store.store_flat_vectors(np.ones((2, 3), np.float32), [1, 4])
    del store
    assert disk_blocks(store_path, 0) == {0: record(2, [1.0] * 4)}
    assert disk_blocks(store_path, 1) == {}
