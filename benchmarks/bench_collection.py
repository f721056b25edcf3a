"""zanth.Collection against chromadb (PersistentClient) and LanceDB (a local directory), the
document stores a user compares it with: same documents, same run, medians of several runs.

    python benchmarks/bench_collection.py [--quick] [--n N] [--runs R] [--chroma-runs C]
                                          [--grown G] [--json PATH] [--dir DIR]

The peers are not installed by `make test`: pip install chromadb lancedb (into the same venv).
Each is used as its documentation shows, with cosine distance.

Rows (N documents of dimension 384, metadata {color, year, price}, a short text each):
  add              all N documents, in calls of 5,000 (each store's own add)
  first_query      the first filtered query after the add (a store that builds state as it
                   searches pays for it here), one timing per run
  filtered_query   k = 10 nearest with color = <one of 8> and year >= 2015 (about 1 in 21
                   documents qualify), median over the queries; chromadb searches its HNSW
                   graph (approximate), LanceDB scans without an index (prefilter), ours is
                   exact. Recall@10 against the exact answer is printed for each.
  range_query      k = 10 nearest with price in [lo, lo + 10) (about 1 in 50 documents), new
                   bounds for each query (nothing a store kept from an earlier one applies),
                   median over the queries, with the recall of each
  broad_get        a page of 10 documents (with metadata and text) with price in [lo, lo + 250)
                   (about half of them), new bounds for each call, median over the calls
  get_100          100 documents by id (with metadata and text), median over 10 sets of ids
  delete_1000      one call deleting 1,000 ids scattered over the store (N / 100 where N is
                   smaller, so that --quick leaves documents to search; then the count is
                   checked), one timing per run
  delete_10x1000   ten more such calls, their total: a store that defers work on deletions
                   pays for it here
  query_deleted    k = 10 nearest without a filter after those deletions (11% of the documents
                   gone), median over the queries
  add_grown        with --grown G: one call of 5,000 documents into a store that holds G - 5,000
                   already (the steady state of a growing store: where each add's keys land among
                   those stored), median of the last 5 calls of a grow to G; chromadb not run

Every add of ours is on disk when it returns (each commit is fsynced). LanceDB's add returns
before its files reach the disk (it calls no fsync), so the column "lancedb+fsync" measures it
again with every file it wrote fsynced after each add call: the same promise as ours.
"""

import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

from zanth import Collection

SEED = 20261207
DIM = 384
CHUNK = 5_000
COLORS = ["red", "blue", "green", "black", "white", "yellow", "purple", "orange"]


def make_data(n, queries):
    rng = np.random.default_rng(SEED)
    vectors = rng.standard_normal((n, DIM)).astype(np.float32)
    colors = rng.integers(0, len(COLORS), n)
    years = rng.integers(2000, 2024, n)
    prices = np.round(rng.uniform(1, 500, n), 2)
    ids = [f"doc-{i}" for i in range(n)]
    metas = [{"color": COLORS[c], "year": int(y), "price": float(p)}
             for c, y, p in zip(colors, years, prices)]
    texts = [f"document {i}, a {COLORS[c]} thing from {y}" for i, c, y in zip(range(n), colors, years)]
    qs = rng.standard_normal((queries, DIM)).astype(np.float32)
    wanted = [COLORS[q % len(COLORS)] for q in range(queries)]
    unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
    exact = []
    for q, color in zip(qs, wanted):
        mask = (colors == COLORS.index(color)) & (years >= 2015)
        scores = np.where(mask, unit @ (q / np.linalg.norm(q)), -np.inf)
        exact.append({ids[i] for i in np.argsort(-scores)[:10]})
    return ids, vectors, metas, texts, qs, wanted, exact


class Ours:
    name = "zanth"

    def __init__(self, path):
        self.col = Collection(path, dim=DIM, metric="cosine")

    def add(self, ids, vectors, metas, texts):
        self.col.add(ids, vectors, metas, texts)

    def query(self, q, color):
        where = None if color is None else {"color": color, "year": {"$gte": 2015}}
        return [h.id for h in self.col.query(q, 10, where=where)]

    def ranged(self, q, lo, hi):
        return [h.id for h in self.col.query(q, 10, where={"price": {"$gte": lo, "$lt": hi}})]

    def page(self, lo, hi):
        return [r.metadata["price"] for r in
                self.col.get(where={"price": {"$gte": lo, "$lt": hi}}, limit=10)]

    def get(self, ids):
        return [r.id for r in self.col.get(ids)]

    def delete(self, ids):
        self.col.delete(ids)

    def count(self):
        return self.col.count()


