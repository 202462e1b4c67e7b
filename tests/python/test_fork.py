"""A forked child gets a worker pool of its own; a hang fails by alarm, not by the suite."""
import os
import textwrap

import pytest

from conftest import run_python

SCRIPT = textwrap.dedent(
    """
    import multiprocessing, os, random, signal, sys
    import pelmor_vector_db as pv

    folder, count, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    rng = random.Random(7)

    def fill(name, n):
        store = pv.VectorStore.new(f"{folder}/{name}.snap", f"{folder}/{name}.wal")
        store.upsert_batch([pv.VectorEntry(f"r{i}", [rng.random() + 0.01 for _ in range(8)])
                            for i in range(n)])
        store.compact()
        return store

    def work(name):
        # Default action of SIGALRM ends the process: a hang becomes a failure.
        signal.alarm(30)
        store = pv.VectorStore.open(f"{folder}/{name}.snap", f"{folder}/{name}.wal")
        store.upsert(pv.VectorEntry("extra", [1.0] * 8))
        assert store.search([1.0] * 8, top_k=1)[0][0].id == "extra"
        store.compact()
        assert len(store.search([0.5] * 8, top_k=5)) == 5
        return len(store)

    parent = fill("parent", 3000)
    parent.search([0.5] * 8)  # a parallel build: the pool's threads start here
    if mode == "fork":
        fill("child", count)
        pid = os.fork()
        if pid == 0:
            os._exit(0 if work("child") == count + 1 else 3)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, status
    else:
        for i in range(3):
            fill(f"w{i}", count)
        with multiprocessing.get_context("fork").Pool(3) as pool:
            # A worker killed by its alarm is replaced but its task never ends: time out.
            done = pool.map_async(work, [f"w{i}" for i in range(3)], chunksize=1)
            assert done.get(timeout=60) == [count + 1] * 3
    parent.upsert(pv.VectorEntry("late", [1.0] * 8))
    assert parent.search([1.0] * 8, top_k=1)[0][0].id == "late"
    print("ok")
    """
)


@pytest.mark.parametrize("count", [50, 3000])
@pytest.mark.parametrize("mode", ["fork", "pool"])
def test_forked_child_builds_searches_and_compacts(tmp_path, count, mode):
    out = run_python(SCRIPT, tmp_path, count, mode, env=dict(os.environ, RAYON_NUM_THREADS="3"))
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr
