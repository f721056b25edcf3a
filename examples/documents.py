"""The document road: a `zanth.Collection` of 50,000 product descriptions (a vector, typed
metadata and a text each), queried with filters written as dicts and as text, updated, pruned
by a filter and opened again.

    python examples/documents.py COLLECTION_DIR [--count N] [--dim D]

COLLECTION_DIR must not exist yet (or be empty). Every query's hits are checked against NumPy.
"""

import argparse
import os
import sys
import time

import numpy as np

from zanth import Collection

CATEGORIES = ["shoes", "hats", "socks", "coats", "bags", "gloves"]
SEED = 20261207


def catalogue(count, dim, rng):
    centres = rng.standard_normal((len(CATEGORIES), dim))
    kinds = rng.integers(0, len(CATEGORIES), count)
    vectors = centres[kinds] + 0.35 * rng.standard_normal((count, dim))  # float64: converted
    years = rng.integers(2005, 2025, count)
    prices = np.round(rng.uniform(5, 300, count), 2)
    stock = rng.random(count) < 0.7
    metadatas = [{"category": CATEGORIES[k], "year": int(y), "price": float(p), "in_stock": bool(s)}
                 for k, y, p, s in zip(kinds, years, prices, stock)]
    texts = [f"{CATEGORIES[k][:-1]} no. {i}, made in {y}" for i, (k, y) in enumerate(zip(kinds, years))]
    return [f"item-{i}" for i in range(count)], vectors, metadatas, texts


def exact_top(unit, keep, query, k):
    """NumPy's answer: the k best cosine scores among the rows `keep` accepts."""
    scores = unit @ (query / np.linalg.norm(query)).astype(np.float32)
    rows = np.flatnonzero(keep)
    return set(rows[np.argsort(-scores[rows], kind="stable")[:k]].tolist())


def show(title, hits, expected):
    found = {int(h.id.split("-")[1]) for h in hits}
    print(f"\n  {title}\n    {len(hits)} hits   matches NumPy: {'yes' if found == expected else 'NO'}")
    for h in hits[:3]:
        m = h.metadata
        print(f"      {h.score:+.4f}  {h.id:<11} {m['category']:<7} {m['year']}  "
              f"{m['price']:7.2f}  in stock: {m['in_stock']}")
    if found != expected:
        sys.exit("a query disagreed with NumPy")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path")
    parser.add_argument("--count", type=int, default=50_000)
    parser.add_argument("--dim", type=int, default=256)
    args = parser.parse_args()
    if os.path.isdir(args.path) and os.listdir(args.path):
        sys.exit(f"{args.path} is not empty; the demo makes a fresh collection (remove it first)")
    rng = np.random.default_rng(SEED)
    ids, vectors, metadatas, texts = catalogue(args.count, args.dim, rng)
    unit = (vectors / np.linalg.norm(vectors, axis=1, keepdims=True)).astype(np.float32)
    year = np.array([m["year"] for m in metadatas])
    kind = np.array([m["category"] for m in metadatas])
    stock = np.array([m["in_stock"] for m in metadatas])
    price = np.array([m["price"] for m in metadatas])

    print(f"Adding {args.count:,} documents of dimension {args.dim} to a Collection")
    col = Collection(args.path, dim=args.dim, metric="cosine")
    started = time.perf_counter()
    col.add(ids, vectors, metadatas=metadatas, documents=texts, progress=True)
    print(f"  added in {time.perf_counter() - started:.2f} s; {len(col):,} documents")

    near = int(np.flatnonzero((kind == "shoes") & (year >= 2015))[0])  # a query near one shoe
    query = vectors[near] + 0.1 * rng.standard_normal(args.dim)
    started = time.perf_counter()
    hits = col.query(query, k=5, where={"category": "shoes", "year": {"$gte": 2015}})
    show(f'dict where: {{"category": "shoes", "year": {{"$gte": 2015}}}}  '
         f"({(time.perf_counter() - started) * 1e3:.1f} ms)",
         hits, exact_top(unit, (kind == "shoes") & (year >= 2015), query, 5))
    text = 'price < 50 and in_stock = true and not category in ("bags", "coats")'
    started = time.perf_counter()
    hits = col.query(query, k=5, where=text)
    show(f"text where: {text}  ({(time.perf_counter() - started) * 1e3:.1f} ms)", hits,
         exact_top(unit, (price < 50) & stock & ~np.isin(kind, ["bags", "coats"]), query, 5))

    print("\n  upsert: item-7 is re-priced and sold out; its whole document is replaced")
    col.upsert(["item-7"], [vectors[7]], metadatas=[{**metadatas[7], "price": 1.0,
                                                     "in_stock": False}], documents=[texts[7]])
    record = col.get(["item-7"])[0]
    print(f"    get: {record.id} {record.metadata}  {record.document!r}")

    old = int((year < 2008).sum())
    started = time.perf_counter()
    deleted = col.delete(where="year < 2008")
    print(f"\n  delete(where='year < 2008'): {deleted:,} documents "
          f"({'as NumPy counts' if deleted == old else 'NumPy counts ' + str(old)}) in "
          f"{(time.perf_counter() - started) * 1e3:.0f} ms; {col.count():,} left")
    del col
    again = Collection(args.path)
    print(f"  opened again: dim={again.dim}, metric={again.metric!r}, {len(again):,} documents, "
          f"'item-7' in it: {'item-7' in again}")
    if deleted != old or len(again) != args.count - old:
        sys.exit("the collection lost count of its documents")


if __name__ == "__main__":
    main()