class Chroma:
    name = module = "chromadb"

    def __init__(self, path):
        import chromadb

        self.client = chromadb.PersistentClient(path=path)
        self.col = self.client.create_collection("bench", metadata={"hnsw:space": "cosine"})

    def add(self, ids, vectors, metas, texts):
        self.col.add(ids=ids, embeddings=vectors, metadatas=metas, documents=texts)

    def query(self, q, color):
        where = None if color is None else {"$and": [{"color": color}, {"year": {"$gte": 2015}}]}
        found = self.col.query(query_embeddings=[q], n_results=10, where=where)
        return found["ids"][0]

    def ranged(self, q, lo, hi):
        where = {"$and": [{"price": {"$gte": lo}}, {"price": {"$lt": hi}}]}
        return self.col.query(query_embeddings=[q], n_results=10, where=where)["ids"][0]

    def page(self, lo, hi):
        where = {"$and": [{"price": {"$gte": lo}}, {"price": {"$lt": hi}}]}
        return [m["price"] for m in self.col.get(where=where, limit=10)["metadatas"]]

    def get(self, ids):
        return self.col.get(ids=ids)["ids"]

    def delete(self, ids):
        self.col.delete(ids=ids)

    def count(self):
        return self.col.count()


class Lance:
    name = module = "lancedb"

    def __init__(self, path):
        import lancedb

        self.db = lancedb.connect(path)
        self.table = None

    def add(self, ids, vectors, metas, texts):
        import pyarrow as pa

        batch = pa.table({
            "id": ids, "vector": pa.FixedSizeListArray.from_arrays(pa.array(vectors.ravel()), DIM),
            "color": [m["color"] for m in metas], "year": [m["year"] for m in metas],
            "price": [m["price"] for m in metas], "text": texts})
        if self.table is None:
            self.table = self.db.create_table("bench", batch)
        else:
            self.table.add(batch)

    def query(self, q, color):
        search = self.table.search(q).distance_type("cosine")
        if color is not None:
            search = search.where(f"color = '{color}' AND year >= 2015", prefilter=True)
        found = (search.limit(10).select(["id", "color", "year", "price", "text", "_distance"])
                 .to_list())
        return [row["id"] for row in found]

    def ranged(self, q, lo, hi):
        search = self.table.search(q).distance_type("cosine")
        search = search.where(f"price >= {lo!r} AND price < {hi!r}", prefilter=True)
        return [row["id"] for row in search.limit(10).select(["id", "price", "_distance"])
                .to_list()]

    def page(self, lo, hi):
        return [row["price"] for row in self.table.search()
                .where(f"price >= {lo!r} AND price < {hi!r}").limit(10)
                .select(["id", "color", "year", "price", "text"]).to_list()]

    def get(self, ids):
        quoted = ", ".join(f"'{i}'" for i in ids)
        return [row["id"] for row in self.table.search().where(f"id IN ({quoted})")
                .limit(len(ids)).select(["id", "color", "year", "price", "text"]).to_list()]

    def delete(self, ids):
        quoted = ", ".join(f"'{i}'" for i in ids)
        self.table.delete(f"id IN ({quoted})")

    def count(self):
        return self.table.count_rows()


class LanceFsynced(Lance):
    """LanceDB, with the files of each add fsynced before the add counts as done."""

    name = "lancedb+fsync"

    def __init__(self, path):
        super().__init__(path)
        self.path, self.synced = path, set()

    def add(self, ids, vectors, metas, texts):
        super().add(ids, vectors, metas, texts)
        for folder, _, files in os.walk(self.path):
            for name in files:
                file = os.path.join(folder, name)
                if file not in self.synced:  # Lance writes new files, never rewrites old ones
                    _fsync(file)
                    self.synced.add(file)
            _fsync(folder)  # the new names


