"""`zanth stats|verify|copy` on stores made here, sound and deliberately damaged."""

import json
import os
import pickle
import random
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

import lmdb
import numpy as np
import pytest

import zanth_vec
from zanth import cli as zanth_cli
from zanth.cli import scan

DIM, SHARDS = 8, 3


def zanth(*args, command=(sys.executable, "-m", "zanth")):
    done = subprocess.run([*command, *map(str, args)], capture_output=True, text=True,
                          timeout=300)
    assert "Traceback" not in done.stderr, done.stderr
    return done.returncode, done.stdout + done.stderr


@pytest.fixture
def made(tmp_path):
    """600 vectors (10 deleted), 100 objects, 5 index keys over 100 ids, in 3 shards."""
    path = tmp_path / "store"
    store = zanth_vec.ZanthVec(str(path), SHARDS, 1 << 26)
    rng = np.random.default_rng(5)
    store.store_flat_vectors(rng.standard_normal((600, DIM)).astype(np.float32), range(600))
    store.delete_flat_vectors(list(range(0, 100, 10)), DIM)
    store.store_data([{"n": i} for i in range(100)], range(100))
    store.batch_index_insert([(f"k:{i % 5}", i) for i in range(100)])
    return path


def shard_env(path, shard):
    return lmdb.open(str(path / f"shard_{shard}"), map_size=1 << 26, max_dbs=0)


