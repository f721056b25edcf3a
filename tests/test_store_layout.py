"""How a store lies on disk and how handles on it share, reopen and let go of environments."""

import gc
import os
import shutil
import stat
import struct

import lmdb
import numpy as np
import pytest

from conftest import open_files_under, read_shard
from zanth_vec import ZanthVec


def test_default_store_creates_five_shard_environments(store_path):
    store = ZanthVec(store_path)
    assert sorted(os.listdir(store_path)) == [f"shard_{i}" for i in range(5)]
    for i in range(5):
        shard = os.path.join(store_path, f"shard_{i}")
        assert sorted(os.listdir(shard)) == ["data.mdb", "lock.mdb"]
    del store
    for i in range(5):
        assert read_shard(store_path, i) == []  # the unnamed database, empty


def committed_map_size(data_file):
    """The map size recorded in the newer of the two meta pages of an LMDB data file."""
    with open(data_file, "rb") as f:
        pages = f.read(2 * 4096)
    metas = []
    for page in (pages[:4096], pages[4096:]):
        magic, _version = struct.unpack_from("<II", page, 16)
        assert magic == 0xBEEFC0DE
        (map_size,) = struct.unpack_from("<Q", page, 32)
        (txnid,) = struct.unpack_from("<Q", page, 144)
        metas.append((txnid, map_size))
    return max(metas)[1]


def test_environment_options_on_disk(store_path, tmp_path):
    store = ZanthVec(store_path, num_shards=2, map_size=3 << 20)
    store.store_data(["x", "y"], [0, 1])
    del store
    # A reader table sized for 2048 readers, as the lmdb binding lays it out.
    reference = lmdb.open(str(tmp_path / "reference"), max_readers=2048)
    reference_lock_size = os.path.getsize(tmp_path / "reference" / "lock.mdb")
    reference.close()
    for i in range(2):
        shard = os.path.join(store_path, f"shard_{i}")
        # the whole map size for each shard, not divided among them
        assert committed_map_size(os.path.join(shard, "data.mdb")) == 3 << 20
        assert os.path.getsize(os.path.join(shard, "lock.mdb")) == reference_lock_size
        env = lmdb.open(shard, readonly=True, lock=False, max_dbs=0)
        try:
            with env.begin() as txn:
                # no named database was created: the main database holds only id-keyed records
                assert [k for k, _ in txn.cursor()] == [i.to_bytes(8, "little")]
                assert txn.stat()["entries"] == 1
        finally:
            env.close()


def test_files_are_created_with_mode_0644(store_path):
    old = os.umask(0)
    try:
        store = ZanthVec(store_path, num_shards=1)
    finally:
        os.umask(old)
    shard = os.path.join(store_path, "shard_0")
    for name in ("data.mdb", "lock.mdb"):
        assert stat.S_IMODE(os.stat(os.path.join(shard, name)).st_mode) == 0o644
    assert stat.S_IMODE(os.stat(shard).st_mode) == 0o777
    del store


def test_missing_parents_are_created(tmp_path):
    path = tmp_path / "a" / "b" / "c"
    store = ZanthVec(str(path), num_shards=2)
    assert sorted(os.listdir(path)) == ["shard_0", "shard_1"]
    del store


