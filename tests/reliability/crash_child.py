"""Runs store operations and records each one in a side log, to be killed at any moment.

Usage: crash_child.py SNAP WAL SIDE_LOG DIM FIRST_VERSION random SEED COUNT
       crash_child.py SNAP WAL SIDE_LOG DIM FIRST_VERSION script OPS_JSON

Before every call the side log gets "B <seq> <op>" and after it "A <seq> ok" (or
"A <seq> err <message>"), each with a single os.write, so that the log tells which calls
were acknowledged when the process died. COUNT < 0 runs until killed.
"""
import ctypes
import json
import os
import random
import signal
import sys

import pelmor_vector_db as pv

from workload import OP_COMPACT, op_batch, op_delete, op_upsert, run_op


def id_pool(dim):
    # Half of the ids take two bytes per character, so a cut can fall inside one.
    size = 300 if dim <= 64 else 60
    return ["k%d" % i if i % 2 else "ключ%d" % i for i in range(size)]


def random_ops(rng, dim, first_version):
    ids = id_pool(dim)
    version = first_version
    while True:
        roll = rng.random()
        if roll < 0.40:
            yield op_upsert(rng.choice(ids), version)
            version += 1
        elif roll < 0.65:
            n = rng.randint(1, 200)
            yield op_batch([rng.choice(ids) for _ in range(n)], version)
            version += n
        elif roll < 0.90:
            yield op_delete(rng.choice(ids))
        else:
            yield OP_COMPACT


def die_with_parent():
    """An orphaned child would go on writing into a store that the next run reuses."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    if os.getppid() == 1:
        os._exit(1)


def main():
    die_with_parent()
    snap, wal, side, dim, first_version, mode = sys.argv[1:7]
    dim, first_version = int(dim), int(first_version)
    if mode == "random":
        seed, count = int(sys.argv[7]), int(sys.argv[8])
        ops = random_ops(random.Random(seed), dim, first_version)
    else:
        with open(sys.argv[7]) as f:
            ops = iter(json.load(f))
            count = -1
    log = os.open(side, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    store = pv.VectorStore.open(snap, wal)
    seq = 0
    for op in ops:
        if seq == count:
            break
        os.write(log, b"B %d %s\n" % (seq, json.dumps(op, ensure_ascii=False).encode()))
        try:
            run_op(pv, store, op, dim)
            os.write(log, b"A %d ok\n" % seq)
        except (OSError, ValueError) as e:
            os.write(log, ("A %d err %s\n" % (seq, e)).encode())
        seq += 1


if __name__ == "__main__":
    main()
