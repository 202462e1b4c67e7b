"""Every file-system call of a write or a compaction, failed in turn by a preloaded library."""
import json
import os

import pytest

import pelmor_vector_db as pv
from conftest import run_python
from workload import child_env, run_child


OPS = ["upsert", "delete", "batch", "compact", "compact_link", "compact_named", "torn_upsert",
       "unended_upsert"]


@pytest.mark.parametrize("op", OPS)
def test_every_failed_call_leaves_the_store_as_it_was(fault_library, tmp_path, op):
    out = run_child("fault_child.py", tmp_path / "store", tmp_path / "counts", op,
                    env=child_env(LD_PRELOAD=fault_library))
    assert out.returncode == 0, out.stderr.decode()
    dry, *reports = [json.loads(line) for line in out.stdout.decode().splitlines()]
    assert dry["wrong"] == [], dry
    seen = {k for k, n in dry["counts"].items() if n and k != "injected"}
    # The new snapshot is written unnamed and linked in when complete, or, where that
    # cannot be done, into a named temporary file; the log is emptied through the
    # descriptor that found it unchanged.
    compaction = {"open", "write", "fsync", "linkat", "rename", "ftruncate"}
    expected = {"compact": compaction, "compact_link": compaction,
                "compact_named": compaction - {"linkat"},
                "torn_upsert": {"open", "write", "ftruncate"}}.get(op, {"open", "write"})
    assert seen == expected, dry["counts"]
    wrong = {json.dumps(r["fault"]): r["wrong"] for r in reports if r["wrong"]}
    assert not wrong, json.dumps(wrong, indent=1)
    assert len(reports) >= 8


def test_compaction_without_proc_falls_back_on_a_named_file(fault_library, tmp_path):
    """Where unnamed files cannot be linked in (no /proc), the compaction writes a named
    temporary file instead and still succeeds."""
    folder, counts = tmp_path / "store", tmp_path / "counts"
    folder.mkdir()
    paths = str(folder / "store.snap"), str(folder / "store.wal")
    store = pv.VectorStore.new(*paths)
    store.upsert_batch([pv.VectorEntry("r%d" % i, [float(i)] * 8) for i in range(300)])
    env = child_env(LD_PRELOAD=fault_library, PVDB_FAULT_PATTERN=str(folder) + "*",
                    PVDB_FAULT_ARM="1", PVDB_FAULT_OP="linkat", PVDB_FAULT_K="1",
                    PVDB_FAULT_PERSIST="1", PVDB_FAULT_ERRNO="2", PVDB_FAULT_COUNTS=str(counts))
    code = "import sys, pelmor_vector_db as pv\npv.VectorStore.open(*sys.argv[1:]).compact()"
    run_python(code, *paths, env=env, timeout=120, check=True)
    seen = dict(p.split("=") for p in counts.read_text().split())
    assert int(seen["open"]) >= 2 and int(seen["injected"]) == 1
    assert sorted(os.listdir(folder)) == ["store.snap", "store.wal"]
    reopened = pv.VectorStore.open(*paths)
    assert reopened.len == 300 and reopened.wal_pending == 0
