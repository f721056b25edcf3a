"""zanth.langchain.ZanthVectorStore against LangChain's own InMemoryVectorStore (langchain-core),
the store a LangChain user starts with: same documents, same embeddings, same run, medians.

    python benchmarks/bench_langchain.py [--quick] [--json PATH] [--dir DIR]

Rows (cosine similarity on both sides; the embeddings are a table lookup, so embedding costs
nothing and the stores are what is timed):
  add_documents     N documents with metadata, in batches of 1,000
  search            similarity_search, k=10, one query (median over the queries)
  filtered_search   the same with {"color": "red", "year": {"$gte": 2015, "$lt": 2020}};
                    the peer takes a Python predicate over the documents, its only filter
  get_by_ids        100 documents by id (median over 5 different sets of ids per run)
The top-10 ids of both stores are compared for every query (they must agree).
"""

import argparse
import json
import os
import shutil
import statistics
import tempfile
import time

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import InMemoryVectorStore

from zanth.langchain import ZanthVectorStore

SEED = 20240620
DIM = 128
COLORS = ["red", "blue", "green", "black", "white", "yellow", "purple", "orange"]
BATCH = 1_000
FILTER = {"color": "red", "year": {"$gte": 2015, "$lt": 2020}}


class TableEmbeddings(Embeddings):
    """"doc 17" and "query 3" name rows of fixed random tables."""

    def __init__(self, docs, queries):
        self.tables = {"doc": docs, "query": queries}

    def _row(self, text):
        kind, number = text.split()
        return self.tables[kind][int(number)].tolist()

    def embed_documents(self, texts):
        return [self._row(t) for t in texts]

    def embed_query(self, text):
        return self._row(text)


def peer_filter(doc):
    return doc.metadata["color"] == "red" and 2015 <= doc.metadata["year"] < 2020


def one_run(root, n, queries, embeddings, docs):
    path = os.path.join(root, "store")
    shutil.rmtree(path, ignore_errors=True)
    ours = ZanthVectorStore(path, embeddings, num_shards=5, map_size=4 << 30)
    peer = InMemoryVectorStore(embeddings)
    times = {}
    for name, store in (("ours", ours), ("peer", peer)):
        started = time.perf_counter()
        for lo in range(0, n, BATCH):
            store.add_documents(docs[lo:lo + BATCH], ids=[d.id for d in docs[lo:lo + BATCH]])
        times[("add_documents", name)] = time.perf_counter() - started
    for op, kwargs in (("search", {}), ("filtered_search", None)):
        samples = {"ours": [], "peer": []}
        for q in range(queries):
            text = f"query {q}"
            started = time.perf_counter()
            got = ours.similarity_search(text, k=10, **({"filter": FILTER} if kwargs is None else {}))
            samples["ours"].append(time.perf_counter() - started)
            started = time.perf_counter()
            want = peer.similarity_search(text, k=10, **({"filter": peer_filter} if kwargs is None else {}))
            samples["peer"].append(time.perf_counter() - started)
            if [d.id for d in got] != [d.id for d in want]:
                raise SystemExit(f"{op}: query {q} differs: {[d.id for d in got]} vs "
                                 f"{[d.id for d in want]}")
        for name in samples:
            times[(op, name)] = statistics.median(samples[name])
    step = max(1, n // 100)
    for name, store in (("ours", ours), ("peer", peer)):
        samples = []
        for offset in range(5):
            ids = [docs[i].id for i in range(offset, n, step)][:100]
            started = time.perf_counter()
            found = store.get_by_ids(ids)
            samples.append(time.perf_counter() - started)
            assert [d.id for d in found] == ids
        times[("get_by_ids", name)] = statistics.median(samples)
    del ours
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--json", metavar="PATH")
    parser.add_argument("--dir")
    args = parser.parse_args()
    n, queries, reps = (5_000, 10, 3) if args.quick else (50_000, 20, 3)

    rng = np.random.default_rng(SEED)
    table = rng.standard_normal((n, DIM)).astype(np.float32)
    query_table = rng.standard_normal((queries, DIM)).astype(np.float32)
    embeddings = TableEmbeddings(table, query_table)
    colors, years = rng.integers(0, len(COLORS), n), rng.integers(2000, 2024, n)
    docs = [Document(page_content=f"doc {i}", id=f"doc-{i}",
                     metadata={"color": COLORS[colors[i]], "year": int(years[i])})
            for i in range(n)]

    runs = []
    with tempfile.TemporaryDirectory(prefix="zanth_bench_lc_", dir=args.dir) as root:
        for _ in range(reps):
            runs.append(one_run(root, n, queries, embeddings, docs))
    rows = []
    for op in ("add_documents", "search", "filtered_search", "get_by_ids"):
        ours = statistics.median(r[(op, "ours")] for r in runs)
        peer = statistics.median(r[(op, "peer")] for r in runs)
        rows.append({"operation": op, "ours_s": ours, "in_memory_s": peer, "speedup": peer / ours})
    print(f"ZanthVectorStore vs InMemoryVectorStore, {n:,} documents of dimension {DIM}, "
          f"median of {reps} runs (searches: median over {queries} queries per run)")
    print(f"{'operation':<18}{'zanth ms':>12}{'in-memory ms':>14}{'speedup':>9}")
    for r in rows:
        print(f"{r['operation']:<18}{r['ours_s'] * 1e3:>12.2f}{r['in_memory_s'] * 1e3:>14.2f}"
              f"{r['speedup']:>8.1f}x")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"benchmark": "langchain", "documents": n, "dim": DIM,
                       "repetitions": reps, "results": rows}, f, indent=2)


if __name__ == "__main__":
    main()
