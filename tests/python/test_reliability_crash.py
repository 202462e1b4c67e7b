"""A writer killed with SIGKILL at any moment, a sharded store's merges included, loses no
acknowledged write."""
import crash
import pytest


# The kills must land inside batches and compactions, in a sharded store inside merges.
@pytest.mark.parametrize("dims, iterations, seed, sharded, kinds", [
    ([8, 1536], 100, 11, False, {"batch", "compact"}),
    ([4], 20, 7, True, {"compact"}),
], ids=["plain", "sharded"])
def test_random_kills_lose_and_resurrect_nothing(tmp_path, dims, iterations, seed, sharded, kinds):
    stats = crash.random_kills(str(tmp_path), iterations, dims, seed=seed, sharded=sharded)
    crash.assert_clean(stats)
    assert kinds <= {key.split()[0] for key in stats["outcomes"]}, stats["outcomes"]


# Only a kill between naming the complete snapshot and renaming it over the old one may
# leave a temporary name, which the next compaction removes; unnamed files leave none.
@pytest.mark.parametrize("unnamed, kinds, named_at", [
    (True, {"open", "write", "fsync", "linkat", "rename", "ftruncate"}, {"rename"}),
    (False, {"open", "write", "fsync", "rename", "ftruncate"}, {"write", "fsync", "rename"}),
])
def test_kill_at_every_call_of_a_batch_and_a_compaction(tmp_path, fault_library, unnamed, kinds,
                                                        named_at):
    stats, points, unverified = crash.call_kills(str(tmp_path), fault_library, unnamed)
    assert unverified == []
    assert {name for name, _ in points} == kinds
    assert stats["iterations"] == len(points)
    assert set(stats["temps_left"]) == named_at, stats["temps_left"]
    crash.assert_clean(stats)