def _fsync(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def range_queries(data, count):
    """`count` (query, lo, hi, exact ids) for range_query: bounds drawn anew for each."""
    ids, vectors, metas, _, qs, _, _ = data
    rng = np.random.default_rng(SEED + 5)
    prices = np.array([m["price"] for m in metas])
    unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
    asked = []
    for q in rng.standard_normal((count, DIM)).astype(np.float32):
        lo = float(np.round(rng.uniform(1, 490), 2))
        scores = np.where((prices >= lo) & (prices < lo + 10), unit @ (q / np.linalg.norm(q)),
                          -np.inf)
        asked.append((q, lo, lo + 10, {ids[i] for i in np.argsort(-scores)[:10]}))
    return asked


def one_run(kind, root, data, get_sets, run, ranges):
    ids, vectors, metas, texts, qs, wanted, exact = data
    path = os.path.join(root, f"{kind.name}-{run}")  # chromadb's client caches a path's state
    store = kind(path)
    started = time.perf_counter()
    for lo in range(0, len(ids), CHUNK):
        hi = lo + CHUNK
        store.add(ids[lo:hi], vectors[lo:hi], metas[lo:hi], texts[lo:hi])
    add = time.perf_counter() - started
    started = time.perf_counter()
    store.query(qs[0], wanted[0])  # the first use: whatever a store builds as it searches
    first = time.perf_counter() - started
    times, recall = [], []
    for q, color, best in zip(qs, wanted, exact):
        started = time.perf_counter()
        got = store.query(q, color)
        times.append(time.perf_counter() - started)
        recall.append(len(set(got) & best) / 10)
    ranged, range_recall = [], []
    for q, lo, hi, best in ranges:
        started = time.perf_counter()
        got = store.ranged(q, lo, hi)
        ranged.append(time.perf_counter() - started)
        range_recall.append(len(set(got) & best) / 10)
    pages = []
    for _, lo, _, _ in ranges:
        lo, hi = lo / 2, lo / 2 + 250  # bounds in [0.5, 495)
        started = time.perf_counter()
        got = store.page(lo, hi)
        pages.append(time.perf_counter() - started)
        assert len(got) == 10 and all(lo <= p < hi for p in got), (kind.name, got)
    gets = []
    for chosen in get_sets:
        started = time.perf_counter()
        got = store.get(chosen)
        gets.append(time.perf_counter() - started)
        assert sorted(got) == sorted(chosen), (kind.name, len(got))
    per = min(1000, len(ids) // 100)  # ids per delete call
    doomed = [ids[i] for i in np.random.default_rng(SEED + 3).choice(len(ids), per, replace=False)]
    started = time.perf_counter()
    store.delete(doomed)
    deleted = time.perf_counter() - started
    assert store.count() == len(ids) - per, (kind.name, store.count())
    gone = set(doomed)
    more = [i for i in np.random.default_rng(SEED + 4).permutation(ids) if i not in gone][:10 * per]
    started = time.perf_counter()
    for lo in range(0, len(more), per):
        store.delete(more[lo:lo + per])
    deleted_more = time.perf_counter() - started
    gone.update(more)
    assert store.count() == len(ids) - len(gone), (kind.name, store.count())
    after = []
    for q in qs:
        started = time.perf_counter()
        got = store.query(q, None)
        after.append(time.perf_counter() - started)
        assert len(got) == 10 and not gone & set(got), (kind.name, got)
    del store
    shutil.rmtree(path, ignore_errors=True)
    return {"add": add, "first_query": first, "filtered_query": statistics.median(times),
            "range_query": statistics.median(ranged), "broad_get": statistics.median(pages),
            "get_100": statistics.median(gets),
            "delete_1000": deleted,
            "delete_10x1000": deleted_more, "query_deleted": statistics.median(after),
            "recall": statistics.mean(recall), "range_recall": statistics.mean(range_recall)}


def grown_add(kind, root, size):
    """Grows a store to `size` documents in calls of CHUNK; the median time of its last 5 calls."""
    rng = np.random.default_rng(SEED + 2)
    path = os.path.join(root, f"{kind.name}-grown")
    store = kind(path)
    times = []
    for lo in range(0, size, CHUNK):
        n = min(CHUNK, size - lo)
        vectors = rng.standard_normal((n, DIM)).astype(np.float32)
        colors, years = rng.integers(0, len(COLORS), n), rng.integers(2000, 2024, n)
        prices = np.round(rng.uniform(1, 500, n), 2)
        ids = [f"doc-{i}" for i in range(lo, lo + n)]
        metas = [{"color": COLORS[c], "year": int(y), "price": float(p)}
                 for c, y, p in zip(colors, years, prices)]
        texts = [f"document {i}, a {m['color']} thing" for i, m in zip(ids, metas)]
        started = time.perf_counter()
        store.add(ids, vectors, metas, texts)
        times.append(time.perf_counter() - started)
    del store
    shutil.rmtree(path, ignore_errors=True)
    return statistics.median(times[-5:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--n", type=int)
    parser.add_argument("--runs", type=int)
    parser.add_argument("--chroma-runs", type=int, default=1,
                        help="runs of chromadb (its add of 100,000 takes minutes); default 1")
    parser.add_argument("--grown", type=int, default=0, metavar="G",
                        help="also time an add of 5,000 into a store grown to G documents")
    parser.add_argument("--json", metavar="PATH")
    parser.add_argument("--dir")
    args = parser.parse_args()
    n = args.n or (10_000 if args.quick else 100_000)
    runs = args.runs or (1 if args.quick else 3)
    queries = 20
    data = make_data(n, queries)
    rng = np.random.default_rng(SEED + 1)
    get_sets = [[data[0][i] for i in rng.choice(n, 100, replace=False)] for _ in range(10)]
    ranges = range_queries(data, queries)
    kinds = [Ours]
    for peer in (Chroma, Lance, LanceFsynced):
        try:
            __import__(peer.module)
            kinds.append(peer)
        except ImportError:
            print(f"{peer.name} is not installed: pip install {peer.module}", file=sys.stderr)
    results = {k.name: [] for k in kinds}
    with tempfile.TemporaryDirectory(prefix="zanth_bench_col_", dir=args.dir) as root:
        for run in range(runs):
            for kind in kinds:
                if kind is Chroma and run >= args.chroma_runs:
                    continue
                results[kind.name].append(one_run(kind, root, data, get_sets, run, ranges))
                print(f"run {run + 1}/{runs} {kind.name}: " + ", ".join(
                    f"{k} {v:.4f}" for k, v in results[kind.name][-1].items()), flush=True)
        if args.grown:
            for kind in kinds:
                if kind is not Chroma:
                    results[kind.name][-1]["add_grown"] = grown_add(kind, root, args.grown)
    kinds = [k for k in kinds if results[k.name]]  # --chroma-runs 0 leaves chromadb out
    med = {name: {op: statistics.median(r[op] for r in rs if op in r) for op in {**rs[0], **rs[-1]}}
           for name, rs in results.items() if rs}
    print(f"\nzanth.Collection vs chromadb and LanceDB: {n:,} documents of dimension {DIM}, "
          f"medians of {runs} run(s) (chromadb: {len(results.get('chromadb', []))})")
    print(f"{'operation':<16}{'zanth ms':>11}" + "".join(
        f"{k.name + ' ms':>19}{'ratio':>8}" for k in kinds[1:]))
    rows = []
    goals = {("add", "chromadb"): 1 / 3, ("add", "lancedb"): 1.0,
             ("filtered_query", "chromadb"): 0.1, ("filtered_query", "lancedb"): 0.1,
             ("get_100", "chromadb"): 0.5}
    for op in ("add", "first_query", "filtered_query", "range_query", "broad_get", "get_100",
               "delete_1000",
               "delete_10x1000", "query_deleted", "add_grown"):
        if op not in med["zanth"]:
            continue
        line = f"{op:<16}{med['zanth'][op] * 1e3:>11.2f}"
        for kind in kinds[1:]:
            if op not in med[kind.name]:
                line += f"{'-':>19}{'':>8}"
                continue
            ratio = med["zanth"][op] / med[kind.name][op]
            line += f"{med[kind.name][op] * 1e3:>19.2f}{ratio:>7.2f}x"
            goal = goals.get((op, kind.name))
            rows.append({"operation": f"{op} vs {kind.name}", "ours_s": med["zanth"][op],
                         f"{kind.name}_s": med[kind.name][op], "ratio": ratio, "goal": goal,
                         "met": None if goal is None else ratio <= goal})
        print(line)
    print("recall@10 of the filtered query: " + ", ".join(
        f"{name} {m['recall']:.3f}" for name, m in med.items()))
    print("recall@10 of the range query: " + ", ".join(
        f"{name} {m['range_recall']:.3f}" for name, m in med.items()))
    print(f"add throughput (documents/s): " + ", ".join(
        f"{name} {n / m['add']:,.0f}" for name, m in med.items()))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"benchmark": "collection", "documents": n, "dim": DIM, "runs": runs,
                       "recall": {name: m["recall"] for name, m in med.items()},
                       "range_recall": {name: m["range_recall"] for name, m in med.items()},
                       "results": rows}, f, indent=2)


if __name__ == "__main__":
    main()
