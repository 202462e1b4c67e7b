"""Peak memory of a built store: each step runs in a fresh child process, which reports
its VmHWM (peak resident set) and VmRSS after the step.

    python bench/store_rss.py [--n 100000] [--dim 128]

Steps: the NumPy rows alone; the rows upserted in one upsert_batch; the same followed by
the first search, which builds the index. The differences are what the store and its
index cost on top of the rows.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile


def status_mb(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def child(n, dim, step):
    import numpy as np
    import pelmor_vector_db as pv

    rows = np.random.default_rng(7).standard_normal((n, dim), dtype=np.float32)
    with tempfile.TemporaryDirectory() as folder:
        store = pv.VectorStore.new(os.path.join(folder, "s.snap"), os.path.join(folder, "s.wal"))
        if step != "rows":
            store.upsert_batch([pv.VectorEntry(str(i), rows[i]) for i in range(n)])
        if step == "search":
            store.search(rows[0], 10)
        print(json.dumps({"peak": status_mb("VmHWM"), "now": status_mb("VmRSS")}))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--child")
    args = parser.parse_args()
    if args.child:
        child(args.n, args.dim, args.child)
        return
    print(f"{args.n} x {args.dim}, float32 rows of {args.n * args.dim * 4 / 2**20:.1f} MB")
    for step in ("rows", "upsert", "search"):
        out = subprocess.run([sys.executable, __file__, "--n", str(args.n), "--dim", str(args.dim),
                              "--child", step], check=True, capture_output=True, text=True).stdout
        rss = json.loads(out)
        print(f"{step:8s} peak RSS {rss['peak']:8.1f} MB, at the end {rss['now']:8.1f} MB")


if __name__ == "__main__":
    main()
