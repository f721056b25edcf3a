"""get_ids_from_filter against what a user would otherwise write: a cursor scan with the lmdb
binding into a Python set, and Python set algebra. Same records, same run, medians of rounds in
which ours and the peer take turns.

    python benchmarks/bench_filters.py [--quick] [--json PATH] [--dir DIR]
    python benchmarks/bench_filters.py --search [--n N] [--dim D] [--json PATH] [--dir DIR]

Rows (ratio = ours / peer, goal = the largest ratio accepted):
  exact           (0, key) on a key holding 1,000,000 ids      vs  prefix scan into a set
  range           (1, "r:", "r:~") over 1,000 keys x 100 ids   vs  range scan into a set
  and/or/and_not  two keys of 1,000,000 ids each, the whole call (both keys read from LMDB and
                  combined)                                    vs  set &, |, - on two ready sets
These rows turn the filter cache off, so every call reads the index; each is followed by a
"(cached)" row (no goal): the same tree repeated on a second handle whose cache keeps it, as a
program that asks the same filter again sees it (--no-cache leaves those rows out).

--search: filtered search_flat (k = 10) over N x D Gaussian vectors against the same handle's
unfiltered search in the same run, a filter accepting a random share f of the ids (include) or
all but that share (Not), f in 1, 10, 50 and 90%:
  given  the id set made once              goal include <= (0.1 + f)x, Not <= 1.1x
  anew   get_ids_from_filter + search_flat on every call   goal <= 1.5x
--no-cache turns the filter cache off, so every call reads the index again.
Every filtered answer is checked against NumPy over the accepted rows once.
"""

import argparse
import json
import os
import shutil
import statistics
import struct
import tempfile
import time

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
    store.set_filter_cache_budget(0)  # the rows with goals read the index on every call
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
        handles = {"": store}
        if not args.no_cache:
            handles[" (cached)"] = zanth_vec.ZanthVec(os.path.join(root, "ours"),
                                                      num_shards=args.shards, map_size=MAP_SIZE)
        times = {name + tag: {"ours": [], "peer": []} for name in cases for tag in handles}
        for round_no in range(reps + 1):  # round 0 is the warm-up
            for name, (tree, peer, _) in cases.items():
                for tag, handle in handles.items():
                    t_ours, ours = timed(lambda: handle.get_ids_from_filter(tree))
                    t_peer, expected = timed(peer)
                    if round_no == 0 and set(ours.to_list()) != expected:
                        raise SystemExit(f"{name}{tag}: results differ")
                    del ours, expected
                    if round_no:
                        times[name + tag]["ours"].append(t_ours)
                        times[name + tag]["peer"].append(t_peer)

        rows = []
        for name, (_, _, goal) in cases.items():
            for tag in handles:
                ours = statistics.median(times[name + tag]["ours"])
                peer = statistics.median(times[name + tag]["peer"])
                rows.append({"operation": name + tag, "ids": sizes[name], "ours_s": ours,
                             "peer_s": peer, "ratio": ours / peer, "goal": None if tag else goal,
                             "met": None if tag else ours / peer <= goal})

        print(f"get_ids_from_filter, {args.shards} shards, median of {reps} (after 1 warm-up), "
              f"vs lmdb {lmdb.__version__} cursor scans into Python sets and set algebra")
        print(f"{'operation':<18}{'ids':>10}{'zanth_vec ms':>14}{'peer ms':>10}{'ratio':>8}  goal")
        for r in rows:
            verdict = "" if r["goal"] is None else f"<= {r['goal']} " + (
                "met" if r["met"] else "MISSED")
            print(f"{r['operation']:<18}{r['ids']:>10}{r['ours_s'] * 1e3:>14.2f}"
                  f"{r['peer_s'] * 1e3:>10.2f}{r['ratio']:>8.3f}  {verdict}")
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"benchmark": "filters", "shards": args.shards, "repetitions": reps,
                           "results": rows}, f, indent=2)
        del store, handles
        env.close()
    finally:
        shutil.rmtree(root, ignore_errors=True)


def per_query(fns, queries, reps):
    """For each of fns, the median over reps of the mean seconds of one call over the rotating
    queries; the fns take turns within each repetition, so a busy spell hits them alike, and
    each repetition starts with the next fn, so none always runs on caches another just used."""
    times = [[] for _ in fns]
    for rep in range(reps):
        for i in range(len(fns)):
            fn, kept = fns[(rep + i) % len(fns)], times[(rep + i) % len(fns)]
            start = time.perf_counter()
            for q in queries:
                fn(q)
            kept.append((time.perf_counter() - start) / len(queries))
    return [statistics.median(t) for t in times]


