"""Storage failures: opening errors, a full map, too many readers, handles used across fork(),
and reader slots left behind by dead processes."""

import gc
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import zanth_vec
from conftest import open_files_under, read_shard
from zanth_vec import ZanthVec

MAP_FULL = "LMDB: MDB_MAP_FULL: Environment mapsize limit reached"


def assert_plain_os_error(error, message):
    assert type(error) is OSError
    assert str(error) == message
    assert error.args == (message,)
    assert error.errno is None and error.filename is None


# ---------------------------------------------------------------------------------------------
# Opening


def test_base_path_that_is_a_regular_file(tmp_path):
    path = tmp_path / "file"
    path.write_bytes(b"not a directory")
    with pytest.raises(IOError) as info:
        ZanthVec(str(path))
    assert_plain_os_error(info.value, "IO: Not a directory (os error 20)")
    assert path.read_bytes() == b"not a directory"


def test_shard_path_that_is_a_regular_file_stops_at_that_shard(store_path):
    os.makedirs(store_path)
    open(os.path.join(store_path, "shard_2"), "w").close()
    with pytest.raises(OSError) as info:
        ZanthVec(store_path, num_shards=4)
    message = str(info.value)
    assert message.startswith("IO: ") and message.endswith(")")
    assert info.value.errno is None
    assert sorted(os.listdir(store_path)) == ["shard_0", "shard_1", "shard_2"]
    assert open_files_under(store_path) == []


def test_nul_in_base_path_is_an_io_error(tmp_path):
    with pytest.raises(OSError) as info:
        ZanthVec(str(tmp_path) + "/a\0b")
    assert str(info.value).startswith("IO: ")
    assert info.value.errno is None
    assert os.listdir(tmp_path) == []


def test_junk_data_file_is_not_an_lmdb_file(store_path):
    shard = os.path.join(store_path, "shard_0")
    os.makedirs(shard)
    with open(os.path.join(shard, "data.mdb"), "wb") as f:
        f.write(os.urandom(3) + b"\0" * 16384)
    with pytest.raises(OSError) as info:
        ZanthVec(store_path, num_shards=1)
    assert_plain_os_error(info.value, "LMDB: MDB_INVALID: File is not an LMDB file")


def test_failure_at_shard_3_of_5_closes_shards_0_to_2(store_path):
    good = ZanthVec(store_path, num_shards=3)
    good.store_data(["kept"], [1])
    del good
    gc.collect()
    shard = os.path.join(store_path, "shard_3")
    os.makedirs(shard)
    with open(os.path.join(shard, "data.mdb"), "wb") as f:
        f.write(b"\xff" * 8192)
    with pytest.raises(OSError, match="^LMDB: MDB_INVALID"):
        ZanthVec(store_path, num_shards=5)
    assert sorted(os.listdir(store_path)) == [f"shard_{i}" for i in range(4)]
    gc.collect()
    assert open_files_under(store_path) == []
    # the environments really were released: the store opens again once shard 3 is fixed
    os.remove(os.path.join(shard, "data.mdb"))
    again = ZanthVec(store_path, num_shards=5)
    assert again.get_data([1]) == ["kept"]


def test_map_size_beyond_the_address_space(store_path):
    with pytest.raises(OSError) as info:
        ZanthVec(store_path, num_shards=2, map_size=2**62)
    assert str(info.value).startswith("LMDB: ")
    assert info.value.errno is None
    assert open_files_under(store_path) == []


# ---------------------------------------------------------------------------------------------
# A full map: the failed shard stores nothing of the call, the others commit, the call raises


def fill_shard_zero(store):
    """Stores even ids (shard 0 of 2) one call at a time until shard 0's map is full; returns
    the ids that made it."""
    stored = []
    for start in range(0, 100_000, 20):
        ids = list(range(start, start + 20, 2))
        try:
            store.store_data([b"v" * 300] * len(ids), ids)
        except OSError as e:
            assert_plain_os_error(e, MAP_FULL)
            return stored
        stored += ids
    pytest.fail("the map never filled up")


