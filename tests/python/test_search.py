"""Search results against brute force. The index refers to the records' own embeddings:
every write that replaces or removes records must be seen by the next search, with no
trace of the rows it replaced."""
import random

import numpy as np
import pytest

import pelmor_vector_db as pv
from conftest import f32_distance

DIM = 6


def vector(rng):
    return [float(np.float32(rng.uniform(-1, 1))) for _ in range(DIM)]


def filled(paths, model):
    store = pv.VectorStore.new(*paths)
    store.upsert_batch([pv.VectorEntry(k, v) for k, v in model.items()])
    return store


def expect_brute_force(store, model, query):
    """Up to 65 records the search is exact: ids in brute-force order, distances bit for bit,
    and each record's embedding is the one the model holds."""
    results = store.search(query, top_k=100)
    expected = sorted(model, key=lambda k: (f32_distance(query, model[k]), k))
    assert [e.id for e, _ in results] == expected
    for e, d in results:
        assert type(e) is pv.VectorEntry and type(d) is float
        assert e.embedding == model[e.id]
        assert d == f32_distance(query, model[e.id])
    assert [e.id for e, _ in store.search(query, 3)] == expected[:3]


def replace_one_by_one(store, model, rng, paths):
    for key in sorted(model)[::2]:
        model[key] = vector(rng)
        store.upsert(pv.VectorEntry(key, model[key]))
    return store


def replace_in_one_batch(store, model, rng, paths):
    for key in model:
        model[key] = vector(rng)
    store.upsert_batch([pv.VectorEntry(k, v) for k, v in model.items()])
    return store


def delete_most(store, model, rng, paths):
    for key in sorted(model)[: len(model) * 3 // 4 or 1]:
        del model[key]
        store.delete(key)
    return store


def delete_and_add_back(store, model, rng, paths):
    for key in sorted(model)[1::3]:
        store.delete(key)
        model[key] = vector(rng)
        store.upsert(pv.VectorEntry(key, model[key]))
    return store


def compact(store, model, rng, paths):
    replace_one_by_one(store, model, rng, paths)
    store.compact()
    return store


def reopen(store, model, rng, paths):
    replace_in_one_batch(store, model, rng, paths)
    return pv.VectorStore.open(*paths)


WRITES = [replace_one_by_one, replace_in_one_batch, delete_most, delete_and_add_back, compact, reopen]


@pytest.mark.parametrize("write", WRITES, ids=lambda w: w.__name__)
def test_search_sees_each_kind_of_write(paths, write):
    rng = random.Random(write.__name__)
    model = {f"r{i:02d}": vector(rng) for i in range(60)}
    store = filled(paths, model)
    query = vector(rng)
    for round in range(4):
        store = write(store, model, rng, paths)
        expect_brute_force(store, model, query)
        expect_brute_force(store, model, vector(rng))


def test_top_k_limits(paths):
    store = filled(paths, {str(i): vector(random.Random(i)) for i in range(150)})
    query = [1.0, 0.0, 0.0, 0.0, 0.0, 0.0]
    assert store.search(query, top_k=0) == []
    assert len(store.search(query)) == 10
    for top_k, found in [(100, 100), (101, 100), (2**64 - 1, 100)]:
        assert len(store.search(query, top_k=top_k)) == found
    with pytest.raises(OverflowError):
        store.search(query, top_k=2**64)


def test_reported_distances_match_the_live_embeddings_after_many_replacements(paths):
    """On a store too large for an exact search, every hit's distance must still be the
    distance to the embedding the record holds now. (The example checks its recall.)"""
    rng = np.random.default_rng(11)
    n, dim = 3000, 16
    store = pv.VectorStore.new(*paths)
    queries = rng.normal(size=(5, dim)).astype(np.float32)
    for round in range(3):
        rows = rng.normal(size=(n, dim)).astype(np.float32)
        store.upsert_batch([pv.VectorEntry(str(i), rows[i]) for i in range(n)])
        for i in range(round, n, 7):
            store.delete(str(i))
        for q in queries:
            hits = store.search(q, 10)
            assert len(hits) == 10
            # A search of the approximate index is repeatable and sorted by distance.
            assert [(e.id, d) for e, d in hits] == [(e.id, d) for e, d in store.search(q, 10)]
            assert [d for _, d in hits] == sorted(d for _, d in hits)
            for e, d in hits:
                assert int(e.id) % 7 != round
                assert e.embedding == rows[int(e.id)].tolist()
                assert d == f32_distance(q, rows[int(e.id)])
