"""delete_flat_vectors and compact_vectors: tombstones in place, compaction counts and block
numbers, a random sequence against the block model, and the failures (a full map:
test_fault_injection.py)."""

import numpy as np
import pytest

from store_model import reference_scores
from vector_layout import INT64_MIN, BlockModel, disk_blocks, record

TOMB = INT64_MIN.to_bytes(8, "little", signed=True)


def test_delete_marks_records_in_place(open_store, store_path):
    data = np.arange(18, dtype=np.float32).reshape(6, 3)
    ids = [1, 2, 3, 2, 4, 5]
    store = open_store(num_shards=1)
    store.store_flat_vectors(data, ids)
    assert store.delete_flat_vectors([2, 5, 99], 3) is None  # 99 has no vector
    del store
    want = b"".join((TOMB if i in (2, 5) else i.to_bytes(8, "little")) + data[j].tobytes()
                    for j, i in enumerate(ids))
    assert disk_blocks(store_path, 0) == {0: want}


def test_deleting_nothing_changes_nothing(open_store, store_path, rng):
    data = rng.standard_normal((300, 2)).astype(np.float32)
    store = open_store(num_shards=2)
    store.store_flat_vectors(data, [INT64_MIN] + list(range(1, 300)))
    store.delete_flat_vectors([7], 2)
    del store
    before = [disk_blocks(store_path, s) for s in range(2)]
    store = open_store(num_shards=2)
    store.delete_flat_vectors([], 2)
    store.delete_flat_vectors([7, 7, 1000, INT64_MIN], 2)  # already gone, absent, tombstone id
    del store
    assert [disk_blocks(store_path, s) for s in range(2)] == before


def test_compaction_keeps_order_and_block_numbers(open_store, store_path):
    data = np.arange(600, dtype=np.float32).reshape(600, 1)
    store = open_store(num_shards=1)
    store.store_flat_vectors(data, list(range(600)))  # blocks 0, 1, 2 (88 records)
    store.delete_flat_vectors(list(range(256, 512)) + [0, 2, 4], 1)  # all of block 1
    assert store.compact_vectors(1) == 259
    assert store.compact_vectors(1) == 0
    del store
    blocks = disk_blocks(store_path, 0)
    assert sorted(blocks) == [0, 2]
    assert blocks[0] == b"".join(record(i, [i]) for i in range(256) if i not in (0, 2, 4))
    assert blocks[2] == b"".join(record(i, [i]) for i in range(512, 600))


def test_store_after_compaction_continues_the_greatest_remaining_block(open_store, store_path):
    store = open_store(num_shards=1)
    store.store_flat_vectors(np.zeros((300, 0), np.float32), list(range(300)))
    store.delete_flat_vectors(list(range(256, 300)) + [10], 0)  # empties block 1
    assert store.compact_vectors(0) == 45
    store.store_flat_vectors(np.zeros((2, 0), np.float32), [1000, 1001])
    del store
    blocks = disk_blocks(store_path, 0)
    # Block 0 had 255 records: one more fills it, the next reuses number 1.
    assert sorted(blocks) == [0, 1] and len(blocks[0]) == 256 * 8
    assert blocks[1] == (1001).to_bytes(8, "little")
    store = open_store(num_shards=1)
    store.delete_flat_vectors(list(range(2000)), 0)
    assert store.compact_vectors(0) == 257
    store.store_flat_vectors(np.zeros((1, 0), np.float32), [5])
    del store
    assert disk_blocks(store_path, 0) == {0: (5).to_bytes(8, "little")}


def test_compaction_counts_records_stored_with_the_tombstone_id(open_store):
    store = open_store(num_shards=3)
    store.store_flat_vectors(np.ones((3, 2), np.float32), [INT64_MIN, 1, INT64_MIN])
    assert store.compact_vectors(2) == 2
    assert store.search_flat(np.ones(2, np.float32)) == [(2.0, 1)]


# Records of other kinds whose keys begin with 0x70 and so sort among the blocks: index keys that
# share a block's first five key bytes (many records per prefix, so the walk jumps over runs),
# 'p' words that sort after every block, and objects whose first id byte is 0x70, up to the one
# whose key begins 70 FF FF FF FF, past the greatest possible block number.
P_ENTRIES = ([(f"p\x00\x00\x00\x00{j}", i) for j in range(6) for i in range(40)]
             + [(f"p\x00\x00\x00\x01{j}", i) for j in range(6) for i in range(40)]
             + [(f"p\x00\x00\x00{j}", i) for j in range(6) for i in range(3)]
             + [(f"price:{j}", i) for j in range(30) for i in range(30)])
P_OBJECTS = [0x70, 0x170, 0x270, 0x10070, 0xFFFFFFFF70]


