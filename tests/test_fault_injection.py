"""Fault injection: storage that runs out of room or refuses writes.

Every bulk writer meets a shard whose map is full: the call raises OSError "LMDB: MDB_MAP_FULL:
...", the full shard keeps exactly the bytes it held before the call, the other shards hold their
part of the call, and writes work again after records are deleted or after the store is
reopened with a larger map. A read-only store directory and a full file system (a small tmpfs,
root only) give clear exceptions and leave the store intact.
"""
import gc
import os
import subprocess
import sys

import numpy as np
import pytest

import zanth_vec
from conftest import read_shard
from store_model import index_shard

NUM_SHARDS = 3
SMALL_MAP = 1 << 20
DIM = 32
QUERY = np.ones(DIM, np.float32)
MAP_FULL = "LMDB: MDB_MAP_FULL: Environment mapsize limit reached"


def ids_in_shard(shard, start, count):
    """`count` ids of `shard`, distinct for distinct `start` ranges."""
    return [NUM_SHARDS * (start + i) + shard for i in range(count)]


class Objects:
    name = "objects"

    def __init__(self, value_size=1500):
        self.value = b"v" * value_size

    def write(self, db, ids):
        db.store_data([self.value] * len(ids), ids)

    def delete(self, db, ids):
        db.delete_data(ids)

    def present(self, db, ids):
        return {rid for rid, obj in zip(ids, db.get_data(ids)) if obj is not None}


class Vectors:
    name = "vectors"

    def write(self, db, ids):
        db.store_flat_vectors(np.full((len(ids), DIM), 0.5, np.float32), ids)

    def delete(self, db, ids):
        db.delete_flat_vectors(ids, DIM)
        db.compact_vectors(DIM)

    def present(self, db, ids):
        wanted = set(ids)
        return {rid for _, rid in db.search_flat(QUERY, k=2**64 - 1) if rid in wanted}


class IndexEntries:
    name = "index"
    _keys = {}

    def key(self, rid):
        """A long key (fills pages fast) routed to the shard of `rid`, found by trying salts."""
        if rid not in self._keys:
            salt = 0
            while True:
                key = f"f:{rid}:{salt}:" + "k" * 300
                if index_shard(key, NUM_SHARDS) == abs(rid) % NUM_SHARDS:
                    break
                salt += 1
            self._keys[rid] = key
        return self._keys[rid]

    def write(self, db, ids):
        db.batch_index_insert([(self.key(rid), rid) for rid in ids])

    def delete(self, db, ids):
        db.batch_index_delete([(self.key(rid), rid) for rid in ids])

    def present(self, db, ids):
        found = set(db.get_ids_from_filter((1, "f:", "f;")).to_list())
        return found & set(ids)


def assert_map_full(error):
    assert type(error) is OSError and error.args == (MAP_FULL,), repr(error)
    assert error.errno is None and error.filename is None


def fill_shard(db, kind, shard, chunks=(64, 8, 1), limit=100000):
    """Writes to `shard` in ever smaller calls until each size fails; returns the ids of the
    calls that returned."""
    stored, next_start = [], 0
    for chunk in chunks:
        while next_start < limit:
            ids = ids_in_shard(shard, next_start, chunk)
            next_start += chunk
            try:
                kind.write(db, ids)
            except OSError as e:
                assert_map_full(e)
                break
            stored += ids
        else:
            pytest.fail(f"{kind.name}: shard {shard} never filled up")
    return stored, next_start


