"""Random call sequences against a model of the store, in memory and on disk.

The model keeps what the store holds in memory (records, dim, pending count) and what
its two files hold: the snapshot image written by the last compaction, and the log
operations appended since. Opening the store must give the image with the log applied.
Failed file-system calls are the fault sweep's (test_reliability_faults): it fails every
call of each kind of write and of a compaction in turn, in every way, and checks the same.

PVDB_MODEL_EXAMPLES sets the number of random sequences (default 60).
"""
import json
import math
import os
import shutil
import tempfile

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import pelmor_vector_db as pv
from conftest import bits, f32_distance, read_bytes

DIM = 3
NON_FINITE = ("Embedding must contain only finite values",)
EMPTY = ("Embedding must not be empty",)

ids = st.text(alphabet=st.sampled_from("ab\"\\\n\u00e9\u4e16\0"), max_size=3)
# Signed zeros and subnormals (whose squares vanish), the float32 extremes and other
# values whose products overflow to infinity.
tiny = st.sampled_from([0.0, -0.0, 1e-45, -1e-40])
huge = st.sampled_from([3.4028235e38, -3.4028235e38, 1e30, -2e25])
finite = st.floats(allow_nan=False, allow_infinity=False, width=32) | tiny | huge
vectors = st.one_of([st.lists(v, min_size=DIM, max_size=DIM) for v in (finite, tiny, huge)])
non_finite = st.sampled_from([math.nan, math.inf, -math.inf])
bad_vectors = st.tuples(vectors, st.integers(0, DIM - 1), non_finite).map(
    lambda t: t[0][: t[1]] + [t[2]] + t[0][t[1] + 1 :]
)


def apply_log(records, dim, log):
    """Replays log operations the way opening the store does."""
    records = dict(records)
    for op, id, *record in log:
        if op == "upsert":
            records[id] = tuple(record)
            dim = DIM
        else:
            records.pop(id, None)
    return records, dim


class StoreModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.dir = tempfile.mkdtemp()
        self.paths = (os.path.join(self.dir, "s"), os.path.join(self.dir, "w"))
        self.snap_path, self.wal_path = self.paths
        self.store = pv.VectorStore.new(*self.paths)
        # In memory: id -> (embedding bits, metadata, created_at), the dimension, the
        # pending count.
        self.records, self.dim, self.pending = {}, None, 0
        # On disk: the snapshot image (records, dim), None while there is no file, and
        # the log operations appended since it was written.
        self.image, self.log = None, []

    def teardown(self):
        shutil.rmtree(self.dir)

    def written(self, op):
        """A write the store accepted: it is in memory and at the end of the log."""
        _, id, *record = op
        if op[0] == "upsert":
            self.records[id] = tuple(record)
        else:
            del self.records[id]
        self.log.append(op)
        self.pending += 1

    @rule(id=ids, vector=vectors | bad_vectors, meta=st.text(max_size=4))
    def upsert(self, id, vector, meta):
        entry = pv.VectorEntry(id, vector, meta, meta[::-1])
        if not all(map(math.isfinite, entry.embedding)):
            # Refused before any file is touched, and before the dimension is fixed.
            with pytest.raises(ValueError) as info:
                self.store.upsert(entry)
            assert info.value.args == NON_FINITE
            return
        self.store.upsert(entry)
        self.dim = DIM
        self.written(("upsert", id, bits(entry.embedding), meta, meta[::-1]))

    @rule(items=st.lists(st.tuples(ids, vectors), max_size=5),
          bad=st.none() | st.tuples(st.integers(0, 5), st.just([]) | bad_vectors))
    def batch(self, items, bad):
        entries = [pv.VectorEntry(i, v) for i, v in items]
        if bad is None:
            self.store.upsert_batch(entries)
        else:
            at = min(bad[0], len(entries))
            entries.insert(at, pv.VectorEntry("bad", bad[1]))
            with pytest.raises(ValueError) as info:
                self.store.upsert_batch(entries)
            assert info.value.args == (EMPTY if bad[1] == [] else NON_FINITE)
        if entries and (bad is None or at > 0):
            self.dim = DIM  # a valid first entry fixes the dimension at once
        if bad is None:
            for e in entries:
                self.written(("upsert", e.id, bits(e.embedding), "", ""))

    @precondition(lambda self: self.dim is not None)
    @rule(vector=st.lists(finite, max_size=DIM + 2).filter(lambda v: len(v) != DIM),
          batch=st.booleans())
    def wrong_length(self, vector, batch):
        """Refused alone or after a valid entry of a batch; ids outside `ids` show a leak."""
        entries = [pv.VectorEntry("v", [1.0] * DIM)] * batch + [pv.VectorEntry("w", vector)]
        with pytest.raises(ValueError) as info:
            self.store.upsert_batch(entries) if batch else self.store.upsert(entries[0])
        mismatch = f"Dimension mismatch: store is {DIM}D, got {len(vector)}D"
        assert info.value.args == (EMPTY if not vector else (mismatch,))

    @rule(id=ids, live=st.none() | st.integers(0, 1000))
    def delete(self, id, live):
        if live is not None and self.records:
            id = sorted(self.records)[live % len(self.records)]  # mostly hit a live record
        self.store.delete(id)
        if id in self.records:
            self.written(("delete", id))

    @rule()
    def reopen(self):
        self.store = pv.VectorStore.open(*self.paths)
        records, dim = self.image or ({}, None)
        self.records, self.dim = apply_log(records, dim, self.log)
        self.pending = len(self.log)

    @rule()
    def new_over_files(self):
        files_before = read_bytes(self.snap_path), read_bytes(self.wal_path)
        self.store = pv.VectorStore.new(*self.paths)
        assert (read_bytes(self.snap_path), read_bytes(self.wal_path)) == files_before
        self.records, self.dim, self.pending = {}, None, 0

    @rule()
    def compact(self):
        self.store.compact()
        if self.pending:  # with nothing to fold, no file is touched
            self.image, self.log, self.pending = (dict(self.records), self.dim), [], 0

    @rule(id=ids)
    def get(self, id):
        self.check_get(id)

    @rule(query=vectors | st.lists(finite, min_size=0, max_size=DIM + 1),
          top_k=st.integers(0, 120))
    def search(self, query, top_k):
        if not query or self.dim is not None and len(query) != self.dim:
            with pytest.raises(ValueError) as info:
                self.store.search(query, top_k)
            message = f"Dimension mismatch: store is {self.dim}D, got {len(query)}D"
            assert info.value.args == (EMPTY if not query else (message,))
            return
        results = self.store.search(query, top_k)
        assert len(results) <= min(top_k, 100, len(self.records))
        distances = [d for _, d in results]
        numbers = [d for d in distances if not math.isnan(d)]
        assert distances[: len(numbers)] == numbers == sorted(numbers)  # NaN after all numbers
        for e, d in results:
            assert (bits(e.embedding), e.metadata, e.created_at) == self.records[e.id]
            expected = f32_distance(query, e.embedding)
            assert d == expected or math.isnan(d) and math.isnan(expected), (d, e.embedding)
        found = [e.id for e, _ in results]
        assert len(set(found)) == len(found)
        if len(self.records) <= 100 and top_k >= len(self.records):
            assert sorted(found) == sorted(self.records)

    def check_get(self, id):
        got = self.store.get(id)
        if id not in self.records:
            assert got is None
        else:
            record = (got.id, bits(got.embedding), got.metadata, got.created_at)
            assert record == (id, *self.records[id])

    @invariant()
    def memory_matches_model(self):
        assert (self.store.len, self.store.wal_pending) == (len(self.records), self.pending)
        assert self.store.dim == self.dim
        for id in self.records:
            self.check_get(id)

    @invariant()
    def files_match_model(self):
        assert [n for n in os.listdir(self.dir) if ".tmp" in n] == []
        lines = [line for line in (read_bytes(self.wal_path) or b"").split(b"\n") if line.strip()]
        assert [(json.loads(line)["op"], json.loads(line)["data"]["id"]) for line in lines] == [
            (op[0], op[1]) for op in self.log
        ]
        assert os.path.exists(self.snap_path) == (self.image is not None)
        if self.image is not None:
            with open(self.snap_path, encoding="utf-8") as f:
                snapshot = json.load(f)
            records, dim = self.image
            assert snapshot["dim"] == (dim or 0)
            assert sorted(e["id"] for e in snapshot["entries"]) == sorted(records)


StoreModel.TestCase.settings = settings(
    max_examples=int(os.environ.get("PVDB_MODEL_EXAMPLES", "60")),
    stateful_step_count=50,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
TestStoreModel = StoreModel.TestCase
