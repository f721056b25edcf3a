"""Exact flat search and vector loading against peers, on the same data in the same run.

Peers: NumPy (X @ q, argpartition, sort of the top k), FAISS IndexFlatIP, hnswlib's brute-force
index, usearch exact search, and the memory limit: a streaming read of the same bytes with the
same number of threads. Every figure is a median of several warm repetitions and is printed
beside the peer's figure as a ratio (zanth / peer; below 1.0 means faster).

    python benchmarks/bench_search.py [--quick] [--json PATH]
"""

import argparse
import gc
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import zanth_vec

K = 10
SEED = 20240611
ROWS = []  # (case, zanth figure, peer name, peer figure, unit)


def median_time(fn, reps, warmup=1):
    for _ in range(warmup):
        fn()
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return float(np.median(times))


def report(case, ours, peer, theirs, unit="ms"):
    ROWS.append((case, ours, peer, theirs, unit))
    ratio = f"{ours / theirs:6.2f}x" if theirs else "   n/a"
    print(f"{case:<34} {ours:10.3f} {unit:<3} | {peer:<24} {theirs:10.3f} {unit:<3} | {ratio}",
          flush=True)


def skip(case, peer, why):
    ROWS.append((case, None, peer, None, why))
    print(f"{case:<34} skipped {peer}: {why}", flush=True)


def make_data(n, d):
    rng = np.random.default_rng(SEED)
    return rng.standard_normal((n, d), dtype=np.float32), rng.standard_normal(d, dtype=np.float32)


def open_store(path, num_shards=5):
    return zanth_vec.ZanthVec(path, num_shards=num_shards, map_size=1 << 36)


class StreamRead:
    """Reads every 8-byte word of `data` once, split over `threads` threads (NumPy releases
    the GIL in the reduction): the floor for any scan of these bytes."""

    def __init__(self, data, threads):
        words = data.view(np.uint64).reshape(-1)
        self.parts = np.array_split(words, threads)
        self.pool = ThreadPoolExecutor(threads)

    def __call__(self):
        list(self.pool.map(np.bitwise_or.reduce, self.parts))


def peers(data, threads):
    """name -> search function of one query (or the reason it is unavailable)."""
    found = {}

    def numpy_search(query):
        scores = data @ query
        top = np.argpartition(-scores, K)[:K]
        return top[np.argsort(-scores[top])]

    found["numpy"] = numpy_search
    try:
        import faiss

        faiss.omp_set_num_threads(threads)
        index = faiss.IndexFlatIP(data.shape[1])
        index.add(data)
        found["faiss IndexFlatIP"] = lambda query: index.search(query.reshape(1, -1), K)
    except Exception as e:  # noqa: BLE001 - any import or build failure means "skip"
        found["faiss IndexFlatIP"] = f"not available ({e.__class__.__name__}: {e})"
    try:
        import hnswlib

        bf = hnswlib.BFIndex(space="ip", dim=data.shape[1])
        bf.init_index(max_elements=data.shape[0])
        bf.add_items(data, np.arange(data.shape[0]))
        found["hnswlib BFIndex"] = lambda query: bf.knn_query(query, k=K)
    except Exception as e:  # noqa: BLE001
        found["hnswlib BFIndex"] = f"not available ({e.__class__.__name__}: {e})"
    try:
        from usearch.index import MetricKind, search

        found["usearch exact"] = lambda query: search(data, query, K, MetricKind.IP,
                                                      exact=True, threads=threads)
    except Exception as e:  # noqa: BLE001
        found["usearch exact"] = f"not available ({e.__class__.__name__}: {e})"
    return found


