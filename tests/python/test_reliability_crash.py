"""A writer killed with SIGKILL at any moment, a sharded store's merges included, loses no
acknowledged write."""
import crash
import pytest
from workload import build_fault_library


def test_random_kills_and_kills_during_compaction(tmp_path):
    stats = crash.random_kills(str(tmp_path), 100, [8, 1536], seed=11)
    crash.assert_clean(stats)
    # The kills did land inside batches and compactions.
    kinds = {key.split()[0] for key in stats["outcomes"]}
    assert {"batch", "compact"} <= kinds, stats["outcomes"]


def test_sharded_kills_inside_merges_lose_and_resurrect_nothing(tmp_path):
    stats = crash.random_kills(str(tmp_path), 20, [4], seed=7, sharded=True)
    crash.assert_clean(stats)
    # Some kills did land inside a merge of every buffer.
    assert "compact absent" in stats["outcomes"], stats["outcomes"]


# Only a kill between naming the complete snapshot and renaming it over the old one may
# leave a temporary name, which the next compaction removes; unnamed files leave none.
@pytest.mark.parametrize("unnamed, kinds, named_at", [
    (True, {"open", "write", "fsync", "linkat", "rename", "ftruncate"}, {"rename"}),
    (False, {"open", "write", "fsync", "rename", "ftruncate"}, {"write", "fsync", "rename"}),
])
def test_kill_at_every_call_of_a_batch_and_a_compaction(tmp_path, unnamed, kinds, named_at):
    library = build_fault_library(str(tmp_path))
    stats, points, unverified = crash.call_kills(str(tmp_path), library, unnamed)
    assert unverified == []
    assert {name for name, _ in points} == kinds
    assert stats["iterations"] == len(points)
    assert set(stats["temps_left"]) == named_at, stats["temps_left"]
    crash.assert_clean(stats)
