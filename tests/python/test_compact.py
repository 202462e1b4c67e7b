import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import pelmor_vector_db as pv
from conftest import read_bytes, wal_upsert, write_bytes

E1 = '{"id":"a","embedding":[1.0,0.5],"metadata":"m","created_at":"t"}'
E2 = '{"id":"b","embedding":[0.1,-2.0],"metadata":"","created_at":""}'


def two_records(paths):
    store = pv.VectorStore.new(*paths)
    store.upsert(pv.VectorEntry("a", [1.0, 0.5], "m", "t"))
    store.upsert(pv.VectorEntry("b", [0.1, -2.0]))
    return store


def test_nothing_pending_touches_no_file(tmp_path, paths):
    assert pv.VectorStore.new(*paths).compact() is None
    assert os.listdir(tmp_path) == []


def test_snapshot_bytes_and_empty_log(tmp_path, paths):
    snap, wal = paths
    store = two_records(paths)
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


def test_deleted_all_keeps_dim_and_second_compact_is_a_no_op(paths):
    snap, wal = paths
    store = two_records(paths)
    store.delete("a")
    store.delete("b")
    store.compact()
    assert read_bytes(snap) == b'{"dim":2,"entries":[]}'
    os.unlink(snap)
    store.compact()
    assert not os.path.exists(snap)


def test_compact_after_open_merges_the_log(paths):
    snap, wal = paths
    write_bytes(wal, wal_upsert("a", "1.0") + wal_upsert("b", "2.0"))
    store = pv.VectorStore.open(snap, wal)
    assert store.wal_pending == 2
    store.compact()
    again = pv.VectorStore.open(snap, wal)
    assert (again.len, again.wal_pending) == (2, 0)


def test_log_that_cannot_be_emptied_keeps_its_lines(tmp_path):
    snap, wal = str(tmp_path / "s"), str(tmp_path / "w")
    store = two_records((snap, wal))
    log = read_bytes(wal)
    os.unlink(wal)
    os.mkdir(wal)
    with pytest.raises(OSError) as info:
        store.compact()
    assert type(info.value) is OSError and info.value.args[0].endswith("(os error 21)")
    assert store.wal_pending == 2 and not os.path.exists(snap)
    os.rmdir(wal)
    write_bytes(wal, log)
    store.compact()
    again = pv.VectorStore.open(snap, wal)
    assert (again.len, again.wal_pending) == (2, 0)


@pytest.mark.parametrize("where", ["missing-dir", "dir-at-path"])
def test_failed_snapshot_write_keeps_everything(tmp_path, where):
    snap = tmp_path / ("no/s" if where == "missing-dir" else "s")
    if where == "dir-at-path":
        snap.mkdir()
    store = two_records((str(snap), str(tmp_path / "w")))
    log = read_bytes(tmp_path / "w")
    listing = sorted(os.listdir(tmp_path))
    with pytest.raises(OSError) as info:
        store.compact()
    assert type(info.value) is OSError and info.value.errno is None
    assert store.wal_pending == 2
    assert read_bytes(tmp_path / "w") == log
    assert sorted(os.listdir(tmp_path)) == listing  # no temporary file left behind


def test_old_snapshot_survives_a_failed_compact(tmp_path):
    snap, wal = str(tmp_path / "s"), str(tmp_path / "w")
    store = two_records((snap, wal))
    store.compact()
    old = read_bytes(snap)
    store.upsert(pv.VectorEntry("c", [3.0, 3.0]))
    os.chmod(tmp_path, 0o500)
    try:
        if os.access(tmp_path, os.W_OK):
            pytest.skip("running with the capability to ignore permissions")
        with pytest.raises(OSError):
            store.compact()
    finally:
        os.chmod(tmp_path, 0o700)
    assert read_bytes(snap) == old and store.wal_pending == 1


def test_symlinked_snapshot_stays_a_link_and_modes_are_plain(tmp_path):
    real = tmp_path / "real.snap"
    link = tmp_path / "link.snap"
    os.symlink("real.snap", link)
    old_umask = os.umask(0o027)
    try:
        store = two_records((str(link), str(tmp_path / "w")))
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


KILLED = textwrap.dedent(
    """
    import sys
    import pelmor_vector_db as pv
    store = pv.VectorStore.open(sys.argv[1], sys.argv[2])
    n = 0
    while True:
        store.upsert(pv.VectorEntry("extra%d" % n, [0.5] * 64))
        n += 1
        store.compact()
    """
)


def test_kill_during_compaction_loses_nothing(tmp_path):
    snap, wal = str(tmp_path / "s"), str(tmp_path / "w")
    store = pv.VectorStore.new(snap, wal)
    store.upsert_batch([pv.VectorEntry("r%d" % i, [float(i % 7 + 1)] * 64) for i in range(6000)])
    store.compact()
    for delay in (0.05, 0.15, 0.3, 0.5, 0.8):
        child = subprocess.Popen([sys.executable, "-c", KILLED, snap, wal])
        time.sleep(delay)
        child.send_signal(signal.SIGKILL)
        child.wait()
        reopened = pv.VectorStore.open(snap, wal)
        assert all(reopened.get("r%d" % i) is not None for i in range(0, 6000, 37))
        assert reopened.len >= 6000


def test_leftovers_of_a_killed_compaction_are_removed_by_the_next(tmp_path):
    snap, wal = str(tmp_path / "s"), str(tmp_path / "w")
    store = two_records((snap, wal))
    write_bytes(tmp_path / ".s.tmp-123", b'{"dim":2,"entries":[')
    write_bytes(tmp_path / ".other.tmp-1", b"not ours")
    write_bytes(tmp_path / ".s.tmp-", b"no suffix: not a name we make")
    store.compact()
    assert sorted(os.listdir(tmp_path)) == [".other.tmp-1", ".s.tmp-", "s", "w"]
