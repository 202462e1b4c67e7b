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


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def threads():
    with open("/proc/self/status") as f:
        return int(next(line for line in f if line.startswith("Threads:")).split()[1])


def fds():
    return len(os.listdir("/proc/self/fd"))


def p99(samples):
    return float(np.percentile(samples, 99)) if samples else None


def write_rate(writes, begin, end):
    """Writes started in [begin, end) per second spent inside them."""
    inside = [took for at, took in writes if begin <= at < end]
    return round(len(inside) / sum(inside), 1) if inside else None


def run(folder, seconds, n_ids, dim, compact_every, search_every):
    rng = random.Random(5)
    vecs = np.random.default_rng(5).standard_normal((1024, dim), dtype=np.float32).tolist()
    ids = ["id%d" % i for i in range(n_ids)]
    paths = (os.path.join(folder, "load.snap"), os.path.join(folder, "load.wal"))
    store = pv.VectorStore.new(*paths)
    started = time.monotonic()
    for at in range(0, n_ids, 5000):
        store.upsert_batch([pv.VectorEntry(id, vecs[i % 1024]) for i, id in
                            enumerate(ids[at:at + 5000], at)])
    store.compact()
    setup = time.monotonic() - started
    latency = {k: [] for k in ("upsert", "batch", "delete", "search", "compact")}
    per_second, compactions, writes = {}, [], []
    resources = [(fds(), threads())]
    start = time.monotonic()
    last_search = last_compact = start
    while (now := time.monotonic()) - start < seconds:
        if now - last_compact >= compact_every:
            kind, call = "compact", store.compact
        elif now - last_search >= search_every:
            kind, call = "search", lambda: store.search(vecs[rng.randrange(1024)], 10)
        else:
            roll = rng.random()
            if roll < 0.6:
                kind = "upsert"
                e = pv.VectorEntry(rng.choice(ids), vecs[rng.randrange(1024)])
                call = lambda: store.upsert(e)  # noqa: E731
            elif roll < 0.7:
                kind = "batch"
                batch = [pv.VectorEntry(rng.choice(ids), vecs[rng.randrange(1024)])
                         for _ in range(rng.randint(1, 100))]
                call = lambda: store.upsert_batch(batch)  # noqa: E731
            else:
                kind, target = "delete", rng.choice(ids)
                call = lambda: store.delete(target)  # noqa: E731
        t0 = time.perf_counter()
        call()
        took = time.perf_counter() - t0
        latency[kind].append(took)
        # Intervals run from the end of one call to the start of the next: a search
        # that rebuilds the index for longer than the interval is not repeated at once.
        if kind == "compact":
            last_compact = time.monotonic()
        elif kind == "search":
            last_search = time.monotonic()
        else:
            writes.append((now - start, took))
        second = int(time.monotonic() - start)
        per_second[second] = per_second.get(second, 0) + 1
        if kind == "compact":
            compactions.append({"at_s": second, "rss_mb": round(rss() / 2**20, 1),
                                "seconds": round(latency[kind][-1], 2), "len": store.len})
            resources.append((fds(), threads()))
    minute = min(60, max(1, seconds // 4))
    counts = [per_second.get(s, 0) for s in range(int(seconds))]
    return {
        "setup_s": round(setup, 1), "seconds": seconds, "ids": n_ids, "dim": dim,
        "ops_per_s_first": round(sum(counts[:minute]) / minute, 1),
        "ops_per_s_last": round(sum(counts[-minute:]) / minute, 1),
        "window_s": minute,
        # Every search after writes rebuilds the whole index, so wall-clock windows
        # mostly measure rebuilds; the rate of the writes themselves shows decay.
        "writes_per_busy_s_first": write_rate(writes, 0, minute),
        "writes_per_busy_s_last": write_rate(writes, seconds - minute, seconds),
        "p50_ms": {k: round(float(np.percentile(v, 50)) * 1000, 3)
                   for k, v in latency.items() if v},
        "p99_ms": {k: round(p99(v) * 1000, 3) for k, v in latency.items() if v},
        "count": {k: len(v) for k, v in latency.items()},
        "compactions": compactions,
        "fds_threads": sorted(set(resources)),
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