def bench_scan(label, n, d, reps, workdir):
    data, query = make_data(n, d)
    path = os.path.join(workdir, f"scan_{n}_{d}")
    store = open_store(path)
    store.store_flat_vectors(data, np.arange(n))
    threads = len(os.sched_getaffinity(0))
    ours = median_time(lambda: store.search_flat(query, k=K), reps) * 1e3
    fastest = None
    for name, fn in peers(data, threads).items():
        if isinstance(fn, str):
            skip(label, name, fn)
            continue
        theirs = median_time(lambda: fn(query), reps) * 1e3
        report(label, ours, name, theirs)
        fastest = theirs if fastest is None else min(fastest, theirs)
        gc.collect()
    if fastest is not None:
        report(label, ours, "fastest peer", fastest)
    report(label, ours, f"stream read, {threads} threads", median_time(StreamRead(data, threads), reps) * 1e3)
    return store, data, query


def bench_pinned(n, d, reps, workdir):
    """A child process pinned to one CPU before the pool exists, so every thread runs there."""
    path = os.path.join(workdir, f"scan_{n}_{d}")
    cpu = min(os.sched_getaffinity(0))
    out = subprocess.run([sys.executable, __file__, "--pinned-child", path, str(n), str(d),
                          str(reps), str(cpu)], capture_output=True, text=True, check=True)
    result = json.loads(out.stdout.strip().splitlines()[-1])
    label = f"{n // 1000}k x {d}, pinned to 1 CPU"
    report(label, result["zanth"], "stream read, 1 thread", result["stream"])
    if "faiss" in result:
        report(label, result["zanth"], "faiss IndexFlatIP, 1 thr", result["faiss"])


def pinned_child(path, n, d, reps, cpu):
    os.sched_setaffinity(0, {cpu})
    data, query = make_data(n, d)
    store = open_store(path)  # the pool is created on first use, inside the pinned process
    result = {"zanth": median_time(lambda: store.search_flat(query, k=K), reps) * 1e3,
              "stream": median_time(StreamRead(data, 1), reps) * 1e3}
    try:
        import faiss

        faiss.omp_set_num_threads(1)
        index = faiss.IndexFlatIP(d)
        index.add(data)
        result["faiss"] = median_time(lambda: index.search(query.reshape(1, -1), K), reps) * 1e3
    except Exception:  # noqa: BLE001
        pass
    print(json.dumps(result))


SELECTIVITIES = (0.01, 0.10, 0.50, 0.90)


def paired_medians(fns, reps, warmup=1):
    """Median seconds of each function, the functions taking turns so that load from other
    processes falls on all of them alike."""
    times = [[] for _ in fns]
    for rep in range(warmup + reps):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            if rep >= warmup:
                times[i].append(time.perf_counter() - start)
    return [float(np.median(t)) for t in times]


def bench_filtered(store, data, query, reps):
    """get_ids_from_filter + search_flat, end to end, for include filters of several
    selectivities and their Not, against the unfiltered search of the same store."""
    n = data.shape[0]
    rng = np.random.default_rng(SEED + 1)
    tags = {}
    for share in SELECTIVITIES:
        tag = f"bench:{round(share * 100):02d}"
        chosen = rng.choice(n, size=int(n * share), replace=False)
        store.batch_index_insert([(tag, i) for i in chosen.tolist()])
        tags[share] = (tag, chosen)
    # Correctness first: the filtered hits are the best hits of the matching subset.
    for share, (tag, chosen) in tags.items():
        mask = np.zeros(n, dtype=bool)
        mask[chosen] = True
        scores = data @ query
        for tree, accept in (((0, tag), mask), ((4, (0, tag)), ~mask)):
            got = [i for _, i in store.search_flat(query, store.get_ids_from_filter(tree), K)]
            want = np.flatnonzero(accept)[np.argsort(-scores[accept], kind="stable")[:K]]
            if sorted(got) != sorted(want.tolist()):
                raise SystemExit(f"filtered search differs from NumPy for {tree}")
    for share, (tag, _) in tags.items():
        for tree, kind in (((0, tag), "include"), ((4, (0, tag)), "Not include")):
            def filtered(tree=tree):
                return store.search_flat(query, store.get_ids_from_filter(tree), K)

            ours, plain = paired_medians([filtered, lambda: store.search_flat(query, k=K)], reps)
            report(f"{n // 1000}k, {kind} {share:.0%}, end to end", ours * 1e3,
                   "zanth unfiltered", plain * 1e3)


P_KEYS = 1_000_000


