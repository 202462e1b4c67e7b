import random

import numpy as np
import pytest

import pelmor_vector_db as pv


def f32_distance(a, b):
    """Cosine distance with the store's exact float32 arithmetic: sequential sums, no fusing."""
    a = np.asarray(a, dtype=np.float32)
    b = np.asarray(b, dtype=np.float32)

    def seq_sum(x, y):
        acc = np.float32(-0.0)
        for p in (x * y):
            acc = np.float32(acc + p)
        return acc

    n = min(len(a), len(b))
    dot = seq_sum(a[:n], b[:n])
    denom = np.float32(np.sqrt(seq_sum(a, a)) * np.sqrt(seq_sum(b, b)))
    if denom == 0:
        return 2.0
    r = np.float32(np.float32(1.0) - np.float32(dot / denom))
    return float(min(max(r, np.float32(0.0)), np.float32(2.0)))


def random_store(paths, n, dim, seed=7):
    rng = random.Random(seed)
    store = pv.VectorStore.new(*paths)
    vectors = {f"id{i}": [rng.uniform(-1, 1) for _ in range(dim)] for i in range(n)}
    store.upsert_batch([pv.VectorEntry(k, v) for k, v in vectors.items()])
    return store, {k: list(np.float32(v)) for k, v in vectors.items()}


def test_empty_store_and_empty_query(paths):
    store = pv.VectorStore.new(*paths)
    assert store.search([1.0, 2.0]) == []
    with pytest.raises(ValueError) as info:
        store.search([])
    assert info.value.args == ("Embedding must not be empty",)


def test_dimension_mismatch(paths):
    store, _ = random_store(paths, 5, 3)
    with pytest.raises(ValueError) as info:
        store.search([1.0, 2.0])
    assert info.value.args == ("Dimension mismatch: store is 3D, got 2D",)


@pytest.mark.parametrize("n", [1, 2, 17, 65])
def test_small_stores_match_brute_force_bit_for_bit(paths, n):
    store, vectors = random_store(paths, n, 6, seed=n)
    query = [0.3, -0.2, 0.9, 0.1, -0.5, 0.05]
    results = store.search(query, top_k=100)
    expected = sorted(vectors, key=lambda k: f32_distance(query, vectors[k]))
    assert [e.id for e, _ in results] == expected
    for e, d in results:
        assert type(e) is pv.VectorEntry and type(d) is float
        assert d == f32_distance(query, vectors[e.id])
        assert e.embedding == [float(x) for x in vectors[e.id]]
    assert [e.id for e, _ in store.search(query, 3)] == expected[:3]


def test_top_k_limits(paths):
    store, _ = random_store(paths, 150, 4)
    assert store.search([1.0, 0.0, 0.0, 0.0], top_k=0) == []
    assert len(store.search([1.0, 0.0, 0.0, 0.0])) == 10
    assert len(store.search([1.0, 0.0, 0.0, 0.0], top_k=100)) == 100
    assert len(store.search([1.0, 0.0, 0.0, 0.0], top_k=101)) == 100
    assert len(store.search([1.0, 0.0, 0.0, 0.0], top_k=2**64 - 1)) == 100
    with pytest.raises(OverflowError):
        store.search([1.0, 0.0, 0.0, 0.0], top_k=2**64)


def test_writes_are_seen_by_the_next_search(paths):
    store, _ = random_store(paths, 30, 3)
    store.upsert(pv.VectorEntry("exact", [0.0, 0.0, 5.0]))
    (best, distance), *_ = store.search([0.0, 0.0, 1.0], top_k=1)
    assert best.id == "exact" and distance == 0.0
    store.delete("exact")
    assert all(e.id != "exact" for e, _ in store.search([0.0, 0.0, 1.0], top_k=100))
    for i in range(30):
        store.delete(f"id{i}")
    assert store.search([0.0, 0.0, 1.0]) == []


def test_consecutive_searches_agree(paths):
    store, _ = random_store(paths, 500, 8)
    query = [0.1] * 8
    first = [(e.id, d) for e, d in store.search(query, 50)]
    assert first == [(e.id, d) for e, d in store.search(query, 50)]
    assert [d for _, d in first] == sorted(d for _, d in first)


def test_search_after_open_finds_loaded_records(paths):
    store, _ = random_store(paths, 20, 3)
    reopened = pv.VectorStore.open(*paths)
    assert {e.id for e, _ in reopened.search([1.0, 1.0, 1.0], 100)} == {f"id{i}" for i in range(20)}


def test_recall_on_clustered_data(paths):
    rng = np.random.default_rng(3)
    centers = rng.normal(size=(40, 32)).astype(np.float32)
    data = (centers[rng.integers(0, 40, 4000)] + 0.3 * rng.normal(size=(4000, 32))).astype(np.float32)
    store = pv.VectorStore.new(*paths)
    store.upsert_batch([pv.VectorEntry(str(i), row.tolist()) for i, row in enumerate(data)])
    normed = data / np.linalg.norm(data, axis=1, keepdims=True)
    queries = (centers[rng.integers(0, 40, 50)] + 0.3 * rng.normal(size=(50, 32))).astype(np.float32)
    hits = 0
    for q in queries:
        truth = set(np.argsort(-(normed @ (q / np.linalg.norm(q))))[:10].tolist())
        hits += len(truth & {int(e.id) for e, _ in store.search(q.tolist(), 10)})
    assert hits / (10 * len(queries)) >= 0.95
