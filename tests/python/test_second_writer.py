"""Two stores on the same files: a compaction never erases what the other one wrote."""
import pytest

import pelmor_vector_db as pv
from conftest import read_bytes, run_python

CHANGED = (
    "store files were changed by another writer since this store read them; "
    "reopen the store to pick up the changes, then compact"
)

# What the other writer does to the files, as Python run against its store `b`.
ACTIONS = {
    "upsert": 'b.upsert(pv.VectorEntry("x", [0.0, 1.0]))',
    "delete": 'b.delete("k")',
    "batch": 'b.upsert_batch([pv.VectorEntry("x", [0.0, 1.0]), pv.VectorEntry("z", [1.0, 1.0])])',
    "compact": 'b.upsert(pv.VectorEntry("x", [0.0, 1.0])); b.compact()',
}


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("order", ["before", "after"])
def test_compaction_refuses_to_erase_another_writers_changes(paths, action, order):
    snap, wal = paths
    seed = pv.VectorStore.new(snap, wal)
    seed.upsert(pv.VectorEntry("k", [1.0, 1.0]))
    seed.compact()
    a = pv.VectorStore.open(snap, wal)

    def other():
        # Another process; the store keeps no per-process state about its files, so a
        # second store in this process would meet the same checks.
        code = "import sys, pelmor_vector_db as pv\nb = pv.VectorStore.open(*sys.argv[1:])\n"
        run_python(code + ACTIONS[action], snap, wal, check=True)

    # Before: this store's own line lands after the other's, at a length it never saw.
    if order == "before":
        other()
    a.upsert(pv.VectorEntry("y", [1.0, 0.0]))
    if order == "after":
        other()
    files = read_bytes(snap), read_bytes(wal)
    with pytest.raises(OSError) as info:
        a.compact()
    assert info.value.args == (CHANGED,) and info.value.errno is None
    assert (read_bytes(snap), read_bytes(wal)) == files
    assert a.wal_pending == 1 and a.search([1.0, 0.0], top_k=1)[0][0].id == "y"
    merged = pv.VectorStore.open(snap, wal)
    assert merged.get("y") is not None
    assert (merged.get("x") is None) == (action == "delete")
    assert (merged.get("k") is None) == (action == "delete")
    merged.compact()
    assert pv.VectorStore.open(snap, wal).len == merged.len