def test_store_data_reports_a_full_map(open_store, store_path):
    store = open_store(num_shards=2, map_size=1 << 17)
    stored = fill_shard_zero(store)
    assert len(stored) > 50
    before = store.get_data(stored)
    # One call that spans both shards: shard 0 is full, shard 1 has room.
    with pytest.raises(OSError) as info:
        store.store_data(["big" * 20000, "odd a", "small even", "odd b"],
                         [1_000_000, 1_000_001, 1_000_002, 5])
    assert_plain_os_error(info.value, MAP_FULL)
    assert store.get_data(stored) == before  # earlier contents of the failed shard
    assert store.get_data([1_000_000, 1_000_002]) == [None, None]  # none of its batch
    assert store.get_data([1_000_001, 5]) == ["odd a", "odd b"]  # the other shard committed
    assert store.get_data_count() == len(stored) + 2
    del store
    gc.collect()
    assert len(read_shard(store_path, 0)) == len(stored)
    assert len(read_shard(store_path, 1)) == 2


def test_delete_data_reports_a_full_map(open_store):
    store = open_store(num_shards=2, map_size=1 << 17)
    stored = fill_shard_zero(store)
    store.store_data(["a", "b", "c"], [1, 3, 5])
    count = store.get_data_count()
    # Deleting every other record of a full shard needs fresh pages it does not have.
    with pytest.raises(OSError) as info:
        store.delete_data(stored[::2] + [1, 3])
    assert_plain_os_error(info.value, MAP_FULL)
    assert store.get_data(stored[::2][:5]) == [b"v" * 300] * 5
    assert store.get_data_count() == count - 2
    assert store.get_data([1, 3, 5]) == [None, None, "c"]


def test_full_map_leaves_the_store_usable(open_store):
    store = open_store(num_shards=2, map_size=1 << 17)
    stored = fill_shard_zero(store)
    with pytest.raises(OSError):
        store.store_data(["x" * 100000], [10**9])
    store.store_data(["fits"], [7])  # shard 1
    assert store.get_data([7, stored[0]]) == ["fits", b"v" * 300]


# ---------------------------------------------------------------------------------------------
# Every reader slot taken: get_data cannot begin its read transaction


HOLDER = textwrap.dedent("""
    import lmdb, sys
    env = lmdb.open(sys.argv[1], max_readers=int(sys.argv[2]), subdir=True)
    print("open", flush=True)
    txns = []
    for line in sys.stdin:
        if line.strip() == "read":
            txns.append(env.begin())
            print("reading", flush=True)
        elif line.strip() == "readers":  # the pids of the reader table
            rows = env.readers().splitlines()[1:]
            print(" ".join(row.split()[0] for row in rows if row.strip()), flush=True)
""")


