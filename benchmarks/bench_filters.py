"""get_ids_from_filter against what a user would otherwise write: a cursor scan with the lmdb
binding into a Python set, and Python set algebra. Same records, same run, medians of rounds in
which ours and the peer take turns.

    python benchmarks/bench_filters.py [--quick] [--json PATH] [--dir DIR]

Rows (ratio = ours / peer, goal = the largest ratio accepted):
  exact           (0, key) on a key holding 1,000,000 ids      vs  prefix scan into a set
  range           (1, "r:", "r:~") over 1,000 keys x 100 ids   vs  range scan into a set
  and/or/and_not  two keys of 1,000,000 ids each, the whole call (both keys read from LMDB and
                  combined)                                    vs  set &, |, - on two ready sets
"""

import argparse
import json
import os
import shutil
import statistics
import struct
import tempfile

import lmdb
import numpy as np

import zanth_vec
from timing import timed

SEED = 20240612
MAP_SIZE = 8 << 30


def record_key(key, ident):
    return key.encode() + b"|" + struct.pack("<q", ident)


def peer_exact(env, key):
    prefix = key.encode() + b"|"
    size = len(prefix) + 8
    out = set()
    add = out.add
    from_bytes = int.from_bytes
    with env.begin() as txn:
        cursor = txn.cursor()
        if cursor.set_range(prefix):
            for k in cursor.iternext(values=False):
                if not k.startswith(prefix):
                    break
                if len(k) == size:
                    add(from_bytes(k[-8:], "little", signed=True))
    return out


def peer_range(env, start, end):
    start_b, end_b = start.encode(), end.encode()
    namespace = start_b[: start_b.index(b":") + 1] if b":" in start_b else b""
    out = set()
    add = out.add
    from_bytes = int.from_bytes
    with env.begin() as txn:
        cursor = txn.cursor()
        if cursor.set_range(start_b):
            for k in cursor.iternext(values=False):
                if k >= end_b or not k.startswith(namespace):
                    break
                if len(k) > 8:
                    add(from_bytes(k[-8:], "little", signed=True))
    return out


def build(root, args, scale):
    rng = np.random.default_rng(SEED)
    n_exact = 1_000_000 // scale
    n_range_keys, per_key = 1_000 // scale, 100
    n_big = 1_000_000 // scale
    exact_ids = rng.integers(-(2**63), 2**63 - 1, n_exact, dtype=np.int64).tolist()
    range_ids = rng.integers(0, 2**62, n_range_keys * per_key, dtype=np.int64).tolist()
    # Two sets of n_big ids that share half of their ids.
    pool = rng.choice(2**62, size=n_big * 3 // 2, replace=False).astype(np.int64)
    a_ids = pool[:n_big].tolist()
    b_ids = pool[n_big // 2:].tolist()
    entries = [("exact", i) for i in exact_ids]
    entries += [(f"r:{k:04d}", range_ids[k * per_key + j]) for k in range(n_range_keys)
                for j in range(per_key)]
    entries += [("A", i) for i in a_ids] + [("B", i) for i in b_ids]

    store = zanth_vec.ZanthVec(os.path.join(root, "ours"), num_shards=args.shards,
                               map_size=MAP_SIZE)
    store.batch_index_insert(entries)
    env = lmdb.open(os.path.join(root, "peer"), map_size=MAP_SIZE)
    with env.begin(write=True) as txn:
        cursor = txn.cursor()
        cursor.putmulti(sorted((record_key(k, i), b"") for k, i in entries))
    sizes = {"exact": n_exact, "range": n_range_keys * per_key, "and": n_big, "or": n_big,
             "and_not": n_big}
    return store, env, sizes


def run(args):
    scale = 10 if args.quick else 1
    reps = 3 if args.quick else args.repetitions
    root = tempfile.mkdtemp(prefix="bench_filters_", dir=args.dir)
    try:
        store, env, sizes = build(root, args, scale)
        A, B = (0, "A"), (0, "B")
        set_a, set_b = peer_exact(env, "A"), peer_exact(env, "B")
        cases = {
            # name: (our tree, the peer, the largest ratio ours / peer accepted)
            "exact": ((0, "exact"), lambda: peer_exact(env, "exact"), 0.05),
            "range": ((1, "r:", "r:~"), lambda: peer_range(env, "r:", "r:~"), 0.2),
            "and": ((2, [A, B]), lambda: set_a & set_b, 0.33),
            "or": ((3, [A, B]), lambda: set_a | set_b, 0.33),
            "and_not": ((2, [A, (4, B)]), lambda: set_a - set_b, 0.33),
        }
        times = {name: {"ours": [], "peer": []} for name in cases}
        for round_no in range(reps + 1):  # round 0 is the warm-up
            for name, (tree, peer, _) in cases.items():
                t_ours, ours = timed(lambda: store.get_ids_from_filter(tree))
                t_peer, expected = timed(peer)
                if round_no == 0 and set(ours.to_list()) != expected:
                    raise SystemExit(f"{name}: results differ")
                del ours, expected
                if round_no:
                    times[name]["ours"].append(t_ours)
                    times[name]["peer"].append(t_peer)

        rows = []
        for name, (_, _, goal) in cases.items():
            ours = statistics.median(times[name]["ours"])
            peer = statistics.median(times[name]["peer"])
            rows.append({"operation": name, "ids": sizes[name], "ours_s": ours, "peer_s": peer,
                         "ratio": ours / peer, "goal": goal, "met": ours / peer <= goal})

        print(f"get_ids_from_filter, {args.shards} shards, median of {reps} (after 1 warm-up), "
              f"vs lmdb {lmdb.__version__} cursor scans into Python sets and set algebra")
        print(f"{'operation':<12}{'ids':>10}{'zanth_vec ms':>14}{'peer ms':>10}{'ratio':>8}  goal")
        for r in rows:
            print(f"{r['operation']:<12}{r['ids']:>10}{r['ours_s'] * 1e3:>14.2f}"
                  f"{r['peer_s'] * 1e3:>10.2f}{r['ratio']:>8.3f}  <= {r['goal']} "
                  f"{'met' if r['met'] else 'MISSED'}")
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"benchmark": "filters", "shards": args.shards, "repetitions": reps,
                           "results": rows}, f, indent=2)
        del store
        env.close()
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the ids, 3 repetitions")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    parser.add_argument("--dir", help="directory for the temporary stores")
    parser.add_argument("--repetitions", type=int, default=7)
    parser.add_argument("--shards", type=int, default=5)
    run(parser.parse_args())


if __name__ == "__main__":
    main()
