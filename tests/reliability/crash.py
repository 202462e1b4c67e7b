"""Kill -9 campaign: a child runs random store operations and is killed at random moments,
right after a compaction or a batch starts, or at an exact system call (strace injection). After
every kill the store is reopened and compared with the acknowledged operations, more
operations are run on it, and it is reopened and compared again.

Usage: python crash.py [--iterations N] [--dims 8,1536] [--strace] [--seed S] DIR
Prints the figures as JSON. The child side runs as
       python crash.py child SNAP WAL SIDE_LOG DIM FIRST_VERSION random SEED COUNT
       python crash.py child SNAP WAL SIDE_LOG DIM FIRST_VERSION script OPS_JSON
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
KINDS = ("lost", "resurrected", "damaged", "phantom")


def id_pool(dim):
    # Half of the ids take two bytes per character, so a cut can fall inside one.
    size = 300 if dim <= 64 else 60
    return ["k%d" % i if i % 2 else "ключ%d" % i for i in range(size)]


def random_ops(rng, dim, version):
    ids = id_pool(dim)
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


def child(snap, wal, side, dim, first_version, mode, *args):
    """Runs operations, writing "B <seq> <op>" to the side log before each call and
    "A <seq> ok" (or "A <seq> err <message>") after it, each with a single os.write, so
    that the log tells which calls were acknowledged when the process died."""
    # An orphaned child would go on writing into a store that the next run reuses.
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    if os.getppid() == 1:
        os._exit(1)
    dim = int(dim)
    if mode == "random":
        ops = random_ops(random.Random(int(args[0])), dim, int(first_version))
        count = int(args[1])  # < 0: until killed
    else:
        with open(args[0]) as f:
            ops, count = json.load(f), -1
    log = os.open(side, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    store = pv.VectorStore.open(snap, wal)
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
    return {"iterations": 0, "survived": 0, **{k: 0 for k in KINDS}, "stray_temp_files": 0,
            "failed_opens": collections.Counter(),
            "outcomes": collections.Counter(),  # of the call in flight at the kill
            "failures": []}  # what went wrong in the first failing iterations


def open_cause(error):
    """A short class for a failed open: the exception type and message up to a position."""
    text = re.sub(r" at line \d+ column \d+$", "", str(error))
    return "%s: %s" % (type(error).__name__, text)


class Store:
    """One store folder, the model of its acknowledged records, and the campaign's stats."""

    def __init__(self, folder, dim, stats, rng):
        self.folder, self.dim, self.stats, self.rng = folder, dim, stats, rng
        self.ids = id_pool(dim)
        self.paths = (os.path.join(folder, "store.snap"), os.path.join(folder, "store.wal"))
        self.side = os.path.join(folder, "side.log")
        self.reset()

    def reset(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.model, self.ever, self.temps = {}, collections.defaultdict(set), set()

    def spawn(self, first_version, args, prefix=()):
        open(self.side, "wb").close()
        argv = [*prefix, sys.executable, os.path.abspath(__file__), "child", *self.paths,
                self.side, str(self.dim), str(first_version), *args]
        return subprocess.Popen(argv, env=wl.child_env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)

    def learn(self, ops):
        for op in ops:
            wl.apply_op(self.model, op)
            if op[0] == "upsert":
                self.ever[op[1]].add(op[2])
            elif op[0] == "batch":
                for id, v in wl.batch_items(op):
                    self.ever[id].add(v)

    def check(self, in_flight):
        """Reopens and compares; adopts what was found as the new model. Returns ok."""
        try:
            seen = wl.observe(self.paths, self.ids, self.dim)
        except (OSError, ValueError) as e:
            self.stats["failed_opens"][open_cause(e)] += 1
            self.stats["failures"].append({"open": open_cause(e), "in_flight": in_flight})
            self.reset()
            return False
        verdict = wl.compare(self.model, self.ever, in_flight, seen)
        if in_flight is not None and in_flight[0] != "compact":
            self.learn([in_flight])
        for kind in KINDS:
            self.stats[kind] += len(verdict.get(kind, ()))
        if "outcome" not in verdict:
            self.stats["failures"].append({k: v for k, v in verdict.items() if v})
        elif in_flight is not None:
            self.stats["outcomes"][in_flight[0] + " " + verdict["outcome"].split()[0]] += 1
        self.model = {id: v for id, v in seen.items() if v is not None}
        return "outcome" in verdict

    def after_kill(self, seq_base):
        """Settles one killed child: compare, write more on top, reopen and compare again."""
        self.stats["iterations"] += 1
        acked, in_flight, errors = wl.read_side_log(self.side)
        self.learn(acked)
        temps = {n for n in os.listdir(self.folder) if ".tmp" in n}
        self.stats["stray_temp_files"] += len(temps - self.temps)
        self.temps = temps
        if errors:
            self.stats["failures"].append({"errors": errors[:3]})
        ok = not errors and self.check(in_flight)
        ok = ok and self.write_more(seq_base + VERSION_BLOCK - 1000) and self.check(None)
        self.stats["survived"] += ok

    def write_more(self, version):
        ops = [["upsert", self.rng.choice(self.ids), version],
               ["batch", [self.rng.choice(self.ids) for _ in range(3)], version + 1],
               ["delete", self.rng.choice(self.ids)]]
        try:
            store = pv.VectorStore.open(*self.paths)
            for op in ops:
                wl.run_op(store, op, self.dim)
        except (OSError, ValueError) as e:
            self.stats["failures"].append({"write after kill": open_cause(e)})
            self.reset()
            return False
        self.learn(ops)
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


def random_kills(root, iterations, dims, seed, progress=0):
    """Kills at random moments and right after compactions and batches start; with
    `progress`, prints the running figures to stderr every that many iterations."""
    stats = new_stats()
    rng = random.Random(seed)
    stores = [Store(os.path.join(root, "d%d" % d), d, stats, rng) for d in dims]
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


# --- kills at exact system calls -----------------------------------------------------

TRACED = ["openat", "write", "fsync", "linkat", "rename", "ftruncate", "unlink"]
CALL = re.compile(r"^(\w+)\((.*)\)\s+= (.*)$")


def traced(store, script, out_prefix, inject=None):
    """Runs the script under strace; returns the child's exit code, the traced calls of the
    main thread (the one that exec'd) as (name, args, result), and its last trace line."""
    argv = ["strace", "-f", "-ff", "-qq", "-s", "48", "-o", out_prefix,
            "-e", "trace=execve," + ",".join(TRACED)]
    if inject:
        argv += ["-e", "inject=%s:signal=SIGKILL:when=%d" % inject]
    child = store.spawn(VERSION_BLOCK, ["script", script], argv)
    child.communicate()
    folder, base = os.path.split(out_prefix)
    for name in sorted(n for n in os.listdir(folder) if n.startswith(base + ".")):
        with open(os.path.join(folder, name)) as f:
            lines = f.read().splitlines()
        if lines and lines[0].startswith("execve("):
            calls = [m.groups() for m in map(CALL.match, lines) if m and m.group(1) in TRACED]
            return child.returncode, calls, lines[-1]
    raise RuntimeError("no trace of the main process under " + out_prefix)


def normalise(args):
    return re.sub(r"tmp-\d+", "tmp-N", args)


def call_points(calls):
    """(name, ordinal among calls of that name, args) for every call from the side log's
    start of the first operation to its acknowledgement of the second."""
    counts, points = collections.Counter(), []
    for name, args, _ in calls:
        counts[name] += 1
        if points or (name == "write" and '"B 0 ' in args):
            points.append((name, counts[name], normalise(args)))
        if points and name == "write" and '"A 1 ok' in args:
            return points
    raise RuntimeError("markers not found in the trace")


def strace_kills(root, dim=1536, batch=200):
    """Kills the child at every traced call of one batch and one compaction, each time on a
    compacted store with a few logged writes and a torn last line in its log."""
    stats = new_stats()
    store = Store(os.path.join(root, "strace"), dim, stats, random.Random(7))
    db = pv.VectorStore.new(*store.paths)
    ops = [["batch", store.ids[:40], 1], ["compact"]]
    ops += [["upsert", store.ids[40 + i], 100 + i] for i in range(5)]
    for op in ops:
        wl.run_op(db, op, dim)
    store.learn(ops)
    torn = json.dumps({"op": "upsert", "data": {"id": "torn", "embedding": [0.5] * dim}},
                      separators=(",", ":"))
    with open(store.paths[1], "ab") as f:
        f.write(torn[: len(torn) // 2].encode())
    files = {p: open(p, "rb").read() for p in store.paths}
    model, ever = dict(store.model), {k: set(v) for k, v in store.ever.items()}
    script = os.path.join(root, "script.json")
    with open(script, "w") as f:
        # Ids repeat, so that the batch is long enough to reach the log in several writes.
        ids = [store.ids[20 + i % 40] for i in range(batch)]
        json.dump([["batch", ids, 1000], ["compact"], ["upsert", store.ids[0], 5000]], f)

    def restore():
        for name in os.listdir(store.folder):
            os.unlink(os.path.join(store.folder, name))
        for path, data in files.items():
            with open(path, "wb") as f:
                f.write(data)
        store.model, store.ever = dict(model), collections.defaultdict(set, ever)
        store.temps = set()

    trace_dir = os.path.join(root, "traces")
    os.makedirs(trace_dir, exist_ok=True)
    restore()
    rc, calls, _ = traced(store, script, trace_dir + "/dry")
    if rc != 0:
        raise RuntimeError("dry run failed with %d" % rc)
    points, unverified = call_points(calls), []
    for i, (name, k, args) in enumerate(points):
        restore()
        rc, calls, last = traced(store, script, "%s/p%d" % (trace_dir, i), (name, k))
        killed = calls[-1] if calls else None
        if (rc != -signal.SIGKILL or "killed by SIGKILL" not in last or killed is None
                or killed[0] != name or killed[2] != "?" or normalise(killed[1]) != args):
            unverified.append({"point": [name, k, args], "got": killed, "rc": rc})
            continue
        store.after_kill(VERSION_BLOCK)
    return stats, points, unverified


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--iterations", type=int, default=100)
    parser.add_argument("--dims", default="8,1536")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--strace", action="store_true")
    a = parser.parse_args()
    report = {}
    started = time.monotonic()
    if a.iterations:
        dims = [int(d) for d in a.dims.split(",")]
        report["random"] = random_kills(a.folder, a.iterations, dims, a.seed, 100)
    if a.strace:
        stats, points, unverified = strace_kills(a.folder)
        by_call = collections.Counter(p[0] for p in points)
        report["strace"] = dict(stats, points=len(points), by_call=by_call, unverified=unverified)
    report["seconds"] = round(time.monotonic() - started, 1)
    print(json.dumps(report, indent=1))


if __name__ == "__main__":
    if sys.argv[1:2] == ["child"]:
        child(*sys.argv[2:])
    else:
        main()
