"""Faults that take threads, another process or interpreter shutdown to show: each ran into a
crash, an abort or a silent wrong answer once. The risky parts run in a child interpreter, so a
crash fails the test instead of killing pytest."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zanth_vec


def run_child(code, tmp_path, timeout=120):
    """Runs `code` in a new interpreter with `path` naming a store directory under tmp_path and
    returns the finished process; a hang fails the test."""
    script = f"import numpy as np, zanth_vec\npath = {str(tmp_path / 'child')!r}\n" + textwrap.dedent(code)
    try:
        return subprocess.run([sys.executable, "-"], input=script, capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"child hung for {timeout} s")


def assert_clean_exit(done):
    assert done.returncode == 0, f"child ended with {done.returncode}: {done.stderr[-3000:]}"
    return done.stdout


@pytest.mark.parametrize("work", ["search", "store", "filter"])
def test_daemon_thread_inside_a_call_at_interpreter_exit(tmp_path, work):
    """CPython ends a daemon thread that takes the GIL back during shutdown: that must end the
    thread quietly, not abort the process, and what the main thread stored must be there."""
    code = f"""
        import threading, time
        db = zanth_vec.ZanthVec(path, num_shards=3)
        vectors = np.random.default_rng(0).standard_normal((20000, 64)).astype(np.float32)
        db.store_flat_vectors(vectors, list(range(20000)))
        db.batch_index_insert([("k:" + str(i % 50), i) for i in range(20000)])
        def loop():
            n = 0
            while True:
                n += 1
                if {work!r} == "search":
                    db.search_flat(vectors[n % 100], k=10)
                elif {work!r} == "store":
                    db.store_data([b"x" * 1000] * 200, list(range(10**6 + 200 * n, 10**6 + 200 * n + 200)))
                else:
                    db.get_ids_from_filter((3, [(1, "k:1", "k:4"), (4, (0, "k:7"))]))
        for _ in range(2):
            threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.3)
        db.store_data(["last words"], [-1])
    """
    for attempt in range(3):
        done = run_child(code, tmp_path / str(attempt))
        assert_clean_exit(done)
        db = zanth_vec.ZanthVec(str(tmp_path / str(attempt) / "child"), num_shards=3)
        assert db.get_data([-1]) == ["last words"]


def test_deep_filter_trees_on_small_stacks_from_many_threads(tmp_path):
    """Evaluation and dropping a tree must not lean on the caller's stack: trees at the depth
    limit from a thread of the smallest stack Python allows, and from many 2 MiB threads at once
    (a waiting caller once ran other calls' subtrees on its own stack)."""
    out = assert_clean_exit(run_child("""
        import os, threading
        db = zanth_vec.ZanthVec(path, num_shards=4)
        db.batch_index_insert([(f"k:{i % 7}", i) for i in range(700)])
        def deep(levels):
            tree = (1, "k:0", "k:3")                 # ids with i % 7 in {0, 1, 2}
            for level in range(levels):
                tree = (2, [tree, (4, (0, f"k:{level % 7 + 3}"))]) if level % 2 else (3, [tree])
            return tree
        expected = sorted(i for i in range(700) if i % 7 < 3)
        results, errors = [], []
        def run(levels):
            try:
                results.append(sorted(db.get_ids_from_filter(deep(levels)).to_list()))
            except BaseException as e:
                errors.append(repr(e))
        threading.stack_size((256 if "ASAN_OPTIONS" in os.environ else 32) << 10)  # sanitized frames: larger
        t = threading.Thread(target=run, args=(1023,)); t.start(); t.join()
        threading.stack_size(2 << 20)
        threads = [threading.Thread(target=run, args=(1000 + i % 20,)) for i in range(48)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert not errors, errors[:3]
        assert len(results) == 49 and all(r == expected for r in results)
        print("ok")
    """, tmp_path, timeout=300))
    assert out.strip() == "ok"


def test_counting_while_another_process_grows_the_map(tmp_path):
    """get_data adopts the map another process grew; get_data_count reads the environment's
    statistics meanwhile, which once read the old, unmapped map (a race: before the fix this
    crashed in about one run of three)."""
    out = assert_clean_exit(run_child("""
        import lmdb, os, threading, time, subprocess, sys
        db = zanth_vec.ZanthVec(path, num_shards=1, map_size=1 << 20)
        db.store_data(["seed"], [0])
        grow = (
            "import lmdb, sys\\n"
            "env = lmdb.open(sys.argv[1], map_size=1 << 20)\\n"
            "for i in range(1, 400):\\n"
            "    env.set_mapsize((1 << 20) + i * (1 << 18))\\n"
            "    with env.begin(write=True) as txn:\\n"
            "        txn.put(b'grow' + i.to_bytes(4, 'big'), b'x' * 200_000)\\n")
        grower = subprocess.Popen([sys.executable, "-c", grow, os.path.join(path, "shard_0")])
        stop = False
        def reads():
            while not stop:
                db.get_data([0])
        def counts():
            while not stop:
                db.get_data_count()
        threads = [threading.Thread(target=f) for f in (reads, reads) + (counts,) * 4]
        for t in threads: t.start()
        grower.wait()
        time.sleep(0.2)
        stop = True
        for t in threads: t.join()
        print(db.get_data_count(), grower.returncode)
    """, tmp_path))
    assert out.split() == ["400", "0"]


def test_reopen_with_a_larger_map_gives_room(open_store):
    """A full store is given room by reopening it with a larger map_size, also while the first
    handle is still open (both share one environment); a smaller map_size leaves it as it is."""
    small = open_store(num_shards=1, map_size=1 << 20)
    blob = b"x" * 200_000
    with pytest.raises(OSError, match="MDB_MAP_FULL"):
        small.store_data([blob] * 10, list(range(10)))
    large = open_store(num_shards=1, map_size=64 << 20)
    large.store_data([blob] * 10, list(range(10)))
    assert small.get_data_count() == 10  # the old handle sees the grown map too
    del small
    open_store(num_shards=1, map_size=1 << 20).store_data([blob] * 100, list(range(10, 110)))
    assert large.get_data_count() == 110


def test_full_map_in_vector_maintenance_is_an_os_error(open_store):
    """delete_flat_vectors and compact_vectors on a full map fail like any write: OSError, that
    shard unchanged, and the store usable afterwards."""
    db = open_store(num_shards=1, map_size=1 << 20)
    vectors = np.arange(4000 * 16, dtype=np.float32).reshape(4000, 16)
    db.store_flat_vectors(vectors, list(range(4000)))
    db.delete_flat_vectors(list(range(0, 4000, 2)), 16)
    for size in (10_000, 1_000, 10):  # fill every last page
        try:
            while True:
                db.store_data([b"f" * size], [10**9 + db.get_data_count()])
        except OSError:
            pass
    with pytest.raises(OSError, match="MDB_MAP_FULL"):
        db.delete_flat_vectors(list(range(1, 4000, 2)), 16)
    with pytest.raises(OSError, match="MDB_MAP_FULL"):
        db.compact_vectors(16)
    query = np.ones(16, dtype=np.float32)
    hits = db.search_flat(query, k=3)
    assert [i for _, i in hits] == [3999, 3997, 3995]  # nothing of either call applied
    roomy = open_store(num_shards=1, map_size=64 << 20)
    assert roomy.compact_vectors(16) == 2000

