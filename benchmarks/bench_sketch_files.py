"""Sketch files shared by processes: memory, a new process's first search, searches after
another process's commit, and what the files cost.

One store of N x 128 Gaussian vectors (default 1,000,000, five shards). Figures, each the
median of REPS runs:
- memory: P processes (1 and 4) each open the store and search 12 times; with all of them
  alive, their proportional set sizes (PSS: shared pages divided among the processes mapping
  them) outside the LMDB maps are summed, sketches on minus sketches off (budget 0). The peer
  is the same with the sketch folder made unwritable (every process keeps private sketches).
- a process started after the files exist: its first search against a full scan (a handle
  with sketches off, warm);
- after one process appends 256 vectors, another process's next two searches against a full
  scan, each answer checked against a handle with sketches off;
- a new process's first search when the files are one commit behind;
- what a handle writes per commit while it commits 256 vectors after every 8 searches;
- the files' size against the float32 data, and how long a process takes to sketch the whole
  store and publish it (files removed first).

    python benchmarks/bench_sketch_files.py [--quick] [--rows N] [--reps R] [--dir DIR]
                                            [--json PATH]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import zanth_vec

DIM = 128
K = 10
ROWS = []

CHILD = r"""
import json, sys, time, numpy as np, zanth_vec
path, mode, dim, k = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])

def pss_outside_lmdb():
    total, skip = 0, False
    with open("/proc/self/smaps") as f:
        for line in f:
            head = line.split()
            if head and "-" in head[0] and len(head) >= 5:
                skip = len(head) >= 6 and head[-1].endswith((".mdb",))
            elif head and head[0] == "Pss:" and not skip:
                total += int(head[1]) * 1024
    return total

z = zanth_vec.ZanthVec(path)
if mode == "off":
    z.set_sketch_budget(0)
rng = np.random.default_rng(1)
queries = rng.standard_normal((12, dim)).astype(np.float32)
if mode == "first":
    start = time.perf_counter()
    hits = z.search_flat(queries[0], k=k)
    first = time.perf_counter() - start
    z.sketch_memory()  # the full scans are timed once this process's publishing has ended
    full = zanth_vec.ZanthVec(path)
    full.set_sketch_budget(0)
    full.search_flat(queries[1], k=k)
    times = []
    for q in queries[2:5]:
        start = time.perf_counter()
        full.search_flat(q, k=k)
        times.append(time.perf_counter() - start)
    assert hits == full.search_flat(queries[0], k=k)
    print(json.dumps({"first": first, "full": float(np.median(times))}), flush=True)
    sys.exit(0)
for q in queries:
    z.search_flat(q, k=k)
