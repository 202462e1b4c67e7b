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
    """One scenario: fail one call as `fault` says, then check, retry and reopen. Returns the
    counted calls and what is wrong with the store afterwards (nothing, when all is well)."""
    store, paths, model, dim, call = setup(folder, op)
    before_files, before = listing(folder), [wl.read(p) for p in paths]
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
    snap_after, wal_after = (wl.read(p) for p in paths)
    counts = {}
    if os.path.exists(counts_path):
        with open(counts_path) as f:
            counts = {k: int(v) for k, v in (p.split("=") for p in f.read().split())}
    files = listing(folder)
    checks = [(outcome == "ok", "outcome " + outcome)]
    if fault["op"] != "none":
        temps = [f for f in files if ".tmp-" in f]
        new_image = bool(snap_after) and image_model(snap_after, dim) == after_model
        checks = [
            (counts.get(fault["op"], 0) >= fault["k"] and counts.get("injected", 0) >= 1,
             "the library never failed the call: %s" % counts),
            (outcome.startswith("OSError: "), "outcome " + outcome),
            (memory(store, model) == before_memory, "memory changed"),
            # Cutting away a dead writer's fragment is the first step of an append, and
            # stays done when the append then fails. When the clean-up fails too, the log
            # may keep a torn line and a temporary file may stay.
            (wal_after == before[1] or fault["also"] == "ftruncate"
             or op == "torn_upsert" and wal_after + FRAGMENT == before[1], "log changed"),
            (snap_after == before[0] or op.startswith("compact") and new_image,
             "snapshot neither old nor the complete new image"),
            (files == before_files or fault["also"] == "unlink" and len(temps) == 1,
             "files now %s" % files),
        ]
    # The log must still open, and the next call must still work. A log cut back to where
    # it was is this store's own, so a compaction after the retry is no other writer's.
    reopen = attempt(lambda: pv.VectorStore.open(*paths))
    again = [call] + [["compact"]] * (fault["also"] != "ftruncate")
    retry = attempt(lambda: [wl.run_op(store, o, dim) for o in again])
    checks += [(reopen == "ok", "log left unopenable: " + reopen),
               (retry == "ok", "retry without the fault failed: " + retry),
               (wl.observe(paths, set(after_model) | set(model), dim) == after_model,
                "reopened store differs from the model")]
    return {"fault": fault, "counts": counts, "wrong": [what for ok, what in checks if not ok]}


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
