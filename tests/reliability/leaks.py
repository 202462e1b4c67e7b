"""Repeats every kind of call many times and watches Python blocks, RSS, open files and
threads for growth.

Usage: python leaks.py FOLDER CALLS_PER_KIND   (prints JSON per kind)
"""
import collections.abc
import gc
import json
import os
import sys

import pelmor_vector_db as pv

DIM = 16
IDS = ["id%d" % i for i in range(200)]


def resources():
    """RSS in bytes, open files and threads."""
    with open("/proc/self/status") as f:
        status = dict(line.split(":", 1) for line in f)
    fds = len(os.listdir("/proc/self/fd"))
    return int(status["VmRSS"].split()[0]) << 10, fds, int(status["Threads"])


def vector(i):
    return [float((i * 7 + j) % 13 - 6) for j in range(DIM)]


class CallsBack(collections.abc.Sequence):
    """A sequence whose iteration calls back into a store (at its last item)."""

    def __init__(self, items, callback):
        self.items, self.callback = items, callback

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == len(self.items) - 1:
            self.callback()
        return self.items[i]


def make_calls(folder):
    """{kind: function(i)}; each call does one thing, including every error path."""
    snap, wal = os.path.join(folder, "s"), os.path.join(folder, "w")
    store = pv.VectorStore.new(snap, wal)
    store.upsert_batch([pv.VectorEntry(id, vector(i), "m", "t") for i, id in enumerate(IDS)])
    store.compact()
    store.search(vector(0), 10)
    bad_snap = os.path.join(folder, "bad.snap")
    with open(bad_snap, "w") as f:
        f.write('{"dim":2,"entries":[{"id":"x"')
    os.makedirs(os.path.join(folder, "dir.wal"), exist_ok=True)
    broken = pv.VectorStore.new(os.path.join(folder, "no", "s"), os.path.join(folder, "no", "w"))
    entry = pv.VectorEntry("e", vector(1))
    reentrant = CallsBack([entry], lambda: store.len)

    def upsert(i):
        store.upsert(pv.VectorEntry(IDS[i % len(IDS)], vector(i), "m", "t"))
        if i % 1000 == 999:
            store.compact()

    def properties(i):
        return (store.len, store.dim, store.wal_pending, len(store), bool(store), repr(store))

    def entry_roundtrip(i):
        e = pv.VectorEntry("x%d" % (i % 50), vector(i), "meta", "when")
        e.metadata = "changed"
        return e.id, e.embedding, e.created_at, len(e), repr(e)

    def expect(exc, call, *args):
        def run(i):
            try:
                call(*args)
            except exc:
                return
            raise AssertionError("%s not raised" % exc.__name__)
        return run

    return {
        "get_hit": lambda i: store.get(IDS[i % len(IDS)]),
        "get_miss": lambda i: store.get("absent"),
        "upsert_compact": upsert,
        "delete_absent": lambda i: store.delete("absent"),
        "properties": properties,
        "search": lambda i: store.search(vector(i), 10),
        "entry": entry_roundtrip,
        "err_dimension": expect(ValueError, store.upsert, pv.VectorEntry("x", [1.0])),
        "err_empty": expect(ValueError, store.search, []),
        "err_non_finite": expect(ValueError, store.upsert, pv.VectorEntry("x", [float("nan")] * DIM)),
        "err_type": expect(TypeError, store.upsert, {"id": "x"}),
        "err_borrow": expect(RuntimeError, store.upsert_batch, reentrant),
        "err_json_open": expect(ValueError, pv.VectorStore.open, bad_snap, wal),
        "err_io_open": expect(OSError, pv.VectorStore.open, snap, os.path.join(folder, "dir.wal")),
        "err_io_write": expect(OSError, broken.upsert, entry),
    }


def measure(call, calls, samples=10):
    """Growth of blocks, RSS (sampled `samples` times), open files and threads after a
    warm-up of a tenth of the calls."""
    for i in range(max(calls // 10, 100)):
        call(i)
    gc.collect()
    blocks, seen = sys.getallocatedblocks(), [resources()]
    step = max(calls // samples, 1)
    for start in range(0, calls, step):
        for i in range(start, start + step):
            call(i)
        gc.collect()
        seen.append(resources())
    sizes = [rss for rss, _, _ in seen]
    fds, threads = (b - a for a, b in zip(seen[0][1:], seen[-1][1:]))
    return sys.getallocatedblocks() - blocks, sizes, fds, threads


def main():
    folder, calls = sys.argv[1], int(sys.argv[2])
    table = make_calls(folder)
    # The sampling itself allocates a few blocks; a call that does nothing shows how many.
    baseline = measure(lambda i: None, calls)[0]
    for kind, call in table.items():
        blocks, sizes, fds, threads = measure(call, calls)
        blocks -= baseline
        rss_growth = sizes[-1] - sizes[0]
        print(json.dumps({"kind": kind, "calls": calls, "blocks": blocks, "rss": rss_growth,
                          "fds": fds, "threads": threads, "blocks_per_call": blocks / calls,
                          "rss_per_call": rss_growth / calls, "rss_samples": sizes}), flush=True)


if __name__ == "__main__":
    main()
