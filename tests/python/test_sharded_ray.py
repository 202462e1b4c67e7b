"""A shard actor killed with SIGKILL mid-workload comes back with every acknowledged write."""
import os
import signal
import threading
import time

import pelmor_vector_db as pv

from pelmor_cluster import ShardedStore


def test_killed_actor_restarts_and_keeps_acknowledged_writes(tmp_path, monkeypatch, ray_cluster):
    monkeypatch.chdir(tmp_path)  # the actors must find a relative directory too
    store = ShardedStore.open("s", 2, merge_at=8, ray=True)
    before = store._backend.pids()
    killer = threading.Timer(0.5, os.kill, (before[0], signal.SIGKILL))
    killer.start()
    acknowledged = {}
    end = time.monotonic() + 2.0
    i = 0
    while time.monotonic() < end or killer.is_alive():
        id = f"k{i % 150}"
        if i % 7 == 3:
            store.delete(id)
            acknowledged.pop(id, None)
        else:
            store.upsert(pv.VectorEntry(id, [1.0, float(i), 0.5], str(i)))
            acknowledged[id] = str(i)
        if i % 50 == 49:
            store.compact()
        i += 1
    after = store._backend.pids()
    assert after[0] != before[0] and after[1] == before[1]
    assert sorted(os.listdir(tmp_path / "s")) == ["manifest.json", "shard-0000", "shard-0001"]
    assert store.len == len(acknowledged)
    for n in range(150):
        entry = store.get(f"k{n}")
        assert (entry and entry.metadata) == acknowledged.get(f"k{n}")
    store.close()
