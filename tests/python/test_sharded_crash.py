"""A sharded store killed with SIGKILL anywhere, merges included, loses no acknowledged write."""
import crash


def test_kills_inside_merges_lose_and_resurrect_nothing(tmp_path):
    stats = crash.random_kills(str(tmp_path), 20, [4], seed=7, sharded=True)
    crash.assert_clean(stats)
    # Some kills did land inside a merge of every buffer.
    assert "compact absent" in stats["outcomes"], stats["outcomes"]
