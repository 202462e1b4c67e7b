"""Opens stores over generated file contents; meant to run in a child so a crash is caught.

Usage: open_fuzz_child.py FOLDER FLIGHT_LOG MODE EXAMPLES SEED
MODE is wal_bytes, snap_bytes (arbitrary bytes) or wal_mutations, snap_mutations (valid
files with structured damage). Every input must open or raise OSError/ValueError. When
a log opens, one more upsert and a reopen must work too: the writer and the reader have
to agree on where the log ends. Before each attempt the input goes to FLIGHT_LOG, so
that the parent can name the input that killed the process.
"""
import os
import sys

from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

import pelmor_vector_db as pv

TOKENS = [b"\n", b"\r\n", b"\\", b'"', b"\\u", b"\\ud800", b"\\udc00", b"\xff", b"\xc3", b"\xe2\x80",
          b"\xe2\x80\xa8", b"\xc2\x85", b" ", b"\t", b"\x00", b"1e999", b"-0", b"null", b"[", b"]",
          b"{", b"}", b",", b":", b'"op"', b'"data"', b'"upsert"', b'"delete"', b'"id"',
          b'"embedding"', b"1" * 400, b"[" * 200, b"{}", b"[]", b'"\xce\xbb"', b"1.5e-45"]


def valid_files(folder):
    """A snapshot and a log written by the store itself, with awkward ids and values."""
    snap, wal = os.path.join(folder, "seed.snap"), os.path.join(folder, "seed.wal")
    for p in (snap, wal):
        if os.path.exists(p):
            os.unlink(p)
    store = pv.VectorStore.new(snap, wal)
    store.upsert_batch([pv.VectorEntry("a\"\\\tλ", [1.0, -0.0, 1e-45]),
                        pv.VectorEntry("b", [3.4028235e38, 0.1, 16777216.0], "m\n", "t")])
    store.compact()
    store.upsert(pv.VectorEntry("c€", [1e13, 2.5e-5, -1.0], "", "x"))
    store.delete("b")
    with open(snap, "rb") as f, open(wal, "rb") as g:
        return f.read(), g.read()


@st.composite
def mutated(draw, base):
    data = bytearray(base)
    for _ in range(draw(st.integers(1, 4))):
        pos = draw(st.integers(0, len(data)))
        kind = draw(st.sampled_from(["cut", "flip", "insert", "delete", "repeat"]))
        if kind == "cut":
            del data[pos:]
        elif kind == "flip" and pos < len(data):
            data[pos] = draw(st.integers(0, 255))
        elif kind == "insert":
            data[pos:pos] = draw(st.sampled_from(TOKENS) | st.binary(max_size=8))
        elif kind == "delete":
            del data[pos:pos + draw(st.integers(1, 16))]
        elif kind == "repeat":
            data[pos:pos] = data[max(0, pos - draw(st.integers(1, 200))):pos]
    return bytes(data)


def attempt(folder, flight, target, data):
    snap, wal = os.path.join(folder, "f.snap"), os.path.join(folder, "f.wal")
    for p in (snap, wal):
        if os.path.exists(p):
            os.unlink(p)
    with open(flight, "wb") as f:
        f.write(target.encode() + b"\n" + data)
    with open(snap if target == "snap" else wal, "wb") as f:
        f.write(data)
    try:
        store = pv.VectorStore.open(snap, wal)
    except (OSError, ValueError):
        return
    if target == "snap":
        return
    # The log opened: a further append must land on a line of its own.
    before = (store.len, store.wal_pending, store.get("fuzz-new") is not None)
    store.upsert(pv.VectorEntry("fuzz-new", [0.5] * (store.dim or 2)))
    again = pv.VectorStore.open(snap, wal)
    after = (again.len, again.wal_pending, True)
    assert after == (before[0] + (not before[2]), before[1] + 1, True), (before, after)


def main():
    folder, flight, mode, examples, rng_seed = sys.argv[1:6]
    snap_seed, wal_seed = valid_files(folder)
    target = mode.split("_")[0]
    if mode.endswith("bytes"):
        inputs = st.binary(max_size=600)
    else:
        inputs = mutated(snap_seed if target == "snap" else wal_seed)

    @seed(int(rng_seed))
    @settings(max_examples=int(examples), deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(inputs)
    def opens_or_raises(data):
        attempt(folder, flight, target, data)

    opens_or_raises()


if __name__ == "__main__":
    main()