@pytest.fixture
def holder(tmp_path):
    """Another process that keeps an environment open (with the lmdb binding) and takes read
    transactions on request."""
    processes = []

    def start(path, max_readers=126):
        os.makedirs(path, exist_ok=True)
        script = tmp_path / "holder.py"
        script.write_text(HOLDER)
        proc = subprocess.Popen([sys.executable, str(script), path, str(max_readers)],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        processes.append(proc)
        assert proc.stdout.readline().strip() == "open"

        def ask(command):
            proc.stdin.write(command + "\n")
            proc.stdin.flush()
            return proc.stdout.readline().strip()

        return ask

    yield start
    for proc in processes:
        proc.stdin.close()
        proc.wait(timeout=10)


def test_get_data_panics_when_no_reader_slot_is_free(store_path, holder):
    ask = holder(os.path.join(store_path, "shard_0"), max_readers=1)
    store = ZanthVec(store_path, num_shards=1)  # the reader table was sized by the holder
    store.store_data(["x"], [1])
    assert ask("read") == "reading"  # takes the only slot
    with pytest.raises(zanth_vec.PanicException):
        store.get_data([1])
    # writers and statistics need no reader slot
    store.store_data(["y"], [2])
    assert store.get_data_count() == 2
    assert store.get_data([]) == []


def test_stale_reader_slots_are_cleared_at_open(store_path, holder):
    shard = os.path.join(store_path, "shard_0")
    ask = holder(shard)  # keeps the lock file live, so nobody resets it
    crash = subprocess.run(
        [sys.executable, "-c",
         "import lmdb, os, sys\n"
         "env = lmdb.open(sys.argv[1], subdir=True)\n"
         "txn = env.begin()\n"
         "print(os.getpid(), flush=True)\n"
         "os._exit(0)\n", shard],
        capture_output=True, text=True, check=True)
    dead_pid = crash.stdout.strip()
    assert dead_pid in ask("readers").split()
    store = ZanthVec(store_path, num_shards=1)
    assert dead_pid not in ask("readers").split()
    del store


# ---------------------------------------------------------------------------------------------
# fork(): a handle from the parent refuses to work in the child; a new handle works


def run_in_child(body, timeout=30):
    """Runs body() in a forked child and returns its exit code; a hang fails the test."""
    pid = os.fork()
    if pid == 0:
        code = 99
        try:
            code = body()
        except BaseException as e:  # report anything unexpected through the exit code
            print("child failed:", repr(e), file=sys.stderr)
        finally:
            os._exit(code)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("the forked child hung")


def test_inherited_handle_raises_in_the_child(open_store):
    store = open_store(num_shards=3)
    store.store_data(["parent"], [1])

    def child():
        calls = [
            lambda: store.get_data([1]),
            lambda: store.store_data(["child"], [2]),
            lambda: store.delete_data([1]),
            lambda: store.get_data_count(),
        ]
        for n, call in enumerate(calls):
            try:
                call()
                return 10 + n
            except RuntimeError as e:
                if "fork" not in str(e):
                    return 20 + n
        assert store.close() is None
        return 0

    assert run_in_child(child) == 0
    assert store.get_data([1, 2]) == ["parent", None]
    assert store.get_data_count() == 1


def test_child_may_open_the_store_anew(open_store):
    store = open_store(num_shards=3)
    store.store_data(["parent"], [1])

    def child():
        fresh = open_store(num_shards=3)
        if fresh.get_data([1]) != ["parent"]:
            return 2
        fresh.store_data(["child"], [2])
        if fresh.get_data([1, 2]) != ["parent", "child"]:
            return 3
        del fresh
        gc.collect()
        return 0

    assert run_in_child(child) == 0
    assert store.get_data([1, 2]) == ["parent", "child"]
    store.store_data(["parent again"], [3])
    assert store.get_data_count() == 3


def test_child_dropping_the_inherited_handle_leaves_the_parent_alone(open_store, store_path):
    store = open_store(num_shards=2)
    store.store_data(list(range(100)), list(range(100)))
    files_before = sorted(open_files_under(store_path))

    def child():
        nonlocal store
        del store
        gc.collect()
        again = open_store(num_shards=2)
        ok = again.get_data([5]) == [5]
        del again
        gc.collect()
        return 0 if ok else 1

    for _ in range(3):
        assert run_in_child(child) == 0
    assert sorted(open_files_under(store_path)) == files_before
    assert store.get_data(list(range(100))) == list(range(100))
    store.delete_data(list(range(50)))
    assert store.get_data_count() == 50


def test_fork_while_other_threads_use_the_store(open_store):
    import threading

    store = open_store(num_shards=4)
    stop = threading.Event()

    def writer():
        n = 0
        while not stop.is_set():
            store.store_data([n] * 50, list(range(n, n + 50)))
            store.get_data(list(range(n, n + 50)))
            n += 50

    threads = [threading.Thread(target=writer) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        def child():
            fresh = open_store(num_shards=4)
            fresh.store_data(["c"], [-1])
            return 0 if fresh.get_data([-1]) == ["c"] else 1

        for _ in range(5):
            assert run_in_child(child) == 0
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert store.get_data([-1]) == ["c"]