def run_search(args):
    rng = np.random.default_rng(SEED)
    n, dim, k = args.n, args.dim, 10
    data = rng.standard_normal((n, dim), dtype=np.float32)
    queries = list(rng.standard_normal((8, dim), dtype=np.float32))
    root = tempfile.mkdtemp(prefix="bench_filtered_search_", dir=args.dir)
    rows = []
    try:
        store = zanth_vec.ZanthVec(root, num_shards=args.shards, map_size=1 << 36)
        if args.no_cache:
            store.set_filter_cache_budget(0)
        for start in range(0, n, 100_000):
            store.store_flat_vectors(data[start:start + 100_000],
                                     np.arange(start, min(n, start + 100_000)))
        order = rng.permutation(n)
        for _ in range(24):  # sketches cover every shard
            store.search_flat(queries[0], None, k)
        print(f"filtered search_flat{' (filter cache off)' if args.no_cache else ''}, "
              f"{n:,} x {dim}, k = {k}, {args.shards} shards, median of "
              f"{args.repetitions} rounds of {len(queries)} queries; ratio = filtered / unfiltered")
        print(f"{'case':<28}{'filtered ms':>12}{'unfiltered ms':>15}{'ratio':>8}  goal")
        for share in (0.01, 0.1, 0.5, 0.9):
            key = f"bench:share{int(share * 100)}"
            accepted = np.sort(order[:int(share * n)])
            store.batch_index_insert([(key, int(i)) for i in accepted])
            for name, tree, goal in ((f"include {share:.0%}", (0, key), 0.1 + share),
                                     (f"Not {share:.0%}", (4, (0, key)), 1.1)):
                given = store.get_ids_from_filter(tree)
                rows_of = accepted if tree[0] == 0 else np.setdiff1d(np.arange(n), accepted)
                scores = data[rows_of] @ queries[0]
                best = rows_of[np.argsort(-scores, kind="stable")[:k]]
                got = [i for _, i in store.search_flat(queries[0], given, k)]
                if sorted(got) != sorted(best.tolist()):
                    raise SystemExit(f"{name}: hits differ from NumPy")
                for _ in range(8):  # acceptance bitmaps built
                    store.search_flat(queries[0], given, k)
                cases = (("given", goal, lambda q: store.search_flat(q, given, k)),
                         ("anew", 1.5,
                          lambda q: store.search_flat(q, store.get_ids_from_filter(tree), k)))
                unfiltered, *filtered = per_query(
                    [lambda q: store.search_flat(q, None, k)] + [fn for _, _, fn in cases],
                    queries, args.repetitions)
                for (how, case_goal, _), t in zip(cases, filtered):
                    ratio = t / unfiltered
                    rows.append({"operation": f"{name}, {how}", "ours_s": t,
                                 "unfiltered_s": unfiltered, "ratio": ratio, "goal": case_goal,
                                 "met": ratio <= case_goal})
                    print(f"{name + ', ' + how:<28}{t * 1e3:>12.2f}{unfiltered * 1e3:>15.2f}"
                          f"{ratio:>8.3f}  <= {case_goal:.2f} "
                          f"{'met' if ratio <= case_goal else 'MISSED'}", flush=True)
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"benchmark": "filtered_search", "n": n, "dim": dim,
                           "shards": args.shards, "results": rows}, f, indent=2)
        del store
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a tenth of the ids, 3 repetitions")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    parser.add_argument("--dir", help="directory for the temporary stores")
    parser.add_argument("--repetitions", type=int, default=7)
    parser.add_argument("--shards", type=int, default=5)
    parser.add_argument("--search", action="store_true", help="filtered search_flat instead")
    parser.add_argument("--no-cache", action="store_true",
                        help="--search: evaluate every tree anew (set_filter_cache_budget(0)); "
                        "otherwise: leave out the (cached) rows")
    parser.add_argument("--n", type=int, default=1_000_000, help="--search: vectors")
    parser.add_argument("--dim", type=int, default=128, help="--search: dimension")
    args = parser.parse_args()
    run_search(args) if args.search else run(args)


if __name__ == "__main__":
    main()