print(json.dumps({"pss": pss_outside_lmdb(), "sketch_memory": z.sketch_memory()}), flush=True)
sys.stdin.readline()
"""


def report(operation, value, unit="x", goal=None, **extra):
    row = {"operation": operation, "value": float(value), "unit": unit, **extra}
    if goal is not None:
        row["goal"] = goal
        row["met"] = bool(value <= goal)
    ROWS.append(row)
    more = " ".join(f"{k}={v}" for k, v in extra.items())
    shown = f"{value:.3f}{unit}" if unit == "x" else f"{value:,.1f} {unit}"
    print(f"{operation:<58} {shown:>14} {'' if goal is None else f'(goal <= {goal})'} {more}",
          flush=True)


def children(path, mode, count):
    procs = [subprocess.Popen([sys.executable, "-c", CHILD, path, mode, str(DIM), str(K)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
             for _ in range(count)]
    out = [json.loads(p.stdout.readline()) for p in procs]
    for p in procs:
        p.stdin.write("\n")
        p.stdin.close()
        p.wait()
    return out


def memory(path, count):
    """PSS outside the LMDB maps of `count` processes together, sketches on minus off."""
    on = sum(r["pss"] for r in children(path, "on", count))
    off = sum(r["pss"] for r in children(path, "off", count))
    return on - off


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--dir")
    parser.add_argument("--json")
    parser.add_argument("--quick", action="store_true", help="100,000 rows, 2 runs")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.reps = min(args.rows, 100_000), min(args.reps, 2)
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                if l.startswith("model name")), "?")
    print(f"CPU: {cpu}; {os.cpu_count()} CPUs; {args.rows:,} x {DIM}, median of {args.reps}")
    work = tempfile.mkdtemp(dir=args.dir)
    path = os.path.join(work, "store")
    try:
        rng = np.random.default_rng(0)
        store = zanth_vec.ZanthVec(path)
        for start in range(0, args.rows, 100_000):
            n = min(100_000, args.rows - start)
            store.store_flat_vectors(rng.standard_normal((n, DIM)).astype(np.float32),
                                     range(start, start + n))
        del store
        folder = os.path.join(path, "sketches")

        # Sketching the whole store and publishing it, from no files.
        builds, publishes = [], []
        for _ in range(args.reps):
            shutil.rmtree(folder, ignore_errors=True)
            z = zanth_vec.ZanthVec(path)
            start = time.perf_counter()
            z.search_flat(np.ones(DIM, np.float32), k=K)
            built = time.perf_counter()
            del z  # waits for the files
            builds.append(built - start)
            publishes.append(time.perf_counter() - built)
        report("whole-store sketch, first search (sketches it)", np.median(builds) * 1e3, "ms")
        report("  then publishing the files (write, fsync, rename)", np.median(publishes) * 1e3,
               "ms")
        size = sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder))
        report("sketch files on disk", size / 2**20, "MiB", share_of_float_data=round(
            size / (args.rows * DIM * 4), 3))

        one = np.median([memory(path, 1) for _ in range(args.reps)])
        four = np.median([memory(path, 4) for _ in range(args.reps)])
        report("4 processes' sketch PSS / one process's (files)", four / one, goal=1.1,
               one_MiB=round(one / 2**20, 1), four_MiB=round(four / 2**20, 1))
        # The peer: files cannot be written, so every process keeps private sketches.
        shutil.rmtree(folder)
        open(folder, "w").close()
        one_p = np.median([memory(path, 1) for _ in range(args.reps)])
        four_p = np.median([memory(path, 4) for _ in range(args.reps)])
        report("4 processes' sketch PSS / one process's (private)", four_p / one_p,
               one_MiB=round(one_p / 2**20, 1), four_MiB=round(four_p / 2**20, 1))
        os.remove(folder)
        z = zanth_vec.ZanthVec(path)
        z.search_flat(np.ones(DIM, np.float32), k=K)
        del z

        runs = [children(path, "first", 1)[0] for _ in range(max(args.reps, 5))]
        report("new process, first search / full scan (files exist)",
               float(np.median([r["first"] / r["full"] for r in runs])), goal=0.5,
               first_ms=round(float(np.median([r["first"] for r in runs])) * 1e3, 2),
               full_ms=round(float(np.median([r["full"] for r in runs])) * 1e3, 2))
        # Without files (the folder cannot be made): every new process sketches for itself.
        shutil.rmtree(folder)
        open(folder, "w").close()
        runs = [children(path, "first", 1)[0] for _ in range(max(args.reps, 5))]
        os.remove(folder)
        report("new process, first search / full scan (no files)",
               float(np.median([r["first"] / r["full"] for r in runs])),
               first_ms=round(float(np.median([r["first"] for r in runs])) * 1e3, 2))

        # Another process commits; this one searches on: exact answers, first and second time.
        searcher = zanth_vec.ZanthVec(path)
        full = zanth_vec.ZanthVec(path)
        full.set_sketch_budget(0)
        queries = np.random.default_rng(2).standard_normal((40, DIM)).astype(np.float32)
        for q in queries[:4]:
            searcher.search_flat(q, k=K)
        first, second, scans = [], [], []
        for i in range(max(args.reps, 5)):
            subprocess.run([sys.executable, "-c",
                            "import sys, numpy as np, zanth_vec; z = zanth_vec.ZanthVec(sys.argv[1]);"
                            "z.store_flat_vectors(np.random.default_rng(int(sys.argv[2]))"
                            ".standard_normal((256, 128)).astype(np.float32), range(int(sys.argv[2]),"
                            " int(sys.argv[2]) + 256))", path, str(10**7 + 1000 * i)], check=True)
            q1, q2, q3 = queries[4 + 3 * i: 7 + 3 * i]
            full.search_flat(q3, k=K)
            start = time.perf_counter()
            a1 = searcher.search_flat(q1, k=K)
            first.append(time.perf_counter() - start)
            start = time.perf_counter()
            a2 = searcher.search_flat(q2, k=K)
            second.append(time.perf_counter() - start)
            searcher.sketch_memory()  # the full scan is timed once publishing has ended
            start = time.perf_counter()
            full.search_flat(q3, k=K)
            scans.append(time.perf_counter() - start)
            assert a1 == full.search_flat(q1, k=K) and a2 == full.search_flat(q2, k=K)
        report("after another process's commit: first search / full scan",
               float(np.median(first) / np.median(scans)), goal=1.3)
        report("after another process's commit: second search / full scan",
               float(np.median(second) / np.median(scans)), goal=0.5)

        # Files one commit behind: a handle without sketches commits (nobody publishes), then a
        # new process searches; it takes over the files' unchanged chunks.
        rng = np.random.default_rng(3)
        runs = []
        for i in range(max(args.reps, 5)):
            full.store_flat_vectors(rng.standard_normal((256, DIM)).astype(np.float32),
                                    range(2 * 10**7 + 1000 * i, 2 * 10**7 + 1000 * i + 256))
            runs.append(children(path, "first", 1)[0])
        report("new process, first search / full scan (files one commit behind)",
               float(np.median([r["first"] / r["full"] for r in runs])), goal=1.3,
               first_ms=round(float(np.median([r["first"] for r in runs])) * 1e3, 2))

        # A handle that commits 256 vectors after every 8 searches, 20 times: what it writes,
        # LMDB's pages and its sketch files (each file is rewritten at most every few seconds).
        def written():
            with open("/proc/self/io") as f:
                return next(int(line.split()[1]) for line in f if line.startswith("wchar"))
        for q in queries[:4]:
            searcher.search_flat(q, k=K)
        searcher.sketch_memory()
        start, began = written(), time.perf_counter()
        for i in range(20):
            searcher.store_flat_vectors(rng.standard_normal((256, DIM)).astype(np.float32),
                                        range(3 * 10**7 + 1000 * i, 3 * 10**7 + 1000 * i + 256))
            for q in queries[:8]:
                searcher.search_flat(q, k=K)
            time.sleep(0.1)
        searcher.sketch_memory()  # what was deferred is published now, and counted
        report("own commits amid searches: MB written per commit (LMDB and sketch files)",
               (written() - start) / 20 / 1e6, "MB",
               seconds=round(time.perf_counter() - began, 2),
               file_MB=round(sum(os.path.getsize(os.path.join(folder, f))
                                 for f in os.listdir(folder)) / 1e6, 1))
        del searcher, full
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"cpu": cpu, "rows": args.rows, "results": ROWS}, f, indent=2)


if __name__ == "__main__":
    main()
