import math
import os

import pytest

import pelmor_vector_db as pv
from conftest import read_bytes, wal_delete, wal_upsert, write_bytes


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


def test_empty_embedding_on_fresh_store_leaves_dim_unset(paths):
    store = pv.VectorStore.new(*paths)
    with pytest.raises(ValueError, match="^Embedding must not be empty$"):
        store.upsert(pv.VectorEntry("a", []))
    assert store.dim is None
    assert not os.path.exists(paths[1])


def test_batch_first_entry_fixes_dim_even_when_a_later_one_fails(paths):
    snap, wal = paths
    store = pv.VectorStore.new(snap, wal)
    with pytest.raises(ValueError, match="^Embedding must not be empty$"):
        store.upsert_batch([pv.VectorEntry("a", [1.0, 2.0, 3.0]), pv.VectorEntry("b", [])])
    assert (store.len, store.dim, store.wal_pending) == (0, 3, 0)
    assert not os.path.exists(wal)


def test_batch_writes_every_line_in_order(paths):
    snap, wal = paths
    store = pv.VectorStore.new(snap, wal)
    store.upsert_batch([pv.VectorEntry("a", [1.0]), pv.VectorEntry("b", [2.0]), pv.VectorEntry("a", [3.0])])
    assert read_bytes(wal) == wal_upsert("a", "1.0") + wal_upsert("b", "2.0") + wal_upsert("a", "3.0")
    assert (store.len, store.wal_pending) == (2, 3)
    assert store.get("a").embedding == [3.0]


def test_empty_batch_creates_the_log_and_counts_nothing(paths):
    snap, wal = paths
    store = pv.VectorStore.new(snap, wal)
    store.upsert_batch([])
    assert read_bytes(wal) == b""
    assert (store.len, store.dim, store.wal_pending) == (0, None, 0)


def test_delete_of_absent_id_touches_no_file(paths):
    store = pv.VectorStore.new(*paths)
    assert store.delete("missing") is None
    assert store.wal_pending == 0
    assert not os.path.exists(paths[1])


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


def test_io_failure_is_plain_os_error_and_changes_nothing(tmp_path):
    store = pv.VectorStore.new(str(tmp_path / "s"), str(tmp_path / "no" / "w"))
    with pytest.raises(OSError) as info:
        store.upsert(pv.VectorEntry("a", [1.0]))
    assert type(info.value) is OSError and info.value.errno is None
    assert info.value.args == ("No such file or directory (os error 2)",)
    # The dimension was fixed before the log was touched, as for any write.
    assert (store.len, store.dim, store.wal_pending) == (0, 1, 0)


def test_failed_delete_keeps_the_record(tmp_path):
    wal = tmp_path / "w"
    store = pv.VectorStore.new(str(tmp_path / "s"), str(wal))
    store.upsert(pv.VectorEntry("a", [1.0]))
    os.unlink(wal)
    os.mkdir(wal)  # a directory where the log belongs makes every append fail
    with pytest.raises(OSError):
        store.delete("a")
    assert store.get("a") is not None and store.wal_pending == 1
    os.rmdir(wal)
    store.delete("a")
    assert store.get("a") is None


def test_nul_in_path_is_refused(tmp_path):
    store = pv.VectorStore.new(str(tmp_path / "s"), str(tmp_path / "w\0x"))
    with pytest.raises(OSError) as info:
        store.upsert(pv.VectorEntry("a", [1.0]))
    assert info.value.args == ("file name contained an unexpected NUL byte",)


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
