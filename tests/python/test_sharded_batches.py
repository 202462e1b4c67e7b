"""A batch is checked whole before any shard writes, and a shard that fails is named."""
import math
import os

import pelmor_vector_db as pv
import pytest

from pelmor_cluster import ShardedStore, ShardWriteError
from pelmor_cluster.manifest import shard_of


def good(i):
    return pv.VectorEntry(f"r{i}", [1.0, float(i), 0.5])


@pytest.mark.parametrize(
    "bad, error, message",
    [
        (pv.VectorEntry("x", []), ValueError, "Embedding must not be empty"),
        (pv.VectorEntry("x", [1.0, 2.0]), ValueError, "Dimension mismatch: store is 3D, got 2D"),
        (pv.VectorEntry("x", [1.0, math.nan, 0.0]), ValueError,
         "Embedding must contain only finite values"),
        (5, TypeError, "argument 'entries': 'int' object is not an instance of 'VectorEntry'"),
    ],
)
def test_one_bad_entry_writes_nothing(tmp_path, bad, error, message):
    store = ShardedStore.open(str(tmp_path / "s"), 4)
    store.upsert(good(0))
    with pytest.raises(error) as e:
        store.upsert_batch([good(1), good(2), bad, good(3)])
    assert str(e.value) == message
    assert (store.len, store.buffered, store.get("r1")) == (1, 1, None)


def test_failed_shards_are_named_and_the_others_written(tmp_path):
    folder = str(tmp_path / "s")
    store = ShardedStore.open(folder, 4)
    store.upsert(good(0))
    broken = shard_of("r0", 4) + 1 & 3
    # A directory where the shard's buffer log belongs makes its appends fail.
    os.mkdir(os.path.join(folder, f"shard-{broken:04d}", "buffer.wal"))
    batch = [good(i) for i in range(1, 40)]
    with pytest.raises(ShardWriteError) as e:
        store.upsert_batch(batch)
    assert list(e.value.failures) == [broken]
    assert str(e.value).startswith(f"shards [{broken}] failed: shard {broken}: ")
    for entry in batch:
        assert (store.get(entry.id) is None) == (shard_of(entry.id, 4) == broken)


def test_a_failed_delete_keeps_the_record_and_the_count(tmp_path):
    folder = str(tmp_path / "s")
    store = ShardedStore.open(folder, 1, merge_at=2)
    store.upsert_batch([good(i) for i in range(3)])  # long enough to go to the main store
    wal = os.path.join(folder, "shard-0000", "buffer.wal")
    if os.path.exists(wal):
        os.remove(wal)
    os.mkdir(wal)
    with pytest.raises(OSError):
        store.delete("r0")
    assert (store.len, store.get("r0").id) == (3, "r0")
