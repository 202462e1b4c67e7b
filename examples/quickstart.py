"""Builds a store, searches it, changes it, compacts it and reopens it.

    python examples/quickstart.py [--records N] [--dim D] [--queries Q]

The defaults (20,000 records of dimension 384) take a minute or so on two cores.
"""
import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import numpy.typing as npt

import pelmor_vector_db as pv


Rows = npt.NDArray[np.float32]


def progress(label: str, done: int, total: int) -> None:
    width = 30
    filled = width * done // max(total, 1)
    end = "\n" if done >= total else ""
    print(f"\r  {label:<22} [{'#' * filled}{'.' * (width - filled)}] {done:>7}/{total}", end=end, flush=True)


def make_data(n: int, dim: int, seed: int) -> tuple[Rows, Rows]:
    """Clustered Gaussian vectors, the usual shape of text embeddings."""
    rng = np.random.default_rng(seed)
    centers = rng.normal(size=(max(n // 200, 1), dim)).astype(np.float32)
    labels = rng.integers(0, len(centers), n)
    return (centers[labels] + 0.35 * rng.normal(size=(n, dim))).astype(np.float32), centers


def brute_force(data: Rows, ids: list[str], query: Rows, k: int) -> list[str]:
    normed = data / np.linalg.norm(data, axis=1, keepdims=True)
    scores = normed @ (query / np.linalg.norm(query))
    return [ids[i] for i in np.argsort(-scores)[:k]]


def show(results: list[tuple[pv.VectorEntry, float]], count: int = 3) -> None:
    for entry, distance in results[:count]:
        print(f"    {entry.id:<12} distance {distance:.6f}  metadata {entry.metadata}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=20000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--keep", action="store_true", help="keep the store's folder afterwards")
    args = parser.parse_args()
    n, dim = args.records, args.dim

    folder = Path(tempfile.mkdtemp(prefix="pelmor-quickstart-"))
    snap, wal = str(folder / "store.snap"), str(folder / "store.wal")
    print(f"pelmor_vector_db {pv.__version__}: {n} records of dimension {dim} in {folder}")

    data, centers = make_data(n, dim, seed=42)
    ids = [f"doc-{i:06d}" for i in range(n)]
    store = pv.VectorStore.new(snap, wal)
    batch = 2000
    start = time.perf_counter()
    for lo in range(0, n, batch):
        hi = min(lo + batch, n)
        store.upsert_batch(
            [pv.VectorEntry(ids[i], data[i], f'{{"cluster": {i % len(centers)}}}', "2026-12-06")
             for i in range(lo, hi)]
        )
        progress("writing (upsert_batch)", hi, n)
    print(f"  wrote {n} records in {time.perf_counter() - start:.2f} s; {store!r}")

    rng = np.random.default_rng(7)
    queries = (centers[rng.integers(0, len(centers), args.queries)]
               + 0.35 * rng.normal(size=(args.queries, dim))).astype(np.float32)
    start = time.perf_counter()
    first = store.search(queries[0], top_k=10)
    print(f"  first search, which builds the index: {time.perf_counter() - start:.2f} s")
    show(first)

    start = time.perf_counter()
    hits = 0
    for qi, q in enumerate(queries):
        found = [e.id for e, _ in store.search(q, top_k=10)]
        hits += len(set(found) & set(brute_force(data, ids, q, 10)))
        if (qi + 1) % 50 == 0 or qi + 1 == len(queries):
            progress("queries + brute force", qi + 1, len(queries))
    elapsed = time.perf_counter() - start
    start = time.perf_counter()
    for q in queries:
        store.search(q, top_k=10)
    per_query = (time.perf_counter() - start) / len(queries)
    print(f"  recall@10 against brute force: {hits / (10 * len(queries)):.3f} "
          f"({len(queries)} queries, {elapsed:.2f} s with the brute force)")
    print(f"  search alone: {per_query * 1e3:.3f} ms per query, {1 / per_query:.0f} queries/s")

    for i in range(0, n, 10):
        store.delete(ids[i])
    store.upsert(pv.VectorEntry(ids[1], -data[1], '{"replaced": true}', "2026-12-07"))
    print(f"  deleted every tenth record and replaced {ids[1]}; {store!r}")

    start = time.perf_counter()
    store.compact()
    print(f"  compact (snapshot + index rebuild): {time.perf_counter() - start:.2f} s, "
          f"snapshot {Path(snap).stat().st_size / 1e6:.1f} MB, log {Path(wal).stat().st_size} bytes")
    before = [(e.id, d) for e, d in store.search(queries[0], top_k=5)]

    start = time.perf_counter()
    reopened = pv.VectorStore.open(snap, wal)
    print(f"  reopened in {time.perf_counter() - start:.2f} s: {reopened!r}")
    after = [(e.id, d) for e, d in reopened.search(queries[0], top_k=5)]
    show(reopened.search(queries[0], top_k=5))
    same = [i for i, _ in before] == [i for i, _ in after]
    print(f"  same results after reopening: {'yes' if same else 'nearly (a new index was built)'}")
    assert reopened.len == store.len and reopened.get(ids[0]) is None
    replaced = reopened.get(ids[1])
    assert replaced is not None and replaced.metadata == '{"replaced": true}'
    if args.keep:
        print(f"  the store's files are in {folder}")
    else:
        shutil.rmtree(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
