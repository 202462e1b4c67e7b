"""Every file-system call of a write or a compaction, failed in turn by a preloaded library."""
import json
import os
import shutil
import subprocess
import sys
import textwrap

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


PERMISSIONS = textwrap.dedent(
    """
    import json, os, sys
    import pelmor_vector_db as pv
    folder = sys.argv[1]
    wal = folder + "/store.wal"
    store = pv.VectorStore.open(folder + "/store.snap", wal)
    results = {}
    for name, call in [("upsert", lambda: store.upsert(pv.VectorEntry("x", [1.0, 2.0]))),
                       ("delete", lambda: store.delete("a")),
                       ("compact", store.compact),
                       ("open", lambda: pv.VectorStore.open(folder + "/unreadable.snap", wal))]:
        try:
            call()
            results[name] = "ok"
        except OSError as e:
            results[name] = str(e)
    results["state"] = [store.len, store.wal_pending]
    results["files"] = sorted(os.listdir(folder))
    print(json.dumps(results))
    """
)


def without_privileges():
    """A command prefix that runs a child as root without the capabilities that bypass
    file permissions, or None when this machine cannot drop them."""
    prefix = ["setpriv", "--inh-caps=-all", "--bounding-set=-all"]
    if shutil.which("setpriv") is None:
        return None
    probe = subprocess.run([*prefix, "sh", "-c", "grep CapEff /proc/self/status"],
                           capture_output=True, text=True)
    if probe.returncode != 0 or not probe.stdout.split()[-1].strip("0") == "":
        return None
    return prefix


def test_permissions_bite_without_capabilities(tmp_path):
    prefix = without_privileges()
    if prefix is None:
        pytest.skip("cannot drop CAP_DAC_OVERRIDE here (setpriv missing or not permitted)")
    folder = tmp_path / "ro"
    folder.mkdir()
    store = pv.VectorStore.new(str(folder / "store.snap"), str(folder / "store.wal"))
    store.upsert(pv.VectorEntry("a", [1.0, 0.0]))
    store.compact()
    store.upsert(pv.VectorEntry("b", [0.0, 1.0]))
    (folder / "unreadable.snap").write_bytes(b'{"dim":0,"entries":[]}')
    os.chmod(folder / "unreadable.snap", 0)
    os.chmod(folder / "store.wal", 0o444)
    os.chmod(folder, 0o555)
    before = {n: (folder / n).read_bytes() for n in ("store.snap", "store.wal")}
    try:
        out = subprocess.run([*prefix, sys.executable, "-c", PERMISSIONS, str(folder)],
                             env=child_env(), capture_output=True, text=True, timeout=120)
    finally:
        os.chmod(folder, 0o755)
    assert out.returncode == 0, out.stderr
    got = json.loads(out.stdout)
    denied = "Permission denied (os error 13)"
    assert [got[k] for k in ("upsert", "delete", "compact", "open")] == [denied] * 4
    assert got["state"] == [2, 1]  # the failed delete kept its record, nothing was merged
    assert got["files"] == ["store.snap", "store.wal", "unreadable.snap"]
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
