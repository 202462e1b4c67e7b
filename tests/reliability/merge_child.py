"""Writes to a sharded store and merges its buffers in a loop until it is killed.

Usage: merge_child.py FOLDER SEED

Prints "? <op>" before each call and "!" once it returned, each line in one write, so
the reader knows which calls were acknowledged and which one was in flight at the kill.
Ops: "u ID VERSION", "b ID:VERSION,ID:VERSION,...", "d ID", "c" (compact).
"""
import functools
import os
import random
import sys

import pelmor_vector_db as pv

from pelmor_cluster import ShardedStore

DIM = 4
IDS = [f"k{i}" for i in range(60)]


def entry(id, version):
    return pv.VectorEntry(id, [float(version % 1000), 1.0, -1.0, 0.5], str(version))


def say(line):
    # One write of a few bytes reaches the pipe whole; print() may hand it over in pieces,
    # and a kill between them leaves a line that names the wrong call.
    os.write(1, f"{line}\n".encode())


def main():
    folder, seed = sys.argv[1], int(sys.argv[2])
    rng = random.Random(seed)
    store = ShardedStore.open(folder, 2, merge_at=6)
    version = seed * 1_000_000
    say("ready")
    while True:
        roll = rng.random()
        version += 1
        if roll < 0.4:
            id = rng.choice(IDS)
            op = f"u {id} {version}"
            call = functools.partial(store.upsert, entry(id, version))
        elif roll < 0.55:
            pairs = [(rng.choice(IDS), version + i) for i in range(rng.randint(1, 8))]
            version += len(pairs)
            op = "b " + ",".join(f"{i}:{v}" for i, v in pairs)
            call = functools.partial(store.upsert_batch, [entry(i, v) for i, v in pairs])
        elif roll < 0.85:
            id = rng.choice(IDS)
            op = f"d {id}"
            call = functools.partial(store.delete, id)
        else:
            op = "c"
            call = store.compact
        say(f"? {op}")
        call()
        say("!")


if __name__ == "__main__":
    main()
