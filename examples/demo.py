"""The typical road, at a realistic scale: load 200,000 product vectors (dimension 128) with
their records and metadata, then run filtered searches and describe the store.

    python examples/demo.py STORE_DIR [--count N] [--dim D] [--shards S]

STORE_DIR must not exist yet (or be empty). Needs only numpy and zanth_vec (with its zanth
package, for the readable filters).
"""

import argparse
import os
import sys
import time

import numpy as np

import zanth_vec
from zanth.filters import Exact, parse

COLORS = ["red", "blue", "green", "black", "white", "yellow", "purple", "orange"]
SIZES = ["s", "m", "l", "xl"]
YEARS = list(range(2000, 2024))
CHUNK = 20_000
SEED = 20240601


def progress(done, total, started, what):
    width = 30
    filled = width * done // total
    rate = done / max(time.perf_counter() - started, 1e-9)
    bar = "#" * filled + "." * (width - filled)
    end = "\n" if done == total else ""
    sys.stdout.write(f"\r  [{bar}] {done:>9,}/{total:,} {what}  {rate:>9,.0f}/s{end}")
    sys.stdout.flush()


def make_catalogue(count, dim, rng):
    """Vectors in clusters (one per color), so that filtered neighbours are meaningful."""
    centres = rng.standard_normal((len(COLORS), dim)).astype(np.float32)
    color = rng.integers(0, len(COLORS), count)
    size = rng.integers(0, len(SIZES), count)
    year = rng.integers(0, len(YEARS), count)
    return centres, color, size, year


def chunk_vectors(centres, color, dim, rng):
    noise = rng.standard_normal((len(color), dim)).astype(np.float32)
    v = centres[color] + 1.5 * noise
    v /= np.linalg.norm(v, axis=1, keepdims=True)  # unit length: inner product = cosine
    return np.ascontiguousarray(v, dtype=np.float32)


def load(store, count, dim, rng):
    centres, color, size, year = make_catalogue(count, dim, rng)
    ids = np.arange(count, dtype=np.int64) + 1_000_000
    vectors = np.empty((count, dim), dtype=np.float32)  # kept for the NumPy cross-check
    timings = {"vectors": 0.0, "objects": 0.0, "index": 0.0}
    print(f"Loading {count:,} records of dimension {dim} in chunks of {CHUNK:,}")
    started = time.perf_counter()
    for lo in range(0, count, CHUNK):
        hi = min(lo + CHUNK, count)
        chunk_ids = ids[lo:hi]
        vectors[lo:hi] = chunk_vectors(centres, color[lo:hi], dim, rng)

        t = time.perf_counter()
        store.store_flat_vectors(vectors[lo:hi], chunk_ids)
        timings["vectors"] += time.perf_counter() - t

        records = [
            {
                "sku": f"SKU-{int(i):08d}",
                "color": COLORS[c],
                "size": SIZES[s],
                "year": YEARS[y],
            }
            for i, c, s, y in zip(chunk_ids, color[lo:hi], size[lo:hi], year[lo:hi])
        ]
        t = time.perf_counter()
        store.store_data(records, chunk_ids)
        timings["objects"] += time.perf_counter() - t

        entries = []
        for r, i in zip(records, chunk_ids.tolist()):
            entries += [(f"color:{r['color']}", i), (f"size:{r['size']}", i), (f"year:{r['year']}", i)]
        t = time.perf_counter()
        store.batch_index_insert(entries)
        timings["index"] += time.perf_counter() - t

        progress(hi, count, started, "records")
    total = time.perf_counter() - started
    print(
        f"  loaded in {total:.1f} s: vectors {timings['vectors']:.1f} s, "
        f"objects {timings['objects']:.1f} s, index {timings['index']:.1f} s "
        f"(the rest is generating data)"
    )
    meta = {"color": color, "size": size, "year": year}
    return ids, vectors, meta


def matches(tree, meta, n):
    """The same filter evaluated with NumPy over the generated metadata: the reference. Filters
    are the tuple trees the store takes, whether built, parsed or written out."""
    op = tree[0]
    if op == 0:
        field, value = tree[1].split(":", 1)
        table = {"color": COLORS, "size": SIZES, "year": [str(y) for y in YEARS]}[field]
        return meta[field] == table.index(value)
    if op == 1:
        years = np.array([str(y) for y in YEARS])[meta["year"]]
        lo, hi = tree[1].split(":", 1)[1], tree[2].split(":", 1)[1]
        return (years >= lo) & (years < hi)
    if op == 4:
        return ~matches(tree[1], meta, n)
    parts = [matches(c, meta, n) for c in tree[1]]
    out = np.ones(n, bool) if op == 2 else np.zeros(n, bool)
    for p in parts:
        out = out & p if op == 2 else out | p
    return out


