"""store_flat_vectors: the block format byte for byte, topping up across calls, routing and
order, neighbours in the key range, strided input, and the failures that must write nothing."""

import gc

import numpy as np
import pytest

import zanth_vec
from conftest import read_shard
from vector_layout import (CAPACITY, INT64_MIN, BlockModel, block_key, disk_blocks, record,
                           shard_of)

# --- block format ------------------------------------------------------------------------


def test_record_and_key_bytes(open_store, store_path):
    store = open_store(num_shards=1)
    store.store_flat_vectors(np.array([[1.0, -2.0]], dtype=np.float32), [5])
    del store
    gc.collect()
    assert read_shard(store_path, 0) == [
        (bytes.fromhex("7000000000"), bytes.fromhex("0500000000000000 0000803f 000000c0"))]
    assert block_key(258) == bytes.fromhex("7000000102")


def test_600_then_200_records(open_store, store_path, rng):
    data = rng.standard_normal((800, 3)).astype(np.float32)
    ids = list(range(800))
    store = open_store(num_shards=1)
    store.store_flat_vectors(data[:600], ids[:600])
    del store
    recs = [record(i, data[i]) for i in ids]
    assert disk_blocks(store_path, 0) == {0: b"".join(recs[:256]), 1: b"".join(recs[256:512]),
                                          2: b"".join(recs[512:600])}
    store = open_store(num_shards=1)
    store.store_flat_vectors(data[600:], ids[600:])
    del store
    blocks = disk_blocks(store_path, 0)
    assert blocks[2] == b"".join(recs[512:768])  # 88 old records, then the first 168 new ones
    assert blocks[3] == b"".join(recs[768:800])
    assert blocks[0] == b"".join(recs[:256]) and len(blocks) == 4


def test_appends_across_calls_follow_the_model(open_store, store_path, rng):
    """Routing by |id| mod shards, input order per shard, full blocks of 256, the last block
    topped up by every call (call sizes around the block boundary), on five shards."""
    dim, shards = 4, 5
    model = BlockModel(shards, dim)
    for size in [1, 254, 1, 1, 0, 300, 1023, 7, 256]:
        ids = [int(i) for i in rng.integers(-2**63, 2**63, size=size, dtype=np.int64)]
        if size == 7:
            ids[:3] = [INT64_MIN, 3, 3]  # a tombstone-looking record and a duplicate id
        data = rng.standard_normal((size, dim)).astype(np.float32)
        store = open_store(num_shards=shards)
        assert store.store_flat_vectors(data, ids) is None
        del store
        model.store(data, ids)
        for s in range(shards):
            assert disk_blocks(store_path, s) == model.on_disk(s)


def test_full_and_almost_full_last_block(open_store, store_path):
    store = open_store(num_shards=1)
    store.store_flat_vectors(np.zeros((255, 1), np.float32), list(range(255)))
    store.store_flat_vectors(np.ones((1, 1), np.float32), [1000])  # fills block 0 to 256
    store.store_flat_vectors(np.ones((1, 1), np.float32), [1001])  # opens block 1
    del store
    blocks = disk_blocks(store_path, 0)
    assert len(blocks[0]) == 256 * 12 and blocks[1] == record(1001, [1.0])


def test_dimension_zero_records_hold_ids_only(open_store, store_path):
    store = open_store(num_shards=1)
    store.store_flat_vectors(np.zeros((300, 0), np.float32), list(range(300)))
    del store
    blocks = disk_blocks(store_path, 0)
    assert blocks == {0: b"".join(i.to_bytes(8, "little") for i in range(256)),
                      1: b"".join(i.to_bytes(8, "little") for i in range(256, 300))}


def test_p_keys_of_objects_and_index_are_passed_over(open_store, store_path, rng):
    """The object of id 112 (key 70 00 ..) sorts between blocks 0 and 1, index keys that begin
    with 'p' or 't' after them: the next append continues block 1 and rewrites nothing else."""
    data = rng.standard_normal((310, 2)).astype(np.float32)
    store = open_store(num_shards=1)
    store.store_flat_vectors(data[:300], list(range(300)))
    store.store_data(["object 112"], [112])
    store.batch_index_insert([("price:10", 7), ("tag:a", 8)])
    before = read_shard_after_close(store, store_path)
    store = open_store(num_shards=1)
    store.store_flat_vectors(data[300:], list(range(300, 310)))
    assert store.get_data([112]) == ["object 112"]
    after = read_shard_after_close(store, store_path)
    changed = {k for k in set(before) | set(after) if before.get(k) != after.get(k)}
    assert changed == {block_key(1)}
    assert after[block_key(1)] == b"".join(record(i, data[i]) for i in range(256, 310))
    assert after[(112).to_bytes(8, "little")] == before[(112).to_bytes(8, "little")]


def read_shard_after_close(store, store_path):
    del store
    gc.collect()
    return dict(read_shard(store_path, 0))


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


def test_zero_shards(open_store):
    store = open_store(num_shards=0)
    with pytest.raises(ValueError):
        store.store_flat_vectors(np.zeros((1, 2), np.float32), [1])
    assert store.store_flat_vectors(np.zeros((1, 2), np.float32), []) is None


def test_dimension_mismatch_writes_no_shard(open_store, store_path):
    store = open_store(num_shards=2)
    store.store_flat_vectors(np.ones((1, 4), np.float32), [2])  # shard 0: one 24-byte record
    with pytest.raises(ValueError, match="dimension"):
        # Shard 1 has no block and would take its record fine; nothing may be written there.
        store.store_flat_vectors(np.ones((2, 3), np.float32), [1, 4])
    del store
    assert disk_blocks(store_path, 0) == {0: record(2, [1.0] * 4)}
    assert disk_blocks(store_path, 1) == {}


def test_map_full_aborts_only_the_failing_shard(open_store, store_path):
    store = open_store(num_shards=2, map_size=1 << 20)
    store.store_flat_vectors(np.ones((2, 64), np.float32), [0, 1])
    big = [2 * i for i in range(1, 6000)]  # ~1.6 MB for shard 0 alone
    ids = big + [3, 5]
    data = np.full((len(ids), 64), 2.0, np.float32)
    with pytest.raises(OSError) as info:
        store.store_flat_vectors(data, ids)
    assert str(info.value).startswith("LMDB: MDB_MAP_FULL: ")
    assert info.value.errno is None
    del store
    assert disk_blocks(store_path, 0) == {0: record(0, [1.0] * 64)}
    assert disk_blocks(store_path, 1) == {
        0: record(1, [1.0] * 64) + record(3, [2.0] * 64) + record(5, [2.0] * 64)}


def test_shard_placement_matches_routing(open_store, store_path):
    ids = [0, 7, -7, 12, 2**63 - 1, INT64_MIN]
    store = open_store(num_shards=5)
    store.store_flat_vectors(np.zeros((len(ids), 1), np.float32), ids)
    del store
    for s in range(5):
        want = [record(i, [0.0]) for i in ids if shard_of(i, 5) == s]
        assert disk_blocks(store_path, s) == ({0: b"".join(want)} if want else {})
    assert zanth_vec.ZanthVec.store_flat_vectors.__text_signature__ == "($self, data, identifiers)"
