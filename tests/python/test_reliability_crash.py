"""A writer killed with SIGKILL at any moment loses no acknowledged write."""
import json
import shutil

import crash
import pytest


def assert_clean(stats):
    print(json.dumps(stats))
    assert [stats[k] for k in crash.KINDS] == [0, 0, 0, 0], stats
    assert stats["failed_opens"] == {}, stats
    assert stats["survived"] == stats["iterations"], stats["failures"][:5]


def test_random_kills_and_kills_during_compaction(tmp_path):
    stats = crash.random_kills(str(tmp_path), 100, [8, 1536], seed=11)
    assert_clean(stats)
    # The kills did land inside batches and compactions.
    kinds = {key.split()[0] for key in stats["outcomes"]}
    assert {"batch", "compact"} <= kinds, stats["outcomes"]


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_kill_at_every_call_of_a_batch_and_a_compaction(tmp_path):
    stats, points, unverified = crash.strace_kills(str(tmp_path))
    assert unverified == []
    kinds = {name for name, _, _ in points}
    assert {"openat", "write", "fsync", "linkat", "rename", "ftruncate"} <= kinds, kinds
    assert stats["iterations"] == len(points)
    assert_clean(stats)