def search_demo(store, ids, vectors, meta, rng, k=5):
    n = len(ids)
    query = vectors[rng.integers(0, n)] + 0.05 * rng.standard_normal(vectors.shape[1])
    query = (query / np.linalg.norm(query)).astype(np.float32)
    scores = vectors @ query  # NumPy reference scores for every record

    searches = [
        ("no filter", None),
        ("Exact", Exact("color:red")),
        ("And with Not", Exact("color:blue") & ~Exact("size:xl")),
        ("Range", parse("year:[2015, 2020)")),
        ("Or", Exact("color:green") | Exact("year:2023")),
        ("nested", parse("(size:s or size:m) and year:[2010, 2013) and not color:black")),
    ]
    print(f"\nSearching {n:,} vectors, top {k} by inner product")
    disagreed = 0
    for name, tree in searches:
        t0 = time.perf_counter()
        id_set = store.get_ids_from_filter(tree) if tree is not None else None
        t1 = time.perf_counter()
        hits = store.search_flat(query, filter_obj=id_set, k=k)
        t2 = time.perf_counter()

        mask = matches(tree, meta, n) if tree is not None else np.ones(n, bool)
        order = np.argsort(-scores[mask], kind="stable")[:k]
        expected = ids[mask][order].tolist()
        # NumPy's matrix product may add in another order; near-ties can then swap places.
        agrees = [i for _, i in hits] == expected or np.allclose(
            [s for s, _ in hits], scores[mask][order], rtol=0, atol=1e-5)
        disagreed += not agrees
        label = f"{tree}    i.e. {tree.plain()}" if tree is not None else "all records"
        print(f"\n  {name}: {label}")
        if id_set is not None:
            print(f"    filter: {len(id_set):>7,} ids in {1000 * (t1 - t0):7.1f} ms"
                  + ("  (complement form)" if tree[0] == 4 else ""))
        print(f"    search: {len(hits):>7} hits in {1000 * (t2 - t1):7.1f} ms"
              f"   matches NumPy: {'yes' if agrees else 'NO'}")
        records = store.get_data([i for _, i in hits[:3]])
        for (score, i), rec in zip(hits[:3], records):
            print(f"      {score:+.4f}  id {i}  {rec['sku']} {rec['color']:<6} "
                  f"{rec['size']:<2} {rec['year']}")
    return disagreed


def summary(store, path, shards, ids):
    n = len(ids)
    per_shard = np.bincount(np.abs(ids) % shards, minlength=shards)
    blocks = int(sum(-(-c // 256) for c in per_shard))  # 256 vectors per block
    index_entries = 3 * n
    total = store.get_data_count()
    size = used = 0
    for s in range(shards):
        st = os.stat(os.path.join(path, f"shard_{s}", "data.mdb"))
        size += st.st_size
        used += st.st_blocks * 512
    print(f"\nStore at {path}")
    print(f"  shards           {shards} (vectors per shard: {', '.join(f'{c:,}' for c in per_shard)})")
    print(f"  objects          {n:,}")
    print(f"  vectors          {n:,} in {blocks:,} blocks of up to 256")
    print(f"  index entries    {index_entries:,} over "
          f"{len(COLORS) + len(SIZES) + len(YEARS)} keys")
    print(f"  LMDB records     {total:,}"
          f" ({'= objects + blocks + index entries' if total == n + blocks + index_entries else 'UNEXPECTED'})")
    print(f"  bytes on disk    {used / 2**20:,.1f} MiB allocated "
          f"({size / 2**20:,.1f} MiB of data files)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path")
    parser.add_argument("--count", type=int, default=200_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--shards", type=int, default=5)
    args = parser.parse_args()
    if os.path.isdir(args.path) and os.listdir(args.path):
        sys.exit(f"{args.path} is not empty; the demo loads a fresh store (remove it first)")

    rng = np.random.default_rng(SEED)
    started = time.perf_counter()
    # 8 GiB of address space per shard is plenty here; the files grow only as data arrives.
    store = zanth_vec.ZanthVec(args.path, num_shards=args.shards, map_size=8 << 30)
    ids, vectors, meta = load(store, args.count, args.dim, rng)
    disagreed = search_demo(store, ids, vectors, meta, rng)
    summary(store, args.path, args.shards, ids)
    print(f"\nDemo finished in {time.perf_counter() - started:.1f} s")
    if disagreed:
        sys.exit(f"{disagreed} searches disagreed with NumPy")


if __name__ == "__main__":
    main()
