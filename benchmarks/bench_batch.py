"""Batch search against FAISS and against one search_flat call per query, same data, same run.

Cases: 1,000,000 x 128 with m = 1, 16, 64, 256 and 1,000 queries and 200,000 x 768 with m = 8
and 256, k = 10. Batches prune with the sketches where that pays on the CPU (batch_search.h);
every batch is also timed against the same batch on a handle with sketches off (the
float tile scan), with the sketches built beforehand.
Peers: FAISS IndexFlatIP.search on the same matrix of queries (BLAS, fused multiply-adds, not
bit-reproducible), timed with FAISS's default thread count and with one thread, the faster one
compared (OpenMP's spinning threads can collapse on a loaded machine); and m separate
search_flat calls (for m > 64, 64 of them timed and scaled). Every figure is a median of warm
repetitions. The last columns relate our multiply-add rate to the machine's limit for the
kernel used: for the pruned batch the int8 multiply-adds of its sketch pass (m x n x d) against
cores x clock x 64 (one 512-bit vpdpbusd a cycle), for the tile scan the float multiply-add pairs
against cores x clock x pairs per cycle without fused multiply-add (see compute_limit).

    python benchmarks/bench_batch.py [--quick] [--json PATH] [--dir DIR]
"""

import argparse
import json
import os
import shutil
import tempfile
import time

import numpy as np

import zanth_vec

K = 10
SEED = 20240612
SINGLES_SAMPLE = 64
ROWS = []


def median_time(fn, reps, warmup=1):
    """Median wall seconds and median CPU seconds (all threads) of one call of fn. On a shared
    machine the CPU time says how much work a call is; the wall time what a caller waits."""
    for _ in range(warmup):
        fn()
    walls, cpus = [], []
    for _ in range(reps):
        cpu, start = time.process_time(), time.perf_counter()
        fn()
        walls.append(time.perf_counter() - start)
        cpus.append(time.process_time() - cpu)
    return float(np.median(walls)), float(np.median(cpus))


def cpu_info():
    flags, mhz, name = set(), None, "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            field, _, value = line.partition(":")
            field = field.strip()
            if field == "flags" and not flags:
                flags = set(value.split())
            elif field == "cpu MHz" and mhz is None:
                mhz = float(value)
            elif field == "model name" and name == "?":
                name = value.strip()
    return flags, mhz, name


def compute_limit(clock_mhz=None):
    """Multiply-add pairs per second this machine can issue without FMA, and how it was derived.

    pairs/cycle/core = multiplies a core can start per cycle when a separate add takes each
    product. Zen 4 (AVX-512 or AVX2): two 256-bit multiply pipes and two 256-bit add pipes,
    16 multiplies + 16 adds a cycle, so 16 pairs (512-bit operations occupy both pipes of a
    kind). Intel cores with AVX-512: two 512-bit operations a cycle, mul or add, so 16 pairs;
    with AVX2 only: two 256-bit operations a cycle, so 8 pairs.
    The clock is the nominal one /proc/cpuinfo reports unless --clock-mhz gives another (a
    virtual machine hides the boost clock, which makes the true limit higher).
    """
    flags, mhz, name = cpu_info()
    mhz = clock_mhz or mhz
    cores = len(os.sched_getaffinity(0))
    amd = "AMD" in name
    if "avx512f" in flags:
        kernel, pairs = "avx512", 16
    elif "avx2" in flags:
        kernel, pairs = "avx2", 16 if amd else 8
    else:
        kernel, pairs = "scalar", 1
    limit = cores * (mhz or 0) * 1e6 * pairs
    how = (f"{cores} cores x {mhz:.0f} MHz x {pairs} mul+add pairs/cycle ({kernel}, {name})")
    return limit, how


def int8_limit(clock_mhz=None):
    """Int8 multiply-adds per second of the VNNI sketch pass, or None without AVX-512 VNNI."""
    flags, mhz, _ = cpu_info()
    if "avx512_vnni" not in flags and "avx512vnni" not in flags:
        return None
    return len(os.sched_getaffinity(0)) * (clock_mhz or mhz or 0) * 1e6 * 64


def report(case, ours_s, peer, peer_s, goal, extra=""):
    ratio = ours_s / peer_s
    ROWS.append({"operation": f"{case} vs {peer}", "ours_s": ours_s, "peer_s": peer_s,
                 "ratio": ratio, "goal": goal, "met": ratio <= goal})
    print(f"{case:<30} {ours_s * 1e3:10.1f} ms | {peer:<28} {peer_s * 1e3:10.1f} ms | "
          f"{ratio:6.3f}x (goal <= {goal}){extra}", flush=True)