def test_base_path_used_verbatim(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    store = ZanthVec("rel/", num_shards=1)  # relative, and a trailing slash doubles it
    assert os.path.isdir(tmp_path / "rel" / "shard_0")
    assert os.path.exists(str(tmp_path / "rel") + "//shard_0/data.mdb")
    del store


def test_zero_shards_touch_nothing(tmp_path):
    """No shard to open, read or write: reads find nothing, writes of nothing succeed, and a
    write of something has nowhere to go."""
    path = tmp_path / "never"
    store = ZanthVec(str(path), num_shards=0)
    assert not path.exists()
    assert store.get_data_count() == 0
    assert store.get_data([1, -5, 2**63 - 1]) == [None, None, None]
    assert store.get_data([]) == []
    assert store.delete_data([1, 2]) is None
    assert store.store_data([], []) is None
    assert store.store_flat_vectors(np.zeros((1, 2), np.float32), []) is None
    assert store.delete_flat_vectors([1, 2], 3) is None
    assert store.compact_vectors(3) == 0
    assert store.search_flat(np.ones(3, np.float32)) == []
    assert store.batch_index_insert([]) is None
    assert store.batch_index_delete([("a", 1)]) is None
    for tree in [(0, "a"), (1, "a:", "a:z"), (4, (0, "a"))]:
        result = store.get_ids_from_filter(tree)
        assert len(result) == 0 and result.to_list() == []
    for write in [lambda: store.store_data(["x"], [1]),
                  lambda: store.store_flat_vectors(np.zeros((1, 2), np.float32), [1]),
                  lambda: store.batch_index_insert([("a", 1)])]:
        with pytest.raises(ValueError):
            write()
    with pytest.raises(ValueError, match="Length mismatch"):
        store.store_data(["x"], [])
    assert store.close() is None
    assert not path.exists()


def test_reopen_with_another_map_size(open_store):
    store = open_store(num_shards=2, map_size=1 << 20)
    store.store_data(["x" * 1000] * 50, list(range(50)))
    del store
    bigger = open_store(num_shards=2, map_size=64 << 20)
    assert bigger.get_data([0, 49]) == ["x" * 1000] * 2
    bigger.store_data(["y" * 1000] * 2000, list(range(100, 2100)))
    del bigger
    smaller = open_store(num_shards=2, map_size=1 << 16)  # below what the files already hold
    assert smaller.get_data([49, 2099]) == ["x" * 1000, "y" * 1000]
    assert smaller.get_data_count() == 2050


def test_reopen_with_another_shard_count_is_refused(open_store, store_path):
    """Records live where their id routed under the count they were written with: another count
    would hide them, and deletes through it would miss them."""
    store = open_store(num_shards=5)
    store.store_data(["seven"], [7])
    with pytest.raises(ValueError, match=r"at least 5 shards.*num_shards=3"):
        open_store(num_shards=3)  # while the first handle is open, and after
    del store
    gc.collect()
    with pytest.raises(ValueError, match=r"at least 5 shards.*num_shards=4"):
        open_store(num_shards=4)
    with pytest.raises(ValueError, match=r"2 of the shard directories for num_shards=7"):
        open_store(num_shards=7)
    assert sorted(os.listdir(store_path)) == [f"shard_{i}" for i in range(5)]  # nothing made
    assert open_store(num_shards=5).get_data([7]) == ["seven"]
    # A constructor interrupted before any record was written may be completed, with any count
    # not below the directories it left.
    shutil.rmtree(store_path)
    os.makedirs(os.path.join(store_path, "shard_0"))
    os.makedirs(os.path.join(store_path, "shard_2"))
    os.makedirs(os.path.join(store_path, "shard_x"))  # not a shard directory
    assert open_store(num_shards=4).get_data_count() == 0


# ---------------------------------------------------------------------------------------------
# One store opened twice in one process


def test_handles_share_one_environment_until_the_last_is_dropped(open_store, store_path):
    first = open_store(num_shards=2)
    files_of_one = sorted(open_files_under(store_path))
    second = open_store(num_shards=2)
    assert sorted(open_files_under(store_path)) == files_of_one  # no second environment
    first.store_data(["a", "b"], [1, 2])
    second.store_data(["c"], [3])
    assert first.get_data([1, 2, 3]) == second.get_data([1, 2, 3]) == ["a", "b", "c"]
    assert first.get_data_count() == second.get_data_count() == 3
    del first
    gc.collect()
    second.delete_data([1])
    assert second.get_data([1, 2, 3]) == [None, "b", "c"]
    assert sorted(open_files_under(store_path)) == files_of_one
    third = open_store(num_shards=2)  # shares the environment that is still open
    assert third.get_data([3]) == ["c"]
    assert sorted(open_files_under(store_path)) == files_of_one
    del second, third
    gc.collect()
    assert open_files_under(store_path) == []


def test_different_spellings_of_a_path_meet(tmp_path, store_path):
    first = ZanthVec(store_path, num_shards=1)
    os.symlink(store_path, tmp_path / "link")
    second = ZanthVec(str(tmp_path / "link"), num_shards=1)
    third = ZanthVec(str(tmp_path) + "/./store/", num_shards=1)
    first.store_data(["x"], [5])
    assert second.get_data([5]) == third.get_data([5]) == ["x"]
    del first, second
    gc.collect()
    third.store_data(["y"], [6])
    assert third.get_data([5, 6]) == ["x", "y"]


def test_store_removed_and_made_again_while_a_handle_is_open(store_path):
    old = ZanthVec(store_path, num_shards=1)
    old.store_data(["old"], [1])
    shutil.rmtree(store_path)
    new = ZanthVec(store_path, num_shards=1)  # a new, empty store, not the unlinked one
    assert new.get_data([1]) == [None]
    new.store_data(["new"], [2])
    assert old.get_data([1, 2]) == ["old", None]
    del old, new
    gc.collect()
    assert [k for k, _ in read_shard(store_path, 0)] == [(2).to_bytes(8, "little")]
