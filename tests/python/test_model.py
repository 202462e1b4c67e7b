"""Random call sequences against a dict model of the store."""
import math
import os
import shutil
import tempfile

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import pelmor_vector_db as pv

DIM = 3
ids = st.text(alphabet=st.sampled_from("ab\"\\\n\u00e9\u4e16\0"), max_size=3)
finite = st.floats(allow_nan=False, allow_infinity=False, width=32)
vectors = st.lists(finite, min_size=DIM, max_size=DIM)


class StoreModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.dir = tempfile.mkdtemp()
        self.paths = (os.path.join(self.dir, "s"), os.path.join(self.dir, "w"))
        self.store = pv.VectorStore.new(*self.paths)
        self.model = {}
        self.pending = 0
        self.dim = None
        self.dim_on_disk = False  # only written records carry the dimension across a reopen

    def teardown(self):
        shutil.rmtree(self.dir)

    @rule(id=ids, vector=vectors, meta=st.text(max_size=4))
    def upsert(self, id, vector, meta):
        self.store.upsert(pv.VectorEntry(id, vector, meta))
        self.model[id] = (pv.VectorEntry(id, vector).embedding, meta)
        self.pending += 1
        self.dim = DIM
        self.dim_on_disk = True

    @rule(items=st.lists(st.tuples(ids, vectors), max_size=5), bad_at=st.none() | st.integers(0, 5))
    def batch(self, items, bad_at):
        entries = [pv.VectorEntry(i, v) for i, v in items]
        if bad_at is not None and bad_at <= len(entries):
            entries.insert(bad_at, pv.VectorEntry("bad", []))
            try:
                self.store.upsert_batch(entries)
            except ValueError as e:
                assert e.args == ("Embedding must not be empty",)
            else:
                raise AssertionError("an empty embedding was stored")
            if bad_at > 0:
                self.dim = DIM  # the first entry fixes the dimension at once
            return
        self.store.upsert_batch(entries)
        for e in entries:
            self.model[e.id] = (e.embedding, "")
        self.pending += len(entries)
        if entries:
            self.dim = DIM
            self.dim_on_disk = True

    @rule(id=ids)
    def delete(self, id):
        self.store.delete(id)
        if self.model.pop(id, None) is not None:
            self.pending += 1

    @rule(id=ids)
    def get(self, id):
        got = self.store.get(id)
        if id not in self.model:
            assert got is None
        else:
            assert (got.id, got.embedding, got.metadata) == (id, *self.model[id])

    @rule()
    def reopen(self):
        self.store = pv.VectorStore.open(*self.paths)
        self.dim = DIM if self.dim_on_disk else None

    @rule()
    def compact(self):
        self.store.compact()
        self.pending = 0

    @precondition(lambda self: self.dim is not None)
    @rule(query=vectors, top_k=st.integers(0, 120))
    def search(self, query, top_k):
        results = self.store.search(query, top_k)
        assert len(results) <= min(top_k, 100, len(self.model))
        distances = [d for _, d in results]
        assert distances == sorted(distances, key=lambda d: (math.isnan(d), d))
        for e, _ in results:
            assert (e.embedding, e.metadata) == self.model[e.id]

    @invariant()
    def matches_model(self):
        assert (self.store.len, self.store.wal_pending) == (len(self.model), self.pending)
        assert self.store.dim == self.dim
        assert [n for n in os.listdir(self.dir) if ".tmp" in n] == []


StoreModel.TestCase.settings = settings(
    max_examples=60, stateful_step_count=30, deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
TestStoreModel = StoreModel.TestCase
