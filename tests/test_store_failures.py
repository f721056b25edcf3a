"""Storage failures: opening errors, too many readers, and reader slots left behind by dead
processes. Handles used across fork(): test_concurrency.py."""

import gc
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import zanth_vec
from conftest import open_files_under
from store_model import index_shard
from zanth_vec import ZanthVec


# ---------------------------------------------------------------------------------------------
# Opening


def test_base_path_that_is_a_regular_file(tmp_path):
    path = tmp_path / "file"
    path.write_bytes(b"not a directory")
    with pytest.raises(IOError) as info:
        ZanthVec(str(path))
    assert type(info.value) is OSError and info.value.args == ("IO: Not a directory (os error 20)",)
    assert info.value.errno is None and info.value.filename is None
    assert path.read_bytes() == b"not a directory"


def test_nul_in_base_path_is_an_io_error(tmp_path):
    with pytest.raises(OSError) as info:
        ZanthVec(str(tmp_path) + "/a\0b")
    assert str(info.value).startswith("IO: ")
    assert info.value.errno is None
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("fault", ["path is a file", "data file is no LMDB file"])
def test_failure_at_shard_3_of_5_closes_shards_0_to_2(store_path, fault):
    good = ZanthVec(store_path, num_shards=5)
    good.store_data(["kept"], [1])
    del good
    gc.collect()
    shard = os.path.join(store_path, "shard_3")
    shutil.rmtree(shard)
    if fault == "path is a file":
        open(shard, "w").close()
        broken, message = shard, r"^IO: .*\(os error \d+\)$"
    else:
        os.makedirs(shard)
        broken = os.path.join(shard, "data.mdb")
        message = "^LMDB: MDB_INVALID: File is not an LMDB file$"
        with open(broken, "wb") as f:
            f.write(b"\xff" * 8192)
    with pytest.raises(OSError, match=message) as info:
        ZanthVec(store_path, num_shards=5)
    assert info.value.errno is None
    assert sorted(os.listdir(store_path)) == [f"shard_{i}" for i in range(5)]
    gc.collect()
    assert open_files_under(store_path) == []
    # the environments really were released: the store opens again once shard 3 is fixed
    os.remove(broken)
    os.makedirs(shard, exist_ok=True)
    again = ZanthVec(store_path, num_shards=5)
    assert again.get_data([1]) == ["kept"]


def test_map_size_beyond_the_address_space(store_path):
    with pytest.raises(OSError) as info:
        ZanthVec(store_path, num_shards=2, map_size=2**62)
    assert str(info.value).startswith("LMDB: ")
    assert info.value.errno is None
    assert open_files_under(store_path) == []


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


def test_reads_panic_when_no_reader_slot_is_free(store_path, holder):
    """Another process holds the only reader slot of shard 0: no read transaction can begin
    there, while shard 1, writers and statistics (which need no slot) keep working."""
    ask = holder(os.path.join(store_path, "shard_0"), max_readers=1)
    store = ZanthVec(store_path, num_shards=2)  # shard 0's reader table was sized by the holder
    key0, key1 = (next(k for k in map("k{}".format, range(100)) if index_shard(k, 2) == s)
                  for s in (0, 1))
    store.store_data(["even", "odd"], [2, 1])
    store.batch_index_insert([(key0, 2), (key1, 1)])
    assert ask("read") == "reading"  # takes the only slot
    with pytest.raises(zanth_vec.PanicException):
        store.get_data([2])
    for tree in [(0, key0), (1, "k", "kz"), (2, [(0, key1), (0, key0)])]:
        with pytest.raises(zanth_vec.PanicException, match=r"^RO txn: ReadersFull$"):
            store.get_ids_from_filter(tree)
    assert store.get_data([1]) == ["odd"]
    assert store.get_ids_from_filter((0, key1)).to_list() == [1]
    store.store_data(["y"], [4])
    assert store.get_data_count() == 5
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
