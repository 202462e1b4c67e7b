import json
import os

import pytest

import pelmor_vector_db as pv
from conftest import read_bytes, wal_upsert, write_bytes

E1 = '{"id":"a","embedding":[1.0,0.5],"metadata":"m","created_at":"t"}'
E2 = '{"id":"b","embedding":[0.1,-2.0],"metadata":"","created_at":""}'


def two_records(snap, wal):
    store = pv.VectorStore.new(str(snap), str(wal))
    store.upsert(pv.VectorEntry("a", [1.0, 0.5], "m", "t"))
    store.upsert(pv.VectorEntry("b", [0.1, -2.0]))
    return store


def test_snapshot_bytes_and_empty_log(tmp_path, paths):
    snap, wal = paths
    store = two_records(snap, wal)
    store.compact()
    assert read_bytes(snap).decode() in (
        '{"dim":2,"entries":[%s,%s]}' % (E1, E2),
        '{"dim":2,"entries":[%s,%s]}' % (E2, E1),
    )
    assert read_bytes(wal) == b""
    assert store.wal_pending == 0
    assert sorted(os.listdir(tmp_path)) == ["store.snap", "store.wal"]
    reopened = pv.VectorStore.open(snap, wal)
    assert (reopened.len, reopened.dim, reopened.wal_pending) == (2, 2, 0)


def test_symlinked_snapshot_stays_a_link_and_modes_are_plain(tmp_path):
    real = tmp_path / "real.snap"
    link = tmp_path / "link.snap"
    os.symlink("real.snap", link)
    old_umask = os.umask(0o027)
    try:
        store = two_records(link, tmp_path / "w")
        store.compact()
    finally:
        os.umask(old_umask)
    assert os.path.islink(link) and os.readlink(link) == "real.snap"
    assert json.loads(read_bytes(real))["dim"] == 2
    assert os.stat(real).st_mode & 0o777 == 0o640
    os.chmod(real, 0o600)
    store.upsert(pv.VectorEntry("c", [1.0, 1.0]))
    store.compact()
    assert os.stat(real).st_mode & 0o777 == 0o600
    assert sorted(os.listdir(tmp_path)) == ["link.snap", "real.snap", "w"]


def test_non_finite_record_is_refused_by_name(paths):
    snap, wal = paths
    write_bytes(wal, wal_upsert("fine", "1.0,2.0") + wal_upsert("huge", "1e39,2.0"))
    store = pv.VectorStore.open(snap, wal)
    assert store.get("huge").embedding[0] == float("inf")
    log = read_bytes(wal)
    with pytest.raises(ValueError) as info:
        store.compact()
    assert "huge" in info.value.args[0]
    assert not os.path.exists(snap) and read_bytes(wal) == log and store.wal_pending == 2
    store.delete("huge")
    store.compact()
    assert pv.VectorStore.open(snap, wal).len == 1


def test_leftovers_of_a_killed_compaction_are_removed_by_the_next(tmp_path):
    store = two_records(tmp_path / "s", tmp_path / "w")
    write_bytes(tmp_path / ".s.tmp-123", b'{"dim":2,"entries":[')
    write_bytes(tmp_path / ".other.tmp-1", b"not ours")
    write_bytes(tmp_path / ".s.tmp-", b"no suffix: not a name we make")
    store.compact()
    assert sorted(os.listdir(tmp_path)) == [".other.tmp-1", ".s.tmp-", "s", "w"]
