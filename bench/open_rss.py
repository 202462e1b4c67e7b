"""Peak memory and time of opening a store from its snapshot, each open in a fresh
child process, which reports its VmHWM (peak resident set), its VmRSS after the open
and the seconds the open took.

    python bench/open_rss.py --folder DIR [--n 100000] [--dim 128] [--runs 3]

The store is written once into DIR (upsert_batch, then compact) unless a snapshot is
there already, and is opened `runs` times.
"""
import argparse
import json
import os
import subprocess
import sys
import time

from store_rss import status_mb


def paths(folder):
    return os.path.join(folder, "s.snap"), os.path.join(folder, "s.wal")


def write(folder, n, dim):
    import numpy as np
    import pelmor_vector_db as pv

    rows = np.random.default_rng(7).standard_normal((n, dim), dtype=np.float32)
    store = pv.VectorStore.new(*paths(folder))
    for start in range(0, n, 100_000):
        store.upsert_batch([pv.VectorEntry(str(i), rows[i]) for i in range(start, min(n, start + 100_000))])
    store.compact()


def open_once(folder):
    import pelmor_vector_db as pv

    before = status_mb("VmRSS")
    start = time.perf_counter()
    store = pv.VectorStore.open(*paths(folder))
    seconds = time.perf_counter() - start
    print(json.dumps({"peak": status_mb("VmHWM"), "now": status_mb("VmRSS"), "base": before,
                      "seconds": seconds, "len": len(store)}))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--child")
    args = parser.parse_args()
    if args.child == "write":
        return write(args.folder, args.n, args.dim)
    if args.child == "open":
        return open_once(args.folder)
    os.makedirs(args.folder, exist_ok=True)
    if not os.path.exists(paths(args.folder)[0]):
        subprocess.run([sys.executable, __file__, "--folder", args.folder, "--n", str(args.n),
                        "--dim", str(args.dim), "--child", "write"], check=True)
    size = os.path.getsize(paths(args.folder)[0]) / 2**20
    for _ in range(args.runs):
        out = subprocess.run([sys.executable, __file__, "--folder", args.folder, "--child", "open"],
                             check=True, capture_output=True, text=True).stdout
        r = json.loads(out)
        print(f"snapshot {size:7.1f} MB, {r['len']} records: open {r['seconds']:6.2f} s, "
              f"peak RSS {r['peak']:7.1f} MB, after {r['now']:7.1f} MB "
              f"(peak/after {r['peak'] / r['now']:.2f})")


if __name__ == "__main__":
    main()
