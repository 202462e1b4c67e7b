"""A sharded store killed with SIGKILL anywhere, merges included, loses no acknowledged write."""
import os
import random
import signal
import subprocess
import sys
import time

from pelmor_cluster import ShardedStore

HERE = os.path.join(os.path.dirname(__file__), "..", "reliability")
IDS = [f"k{i}" for i in range(60)]


def touched(op):
    """What the op may leave each id it names as: its versions, or gone for a delete."""
    kind, *args = op.split(" ")
    if kind == "u":
        return {args[0]: {int(args[1])}}
    if kind == "d":
        return {args[0]: {None}}
    out = {}
    for pair in args[0].split(",") if kind == "b" else []:
        id, version = pair.split(":")
        out.setdefault(id, set()).add(int(version))
    return out


def apply(model, op):
    # Versions only grow, so the highest of a batch is its last write of that id.
    for id, outcomes in touched(op).items():
        model[id] = None if None in outcomes else max(outcomes)


def run_and_kill(folder, seed, delay):
    child = subprocess.Popen([sys.executable, os.path.join(HERE, "merge_child.py"), folder,
                              str(seed)], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    time.sleep(delay)
    child.send_signal(signal.SIGKILL)
    lines = child.stdout.read().splitlines()
    child.wait()
    return lines


def observed(folder):
    store = ShardedStore.open(folder, 2, merge_at=6)
    state = {}
    for id in IDS:
        entry = store.get(id)
        if entry is not None:
            state[id] = int(entry.metadata)
    hits = [e.id for e, _ in store.search([0.0, 1.0, -1.0, 0.5], 100)]
    assert sorted(hits) == sorted(state), "a record is missing from search, doubled or back"
    assert store.len == len(state)
    return state


def test_kills_inside_merges_lose_and_resurrect_nothing(tmp_path):
    folder = str(tmp_path / "s")
    rng = random.Random(7)
    model, in_compact = {}, 0
    for seed in range(1, 16):
        lines = run_and_kill(folder, seed, rng.uniform(0.05, 0.4))
        inflight = None
        for line in lines:
            if line == "!":
                apply(model, inflight)
                inflight = None
            else:
                inflight = line[2:]
        in_compact += inflight == "c"
        state = observed(folder)
        # The call in flight at the kill may have reached some of its records (a batch
        # spans shards) and not others; every other record is exactly as acknowledged.
        for id, outcomes in touched(inflight or "c").items():
            assert state.get(id) in outcomes | {model.get(id)}, (id, state.get(id), inflight)
            model[id] = state.get(id)
        assert state == {id: v for id, v in model.items() if v is not None}
    # Some kills did land inside a merge of every buffer.
    assert in_compact > 0
