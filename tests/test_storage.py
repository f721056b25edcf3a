"""The store on disk and its failures: files and options, handles sharing environments, opening
errors, a full map, a full or read-only file system, every reader slot taken."""
import gc
import os
import pickle
import random
import shutil
import stat
import struct
import subprocess
import sys

import lmdb
import numpy as np
import pytest

import zanth_vec
from conftest import open_files_under, read_shard, run_isolated
from store_model import id_key, index_shard
from zanth import Collection
from zanth_vec import ZanthVec

MAP_FULL = "LMDB: MDB_MAP_FULL: Environment mapsize limit reached"


def test_files_options_and_paths(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    old = os.umask(0)
    try:
        db = ZanthVec("a/b/", map_size=3 << 20)  # relative, missing parents, trailing slash
    finally:
        os.umask(old)
    db.store_data(["x", "y"], [0, 1])
    del db
    assert sorted(os.listdir("a/b")) == [f"shard_{i}" for i in range(5)]
    reference = lmdb.open(str(tmp_path / "reference"), max_readers=2048)
    reference.close()
    for i in range(5):
        shard = f"a/b//shard_{i}"  # the path is used as given
        assert stat.S_IMODE(os.stat(shard).st_mode) == 0o777
        assert sorted(os.listdir(shard)) == ["data.mdb", "lock.mdb"]
        assert all(stat.S_IMODE(os.stat(f"{shard}/{f}").st_mode) == 0o644 for f in os.listdir(shard))
        assert os.path.getsize(f"{shard}/lock.mdb") == os.path.getsize(tmp_path / "reference" / "lock.mdb")
        with open(f"{shard}/data.mdb", "rb") as f:
            pages = f.read(8192)
        metas = [struct.unpack_from("<Q", pages, at + 144) + struct.unpack_from("<Q", pages, at + 32)
                 for at in (0, 4096)]
        assert max(metas)[1] == 3 << 20  # each shard gets the whole map size
        # Only the unnamed database, holding only the records written.
        assert read_shard("a/b", i) == ([(id_key(i), pickle.dumps("xy"[i]))] if i < 2 else [])


def test_zero_shards_touch_nothing(tmp_path):
    path = tmp_path / "never"
    db = ZanthVec(str(path), num_shards=0)
    assert db.get_data([1, -5]) == [None, None] and db.get_data_count() == 0
    assert db.delete_data([1]) is None and db.store_data([], []) is None
    assert db.delete_flat_vectors([1], 3) is None and db.compact_vectors(3) == 0
    assert db.search_flat(np.ones(3, np.float32)) == [] and db.batch_index_delete([("a", 1)]) is None
    assert [len(db.get_ids_from_filter(t)) for t in [(0, "a"), (1, "a:", "a:z"), (4, (0, "a"))]] == [0, 0, 0]
    for write in [lambda: db.store_data(["x"], [1]), lambda: db.batch_index_insert([("a", 1)]),
                  lambda: db.store_flat_vectors(np.zeros((1, 2), np.float32), [1])]:
        with pytest.raises(ValueError):
            write()
    assert not path.exists()


def test_handles_share_environments_and_reopen(tmp_path, store_path, open_store):
    first = open_store(num_shards=2)
    files = open_files_under(store_path)
    os.symlink(store_path, tmp_path / "link")
    second = ZanthVec(str(tmp_path / "link"), num_shards=2)  # other spellings of the path
    third = ZanthVec(str(tmp_path) + "/./store/", num_shards=2)
    first.store_data(["a", "b"], [1, 4])
    second.store_data(["c"], [3])
    assert third.get_data([1, 4, 3]) == ["a", "b", "c"] and open_files_under(store_path) == files
    del first, second
    gc.collect()
    third.delete_data([1])
    assert open_files_under(store_path) == files
    del third
    gc.collect()
    assert open_files_under(store_path) == []
    # Map sizes may change between openings, below what the files hold too.
    bigger = open_store(num_shards=2, map_size=64 << 20)
    bigger.store_data(["y" * 1000] * 2000, list(range(100, 2100)))
    del bigger
    smaller = open_store(num_shards=2, map_size=1 << 16)
    assert smaller.get_data([4, 2099]) == ["b", "y" * 1000] and smaller.get_data_count() == 2002


def test_another_shard_count_is_refused(open_store, store_path):
    """Records live where their id routed under the count they were written with."""
    db = open_store(num_shards=5)
    db.store_data(["seven"], [7])
    for count, message in [(3, r"at least 5 shards.*num_shards=3"), (4, r"at least 5 shards.*num_shards=4"),
                           (7, r"2 of the shard directories for num_shards=7")]:
        with pytest.raises(ValueError, match=message):
            open_store(num_shards=count)
        del db
        db = None
    assert sorted(os.listdir(store_path)) == [f"shard_{i}" for i in range(5)]  # nothing made
    open(os.path.join(store_path, "shard_9"), "w").close()  # only directories are shards
    assert open_store(num_shards=5).get_data([7]) == ["seven"]
    # A constructor interrupted before any record was written may be completed, with any count
    # not below the directories it left.
    shutil.rmtree(store_path)
    for name in ("shard_0", "shard_2", "shard_x"):
        os.makedirs(os.path.join(store_path, name))
    assert open_store(num_shards=4).get_data_count() == 0


def test_store_removed_and_made_again_while_a_handle_is_open(store_path):
    old = ZanthVec(store_path, num_shards=1)
    old.store_data(["old"], [1])
    shutil.rmtree(store_path)
    new = ZanthVec(store_path, num_shards=1)  # a new, empty store, not the unlinked one
    new.store_data(["new"], [2])
    assert new.get_data([1]) == [None] and old.get_data([1, 2]) == ["old", None]
    del old, new
    assert [k for k, _ in read_shard(store_path, 0)] == [id_key(2)]


@pytest.mark.parametrize("fault, message", [
    ("file", r"^IO: Not a directory \(os error 20\)$"),
    ("not lmdb", "^LMDB: MDB_INVALID: File is not an LMDB file$"),
    ("map", "^LMDB: "),
    ("nul", "^IO: ")])
def test_failed_open_releases_every_shard(store_path, fault, message):
    good = ZanthVec(store_path, num_shards=5)
    good.store_data(["kept"], [1])
    del good
    gc.collect()
    shard = os.path.join(store_path, "shard_3")
    shutil.rmtree(shard)
    if fault == "file":
        open(shard, "w").close()
    elif fault == "not lmdb":
        os.makedirs(shard)
        with open(os.path.join(shard, "data.mdb"), "wb") as f:
            f.write(b"\xff" * 8192)
    args = {"map": (store_path, 5, 2**62), "nul": (store_path + "\0", 5)}.get(fault, (store_path, 5))
    with pytest.raises(OSError, match=message) as info:
        ZanthVec(*args)
    assert type(info.value) is OSError and info.value.errno is None and info.value.filename is None
    del info
    gc.collect()
    assert open_files_under(store_path) == []
    if os.path.isfile(shard):
        os.remove(shard)
    shutil.rmtree(shard, ignore_errors=True)
    os.makedirs(shard)
    assert ZanthVec(store_path, num_shards=5).get_data([1]) == ["kept"]


def sound_file_with_unwritten_free_pages(path):
    """A shard whose data.mdb ends before its last page: LMDB leaves a page a transaction took
    and gave back unwritten, so pages past the end of a sound file may all be free."""
    rng = random.Random(0)
    for _ in range(50):
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(os.path.join(path, "shard_0"))
        with lmdb.open(os.path.join(path, "shard_0"), map_size=1 << 30) as env:
            for _ in range(6):
                with env.begin(write=True) as txn:
                    keys = [b"%08d" % rng.randrange(10**7) for _ in range(rng.randrange(100, 3000))]
                    for k in keys:
                        txn.put(k, b"v" * rng.choice([10, 200, 1500, 9000]))
                    for k in rng.sample(keys, rng.randrange(len(keys))):
                        txn.delete(k)
                if os.path.getsize(os.path.join(path, "shard_0", "data.mdb")) < 4096 * (env.info()["last_pgno"] + 1):
                    return {k: v for k, v in env.begin().cursor()}
    pytest.fail("LMDB left no page unwritten")


READ_ALL = """
try:
    db = zanth_vec.ZanthVec(path, shards)
except OSError as e:
    print(e)
else:
    print(len(db.get_data(list(range(-2000, 2000)))), db.get_data_count(), len(db.search_flat(np.ones(16, np.float32), k=10**6)))
"""


def test_damaged_data_files_are_refused_as_they_are(store_path, tmp_path):
    """A data.mdb emptied, cut short or lost: opening names it and leaves it as it is, instead of
    starting the shard anew or dying of SIGBUS on a page past its end (so each opening runs in a
    child). A file whose missing pages are all free is sound."""
    db = ZanthVec(store_path, num_shards=5)
    db.store_data([f"o{i}" for i in range(1000)], list(range(1000)))
    db.store_flat_vectors(np.ones((3000, 16), np.float32), list(range(3000)))
    db.delete_data(list(range(0, 1000, 2)))
    del db
    gc.collect()
    data = os.path.join(store_path, "shard_3", "data.mdb")
    with open(data, "rb") as f:
        whole = f.read()
    for size in (0, 3 * 4096, len(whole) // 2, len(whole) - 4096):
        os.truncate(data, size)
        said = "empty (0 bytes)" if size == 0 else f"truncated: {size} bytes, its pages reach {len(whole)}"
        assert run_isolated(READ_ALL, path=store_path, shards=5).startswith(f"IO: {data} is {said}")
        with open(data, "rb") as f:
            assert f.read() == whole[:size]
        with open(data, "r+b") as f:
            f.write(whole)
    assert run_isolated(READ_ALL, path=store_path, shards=5) == "4000 515 3000\n"
    with open(data, "r+b") as f:  # meta pages that give the database integer keys
        for meta in (0, 4096):
            os.pwrite(f.fileno(), struct.pack("<H", 0x08), meta + 16 + 72 + 4)
    assert run_isolated(READ_ALL, path=store_path, shards=5).startswith(f"IO: {data}: its meta")
    with open(data, "r+b") as f:
        f.write(whole)
    os.rename(data, data + ".away")  # a lost file is refused too, and not made anew
    assert run_isolated(READ_ALL, path=store_path, shards=5).startswith(f"IO: {data} is missing while")
    assert not os.path.exists(data)
    os.rename(data + ".away", data)
    sound = str(tmp_path / "sound")
    records = sound_file_with_unwritten_free_pages(sound)
    assert run_isolated(READ_ALL, path=sound, shards=1) == f"4000 {len(records)} 0\n"
    with open(os.path.join(sound, "shard_0", "data.mdb"), "r+b") as f:  # its free list zeroed
        pages = f.read(8192)
        newest = max((0, 4096), key=lambda at: struct.unpack_from("<Q", pages, at + 144))
        f.seek(4096 * struct.unpack_from("<Q", pages, newest + 80)[0])  # the free list's root
        f.write(bytes(4096))
    assert " is truncated: " in run_isolated(READ_ALL, path=sound, shards=1)



def _damage_root(shard, children):
    """Points the `children(n)` of the n children of `shard`'s root page past its file's end."""
    with open(os.path.join(shard, "data.mdb"), "r+b") as f:
        pages = f.read(8192)
        _, root = max(struct.unpack_from("<Q8xQ", pages, 128 + 4096 * m)[::-1] for m in (0, 1))
        f.seek(root * 4096)
        page = bytearray(f.read(4096))
        count = (struct.unpack_from("<H", page, 12)[0] - 16) // 2
        assert page[10] & 1 and count >= 2  # a branch page
        for child in children(count):
            struct.pack_into("<HHH", page, struct.unpack_from("<H", page, 16 + 2 * child)[0],
                             0xFFFF, 0xFFFF, 0xFF)
        f.seek(root * 4096)
        f.write(page)


def test_a_damaged_page_met_inside_a_read_fails_it_instead_of_shortening_it(store_path, tmp_path):
    """Children of a shard's root page pointing past the file: filters and object reads that
    step onto them raise, where stopping there would answer with the records before the damage
    (and the filter cache would keep that answer); a collection's verify() says so."""
    db = ZanthVec(store_path, num_shards=1)
    db.batch_index_insert([("color:red", i) for i in range(20000)])
    db.store_data([b"x"] * 2000, list(range(2000)))
    del db
    gc.collect()
    _damage_root(os.path.join(store_path, "shard_0"), lambda n: range(1, n))
    db = ZanthVec(store_path, num_shards=1)
    for read in (lambda: db.get_ids_from_filter((0, "color:red")),
                 lambda: db.get_ids_from_filter((1, "color:", "color;")),
                 lambda: db.get_pickled(list(range(2000)))):
        for _ in range(2):  # nothing cached either
            with pytest.raises((OSError, zanth_vec.PanicException), match="PAGE_NOTFOUND|PageNotFound"):
                read()
    with Collection(tmp_path / "c", dim=4, num_shards=1) as col:
        col.add([f"d{i}" for i in range(20000)], np.ones((20000, 4)), [{"i": i} for i in range(20000)])
    _damage_root(str(tmp_path / "c" / "shard_0"), lambda n: [n // 2])
    [problem] = Collection(tmp_path / "c").verify()
    assert problem.startswith("the store cannot be read whole") and "PAGE_NOTFOUND" in problem


def key_in(shard, rid):
    """A long index key (fills pages fast) that routes to `shard`."""
    return next(k for k in (f"f:{rid}:{salt}:" + "k" * 300 for salt in range(1000)) if index_shard(k, 3) == shard)


KINDS = {  # write, and the ids of `ids` the store holds
    "objects": (lambda db, ids: db.store_data([b"v" * 1500] * len(ids), ids),
                lambda db, ids: {i for i, o in zip(ids, db.get_data(ids)) if o is not None}),
    "vectors": (lambda db, ids: db.store_flat_vectors(np.full((len(ids), 32), 0.5, np.float32), ids),
                lambda db, ids: set(ids) & {i for _, i in db.search_flat(np.ones(32, np.float32), k=10**6)}),
    "index": (lambda db, ids: db.batch_index_insert([(key_in(i % 3, i), i) for i in ids]),
              lambda db, ids: set(ids) & set(db.get_ids_from_filter((1, "f:", "f;")).to_list())), }


def every_part(db, ids):
    """The ids held, when each has all three parts or none (else the three sets differ)."""
    held = [KINDS[kind][1](db, ids) for kind in ("objects", "vectors", "index")]
    return held[0] if held[0] == held[1] == held[2] else held


# One write_batch: each id's object, vector and index entry in the id's own shard.
KINDS["batch"] = (
    lambda db, ids: db.write_batch(ids, [b"v" * 1500] * len(ids), np.full((len(ids), 32), 0.5, np.float32),
                                   index_inserts=[(key_in(abs(i) % 3, i), i) for i in ids]),
    every_part)


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_full_map_fails_only_that_shard(store_path, kind):
    """Shard 0 fills up; a call across all shards raises and leaves shard 0's bytes as they
    were while the others take their part; a larger map takes the rest."""
    write, present = KINDS[kind]
    db = ZanthVec(store_path, num_shards=3, map_size=1 << 20)
    start, stored = 0, []
    for chunk in (64, 8, 1):
        while True:
            ids = [3 * i for i in range(start, start + chunk)]
            start += chunk
            try:
                write(db, ids)
            except OSError as e:
                assert e.args == (MAP_FULL,) and e.errno is None and e.filename is None
                break
            stored += ids
    del db
    before = read_shard(store_path, 0)
    db = ZanthVec(store_path, num_shards=3, map_size=1 << 20)
    full, others = [3 * (start + j) for j in range(40)], [10**6, 10**6 + 1]
    with pytest.raises(OSError, match=MAP_FULL):
        write(db, full + others)
    assert present(db, stored + full + others) == set(stored + others)
    del db
    assert read_shard(store_path, 0) == before
    db = ZanthVec(store_path, num_shards=3, map_size=1 << 24)
    write(db, full)
    assert present(db, stored + full + others) == set(stored + full + others)


def mount_tmpfs(directory, options):
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    os.makedirs(directory, exist_ok=True)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", directory], capture_output=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount tmpfs: {done.stderr.decode().strip()}")


OPEN_ON_A_FULL_DISK = "try: print(zanth_vec.ZanthVec(path, 3).get_data([id]))\nexcept OSError as e: print(e)"


def test_full_and_read_only_file_systems(tmp_path):
    root = str(tmp_path / "fs")
    mount_tmpfs(root, "size=2m")
    try:
        path = os.path.join(root, "store")
        db = ZanthVec(path, num_shards=3, map_size=1 << 30)
        stored, start = [], 0
        with pytest.raises(OSError) as info:
            while start < 10**5:
                db.store_data([b"d" * 1000] * 30, list(range(start, start + 30)))
                stored += range(start, start + 30)
                start += 30
        # LMDB reports a short write as EIO, a refused one as ENOSPC.
        assert str(info.value) in ("LMDB: No space left on device", "LMDB: Input/output error")
        failed = db.get_data(list(range(start, start + 30)))
        for shard in range(3):  # whatever of the failed call is stored came from whole shards
            assert len(set(map(repr, failed[shard::3]))) == 1
        del db, info
        gc.collect()
        assert run_isolated(f"print(zanth_vec.ZanthVec(path, 3).get_data({stored}) == [b'd' * 1000] * {len(stored)})",
                            path=path).strip() == "True"
        subprocess.run(["mount", "-o", "remount,size=64m", root], check=True)
        ZanthVec(path, num_shards=3).store_data([b"e"] * 30, list(range(start, start + 30)))
        gc.collect()
        # A shard's lock file (LMDB writes it through a map: a page the disk cannot back would
        # kill the process) and data file (first pages cut short could never be read again) are
        # made only with room for them: a new store, or a copy without lock files, opens later.
        for free_kb in (0, 4, 16, 136, 200):
            for shard in range(3):  # as a copy of the store has none
                os.remove(os.path.join(path, f"shard_{shard}", "lock.mdb"))
            fs, filler, new = os.statvfs(root), os.path.join(root, "filler"), os.path.join(root, f"n{free_kb}")
            subprocess.run(["fallocate", "-l", str(fs.f_bavail * fs.f_frsize - free_kb * 1024), filler], check=True)
            opened = [run_isolated(OPEN_ON_A_FULL_DISK, path=p, id=start).strip() for p in (new, path)]
            assert opened[0] == "IO: No space left on device (os error 28)" and opened[1] in ("[b'e']", opened[0])
            os.remove(filler)
            assert run_isolated(OPEN_ON_A_FULL_DISK, path=new, id=start).strip() == "[None]"
            assert ZanthVec(path, num_shards=3).get_data([start]) == [b"e"]
            gc.collect()
        lock = os.stat(os.path.join(new, "shard_1", "lock.mdb"))  # LMDB's size, every block held
        assert lock.st_size == 131_200 <= lock.st_blocks * 512
        subprocess.run(["mount", "-o", "remount,ro", root], check=True)
        with pytest.raises(OSError, match="^(LMDB|IO): "):
            ZanthVec(path, num_shards=3)
        with pytest.raises(OSError, match=r"^IO: .*\(os error \d+\)"):
            ZanthVec(os.path.join(root, "other"), num_shards=1)
    finally:
        gc.collect()
        subprocess.run(["umount", "-l", root], check=False)


HOLDER = """
import lmdb, sys
env = lmdb.open(sys.argv[1], max_readers=1, subdir=True)
print("open", flush=True)
sys.stdin.readline()
txn = env.begin()
print("reading", flush=True)
sys.stdin.read()
"""


def test_reads_fail_where_no_reader_slot_is_free(store_path):
    """Another process holds the only reader slot of shard 0: reads there fail, while shard 1,
    writers and statistics (which need no slot) keep working."""
    os.makedirs(os.path.join(store_path, "shard_0"))
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, os.path.join(store_path, "shard_0")],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == b"open\n"
        db = ZanthVec(store_path, num_shards=2)  # shard 0's reader table was sized by the holder
        key0, key1 = (next(k for k in map("k{}".format, range(100)) if index_shard(k, 2) == s) for s in (0, 1))
        db.store_data(["even", "odd"], [2, 1])
        db.batch_index_insert([(key0, 2), (key1, 1)])
        db.store_flat_vectors(np.ones((2, 1), np.float32), [2, 1])
        holder.stdin.write(b"take the only slot\n")
        holder.stdin.flush()
        assert holder.stdout.readline() == b"reading\n"
        with pytest.raises(zanth_vec.PanicException):
            db.get_data([2])
        for tree in [(0, key0), (1, "k", "kz"), (2, [(0, key1), (0, key0)])]:
            with pytest.raises(zanth_vec.PanicException, match=r"^RO txn: ReadersFull$"):
                db.get_ids_from_filter(tree)
        with pytest.raises(OSError, match="^LMDB: MDB_READERS_FULL"):
            db.search_flat(np.ones(1, np.float32))
        assert db.get_data([1]) == ["odd"] and db.get_ids_from_filter((0, key1)).to_list() == [1]
        db.store_data(["y"], [4])
        assert db.get_data_count() == 7
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)


def test_a_reader_killed_inside_a_read_keeps_no_pages_from_reuse(store_path):
    db = ZanthVec(store_path, num_shards=1)  # open before, and after, the reader dies
    db.store_data([b"x" * 3000] * 200, list(range(200)))
    reader = ("import lmdb, os, signal, sys\n"
              "txn = lmdb.open(sys.argv[1], readonly=True).begin()\n"
              "os.kill(os.getpid(), signal.SIGKILL)")
    subprocess.run([sys.executable, "-c", reader, os.path.join(store_path, "shard_0")])
    for _ in range(40):  # 40 rewrites of about 800 KiB: they reuse the pages freed before
        db.store_data([b"y" * 3000] * 200, list(range(200)))
    assert os.path.getsize(os.path.join(store_path, "shard_0", "data.mdb")) < 8 * 2**20
