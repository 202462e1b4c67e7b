from contextlib import nullcontext

import pytest

import pelmor_vector_db as pv
from conftest import read_bytes, wal_delete, wal_upsert, write_bytes


def test_upsert_fixes_dim_and_logs_one_line(paths):
    snap, wal = paths
    store = pv.VectorStore.new(snap, wal)
    store.upsert(pv.VectorEntry("a", [1.0, 0.5, -2.25], "m", "t0"))
    assert (store.len, store.dim, store.wal_pending) == (1, 3, 1)
    assert read_bytes(wal) == wal_upsert("a", "1.0,0.5,-2.25", "m", "t0")
    store.delete("a")
    assert read_bytes(wal).endswith(wal_delete("a"))
    assert (store.len, store.dim, store.wal_pending) == (0, 3, 2)
    assert repr(store) == "VectorStore(len=0, dim=Some(3), wal_pending=2)"


# An empty first embedding leaves the dimension unset; a valid first entry of a batch fixes
# it even when a later one is refused. Neither creates the log, nor does deleting an absent
# id or compacting with nothing pending; an empty batch opens it and writes nothing. Nor
# does any of them end a last line that lacks its line feed: only an append does (the
# fault sweep appends to such a log).
@pytest.mark.parametrize("tail", [None, wal_upsert("a", "1.0").rstrip(b"\n")],
                         ids=["no log", "unended"])
@pytest.mark.parametrize(
    "call, refused, dim, log",
    [(lambda s: s.upsert(pv.VectorEntry("a", [])), True, None, None),
     (lambda s: s.upsert_batch([pv.VectorEntry("a", [1.0, 2.0, 3.0]), pv.VectorEntry("b", [])]),
      True, 3, None),
     (lambda s: s.delete("missing"), False, None, None),
     (lambda s: s.upsert_batch([]), False, None, b""),
     (lambda s: s.compact(), False, None, None)],
    ids=["upsert", "batch", "delete", "empty batch", "compact"],
)
def test_calls_that_write_no_line(paths, store, call, refused, dim, log, tail):
    if tail is not None:
        write_bytes(paths[1], tail)
    with pytest.raises(ValueError, match="^Embedding must not be empty$") if refused else nullcontext():
        assert call(store) is None
    assert (store.len, store.dim, store.wal_pending) == (0, dim, 0)
    assert (read_bytes(paths[0]), read_bytes(paths[1])) == (None, tail or log)


def test_get_returns_fresh_copies(store):
    store.upsert(pv.VectorEntry("a", [0.1, 0.2], "m", "c"))
    first, second = store.get("a"), store.get("a")
    assert first is not second and first != second
    first.embedding = [9.0, 9.0]
    first.metadata = "changed"
    assert store.get("a").embedding == [pytest.approx(0.1), pytest.approx(0.2)]
    assert store.get("a").metadata == "m"


@pytest.mark.parametrize(
    "wal, message",
    [("no/w", "No such file or directory (os error 2)"),
     ("w\0x", "file name contained an unexpected NUL byte")],
)
@pytest.mark.parametrize("batch", [False, True])
def test_unusable_log_path_is_a_plain_os_error(tmp_path, wal, message, batch):
    store = pv.VectorStore.new(str(tmp_path / "s"), str(tmp_path / wal))
    entry = pv.VectorEntry("a", [1.0])
    with pytest.raises(OSError) as info:
        store.upsert_batch([entry, entry]) if batch else store.upsert(entry)
    assert type(info.value) is OSError and info.value.errno is None
    assert info.value.args == (message,)
    # The dimension was fixed before the log was touched, as for any write.
    assert (store.len, store.dim, store.wal_pending) == (0, 1, 0)
