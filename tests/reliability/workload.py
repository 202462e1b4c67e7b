"""Shared plumbing of the reliability suites: child processes, deterministic records, and a
model of what a store must hold after a crash.

Every upserted record carries a version number: its metadata is "v<version>" and its
embedding is a function of the version alone, so a checker can tell from a reopened
store exactly which write of an id survived, and whether its bytes are intact.

An operation is a JSON-ready list: ["upsert", id, version], ["batch", ids, first_version],
["delete", id] or ["compact"].
"""
import json
import os
import subprocess
import sys

import numpy as np

import pelmor_vector_db as pv

HERE = os.path.dirname(os.path.abspath(__file__))


def child_env(**extra):
    """The environment of a child Python that can import these helpers and the module."""
    env = dict(os.environ)
    inherited = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([HERE] + inherited)
    env["PYTHONHASHSEED"] = "0"
    env.update(extra)
    return env


def run_child(script, *args, env=None, timeout=600):
    return subprocess.run([sys.executable, os.path.join(HERE, script), *map(str, args)],
                          env=env or child_env(), capture_output=True, timeout=timeout)


def read(path):
    """A file's bytes, or None when there is no file."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def read_counts(path):
    """The fault library's call counts by kind; empty before its first counted call."""
    text = (read(path) or b"").decode()
    return {k: int(v) for k, v in (p.split("=") for p in text.split())}


def build_fault_library(folder):
    """Compiles the LD_PRELOAD fault library into `folder` and returns its path."""
    out = os.path.join(folder, "libfault_inject.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-Wall", "-Wextra", "-Werror", "-o", out,
                    os.path.join(HERE, "fault_inject.c"), "-ldl"], check=True)
    return out


def id_pool(size):
    # Half of the ids take two bytes per character, so that a cut can fall inside one.
    return ["k%d" % i if i % 2 else "ключ%d" % i for i in range(size)]


def embedding(version, dim):
    """Values k/64 with |k| < 2048: exact in 32 bits, so they survive the text round trip."""
    j = np.arange(dim, dtype=np.int64)
    k = ((version % 4093) * 2654435761 + j * 40503 + 17) % 4093 - 2046  # stays in int64
    return (k / 64.0).tolist()


def make_entry(id, version, dim):
    return pv.VectorEntry(id, embedding(version, dim), "v%d" % version, "t")


def version_of(entry, dim):
    """The version a stored record was written with, or None when its bytes are damaged."""
    meta = entry.metadata
    if not meta.startswith("v") or not meta[1:].isdigit():
        return None
    version = int(meta[1:])
    return version if entry.embedding == embedding(version, dim) else None


def open_store(location):
    """A plain store from its [snapshot, log] paths, or a sharded store from its folder."""
    if isinstance(location, str):
        from pelmor_cluster import ShardedStore

        return ShardedStore.open(location, 2, merge_at=6)
    return pv.VectorStore.open(*location)


def observe(location, ids, dim):
    """Opens the store and reads back {id: version} over the id pool (None = damaged)."""
    store = open_store(location)
    seen = {id: version_of(got, dim) for id in ids if (got := store.get(id)) is not None}
    # A record outside the ids asked for was never written. A sharded store answers from
    # its buffers and main stores at once: a record must be found by search exactly once.
    if store.len != len(seen):
        raise ValueError("the store holds %d records, get finds %s" % (store.len, sorted(seen)))
    if isinstance(location, str):
        hits = sorted(e.id for e, _ in store.search(embedding(0, dim), 100))
        if hits != sorted(seen):
            raise ValueError("search finds %s, get finds %s" % (hits, sorted(seen)))
    return seen


def batch_items(op):
    return [(id, op[2] + i) for i, id in enumerate(op[1])]


def apply_op(state, op, prefix=None):
    """Applies `op` to {id: version}; for a batch, only its first `prefix` items."""
    if op[0] == "upsert":
        state[op[1]] = op[2]
    elif op[0] == "delete":
        state.pop(op[1], None)
    elif op[0] == "batch":
        state.update(batch_items(op)[:prefix])


def run_op(store, op, dim):
    if op[0] == "upsert":
        store.upsert(make_entry(op[1], op[2], dim))
    elif op[0] == "batch":
        store.upsert_batch([make_entry(id, v, dim) for id, v in batch_items(op)])
    elif op[0] == "delete":
        store.delete(op[1])
    else:
        store.compact()


def read_side_log(path):
    """Operations acknowledged by the child, the one in flight when it died (or None), and
    the ones that failed.

    Lines are "B <seq> <op>" before a call and "A <seq> ok" or "A <seq> err <text>" after
    it; a cut-off last line was never finished and is ignored.
    """
    with open(path, "rb") as f:
        text = f.read().decode()
    acked, in_flight, errors = [], None, []
    for line in text.split("\n")[:-1]:
        tag, seq, rest = line.split(" ", 2)
        if tag == "B":
            in_flight = (int(seq), json.loads(rest))
        elif in_flight is not None and int(seq) == in_flight[0]:
            if rest == "ok":
                acked.append(in_flight[1])
            else:
                errors.append((in_flight[1], rest))
            in_flight = None
    return acked, (in_flight[1] if in_flight else None), errors


def compare(model, in_flight, seen, prefix=True):
    """Checks `seen` against `model` (the acknowledged state) plus any outcome of the call
    `in_flight`. Returns the outcome that matches: "absent", "whole" or "prefix k/m", or,
    without `prefix` (a sharded store's shards write apart), "part" when each id holds what
    one of those outcomes gives it. None when nothing matches: an acknowledged write was
    lost, a deletion undone, a record damaged or a version never written found."""
    candidates = {"absent": model}
    if in_flight is not None and in_flight[0] != "compact":
        m = len(in_flight[1]) if in_flight[0] == "batch" else 1
        for k in range(1, m + 1):
            state = dict(model)
            apply_op(state, in_flight, k)
            candidates["whole" if k == m else "prefix %d/%d" % (k, m)] = state
    for name, state in candidates.items():
        if state == seen:
            return name
    ids = set(seen) | set(model)
    if prefix or None in seen.values():
        return None
    allowed = {id: {state.get(id) for state in candidates.values()} for id in ids}
    return "part" if all(seen.get(id) in allowed[id] for id in ids) else None


def settle(location, model, in_flight, ids, dim, more, prefix=True):
    """Settles the store of a killed writer. Reopened, it must hold the acknowledged `model`
    plus an outcome of the call `in_flight` (see compare); the calls `more`, which end in a
    compaction, must work on it and remove any temporary file a killed compaction left;
    reopened again, it must hold what they made of it. Returns the outcome and the state
    found; raises AssertionError, OSError or ValueError on what is wrong."""
    seen = observe(location, ids, dim)
    outcome = compare(model, in_flight, seen, prefix)
    assert outcome is not None, "acknowledged and found differ: %s" % {
        id: [model.get(id), seen.get(id)] for id in set(model) | set(seen)
        if model.get(id) != seen.get(id)}
    store = open_store(location)
    for op in more:
        run_op(store, op, dim)
        apply_op(seen, op)
    folder = location if isinstance(location, str) else os.path.dirname(location[0])
    temps = [n for n in os.listdir(folder) if ".tmp" in n]
    assert not temps, "temporary files stay after a compaction: %s" % temps
    assert observe(location, ids, dim) == seen, "the store differs after more writes"
    return outcome, seen
