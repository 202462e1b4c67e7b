"""Appends that fail part-way, provoked for real with a file-size limit."""
import json
import subprocess
import sys
import textwrap

import pytest

from conftest import read_bytes

CHILD = textwrap.dedent(
    """
    import json, resource, signal, sys
    import pelmor_vector_db as pv
    snap, wal, limit, op = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    store = pv.VectorStore.open(snap, wal)
    log = open(wal, "rb").read()
    before = (store.len, store.dim, store.wal_pending)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    try:
        if op == "upsert":
            store.upsert(pv.VectorEntry("new", [0.25] * 40))
        elif op == "batch":
            store.upsert_batch([pv.VectorEntry("n%d" % i, [0.5] * 40) for i in range(300)])
        else:
            store.delete("keep")
        outcome = "ok"
    except OSError as e:
        outcome = e.args[0]
    after = (store.len, store.dim, store.wal_pending, store.get("keep") is not None)
    unchanged = open(wal, "rb").read() == log
    # The cut-back log is this store's own: compacting it is no second writer's business.
    resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    store.compact()
    print(json.dumps([outcome, before, after, unchanged]))
    """
)


def run_child(paths, limit, op):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, *paths, str(limit), op], capture_output=True, text=True, check=True
    )
    return json.loads(out.stdout)


@pytest.fixture
def seeded(paths):
    import pelmor_vector_db as pv

    store = pv.VectorStore.new(*paths)
    store.upsert(pv.VectorEntry("keep", [1.0] * 40))
    return paths, read_bytes(paths[1])


# Room left under the limit, in bytes: each cut falls inside the call's text.
CUTS = (
    [("upsert", k) for k in (0, 1, 7, 100)]
    + [("delete", k) for k in (0, 1, 20, 36)]
    + [("batch", k) for k in (0, 1, 250, 9000, 70000)]
)


@pytest.mark.parametrize("op, extra", CUTS)
def test_failed_append_leaves_the_log_exactly_as_it_was(seeded, op, extra):
    paths, before = seeded
    outcome, (n, dim, pending), after, unchanged = run_child(paths, len(before) + extra, op)
    assert outcome == "File too large (os error 27)"
    assert unchanged and after == [n, dim, pending, True]
    assert read_bytes(paths[1]) == b""
