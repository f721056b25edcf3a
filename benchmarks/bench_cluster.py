"""The partitioned store (zanth.cluster on Ray) against one store holding the same data, on one
machine: what scatter-gather costs per query (unfiltered, filtered, a batch), and ingest rows per
second through the cluster. Both sides measured in the same run; medians of the repetitions.

    python benchmarks/bench_cluster.py [--quick] [--json PATH] [--dir DIR] [--partitions P]

The partitions run as Ray actors on this host, so the figures are the cost of the fan-out,
transport and merge, not a gain from more hosts.
"""

import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile

import numpy as np

import zanth_vec
from timing import timed

try:
    import ray
    from zanth.cluster import ZanthCluster, partition_resource
except ImportError as e:  # the ray extra is optional
    sys.exit(f"bench_cluster needs the ray extra: {e}")

SEED = 20261206
MAP_SIZE = 2 << 30
KEYS = [f"tag:{i}" for i in range(16)]


def make_data(n, dim, seed):
    rng = np.random.default_rng(seed)
    ids = rng.permutation(n * 4)[:n].astype(np.int64)
    vectors = rng.standard_normal((n, dim)).astype(np.float32)
    tags = rng.integers(0, len(KEYS), n)
    entries = [(KEYS[t], int(i)) for t, i in zip(tags.tolist(), ids.tolist())]
    objects = [{"id": int(i), "tag": int(t)} for i, t in zip(ids.tolist(), tags.tolist())]
    return ids, vectors, entries, objects


def ingest(target, ids, vectors, entries, objects):
    target.store_flat_vectors(vectors, ids)
    target.batch_index_insert(entries)
    target.store_data(objects, ids)


def per_query(search, queries):
    """Median seconds of one call over the queries."""
    return statistics.median(timed(lambda q=q: search(q))[0] for q in queries)


def run(args):
    n = 20_000 if args.quick else args.count
    reps = 3
    dim = args.dim
    P = args.partitions
    ids, vectors, entries, objects = make_data(n, dim, SEED)
    queries = np.random.default_rng(SEED + 1).standard_normal((32, dim)).astype(np.float32)
    tree = (2, [(3, [(0, KEYS[0]), (0, KEYS[1]), (0, KEYS[2])]), (4, (0, KEYS[1]))])
    root = tempfile.mkdtemp(prefix="bench_cluster_", dir=args.dir)
    resources = {partition_resource(f"bench{r}", p): 1 for r in range(reps) for p in range(P)}
    ray.init(num_cpus=os.cpu_count(), resources=resources, include_dashboard=False,
             object_store_memory=512 << 20, namespace="zanth", log_to_driver=False)
    figures = {k: ([], []) for k in ("ingest", "search", "filtered", "batch")}
    try:
        for r in range(reps):
            single = zanth_vec.ZanthVec(os.path.join(root, f"single{r}"), map_size=MAP_SIZE)
            cluster = ZanthCluster.create(f"bench{r}", root, P, dim=dim, map_size=MAP_SIZE)
            for side, target in enumerate((cluster, single)):
                figures["ingest"][side].append(
                    timed(lambda: ingest(target, ids, vectors, entries, objects))[0])
            single_filter = single.get_ids_from_filter(tree)
            batch = getattr(single, "search_flat_batch", None) or \
                (lambda qs, f=None, k=10: [single.search_flat(q, f, k) for q in qs])
            for check in queries[:4]:
                if cluster.search_flat(check, tree, 10) != single.search_flat(check, single_filter, 10):
                    sys.exit("the cluster answered differently from the single store")
            searches = {
                "search": (lambda q: cluster.search_flat(q, None, 10),
                           lambda q: single.search_flat(q, None, 10)),
                "filtered": (lambda q: cluster.search_flat(q, tree, 10),
                             lambda q: single.search_flat(q, single.get_ids_from_filter(tree), 10)),
            }
            for name, pair in searches.items():
                for side, fn in enumerate(pair):
                    fn(queries[0])  # warm-up
                    figures[name][side].append(per_query(fn, queries))
            figures["batch"][0].append(timed(lambda: cluster.search_flat_batch(queries, None, 10))[0])
            figures["batch"][1].append(timed(lambda: batch(queries, None, 10))[0])
            cluster.stop()
            single = single_filter = None  # close the store before the next round
    finally:
        ray.shutdown()
        shutil.rmtree(root, ignore_errors=True)

    rows = []
    labels = {"ingest": f"ingest {n} rows (vectors+index+objects)",
              "search": "search_flat k=10, per query",
              "filtered": "search_flat k=10 + filter tree, per query",
              "batch": f"search_flat_batch m={len(queries)} k=10"}
    for key, (ours, peer) in figures.items():
        o, s = statistics.median(ours), statistics.median(peer)
        row = {"operation": labels[key], "ours_s": o, "single_store_s": s, "ratio": o / s,
               "overhead_ms": (o - s) * 1e3}
        if key == "ingest":
            row.update(rows_per_sec=n / o, single_rows_per_sec=n / s)
        rows.append(row)
    print(f"{n} x {dim} float32, {P} partitions (Ray actors on this host) vs one {5}-shard store; "
          f"median of {reps}; the machine may be shared with other work")
    print(f"{'operation':<44}{'cluster ms':>12}{'single ms':>12}{'ratio':>8}{'overhead ms':>13}")
    for r in rows:
        print(f"{r['operation']:<44}{r['ours_s'] * 1e3:>12.2f}{r['single_store_s'] * 1e3:>12.2f}"
              f"{r['ratio']:>8.2f}{r['overhead_ms']:>13.2f}")
    ing = rows[0]
    print(f"ingest: {ing['rows_per_sec']:,.0f} rows/s through the cluster, "
          f"{ing['single_rows_per_sec']:,.0f} rows/s into the single store")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"benchmark": "cluster", "rows": n, "dim": dim, "partitions": P,
                       "repetitions": reps, "results": rows}, f, indent=2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20,000 rows")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    parser.add_argument("--dir", help="directory for the temporary stores")
    parser.add_argument("--count", type=int, default=200_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--partitions", type=int, default=4)
    run(parser.parse_args())


if __name__ == "__main__":
    main()
