"""Kill -9 campaign: a child runs random store operations and is killed at random moments,
right after a compaction or a batch starts, or at an exact system call (strace injection). After
every kill the store is reopened and compared with the acknowledged operations, more
operations are run on it, and it is reopened and compared again.

Usage: python crash.py [--iterations N] [--dims 8,1536] [--strace] [--seed S] DIR
Prints the figures as JSON.
"""
import argparse
import collections
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
from crash_child import id_pool
from harness import child_env

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD = os.path.join(HERE, "crash_child.py")
VERSION_BLOCK = 10_000_000


class Stats:
    def __init__(self):
        self.iterations = 0
        self.survived = 0
        self.lost = 0
        self.resurrected = 0
        self.damaged = 0
        self.phantom = 0
        self.failed_opens = collections.Counter()
        self.stray_temp_files = 0
        self.outcomes = collections.Counter()  # of the call in flight at the kill
        self.failures = []  # first few failing iterations, for the report

    def as_dict(self):
        d = dict(vars(self))
        d["failed_opens"] = dict(self.failed_opens)
        d["outcomes"] = dict(self.outcomes)
        return d


def open_cause(error):
    """A short class for a failed open: the exception type and message up to a position."""
    text = str(error)
    return "%s: %s" % (type(error).__name__, re.sub(r" at line \d+ column \d+$", "", text))