def test_random_operations_follow_the_block_model(open_store, store_path, rng):
    dim, shards = 2, 3
    model = BlockModel(shards, dim)
    live = []
    store = open_store(num_shards=shards)
    store.batch_index_insert(P_ENTRIES)
    store.store_data(P_OBJECTS, P_OBJECTS)
    for step in range(12):
        store = open_store(num_shards=shards)
        action = step % 3
        if action == 0:
            n = int(rng.integers(0, 700))
            ids = [int(i) for i in rng.integers(-50, 400, size=n)]
            data = rng.standard_normal((n, dim)).astype(np.float32)
            store.store_flat_vectors(data, ids)
            model.store(data, ids)
            live += ids
        elif action == 1:
            doomed = [int(i) for i in rng.choice(live, size=min(len(live), 200))] if live else []
            store.delete_flat_vectors(doomed, dim)
            model.delete(doomed)
        else:
            assert store.compact_vectors(dim) == model.compact()
        records = [r for blocks in model.shards for recs in blocks.values() for r in recs
                   if r[:8] != TOMB]
        ids = np.array([int.from_bytes(r[:8], "little", signed=True) for r in records])
        vectors = np.frombuffer(b"".join(r[8:] for r in records), "<f4").reshape(-1, dim)
        query = rng.standard_normal(dim).astype(np.float32)
        scores = reference_scores(vectors, query)
        hits = store.search_flat(query, k=len(records) + 1)
        assert sorted((i, s) for s, i in hits) == sorted(zip(ids.tolist(), scores.tolist()))
        del store
        for s in range(shards):
            assert disk_blocks(store_path, s) == model.on_disk(s), f"step {step}, shard {s}"
    store = open_store(num_shards=shards)
    assert store.get_data(P_OBJECTS) == P_OBJECTS
    for key in {k for k, _ in P_ENTRIES}:
        assert sorted(store.get_ids_from_filter((0, key)).to_list()) == sorted(
            i for k, i in P_ENTRIES if k == key)


def test_object_112_among_blocks_is_left_alone(open_store, store_path):
    store = open_store(num_shards=1)
    store.store_flat_vectors(np.ones((300, 1), np.float32), [112] * 300)
    store.store_data([b"\x00" * 40], [112])  # its key begins with 0x70; 40 bytes = 5 records
    store.delete_flat_vectors([112], 1)
    assert store.compact_vectors(1) == 300
    assert store.get_data([112]) == [b"\x00" * 40]
    assert store.search_flat(np.ones(1, np.float32)) == []
    del store
    assert disk_blocks(store_path, 0) == {}


# --- failures ------------------------------------------------------------------------------


@pytest.mark.parametrize("call, error, name", [
    (lambda s: s.delete_flat_vectors("12", 2), TypeError, "identifiers"),
    (lambda s: s.delete_flat_vectors("12", "x"), TypeError, "identifiers"),  # first is reported
    (lambda s: s.delete_flat_vectors([1], "x"), TypeError, "dim"),
    (lambda s: s.delete_flat_vectors([2**63], 2), OverflowError, None),
    (lambda s: s.delete_flat_vectors([1], -1), OverflowError, None),
    (lambda s: s.delete_flat_vectors([1], 2**64), OverflowError, None),
    (lambda s: s.delete_flat_vectors([1]), TypeError, None),
    (lambda s: s.compact_vectors(-1), OverflowError, None),
    (lambda s: s.compact_vectors(2**64), OverflowError, None),
    (lambda s: s.compact_vectors(None), TypeError, "dim"),
    (lambda s: s.compact_vectors(), TypeError, None),
])
def test_argument_errors(store, call, error, name):
    store.store_flat_vectors(np.ones((1, 2), np.float32), [1])
    with pytest.raises(error) as info:
        call(store)
    if name:
        assert name in str(info.value)
    assert store.search_flat(np.ones(2, np.float32)) == [(2.0, 1)]


def test_wrong_dimension_is_refused_and_writes_nothing(open_store, store_path):
    store = open_store(num_shards=1)
    store.store_flat_vectors(np.ones((3, 4), np.float32), [1, 2, 3])  # 72 bytes
    store.delete_flat_vectors([2], 4)
    with pytest.raises(ValueError):
        store.delete_flat_vectors([1], 3)  # records of 20 bytes do not divide 72
    with pytest.raises(ValueError):
        store.compact_vectors(3)
    # A dimension so large that no record fits is refused too, not wrapped around.
    with pytest.raises(ValueError):
        store.compact_vectors(2**62)
    del store
    assert disk_blocks(store_path, 0) == {0: record(1, [1.0] * 4) + TOMB + b"\x00\x00\x80\x3f" * 4
                                          + record(3, [1.0] * 4)}