def bench_case(workdir, n, d, ms, reps, limit, limit8):
    rng = np.random.default_rng(SEED + d)
    data = rng.standard_normal((n, d), dtype=np.float32)
    path = os.path.join(workdir, f"batch_{n}_{d}")
    store = zanth_vec.ZanthVec(path, num_shards=5, map_size=1 << 36)
    for start in range(0, n, 100_000):
        store.store_flat_vectors(data[start:start + 100_000],
                                 np.arange(start, min(n, start + 100_000)))
    try:
        import faiss
        index = faiss.IndexFlatIP(d)
        index.add(data)
    except ImportError:
        faiss = index = None
    del data
    for m in ms:
        queries = rng.standard_normal((m, d), dtype=np.float32)
        # A batch of m queries sketches as much as m searches would; 16 searches' worth sketch
        # every record.
        warmup = -(-16 // m)
        ours, ours_cpu = median_time(lambda: store.search_flat_batch(queries, k=K), reps, warmup)
        cores = len(os.sched_getaffinity(0))
        extra = f"; {m / ours:.0f} q/s"
        if limit8:
            rate8 = n * d * m / ours_cpu * cores
            extra += f"; {rate8 / limit8:.1%} of the int8 limit (sketch pass, CPU-second x cores)"
        case = f"{n // 1000}k x {d}, m = {m}"
        if index is not None:
            default_threads = faiss.omp_get_max_threads()
            theirs_default, _ = median_time(lambda: index.search(queries, K), reps)
            faiss.omp_set_num_threads(1)
            theirs_one, one_cpu = median_time(lambda: index.search(queries, K), reps)
            faiss.omp_set_num_threads(default_threads)
            best = min(theirs_default, theirs_one)
            which = f"{default_threads} threads" if best == theirs_default else "1 thread"
            report(case, ours, f"faiss IndexFlatIP ({which})", best, 1.0,
                   extra + f"; faiss {m / theirs_default:.0f} q/s ({default_threads} thr), "
                   f"{m / theirs_one:.0f} q/s (1 thr); CPU seconds ours/faiss 1 thr "
                   f"{ours_cpu / one_cpu:.2f}")
        else:
            print(f"{case}: faiss not installed, peer skipped")
        scan = zanth_vec.ZanthVec(path, num_shards=5, map_size=1 << 36)
        scan.set_sketch_budget(0)
        plain, plain_cpu = median_time(lambda: scan.search_flat_batch(queries, k=K), reps)
        rate = n * d * m / plain_cpu * cores
        report(case, ours, "same batch, sketches off", plain, 1.0,
               f"; tile scan at {rate / limit:.1%} of the float limit (CPU-second x cores)")
        del scan
        sample = queries[:SINGLES_SAMPLE]
        singles = median_time(lambda: [store.search_flat(q, k=K) for q in sample],
                              max(1, reps // 2))[0] * m / len(sample)
        scaled = "" if m <= SINGLES_SAMPLE else f" ({SINGLES_SAMPLE} timed)"
        # A batch of one is one search; the goal is for batches that fill the query tiles.
        report(case, ours, f"{m} x search_flat{scaled}", singles, 0.1 if m >= 64 else 1.0)
    del store
    shutil.rmtree(path, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, fewer repetitions")
    parser.add_argument("--json", metavar="PATH", help="also write the rows as JSON")
    parser.add_argument("--dir", help="directory for the temporary stores")
    parser.add_argument("--clock-mhz", type=float, help="clock for the compute limit")
    args = parser.parse_args()
    limit, how = compute_limit(args.clock_mhz)
    limit8 = int8_limit(args.clock_mhz)
    print(f"zanth_vec {zanth_vec.__file__}; k = {K}; compute limit {limit / 1e9:.1f} G "
          f"mul+add pairs/s = {how}; int8 limit "
          + (f"{limit8 / 1e9:.0f} G multiply-adds/s" if limit8 else "none (no AVX-512 VNNI)"))
    big, wide, reps = (200_000, 40_000, 3) if args.quick else (1_000_000, 200_000, 3)
    workdir = tempfile.mkdtemp(prefix="zanth_batch_", dir=args.dir)
    try:
        bench_case(workdir, big, 128, [1, 16, 64, 256, 1000], reps, limit, limit8)
        bench_case(workdir, wide, 768, [8, 256], reps, limit, limit8)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"results": ROWS, "compute_limit": {"pairs_per_s": limit, "how": how,
                                                           "int8_per_s": limit8}},
                      f, indent=2)


if __name__ == "__main__":
    main()
