"""Every file-system call of a write or a compaction, failed in turn by a preloaded library
or killing the process there."""
import json

import pytest

from workload import child_env, run_child

WRITE = {"open", "write"}
TORN = WRITE | {"ftruncate"}
COMPACTION = {"open", "write", "fsync", "linkat", "rename", "ftruncate"}


# The new snapshot is written unnamed and linked in when complete, or, where that cannot
# be done, into a named temporary file; the log is emptied through the descriptor that
# found it unchanged. Only a kill between naming the complete snapshot and renaming it over
# the old one may leave a temporary name, which the next compaction removes; unnamed files
# leave none.
@pytest.mark.parametrize("op, calls, killed_with_temps", [
    ("upsert", WRITE, None),
    ("delete", WRITE, None),
    ("batch", WRITE, None),
    ("compact", COMPACTION, None),
    ("compact_link", COMPACTION, None),
    ("compact_named", COMPACTION - {"linkat"}, None),
    ("torn_upsert", TORN, None),
    ("unended_upsert", WRITE, None),
    ("kill_batch", TORN, set()),
    ("kill_compact", COMPACTION, {"rename"}),
    ("kill_compact_named", COMPACTION - {"linkat"}, {"write", "fsync", "rename"}),
])
def test_every_failed_or_killed_call_leaves_the_store_whole(fault_library, tmp_path, op, calls,
                                                            killed_with_temps):
    out = run_child("fault_child.py", tmp_path / "store", tmp_path / "counts", op,
                    env=child_env(LD_PRELOAD=fault_library))
    assert out.returncode == 0, out.stderr.decode()
    dry, *reports = [json.loads(line) for line in out.stdout.decode().splitlines()]
    assert dry["wrong"] == [], dry
    assert {k for k, n in dry["counts"].items() if n and k != "injected"} == calls, dry["counts"]
    wrong = {json.dumps(r["fault"]): r["wrong"] for r in reports if r["wrong"]}
    assert not wrong, json.dumps(wrong, indent=1)
    assert len(reports) >= sum(n for k, n in dry["counts"].items() if k != "injected")
    if killed_with_temps is not None:
        assert {r["fault"]["op"] for r in reports if r["temps"]} == killed_with_temps
