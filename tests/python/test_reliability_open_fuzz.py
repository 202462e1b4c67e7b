"""Opening stores over damaged or odd files: an error or a store, never a crash or a hang."""
import os
import resource
import subprocess
import sys
import textwrap

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "reliability"))
from harness import child_env, run_child  # noqa: E402

EXAMPLES = int(os.environ.get("PVDB_FUZZ_EXAMPLES", "300"))


@pytest.mark.parametrize("mode", ["wal_bytes", "snap_bytes", "wal_mutations", "snap_mutations"])
def test_any_file_content_opens_or_raises(tmp_path, mode):
    flight = tmp_path / "flight"
    out = run_child("open_fuzz_child.py", tmp_path, flight, mode, EXAMPLES, 20261206, timeout=900)
    if out.returncode != 0:
        last = flight.read_bytes() if flight.exists() else b"(none)"
        pytest.fail("child ended with %d on input %r\n%s" % (out.returncode, last[:2000],
                                                             out.stderr.decode()[-4000:]))


OPEN = textwrap.dedent(
    """
    import sys
    import pelmor_vector_db as pv
    try:
        store = pv.VectorStore.open(sys.argv[1], sys.argv[2])
        print("ok", store.len, store.wal_pending)
    except (OSError, ValueError) as e:
        print(type(e).__name__, e)
    """
)


def open_in_child(snap, wal, memory_cap=None, timeout=30):
    def cap():
        if memory_cap:
            resource.setrlimit(resource.RLIMIT_AS, (memory_cap, memory_cap))

    out = subprocess.run([sys.executable, "-c", OPEN, str(snap), str(wal)], env=child_env(),
                         capture_output=True, text=True, timeout=timeout, preexec_fn=cap)
    return out.returncode, out.stdout.strip()


def special(tmp_path, kind):
    path = tmp_path / kind
    if kind == "dir":
        path.mkdir()
    elif kind == "fifo":
        os.mkfifo(path)
    else:
        return "/dev/" + kind
    return path


@pytest.mark.parametrize(
    "snap_kind, wal_kind, expected",
    [
        ("absent", "dir", "OSError Is a directory (os error 21)"),
        ("absent", "fifo", "ok 0 0"),
        ("fifo", "absent", "ValueError EOF while parsing a value at line 1 column 0"),
        ("absent", "null", "ok 0 0"),
        ("null", "absent", "ValueError EOF while parsing a value at line 1 column 0"),
    ],
)
def test_odd_paths_open_or_raise_without_hanging(tmp_path, snap_kind, wal_kind, expected):
    snap = tmp_path / "absent.snap" if snap_kind == "absent" else special(tmp_path, snap_kind)
    wal = tmp_path / "absent.wal" if wal_kind == "absent" else special(tmp_path, wal_kind)
    assert open_in_child(snap, wal) == (0, expected)


@pytest.mark.parametrize("which", ["snap", "wal"])
def test_endless_device_is_refused_in_bounded_memory(tmp_path, which):
    snap = "/dev/zero" if which == "snap" else tmp_path / "s"
    wal = "/dev/zero" if which == "wal" else tmp_path / "w"
    rc, text = open_in_child(snap, wal, memory_cap=2 << 30, timeout=120)
    assert rc == 0 and text.split()[0] in ("OSError", "ValueError")


WRITE_TO_FIFO = textwrap.dedent(
    """
    import sys
    import pelmor_vector_db as pv
    store = pv.VectorStore.open(sys.argv[1], sys.argv[2])
    try:
        store.upsert_batch([pv.VectorEntry("b%d" % i, [1.0] * 8) for i in range(2000)])
        print("ok")
    except OSError as e:
        print("OSError", e)
    """
)


def test_fifo_as_log_does_not_hang_a_batch(tmp_path):
    fifo = tmp_path / "w"
    os.mkfifo(fifo)
    out = subprocess.run([sys.executable, "-c", WRITE_TO_FIFO, str(tmp_path / "s"), str(fifo)],
                         env=child_env(), capture_output=True, text=True, timeout=20)
    assert out.returncode == 0 and out.stdout.split()[0] in ("ok", "OSError")
