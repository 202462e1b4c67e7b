"""The shard layer against one plain store (and ChromaDB, when installed).

Usage: python bench/shards.py [--records 20000] [--dim 384] [--rounds 200]
                              [--plain-rounds 5] [--shards 1,4,8] [--queries 300]
                              [--only write,qps,reopen] [--chroma] [--ray] [--plot PNG]
                              [--data synthetic|real]

Data: seeded clustered Gaussian, as in compare.py (n / 1000 centres, each point a centre
plus unit noise); queries and the records written in rounds are drawn around the same
centres. Prints one JSON line per figure.

--data real: sentence embeddings of Debian package descriptions (384 dimensions, unit
length), built once by bench/real_data.py. The records are the first --records rows of
its base (shuffled, so any prefix is a random sample), the rounds write the rows after
them and the prefill the rows after those; the queries are its held-out queries. The
base holds exact duplicate vectors, so recall counts a returned record as a hit when its
similarity reaches the exact 10th one: another copy of a tied vector is as right.

- write: rounds of one upsert of a new record then one search top 10, after the records
  are loaded and compacted; median and p99 of a round. The plain store pays a full index
  rebuild every round, so it runs --plain-rounds rounds only.
- qps: single-threaded searches top 10 over the compacted records, queries per second and
  recall@10 against exact cosine search (NumPy, float64).
- write-then-search, buffers prefilled: the same rounds with every shard's buffer holding
  --prefill records (1,800 by default, under the 2,048 that start a merge).
- reopen: opening the files and answering the first search (which builds the indexes).

--plot draws every write-then-search round, slowest last, on a log axis (matplotlib).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time
from typing import Any

import numpy as np
import pelmor_vector_db as pv

from pelmor_cluster import ShardedStore


def clustered(n: int, dim: int, seed: int, centres: int) -> np.ndarray:
    """Points around the same seeded centres for every call; ``seed`` draws the points."""
    c = np.random.default_rng(0).standard_normal((centres, dim)).astype(np.float32)
    rng = np.random.default_rng(seed)
    pick = rng.integers(0, len(c), n)
    return (c[pick] + rng.standard_normal((n, dim)).astype(np.float32)).astype(np.float32)


def exact_top10(data: np.ndarray, queries: np.ndarray) -> np.ndarray:
    d = data.astype(np.float64)
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    q = queries.astype(np.float64)
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    return np.argsort(-(q @ d.T), axis=1)[:, :10]


def real_parts(records: int, queries: int, rounds: int) -> tuple[np.ndarray, ...]:
    """Records, queries, records for the rounds, and spare rows for the prefill."""
    import real_data

    base, held_out, _ = real_data.load()
    if records + rounds > len(base):
        sys.exit(f"--records plus --rounds is at most {len(base):,} with --data real")
    spare = base[records + rounds :]
    return (base[:records], held_out[:queries], base[records : records + rounds],
            spare if len(spare) else base[:records])


def report(**figure: object) -> None:
    print(json.dumps(figure), flush=True)


def entries(data: np.ndarray, start: int = 0) -> list[pv.VectorEntry]:
    return [pv.VectorEntry(f"r{start + i}", row) for i, row in enumerate(data)]


def load_plain(folder: str, data: np.ndarray) -> pv.VectorStore:
    store = pv.VectorStore.open(os.path.join(folder, "s.snap"), os.path.join(folder, "s.wal"))
    for i in range(0, len(data), 10_000):
        store.upsert_batch(entries(data[i : i + 10_000], i))
    store.compact()
    return store


def load_sharded(folder: str, data: np.ndarray, shards: int, ray: bool) -> ShardedStore:
    os.makedirs(folder, exist_ok=True)
    store = ShardedStore.open(os.path.join(folder, "sharded"), shards, ray=ray)
    for i in range(0, len(data), 10_000):
        store.upsert_batch(entries(data[i : i + 10_000], i))
    store.compact()
    return store


def rounds(store: Any, extra: np.ndarray, queries: np.ndarray, count: int,
           tag: str = "new") -> list[float]:
    times = []
    for i in range(count):
        t = time.perf_counter()
        store.upsert(pv.VectorEntry(f"{tag}{i}", extra[i]))
        store.search(queries[i % len(queries)], 10)
        times.append(time.perf_counter() - t)
    return times


def plot(path: str, rounds_ms: dict[str, list[float]], records: int, dim: int) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4))
    for impl, ms in rounds_ms.items():
        ms = sorted(ms)
        share = [100 * (i + 0.5) / len(ms) for i in range(len(ms))]
        ax.plot(share, ms, marker="." if len(ms) < 20 else None, label=f"{impl} ({len(ms)})")
    ax.set_yscale("log")
    ax.set_xlabel("share of rounds at or below (%)")
    ax.set_ylabel("one upsert + one search top 10 (ms)")
    ax.set_title(f"Write then search, {records:,} x {dim}")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def summary(times: list[float]) -> dict[str, float]:
    ms = sorted(t * 1000 for t in times)
    p99 = ms[min(len(ms) - 1, round(0.99 * (len(ms) - 1)))]
    return {"rounds": len(ms), "median_ms": statistics.median(ms), "p99_ms": p99}


def chroma_rounds(folder: str, data: np.ndarray, extra: np.ndarray, queries: np.ndarray,
                  count: int) -> list[float]:
    import chromadb

    client = chromadb.PersistentClient(path=os.path.join(folder, "chroma"))
    col = client.create_collection("bench", metadata={"hnsw:space": "cosine"})
    for i in range(0, len(data), 5000):
        part = data[i : i + 5000]
        col.add(ids=[f"r{i + j}" for j in range(len(part))], embeddings=part.tolist())
    col.query(query_embeddings=[queries[0].tolist()], n_results=10)
    times = []
    for i in range(count):
        t = time.perf_counter()
        col.add(ids=[f"new{i}"], embeddings=[extra[i].tolist()])
        col.query(query_embeddings=[queries[i % len(queries)].tolist()], n_results=10)
        times.append(time.perf_counter() - t)
    return times


def qps_and_recall(store: Any, queries: np.ndarray, truth: np.ndarray,
                   data: np.ndarray | None = None) -> dict[str, float]:
    """With `data`, recall is tie-aware (see real_data.tie_aware_hits)."""
    for q in queries[:20]:
        store.search(q, 10)
    t = time.perf_counter()
    found = [[int(e.id[1:]) for e, _ in store.search(q, 10)] for q in queries]
    elapsed = time.perf_counter() - t
    if data is None:
        recall = np.mean([len(set(f) & set(t.tolist())) / 10 for f, t in zip(found, truth)])
    else:
        import real_data

        hits = real_data.tie_aware_hits(data, queries, truth)
        recall = sum(hits(i, f) for i, f in enumerate(found)) / (10 * len(found))
    return {"qps": len(queries) / elapsed, "recall_at_10": float(recall)}


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--records", type=int, default=20_000)
    p.add_argument("--dim", type=int, default=384)
    p.add_argument("--rounds", type=int, default=200)
    p.add_argument("--plain-rounds", type=int, default=5)
    p.add_argument("--shards", default="1,4,8")
    p.add_argument("--queries", type=int, default=300)
    p.add_argument("--only", default="write,qps,reopen")
    p.add_argument("--prefill", type=int, default=1800, help="records per shard's buffer")
    p.add_argument("--chroma", action="store_true")
    p.add_argument("--ray", action="store_true", help="shards on Ray actors")
    p.add_argument("--plot", help="draw the write-then-search rounds into this PNG")
    p.add_argument("--data", choices=("synthetic", "real"), default="synthetic",
                   help="real: Debian descriptions embedded by bench/real_data.py (--dim unused)")
    args = p.parse_args()
    only = set(args.only.split(","))
    centres = max(10, args.records // 1000)
    real = args.data == "real"
    if real:
        data, queries, extra, spare = real_parts(args.records, args.queries, args.rounds)
        args.dim = data.shape[1]
    else:
        data = clustered(args.records, args.dim, 1, centres)
        queries = clustered(args.queries, args.dim, 2, centres)
        extra = clustered(args.rounds, args.dim, 3, centres)
    truth = exact_top10(data, queries)
    shard_counts = [int(s) for s in args.shards.split(",")]
    base: dict[str, object] = {"records": args.records, "dim": args.dim}
    if real:
        base["data"] = "real"
    rounds_ms: dict[str, list[float]] = {}
    work = tempfile.mkdtemp(prefix="shards-bench-")
    try:
        os.makedirs(os.path.join(work, "plain"))
        stores: dict[str, Any] = {"plain store": load_plain(os.path.join(work, "plain"), data)}
        for shards in shard_counts:
            impl = f"ShardedStore {shards} shard{'s' if shards > 1 else ''}" + (
                " on Ray" if args.ray else "")
            stores[impl] = load_sharded(os.path.join(work, f"s{shards}"), data, shards, args.ray)
        if "qps" in only:
            # Passes alternate between the stores and the best of three counts, so that the
            # load of a shared machine falls on all of them alike.
            best: dict[str, dict[str, float]] = {}
            for _ in range(3):
                for impl, store in stores.items():
                    r = qps_and_recall(store, queries, truth, data if real else None)
                    if r["qps"] > best.get(impl, {"qps": 0.0})["qps"]:
                        best[impl] = r
            for impl, r in best.items():
                report(what="qps", impl=impl, **base, **r)
        if "write" in only:
            for impl, store in stores.items():
                plain = impl == "plain store"
                times = rounds(store, extra, queries, args.plain_rounds if plain else args.rounds)
                report(what="write-then-search", impl=impl, **base, **summary(times))
                rounds_ms[impl] = [t * 1000 for t in times]
                if plain:
                    continue
                t = time.perf_counter()
                store.compact()
                report(what="merge", impl=impl, **base, buffered=args.rounds,
                       seconds=time.perf_counter() - t)
                if args.prefill:
                    # Buffers near their bound: the exact search has the most rows to rank.
                    assert isinstance(store, ShardedStore)
                    count = args.prefill * store.shards
                    fill = (np.resize(spare, (count, args.dim)) if real
                            else clustered(count, args.dim, 4, centres))
                    for i in range(0, len(fill), 1000):
                        store.upsert_batch(entries(fill[i : i + 1000], 10**6 + i))
                    times = rounds(store, extra, queries, args.rounds, "after-fill")
                    report(what="write-then-search, buffers prefilled", impl=impl, **base,
                           buffered=store.buffered, **summary(times))
        for store in stores.values():
            if isinstance(store, ShardedStore):
                store.close()
        stores.clear()
        if "reopen" in only:
            t = time.perf_counter()
            paths = (os.path.join(work, "plain", "s.snap"), os.path.join(work, "plain", "s.wal"))
            pv.VectorStore.open(*paths).search(queries[0], 10)
            report(what="reopen-to-first-answer", impl="plain store", **base,
                   seconds=time.perf_counter() - t)
            for shards in shard_counts:
                t = time.perf_counter()
                store = ShardedStore.open(os.path.join(work, f"s{shards}", "sharded"), ray=args.ray)
                store.search(queries[0], 10)
                report(what="reopen-to-first-answer", impl=f"ShardedStore {shards} shards", **base,
                       seconds=time.perf_counter() - t)
                store.close()
        if args.chroma:
            folder = os.path.join(work, "chroma")
            os.makedirs(folder)
            times = chroma_rounds(folder, data, extra, queries, args.rounds)
            report(what="write-then-search", impl="chromadb PersistentClient", **base,
                   **summary(times))
            rounds_ms["chromadb PersistentClient"] = [t * 1000 for t in times]
        if args.plot:
            plot(args.plot, rounds_ms, args.records, args.dim)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
