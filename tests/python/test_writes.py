import json
import math
import os
import textwrap

import pytest

import pelmor_vector_db as pv
from conftest import read_bytes, run_python, wal_delete, wal_upsert


def test_upsert_fixes_dim_and_logs_one_line(paths):
    snap, wal = paths
    store = pv.VectorStore.new(snap, wal)
    store.upsert(pv.VectorEntry("a", [1.0, 0.5, -2.25], "m", "t0"))
    assert (store.len, store.dim, store.wal_pending) == (1, 3, 1)
    assert read_bytes(wal) == wal_upsert("a", "1.0,0.5,-2.25", "m", "t0")
    store.upsert(pv.VectorEntry("a", [1.0, 1.0, 1.0]))
    assert (store.len, store.wal_pending) == (1, 2)
    store.delete("a")
    assert read_bytes(wal).endswith(wal_delete("a"))
    assert (store.len, store.dim, store.wal_pending) == (0, 3, 3)
    assert repr(store) == "VectorStore(len=0, dim=Some(3), wal_pending=3)"


@pytest.mark.parametrize(
    "embedding, exc_text",
    [
        ([], "Embedding must not be empty"),
        ([1.0, 2.0], "Dimension mismatch: store is 3D, got 2D"),
        ([1.0, float("nan"), 2.0], "Embedding must contain only finite values"),
        ([1.0, float("inf"), 2.0], "Embedding must contain only finite values"),
        ([1.0, 1e39, 2.0], "Embedding must contain only finite values"),  # rounds to infinity
    ],
)
def test_refused_upsert_changes_nothing(paths, embedding, exc_text):
    snap, wal = paths
    store = pv.VectorStore.new(snap, wal)
    store.upsert(pv.VectorEntry("a", [1.0, 2.0, 3.0]))
    before = read_bytes(wal)
    with pytest.raises(ValueError) as info:
        store.upsert(pv.VectorEntry("b", embedding))
    assert info.value.args == (exc_text,)
    with pytest.raises(ValueError):
        store.upsert_batch([pv.VectorEntry("c", [0.0, 0.0, 1.0]), pv.VectorEntry("b", embedding)])
    assert read_bytes(wal) == before
    assert (store.len, store.dim, store.wal_pending) == (1, 3, 1)
    assert store.get("c") is None


# An empty first embedding leaves the dimension unset; a valid first entry of a batch fixes
# it even when a later one is refused. Neither writes the log.
@pytest.mark.parametrize(
    "call, dim",
    [(lambda s: s.upsert(pv.VectorEntry("a", [])), None),
     (lambda s: s.upsert_batch([pv.VectorEntry("a", [1.0, 2.0, 3.0]), pv.VectorEntry("b", [])]), 3)],
    ids=["upsert", "batch"],
)
def test_refused_first_write_creates_no_log(paths, call, dim):
    store = pv.VectorStore.new(*paths)
    with pytest.raises(ValueError, match="^Embedding must not be empty$"):
        call(store)
    assert (store.len, store.dim, store.wal_pending) == (0, dim, 0)
    assert not os.path.exists(paths[1])


def test_batch_writes_every_line_in_order(paths):
    snap, wal = paths
    store = pv.VectorStore.new(snap, wal)
    store.upsert_batch([pv.VectorEntry("a", [1.0]), pv.VectorEntry("b", [2.0]), pv.VectorEntry("a", [3.0])])
    assert read_bytes(wal) == wal_upsert("a", "1.0") + wal_upsert("b", "2.0") + wal_upsert("a", "3.0")
    assert (store.len, store.wal_pending) == (2, 3)
    assert store.get("a").embedding == [3.0]


def test_calls_that_write_no_line(paths):
    store = pv.VectorStore.new(*paths)
    assert store.delete("missing") is None
    assert not os.path.exists(paths[1])  # deleting an absent id does not even create the log
    store.upsert_batch([])
    assert read_bytes(paths[1]) == b"" and os.path.exists(paths[1])
    assert (store.len, store.dim, store.wal_pending) == (0, None, 0)


