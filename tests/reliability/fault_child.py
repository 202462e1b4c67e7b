"""Runs store calls under the preloaded fault library and reports what each left behind.

Usage (with LD_PRELOAD set to the fault library): fault_child.py FOLDER COUNTS OP
Sweeps every counted file-system call of one store call OP (upsert, delete, batch,
compact, compact_link, compact_named, torn_upsert, unended_upsert), failing the k-th call
of each kind with several errnos, as a short write, and persistently. compact_link
reaches the snapshot through a symbolic link into another folder; compact_named compacts
on a file system that cannot make unnamed files. OP kill_batch, kill_compact or
kill_compact_named instead kills the process at each call, from the store's opening on,
of a long batch on a larger store whose log ends in a torn line, or of the compaction
after it (without unnamed files: of a compaction of that store). Prints one JSON object
per scenario. With a fourth argument "call" it only opens the store and makes the call.
"""
import errno
import json
import os
import shutil
import signal
import sys

import pelmor_vector_db as pv

import workload as wl

ERRNOS = (errno.EIO, errno.ENOSPC, errno.EFBIG)
PLAIN = {"errno": errno.EIO, "persist": 0, "short": -1, "also": "none"}
FRAGMENT = b'{"op":"upsert","data":{"id":"zz","embedding":[1.0,'
SMALL = [["batch", ["r%d" % i for i in range(6)], 1], ["compact"], ["upsert", "r1", 10],
         ["delete", "r2"]]
IDS = wl.id_pool(60)
LARGE = [["batch", IDS[:40], 1], ["compact"]] + [["upsert", IDS[40 + i], 100 + i] for i in range(5)]
# Ids repeat, so that the batch is long enough to reach the log in several writes.
LONG_BATCH = ["batch", [IDS[20 + i % 40] for i in range(200)], 1000]
UPSERT = ["upsert", "new", 100]
CALLS = {"upsert": UPSERT, "torn_upsert": UPSERT, "unended_upsert": UPSERT,
         "delete": ["delete", "r3"], "batch": ["batch", ["b%d" % (i % 140) for i in range(150)], 200],
         "kill_batch": LONG_BATCH}


def scenario(folder, op):
    """The store's paths, its dimension and the call that OP makes on it."""
    paths = (os.path.join(folder, "store.snap"), os.path.join(folder, "store.wal"))
    dim = 1536 if op == "batch" or op.startswith("kill_") else 8
    return paths, dim, CALLS.get(op, ["compact"])


def prepare(paths, op, dim):
    """Writes OP's store and returns the model of what it holds."""
    store = pv.VectorStore.new(*paths)
    model = {}
    for o in LARGE if op.startswith("kill_") else SMALL:
        wl.run_op(store, o, dim)
        wl.apply_op(model, o)
    if op == "unended_upsert":
        with open(paths[1], "rb+") as f:
            f.truncate(os.path.getsize(paths[1]) - 1)  # a last line without its line feed
    elif op in ("torn_upsert", "kill_batch", "kill_compact", "kill_compact_named"):
        with open(paths[1], "ab") as f:
            f.write(FRAGMENT)  # what a writer killed mid-append leaves
    if op == "kill_compact":
        wl.run_op(pv.VectorStore.open(*paths), LONG_BATCH, dim)
        wl.apply_op(model, LONG_BATCH)
    return model


