"""Crash atomicity under kill -9.

A writer process runs numbered calls (objects, vectors, index entries; every id encodes its
call's number) and logs each call that returned. The test kills it with SIGKILL at random
moments, and after every kill reopens the store and checks each shard against a model: the
shard holds exactly the effect of every logged call, plus the in-flight call either entirely
or not at all. A holder process keeps the store open throughout, so killed writers leave their
reader slots in the shared lock file; opening the store must clear them.

ZANTH_STRESS_KILLS sets the number of kills (30 by default; `make stress` runs 200).
"""
import gc
import os
import random
import signal
import struct
import subprocess
import sys
import time

import pytest

import workload
from store_model import StoreModel

KILLS = int(os.environ.get("ZANTH_STRESS_KILLS", "30"))
NUM_SHARDS = 3
HERE = os.path.dirname(os.path.abspath(__file__))
WRITER = os.path.join(HERE, "crash_writer.py")
HOLDER_CODE = (
    "import sys, zanth_vec\n"
    "db = zanth_vec.ZanthVec(sys.argv[1], num_shards=int(sys.argv[2]), map_size=1 << 30)\n"
    "print('ready', flush=True)\n"
    "sys.stdin.read()\n"
)


def last_logged(log_path):
    try:
        with open(log_path, "rb") as f:
            lines = f.read().split(b"\n")
    except FileNotFoundError:
        return None
    complete = [line for line in lines[:-1] if line]
    return int(complete[-1]) if complete else None


def dead_reader_slots(store_path, pid):
    """Reader-table entries of `pid` in every shard, read with the lmdb binding. Only call this
    while no ZanthVec handle on the store is alive in this process."""
    import lmdb

    found = 0
    for shard in range(NUM_SHARDS):
        env = lmdb.open(os.path.join(store_path, f"shard_{shard}"), readonly=True,
                        max_readers=2048, max_dbs=1)
        try:
            for line in env.readers().splitlines()[1:]:
                fields = line.split()
                if fields and fields[0].isdigit() and int(fields[0]) == pid:
                    found += 1
        finally:
            env.close()
    return found


