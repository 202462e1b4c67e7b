"""A sharded store behaves as a dict of records through writes, merges and reopenings."""
import random

import numpy as np
import pelmor_vector_db as pv
import pytest

from conftest import f32_distance
from pelmor_cluster import ShardedStore

DIM = 6


def check_search(store, model, query, top_k):
    got = store.search(query, top_k)
    want = sorted(f32_distance(query, e[0]) for e in model.values())[:min(top_k, 100)]
    assert len(got) == len(want)
    ids = [e.id for e, _ in got]
    assert len(set(ids)) == len(ids)
    for (entry, d), w in zip(got, want):
        emb, meta = model[entry.id]
        assert (entry.embedding, entry.metadata) == (emb, meta)
        assert d == pytest.approx(f32_distance(query, emb), abs=1e-5)
        assert d == pytest.approx(w, abs=1e-5)
    keys = [(d, e.id) for e, d in got]
    assert keys == sorted(keys)


def vec(rng):
    # Small integers give exact float32 values, some repeats and the odd zero vector.
    return [float(rng.randint(-2, 2)) for _ in range(DIM)]


@pytest.mark.parametrize(
    "backend, seed, steps",
    [("local", 1, 400), ("local", 2, 400), ("ray", 3, 40)],
)
def test_random_operations_match_a_dict(tmp_path, request, backend, seed, steps):
    if backend == "ray":
        request.getfixturevalue("ray_cluster")
    rng = random.Random(seed)
    ids = [f"id{i}" if i % 3 else f"ключ{i}" for i in range(40)]
    folder = str(tmp_path / "s")

    def reopen():
        return ShardedStore.open(folder, 3, merge_at=5, ray=backend == "ray")

    store, model = reopen(), {}
    for step in range(steps):
        roll = rng.random()
        if roll < 0.35:
            id, emb, meta = rng.choice(ids), vec(rng), f"m{step}"
            store.upsert(pv.VectorEntry(id, emb, meta, "t"))
            model[id] = (emb, meta)
        elif roll < 0.5:
            # Some batches are long enough to go straight to a main store.
            batch = [(rng.choice(ids), vec(rng), f"b{step}") for _ in range(rng.choice([0, 3, 9]))]
            store.upsert_batch([pv.VectorEntry(i, e, m) for i, e, m in batch])
            model.update((i, (e, m)) for i, e, m in batch)
        elif roll < 0.7:
            id = rng.choice(ids)
            store.delete(id)
            model.pop(id, None)
        elif roll < 0.85:
            check_search(store, model, vec(rng), rng.choice([0, 1, 10, 200]))
        elif roll < 0.93:
            store.compact()
        else:
            store.close()
            store = reopen()
        assert store.len == len(model)
        id = rng.choice(ids)
        got = store.get(id)
        assert (got and (got.embedding, got.metadata)) == model.get(id)
    store.close()
    # The files alone hold the same records: the shard layer keeps no state of its own.
    store = ShardedStore.open(folder)
    found = {id: (e.embedding, e.metadata) for id in ids if (e := store.get(id)) is not None}
    assert found == model


def test_buffer_and_index_give_identical_distances(tmp_path):
    """Before and after the merge the same records rank and measure the same, bit for bit."""
    rng = np.random.default_rng(5)
    rows = rng.standard_normal((40, 16)).astype(np.float32)
    rows[3] = 0.0  # a zero vector is at distance 2 from everything
    rows[7] = rows[8]  # equal distances break by id
    store = ShardedStore.open(str(tmp_path / "s"), 2)
    store.upsert_batch([pv.VectorEntry(f"r{i:02d}", r) for i, r in enumerate(rows)])
    queries = [rows[8], rng.standard_normal(16).astype(np.float32), np.zeros(16, np.float32)]
    before = [[(e.id, d) for e, d in store.search(q, 40)] for q in queries]
    assert store.buffered == 40
    store.compact()
    assert store.buffered == 0
    after = [[(e.id, d) for e, d in store.search(q, 40)] for q in queries]
    assert before == after
    (a, da), (b, db) = before[0][:2]
    assert (a, b, da) == ("r07", "r08", db)
    assert ("r03", 2.0) in before[1]
    assert {d for _, d in before[2]} == {2.0}


@pytest.mark.parametrize("top_k", [1, 10, 100])
def test_buffer_search_ranks_as_a_full_exact_sort(tmp_path, top_k):
    """Rows a rounding error apart: ranking by a matrix product first must lose none."""
    from pelmor_cluster.distance import cosine_distances, norms

    rng = np.random.default_rng(top_k)
    base = rng.standard_normal(64).astype(np.float32)
    rows = base + rng.standard_normal((600, 64)).astype(np.float32) * np.float32(1e-6)
    rows[::7] = base  # exact ties, broken by id
    store = ShardedStore.open(str(tmp_path / "s"), 1)
    store.upsert_batch([pv.VectorEntry(f"r{i:03d}", r) for i, r in enumerate(rows)])
    query = base + rng.standard_normal(64).astype(np.float32) * np.float32(1e-3)
    d = cosine_distances(rows, norms(rows), query, norms(query[np.newaxis, :])[0])
    want = sorted((float(x), f"r{i:03d}") for i, x in enumerate(d))[:top_k]
    assert [(dist, e.id) for e, dist in store.search(query, top_k)] == want