def setup(folder, op):
    """A store with snapshot and log lines; returns (store, paths, model, dim, call)."""
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    paths, dim, call = scenario(folder, op)
    if op == "compact_link":
        # The replacement has to be made in the folder the link points into.
        os.makedirs(os.path.join(folder, "real"))
        os.symlink("real/store.snap", paths[0])
    model = prepare(paths, op, dim)
    # A kill's call runs in a child of its own, which opens the store itself.
    store = None if op.startswith("kill_") else pv.VectorStore.open(*paths)
    return store, paths, model, dim, call


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
    """One scenario: fail the call, or kill the process at it, as `fault` says, then check,
    retry and reopen. Returns the counted calls, whether a temporary file was left, and
    what is wrong with the store afterwards (nothing, when all is well)."""
    store, paths, model, dim, call = setup(folder, op)
    before_files, before = listing(folder), [wl.read(p) for p in paths]
    before_memory = store and memory(store, model)
    after_model = dict(model)
    wl.apply_op(after_model, call)
    ids = set(after_model) | set(model)
    if os.path.exists(counts_path):
        os.unlink(counts_path)
    armed = {"PVDB_FAULT_" + k.upper(): str(v) for k, v in fault.items()}
    armed["PVDB_FAULT_ARM"] = token
    if fault["kill"]:
        # The kill takes the whole process, so a fresh one opens the store and makes the call.
        child = wl.run_child("fault_child.py", folder, counts_path, op, "call",
                             env=wl.child_env(**armed))
        outcome = "ok" if child.returncode == 0 else "ended with %d" % child.returncode
    else:
        os.environ.update(armed)
        try:
            outcome = attempt(lambda: wl.run_op(store, call, dim))
        finally:
            os.environ["PVDB_FAULT_ARM"] = "0"
    snap_after, wal_after = (wl.read(p) for p in paths)
    counts = wl.read_counts(counts_path)
    files = listing(folder)
    temps = [f for f in files if ".tmp-" in f]
    hit = counts.get(fault["op"], 0) >= fault["k"] and counts.get("injected", 0) >= 1
    if fault["kill"]:
        # The library must have killed the child at the call, the one sure way to know
        # where it died. The reopened store is then the killed writer's (see wl.settle).
        dry = fault["op"] == "none"
        expected = "ok" if dry else "ended with %d" % -signal.SIGKILL
        more = [call, ["compact"]]
        state = "ok" if dry else attempt(lambda: wl.settle(paths, model, call, ids, dim, more))
        checks = [(outcome == expected and (hit or dry),
                   "not killed at the call: %s, counts %s" % (outcome, counts)),
                  (state == "ok", state)]
        return {"fault": fault, "counts": counts, "temps": bool(temps),
                "wrong": [what for ok, what in checks if not ok]}
    new_image = bool(snap_after) and image_model(snap_after, dim) == after_model
    checks = [(outcome == "ok", "outcome " + outcome)]
    if fault["op"] == "linkat" and fault["errno"] == errno.ENOENT:
        # Without /proc an unnamed file cannot be named: the compaction writes a named
        # temporary file instead, and succeeds.
        checks += [(hit and counts["injected"] == 1, "linkat not failed once: %s" % counts),
                   (new_image and not temps, "no complete new image: files now %s" % files)]
    elif fault["op"] != "none":
        checks = [
            (hit, "the library never failed the call: %s" % counts),
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
    again = [call] + [["compact"]] * (fault["also"] != "ftruncate")
    reopen = attempt(lambda: pv.VectorStore.open(*paths))
    retry = attempt(lambda: [wl.run_op(store, o, dim) for o in again])
    left = [f for f in listing(folder) if ".tmp-" in f]
    checks += [(reopen == "ok", "log left unopenable: " + reopen),
               (retry == "ok", "retry without the fault failed: " + retry),
               (wl.observe(paths, ids, dim) == after_model, "reopened store differs"),
               # The compaction removes what a killed or failed one left behind.
               (not left or fault["also"] == "ftruncate", "temporary files stay: %s" % left)]
    return {"fault": fault, "counts": counts, "temps": bool(temps),
            "wrong": [what for ok, what in checks if not ok]}


def faults_for(counts, kill):
    """Every counted call of every kind, each failed in every way that applies to it, or
    each killed."""
    for kind, n in counts.items():
        if kind == "injected":
            continue
        for k in range(1, n + 1):
            plain = dict(PLAIN, op=kind, k=k, kill=kill)
            if kill:
                yield plain
                continue
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
            if kind == "linkat":
                yield dict(plain, errno=errno.ENOENT, persist=1)


def main():
    folder, counts_path, op = sys.argv[1:4]
    if sys.argv[4:] == ["call"]:
        paths, dim, call = scenario(folder, op)
        wl.run_op(pv.VectorStore.open(*paths), call, dim)
        return
    os.environ["PVDB_FAULT_PATTERN"] = folder + "*"
    os.environ["PVDB_FAULT_COUNTS"] = counts_path
    os.environ["PVDB_FAULT_NOTMPFILE"] = "1" if op.endswith("_named") else "0"
    kill = int(op.startswith("kill_"))
    dry = run(folder, counts_path, op, dict(PLAIN, op="none", k=0, kill=kill), "dry")
    print(json.dumps(dry))
    for i, fault in enumerate(faults_for(dry["counts"], kill)):
        print(json.dumps(run(folder, counts_path, op, fault, "s%d" % i)), flush=True)


if __name__ == "__main__":
    main()
