"""Opening stores over damaged or odd files: an error or a store, never a crash or a hang."""
import os
import resource
import textwrap

import pytest

from conftest import run_python
from workload import run_child

EXAMPLES = int(os.environ.get("PVDB_FUZZ_EXAMPLES", "300"))


@pytest.mark.parametrize("mode", ["wal_bytes", "snap_bytes", "wal_mutations", "snap_mutations"])
def test_any_file_content_opens_or_raises(tmp_path, mode):
    flight = tmp_path / "flight"
    out = run_child("open_fuzz_child.py", tmp_path, flight, mode, EXAMPLES, 20261206, timeout=900)
    if out.returncode != 0:
        last = flight.read_bytes() if flight.exists() else b"(none)"
        pytest.fail("child ended with %d on input %r\n%s" % (out.returncode, last[:2000],
                                                             out.stderr.decode()[-4000:]))


# With a third argument, a batch large enough to fill a pipe's buffer follows the open.
OPEN = textwrap.dedent(
    """
    import sys
    import pelmor_vector_db as pv
    try:
        store = pv.VectorStore.open(sys.argv[1], sys.argv[2])
        if len(sys.argv) > 3:
            store.upsert_batch([pv.VectorEntry("b%d" % i, [1.0] * 8) for i in range(2000)])
        print("ok", store.len, store.wal_pending)
    except (OSError, ValueError) as e:
        print(type(e).__name__, e)
    """
)


def open_in_child(snap, wal, *batch, memory_cap=None, timeout=30):
    def cap():
        if memory_cap:
            resource.setrlimit(resource.RLIMIT_AS, (memory_cap, memory_cap))

    out = run_python(OPEN, snap, wal, *batch, timeout=timeout, preexec_fn=cap)
    return out.returncode, out.stdout.strip()


def special(path, kind):
    """`path` made into a `kind`, or the device of that name."""
    if kind == "dir":
        path.mkdir()
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind != "absent":
        return "/dev/" + kind
    return path


@pytest.mark.parametrize(
    "snap_kind, wal_kind, expected",
    [
        ("absent", "dir", "OSError Is a directory (os error 21)"),
        ("dir", "absent", "OSError Is a directory (os error 21)"),
        ("absent", "fifo", "ok 0 0"),
        ("fifo", "absent", "ValueError EOF while parsing a value at line 1 column 0"),
        ("absent", "null", "ok 0 0"),
        ("null", "absent", "ValueError EOF while parsing a value at line 1 column 0"),
    ],
)
def test_odd_paths_open_or_raise_without_hanging(tmp_path, snap_kind, wal_kind, expected):
    snap, wal = special(tmp_path / "s", snap_kind), special(tmp_path / "w", wal_kind)
    assert open_in_child(snap, wal) == (0, expected)


@pytest.mark.parametrize("which", ["snap", "wal"])
def test_endless_device_is_refused_in_bounded_memory(tmp_path, which):
    snap = "/dev/zero" if which == "snap" else tmp_path / "s"
    wal = "/dev/zero" if which == "wal" else tmp_path / "w"
    rc, text = open_in_child(snap, wal, memory_cap=2 << 30, timeout=120)
    assert rc == 0 and text.split()[0] in ("OSError", "ValueError")


def test_fifo_as_log_does_not_hang_a_batch(tmp_path):
    os.mkfifo(tmp_path / "w")
    rc, text = open_in_child(tmp_path / "s", tmp_path / "w", "batch", timeout=20)
    assert rc == 0 and text.split()[0] in ("ok", "OSError")