def reopen_elsewhere(path, map_size, code):
    """Runs `code` with `db` open on the store in a new process; returns its output."""
    script = (f"import zanth_vec, numpy as np\n"
              f"db = zanth_vec.ZanthVec({path!r}, num_shards={NUM_SHARDS}, map_size={map_size})\n"
              + code)
    done = subprocess.run([sys.executable, "-"], input=script, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


KINDS = [Objects(), Vectors(), IndexEntries()]


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.name)
def test_writer_on_a_full_shard_fails_alone_and_recovers(tmp_path, kind):
    path = str(tmp_path / "store")
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS, map_size=SMALL_MAP)
    ballast = ids_in_shard(0, 10**7, 100)
    db.store_data([b"b" * 1000] * len(ballast), ballast)
    stored, next_start = fill_shard(db, kind, 0)
    assert kind.present(db, stored) == set(stored)
    del db
    gc.collect()
    full_shard_bytes = read_shard(path, 0)
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS, map_size=SMALL_MAP)
    full_part = ids_in_shard(0, next_start, 64)
    other_part = ids_in_shard(1, 0, 5) + ids_in_shard(2, 0, 5)
    with pytest.raises(OSError) as caught:
        kind.write(db, full_part + other_part)
    assert_map_full(caught.value)
    assert kind.present(db, stored + full_part) == set(stored), "the full shard changed"
    assert kind.present(db, other_part) == set(other_part), "other shards lost their part"
    assert db.get_data(ballast) == [b"b" * 1000] * len(ballast)

    # Shards with room keep working. The full one needs a larger map: on a map with no free
    # page LMDB cannot even delete, since copy-on-write needs a fresh page first.
    kind.delete(db, other_part)
    assert kind.present(db, other_part) == set()
    kind.write(db, other_part)
    kept = stored

    # A larger map in a new process takes what the small one could not.
    more = ids_in_shard(0, next_start + 64, 1000)
    del db, caught  # the traceback would keep the handle alive
    gc.collect()
    assert read_shard(path, 0) == full_shard_bytes
    if kind.name == "index":
        call = f"db.batch_index_insert({[(kind.key(r), r) for r in more]})"
    elif kind.name == "vectors":
        call = f"db.store_flat_vectors(np.full(({len(more)}, {DIM}), 0.5, np.float32), {more})"
    else:
        call = f"db.store_data([b'v' * 1500] * {len(more)}, {more})"
    reopen_elsewhere(path, SMALL_MAP * 16, call)
    # ... and so does this process once every handle on the small map is gone.
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS, map_size=SMALL_MAP * 16)
    assert kind.present(db, kept + more) == set(kept + more)
    kind.write(db, full_part)
    assert kind.present(db, kept + full_part + more + other_part) == set(kept + full_part + more + other_part)
    assert db.get_data(ballast) == [b"b" * 1000] * len(ballast)


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: k.name)
def test_deleter_on_a_full_shard_fails_alone(tmp_path, kind):
    """Deleting every other record touches every page of the shard, and copy-on-write needs a
    new page for each: on a full map that fails like any write, as an OSError (vector
    deletion included), and the store stays usable."""
    path = str(tmp_path / "store")
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS, map_size=SMALL_MAP)
    if isinstance(kind, Objects):
        kind = Objects(value_size=0)  # many small records: many pages to copy
    others = ids_in_shard(1, 0, 5) + ids_in_shard(2, 0, 5)
    kind.write(db, others)
    stored, _ = fill_shard(db, kind, 0)
    del db
    gc.collect()
    full_shard_bytes = read_shard(path, 0)
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS, map_size=SMALL_MAP)
    with pytest.raises(OSError) as caught:
        kind.delete(db, stored[::2] + others)
    assert_map_full(caught.value)
    assert kind.present(db, stored) == set(stored), "the full shard changed"
    assert kind.present(db, others) == set(), "other shards did not apply their deletions"
    del db, caught
    gc.collect()
    assert read_shard(path, 0) == full_shard_bytes


def test_handle_survives_another_process_growing_the_map(tmp_path):
    """Another process reopens the store with a larger map and writes past the end of this
    handle's map: this handle must keep working (LMDB reports MDB_MAP_RESIZED until the
    environment adopts the new size)."""
    path = str(tmp_path / "store")
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS, map_size=SMALL_MAP)
    db.store_data(["before"], [0])
    big = ids_in_shard(0, 1, 2000)
    reopen_elsewhere(path, SMALL_MAP * 16, f"db.store_data([b'v' * 1500] * 2000, {big})")
    assert db.get_data([0]) == ["before"]
    db.store_data(["after"], [3])
    assert db.get_data([3, big[-1]]) == ["after", b"v" * 1500]


