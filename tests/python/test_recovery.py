import os

import pytest

import pelmor_vector_db as pv
from conftest import read_bytes, wal_delete, wal_upsert, write_bytes

SNAP_ONE = b'{"dim":3,"entries":[{"id":"b","embedding":[0.1,0.33333334,1e-7],"metadata":"","created_at":""}]}'


def test_absent_or_unreachable_files_open_an_empty_store_and_create_nothing(tmp_path):
    os.symlink(str(tmp_path / "nowhere"), str(tmp_path / "dangling"))
    for snap, wal in [("s", "w"), ("missing/s", "nul\0path"), ("dangling", "w")]:
        store = pv.VectorStore.open(str(tmp_path / snap), str(tmp_path / wal))
        assert (store.len, store.dim, store.wal_pending, bool(store)) == (0, None, 0, False)
    assert os.listdir(tmp_path) == ["dangling"]


# Later records of an id win, lengths other than the dimension are kept, and a dimension
# of 0 leaves it unset.
@pytest.mark.parametrize(
    "snapshot, records, dim",
    [
        (SNAP_ONE, {"b": ([0.1, 1 / 3, 1e-7], "")}, 3),
        (b'{"dim":0,"entries":[]}', {}, None),
        (
            b'{"dim":3,"entries":[{"id":"a","embedding":[1.0],"metadata":"old","created_at":""},'
            b'{"id":"a","embedding":[1.0,2.0],"metadata":"new","created_at":""},'
            b'{"id":"e","embedding":[],"metadata":"","created_at":""}]}',
            {"a": ([1.0, 2.0], "new"), "e": ([], "")},
            3,
        ),
    ],
)
def test_snapshot_without_log(paths, snapshot, records, dim):
    write_bytes(paths[0], snapshot)
    store = pv.VectorStore.open(*paths)
    assert (store.len, store.dim, store.wal_pending) == (len(records), dim, 0)
    for id, (embedding, metadata) in records.items():
        got = store.get(id)
        assert (got.embedding, got.metadata) == (pytest.approx(embedding), metadata)


@pytest.mark.parametrize(
    "log, records, pending, dim",
    [
        (wal_upsert("a", "1.0,2.0") + b"   \t \n" + wal_upsert("b", "1.0,2.0") + wal_delete("b"), {"a"}, 3, 2),
        (wal_upsert("a", "1.0") + wal_upsert("a", "2.0") + wal_delete("b"), {"a"}, 3, 1),
        (wal_upsert("a", "1.0,2.0,3.0") + wal_delete("a"), set(), 2, 3),
        # CRLF line ends read like LF ones; a last line without a line feed is still a line.
        (wal_upsert("a", "1.0").replace(b"\n", b"\r\n") + wal_upsert("b", "1.0").rstrip(b"\n"), {"a", "b"}, 2, 1),
        # Unicode white space around a record and whole lines of it.
        ("\u3000\u00a0".encode() + wal_upsert("a", "1.0").rstrip(b"\n") + "\u2029\n\u0085\n".encode(), {"a"}, 1, 1),
    ],
)
def test_log_replay(paths, log, records, pending, dim):
    snap, wal = paths
    write_bytes(wal, log)
    store = pv.VectorStore.open(snap, wal)
    assert {r for r in records if store.get(r) is not None} == records
    assert (store.len, store.wal_pending, store.dim) == (len(records), pending, dim)
    assert read_bytes(wal) == log


@pytest.mark.parametrize(
    "snapshot, log, exc, message",
    [
        (b"", None, ValueError, "EOF while parsing a value at line 1 column 0"),
        (b"\xff\xfe", None, OSError, "stream did not contain valid UTF-8"),
        (None, b'{"op":"upsert"}\n', ValueError, "missing field `data` at line 1 column 15"),
        (None, b'{"op":"upsert"}', ValueError, "missing field `data` at line 1 column 15"),
        (None, wal_upsert("a", "1.0") + b"\xc3\x28\n", OSError, "stream did not contain valid UTF-8"),
        # No append of this store's writer ends like this: the record is not a fragment.
        (None, wal_upsert("a", "1.0")[:-1] + b"\xc3", OSError, "stream did not contain valid UTF-8"),
        (None, wal_upsert("a", "1.0")[:-1] + b" \xe3\x80", OSError, "stream did not contain valid UTF-8"),
        (None, wal_upsert("a", "1.0") + b"garbage\n" + wal_upsert("b", "1.0"), ValueError, "expected value at line 1 column 1"),
        (None, wal_upsert("a", ""), ValueError, "Embedding must not be empty"),
        (SNAP_ONE, wal_upsert("a", "1.0,2.0,3.0,4.0"), ValueError, "Dimension mismatch: store is 3D, got 4D"),
        (None, wal_upsert("a", "1.0,2.0") + wal_upsert("b", "1.0,2.0,3.0"), ValueError, "Dimension mismatch: store is 2D, got 3D"),
        # A cut line that is not the last one is damage, not a crashed append.
        (None, wal_upsert("a", "1.0")[:30] + b"\n" + wal_upsert("b", "1.0"), ValueError, "EOF while parsing a string at line 1 column 30"),
    ],
)
def test_open_failures_change_nothing(paths, snapshot, log, exc, message):
    snap, wal = paths
    if snapshot is not None:
        write_bytes(snap, snapshot)
    if log is not None:
        write_bytes(wal, log)
    with pytest.raises(exc) as info:
        pv.VectorStore.open(snap, wal)
    assert info.value.args == (message,)
    assert type(info.value) is exc
    if snapshot is not None:
        assert read_bytes(snap) == snapshot
    if log is not None:
        assert read_bytes(wal) == log


FULL = wal_upsert("a", "1.0,2.0", "m\\u00e9\u00e9", "t")


@pytest.mark.parametrize("cut", range(1, len(FULL) - 1))
def test_cut_off_last_line_is_the_end_of_the_log(paths, cut):
    snap, wal = paths
    head = wal_upsert("k", "3.0,4.0")
    write_bytes(wal, head + FULL[:cut])
    store = pv.VectorStore.open(snap, wal)
    assert (store.len, store.wal_pending) == (1, 1)
    assert store.get("a") is None
    assert read_bytes(wal) == head + FULL[:cut]
    # The next append starts on a line boundary, so nothing is glued onto the fragment.
    store.upsert(pv.VectorEntry("b", [5.0, 6.0]))
    assert read_bytes(wal) == head + wal_upsert("b", "5.0,6.0")
    again = pv.VectorStore.open(snap, wal)
    assert again.len == 2 and again.wal_pending == 2
    store.compact()  # the cut fragment was no other writer's