def bench_p_keys(n, d, reps, workdir):
    """search_flat, delete_flat_vectors and compact_vectors on the same vectors with and without
    1,000,000 index entries whose keys begin with 'p' (their records sort among the blocks)."""
    data, query = make_data(n, d)
    stores = []
    for name in ("plain", "pkeys"):
        store = open_store(os.path.join(workdir, f"pkeys_{name}"))
        store.store_flat_vectors(data, np.arange(n))
        stores.append(store)
    rng = np.random.default_rng(SEED + 2)
    ids = rng.integers(0, n, P_KEYS).tolist()
    names = ("price:", "product:", "publisher:")
    stores[1].batch_index_insert([(f"{names[j % 3]}{j % 1000}", i) for j, i in enumerate(ids)])
    missing = list(range(-100, 0))  # ids never stored: every block is walked, none rewritten
    ops = {"search_flat": lambda s: s.search_flat(query, k=K),
           "delete_flat_vectors": lambda s: s.delete_flat_vectors(missing, d),
           "compact_vectors": lambda s: s.compact_vectors(d)}
    for op, fn in ops.items():
        # A few milliseconds each, so more rounds than elsewhere to see past a busy machine.
        plain, with_keys = paired_medians([lambda: fn(stores[0]), lambda: fn(stores[1])],
                                          reps * 4, warmup=3)
        report(f"{n // 1000}k x {d}, {op}, 1M 'p' keys", with_keys * 1e3,
               "same without 'p' keys", plain * 1e3)


def bench_memory(path, n, d):
    out = subprocess.run([sys.executable, __file__, "--memory-child", path, str(d)],
                         capture_output=True, text=True, check=True)
    extra = json.loads(out.stdout.strip().splitlines()[-1])["extra_mb"]
    report(f"{n // 1000}k x {d}, peak extra memory", extra, "limit", 16.0, "MB")


def memory_child(path, d):
    """Anonymous memory (the map's file pages excluded) sampled while searches run."""

    def rss_anon_kb():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
        return 0

    store = open_store(path)
    query = make_data(1, d)[1]
    store.search_flat(query, k=K)
    base = rss_anon_kb()
    peak = base
    done = threading.Event()

    def sample():
        nonlocal peak
        while not done.is_set():
            peak = max(peak, rss_anon_kb())
            time.sleep(0.0005)

    sampler = threading.Thread(target=sample)
    sampler.start()
    for _ in range(5):
        store.search_flat(query, k=K)
    done.set()
    sampler.join()
    print(json.dumps({"extra_mb": (peak - base) / 1024}))


