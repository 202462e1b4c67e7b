"""Runs store calls under the preloaded fault library and reports what each left behind.

Usage (with LD_PRELOAD set to the fault library): fault_child.py FOLDER COUNTS OP
Sweeps every counted file-system call of one store call OP (upsert, delete, batch,
compact, compact_link, compact_named, torn_upsert, unended_upsert), failing the k-th call
of each kind with several errnos, as a short write, and persistently. compact_link
reaches the snapshot through a symbolic link into another folder; compact_named compacts
on a file system that cannot make unnamed files. Prints one JSON object per scenario.
"""
import errno
import json
import os
import shutil
import sys

import pelmor_vector_db as pv

import workload as wl

ERRNOS = (errno.EIO, errno.ENOSPC, errno.EFBIG)
FRAGMENT = b'{"op":"upsert","data":{"id":"zz","embedding":[1.0,'
SETUP = [["batch", ["r%d" % i for i in range(6)], 1], ["compact"], ["upsert", "r1", 10],
         ["delete", "r2"]]
UPSERT = ["upsert", "new", 100]
CALLS = {"upsert": UPSERT, "torn_upsert": UPSERT, "unended_upsert": UPSERT,
         "delete": ["delete", "r3"], "batch": ["batch", ["b%d" % (i % 140) for i in range(150)], 200]}


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def setup(folder, op):
    """A store with snapshot and log lines; returns (store, paths, model, dim, call)."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    paths = (os.path.join(folder, "store.snap"), os.path.join(folder, "store.wal"))
    if op == "compact_link":
        # The replacement has to be made in the folder the link points into.
        os.makedirs(os.path.join(folder, "real"))
        os.symlink("real/store.snap", paths[0])
    dim = 1536 if op == "batch" else 8
    store = pv.VectorStore.new(*paths)
    model = {}
    for o in SETUP:
        wl.run_op(store, o, dim)
        wl.apply_op(model, o)
    if op == "unended_upsert":
        with open(paths[1], "rb+") as f:
            f.truncate(os.path.getsize(paths[1]) - 1)  # a last line without its line feed
    elif op == "torn_upsert":
        with open(paths[1], "ab") as f:
            f.write(FRAGMENT)  # what a writer killed mid-append leaves
    return pv.VectorStore.open(*paths), paths, model, dim, CALLS.get(op, ["compact"])


def listing(folder):
    return sorted(os.path.relpath(os.path.join(d, n), folder)
                  for d, dirs, names in os.walk(folder) for n in dirs + names)


def image_model(data, dim):
    """{id: version} of a snapshot's bytes, or None when they are not one whole image."""
    try:
        entries = json.loads(data)["entries"]
        return {e["id"]: wl.version_of(pv.VectorEntry(e["id"], e["embedding"], e["metadata"]),
                                        dim) for e in entries}
    except (ValueError, KeyError, TypeError):
        return None


def memory(store, model):
    return [store.len, store.dim, store.wal_pending,
            {id: wl.version_of(store.get(id), store.dim) for id in model if store.get(id)}]


def attempt(call):
    try:
        call()
        return "ok"
    except Exception as e:  # any type but OSError is a finding in itself
        return "%s: %s" % (type(e).__name__, e)


def run(folder, counts_path, op, fault, token):
    """One scenario: fail one call as `fault` says, then check, retry and reopen."""
    store, paths, model, dim, call = setup(folder, op)
    before_files, before = listing(folder), [read(p) for p in paths]
    before_memory = memory(store, model)
    after_model = dict(model)
    wl.apply_op(after_model, call)
    if os.path.exists(counts_path):
        os.unlink(counts_path)
    os.environ.update({"PVDB_FAULT_" + k.upper(): str(v) for k, v in fault.items()})
    os.environ["PVDB_FAULT_ARM"] = token
    try:
        outcome = attempt(lambda: wl.run_op(store, call, dim))
    finally:
        os.environ["PVDB_FAULT_ARM"] = "0"
    snap_after, wal_after = (read(p) for p in paths)
    counts = {}
    if os.path.exists(counts_path):
        with open(counts_path) as f:
            counts = {k: int(v) for k, v in (p.split("=") for p in f.read().split())}
    report = {
        "fault": fault, "outcome": outcome, "counts": counts,
        "memory_unchanged": memory(store, model) == before_memory,
        # Cutting away a dead writer's fragment is the first step of an append, and
        # stays done when the append then fails.
        "wal_unchanged": wal_after == before[1] or (
            op == "torn_upsert" and wal_after + FRAGMENT == before[1]),
        "snapshot_old": snap_after == before[0],
        "snapshot_new": bool(snap_after) and image_model(snap_after, dim) == after_model,
        "files_unchanged": listing(folder) == before_files,
        "files": listing(folder),
        "reopen_before_retry": attempt(lambda: pv.VectorStore.open(*paths)),
        "retry": attempt(lambda: wl.run_op(store, call, dim)),
    }
    report["reopen_matches"] = wl.observe(paths, set(after_model) | set(model), dim) == after_model
    return report


def faults_for(counts):
    """Every counted call of every kind, each failed in every way that applies to it."""
    for kind, n in counts.items():
        if kind == "injected":
            continue
        for k in range(1, n + 1):
            plain = {"op": kind, "k": k, "errno": errno.EIO, "persist": 0, "short": -1,
                     "also": "none"}
            for err in ERRNOS:
                yield dict(plain, errno=err)
            yield dict(plain, persist=1)
            if kind == "write":
                for short in (0, 1, 700):
                    yield dict(plain, errno=errno.ENOSPC, short=short)
                # The cut back fails as well: a torn line stays behind in the log.
                yield dict(plain, short=700, also="ftruncate")
            if kind in ("fsync", "linkat", "rename"):
                yield dict(plain, also="unlink")  # the temporary file cannot be removed


def main():
    folder, counts_path, op = sys.argv[1:4]
    os.environ["PVDB_FAULT_PATTERN"] = folder + "*"
    os.environ["PVDB_FAULT_COUNTS"] = counts_path
    os.environ["PVDB_FAULT_NOTMPFILE"] = "1" if op == "compact_named" else "0"
    nothing = {"op": "none", "k": 0, "errno": 0, "persist": 0, "short": -1, "also": "none"}
    dry = run(folder, counts_path, op, nothing, "dry")
    print(json.dumps(dry))
    for i, fault in enumerate(faults_for(dry["counts"])):
        print(json.dumps(run(folder, counts_path, op, fault, "s%d" % i)), flush=True)


if __name__ == "__main__":
    main()
