"""Crash harness: a writer process runs numbered calls and logs each one that returned; it is
killed with SIGKILL at random moments. After every kill each shard must hold exactly the logged
calls plus the in-flight call entirely or not at all, byte for byte, and the reader slots the
dead writer left behind must be gone once the store is opened again. A holder process keeps the
store open throughout, so the lock files (and their reader tables) live on."""
import gc
import os
import random
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import zanth_vec
from conftest import SCALE, read_shard
from store_model import StoreModel, check_top_k

KILLS = max(3, int(10 * SCALE))
NUM_SHARDS, DIM = 3, 4
TAGS = [f"tag:{i}" for i in range(8)]
UNUSED_IDS = [10**15 + s for s in range(NUM_SHARDS)]  # deleting them writes a no-op per shard


def make_call(seed, number):
    """(method, args) of call `number`, fully determined by (seed, number); its ids encode the
    number. Deletions take part of what an earlier call of the same kind wrote."""
    rng = random.Random(seed * 1_000_003 + number)
    kind = number % 3
    earlier = number - 3 * rng.randint(1, 6)
    if kind == 1 and rng.random() < 0.1:
        return "compact_vectors", ()
    if earlier >= 0 and rng.random() < 0.3:
        method, args = make_call(seed, earlier)
        if method in ("store_data", "store_flat_vectors", "batch_index_insert"):
            victims = list(args[-1])  # ids, or index entries
            doomed = rng.sample(victims, rng.randint(1, len(victims)))
            return ("delete_data", "delete_flat_vectors", "batch_index_delete")[kind], (doomed,)
    ids = [rng.choice((1, -1)) * (number * 1000 + j) for j in range(rng.randint(1, 300))]
    if kind == 0:
        return "store_data", ([(number, "x" * rng.randint(0, 3000))] * len(ids), ids)
    if kind == 1:
        return "store_flat_vectors", (np.random.default_rng([seed, number]).standard_normal((len(ids), DIM), np.float32), ids)
    return "batch_index_insert", ([(rng.choice(TAGS), i) for i in ids],)


def run(target, call):
    method, args = call
    if method in ("delete_flat_vectors", "compact_vectors") and isinstance(target, zanth_vec.ZanthVec):
        args = args + (DIM,)
    return getattr(target, method)(*args)


def writer_main(path, log_path, seed, number):
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS, map_size=1 << 30)

    def read_forever():  # read transactions in flight, so kills leave reader slots behind
        while True:
            db.get_data(list(range(-2000, 2000)))
            db.search_flat(np.ones(DIM, np.float32), k=50)
            db.get_ids_from_filter((1, "tag:", "tag;"))

    threading.Thread(target=read_forever, daemon=True).start()
    log = os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
    while True:
        run(db, make_call(seed, number))
        os.write(log, f"{number}\n".encode())
        os.fsync(log)
        number += 1


def last_logged(log_path):
    with open(log_path, "a+b") as f:
        f.seek(0)
        done = f.read().split(b"\n")[:-1]
    return int(done[-1]) if done else None


def reader_slots(path, pid):
    import lmdb

    found = 0
    for s in range(NUM_SHARDS):
        env = lmdb.open(os.path.join(path, f"shard_{s}"), readonly=True, max_readers=2048)
        found += sum(line.split()[0] == str(pid) for line in env.readers().splitlines()[1:])
        env.close()
    return found


def test_kill9_leaves_every_shard_whole(tmp_path):
    path, log_path = str(tmp_path / "store"), str(tmp_path / "calls.log")
    seed = int(os.environ.get("ZANTH_TEST_SEED", random.randrange(2**31)))
    rng, model, next_call, stale = random.Random(seed), StoreModel(NUM_SHARDS), 0, 0
    holder = subprocess.Popen([sys.executable, "-c", "import sys, zanth_vec\n"
                               "db = zanth_vec.ZanthVec(sys.argv[1], 3, 1 << 30)\nprint(flush=True)\nsys.stdin.read()",
                               path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        holder.stdout.readline()
        for kill in range(KILLS):
            writer = subprocess.Popen([sys.executable, __file__, path, log_path, str(seed), str(next_call)])
            deadline = time.monotonic() + 60
            while (last_logged(log_path) or -1) < next_call:
                assert writer.poll() is None and time.monotonic() < deadline, f"writer failed (seed {seed})"
                time.sleep(0.005)
            time.sleep(rng.uniform(0, 0.25))
            writer.send_signal(signal.SIGKILL)
            assert writer.wait(timeout=30) == -signal.SIGKILL
            stale += reader_slots(path, writer.pid)
            last = last_logged(log_path)
            for number in range(next_call, last + 1):
                run(model, make_call(seed, number))
            after = model.clone()
            run(after, make_call(seed, last + 1))
            db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS, map_size=1 << 30)
            db.delete_data(UNUSED_IDS)  # a write settles a commit the lock file has not seen yet
            count = db.get_data_count()
            del db
            assert reader_slots(path, writer.pid) == 0, "stale reader slots were not cleared"
            for s in range(NUM_SHARDS):
                disk = read_shard(path, s)
                states = [m for m in (model, after) if m.shards[s].records(DIM) == disk]
                assert states, f"shard {s} holds part of a call or lost a logged one (seed {seed})"
                model.shards[s] = states[-1].shards[s]
            assert count == model.get_data_count()
            next_call = last + 2
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)
    # A few kills (the sanitizer run's short profile) may all land outside a read; with more, a
    # harness that never leaves a slot behind tests nothing there.
    assert stale > 0 or KILLS < 10, "no kill left a reader slot behind: the harness tests nothing there"
    db = zanth_vec.ZanthVec(path, num_shards=NUM_SHARDS, map_size=1 << 30)
    ids = sorted({i for s in model.shards for i in s.objects} | set(range(-1000 * next_call, 1000 * next_call, 997)))
    assert db.get_data(ids) == model.get_data(ids)
    query = np.ones(DIM, np.float32)
    check_top_k(db.search_flat(query, k=2**64 - 1), model.search_candidates(query), 2**64 - 1)
    for tag in TAGS:
        assert sorted(db.get_ids_from_filter((0, tag)).to_list()) == sorted(model.evaluate((0, tag))[0])


if __name__ == "__main__":
    writer_main(sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