class Store:
    """One store folder, the model of its acknowledged records, and the campaign's stats."""

    def __init__(self, folder, dim, stats, rng):
        self.folder, self.dim, self.stats, self.rng = folder, dim, stats, rng
        self.ids = id_pool(dim)
        self.reset()

    def reset(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.paths = (os.path.join(self.folder, "store.snap"), os.path.join(self.folder, "store.wal"))
        self.side = os.path.join(self.folder, "side.log")
        self.model, self.ever = {}, collections.defaultdict(set)
        self.temps = set()

    def spawn(self, first_version, args, prefix=()):
        open(self.side, "wb").close()
        argv = [*prefix, sys.executable, CHILD, *self.paths, self.side, str(self.dim),
                str(first_version), *args]
        return subprocess.Popen(argv, env=child_env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)

    def count_temps(self):
        now = {n for n in os.listdir(self.folder) if ".tmp" in n}
        self.stats.stray_temp_files += len(now - self.temps)
        self.temps = now

    def learn(self, ops):
        for op in ops:
            wl.apply_op(self.model, op)
            if op["op"] == "upsert":
                self.ever[op["id"]].add(op["v"])
            elif op["op"] == "batch":
                for id, v in wl.batch_items(op):
                    self.ever[id].add(v)

    def check(self, in_flight):
        """Reopens and compares; adopts what was found as the new model. Returns ok."""
        try:
            _, seen = wl.observe(pv, self.paths, self.ids, self.dim)
        except (OSError, ValueError) as e:
            self.stats.failed_opens[open_cause(e)] += 1
            self.stats.failures.append({"open": open_cause(e), "in_flight": in_flight})
            self.reset()
            return False
        verdict = wl.compare(self.model, self.ever, in_flight, seen)
        if in_flight is not None and in_flight["op"] != "compact":
            self.learn([in_flight])
        self.stats.lost += len(verdict.lost)
        self.stats.resurrected += len(verdict.resurrected)
        self.stats.damaged += len(verdict.damaged)
        self.stats.phantom += len(verdict.phantom)
        if not verdict.ok:
            self.stats.failures.append({k: v for k, v in vars(verdict).items() if v})
        elif in_flight is not None:
            self.stats.outcomes[in_flight["op"] + " " + verdict.outcome.split(" ")[0]] += 1
        self.model = {id: v for id, v in seen.items() if v is not None}
        return verdict.ok

    def after_kill(self, seq_base):
        """Settles one killed child: compare, write more on top, reopen and compare again."""
        self.stats.iterations += 1
        acked, in_flight, errors = wl.read_side_log(self.side)
        self.learn(acked)
        self.count_temps()
        ok = not errors and self.check(in_flight)
        if errors:
            self.stats.failures.append({"errors": errors[:3]})
        if ok:
            ok = self.write_more(seq_base + VERSION_BLOCK - 1000) and self.check(None)
        self.stats.survived += ok
        return ok

    def write_more(self, version):
        ops = [wl.op_upsert(self.rng.choice(self.ids), version),
               wl.op_batch([self.rng.choice(self.ids) for _ in range(3)], version + 1),
               wl.op_delete(self.rng.choice(self.ids))]
        try:
            store = pv.VectorStore.open(*self.paths)
            for op in ops:
                wl.run_op(pv, store, op, self.dim)
        except (OSError, ValueError) as e:
            self.stats.failures.append({"write after kill": open_cause(e)})
            self.reset()
            return False
        self.learn(ops)
        return True


def wait_for_start(side, child, kind, timeout=20.0):
    """Returns once the child logged the start of a call of `kind` (or died, or timed out)."""
    marker = b'"op": "%s"' % kind.encode()
    end, seen = time.monotonic() + timeout, 0
    while time.monotonic() < end and child.poll() is None:
        with open(side, "rb") as f:
            f.seek(seen)
            chunk = f.read()
        lines = chunk.split(b"\n")
        for line in lines[:-1]:
            if line.startswith(b"B ") and marker in line:
                return True
        seen += len(chunk) - len(lines[-1])
        time.sleep(0.0005)
    return False


def kill_once(store, iteration, mode):
    first = iteration * VERSION_BLOCK + 1
    child = store.spawn(first, ["random", str(store.rng.randrange(1 << 30)), "-1"])
    if mode != "random":
        wait_for_start(store.side, child, mode)
        # A batch first builds its records in Python, then writes them for a while.
        time.sleep(store.rng.uniform(0, 0.004 if mode == "compact" else 0.3))
    else:
        time.sleep(store.rng.uniform(0.02, 1.2))
    child.send_signal(signal.SIGKILL)
    _, err = child.communicate()
    if child.returncode != -signal.SIGKILL:
        raise RuntimeError("child ended on its own (%s): %s" % (child.returncode, err.decode()))
    return store.after_kill(first)


def random_kills(root, iterations, dims, seed, progress=0):
    """Kills at random moments and right after compactions and batches start; with
    `progress`, prints the running figures to stderr every that many iterations."""
    stats = Stats()
    rng = random.Random(seed)
    stores = [Store(os.path.join(root, "d%d" % d), d, stats, rng) for d in dims]
    for i in range(iterations):
        roll = rng.random()
        mode = "compact" if roll < 0.35 else "batch" if roll < 0.5 else "random"
        kill_once(stores[i % len(stores)], i + 1, mode)
        if progress and (i + 1) % progress == 0:
            print(json.dumps(stats.as_dict()), file=sys.stderr, flush=True)
    return stats


# --- kills at exact system calls -----------------------------------------------------

TRACED = ["openat", "write", "fsync", "linkat", "rename", "ftruncate", "unlink"]
CALL = re.compile(r"^(\w+)\((.*)\)\s+= (.*)$")


def strace_argv(out_prefix, inject=None):
    argv = ["strace", "-f", "-ff", "-qq", "-s", "48", "-o", out_prefix,
            "-e", "trace=execve," + ",".join(TRACED)]
    if inject:
        argv += ["-e", "inject=%s:signal=SIGKILL:when=%d" % inject]
    return argv


def main_calls(out_prefix):
    """The traced calls of the process that exec'd (not its threads), and how it ended."""
    folder, base = os.path.split(out_prefix)
    for name in sorted(os.listdir(folder)):
        if not name.startswith(base + "."):
            continue
        with open(os.path.join(folder, name)) as f:
            lines = f.read().splitlines()
        if lines and lines[0].startswith("execve("):
            calls = [m.groups() for m in map(CALL.match, lines) if m and m.group(1) in TRACED]
            return calls, lines[-1]
    raise RuntimeError("no trace of the main process under " + out_prefix)


def normalise(args):
    return re.sub(r"tmp-\d+", "tmp-N", args)


def call_points(calls, first_marker, last_marker):
    """(name, ordinal among calls of that name, args) for every call between the markers."""
    counts, points, inside = collections.Counter(), [], False
    for name, args, _ in calls:
        counts[name] += 1
        if name == "write" and first_marker in args:
            inside = True
        if inside:
            points.append((name, counts[name], normalise(args)))
        if inside and name == "write" and last_marker in args:
            return points
    raise RuntimeError("markers not found in the trace")


def base_store(store):
    """A compacted store with a few logged writes and a torn last line in its log."""
    db = pv.VectorStore.new(*store.paths)
    ops = [wl.op_batch(store.ids[:40], 1), wl.OP_COMPACT]
    ops += [wl.op_upsert(store.ids[40 + i], 100 + i) for i in range(5)]
    for op in ops:
        wl.run_op(pv, db, op, store.dim)
    store.learn([op for op in ops if op["op"] != "compact"])
    torn = json.dumps({"op": "upsert", "data": {"id": "torn", "embedding": [0.5] * store.dim}},
                      separators=(",", ":"))
    with open(store.paths[1], "ab") as f:
        f.write(torn[: len(torn) // 2].encode())
    return {p: open(p, "rb").read() for p in store.paths}


def strace_kills(root, dim=1536, batch=200):
    """Kills the child at every traced call of one batch and one compaction."""
    stats = Stats()
    store = Store(os.path.join(root, "strace"), dim, stats, random.Random(7))
    files = base_store(store)
    model, ever = dict(store.model), {k: set(v) for k, v in store.ever.items()}
    script = os.path.join(root, "script.json")
    with open(script, "w") as f:
        # Ids repeat, so that the batch is long enough to reach the log in several writes.
        ids = [store.ids[20 + i % 40] for i in range(batch)]
        json.dump([wl.op_batch(ids, 1000), wl.OP_COMPACT,
                   wl.op_upsert(store.ids[0], 5000)], f)

    def restore():
        for name in os.listdir(store.folder):
            os.unlink(os.path.join(store.folder, name))
        for path, data in files.items():
            with open(path, "wb") as f:
                f.write(data)
        store.model, store.ever = dict(model), collections.defaultdict(set, ever)
        store.temps = set()

    trace_dir = os.path.join(root, "traces")
    restore()
    os.makedirs(trace_dir, exist_ok=True)
    dry = store.spawn(VERSION_BLOCK, ["script", script], strace_argv(trace_dir + "/dry"))
    if dry.wait() != 0:
        raise RuntimeError("dry run failed: " + dry.stderr.read().decode())
    points = call_points(main_calls(trace_dir + "/dry")[0], '"B 0 ', '"A 1 ok')
    unverified = []
    for i, (name, k, args) in enumerate(points):
        restore()
        prefix = "%s/p%d" % (trace_dir, i)
        child = store.spawn(VERSION_BLOCK, ["script", script], strace_argv(prefix, (name, k)))
        child.communicate()
        calls, last = main_calls(prefix)
        killed = calls[-1] if calls else None
        if (child.returncode != -signal.SIGKILL or "killed by SIGKILL" not in last
                or killed is None or killed[0] != name or killed[2] != "?"
                or normalise(killed[1]) != args):
            unverified.append({"point": [name, k, args], "got": killed, "rc": child.returncode})
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
        report["random"] = random_kills(a.folder, a.iterations, dims, a.seed, 100).as_dict()
    if a.strace:
        stats, points, unverified = strace_kills(a.folder)
        report["strace"] = stats.as_dict()
        report["strace"]["points"] = len(points)
        report["strace"]["by_call"] = dict(collections.Counter(p[0] for p in points))
        report["strace"]["unverified"] = unverified
    report["seconds"] = round(time.monotonic() - started, 1)
    print(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
