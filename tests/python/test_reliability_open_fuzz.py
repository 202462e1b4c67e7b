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


def special(path, kind):
    """`path` made into a `kind`, or the device of that name."""
    if kind == "dir":
        path.mkdir()
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind != "absent":
        return "/dev/" + kind
    return path


# A str is the exact line; a set holds the first words that may start it. An endless
# device is refused in bounded memory, and a batch that fills a pipe's buffer does not
# hang on a fifo log.
@pytest.mark.parametrize(
    "snap_kind, wal_kind, batch, expected",
    [
        ("absent", "dir", False, "OSError Is a directory (os error 21)"),
        ("dir", "absent", False, "OSError Is a directory (os error 21)"),
        ("absent", "fifo", False, "ok 0 0"),
        ("fifo", "absent", False, "ValueError EOF while parsing a value at line 1 column 0"),
        ("absent", "null", False, "ok 0 0"),
        ("null", "absent", False, "ValueError EOF while parsing a value at line 1 column 0"),
        ("zero", "absent", False, {"OSError", "ValueError"}),
        ("absent", "zero", False, {"OSError", "ValueError"}),
        ("absent", "fifo", True, {"ok", "OSError"}),
    ],
)
def test_odd_paths_open_or_raise_without_hanging(tmp_path, snap_kind, wal_kind, batch, expected):
    snap, wal = special(tmp_path / "s", snap_kind), special(tmp_path / "w", wal_kind)

    def cap():
        if "zero" in (snap_kind, wal_kind):
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))

    out = run_python(OPEN, snap, wal, *["batch"] * batch, timeout=120, preexec_fn=cap)
    text = out.stdout.strip()
    assert out.returncode == 0, out.stderr
    assert text == expected if isinstance(expected, str) else text.split()[0] in expected