def bench_store(n, d, reps, workdir):
    """store_flat_vectors against writing the same block values with the lmdb binding, one
    write transaction per shard (block building is not timed for the peer)."""
    import lmdb

    data, _ = make_data(n, d)
    ids = np.arange(n, dtype=np.int64)
    shards = 5
    records = np.empty(n, dtype=[("id", "<i8"), ("v", "<f4", (d,))])
    records["id"] = ids
    records["v"] = data
    blocks = []
    for s in range(shards):
        mine = records[ids % shards == s]
        blocks.append([(b"\x70" + (b // 256).to_bytes(4, "big"), mine[b:b + 256].tobytes())
                       for b in range(0, len(mine), 256)])

    def ours():
        path = tempfile.mkdtemp(dir=workdir)
        store = open_store(path)
        start = time.perf_counter()
        store.store_flat_vectors(data, ids)
        elapsed = time.perf_counter() - start
        del store
        shutil.rmtree(path)
        return elapsed

    def theirs():
        path = tempfile.mkdtemp(dir=workdir)
        envs = []
        for s in range(shards):
            os.makedirs(f"{path}/shard_{s}")
            envs.append(lmdb.open(f"{path}/shard_{s}", map_size=1 << 36, max_dbs=1,
                                  max_readers=2048, map_async=True, lock=True))
        start = time.perf_counter()
        for env, shard_blocks in zip(envs, blocks):
            with env.begin(write=True) as txn:
                for key, value in shard_blocks:
                    txn.put(key, value)
        elapsed = time.perf_counter() - start
        for env in envs:
            env.close()
        shutil.rmtree(path)
        return elapsed

    ours()
    theirs()
    mine = float(np.median([ours() for _ in range(reps)])) * 1e3
    peer = float(np.median([theirs() for _ in range(reps)])) * 1e3
    report(f"store_flat_vectors {n // 1000}k x {d}", mine, "lmdb binding, prebuilt", peer)


def bench_single(workdir, reps):
    path = os.path.join(workdir, "single")
    store = open_store(path)
    vector = make_data(1, 128)[0]
    store.store_flat_vectors(vector, [1])
    query = vector[0]
    calls = 2000

    def many_ours():
        for _ in range(calls):
            store.search_flat(query, k=K)

    def many_numpy():
        for _ in range(calls):
            scores = vector @ query
            np.argsort(-scores)[:K]

    ours = median_time(many_ours, reps) / calls * 1e6
    report("one stored vector, per call", ours, "numpy, per call",
           median_time(many_numpy, reps) / calls * 1e6, "us")
    report("one stored vector, per call", ours, "limit", 20.0, "us")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, fewer repetitions")
    parser.add_argument("--json", metavar="PATH", help="also write the rows as JSON")
    parser.add_argument("--dir", help="directory for the temporary stores")
    parser.add_argument("--pinned-child", nargs=5, help=argparse.SUPPRESS)
    parser.add_argument("--memory-child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.pinned_child:
        path, n, d, reps, cpu = args.pinned_child
        return pinned_child(path, int(n), int(d), int(reps), int(cpu))
    if args.memory_child:
        return memory_child(args.memory_child[0], int(args.memory_child[1]))

    big, wide, reps = (200_000, 40_000, 3) if args.quick else (1_000_000, 200_000, 7)
    print(f"zanth_vec {zanth_vec.__file__}; {len(os.sched_getaffinity(0))} CPUs; k = {K}")
    print(f"{'case':<34} {'zanth':>14} | {'peer':<24} {'figure':>14} | ratio")
    workdir = tempfile.mkdtemp(prefix="zanth_bench_", dir=args.dir)
    try:
        store, data, query = bench_scan(f"{big // 1000}k x 128", big, 128, reps, workdir)
        bench_filtered(store, data, query, reps)
        del store, data
        gc.collect()
        bench_memory(os.path.join(workdir, f"scan_{big}_128"), big, 128)
        bench_pinned(big, 128, reps, workdir)
        store, data, query = bench_scan(f"{wide // 1000}k x 768", wide, 768, reps, workdir)
        del store, data
        gc.collect()
        bench_pinned(wide, 768, reps, workdir)
        bench_p_keys(big // 5, 128, reps, workdir)
        bench_store(big, 128, max(3, reps // 2), workdir)
        bench_single(workdir, reps)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"results": [json_row(*row) for row in ROWS]}, f, indent=2)


# The targets each comparison is held to (ours / peer at most this).
GOALS = {
    "fastest peer": 1.0, "stream read, 2 threads": 1.3, "stream read, 1 thread": 1.5,
    "zanth unfiltered": 1.5, "limit": 1.0, "lmdb binding, prebuilt": 1.5,
    "same without 'p' keys": 1.05,
}
TO_SECONDS = {"ms": 1e-3, "us": 1e-6}


def json_row(case, ours, peer, peer_figure, unit):
    """A row in the shape every benchmark script reports: seconds where the figure is a time."""
    goal = GOALS.get(peer)
    row = {"operation": f"{case} vs {peer}", "unit": unit, "ours": ours, "peer": peer_figure,
           "ratio": ours / peer_figure if peer_figure else None, "goal": goal}
    if unit in TO_SECONDS:
        row["ours_s"] = ours * TO_SECONDS[unit]
        row["peer_s"] = peer_figure * TO_SECONDS[unit]
    if goal is not None and row["ratio"] is not None:
        row["met"] = row["ratio"] <= goal
    return row


if __name__ == "__main__":
    main()
