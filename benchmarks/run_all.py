"""Runs every benchmarks/bench_*.py, one after the other, and prints one combined report.

    python benchmarks/run_all.py [--quick] [--json PATH] [--only NAME ...] [--dir DIR]

Each script prints its own table as it runs and writes its figures with --json; this runner
collects them into one summary (every figure beside its peer's figure from the same run) and,
with --json, one JSON document. The exit status is non-zero when a script fails; a missed goal
is reported, not treated as a failure.
"""

import argparse
import datetime
import glob
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def discover(only):
    scripts = sorted(glob.glob(os.path.join(HERE, "bench_*.py")))
    if only:
        scripts = [s for s in scripts if any(o in os.path.basename(s) for o in only)]
    return scripts


def machine():
    info = {
        "python": platform.python_version(),
        "platform": platform.platform(),
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
    }
    try:
        with open("/proc/cpuinfo") as f:
            names = [l.split(":", 1)[1].strip() for l in f if l.startswith("model name")]
        if names:
            info["cpu"] = names[0]
        with open("/proc/cpuinfo") as f:
            flags = next((l.split(":", 1)[1].split() for l in f if l.startswith("flags")), [])
        info["simd"] = [f for f in ("avx2", "avx512f") if f in flags]
    except OSError:
        pass
    for module in ("numpy", "zanth_vec"):
        try:
            mod = __import__(module)
            info[module] = getattr(mod, "__version__", None) or getattr(mod, "__file__", "")
        except ImportError as e:  # reported, not fatal: the scripts will say more
            info[module] = f"not importable: {e}"
    return info


def run_one(script, args, tmp):
    name = os.path.basename(script)[len("bench_"):-len(".py")]
    out_json = os.path.join(tmp, f"{name}.json")
    cmd = [sys.executable, script, "--json", out_json]
    if args.quick:
        cmd.append("--quick")
    if args.dir:
        cmd += ["--dir", args.dir]
    print(f"\n=== {name}: {' '.join(os.path.relpath(c) if c == script else c for c in cmd[1:])}",
          flush=True)
    started = time.perf_counter()
    # The script's own table goes straight to the terminal while it runs, and is kept.
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = []
    for line in proc.stdout:
        sys.stdout.write(line)
        sys.stdout.flush()
        lines.append(line)
    returncode = proc.wait()
    entry = {
        "name": name,
        "script": os.path.relpath(script, os.path.dirname(HERE)),
        "returncode": returncode,
        "seconds": round(time.perf_counter() - started, 3),
        "output": "".join(lines),
        "report": None,
    }
    if os.path.exists(out_json):
        with open(out_json) as f:
            try:
                entry["report"] = json.load(f)
            except json.JSONDecodeError as e:
                entry["error"] = f"unreadable JSON: {e}"
    elif returncode == 0:
        entry["error"] = "the script wrote no JSON report"
    if returncode != 0:
        entry["error"] = f"exited with status {returncode}"
    return entry


def figure(row, keys):
    for k in keys:
        if k in row and isinstance(row[k], (int, float)):
            return k, row[k]
    return None, None


def summary_rows(entry):
    """One line per figure: our time, the peer's time, their ratio and the goal.

    Scripts name their fields after what they measure (ours_s; peer_s, lmdb_loop_s, numpy_s,
    ...; ratio or speedup), so the peer is whichever other *_s field the row carries."""
    report = entry["report"] or {}
    for row in report.get("results", []):
        ours = row.get("ours_s")
        peers = [(k, v) for k, v in row.items()
                 if k.endswith("_s") and k != "ours_s" and isinstance(v, (int, float))]
        kind, value = figure(row, ("ratio", "speedup", "value"))
        if kind == "value":
            kind = row.get("unit", "value")
        yield {
            "benchmark": entry["name"],
            "operation": str(row.get("operation", row.get("name", "?"))),
            "ours_ms": None if ours is None else ours * 1e3,
            "peers": [(k[:-2], v * 1e3) for k, v in peers],
            "compare": None if kind is None else f"{kind} {value:.2f}",
            "goal": row.get("goal"),
            "met": row.get("met"),
        }


def print_summary(entries, total_seconds):
    print("\n" + "=" * 96)
    print(f"Combined report: {len(entries)} benchmark(s) in {total_seconds:.0f} s")
    print("=" * 96)
    head = f"{'benchmark':<10}{'operation':<50}{'ours ms':>11}  {'peer ms':<30}{'compare':<16}{'goal':>6}  "
    print(head + "result")
    missed = 0
    for e in entries:
        if e.get("error") and not e["report"]:
            print(f"{e['name']:<10}{'-':<50}{'':>11}  {'':<30}{'':<16}{'':>6}  FAILED: {e['error']}")
            continue
        for r in summary_rows(e):
            peers = ", ".join(f"{n} {v:.2f}" for n, v in r["peers"]) or "-"
            ours = "-" if r["ours_ms"] is None else f"{r['ours_ms']:.2f}"
            goal = "" if r["goal"] is None else f"{r['goal']}"
            verdict = {True: "met", False: "MISSED", None: ""}[r["met"]]
            missed += r["met"] is False
            print(f"{r['benchmark']:<10}{r['operation'][:49]:<50}{ours:>11}  {peers[:29]:<30}"
                  f"{(r['compare'] or '-'):<16}{goal:>6}  {verdict}")
        if e.get("error"):
            print(f"{e['name']:<10}{'':<22}{'':>11}  {'':<30}{'':<16}{'':>6}  FAILED: {e['error']}")
    failed = [e["name"] for e in entries if e.get("error")]
    print("-" * 96)
    print(f"scripts failed: {', '.join(failed) if failed else 'none'}; goals missed: {missed}")
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="pass --quick to every script")
    parser.add_argument("--json", metavar="PATH", help="write the combined report as JSON")
    parser.add_argument("--only", action="append", metavar="NAME",
                        help="run only scripts whose file name contains NAME (repeatable)")
    parser.add_argument("--dir", help="directory for the scripts' temporary stores")
    args = parser.parse_args()

    scripts = discover(args.only)
    if not scripts:
        sys.exit("no benchmark scripts found")
    started = time.perf_counter()
    stamp = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    info = machine()
    print(f"{len(scripts)} benchmark(s) on {info.get('cpu', info['machine'])}, "
          f"{info['cpus']} CPUs, Python {info['python']}" + (" (quick)" if args.quick else ""))
    with tempfile.TemporaryDirectory(prefix="zanth_bench_") as tmp:
        entries = [run_one(s, args, tmp) for s in scripts]
    total = time.perf_counter() - started
    failed = print_summary(entries, total)
    if args.json:
        document = {"started": stamp, "quick": args.quick, "seconds": round(total, 3),
                    "machine": info, "benchmarks": entries}
        os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
        with open(args.json, "w") as f:
            json.dump(document, f, indent=2)
        print(f"combined report written to {args.json}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