def wait_for_call(proc, log_path, number, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done = last_logged(log_path)
        if done is not None and done >= number:
            return
        if proc.poll() is not None:
            pytest.fail(f"writer exited with {proc.returncode}: {proc.stderr.read().decode()[-3000:]}")
        time.sleep(0.005)
    pytest.fail(f"writer did not complete call {number} within {timeout} s")


def block_layouts(store_path):
    """Per shard, the record ids of every vector block in key order, tombstones included, read
    with the lmdb binding. Only call this while no ZanthVec handle on the store is alive in this
    process."""
    import lmdb

    record = 8 + 4 * workload.DIM
    layouts = []
    for shard in range(NUM_SHARDS):
        env = lmdb.open(os.path.join(store_path, f"shard_{shard}"), readonly=True,
                        max_readers=2048, max_dbs=1)
        try:
            with env.begin() as txn:
                layouts.append(tuple(
                    tuple(struct.unpack_from("<q", value, at)[0] for at in range(0, len(value), record))
                    for key, value in txn.cursor() if len(key) == 5 and key[0] == 0x70))
        finally:
            env.close()
    return layouts


def model_layout(shard_model):
    return tuple(tuple(rid for rid, _ in block) for block in shard_model.blocks)


def possible_states(observed, model, after, view):
    """Per shard, the set of "before"/"after" the in-flight call that `observed` is consistent
    with under `view` (a function of a ShardModel); fails when a shard shows neither (part of a
    call, or a logged call lost)."""
    states = []
    for s in range(NUM_SHARDS):
        found = {name for name, state in (("before", model), ("after", after))
                 if observed[s] == view(state.shards[s])}
        if not found:
            pytest.fail(f"shard {s} holds part of a call or lost a logged one")
        states.append(found)
    return states


def public_states(db, model, after, object_ids, kinds):
    """What the public methods tell. A call that changes nothing they report (compact_vectors
    above all) leaves both states possible."""
    observed = workload.observe(db, NUM_SHARDS, kinds, object_ids)
    return possible_states(observed, model, after, lambda shard: shard.observable(workload.QUERY))


# Ids no workload call uses, one per shard residue: deleting them writes nothing.
UNUSED_IDS = [10**15 + s for s in range(NUM_SHARDS)]


def check_against_model(store_path, model, inflight, touched_ids, kinds):
    """Checks every shard against the model with and without the in-flight call and adopts the
    state each shard shows. Returns the shards whose readers saw the in-flight call only after
    a write transaction had run on them: a writer killed between writing its meta page and
    publishing it in the lock file leaves a commit that readers see after the next writer's
    recovery (LMDB's robust-mutex repair), while the environment statistics count it already.

    The public methods cannot tell whether an in-flight compact_vectors committed in a shard:
    the live vectors are the same either way. The shard's block layout can, and adopting the
    wrong one breaks the model later (tombstones squeezed out in the model but not in the store
    make the next append start a new block in one and top up the last block in the other), so
    the layout decides too, read once the store handle is gone."""
    after = model.clone()
    inflight.apply(after)
    object_ids = set(touched_ids)
    for state in (model, after):
        for shard in state.shards:
            object_ids.update(shard.objects)
    db = workload.open_store(store_path, NUM_SHARDS)
    first = public_states(db, model, after, object_ids, kinds)
    db.delete_data(UNUSED_IDS)  # one write transaction per shard
    public = public_states(db, model, after, object_ids, kinds)
    count = db.get_data_count()
    del db
    gc.collect()
    layout = possible_states(block_layouts(store_path), model, after, model_layout)
    settled = []
    for s in range(NUM_SHARDS):
        both = public[s] & layout[s]
        assert both, f"shard {s}: public methods show {public[s]}, block layout shows {layout[s]}"
        # Both possible: the two states are the same in everything the store keeps.
        settled.append("after" if "after" in both else "before")
        if settled[s] == "after":
            model.shards[s] = after.shards[s]
    assert count == model.get_data_count()
    late = [s for s in range(NUM_SHARDS) if settled[s] not in first[s]]
    assert all(settled[s] == "after" for s in late), "a shard went back to before the in-flight call"
    by_layout = sum(len(public[s]) == 2 and len(layout[s]) == 1 for s in range(NUM_SHARDS))
    return settled, late, by_layout


def test_kill9_leaves_every_shard_whole(tmp_path):
    store_path = str(tmp_path / "store")
    log_path = str(tmp_path / "calls.log")
    kinds = list(workload.KINDS)
    seed = int(os.environ.get("ZANTH_TEST_SEED", random.randrange(2**31)))
    print(f"seed {seed}, kinds {kinds}, {KILLS} kills")
    rng = random.Random(seed)
    model = StoreModel(NUM_SHARDS)
    holder = subprocess.Popen([sys.executable, "-c", HOLDER_CODE, store_path, str(NUM_SHARDS)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    next_call, stale_slots, partial_calls, late_commits, calls_run = 0, 0, 0, 0, 0
    layout_decided = 0
    deadline = time.monotonic() + max(120, 6 * KILLS)
    try:
        assert holder.stdout.readline() == b"ready\n"
        for kill in range(KILLS):
            assert time.monotonic() < deadline, f"only {kill} kills within the time bound"
            writer = subprocess.Popen(
                [sys.executable, WRITER, store_path, log_path, str(NUM_SHARDS), str(seed),
                 str(next_call), ",".join(kinds)], stderr=subprocess.PIPE)
            try:
                wait_for_call(writer, log_path, next_call)
                time.sleep(rng.uniform(0, 0.25))
                writer.send_signal(signal.SIGKILL)
                writer.wait(timeout=30)
            finally:
                if writer.poll() is None:
                    writer.kill()
                    writer.wait()
                writer.stderr.close()
            assert writer.returncode == -signal.SIGKILL
            last = last_logged(log_path)
            stale_slots += dead_reader_slots(store_path, writer.pid)
            touched = set()
            for number in range(next_call, last + 1):
                call = workload.make_call(seed, number, kinds)
                call.apply(model)
                touched.update(call.ids())
            inflight = workload.make_call(seed, last + 1, kinds)
            touched.update(inflight.ids())
            settled, late, by_layout = check_against_model(store_path, model, inflight, touched, kinds)
            layout_decided += by_layout
            partial_calls += len(set(settled)) > 1
            late_commits += bool(late)
            assert dead_reader_slots(store_path, writer.pid) == 0, "stale reader slots were not cleared"
            calls_run += last + 1 - next_call
            next_call = last + 2
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)
    print(f"{KILLS} kills survived, {calls_run} logged calls, {partial_calls} in-flight calls "
          f"committed in some shards only, {late_commits} seen by readers only after the next write, "
          f"{stale_slots} stale reader slots cleared, {layout_decided} shard states told by the block "
          f"layout alone")
    # The store keeps working after all of it.
    db = workload.open_store(store_path, NUM_SHARDS)
    final = workload.make_call(seed, next_call, kinds)
    final.run(db)
    final.apply(model)
    touched = set(final.ids())
    for shard in model.shards:
        touched.update(shard.objects)
    observed = workload.observe(db, NUM_SHARDS, kinds, touched)
    assert observed == [shard.observable(workload.QUERY) for shard in model.shards]
    del db
    gc.collect()
    assert block_layouts(store_path) == [model_layout(shard) for shard in model.shards]
