"""Every file-system call of a write or a compaction, failed in turn by a preloaded library."""
import json
import os
import shutil
import subprocess
import sys

import pytest

import pelmor_vector_db as pv
from conftest import run_python
from workload import build_fault_library, child_env, run_child


@pytest.fixture(scope="module")
def fault_library(tmp_path_factory):
    return build_fault_library(str(tmp_path_factory.mktemp("lib")))


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


PERMISSIONS = """
import json, sys
import pelmor_vector_db as pv
snap, wal, unreadable = sys.argv[1:]
store = pv.VectorStore.open(snap, wal)
errors = []
for call in [lambda: store.upsert(pv.VectorEntry("x", [1.0, 2.0])), lambda: store.delete("a"),
             store.compact, lambda: pv.VectorStore.open(unreadable, wal)]:
    try:
        call()
    except OSError as e:
        errors.append(str(e))
print(json.dumps([errors, store.len, store.wal_pending]))
"""


def test_permissions_bite_without_capabilities(tmp_path):
    # As root, only a child without the capabilities that bypass file permissions meets them.
    drop = ["setpriv", "--inh-caps=-all", "--bounding-set=-all"]
    probe = shutil.which("setpriv") and subprocess.run(
        [*drop, "grep", "CapEff", "/proc/self/status"], capture_output=True, text=True)
    if not probe or probe.returncode != 0 or probe.stdout.split()[-1].strip("0"):
        pytest.skip("cannot drop CAP_DAC_OVERRIDE here (setpriv missing or not permitted)")
    folder = tmp_path / "ro"
    folder.mkdir()
    paths = [str(folder / n) for n in ("store.snap", "store.wal", "unreadable.snap")]
    store = pv.VectorStore.new(*paths[:2])
    store.upsert(pv.VectorEntry("a", [1.0, 0.0]))
    store.compact()
    store.upsert(pv.VectorEntry("b", [0.0, 1.0]))
    (folder / "unreadable.snap").write_bytes(b'{"dim":0,"entries":[]}')
    for path, mode in zip([*paths[1:], folder], [0o444, 0, 0o555]):
        os.chmod(path, mode)
    before = {n: (folder / n).read_bytes() for n in ("store.snap", "store.wal")}
    try:
        out = subprocess.run([*drop, sys.executable, "-c", PERMISSIONS, *paths],
                             env=child_env(), capture_output=True, text=True, timeout=120)
    finally:
        os.chmod(folder, 0o755)
    assert out.returncode == 0, out.stderr
    # The failed delete kept its record, and nothing was merged or left behind.
    assert json.loads(out.stdout) == [["Permission denied (os error 13)"] * 4, 2, 1]
    assert sorted(os.listdir(folder)) == ["store.snap", "store.wal", "unreadable.snap"]
    assert {n: (folder / n).read_bytes() for n in before} == before


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
