"""A writer killed with SIGKILL at any moment, a sharded store's merges included, loses no
acknowledged write. (Kills at each file-system call are in the fault sweep's tests.)"""
import crash
import pytest


# The kills must land inside batches and compactions, in a sharded store inside merges.
@pytest.mark.parametrize("dims, iterations, seed, sharded, kinds", [
    ([8, 1536], 100, 11, False, {"batch", "compact"}),
    ([4], 20, 7, True, {"compact"}),
], ids=["plain", "sharded"])
def test_random_kills_lose_and_resurrect_nothing(tmp_path, dims, iterations, seed, sharded, kinds):
    stats = crash.random_kills(str(tmp_path), iterations, dims, seed=seed, sharded=sharded)
    print(stats)
    assert stats["failures"] == [] and stats["iterations"] > 0, stats["failures"][:5]
    assert kinds <= {key.split()[0] for key in stats["outcomes"]}, stats["outcomes"]

