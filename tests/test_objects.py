"""Objects by id: where each record lands on disk, and store/get/delete/count against a dict
model."""

import gc
import os
import pickle
import threading

import lmdb
import pytest

from conftest import read_shard

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


def id_key(i):
    return i.to_bytes(8, "little", signed=True)


def shard_of(i, n):
    return abs(i) % n  # Python's abs has no overflow at INT64_MIN


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


@pytest.mark.parametrize("num_shards, placement", [
    (5, {0: 0, 7: 2, -7: 2, 12: 2, INT64_MAX: 2, INT64_MIN: 3, 2: 2, 3: 3, -3: 3}),
    (4, {0: 0, 7: 3, -7: 3, 12: 0, INT64_MAX: 3, INT64_MIN: 0, 3: 3, -3: 3}),
    (1, {0: 0, INT64_MIN: 0, INT64_MAX: 0}),
])
def test_shard_placement_tables(open_store, store_path, num_shards, placement):
    store = open_store(num_shards=num_shards)
    ids = list(placement)
    store.store_data([f"v{i}" for i in ids], ids)
    del store
    gc.collect()
    for shard in range(num_shards):
        expected = sorted((id_key(i), pickle.dumps(f"v{i}")) for i, s in placement.items()
                          if s == shard)
        assert read_shard(store_path, shard) == expected, shard


def test_routing_matches_the_magnitude_model(open_store, store_path, rng):
    num_shards = 7
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


def test_an_id_and_its_negation_share_a_shard_but_not_a_record(store):
    store.store_data(["plus", "minus"], [3, -3])
    assert store.get_data([3, -3]) == ["plus", "minus"]
    store.delete_data([3])
    assert store.get_data([3, -3]) == [None, "minus"]
    store.store_data(["min"], [INT64_MIN])
    assert store.get_data([INT64_MIN, INT64_MAX, 0]) == ["min", None, None]


# ---------------------------------------------------------------------------------------------
# store_data / get_data / delete_data / get_data_count


def test_round_trip_of_varied_objects(store):
    objects = [None, 0, -1.5, "text", b"\x00bytes", [1, [2, 3]], {"k": (1, 2)}, {1, 2},
               "x" * 1_000_000, b"", (), len]
    ids = list(range(-6, 6))
    store.store_data(objects, ids)
    assert store.get_data(ids) == objects


def test_values_are_exactly_the_pickle_bytes(open_store, store_path):
    store = open_store(num_shards=2)
    objects = [{"a": [1, 2.5]}, "é", None]
    store.store_data(objects, [2, 4, 6])
    del store
    gc.collect()
    assert read_shard(store_path, 0) == sorted((id_key(i), pickle.dumps(o))
                                               for i, o in zip([2, 4, 6], objects))


def test_get_data_keeps_order_and_duplicates(store):
    store.store_data([{"four": 4}], [4])
    result = store.get_data([4, 99, 4])
    assert result == [{"four": 4}, None, {"four": 4}]
    assert result[0] is not result[2]  # each position is unpickled on its own


def test_stored_none_and_missing_read_alike_but_count_differs(store):
    store.store_data([None], [5])
    assert store.get_data([5, 6]) == [None, None]
    assert store.get_data_count() == 1


def test_empty_calls(store):
    assert store.store_data([], []) is None
    assert store.get_data([]) == []
    assert store.delete_data([]) is None
    assert store.get_data_count() == 0


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


def test_storing_again_replaces(store):
    store.store_data(["first"], [5])
    store.store_data(["second"], [5])
    assert store.get_data([5]) == ["second"]
    assert store.get_data_count() == 1


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


def test_delete_semantics(store):
    store.store_data(["a", "b", "c"], [1, 2, 3])
    assert store.delete_data([2, 99, 2, -2]) is None  # missing ids and duplicates are fine
    assert store.get_data([1, 2, 3]) == ["a", None, "c"]
    assert store.get_data_count() == 2
    assert store.delete_data([42]) is None
    assert store.get_data_count() == 2


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


def test_random_operations_against_a_dict_model(open_store, rng):
    store = open_store(num_shards=4)
    model = {}
    pool = [int(x) for x in rng.integers(-50, 50, size=60)] + [INT64_MIN, INT64_MAX]
    for step in range(60):
        op = rng.integers(3)
        ids = [pool[j] for j in rng.integers(len(pool), size=int(rng.integers(0, 30)))]
        if op == 0:
            values = [(step, n) for n in range(len(ids))]
            store.store_data(values, ids)
            model.update(zip(ids, values))  # later occurrences win, as in a dict
        elif op == 1:
            store.delete_data(ids)
            for i in ids:
                model.pop(i, None)
        else:
            assert store.get_data(ids) == [model.get(i) for i in ids]
        assert store.get_data_count() == len(model)
    assert store.get_data(pool) == [model.get(i) for i in pool]


def test_concurrent_threads(open_store):
    store = open_store(num_shards=3)
    errors = []

    def worker(base):
        try:
            for round_no in range(20):
                ids = list(range(base, base + 200))
                store.store_data([(base, round_no, i) for i in ids], ids)
                got = store.get_data(ids)
                if got != [(base, round_no, i) for i in ids]:
                    errors.append((base, round_no))
                store.delete_data(ids[::2])
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k * 1000,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert store.get_data_count() == 4 * 100
