"""Sustained mixed load on one store; prints throughput, latency and resource figures.

Usage: python load.py FOLDER [--seconds 600] [--ids 50000] [--dim 384]
         [--compact-every 60] [--search-every 1]
Writes (upserts, batches, deletes) run back to back; a search runs once per
--search-every seconds and a compaction once per --compact-every seconds.
"""
import argparse
import json
import os
import random
import time

import numpy as np

import pelmor_vector_db as pv
from leaks import rss


def fds_threads():
    with open("/proc/self/status") as f:
        threads = int(next(line for line in f if line.startswith("Threads:")).split()[1])
    return len(os.listdir("/proc/self/fd")), threads


def write_rate(writes, begin, end):
    """Writes started in [begin, end) per second spent inside them."""
    inside = [took for at, took in writes if begin <= at < end]
    return round(len(inside) / sum(inside), 1) if inside else None


def next_write(store, rng, ids, vecs):
    """An upsert, a batch of up to 100 or a delete."""
    roll = rng.random()
    if roll < 0.6:
        e = pv.VectorEntry(rng.choice(ids), vecs[rng.randrange(1024)])
        return "upsert", lambda: store.upsert(e)
    if roll < 0.7:
        batch = [pv.VectorEntry(rng.choice(ids), vecs[rng.randrange(1024)])
                 for _ in range(rng.randint(1, 100))]
        return "batch", lambda: store.upsert_batch(batch)
    target = rng.choice(ids)
    return "delete", lambda: store.delete(target)


def run(folder, seconds, n_ids, dim, compact_every, search_every):
    rng = random.Random(5)
    vecs = np.random.default_rng(5).standard_normal((1024, dim), dtype=np.float32).tolist()
    ids = ["id%d" % i for i in range(n_ids)]
    store = pv.VectorStore.new(os.path.join(folder, "load.snap"), os.path.join(folder, "load.wal"))
    for at in range(0, n_ids, 5000):
        store.upsert_batch([pv.VectorEntry(id, vecs[i % 1024]) for i, id in
                            enumerate(ids[at:at + 5000], at)])
    store.compact()
    latency = {k: [] for k in ("upsert", "batch", "delete", "search", "compact")}
    compactions, writes, resources = [], [], {fds_threads()}
    start = last_search = last_compact = time.monotonic()
    while (now := time.monotonic()) - start < seconds:
        if now - last_compact >= compact_every:
            kind, call = "compact", store.compact
        elif now - last_search >= search_every:
            kind, call = "search", lambda: store.search(vecs[rng.randrange(1024)], 10)
        else:
            kind, call = next_write(store, rng, ids, vecs)
        t0 = time.perf_counter()
        call()
        took = time.perf_counter() - t0
        latency[kind].append(took)
        # Intervals run from the end of one call to the start of the next: a search
        # that rebuilds the index for longer than the interval is not repeated at once.
        if kind == "compact":
            last_compact = time.monotonic()
            compactions.append({"at_s": round(now - start), "rss_mb": round(rss() / 2**20, 1),
                                "seconds": round(took, 2), "len": store.len})
            resources.add(fds_threads())
        elif kind == "search":
            last_search = time.monotonic()
        else:
            writes.append((now - start, took))
    window = min(60, max(1, seconds // 4))
    return {
        "seconds": seconds, "ids": n_ids, "dim": dim, "window_s": window,
        # Every search after writes rebuilds the whole index, so wall-clock rates would
        # mostly measure rebuilds; the rate of the writes themselves shows decay.
        "writes_per_busy_s_first": write_rate(writes, 0, window),
        "writes_per_busy_s_last": write_rate(writes, seconds - window, seconds),
        **{"p%d_ms" % q: {k: round(float(np.percentile(v, q)) * 1000, 3)
                          for k, v in latency.items() if v} for q in (50, 99)},
        "count": {k: len(v) for k, v in latency.items()},
        "compactions": compactions,
        "fds_threads": sorted(resources),
        "final_len": store.len, "final_rss_mb": round(rss() / 2**20, 1),
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--seconds", type=int, default=600)
    parser.add_argument("--ids", type=int, default=50000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--compact-every", type=float, default=60)
    parser.add_argument("--search-every", type=float, default=1)
    a = parser.parse_args()
    os.makedirs(a.folder, exist_ok=True)
    print(json.dumps(run(a.folder, a.seconds, a.ids, a.dim, a.compact_every, a.search_every),
                     indent=1))


if __name__ == "__main__":
    main()