# --- read-only and full file systems --------------------------------------------------------


def _mount_tmpfs(directory, size):
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    os.makedirs(directory, exist_ok=True)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", directory],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount tmpfs: {done.stderr.strip()}")


def _remount(directory, options):
    subprocess.run(["mount", "-o", f"remount,{options}", directory], check=True, timeout=60)


@pytest.fixture
def tmpfs(tmp_path):
    mounted = []

    def mount(size):
        directory = str(tmp_path / f"fs{len(mounted)}")
        _mount_tmpfs(directory, size)
        mounted.append(directory)
        return directory

    yield mount
    gc.collect()
    for directory in mounted:
        subprocess.run(["umount", "-l", directory], check=False)


def test_read_only_store_directory(tmp_path, tmpfs):
    root = tmpfs("16m") if os.geteuid() == 0 else str(tmp_path)
    path = os.path.join(root, "store")
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS)
    db.store_data(["kept"] * 9, list(range(9)))
    del db
    gc.collect()
    if os.geteuid() == 0:
        _remount(root, "ro")
    else:
        for dirpath, _, files in os.walk(path):
            os.chmod(dirpath, 0o555)
            for f in files:
                os.chmod(os.path.join(dirpath, f), 0o444)
    try:
        with pytest.raises(OSError) as caught:
            zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS)
        message = str(caught.value)
        assert message.startswith(("LMDB: ", "IO: ")), message
        assert caught.value.errno is None
        # A shard directory that does not exist yet cannot be made either.
        with pytest.raises(OSError, match=r"^IO: .*\(os error \d+\)"):
            zanth_vec.ZanthVec(os.path.join(root, "other"), num_shards=1)
    finally:
        if os.geteuid() == 0:
            _remount(root, "rw")
        else:
            for dirpath, _, files in os.walk(path):
                os.chmod(dirpath, 0o755)
                for f in files:
                    os.chmod(os.path.join(dirpath, f), 0o644)
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS)
    assert db.get_data(list(range(9))) == ["kept"] * 9


def test_full_file_system(tmpfs):
    root = tmpfs("2m")
    path = os.path.join(root, "store")
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS, map_size=1 << 30)
    stored, start, error = [], 0, None
    while start < 10**5:
        ids = list(range(start, start + 30))
        start += 30
        try:
            db.store_data([b"d" * 1000] * len(ids), ids)
        except OSError as e:
            error = e
            failed = ids
            break
        stored += ids
    assert error is not None, "the file system never filled up"
    # LMDB reports a short write as EIO, a refused one as ENOSPC.
    assert str(error) in ("LMDB: No space left on device", "LMDB: Input/output error"), str(error)
    got = db.get_data(stored + failed)
    assert got[:len(stored)] == [b"d" * 1000] * len(stored), "records written earlier were lost"
    # Whatever of the failed call is stored came from whole shards.
    for shard in range(NUM_SHARDS):
        mine = [obj for rid, obj in zip(failed, got[len(stored):]) if rid % NUM_SHARDS == shard]
        assert mine in ([None] * len(mine), [b"d" * 1000] * len(mine))
    del db
    gc.collect()
    # A new process sees the same records: nothing on disk is torn.
    out = reopen_elsewhere(path, 1 << 30, f"print(db.get_data({stored}) == [b'd' * 1000] * {len(stored)})")
    assert out.strip() == "True"
    # With room again, writes work.
    _remount(root, "size=64m")
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS, map_size=1 << 30)
    db.store_data([b"e"] * 30, failed)
    assert db.get_data(failed) == [b"e"] * 30
