"""Deterministic records and a model of what a store must hold after a crash.

Every upserted record carries a version number: its metadata is "v<version>" and its
embedding is a function of the version alone, so a checker can tell from a reopened
store exactly which write of an id survived, and whether its bytes are intact.
"""
import json

import numpy as np


def embedding(version, dim):
    """Values k/64 with |k| < 2048: exact in 32 bits, so they survive the text round trip."""
    j = np.arange(dim, dtype=np.int64)
    k = ((version % 4093) * 2654435761 + j * 40503 + 17) % 4093 - 2046  # stays in int64
    return (k / 64.0).tolist()


def metadata(version):
    return "v%d" % version


def make_entry(pv, id, version, dim):
    return pv.VectorEntry(id, embedding(version, dim), metadata(version), "t")


def version_of(entry, dim):
    """The version a stored record was written with, or None when its bytes are damaged."""
    meta = entry.metadata
    if not meta.startswith("v") or not meta[1:].isdigit():
        return None
    version = int(meta[1:])
    return version if entry.embedding == embedding(version, dim) else None


def observe(pv, paths, ids, dim):
    """Opens the store and reads back {id: version} over the id pool (None = damaged)."""
    store = pv.VectorStore.open(*paths)
    seen = {}
    for id in ids:
        got = store.get(id)
        if got is not None:
            seen[id] = version_of(got, dim)
    return store, seen


# One operation as written to the side log: a JSON object with "op" and its arguments.
def op_upsert(id, version):
    return {"op": "upsert", "id": id, "v": version}


def op_batch(ids, first_version):
    return {"op": "batch", "ids": ids, "v0": first_version}


def op_delete(id):
    return {"op": "delete", "id": id}


OP_COMPACT = {"op": "compact"}


def batch_items(op):
    return [(id, op["v0"] + i) for i, id in enumerate(op["ids"])]


def apply_op(state, op, prefix=None):
    """Applies `op` to {id: version}; for a batch, only its first `prefix` items."""
    kind = op["op"]
    if kind == "upsert":
        state[op["id"]] = op["v"]
    elif kind == "delete":
        state.pop(op["id"], None)
    elif kind == "batch":
        items = batch_items(op)
        for id, version in items[: len(items) if prefix is None else prefix]:
            state[id] = version


def run_op(pv, store, op, dim):
    kind = op["op"]
    if kind == "upsert":
        store.upsert(make_entry(pv, op["id"], op["v"], dim))
    elif kind == "batch":
        store.upsert_batch([make_entry(pv, id, v, dim) for id, v in batch_items(op)])
    elif kind == "delete":
        store.delete(op["id"])
    else:
        store.compact()


def read_side_log(path):
    """Operations acknowledged by the child, and the one in flight when it died (or None).

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


class Verdict:
    """How a reopened store compares with the model of acknowledged writes."""

    def __init__(self):
        self.lost = []  # acknowledged record missing or older than acknowledged
        self.resurrected = []  # present although its deletion was acknowledged
        self.damaged = []  # record whose bytes do not match any version
        self.phantom = []  # a version never written, or a batch that is not a prefix
        self.outcome = None  # for the call in flight: "absent", "whole", "prefix k/m"

    @property
    def ok(self):
        return not (self.lost or self.resurrected or self.damaged or self.phantom)


def compare(model, ever, in_flight, seen):
    """Checks `seen` against `model` (acked state) plus any outcome of `in_flight`."""
    verdict = Verdict()
    verdict.damaged = sorted(id for id, v in seen.items() if v is None)
    candidates = [("absent", dict(model))]
    if in_flight is not None and in_flight["op"] != "compact":
        if in_flight["op"] == "batch":
            m = len(in_flight["ids"])
            for k in range(1, m + 1):
                state = dict(model)
                apply_op(state, in_flight, k)
                candidates.append(("whole" if k == m else "prefix %d/%d" % (k, m), state))
        else:
            state = dict(model)
            apply_op(state, in_flight)
            candidates.append(("whole", state))
    for name, state in candidates:
        if state == seen:
            verdict.outcome = name
            return verdict
    allowed = {}
    for _, state in candidates:
        for id in set(state) | set(model):
            allowed.setdefault(id, set()).add(state.get(id))
    for id in sorted(set(seen) | set(model)):
        got, acked = seen.get(id), model.get(id)
        if (id in seen and got is None) or got in allowed.get(id, {None}):
            continue
        if acked is not None and (got is None or got < acked):
            verdict.lost.append(id)
        elif acked is None and got in ever.get(id, ()):
            verdict.resurrected.append(id)
        else:
            verdict.phantom.append(id)
    if verdict.ok:
        verdict.phantom.append("<in-flight batch is not a prefix>")
    return verdict