def test_stats_counts_what_was_stored(made, monkeypatch, capsys):
    # A reader killed inside its transaction leaves its slot behind: a stale reader, kept in
    # the lock file while some process (this one) has the store open.
    holder = zanth_vec.ZanthVec(str(made), SHARDS, 1 << 26)
    subprocess.run([sys.executable, "-c", "import lmdb, os; e = lmdb.open(%r, max_dbs=0); "
                    "t = e.begin(); os.kill(os.getpid(), 9)" % str(made / "shard_2")])
    code, out = zanth("stats", made, "--json")
    report = json.loads(out[: out.rindex("}") + 1])
    assert code == 0 and report["shards"] == SHARDS and report["dimension"] == DIM
    assert {k: report["totals"][k] for k in ("objects", "vector_blocks", "vector_records",
                                              "tombstones", "index_entries", "distinct_keys")} \
        == {"objects": 100, "vector_blocks": 3, "vector_records": 600, "tombstones": 10,
            "index_entries": 100, "distinct_keys": 5}
    assert [s["stale_readers"] for s in report["per_shard"]] == [0, 0, 1]
    assert [s["dimensions_seen"] for s in report["per_shard"]] == [[DIM]] * SHARDS
    del holder
    script = Path(sys.executable).parent / "zanth"
    (made.parent / "x[").mkdir()
    (marked := made.parent / "x[" / "docs[old]").symlink_to(made)  # no markup to rich
    code, out = zanth("stats", marked, command=[str(script)])
    assert code == 0 and f"{marked}: 3 shards on disk, dimension 8" in out and "600" in out
    monkeypatch.setattr(zanth_cli, "_rich", lambda: None)  # plain text without rich
    assert zanth_cli.main(["stats", str(made), "--dim", "8"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].endswith("3 shards on disk, dimension 8")
    assert lines[1].split()[:4] == ["shard", "objects", "blocks", "vectors"]
    assert lines[-2].split()[:5] == ["all", "100", "3", "600", "10"]


def put(path, shard, key, value):
    with shard_env(path, shard) as env, env.begin(write=True) as txn:
        txn.put(key, value)


def get(path, shard, key):
    with shard_env(path, shard) as env, env.begin() as txn:
        return txn.get(key)


def shorten_a_block(path):
    with shard_env(path, 1) as env, env.begin(write=True) as txn:
        txn.put(b"p\0\0\0\0", txn.get(b"p\0\0\0\0")[:-3])


def scribble_over_pages(path):
    data = path / "shard_1" / "data.mdb"
    with open(data, "r+b") as f:
        f.seek(2 * 4096)
        f.write(np.random.default_rng(1).bytes(os.path.getsize(data) - 2 * 4096))


def newest_meta(data, psize=4096):
    """The offset of the meta page LMDB reads (the higher transaction id); the main database's
    record count lies 120 bytes into it, its root page number 128."""
    return max((0, psize), key=lambda at: int.from_bytes(data[at + 144:at + 152], "little"))


def overcount(path, shard=0):
    data = bytearray((path / f"shard_{shard}" / "data.mdb").read_bytes())
    at = newest_meta(data) + 120
    data[at:at + 8] = (int.from_bytes(data[at:at + 8], "little") + 1).to_bytes(8, "little")
    (path / f"shard_{shard}" / "data.mdb").write_bytes(data)


def loop_the_btree(path, shard=1):
    """Rewrites shard `shard` as a well-routed B-tree of object records, then makes its root
    and four leaves into branch pages of 400 children, each naming the next page only: a cursor
    walk would meet the last leaf 400 ** 5 times."""
    where = path / f"shard_{shard}"
    shutil.rmtree(where)
    with lmdb.open(str(where), map_size=1 << 26, max_dbs=0) as env:
        with env.begin(write=True) as txn:
            for ident in range(shard, 9000, SHARDS):
                txn.put(ident.to_bytes(8, "little"), b"\x80\x04N.")
        psize = env.stat()["psize"]
    data = bytearray((where / "data.mdb").read_bytes())
    root = int.from_bytes(data[newest_meta(data, psize) + 128:][:8], "little")
    leaves = [page for page in range(2, len(data) // psize) if data[page * psize + 10] == 2]
    chain, children = [root, *leaves[:5]], 400
    for page, child in zip(chain, chain[1:]):
        at, upper = page * psize, psize - 8 * children
        data[at:at + psize] = bytes(psize)
        struct.pack_into("<QHHHH", data, at, page, 0, 1, 16 + 2 * children, upper)
        for i in range(children):
            struct.pack_into("<H", data, at + 16 + 2 * i, upper + 8 * i)
            struct.pack_into("<IHH", data, at + upper + 8 * i, child, 0, 0)
    (where / "data.mdb").write_bytes(data)


def short_but_sound(path, shard=0):
    """Rewrites shard `shard` with puts and deletes of well-routed objects until its data.mdb
    ends before its last page: LMDB leaves pages that a transaction took and gave back
    unwritten, so every page past the end of such a sound file is free."""
    rng, where = random.Random(0), path / f"shard_{shard}"
    for _ in range(50):
        shutil.rmtree(where)
        with lmdb.open(str(where), map_size=1 << 30, max_dbs=0) as env:
            for _ in range(6):
                with env.begin(write=True) as txn:
                    keys = [(rng.randrange(10**7) * SHARDS + shard).to_bytes(8, "little")
                            for _ in range(rng.randrange(100, 3000))]
                    for key in keys:
                        txn.put(key, pickle.dumps(b"v" * rng.choice([10, 200, 1500, 9000])))
                    for key in rng.sample(keys, rng.randrange(len(keys))):
                        txn.delete(key)
                if os.path.getsize(where / "data.mdb") < 4096 * (env.info()["last_pgno"] + 1):
                    return where / "data.mdb"
    pytest.fail("LMDB left no page unwritten")


def zero_the_free_list(path):
    data = bytearray(short_but_sound(path).read_bytes())
    root = int.from_bytes(data[newest_meta(data) + 80:][:8], "little")
    data[root * 4096:(root + 1) * 4096] = bytes(4096)
    (path / "shard_0" / "data.mdb").write_bytes(data)


def cut_a_page_in_use(path):
    """The short file loses its last written page, which holds records: its free list is
    readable and does not hold that page."""
    data = short_but_sound(path)
    os.truncate(data, os.path.getsize(data) - 4096)


def flag_the_database(path):
    """Meta pages that give the main database integer keys, which the store never asks for."""
    with open(path / "shard_1" / "data.mdb", "r+b") as f:
        for meta in (0, 4096):
            os.pwrite(f.fileno(), struct.pack("<H", 0x08), meta + 16 + 72 + 4)


DAMAGE = {
    "database flags": (flag_the_database, "shard 1: its meta page gives the database the flags 0x8"),
    "key of no kind": (lambda p: put(p, 0, b"xyz", b""), "records of no known kind"),
    "short block": (shorten_a_block, "not whole 40-byte records"),
    "index value": (lambda p: put(p, 2, b"k:0|" + (5).to_bytes(8, "little"), b"x"),
                    "index records with a value"),
    "misrouted object": (lambda p: put(p, 0, (1).to_bytes(8, "little"), b"\x80\x04N."),
                         "routes to another shard of 3"),
    "bad pickle": (lambda p: put(p, 1, (4).to_bytes(8, "little"), b"\x80\x04garbage"),
                   "not a well-formed pickle"),
    "unknown memo": (lambda p: put(p, 1, (4).to_bytes(8, "little"), b"\x80\x04h\x05."),
                     "memo key 5 has never been stored into"),
    "not lmdb": (lambda p: (p / "shard_1" / "data.mdb").write_bytes(b"junk" * 5000),
                 "shard 1: cannot be read"),
    "truncated": (lambda p: os.truncate(p / "shard_2" / "data.mdb", 3 * 4096),
                  "shard 2: data.mdb is truncated"),
    "short, free list zeroed": (zero_the_free_list, "shard 0: data.mdb is truncated: "),
    "short, a page in use cut": (cut_a_page_in_use, "shard 0: data.mdb is truncated: "),
    "empty data file": (lambda p: os.truncate(p / "shard_1" / "data.mdb", 0),
                        "shard 1: data.mdb is empty"),
    "missing shard": (lambda p: shutil.rmtree(p / "shard_1"), "shard_2 lies outside"),
    "no shard_0": (lambda p: shutil.rmtree(p / "shard_0"), "shard_0 is missing; found shard_1"),
    "misrouted vector": (lambda p: put(p, 1, b"p\0\0\0\0", (3).to_bytes(8, "little") + bytes(
        4 * DIM) + get(p, 1, b"p\0\0\0\0")[8 + 4 * DIM:]), "not checked: their dimension"),
    "scribbled pages": (scribble_over_pages, "shard 1: "),
    "looping B-tree": (loop_the_btree, "shard 1: its B-tree is damaged"),
    "no data file": (lambda p: os.remove(p / "shard_2" / "data.mdb"), "shard 2: no data.mdb"),
    "miscounted": (overcount, "shard 0: its B-tree is damaged: it holds 75 records, its "
                              "header counts 76"), }
STRUCTURAL = ["not lmdb", "truncated", "short, free list zeroed", "looping B-tree",
              "empty data file", "no data file"]


@pytest.mark.parametrize("damage", DAMAGE)
def test_verify_reports_damage_and_exits_1(made, damage):
    code, out = zanth("verify", made)
    assert code == 0 and out.rstrip().endswith("sound"), out
    harm, expected = DAMAGE[damage]
    harm(made)
    code, out = zanth("verify", made)
    assert code == 1 and expected in out and "not sound" in out, out
    assert "no vectors" not in out, out  # what a shard not read holds is not known
    if damage in STRUCTURAL:  # stats reads every shard too, and names the damaged one
        code, out = zanth("stats", made)
        assert code == 1 and f"PROBLEM {expected}" in out, out
        for compact in ((), ("--compact",)):
            code, out = zanth("copy", made, made.parent / f"copy{len(compact)}", *compact)
            assert code == 1 and f"PROBLEM {expected.split(':')[0]}: " in out, out


def test_a_short_file_whose_missing_pages_are_free_is_sound(made, tmp_path):
    short_but_sound(made)
    code, out = zanth("verify", made)
    assert code == 0 and out.rstrip().endswith("sound") and "PROBLEM" not in out, out
    for compact in ((), ("--compact",)):
        code, out = zanth("copy", made, tmp_path / f"copy{len(compact)}", *compact)
        assert code == 0 and "PROBLEM" not in out, out


def test_verify_documents_of_a_collection(made, tmp_path):
    from zanth import Collection
    from zanth.encoding import NUMBER_ID, PRESENT_KEY, SETTINGS_ID

    path = tmp_path / "docs"
    with Collection(path, dim=DIM, num_shards=SHARDS) as col:
        col.add(["a", "b"], np.eye(2, DIM), [{"n": 1}, {"n": 2}])
        col.update("b", documents="q" * 1500)  # an object the store pads with zero bytes
        col.add([f"c{i}" for i in range(10)], np.ones((10, DIM)))
        col.delete(["c0", "c1"])  # their vectors wait for their tombstones: sound
        doomed = col._found(["a"])[0][0]
    (path / "shard_1\n").mkdir()  # not a shard directory, for the store or for us
    assert zanth("copy", path, tmp_path / "copy")[0] == 0
    for sound in (path, tmp_path / "copy"):
        code, out = zanth("verify", sound, "--documents")
        assert code == 0 and out.rstrip().endswith("sound"), out
        assert f"dimension {DIM} (the collection's settings)" in out, out
    assert "waiting: 2 vectors of deleted documents" in zanth("stats", path)[1]
    raw = zanth_vec.ZanthVec(str(path), SHARDS, 1 << 26)
    assert doomed in raw.get_ids_from_filter((0, PRESENT_KEY)).to_list()
    raw.delete_flat_vectors([doomed], DIM)
    raw.close()
    code, out = zanth("verify", path, "--documents")
    assert code == 1 and "documents: document 'a' has 0 live vectors, not 1" in out, out
    assert " records read" not in out  # every shard was read
    # The count the lock file records holds, whatever directories are there: with the last
    # shard gone, those left are a sound store of one shard fewer, but not this collection.
    for harm, command, said in [
            (lambda: shutil.move(path / "shard_2", tmp_path / "kept"), "verify", "shard_2 is missing"),
            (lambda: None, "copy", "shard_2 is missing"),
            (lambda: None, "verify --shards 2", "records 3 shards, not --shards 2"),
            (lambda: (shutil.move(tmp_path / "kept", path / "shard_2"), zanth_vec.ZanthVec(str(path), SHARDS)
                      .delete_data([SETTINGS_ID, NUMBER_ID])), "verify", "without its settings record")]:
        harm()
        name, *more = command.split()
        code, out = zanth(name, path, *(more or [tmp_path / "copy2"] * (name == "copy")))
        assert code == 1 and said in out and not (tmp_path / "copy2").exists(), out
    with pytest.raises(ValueError, match="zanth_vec methods directly"):
        Collection(made)  # refused, leaving no lock file: the store is still not a collection
    code, out = zanth("verify", made, "--documents")
    assert code == 2 and "not a collection" in out, out
    code, out = zanth("verify", made)
    assert code == 0 and out.rstrip().endswith("sound"), out


@pytest.mark.parametrize("args, message", [
    (("copy", "{}", ""), "DEST is empty"), (("copy", "{}", "/proc/none/x"), "cannot be made"),
    (("verify", "{}", "--dim", "0"), "--dim must be at least 1")])
def test_usage_errors_exit_2_and_touch_nothing(made, monkeypatch, args, message):
    monkeypatch.chdir(made)  # an empty DEST must not mean here
    code, out = zanth(*[a.format(made) for a in args])
    assert code == 2 and message in out and sorted(os.listdir(made))[0] == "shard_0", out


@pytest.mark.parametrize("shards, n", [(5, 10), (2, 3), (11, 12)])
def test_small_sound_stores_verify_without_a_dim(tmp_path, shards, n):
    zanth_vec.ZanthVec(str(tmp_path), shards).store_flat_vectors(np.ones((n, 384), np.float32),
                                                                  range(n))
    code, out = zanth("verify", tmp_path)
    assert code == 0 and "dimension 384" in out, out
    loadable = [pickle.dumps(v, p) + pad for v in ([{"a": (1, 2)}, {3}], b"x" * 300, "\u00e9")
                for p in range(6) for pad in (b"", bytes(9))] + [b"(ccollections\nOrderedDict\no."]
    assert [scan._pickle_problem(v) for v in loadable] == [None] * len(loadable)


@pytest.mark.parametrize("command", [("verify",), ("stats",), ("copy", "elsewhere")])
def test_a_mistyped_shard_count_is_one_problem_line(made, tmp_path, command):
    command = [*command[:1], made, *[tmp_path / c for c in command[1:]], "--shards", 10**12]
    code, out = zanth(*command)
    assert code == 1, out
    assert "shard_3 to shard_999999999999 are missing (999,999,999,997 directories)" in out


def test_copy_while_written_is_sound_and_compact(made, tmp_path):
    store = zanth_vec.ZanthVec(str(made), SHARDS, 1 << 26)
    store.delete_data(range(0, 100, 2))  # free pages that a compacting copy leaves out
    del store
    writer = subprocess.Popen([sys.executable, "-c", f"""
import time, zanth_vec
s = zanth_vec.ZanthVec({str(made)!r}, {SHARDS}, 1 << 26)
end, n = time.time() + 3, 1000
while time.time() < end:
    s.store_data([{{"n": i}} for i in range(n, n + 50)], list(range(n, n + 50)))
    n += 50
"""])
    time.sleep(0.5)
    dest = tmp_path / "copy"
    code, out = zanth("copy", made, dest, "--compact")
    writer.wait()
    assert code == 0 and "compacted" in out, out
    code, out = zanth("verify", dest)
    assert code == 0, out
    copy = zanth_vec.ZanthVec(str(dest), SHARDS, 1 << 26)
    objects = copy.get_data(range(1, 100, 2))
    assert objects == [{"n": i} for i in range(1, 100, 2)]
    size = lambda p: sum(os.path.getsize(p / f"shard_{i}" / "data.mdb") for i in range(SHARDS))
    assert size(dest) < size(made)
    for taken, why in ((dest, "not an empty directory"), (made / "copy", "inside the store"),
                       (made / "shard_5", "inside the store"), (made, "not an empty")):
        code, out = zanth("copy", made, taken)
        assert code == 2 and why in out, out
    assert sorted(os.listdir(made)) == [f"shard_{i}" for i in range(SHARDS)]


def test_a_collection_copied_while_written_holds_whole_documents(tmp_path):
    from zanth import Collection

    path = tmp_path / "docs"
    Collection(path, dim=8).upsert(range(2000), np.ones((2000, 8)))
    writer = subprocess.Popen([sys.executable, "-c", f"""
import time, numpy as np
from zanth import Collection
c, end, rng = Collection({str(path)!r}), time.time() + 4, np.random.default_rng(0)
while time.time() < end:
    ids = rng.choice(2000, 200, replace=False).tolist()
    c.upsert(ids, rng.standard_normal((200, 8)), [{{"g": int(g)}} for g in rng.integers(0, 9, 200)])
    c.delete(ids[:30])
"""])
    time.sleep(1)
    for k in range(3):
        assert zanth("copy", path, tmp_path / f"copy{k}")[0] == 0
    writer.wait()
    for k in range(3):
        code, out = zanth("verify", tmp_path / f"copy{k}", "--documents")
        assert code == 0, out


def test_copy_waits_for_a_writer_only_as_long_as_it_is_told(tmp_path):
    import fcntl
    import threading

    from zanth import Collection

    path = tmp_path / "docs"
    Collection(path, dim=4).add(["a", "b"], np.eye(4)[:2])
    held = os.open(path / "collection.lock", os.O_RDWR)
    fcntl.flock(held, fcntl.LOCK_EX)  # as a running write holds it
    code, out = zanth("copy", path, tmp_path / "late", "--wait", "0.3")
    assert code == 1 and "held the collection for more than 0.3 s" in out
    assert not (tmp_path / "late").exists()
    threading.Timer(0.5, os.close, (held,)).start()
    code, out = zanth("copy", path, tmp_path / "waited", "--wait", "30")
    assert code == 0 and "waiting for the collection's writer" in out, out
    assert len(Collection(tmp_path / "waited").get(["a", "b"])) == 2
    for bad in ("-1", "nan", "inf"):
        assert zanth("copy", path, tmp_path / "never", "--wait", bad)[0] == 2


def test_sketch_files_are_counted_checked_quietly_and_not_copied(tmp_path):
    path = tmp_path / "store"
    store = zanth_vec.ZanthVec(str(path), 2)
    store.store_flat_vectors(np.ones((300, 128), np.float32), range(300))
    store.search_flat(np.ones(128, np.float32))
    del store  # waits until the sketches are published
    sketches = sorted(os.listdir(path / "sketches"))
    assert sketches == ["shard_0.128", "shard_1.128"]
    (path / "sketches" / ".shard_0.128.tmp.1.0").write_bytes(b"torn")
    code, out = zanth("stats", path)
    assert code == 0 and "search sketches: 2 files" in out and "1 temporary" in out, out
    code, out = zanth("stats", path, "--json")
    report = json.loads(out[: out.rindex("}") + 1])
    size = sum(os.path.getsize(path / "sketches" / n) for n in sketches)
    assert report["sketch_files"] == {"files": 2, "bytes": size, "temporary": 1}
    (path / "sketches" / "shard_1.128").write_bytes(b"damaged")
    code, out = zanth("verify", path)
    assert code == 0 and "sound" in out, out
    code, out = zanth("copy", path, tmp_path / "copy")
    assert code == 0 and sorted(os.listdir(tmp_path / "copy")) == ["shard_0", "shard_1"], out


def fault(send):
    import faulthandler

    faulthandler._sigsegv()


def test_a_reader_that_faults_fails_its_shard_only():
    from zanth.cli.isolate import Failed, run_per_shard

    results = run_per_shard(fault, [(), ()])
    # SIGSEGV, or SIGABRT where a sanitizer runtime catches the fault first.
    assert all(isinstance(r, Failed) and "crashed the reader (SIG" in r.reason
               for r in results), results


def test_stats_shows_each_shards_dimensions(tmp_path, capsys, monkeypatch):
    """A caller who stored two dimensions into one store: each shard tells its own."""
    store = zanth_vec.ZanthVec(str(tmp_path), SHARDS, 1 << 26)
    for shard, dim in ((0, 8), (1, 16)):
        store.store_flat_vectors(np.ones((256, dim), np.float32), range(shard, 768, SHARDS))
    store.store_flat_vectors(np.ones((3, 16), np.float32), [SHARDS + 1] * 3)  # shard 1 again
    monkeypatch.setattr(zanth_cli, "_rich", lambda: None)
    assert zanth_cli.main(["stats", str(tmp_path)]) == 1  # two dimensions: a problem
    lines = capsys.readouterr().out.splitlines()
    rows = {line.split()[0]: line.split() for line in lines[2:2 + SHARDS + 1]}
    assert (rows["0"][5], rows["1"][5], rows["2"][5]) == ("8", "16", "-")
    assert rows["all"][5:7] == ["8,", "16"]
    one = zanth_vec.ZanthVec(str(tmp_path / "one"), 1)  # one shard, no full block: 8|16|...?
    one.store_flat_vectors(np.ones((10, 8), np.float32), range(10))
    one.store_data([b"x" * 3000] * 500, range(500))
    one.delete_data(range(500))  # freed pages are not in use
    assert zanth_cli.main(["stats", str(tmp_path / "one"), "--json"]) == 0
    totals = json.loads(capsys.readouterr().out)["totals"]
    assert totals["vector_records"] is None and totals["tombstones"] is None  # not 0
    assert totals["bytes_used"] < 200_000 < 1_500_000 < totals["file_size"]
    assert zanth_cli.main(["verify", str(tmp_path)]) == 1


def blocks(rng, dim, counts, shards):
    """One block per shard of random vectors whose ids route to that shard."""
    out = []
    for shard, count in enumerate(counts):
        ids = rng.integers(0, 2**40, count) * shards + shard
        records = np.zeros(count, dtype=[("id", "<i8"), ("v", "<f4", dim)])
        records["id"], records["v"] = ids, rng.standard_normal((count, dim))
        out.append((shard, records.tobytes()))
    return out


@pytest.mark.parametrize("dim, counts, expected", [
    (16, [200, 180, 3], 16),      # ids route home only when read at the true record size
    (128, [256], 128),            # one shard: a full block decides
    (5, [256, 256, 256, 9], 5),
    (2, [2, 2], None),            # two records a block: 2 or 6? ambiguous, not a guess
    (16, [100], None),            # one shard, no full block
])
def test_dimension_inference(dim, counts, expected):
    from collections import Counter

    from zanth.cli.scan import infer_record_size

    samples = blocks(np.random.default_rng(dim), dim, counts, len(counts))
    size, candidates = infer_record_size(Counter(len(b) for _, b in samples), samples,
                                         len(counts))
    assert size == (None if expected is None else 8 + 4 * expected)
    assert 8 + 4 * dim in candidates
