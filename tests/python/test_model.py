"""Random call sequences against a model of the store, in memory and on disk.

The model keeps what the store holds in memory (records, dim, pending count) and what
its two files hold: the snapshot image written by the last compaction, and the log
operations appended since. Opening the store must give the image with the log applied.
Some calls run with a fault injected into the file they write; a failed call must
leave memory and both files as they were.

PVDB_MODEL_EXAMPLES sets the number of random sequences (default 60).
"""
import json
import math
import os
import resource
import shutil
import signal
import tempfile
from contextlib import contextmanager

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

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
# Mostly clean calls; a fault stays in place for exactly one call.
write_faults = st.sampled_from([None, None, None, "wal_is_dir", "file_size_limit"])
compact_faults = st.sampled_from(
    [None, None, None, "snapshot_is_dir", "wal_is_dir", "file_size_limit"]
)
FAULT_ERRNO = {"wal_is_dir": 21, "snapshot_is_dir": 21, "file_size_limit": 27}


def read(path):
    """The file's bytes; an absent file reads as empty."""
    return read_bytes(path) if os.path.exists(path) else b""


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

    @contextmanager
    def injected(self, fault, size_limit):
        if fault is None:
            yield
        elif fault == "file_size_limit":
            # No file may grow past `size_limit` bytes; the write that would fails.
            saved_limit = resource.getrlimit(resource.RLIMIT_FSIZE)
            saved_signal = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (size_limit, saved_limit[1]))
            try:
                yield
            finally:
                resource.setrlimit(resource.RLIMIT_FSIZE, saved_limit)
                signal.signal(signal.SIGXFSZ, saved_signal)
        else:
            path = self.wal_path if fault == "wal_is_dir" else self.snap_path
            aside = path + ".aside"
            present = os.path.exists(path)
            if present:
                os.rename(path, aside)
            os.mkdir(path)
            try:
                yield
            finally:
                os.rmdir(path)  # fails if the store wrote anything into it
                if present:
                    os.rename(aside, path)

    def call(self, fault, size_limit, operation):
        """Runs one store call under `fault`; returns the exception it raised, or None.
        Checks that a failed call left the log byte for byte as it was."""
        log_before = read(self.wal_path)
        with self.injected(fault, size_limit):
            try:
                operation()
            except Exception as e:  # the caller checks the exact type
                error = e
            else:
                error = None
        if error is not None:
            assert read(self.wal_path) == log_before
        return error

    def expect_io_error(self, error, fault):
        code = FAULT_ERRNO[fault]
        assert type(error) is OSError, repr(error)
        assert error.args == (f"{os.strerror(code)} (os error {code})",)

    def written(self, op):
        """A write the store accepted: it is in memory and at the end of the log."""
        _, id, *record = op
        if op[0] == "upsert":
            self.records[id] = tuple(record)
        else:
            del self.records[id]
        self.log.append(op)
        self.pending += 1

    @rule(id=ids, vector=vectors | bad_vectors, meta=st.text(max_size=4), fault=write_faults,
          cut=st.integers(0, 32))
    def upsert(self, id, vector, meta, fault, cut):
        entry = pv.VectorEntry(id, vector, meta, meta[::-1])
        limit = len(read(self.wal_path)) + cut  # shorter than any log line
        error = self.call(fault, limit, lambda: self.store.upsert(entry))
        if not all(map(math.isfinite, entry.embedding)):
            # Refused before any file is touched, and before the dimension is fixed.
            assert type(error) is ValueError and error.args == NON_FINITE
            return
        self.dim = DIM  # fixed before the log is touched, kept if the append fails
        if fault is not None:
            self.expect_io_error(error, fault)
            return
        assert error is None, repr(error)
        self.written(("upsert", id, bits(entry.embedding), meta, meta[::-1]))

    @rule(items=st.lists(st.tuples(ids, vectors), max_size=5),
          bad=st.none() | st.tuples(st.integers(0, 5), st.just([]) | bad_vectors),
          fault=write_faults, cut=st.integers(0, 32))
    def batch(self, items, bad, fault, cut):
        entries = [pv.VectorEntry(i, v) for i, v in items]
        if bad is not None:
            at = min(bad[0], len(entries))
            entries.insert(at, pv.VectorEntry("bad", bad[1]))
        limit = len(read(self.wal_path)) + cut
        error = self.call(fault, limit, lambda: self.store.upsert_batch(entries))
        if entries and (bad is None or at > 0):
            self.dim = DIM  # a valid first entry fixes the dimension at once
        if bad is not None:
            assert type(error) is ValueError
            assert error.args == (EMPTY if bad[1] == [] else NON_FINITE)
            return
        # An empty batch opens the log but writes no byte, so a size limit cannot bite.
        if fault == "wal_is_dir" or (fault == "file_size_limit" and entries):
            self.expect_io_error(error, fault)
            return
        assert error is None, repr(error)
        for e in entries:
            self.written(("upsert", e.id, bits(e.embedding), "", ""))

    @rule(id=ids, live=st.none() | st.integers(0, 1000), fault=write_faults,
          cut=st.integers(0, 32))
    def delete(self, id, live, fault, cut):
        if live is not None and self.records:
            id = sorted(self.records)[live % len(self.records)]  # mostly hit a live record
        limit = len(read(self.wal_path)) + cut
        error = self.call(fault, limit, lambda: self.store.delete(id))
        if id in self.records and fault is not None:
            self.expect_io_error(error, fault)  # the record stays
            return
        assert error is None, repr(error)  # an absent id writes nothing, so cannot fail
        if id in self.records:
            self.written(("delete", id))

    @rule(fault=st.sampled_from([None, None, "snapshot_is_dir", "wal_is_dir"]))
    def reopen(self, fault):
        opened = []
        error = self.call(fault, 0, lambda: opened.append(pv.VectorStore.open(*self.paths)))
        if fault is not None:
            self.expect_io_error(error, fault)  # the old store stays in use
            return
        assert error is None, repr(error)
        self.store = opened[0]
        records, dim = self.image or ({}, None)
        self.records, self.dim = apply_log(records, dim, self.log)
        self.pending = len(self.log)

    @rule()
    def new_over_files(self):
        files_before = read(self.snap_path), read(self.wal_path)
        self.store = pv.VectorStore.new(*self.paths)
        assert (read(self.snap_path), read(self.wal_path)) == files_before
        self.records, self.dim, self.pending = {}, None, 0

    @rule(fault=compact_faults, cut=st.integers(0, 21))  # 21 < len('{"dim":3,"entries":[]}')
    def compact(self, fault, cut):
        snapshot_before = read(self.snap_path)
        error = self.call(fault, cut, self.store.compact)
        if self.pending == 0:
            assert error is None, repr(error)  # nothing to fold: no file is touched
            return
        new_image = (dict(self.records), self.dim)
        if fault is None:
            assert error is None, repr(error)
            self.image, self.log, self.pending = new_image, [], 0
            return
        self.expect_io_error(error, fault)
        assert read(self.snap_path) == snapshot_before

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
        lines = [line for line in read(self.wal_path).split(b"\n") if line.strip()]
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
