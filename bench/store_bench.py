"""Write and recovery throughput of the store.

    python bench/store_bench.py [--records 100000] [--dim 384]

Measures single upsert (records/s) against a bare Python loop that opens a file, appends
one line and closes it; upsert_batch (records/s and MB/s of log text); open of the
resulting log (seconds and MB/s); and, where the store's bench binary is not at hand, the
log text size for comparison with the C++ decoder figures of json_bench.
"""
import argparse
import os
import tempfile
import time

import numpy as np

import pelmor_vector_db as pv


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--singles", type=int, default=5_000)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    data = (rng.normal(size=(args.records, args.dim)) * 0.1).astype(np.float32)
    folder = tempfile.mkdtemp(prefix="pvdb-bench-")
    snap, wal = os.path.join(folder, "s"), os.path.join(folder, "w")

    rows = [data[i].tolist() for i in range(args.singles)]
    store = pv.VectorStore.new(snap, wal + ".single")
    entries = [pv.VectorEntry(f"s{i}", rows[i]) for i in range(args.singles)]
    t_single, _ = timed(lambda: [store.upsert(e) for e in entries])
    line = open(wal + ".single", "rb").readline()

    def bare_loop():
        for _ in range(args.singles):
            with open(wal + ".bare", "ab") as f:
                f.write(line)

    t_bare, _ = timed(bare_loop)

    store = pv.VectorStore.new(snap, wal)
    t_convert, batch = timed(lambda: [pv.VectorEntry(f"id{i}", data[i].tolist()) for i in range(args.records)])
    t_batch, _ = timed(lambda: store.upsert_batch(batch))
    size = os.path.getsize(wal)
    t_open, opened = timed(lambda: pv.VectorStore.open(snap, wal))
    assert opened.len == args.records

    print(f"| measure | value |")
    print(f"|---|---|")
    print(f"| single upsert, d={args.dim} | {args.singles / t_single:,.0f} records/s |")
    print(f"| bare Python open+append+close of the same line | {args.singles / t_bare:,.0f} lines/s |")
    print(f"| single upsert / bare loop | {t_bare / t_single:.2f}x |")
    print(f"| upsert_batch of {args.records:,} (store call only) | {args.records / t_batch:,.0f} records/s, "
          f"{size / t_batch / 1e6:.0f} MB/s of log |")
    print(f"| building the VectorEntry list from NumPy rows | {t_convert:.2f} s |")
    print(f"| open: replay {size / 1e6:.0f} MB log | {t_open:.2f} s, {size / t_open / 1e6:.0f} MB/s |")


if __name__ == "__main__":
    main()
