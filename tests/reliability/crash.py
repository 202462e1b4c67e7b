"""Kill -9 campaign: a child runs random store operations and is killed at random moments,
or right after a compaction or a batch starts. After every kill the store is reopened and
compared with the acknowledged operations, more operations and a compaction are run on it,
and it is reopened and compared again. (Kills at exact file-system calls are the fault
sweep's: fault_child.py.)

Usage: python crash.py DIR ITERATIONS    (prints the figures as JSON)
The child side runs as python crash.py child SIDE_LOG DIM FIRST_VERSION STORE SEED, where
STORE is the JSON of a plain store's [SNAP, WAL] or of a sharded store's folder.
"""
import collections
import ctypes
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

import workload as wl

VERSION_BLOCK = 10_000_000


def id_pool(dim, sharded=False):
    # A sharded store's records must all fit in one search.
    return wl.id_pool(60 if sharded or dim > 64 else 300)


def random_ops(rng, ids, version):
    while True:
        roll = rng.random()
        if roll < 0.40:
            yield ["upsert", rng.choice(ids), version]
            version += 1
        elif roll < 0.65:
            n = rng.randint(1, 200)
            yield ["batch", [rng.choice(ids) for _ in range(n)], version]
            version += n
        elif roll < 0.90:
            yield ["delete", rng.choice(ids)]
        else:
            yield ["compact"]


def child(side, dim, first_version, location, seed):
    """Runs operations, writing "B <seq> <op>" to the side log before each call and
    "A <seq> ok" (or "A <seq> err <message>") after it, each with a single os.write, so
    that the log tells which calls were acknowledged when the process died."""
    # An orphaned child would go on writing into a store that the next run reuses.
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    if os.getppid() == 1:
        os._exit(1)
    dim, location = int(dim), json.loads(location)
    ids = id_pool(dim, isinstance(location, str))
    ops = random_ops(random.Random(int(seed)), ids, int(first_version))
    log = os.open(side, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    store = wl.open_store(location)
    for seq, op in enumerate(ops):  # until killed
        os.write(log, b"B %d %s\n" % (seq, json.dumps(op, ensure_ascii=False).encode()))
        try:
            wl.run_op(store, op, dim)
            os.write(log, b"A %d ok\n" % seq)
        except (OSError, ValueError) as e:
            os.write(log, ("A %d err %s\n" % (seq, e)).encode())


class Store:
    """One store folder and the model of its acknowledged records."""

    def __init__(self, folder, dim, rng, sharded=False):
        self.folder, self.dim, self.rng, self.sharded = folder, dim, rng, sharded
        self.ids = id_pool(dim, sharded)
        self.location = folder if sharded else [os.path.join(folder, "store." + ext)
                                                for ext in ("snap", "wal")]
        self.side = folder + "-side.log"  # beside the folder, which a reset empties
        self.reset()

    def reset(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.model = {}

    def spawn(self, first_version, seed):
        open(self.side, "wb").close()
        argv = [sys.executable, os.path.abspath(__file__), "child", self.side, str(self.dim),
                str(first_version), json.dumps(self.location), str(seed)]
        return subprocess.Popen(argv, env=wl.child_env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)

    def after_kill(self, stats, seq_base):
        """Settles one killed child (see wl.settle), writing a few more records and
        compacting on top; a store found wrong starts afresh."""
        stats["iterations"] += 1
        acked, in_flight, errors = wl.read_side_log(self.side)
        for op in acked:
            wl.apply_op(self.model, op)
        version = seq_base + VERSION_BLOCK - 1000
        more = [["upsert", self.rng.choice(self.ids), version],
                ["batch", [self.rng.choice(self.ids) for _ in range(3)], version + 1],
                ["delete", self.rng.choice(self.ids)], ["compact"]]
        try:
            assert not errors, "calls failed: %s" % errors[:3]
            outcome, self.model = wl.settle(self.location, self.model, in_flight, self.ids,
                                            self.dim, more, not self.sharded)
            if in_flight is not None:
                stats["outcomes"][in_flight[0] + " " + outcome.split()[0]] += 1
        except (AssertionError, OSError, ValueError) as e:
            stats["failures"].append({"in_flight": in_flight, "wrong": repr(e)})
            self.reset()


def wait_for_start(side, child, kind, timeout=20.0):
    """Returns once the child logged the start of a call of `kind` (or died, or timed out).
    Each side-log line is one write, so a line is never seen in part."""
    marker = re.compile(rb'^B \d+ \["%s"' % kind.encode(), re.M)
    end = time.monotonic() + timeout
    while time.monotonic() < end and child.poll() is None:
        with open(side, "rb") as f:
            if marker.search(f.read()):
                return
        time.sleep(0.0005)


def random_kills(root, iterations, dims, seed, progress=0, sharded=False):
    """Kills at random moments and right after compactions and batches start; with
    `progress`, prints the running figures to stderr every that many iterations."""
    # The outcomes count what the call in flight at each kill left behind.
    stats = {"iterations": 0, "outcomes": collections.Counter(), "failures": []}
    rng = random.Random(seed)
    stores = [Store(os.path.join(root, "d%d" % d), d, rng, sharded) for d in dims]
    for i in range(1, iterations + 1):
        roll = rng.random()
        mode = "compact" if roll < 0.35 else "batch" if roll < 0.5 else "random"
        store = stores[i % len(stores)]
        first = i * VERSION_BLOCK + 1
        child = store.spawn(first, rng.randrange(1 << 30))
        if mode == "random":
            time.sleep(rng.uniform(0.02, 1.2))
        else:
            wait_for_start(store.side, child, mode)
            # A batch first builds its records in Python, then writes them for a while.
            time.sleep(rng.uniform(0, 0.004 if mode == "compact" else 0.3))
        child.send_signal(signal.SIGKILL)
        _, err = child.communicate()
        if child.returncode != -signal.SIGKILL:
            raise RuntimeError("child ended on its own (%s): %s" % (child.returncode, err.decode()))
        store.after_kill(stats, first)
        if progress and i % progress == 0:
            print(json.dumps(stats), file=sys.stderr, flush=True)
    return stats


def main():
    folder, iterations = sys.argv[1], int(sys.argv[2])
    os.makedirs(folder, exist_ok=True)
    started = time.monotonic()
    report = random_kills(folder, iterations, [8, 1536], 1, 100)
    report["seconds"] = round(time.monotonic() - started, 1)
    print(json.dumps(report, indent=1))


if __name__ == "__main__":
    if sys.argv[1:2] == ["child"]:
        child(*sys.argv[2:])
    else:
        main()
