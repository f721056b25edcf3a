"""Objects by id: where each record lands on disk, and the cases of store/get/delete/count that
the model-based test (test_model.py) does not reach."""

import gc
import os
import pickle

import lmdb
import pytest

from conftest import read_shard
from store_model import shard_of_id as shard_of

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


def id_key(i):
    return i.to_bytes(8, "little", signed=True)


def write_raw(store_path, shard, key, value):
    env = lmdb.open(os.path.join(store_path, f"shard_{shard}"), map_size=1 << 24)
    try:
        with env.begin(write=True) as txn:
            txn.put(key, value)
    finally:
        env.close()


# ---------------------------------------------------------------------------------------------
# Routing and key bytes, checked on disk


@pytest.mark.parametrize("record_id, key_hex", [
    (0, "0000000000000000"),
    (1, "0100000000000000"),
    (258, "0201000000000000"),
    (-1, "ffffffffffffffff"),
    (-2, "feffffffffffffff"),
    (INT64_MAX, "ffffffffffffff7f"),
    (INT64_MIN, "0000000000000080"),
])
def test_id_keys_on_disk(open_store, store_path, record_id, key_hex):
    store = open_store(num_shards=1)
    store.store_data([{"id": record_id}], [record_id])
    del store
    gc.collect()
    assert read_shard(store_path, 0) == [(bytes.fromhex(key_hex),
                                          pickle.dumps({"id": record_id}))]


@pytest.mark.parametrize("num_shards", [4, 7])
def test_routing_matches_the_magnitude_model(open_store, store_path, rng, num_shards):
    ids = [int(x) for x in rng.integers(INT64_MIN, INT64_MAX, size=300, endpoint=True)]
    ids += [INT64_MIN, INT64_MIN + 1, INT64_MAX, -1, 0, 1]
    ids = list(dict.fromkeys(ids))
    store = open_store(num_shards=num_shards)
    store.store_data(ids, ids)
    del store
    gc.collect()
    for shard in range(num_shards):
        on_disk = read_shard(store_path, shard)
        assert [k for k, _ in on_disk] == sorted(id_key(i) for i in ids
                                                  if shard_of(i, num_shards) == shard)
        for key, value in on_disk:
            assert pickle.loads(value) == int.from_bytes(key, "little", signed=True)


# ---------------------------------------------------------------------------------------------
# store_data / get_data / delete_data / get_data_count


def test_round_trip_of_varied_objects(store):
    objects = [None, 0, -1.5, "text", b"\x00bytes", [1, [2, 3]], {"k": (1, 2)}, {1, 2},
               "x" * 1_000_000, b"", (), len]
    ids = list(range(-6, 6))
    store.store_data(objects, ids)
    assert store.get_data(ids) == objects


def test_get_data_keeps_order_and_duplicates(store):
    store.store_data([{"four": 4}], [4])
    result = store.get_data([4, 99, 4])
    assert result == [{"four": 4}, None, {"four": 4}]
    assert result[0] is not result[2]  # each position is unpickled on its own


@pytest.mark.parametrize("data, ids", [(["a", "b"], [1, 2, 3]), (["a", "b"], []),
                                       ([], [1]), (["a"], [1, 1])])
def test_length_mismatch(store, data, ids):
    with pytest.raises(ValueError, match="^Length mismatch$"):
        store.store_data(data, ids)
    assert store.get_data_count() == 0


def test_length_mismatch_comes_before_pickling(store, monkeypatch):
    def refuse(*args, **kwargs):
        raise AssertionError("pickle.dumps called")

    monkeypatch.setattr(pickle, "dumps", refuse)
    with pytest.raises(ValueError, match="Length mismatch"):
        store.store_data([lambda: 1], [1, 2])


def test_duplicate_ids_in_one_call_last_wins(open_store, store_path):
    store = open_store(num_shards=3)
    store.store_data(["a", "b", "c", "d", "e"], [7, 8, 7, -7, 7])
    assert store.get_data([7, 8, -7]) == ["e", "b", "d"]
    assert store.get_data_count() == 3
    del store
    gc.collect()
    on_disk = read_shard(store_path, 1)  # 7 and -7 in shard 1 of 3
    assert on_disk == sorted([(id_key(7), pickle.dumps("e")), (id_key(-7), pickle.dumps("d"))])


class Unpicklable:
    def __reduce__(self):
        raise RuntimeError("refuses to be pickled")


def test_unpicklable_object_stores_nothing(store):
    store.store_data(["old"], [1])
    refused = lambda: 0  # noqa: E731
    with pytest.raises(BaseException) as direct:
        pickle.dumps(refused)
    with pytest.raises(type(direct.value)) as ours:
        store.store_data(["new", "x", refused], [1, 2, 3])
    assert str(ours.value) == str(direct.value)
    with pytest.raises(RuntimeError, match="refuses to be pickled"):
        store.store_data(["new", "y", Unpicklable(), "z"], [1, 2, 3, 4])
    assert store.get_data([1, 2, 3, 4]) == ["old", None, None, None]
    assert store.get_data_count() == 1


def test_dumps_result_must_be_bytes(store, monkeypatch):
    monkeypatch.setattr(pickle, "dumps", lambda obj: "not bytes")
    with pytest.raises(TypeError):
        store.store_data(["a"], [1])
    monkeypatch.undo()
    assert store.get_data_count() == 0


def test_loads_errors_propagate(open_store, store_path):
    store = open_store(num_shards=1)
    store.store_data(["fine"], [1])
    del store
    gc.collect()
    write_raw(store_path, 0, id_key(2), b"this is no pickle")
    write_raw(store_path, 0, id_key(3), b"")
    write_raw(store_path, 0, id_key(4),
              pickle.dumps(Unpicklable).replace(b"Unpicklable", b"Vanishedxxx"))
    store = open_store(num_shards=1)
    assert store.get_data([1]) == ["fine"]
    with pytest.raises(pickle.UnpicklingError):
        store.get_data([1, 2])
    with pytest.raises(EOFError):
        store.get_data([3])
    with pytest.raises(AttributeError, match="Vanishedxxx"):
        store.get_data([4, 1])


def test_count_and_delete_see_only_their_own_record_kind(open_store, store_path):
    store = open_store(num_shards=1)
    store.store_data(["a", "b", "c"], [1, 2, 3])
    del store
    gc.collect()
    # Records with other key shapes (a 5-byte block key, a longer index key) share the database.
    write_raw(store_path, 0, b"\x70\x00\x00\x00\x01", b"block")
    write_raw(store_path, 0, b"color:red|" + id_key(1), b"")
    store = open_store(num_shards=1)
    assert store.get_data_count() == 5
    store.delete_data([1, 2, 3])
    assert store.get_data_count() == 2
    del store
    gc.collect()
    assert [k for k, _ in read_shard(store_path, 0)] == [b"color:red|" + id_key(1),
                                                         b"\x70\x00\x00\x00\x01"]
