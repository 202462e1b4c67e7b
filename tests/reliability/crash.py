"""Kill -9 campaign: a child runs random store operations and is killed at random moments,
right after a compaction or a batch starts, or at an exact file-system call (the preloaded
fault library kills it there). After every kill the store is reopened and compared with the
acknowledged operations, more operations and a compaction are run on it, and it is reopened
and compared again.

Usage: python crash.py [--iterations N] [--every-call] DIR
(--every-call: also kill at every file-system call of a batch and a compaction.)
Prints the figures as JSON. The child side runs as
       python crash.py child SIDE_LOG DIM FIRST_VERSION STORE random SEED COUNT
       python crash.py child SIDE_LOG DIM FIRST_VERSION STORE script OPS_JSON
where STORE is the JSON of a plain store's [SNAP, WAL] or of a sharded store's folder.
"""
import argparse
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

import pelmor_vector_db as pv

import workload as wl

VERSION_BLOCK = 10_000_000


def id_pool(dim, sharded=False):
    # Half of the ids take two bytes per character, so a cut can fall inside one. A sharded
    # store's records must all fit in one search.
    size = 60 if sharded or dim > 64 else 300
    return ["k%d" % i if i % 2 else "ключ%d" % i for i in range(size)]


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


def child(side, dim, first_version, location, mode, *args):
    """Runs operations, writing "B <seq> <op>" to the side log before each call and
    "A <seq> ok" (or "A <seq> err <message>") after it, each with a single os.write, so
    that the log tells which calls were acknowledged when the process died."""
    # An orphaned child would go on writing into a store that the next run reuses.
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    if os.getppid() == 1:
        os._exit(1)
    dim, location = int(dim), json.loads(location)
    if mode == "random":
        ids = id_pool(dim, isinstance(location, str))
        ops = random_ops(random.Random(int(args[0])), ids, int(first_version))
        count = int(args[1])  # < 0: until killed
    else:
        with open(args[0]) as f:
            ops, count = json.load(f), -1
    log = os.open(side, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    store = wl.open_store(location)
    for seq, op in enumerate(ops):
        if seq == count:
            break
        os.write(log, b"B %d %s\n" % (seq, json.dumps(op, ensure_ascii=False).encode()))
        try:
            wl.run_op(store, op, dim)
            os.write(log, b"A %d ok\n" % seq)
        except (OSError, ValueError) as e:
            os.write(log, ("A %d err %s\n" % (seq, e)).encode())


def new_stats():
    return {"iterations": 0, "survived": 0, "wrong": 0, "stray_temp_files": 0,
            "failed_opens": collections.Counter(),
            "outcomes": collections.Counter(),  # of the call in flight at the kill
            "temps_left": collections.Counter(),  # by the kill, by the call it hit
            "failures": []}  # what went wrong in the first failing iterations


def assert_clean(stats):
    print(json.dumps(stats))
    assert stats["wrong"] == stats["stray_temp_files"] == 0, stats
    assert stats["failed_opens"] == {}, stats
    assert stats["survived"] == stats["iterations"] > 0, stats["failures"][:5]


def open_cause(error):
    """A short class for a failed open: the exception type and message up to a position."""
    text = re.sub(r" at line \d+ column \d+$", "", str(error))
    return "%s: %s" % (type(error).__name__, text)


class Store:
    """One store folder, the model of its acknowledged records, and the campaign's stats."""

    def __init__(self, folder, dim, stats, rng, sharded=False):
        self.folder, self.dim, self.stats, self.rng = folder, dim, stats, rng
        self.ids = id_pool(dim, sharded)
        self.sharded = sharded
        self.location = folder if sharded else [os.path.join(folder, "store." + ext)
                                                for ext in ("snap", "wal")]
        # Beside the folder, so that the fault library does not count its writes.
        self.side = folder + "-side.log"
        self.reset()

    def reset(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.model = {}

    def spawn(self, first_version, args, **env):
        open(self.side, "wb").close()
        argv = [sys.executable, os.path.abspath(__file__), "child", self.side, str(self.dim),
                str(first_version), json.dumps(self.location), *args]
        return subprocess.Popen(argv, env=wl.child_env(**env), stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)

    def learn(self, ops):
        for op in ops:
            wl.apply_op(self.model, op)

    def check(self, in_flight):
        """Reopens and compares; adopts what was found as the new model. Returns ok."""
        try:
            seen = wl.observe(self.location, self.ids, self.dim)
        except (OSError, ValueError) as e:
            self.stats["failed_opens"][open_cause(e)] += 1
            self.stats["failures"].append({"open": open_cause(e), "in_flight": in_flight})
            self.reset()
            return False
        outcome = wl.compare(self.model, in_flight, seen, not self.sharded)
        if outcome is None:
            self.stats["wrong"] += 1
            differ = {id: [self.model.get(id), seen.get(id)] for id in set(self.model) | set(seen)
                      if self.model.get(id) != seen.get(id)}
            self.stats["failures"].append({"in_flight": in_flight, "acked_vs_seen": differ})
        elif in_flight is not None:
            self.stats["outcomes"][in_flight[0] + " " + outcome.split()[0]] += 1
        self.model = {id: v for id, v in seen.items() if v is not None}
        return outcome is not None

    def temps(self):
        return [n for n in os.listdir(self.folder) if ".tmp" in n]

    def after_kill(self, seq_base, hit=None):
        """Settles one killed child: compare, write more on top and compact, reopen and
        compare again. `hit` names the call the kill hit, when known."""
        self.stats["iterations"] += 1
        acked, in_flight, errors = wl.read_side_log(self.side)
        self.learn(acked)
        if self.temps():
            self.stats["temps_left"][hit] += 1
        if errors:
            self.stats["failures"].append({"errors": errors[:3]})
        ok = not errors and self.check(in_flight)
        ok = ok and self.write_more(seq_base + VERSION_BLOCK - 1000) and self.check(None)
        self.stats["survived"] += ok

    def write_more(self, version):
        ops = [["upsert", self.rng.choice(self.ids), version],
               ["batch", [self.rng.choice(self.ids) for _ in range(3)], version + 1],
               ["delete", self.rng.choice(self.ids)], ["compact"]]
        try:
            store = wl.open_store(self.location)
            for op in ops:
                wl.run_op(store, op, self.dim)
        except (OSError, ValueError) as e:
            self.stats["failures"].append({"write after kill": open_cause(e)})
            self.reset()
            return False
        self.learn(ops)
        # The compaction removes what a killed one left behind.
        self.stats["stray_temp_files"] += len(self.temps())
        return True


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
    stats = new_stats()
    rng = random.Random(seed)
    stores = [Store(os.path.join(root, "d%d" % d), d, stats, rng, sharded) for d in dims]
    for i in range(1, iterations + 1):
        roll = rng.random()
        mode = "compact" if roll < 0.35 else "batch" if roll < 0.5 else "random"
        store = stores[i % len(stores)]
        first = i * VERSION_BLOCK + 1
        child = store.spawn(first, ["random", str(rng.randrange(1 << 30)), "-1"])
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
        store.after_kill(first)
        if progress and i % progress == 0:
            print(json.dumps(stats), file=sys.stderr, flush=True)
    return stats


# --- kills at exact file-system calls ---------------------------------------------------


def call_kills(root, library, unnamed=True, dim=1536, batch=200):
    """Kills the child at every file-system call of one batch and one compaction (of only
    the compaction, where unnamed files cannot be made), each time on a compacted store
    with a few logged writes and a torn last line in its log. Returns the figures and the
    points where the child was not killed at the call it was meant to be."""
    stats = new_stats()
    store = Store(os.path.join(root, "calls%d" % unnamed), dim, stats, random.Random(7))
    db = pv.VectorStore.new(*store.location)
    ops = [["batch", store.ids[:40], 1], ["compact"]]
    ops += [["upsert", store.ids[40 + i], 100 + i] for i in range(5)]
    for op in ops:
        wl.run_op(db, op, dim)
    store.learn(ops)
    torn = json.dumps({"op": "upsert", "data": {"id": "torn", "embedding": [0.5] * dim}},
                      separators=(",", ":"))
    with open(store.location[1], "ab") as f:
        f.write(torn[: len(torn) // 2].encode())
    files = {p: open(p, "rb").read() for p in store.location}
    model = dict(store.model)
    script = os.path.join(root, "script%d.json" % unnamed)
    with open(script, "w") as f:
        # Ids repeat, so that the batch is long enough to reach the log in several writes.
        ids = [store.ids[20 + i % 40] for i in range(batch)]
        json.dump([["batch", ids, 1000]] * unnamed + [["compact"]], f)
    counts = os.path.join(root, "counts")
    env = {"LD_PRELOAD": library, "PVDB_FAULT_PATTERN": store.folder + "*",
           "PVDB_FAULT_COUNTS": counts, "PVDB_FAULT_NOTMPFILE": str(int(not unnamed)),
           "PVDB_FAULT_ARM": "1", "PVDB_FAULT_KILL": "1"}

    def run(op, k):
        for name in os.listdir(store.folder):
            os.unlink(os.path.join(store.folder, name))
        for path, data in files.items():
            with open(path, "wb") as f:
                f.write(data)
        store.model = dict(model)
        child = store.spawn(VERSION_BLOCK, ["script", script], PVDB_FAULT_OP=op,
                            PVDB_FAULT_K=str(k), **env)
        child.communicate()
        with open(counts) as f:
            return child.returncode, dict(p.split("=") for p in f.read().split())

    rc, dry = run("none", 0)
    if rc != 0:
        raise RuntimeError("dry run failed with %d" % rc)
    points = [(op, k) for op, n in dry.items() if op != "injected" for k in range(1, int(n) + 1)]
    unverified = []
    for op, k in points:
        rc, seen = run(op, k)
        if rc != -signal.SIGKILL or seen[op] != str(k) or seen["injected"] != "1":
            unverified.append({"point": [op, k], "rc": rc, "counts": seen})
        else:
            store.after_kill(VERSION_BLOCK, op)
    return stats, points, unverified


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--iterations", type=int, default=100)
    parser.add_argument("--every-call", action="store_true")
    a = parser.parse_args()
    os.makedirs(a.folder, exist_ok=True)
    report = {}
    started = time.monotonic()
    if a.iterations:
        report["random"] = random_kills(a.folder, a.iterations, [8, 1536], 1, 100)
    if a.every_call:
        library = wl.build_fault_library(a.folder)
        for unnamed in (True, False):
            stats, points, unverified = call_kills(a.folder, library, unnamed)
            report["calls" if unnamed else "calls_named_temporary"] = dict(
                stats, points=len(points), unverified=unverified)
    report["seconds"] = round(time.monotonic() - started, 1)
    print(json.dumps(report, indent=1))


if __name__ == "__main__":
    if sys.argv[1:2] == ["child"]:
        child(*sys.argv[2:])
    else:
        main()
