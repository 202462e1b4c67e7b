"""Opening a directory as a sharded store: what it must hold, and what is refused untouched."""
import json
import os

import pelmor_vector_db as pv
import pytest

from conftest import run_python
from pelmor_cluster import ShardedStore, ShardWriteError
from pelmor_cluster.manifest import shard_of


def tree(folder):
    out = {}
    for root, _, files in os.walk(folder):
        for name in files:
            with open(os.path.join(root, name), "rb") as f:
                out[os.path.relpath(os.path.join(root, name), folder)] = f.read()
    return out


def test_placement_never_changes():
    # Records already on disk are looked for where these placed them.
    assert [shard_of(i, 8) for i in ["a", "doc-1", "ключ", ""]] == [0, 6, 4, 4]


@pytest.mark.parametrize(
    "prepare, shards, dim, message",
    [
        (None, 8, None, "holds 4 shards, not 8"),
        (None, None, 4, "holds records of dimension 3, not 4"),
        ("other.txt", None, None, "is not a sharded store: it has no manifest.json"),
        ("manifest.json", None, None, "is not a sharded store: manifest.json is of another format"),
    ],
)
def test_refused_and_left_untouched(tmp_path, prepare, shards, dim, message):
    folder = str(tmp_path / "s")
    if prepare is None:
        store = ShardedStore.open(folder, 4)
        store.upsert_batch([pv.VectorEntry(f"r{i}", [1.0, i, 2.0]) for i in range(20)])
        store.upsert(pv.VectorEntry("one", [1.0, 0.0, 0.0]))
        store.close()
    else:
        os.makedirs(folder)
        with open(os.path.join(folder, prepare), "w") as f:
            json.dump({"format": "something else"}, f)
    before = tree(folder)
    with pytest.raises(ValueError) as e:
        ShardedStore.open(folder, shards, dim=dim)
    assert str(e.value) == f"{folder!r} {message}"
    assert tree(folder) == before


OTHER_WRITER = """
import sys
import pelmor_vector_db as pv
from pelmor_cluster import ShardedStore
store = ShardedStore.open(sys.argv[1], merge_at=4)
store.upsert_batch([pv.VectorEntry(f"a{i}", [2.0, i, 1.0], "a") for i in range(12)])
store.upsert(pv.VectorEntry("b0", [2.0, 0.0, 1.0], "a"))
store.delete("b1")
"""


def test_a_second_process_keeps_its_writes_and_stops_merges(tmp_path):
    folder = str(tmp_path / "s")
    store = ShardedStore.open(folder, 2, merge_at=4)
    store.upsert_batch([pv.VectorEntry(f"b{i}", [1.0, i, 0.0], "b") for i in range(6)])
    run_python(OTHER_WRITER, folder, check=True)
    # Enough for a merge in both shards, which must not write back this process's stale
    # b0 and b1 nor delete the other process's buffered records.
    for i in range(6, 20):
        store.upsert(pv.VectorEntry(f"b{i}", [1.0, i, 0.0], "b"))
    store.delete("a3")  # unknown to this process, so it writes nothing, as a store does
    with pytest.raises(ShardWriteError, match="changed by another writer") as e:
        store.compact()
    assert sorted(e.value.failures) == [0, 1]
    expected = {f"b{i}": "b" for i in range(2, 20)} | {f"a{i}": "a" for i in range(12)}
    expected["b0"] = "a"
    for reopened in range(2):
        store = ShardedStore.open(folder)
        assert {id: store.get(id).metadata for id in expected} == expected
        assert store.get("b1") is None and store.len == len(expected)
        store.compact()
