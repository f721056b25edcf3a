"""Sketch-pruned exact search against the same store's full scan and against exact peers.

Two handles on one store: the default one prunes with its in-memory sketches, the other has
them turned off (set_sketch_budget(0)) and reads every vector. Both return the same hits; the
script checks that on every query it times. Queries rotate through a set of different vectors.
Every figure is the median of 3 repetitions over that set, ours and the peer's taken in the
same run (the machine may be shared: compare ratios, not absolute times). A first search after
a write is a single call, which a preempted worker thread can stretch by a whole time slice,
so those figures are medians of 9 writes. Cases: Gaussian 1,000,000 x 128 and 200,000 x 768,
filtered, after writes, pinned to one CPU, all scores nearly equal, and 100,000 real sentence
embeddings (384 dimensions, minilm.py).

    python benchmarks/bench_pruned.py [--quick] [--json PATH] [--dir DIR] [--dims D ...]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import zanth_vec

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_search import peers  # noqa: E402

K = 10
REPS = 3
WRITE_REPS = 9
QUERIES = 8
ROWS = []


def report(operation, ours_s, peer, peer_s, goal=None, **extra):
    ratio = ours_s / peer_s if peer_s else None
    row = {"operation": operation, "ours_s": ours_s, f"{peer}_s": peer_s, "ratio": ratio}
    if goal is not None:
        row["goal"] = goal
        row["met"] = ratio is not None and ratio <= goal
    row.update(extra)
    ROWS.append(row)
    more = " ".join(f"{k}={v}" for k, v in extra.items())
    print(f"{operation:<44} {ours_s * 1e3:9.2f} ms | {peer:<22} {peer_s * 1e3:9.2f} ms | "
          f"{ratio:6.3f}x {'' if goal is None else f'(goal {goal})'} {more}", flush=True)


def per_query(fn, queries):
    """Median over REPS of the mean time of one call over the rotating queries."""
    times = []
    for _ in range(REPS):
        start = time.perf_counter()
        for q in queries:
            fn(q)
        times.append((time.perf_counter() - start) / len(queries))
    return float(np.median(times))


def same(a, b):
    return [s for s, _ in a] == [s for s, _ in b]


def open_pair(path):
    pruned = zanth_vec.ZanthVec(path, num_shards=5, map_size=1 << 36)
    full = zanth_vec.ZanthVec(path, num_shards=5, map_size=1 << 36)
    full.set_sketch_budget(0)
    return pruned, full


def warm(pruned, full, queries, filt=None):
    """Searches until the sketches cover every shard (each search sketches a sixteenth of what a
    write left unsketched); checks results against the full scan."""
    for i in range(18):
        q = queries[i % len(queries)]
        assert same(pruned.search_flat(q, filt, K), full.search_flat(q, filt, K))
    pruned.take_prune_counts()


def quiet(pruned):
    """Waits until the handle's background publishing of sketch files has ended (sketch_memory()
    does), so a full scan timed next does not share the CPUs with it and look slower."""
    pruned.sketch_memory()


def compare(label, pruned, full, queries, goal, filt=None):
    warm(pruned, full, queries, filt)
    ours = per_query(lambda q: pruned.search_flat(q, filt, K), queries)
    bounded, rescored, _ = pruned.take_prune_counts()
    quiet(pruned)
    theirs = per_query(lambda q: full.search_flat(q, filt, K), queries)
    rate = 1 - rescored / bounded if bounded else 0.0
    report(label, ours, "full scan", theirs, goal, pruned=f"{rate:.4%}")
    return ours, theirs


def scan_case(workdir, n, d, data, queries, label, filters=True, peer_goal=0.35):
    path = os.path.join(workdir, f"{label.replace(' ', '_')}_{n}_{d}")
    pruned, full = open_pair(path)
    for start in range(0, n, 100_000):
        pruned.store_flat_vectors(data[start:start + 100_000], np.arange(start, min(n, start + 100_000)))
    ours, _ = compare(f"{label}: pruned vs full", pruned, full, queries, 0.35)
    memory = pruned.sketch_memory()
    print(f"{label}: sketches hold {memory / 2**20:.1f} MiB = {memory / data.nbytes:.1%} of the "
          f"float32 data", flush=True)
    ROWS.append({"operation": f"{label}: sketch memory / float32 data",
                 "ratio": memory / data.nbytes, "goal": 0.30, "met": memory <= 0.30 * data.nbytes})
    threads = len(os.sched_getaffinity(0))
    fastest = None
    for name, fn in peers(data, threads).items():
        if isinstance(fn, str):
            print(f"{label}: {name} skipped: {fn}")
            continue
        t = per_query(fn, queries)
        report(f"{label}: pruned", ours, name, t)
        fastest = t if fastest is None else min(fastest, t)
    if fastest:
        report(f"{label}: pruned", ours, "fastest peer", fastest, peer_goal)
    if filters:
        filter_densities(label, pruned, full, queries, n)
    after_write(label, pruned, full, queries, d, n)
    own_writes(label, pruned, full, queries, d, n)
    return path


def filter_densities(label, pruned, full, queries, n):
    """Filtered searches against the same handle's unfiltered search: with the id set made
    once (goal: include at share f <= (0.1 + f)x, Not <= 1.1x) and with the tree evaluated
    anew on every call (get_ids_from_filter + search_flat, goal <= 1.5x)."""
    order = np.random.default_rng(5).permutation(n)
    for share in (0.01, 0.1, 0.5, 0.9):
        key = f"bench:share{int(share * 100)}"
        pruned.batch_index_insert([(key, int(i)) for i in order[:int(share * n)]])
        for name, tree, goal in ((f"include {share:.0%}", (0, key), 0.1 + share),
                                 (f"Not {share:.0%}", (4, (0, key)), 1.1)):
            given = pruned.get_ids_from_filter(tree)
            # A filter's first search marks its accepted records; the second may also copy
            # their sketches together (a filter searched with again): both are single calls.
            for use in ("first", "second"):
                start = time.perf_counter()
                pruned.search_flat(queries[0], given, K)
                t = time.perf_counter() - start
                start = time.perf_counter()
                pruned.search_flat(queries[0], None, K)
                report(f"{label}: {name}, {use} search with it", t, "unfiltered",
                       time.perf_counter() - start)
            warm(pruned, full, queries, given)
            unfiltered = per_query(lambda q: pruned.search_flat(q, None, K), queries)
            t = per_query(lambda q: pruned.search_flat(q, given, K), queries)
            report(f"{label}: {name}, id set given", t, "unfiltered", unfiltered, goal)
            t = per_query(lambda q: pruned.search_flat(q, pruned.get_ids_from_filter(tree), K),
                          queries)
            report(f"{label}: {name}, tree evaluated anew", t, "unfiltered", unfiltered, 1.5)
    memory = pruned.sketch_memory()
    print(f"{label}: sketches with the filters' copies hold {memory / 2**20:.1f} MiB = "
          f"{memory / (n * (d := len(queries[0])) * 4):.1%} of the float32 data", flush=True)
    ROWS.append({"operation": f"{label}: sketches and filter copies / float32 data",
                 "ratio": memory / (n * d * 4)})


def after_write(label, pruned, full, queries, d, n):
    """Another handle (`full`) commits to one or every shard: the searching handle's sketches of
    those shards are left behind, its first search sketches them anew, the second prunes."""
    rng = np.random.default_rng(7)
    for shards, what in ((1, "one shard"), (5, "every shard")):
        firsts, seconds, fulls = [], [], []
        for rep in range(WRITE_REPS):
            warm(pruned, full, queries)
            ids = [n + 1000 * rep + j for j in range(shards)]  # consecutive ids: one per shard
            full.store_flat_vectors(rng.standard_normal((shards, d)).astype(np.float32), ids)
            for times in (firsts, seconds):
                q = queries[(rep + len(times)) % len(queries)]
                start = time.perf_counter()
                pruned.search_flat(q, None, K)
                times.append(time.perf_counter() - start)
            quiet(pruned)
            fulls.append(per_query(lambda q: full.search_flat(q, None, K), queries[:2]))
        for times, which, goal in ((firsts, "first", 1.3), (seconds, "second", 0.5)):
            report(f"{label}: {which} search after another handle wrote {what}",
                   float(np.median(times)), "full scan", float(np.median(fulls)), goal)


def own_writes(label, pruned, full, queries, d, n):
    """The searching handle itself writes after every 8 searches, 256 vectors and 256 index
    entries by turns; every search is timed, the first after each write included."""
    rng = np.random.default_rng(8)
    warm(pruned, full, queries)
    ours, next_id = [], 10 * n
    for rnd in range(2 * WRITE_REPS):
        if rnd % 2 == 0:
            pruned.store_flat_vectors(rng.standard_normal((256, d)).astype(np.float32),
                                      np.arange(next_id, next_id + 256))
            next_id += 256
        else:
            pruned.batch_index_insert([(f"bench:w{rnd}", int(i)) for i in range(next_id - 256, next_id)])
        start = time.perf_counter()
        for i in range(8):
            pruned.search_flat(queries[(rnd + i) % len(queries)], None, K)
        ours.append((time.perf_counter() - start) / 8)
    quiet(pruned)
    theirs = per_query(lambda q: full.search_flat(q, None, K), queries)
    report(f"{label}: searches amid own writes (8 per write)", float(np.mean(ours)),
           "full scan", theirs, 0.5)


def all_equal_case(workdir, n, d):
    rng = np.random.default_rng(3)
    base = rng.standard_normal(d).astype(np.float32)
    data = np.repeat(base[None, :], n, axis=0)
    data += (rng.standard_normal((n, d)) * 1e-6).astype(np.float32)
    queries = [rng.standard_normal(d).astype(np.float32) for _ in range(QUERIES)]
    pruned, full = open_pair(os.path.join(workdir, f"equal_{n}_{d}"))
    pruned.store_flat_vectors(data, np.arange(n))
    compare(f"{n // 1000}k x {d} all scores nearly equal", pruned, full, queries, 1.15)


def embedding_case(workdir, quick):
    """Sentence embeddings of a real model (see minilm.py): the stored texts' vectors, searched
    with the vectors of other texts."""
    try:
        import minilm
        n = 20_000 if quick else 100_000
        data = minilm.vectors(n + QUERIES, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                           "..", "build", "bench-cache"))
    except ImportError as e:
        print(f"real embeddings skipped: {e}")
        return
    queries = [q.copy() for q in data[-QUERIES:]]
    data = np.ascontiguousarray(data[:-QUERIES])
    n, d = data.shape
    scan_case(workdir, n, d, data, queries, f"MiniLM-L6 {d}d {n // 1000}k", filters=False)


def pinned_case(path, n, d):
    cpu = min(os.sched_getaffinity(0))
    out = subprocess.run([sys.executable, __file__, "--pinned-child", path, str(n), str(d), str(cpu)],
                         capture_output=True, text=True, check=True)
    r = json.loads(out.stdout.strip().splitlines()[-1])
    report(f"{n // 1000}k x {d} pinned to 1 CPU: pruned vs full", r["pruned"], "full scan",
           r["full"], 0.35)


def pinned_child(path, n, d, cpu):
    os.sched_setaffinity(0, {cpu})
    rng = np.random.default_rng(1)
    queries = [rng.standard_normal(d).astype(np.float32) for _ in range(QUERIES)]
    pruned, full = open_pair(path)
    warm(pruned, full, queries)
    print(json.dumps({"pruned": per_query(lambda q: pruned.search_flat(q, None, K), queries),
                      "full": per_query(lambda q: full.search_flat(q, None, K), queries)}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes")
    parser.add_argument("--json", metavar="PATH")
    parser.add_argument("--dir", help="where the stores go (default: a temporary directory)")
    parser.add_argument("--dims", type=int, nargs="+", help="only the cases of these dimensions")
    parser.add_argument("--pinned-child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.pinned_child:
        path, n, d, cpu = args.pinned_child
        return pinned_child(path, int(n), int(d), int(cpu))
    sizes = [(100_000, 128), (20_000, 768)] if args.quick else [(1_000_000, 128), (200_000, 768)]
    print("machine shared with other work: compare ratios, not absolute times", flush=True)
    with tempfile.TemporaryDirectory(dir=args.dir) as workdir:
        for n, d in sizes:
            if args.dims and d not in args.dims:
                continue
            rng = np.random.default_rng(n + d)
            data = rng.standard_normal((n, d), dtype=np.float32)
            queries = [rng.standard_normal(d, dtype=np.float32) for _ in range(QUERIES)]
            path = scan_case(workdir, n, d, data, queries, f"{n // 1000}k x {d} gaussian")
            del data
            pinned_case(path, n, d)
        if not args.dims:
            all_equal_case(workdir, sizes[0][0] // 4, sizes[0][1])
            embedding_case(workdir, args.quick)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"results": ROWS}, f, indent=2)


if __name__ == "__main__":
    main()