def test_get_returns_fresh_copies(paths):
    store = pv.VectorStore.new(*paths)
    store.upsert(pv.VectorEntry("a", [0.1, 0.2], "m", "c"))
    first, second = store.get("a"), store.get("a")
    assert first is not second and first != second
    first.embedding = [9.0, 9.0]
    first.metadata = "changed"
    assert store.get("a").embedding == [pytest.approx(0.1), pytest.approx(0.2)]
    assert store.get("a").metadata == "m"
    assert store.get("missing") is None


@pytest.mark.parametrize(
    "wal, message",
    [("no/w", "No such file or directory (os error 2)"),
     ("w\0x", "file name contained an unexpected NUL byte")],
)
def test_unusable_log_path_is_a_plain_os_error(tmp_path, wal, message):
    store = pv.VectorStore.new(str(tmp_path / "s"), str(tmp_path / wal))
    with pytest.raises(OSError) as info:
        store.upsert(pv.VectorEntry("a", [1.0]))
    assert type(info.value) is OSError and info.value.errno is None
    assert info.value.args == (message,)
    # The dimension was fixed before the log was touched, as for any write.
    assert (store.len, store.dim, store.wal_pending) == (0, 1, 0)


def test_reopen_reproduces_writes(paths):
    snap, wal = paths
    store = pv.VectorStore.new(snap, wal)
    store.upsert_batch([pv.VectorEntry(str(i), [float(i), -0.0, 1e-45, 3.4028235e38]) for i in range(50)])
    for i in range(0, 50, 3):
        store.delete(str(i))
    store.upsert(pv.VectorEntry("x\n\"é\\", [1.5, 2.5, 0.1, -7.0], "meta\0", "2026"))
    again = pv.VectorStore.open(snap, wal)
    assert (again.len, again.dim, again.wal_pending) == (store.len, store.dim, store.wal_pending)
    for i in list(range(50)) + ["x\n\"é\\"]:
        a, b = store.get(str(i)), again.get(str(i))
        assert (a is None) == (b is None)
        if a is not None:
            assert (a.id, a.metadata, a.created_at) == (b.id, b.metadata, b.created_at)
            assert [math.copysign(1, x) for x in a.embedding] == [math.copysign(1, x) for x in b.embedding]
            assert a.embedding == b.embedding


# Appends that fail part-way, provoked for real with a file-size limit.
TORN = textwrap.dedent(
    """
    import json, resource, signal, sys
    import pelmor_vector_db as pv
    snap, wal, limit, op = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    store = pv.VectorStore.open(snap, wal)
    log = open(wal, "rb").read()
    before = (store.len, store.dim, store.wal_pending)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    try:
        if op == "upsert":
            store.upsert(pv.VectorEntry("new", [0.25] * 40))
        elif op == "batch":
            store.upsert_batch([pv.VectorEntry("n%d" % i, [0.5] * 40) for i in range(300)])
        else:
            store.delete("keep")
        outcome = "ok"
    except OSError as e:
        outcome = e.args[0]
    after = (store.len, store.dim, store.wal_pending, store.get("keep") is not None)
    unchanged = open(wal, "rb").read() == log
    # The cut-back log is this store's own: compacting it is no second writer's business.
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    store.compact()
    print(json.dumps([outcome, before, after, unchanged]))
    """
)

# Room left under the limit, in bytes: each cut falls inside the call's text.
CUTS = (
    [("upsert", k) for k in (0, 1, 7, 100)]
    + [("delete", k) for k in (0, 1, 20, 36)]
    + [("batch", k) for k in (0, 1, 250, 9000, 70000)]
)


@pytest.mark.parametrize("op, extra", CUTS)
def test_failed_append_leaves_the_log_exactly_as_it_was(paths, op, extra):
    store = pv.VectorStore.new(*paths)
    store.upsert(pv.VectorEntry("keep", [1.0] * 40))
    out = run_python(TORN, *paths, len(read_bytes(paths[1])) + extra, op, check=True)
    outcome, (n, dim, pending), after, unchanged = json.loads(out.stdout)
    assert outcome == "File too large (os error 27)"
    assert unchanged and after == [n, dim, pending, True]  # a failed delete keeps its record
    assert read_bytes(paths[1]) == b""
