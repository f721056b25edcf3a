"""store_data / get_data of many small dicts in one call each, against the loop a user would
otherwise write with the lmdb binding: one write transaction with pickle.dumps + put per object,
one read transaction with get + pickle.loads per object. Same data, same run, medians.

    python benchmarks/bench_objects.py [--quick] [--json PATH] [--dir DIR]
"""

import argparse
import json
import os
import pickle
import shutil
import statistics
import sys
import tempfile

import lmdb
import numpy as np

import zanth_vec
from timing import timed

SEED = 20240611
MAP_SIZE = 4 << 30
GOAL = 0.8


def make_objects(n, seed):
    rng = np.random.default_rng(seed)
    scores = rng.random(n)
    ids = rng.permutation(n * 4)[:n].astype(np.int64)
    objects = [
        {"id": int(ids[i]), "name": f"item-{i}", "score": float(scores[i]), "tags": ["red", "xl"]}
        for i in range(n)
    ]
    return objects, [int(i) for i in ids]


def key_of(i):
    return i.to_bytes(8, "little", signed=True)


def lmdb_store(env, objects, ids):
    dumps = pickle.dumps
    with env.begin(write=True) as txn:
        put = txn.put
        for obj, i in zip(objects, ids):
            put(key_of(i), dumps(obj))


def lmdb_get(env, ids):
    loads = pickle.loads
    out = []
    with env.begin() as txn:
        get = txn.get
        for i in ids:
            value = get(key_of(i))
            out.append(None if value is None else loads(value))
    return out


def run(args):
    n = 10_000 if args.quick else args.count
    reps = 3 if args.quick else args.repetitions
    objects, ids = make_objects(n, SEED)
    root = tempfile.mkdtemp(prefix="bench_objects_", dir=args.dir)
    times = {"ours_store": [], "peer_store": [], "ours_get": [], "peer_get": []}
    try:
        # Round 0 is the warm-up and is not counted. Each round writes into fresh stores so
        # both sides pay for building the same B-trees.
        for round_no in range(reps + 1):
            ours_path = os.path.join(root, f"ours_{round_no}")
            peer_path = os.path.join(root, f"peer_{round_no}")
            store = zanth_vec.ZanthVec(ours_path, num_shards=args.shards, map_size=MAP_SIZE)
            env = lmdb.open(peer_path, map_size=MAP_SIZE)

            t_ours_store, _ = timed(lambda: store.store_data(objects, ids))
            t_peer_store, _ = timed(lambda: lmdb_store(env, objects, ids))
            t_ours_get, ours_out = timed(lambda: store.get_data(ids))
            t_peer_get, peer_out = timed(lambda: lmdb_get(env, ids))
            if ours_out != objects or peer_out != objects:
                sys.exit("benchmark read back different objects")
            if round_no > 0:
                times["ours_store"].append(t_ours_store)
                times["peer_store"].append(t_peer_store)
                times["ours_get"].append(t_ours_get)
                times["peer_get"].append(t_peer_get)
            del store, ours_out, peer_out
            env.close()
            shutil.rmtree(ours_path)
            shutil.rmtree(peer_path)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    rows = []
    for op in ("store", "get"):
        ours = statistics.median(times[f"ours_{op}"])
        peer = statistics.median(times[f"peer_{op}"])
        rows.append({"operation": f"{op}_data", "objects": n, "ours_s": ours, "lmdb_loop_s": peer,
                     "ratio": ours / peer, "goal": GOAL, "met": ours / peer <= GOAL})
    print(f"{n} small dicts, {args.shards} shards, median of {reps} (after 1 warm-up), "
          f"{zanth_vec.__name__} vs lmdb {lmdb.__version__} loop")
    print(f"{'operation':<12}{'zanth_vec ms':>14}{'lmdb loop ms':>14}{'ratio':>8}  goal <= {GOAL}")
    for r in rows:
        print(f"{r['operation']:<12}{r['ours_s'] * 1e3:>14.1f}{r['lmdb_loop_s'] * 1e3:>14.1f}"
              f"{r['ratio']:>8.2f}  {'met' if r['met'] else 'MISSED'}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"benchmark": "objects", "shards": args.shards, "repetitions": reps,
                       "results": rows}, f, indent=2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10,000 objects, 3 repetitions")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    parser.add_argument("--dir", help="directory for the temporary stores")
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--shards", type=int, default=5)
    run(parser.parse_args())


if __name__ == "__main__":
    main()
